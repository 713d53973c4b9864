// SplineKernel.cpp - blocked, vectorised kernel sums.
#include "SplineKernel.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>

namespace tiemark {

namespace {
constexpr std::size_t kBlock = 256;
// log(d2) at d2 = 0 would be -inf; any tiny positive floor makes the
// kernel and its gradient 0 there, as their limits are.
constexpr double kTiny = std::numeric_limits<double>::min();
}  // namespace

double SplineKernel(double d2) { return d2 > 0.0 ? 0.5 * d2 * std::log(d2) : 0.0; }

void SplineKernelSum(const double* cu, const double* cv, const double* wx, const double* wy,
                     std::size_t n, double u, double v, double* sumX, double* sumY, double grad[4]) {
    using Block = Eigen::Array<double, Eigen::Dynamic, 1, 0, kBlock, 1>;
    double sx = 0.0, sy = 0.0, g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const Eigen::Index len = static_cast<Eigen::Index>(std::min(kBlock, n - start));
        Eigen::Map<const Eigen::ArrayXd> U(cu + start, len), V(cv + start, len);
        Eigen::Map<const Eigen::ArrayXd> WX(wx + start, len), WY(wy + start, len);
        Block du = u - U;
        Block dv = v - V;
        Block d2 = (du.square() + dv.square()).max(kTiny);
        Block logd2 = d2.log();
        Block phi = 0.5 * d2 * logd2;
        sx += (phi * WX).sum();
        sy += (phi * WY).sum();
        if (grad != nullptr) {
            Block dphi = logd2 + 1.0;  // d phi / du = (u - u_i)(log d2 + 1)
            Block gu = du * dphi, gv = dv * dphi;
            g0 += (gu * WX).sum();
            g1 += (gv * WX).sum();
            g2 += (gu * WY).sum();
            g3 += (gv * WY).sum();
        }
    }
    *sumX = sx;
    *sumY = sy;
    if (grad != nullptr) grad[0] = g0, grad[1] = g1, grad[2] = g2, grad[3] = g3;
}

}  // namespace tiemark
