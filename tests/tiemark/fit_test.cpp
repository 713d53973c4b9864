// Fitting and conversion: exact mappings, least squares, round trips, ranges.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstring>
#include <random>

#include "CtrlPntSet.h"
#include "SetSnapshot.h"
#include "TrueMaps.h"

namespace {

double UserExtent(const std::vector<_CtrlPntStrcT>& pts) {
    double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
    for (const auto& p : pts) {
        lo[0] = std::min(lo[0], p.UserX), hi[0] = std::max(hi[0], p.UserX);
        lo[1] = std::min(lo[1], p.UserY), hi[1] = std::max(hi[1], p.UserY);
    }
    return std::max(hi[0] - lo[0], hi[1] - lo[1]);
}

TEST(TiemarkFit, ExactMappingsAreRecoveredWithZeroResiduals) {
    for (const TrueMap& map : AllTrueMaps()) {
        SCOPED_TRACE(map.name);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        std::vector<_CtrlPntStrcT> pts = GridPoints(map, 6, 5);
        AddAll(set, pts);
        const double tol = 1e-9 * UserExtent(pts);
        // Everywhere on the raster, not only at the points.
        for (double px = 0; px <= kColumns; px += kColumns / 7)
            for (double py = 0; py <= kRows; py += kRows / 5) {
                double x, y, ex, ey;
                ASSERT_EQ(set.GetCoordinateA(&x, &y, px, py, true), TM_OK);
                map.apply(px, py, &ex, &ey);
                EXPECT_NEAR(x, ex, tol);
                EXPECT_NEAR(y, ey, tol);
            }
        double userRms = -1, pixelRms = -1;
        ASSERT_EQ(set.GetRMSError(&userRms, &pixelRms), TM_OK);
        EXPECT_LT(userRms, tol);
        EXPECT_LT(pixelRms, 1e-9 * kColumns);
        double r[4];
        ASSERT_EQ(set.GetResidual(7, &r[0], &r[1], &r[2], &r[3]), TM_OK);
        for (double v : r) EXPECT_LT(std::fabs(v), 1e-9 * kColumns);
    }
}

TEST(TiemarkFit, ThinPlateSplineInterpolatesAndReproducesAffineMaps) {
    const TrueMap affine = AllTrueMaps()[0];
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_TPS), TM_OK);
    std::vector<_CtrlPntStrcT> pts = GridPoints(affine, 5, 4);
    AddAll(set, pts);
    const double tol = 1e-9 * UserExtent(pts);
    for (double px = 0; px <= kColumns; px += kColumns / 9) {
        double x, y, ex, ey;
        ASSERT_EQ(set.GetCoordinateA(&x, &y, px, 0.37 * px, true), TM_OK);
        affine.apply(px, 0.37 * px, &ex, &ey);
        EXPECT_NEAR(x, ex, tol);
        EXPECT_NEAR(y, ey, tol);
    }
    // Non-affine data: the spline passes through every point exactly.
    const TrueMap poly3 = AllTrueMaps()[2];
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_TPS), TM_OK);
    pts = GridPoints(poly3, 5, 4);
    AddAll(set, pts);
    for (unsigned long i = 1; i <= pts.size(); ++i) {
        double r[4];
        ASSERT_EQ(set.GetResidual(i, &r[0], &r[1], &r[2], &r[3]), TM_OK);
        EXPECT_LT(std::hypot(r[0], r[1]), 1e-9 * UserExtent(pts)) << i;
        EXPECT_LT(std::hypot(r[2], r[3]), 1e-6) << i;
    }
}

// Least-squares polynomial fit computed independently: SVD of the design in
// kilopixel units, evaluated at (px, py).
void ReferencePolyFit(const std::vector<_CtrlPntStrcT>& pts, int order, double px, double py, double* x,
                      double* y) {
    auto terms = [order](double u, double v) {
        std::vector<double> t;
        for (int d = 0; d <= order; ++d)
            for (int j = 0; j <= d; ++j) t.push_back(std::pow(u, d - j) * std::pow(v, j));
        return t;
    };
    const int m = (order + 1) * (order + 2) / 2;
    Eigen::MatrixXd a(pts.size(), m);
    Eigen::MatrixXd b(pts.size(), 2);
    for (size_t i = 0; i < pts.size(); ++i) {
        auto t = terms(pts[i].PixelX / 1e4 - 1, pts[i].PixelY / 1e4 - 1);
        for (int k = 0; k < m; ++k) a(i, k) = t[k];
        b(i, 0) = pts[i].UserX - 650000;
        b(i, 1) = pts[i].UserY - 5200000;
    }
    Eigen::MatrixXd c = a.jacobiSvd(Eigen::ComputeThinU | Eigen::ComputeThinV).solve(b);
    auto t = terms(px / 1e4 - 1, py / 1e4 - 1);
    *x = 650000, *y = 5200000;
    for (int k = 0; k < m; ++k) *x += c(k, 0) * t[k], *y += c(k, 1) * t[k];
}

