// PosixEnv.cpp - the Env of POSIX systems, and the process-wide Env of the
// areas.
//
// How a writer holds its file: an exclusive flock(2), taken right after the
// file is created and kept on a duplicate descriptor until the WritableFile
// is destroyed.  The kernel drops the lock when the last descriptor of the
// open file goes, and a dying process's descriptors go with it, SIGKILL
// included; so "the lock can be taken" means exactly "no writer is at work
// on this file any more".  A process id in the name would not do as well:
// ids are reused, so a dead writer's file could look alive for ever, and a
// live writer's id could not be told from a recycled one.  flock rather
// than fcntl locks, because an fcntl lock belongs to the process and goes
// when any descriptor of the file in the process is closed, and because an
// flock also excludes another open of the same file in the same process.
//
// The save's lock on the file it replaces (LockForReplace) is an flock too,
// on the target file itself, so that it needs no file of its own beside it
// and goes with a dying process.  A save renames a new file over the path
// while it holds the lock on the old one; whoever waited for that lock then
// holds the lock of a file the path no longer names, sees so, and locks the
// new file instead.  The new file is still held by its writer's lock (see
// above) until that save is done, so the waiter goes on only after it.
#include "Env.h"
#include "SystemError.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace morvane {

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FileVersion VersionOf(const struct stat& st) {
    FileVersion version;
    version.device = static_cast<std::uint64_t>(st.st_dev);
    version.inode = static_cast<std::uint64_t>(st.st_ino);
    version.size = static_cast<std::uint64_t>(st.st_size);
    version.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    version.changedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return version;
}

Status VersionOfOpenFile(int fd, const std::string& path, FileVersion* version) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return PosixError("cannot examine", path, errno);
    *version = VersionOf(st);
    return Status::OK();
}

class PosixSequentialFile final : public SequentialFile {
public:
    PosixSequentialFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixSequentialFile() override { ::close(fd_); }

    Status Read(void* dst, std::size_t n, std::size_t* got) override {
        for (;;) {
            const ssize_t r = ::read(fd_, dst, n);
            if (r >= 0) {
                *got = static_cast<std::size_t>(r);
                return Status::OK();
            }
            if (errno != EINTR) return PosixError("cannot read", path_, errno);
        }
    }

    Status Version(FileVersion* version) override { return VersionOfOpenFile(fd_, path_, version); }

private:
    int fd_;
    std::string path_;
};

// True when path (not followed if a link) names the file open as fd.
bool PathNamesFile(const std::string& path, int fd) {
    struct stat byPath, byFd;
    return ::lstat(path.c_str(), &byPath) == 0 && ::fstat(fd, &byFd) == 0 &&
           byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino;
}

enum class Hold { kHeld, kNoLocks, kLost };

// Takes the writer's lock on the file just created as fd at path.  Between
// the creation and the lock, another process may have found the file
// unlocked, taken it for abandoned and removed it: then the lock waits for
// that removal to end and the file has no name any more (kLost).  Where the
// file system has no locks, nobody can remove the file either (kNoLocks).
Hold HoldNewFile(int fd, const std::string& path) {
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return Hold::kNoLocks;
    return PathNamesFile(path, fd) ? Hold::kHeld : Hold::kLost;
}

// Removes the abandoned file open as fd at path, if it is one.
Status RemoveUnlessHeld(int fd, const std::string& path, bool* removed) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return PosixError("cannot examine", path, errno);
    if (!S_ISREG(st.st_mode)) return Status::OK();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR) return Status::OK();  // its writer is at work
        return PosixError("cannot lock", path, errno);  // cannot tell: leave it
    }
    // While the lock is held no writer can be at work on the file, and only
    // a lock holder removes one; but the name may since have gone to
    // another file, which must not be touched.
    if (!PathNamesFile(path, fd)) return Status::OK();
    if (::unlink(path.c_str()) != 0) return PosixError("cannot remove", path, errno);
    *removed = true;
    return Status::OK();
}

