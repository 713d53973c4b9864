// GroupStream.cpp - reader and writer of the group stream.
#include "GroupStream.h"

#include "Coding.h"
#include "CtrlPntSet.h"
#include "GCPGroupList.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace morvane {

// Header offsets.  The range values sit in the order 1, 3, 2, 4.
namespace {
constexpr std::size_t kGroupNoOffset = 0;
constexpr std::size_t kPointCountOffset = 4;
constexpr std::size_t kOrientOffset = 8;
constexpr std::size_t kTransOffset = 10;
constexpr std::size_t kRangeOffset[4] = {12, 28, 20, 36};  // of values 1, 2, 3, 4
}  // namespace

void EncodeGroupHeader(unsigned char* dst, const GroupHeader& header) {
    EncodeSigned32(dst + kGroupNoOffset, header.groupNo);
    EncodeFixed32(dst + kPointCountOffset, header.pointCount);
    EncodeSigned16(dst + kOrientOffset, header.orientType);
    EncodeSigned16(dst + kTransOffset, header.transType);
    for (int i = 0; i < 4; ++i) EncodeDouble(dst + kRangeOffset[i], header.range[i]);
}

GroupHeader DecodeGroupHeader(const unsigned char* src) {
    GroupHeader header;
    header.groupNo = DecodeSigned32(src + kGroupNoOffset);
    header.pointCount = DecodeFixed32(src + kPointCountOffset);
    header.orientType = DecodeSigned16(src + kOrientOffset);
    header.transType = DecodeSigned16(src + kTransOffset);
    for (int i = 0; i < 4; ++i) header.range[i] = DecodeDouble(src + kRangeOffset[i]);
    return header;
}

std::uint32_t StoredPointRecords(std::uint32_t pointCount) {
    return static_cast<std::int32_t>(pointCount) > 0 ? pointCount : 0;
}

namespace {

// Where a read stopped: group `group` (counted from 1) of `groups`.
struct Place {
    std::uint64_t group;
    std::uint32_t groups;

    std::string Group() const {
        return "group " + std::to_string(group) + " of " + std::to_string(groups);
    }
};

// Fails the read, saying why when the caller asked.  The text is only made
// on failure, through reason(), so a good stream costs no strings.
template <class Reason>
bool Stop(std::string* why, Reason reason) {
    if (why != nullptr) *why = reason();
    return false;
}

// Records read and appended at a time: 480 KiB, large enough that the
// append's fixed costs vanish, small enough to stay in cache between the
// read and the append.
constexpr std::uint32_t kRecordsPerChunk = 4096;

// Room for the group's records, taken at once, where the source says they
// are there: a count that promises more than the stream holds reserves no
// more than the stream's length.  Where the source cannot tell, the set
// grows with the records actually read.
bool ReserveForRecords(ByteSource& source, std::uint32_t records, CCtrlPntSet& set) {
    const std::uint64_t expected = source.Expected();
    if (expected == ByteSource::kUnknownLength) return true;
    const std::uint64_t room = std::min<std::uint64_t>(records, expected / kPointRecordSize);
    return set.ReserveGCPs(static_cast<unsigned long>(room)) == TM_OK;
}

// Rebuilds one group from its header and the point records that follow it,
// read and appended a chunk at a time.
bool ReadOneGroup(ByteSource& source, const GroupHeader& header, CCtrlPntSet& set,
                  std::vector<_CtrlPntStrcT>& chunk, const Place& place, std::string* why) {
    if (set.InitPntSet(header.orientType, header.transType) != TM_OK) {
        return Stop(why, [&] {
            return place.Group() + " has an orientation or transformation type the " +
                   "control-point library refuses (" + std::to_string(header.orientType) + ", " +
                   std::to_string(header.transType) + ")";
        });
    }
    set.SetGroupNo(header.groupNo);
    if (set.SetUserCoordRange(header.range[0], header.range[1], header.range[2],
                              header.range[3]) != TM_OK) {
        return Stop(why, [&] {
            return place.Group() + " has a range the control-point library refuses";
        });
    }
    const std::uint32_t records = StoredPointRecords(header.pointCount);
    if (!ReserveForRecords(source, records, set)) {
        return Stop(why, [] { return std::string("out of memory"); });
    }
    // A record is plain data of exactly its stored size, so a chunk is read
    // in one piece.
    static_assert(sizeof(_CtrlPntStrcT) == kPointRecordSize);
    for (std::uint32_t done = 0; done < records;) {
        const std::uint32_t take = std::min(records - done, kRecordsPerChunk);
        if (chunk.size() < take) chunk.resize(take);
        const std::size_t bytes = std::size_t{take} * kPointRecordSize;
        const std::size_t got = source.Read(chunk.data(), bytes);
        if (got != bytes) {
            return Stop(why, [&] {
                return "it ends inside point " + std::to_string(done + got / kPointRecordSize + 1) +
                       " of " + place.Group();
            });
        }
        unsigned long refused = 0;
        const long added = set.AddGCPs(chunk.data(), take, &refused);
        if (added == TM_ERR_MEMORY) return Stop(why, [] { return std::string("out of memory"); });
        if (added != TM_OK) {
            return Stop(why, [&] {
                return "point " + std::to_string(done + refused) + " of " + place.Group() +
                       " is refused by the control-point library";
            });
        }
        done += take;
    }
    return true;
}

bool ReadGroups(ByteSource& source, CGCPGroupList& list, std::uint32_t& groupCount,
                std::string* why) {
    unsigned char count[kGroupCountSize];
    if (!source.ReadExact(count, sizeof count)) {
        return Stop(why, [] { return std::string("it ends inside the group count"); });
    }
    const std::uint32_t groups = DecodeFixed32(count);
    groupCount = groups;
    unsigned char raw[kGroupHeaderSize];
    // Each group is built in a set of its own and handed to the list as it
    // is, so its records are written once, into memory taken once.
    CCtrlPntSet set;
    std::vector<_CtrlPntStrcT> chunk;
    for (std::uint64_t k = 1; k <= groups; ++k) {
        const Place place{k, groups};
        if (!source.ReadExact(raw, sizeof raw)) {
            return Stop(why, [&] { return "it ends inside the header of " + place.Group(); });
        }
        if (!ReadOneGroup(source, DecodeGroupHeader(raw), set, chunk, place, why)) return false;
        if (list.AdoptGroup(static_cast<unsigned long>(k), &set) < 1) {
            return Stop(why, [&] { return place.Group() + " cannot be added to the list"; });
        }
    }
    return true;
}

}  // namespace

