// Uncertainty.h - the predicted standard error of a converted position.
//
// Least-squares types: the parameters' covariance is s^2 (A^T A)^-1 =
// s^2 R^-1 R^-T, with s^2 the residual sum of squares over its degrees of
// freedom (2 N - parameters): the noise of the user coordinates as the
// residuals show it.  At a pixel position the converted position (x, y)
// has the covariance G R^-1 R^-T G^T = (R^-T G^T)^T (R^-T G^T), with G the
// derivatives of (x, y) by the parameters: the design rows of that
// position (for the projective type divided by its denominator, the rows'
// x and y being the fitted ones).  Exact for the polynomials and the
// similarity under independent noise of equal variance on the user
// coordinates; to first order for the projective type, whose fit weighs
// each point by its denominator.  The polynomials' x and y share one
// design, so their ellipse is a circle.
//
// Thin plate spline: it passes through every point, so it has no residuals
// to show the noise and no parameter covariance to carry it.  Its estimate
// is empirical: the covariance of the leave-one-out residuals of the six
// used points nearest the position, each weighted by the inverse of its
// squared distance (plus a tenth of the mean point spacing squared, so
// that a point's own weight stays finite).  It says how well the spline
// predicts in that neighbourhood where it has no point.
#ifndef MORVANE_TIEMARK_UNCERTAINTY_H
#define MORVANE_TIEMARK_UNCERTAINTY_H

#include <vector>

#include "CrossValidation.h"
#include "CtrlPntSet.h"
#include "FitCache.h"

namespace tiemark {

struct PositionError {
    double Cov[3] = {0.0, 0.0, 0.0};  // var x, cov xy, var y, user units squared
};

// The covariance at pixel position (pixelX, pixelY) under the fit of
// points; loo: their leave-one-out figures (used by the spline only).
long PredictPositionError(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points,
                          const std::vector<LooPoint>& loo, double pixelX, double pixelY, PositionError* out);

// Semi-axes (major first) and the angle of the major axis, radians
// counter-clockwise from the user X axis in (-pi/2, pi/2], of the ellipse
// of covariance cov.
void EllipseOf(const double cov[3], double* major, double* minor, double* angle);

}  // namespace tiemark

#endif
