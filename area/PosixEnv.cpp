// PosixEnv.cpp - the Env of POSIX systems, and the process-wide Env of the
// areas.
#include "Env.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
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

private:
    int fd_;
    std::string path_;
};

class PosixWritableFile final : public WritableFile {
public:
    PosixWritableFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixWritableFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    Status Append(const void* data, std::size_t n) override {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return PosixError("cannot write", path_, errno);
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return Status::OK();
    }

    Status Sync() override {
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

private:
    int fd_;
    std::string path_;
};

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

    Status CreateNew(const std::string& path, unsigned permissions, bool exactPermissions,
                     std::unique_ptr<WritableFile>* file) override {
        const mode_t mode = static_cast<mode_t>(permissions & 07777);
        const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) return PosixError("cannot create", path, errno);
        // The umask may have removed bits the old file had.
        if (exactPermissions && ::fchmod(fd, mode) != 0) {
            const Status failed = PosixError("cannot set the permissions of", path, errno);
            ::close(fd);
            ::unlink(path.c_str());
            return failed;
        }
        *file = std::make_unique<PosixWritableFile>(fd, path);
        return Status::OK();
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
};

std::atomic<Env*> installedEnv{nullptr};

}  // namespace

Env* Env::Posix() {
    static PosixEnv* env = new PosixEnv;  // never destroyed: areas may outlive statics
    return env;
}

Env* AreaEnv() {
    Env* env = installedEnv.load(std::memory_order_acquire);
    return env != nullptr ? env : Env::Posix();
}

void SetAreaEnv(Env* env) { installedEnv.store(env, std::memory_order_release); }

}  // namespace morvane
