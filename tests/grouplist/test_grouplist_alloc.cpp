// Allocation tests of CGCPGroupList: every operation that allocates is run
// with the k-th allocation failing, for k = 1, 2, ... until it succeeds; each
// failure must return 0, leave the list exactly as it was and hold on to no
// memory.  This binary replaces the global operator new and delete with
// counting versions, which also serve to show that destroying a list frees
// everything it allocated.
#include "GroupListTestKit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace {

// Allocations still to succeed before one fails; negative: none fails.  Only
// that one allocation fails; later ones succeed again.
long g_allocationsBeforeFailure = -1;
// Whether the armed failure has happened.
bool g_failureInjected = false;
// Blocks allocated through operator new and not yet freed.
long g_liveAllocations = 0;

void* CountedAllocate(std::size_t size, std::size_t alignment) {
    if (g_allocationsBeforeFailure == 0) {
        g_allocationsBeforeFailure = -1;
        g_failureInjected = true;
        throw std::bad_alloc();
    }
    if (g_allocationsBeforeFailure > 0) --g_allocationsBeforeFailure;
    if (size == 0) size = 1;
    void* block = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        block = std::malloc(size);
    } else {
        block = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    }
    if (block == nullptr) throw std::bad_alloc();
    ++g_liveAllocations;
    return block;
}

void CountedFree(void* block) noexcept {
    if (block == nullptr) return;
    --g_liveAllocations;
    std::free(block);
}

void* CountedAllocateNoThrow(std::size_t size, std::size_t alignment) noexcept {
    try {
        return CountedAllocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size, kPlain); }