TEST(TiemarkFit, NoisyPolynomialsMatchAnIndependentLeastSquaresSolve) {
    std::mt19937 rng(12345);
    std::normal_distribution<double> noise(0.0, 2.0);  // metres
    for (int order = 1; order <= 3; ++order) {
        SCOPED_TRACE(order);
        std::vector<_CtrlPntStrcT> pts = GridPoints(AllTrueMaps()[order - 1], 7, 6);
        for (auto& p : pts) p.UserX += noise(rng), p.UserY += noise(rng);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, static_cast<short>(order)), TM_OK);
        AddAll(set, pts);
        double sum2 = 0;
        for (double px = 500; px < kColumns; px += 3100)
            for (double py = 700; py < kRows; py += 2900) {
                double x, y, ex, ey;
                ASSERT_EQ(set.GetCoordinateA(&x, &y, px, py, true), TM_OK);
                ReferencePolyFit(pts, order, px, py, &ex, &ey);
                EXPECT_NEAR(x, ex, 1e-6);
                EXPECT_NEAR(y, ey, 1e-6);
            }
        // The user RMS is the root mean square of the reference residuals.
        for (const auto& p : pts) {
            double ex, ey;
            ReferencePolyFit(pts, order, p.PixelX, p.PixelY, &ex, &ey);
            sum2 += (ex - p.UserX) * (ex - p.UserX) + (ey - p.UserY) * (ey - p.UserY);
        }
        double userRms, pixelRms;
        ASSERT_EQ(set.GetRMSError(&userRms, &pixelRms), TM_OK);
        EXPECT_NEAR(userRms, std::sqrt(sum2 / pts.size()), 1e-9);
        EXPECT_GT(userRms, 0.5);
        EXPECT_GT(pixelRms, 0.5);  // roughly 2 m / 0.5 m per pixel
    }
}

TEST(TiemarkFit, NoisySimilarityMatchesTheClosedFormAnswer) {
    // The least-squares similarity has a closed form in centred coordinates.
    // The raster's line axis points down and the map's Y axis up, so the
    // best similarity is the one of the mirrored line axis: v = -(py - mean).
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 1e-5);  // degrees
    const TrueMap sim = AllTrueMaps()[3];
    std::vector<_CtrlPntStrcT> pts = GridPoints(sim, 5, 5);
    for (auto& p : pts) p.UserX += noise(rng), p.UserY += noise(rng);
    double mx = 0, my = 0, mX = 0, mY = 0;
    for (const auto& p : pts) mx += p.PixelX, my += p.PixelY, mX += p.UserX, mY += p.UserY;
    const double n = pts.size();
    mx /= n, my /= n, mX /= n, mY /= n;
    double sxx = 0, sa = 0, sb = 0;
    for (const auto& p : pts) {
        double u = p.PixelX - mx, v = my - p.PixelY, X = p.UserX - mX, Y = p.UserY - mY;
        sxx += u * u + v * v;
        sa += u * X + v * Y;
        sb += u * Y - v * X;
    }
    const double a = sa / sxx, b = sb / sxx;
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_SIMILARITY), TM_OK);
    AddAll(set, pts);
    for (double px : {0.0, 12000.0, 24000.0}) {
        double x, y;
        ASSERT_EQ(set.GetCoordinateA(&x, &y, px, 9000.0, true), TM_OK);
        double u = px - mx, v = my - 9000.0;
        EXPECT_NEAR(x, mX + a * u - b * v, 1e-12);
        EXPECT_NEAR(y, mY + b * u + a * v, 1e-12);
    }
}

