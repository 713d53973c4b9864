// Coding.h - little-endian encoding of the fixed-size fields of the stored
// formats.
//
// Every integer and real that the library stores goes through these helpers,
// so the byte order of a stored file never depends on how a compiler lays out
// a struct.  Integers are two's complement; reals are IEEE 754 binary64.  The
// helpers neither align nor pad: dst and src may point anywhere.
#ifndef MORVANE_IO_CODING_H
#define MORVANE_IO_CODING_H

#include <bit>
#include <cstdint>
#include <cstring>

namespace morvane {

inline void EncodeFixed16(unsigned char* dst, std::uint16_t value) {
    dst[0] = static_cast<unsigned char>(value);
    dst[1] = static_cast<unsigned char>(value >> 8);
}

inline void EncodeFixed32(unsigned char* dst, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void EncodeFixed64(unsigned char* dst, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) dst[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void EncodeDouble(unsigned char* dst, double value) {
    EncodeFixed64(dst, std::bit_cast<std::uint64_t>(value));
}

inline std::uint16_t DecodeFixed16(const unsigned char* src) {
    return static_cast<std::uint16_t>(src[0] | (src[1] << 8));
}

inline std::uint32_t DecodeFixed32(const unsigned char* src) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | src[i];
    return value;
}

inline std::uint64_t DecodeFixed64(const unsigned char* src) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | src[i];
    return value;
}

inline double DecodeDouble(const unsigned char* src) {
    return std::bit_cast<double>(DecodeFixed64(src));
}

// Signed fields are stored as the unsigned value of the same bits.
inline void EncodeSigned16(unsigned char* dst, std::int16_t value) {
    EncodeFixed16(dst, static_cast<std::uint16_t>(value));
}
inline void EncodeSigned32(unsigned char* dst, std::int32_t value) {
    EncodeFixed32(dst, static_cast<std::uint32_t>(value));
}
inline std::int16_t DecodeSigned16(const unsigned char* src) {
    return static_cast<std::int16_t>(DecodeFixed16(src));
}
inline std::int32_t DecodeSigned32(const unsigned char* src) {
    return static_cast<std::int32_t>(DecodeFixed32(src));
}

}  // namespace morvane

#endif
