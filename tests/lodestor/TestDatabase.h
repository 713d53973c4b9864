// TestDatabase.h - helpers for tests against real SQLite database files: a
// temporary folder removed at the end, records whose bytes prove that they
// are complete, and a way to make a file unwritable even for root.
#ifndef MORVANE_TESTS_LODESTOR_TESTDATABASE_H
#define MORVANE_TESTS_LODESTOR_TESTDATABASE_H

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lodestor_test {

// A fresh folder under the system's temporary directory, removed with all
// its files when the object goes.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lodestor-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
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

}  // namespace lodestor_test

#endif