TEST(TiemarkFit, SimilarityFollowsTheDataAndTheOrientation) {
    // Three points of a mirrored (line axis down) and of a direct mapping:
    // the data decide.  Two points fit either form exactly: the orientation does.
    auto mirrored = [](double px, double py) { return TmMakePoint(px, py, 1000 + 2 * px, 5000 - 2 * py); };
    auto direct = [](double px, double py) { return TmMakePoint(px, py, 1000 + 2 * px, 5000 + 2 * py); };
    for (short orient : {TM_ORIENT_LINE_DOWN, TM_ORIENT_LINE_UP}) {
        for (bool isMirrored : {true, false}) {
            CCtrlPntSet set;
            ASSERT_EQ(set.InitPntSet(orient, TM_TRANS_SIMILARITY), TM_OK);
            auto make = isMirrored ? +mirrored : +direct;
            AddAll(set, {make(0, 0), make(100, 0), make(0, 100)});
            double x, y;
            ASSERT_EQ(set.GetCoordinateA(&x, &y, 50, 70, true), TM_OK);
            EXPECT_NEAR(x, 1100, 1e-9);
            EXPECT_NEAR(y, isMirrored ? 4860 : 5140, 1e-9);
        }
        CCtrlPntSet two;
        ASSERT_EQ(two.InitPntSet(orient, TM_TRANS_SIMILARITY), TM_OK);
        AddAll(two, {mirrored(0, 0), mirrored(100, 0)});
        double x, y;
        ASSERT_EQ(two.GetCoordinateA(&x, &y, 0, 100, true), TM_OK);
        EXPECT_NEAR(x, 1000, 1e-9);
        EXPECT_NEAR(y, orient == TM_ORIENT_LINE_DOWN ? 4800 : 5200, 1e-9);
        // Switching the orientation switches the two-point answer.
        ASSERT_EQ(two.SetOrientType(orient == TM_ORIENT_LINE_DOWN ? TM_ORIENT_LINE_UP : TM_ORIENT_LINE_DOWN), TM_OK);
        ASSERT_EQ(two.GetCoordinateA(&x, &y, 0, 100, true), TM_OK);
        EXPECT_NEAR(y, orient == TM_ORIENT_LINE_DOWN ? 5200 : 4800, 1e-9);
    }
}

TEST(TiemarkFit, ForwardThenBackwardReturnsThePixel) {
    std::vector<TrueMap> maps = AllTrueMaps();
    maps.push_back({TM_TRANS_TPS, "tps", maps[2].apply});
    for (const TrueMap& map : maps) {
        SCOPED_TRACE(map.name);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        std::vector<_CtrlPntStrcT> pts = GridPoints(map, 6, 5);
        std::mt19937 rng(3);
        std::normal_distribution<double> noise(0.0, 1.5);
        for (auto& p : pts) p.UserX += noise(rng), p.UserY += noise(rng);
        AddAll(set, pts);
        ASSERT_EQ(set.BeginTransform(false), TM_OK);
        for (double px = 0; px <= kColumns; px += kColumns / 11)
            for (double py = 0; py <= kRows; py += kRows / 9) {
                double x, y, bx, by;
                ASSERT_EQ(set.GetCoordinateA(&x, &y, px, py, true), TM_OK);
                ASSERT_EQ(set.GetCoordinateA(&bx, &by, x, y, false), TM_OK);
                EXPECT_NEAR(bx, px, 1e-6);
                EXPECT_NEAR(by, py, 1e-6);
                ASSERT_EQ(set.PointTransform(&bx, &by, x, y), TM_OK);
                EXPECT_NEAR(bx, px, 1e-6);
                EXPECT_NEAR(by, py, 1e-6);
            }
        set.EndTransform();
    }
}