class PosixWritableFile final : public WritableFile {
public:
    // holdFd: a duplicate of fd that keeps the file open, with the writer's
    // lock where there are locks, after Close.
    PosixWritableFile(int fd, int holdFd, std::string path)
        : fd_(fd), holdFd_(holdFd), path_(std::move(path)) {}
    ~PosixWritableFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (holdFd_ >= 0) ::close(holdFd_);  // lets go of the file
    }

    // A large append goes to the file in steps of kWritebackBytes, so that
    // the writeback below keeps its pace whatever the caller hands over.
    Status Append(const void* data, std::size_t n) override {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, std::min<std::size_t>(n, kWritebackBytes));
            if (w < 0) {
                if (errno == EINTR) continue;
                return PosixError("cannot write", path_, errno);
            }
            p += w;
            n -= static_cast<std::size_t>(w);
            written_ += static_cast<std::uint64_t>(w);
            if (Status s = StartWriteback(); !s.ok()) return s;
        }
        return Status::OK();
    }

    Status Sync() override {
        if (!writebackFailure_.ok()) return writebackFailure_;
        if (::fsync(fd_) != 0) return PosixError("cannot sync", path_, errno);
        return Status::OK();
    }

    Status Close() override {
        const int fd = fd_;
        fd_ = -1;
        if (fd < 0) return PosixError("cannot close", path_, EBADF);
        if (::close(fd) != 0) return PosixError("cannot close", path_, errno);
        return Status::OK();
    }

    Status Version(FileVersion* version) override {
        return VersionOfOpenFile(holdFd_ >= 0 ? holdFd_ : fd_, path_, version);
    }

private:
    // Every kWritebackBytes written, the disk is asked to start on them
    // (without waiting), so that a large file is mostly on its way by the
    // time Sync waits for it, instead of all of it being queued then.
    //
    // The bytes two such steps back are then waited for and dropped from
    // the page cache ("drop behind").  A save writes a new file while the
    // old one is still cached, so keeping all of it would take as much
    // fresh memory as the file is large; fresh memory is what costs (on a
    // virtual machine whose host takes back freed memory, first touching
    // it cost 2.5 ms a MiB), while the pages dropped here are reused by the
    // next steps.  A large file is thus left mostly uncached: the
    // caller has its content in memory already, and a later open reads it
    // from the disk.  Files below three steps are not touched.
    //
    // Only hints: where the calls are missing or refused, Sync does all the
    // work.  But a waiting sync_file_range reports a write error of its
    // range to this descriptor once, and fsync would not report it again,
    // so such an error is kept and returned by Sync.
    static constexpr std::size_t kWritebackBytes = std::size_t{4} << 20;
    Status StartWriteback() {
#if defined(__linux__)
        if (written_ - queued_ < kWritebackBytes) return Status::OK();
        ::sync_file_range(fd_, static_cast<off_t>(queued_), static_cast<off_t>(written_ - queued_),
                          SYNC_FILE_RANGE_WRITE);
        DropBehind(previousQueued_);
        previousQueued_ = queued_;
        queued_ = written_;
#endif
        return writebackFailure_;
    }
#if defined(__linux__)
    // Waits for the bytes before end to reach the disk and drops them from
    // the page cache.
    void DropBehind(std::uint64_t end) {
        if (!dropBehind_ || end <= dropped_) return;
        const auto from = static_cast<off_t>(dropped_);
        const auto length = static_cast<off_t>(end - dropped_);
        if (::sync_file_range(fd_, from, length,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
            if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS) {
                dropBehind_ = false;  // not for this file: nothing was waited for
            } else {
                writebackFailure_ = PosixError("cannot write", path_, errno);
            }
            return;
        }
        ::posix_fadvise(fd_, from, length, POSIX_FADV_DONTNEED);
        dropped_ = end;
    }
#endif

    int fd_;
    int holdFd_;
    std::string path_;
    std::uint64_t written_ = 0;  // bytes appended
    std::uint64_t queued_ = 0;   // bytes handed to StartWriteback's request
    std::uint64_t previousQueued_ = 0;  // queued_ one step back
    std::uint64_t dropped_ = 0;  // bytes on the disk and out of the page cache
    bool dropBehind_ = true;
    Status writebackFailure_;  // a write error a waiting sync_file_range reported
};

constexpr int kMaxCreateAttempts = 10;

// The descriptors of a file just created: fd to write through, holdFd a
// duplicate that keeps the file open, and the writer's lock where there are
// locks, after fd is closed.
struct NewFile {
    int fd = -1;
    int holdFd = -1;

