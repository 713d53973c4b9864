// SplineCholesky.h - in-place Cholesky factorisation of the large symmetric
// positive definite matrix of the spline system.
//
// Right-looking and blocked: each panel of 128 columns is factorised and
// solved with Eigen, and the trailing update A22 -= A21 A21^T, which holds
// nearly all of the N^3/3 flops, runs in a packed 8 x 4 register-tiled
// kernel that uses AVX2/FMA where the processor has it (chosen at run time)
// and baseline x86-64 vectors otherwise.  Only the lower triangle is read;
// the strict upper triangle is scratch and left undefined.
#ifndef MORVANE_TIEMARK_SPLINECHOLESKY_H
#define MORVANE_TIEMARK_SPLINECHOLESKY_H

#include <Eigen/Dense>

namespace tiemark {

// Overwrites the lower triangle of `a` with L, a = L L^T.  False when a
// pivot is not positive and finite (the matrix is not positive definite);
// `a` is then partly overwritten.
bool CholeskyInPlace(Eigen::Ref<Eigen::MatrixXd> a);

// Estimate of the reciprocal condition number (1-norm) of L L^T, given L in
// the lower triangle of `l` and the 1-norm of the matrix before the
// factorisation.
double CholeskyRcond(const Eigen::Ref<const Eigen::MatrixXd>& l, double matrixNorm);

// Overwrites `s` (both triangles, m x m) with (L L^T)^-1, given L (m x m)
// in the lower triangle of `l`.  Blocked like the factorisation and through
// the same kind of kernel: the inverse of L and its Gram matrix, m^3 / 3
// flops each.
void InverseFromCholesky(const Eigen::Ref<const Eigen::MatrixXd>& l, Eigen::Ref<Eigen::MatrixXd> s);

}  // namespace tiemark

#endif
