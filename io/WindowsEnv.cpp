// WindowsEnv.cpp - the Env of Windows.
//
// Paths arrive as UTF-8 and go to the wide (UTF-16) calls of the system, so
// that a name in any script works whatever the process's code page; a path
// that is not valid UTF-8 is refused, never guessed at.
//
// What differs from the POSIX Env (PosixEnv.cpp), and why:
//
// - The replace is MoveFileExW(MOVEFILE_REPLACE_EXISTING |
//   MOVEFILE_WRITE_THROUGH), after FlushFileBuffers on the new file.  Not
//   ReplaceFileW: that one keeps the old file's identity (its file index),
//   which is what tells a saved file from the one that was read, and it is
//   several steps that can stop half way.  What the rename does not carry
//   over from the old file: an explicit ACL (the new file inherits its
//   folder's), alternate data streams and the creation time.  The
//   read-only attribute is carried over like the POSIX mode bits.
// - There is no directory sync on Windows: WRITE_THROUGH returns only once
//   the rename is on the disk, so SyncDirectory has nothing left to do.
// - Permissions are the read-only attribute: Stat reports 0444 for a
//   read-only file and 0666 otherwise.  Windows refuses to rename over a
//   read-only file, so a save of one is refused with that reason and the
//   file keeps its bytes.
// - Symbolic links are followed by the system and reported as the file they
//   name; a save over a link replaces the link by the new file.
// - Windows cannot rename over a file that anyone has open.  Every handle
//   of this Env shares reading, writing and deletion, and a replace refused
//   because the target is open is tried again for two seconds; a file that
//   another program keeps open (a reader, a viewer) makes the save fail with
//   that reason, and nothing changes.  (On POSIX the reader keeps the old
//   bytes and the save goes through.)
//
// Locks: a writer holds its new file with an exclusive byte-range lock
// (LockFileEx) on one byte far past any data (kLockOffset).  Windows locks
// belong to the open file object and go when it is closed or its process
// dies, killed or not, which is what "no writer is at work any more" needs;
// a lock past the end of the data never gets in the way of reading or
// writing it.  The save's lock on the file it replaces cannot be on that
// file, since it would have to stay open across the rename: it is the same
// kind of lock on a lock file named after the target's identity (volume
// serial and file index) in the user's temporary folder, opened
// delete-on-close so that it goes with its last holder (TakeLockFile).
#include "Env.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <utility>

namespace morvane {

namespace {

// The byte every lock of this Env covers: far past the end of any file.
constexpr DWORD kLockOffsetHigh = 0x40000000;  // 2^62
constexpr DWORD kLockOffsetLow = 0;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int kMaxCreateAttempts = 10;
constexpr int kMaxLockAttempts = 1000;
// A replace refused because the target is open is tried this often, this
// many milliseconds apart (two seconds in all).
constexpr int kMaxRenameAttempts = 100;
constexpr DWORD kRenameRetryMs = 20;
// One ReadFile or WriteFile moves at most this much (DWORD counts).
constexpr std::size_t kMaxTransfer = 1u << 30;

std::string WideToUtf8(const wchar_t* text, int length) {
    if (length == 0) return {};
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// The system's sentence for a Windows error code, without its final period
// and line break.
std::string ErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length > 0 ? WideToUtf8(buffer, static_cast<int>(length)) : std::string();
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' ||
                             text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) text = "Windows error " + std::to_string(error);
    return text;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH;
}

// "<action> <path>: <the system's text>"; a missing file or folder gives
// NotFound, everything else IOError.
Status WindowsError(const std::string& action, const std::string& path, DWORD error) {
    std::string message = action + " " + path + ": " + ErrorText(error);
    if (IsMissing(error)) return Status::NotFound(std::move(message));
    return Status::IOError(std::move(message));
}

Status ToWide(const std::string& path, std::wstring* wide) {
    wide->clear();
    if (path.empty()) return Status::NotFound("cannot open an empty path");
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                             static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0) return Status::InvalidArgument("the path " + path + " is not valid UTF-8");
    wide->resize(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                          wide->data(), length);
    if (wide->find(L'\0') != std::wstring::npos) {
        return Status::InvalidArgument("the path " + path + " holds a zero byte");
    }
    return Status::OK();
}

