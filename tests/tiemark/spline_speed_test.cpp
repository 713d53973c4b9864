// Checks of the vectorised thin plate spline kernels and of the null-space
// factorisation of the spline system against plain references: std::log
// for the kernel, a dense LU of the saddle-point matrix for the system.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <random>
#include <vector>

#include "../../tiemark/SplineCholesky.h"
#include "../../tiemark/SplineKernel.h"
#include "../../tiemark/SplineSystem.h"

namespace {


std::vector<double> Uniform(std::mt19937& rng, std::size_t n, double lo, double hi) {
    std::uniform_real_distribution<double> d(lo, hi);
    std::vector<double> out(n);
    for (double& x : out) x = d(rng);
    return out;
}

// The saddle-point matrix [K P; P^T 0] of the given centres.
Eigen::MatrixXd SaddleMatrix(const std::vector<double>& cu, const std::vector<double>& cv) {
    const Eigen::Index n = static_cast<Eigen::Index>(cu.size());
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(n + 3, n + 3);
    for (Eigen::Index r = 0; r < n; ++r) {
        for (Eigen::Index c = 0; c < n; ++c) {
            double du = cu[r] - cu[c], dv = cv[r] - cv[c];
            m(r, c) = tiemark::SplineKernel(du * du + dv * dv);
        }
        m(r, n) = m(n, r) = 1.0;
        m(r, n + 1) = m(n + 1, r) = cu[r];
        m(r, n + 2) = m(n + 2, r) = cv[r];
    }
    return m;
}

// The kernel tests run on every copy of the kernels this processor has
// (baseline vectors, AVX2 with FMA, AVX-512), not only on the one the first
// call picks, and under every compiler that builds the suite.
using tiemark::SplineKernelPath;

class SplineKernel : public testing::TestWithParam<SplineKernelPath> {
  protected:
    void SetUp() override {
        if (!tiemark::SplineKernelUsePathForTesting(GetParam()))
            GTEST_SKIP() << "this build or processor has no such copy of the kernels";
    }
    void TearDown() override { tiemark::SplineKernelUsePathForTesting(SplineKernelPath::Chosen); }
};

std::string PathName(const testing::TestParamInfo<SplineKernelPath>& info) {
    switch (info.param) {
    case SplineKernelPath::Baseline: return "Baseline";
    case SplineKernelPath::Avx2: return "Avx2";
    case SplineKernelPath::Avx512: return "Avx512";
    default: return "Chosen";
    }
}

INSTANTIATE_TEST_SUITE_P(Copies, SplineKernel,
                         testing::Values(SplineKernelPath::Baseline, SplineKernelPath::Avx2,
                                         SplineKernelPath::Avx512),
                         PathName);

// Every tail length, distances from 0 (a centre hit exactly) over many
// orders of magnitude, and the gradient against its closed form.
TEST_P(SplineKernel, SumsAndColumnsMatchTheScalarKernel) {
    std::mt19937 rng(7);
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 31u, 1000u}) {
        for (double scale : {1e-150, 1e-6, 1.0, 3.0, 1e5, 1e150}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " scale " << scale);
            std::vector<double> cu = Uniform(rng, n, -scale, scale), cv = Uniform(rng, n, -scale, scale);
            std::vector<double> wx = Uniform(rng, n, -1, 1), wy = Uniform(rng, n, -1, 1);
            const double u = n > 2 ? cu[2] : 0.3 * scale, v = n > 2 ? cv[2] : -0.2 * scale;
            std::vector<double> column(n + 1, 42.0);
            tiemark::SplineKernelColumn(cu.data(), cv.data(), n, u, v, column.data());
            EXPECT_EQ(column[n], 42.0);  // nothing written past the end
            long double sx = 0, sy = 0, g[4] = {0, 0, 0, 0}, magnitude = 0, gradMagnitude = 0;
            for (std::size_t i = 0; i < n; ++i) {
                double du = u - cu[i], dv = v - cv[i], d2 = du * du + dv * dv;
                double phi = tiemark::SplineKernel(d2);
                // d2 itself may round differently (fused multiply-add), which
                // moves phi by up to about eps d2 |log d2 + 1| / 2.
                EXPECT_NEAR(column[i], phi, 5e-16 * (std::fabs(phi) + d2)) << i;
                if (d2 == 0.0) {
                    EXPECT_EQ(column[i], 0.0);
                }
                sx += phi * wx[i], sy += phi * wy[i];
                magnitude += std::fabs(phi) + d2;
                double dphi = d2 > 0.0 ? std::log(d2) + 1.0 : 0.0;
                g[0] += du * dphi * wx[i], g[1] += dv * dphi * wx[i];
                g[2] += du * dphi * wy[i], g[3] += dv * dphi * wy[i];
                gradMagnitude += (std::fabs(du) + std::fabs(dv)) * std::fabs(dphi);
            }
            double x, y, grad[4], x2, y2;
            tiemark::SplineKernelSum(cu.data(), cv.data(), wx.data(), wy.data(), n, u, v, &x, &y, grad);
            tiemark::SplineKernelSum(cu.data(), cv.data(), wx.data(), wy.data(), n, u, v, &x2, &y2, nullptr);
            const double tol = 1e-15 * static_cast<double>(magnitude) + 1e-300;
            EXPECT_NEAR(x, static_cast<double>(sx), tol);
            EXPECT_NEAR(y, static_cast<double>(sy), tol);
            EXPECT_EQ(x, x2);
            EXPECT_EQ(y, y2);
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(grad[k], static_cast<double>(g[k]), 1e-15 * static_cast<double>(gradMagnitude) + 1e-300);
        }
    }
    double nanSum, ySum;
    const double cu[1] = {0.0}, cv[1] = {0.0}, w[1] = {1.0};
    tiemark::SplineKernelSum(cu, cv, w, w, 1, std::nan(""), 0.0, &nanSum, &ySum, nullptr);
    EXPECT_TRUE(std::isnan(nanSum));
}

