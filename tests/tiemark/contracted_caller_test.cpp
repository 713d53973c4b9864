// contracted_caller_test.cpp - PointTransform evaluates the polynomials in
// the caller's code.  This file is built as a caller that lets the compiler
// fuse multiplies and adds (-mfma -ffp-contract=fast, see CMakeLists.txt);
// the one-point results must still equal the library's batch to the bit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "TrueMaps.h"

#if !defined(__FMA__)
#error "built without -mfma: this test would prove nothing"
#endif

namespace {

// a * b + c as this file's compiler writes it: fused when contraction is on.
// Not inlined, and called with an operand it cannot know (noipa, which says
// both, is GCC's alone), so that no constant folding decides for it.
__attribute__((noinline)) double MultiplyAdd(double a, double b, double c) { return a * b + c; }

bool CallerContracts() {
    // (1 + 2^-30)(1 - 2^-30) - 1 is -2^-60 fused and 0 rounded in between.
    const volatile double unknown = 1.0 / (1 << 30);
    const double e = unknown;
    return MultiplyAdd(1.0 + e, 1.0 - e, -1.0) != 0.0;
}

// Pixel or user positions over the raster and beyond it, seeded.
std::vector<double> Positions(const TrueMap& map, bool forward) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> col(-0.3 * kColumns, 1.3 * kColumns), row(-0.3 * kRows, 1.3 * kRows);
    std::vector<double> in;
    for (int k = 0; k < 4000; ++k) {
        double px = col(rng), py = row(rng);
        if (!forward) map.apply(px, py, &px, &py);
        in.push_back(px);
        in.push_back(py);
    }
    return in;
}

TEST(ContractedCaller, OnePointPolynomialsEqualTheBatchToTheBit) {
    if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "this processor has no FMA";
    ASSERT_TRUE(CallerContracts()) << "the compiler did not fuse a * b + c here";
    for (const TrueMap& map : AllTrueMaps()) {
        if (map.type != TM_TRANS_POLY1 && map.type != TM_TRANS_POLY2 && map.type != TM_TRANS_POLY3) continue;
        for (bool forward : {true, false}) {
            // Backward, only the affine conversion is a polynomial.
            if (!forward && map.type != TM_TRANS_POLY1) continue;
            SCOPED_TRACE(std::string(map.name) + (forward ? " forward" : " backward"));
            CCtrlPntSet set;
            set.InitPntSet(TM_ORIENT_LINE_DOWN, map.type);
            AddAll(set, GridPoints(map, 9, 7));
            ASSERT_EQ(set.BeginTransform(forward), TM_OK);
            const std::vector<double> in = Positions(map, forward);
            std::vector<double> batch(in.size());
            ASSERT_EQ(set.BatchTransform(in.data(), batch.data(), in.size() / 2), TM_OK);
            for (std::size_t k = 0; k < in.size(); k += 2) {
                double x = 0, y = 0;
                ASSERT_EQ(set.PointTransform(&x, &y, in[k], in[k + 1]), TM_OK);
                ASSERT_EQ(x, batch[k]) << "point " << k / 2;
                ASSERT_EQ(y, batch[k + 1]) << "point " << k / 2;
            }
        }
    }
}

}  // namespace
