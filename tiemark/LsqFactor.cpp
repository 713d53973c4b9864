// LsqFactor.cpp - Givens updates, back substitution and condition numbers.
#include "LsqFactor.h"

#include "CpuDispatch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiemark {

void LsqFactor::Reset(int cols, int rhs) {
    NCols = cols;
    NRhs = rhs;
    NRows = 0;
    for (auto& row : R) std::fill(row, row + kWidth, 0.0);
    std::fill(Rss, Rss + kMaxRhs, 0.0);
}

void LsqFactor::AddRow(const double* row) {
    const int width = NCols + NRhs;
    double w[kWidth];
    std::copy(row, row + width, w);
    for (int k = 0; k < NCols; ++k) {
        if (w[k] == 0.0) continue;
        double* r = R[k];
        // Rotate so that w[k] becomes zero; hypot avoids overflow and underflow.
        double h = std::hypot(r[k], w[k]);
        double c = r[k] / h;
        double s = w[k] / h;
        r[k] = h;
        w[k] = 0.0;
        for (int j = k + 1; j < width; ++j) {
            double a = r[j];
            double b = w[j];
            r[j] = c * a + s * b;
            w[j] = c * b - s * a;
        }
    }
    // What is left of the right-hand sides is this row's share of the residual.
    for (int j = 0; j < NRhs; ++j) Rss[j] += w[NCols + j] * w[NCols + j];
    ++NRows;
}

namespace {

// Householder reflections of [R; block] for a factor of M unknowns and W
// columns in all.  Reflection k acts on row k of R and on every block row
// (the rows of R below k are zero in column k).  As in LAPACK's dlarfg the
// sign of the new diagonal is chosen so that v0 = alpha - beta never cancels.
// Loops over columns run over all W with zero weights where nothing changes,
// so that their trip counts are constants and they vectorise.
template <int M, int W>
[[gnu::always_inline]] inline void ReflectBlock(double (*r)[LsqFactor::kWidth], double* rss, double* rows,
                                                std::size_t count) {
    constexpr int kStride = LsqFactor::kWidth;
    for (int k = 0; k < M; ++k) {
        // s[j] = sum over the block of b[i][k] * b[i][j]; s[k] is the squared
        // norm of what column k still has below the triangle.
        // Two rows at a time into two sums, so that each addition need not
        // wait for the one before it.
        double s[W] = {}, t[W] = {};
        std::size_t i = 0;
        for (; i + 1 < count; i += 2) {
            const double* b = rows + i * kStride;
            const double* c = b + kStride;
            const double f = b[k], g = c[k];
            for (int j = 0; j < W; ++j) {
                s[j] += f * b[j];
                t[j] += g * c[j];
            }
        }
        if (i < count) {
            const double* b = rows + i * kStride;
            const double f = b[k];
            for (int j = 0; j < W; ++j) s[j] += f * b[j];
        }
        for (int j = 0; j < W; ++j) s[j] += t[j];
        const double sigma = s[k];
        if (sigma == 0.0) continue;  // nothing to eliminate in this column
        const double alpha = r[k][k];
        const double norm = std::sqrt(alpha * alpha + sigma);
        const double beta = alpha >= 0.0 ? -norm : norm;
        const double v0 = alpha - beta;
        const double tau = -v0 / beta;
        const double inv = 1.0 / v0;
        double w[W];
        for (int j = 0; j < W; ++j) w[j] = j > k ? tau * (r[k][j] + s[j] * inv) : 0.0;
        for (int j = k + 1; j < W; ++j) r[k][j] -= w[j];
        r[k][k] = beta;
        for (std::size_t i = 0; i < count; ++i) {
            double* b = rows + i * kStride;
            const double f = b[k] * inv;
            for (int j = 0; j < W; ++j) b[j] -= w[j] * f;
        }
        // Column k of the block is zero now in exact arithmetic; its stale
        // values are never read again with a nonzero weight.
    }
    // What is left of the right-hand sides is these rows' share of the residual.
    for (std::size_t i = 0; i < count; ++i) {
        const double* b = rows + i * kStride;
        for (int j = M; j < W; ++j) rss[j - M] += b[j] * b[j];
    }
}

// One entry point per system shape.  Where the processor has AVX2 the
// loops above run four columns per instruction; the choice is made once,
// when the library is loaded.
#define MORVANE_REFLECT_BLOCK(M, W)                                                                  \
    MORVANE_CLONE_AVX2 void ReflectBlock##M##x##W(                   \
        double (*r)[LsqFactor::kWidth], double* rss, double* rows, std::size_t count) {              \
        ReflectBlock<M, W>(r, rss, rows, count);                                                     \
    }
