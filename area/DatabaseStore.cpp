// DatabaseStore.cpp - loading and saving the groups of a database record.
#include "DatabaseStore.h"

#include "ByteStream.h"
#include "GroupStream.h"
#include "Lodestor.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>
#if __has_include(<sys/mman.h>)  // madvise; Windows has neither it nor huge-page advice
#include <sys/mman.h>
#endif

namespace morvane {

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

// Bytes of the record the load asks for at a time: large enough that the
// calls cost nothing beside the decoding, small enough to stay in cache.
constexpr std::uint32_t kPieceBytes = 256 * 1024;

// The group stream of a record, from the raster area's open record read.
// Never hands out bytes past the record's size; a failed piece read ends
// the stream and is remembered.
class RecordPieceSource final : public ByteSource {
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

// The raster database's own reason, behind what was refused.
Status DatabaseStore::Refused(const char* call) const {
    if (raster_ == nullptr) return Status::InvalidArgument("no raster area given");
    std::string message = std::string("the raster database refused the ") + call + " of record " + std::to_string(key_);
    const char* why = GetGcpLastError(raster_);
    if (why != nullptr && why[0] != '\0') message += std::string(": ") + why;
    return Status::IOError(std::move(message));
}

Status DatabaseStore::Load(CGCPGroupList& list, std::uint32_t* groupCount) {
    if (key_ == 0) return Status::InvalidArgument("record key 0 names no record");
    std::uint32_t size = 0;
    std::uint64_t version = 0;
    if (OpenGcpRecordReader(raster_, key_, &size, &version) == 0) return Refused("read");
    RecordReadScope scope{raster_};
    version_ = version;  // of an empty record, or 0 for none
    if (size == 0) {
        *groupCount = 0;
        return Status::OK();
    }
    RecordPieceSource source(raster_, size);
    std::string why;
    if (ReadGroupStream(source, list, *groupCount, &why)) return Status::OK();
    if (source.Failed()) return Refused("read");
    return Status::InvalidArgument("record " + std::to_string(key_) + " is damaged: " + why);
}

Status DatabaseStore::Save(CGCPGroupList& list) {
    if (key_ == 0) return Status::InvalidArgument("record key 0 names no record");
    const std::string key = std::to_string(key_);
    const std::uint64_t length = GroupStreamLength(list);
    if (length > UINT32_MAX) {  // a record's length is a 32-bit count
        return Status::InvalidArgument("the groups take " + std::to_string(length) +
                                       " bytes, more than a record can hold (4 GiB)");
    }
    RecordBuffer record = AllocateRecord(static_cast<std::size_t>(length));
    if (record == nullptr) {
        return Status::IOError("out of memory: record " + key + " needs " + std::to_string(length) + " bytes");
    }
    MemorySink sink(record.get(), static_cast<std::size_t>(length));
    if (!WriteGroupStream(list, sink) || sink.Size() != length) {
        return Status::IOError("the groups of record " + key + " cannot be encoded");
    }
    std::uint64_t newVersion = 0;
    bool conflict = false;
    if (WriteGcpRecordIf(raster_, key_, record.get(), static_cast<std::uint32_t>(length), version_, &newVersion,
                         &conflict) == 0) {
        if (conflict) {
            return Status::Conflict("another writer changed record " + key +
                                    " since the area was opened; the groups were not saved");
        }
        return Refused("write");
    }
    // The groups held are now this version: a further save writes over it.
    version_ = newVersion;
    return Status::OK();
}

}  // namespace morvane