    // Undoes the creation.
    void Discard(const std::string& path) {
        ::unlink(path.c_str());
        ::close(fd);
        if (holdFd >= 0) ::close(holdFd);
    }
};

// Creates the file at path and takes the writer's lock on it.  *lost: the
// file was removed by another process before the lock was taken; nothing is
// left open then.
Status CreateHeld(const std::string& path, mode_t mode, bool exactPermissions, NewFile* made,
                  bool* lost) {
    made->fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (made->fd < 0) return PosixError("cannot create", path, errno);
    const Hold hold = HoldNewFile(made->fd, path);
    if (hold == Hold::kLost) {
        ::close(made->fd);
        *lost = true;
        return Status::OK();
    }
    Status s;
    made->holdFd = ::fcntl(made->fd, F_DUPFD_CLOEXEC, 0);
    if (made->holdFd < 0) s = PosixError("cannot create", path, errno);
    // The umask may have removed bits the old file had.
    if (s.ok() && exactPermissions && ::fchmod(made->fd, mode) != 0) {
        s = PosixError("cannot set the permissions of", path, errno);
    }
    if (!s.ok()) made->Discard(path);
    return s;
}

// The save lock on a target: its descriptor, whose flock goes with it.
class PosixFileLock final : public FileLock {
public:
    explicit PosixFileLock(int fd) : fd_(fd) {}
    ~PosixFileLock() override { ::close(fd_); }

private:
    int fd_;
};

int LockWaiting(int fd) {
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    return locked;
}

// A save that waited for the lock finds a new file under the path each time
// another save finished meanwhile; it gives up after this many in a row.
constexpr int kMaxLockAttempts = 1000;

// Renames without replacing where the file system cannot do that in one
// call: a hard link fails on an existing name, and the old name goes after.
Status LinkNoReplace(const std::string& from, const std::string& to, bool* renamed) {
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return Status::OK();
        return PosixError("cannot rename " + from + " to", to, errno);
    }
    *renamed = true;
    // Should this fail, the name stays as a second link to the new file; the
    // next save's sweep removes it (its writer is gone by then).
    ::unlink(from.c_str());
    return Status::OK();
}

// Closes a descriptor on every way out unless released.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// What LockForReplace tells of a path it could not open.
Status DescribeUnopenable(const std::string& path, int error, bool* exists, FileVersion* version) {
    *exists = false;
    if (error == ENOENT) return Status::OK();
    struct stat st;
    if (error == ELOOP && ::lstat(path.c_str(), &st) == 0) {  // a link now
        *exists = true;
        *version = VersionOf(st);
        return Status::OK();
    }
    return PosixError("cannot open", path, error);
}

