// File_Morvane.cpp - the file-backed area: construction, copying, opening
// with the magic check, loading and saving, and the common operations.
//
// A control-point file is the 10-byte magic "GCPFILE67\0" followed by the
// group stream (GroupStream.h, docs/control-point-file.md).  The file is
// open only while it is read in OpenGCPArea and while it is rewritten at
// close; the save replaces it through a temporary file (SafeReplace.h), so
// an interrupted or failed save leaves the old file as it was, and only
// while it is still the version loaded, so that no save of another writer
// made after the load is lost.
#include "Morvane.h"

#include "AreaAccess.h"
#include "Env.h"
#include "FileStreams.h"
#include "GroupStream.h"
#include "SafeReplace.h"

#include <cstring>
#include <new>
#include <string>

using morvane::AreaAccess;
using morvane::FitsInt32;

namespace {

constexpr unsigned char kFileMagic[10] = {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0};
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

}  // namespace

CFile_Morvane::CFile_Morvane() {
    AreaAccess::InitCommonFields(*this);
    std::memset(FileName, 0, sizeof FileName);
    static_assert(sizeof LoadedFileVersion == kVersionFields * sizeof(std::uint64_t));
    StoreVersion(LoadedFileVersion, morvane::FileVersion());
}

// The copy gets a deep copy of the groups of its own (see Morvane.h); when
// memory for it runs out, the copy is left closed after use, holding nothing.
CFile_Morvane::CFile_Morvane(const CFile_Morvane& other) {
    AreaAccess::InitCommonFields(*this);
    AreaAccess::CopyCommonFields(*this, other);
    std::memcpy(FileName, other.FileName, sizeof FileName);
    std::memcpy(LoadedFileVersion, other.LoadedFileVersion, sizeof LoadedFileVersion);
    GroupList = AreaAccess::CloneGroupList(other.GroupList);
}

// The target's own groups end as at destruction: saved when the write-back
// rule says so, then released.  The source is copied first, so assigning an
// area to itself or to a copy of itself loses nothing.
CFile_Morvane& CFile_Morvane::operator=(const CFile_Morvane& other) {
    if (this == &other) return *this;
    CGCPGroupList* copy = AreaAccess::CloneGroupList(other.GroupList);
    AreaAccess::Destroy(*this);
    AreaAccess::CopyCommonFields(*this, other);
    std::memcpy(FileName, other.FileName, sizeof FileName);
    std::memcpy(LoadedFileVersion, other.LoadedFileVersion, sizeof LoadedFileVersion);
    GroupList = copy;
    return *this;
}

CFile_Morvane::~CFile_Morvane() { AreaAccess::Destroy(*this); }

// Refusals that change nothing come first: a missing, empty or too long
// path, range arguments that do not fit their 32-bit fields, and an area
// whose groups cannot be closed (their save failed).  From the creation of
// the new list on, the area counts as open whatever follows, but an open
// that fails part-way marks it so that it is never written back.  Every
// refusal leaves its reason for GetLastError.
short CFile_Morvane::OpenGCPArea(long rangeArg1, long rangeArg2, const char* path) {
    if (path == nullptr || path[0] == '\0') return AreaAccess::Fail(*this, {"no path given"});
    static_assert(sizeof FileName == kFileNameCapacity);
    const std::size_t length = strnlen(path, kFileNameCapacity);
    if (length >= kFileNameCapacity) {
        return AreaAccess::Fail(*this, {"the path is too long (",
                                        AreaAccess::Number(kFileNameCapacity - 1),
                                        " bytes at most): ", std::string_view(path, 60), "..."});
    }
    if (AreaAccess::CheckRangeArgs(*this, rangeArg1, rangeArg2) == 0) return 0;
    if (AreaAccess::CloseBeforeOpen(*this) == 0) return 0;

    GroupList = AreaAccess::NewGroupList();
    if (GroupList == nullptr) return AreaAccess::Fail(*this, {"out of memory"});
    OpenFlag = true;
    LastOpenFailed = true;
    try {
        if (LoadFile(path) == 0) return 0;
    } catch (const std::bad_alloc&) {
        return AreaAccess::Fail(*this, {path, ": out of memory while reading"});
    }
    RangeArg1 = static_cast<std::int32_t>(rangeArg1);
    RangeArg2 = static_cast<std::int32_t>(rangeArg2);
    LastOpenFailed = false;
    AreaAccess::ClearLastError(*this);
    return 1;
}