// Closes a handle on every way out unless released.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() {
        if (valid()) ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

private:
    HANDLE h_;
};

HANDLE OpenExisting(const std::wstring& path, DWORD access, DWORD flags) {
    return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

// FILETIME ticks (100 ns since 1601) of the Unix epoch.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;

// Nanoseconds since 1970, as the POSIX Env gives them (since 1601 they
// would not fit 64 bits).
std::int64_t Nanoseconds(std::int64_t ticks) { return (ticks - kUnixEpochTicks) * 100; }

std::int64_t Nanoseconds(const FILETIME& time) {
    return Nanoseconds(static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                 time.dwLowDateTime));
}

// The version of an open file: the volume's serial number and the file's
// index for its identity (a save makes a new file, so a new index), its
// size, and the last write and change times.
Status VersionOfHandle(HANDLE h, const std::string& path, FileVersion* version) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) return WindowsError("cannot examine", path, ::GetLastError());
    FileVersion v;
    v.device = info.dwVolumeSerialNumber;
    v.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    v.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    v.modifiedNs = Nanoseconds(info.ftLastWriteTime);
    FILE_BASIC_INFO basic;
    v.changedNs = ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)
                      ? Nanoseconds(basic.ChangeTime.QuadPart)
                      : v.modifiedNs;
    *version = v;
    return Status::OK();
}

// True when path names the file open as h (same volume, same index).
bool PathNamesFile(const std::wstring& path, HANDLE h) {
    Handle byPath(OpenExisting(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION a, b;
    return byPath.valid() && ::GetFileInformationByHandle(byPath.get(), &a) &&
           ::GetFileInformationByHandle(h, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

enum class LockResult { kLocked, kHeldElsewhere, kNoLocks };

LockResult LockByte(HANDLE h, bool wait) {
    OVERLAPPED at{};
    at.Offset = kLockOffsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (::LockFileEx(h, flags, 0, 1, 0, &at)) return LockResult::kLocked;
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return LockResult::kHeldElsewhere;
    return LockResult::kNoLocks;
}

bool IsDirectory(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

class WindowsSequentialFile final : public SequentialFile {
public:
    WindowsSequentialFile(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}

    Status Read(void* dst, std::size_t n, std::size_t* got) override {
        DWORD read = 0;
        const DWORD ask = static_cast<DWORD>(n < kMaxTransfer ? n : kMaxTransfer);
        if (!::ReadFile(h_.get(), dst, ask, &read, nullptr)) {
            return WindowsError("cannot read", path_, ::GetLastError());
        }
        *got = read;
        return Status::OK();
    }

    Status Version(FileVersion* version) override { return VersionOfHandle(h_.get(), path_, version); }

private:
    Handle h_;
    std::string path_;
};

// The handle stays open, and with it the writer's lock, until the object
// goes: Close only ends writing.  Windows reports write errors on WriteFile
// and FlushFileBuffers, not on CloseHandle, so nothing is lost by that.
class WindowsWritableFile final : public WritableFile {
public:
    WindowsWritableFile(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {
        BY_HANDLE_FILE_INFORMATION info;
        if (::GetFileInformationByHandle(h_.get(), &info)) volume_ = info.dwVolumeSerialNumber;
    }

    Status Append(const void* data, std::size_t n) override {
        if (closed_) return Status::IOError("cannot write " + path_ + ": the file is closed");
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            DWORD written = 0;
            const DWORD ask = static_cast<DWORD>(n < kMaxTransfer ? n : kMaxTransfer);
            if (!::WriteFile(h_.get(), p, ask, &written, nullptr)) {
                return WindowsError("cannot write", path_, ::GetLastError());
            }
            if (written == 0) return Status::IOError("cannot write " + path_ + ": nothing was written");
            p += written;
            n -= written;
        }
        return Status::OK();
    }

    Status Sync() override {
        if (!::FlushFileBuffers(h_.get())) return WindowsError("cannot sync", path_, ::GetLastError());
        return Status::OK();
    }

    Status Close() override {
        if (closed_) return Status::IOError("cannot close " + path_ + ": it is closed already");
        closed_ = true;
        return Status::OK();
    }

    // A rename cannot move the file to another volume, so the volume is the
    // one it was made on; wine reports 0 for a handle whose file was
    // renamed since it was opened.
    Status Version(FileVersion* version) override {
        Status s = VersionOfHandle(h_.get(), path_, version);
        if (s.ok()) version->device = volume_;
        return s;
    }

private:
    Handle h_;
    std::string path_;
    DWORD volume_ = 0;
    bool closed_ = false;
};

class WindowsFileLock final : public FileLock {
public:
    explicit WindowsFileLock(HANDLE h) : h_(h) {}

private:
    Handle h_;  // closing it lets go of the lock
};

// Creates the file at wide and takes the writer's lock.  *lost: another
// process took the new file for abandoned and removed it before the lock
// was taken; nothing is left open then.
Status CreateHeld(const std::wstring& wide, const std::string& path, DWORD attributes, HANDLE* made,
                  bool* lost) {
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                             CREATE_NEW, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) return WindowsError("cannot create", path, ::GetLastError());
    Handle file(h);
    const LockResult locked = LockByte(file.get(), true);
    if (locked == LockResult::kLocked && !PathNamesFile(wide, file.get())) {
        *lost = true;
        return Status::OK();
    }
    *made = file.release();
    return Status::OK();
}

// The identity of an open file: its volume's serial number and its index.
struct FileIdentity {
    DWORD volume = 0;
    std::uint64_t index = 0;
};

bool IdentityOf(HANDLE h, FileIdentity* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// The lock file of a target's identity, in the user's temporary folder.
// It is opened delete-on-close: it goes with the last handle, so nothing
// gathers there.
std::wstring LockFileName(const FileIdentity& id) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    std::wstring dir = length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring(L".\\");
    dir += L"morvane-save-locks";
    ::CreateDirectoryW(dir.c_str(), nullptr);  // there already, or the open below says why not
    wchar_t name[64];
    std::swprintf(name, 64, L"\\%08lx-%016llx.lock", static_cast<unsigned long>(id.volume),
                  static_cast<unsigned long long>(id.index));
    return dir + name;
}

// Opens the lock file and waits for its lock.  A lock file whose last
// holder just closed it is delete-pending and cannot be opened until it is
// gone; then the next attempt makes it anew.
Status TakeLockFile(const FileIdentity& id, const std::string& path, HANDLE* held) {
    const std::wstring name = LockFileName(id);
    for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
        Handle file(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                  nullptr));
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
                return WindowsError("cannot open the save lock of", path, error);
            }
            ::Sleep(1);
            continue;
        }
        if (LockByte(file.get(), true) != LockResult::kLocked) {
            return WindowsError("cannot lock", path, ::GetLastError());
        }
        *held = file.release();
        return Status::OK();
    }
    return Status::IOError("cannot lock " + path + ": its save lock stayed busy");
}

