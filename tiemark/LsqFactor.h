// LsqFactor.h - the R factor of a small least-squares system, grown row by row.
//
// Holds the upper-triangular R (Cols x Cols) of a QR factorisation of the
// design matrix A together with Q^T b for up to two right-hand sides, as one
// augmented Cols x (Cols + Rhs) block.  A row [a | b] is absorbed with Givens
// rotations in O(Cols^2), which keeps the factorisation backward stable
// (never forming A^T A).  Many rows at once are absorbed as a block with
// Householder reflections of [R; block]: the same factorisation, with the
// reflections' inner loops running across a row's columns, which vectorises
// (a row by row Givens sweep cannot).  Solving is a back substitution.  No
// allocation.
#ifndef MORVANE_TIEMARK_LSQFACTOR_H
#define MORVANE_TIEMARK_LSQFACTOR_H

#include <cstddef>

namespace tiemark {

class LsqFactor {
public:
    static constexpr int kMaxCols = 10;
    static constexpr int kMaxRhs = 2;
    static constexpr int kWidth = kMaxCols + kMaxRhs;

    void Reset(int cols, int rhs);
    int Cols() const { return NCols; }
    int Rhs() const { return NRhs; }
    std::size_t Rows() const { return NRows; }

    // Absorbs one row of Cols + Rhs values.
    void AddRow(const double* row);
    // Absorbs count rows of Cols + Rhs values, row-major with stride kWidth.
    // The rows are used as scratch and hold nothing useful afterwards.
    void AddRows(double* rows, std::size_t count);

    // Residual sum of squares of right-hand side j at the least-squares solution.
    double ResidualSumOfSquares(int j) const { return Rss[j]; }

    // 1-norm condition number of the leading k x k block of R; infinity
    // when it is singular.
    double Condition(int k) const;
    // Solution for right-hand side j into x[0..Cols-1]; false when R is singular.
    bool Solve(int j, double* x) const;

    // Entry (i, j) of the augmented block: R for j < Cols, Q^T b beyond.
    double At(int i, int j) const { return R[i][j]; }
    // q = R^-T a (forward substitution): ||q||^2 is the leverage of a row a
    // and R^-1 q the change of the solution it carries.  False when R is singular.
    bool SolveTransposed(const double* a, double* q) const;
    // x = R^-1 q (back substitution of the triangle alone).
    bool SolveUpper(const double* q, double* x) const;

private:
    int NCols = 0;
    int NRhs = 0;
    std::size_t NRows = 0;
    double R[kMaxCols][kWidth] = {};
    double Rss[kMaxRhs] = {};
};

}  // namespace tiemark

#endif
