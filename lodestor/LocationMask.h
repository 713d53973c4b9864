// LocationMask.h - a PostgreSQL URI's password hidden as it is written.
#ifndef MORVANE_LODESTOR_LOCATIONMASK_H
#define MORVANE_LODESTOR_LOCATIONMASK_H

#include <string>

namespace lodestor {

// The URI (postgresql:// or postgres://) with the user part's password and
// every password= parameter replaced by *** where they are written, so that
// the text stays as a person typed it; any other text unchanged.  This reads
// the URI as text only: MaskPassword (PostgresRecordStore.h) checks the
// result against libpq's own reading where libpq is there.
std::string MaskPasswordAsWritten(const std::string& uri);

}  // namespace lodestor

#endif
