// backward_tolerance_test - BeginTransform(forward, tolerancePx): its
// refusals, its promise (every backward result within the tolerance of the
// exact inverse, inside the points' frame, around it and far outside), and
// that a tolerance up to the library's own 1e-6 px changes no bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "FitCache.h"
#include "FitSets.h"
#include "InverseCells.h"
#include "TrueMaps.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct GroupCase {
    const char* name;
    short type;
    std::vector<_CtrlPntStrcT> points;
};

const TrueMap& MapNamed(const std::string& name) {
    static const std::vector<TrueMap> maps = AllTrueMaps();
    for (const TrueMap& m : maps)
        if (name == m.name) return m;
    throw std::invalid_argument(name);
}

// The types with an iterative inverse, and the spline as a warp sees it:
// a few hundred points with a quarter pixel of noise, which it bends to
// fit exactly.
std::vector<GroupCase> Groups() {
    std::vector<GroupCase> groups;
    groups.push_back({"poly2", TM_TRANS_POLY2, GridPoints(MapNamed("poly2"), 9, 7)});
    groups.push_back({"poly3", TM_TRANS_POLY3, GridPoints(MapNamed("poly3"), 9, 7)});
    groups.push_back({"smooth_spline", TM_TRANS_TPS, GridPoints(MapNamed("poly3"), 12, 9)});
    groups.push_back({"noisy_spline", TM_TRANS_TPS, NoisyGrid(MapNamed("poly3"), 25, 19, 0.25, 7)});
    return groups;
}

void Load(CCtrlPntSet& set, const GroupCase& group) {
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, group.type), TM_OK);
    ASSERT_EQ(set.AddGCPs(group.points.data(), static_cast<unsigned long>(group.points.size())), TM_OK);
}

// User positions of a (side + 1)^2 grid of pixels and of random pixels over
// the raster widened by `margin` of its size on every side, through set's
// forward model.
std::vector<double> UserPositions(CCtrlPntSet& set, double margin, int side, int randomCount) {
    std::vector<double> pixels;
    for (int j = 0; j <= side; ++j)
        for (int i = 0; i <= side; ++i) {
            pixels.push_back(kColumns * (-margin + (1 + 2 * margin) * i / side));
            pixels.push_back(kRows * (-margin + (1 + 2 * margin) * j / side));
        }
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> px(-margin * kColumns, (1 + margin) * kColumns);
    std::uniform_real_distribution<double> py(-margin * kRows, (1 + margin) * kRows);
    for (int k = 0; k < randomCount; ++k) pixels.push_back(px(random)), pixels.push_back(py(random));
    std::vector<double> user;
    for (std::size_t k = 0; k < pixels.size(); k += 2) {
        double x, y;
        if (set.GetCoordinateA(&x, &y, pixels[k], pixels[k + 1], true) == TM_OK) user.push_back(x), user.push_back(y);
    }
    return user;
}

TEST(BackwardTolerance, RefusesNegativeOrNonFiniteTolerances) {
    CCtrlPntSet set;
    Load(set, Groups()[0]);
    for (double tolerance : {-1e-3, -0.0 - 1e-300, kNaN, kInf, -kInf}) {
        SCOPED_TRACE(tolerance);
        for (bool forward : {true, false}) EXPECT_EQ(set.BeginTransform(forward, tolerance), TM_ERR_ARGUMENT);
        // Nothing was prepared.
        double x, y;
        EXPECT_EQ(set.PointTransform(&x, &y, 1.0, 2.0), TM_ERR_STATE);
    }
    EXPECT_EQ(set.BeginTransform(false, 0.0), TM_OK);
    set.EndTransform();
    // The argument is checked first: an empty set refuses it the same way.
    CCtrlPntSet empty;
    EXPECT_EQ(empty.BeginTransform(false, kNaN), TM_ERR_ARGUMENT);
    EXPECT_EQ(empty.BeginTransform(false, 0.5), TM_ERR_TOO_FEW);
}

// Up to 1e-6 px the tolerance changes nothing: both directions of every
// type give BeginTransform(forward)'s results bit for bit.
TEST(BackwardTolerance, TinyTolerancesChangeNoBit) {
    std::vector<GroupCase> groups = Groups();
    for (const TrueMap& map : AllTrueMaps())
        if (map.type == TM_TRANS_POLY1 || map.type == TM_TRANS_PROJECTIVE || map.type == TM_TRANS_SIMILARITY)
            groups.push_back({map.name, map.type, GridPoints(map, 6, 5)});
    for (const GroupCase& group : groups) {
        SCOPED_TRACE(group.name);
        CCtrlPntSet reference, set;
        Load(reference, group);
        Load(set, group);
        for (bool forward : {true, false}) {
            std::vector<double> in = UserPositions(reference, 0.25, 40, 500);
            if (forward) {
                for (std::size_t k = 0; k < in.size(); k += 2)
                    in[k] = kColumns * (k % 7) / 6.0, in[k + 1] = kRows * (k % 5) / 4.0;
            }
            std::vector<double> expected(in.size());
            ASSERT_EQ(reference.BeginTransform(forward), TM_OK);
            ASSERT_EQ(reference.BatchTransform(in.data(), expected.data(), in.size() / 2), TM_OK);
            reference.EndTransform();
            for (double tolerance : {0.0, 1e-9, 1e-6}) {
                ASSERT_EQ(set.BeginTransform(forward, tolerance), TM_OK);
                for (std::size_t k = 0; k < in.size(); k += 2) {
                    double x, y;
                    ASSERT_EQ(set.PointTransform(&x, &y, in[k], in[k + 1]), TM_OK);
                    ASSERT_EQ(x, expected[k]) << forward << " " << tolerance;
                    ASSERT_EQ(y, expected[k + 1]) << forward << " " << tolerance;
                }
                set.EndTransform();
            }
        }
    }
}

