#include "AreaHandle.h"

#include "Morvane.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include "RasteBaseArea.h"

namespace morvane::tool {

namespace {

namespace fs = std::filesystem;

// The control-point file layout the tool needs to know itself: the bytes
// of an area without groups, which `new` writes.
constexpr char kFileMagic[10] = {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', '\0'};
constexpr unsigned char kEmptyStream[4] = {0, 0, 0, 0};

#ifdef _WIN32
// The C runtime's calls, with the UTF-8 path the tool takes converted to
// UTF-16 (the narrow calls would read it in the ANSI code page), and in
// binary mode.
std::wstring WidePath(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end())).wstring();
}
int OpenExclusive(const std::string& path) {
    return ::_wopen(WidePath(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}
int SyncFile(int fd) { return ::_commit(fd); }
void RemoveFile(const std::string& path) { ::_wunlink(WidePath(path).c_str()); }
// Windows has no directory sync (docs/portability.md).
void SyncDirectoryOf(const std::string&) {}
#else
int OpenExclusive(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int SyncFile(int fd) { return ::fsync(fd); }
void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

// Makes a new directory entry durable.  A file system that cannot sync a
// directory says so with EINVAL; nothing more can be done there.
void SyncDirectoryOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    const std::string dir = parent.empty() ? "." : parent.string();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = fd < 0 ? errno : (::fsync(fd) == 0 ? 0 : errno);
    if (fd >= 0) ::close(fd);
    if (error != 0 && error != EINVAL) {
        throw Refusal(fmt::format("{} was created, but its folder {} cannot be synced: {}", path, dir,
                                  std::strerror(error)));
    }
}
#endif

template <class Area>
class AreaHandleOf : public AreaHandle {
public:
    using AreaHandle::AreaHandle;

    // The area keeps its groups after a failed save; they are dropped unsaved,
    // so that nothing writes the store after the failure was reported.
    void Commit() override {
        try {
            Save();
        } catch (const Refusal&) {
            Discard();
            throw;
        }
    }

    short GetGCPGroupNum(unsigned long& c) override { return area_.GetGCPGroupNum(c); }
    short CreateGCPGroup(unsigned long n) override { return area_.CreateGCPGroup(n); }
    short DeleteGCPGroup(unsigned long n) override { return area_.DeleteGCPGroup(n); }
    short OpenGCPGroup(unsigned long n) override { return area_.OpenGCPGroup(n); }
    short CloseGCPGroup() override { return area_.CloseGCPGroup(); }
    short SetChangeFlag(bool c) override { return area_.SetChangeFlag(c); }
    short GetGCPNum(unsigned long& c) override { return area_.GetGCPNum(c); }
    short AddOneGCP(unsigned long i, _CtrlPntStrcT* p) override { return area_.AddOneGCP(i, p); }
    short AddGCPs(const _CtrlPntStrcT* p, unsigned long n) override { return area_.AddGCPs(p, n); }
    short DeleteOneGCP(unsigned long i) override { return area_.DeleteOneGCP(i); }
    short GetOneGCP(unsigned long i, _CtrlPntStrcT* p) override { return area_.GetOneGCP(i, p); }
    short UpdateOneGCP(unsigned long i, _CtrlPntStrcT* p) override { return area_.UpdateOneGCP(i, p); }
    short GetOneGCPEditOnOff(unsigned long i, bool& e) override { return area_.GetOneGCPEditOnOff(i, e); }
    short SetOneGCPEditOnOff(unsigned long i, bool e) override { return area_.SetOneGCPEditOnOff(i, e); }
    short GetOneGcpUseOnOff(unsigned long i, bool& u) override { return area_.GetOneGcpUseOnOff(i, u); }
    short SetOneGcpUseOnOff(unsigned long i, bool u) override { return area_.SetOneGcpUseOnOff(i, u); }
    short PointTransform(double a, double b, double& c, double& d, bool f) override {
        return area_.PointTransform(a, b, c, d, f);
    }
    short GetGCPCoordRect(double& a, double& b, double& c, double& d) override {
        return area_.GetGCPCoordRect(a, b, c, d);
    }
    long BeginTransform(bool f) override { return area_.BeginTransform(f); }
    void EndTransform() override { area_.EndTransform(); }
    long PointTransform(double a, double b, double& c, double& d) override { return area_.PointTransform(a, b, c, d); }
    long BatchTransform(const double* in, double* out, std::size_t n) override {
        return area_.BatchTransform(in, out, n);
    }
    short GetGCPGroupType(short& o, short& t) override { return area_.GetGCPGroupType(o, t); }
    short SetGCPGroupType(short t) override { return area_.SetGCPGroupType(t); }
    short GetOneGCPResidual(unsigned long i, double& a, double& b, double& c, double& d) override {
        return area_.GetOneGCPResidual(i, a, b, c, d);
    }
    short GetGCPRMSError(double& u, double& p) override { return area_.GetGCPRMSError(u, p); }

protected:
    // Makes sure closing writes nothing: the change flag can only be cleared
    // with a group open, so an area left without groups gets one, which is
    // never saved.
    void ClearChanges() {
        area_.CloseGCPGroup();
        if (area_.OpenGCPGroup(1) != 1 && area_.CreateGCPGroup(1) == 1) area_.OpenGCPGroup(1);
        area_.SetChangeFlag(false);
        area_.CloseGCPGroup();
    }

    Area area_;
};

enum class Sync { kNo, kYes };

// Creates path holding an empty control-point file: the magic and a zero
// group count, in one write.  O_EXCL: whatever is at path already (a file, a
// directory, a link even if it dangles) stays untouched, and the result is
// false.  A failure to create or write throws Refusal and leaves nothing
// behind.  With Sync::kYes the file and its directory entry are made
// durable, and a failure of that last step throws too, the file being there.
bool CreateEmptyFile(const std::string& path, Sync sync) {
    int fd = OpenExclusive(path);
    if (fd < 0 && errno == EEXIST) return false;
    if (fd < 0) throw Refusal(fmt::format("cannot create {}: {}", path, std::strerror(errno)));
    unsigned char empty[sizeof kFileMagic + sizeof kEmptyStream];
    std::memcpy(empty, kFileMagic, sizeof kFileMagic);
    std::memcpy(empty + sizeof kFileMagic, kEmptyStream, sizeof kEmptyStream);
    bool written = ::write(fd, empty, sizeof empty) == static_cast<int>(sizeof empty);
    int error = written ? 0 : errno;
    if (written && sync == Sync::kYes && SyncFile(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (!written && error == 0) error = ENOSPC;  // a short write of 14 bytes: the disk is full
    if (error != 0) {
        RemoveFile(path);
        throw Refusal(fmt::format("cannot write {}: {}", path, std::strerror(error)));
    }
    if (sync == Sync::kYes) SyncDirectoryOf(path);
    return true;
}

// A control-point file area.  Changing commands change the file itself: the
// area saves it at Commit (CloseGCPArea) through a temporary file beside it,
// synced and renamed over it, following links to the file they name and
// keeping its permission bits; a failed or interrupted save leaves the file
// as it was.  A missing file that the command may make (ChangeOrMake) is
// created empty only for the moment of the open and removed at once, so the
// file appears with its content at Commit, and a refused command leaves
// nothing behind.
class FileAreaHandle : public AreaHandleOf<CFile_Morvane> {
public:
    FileAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows)
        : AreaHandleOf(address), path_(address.path) {
        made_ = mode == OpenMode::ChangeOrMake && CreateEmptyFile(path_, Sync::kNo);
        const bool opened = area_.OpenGCPArea(columns, rows, path_.c_str()) == 1;
        if (made_) RemoveFile(path_);
        if (!opened) {
            std::string reason = area_.GetLastError();
            Discard();
            throw Refusal(reason);
        }
    }

    ~FileAreaHandle() override {
        if (!finished_) Discard();
    }

    void Save() override {
        if (area_.CloseGCPArea() == 0) {
            throw Refusal(fmt::format("{}: the save failed: {}", path_, area_.GetLastError()));
        }
        finished_ = true;
        // A file made for the command but left unchanged was not saved.
        if (made_) CreateEmptyFile(path_, Sync::kYes);
    }

    void Discard() override {
        finished_ = true;
        ClearChanges();
        area_.CloseGCPArea();
    }

private:
    std::string path_;
    bool made_ = false;   // the file did not exist and is the command's to make
    bool finished_ = false;
};

class DbAreaHandle : public AreaHandleOf<CDB_Morvane> {
public:
    DbAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows) : AreaHandleOf(address) {
        // Only a command that may make its store creates a database file or
        // area; any other refuses a misspelt name, leaving the file as it
        // was, instead of adding an empty area under that name.
        const CRasteBaseArea::OpenMode databaseMode =
            mode == OpenMode::ChangeOrMake ? CRasteBaseArea::CreateIfMissing : CRasteBaseArea::OpenExisting;
        if (!database_.Open(address.path.c_str(), address.areaName.c_str(), databaseMode)) {
            throw Refusal(fmt::format("{}: {}", address.Describe(), database_.LastError()));
        }
        if (area_.OpenGCPArea(&database_, address.recordKey, columns, rows) != 1) {
            std::string reason = Reason();
            finished_ = true;
            area_.CloseGCPArea();
            throw Refusal(fmt::format("{}: {}", address.Describe(), reason));
        }
    }

    ~DbAreaHandle() override {
        if (!finished_) Discard();
    }

    void Save() override {
        if (area_.CloseGCPArea() == 0) {
            throw Refusal(fmt::format("{}: the save failed: {}", Address().Describe(), Reason()));
        }
        finished_ = true;
    }

    void Discard() override {
        finished_ = true;
        ClearChanges();
        area_.CloseGCPArea();
    }

private:
    // Why the last open or close failed: the database's own sentence when it
    // refused a call, else the area's (a damaged record, a key out of range).
    std::string Reason() const {
        const char* database = database_.LastError();
        return database[0] != '\0' ? database : area_.GetLastError();
    }

    CRasteBaseArea database_;   // outlived by area_: Commit or Discard closes the area first
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<AreaHandle> OpenAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows) {
    if (address.kind == AreaAddress::Kind::File) {
        return std::make_unique<FileAreaHandle>(address, mode, columns, rows);
    }
    return std::make_unique<DbAreaHandle>(address, mode, columns, rows);
}

void CreateEmptyStore(const AreaAddress& address) {
    if (address.kind == AreaAddress::Kind::File) {
        if (!CreateEmptyFile(address.path, Sync::kYes)) {
            throw Refusal(fmt::format("{}: already exists", address.path));
        }
        return;
    }
    CRasteBaseArea database;
    if (!database.Open(address.path.c_str(), address.areaName.c_str(), CRasteBaseArea::CreateIfMissing)) {
        throw Refusal(fmt::format("{}: {}", address.Describe(), database.LastError()));
    }
    std::uint32_t size = 0;
    if (!database.RecordSize(address.recordKey, size)) {
        throw Refusal(fmt::format("{}: {}", address.Describe(), database.LastError()));
    }
    if (size != 0) throw Refusal(fmt::format("{}: already holds a control-point record", address.Describe()));
    if (!database.WriteRecord(address.recordKey, kEmptyStream, sizeof kEmptyStream)) {
        throw Refusal(fmt::format("{}: {}", address.Describe(), database.LastError()));
    }
}

}  // namespace morvane::tool
