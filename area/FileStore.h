// FileStore.h - groups kept in a control-point file.
//
// A control-point file is the 10-byte magic "GCPFILE67\0" followed by the
// group stream (GroupStream.h, docs/control-point-file.md).  The file is
// open only while it is read at the load and while it is rewritten at the
// save; the save replaces it through a temporary file (SafeReplace.h), so
// an interrupted or failed save leaves the old file as it was, and only
// while it is still the version loaded, so that no save of another writer
// made after the load is lost.
#ifndef MORVANE_AREA_FILESTORE_H
#define MORVANE_AREA_FILESTORE_H

#include "Env.h"
#include "Store.h"

#include <cstddef>
#include <string>

namespace morvane {

class FileStore final : public Store {
public:
    // The file's path is kept in fileName (capacity bytes, zero-filled past
    // the path): the load writes the path it opened there once the magic is
    // checked, the save reads it.  version: the version loaded or last
    // saved, kept by the store and read back by its owner.
    FileStore(const char* pathToLoad, char* fileName, std::size_t capacity, FileVersion version)
        : pathToLoad_(pathToLoad), fileName_(fileName), capacity_(capacity), version_(version) {}

    // A file that ends right after the magic is an area without groups; one
    // that ends inside the count, a header or a point record fails the load.
    // The version remembered is that of the open file, taken before it is
    // read: a save of another writer that renames a new file in meanwhile
    // cannot be mistaken for the file loaded.
    Status Load(CGCPGroupList& list, std::uint32_t* groupCount) override;
    // Once replaced, the new file is the version kept, also when the save
    // fails afterwards (directory sync) and is retried.
    Status Save(CGCPGroupList& list) override;

    const FileVersion& version() const { return version_; }

    static constexpr std::size_t kMagicSize = 10;

private:
    Status LoadFrom(const std::string& path, CGCPGroupList& list, std::uint32_t* groupCount);
    std::string SavedPath() const;

    const char* pathToLoad_;
    char* fileName_;
    std::size_t capacity_;
    FileVersion version_;
};

}  // namespace morvane

#endif