// Opens the file, checks the magic, takes the path and loads the groups.
// The version remembered for the save is that of the open file, taken
// before it is read: a save of another writer that renames a new file in
// meanwhile cannot be mistaken for the file loaded.
short CFile_Morvane::LoadFile(const char* path) {
    std::unique_ptr<morvane::SequentialFile> file;
    const morvane::Status opened = morvane::AreaEnv()->OpenForReading(path, &file);
    if (opened.IsNotFound()) return AreaAccess::Fail(*this, {path, ": no such control-point file"});
    if (!opened.ok()) return AreaAccess::Fail(*this, {opened.message()});
    morvane::FileVersion version;
    const morvane::Status examined = file->Version(&version);
    if (!examined.ok()) return AreaAccess::Fail(*this, {examined.message()});
    StoreVersion(LoadedFileVersion, version);
    morvane::FileSource source(*file);
    source.SetExpectedLength(version.size);
    unsigned char magic[sizeof kFileMagic];
    if (!source.ReadExact(magic, sizeof magic)) {
        if (!source.status().ok()) return AreaAccess::Fail(*this, {source.status().message()});
        return AreaAccess::Fail(*this, {path, ": not a control-point file (shorter than its ",
                                        AreaAccess::Number(sizeof kFileMagic), "-byte header)"});
    }
    if (std::memcmp(magic, kFileMagic, sizeof kFileMagic) != 0) {
        return AreaAccess::Fail(*this, {path, ": not a control-point file (it does not start with ",
                                        "GCPFILE67)"});
    }
    std::memset(FileName, 0, sizeof FileName);
    std::memcpy(FileName, path, strnlen(path, kFileNameCapacity));
    return InitialGcpInfo(&source);
}

// source: the FileSource of the open file, positioned after the magic.  A
// file that ends right after the magic is an area without groups; one that
// ends inside the count, a header or a point record fails the load.
short CFile_Morvane::InitialGcpInfo(void* source) {
    if (source == nullptr || GroupList == nullptr) return AreaAccess::Fail(*this, {"nothing to read"});
    auto& file = *static_cast<morvane::FileSource*>(source);
    if (file.AtEnd()) {
        GCPGroupNum = 0;
        return 1;
    }
    if (!file.status().ok()) return AreaAccess::Fail(*this, {file.status().message()});
    std::uint32_t groupCount = GCPGroupNum;
    std::string why;
    const bool complete = morvane::ReadGroupStream(file, *GroupList, groupCount, &why);
    GCPGroupNum = groupCount;
    if (complete) return 1;
    // A read error shows as a stream that ends early; the file's reason is
    // the true one.
    if (!file.status().ok()) return AreaAccess::Fail(*this, {file.status().message()});
    return AreaAccess::Fail(*this, {FileName, ": damaged control-point file: ", why});
}

// A save that runs out of memory fails like any other: the old file stays.
// The file is replaced only while it is the version loaded (or last saved);
// once replaced, the new file is that version, also when the close fails
// afterwards (directory sync) and is retried.
short CFile_Morvane::ReleaseGcpInfo() {
    if (GroupList == nullptr) return AreaAccess::Fail(*this, {"no groups to save"});
    if (FileName[0] == '\0') return AreaAccess::Fail(*this, {"no file to save to"});
    CGCPGroupList& list = *GroupList;
    try {
        const std::string path(FileName, strnlen(FileName, sizeof FileName));
        const morvane::FileVersion loaded = StoredVersion(LoadedFileVersion);
        morvane::FileVersion written = loaded;
        const morvane::Status saved = morvane::SafeReplaceFile(
            *morvane::AreaEnv(), path, loaded,
            [&list](morvane::ByteSink& sink) {
                return sink.Append(kFileMagic, sizeof kFileMagic) &&
                       morvane::WriteGroupStream(list, sink);
            },
            &written);
        StoreVersion(LoadedFileVersion, written);
        if (saved.IsConflict()) {
            return AreaAccess::Fail(*this, {"another writer changed ", FileName,
                                            " since the area was opened; the groups were not saved"});
        }
        if (!saved.ok()) return AreaAccess::Fail(*this, {saved.message()});
        return 1;
    } catch (const std::bad_alloc&) {
        return AreaAccess::Fail(*this, {"cannot save ", FileName, ": out of memory"});
    }
}

const char* CFile_Morvane::GetLastError() const { return LastErrorText; }

