// inverse_cells_test - the tabulated backward conversion against the exact
// inverse (the damped Newton iteration of Model) on dense grids and random
// points, inside the points' frame, around it and far outside, for
// polynomials of order 2 and 3 (mildly and strongly curved) and the thin
// plate spline.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FitCache.h"
#include "FitSets.h"
#include "InverseCells.h"
#include "PreparedTransform.h"
#include "TrueMaps.h"

namespace {

using tiemark::InverseCells;
using tiemark::Model;
using tiemark::PreparedTransform;

// The promise: within 1e-6 px of the exact inverse.
constexpr double kPromisePx = 1e-6;
constexpr const char* kNoisySpline = "noisy spline";

// The backward conversion of m prepared with the AVX2 batch (avx2) or the
// widest batch the processor has (AVX-512 where it has it).
PreparedTransform PreparedWithBatch(const Model& m, bool avx2, double tolerancePx = 0.0) {
    PreparedTransform::UseAvx2BatchForTesting(avx2);
    PreparedTransform prepared;
    const long rc = prepared.Prepare(m, false, tolerancePx);
    PreparedTransform::UseAvx2BatchForTesting(false);
    EXPECT_EQ(rc, TM_OK);
    return prepared;
}
constexpr bool kBatchKinds[] = {false, true};  // the avx2 argument of PreparedWithBatch
const char* BatchKindName(bool avx2) { return avx2 ? "AVX2 batch" : "widest batch"; }

std::vector<TrueMap> CurvedMaps() {
    std::vector<TrueMap> maps;
    for (const TrueMap& m : AllTrueMaps())
        if (m.type == TM_TRANS_POLY2 || m.type == TM_TRANS_POLY3) maps.push_back(m);
    // A tenth of their curvature, about that of a survey's residual distortion:
    // the cells answer for nearly all of the raster.
    maps.push_back({TM_TRANS_POLY2, "mild poly2", [](double px, double py, double* x, double* y) {
                        double u = px / 1000.0, v = py / 1000.0;
                        *x = 651234.5 + 520 * u + 31 * v + 0.17 * u * u - 0.09 * u * v + 0.04 * v * v;
                        *y = 5212345.25 - 27 * u - 490 * v + 0.06 * u * u + 0.11 * u * v - 0.13 * v * v;
                    }});
    maps.push_back({TM_TRANS_POLY3, "mild poly3", [](double px, double py, double* x, double* y) {
                        double u = px / 1000.0, v = py / 1000.0;
                        *x = 651234.5 + 520 * u + 31 * v + 0.17 * u * u - 0.09 * u * v + 0.04 * v * v +
                             0.0002 * u * u * u - 0.0001 * u * u * v;
                        *y = 5212345.25 - 27 * u - 490 * v + 0.06 * u * u + 0.11 * u * v - 0.13 * v * v +
                             0.0001 * u * v * v + 0.0002 * v * v * v;
                    }});
    // The scale changes fourfold across the raster, without folding within
    // a quarter of it around.
    maps.push_back({TM_TRANS_POLY2, "strong poly2", [](double px, double py, double* x, double* y) {
                        *x = 651234.5 + 0.5 * px + 0.03 * py + 3e-5 * px * px;
                        *y = 5212345.25 - 0.02 * px - 0.49 * py - 1e-5 * py * py + 2e-6 * px * py;
                    }});
    maps.push_back({TM_TRANS_POLY3, "strong poly3", [](double px, double py, double* x, double* y) {
                        *x = 651234.5 + 0.5 * px + 0.03 * py + 1.5e-5 * px * px + 4e-10 * px * px * px;
                        *y = 5212345.25 - 0.02 * px - 0.49 * py - 1e-5 * py * py + 2e-6 * px * py -
                             3e-11 * py * py * py;
                    }});
    TrueMap bumped = maps[1];
    const auto poly3 = bumped.apply;
    bumped.type = TM_TRANS_TPS;
    bumped.name = "spline";
    bumped.apply = [poly3](double px, double py, double* x, double* y) {
        poly3(px, py, x, y);
        const double du = (px - 9000.0) / 3000.0, dv = (py - 7000.0) / 3000.0;
        *x += 40.0 * std::exp(-(du * du + dv * dv));
        *y += 0.3 * std::sin(px / 700.0);  // wiggles the spline's weights
    };
    maps.push_back(bumped);
    // Points with half a pixel of noise: the spline bends around every one
    // of them, its cells seed Newton a fraction of a pixel off, and each
    // conversion takes a second step whose error the curvature near the
    // point bounds.
    maps.push_back({TM_TRANS_TPS, kNoisySpline, maps[1].apply});
    return maps;
}

class InverseCellsTest : public ::testing::TestWithParam<TrueMap> {
protected:
    void SetUp() override {
        const TrueMap& map = GetParam();
        const int nx = map.type == TM_TRANS_TPS ? 25 : 9, ny = map.type == TM_TRANS_TPS ? 19 : 7;
        Points = map.name == std::string(kNoisySpline) ? NoisyGrid(map, 30, 24, 0.5, 11)
                                                       : GridPoints(map, nx, ny);
        ASSERT_EQ(Fit.Ensure(Points, map.type, TM_ORIENT_LINE_DOWN), TM_OK);
    }
    const Model& Fitted() const { return Fit.Current(); }
    // User positions of a (side + 1)^2 grid of pixels over the raster widened
    // by `margin` of its size on every side, through the fitted model.
    std::vector<double> UserGrid(double margin, int side) const {
        std::vector<double> user;
        for (int j = 0; j <= side; ++j)
            for (int i = 0; i <= side; ++i) {
                double x, y;
                const double px = kColumns * (-margin + (1 + 2 * margin) * i / side);
                const double py = kRows * (-margin + (1 + 2 * margin) * j / side);
                if (Fitted().Forward(px, py, &x, &y) != TM_OK) continue;
                user.push_back(x), user.push_back(y);
            }
        return user;
    }
    // Distance in pixels of (px, py) from the exact inverse at user (x, y);
    // negative when the exact iteration refuses the point.
    double ErrorPx(double x, double y, double px, double py) const {
        double ex, ey;
        if (Fitted().Backward(x, y, &ex, &ey) != TM_OK) return -1.0;
        return std::hypot(px - ex, py - ey);
    }