struct ToleranceCase {
    std::size_t group;  // index in Groups()
    double tolerancePx;
};

class BackwardWithinTolerance : public ::testing::TestWithParam<ToleranceCase> {};

// Every backward result lies within the tolerance of the exact inverse
// (GetCoordinateA, the damped iteration), on a dense grid and at random
// points, inside the frame, around it and far outside (there only where
// the exact inverse converts); the batch call agrees with the one-point
// call bit for bit.
TEST_P(BackwardWithinTolerance, EveryResultWithinTheToleranceOfTheExactInverse) {
    const GroupCase group = Groups()[GetParam().group];
    const double tolerance = GetParam().tolerancePx;
    CCtrlPntSet set;
    Load(set, group);
    ASSERT_EQ(set.BeginTransform(false, tolerance), TM_OK);
    for (double margin : {0.0, 0.25, 2.0}) {
        SCOPED_TRACE(margin);
        // A grid of a hundred steps a side and random points, which fall
        // anywhere within the cells; no denser, so that the suite stays
        // within its time under emulation (qemu, wine) too.
        const std::vector<double> user = UserPositions(set, margin, 100, 2000);
        std::vector<double> batch(user.size());
        const bool batchOk = set.BatchTransform(user.data(), batch.data(), user.size() / 2) == TM_OK;
        double worst = 0.0;
        std::size_t compared = 0;
        for (std::size_t k = 0; k < user.size(); k += 2) {
            double px, py, ex, ey;
            const long rc = set.PointTransform(&px, &py, user[k], user[k + 1]);
            if (set.GetCoordinateA(&ex, &ey, user[k], user[k + 1], false) != TM_OK) continue;
            ASSERT_EQ(rc, TM_OK) << user[k] << " " << user[k + 1];
            if (margin > 1.0) {
                // Far out a polynomial may fold: where the two inverses are
                // different branches, both must be inverses.
                double x, y;
                ASSERT_EQ(set.GetCoordinateA(&x, &y, px, py, true), TM_OK);
                if (std::hypot(px - ex, py - ey) > 1.0) continue;
            }
            worst = std::max(worst, std::hypot(px - ex, py - ey));
            ++compared;
            if (batchOk) {
                ASSERT_EQ(batch[k], px);
                ASSERT_EQ(batch[k + 1], py);
            }
        }
        if (margin < 1.0) {
            EXPECT_TRUE(batchOk);
            EXPECT_EQ(compared, user.size() / 2);
        }
        EXPECT_LE(worst, tolerance) << compared << " points compared";
        RecordProperty("worst_error_px_margin_" + std::to_string(static_cast<int>(margin * 100)), std::to_string(worst));
    }
    set.EndTransform();
}

// What the tolerance is for: with a hundredth of a pixel the spline's
// table answers for most of its frame itself, where without one it
// answers for none of it.
TEST(BackwardTolerance, SplineTableAnswersForMostOfTheFrame) {
    const GroupCase group = Groups()[3];
    tiemark::FitCache fit;
    ASSERT_EQ(fit.Ensure(group.points, group.type, TM_ORIENT_LINE_DOWN), TM_OK);
    const tiemark::Model& model = fit.Current();
    for (double tolerance : {0.0, 0.0125}) {
        tiemark::InverseCells cells;
        cells.Build(model, tolerance > 0.0, tolerance);
        std::size_t hits = 0, total = 0;
        for (int j = 0; j <= 100; ++j)
            for (int i = 0; i <= 100; ++i, ++total) {
                double x, y, px, py;
                ASSERT_EQ(model.Forward(kColumns * i / 100.0, kRows * j / 100.0, &x, &y), TM_OK);
                hits += cells.Lookup(model, x, y, &px, &py);
            }
        if (tolerance == 0.0) {
            EXPECT_EQ(hits, 0u);
        } else {
            EXPECT_GT(hits, total * 3 / 4) << cells.CellsPerSide() << " cells per side";
            EXPECT_EQ(cells.CheckedTolerancePx(), tolerance);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tolerances, BackwardWithinTolerance,
                         ::testing::Values(ToleranceCase{0, 1e-4}, ToleranceCase{0, 0.05}, ToleranceCase{1, 1e-4},
                                           ToleranceCase{1, 0.05}, ToleranceCase{2, 1e-3},
                                           ToleranceCase{2, 0.0125}, ToleranceCase{3, 1e-3},
                                           ToleranceCase{3, 0.0125}, ToleranceCase{3, 0.1}),
                         [](const ::testing::TestParamInfo<ToleranceCase>& info) {
                             std::string name = Groups()[info.param.group].name;
                             std::string tolerance = std::to_string(info.param.tolerancePx);
                             for (char& c : tolerance)
                                 if (c == '.') c = '_';
                             return name + "_" + tolerance;
                         });

}  // namespace
