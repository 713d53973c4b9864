// SplineSystem.h - the factorised linear system of an interpolating thin
// plate spline, extendable by one centre at a time in O(N^2).
//
// The system for centres c_1..c_N (normalised pixel positions) is the
// symmetric saddle-point matrix
//     M = [ K   P ]    K_ij = phi(|c_i - c_j|),  P_i = (1, u_i, v_i),
//         [ P^T 0 ]
// solved for the kernel weights and the affine part of both user
// coordinates.  Factor() solves the base system by the null-space method:
// with P = Q [R; 0] (three Householder reflectors), the weights lie in the
// span of Q2, the last N-3 columns of Q, so that P^T w = 0 holds, and the
// remaining matrix Q2^T K Q2 is positive definite for distinct centres that
// are not all on one line (the kernel is conditionally positive definite):
// one Cholesky factorisation of it, N^3/3 flops, serves every right-hand
// side.  B = Q^T K Q is kept as its first three columns and, in place of its
// last N-3, the Cholesky factor.  Append() borders it with one more centre: with y = M^-1 c
// for the new column c, the new pivot is s = c^T y (the Schur complement),
// and every later solve runs through the base LU and the stored borders.
// The caller refits from scratch when a pivot is small or the borders
// outnumber the base centres, which bounds the work per appended centre by
// O(N^2) and keeps the growth of rounding errors in check.
//
// Order of unknowns: base centres, the three affine terms, appended centres.
#ifndef MORVANE_TIEMARK_SPLINESYSTEM_H
#define MORVANE_TIEMARK_SPLINESYSTEM_H

#include <Eigen/Dense>
#include <vector>

namespace tiemark {

class SplineSystem {
public:
    // Factorises the system of the given centres; false when it is singular
    // or its reciprocal condition estimate is below minRcond.
    bool Factor(const std::vector<double>& cu, const std::vector<double>& cv, double minRcond);

    // Solves M z = b for the system truncated to its first `borders` appended
    // centres; b and z have BaseCount() + 3 + borders rows.
    Eigen::VectorXd Solve(const Eigen::VectorXd& b, std::size_t borders) const;

    // Borders the system (currently `borders` long) with centre (u, v).
    // Returns false, changing nothing, when the new pivot is too small.
    // Fills the border's y and s for UpdateSolution.
    bool Append(double u, double v, std::size_t borders, double minPivot);

    // The inverse of the base system (no borders) where the leave-one-out
    // figures need it: its kernel block in a rotated frame (`rotated`,
    // N - 3 x N, for KernelInverseColumn) and its affine rows (3 x N).
    // Column i of M^-1 is the solution for a unit value at centre i, the
    // coefficients of the spline's i-th cardinal function.  O(2 N^3 / 3).
    void BaseInverse(Eigen::MatrixXd* rotated, Eigen::Matrix3Xd* affine) const;

    // Column i (0 <= i < N) of the kernel block of M^-1 from BaseInverse's
    // `rotated`: O(N).
    void KernelInverseColumn(const Eigen::MatrixXd& rotated, Eigen::Index i, Eigen::VectorXd* column) const;

    std::size_t BaseCount() const { return BaseU.size(); }
    std::size_t Borders() const { return Pivots.size(); }

    // Given the solution z (both coordinates, one column each) of the system
    // with `borders - 1` borders and the new right-hand side values, returns
    // the solution with the latest border: O(N).
    Eigen::MatrixX2d ExtendSolution(const Eigen::MatrixX2d& z, double x, double y, std::size_t borders) const;

private:
    Eigen::VectorXd Column(double u, double v, std::size_t borders) const;

    // w = w Q^T for the affine part's orthogonal factor Q (N x N).
    void ApplyQTransposeOnTheRight(Eigen::MatrixXd* w) const;

    // Solves the base system (BaseCount() + 3 unknowns) in place.
    void SolveBase(Eigen::Ref<Eigen::VectorXd> z) const;

    // Lower triangle: column 0..2 hold B's first three columns, the rest
    // the Cholesky factor L of B's trailing block.
    Eigen::MatrixXd Reduced;
    Eigen::HouseholderQR<Eigen::Matrix<double, Eigen::Dynamic, 3>> AffineQR;  // of P
    std::vector<double> BaseU, BaseV;
    // One entry per appended centre.
    std::vector<double> ExtU, ExtV;
    std::vector<Eigen::VectorXd> Columns;  // c_j, length BaseCount() + 3 + j
    std::vector<Eigen::VectorXd> Ys;       // y_j = M_{j-1}^-1 c_j
    std::vector<double> Pivots;            // s_j = c_j^T y_j
};

}  // namespace tiemark

#endif
