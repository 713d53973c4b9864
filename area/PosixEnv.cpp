// PosixEnv.cpp - the Env of POSIX systems, and the process-wide Env of the
// areas.
#include "Env.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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
    explicit PosixSequentialFile(int fd) : fd_(fd) {}
    ~PosixSequentialFile() override { ::close(fd_); }

    bool Read(void* dst, std::size_t n, std::size_t* got) override {
        for (;;) {
            const ssize_t r = ::read(fd_, dst, n);
            if (r >= 0) {
                *got = static_cast<std::size_t>(r);
                return true;
            }
            if (errno != EINTR) return false;
        }
    }

private:
    int fd_;
};

class PosixWritableFile final : public WritableFile {
public:
    explicit PosixWritableFile(int fd) : fd_(fd) {}
    ~PosixWritableFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Append(const void* data, std::size_t n) override {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }

    bool Sync() override { return ::fsync(fd_) == 0; }

    bool Close() override {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
};

class PosixEnv final : public Env {
public:
    std::unique_ptr<SequentialFile> OpenForReading(const std::string& path) override {
        const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat st;
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            ::close(fd);
            return nullptr;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return std::make_unique<PosixSequentialFile>(fd);
    }

    std::unique_ptr<WritableFile> CreateNew(const std::string& path, unsigned permissions,
                                            bool exactPermissions) override {
        const mode_t mode = static_cast<mode_t>(permissions & 07777);
        const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) return nullptr;
        auto file = std::make_unique<PosixWritableFile>(fd);
        // The umask may have removed bits the old file had.
        if (exactPermissions && ::fchmod(fd, mode) != 0) {
            file->Close();
            ::unlink(path.c_str());
            return nullptr;
        }
        return file;
    }

    bool Rename(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }

    bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

    bool SyncDirectory(const std::string& dir) override {
        const int fd = OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        // Some file systems cannot sync a directory and say so with EINVAL;
        // there the rename is as durable as it can be made.
        const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
        ::close(fd);
        return synced;
    }

    bool Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
        info->exists = true;
        info->isSymlink = S_ISLNK(st.st_mode);
        info->isRegular = S_ISREG(st.st_mode);
        info->permissions = static_cast<unsigned>(st.st_mode & 07777);
        return true;
    }

    bool ReadLink(const std::string& path, std::string* target) override {
        std::vector<char> buffer(256);
        for (;;) {
            const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
            if (n < 0) return false;
            if (static_cast<std::size_t>(n) < buffer.size()) {
                target->assign(buffer.data(), static_cast<std::size_t>(n));
                return true;
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
