// backward_speed_test - the prepared backward conversion (seeded Newton) of
// polynomials of order 2 and 3 and the thin plate spline must give the same
// exact inverse as the plain conversion, inside the points' extent, around
// it, and far outside it where the seed is poor.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "PreparedTransform.h"
#include "TrueMaps.h"

namespace {

constexpr const char* kFolding = "folding poly2";

// The true maps of order 2 and 3 plus a spline over the order-3 map with a
// local bump, and a quadratic map that folds over just outside the raster.
std::vector<TrueMap> NonlinearMaps() {
    std::vector<TrueMap> maps;
    for (const TrueMap& m : AllTrueMaps())
        if (m.type == TM_TRANS_POLY2 || m.type == TM_TRANS_POLY3) maps.push_back(m);
    TrueMap bumped = maps.back();
    const auto poly3 = bumped.apply;
    bumped.type = TM_TRANS_TPS;
    bumped.name = "spline";
    bumped.apply = [poly3](double px, double py, double* x, double* y) {
        poly3(px, py, x, y);
        const double du = (px - 9000.0) / 3000.0, dv = (py - 7000.0) / 3000.0;
        *x += 40.0 * std::exp(-(du * du + dv * dv));
    };
    maps.push_back(bumped);
    // dx/dpx = 0.5 + 2 * 1.05e-4 * px vanishes at px = -2380, a tenth of the
    // raster's width to its left.
    maps.push_back({TM_TRANS_POLY2, kFolding, [](double px, double py, double* x, double* y) {
                        *x = 651234.5 + 0.5 * px + 0.03 * py + 1.05e-4 * px * px;
                        *y = 5212345.25 - 0.02 * px - 0.49 * py + 2e-6 * px * py;
                    }});
    return maps;
}

CCtrlPntSet* Fitted(const TrueMap& map) {
    auto* set = new CCtrlPntSet();
    set->InitPntSet(TM_ORIENT_LINE_DOWN, map.type);
    AddAll(*set, GridPoints(map, 9, 7));
    return set;
}

// Pixel positions on a grid over the raster widened by `margin` of its size
// on every side, and their user positions under the true map.
std::vector<double> UserPositions(const TrueMap& map, double margin, std::vector<double>* pixels) {
    std::vector<double> user;
    pixels->clear();
    for (int j = 0; j <= 20; ++j)
        for (int i = 0; i <= 20; ++i) {
            const double px = kColumns * (-margin + (1 + 2 * margin) * i / 20.0);
            const double py = kRows * (-margin + (1 + 2 * margin) * j / 20.0);
            double x, y;
            map.apply(px, py, &x, &y);
            pixels->push_back(px), pixels->push_back(py);
            user.push_back(x), user.push_back(y);
        }
    return user;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A refused one-point call leaves its outputs as they were, also when both
// are one variable.
void ExpectPointRefusedUntouched(CCtrlPntSet& set, double in1, double in2, long expected) {
    double x = 7.5, y = -3.25;
    EXPECT_EQ(set.PointTransform(&x, &y, in1, in2), expected);
    EXPECT_EQ(x, 7.5);
    EXPECT_EQ(y, -3.25);
    double both = 0.125;
    EXPECT_EQ(set.PointTransform(&both, &both, in1, in2), expected);
    EXPECT_EQ(both, 0.125);
}

// The pairs `in` with `value` (not finite) put at index `at`: refused by
// the one-point call with its outputs untouched, and by the prepared set's
// batch both into another array and in place, and in place the input is
// left as it was, to the bit.
void ExpectNonFiniteRefused(CCtrlPntSet& set, std::vector<double> in, std::size_t at, double value) {
    SCOPED_TRACE(testing::Message() << value << " at " << at);
    in[at] = value;
    const std::size_t pair = at - at % 2;
    ExpectPointRefusedUntouched(set, in[pair], in[pair + 1], TM_ERR_NOT_FINITE);
    std::vector<double> out(in.size());
    EXPECT_EQ(set.BatchTransform(in.data(), out.data(), in.size() / 2), TM_ERR_NOT_FINITE);
    const std::vector<double> before = in;
    EXPECT_EQ(set.BatchTransform(in.data(), in.data(), in.size() / 2), TM_ERR_NOT_FINITE);
    EXPECT_TRUE(SameBits(in, before));
}

}  // namespace

TEST(TiemarkBackward, PreparedInverseMatchesThePlainConversion) {
    for (const TrueMap& map : NonlinearMaps()) {
        SCOPED_TRACE(map.name);
        CCtrlPntSet* set = Fitted(map);
        ASSERT_EQ(set->BeginTransform(false), TM_OK);
        // Within the raster and a quarter of it around: both conversions
        // succeed, agree, and go back to the same user position.
        const double around = map.name == kFolding ? 0.05 : 0.25;  // short of the fold
        for (double margin : {0.0, around}) {
            std::vector<double> pixels;
            const std::vector<double> user = UserPositions(map, margin, &pixels);
            for (std::size_t k = 0; k < user.size(); k += 2) {
                double px, py, qx, qy, x, y;
                ASSERT_EQ(set->PointTransform(&px, &py, user[k], user[k + 1]), TM_OK);
                ASSERT_EQ(set->GetCoordinateA(&qx, &qy, user[k], user[k + 1], false), TM_OK);
                EXPECT_NEAR(px, qx, 1e-6) << "user " << user[k] << " " << user[k + 1];
                EXPECT_NEAR(py, qy, 1e-6) << "user " << user[k] << " " << user[k + 1];
                ASSERT_EQ(set->GetCoordinateA(&x, &y, px, py, true), TM_OK);
                EXPECT_NEAR(x, user[k], 1e-7);
                EXPECT_NEAR(y, user[k + 1], 1e-7);
                if (margin == 0.0 && map.type != TM_TRANS_TPS) {
                    // The polynomials reproduce their true map: back to the pixel.
                    EXPECT_NEAR(px, pixels[k], 1e-6);
                    EXPECT_NEAR(py, pixels[k + 1], 1e-6);
                }
            }
        }
        // Far outside, where the map may fold: whatever is converted is an
        // exact inverse, whatever is refused is refused with a reason.
        std::vector<double> pixels;
        const std::vector<double> far = UserPositions(map, 3.0, &pixels);
        for (std::size_t k = 0; k < far.size(); k += 2) {
            double px, py, x, y;
            long rc = set->PointTransform(&px, &py, far[k], far[k + 1]);
            if (rc != TM_OK) {
                EXPECT_TRUE(rc == TM_ERR_NO_CONVERGE || rc == TM_ERR_OUTSIDE) << rc;
                continue;
            }
            ASSERT_EQ(set->GetCoordinateA(&x, &y, px, py, true), TM_OK);
            const double scale = 1.0 + std::hypot(far[k] - 651234.5, far[k + 1] - 5212345.25);
            EXPECT_LE(std::hypot(x - far[k], y - far[k + 1]), 1e-9 * scale);
        }
        set->EndTransform();
        delete set;
    }
}

TEST(TiemarkBackward, BatchEqualsOnePointCallsAndRefusesAsDocumented) {
    for (const TrueMap& map : NonlinearMaps()) {
        SCOPED_TRACE(map.name);
        CCtrlPntSet* set = Fitted(map);
        ASSERT_EQ(set->BeginTransform(false), TM_OK);
        std::vector<double> pixels;
        const std::vector<double> user = UserPositions(map, 0.1, &pixels);
        std::vector<double> out(user.size());
        ASSERT_EQ(set->BatchTransform(user.data(), out.data(), user.size() / 2), TM_OK);
        for (std::size_t k = 0; k < user.size(); k += 2) {
            double px, py;
            ASSERT_EQ(set->PointTransform(&px, &py, user[k], user[k + 1]), TM_OK);
            EXPECT_EQ(px, out[k]);
            EXPECT_EQ(py, out[k + 1]);
        }
        // In place gives the same.
        std::vector<double> inPlace = user;
        ASSERT_EQ(set->BatchTransform(inPlace.data(), inPlace.data(), inPlace.size() / 2), TM_OK);
        EXPECT_EQ(inPlace, out);
        // A non-finite input at the start, inside a run, or last.
        for (std::size_t k : {std::size_t{0}, std::size_t{301}, user.size() - 1})
            ExpectNonFiniteRefused(*set, user, k, std::nan(""));
        double px, py;
        EXPECT_EQ(set->PointTransform(&px, &py, std::nan(""), user[1]), TM_ERR_NOT_FINITE);
        // After the backward preparation ends, a forward one converts forward.
        set->EndTransform();
        ASSERT_EQ(set->BeginTransform(true), TM_OK);
        double x, y;
        ASSERT_EQ(set->PointTransform(&x, &y, out[0], out[1]), TM_OK);
        EXPECT_NEAR(x, user[0], 1e-7);
        EXPECT_NEAR(y, user[1], 1e-7);
        set->EndTransform();
        delete set;
    }
}

TEST(TiemarkBatch, ForwardPolynomialsFlagEveryNonFiniteValue) {
    const double inf = std::numeric_limits<double>::infinity();
    const double big = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    for (const TrueMap& map : AllTrueMaps()) {
        if (map.type == TM_TRANS_PROJECTIVE) continue;  // converted per point
        SCOPED_TRACE(map.name);
        CCtrlPntSet set;
        set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type);
        AddAll(set, GridPoints(map, 9, 7));
        ASSERT_EQ(set.BeginTransform(true), TM_OK);
        std::vector<double> in;
        for (int i = 0; i < 37; ++i) in.push_back(650.0 * i), in.push_back(480.0 * (37 - i));
        std::vector<double> reference(in.size());
        ASSERT_EQ(set.BatchTransform(in.data(), reference.data(), in.size() / 2), TM_OK);
        // Any non-finite input value in any position.
        for (double special : {inf, -inf, std::nan("")})
            for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{17}, in.size() - 1})
                ExpectNonFiniteRefused(set, in, k, special);
        // The extremes of the finite values are inputs like any other.
        std::vector<double> edge = in;
        edge[3] = tiny, edge[4] = -0.0;
        std::vector<double> out(in.size());
        EXPECT_EQ(set.BatchTransform(edge.data(), out.data(), edge.size() / 2), TM_OK);
        for (std::size_t k = 0; k < in.size(); k += 2) {
            double x, y;
            ASSERT_EQ(set.PointTransform(&x, &y, edge[k], edge[k + 1]), TM_OK);
            EXPECT_EQ(x, out[k]);
            EXPECT_EQ(y, out[k + 1]);
        }
        // A finite input whose result overflows, in any position: refused
        // as the one-point call refuses it (the squares of the polynomials
        // always overflow).
        for (std::size_t k : {std::size_t{0}, std::size_t{21}, in.size() - 1}) {
            std::vector<double> huge = in;
            huge[k] = k % 2 ? -big : big;
            const std::size_t pair = k - k % 2;
            double x, y;
            const long one = set.PointTransform(&x, &y, huge[pair], huge[pair + 1]);
            if (map.type == TM_TRANS_POLY2 || map.type == TM_TRANS_POLY3) {
                EXPECT_EQ(one, TM_ERR_OUTSIDE);
            }
            if (one != TM_OK) ExpectPointRefusedUntouched(set, huge[pair], huge[pair + 1], one);
            EXPECT_EQ(set.BatchTransform(huge.data(), out.data(), huge.size() / 2), one) << "at " << k;
        }
        set.EndTransform();
    }
}

