// SplineKernel.h - sums of thin plate spline kernels, phi(r) = r^2 log r.
//
// SplineKernelSum evaluates sum_i wx_i phi(|p - c_i|) (and the same with wy)
// at p = (u, v), and optionally its gradient grad = {dx/du, dx/dv, dy/du,
// dy/dv}.  SplineKernelColumn writes phi(|p - c_i|) for every centre, the
// column of the spline system that belongs to p.  Centres come as separate
// arrays of u and v (structure of arrays), so four centres run in one step
// (eight with AVX-512); the logarithm is computed with integer and
// polynomial operations that vectorise (below 1 ulp from the correctly
// rounded value, as std::log; the AVX-512 one, table-driven, within about
// 5e-16 absolute where |log| < 3 and 1 ulp beyond).  All use AVX-512, or
// else AVX2 and FMA, where the processor has them, chosen once at the first
// call; the plain path is the same code for 128-bit vectors.  No
// allocation.
#ifndef MORVANE_TIEMARK_SPLINEKERNEL_H
#define MORVANE_TIEMARK_SPLINEKERNEL_H

#include <cstddef>

namespace tiemark {

// phi(r) written in terms of d2 = r^2: 0.5 d2 log d2, and 0 at d2 = 0.
double SplineKernel(double d2);

void SplineKernelSum(const double* cu, const double* cv, const double* wx, const double* wy,
                     std::size_t n, double u, double v, double* sumX, double* sumY, double grad[4]);

// SplineKernelSum with the gradient, and what bounds the kernels' second
// derivatives near (u, v): *curvature = sum_i wabs_i |log d2_i| and
// *nearest2 = the least d2_i = |p - c_i|^2 (+inf when n = 0; a centre of
// zero weight, which bends nothing, may be left out), where the
// caller keeps wabs_i = |wx_i| + |wy_i| (so the pass need not form it).
// The sums and the gradient are the same, bit for bit, as SplineKernelSum's.
void SplineKernelSumBounded(const double* cu, const double* cv, const double* wx,
                            const double* wy, const double* wabs, std::size_t n, double u,
                            double v, double* sumX, double* sumY, double grad[4],
                            double* curvature, double* nearest2);

// SplineKernelSum with the gradient and the second derivatives, for a
// Newton step that allows for the curvature it crosses: hess = {d2x/du2,
// d2x/dudv, d2x/dv2, d2y/du2, d2y/dudv, d2y/dv2}, each within 2e-5 of
// sum_i |w_i| over its output (the term 2 dd^T / d2 uses an approximate
// reciprocal), *nearest2 as SplineKernelSumBounded's, and *spread = sum_i
// wabs_i / d2_i within a relative 1e-5.  The caller keeps wabs_i = |wx_i|
// + |wy_i| and the sums of wx and of wy.  The sums and the gradient are
// the same, bit for bit, as SplineKernelSum's.
void SplineKernelSumCurved(const double* cu, const double* cv, const double* wx, const double* wy,
                           const double* wabs, double sumWx, double sumWy, std::size_t n, double u,
                           double v, double* sumX, double* sumY, double grad[4], double hess[6],
                           double* nearest2, double* spread);

// out[i] = phi(|(u, v) - (cu[i], cv[i])|) for i < n.
void SplineKernelColumn(const double* cu, const double* cv, std::size_t n, double u, double v,
                        double* out);

// The copies of the kernels, for tests that run each one the processor
// has; Chosen is the one picked at the first call.
enum class SplineKernelPath { Chosen, Baseline, Avx2, Avx512 };

// Makes every later call of this process use `path`; false, and no change,
// when this build or processor has no such copy.  Not thread-safe.
bool SplineKernelUsePathForTesting(SplineKernelPath path);

}  // namespace tiemark

#endif
