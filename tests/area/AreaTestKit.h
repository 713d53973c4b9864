// AreaTestKit.h - helpers shared by the area tests: a scratch directory, file
// bytes, committed hex dumps, and an encoder of stored bytes written
// independently of the library's own coding helpers.
#ifndef MORVANE_TESTS_AREA_AREATESTKIT_H
#define MORVANE_TESTS_AREA_AREATESTKIT_H

#include "CtrlPntSet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace morvane::test {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
#ifdef _WIN32
        // No mkdtemp: a random name, taken only if create_directory made it.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            fs::path candidate = fs::temp_directory_path() / ("morvane-area-" + std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) path_ = candidate;
        }
        EXPECT_FALSE(path_.empty());
#else
        std::string pattern = (fs::temp_directory_path() / "morvane-area-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const char* made = ::mkdtemp(buffer.data());
        EXPECT_NE(made, nullptr);
        path_ = made != nullptr ? fs::path(made) : fs::path();
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

// The whole file ("" when it cannot be read), in one read rather than a
// character at a time: some tests read megabytes hundreds of times.
inline Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Bytes();
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Modification time in nanoseconds.
inline std::int64_t ModificationTime(const std::string& path) {
#ifdef _WIN32
    std::error_code error;
    const auto time = fs::last_write_time(path, error);
    if (error) return -1;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
}

// Reads a committed hex dump: pairs of hex digits; '#' starts a comment.
inline Bytes LoadHexDump(const std::string& name) {
    std::ifstream in(std::string(MORVANE_AREA_TEST_DATA) + "/" + name);
    EXPECT_TRUE(in.good()) << name;
    Bytes bytes;
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string word;
        while (words >> word) bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// Builds stored bytes field by field, little-endian, by shifting.
class ByteWriter {
public:
    ByteWriter& U8(std::uint8_t v) { bytes_.push_back(v); return *this; }
    ByteWriter& U16(std::uint16_t v) { return Le(v, 2); }
    ByteWriter& U32(std::uint32_t v) { return Le(v, 4); }
    ByteWriter& I32(std::int32_t v) { return Le(static_cast<std::uint32_t>(v), 4); }
    ByteWriter& I16(std::int16_t v) { return Le(static_cast<std::uint16_t>(v), 2); }
    ByteWriter& F64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return Le(bits, 8);
    }
    ByteWriter& Raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    ByteWriter& Magic() { return Raw("GCPFILE67", 10); }
    // A group header with the range given as (min X, min Y, max X, max Y).
    ByteWriter& Header(std::int32_t groupNo, std::uint32_t points, std::int16_t orient,
                       std::int16_t trans, double minX, double minY, double maxX, double maxY) {
        return I32(groupNo).U32(points).I16(orient).I16(trans).F64(minX).F64(maxX).F64(minY).F64(maxY);
    }
    ByteWriter& Point(const _CtrlPntStrcT& p) { return Raw(&p, sizeof p); }
    const Bytes& bytes() const { return bytes_; }

private:
    ByteWriter& Le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
        return *this;
    }
    Bytes bytes_;
};

// Point number i of a test group: distinct pixel and user positions on a
// slightly sheared grid, so that every fit type has a well-posed system.
inline _CtrlPntStrcT TestPoint(int i) {
    const double col = (i * 37) % 101;
    const double row = (i * 53) % 97;
    // snprintf rather than "P" + std::to_string(i): g++ 12 reports a false
    // -Wrestrict on that concatenation at -O3.
    char name[16];
    std::snprintf(name, sizeof name, "P%d", i);
    return TmMakePoint(10.0 * col + row, 10.0 * row, 500000.0 + 2.0 * col - 0.5 * row,
                       4100000.0 - 2.0 * row + 0.25 * col, 100.0 + i, name);
}

inline bool SameRecord(const _CtrlPntStrcT& a, const _CtrlPntStrcT& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}


// A control-point file of groups with the given point counts; group g uses
// transformation type 1 + g % 6 and points TestPoint(100 * g + j).
inline Bytes SampleFile(const std::vector<int>& pointsPerGroup) {
    ByteWriter w;
    w.Magic().U32(static_cast<std::uint32_t>(pointsPerGroup.size()));
    for (std::size_t g = 0; g < pointsPerGroup.size(); ++g) {
        const int points = pointsPerGroup[g];
        const double base = 1000.0 * static_cast<double>(g);
        w.Header(static_cast<std::int32_t>(g + 1), static_cast<std::uint32_t>(points),
                 static_cast<std::int16_t>(g % 2), static_cast<std::int16_t>(1 + g % 6), base, base + 1,
                 base + 2, base + 3);
        for (int j = 0; j < points; ++j) w.Point(TestPoint(static_cast<int>(100 * g) + j));
    }
    return w.bytes();
}

}  // namespace morvane::test

#endif
