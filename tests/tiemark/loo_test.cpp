// Leave-one-out figures against brute force: every used point's
// leave-one-out residual must equal the residual it gets as a check point
// of the group refitted without it, on every type and on real and
// synthetic sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "FitSets.h"

namespace {

struct LooCase {
    const char* name;
    short type;
    std::vector<_CtrlPntStrcT> (*points)(short type);
};

std::vector<_CtrlPntStrcT> Avon(short) { return ReadQgisPoints(kAvonFile); }
std::vector<_CtrlPntStrcT> Grid(short type) { return NoisyGrid(TrueMapOf(type), 6, 5, 0.7, 11u + type); }
// Large enough that the spline's inverse runs through several blocks.
std::vector<_CtrlPntStrcT> LargeGrid(short type) { return NoisyGrid(TrueMapOf(type), 14, 11, 0.7, 41u + type); }
// No noise: the fit leaves no residual, so the projective type cannot use
// the bordered triangle and takes the shifted factor instead.
std::vector<_CtrlPntStrcT> ExactGrid(short type) { return NoisyGrid(TrueMapOf(type), 6, 5, 0.0, 3u); }
// The map seen in a mirror (user y negated): with lines counted downwards
// the other sets take the similarity's mirrored form, this one the plain.
std::vector<_CtrlPntStrcT> MirroredGrid(short type) {
    std::vector<_CtrlPntStrcT> pts = Grid(type);
    for (_CtrlPntStrcT& p : pts) p.UserY = -p.UserY;
    return pts;
}
// A tenth of the points moved by 20 to 500 pixels: their left-out models
// meet them far from the stored pixel position, so the pixel figure takes
// several Newton steps (or the careful inverse) instead of one.
std::vector<_CtrlPntStrcT> GrossErrors(short type) {
    std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(type), 6, 5, 0.7, 53u + type);
    PlantGrossErrors(TrueMapOf(type), &pts, 0.1, 61u + type);
    return pts;
}
// More points than one chunk of the batched least-squares paths holds (256
// for the polynomials, 512 for the projective type), check points among
// them, so that chunk boundaries fall between used points.
std::vector<_CtrlPntStrcT> ManyPoints(short type) {
    std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(type), 26, 24, 0.5, 71u + type);
    for (std::size_t i = 3; i < pts.size(); i += 7) pts[i].UseFlag = 0;
    return pts;
}
std::vector<_CtrlPntStrcT> GridWithCheckPoints(short type) {
    std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(type), 5, 5, 0.4, 29u + type);
    for (std::size_t i = 0; i < pts.size(); i += 6) pts[i].UseFlag = 0;
    return pts;
}

std::vector<LooCase> AllCases() {
    std::vector<LooCase> cases;
    const std::pair<short, const char*> types[] = {
        {TM_TRANS_POLY1, "affine"},         {TM_TRANS_POLY2, "poly2"},           {TM_TRANS_POLY3, "poly3"},
        {TM_TRANS_SIMILARITY, "similarity"}, {TM_TRANS_PROJECTIVE, "projective"}, {TM_TRANS_TPS, "spline"}};
    for (auto [type, name] : types) {
        cases.push_back({name, type, Avon});
        cases.push_back({name, type, Grid});
        cases.push_back({name, type, GridWithCheckPoints});
        cases.push_back({name, type, GrossErrors});
        // The spline's brute force at this size takes seconds; its inverse
        // has no chunks.
        if (type != TM_TRANS_TPS) cases.push_back({name, type, ManyPoints});
    }
    cases.push_back({"spline", TM_TRANS_TPS, LargeGrid});
    cases.push_back({"projective", TM_TRANS_PROJECTIVE, ExactGrid});
    cases.push_back({"similarity", TM_TRANS_SIMILARITY, MirroredGrid});
    return cases;
}

// Within 1e-9 of the brute-force value, relative, above a floor: user
// residuals are differences of coordinates of `magnitude`, so a few units in
// their last place; pixel residuals come from the inverse conversion, which
// the library (brute force included) solves to 1e-13 of the points' extent.
void ExpectClose(double loo, double brute, double magnitude, const std::string& what, bool pixel) {
    const double floor = pixel ? 1e-12 * magnitude : 8.0 * std::numeric_limits<double>::epsilon() * magnitude;
    EXPECT_NEAR(loo, brute, 1e-9 * std::fabs(brute) + floor) << what;
}

class LeaveOneOut : public ::testing::TestWithParam<LooCase> {};