MORVANE_REFLECT_BLOCK(3, 5)
MORVANE_REFLECT_BLOCK(6, 8)
MORVANE_REFLECT_BLOCK(10, 12)
MORVANE_REFLECT_BLOCK(4, 5)
MORVANE_REFLECT_BLOCK(8, 9)
#undef MORVANE_REFLECT_BLOCK

}  // namespace

void LsqFactor::AddRows(double* rows, std::size_t count) {
    switch (NCols * 4 + NRhs) {
        case 3 * 4 + 2: ReflectBlock3x5(R, Rss, rows, count); break;
        case 6 * 4 + 2: ReflectBlock6x8(R, Rss, rows, count); break;
        case 10 * 4 + 2: ReflectBlock10x12(R, Rss, rows, count); break;
        case 4 * 4 + 1: ReflectBlock4x5(R, Rss, rows, count); break;
        case 8 * 4 + 1: ReflectBlock8x9(R, Rss, rows, count); break;
        default:
            for (std::size_t i = 0; i < count; ++i) AddRow(rows + i * kWidth);
            return;
    }
    NRows += count;
}

double LsqFactor::Condition(int k) const {
    // Exact 1-norm condition number from the explicit inverse of the k x k
    // triangle: k <= 10, so this costs a few hundred operations.
    double inv[kMaxCols][kMaxCols] = {};
    for (int i = 0; i < k; ++i)
        if (R[i][i] == 0.0) return std::numeric_limits<double>::infinity();
    for (int col = 0; col < k; ++col) {
        // Solve R x = e_col by back substitution; x is zero below row col.
        for (int i = col; i >= 0; --i) {
            double sum = (i == col) ? 1.0 : 0.0;
            for (int j = i + 1; j <= col; ++j) sum -= R[i][j] * inv[j][col];
            inv[i][col] = sum / R[i][i];
        }
    }
    double normR = 0.0, normInv = 0.0;
    for (int col = 0; col < k; ++col) {
        double a = 0.0, b = 0.0;
        for (int i = 0; i <= col; ++i) {
            a += std::fabs(R[i][col]);
            b += std::fabs(inv[i][col]);
        }
        normR = std::max(normR, a);
        normInv = std::max(normInv, b);
    }
    double cond = normR * normInv;
    return std::isfinite(cond) ? cond : std::numeric_limits<double>::infinity();
}

bool LsqFactor::Solve(int j, double* x) const {
    const int col = NCols + j;
    for (int i = NCols - 1; i >= 0; --i) {
        if (R[i][i] == 0.0) return false;
        double sum = R[i][col];
        for (int k = i + 1; k < NCols; ++k) sum -= R[i][k] * x[k];
        x[i] = sum / R[i][i];
    }
    return true;
}

bool LsqFactor::SolveTransposed(const double* a, double* q) const {
    for (int i = 0; i < NCols; ++i) {
        if (R[i][i] == 0.0) return false;
        double sum = a[i];
        for (int k = 0; k < i; ++k) sum -= R[k][i] * q[k];
        q[i] = sum / R[i][i];
    }
    return true;
}

bool LsqFactor::SolveUpper(const double* q, double* x) const {
    for (int i = NCols - 1; i >= 0; --i) {
        if (R[i][i] == 0.0) return false;
        double sum = q[i];
        for (int k = i + 1; k < NCols; ++k) sum -= R[i][k] * x[k];
        x[i] = sum / R[i][i];
    }
    return true;
}

}  // namespace tiemark