TEST(TiemarkFit, DegenerateConfigurationsRefuseEveryConversion) {
    const TrueMap affine = AllTrueMaps()[0];
    auto point = [&](double px, double py) {
        double x, y;
        affine.apply(px, py, &x, &y);
        return TmMakePoint(px, py, x, y);
    };
    struct Case {
        const char* name;
        short type;
        std::vector<_CtrlPntStrcT> pts;
        long expected;
    };
    std::vector<Case> cases;
    cases.push_back({"two points", TM_TRANS_POLY1, {point(0, 0), point(100, 50)}, TM_ERR_TOO_FEW});
    cases.push_back({"collinear", TM_TRANS_POLY1, {point(0, 0), point(100, 50), point(300, 150), point(400, 200)},
                     TM_ERR_DEGENERATE});
    cases.push_back({"collinear but for 1e-3 px", TM_TRANS_POLY1,
                     {point(0, 0), point(100, 50.001), point(300, 149.999), point(400, 200)}, TM_ERR_DEGENERATE});
    cases.push_back({"repeated", TM_TRANS_POLY1, {point(10, 20), point(10, 20), point(10, 20)}, TM_ERR_DEGENERATE});
    std::vector<_CtrlPntStrcT> conic;
    for (int k = 0; k < 8; ++k) conic.push_back(point(5000 + 3000 * std::cos(k * 0.7), 4000 + 2000 * std::sin(k * 0.7)));
    cases.push_back({"poly2 on one conic", TM_TRANS_POLY2, conic, TM_ERR_DEGENERATE});
    cases.push_back({"poly3 with 9 points", TM_TRANS_POLY3, std::vector<_CtrlPntStrcT>(conic.begin(), conic.begin() + 8),
                     TM_ERR_TOO_FEW});
    cases.push_back({"projective, three collinear of four", TM_TRANS_PROJECTIVE,
                     {point(0, 0), point(100, 0), point(200, 0), point(50, 80)}, TM_ERR_DEGENERATE});
    cases.push_back({"similarity, one place", TM_TRANS_SIMILARITY, {point(7, 7), point(7, 7)}, TM_ERR_DEGENERATE});
    cases.push_back({"spline, collinear", TM_TRANS_TPS, {point(0, 0), point(10, 10), point(20, 20), point(30, 30)},
                     TM_ERR_DEGENERATE});
    cases.push_back({"spline, same pixel twice", TM_TRANS_TPS,
                     {point(0, 0), point(100, 0), point(0, 100), point(100, 0)}, TM_ERR_DEGENERATE});
    // User positions on one line: the map cannot be inverted.
    std::vector<_CtrlPntStrcT> flat = {point(0, 0), point(1000, 0), point(0, 800), point(900, 700)};
    for (auto& p : flat) p.UserY = 5e6 + 0.25 * p.UserX;
    cases.push_back({"user side collinear", TM_TRANS_POLY1, flat, TM_ERR_DEGENERATE});
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, c.type), TM_OK);
        AddAll(set, c.pts);
        ASSERT_EQ(set.SetUserCoordRange(1, 2, 3, 4), TM_OK);
        const SetSnapshot before = SetSnapshot::Of(set);
        double a = 0, b = 0, r[4];
        EXPECT_EQ(set.GetCoordinateA(&a, &b, 10, 10, true), c.expected);
        EXPECT_EQ(set.GetCoordinateA(&a, &b, 651000, 5212000, false), c.expected);
        EXPECT_EQ(set.BeginTransform(true), c.expected);
        EXPECT_EQ(set.PointTransform(&a, &b, 1, 1), TM_ERR_STATE);
        EXPECT_EQ(set.GetResidual(1, &r[0], &r[1], &r[2], &r[3]), c.expected);
        EXPECT_EQ(set.GetRMSError(&r[0], &r[1]), c.expected);
        if (c.expected == TM_ERR_DEGENERATE) {
            EXPECT_EQ(set.ComputeUserCoordRange(1000, 1000), TM_ERR_DEGENERATE);
        } else {
            // Too few points: the range is the bounding box of the points.
            ASSERT_EQ(set.ComputeUserCoordRange(1000, 1000), TM_OK);
            double box[4], lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
            for (const auto& p : c.pts) {
                lo[0] = std::min(lo[0], p.UserX), lo[1] = std::min(lo[1], p.UserY);
                hi[0] = std::max(hi[0], p.UserX), hi[1] = std::max(hi[1], p.UserY);
            }
            set.GetUserCoordRange(&box[0], &box[1], &box[2], &box[3]);
            EXPECT_EQ(box[0], lo[0]);
            EXPECT_EQ(box[1], lo[1]);
            EXPECT_EQ(box[2], hi[0]);
            EXPECT_EQ(box[3], hi[1]);
            ASSERT_EQ(set.SetUserCoordRange(1, 2, 3, 4), TM_OK);
        }
        EXPECT_TRUE(SetSnapshot::Of(set) == before);
        EXPECT_EQ(a, 0.0);
        EXPECT_EQ(b, 0.0);
    }
}

TEST(TiemarkFit, UseFlagsAndTypeChangesRefit) {
    const TrueMap affine = AllTrueMaps()[0];
    std::vector<_CtrlPntStrcT> pts = GridPoints(affine, 3, 3);
    pts[4].UserX += 500;  // one bad point
    CCtrlPntSet set;
    AddAll(set, pts);
    double x, y, ex, ey;
    affine.apply(1000, 2000, &ex, &ey);
    ASSERT_EQ(set.GetCoordinateA(&x, &y, 1000, 2000, true), TM_OK);
    EXPECT_GT(std::fabs(x - ex), 1.0);
    // Switching the bad point off makes it a check point: exact fit, residual 500 m.
    ASSERT_EQ(set.SetOneGcpUseOnOff(5, false), TM_OK);
    ASSERT_EQ(set.GetCoordinateA(&x, &y, 1000, 2000, true), TM_OK);
    EXPECT_NEAR(x, ex, 1e-6);
    double r[4];
    ASSERT_EQ(set.GetResidual(5, &r[0], &r[1], &r[2], &r[3]), TM_OK);
    EXPECT_NEAR(r[0], -500.0, 1e-6);
    // Back on: the fit moves again; switching type to poly2 keeps the points.
    ASSERT_EQ(set.SetOneGcpUseOnOff(5, true), TM_OK);
    ASSERT_EQ(set.GetCoordinateA(&x, &y, 1000, 2000, true), TM_OK);
    EXPECT_GT(std::fabs(x - ex), 1.0);
    ASSERT_EQ(set.SetTransType(TM_TRANS_POLY3), TM_OK);
    EXPECT_EQ(set.GetCoordinateA(&x, &y, 1000, 2000, true), TM_ERR_TOO_FEW);
    ASSERT_EQ(set.SetTransType(TM_TRANS_POLY2), TM_OK);
    EXPECT_EQ(set.GetCoordinateA(&x, &y, 1000, 2000, true), TM_OK);
}

