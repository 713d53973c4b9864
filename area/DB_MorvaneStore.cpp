// DB_MorvaneStore.cpp - opening, loading and saving of the database-backed
// area.
//
// The groups of an area live in one record of a Lodestor raster area: the
// group stream (GroupStream.h) with nothing before or after it.  The load
// reads the record piece by piece and decodes each piece as it comes (a
// server database streams it meanwhile), so it never holds the record
// whole.  The save computes the stream's length, allocates one heap buffer
// of exactly that, fills it and writes it in one Lodestor call.
#include "Morvane.h"

#include "AreaAccess.h"
#include "GroupStream.h"
#include "Lodestor.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <stdlib.h>
#if __has_include(<sys/mman.h>)  // madvise; Windows has neither it nor huge-page advice
#include <sys/mman.h>
#endif

using morvane::AreaAccess;
using morvane::FitsInt32;

namespace {

struct FreeBuffer {
    void operator()(unsigned char* p) const { std::free(p); }
};
using RecordBuffer = std::unique_ptr<unsigned char, FreeBuffer>;

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// A heap buffer of `size` bytes for a whole record to be saved, or null; the
// save fills every byte itself and checks that it did.
//
// Records of control points run to hundreds of megabytes.  Buffers of that
// size are aligned to and advised for transparent huge pages where the system
// offers them: filling one then takes a few hundred page faults instead of
// tens of thousands, which roughly halves the time to build or load a large
// record.  The advice is only a hint; without it the buffer works the same.
RecordBuffer AllocateRecord(std::size_t size) {
#if defined(MADV_HUGEPAGE)
    if (size >= kHugePage) {
        // Exactly `size` bytes (a record's tail stays on small pages), so that
        // memory checkers see the buffer's true end.
        void* buffer = nullptr;
        if (::posix_memalign(&buffer, kHugePage, size) != 0) return nullptr;
        ::madvise(buffer, size & ~(kHugePage - 1), MADV_HUGEPAGE);
        return RecordBuffer(static_cast<unsigned char*>(buffer));
    }
#endif
    void* buffer = std::malloc(size);
    return RecordBuffer(static_cast<unsigned char*>(buffer));
}

// Fails a call of the area whose Lodestor call (size query, read, write)
// returned 0 for another reason than a conflict.  The three calls say no more than that; the raster area's own
// LastError() has the database's reason, but the area library reaches the
// database only through them.
short RefusedBy(CDB_Morvane& area, const CRasteBaseArea* raster, const char* call,
                std::string_view key) {
    if (raster == nullptr) return AreaAccess::Fail(area, {"no raster area given"});
    return AreaAccess::Fail(area, {"the raster database refused the ", call, " of record ", key});
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
    if (!FitsInt32(recordKey)) {
        return AreaAccess::Fail(*this, {"record key ", AreaAccess::Number(recordKey),
                                        " does not fit in 32 bits"});
    }
    if (AreaAccess::CheckRangeArgs(*this, rangeArg1, rangeArg2) == 0) return 0;
    if (AreaAccess::CloseBeforeOpen(*this) == 0) return 0;

    GroupList = AreaAccess::NewGroupList();
    if (GroupList == nullptr) return AreaAccess::Fail(*this, {"out of memory"});
    RecordKey = static_cast<std::int32_t>(recordKey);
    OpenFlag = true;
    RasterArea = area;
    LastOpenFailed = true;
    LoadedRecordVersion = 0;

    if (InitialGcpInfo() == 0) {
        AreaAccess::DiscardGroups(*this);
        return 0;
    }
    RangeArg1 = static_cast<std::int32_t>(rangeArg1);
    RangeArg2 = static_cast<std::int32_t>(rangeArg2);
    LastOpenFailed = false;
    AreaAccess::ClearLastError(*this);
    return 1;
}

namespace {

// Bytes of the record the load asks for at a time: large enough that the
// calls cost nothing beside the decoding, small enough to stay in cache.
constexpr std::uint32_t kPieceBytes = 256 * 1024;

// The group stream of a record, from the raster area's open record read.
// Never hands out bytes past the record's size; a failed piece read ends
// the stream and is remembered.
class RecordPieceSource final : public morvane::ByteSource {
public:
    RecordPieceSource(CRasteBaseArea* raster, std::uint32_t size)
        : raster_(raster), left_(size), piece_(std::min(size, kPieceBytes)) {}