// One attempt of LockForReplace: opens what path names and, if it is a
// regular file, locks it.  *renamedMeanwhile: the path names another file
// than the one locked, since a save renamed it in while this one waited;
// nothing is held then.
Status LockTarget(const std::string& path, std::unique_ptr<FileLock>* lock, bool* exists,
                  FileVersion* version, bool* renamedMeanwhile) {
    // Not following a link, nor waiting on a FIFO: neither is the regular
    // file a save replaces, and both are told as they are.
    Descriptor fd(OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return DescribeUnopenable(path, errno, exists, version);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return PosixError("cannot examine", path, errno);
    if (S_ISREG(st.st_mode)) {
        // Without locks on this file system the version is checked all the
        // same, only not atomically with the rename.
        const bool locked = LockWaiting(fd.get()) == 0;
        *renamedMeanwhile = locked && !PathNamesFile(path, fd.get());
        if (*renamedMeanwhile) return Status::OK();
        if (::fstat(fd.get(), &st) != 0) return PosixError("cannot examine", path, errno);
        *lock = std::make_unique<PosixFileLock>(fd.get());
        fd.release();  // the lock owns it now
    }
    *exists = true;
    *version = VersionOf(st);
    return Status::OK();
}

class PosixEnv final : public Env {
public:
    Status OpenForReading(const std::string& path, std::unique_ptr<SequentialFile>* file) override {
        const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return PosixError("cannot open", path, errno);
        struct stat st;
        const int error = ::fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
        if (error != 0) {
            ::close(fd);
            return PosixError("cannot open", path, error);
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        *file = std::make_unique<PosixSequentialFile>(fd, path);
        return Status::OK();
    }

    // A file lost to another process's removal before it could be locked
    // is simply created again: its name is free once more.
    Status CreateNew(const std::string& path, unsigned permissions, bool exactPermissions,
                     std::unique_ptr<WritableFile>* file) override {
        const mode_t mode = static_cast<mode_t>(permissions & 07777);
        for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
            NewFile made;
            bool lost = false;
            Status s = CreateHeld(path, mode, exactPermissions, &made, &lost);
            if (lost) continue;
            if (!s.ok()) return s;
            try {
                *file = std::make_unique<PosixWritableFile>(made.fd, made.holdFd, path);
            } catch (...) {
                made.Discard(path);
                throw;
            }
            return Status::OK();
        }
        return Status::IOError("cannot create " + path + ": another process removed it " +
                               std::to_string(kMaxCreateAttempts) + " times in a row");
    }

    Status Rename(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0) {
            return PosixError("cannot rename " + from + " to", to, errno);
        }
        return Status::OK();
    }

    Status Remove(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) return PosixError("cannot remove", path, errno);
        return Status::OK();
    }

    Status SyncDirectory(const std::string& dir) override {
        const int fd = OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return PosixError("cannot open the directory", dir, errno);
        // Some file systems cannot sync a directory and say so with EINVAL;
        // there the rename is as durable as it can be made.
        const int error = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (error != 0 && error != EINVAL) return PosixError("cannot sync the directory", dir, error);
        return Status::OK();
    }

    Status Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return Status::OK();
            return PosixError("cannot examine", path, errno);
        }
        info->exists = true;
        info->isSymlink = S_ISLNK(st.st_mode);
        info->isRegular = S_ISREG(st.st_mode);
        info->permissions = static_cast<unsigned>(st.st_mode & 07777);
        info->version = VersionOf(st);
        return Status::OK();
    }

    Status ReadLink(const std::string& path, std::string* target) override {
        std::vector<char> buffer(256);
        for (;;) {
            const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
            if (n < 0) return PosixError("cannot read the link", path, errno);
            if (static_cast<std::size_t>(n) < buffer.size()) {
                target->assign(buffer.data(), static_cast<std::size_t>(n));
                return Status::OK();
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
        std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
        if (d == nullptr) return PosixError("cannot list", dir, errno);
        names->clear();
        for (;;) {
            errno = 0;  // readdir tells the end from an error only by errno
            const struct dirent* entry = ::readdir(d.get());
            if (entry == nullptr) break;
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names->push_back(name);
        }
        if (errno != 0) return PosixError("cannot list", dir, errno);
        return Status::OK();
    }

    Status RemoveIfAbandoned(const std::string& path, bool* removed) override {
        *removed = false;
        // Not following a link, and not waiting on a FIFO: neither is a
        // file a writer made.
        const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT || errno == ELOOP) return Status::OK();
            return PosixError("cannot open", path, errno);
        }
        Status s = RemoveUnlessHeld(fd, path, removed);
        ::close(fd);
        return s;
    }

    Status LockForReplace(const std::string& path, std::unique_ptr<FileLock>* lock, bool* exists,
                          FileVersion* version) override {
        lock->reset();
        for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
            bool renamedMeanwhile = false;
            Status s = LockTarget(path, lock, exists, version, &renamedMeanwhile);
            if (!s.ok() || !renamedMeanwhile) return s;
        }
        return Status::IOError("cannot lock " + path + ": other saves replaced it " +
                               std::to_string(kMaxLockAttempts) + " times while this one waited");
    }

    Status RenameNoReplace(const std::string& from, const std::string& to, bool* renamed) override {
        *renamed = false;
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            *renamed = true;
            return Status::OK();
        }
        if (errno == EEXIST) return Status::OK();
        // File systems without the flag say EINVAL; old kernels ENOSYS.
        if (errno == EINVAL || errno == ENOSYS) return LinkNoReplace(from, to, renamed);
        return PosixError("cannot rename " + from + " to", to, errno);
    }
};

}  // namespace

Env* Env::Posix() {
    static PosixEnv* env = new PosixEnv;  // never destroyed: areas may outlive statics
    return env;
}

Env* Env::Default() { return Posix(); }

}  // namespace morvane