TEST(TiemarkFit, PointByPointBuildAgreesWithAFitFromScratch) {
    // Incremental updates (points appended, some far outside the first
    // points' extent) must give the fit of the whole set.
    std::vector<TrueMap> maps = AllTrueMaps();
    maps.push_back({TM_TRANS_TPS, "tps", maps[2].apply});
    for (const TrueMap& map : maps) {
        SCOPED_TRACE(map.name);
        std::vector<_CtrlPntStrcT> pts = GridPoints(map, 20, 15);
        std::mt19937 rng(11);
        std::normal_distribution<double> noise(0.0, 0.8);
        for (auto& p : pts) p.UserX += noise(rng), p.UserY += noise(rng);
        CCtrlPntSet growing;
        ASSERT_EQ(growing.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        for (size_t i = 0; i < pts.size(); ++i) {
            _CtrlPntStrcT p = pts[i];
            ASSERT_EQ(growing.AddOneGcp(i + 1, &p), TM_OK);
            // Early on, a few close points may give a degenerate fit, or a
            // projective whose horizon crosses the raster.
            long rc = growing.ComputeUserCoordRange(24000, 18000);
            ASSERT_TRUE(rc == TM_OK || rc == TM_ERR_DEGENERATE || rc == TM_ERR_OUTSIDE) << rc;
        }
        // A fresh set fed the same records fits from scratch.  The projective
        // fit minimises the algebraic error in normalised units, which depends
        // slightly on the normalisation the incremental path kept: allow 0.1 mm.
        const double tol = map.type == TM_TRANS_PROJECTIVE ? 1e-4 : 1e-6;
        CCtrlPntSet fresh;
        ASSERT_EQ(fresh.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        AddAll(fresh, pts);
        for (double px = 0; px <= kColumns; px += 4000) {
            double a[2], b[2];
            ASSERT_EQ(growing.GetCoordinateA(&a[0], &a[1], px, 0.6 * px, true), TM_OK);
            ASSERT_EQ(fresh.GetCoordinateA(&b[0], &b[1], px, 0.6 * px, true), TM_OK);
            EXPECT_NEAR(a[0], b[0], tol);
            EXPECT_NEAR(a[1], b[1], tol);
        }
        double r1[4], r2[4];
        ASSERT_EQ(growing.GetUserCoordRange(&r1[0], &r1[1], &r1[2], &r1[3]), TM_OK);
        ASSERT_EQ(fresh.ComputeUserCoordRange(24000, 18000), TM_OK);
        ASSERT_EQ(fresh.GetUserCoordRange(&r2[0], &r2[1], &r2[2], &r2[3]), TM_OK);
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(r1[k], r2[k], tol);
    }
}

// A fresh set holding the same points: its fit is made from scratch.
void ExpectSameAsFreshFit(CCtrlPntSet& set) {
    CCtrlPntSet fresh;
    short type;
    set.GetTransType(&type);
    ASSERT_EQ(fresh.InitPntSet(TM_ORIENT_LINE_DOWN, type), TM_OK);
    unsigned long n = 0;
    set.GetGCPNum(&n);
    for (unsigned long i = 1; i <= n; ++i) {
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(i, &p), TM_OK);
        ASSERT_EQ(fresh.AddOneGcp(i, &p), TM_OK);
    }
    for (double px = 0; px <= kColumns; px += 3000) {
        double a[2], b[2];
        ASSERT_EQ(set.GetCoordinateA(&a[0], &a[1], px, 0.7 * px, true), TM_OK);
        ASSERT_EQ(fresh.GetCoordinateA(&b[0], &b[1], px, 0.7 * px, true), TM_OK);
        EXPECT_NEAR(a[0], b[0], 1e-6);
        EXPECT_NEAR(a[1], b[1], 1e-6);
    }
}

TEST(TiemarkFit, CopiesThatGoOnSeparatelyKeepTheirOwnSplines) {
    // Copies share the spline's factorised system; each must go on with its
    // own points.
    const TrueMap map = AllTrueMaps()[2];
    std::vector<_CtrlPntStrcT> pts = GridPoints(map, 10, 8);
    CCtrlPntSet a;
    ASSERT_EQ(a.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_TPS), TM_OK);
    AddAll(a, std::vector<_CtrlPntStrcT>(pts.begin(), pts.begin() + 40));
    ASSERT_EQ(a.ComputeUserCoordRange(24000, 18000), TM_OK);
    CCtrlPntSet b;
    ASSERT_EQ(b.CopyPntSet(&a), TM_OK);
    for (size_t i = 40; i < 60; ++i) {
        ASSERT_EQ(a.AddOneGcp(i + 1, &pts[i]), TM_OK);
        ASSERT_EQ(a.ComputeUserCoordRange(24000, 18000), TM_OK);
        ASSERT_EQ(b.AddOneGcp(i + 1, &pts[i + 20]), TM_OK);
        ASSERT_EQ(b.ComputeUserCoordRange(24000, 18000), TM_OK);
    }
    ExpectSameAsFreshFit(a);
    ExpectSameAsFreshFit(b);
    // A repeated pixel position appended to a fitted spline makes it degenerate.
    _CtrlPntStrcT again = pts[5];
    again.UserX += 3.0;
    ASSERT_EQ(a.AddOneGcp(1, &again), TM_OK);
    EXPECT_EQ(a.ComputeUserCoordRange(24000, 18000), TM_ERR_DEGENERATE);
    double x, y;
    EXPECT_EQ(a.GetCoordinateA(&x, &y, 100, 100, true), TM_ERR_DEGENERATE);
}