// The bounded and the curved sums are the gradient sum, bit for bit, plus
// their own terms: sum (|wx| + |wy|) |log d2| and the nearest centre (0 on
// a centre; the padding of the last lanes is no centre); the second
// derivatives and sum (|wx| + |wy|) / d2.
TEST_P(SplineKernel, BoundedAndCurvedSumsAddTheirTermsToTheSameSums) {
    std::mt19937 rng(11);
    for (std::size_t n : {1u, 3u, 4u, 5u, 8u, 9u, 15u, 1000u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        std::vector<double> cu = Uniform(rng, n, -1, 1), cv = Uniform(rng, n, -1, 1);
        std::vector<double> wx = Uniform(rng, n, -3, 3), wy = Uniform(rng, n, -3, 3);
        for (int at = 0; at < 3; ++at) {
            // Between the centres, on the last one, and far from all.
            const double u = at == 1 ? cu[n - 1] : at == 0 ? 0.123 : 40.0;
            const double v = at == 1 ? cv[n - 1] : at == 0 ? -0.321 : -30.0;
            double x, y, g[4], bx, by, bg[4], curvature, nearest2;
            std::vector<double> wabs(n);
            for (std::size_t i = 0; i < n; ++i) wabs[i] = std::fabs(wx[i]) + std::fabs(wy[i]);
            tiemark::SplineKernelSum(cu.data(), cv.data(), wx.data(), wy.data(), n, u, v, &x, &y, g);
            tiemark::SplineKernelSumBounded(cu.data(), cv.data(), wx.data(), wy.data(), wabs.data(), n,
                                            u, v, &bx, &by, bg, &curvature, &nearest2);
            EXPECT_EQ(x, bx);
            EXPECT_EQ(y, by);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(g[k], bg[k]) << k;
            long double refCurvature = 0.0L;
            double refNearest2 = std::numeric_limits<double>::infinity();
            for (std::size_t i = 0; i < n; ++i) {
                const double du = u - cu[i], dv = v - cv[i], d2 = du * du + dv * dv;
                refNearest2 = std::min(refNearest2, d2);
                const double log = std::log(std::max(d2, std::numeric_limits<double>::min()));
                refCurvature += (std::fabs(wx[i]) + std::fabs(wy[i])) * std::fabs(log);
            }
            EXPECT_NEAR(curvature, static_cast<double>(refCurvature), 1e-13 * static_cast<double>(refCurvature));
            if (at == 1) {
                EXPECT_EQ(nearest2, 0.0);
            } else {
                EXPECT_NEAR(nearest2, refNearest2, 1e-15 * refNearest2);
            }
            if (at == 1) continue;  // on a centre the second derivatives have no value
            double sumWx = 0.0, sumWy = 0.0, wsum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sumWx += wx[i], sumWy += wy[i], wsum += wabs[i];
            double cx, cy, cg[4], hess[6], cNearest2, spread;
            tiemark::SplineKernelSumCurved(cu.data(), cv.data(), wx.data(), wy.data(), wabs.data(), sumWx,
                                           sumWy, n, u, v, &cx, &cy, cg, hess, &cNearest2, &spread);
            EXPECT_EQ(x, cx);
            EXPECT_EQ(y, cy);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(g[k], cg[k]) << k;
            EXPECT_EQ(nearest2, cNearest2);
            long double ref[6] = {}, refSpread = 0.0L;
            for (std::size_t i = 0; i < n; ++i) {
                const long double du = u - cu[i], dv = v - cv[i], d2 = du * du + dv * dv;
                const long double a = std::log(d2) + 1.0L;
                const long double h[3] = {a + 2 * du * du / d2, 2 * du * dv / d2, a + 2 * dv * dv / d2};
                for (int k = 0; k < 3; ++k) ref[k] += wx[i] * h[k], ref[3 + k] += wy[i] * h[k];
                refSpread += wabs[i] / d2;
            }
            for (int k = 0; k < 6; ++k)
                EXPECT_NEAR(hess[k], static_cast<double>(ref[k]), 2e-5 * wsum) << "second derivative " << k;
            EXPECT_NEAR(spread, static_cast<double>(refSpread), 1e-5 * static_cast<double>(refSpread));
        }
    }
}

// The vectorised logarithm near the places where its pieces meet: powers of
// two, the sixteenths of the mantissa, and 1, over the range of squared
// distances a fit meets (the column holds phi = d2 log d2 / 2).
TEST_P(SplineKernel, ColumnIsAccurateWhereTheLogarithmsPiecesMeet) {
    std::vector<double> d2;
    for (int e = -40; e <= 12; e += 3)
        for (int j = 0; j <= 16; ++j) {
            const double edge = std::ldexp(1.0 + j / 16.0, e);
            for (double f : {1.0 - 3e-16, 1.0, 1.0 + 3e-16, 1.0 + 1e-9, 1.0 - 1e-9})
                d2.push_back(edge * f);
        }
    for (double f = 0.5; f < 2.0; f += 1.0 / 1024) d2.push_back(f);
    // Centres at (0, 0), the point on the u axis at distance sqrt(d2); the
    // reference uses the d2 the kernel actually sees.
    const std::size_t n = 1;
    const double zero[1] = {0.0};
    double worst = 0.0;
    for (double target : d2) {
        const double u = std::sqrt(target), seen = u * u;
        double phi;
        tiemark::SplineKernelColumn(zero, zero, n, u, 0.0, &phi);
        const long double exact = 0.5L * seen * std::log(static_cast<long double>(seen));
        // About an ulp of phi, and 5e-16 absolute in log d2 where that is small.
        const double allowed = 0.5 * seen * (5e-16 + 2.5e-16 * std::fabs(std::log(seen)));
        const double error = std::fabs(static_cast<double>(phi - exact));
        worst = std::max(worst, error / allowed);
        EXPECT_LE(error, allowed) << "d2 " << seen;
    }
    RecordProperty("worst_share_of_allowed", std::to_string(worst));
}

// Factor writes only the lower triangle of its n x n work matrix: whatever
// the allocation held before (here NaNs, from a freed block of the same
// size that the allocator hands out again) must not refuse a sound system.
TEST(SplineSystem, FactorDoesNotReadWhatItsWorkMemoryHeld) {
    std::mt19937 rng(5);
    for (std::size_t n : {4u, 19u, 40u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        const std::vector<double> cu = Uniform(rng, n, -1, 1), cv = Uniform(rng, n, -1, 1);
        for (int round = 0; round < 8; ++round) {
            {
                Eigen::MatrixXd poison = Eigen::MatrixXd::Constant(n, n, std::nan(""));
                ASSERT_TRUE(std::isnan(poison(0, 1)));
            }
            tiemark::SplineSystem system;
            ASSERT_TRUE(system.Factor(cu, cv, 1e-14));
        }
    }
}

// The factorised system solves arbitrary right-hand sides (the affine rows
// too, as appending centres needs) like a dense LU, also after borders.
TEST(SplineSystem, SolvesLikeADenseFactorisationAndRefusesDegenerateCentres) {
    std::mt19937 rng(11);
    for (std::size_t n : {3u, 4u, 5u, 17u, 200u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        std::vector<double> cu = Uniform(rng, n + 3, -1, 1), cv = Uniform(rng, n + 3, -1, 1);
        std::vector<double> baseU(cu.begin(), cu.begin() + n), baseV(cv.begin(), cv.begin() + n);
        tiemark::SplineSystem system;
        ASSERT_TRUE(system.Factor(baseU, baseV, 1e-14));
        for (std::size_t borders = 0; borders <= 3; ++borders) {
            if (borders > 0) {
                ASSERT_TRUE(system.Append(cu[n + borders - 1], cv[n + borders - 1], borders - 1, 1e-9));
            }
            // Unknowns: base centres, affine terms, appended centres.
            std::vector<double> allU(baseU), allV(baseV);
            allU.insert(allU.end(), cu.begin() + n, cu.begin() + n + borders);
            allV.insert(allV.end(), cv.begin() + n, cv.begin() + n + borders);
            Eigen::MatrixXd full = SaddleMatrix(allU, allV);
            // Move the affine rows and columns between base and appended centres.
            std::vector<Eigen::Index> order;
            for (std::size_t i = 0; i < n; ++i) order.push_back(static_cast<Eigen::Index>(i));
            for (std::size_t k = 0; k < 3; ++k) order.push_back(static_cast<Eigen::Index>(n + borders + k));
            for (std::size_t j = 0; j < borders; ++j) order.push_back(static_cast<Eigen::Index>(n + j));
            const Eigen::Index size = static_cast<Eigen::Index>(order.size());
            Eigen::MatrixXd m(size, size);
            for (Eigen::Index r = 0; r < size; ++r)
                for (Eigen::Index c = 0; c < size; ++c) m(r, c) = full(order[r], order[c]);
            Eigen::VectorXd b = Eigen::VectorXd::Random(size);
            Eigen::VectorXd expected = m.fullPivLu().solve(b);
            Eigen::VectorXd z = system.Solve(b, borders);
            EXPECT_LT((z - expected).norm(), 1e-9 * (1.0 + expected.norm())) << borders;
            EXPECT_LT((m * z - b).norm(), 1e-11 * (1.0 + b.norm())) << borders;
        }
    }
    std::vector<double> u = {0.0, 1.0, 0.0, 1.0, 0.3}, v = {0.0, 0.0, 1.0, 1.0, 0.6};
    tiemark::SplineSystem ok;
    EXPECT_TRUE(ok.Factor(u, v, 1e-14));
    std::vector<double> repeatedU(u), repeatedV(v);
    repeatedU.push_back(u[3]), repeatedV.push_back(v[3]);
    tiemark::SplineSystem repeated;
    EXPECT_FALSE(repeated.Factor(repeatedU, repeatedV, 1e-14));
    std::vector<double> lineU = {0.0, 0.1, 0.2, 0.3, 0.5}, lineV = {0.0, 0.2, 0.4, 0.6, 1.0};
    tiemark::SplineSystem collinear;
    EXPECT_FALSE(collinear.Factor(lineU, lineV, 1e-14));
    EXPECT_FALSE(collinear.Factor({0.0, 1.0}, {0.0, 1.0}, 1e-14));
}

// The blocked factorisation at sizes around its panel and tile edges, in a
// block of a larger matrix (as the spline system uses it): L L^T gives the
// matrix back, the condition estimate is of the right order, and matrices
// that are not positive definite are refused.
TEST(SplineCholesky, FactorisesLikeTheTextbookAndRefusesIndefiniteMatrices) {
    std::mt19937 rng(5);
    for (Eigen::Index n : {1, 2, 7, 8, 9, 127, 128, 129, 261, 300}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        Eigen::MatrixXd g = Eigen::MatrixXd::Random(n, n);
        Eigen::MatrixXd a = g * g.transpose() + Eigen::MatrixXd::Identity(n, n);
        Eigen::MatrixXd host = Eigen::MatrixXd::Constant(n + 5, n + 5, 99.0);
        host.block(3, 2, n, n) = a;
        ASSERT_TRUE(tiemark::CholeskyInPlace(host.block(3, 2, n, n)));
        Eigen::MatrixXd l = host.block(3, 2, n, n).triangularView<Eigen::Lower>();
        EXPECT_LT((l * l.transpose() - a).norm(), 1e-13 * a.norm());
        // Nothing outside the block is touched.
        EXPECT_EQ(host.topRows(3).maxCoeff(), 99.0);
        EXPECT_EQ(host.topRows(3).minCoeff(), 99.0);
        EXPECT_EQ(host.leftCols(2).minCoeff(), 99.0);
        EXPECT_EQ(host.rightCols(3).minCoeff(), 99.0);
        EXPECT_EQ(host.bottomRows(2).maxCoeff(), 99.0);
        const double rcond = tiemark::CholeskyRcond(host.block(3, 2, n, n), a.cwiseAbs().colwise().sum().maxCoeff());
        const double exact = 1.0 / (a.cwiseAbs().colwise().sum().maxCoeff() *
                                    a.inverse().cwiseAbs().colwise().sum().maxCoeff());
        // ||A^-1|| is estimated from below, so the estimate is at least the
        // exact value; in practice within a small factor of it.
        EXPECT_GT(rcond, 0.99 * exact);
        EXPECT_LT(rcond, 10.0 * exact);
        if (n >= 2) {
            Eigen::MatrixXd indefinite = a;
            const Eigen::Index last = n - 1;
            indefinite(last, last) = -1.0;
            EXPECT_FALSE(tiemark::CholeskyInPlace(indefinite));
            Eigen::MatrixXd singular = a;
            singular.row(last) = singular.row(0);
            singular.col(last) = singular.col(0);
            Eigen::MatrixXd copy = singular;
            bool ok = tiemark::CholeskyInPlace(copy);
            EXPECT_TRUE(!ok || tiemark::CholeskyRcond(copy, singular.cwiseAbs().colwise().sum().maxCoeff()) < 1e-14);
        }
    }
}

// The inverse of the base system, kernel columns and affine rows, is the
// dense saddle matrix's inverse, at sizes on both sides of the blocks.
TEST(SplineSystem, BaseInverseColumnsAreThoseOfTheDenseInverse) {
    std::mt19937 rng(23);
    for (std::size_t n : {4u, 9u, 70u, 150u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        std::vector<double> cu = Uniform(rng, n, -1, 1), cv = Uniform(rng, n, -1, 1);
        tiemark::SplineSystem system;
        ASSERT_TRUE(system.Factor(cu, cv, 1e-14));
        Eigen::MatrixXd rotated;
        Eigen::Matrix3Xd affine;
        system.BaseInverse(&rotated, &affine);
        const Eigen::MatrixXd inverse = SaddleMatrix(cu, cv).inverse();
        const double scale = inverse.cwiseAbs().maxCoeff();
        const Eigen::Index count = static_cast<Eigen::Index>(n);
        for (Eigen::Index i = 0; i < count; ++i) {
            Eigen::VectorXd column;
            system.KernelInverseColumn(rotated, i, &column);
            EXPECT_LT((column - inverse.col(i).head(count)).cwiseAbs().maxCoeff(), 1e-10 * scale) << i;
            EXPECT_LT((affine.col(i) - inverse.col(i).tail<3>()).cwiseAbs().maxCoeff(), 1e-10 * scale) << i;
        }
    }
}

// The inverse from the factor at sizes around its panel (64) and tile
// edges, written into a block of a larger matrix: (L L^T)^-1 as Eigen
// computes it, both triangles, nothing outside the block touched.
TEST(SplineCholesky, InverseFromTheFactorMatchesTheDirectInverse) {
    for (Eigen::Index n : {1, 3, 8, 63, 64, 65, 129, 200}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        Eigen::MatrixXd g = Eigen::MatrixXd::Random(n, n);
        Eigen::MatrixXd a = g * g.transpose() + 0.1 * Eigen::MatrixXd::Identity(n, n);
        Eigen::MatrixXd l = a.llt().matrixL();
        l.triangularView<Eigen::StrictlyUpper>().setConstant(7.0);  // must not be read
        Eigen::MatrixXd host = Eigen::MatrixXd::Constant(n + 4, n + 3, 99.0);
        tiemark::InverseFromCholesky(l, host.block(2, 1, n, n));
        const Eigen::MatrixXd expected = a.inverse();
        const Eigen::MatrixXd s = host.block(2, 1, n, n);
        EXPECT_LT((s - expected).norm(), 1e-10 * expected.norm());
        EXPECT_EQ((s - s.transpose()).norm(), 0.0);
        EXPECT_EQ(host.topRows(2).minCoeff(), 99.0);
        EXPECT_EQ(host.bottomRows(2).maxCoeff(), 99.0);
        EXPECT_EQ(host.leftCols(1).minCoeff(), 99.0);
        EXPECT_EQ(host.rightCols(2).maxCoeff(), 99.0);
    }
}

}  // namespace
