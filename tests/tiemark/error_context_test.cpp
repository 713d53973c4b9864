// The error context GetOneGCP fills in: duplicate pixel positions and
// outliers.  The answer read back depends only on the points held, never on
// the order of edits and reads that led to them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "CtrlPntSet.h"
#include "TrueMaps.h"

namespace {

// A check point (use flag off) at the given pixel position.
_CtrlPntStrcT CheckPoint(double px, double py, int id) {
    _CtrlPntStrcT p = TmMakePoint(px, py, 600000.0 + 2.0 * px, 5400000.0 - 2.0 * py, 0.0, "d");
    p.Id = id;
    p.UseFlag = 0;
    return p;
}

// 1-based index of the lowest other point at the same pixel position, 0 if none.
long LowestOther(const std::vector<_CtrlPntStrcT>& pts, std::size_t i) {
    for (std::size_t j = 0; j < pts.size(); ++j)
        if (j != i && pts[j].PixelX == pts[i].PixelX && pts[j].PixelY == pts[i].PixelY)
            return static_cast<long>(j + 1);
    return 0;
}

// Reads point i (0-based) and checks its duplicate report against the model.
void ExpectReport(CCtrlPntSet& set, const std::vector<_CtrlPntStrcT>& model, std::size_t i) {
    _CtrlPntStrcT p;
    ASSERT_EQ(set.GetOneGCP(i + 1, &p), TM_OK);
    ASSERT_EQ(p.Id, model[i].Id) << "point " << i + 1;
    const long other = LowestOther(model, i);
    if (other != 0) {
        EXPECT_EQ(p.Err.GetCode(), TM_CHECK_DUPLICATE) << "point " << i + 1;
        EXPECT_EQ(p.Err.Other, other) << "point " << i + 1;
    } else {
        EXPECT_NE(p.Err.GetCode(), TM_CHECK_DUPLICATE) << "point " << i + 1;
        EXPECT_EQ(p.Err.Other, 0) << "point " << i + 1;
    }
}

void ExpectAllReports(CCtrlPntSet& set, const std::vector<_CtrlPntStrcT>& model) {
    unsigned long n = 0;
    set.GetGCPNum(&n);
    ASSERT_EQ(n, model.size());
    for (std::size_t i = 0; i < model.size(); ++i) ExpectReport(set, model, i);
}

TEST(TiemarkDuplicates, AppendsReadOneByOneReportEachOther) {
    const TrueMap affine = AllTrueMaps()[0];
    std::vector<_CtrlPntStrcT> model = GridPoints(affine, 5, 4);
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    // Add and read in turns: each read must see the point just added.
    for (std::size_t i = 0; i < model.size(); ++i) {
        model[i].Id = static_cast<int>(i);
        ASSERT_EQ(set.AddOneGcp(i + 1, &model[i]), TM_OK);
        ExpectReport(set, model, i);
        ExpectReport(set, model, 0);
    }
    // A point appended after the set was read repeats points 4 and 9 in turn.
    _CtrlPntStrcT dup = model[3];
    dup.UserX += 5.0;
    dup.Id = 100;
    model.push_back(dup);
    ASSERT_EQ(set.AddOneGcp(model.size(), &dup), TM_OK);
    ExpectAllReports(set, model);
    dup.PixelX = model[8].PixelX;
    dup.PixelY = model[8].PixelY;
    model.back() = dup;
    ASSERT_EQ(set.UpdateOneGCP(model.size(), &dup), TM_OK);
    ExpectAllReports(set, model);
    // A copy reports the same.
    CCtrlPntSet copy;
    ASSERT_EQ(copy.CopyPntSet(&set), TM_OK);
    ExpectAllReports(copy, model);
    // Removing the repeat leaves point 9 unique again.
    ASSERT_EQ(set.DeleteOneGCP(model.size()), TM_OK);
    model.pop_back();
    ExpectAllReports(set, model);
}

TEST(TiemarkDuplicates, RandomEditsAgreeWithBruteForce) {
    // Few distinct positions, so runs of two, three and more are common;
    // 0.0 and -0.0 are the same position.
    const double xs[] = {0.0, -0.0, 10.0, 25.5};
    const double ys[] = {0.0, -0.0, 7.0};
    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    for (int round = 0; round < 3; ++round) {
        CCtrlPntSet set;
        std::vector<_CtrlPntStrcT> model;
        int nextId = 1;
        for (int step = 0; step < 1500; ++step) {
            const int op = pick(10);
            _CtrlPntStrcT p = CheckPoint(xs[pick(4)], ys[pick(3)], nextId++);
            if (op < 4 || model.empty()) {  // append
                ASSERT_EQ(set.AddOneGcp(model.size() + 1, &p), TM_OK);
                model.push_back(p);
            } else if (op == 4) {  // insert anywhere
                const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(model.size()) + 1));
                ASSERT_EQ(set.AddOneGcp(at + 1, &p), TM_OK);
                model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), p);
            } else if (op == 5) {  // delete the last
                ASSERT_EQ(set.DeleteOneGCP(model.size()), TM_OK);
                model.pop_back();
            } else if (op == 6) {  // delete anywhere
                const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(model.size())));
                ASSERT_EQ(set.DeleteOneGCP(at + 1), TM_OK);
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
            } else {  // move a point to another position
                const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(model.size())));
                ASSERT_EQ(set.UpdateOneGCP(at + 1, &p), TM_OK);
                model[at] = p;
            }
            // Read sometimes everything, sometimes one point, sometimes
            // nothing, so that edits meet both read and unread points.
            const int read = pick(4);
            if (read == 0) {
                ExpectAllReports(set, model);
            } else if (read == 1 && !model.empty()) {
                ExpectReport(set, model, static_cast<std::size_t>(pick(static_cast<int>(model.size()))));
            }
            if (::testing::Test::HasFailure()) FAIL() << "round " << round << " step " << step;
        }
        ExpectAllReports(set, model);
    }
}

