// RecordKit.h - builds and reads control-point records byte by byte, with
// its own little-endian coding (independent of the library's), and makes
// test points.
#ifndef MORVANE_TESTS_DBAREA_RECORDKIT_H
#define MORVANE_TESTS_DBAREA_RECORDKIT_H

#include "CtrlPntSet.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace dbarea_test {

using Bytes = std::vector<unsigned char>;

class RecordWriter {
public:
    RecordWriter& U32(std::uint32_t v) { return Le(v, 4); }
    RecordWriter& I32(std::int32_t v) { return Le(static_cast<std::uint32_t>(v), 4); }
    RecordWriter& I16(std::int16_t v) { return Le(static_cast<std::uint16_t>(v), 2); }
    RecordWriter& F64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return Le(bits, 8);
    }
    // A group header; the range is given as minimum X, minimum Y, maximum X,
    // maximum Y and stored in the order 1, 3, 2, 4.
    RecordWriter& Header(std::int32_t groupNo, std::uint32_t points, std::int16_t orient,
                         std::int16_t trans, double minX, double minY, double maxX, double maxY) {
        return I32(groupNo).U32(points).I16(orient).I16(trans).F64(minX).F64(maxX).F64(minY).F64(maxY);
    }
    RecordWriter& Point(const _CtrlPntStrcT& p) {
        const auto* b = reinterpret_cast<const unsigned char*>(&p);
        bytes_.insert(bytes_.end(), b, b + sizeof p);
        return *this;
    }
    RecordWriter& Raw(const Bytes& more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    RecordWriter& Le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
        return *this;
    }
    Bytes bytes_;
};

inline std::uint32_t U32At(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(at + i);
    return v;
}

// Point i of a test group: distinct positions on a sheared grid, stored as the
// library keeps it (error context and reserved fields zero).
inline _CtrlPntStrcT TestPoint(int i) {
    const double col = (i * 37) % 101;
    const double row = (i * 53) % 97;
    char name[16];  // not "G" + std::to_string(i): a false -Wrestrict at -O3 with g++ 12
    std::snprintf(name, sizeof name, "G%d", i);
    return TmMakePoint(10.0 * col + row, 10.0 * row, 500000.0 + 2.0 * col - 0.5 * row,
                       4100000.0 - 2.0 * row + 0.25 * col, 50.0 + i, name);
}

// Bytes 88 on of a point record are the library's error context, which it
// refreshes at every check of the group; a point is the same when the bytes
// before them are.
constexpr std::size_t kErrorContextOffset = 88;

inline bool SameRecord(const _CtrlPntStrcT& a, const _CtrlPntStrcT& b) {
    return std::memcmp(&a, &b, kErrorContextOffset) == 0;
}

// The stream with the error context of every point record zeroed, walked by
// its own counts (the stream must be complete).
inline Bytes WithoutErrorContexts(Bytes stream) {
    std::size_t at = 4;
    const std::uint32_t groups = U32At(stream, 0);
    for (std::uint32_t g = 0; g < groups; ++g) {
        const std::uint32_t points = U32At(stream, at + 4);
        at += 44;
        if (points >= 0x80000000u) continue;
        for (std::uint32_t p = 0; p < points; ++p, at += 120) {
            std::memset(stream.data() + at + kErrorContextOffset, 0, 120 - kErrorContextOffset);
        }
    }
    return stream;
}

}  // namespace dbarea_test

#endif