TEST(TiemarkFit, RangeIsTheMappedRasterFrame) {
    const TrueMap affine = AllTrueMaps()[0];
    CCtrlPntSet set;
    AddAll(set, GridPoints(affine, 3, 3));
    ASSERT_EQ(set.ComputeUserCoordRange(2000, 1500), TM_OK);
    double r[4];
    ASSERT_EQ(set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]), TM_OK);
    double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
    for (double px : {0.0, 2000.0})
        for (double py : {0.0, 1500.0}) {
            double x, y;
            affine.apply(px, py, &x, &y);
            lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
            lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
        }
    EXPECT_NEAR(r[0], lo[0], 1e-6);  // minX
    EXPECT_NEAR(r[1], lo[1], 1e-6);  // minY
    EXPECT_NEAR(r[2], hi[0], 1e-6);  // maxX
    EXPECT_NEAR(r[3], hi[1], 1e-6);  // maxY

    // Orientation 1: lines are negated and the frame runs to -rows.
    CCtrlPntSet up;
    ASSERT_EQ(up.InitPntSet(TM_ORIENT_LINE_UP, TM_TRANS_POLY1), TM_OK);
    std::vector<_CtrlPntStrcT> pts = GridPoints(affine, 3, 3);
    for (auto& p : pts) p.PixelY = -p.PixelY;
    AddAll(up, pts);
    ASSERT_EQ(up.ComputeUserCoordRange(2000, 1500), TM_OK);
    double u[4];
    ASSERT_EQ(up.GetUserCoordRange(&u[0], &u[1], &u[2], &u[3]), TM_OK);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(u[k], r[k], 1e-6) << k;

    // Non-positive raster size: the bounding box of the used points.
    ASSERT_EQ(set.SetOneGcpUseOnOff(1, false), TM_OK);
    ASSERT_EQ(set.ComputeUserCoordRange(0, 1500), TM_OK);
    ASSERT_EQ(set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]), TM_OK);
    double bx[4] = {1e300, 1e300, -1e300, -1e300};
    for (unsigned long i = 2; i <= 9; ++i) {
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(i, &p), TM_OK);
        bx[0] = std::min(bx[0], p.UserX), bx[1] = std::min(bx[1], p.UserY);
        bx[2] = std::max(bx[2], p.UserX), bx[3] = std::max(bx[3], p.UserY);
    }
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r[k], bx[k]) << k;
}

TEST(TiemarkFit, CurvedRangesCoverEveryEdgeSample) {
    for (int t : {1, 2, 4}) {  // poly2, poly3, projective
        const TrueMap map = AllTrueMaps()[t];
        SCOPED_TRACE(map.name);
        std::vector<TrueMap> strong = {map};
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        AddAll(set, GridPoints(map, 5, 5));
        ASSERT_EQ(set.ComputeUserCoordRange(static_cast<long>(kColumns), static_cast<long>(kRows)), TM_OK);
        double r[4];
        set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]);
        double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
        for (int k = 0; k <= 4000; ++k) {
            double t01 = k / 4000.0;
            double edge[4][2] = {{t01 * kColumns, 0}, {kColumns, t01 * kRows}, {t01 * kColumns, kRows}, {0, t01 * kRows}};
            for (auto& e : edge) {
                double x, y;
                map.apply(e[0], e[1], &x, &y);
                lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
                lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
            }
        }
        EXPECT_NEAR(r[0], lo[0], 1e-3);
        EXPECT_NEAR(r[1], lo[1], 1e-3);
        EXPECT_NEAR(r[2], hi[0], 1e-3);
        EXPECT_NEAR(r[3], hi[1], 1e-3);
    }
}

