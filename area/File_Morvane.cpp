// File_Morvane.cpp - the file-backed area: the area core (Area.h) over the
// class's own fields, with its groups kept in a control-point file
// (FileStore.h).
#include "Morvane.h"

#include "Env.h"
#include "ExportedArea.h"
#include "FileStore.h"

#include <cstring>
#include <string>

using morvane::Bound;
using morvane::ExportedFields;

namespace {

constexpr std::size_t kFileNameCapacity = 260;  // FileName: 259 characters and a zero

// LoadedFileVersion holds a morvane::FileVersion field by field; the public
// header does not know the type.  The class is packed, so the field may sit
// at any address: it is only ever copied as bytes.
constexpr std::size_t kVersionFields = 5;

void StoreVersion(void* fields, const morvane::FileVersion& version) {
    const std::uint64_t values[kVersionFields] = {
        version.device, version.inode, version.size, static_cast<std::uint64_t>(version.modifiedNs),
        static_cast<std::uint64_t>(version.changedNs)};
    std::memcpy(fields, values, sizeof values);
}

morvane::FileVersion StoredVersion(const void* fields) {
    std::uint64_t values[kVersionFields];
    std::memcpy(values, fields, sizeof values);
    morvane::FileVersion version;
    version.device = values[0];
    version.inode = values[1];
    version.size = values[2];
    version.modifiedNs = static_cast<std::int64_t>(values[3]);
    version.changedNs = static_cast<std::int64_t>(values[4]);
    return version;
}

// The area's file store, for a load of pathToLoad (null: the save only).
morvane::FileStore StoreOf(CFile_Morvane& area, const char* pathToLoad = nullptr) {
    return morvane::FileStore(pathToLoad, ExportedFields::FileName(area), kFileNameCapacity,
                              StoredVersion(ExportedFields::FileVersionBytes(area)));
}

// Runs call(core, store) on the area and keeps the version the store ends
// with.
template <class Call>
auto WithStore(CFile_Morvane& area, const char* pathToLoad, Call call) {
    morvane::FileStore store = StoreOf(area, pathToLoad);
    struct KeepVersion {
        CFile_Morvane& area;
        morvane::FileStore& store;
        ~KeepVersion() { StoreVersion(ExportedFields::FileVersionBytes(area), store.version()); }
    } keep{area, store};
    Bound<CFile_Morvane> bound(area);
    return call(bound.core(), store);
}

}  // namespace

CFile_Morvane::CFile_Morvane() {
    ExportedFields::Clear(*this);
    std::memset(FileName, 0, sizeof FileName);
    static_assert(sizeof FileName == kFileNameCapacity);
    static_assert(sizeof LoadedFileVersion == kVersionFields * sizeof(std::uint64_t));
    StoreVersion(LoadedFileVersion, morvane::FileVersion());
}

// The copy gets a deep copy of the groups of its own (see Morvane.h).
CFile_Morvane::CFile_Morvane(const CFile_Morvane& other) : CFile_Morvane() { *this = other; }

// The target's own groups end as at destruction, then it takes the
// source's state, path and version.
CFile_Morvane& CFile_Morvane::operator=(const CFile_Morvane& other) {
    if (this == &other) return *this;
    const morvane::AreaState source = ExportedFields::Lend(const_cast<CFile_Morvane&>(other));
    WithStore(*this, nullptr, [&source](morvane::Area& core, morvane::Store& store) {
        core.AssignFrom(source, store);
        return 0;
    });
    std::memcpy(FileName, other.FileName, sizeof FileName);
    std::memcpy(LoadedFileVersion, other.LoadedFileVersion, sizeof LoadedFileVersion);
    return *this;
}

CFile_Morvane::~CFile_Morvane() {
    WithStore(*this, nullptr, [](morvane::Area& core, morvane::Store& store) {
        core.Destroy(store);
        return 0;
    });
}

// Refusals that change nothing come first: a missing, empty or too long
// path, range arguments that do not fit their 32-bit fields, and an area
// whose groups cannot be closed (their save failed).  A load that fails
// part-way keeps the groups read before it, never to be written back.
short CFile_Morvane::OpenGCPArea(long rangeArg1, long rangeArg2, const char* path) {
    if (path == nullptr || path[0] == '\0') return Bound<CFile_Morvane>(*this)->Report(morvane::Status::InvalidArgument("no path given"));
    const std::size_t length = strnlen(path, kFileNameCapacity);
    if (length >= kFileNameCapacity) {
        return Bound<CFile_Morvane>(*this)->Report(morvane::Status::InvalidArgument(
            "the path is too long (" + std::to_string(kFileNameCapacity - 1) +
            " bytes at most): " + std::string(path, 60) + "..."));
    }
    return WithStore(*this, path, [rangeArg1, rangeArg2](morvane::Area& core, morvane::Store& store) {
        return core.Report(core.Open(store, rangeArg1, rangeArg2, morvane::FailedLoad::kKeepGroupsRead));
    });
}

short CFile_Morvane::CloseGCPArea() {
    return WithStore(*this, nullptr,
                     [](morvane::Area& core, morvane::Store& store) { return core.Report(core.Close(store)); });
}

MORVANE_DEFINE_AREA_CALLS(CFile_Morvane)
