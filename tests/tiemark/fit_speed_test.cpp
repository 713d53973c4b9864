// fit_speed_test - fits of many points, where the normalised design is
// absorbed block by block with Householder reflections, must give the fit
// that the point-by-point Givens updates give, the least-squares answer on
// noisy data, and the same refusals of degenerate configurations; also when
// blocks and single appended points alternate.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <vector>

#include "CtrlPntSet.h"
#include "TrueMaps.h"

namespace {

std::vector<TrueMap> LeastSquaresMaps() {
    std::vector<TrueMap> maps;
    for (const TrueMap& m : AllTrueMaps())
        if (m.type != TM_TRANS_TPS) maps.push_back(m);
    return maps;
}

// n points at random positions over the raster, every fifth one a check
// point (not used), with Gaussian noise of the given size on the user side.
std::vector<_CtrlPntStrcT> RandomPoints(const TrueMap& map, std::size_t n, double noise, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> col(0.0, kColumns), row(0.0, kRows);
    std::normal_distribution<double> err(0.0, noise > 0 ? noise : 1.0);
    std::vector<_CtrlPntStrcT> pts;
    for (std::size_t i = 0; i < n; ++i) {
        double px = col(rng), py = row(rng), x, y;
        map.apply(px, py, &x, &y);
        if (noise > 0) x += err(rng), y += err(rng);
        _CtrlPntStrcT p = TmMakePoint(px, py, x, y);
        p.UseFlag = i % 5 == 3 ? 0 : 1;
        pts.push_back(p);
    }
    return pts;
}

// Largest difference between two sets' forward conversions over the raster.
double LargestDifference(CCtrlPntSet& a, CCtrlPntSet& b) {
    double worst = 0.0;
    for (double px = 0; px <= kColumns; px += 2400)
        for (double py = 0; py <= kRows; py += 1800) {
            double p[2], q[2];
            EXPECT_EQ(a.GetCoordinateA(&p[0], &p[1], px, py, true), TM_OK);
            EXPECT_EQ(b.GetCoordinateA(&q[0], &q[1], px, py, true), TM_OK);
            worst = std::max({worst, std::fabs(p[0] - q[0]), std::fabs(p[1] - q[1])});
        }
    return worst;
}

TEST(TiemarkFitBlocks, BlockFitsEqualPointByPointFitsAcrossBlockBoundaries) {
    // Sizes around the block of 256 design rows (the similarity and the
    // projective take two rows a point), with check points among them.
    for (const TrueMap& map : LeastSquaresMaps()) {
        for (std::size_t n : {20u, 255u, 256u, 257u, 321u, 641u, 1500u}) {
            SCOPED_TRACE(std::string(map.name) + " n=" + std::to_string(n));
            std::vector<_CtrlPntStrcT> pts = RandomPoints(map, n, 0.0, 5 + static_cast<unsigned>(n));
            // Growing: the first fit is made from the first 40 points, every
            // later point is absorbed on its own with a read after it.
            CCtrlPntSet growing, fresh;
            ASSERT_EQ(growing.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
            ASSERT_EQ(fresh.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
            for (std::size_t i = 0; i < n; ++i) {
                _CtrlPntStrcT p = pts[i];
                ASSERT_EQ(growing.AddOneGcp(i + 1, &p), TM_OK);
                if (i + 1 >= 40) {
                    double x, y;
                    ASSERT_EQ(growing.GetCoordinateA(&x, &y, 100.0, 200.0, true), TM_OK);
                }
            }
            AddAll(fresh, pts);
            // Exact data: both recover the true map, so they agree to the
            // rounding of coordinates of 5e6 m.
            EXPECT_LT(LargestDifference(growing, fresh), 1e-6);
            double x, y, tx, ty;
            ASSERT_EQ(fresh.GetCoordinateA(&x, &y, 1234.0, 5678.0, true), TM_OK);
            map.apply(1234.0, 5678.0, &tx, &ty);
            const double scale = map.type == TM_TRANS_SIMILARITY ? 1e-9 : 1e-6;
            EXPECT_NEAR(x, tx, scale);
            EXPECT_NEAR(y, ty, scale);
        }
    }
}

TEST(TiemarkFitBlocks, ManyNoisyPointsGiveTheLeastSquaresAnswer) {
    // An independent solve: complete orthogonal decomposition of the design
    // in pixel coordinates centred on the raster, with monomials in units of
    // 1000 px, on all used points at once.
    for (const TrueMap& map : AllTrueMaps()) {
        const int order = map.type == TM_TRANS_POLY1 ? 1 : map.type == TM_TRANS_POLY2 ? 2
                        : map.type == TM_TRANS_POLY3 ? 3 : 0;
        if (order == 0) continue;
        SCOPED_TRACE(map.name);
        std::vector<_CtrlPntStrcT> pts = RandomPoints(map, 5000, 0.7, 77);
        std::vector<const _CtrlPntStrcT*> used;
        for (const auto& p : pts)
            if (p.UseFlag) used.push_back(&p);
        const int m = (order + 1) * (order + 2) / 2;
        Eigen::MatrixXd a(static_cast<Eigen::Index>(used.size()), m);
        Eigen::MatrixX2d b(static_cast<Eigen::Index>(used.size()), 2);
        const double x0 = 651000.0, y0 = 5200000.0;
        auto monomials = [&](double px, double py, double* row) {
            double u = (px - kColumns / 2) / 1000.0, v = (py - kRows / 2) / 1000.0;
            int k = 0;
            for (int d = 0; d <= order; ++d)
                for (int j = 0; j <= d; ++j) row[k++] = std::pow(u, d - j) * std::pow(v, j);
        };
        for (Eigen::Index i = 0; i < a.rows(); ++i) {
            double row[10];
            monomials(used[i]->PixelX, used[i]->PixelY, row);
            for (int k = 0; k < m; ++k) a(i, k) = row[k];
            b(i, 0) = used[i]->UserX - x0;
            b(i, 1) = used[i]->UserY - y0;
        }
        Eigen::MatrixX2d coef = a.completeOrthogonalDecomposition().solve(b);

        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        AddAll(set, pts);
        for (double px = 0; px <= kColumns; px += 3000)
            for (double py = 0; py <= kRows; py += 3000) {
                double row[10], x, y;
                monomials(px, py, row);
                Eigen::Map<Eigen::RowVectorXd> r(row, m);
                ASSERT_EQ(set.GetCoordinateA(&x, &y, px, py, true), TM_OK);
                EXPECT_NEAR(x, x0 + r.dot(coef.col(0)), 1e-6);
                EXPECT_NEAR(y, y0 + r.dot(coef.col(1)), 1e-6);
            }
        // The RMS error of the used points is that of the least-squares residual.
        Eigen::MatrixX2d res = a * coef - b;
        double userRms, pixelRms;
        ASSERT_EQ(set.GetRMSError(&userRms, &pixelRms), TM_OK);
        EXPECT_NEAR(userRms, std::sqrt(res.squaredNorm() / static_cast<double>(a.rows())), 1e-9);
    }
}

TEST(TiemarkFitBlocks, BlockAndPointUpdatesInterleaveWithRefits) {
    // A refit from scratch (after a deletion) produces the factor in blocks;
    // points appended afterwards are rotated into it one by one.  Repeated,
    // the result must stay the fit of the current points.
    for (const TrueMap& map : LeastSquaresMaps()) {
        SCOPED_TRACE(map.name);
        std::vector<_CtrlPntStrcT> pts = RandomPoints(map, 2400, 0.4, 91);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        std::vector<_CtrlPntStrcT> first(pts.begin(), pts.begin() + 600);
        AddAll(set, first);
        unsigned long count = 600;
        for (std::size_t next = 600; next < pts.size(); next += 300) {
            double x, y;
            ASSERT_EQ(set.DeleteOneGCP(1), TM_OK);  // dirty: the next read refits
            --count;
            ASSERT_EQ(set.GetCoordinateA(&x, &y, 10.0, 20.0, true), TM_OK);
            for (std::size_t i = next; i < next + 300; ++i) {
                _CtrlPntStrcT p = pts[i];
                ASSERT_EQ(set.AddOneGcp(++count, &p), TM_OK);
                if (i % 7 == 0) {
                    ASSERT_EQ(set.GetCoordinateA(&x, &y, 10.0, 20.0, true), TM_OK);
                }
            }
        }
        CCtrlPntSet fresh;
        ASSERT_EQ(fresh.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        for (unsigned long i = 1; i <= count; ++i) {
            _CtrlPntStrcT p;
            ASSERT_EQ(set.GetOneGCP(i, &p), TM_OK);
            ASSERT_EQ(fresh.AddOneGcp(i, &p), TM_OK);
        }
        // The projective fit minimises an algebraic error in normalised
        // units, which depends slightly on the normalisation kept.
        const double tol = map.type == TM_TRANS_PROJECTIVE ? 1e-4 : 1e-6;
        EXPECT_LT(LargestDifference(set, fresh), tol);
        double rms1[2], rms2[2];
        ASSERT_EQ(set.GetRMSError(&rms1[0], &rms1[1]), TM_OK);
        ASSERT_EQ(fresh.GetRMSError(&rms2[0], &rms2[1]), TM_OK);
        EXPECT_NEAR(rms1[0], rms2[0], 1e-9);
    }
}

TEST(TiemarkFitBlocks, ManyDegeneratePointsAreStillRefused) {
    const double kTypes[] = {TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3};
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> along(0.0, 20000.0), jitter(-5e-4, 5e-4);
    for (double t : kTypes) {
        const short type = static_cast<short>(t);
        SCOPED_TRACE(type);
        // 3000 points on a line but for 1e-3 px of jitter.
        CCtrlPntSet line;
        ASSERT_EQ(line.InitPntSet(TM_ORIENT_LINE_DOWN, type), TM_OK);
        for (unsigned long i = 1; i <= 3000; ++i) {
            double s = along(rng);
            _CtrlPntStrcT p = TmMakePoint(s, 0.5 * s + jitter(rng), 651234.5 + 0.5 * s, 5212345.25 - 0.4 * s);
            ASSERT_EQ(line.AddOneGcp(i, &p), TM_OK);
        }
        double x, y;
        EXPECT_EQ(line.GetCoordinateA(&x, &y, 100.0, 100.0, true), TM_ERR_DEGENERATE);
    }
    // 3000 points on one circle: the quadratic terms are dependent.
    CCtrlPntSet circle;
    ASSERT_EQ(circle.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY2), TM_OK);
    for (unsigned long i = 1; i <= 3000; ++i) {
        double a = 0.0021 * static_cast<double>(i * i % 2999);
        double px = 9000 + 4000 * std::cos(a), py = 8000 + 4000 * std::sin(a);
        _CtrlPntStrcT p = TmMakePoint(px, py, 651234.5 + 0.5 * px, 5212345.25 - 0.5 * py + 1e-4 * px * py);
        ASSERT_EQ(circle.AddOneGcp(i, &p), TM_OK);
    }
    double x, y;
    EXPECT_EQ(circle.GetCoordinateA(&x, &y, 100.0, 100.0, true), TM_ERR_DEGENERATE);
}

}  // namespace
