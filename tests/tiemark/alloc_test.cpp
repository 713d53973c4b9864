// Allocation failures: every call that needs memory refuses with
// TM_ERR_MEMORY and leaves the set as it was.  This executable replaces the
// global operator new with one that can be told to fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "CtrlPntSet.h"
#include "SetSnapshot.h"
#include "TrueMaps.h"

namespace {
// Allocations left before the next one fails; negative: never fail.
long g_allocationsLeft = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (g_allocationsLeft == 0) throw std::bad_alloc();
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_allocationsLeft == 0) return nullptr;
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs call with the n-th allocation failing, for n = 0, 1, ... until the
// call succeeds; every failing run must report TM_ERR_MEMORY and leave the
// set unchanged.  Returns how many runs failed.
template <class Setup, class Call>
long EveryAllocationMayFail(Setup setup, Call call) {
    for (long n = 0; n < 50; ++n) {
        CCtrlPntSet set;
        setup(set);
        const SetSnapshot before = SetSnapshot::Of(set);
        g_allocationsLeft = n;
        long rc = call(set);
        g_allocationsLeft = -1;
        if (rc == TM_OK) return n;
        EXPECT_EQ(rc, TM_ERR_MEMORY) << "allocation " << n;
        EXPECT_TRUE(SetSnapshot::Of(set) == before) << "allocation " << n;
    }
    ADD_FAILURE() << "the call never succeeded";
    return 0;
}

const std::vector<_CtrlPntStrcT>& Points() {
    // 24 points: the set's storage is full, so one more needs a new block.
    static const std::vector<_CtrlPntStrcT> pts = GridPoints(AllTrueMaps()[1], 6, 4);
    return pts;
}

TEST(TiemarkAlloc, FailedAllocationsRefuseWithoutChange) {
    auto filled = [](short type) {
        return [type](CCtrlPntSet& set) {
            set.InitPntSet(TM_ORIENT_LINE_DOWN, type);
            AddAll(set, Points());
        };
    };
    auto empty = [](CCtrlPntSet&) {};
    _CtrlPntStrcT extra = TmMakePoint(5, 6, 651000, 5212000);
    EXPECT_GT(EveryAllocationMayFail(empty, [&](CCtrlPntSet& s) { return s.AddOneGcp(1, &extra); }), 0);
    EXPECT_GT(EveryAllocationMayFail(empty, [](CCtrlPntSet& s) { return s.InitPntSet(1, TM_TRANS_TPS); }), 0);
    EXPECT_GT(EveryAllocationMayFail(filled(TM_TRANS_POLY2), [&](CCtrlPntSet& s) { return s.AddOneGcp(3, &extra); }),
              0);
    EXPECT_GT(EveryAllocationMayFail(filled(TM_TRANS_TPS), [](CCtrlPntSet& s) { return s.BeginTransform(true); }), 0);
    // The backward preparation also builds the table of the inverse.
    for (short type : {TM_TRANS_POLY2, TM_TRANS_TPS})
        EXPECT_GT(EveryAllocationMayFail(filled(type), [](CCtrlPntSet& s) { return s.BeginTransform(false); }), 0);
    CCtrlPntSet source;
    filled(TM_TRANS_PROJECTIVE)(source);
    EXPECT_GT(EveryAllocationMayFail(filled(TM_TRANS_POLY1), [&](CCtrlPntSet& s) { return s.CopyPntSet(&source); }),
              0);
    EXPECT_GT(EveryAllocationMayFail(empty, [&](CCtrlPntSet& s) { return s.CopyPntSet(&source); }), 0);
}

// Every record of set, byte for byte, read with allocations allowed.
std::vector<unsigned char> Records(CCtrlPntSet& set) {
    return SetSnapshot::Of(set).records;
}

// The duplicate index is built when a group is first read and updated when a
// point moves.  A failed allocation there must not leave a wrong report
// behind: a failed read refuses, and the next reads agree with a set that
// never saw a failure.
TEST(TiemarkAlloc, DuplicateReportsSurviveFailedAllocations) {
    std::vector<_CtrlPntStrcT> pts = Points();
    pts.push_back(pts[3]);
    pts.push_back(pts[3]);
    pts.push_back(pts[7]);
    // Point 26, the third at the position of point 4, moves to a position of
    // its own: the index needs a new entry.
    _CtrlPntStrcT moved = pts[25];
    moved.PixelX += 0.5;
    CCtrlPntSet reference;
    AddAll(reference, pts);
    const std::vector<unsigned char> unmoved = Records(reference);
    ASSERT_EQ(reference.UpdateOneGCP(26, &moved), TM_OK);
    // A later point at the new position must be reported with point 26.
    _CtrlPntStrcT follower = moved;
    follower.Id = 99;
    ASSERT_EQ(reference.AddOneGcp(pts.size() + 1, &follower), TM_OK);
    const std::vector<unsigned char> expected = Records(reference);
    bool readSucceeded = false, updateSucceeded = false;
    for (long n = 0; n < 200 && !(readSucceeded && updateSucceeded); ++n) {
        {  // first read of a group never read before
            CCtrlPntSet set;
            AddAll(set, pts);
            _CtrlPntStrcT p;
            g_allocationsLeft = n;
            long rc = set.GetOneGCP(pts.size(), &p);
            g_allocationsLeft = -1;
            if (rc == TM_OK) readSucceeded = true;
            else EXPECT_EQ(rc, TM_ERR_MEMORY) << "allocation " << n;
            EXPECT_TRUE(Records(set) == unmoved) << "allocation " << n;
        }
        {  // a read group whose point 26 moves
            CCtrlPntSet set;
            AddAll(set, pts);
            Records(set);
            g_allocationsLeft = n;
            long rc = set.UpdateOneGCP(26, &moved);
            g_allocationsLeft = -1;
            if (rc == TM_OK) {
                updateSucceeded = true;
                ASSERT_EQ(set.AddOneGcp(pts.size() + 1, &follower), TM_OK);
                EXPECT_TRUE(Records(set) == expected) << "allocation " << n;
            } else {
                EXPECT_EQ(rc, TM_ERR_MEMORY) << "allocation " << n;
                EXPECT_TRUE(Records(set) == unmoved) << "allocation " << n;
            }
        }
    }
    EXPECT_TRUE(readSucceeded);
    EXPECT_TRUE(updateSucceeded);
}

}  // namespace