TEST_P(LeaveOneOut, EqualsTheRefitWithoutThePoint) {
    const LooCase& c = GetParam();
    std::vector<_CtrlPntStrcT> pts = c.points(c.type);
    CCtrlPntSet set;
    Fill(set, c.type, pts);
    double userMag = 0.0, pixelMag = 0.0;
    for (const _CtrlPntStrcT& p : pts) {
        userMag = std::max({userMag, std::fabs(p.UserX), std::fabs(p.UserY)});
        pixelMag = std::max({pixelMag, std::fabs(p.PixelX), std::fabs(p.PixelY)});
    }
    double sumSquares = 0.0;
    unsigned long used = 0;
    for (unsigned long i = 1; i <= pts.size(); ++i) {
        TmLooFigures f;
        ASSERT_EQ(set.GetLooResidual(i, &f), TM_OK) << "point " << i;
        CCtrlPntSet without;
        ASSERT_EQ(without.CopyPntSet(&set), TM_OK);
        ASSERT_EQ(without.SetOneGcpUseOnOff(i, false), TM_OK);
        double ux, uy, px, py;
        ASSERT_EQ(without.GetResidual(i, &ux, &uy, &px, &py), TM_OK) << "point " << i;
        const std::string where = std::string(c.name) + " point " + std::to_string(i);
        ExpectClose(f.UserDX, ux, userMag, where + " user x", false);
        ExpectClose(f.UserDY, uy, userMag, where + " user y", false);
        ExpectClose(f.PixelDX, px, pixelMag, where + " pixel", true);
        ExpectClose(f.PixelDY, py, pixelMag, where + " line", true);
        if (pts[i - 1].UseFlag) {
            sumSquares += ux * ux + uy * uy;
            ++used;
            EXPECT_GE(f.Leverage, 0.0);
            EXPECT_LE(f.Leverage, 1.0 + 1e-12);
        }
    }
    double userRms, pixelRms;
    ASSERT_EQ(set.GetPredictionRMS(&userRms, &pixelRms), TM_OK);
    EXPECT_NEAR(userRms, std::sqrt(sumSquares / used), 1e-9 * userRms + 1e-6 * userMag * 1e-9);
}

std::string CaseName(const ::testing::TestParamInfo<LooCase>& info) {
    const auto points = info.param.points;
    const char* set = points == Avon ? "avon" : points == Grid ? "grid" : points == LargeGrid ? "large"
                      : points == ExactGrid   ? "exact"
                      : points == MirroredGrid ? "mirrored"
                      : points == GrossErrors  ? "gross"
                      : points == ManyPoints   ? "many"
                                            : "checkpoints";
    return std::string(info.param.name) + "_" + set;
}

INSTANTIATE_TEST_SUITE_P(EveryType, LeaveOneOut, ::testing::ValuesIn(AllCases()), CaseName);

// Leverages of a least-squares type add up to its parameters per axis, and
// Cook's distance singles out the one point moved far from the rest.
TEST(LeaveOneOutFigures, LeverageSumsAndInfluenceFindTheMovedPoint) {
    const std::pair<short, double> types[] = {{TM_TRANS_POLY1, 3}, {TM_TRANS_POLY2, 6}, {TM_TRANS_POLY3, 10},
                                              {TM_TRANS_SIMILARITY, 2}, {TM_TRANS_PROJECTIVE, 4}};
    for (auto [type, perAxis] : types) {
        std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(type), 6, 6, 0.5, 7u);
        pts[14].UserX += 40.0;  // about 80 px
        CCtrlPntSet set;
        Fill(set, type, pts);
        double sum = 0.0, worst = 0.0;
        unsigned long worstIndex = 0;
        for (unsigned long i = 1; i <= pts.size(); ++i) {
            TmLooFigures f;
            ASSERT_EQ(set.GetLooResidual(i, &f), TM_OK);
            sum += f.Leverage;
            if (f.Influence > worst) worst = f.Influence, worstIndex = i;
        }
        EXPECT_NEAR(sum, perAxis, 1e-9 * perAxis) << type;
        EXPECT_EQ(worstIndex, 15u) << type;
    }
}