// One attempt of LockForReplace (see PosixEnv.cpp's LockTarget).  Windows
// cannot rename over a file that is open, so unlike the POSIX Env the lock
// is not on the target itself: it is on a lock file named after the
// target's identity (TakeLockFile), which every save of that file takes.
// The target is open only for the moment of reading its identity and
// version.
Status LockTarget(const std::wstring& wide, const std::string& path, std::unique_ptr<FileLock>* lock,
                  bool* exists, FileVersion* version, bool* renamedMeanwhile) {
    FileIdentity before;
    bool isDirectory = false;
    {
        Handle file(OpenExisting(wide, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            *exists = false;
            if (IsMissing(error)) return Status::OK();
            return WindowsError("cannot open", path, error);
        }
        isDirectory = IsDirectory(file.get());
        if (!IdentityOf(file.get(), &before)) return WindowsError("cannot examine", path, ::GetLastError());
        if (isDirectory) {
            *exists = true;
            return VersionOfHandle(file.get(), path, version);
        }
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    Status s = TakeLockFile(before, path, &held);
    if (!s.ok()) return s;
    auto taken = std::make_unique<WindowsFileLock>(held);
    Handle file(OpenExisting(wide, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
    FileIdentity now;
    if (!file.valid() || !IdentityOf(file.get(), &now) || now.volume != before.volume ||
        now.index != before.index) {
        *renamedMeanwhile = true;  // or removed: the next attempt tells
        return Status::OK();
    }
    s = VersionOfHandle(file.get(), path, version);
    if (!s.ok()) return s;
    *exists = true;
    *lock = std::move(taken);
    return Status::OK();
}

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// Why a rename onto `to` failed; Windows says only "Access is denied" for
// a read-only target and for one that another program holds open.
Status RenameFailure(const std::string& from, const std::wstring& to, const std::string& toPath,
                     DWORD error) {
    if (error == ERROR_ACCESS_DENIED && IsReadOnly(to)) {
        return Status::IOError("cannot replace " + toPath +
                               ": it is read-only (clear its read-only attribute to save over it)");
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        return Status::IOError("cannot replace " + toPath + ": " + ErrorText(error) +
                               " (another program may have it open)");
    }
    return WindowsError("cannot rename " + from + " to", toPath, error);
}

class WindowsEnv final : public Env {
public:
    Status OpenForReading(const std::string& path, std::unique_ptr<SequentialFile>* file) override {
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s;
        Handle h(OpenExisting(wide, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN));
        if (!h.valid()) {
            const DWORD error = ::GetLastError();
            const DWORD attributes = ::GetFileAttributesW(wide.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return Status::IOError("cannot open " + path + ": Is a directory");
            }
            return WindowsError("cannot open", path, error);
        }
        *file = std::make_unique<WindowsSequentialFile>(h.release(), path);
        return Status::OK();
    }

    Status CreateNew(const std::string& path, unsigned permissions, bool exactPermissions,
                     std::unique_ptr<WritableFile>* file) override {
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s;
        // The attribute applies to later opens; this handle may still write.
        const bool readOnly = exactPermissions && (permissions & 0222) == 0;
        const DWORD attributes = readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
        for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
            HANDLE made = INVALID_HANDLE_VALUE;
            bool lost = false;
            s = CreateHeld(wide, path, attributes, &made, &lost);
            if (lost) continue;
            if (!s.ok()) return s;
            Handle owner(made);  // closed, and the file removed, should the object not be made
            try {
                *file = std::make_unique<WindowsWritableFile>(made, path);
            } catch (...) {
                ::DeleteFileW(wide.c_str());
                throw;
            }
            owner.release();
            return Status::OK();
        }
        return Status::IOError("cannot create " + path + ": another process removed it " +
                               std::to_string(kMaxCreateAttempts) + " times in a row");
    }

    Status Rename(const std::string& from, const std::string& to) override {
        std::wstring wideFrom, wideTo;
        Status s = ToWide(from, &wideFrom);
        if (s.ok()) s = ToWide(to, &wideTo);
        if (!s.ok()) return s;
        // A read-only target is refused here, as Windows itself does (wine
        // does not), so that every Windows says the same.
        if (IsReadOnly(wideTo)) return RenameFailure(from, wideTo, to, ERROR_ACCESS_DENIED);
        // Windows refuses to replace a file while anyone has it open, even
        // for a moment (another save reading its version, a virus scanner):
        // such a refusal is tried again for a while before it counts.
        DWORD error = ERROR_SUCCESS;
        for (int attempt = 0; attempt < kMaxRenameAttempts; ++attempt) {
            if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return Status::OK();
            }
            error = ::GetLastError();
            if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
            if (IsReadOnly(wideTo)) break;
            ::Sleep(kRenameRetryMs);
        }
        return RenameFailure(from, wideTo, to, error);
    }

    Status Remove(const std::string& path) override {
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s;
        if (::DeleteFileW(wide.c_str())) return Status::OK();
        DWORD error = ::GetLastError();
        // Windows will not delete a read-only file (a temporary file made
        // for a read-only target is one): the attribute goes first.
        if (error == ERROR_ACCESS_DENIED && IsReadOnly(wide) &&
            ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL)) {
            if (::DeleteFileW(wide.c_str())) return Status::OK();
            error = ::GetLastError();
        }
        return WindowsError("cannot remove", path, error);
    }

    // Windows has no directory sync; the rename was written through.
    Status SyncDirectory(const std::string&) override { return Status::OK(); }

    Status Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s.IsNotFound() ? Status::OK() : s;
        Handle h(OpenExisting(wide, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
        if (!h.valid()) {
            const DWORD error = ::GetLastError();
            if (IsMissing(error)) return Status::OK();
            return WindowsError("cannot examine", path, error);
        }
        BY_HANDLE_FILE_INFORMATION file;
        if (!::GetFileInformationByHandle(h.get(), &file)) {
            return WindowsError("cannot examine", path, ::GetLastError());
        }
        const DWORD attributes = file.dwFileAttributes;
        info->exists = true;
        info->isRegular = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                          ::GetFileType(h.get()) == FILE_TYPE_DISK;
        info->permissions = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        return VersionOfHandle(h.get(), path, &info->version);
    }

    Status ReadLink(const std::string& path, std::string*) override {
        return Status::InvalidArgument("cannot read the link " + path +
                                       ": this Env follows links itself (Windows)");
    }

    Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
        std::wstring wide;
        Status s = ToWide(dir, &wide);
        if (!s.ok()) return s;
        if (wide.back() != L'\\' && wide.back() != L'/') wide.push_back(L'\\');
        wide.push_back(L'*');
        WIN32_FIND_DATAW entry;
        HANDLE find = ::FindFirstFileW(wide.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) return WindowsError("cannot list", dir, ::GetLastError());
        names->clear();
        DWORD error = ERROR_SUCCESS;
        while (error == ERROR_SUCCESS) {
            std::string name = WideToUtf8(entry.cFileName, static_cast<int>(std::wcslen(entry.cFileName)));
            if (name != "." && name != "..") names->push_back(std::move(name));
            if (!::FindNextFileW(find, &entry)) error = ::GetLastError();
        }
        ::FindClose(find);
        if (error != ERROR_NO_MORE_FILES) return WindowsError("cannot list", dir, error);
        return Status::OK();
    }

    Status RemoveIfAbandoned(const std::string& path, bool* removed) override {
        *removed = false;
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s;
        Handle file(OpenExisting(wide, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                                 FILE_FLAG_OPEN_REPARSE_POINT));
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            if (IsMissing(error)) return Status::OK();
            return WindowsError("cannot open", path, error);
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(file.get(), &info)) {
            return WindowsError("cannot examine", path, ::GetLastError());
        }
        if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
            return Status::OK();
        }
        const LockResult locked = LockByte(file.get(), false);
        if (locked == LockResult::kHeldElsewhere) return Status::OK();  // its writer is at work
        if (locked == LockResult::kNoLocks) {
            return Status::IOError("cannot lock " + path + ": the file system has no locks");
        }
        if (!PathNamesFile(wide, file.get())) return Status::OK();
        // A read-only file cannot be deleted (the abandoned temporary file of
        // a read-only target is one); the lock keeps its writers away.
        if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
            FILE_BASIC_INFO basic{};
            basic.FileAttributes = (info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
        }
        // Deleting through the handle removes exactly the file examined,
        // whatever the name names by now.
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                          sizeof disposition)) {
            return WindowsError("cannot remove", path, ::GetLastError());
        }
        *removed = true;
        return Status::OK();
    }

    Status LockForReplace(const std::string& path, std::unique_ptr<FileLock>* lock, bool* exists,
                          FileVersion* version) override {
        lock->reset();
        std::wstring wide;
        Status s = ToWide(path, &wide);
        if (!s.ok()) return s;
        for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
            bool renamedMeanwhile = false;
            s = LockTarget(wide, path, lock, exists, version, &renamedMeanwhile);
            if (!s.ok() || !renamedMeanwhile) return s;
        }
        return Status::IOError("cannot lock " + path + ": other saves replaced it " +
                               std::to_string(kMaxLockAttempts) + " times while this one waited");
    }

    Status RenameNoReplace(const std::string& from, const std::string& to, bool* renamed) override {
        *renamed = false;
        std::wstring wideFrom, wideTo;
        Status s = ToWide(from, &wideFrom);
        if (s.ok()) s = ToWide(to, &wideTo);
        if (!s.ok()) return s;
        if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_WRITE_THROUGH)) {
            *renamed = true;
            return Status::OK();
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return Status::OK();
        return WindowsError("cannot rename " + from + " to", to, error);
    }
};

}  // namespace

Env* Env::Default() {
    static WindowsEnv* env = new WindowsEnv;  // never destroyed: areas may outlive statics
    return env;
}

}  // namespace morvane