    std::vector<_CtrlPntStrcT> Points;
    tiemark::FitCache Fit;
};

// Every answer from a verified cell is within the promise of the exact
// inverse, on a grid some twelve points a cell wide; and for the mildly
// curved polynomials nearly all of the raster is answered from the cells.
TEST_P(InverseCellsTest, VerifiedCellsMatchTheExactInverse) {
    const bool polynomial = GetParam().type != TM_TRANS_TPS;
    InverseCells cells;
    cells.Build(Fitted(), polynomial);
    ASSERT_FALSE(cells.Empty());
    const int side = 12 * cells.CellsPerSide();
    std::size_t hits = 0, inside = 0;
    double worst = 0.0;
    for (double margin : {0.0, 0.3}) {
        const std::vector<double> user = UserGrid(margin, side);
        for (std::size_t k = 0; k < user.size(); k += 2) {
            double px, py;
            if (margin == 0.0) ++inside;
            if (!cells.Lookup(Fitted(), user[k], user[k + 1], &px, &py)) continue;
            if (margin == 0.0) ++hits;
            const double error = ErrorPx(user[k], user[k + 1], px, py);
            ASSERT_GE(error, 0.0);
            worst = std::max(worst, error);
        }
    }
    EXPECT_LE(worst, kPromisePx);
    if (std::string(GetParam().name).rfind("mild", 0) == 0) {
        EXPECT_GT(hits, inside * 9 / 10) << cells.VerifiedCells() << " cells verified";
    } else if (!polynomial) {
        EXPECT_EQ(hits, 0u);  // the spline's cells are seeds only
    }
    RecordProperty("cells_per_side", cells.CellsPerSide());
    RecordProperty("worst_error_px", std::to_string(worst));
}

// The prepared backward conversion (cells, seeded Newton, damped Newton) on
// dense grids and random points: where the exact iteration converts, the
// prepared one converts too and agrees within the promise; far outside,
// whatever it converts is an exact inverse.
TEST_P(InverseCellsTest, PreparedBackwardMatchesTheExactInverse) {
    PreparedTransform prepared;
    ASSERT_EQ(prepared.Prepare(Fitted(), false), TM_OK);
    std::mt19937_64 random(42);
    for (double margin : {0.0, 0.25, 2.0}) {
        SCOPED_TRACE(margin);
        std::vector<double> user = UserGrid(margin, 150);
        std::uniform_real_distribution<double> px(-margin * kColumns, (1 + margin) * kColumns);
        std::uniform_real_distribution<double> py(-margin * kRows, (1 + margin) * kRows);
        for (int k = 0; k < 4000; ++k) {
            double x, y;
            if (Fitted().Forward(px(random), py(random), &x, &y) != TM_OK) continue;
            user.push_back(x), user.push_back(y);
        }
        double worst = 0.0;
        for (std::size_t k = 0; k < user.size(); k += 2) {
            double qx, qy;
            const long rc = prepared.Apply(user[k], user[k + 1], &qx, &qy);
            if (margin < 1.0) {
                ASSERT_EQ(rc, TM_OK) << user[k] << " " << user[k + 1];
            } else if (rc != TM_OK) {
                EXPECT_TRUE(rc == TM_ERR_NO_CONVERGE || rc == TM_ERR_OUTSIDE) << rc;
                continue;
            }
            if (margin > 1.0) {
                // Far out a polynomial may fold, and then one user position
                // has several exact inverses: check the forward misfit.
                double x, y;
                ASSERT_EQ(Fitted().Forward(qx, qy, &x, &y), TM_OK);
                EXPECT_LE(std::hypot(x - user[k], y - user[k + 1]), 1e-9 * (1 + std::hypot(x, y)));
                continue;
            }
            const double error = ErrorPx(user[k], user[k + 1], qx, qy);
            ASSERT_GE(error, 0.0);
            worst = std::max(worst, error);
        }
        EXPECT_LE(worst, kPromisePx);
        // Either batch call gives the one-point call's answers, bit for bit.
        for (const bool avx2 : kBatchKinds) {
            if (margin > 1.0) break;
            SCOPED_TRACE(BatchKindName(avx2));
            const PreparedTransform batch = PreparedWithBatch(Fitted(), avx2);
            std::vector<double> out(user.size());
            ASSERT_EQ(batch.Batch(user.data(), out.data(), user.size() / 2), TM_OK);
            for (std::size_t k = 0; k < user.size(); k += 2) {
                double qx, qy;
                ASSERT_EQ(prepared.Apply(user[k], user[k + 1], &qx, &qy), TM_OK);
                ASSERT_EQ(qx, out[k]);
                ASSERT_EQ(qy, out[k + 1]);
            }
        }
    }
}

// The batch converts runs of points in passes and hands a point it cannot
// answer (outside the frame, or in a cell not built yet) to the one-point
// path: whatever the batch's length and wherever the misses fall in a run,
// in place or not, every point gets the one-point call's bits.  Both batch
// kinds of x86 are held to that where the processor has them (the AVX2
// one in fours, the AVX-512 one in eights and fours).
TEST_P(InverseCellsTest, BatchRunsGiveTheOnePointBitsWhereverTheMissesFall) {
    const std::vector<double> inside = UserGrid(0.0, 13), outside = UserGrid(0.3, 13);
    const double tolerancePx = GetParam().type == TM_TRANS_TPS ? 0.0125 : 0.0;  // the spline's checked table
    // count: points in the batch; every `period`-th point (from `phase`) is
    // outside the frame; fresh: a table with no cell built yet.
    struct Case {
        std::size_t count, period, phase;
        bool fresh;
    };
    for (const bool avx2 : kBatchKinds) {
        SCOPED_TRACE(BatchKindName(avx2));
        const PreparedTransform prepared = PreparedWithBatch(Fitted(), avx2, tolerancePx);
        for (const Case c : {Case{1, 0, 0, false}, Case{3, 0, 0, true}, Case{4, 0, 0, false}, Case{5, 4, 1, false},
                             Case{16, 8, 5, false}, Case{24, 0, 0, true}, Case{63, 7, 3, false},
                             Case{64, 64, 63, false}, Case{65, 5, 0, true}, Case{131, 64, 4, false},
                             Case{190, 1, 0, false}}) {
            SCOPED_TRACE(testing::Message() << c.count << " points, every " << c.period << "th from " << c.phase);
            std::vector<double> in;
            for (std::size_t k = 0; k < c.count; ++k) {
                const bool out = c.period != 0 && k % c.period == c.phase;
                const std::vector<double>& from = out ? outside : inside;
                const std::size_t at = 2 * ((7 * k) % (from.size() / 2));
                in.push_back(from[at]), in.push_back(from[at + 1]);
            }
            const PreparedTransform fresh = c.fresh ? PreparedWithBatch(Fitted(), avx2, tolerancePx) : PreparedTransform();
            const PreparedTransform& p = c.fresh ? fresh : prepared;
            std::vector<double> out(in.size()), inPlace = in;
            ASSERT_EQ(p.Batch(in.data(), out.data(), c.count), TM_OK);
            ASSERT_EQ(p.Batch(inPlace.data(), inPlace.data(), c.count), TM_OK);
            for (std::size_t k = 0; k < c.count; ++k) {
                double x, y;
                ASSERT_EQ(p.Apply(in[2 * k], in[2 * k + 1], &x, &y), TM_OK);
                ASSERT_EQ(x, out[2 * k]) << k;
                ASSERT_EQ(y, out[2 * k + 1]) << k;
            }
            EXPECT_EQ(inPlace, out);
        }
    }
}

// The finer table is built cell by cell as conversions reach it: its
// answers must not depend on which conversions came first, on copies taken
// half-way, or on several threads converting at once (each waits for a
// cell another is building).  The spline's table is the checked one of a
// loose tolerance.
TEST_P(InverseCellsTest, CellsBuiltOnDemandGiveTheSameBitsWhateverTheOrder) {
    const double tolerancePx = GetParam().type == TM_TRANS_TPS ? 0.0125 : 0.0;
    const std::vector<double> user = UserGrid(0.1, 60);
    const std::size_t count = user.size() / 2;
    auto convert = [&](const PreparedTransform& p, std::size_t k, double* out) {
        ASSERT_EQ(p.Apply(user[2 * k], user[2 * k + 1], &out[2 * k], &out[2 * k + 1]), TM_OK);
    };
    PreparedTransform forwardOrder, backwardOrder;
    ASSERT_EQ(forwardOrder.Prepare(Fitted(), false, tolerancePx), TM_OK);
    ASSERT_EQ(backwardOrder.Prepare(Fitted(), false, tolerancePx), TM_OK);
    std::vector<double> expected(user.size()), reversed(user.size()), copied(user.size());
    for (std::size_t k = 0; k < count; ++k) convert(forwardOrder, k, expected.data());
    for (std::size_t k = count; k-- > count / 2;) convert(backwardOrder, k, reversed.data());
    const PreparedTransform halfBuilt = backwardOrder;  // the first half of the cells not built yet
    for (std::size_t k = count / 2; k-- > 0;) convert(backwardOrder, k, reversed.data());
    for (std::size_t k = 0; k < count; ++k) convert(halfBuilt, k, copied.data());
    EXPECT_EQ(reversed, expected);
    EXPECT_EQ(copied, expected);

    PreparedTransform shared;
    ASSERT_EQ(shared.Prepare(Fitted(), false, tolerancePx), TM_OK);
    constexpr int kThreads = 4;
    std::vector<std::vector<double>> results(kThreads, std::vector<double>(user.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread its own order, so that they meet in the same cells.
            std::vector<std::size_t> order(count);
            for (std::size_t k = 0; k < count; ++k) order[k] = k;
            std::shuffle(order.begin(), order.end(), std::mt19937_64(t));
            for (std::size_t k : order) {
                double* out = results[t].data();
                if (shared.Apply(user[2 * k], user[2 * k + 1], &out[2 * k], &out[2 * k + 1]) != TM_OK)
                    out[2 * k] = out[2 * k + 1] = -1.0;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], expected) << "thread " << t;
}

// At a control point the spline's second derivatives are unbounded (log r),
// so no step that ends there can be accepted from the curvature near its
// start alone: the conversion falls back to checking the misfit, and still
// lands within the promise.  The user positions are the points' own and
// the fitted ones (which the spline meets exactly), with neighbours a
// hundredth and a millionth of a pixel off.
class SplineInverseTest : public InverseCellsTest {};

TEST_P(SplineInverseTest, PreparedBackwardAtTheControlPoints) {
    PreparedTransform prepared;
    ASSERT_EQ(prepared.Prepare(Fitted(), false), TM_OK);
    double worst = 0.0;
    for (const _CtrlPntStrcT& p : Points) {
        double fx, fy;
        ASSERT_EQ(Fitted().Forward(p.PixelX, p.PixelY, &fx, &fy), TM_OK);
        for (double offsetPx : {0.0, 1e-2, 1e-6}) {
            // Map units per pixel of this raster: about 0.5.
            const double d = 0.5 * offsetPx;
            const std::array<std::array<double, 2>, 2> positions = {{{p.UserX + d, p.UserY}, {fx, fy - d}}};
            for (const std::array<double, 2>& at : positions) {
                double qx, qy;
                ASSERT_EQ(prepared.Apply(at[0], at[1], &qx, &qy), TM_OK);
                const double error = ErrorPx(at[0], at[1], qx, qy);
                ASSERT_GE(error, 0.0);
                worst = std::max(worst, error);
            }
        }
        // The fitted position goes back to the point's own pixel.
        double qx, qy;
        ASSERT_EQ(prepared.Apply(fx, fy, &qx, &qy), TM_OK);
        EXPECT_NEAR(qx, p.PixelX, kPromisePx);
        EXPECT_NEAR(qy, p.PixelY, kPromisePx);
    }
    EXPECT_LE(worst, kPromisePx);
}

// The table covers the points' extent, not the square they are normalised
// to: points in a strip a tenth of the raster high (a long scan line) get
// cells along the strip, and conversions across the strip come from them
// within the promise, for both orders.
TEST(InverseCellsExtent, StripOfPointsIsCoveredByVerifiedCells) {
    for (const TrueMap& map : CurvedMaps()) {
        if (std::string(map.name).rfind("mild", 0) != 0) continue;
        SCOPED_TRACE(map.name);
        std::vector<_CtrlPntStrcT> strip;
        for (const _CtrlPntStrcT& p : GridPoints(map, 24, 16)) {
            _CtrlPntStrcT q = p;
            q.PixelY = 0.1 * p.PixelY;  // rows 0 .. kRows / 10
            map.apply(q.PixelX, q.PixelY, &q.UserX, &q.UserY);
            strip.push_back(q);
        }
        tiemark::FitCache fit;
        ASSERT_EQ(fit.Ensure(strip, map.type, TM_ORIENT_LINE_DOWN), TM_OK);
        const Model& model = fit.Current();
        InverseCells cells;
        cells.Build(model, true);
        ASSERT_FALSE(cells.Empty());
        std::size_t hits = 0, total = 0;
        double worst = 0.0;
        for (int j = 0; j <= 40; ++j)
            for (int i = 0; i <= 200; ++i, ++total) {
                const double px = kColumns * i / 200.0, py = 0.1 * kRows * j / 40.0;
                double x, y, qx, qy, ex, ey;
                ASSERT_EQ(model.Forward(px, py, &x, &y), TM_OK);
                if (!cells.Lookup(model, x, y, &qx, &qy)) continue;
                ++hits;
                ASSERT_EQ(model.Backward(x, y, &ex, &ey), TM_OK);
                worst = std::max(worst, std::hypot(qx - ex, qy - ey));
            }
        EXPECT_LE(worst, kPromisePx);
        EXPECT_GT(hits, total * 9 / 10) << cells.VerifiedCells() << " cells verified";
        // A square frame would spend n x n cells; the strip needs a fraction.
        const int n = cells.CellsPerSide();
        EXPECT_LT(cells.VerifiedCells(), n * n / 3) << n << " cells along the strip";
    }
}

std::string MapName(const ::testing::TestParamInfo<TrueMap>& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (c == ' ') c = '_';
    return name;
}

std::vector<TrueMap> SplineMaps() {
    std::vector<TrueMap> maps;
    for (const TrueMap& m : CurvedMaps())
        if (m.type == TM_TRANS_TPS) maps.push_back(m);
    return maps;
}

INSTANTIATE_TEST_SUITE_P(Maps, InverseCellsTest, ::testing::ValuesIn(CurvedMaps()), MapName);
INSTANTIATE_TEST_SUITE_P(Maps, SplineInverseTest, ::testing::ValuesIn(SplineMaps()), MapName);

}  // namespace