bool ReadGroupStream(ByteSource& source, CGCPGroupList& list, std::uint32_t& groupCount) {
    return ReadGroupStream(source, list, groupCount, nullptr);
}

bool ReadGroupStream(ByteSource& source, CGCPGroupList& list, std::uint32_t& groupCount,
                     std::string* why) {
    try {
        return ReadGroups(source, list, groupCount, why);
    } catch (const std::bad_alloc&) {
        // Short enough for the string's own small buffer: no allocation.
        return Stop(why, [] { return std::string("out of memory"); });
    }
}

namespace {

bool WriteOneGroup(CCtrlPntSet& set, std::int32_t groupNo, ByteSink& sink) {
    GroupHeader header;
    header.groupNo = groupNo;
    unsigned long points = 0;
    set.GetGCPNum(&points);
    if (points > 0x7fffffffUL) return false;  // a reader would skip its records
    header.pointCount = static_cast<std::uint32_t>(points);
    set.GetOrientType(&header.orientType);
    set.GetTransType(&header.transType);
    if (set.GetUserCoordRange(&header.range[0], &header.range[1], &header.range[2],
                              &header.range[3]) != TM_OK) {
        return false;
    }
    unsigned char raw[kGroupHeaderSize];
    EncodeGroupHeader(raw, header);
    if (!sink.Append(raw, sizeof raw)) return false;
    // The records straight from the set's storage, in one piece: the error
    // context (bytes 88 to 119) is a report made when a point is read, not
    // data, so it is written as stored, zero (docs/point-record.md).
    unsigned long stored = 0;
    const _CtrlPntStrcT* records = set.PeekStoredGCPs(&stored);
    if (stored != points) return false;
    return points == 0 || sink.Append(records, kPointRecordSize * static_cast<std::size_t>(points));
}

}  // namespace

bool WriteGroupStream(CGCPGroupList& list, ByteSink& sink) {
    unsigned long groups = 0;
    list.GetGroupNum(&groups);
    if (groups > 0x7fffffffUL) return false;
    unsigned char count[kGroupCountSize];
    EncodeFixed32(count, static_cast<std::uint32_t>(groups));
    if (!sink.Append(count, sizeof count)) return false;
    try {
        for (unsigned long k = 1; k <= groups; ++k) {
            CCtrlPntSet* set = list.PeekGroup(k);
            if (set == nullptr) return false;
            if (!WriteOneGroup(*set, static_cast<std::int32_t>(k), sink)) return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::uint64_t GroupStreamLength(CGCPGroupList& list) {
    unsigned long groups = 0;
    list.GetGroupNum(&groups);
    std::uint64_t length = kGroupCountSize;
    for (unsigned long k = 1; k <= groups; ++k) {
        unsigned long points = 0;
        if (CCtrlPntSet* set = list.PeekGroup(k)) set->GetGCPNum(&points);
        length += kGroupHeaderSize + kPointRecordSize * static_cast<std::uint64_t>(points);
    }
    return length;
}

}  // namespace morvane