void* operator new[](std::size_t size) { return CountedAllocate(size, kPlain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size, kPlain);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size, kPlain);
}
void* operator new(std::size_t size, std::align_val_t al) {
    return CountedAllocate(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return CountedAllocate(size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { CountedFree(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    CountedFree(p);
}

using namespace grouplist_test;

namespace {

constexpr long kMaxAttempts = 10000;

// Builds a list with `groups` groups: P, Q, R and then copies of P.
void BuildList(CGCPGroupList& list, unsigned long groups) {
    FillPQR(list);
    for (unsigned long n = 4; n <= groups; ++n) {
        CCtrlPntSet set;
        FillSet(&set, 1, 3);
        list.InsertGroup(n, &set);
    }
}

// Runs op on a fresh list of `groups` groups with allocation k failing, for
// k = 1, 2, ... until op succeeds.  Every failing run must return 0, leave
// the list as it was and leave no block allocated.  Returns the number of
// allocations op needed (0 if it never succeeded).
long RunWithEveryAllocationFailing(const std::string& name, unsigned long groups,
                                   const std::function<short(CGCPGroupList&)>& op) {
    SCOPED_TRACE(name);
    for (long k = 0; k < kMaxAttempts; ++k) {
        CGCPGroupList list;
        BuildList(list, groups);
        const ListSnapshot before = SnapshotList(list);
        const long liveBefore = g_liveAllocations;
        short result = 0;
        g_failureInjected = false;
        g_allocationsBeforeFailure = k;
        try {
            result = op(list);
        } catch (const std::bad_alloc&) {
            g_allocationsBeforeFailure = -1;
            ADD_FAILURE() << "bad_alloc escaped when allocation " << k + 1 << " failed";
            return 0;
        }
        const bool injected = g_failureInjected;
        g_allocationsBeforeFailure = -1;
        // Success despite the failure means the library managed without that
        // block; the later allocations are still tried.
        if (result == 1) {
            if (!injected) return k;
            continue;
        }
        EXPECT_EQ(g_liveAllocations, liveBefore)
            << "a failure at allocation " << k + 1 << " kept memory";
        EXPECT_EQ(SnapshotList(list), before)
            << "a failure at allocation " << k + 1 << " changed the list";
        if (!injected) {
            ADD_FAILURE() << "failed with every allocation granted";
            return 0;
        }
    }
    ADD_FAILURE() << "never succeeded";
    return 0;
}

}  // namespace

TEST(GroupListAllocation, FailedAllocationsFailTheOperationAndChangeNothing) {
    // With 3 groups the index has spare room; with 8 it is full, so an
    // insertion has to grow it too.
    for (unsigned long groups : {3UL, 8UL}) {
        SCOPED_TRACE(testing::Message() << groups << " groups");
        // Each of these allocates at least the new node, so the loop above
        // has at least one failure to check.
        EXPECT_GE(RunWithEveryAllocationFailing("InsertGroup", groups,
                                                [](CGCPGroupList& list) {
                                                    CCtrlPntSet set;
                                                    FillSet(&set, 4, 5);
                                                    return list.InsertGroup(2, &set);
                                                }),
                  1);
        EXPECT_GE(RunWithEveryAllocationFailing(
                      "CreateEmptyGroup", groups,
                      [](CGCPGroupList& list) { return list.CreateEmptyGroup(1); }),
                  1);
        EXPECT_GE(RunWithEveryAllocationFailing("AddGroupGCP new group", groups,
                                                [groups](CGCPGroupList& list) {
                                                    _CtrlPntStrcT p = PointOf(4, 1);
                                                    return list.AddGroupGCP(groups + 1, 1, &p);
                                                }),
                  1);
    }
    RunWithEveryAllocationFailing("AddGroupGCP", 3, [](CGCPGroupList& list) {
        _CtrlPntStrcT p = PointOf(4, 1);
        return list.AddGroupGCP(2, 3, &p);
    });
    RunWithEveryAllocationFailing("UpdateGroupGCP", 3, [](CGCPGroupList& list) {
        _CtrlPntStrcT p = PointOf(4, 1);
        return list.UpdateGroupGCP(2, 3, &p);
    });
    RunWithEveryAllocationFailing("DeleteGroupGCP", 3, [](CGCPGroupList& list) {
        return list.DeleteGroupGCP(3, 1);
    });
    EXPECT_GE(RunWithEveryAllocationFailing("CopyGroupIn", 3,
                                            [](CGCPGroupList& list) {
                                                CCtrlPntSet set;
                                                FillSet(&set, 4, 6);
                                                return list.CopyGroupIn(1, &set);
                                            }),
              1);
    RunWithEveryAllocationFailing("SetGroupTransType", 3, [](CGCPGroupList& list) {
        return list.SetGroupTransType(3, TM_TRANS_POLY2);
    });
    RunWithEveryAllocationFailing("ComputeGroupCoordRange", 3, [](CGCPGroupList& list) {
        return list.ComputeGroupCoordRange(2, 400, 300);
    });
    EXPECT_GE(RunWithEveryAllocationFailing(
                  "BeginGroupTransform", 3,
                  [](CGCPGroupList& list) { return list.BeginGroupTransform(2, true); }),
              1);
}

TEST(GroupListAllocation, FailedCopyOutLeavesTheCallersSetAsItWas) {
    for (long k = 0; k < kMaxAttempts; ++k) {
        CGCPGroupList list;
        FillPQR(list);
        CCtrlPntSet target;
        FillSet(&target, 6, 7);
        const GroupSnapshot targetBefore = SnapshotSet(&target);
        const ListSnapshot listBefore = SnapshotList(list);
        g_failureInjected = false;
        g_allocationsBeforeFailure = k;
        short result = 0;
        try {
            result = list.CopyGroupOut(3, &target);
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "bad_alloc escaped";
        }
        g_allocationsBeforeFailure = -1;
        EXPECT_EQ(SnapshotList(list), listBefore);
        if (result == 1) {
            EXPECT_EQ(SnapshotSet(&target), listBefore.groups[2]);
            if (!g_failureInjected) return;
            continue;
        }
        EXPECT_EQ(SnapshotSet(&target), targetBefore) << "allocation " << k + 1;
    }
    ADD_FAILURE() << "never succeeded";
}

TEST(GroupListAllocation, DestroyingTheListFreesEverything) {
    // Warm up anything the library sets up once.
    {
        CGCPGroupList warm;
        FillPQR(warm);
        warm.BeginGroupTransform(1, true);
        double x = 0, y = 0;
        warm.TransformPoint(1.0, 2.0, &x, &y);
        warm.EndGroupTransform();
        warm.ReleaseAllGroups();
    }
    const long baseline = g_liveAllocations;

    // Destroyed with a prepared transformation held and without a release.
    {
        CGCPGroupList list;
        BuildList(list, 20);
        ASSERT_EQ(list.BeginGroupTransform(7, true), 1);
        double x = 0, y = 0;
        ASSERT_EQ(list.TransformPoint(1.0, 2.0, &x, &y), 1);
    }
    EXPECT_EQ(g_liveAllocations, baseline);

    // Inserted and removed at head, middle and end in turn: releasing the
    // chain must free each node once, so chain and numbering stay in step.
    {
        CGCPGroupList list;
        for (int round = 0; round < 30; ++round) {
            unsigned long count = 0;
            list.GetGroupNum(&count);
            const unsigned long at = round % 3 == 0 ? 1 : round % 3 == 1 ? count / 2 + 1 : count + 1;
            CCtrlPntSet set;
            FillSet(&set, round, 3);
            ASSERT_EQ(list.InsertGroup(at, &set), 1);
            if (round % 4 == 3) {
                list.GetGroupNum(&count);
                ASSERT_EQ(list.RemoveGroup(round % 8 == 3 ? 1 : count), 1);
                ASSERT_EQ(list.RemoveGroup(count / 2), 1);
            }
            ASSERT_TRUE(NumberedByPosition(list));
        }
        list.ReleaseAllGroups();
        EXPECT_EQ(g_liveAllocations, baseline);
        unsigned long count = 1;
        list.GetGroupNum(&count);
        EXPECT_EQ(count, 0UL);
    }
    EXPECT_EQ(g_liveAllocations, baseline);
}
