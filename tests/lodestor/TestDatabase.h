// TestDatabase.h - helpers for tests against real SQLite database files: a
// temporary folder removed at the end, records whose bytes prove that they
// are complete, and a way to make a file unwritable even for root (on
// Windows: the read-only attribute).
#ifndef MORVANE_TESTS_LODESTOR_TESTDATABASE_H
#define MORVANE_TESTS_LODESTOR_TESTDATABASE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <random>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lodestor_test {

// A fresh folder under the system's temporary directory, removed with all
// its files when the object goes.
class TempDir {
public:
    TempDir() {
#ifdef _WIN32
        // No mkdtemp: a random name, taken only if create_directory made it.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() / ("lodestor-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "lodestor-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A record of `length` bytes (at least 12) that describes itself: its seed,
// its length, then bytes that follow from the seed.  A record cut short,
// padded, or mixed from two writes fails IsCompleteRecord.
inline std::vector<unsigned char> MakeRecord(std::uint64_t seed, std::uint32_t length) {
    std::vector<unsigned char> bytes(length);
    std::memcpy(bytes.data(), &seed, 8);
    std::memcpy(bytes.data() + 8, &length, 4);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::uint32_t i = 12; i < length; ++i) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        bytes[i] = static_cast<unsigned char>(x);
    }
    return bytes;
}

inline std::uint64_t RecordSeed(const std::vector<unsigned char>& bytes) {
    std::uint64_t seed = 0;
    if (bytes.size() >= 8) std::memcpy(&seed, bytes.data(), 8);
    return seed;
}

inline bool IsCompleteRecord(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 12) return false;
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + 8, 4);
    return length == bytes.size() && bytes == MakeRecord(RecordSeed(bytes), length);
}

// Makes the file unwritable: its mode loses every write bit and, for root,
// who ignores modes, the file gets the immutable attribute.  True when a
// write-open of the file now fails.  UndoReadOnly lets the folder be removed.
#ifdef _WIN32
// Windows has no modes: removing the write permissions sets the file's
// read-only attribute, which binds every user.
inline bool MakeReadOnly(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, error);
    if (error) return false;
    std::FILE* probe = std::fopen(path.c_str(), "r+b");
    if (probe != nullptr) {
        std::fclose(probe);
        return false;
    }
    return true;
}

inline void UndoReadOnly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 ignored);
}
#else
inline bool MakeReadOnly(const std::string& path) {
    if (chmod(path.c_str(), 0444) != 0) return false;
    if (geteuid() == 0) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return false;
        int flags = 0;
        bool set = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags |= FS_IMMUTABLE_FL;
        set = set && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        close(fd);
        if (!set) return false;
    }
    int probe = open(path.c_str(), O_RDWR);
    if (probe >= 0) {
        close(probe);
        return false;
    }
    return true;
}

inline void UndoReadOnly(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        int flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        close(fd);
    }
    chmod(path.c_str(), 0644);
}
#endif

}  // namespace lodestor_test

#endif
