// GroupStream.h - the one serialized form of all control-point groups of an
// area, shared by the control-point file and the database record.
//
// Layout (little-endian, unpadded; docs/group-stream.md gives it byte by byte):
//
//   group count N                      4 bytes, unsigned
//   N times:
//     group header                     44 bytes (GroupHeader below)
//     P point records                  120 bytes each, raw _CtrlPntStrcT
//
// The header keeps the four range values of CCtrlPntSet::GetUserCoordRange
// (minimum X, minimum Y, maximum X, maximum Y, called 1 to 4) in the order
// 1, 3, 2, 4 at offsets 12, 20, 28 and 36; reading puts each value back in its
// own argument position.
//
// The reader and the writer talk to a ByteSource and a ByteSink, so the file
// backing (buffered file access) and the database backing (one memory buffer
// per record) share one codec.  The reader never reads past the end of its
// source and never sizes an allocation from a stored count: memory grows only
// with bytes actually read.
#ifndef MORVANE_AREA_GROUPSTREAM_H
#define MORVANE_AREA_GROUPSTREAM_H

#include "ByteStream.h"

#include <cstddef>
#include <cstdint>
#include <string>

class CGCPGroupList;

namespace morvane {

inline constexpr std::size_t kGroupCountSize = 4;
inline constexpr std::size_t kGroupHeaderSize = 44;
inline constexpr std::size_t kPointRecordSize = 120;

// The 44-byte group header, decoded.  range holds the four values in the
// argument order of CCtrlPntSet::GetUserCoordRange.
struct GroupHeader {
    std::int32_t groupNo = 0;
    std::uint32_t pointCount = 0;
    std::int16_t orientType = 0;
    std::int16_t transType = 0;
    double range[4] = {0.0, 0.0, 0.0, 0.0};
};

void EncodeGroupHeader(unsigned char* dst, const GroupHeader& header);
GroupHeader DecodeGroupHeader(const unsigned char* src);

// Number of point records that follow a header with this count.  The count
// is compared as a signed value, so one with its top bit set is followed by
// none; stored files may rely on that.
std::uint32_t StoredPointRecords(std::uint32_t pointCount);

// Reads a whole group stream into an empty list.  groupCount receives the
// stored count as soon as it is read (kept if the load stops early).  Returns
// true when the stream was read completely; false on a short stream, on a
// group or point the control-point library refuses, or on a failed
// allocation (groups read so far stay in the list).
bool ReadGroupStream(ByteSource& source, CGCPGroupList& list, std::uint32_t& groupCount);
// The same, and on failure *why (when not null) says where the stream
// stopped and why, for a person: "it ends inside point 7 of group 3 of 5",
// "group 2 of 5 has an orientation or transformation type the
// control-point library refuses (9, 1)", "out of memory".  A source that
// fails on a read error looks like one that ends; its own status says so.
bool ReadGroupStream(ByteSource& source, CGCPGroupList& list, std::uint32_t& groupCount,
                     std::string* why);

// Writes the list's groups as a group stream; false when the sink refuses or
// a group cannot be read out of the list.
bool WriteGroupStream(CGCPGroupList& list, ByteSink& sink);

// Exact length in bytes of the stream WriteGroupStream would write.
std::uint64_t GroupStreamLength(CGCPGroupList& list);

}  // namespace morvane

#endif
