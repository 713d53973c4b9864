#include "AreaHandle.h"

#include "Morvane.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#ifdef MORVANE_CLI_WITH_DATABASE
#include "RasteBaseArea.h"
#endif

namespace morvane::tool {

namespace {

namespace fs = std::filesystem;

// The control-point file layout the tool needs to know itself: the magic,
// for a clear message when a file is not one, and the empty store.
constexpr char kFileMagic[10] = {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', '\0'};
constexpr unsigned char kEmptyStream[4] = {0, 0, 0, 0};

template <class Area>
class AreaHandleOf : public AreaHandle {
public:
    using AreaHandle::AreaHandle;

    short GetGCPGroupNum(unsigned long& c) override { return area_.GetGCPGroupNum(c); }
    short CreateGCPGroup(unsigned long n) override { return area_.CreateGCPGroup(n); }
    short DeleteGCPGroup(unsigned long n) override { return area_.DeleteGCPGroup(n); }
    short OpenGCPGroup(unsigned long n) override { return area_.OpenGCPGroup(n); }
    short CloseGCPGroup() override { return area_.CloseGCPGroup(); }
    short SetChangeFlag(bool c) override { return area_.SetChangeFlag(c); }
    short GetGCPNum(unsigned long& c) override { return area_.GetGCPNum(c); }
    short AddOneGCP(unsigned long i, _CtrlPntStrcT* p) override { return area_.AddOneGCP(i, p); }
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
    // with a group open.
    void ClearChanges() {
        area_.CloseGCPGroup();
        area_.OpenGCPGroup(1);
        area_.SetChangeFlag(false);
        area_.CloseGCPGroup();
    }

    Area area_;
};

bool HasFileMagic(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[sizeof kFileMagic] = {};
    in.read(head, sizeof head);
    return in.gcount() == static_cast<std::streamsize>(sizeof head) && std::memcmp(head, kFileMagic, sizeof head) == 0;
}

void WriteEmptyFile(const fs::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(kFileMagic, sizeof kFileMagic);
    out.write(reinterpret_cast<const char*>(kEmptyStream), sizeof kEmptyStream);
    out.close();
    if (!out) throw Refusal(fmt::format("cannot write {}", path.string()));
}

std::string WhyFileDoesNotOpen(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return fmt::format("{}: no such control-point file (make one with `morvane new`)", path.string());
    if (fs::is_directory(path, ec)) return fmt::format("{}: is a directory", path.string());
    if (!HasFileMagic(path)) return fmt::format("{}: not a control-point file (no GCPFILE67 header)", path.string());
    return fmt::format("{}: damaged control-point file (it ends inside its groups) or unreadable", path.string());
}

// A control-point file area.  Changing commands work on a copy in the same
// folder and rename it over the original on Commit.
class FileAreaHandle : public AreaHandleOf<CFile_Morvane> {
public:
    FileAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows)
        : AreaHandleOf(address), original_(address.path) {
        std::error_code ec;
        bool exists = fs::exists(original_, ec);
        // Changes go to the file a link points to, and the link stays.
        if (exists && fs::is_symlink(original_, ec)) {
            fs::path target = fs::canonical(original_, ec);
            if (!ec) original_ = target;
        }
        if (mode == OpenMode::Read) {
            OpenPath(original_, columns, rows);
            return;
        }
        if (!exists && mode == OpenMode::Change) throw Refusal(WhyFileDoesNotOpen(original_));
        if (exists && !HasFileMagic(original_)) throw Refusal(WhyFileDoesNotOpen(original_));
        MakeWorkingCopy(exists);
        OpenPath(working_, columns, rows);
    }

    ~FileAreaHandle() override {
        if (!finished_) Discard();
    }

    void Commit() override {
        finished_ = true;
        unsigned long groups = 0;
        area_.GetGCPGroupNum(groups);
        if (area_.CloseGCPArea() == 0) {
            // The area keeps its groups after a failed save; drop them
            // unsaved so that nothing writes the working copy again.
            Discard();
            throw Refusal(fmt::format("{}: the save failed; the file is unchanged", original_.string()));
        }
        if (working_.empty()) return;
        // Read the saved copy back before it replaces the original.
        CFile_Morvane check;
        unsigned long reread = 0;
        bool good = check.OpenGCPArea(0, 0, working_.c_str()) == 1 && check.GetGCPGroupNum(reread) == 1 &&
                    reread == groups;
        check.CloseGCPArea();
        std::error_code ec;
        if (good) fs::rename(working_, original_, ec);
        if (!good || ec) {
            RemoveWorkingCopy();
            throw Refusal(fmt::format("{}: the save could not be completed; the file is unchanged",
                                      original_.string()));
        }
        working_.clear();
    }

    void Discard() override {
        finished_ = true;
        ClearChanges();
        area_.CloseGCPArea();
        RemoveWorkingCopy();
    }

private:
    void OpenPath(const fs::path& path, long columns, long rows) {
        if (path.string().size() >= 260) throw Refusal(fmt::format("{}: path too long (259 bytes at most)", path.string()));
        if (area_.OpenGCPArea(columns, rows, path.c_str()) != 1) {
            std::string reason = WhyFileDoesNotOpen(original_);
            Discard();
            throw Refusal(reason);
        }
    }

    void MakeWorkingCopy(bool copyOriginal) {
        std::string pattern = original_.string() + ".tmp-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0) {
            throw Refusal(fmt::format("{}: cannot write in its folder: {}", original_.string(), std::strerror(errno)));
        }
        close(fd);
        working_ = name.data();
        std::error_code ec;
        if (copyOriginal) {
            fs::copy_file(original_, working_, fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::permissions(working_, fs::status(original_).permissions(), ec);
            if (ec) {
                RemoveWorkingCopy();
                throw Refusal(fmt::format("{}: cannot copy: {}", original_.string(), ec.message()));
            }
        } else {
            WriteEmptyFile(working_);
            // mkstemp made it private; a new file gets the usual permissions.
            mode_t mask = umask(0);
            umask(mask);
            chmod(working_.c_str(), 0666 & ~mask);
        }
    }

    void RemoveWorkingCopy() {
        if (working_.empty()) return;
        std::error_code ec;
        fs::remove(working_, ec);
        working_.clear();
    }

    fs::path original_;
    fs::path working_;
    bool finished_ = false;
};

#ifdef MORVANE_CLI_WITH_DATABASE
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
            std::string reason = database_.LastError();
            if (reason.empty()) reason = "the record is damaged (it ends inside its groups)";
            finished_ = true;
            area_.CloseGCPArea();
            throw Refusal(fmt::format("{}: {}", address.Describe(), reason));
        }
    }

    ~DbAreaHandle() override {
        if (!finished_) Discard();
    }

    void Commit() override {
        finished_ = true;
        if (area_.CloseGCPArea() == 0) {
            Discard();
            throw Refusal(fmt::format("{}: the save failed: {}", Address().Describe(), database_.LastError()));
        }
    }

    void Discard() override {
        finished_ = true;
        ClearChanges();
        area_.CloseGCPArea();
    }

private:
    CRasteBaseArea database_;   // outlived by area_: Commit or Discard closes the area first
    bool finished_ = false;
};
#endif

}  // namespace

std::unique_ptr<AreaHandle> OpenAreaHandle(const AreaAddress& address, OpenMode mode, long columns, long rows) {
    if (address.kind == AreaAddress::Kind::File) {
        return std::make_unique<FileAreaHandle>(address, mode, columns, rows);
    }
#ifdef MORVANE_CLI_WITH_DATABASE
    return std::make_unique<DbAreaHandle>(address, mode, columns, rows);
#else
    throw Refusal("this build of morvane has no database support");
#endif
}

void CreateEmptyStore(const AreaAddress& address) {
    std::error_code ec;
    if (address.kind == AreaAddress::Kind::File) {
        if (fs::exists(address.path, ec)) throw Refusal(fmt::format("{}: already exists", address.path));
        WriteEmptyFile(address.path);
        return;
    }
#ifdef MORVANE_CLI_WITH_DATABASE
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
#else
    throw Refusal("this build of morvane has no database support");
#endif
}

}  // namespace morvane::tool