// The affine and polynomial conversions are evaluated with the portable
// arithmetic on every path (in PointTransform itself on x86-64); the testing
// switch to the portable paths must change nothing for them.  On either
// setting the one-point and batch calls must agree to the bit, and the two
// settings to the last few bits.
TEST(TiemarkBatch, FusedAndPortablePathsAgreeAndEachMatchesItsBatch) {
    struct Path {
        const char* name;
        bool portable;
    };
    const Path paths[] = {{"default", false}, {"portable", true}};
    for (const TrueMap& map : AllTrueMaps()) {
        if (map.type == TM_TRANS_PROJECTIVE) continue;
        for (bool forward : {true, false}) {
            if (!forward && map.type != TM_TRANS_POLY1 && map.type != TM_TRANS_SIMILARITY) continue;
            SCOPED_TRACE(std::string(map.name) + (forward ? " forward" : " backward"));
            std::vector<double> pixels;
            std::vector<double> in = UserPositions(map, 0.3, &pixels);
            if (forward) in = pixels;
            std::vector<std::vector<double>> results;
            for (const Path& path : paths) {
                SCOPED_TRACE(path.name);
                tiemark::PreparedTransform::UsePortablePathsForTesting(path.portable);
                CCtrlPntSet set;
                set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type);
                AddAll(set, GridPoints(map, 9, 7));
                ASSERT_EQ(set.BeginTransform(forward), TM_OK);
                std::vector<double> batch(in.size());
                ASSERT_EQ(set.BatchTransform(in.data(), batch.data(), in.size() / 2), TM_OK);
                for (std::size_t k = 0; k < in.size(); k += 2) {
                    double x, y;
                    ASSERT_EQ(set.PointTransform(&x, &y, in[k], in[k + 1]), TM_OK);
                    ASSERT_EQ(x, batch[k]) << k;
                    ASSERT_EQ(y, batch[k + 1]) << k;
                }
                results.push_back(batch);
            }
            tiemark::PreparedTransform::UsePortablePathsForTesting(false);
            for (std::size_t k = 0; k < in.size(); ++k)
                EXPECT_NEAR(results[0][k], results[1][k], 1e-13 * (1.0 + std::fabs(results[1][k]))) << k;
        }
    }
}
