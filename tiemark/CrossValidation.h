// CrossValidation.h - leave-one-out residuals, leverage and influence of
// every point of a fitted group, exact and without refitting.
//
// The leave-one-out (prediction) residual of a used point is the residual it
// would have if the group were fitted without it: the error the fit makes
// where it has no point, which the residuals of the fit itself understate.
//
// Least-squares types: the fit is min ||A t - b|| with A's R factor kept by
// the fit.  For a point with design rows A_i (one row for the polynomials,
// two for the similarity and the projective type) and residual e_i, the fit
// without it is exactly (Sherman-Morrison-Woodbury)
//     t_(i) = t - R^-1 q (I - H_ii)^-1 e_i,   q = R^-T A_i^T,  H_ii = q^T q,
// O(m^2) per point.  The polynomials and the similarity do not depend on the
// normalisation the fit picks.  The projective fit does: its rows are the
// algebraic residuals x (h6 u + h7 v + h8) - (h0 u + h1 v + h2) with the
// denominator fixed to 1 at the centre of the used points, and that centre
// moves when a point leaves.  The new centre b enters as a change of
// variables, h8 = 1 - b.(h6, h7), which adds b times the right-hand side to
// the h6 and h7 columns; the factor follows with two Givens rotations before
// the downdate, so the result is the refit the library would make, exactly.
// The projective points go in batches through the equivalent constrained
// form instead (min ||B h|| with c^T h = 1, c moving with the centre),
// downdated on the fit's triangle bordered by its residual; the rotations
// remain for exact fits and near-singular downdates.
// The user residual is the left-out model at the stored pixel position, the
// pixel residual its exact inverse at the stored user position: one 2 x 2
// solve for the affine type; for orders 2 and 3 Newton steps on the offset
// from the stored pixel position, with the left-out polynomial written
// around it (its Taylor series ends, so misfit and gradient are exact from
// a few terms).
//
// Thin plate spline: for the interpolation system M z = [f; 0] the fit
// without centre i is M z' = [f; 0] - d e_i with z'_i = 0, so
// d = z_i / (M^-1)_ii, and row i then says the left-out spline predicts
// f_i - d there: the residual is -z_i / (M^-1)_ii.  The left-out spline
// itself is z - d M^-1 e_i: the full spline minus d times its i-th cardinal
// function, whose coefficients are column i of M^-1.  SplineSystem's
// BaseInverse gives that inverse (2 N^3 / 3 flops, through the kernels of
// the factorisation); a column costs O(N) from it.  The pixel residual is
// then the exact inverse of the left-out spline at the stored user
// position, Newton steps from the stored pixel position, where the misfit
// is the user residual already known.  The spline does not depend on the
// normalisation (a similarity of the pixel plane only adds an affine term).
//
// Check points (use flag off) were never in the fit: their residuals are the
// ordinary ones and their leverage is that of their position.
#ifndef MORVANE_TIEMARK_CROSSVALIDATION_H
#define MORVANE_TIEMARK_CROSSVALIDATION_H

#include <vector>

#include "CtrlPntSet.h"
#include "FitCache.h"

namespace tiemark {

struct LooPoint {
    double User[2] = {0.0, 0.0};   // user units: left-out prediction minus stored
    double Pixel[2] = {0.0, 0.0};  // pixels: left-out inverse of stored user minus stored pixel
    double Leverage = 0.0;         // share of the fit the point's own value carries, 0..1
    double Influence = 0.0;        // Cook's distance; spline: squared residual over the mean
    long Status = TM_OK;           // TM_ERR_TOO_FEW / TM_ERR_DEGENERATE: no fit without it
};

// Fills out with one entry per point (in order).  fit must hold a solved fit
// of points (FitCache::Ensure returned TM_OK).  Returns TM_OK, or the reason
// no diagnostics exist at all.
long LeaveOneOut(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out);

// Root mean square of the leave-one-out residual vectors over the used
// points (user units, pixels).  TM_ERR_DEGENERATE when a used point has none.
long PredictionRms(const std::vector<_CtrlPntStrcT>& points, const std::vector<LooPoint>& loo, double rms[2]);

// Solves model(u, v) = (x, y) in normalised units by damped Newton steps
// from (u, v) as given; false when it does not converge there.
bool InvertFrom(const Model& model, double x, double y, double* u, double* v);

}  // namespace tiemark

#endif