    std::size_t Read(void* dst, std::size_t n) override {
        auto* out = static_cast<unsigned char*>(dst);
        std::size_t done = 0;
        while (done < n) {
            if (at_ == filled_ && !Refill()) break;
            const std::size_t take = std::min(n - done, filled_ - at_);
            std::memcpy(out + done, piece_.data() + at_, take);
            at_ += take;
            done += take;
        }
        return done;
    }
    std::uint64_t Expected() const override { return left_ + (filled_ - at_); }
    bool Failed() const { return failed_; }

private:
    bool Refill() {
        if (left_ == 0 || failed_) return false;
        std::uint32_t count = 0;
        const std::uint32_t want = std::min<std::uint32_t>(left_, static_cast<std::uint32_t>(piece_.size()));
        if (ReadGcpRecordPiece(raster_, piece_.data(), want, &count) == 0 || count == 0) {
            failed_ = true;
            return false;
        }
        left_ -= count;
        at_ = 0;
        filled_ = count;
        return true;
    }

    CRasteBaseArea* raster_;
    std::uint32_t left_;
    std::vector<unsigned char> piece_;
    std::size_t at_ = 0;
    std::size_t filled_ = 0;
    bool failed_ = false;
};

// Ends the raster area's record read however the load ends.
struct RecordReadScope {
    CRasteBaseArea* raster;
    ~RecordReadScope() { CloseGcpRecordReader(raster); }
};

}  // namespace

// A record of length 0 is an area without groups and needs no read.  The
// stream reader stops at the record's end: a record shorter than its own
// counts fails the load instead of being read past.  Size, version and
// bytes come from one snapshot, so the version remembered for the save is
// that of the bytes loaded.
short CDB_Morvane::InitialGcpInfo() {
    if (GroupList == nullptr) return AreaAccess::Fail(*this, {"no group list to read into"});
    if (RecordKey == 0) return AreaAccess::Fail(*this, {"record key 0 names no record"});
    const AreaAccess::Number key(RecordKey);
    std::uint32_t size = 0;
    std::uint64_t version = 0;
    if (OpenGcpRecordReader(RasterArea, RecordKey, &size, &version) == 0) {
        return RefusedBy(*this, RasterArea, "read", key);
    }
    RecordReadScope scope{RasterArea};
    LoadedRecordVersion = version;  // of an empty record, or 0 for none
    if (size == 0) {
        GCPGroupNum = 0;
        return 1;
    }
    RecordPieceSource source(RasterArea, size);
    std::uint32_t groupCount = GCPGroupNum;
    std::string why;
    const bool complete = morvane::ReadGroupStream(source, *GroupList, groupCount, &why);
    GCPGroupNum = groupCount;
    if (complete) return 1;
    if (source.Failed()) return RefusedBy(*this, RasterArea, "read", key);
    return AreaAccess::Fail(*this, {"record ", key, " is damaged: ", why});
}

// The record is built whole before anything is written, so a failure on the
// way leaves the stored record untouched; a refused write returns 0 and the
// close keeps the groups for another try.  The write is conditional: it
// replaces only the version loaded (or last saved), so that a save never
// overwrites what another writer saved after this area loaded.
short CDB_Morvane::ReleaseGcpInfo() {
    if (GroupList == nullptr) return AreaAccess::Fail(*this, {"no groups to save"});
    if (RecordKey == 0) return AreaAccess::Fail(*this, {"record key 0 names no record"});
    const AreaAccess::Number key(RecordKey);
    const std::uint64_t length = morvane::GroupStreamLength(*GroupList);
    const AreaAccess::Number bytes(static_cast<long long>(length));
    if (length > UINT32_MAX) {  // a record's length is a 32-bit count
        return AreaAccess::Fail(*this, {"the groups take ", bytes,
                                        " bytes, more than a record can hold (4 GiB)"});
    }
    RecordBuffer record = AllocateRecord(static_cast<std::size_t>(length));
    if (record == nullptr) {
        return AreaAccess::Fail(*this, {"out of memory: record ", key, " needs ", bytes, " bytes"});
    }

    morvane::MemorySink sink(record.get(), static_cast<std::size_t>(length));
    if (!morvane::WriteGroupStream(*GroupList, sink) || sink.Size() != length) {
        return AreaAccess::Fail(*this, {"the groups of record ", key, " cannot be encoded"});
    }
    std::uint64_t newVersion = 0;
    bool conflict = false;
    if (WriteGcpRecordIf(RasterArea, RecordKey, record.get(), static_cast<std::uint32_t>(length),
                         LoadedRecordVersion, &newVersion, &conflict) == 0) {
        if (conflict) {
            return AreaAccess::Fail(*this, {"another writer changed record ", key,
                                            " since the area was opened; the groups were not saved"});
        }
        return RefusedBy(*this, RasterArea, "write", key);
    }
    // The groups held are now this version: a further save of them writes
    // over it.
    LoadedRecordVersion = newVersion;
    return 1;
}


const char* CDB_Morvane::GetLastError() const { return LastErrorText; }
