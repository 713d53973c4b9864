// Allocation tests of the file area.  Stored counts never size an
// allocation: a stream that promises billions of groups or points in a few
// hundred bytes allocates nothing large.  And an allocation that fails
// anywhere in an open or a save fails that call with 0 and loses nothing.
// The binary replaces the global operator new to see every request and to
// fail a chosen one.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "GCPGroupList.h"
#include "GroupStream.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largestRequest{0};
// Allocations still to succeed before one fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};

void* Allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
    if (allocationsBeforeFailure.load() == 0) {
        allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (allocationsBeforeFailure.load() > 0) --allocationsBeforeFailure;
    std::size_t seen = largestRequest.load(std::memory_order_relaxed);
    while (size > seen && !largestRequest.compare_exchange_weak(seen, size)) {
    }
    if (size == 0) size = 1;
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* AllocateNoThrow(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) noexcept {
    try {
        return Allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

// Every form of the global allocation functions, so that all blocks come
// from malloc and go back to free.
void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return AllocateNoThrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return AllocateNoThrow(n); }
void* operator new(std::size_t n, std::align_val_t a) { return Allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return Allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace morvane::test {
namespace {

constexpr std::size_t kLarge = 2u << 20;  // the file buffer is 1 MiB

Bytes PromisingStream(std::uint32_t groups, std::uint32_t points) {
    ByteWriter w;
    w.U32(groups).Header(1, points, 0, 1, 0, 0, 0, 0);
    for (int j = 0; j < 1; ++j) w.Point(TestPoint(j));
    while (w.bytes().size() < 200) w.U8(0);
    return w.bytes();
}

TEST(AllocationTest, CountsInAShortStreamAllocateNothingLarge) {
    for (auto [groups, points] : {std::pair{1u, 2000000000u}, std::pair{0xFFFFFFFFu, 1u},
                                  std::pair{0x7FFFFFFFu, 0x7FFFFFFFu}}) {
        SCOPED_TRACE(std::to_string(groups) + " groups, " + std::to_string(points) + " points");
        const Bytes stream = PromisingStream(groups, points);
        largestRequest = 0;
        CGCPGroupList list;
        std::uint32_t count = 0;
        MemorySource source(stream.data(), stream.size());
        EXPECT_FALSE(ReadGroupStream(source, list, count));
        EXPECT_EQ(count, groups);
        EXPECT_LT(largestRequest.load(), kLarge);
    }
}

TEST(AllocationTest, FileClaimingTwoBillionPointsOpensWithZeroCheaply) {
    TempDir dir;
    const std::string path = dir.File("liar.gcp");
    ByteWriter file;
    file.Magic();
    const Bytes stream = PromisingStream(1, 2000000000u);
    file.Raw(stream.data(), stream.size());
    WriteFileBytes(path, file.bytes());
    largestRequest = 0;
    CFile_Morvane area;
    EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 0);
    EXPECT_EQ(area.CloseGCPArea(), 1);
    EXPECT_LT(largestRequest.load(), kLarge);
}

TEST(AllocationTest, FailedAllocationAnywhereInAnOpenFailsItCleanly) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    WriteFileBytes(path, SampleFile({3, 0, 2}));
    long k = 0;
    for (;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        CFile_Morvane area;
        allocationsBeforeFailure = k;
        const short opened = area.OpenGCPArea(100, 100, path.c_str());
        const bool failed = allocationsBeforeFailure.load() < 0;
        allocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_EQ(opened, 1);
            break;
        }
        EXPECT_EQ(opened, 0);
        // Nor are the range arguments taken: a group added now gets the
        // range of an area never opened, its points' bounding box.
        if (HoldsGroups(area)) {
            EXPECT_EQ(ProbeRange(area), ExpectedProbeRange(0, 0));
        }
        ASSERT_LT(k, 10000);
    }
    EXPECT_GT(k, 5);  // the open allocates the list, the buffer, the groups
}

// Either outcome is sound: a failure the save could not absorb returns 0
// with the old file and the groups kept; one absorbed on the way (a library
// cache that is not built) still saves the whole new content.
TEST(AllocationTest, FailedAllocationAnywhereInASaveKeepsOldFileOrSavesAll) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    const Bytes original = SampleFile({3, 0, 2});
    int refused = 0;
    for (long k = 0;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        WriteFileBytes(path, original);
        CFile_Morvane area;
        ASSERT_EQ(area.OpenGCPArea(100, 100, path.c_str()), 1);
        ASSERT_EQ(area.OpenGCPGroup(1), 1);
        ASSERT_EQ(area.DeleteOneGCP(1), 1);
        allocationsBeforeFailure = k;
        const short closed = area.CloseGCPArea();
        const bool failed = allocationsBeforeFailure.load() < 0;
        allocationsBeforeFailure = -1;
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
        if (closed == 0) {
            ++refused;
            EXPECT_TRUE(failed);
            EXPECT_EQ(ReadFileBytes(path), original);
            unsigned long points = 0;
            ASSERT_EQ(area.GetGCPNum(points), 1);
            EXPECT_EQ(points, 2u);
        } else {
            EXPECT_EQ(ReadFileBytes(path).size(), original.size() - 120);
        }
        if (!failed) break;
        ASSERT_LT(k, 10000);
    }
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace morvane::test
