// Predicted standard errors against simulation: refit many noisy copies of
// a set and compare the spread of the converted positions with what the
// fit predicts, over the raster frame.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "CtrlPntSet.h"
#include "FitSets.h"

namespace {

struct Probe {
    double px, py;
};

// Corners, edge midpoints and the centre of the raster frame.
std::vector<Probe> FrameProbes() {
    std::vector<Probe> probes;
    for (double fx : {0.0, 0.5, 1.0})
        for (double fy : {0.0, 0.5, 1.0}) probes.push_back({fx * kColumns, fy * kRows});
    return probes;
}

class PredictedError : public ::testing::TestWithParam<short> {};

TEST_P(PredictedError, AgreesWithTheSpreadOfRefitsOverTheFrame) {
    const short type = GetParam();
    const TrueMap& map = TrueMapOf(type);
    const std::vector<Probe> probes = FrameProbes();
    constexpr int kRefits = 1000;
    // Sums over refits, per probe: positions, squared positions, predicted variance.
    std::vector<double> sx(probes.size()), sy(probes.size()), sxx(probes.size()), syy(probes.size()),
        predicted(probes.size());
    for (int run = 0; run < kRefits; ++run) {
        CCtrlPntSet set;
        Fill(set, type, NoisyGrid(map, 5, 4, 0.8, 1000u + static_cast<unsigned>(run)));
        for (std::size_t k = 0; k < probes.size(); ++k) {
            double x, y;
            ASSERT_EQ(set.GetCoordinateA(&x, &y, probes[k].px, probes[k].py, true), TM_OK);
            TmPositionError e;
            ASSERT_EQ(set.GetPositionError(probes[k].px, probes[k].py, &e), TM_OK);
            ASSERT_GE(e.SemiMajor, e.SemiMinor);
            // About the true position: the positions are near 1e6, their
            // spread near 1, and raw squares would cancel.
            double tx, ty;
            map.apply(probes[k].px, probes[k].py, &tx, &ty);
            x -= tx, y -= ty;
            sx[k] += x, sy[k] += y, sxx[k] += x * x, syy[k] += y * y;
            predicted[k] += e.Radial * e.Radial;
        }
    }
    for (std::size_t k = 0; k < probes.size(); ++k) {
        const double mx = sx[k] / kRefits, my = sy[k] / kRefits;
        const double spread = std::sqrt((sxx[k] - kRefits * mx * mx + syy[k] - kRefits * my * my) / (kRefits - 1));
        const double expected = std::sqrt(predicted[k] / kRefits);
        EXPECT_NEAR(expected, spread, 0.10 * spread) << "probe " << k << " at " << probes[k].px << ", " << probes[k].py;
    }
}

INSTANTIATE_TEST_SUITE_P(LeastSquaresTypes, PredictedError,
                         ::testing::Values(TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY,
                                           TM_TRANS_PROJECTIVE));

TEST(PredictedErrorFigures, EllipseFollowsTheGeometryAndRefusalsAreClear) {
    // Points along a narrow band: the error grows away from the band, and
    // the ellipse of a similarity (one scale) stays a circle.
    std::vector<_CtrlPntStrcT> band = NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 8, 2, 0.5, 2u);
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, band);
    TmPositionError inside, outside;
    ASSERT_EQ(set.GetPositionError(kColumns / 2, kRows / 2, &inside), TM_OK);
    ASSERT_EQ(set.GetPositionError(kColumns / 2, 5 * kRows, &outside), TM_OK);
    EXPECT_GT(outside.Radial, 3 * inside.Radial);
    EXPECT_EQ(set.GetPositionError(NAN, 0.0, &inside), TM_ERR_NOT_FINITE);
    EXPECT_EQ(set.GetPositionError(0.0, 0.0, nullptr), TM_ERR_ARGUMENT);
    CCtrlPntSet exact;
    Fill(exact, TM_TRANS_POLY1, NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 3, 1, 0.5, 2u));
    EXPECT_EQ(exact.GetPositionError(0.0, 0.0, &inside), TM_ERR_TOO_FEW);
    // The spline's estimate comes from the neighbours' leave-one-out errors:
    // a bad point raises it near itself, not across the frame.
    std::vector<_CtrlPntStrcT> pts = NoisyGrid(TrueMapOf(TM_TRANS_POLY1), 6, 6, 0.3, 4u);
    pts[0].UserX += 50.0;
    CCtrlPntSet spline;
    Fill(spline, TM_TRANS_TPS, pts);
    TmPositionError nearBad, farAway;
    ASSERT_EQ(spline.GetPositionError(pts[0].PixelX, pts[0].PixelY, &nearBad), TM_OK);
    ASSERT_EQ(spline.GetPositionError(pts[35].PixelX, pts[35].PixelY, &farAway), TM_OK);
    EXPECT_GT(nearBad.Radial, 10 * farAway.Radial);
}

}  // namespace
