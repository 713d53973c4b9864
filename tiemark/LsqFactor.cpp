// LsqFactor.cpp - Givens updates, back substitution and condition numbers.
#include "LsqFactor.h"

#include "CpuDispatch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// Four-lane vectors are passed between inlined helpers; GCC notes that
// their ABI differs with and without AVX, which does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

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
// The block is held column by column (column j at cols + j * stride, the
// rows padded with zeros to a multiple of four, which change nothing), so
// that the sums over rows and the updates run four rows per step.
typedef double V4 __attribute__((vector_size(32)));

// Always inlined: the AVX2 clone must not call a baseline copy, which
// passes four-lane vectors in memory where the clone expects registers.
[[gnu::always_inline]] inline V4 LoadV4(const double* p) {
    V4 out;
    std::memcpy(&out, p, sizeof out);
    return out;
}
[[gnu::always_inline]] inline void StoreV4(double* p, V4 x) { std::memcpy(p, &x, sizeof x); }
[[gnu::always_inline]] inline double TotalV4(V4 x) { return (x[0] + x[1]) + (x[2] + x[3]); }

template <int M, int W>
[[gnu::always_inline]] inline void ReflectColumns(double (*r)[LsqFactor::kWidth], double* rss, double* cols,
                                                  std::size_t stride, std::size_t rows) {
    for (int k = 0; k < M; ++k) {
        // s[j] = sum over the block of b[i][k] * b[i][j]; s[k] is the squared
        // norm of what column k still has below the triangle.
        double* ck = cols + k * stride;
        V4 acc[W] = {};
        for (std::size_t i = 0; i < rows; i += 4) {
            const V4 a = LoadV4(ck + i);
            for (int j = k; j < W; ++j) acc[j] += a * LoadV4(cols + j * stride + i);
        }
        double s[W] = {};
        for (int j = k; j < W; ++j) s[j] = TotalV4(acc[j]);
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
        // Column k is not read again (it is zero now in exact arithmetic):
        // it keeps the reflection's scaled vector for the update.
        for (std::size_t i = 0; i < rows; i += 4) StoreV4(ck + i, LoadV4(ck + i) * inv);
        for (int j = k + 1; j < W; ++j) {
            double* cj = cols + j * stride;
            const double wj = w[j];
            for (std::size_t i = 0; i < rows; i += 4) StoreV4(cj + i, LoadV4(cj + i) - wj * LoadV4(ck + i));
        }
    }
    // What is left of the right-hand sides is these rows' share of the residual.
    for (int j = M; j < W; ++j) {
        const double* cj = cols + j * stride;
        V4 acc = {};
        for (std::size_t i = 0; i < rows; i += 4) {
            const V4 b = LoadV4(cj + i);
            acc += b * b;
        }
        rss[j - M] += TotalV4(acc);
    }
}

// Up to this many rows are reflected at once, from a copy held column by
// column on the stack (24 KiB).
constexpr std::size_t kColumnRows = 256;

// Copies count (<= kColumnRows) rows of W values into columns, padded with
// zero rows to a multiple of four; the padded row count.
template <int W>
[[gnu::always_inline]] inline std::size_t ToColumns(const double* rows, std::size_t count, double* cols) {
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t i = 0; i < count; ++i)
        for (int j = 0; j < W; ++j) cols[j * kColumnRows + i] = rows[i * LsqFactor::kWidth + j];
    for (std::size_t i = count; i < padded; ++i)
        for (int j = 0; j < W; ++j) cols[j * kColumnRows + i] = 0.0;
    return padded;
}

template <int M, int W>
[[gnu::always_inline]] inline void ReflectBlock(double (*r)[LsqFactor::kWidth], double* rss, const double* rows,
                                                std::size_t count) {
    alignas(64) double cols[W * kColumnRows];
    for (std::size_t done = 0; done < count; done += kColumnRows) {
        const std::size_t n = std::min(kColumnRows, count - done);
        const std::size_t padded = ToColumns<W>(rows + done * LsqFactor::kWidth, n, cols);
        ReflectColumns<M, W>(r, rss, cols, kColumnRows, padded);
    }
}

// One entry point per system shape.  Where the processor has AVX2 the
// loops above run four rows per instruction; the choice is made once,
// when the library is loaded.  Neither copy fuses a multiply and an add,
// so both give the same bits.
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
