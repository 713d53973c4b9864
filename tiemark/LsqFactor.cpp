// LsqFactor.cpp - Givens updates, back substitution and condition numbers.
#include "LsqFactor.h"

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

void LsqFactor::SetTriangle(const double* rows, int count, std::size_t totalRows, const double* rss) {
    for (auto& row : R) std::fill(row, row + kWidth, 0.0);
    for (int j = 0; j < NRhs; ++j) Rss[j] = rss[j];
    const int width = NCols + NRhs;
    for (int i = 0; i < std::min(count, NCols); ++i)
        for (int j = i; j < width; ++j) R[i][j] = rows[i * kWidth + j];
    NRows = totalRows;
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

}  // namespace tiemark