short CFile_Morvane::CloseGCPArea() { return AreaAccess::Close(*this); }

short CFile_Morvane::GetGCPGroupNum(unsigned long& count) { return AreaAccess::GetGCPGroupNum(*this, count); }
short CFile_Morvane::CreateGCPGroup(unsigned long groupNo) { return AreaAccess::CreateGCPGroup(*this, groupNo); }
short CFile_Morvane::DeleteGCPGroup(unsigned long groupNo) { return AreaAccess::DeleteGCPGroup(*this, groupNo); }
short CFile_Morvane::OpenGCPGroup(unsigned long groupNo) { return AreaAccess::OpenGCPGroup(*this, groupNo); }
short CFile_Morvane::CloseGCPGroup() { return AreaAccess::CloseGCPGroup(*this); }
short CFile_Morvane::GetCurGCPGroupNo(unsigned long& groupNo) {
    return AreaAccess::GetCurGCPGroupNo(*this, groupNo);
}
short CFile_Morvane::GetChangeFlag(bool& changed) { return AreaAccess::GetChangeFlag(*this, changed); }
short CFile_Morvane::SetChangeFlag(bool changed) { return AreaAccess::SetChangeFlag(*this, changed); }

short CFile_Morvane::GetGCPNum(unsigned long& count) { return AreaAccess::GetGCPNum(*this, count); }
short CFile_Morvane::AddOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::AddOneGCP(*this, index, point);
}
short CFile_Morvane::AddGCPs(const _CtrlPntStrcT* points, unsigned long count) {
    return AreaAccess::AddGCPs(*this, points, count);
}
short CFile_Morvane::DeleteOneGCP(unsigned long index) { return AreaAccess::DeleteOneGCP(*this, index); }
short CFile_Morvane::GetOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::GetOneGCP(*this, index, point);
}
short CFile_Morvane::UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::UpdateOneGCP(*this, index, point);
}
short CFile_Morvane::GetOneGCPEditOnOff(unsigned long index, bool& edit) {
    return AreaAccess::GetOneGCPEditOnOff(*this, index, edit);
}
short CFile_Morvane::SetOneGCPEditOnOff(unsigned long index, bool edit) {
    return AreaAccess::SetOneGCPEditOnOff(*this, index, edit);
}
short CFile_Morvane::GetOneGcpUseOnOff(unsigned long index, bool& use) {
    return AreaAccess::GetOneGcpUseOnOff(*this, index, use);
}
short CFile_Morvane::SetOneGcpUseOnOff(unsigned long index, bool use) {
    return AreaAccess::SetOneGcpUseOnOff(*this, index, use);
}

short CFile_Morvane::PointTransform(double in1, double in2, double& out1, double& out2, bool forward) {
    return AreaAccess::PointTransform(*this, in1, in2, out1, out2, forward);
}
short CFile_Morvane::GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY) {
    return AreaAccess::GetGCPCoordRect(*this, minX, minY, maxX, maxY);
}
short CFile_Morvane::IsLinearConvert(bool& linear) { return AreaAccess::IsLinearConvert(*this, linear); }
long CFile_Morvane::BeginTransform(bool forward) { return AreaAccess::BeginTransform(*this, forward); }
void CFile_Morvane::EndTransform() { AreaAccess::EndTransform(*this); }
long CFile_Morvane::PointTransform(double in1, double in2, double& out1, double& out2) {
    return AreaAccess::PreparedTransform(*this, in1, in2, out1, out2);
}

short CFile_Morvane::GetGCPGroupType(short& orientType, short& transType) {
    return AreaAccess::GetGCPGroupType(*this, orientType, transType);
}
short CFile_Morvane::SetGCPGroupType(short transType) { return AreaAccess::SetGCPGroupType(*this, transType); }
short CFile_Morvane::GetOneGCPResidual(unsigned long index, double& userDX, double& userDY,
                                  double& pixelDX, double& pixelDY) {
    return AreaAccess::GetOneGCPResidual(*this, index, userDX, userDY, pixelDX, pixelDY);
}
short CFile_Morvane::GetGCPRMSError(double& userRms, double& pixelRms) {
    return AreaAccess::GetGCPRMSError(*this, userRms, pixelRms);
}
long CFile_Morvane::BatchTransform(const double* in, double* out, std::size_t count) {
    return AreaAccess::BatchTransform(*this, in, out, count);
}
