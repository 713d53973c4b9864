// DatabaseStore.h - groups kept in one record of a raster database.
//
// The record holds the group stream (GroupStream.h) with nothing before or
// after it.  The load reads the record piece by piece and decodes each piece
// as it comes (a server database streams it meanwhile), so it never holds
// the record whole.  The save computes the stream's length, fills one heap
// buffer of exactly that and writes it in one call, conditionally: only
// over the version loaded (or last saved).  The database is reached through
// Lodestor.h alone; a refusal carries the database's own reason.
#ifndef MORVANE_AREA_DATABASESTORE_H
#define MORVANE_AREA_DATABASESTORE_H

#include "Store.h"

#include <cstdint>

class CRasteBaseArea;

namespace morvane {

class DatabaseStore final : public Store {
public:
    // raster: the caller's open raster area (may be null: every call is
    // then refused); key: the record, not 0; version: the record's version
    // loaded or last saved (0: the key held no record).
    DatabaseStore(CRasteBaseArea* raster, std::int32_t key, std::uint64_t version)
        : raster_(raster), key_(key), version_(version) {}

    // A record of length 0, or none, is an area without groups.  Size,
    // version and bytes come from one snapshot, so the version remembered
    // is that of the bytes loaded.
    Status Load(CGCPGroupList& list, std::uint32_t* groupCount) override;
    // The record is built whole before anything is written, so a failure on
    // the way leaves the stored record untouched.
    Status Save(CGCPGroupList& list) override;

    std::uint64_t version() const { return version_; }

private:
    Status Refused(const char* call) const;

    CRasteBaseArea* raster_;
    std::int32_t key_;
    std::uint64_t version_;
};

}  // namespace morvane

#endif