TEST(LeaveOneOutFigures, RefusedWithTheMinimumOfPointsAndForBadArguments) {
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 3, 1, 0.5, 3u));
    TmLooFigures f;
    double a, b;
    EXPECT_EQ(set.GetLooResidual(1, &f), TM_ERR_TOO_FEW);
    EXPECT_EQ(set.GetPredictionRMS(&a, &b), TM_ERR_TOO_FEW);
    EXPECT_EQ(set.GetLooResidual(4, &f), TM_ERR_INDEX);
    EXPECT_EQ(set.GetLooResidual(1, nullptr), TM_ERR_ARGUMENT);
    CCtrlPntSet empty;
    EXPECT_EQ(empty.GetPredictionRMS(&a, &b), TM_ERR_TOO_FEW);
}

// The figures follow edits: a point appended (an incremental fit update)
// or switched off changes them as a fresh set would have them.
TEST(LeaveOneOutFigures, FollowEditsOfTheSet) {
    for (short type : {TM_TRANS_POLY2, TM_TRANS_TPS}) {
        std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(type), 5, 5, 0.5, 5u);
        CCtrlPntSet grown;
        Fill(grown, type, std::vector<_CtrlPntStrcT>(pts.begin(), pts.end() - 3));
        double a, b;
        ASSERT_EQ(grown.GetPredictionRMS(&a, &b), TM_OK);
        for (std::size_t k = pts.size() - 3; k < pts.size(); ++k) {
            _CtrlPntStrcT p = pts[k];
            ASSERT_EQ(grown.AddOneGcp(k + 1, &p), TM_OK);
        }
        ASSERT_EQ(grown.SetOneGcpUseOnOff(2, false), TM_OK);
        pts[1].UseFlag = 0;
        CCtrlPntSet fresh;
        Fill(fresh, type, pts);
        double ga, gb, fa, fb;
        ASSERT_EQ(grown.GetPredictionRMS(&ga, &gb), TM_OK);
        ASSERT_EQ(fresh.GetPredictionRMS(&fa, &fb), TM_OK);
        EXPECT_NEAR(ga, fa, 1e-8 * fa) << type;
        EXPECT_NEAR(gb, fb, 1e-8 * fb) << type;
    }
}

// The ranking: ordered by prediction RMS, the true model's type first on
// noisy data from it, and the set (its type too) left as it was.
TEST(CompareTransTypes, RanksByPredictionRmsAndChangesNothing) {
    for (short truth : {TM_TRANS_POLY1, TM_TRANS_POLY2}) {
        std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(truth), 7, 6, 0.5, 13u);
        pts[3].UseFlag = 0;
        CCtrlPntSet set;
        Fill(set, TM_TRANS_POLY3, pts);
        double before[2];
        ASSERT_EQ(set.GetRMSError(&before[0], &before[1]), TM_OK);
        TmTypeScore scores[6];
        unsigned long count = 0;
        ASSERT_EQ(set.CompareTransTypes(scores, &count), TM_OK);
        ASSERT_EQ(count, 6u);
        EXPECT_EQ(scores[0].TransType, truth);
        for (unsigned long k = 0; k < count; ++k) {
            EXPECT_EQ(scores[k].Status, TM_OK);
            EXPECT_EQ(scores[k].CheckCount, 1u);
            if (k > 0) {
                EXPECT_LE(scores[k - 1].PredictionRms, scores[k].PredictionRms);
            }
            if (scores[k].TransType != TM_TRANS_TPS) {
                EXPECT_LT(scores[k].FitRms, scores[k].PredictionRms);
            }
        }
        short type;
        set.GetTransType(&type);
        EXPECT_EQ(type, TM_TRANS_POLY3);
        double after[2];
        ASSERT_EQ(set.GetRMSError(&after[0], &after[1]), TM_OK);
        EXPECT_EQ(after[0], before[0]);
    }
    CCtrlPntSet few;
    Fill(few, TM_TRANS_POLY1, NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 2, 2, 0.5, 3u));
    TmTypeScore scores[6];
    unsigned long count = 0;
    ASSERT_EQ(few.CompareTransTypes(scores, &count), TM_OK);
    // Four points: a left-out fit needs three, so the similarity, the affine
    // and the spline are ranked; the projective and above are not.
    int ranked = 0;
    for (const TmTypeScore& s : scores) {
        const bool expected = s.TransType == TM_TRANS_SIMILARITY || s.TransType == TM_TRANS_POLY1 ||
                              s.TransType == TM_TRANS_TPS;
        EXPECT_EQ(s.Status == TM_OK, expected) << s.TransType;
        if (s.Status == TM_OK) {
            EXPECT_EQ(&s - scores, ranked++);
        }
    }
}

}  // namespace
