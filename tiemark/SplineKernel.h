// SplineKernel.h - sums of thin plate spline kernels, phi(r) = r^2 log r.
//
// SplineKernelSum evaluates sum_i wx_i phi(|p - c_i|) (and the same with wy)
// at p = (u, v), and optionally its gradient grad = {dx/du, dx/dv, dy/du,
// dy/dv}.  The work runs in fixed-size blocks on the stack with vectorised
// logarithms: no allocation.
#ifndef MORVANE_TIEMARK_SPLINEKERNEL_H
#define MORVANE_TIEMARK_SPLINEKERNEL_H

#include <cstddef>

namespace tiemark {

// phi(r) written in terms of d2 = r^2: 0.5 d2 log d2, and 0 at d2 = 0.
double SplineKernel(double d2);

void SplineKernelSum(const double* cu, const double* cv, const double* wx, const double* wy,
                     std::size_t n, double u, double v, double* sumX, double* sumY, double grad[4]);

}  // namespace tiemark

#endif
