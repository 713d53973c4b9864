// FileStore.cpp - loading and saving the groups of a control-point file.
#include "FileStore.h"

#include "FileStreams.h"
#include "GroupStream.h"
#include "SafeReplace.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace morvane {

namespace {
constexpr unsigned char kFileMagic[FileStore::kMagicSize] = {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0};
}  // namespace

std::string FileStore::SavedPath() const { return std::string(fileName_, strnlen(fileName_, capacity_)); }

Status FileStore::Load(CGCPGroupList& list, std::uint32_t* groupCount) {
    try {
        return LoadFrom(pathToLoad_, list, groupCount);
    } catch (const std::bad_alloc&) {
        return Status::IOError(std::string(pathToLoad_) + ": out of memory while reading");
    }
}

Status FileStore::LoadFrom(const std::string& path, CGCPGroupList& list, std::uint32_t* groupCount) {
    std::unique_ptr<SequentialFile> file;
    Status opened = AreaEnv()->OpenForReading(path, &file);
    if (opened.IsNotFound()) return Status::NotFound(path + ": no such control-point file");
    if (!opened.ok()) return opened;
    FileVersion version;
    if (Status examined = file->Version(&version); !examined.ok()) return examined;
    version_ = version;
    FileSource source(*file);
    source.SetExpectedLength(version.size);
    unsigned char magic[kMagicSize];
    if (!source.ReadExact(magic, sizeof magic)) {
        if (!source.status().ok()) return source.status();
        return Status::InvalidArgument(path + ": not a control-point file (shorter than its " +
                                       std::to_string(kMagicSize) + "-byte header)");
    }
    if (std::memcmp(magic, kFileMagic, sizeof kFileMagic) != 0) {
        return Status::InvalidArgument(path + ": not a control-point file (it does not start with GCPFILE67)");
    }
    std::memset(fileName_, 0, capacity_);
    std::memcpy(fileName_, path.data(), path.size());
    if (source.AtEnd()) {
        *groupCount = 0;
        return Status::OK();
    }
    if (!source.status().ok()) return source.status();
    std::string why;
    if (ReadGroupStream(source, list, *groupCount, &why)) return Status::OK();
    // A read error shows as a stream that ends early; the file's reason is
    // the true one.
    if (!source.status().ok()) return source.status();
    return Status::InvalidArgument(path + ": damaged control-point file: " + why);
}

Status FileStore::Save(CGCPGroupList& list) {
    if (fileName_[0] == '\0') return Status::InvalidArgument("no file to save to");
    const std::string path = SavedPath();
    FileVersion written = version_;
    const Status saved = SafeReplaceFile(
        *AreaEnv(), path, version_,
        [&list](ByteSink& sink) {
            return sink.Append(kFileMagic, sizeof kFileMagic) && WriteGroupStream(list, sink);
        },
        &written);
    version_ = written;
    if (saved.IsConflict()) {
        return Status::Conflict("another writer changed " + path + " since the area was opened; the groups were not saved");
    }
    return saved;
}

}  // namespace morvane