TEST(TiemarkFit, ProjectiveRangeRefusesAFrameAcrossTheHorizon) {
    const TrueMap proj = AllTrueMaps()[4];
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_PROJECTIVE), TM_OK);
    AddAll(set, GridPoints(proj, 3, 3));
    ASSERT_EQ(set.ComputeUserCoordRange(24000, 18000), TM_OK);
    double before[4], after[4];
    set.GetUserCoordRange(&before[0], &before[1], &before[2], &before[3]);
    // w = 1 + 4e-6 px - 3e-6 py vanishes at py = 333333 for px = 0.
    EXPECT_EQ(set.ComputeUserCoordRange(24000, 400000), TM_ERR_OUTSIDE);
    set.GetUserCoordRange(&after[0], &after[1], &after[2], &after[3]);
    EXPECT_EQ(std::memcmp(before, after, sizeof(before)), 0);
    double x, y;
    EXPECT_EQ(set.GetCoordinateA(&x, &y, 0, 350000, true), TM_ERR_OUTSIDE);
}

TEST(TiemarkFit, PreparedTransformMatchesDirectConversion) {
    for (const TrueMap& map : AllTrueMaps()) {
        SCOPED_TRACE(map.name);
        CCtrlPntSet set;
        ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
        std::vector<_CtrlPntStrcT> pts = GridPoints(map, 5, 4);
        AddAll(set, pts);
        double x, y;
        EXPECT_EQ(set.PointTransform(&x, &y, 1, 2), TM_ERR_STATE);
        ASSERT_EQ(set.BeginTransform(true), TM_OK);
        EXPECT_EQ(set.BeginTransform(false), TM_ERR_STATE);
        std::vector<double> in, out, prepared;
        for (double px = 0; px <= kColumns; px += 2400) in.push_back(px), in.push_back(kRows - 0.7 * px);
        out.resize(in.size());
        for (size_t i = 0; i < in.size(); i += 2) {
            double ex, ey;
            ASSERT_EQ(set.GetCoordinateA(&ex, &ey, in[i], in[i + 1], true), TM_OK);
            ASSERT_EQ(set.PointTransform(&x, &y, in[i], in[i + 1]), TM_OK);
            EXPECT_NEAR(x, ex, 1e-9 * std::fabs(ex));
            EXPECT_NEAR(y, ey, 1e-9 * std::fabs(ey));
            out[i] = ex, out[i + 1] = ey;
            prepared.push_back(x);
        }
        // In place, as the header allows.
        std::vector<double> inplace = in;
        ASSERT_EQ(set.BatchTransform(inplace.data(), inplace.data(), in.size() / 2), TM_OK);
        for (size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(inplace[i], out[i], 1e-9 * std::fabs(out[i]));
        // A non-finite input: refused; in place, the input is left as it was.
        std::vector<double> bad = in;
        bad[3] = std::nan("");
        std::vector<double> dst(in.size());
        EXPECT_EQ(set.BatchTransform(bad.data(), dst.data(), in.size() / 2), TM_ERR_NOT_FINITE);
        EXPECT_EQ(set.BatchTransform(bad.data(), bad.data(), in.size() / 2), TM_ERR_NOT_FINITE);
        EXPECT_EQ(bad[0], in[0]);
        EXPECT_TRUE(std::isnan(bad[3]));
        EXPECT_EQ(set.PointTransform(&x, &y, std::nan(""), 0), TM_ERR_NOT_FINITE);
        EXPECT_EQ(set.PointTransform(nullptr, &y, 0, 0), TM_ERR_ARGUMENT);
        // The prepared state is a snapshot: edits do not change it.
        ASSERT_EQ(set.DeleteOneGCP(1), TM_OK);
        ASSERT_EQ(set.PointTransform(&x, &y, in[0], in[1]), TM_OK);
        EXPECT_EQ(x, prepared[0]);
        set.EndTransform();
        EXPECT_EQ(set.PointTransform(&x, &y, 1, 2), TM_ERR_STATE);
        EXPECT_EQ(set.BatchTransform(in.data(), out.data(), 1), TM_ERR_STATE);
    }
}

// PointTransform is called from the caller's code through what the set's
// last BeginTransform chose: before any point, after a refused or ended
// preparation and across copies and resets it must refuse, never call
// through a stale choice.
TEST(TiemarkFit, PointTransformRefusesUntilPreparedWhateverHappenedBefore) {
    double x = 7.0, y = 7.0;
    CCtrlPntSet untouched;
    EXPECT_EQ(untouched.PointTransform(&x, &y, 1, 2), TM_ERR_STATE);
    EXPECT_EQ(untouched.PointTransform(nullptr, nullptr, 1, 2), TM_ERR_STATE);
    EXPECT_EQ(untouched.BeginTransform(true), TM_ERR_TOO_FEW);
    EXPECT_EQ(untouched.PointTransform(&x, &y, 1, 2), TM_ERR_STATE);
    EXPECT_EQ(x, 7.0);

    const TrueMap map = AllTrueMaps()[2];
    CCtrlPntSet source, set;
    ASSERT_EQ(source.InitPntSet(TM_ORIENT_LINE_DOWN, map.type), TM_OK);
    AddAll(source, GridPoints(map, 5, 4));
    ASSERT_EQ(set.CopyPntSet(&source), TM_OK);
    ASSERT_EQ(set.BeginTransform(false), TM_OK);
    double expectX, expectY;
    ASSERT_EQ(set.GetCoordinateA(&expectX, &expectY, 651000, 5212000, false), TM_OK);
    ASSERT_EQ(set.PointTransform(&x, &y, 651000, 5212000), TM_OK);
    EXPECT_NEAR(x, expectX, 1e-6);  // the backward cells' promise
    EXPECT_NEAR(y, expectY, 1e-6);
    // A copy into the prepared set keeps the snapshot, as every edit does.
    const double preparedX = x, preparedY = y;
    ASSERT_EQ(set.CopyPntSet(&untouched), TM_OK);
    ASSERT_EQ(set.PointTransform(&x, &y, 651000, 5212000), TM_OK);
    EXPECT_EQ(x, preparedX);
    EXPECT_EQ(y, preparedY);
    set.EndTransform();
    EXPECT_EQ(set.PointTransform(&x, &y, 651000, 5212000), TM_ERR_STATE);
    EXPECT_EQ(set.BeginTransform(true), TM_ERR_TOO_FEW);
    EXPECT_EQ(set.PointTransform(&x, &y, 10, 10), TM_ERR_STATE);
}

TEST(TiemarkFit, CopyCarriesTheFit) {
    const TrueMap map = AllTrueMaps()[2];
    std::vector<_CtrlPntStrcT> pts = GridPoints(map, 12, 10);
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (auto& p : pts) p.UserX += noise(rng);
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY3), TM_OK);
    for (size_t i = 0; i < pts.size(); ++i) {  // incremental fit
        ASSERT_EQ(set.AddOneGcp(i + 1, &pts[i]), TM_OK);
        set.ComputeUserCoordRange(24000, 18000);
    }
    CCtrlPntSet copy;
    ASSERT_EQ(copy.CopyPntSet(&set), TM_OK);
    // Bit-identical conversions: the copy did not refit from scratch.
    double a[2], b[2];
    ASSERT_EQ(set.GetCoordinateA(&a[0], &a[1], 123.4, 567.8, true), TM_OK);
    ASSERT_EQ(copy.GetCoordinateA(&b[0], &b[1], 123.4, 567.8, true), TM_OK);
    EXPECT_EQ(std::memcmp(a, b, sizeof(a)), 0);
}

