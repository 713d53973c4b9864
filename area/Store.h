// Store.h - where an area's groups are kept between an open and a close.
//
// The area core (Area.h) knows nothing of files or databases: it asks its
// store to load the groups into an empty list at the open and to save them
// at the close.  Two stores implement it: the control-point file
// (FileStore.h) and one record of a raster database (DatabaseStore.h).
//
// Both keep the version of what they loaded, and a save replaces the stored
// groups only while they are still that version (or the one this store's
// last save wrote), so that no save of another writer is lost: a save that
// finds another writer's version fails with Status::Conflict.
#ifndef MORVANE_AREA_STORE_H
#define MORVANE_AREA_STORE_H

#include "Status.h"

#include <cstdint>

class CGCPGroupList;

namespace morvane {

class Store {
public:
    virtual ~Store() = default;

    // Reads every stored group into the empty list.  *groupCount receives the
    // stored group count as soon as it is known, and keeps it if the load
    // stops part-way (the groups read so far stay in the list).  A failure's
    // message says where and why, in one line.
    virtual Status Load(CGCPGroupList& list, std::uint32_t* groupCount) = 0;

    // Replaces the stored groups by the list's, all or nothing: after a
    // failure the stored groups are as they were.  Conflict when another
    // writer saved since the load (or since this store's last save).
    virtual Status Save(CGCPGroupList& list) = 0;
};

}  // namespace morvane

#endif
