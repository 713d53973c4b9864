// The range of a group that cannot be fitted (or has no raster size) is the
// bounding box of its used points.  The set keeps that box up to date edit by
// edit; these tests hold it against a box computed from scratch.
#include "CtrlPntSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct Box {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool operator==(const Box&) const = default;
};

Box BruteForceUsedBox(CCtrlPntSet& set) {
    unsigned long n = 0;
    set.GetGCPNum(&n);
    Box box;
    bool any = false;
    for (unsigned long i = 1; i <= n; ++i) {
        _CtrlPntStrcT p;
        EXPECT_EQ(set.GetOneGCP(i, &p), TM_OK);
        if (!p.UseFlag) continue;
        if (!any) {
            box = {p.UserX, p.UserY, p.UserX, p.UserY};
            any = true;
            continue;
        }
        box.minX = std::min(box.minX, p.UserX);
        box.minY = std::min(box.minY, p.UserY);
        box.maxX = std::max(box.maxX, p.UserX);
        box.maxY = std::max(box.maxY, p.UserY);
    }
    return box;
}

Box RangeWithoutRaster(CCtrlPntSet& set) {
    Box box;
    EXPECT_EQ(set.ComputeUserCoordRange(0, 0), TM_OK);
    set.GetUserCoordRange(&box.minX, &box.minY, &box.maxX, &box.maxY);
    return box;
}

TEST(TiemarkUsedRange, EveryKindOfEditKeepsTheBoxOfTheUsedPoints) {
    std::mt19937 rng(20261207);
    // Few distinct values, so that points often sit on the box's edges.
    std::uniform_int_distribution<int> coord(0, 6);
    std::uniform_int_distribution<int> action(0, 5);
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY3), TM_OK);  // never fitted below 10 points
    for (int step = 0; step < 3000; ++step) {
        unsigned long n = 0;
        set.GetGCPNum(&n);
        const int a = n == 0 ? 0 : action(rng);
        std::uniform_int_distribution<unsigned long> anyIndex(1, std::max(1ul, n));
        _CtrlPntStrcT p = TmMakePoint(coord(rng), coord(rng), 1000.0 + coord(rng), -50.0 + coord(rng));
        switch (a) {
            case 0:  // append
                ASSERT_EQ(set.AddOneGcp(n + 1, &p), TM_OK);
                break;
            case 1:  // insert anywhere
                ASSERT_EQ(set.AddOneGcp(std::uniform_int_distribution<unsigned long>(1, n + 1)(rng), &p), TM_OK);
                break;
            case 2:
                if (n > 8) {
                    ASSERT_EQ(set.DeleteOneGCP(anyIndex(rng)), TM_OK);
                }
                break;
            case 3:
                ASSERT_EQ(set.UpdateOneGCP(anyIndex(rng), &p), TM_OK);
                break;
            default:
                ASSERT_EQ(set.SetOneGcpUseOnOff(anyIndex(rng), coord(rng) > 2), TM_OK);
                break;
        }
        set.GetGCPNum(&n);
        if (n >= 10) {
            // Keep the group unfittable so that the range stays the used-point box.
            ASSERT_EQ(set.DeleteOneGCP(n), TM_OK);
        }
        ASSERT_EQ(RangeWithoutRaster(set), BruteForceUsedBox(set)) << "after step " << step;
    }
}

TEST(TiemarkUsedRange, CopiesAndResetsCarryTheirOwnBox) {
    CCtrlPntSet a;
    ASSERT_EQ(a.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    for (int i = 0; i < 5; ++i) {
        _CtrlPntStrcT p = TmMakePoint(i, i, 10.0 * i, -3.0 * i);
        ASSERT_EQ(a.AddOneGcp(i + 1, &p), TM_OK);
    }
    CCtrlPntSet b;
    ASSERT_EQ(b.CopyPntSet(&a), TM_OK);
    ASSERT_EQ(b.DeleteOneGCP(5), TM_OK);  // the corner (40, -12) leaves b only
    EXPECT_EQ(RangeWithoutRaster(b), (Box{0, -9, 30, 0}));
    EXPECT_EQ(RangeWithoutRaster(a), (Box{0, -12, 40, 0}));
    ASSERT_EQ(a.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    EXPECT_EQ(RangeWithoutRaster(a), Box{});
    _CtrlPntStrcT lone = TmMakePoint(1, 1, 7, 8);
    ASSERT_EQ(a.AddOneGcp(1, &lone), TM_OK);
    EXPECT_EQ(RangeWithoutRaster(a), (Box{7, 8, 7, 8}));
}

}  // namespace