TEST(TiemarkDuplicates, RecordsDoNotDependOnTheEditHistory) {
    const TrueMap affine = AllTrueMaps()[0];
    std::vector<_CtrlPntStrcT> pts = GridPoints(affine, 4, 4);
    pts.push_back(pts[5]);
    pts.push_back(pts[5]);
    pts.push_back(pts[0]);
    // a: appended, read after every append.  b: inserted at the front in
    // reverse order, read after every insertion.  c: appended, never read.
    CCtrlPntSet a, b, c;
    _CtrlPntStrcT scratch;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        ASSERT_EQ(a.AddOneGcp(i + 1, &pts[i]), TM_OK);
        a.GetOneGCP(i + 1, &scratch);
        ASSERT_EQ(b.AddOneGcp(1, &pts[pts.size() - 1 - i]), TM_OK);
        b.GetOneGCP(1, &scratch);
        ASSERT_EQ(c.AddOneGcp(i + 1, &pts[i]), TM_OK);
    }
    for (std::size_t i = 1; i <= pts.size(); ++i) {
        _CtrlPntStrcT ra, rb, rc;
        ASSERT_EQ(a.GetOneGCP(i, &ra), TM_OK);
        ASSERT_EQ(b.GetOneGCP(i, &rb), TM_OK);
        ASSERT_EQ(c.GetOneGCP(i, &rc), TM_OK);
        // The residuals may differ in their last bits (the fits absorbed the
        // points in different orders); the duplicate report may not.
        EXPECT_EQ(ra.Err.GetCode(), rb.Err.GetCode()) << "point " << i;
        EXPECT_EQ(ra.Err.Other, rb.Err.Other) << "point " << i;
        EXPECT_EQ(std::memcmp(&ra.Err, &rc.Err, sizeof ra.Err), 0) << "point " << i;
    }
    _CtrlPntStrcT last;
    ASSERT_EQ(a.GetOneGCP(pts.size(), &last), TM_OK);
    EXPECT_EQ(last.Err.GetCode(), TM_CHECK_DUPLICATE);
    EXPECT_EQ(last.Err.Other, 1);
}

// Outlier reports, read after every append, agree with the definition:
// residual longer than three times the user RMS that RmsError reports.
TEST(TiemarkOutliers, ReadAfterEveryAppendAgreesWithRmsError) {
    for (const TrueMap& map : AllTrueMaps()) {
        SCOPED_TRACE(map.name);
        std::vector<_CtrlPntStrcT> pts = GridPoints(map, 7, 6);
        // Pixel noise of half a pixel: user residuals at the map's own scale.
        std::mt19937 rng(77);
        std::normal_distribution<double> noise(0.0, 0.5);
        for (auto& p : pts) p.PixelX += noise(rng), p.PixelY += noise(rng);
        pts[9].PixelX += 60.0;   // two outliers, added late and early
        pts[30].PixelY -= 45.0;
        std::swap(pts[9], pts[40]);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        int outliers = 0;
        for (std::size_t i = 0; i < pts.size(); ++i) {
            ASSERT_EQ(set.AddOneGcp(i + 1, &pts[i]), TM_OK);
            _CtrlPntStrcT read;
            ASSERT_EQ(set.GetOneGCP(i + 1, &read), TM_OK);
            double r[4], userRms, pixelRms;
            if (set.GetRMSError(&userRms, &pixelRms) != TM_OK) {
                EXPECT_EQ(read.Err.GetCode(), TM_CHECK_OK) << "point " << i + 1;
                continue;
            }
            ASSERT_EQ(set.GetResidual(i + 1, &r[0], &r[1], &r[2], &r[3]), TM_OK);
            EXPECT_EQ(read.Err.ResidualX, r[0]);
            EXPECT_EQ(read.Err.ResidualY, r[1]);
            const double length = std::hypot(r[0], r[1]);
            // Cases within rounding of the threshold would be a coin toss.
            if (std::fabs(length - 3.0 * userRms) < 1e-9 * userRms) continue;
            const bool outlier = length > 3.0 * userRms;
            EXPECT_EQ(read.Err.GetCode(), outlier ? TM_CHECK_OUTLIER : TM_CHECK_OK) << "point " << i + 1;
            outliers += outlier;
        }
        EXPECT_GE(outliers, 1);
        // A refit from scratch reports the same outlier.
        _CtrlPntStrcT read;
        ASSERT_EQ(set.GetOneGCP(41, &read), TM_OK);
        EXPECT_EQ(read.Err.GetCode(), TM_CHECK_OUTLIER);
        ASSERT_EQ(set.SetTransType(map.type == TM_TRANS_POLY1 ? TM_TRANS_POLY2 : TM_TRANS_POLY1), TM_OK);
        ASSERT_EQ(set.SetTransType(map.type), TM_OK);
        ASSERT_EQ(set.GetOneGCP(41, &read), TM_OK);
        EXPECT_EQ(read.Err.GetCode(), TM_CHECK_OUTLIER);
    }
}

}  // namespace
