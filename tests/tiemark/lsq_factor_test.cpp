// The block update of the least-squares factor against the row-by-row one:
// both factorise the same rows, so they give the same solutions, residual
// sums and conditions, whatever the block's size and shape.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../../tiemark/LsqFactor.h"

namespace {

using tiemark::LsqFactor;

struct Shape {
    int cols, rhs;
};

class FactorBlocks : public testing::TestWithParam<std::tuple<Shape, std::size_t>> {};

TEST_P(FactorBlocks, AbsorbLikeOneRowAtATime) {
    const auto [shape, count] = GetParam();
    const int width = shape.cols + shape.rhs;
    std::mt19937 rng(static_cast<unsigned>(count * 16 + shape.cols));
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    // Rows in two calls (an odd split included), so that a block is also
    // absorbed into a factor that already holds rows.
    const std::size_t first = count / 3;
    std::vector<double> rows(count * LsqFactor::kWidth, 0.0);
    for (std::size_t i = 0; i < count; ++i)
        for (int j = 0; j < width; ++j) rows[i * LsqFactor::kWidth + j] = value(rng);
    LsqFactor single, block;
    single.Reset(shape.cols, shape.rhs);
    block.Reset(shape.cols, shape.rhs);
    for (std::size_t i = 0; i < count; ++i) single.AddRow(&rows[i * LsqFactor::kWidth]);
    std::vector<double> scratch = rows;  // AddRows uses its rows as scratch
    block.AddRows(scratch.data(), first);
    block.AddRows(scratch.data() + first * LsqFactor::kWidth, count - first);

    EXPECT_EQ(block.Rows(), count);
    for (int j = 0; j < shape.rhs; ++j) {
        const double rss = single.ResidualSumOfSquares(j);
        EXPECT_NEAR(block.ResidualSumOfSquares(j), rss, 1e-12 * (1.0 + rss)) << "rhs " << j;
    }
    if (count < static_cast<std::size_t>(shape.cols)) return;  // no unique solution
    EXPECT_NEAR(block.Condition(shape.cols), single.Condition(shape.cols), 1e-9 * single.Condition(shape.cols));
    for (int j = 0; j < shape.rhs; ++j) {
        double a[LsqFactor::kMaxCols], b[LsqFactor::kMaxCols];
        ASSERT_TRUE(single.Solve(j, a));
        ASSERT_TRUE(block.Solve(j, b));
        for (int k = 0; k < shape.cols; ++k) EXPECT_NEAR(b[k], a[k], 1e-11 * (1.0 + std::fabs(a[k]))) << k;
    }
}

// Every system shape the fits use, and counts around the four-row steps and
// the 256-row pieces the block update works in.
INSTANTIATE_TEST_SUITE_P(Shapes, FactorBlocks,
                         testing::Combine(testing::Values(Shape{3, 2}, Shape{6, 2}, Shape{10, 2}, Shape{4, 1},
                                                          Shape{8, 1}, Shape{5, 2}),
                                          testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{12},
                                                          std::size_t{255}, std::size_t{770},
                                                          std::size_t{1001})));

}  // namespace
