// ReferenceFit.h - an independent, extended-precision fit of the comparison's
// control points, the yardstick when our library and GDAL disagree.
//
// Polynomials (type 1 to 3) are least-squares fits solved by column-pivoted
// Householder QR; the thin plate spline (type 6) solves its interpolation
// system by LU.  Everything is done in long double on centred, scaled image
// coordinates and centred map coordinates, which leaves the least-squares
// solution and the spline unchanged but keeps rounding far below the
// differences the comparison looks for.  Forward only: pixel/line in pixels
// to map X/Y in metres.
#ifndef MORVANE_BENCH_GDAL_REFERENCEFIT_H
#define MORVANE_BENCH_GDAL_REFERENCEFIT_H

#include <Eigen/Dense>

#include <vector>

#include "GcpSets.h"

namespace gdalcmp {

class ReferenceFit {
public:
    ReferenceFit(const std::vector<Gcp>& gcps, int type);

    void Forward(double pixel, double line, double* x, double* y) const;

private:
    using Real = long double;
    using Matrix = Eigen::Matrix<Real, Eigen::Dynamic, Eigen::Dynamic>;
    using Vector = Eigen::Matrix<Real, Eigen::Dynamic, 1>;

    // The fit's basis at one normalised image position: monomials for the
    // polynomials, the spline kernel at every centre then 1, u, v for the spline.
    Vector Basis(Real u, Real v) const;
    static Real Kernel(Real squaredDistance);

    int type_;
    Real centreU_ = 0, centreV_ = 0, scale_ = 1;
    Real centreX_ = 0, centreY_ = 0;
    std::vector<Real> nodesU_, nodesV_;  // spline centres, normalised
    Vector coefX_, coefY_;
};

}  // namespace gdalcmp

#endif
