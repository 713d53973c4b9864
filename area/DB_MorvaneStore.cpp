// DB_MorvaneStore.cpp - opening, loading and saving of the database-backed
// area.
//
// The groups of an area live in one record of a Lodestor raster area: the
// group stream (GroupStream.h) with nothing before or after it.  Each way the
// whole record moves in one Lodestor call through one heap buffer of exactly
// the record's length: the load asks the size, allocates it and reads once;
// the save computes the stream's length, allocates once, fills the buffer and
// writes once.
#include "Morvane.h"

#include "AreaAccess.h"
#include "GroupStream.h"
#include "Lodestor.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <stdlib.h>
#include <sys/mman.h>

using morvane::AreaAccess;
using morvane::FitsInt32;

namespace {

struct FreeBuffer {
    void operator()(unsigned char* p) const { std::free(p); }
};
using RecordBuffer = std::unique_ptr<unsigned char, FreeBuffer>;

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// A heap buffer of `size` bytes for a whole record, or null.  zeroFill: every
// byte starts as 0 (the load, whose buffer the read fills); the save fills
// every byte itself and checks that it did.
//
// Records of control points run to hundreds of megabytes.  Buffers of that
// size are aligned to and advised for transparent huge pages where the system
// offers them: filling one then takes a few hundred page faults instead of
// tens of thousands, which roughly halves the time to build or load a large
// record.  The advice is only a hint; without it the buffer works the same.
RecordBuffer AllocateRecord(std::size_t size, bool zeroFill) {
#if defined(MADV_HUGEPAGE)
    if (size >= kHugePage) {
        // Exactly `size` bytes (a record's tail stays on small pages), so that
        // memory checkers see the buffer's true end.
        void* buffer = nullptr;
        if (::posix_memalign(&buffer, kHugePage, size) != 0) return nullptr;
        ::madvise(buffer, size & ~(kHugePage - 1), MADV_HUGEPAGE);
        if (zeroFill) std::memset(buffer, 0, size);
        return RecordBuffer(static_cast<unsigned char*>(buffer));
    }
#endif
    void* buffer = zeroFill ? std::calloc(size, 1) : std::malloc(size);
    return RecordBuffer(static_cast<unsigned char*>(buffer));
}

}  // namespace

// Refusals that change nothing come first: a key or range argument that does
// not fit its 32-bit field (it would name another record or range), and an
// area whose groups cannot be closed (their save failed).  From the creation
// of the new list on, the area counts as open whatever follows; a failed
// load leaves it open without a list, with the new handle and key and the
// former range arguments.
short CDB_Morvane::OpenGCPArea(CRasteBaseArea* area, long recordKey, long rangeArg1,
                               long rangeArg2) {
    if (!FitsInt32(recordKey) || !FitsInt32(rangeArg1) || !FitsInt32(rangeArg2)) return 0;
    if (AreaAccess::CloseBeforeOpen(*this) == 0) return 0;

    GroupList = AreaAccess::NewGroupList();
    if (GroupList == nullptr) return 0;
    RecordKey = static_cast<std::int32_t>(recordKey);
    OpenFlag = true;
    RasterArea = area;
    LastOpenFailed = true;

    if (InitialGcpInfo() == 0) {
        AreaAccess::DiscardGroups(*this);
        return 0;
    }
    RangeArg1 = static_cast<std::int32_t>(rangeArg1);
    RangeArg2 = static_cast<std::int32_t>(rangeArg2);
    LastOpenFailed = false;
    return 1;
}

// A record of length 0 is an area without groups and needs no read.  The
// buffer is as long as the size query said and no longer, and the stream
// reader stops at its end: a record shorter than its own counts fails the
// load instead of being read past.
short CDB_Morvane::InitialGcpInfo() {
    if (RecordKey == 0 || GroupList == nullptr) return 0;
    std::uint32_t size = 0;
    if (GetGcpRecordSize(RasterArea, RecordKey, &size) == 0) return 0;
    if (size == 0) {
        GCPGroupNum = 0;
        return 1;
    }
    RecordBuffer record = AllocateRecord(size, true);
    if (record == nullptr) return 0;
    if (ReadGcpRecord(RasterArea, RecordKey, record.get(), size) == 0) return 0;

    morvane::MemorySource source(record.get(), size);
    std::uint32_t groupCount = GCPGroupNum;
    const bool complete = morvane::ReadGroupStream(source, *GroupList, groupCount);
    GCPGroupNum = groupCount;
    return complete ? 1 : 0;
}

// The record is built whole before anything is written, so a failure on the
// way leaves the stored record untouched; a refused write returns 0 and the
// close keeps the groups for another try.
short CDB_Morvane::ReleaseGcpInfo() {
    if (RecordKey == 0 || GroupList == nullptr) return 0;
    const std::uint64_t length = morvane::GroupStreamLength(*GroupList);
    if (length > UINT32_MAX) return 0;  // a record's length is a 32-bit count
    RecordBuffer record = AllocateRecord(static_cast<std::size_t>(length), false);
    if (record == nullptr) return 0;

    morvane::MemorySink sink(record.get(), static_cast<std::size_t>(length));
    if (!morvane::WriteGroupStream(*GroupList, sink) || sink.Size() != length) return 0;
    return WriteGcpRecord(RasterArea, RecordKey, record.get(),
                          static_cast<std::uint32_t>(length)) != 0
               ? 1
               : 0;
}