TEST(TiemarkFit, ErrorContextReportsDuplicatesAndOutliers) {
    const TrueMap affine = AllTrueMaps()[0];
    std::vector<_CtrlPntStrcT> pts = GridPoints(affine, 4, 4);
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 0.3);
    for (auto& p : pts) p.UserX += noise(rng), p.UserY += noise(rng);
    pts[6].UserY += 40.0;  // an outlier
    _CtrlPntStrcT dup = pts[2];
    dup.UserX += 1.0;
    pts.push_back(dup);  // point 17 repeats the pixel position of point 3
    CCtrlPntSet set;
    AddAll(set, pts);
    _CtrlPntStrcT p;
    ASSERT_EQ(set.GetOneGCP(7, &p), TM_OK);
    EXPECT_EQ(p.Err.GetCode(), TM_CHECK_OUTLIER);
    double r[4];
    ASSERT_EQ(set.GetResidual(7, &r[0], &r[1], &r[2], &r[3]), TM_OK);
    EXPECT_EQ(p.Err.ResidualX, r[0]);
    EXPECT_EQ(p.Err.ResidualY, r[1]);
    EXPECT_LT(p.Err.ResidualY, -20.0);
    ASSERT_EQ(set.GetOneGCP(17, &p), TM_OK);
    EXPECT_EQ(p.Err.GetCode(), TM_CHECK_DUPLICATE);
    EXPECT_EQ(p.Err.Other, 3);
    ASSERT_EQ(set.GetOneGCP(3, &p), TM_OK);
    EXPECT_EQ(p.Err.GetCode(), TM_CHECK_DUPLICATE);
    EXPECT_EQ(p.Err.Other, 17);
    ASSERT_EQ(set.GetOneGCP(1, &p), TM_OK);
    EXPECT_EQ(p.Err.GetCode(), TM_CHECK_OK);
    EXPECT_EQ(p.Err.Reserved, 0.0);
    ASSERT_EQ(set.DeleteOneGCP(17), TM_OK);
    ASSERT_EQ(set.GetOneGCP(3, &p), TM_OK);
    EXPECT_NE(p.Err.GetCode(), TM_CHECK_DUPLICATE);
}

}  // namespace
