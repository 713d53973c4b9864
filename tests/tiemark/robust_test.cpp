// Robust outlier search: planted gross errors are all found with few false
// marks, on every type; conflicts are named; use flags change only when
// the verdict is applied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "CtrlPntSet.h"
#include "FitSets.h"

namespace {

std::vector<std::size_t> Marked(CCtrlPntSet& set) {
    unsigned long count = 0;
    set.GetGCPNum(&count);
    std::vector<std::size_t> marked;
    for (unsigned long i = 1; i <= count; ++i) {
        _CtrlPntStrcT p;
        set.GetOneGCP(i, &p);
        if (p.Err.Code == TM_CHECK_ROBUST_OUTLIER) marked.push_back(i - 1);
    }
    return marked;
}

class PlantedOutliers : public ::testing::TestWithParam<short> {};

TEST_P(PlantedOutliers, AllFoundWithAtMostOneCleanPointPerHundredMarked) {
    const short type = GetParam();
    const TrueMap& map = TrueMapOf(type);
    std::size_t planted = 0, missed = 0, falseMarks = 0, marked = 0;
    for (double share : {0.05, 0.10, 0.20}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            std::vector<_CtrlPntStrcT> pts = NoisyGrid(map, 10, 8, 0.5, 100u * seed + type);
            std::vector<std::size_t> bad = PlantGrossErrors(map, &pts, share, seed);
            CCtrlPntSet set;
            Fill(set, type, pts);
            unsigned long outliers = 0;
            ASSERT_EQ(set.FindOutliers(&outliers, nullptr, nullptr), TM_OK);
            std::vector<std::size_t> found = Marked(set);
            ASSERT_EQ(found.size(), outliers);
            for (std::size_t i : bad) missed += std::binary_search(found.begin(), found.end(), i) ? 0 : 1;
            for (std::size_t i : found) falseMarks += std::binary_search(bad.begin(), bad.end(), i) ? 0 : 1;
            planted += bad.size();
            marked += found.size();
            // Nothing was switched off by looking.
            for (unsigned long i = 1; i <= pts.size(); ++i) {
                bool use = false;
                set.GetOneGcpUseOnOff(i, &use);
                EXPECT_TRUE(use);
            }
        }
    }
    EXPECT_EQ(missed, 0u) << "of " << planted << " planted";
    EXPECT_LE(100 * falseMarks, marked) << falseMarks << " clean points among " << marked << " marked";
}

INSTANTIATE_TEST_SUITE_P(EveryType, PlantedOutliers,
                         ::testing::Values(TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY,
                                           TM_TRANS_PROJECTIVE, TM_TRANS_TPS));

TEST(RobustCheck, FindsAvonPointFifteenAndAppliesTheVerdictOnRequest) {
    std::vector<_CtrlPntStrcT> pts = ReadQgisPoints(kAvonFile);
    for (short type : {TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE, TM_TRANS_TPS}) {
        CCtrlPntSet set;
        Fill(set, type, pts);
        double scale = 0.0;
        ASSERT_EQ(set.FindOutliers(nullptr, nullptr, &scale), TM_OK);
        std::vector<std::size_t> found = Marked(set);
        EXPECT_TRUE(std::binary_search(found.begin(), found.end(), 14u)) << type;  // point 15
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(15, &p), TM_OK);
        EXPECT_EQ(p.Err.Reserved, scale);
        EXPECT_EQ(p.Err.Code, TM_CHECK_ROBUST_OUTLIER);
        EXPECT_GT(std::hypot(p.Err.ResidualX, p.Err.ResidualY), 5.0 * scale);
    }
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY2, pts);
    unsigned long off = 0, locked = 0;
    EXPECT_EQ(set.ApplyOutliers(&off, &locked), TM_ERR_STATE);  // no verdict yet
    ASSERT_EQ(set.FindOutliers(nullptr, nullptr, nullptr), TM_OK);
    const std::vector<std::size_t> found = Marked(set);
    ASSERT_GE(found.size(), 2u);  // points 14 and 15
    const unsigned long lockedIndex = static_cast<unsigned long>(found.front() + 1);
    ASSERT_EQ(set.SetOneGCPEditOnOff(lockedIndex, false), TM_OK);
    ASSERT_EQ(set.ApplyOutliers(&off, &locked), TM_OK);
    EXPECT_EQ(locked, 1u);
    EXPECT_EQ(off, found.size() - 1);
    unsigned long count = 0;
    set.GetGCPNum(&count);
    EXPECT_EQ(count, pts.size());  // nothing deleted
    for (std::size_t i : found) {
        bool use = true;
        ASSERT_EQ(set.GetOneGcpUseOnOff(static_cast<unsigned long>(i + 1), &use), TM_OK);
        EXPECT_EQ(use, i + 1 == lockedIndex) << i + 1;  // the locked one is left on
    }
    EXPECT_EQ(Marked(set), found);  // the marks stay visible
}

TEST(RobustCheck, NamesConflictingPointsTogether) {
    std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 5, 5, 0.5, 9u);
    pts[7].PixelX = pts[2].PixelX, pts[7].PixelY = pts[2].PixelY;  // same pixel, other map position
    pts[20].UserX = pts[11].UserX, pts[20].UserY = pts[11].UserY;  // same map position, other pixel
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, pts);
    unsigned long conflicts = 0;
    ASSERT_EQ(set.FindOutliers(nullptr, &conflicts, nullptr), TM_OK);
    EXPECT_EQ(conflicts, 4u);
    const std::pair<unsigned long, unsigned long> pairs[] = {{3, 8}, {8, 3}, {12, 21}, {21, 12}};
    for (auto [index, other] : pairs) {
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(index, &p), TM_OK);
        EXPECT_EQ(p.Err.Code, TM_CHECK_CONFLICT) << index;
        EXPECT_EQ(static_cast<unsigned long>(p.Err.Other), other) << index;
    }
    // An edit ends the verdict: the marks go with it.
    _CtrlPntStrcT moved = pts[7];
    moved.PixelX += 1.0;
    ASSERT_EQ(set.UpdateOneGCP(8, &moved), TM_OK);
    _CtrlPntStrcT p;
    ASSERT_EQ(set.GetOneGCP(3, &p), TM_OK);
    EXPECT_NE(p.Err.Code, TM_CHECK_CONFLICT);
}

}  // namespace
