// Model.h - one fitted transformation from pixel/line to user coordinates.
//
// All types work in normalised coordinates: pixel positions are centred and
// scaled, u = (pixelX - PixelX0) / PixelScale (likewise v), and user
// coordinates are X = UserX0 + UserScale * x with x the model's output.  The
// model's coefficients are in those units.  Forward maps pixel/line to user,
// Backward is the exact inverse of the same model: closed form for the
// affine, similarity and projective types, Newton iteration for polynomials
// of order 2 and 3 and the thin plate spline.
//
// Monomial order of the polynomial coefficients (a prefix for lower orders):
//   1, u, v, u^2, uv, v^2, u^3, u^2 v, u v^2, v^3.
#ifndef MORVANE_TIEMARK_MODEL_H
#define MORVANE_TIEMARK_MODEL_H

#include <vector>

#include "CtrlPntSet.h"

namespace tiemark {

struct Normalisation {
    double PixelX0 = 0.0, PixelY0 = 0.0, PixelScale = 1.0;
    double UserX0 = 0.0, UserY0 = 0.0, UserScale = 1.0;
    // The used points' pixel extent in normalised units (within [-1, 1]);
    // the whole square where it is not known.  The backward table covers it.
    double PixelLo[2] = {-1.0, -1.0}, PixelHi[2] = {1.0, 1.0};
};

// Number of polynomial terms of order 1, 2, 3.
constexpr int PolyTerms(int order) { return (order + 1) * (order + 2) / 2; }

class Model {
public:
    short Type = TM_TRANS_POLY1;
    Normalisation Norm;
    // Polynomials: CoefX/CoefY[PolyTerms(order)].  Affine and similarity use
    // the first three; the similarity has CoefX = (tx, a, -b), CoefY = (ty, b, a),
    // or mirrored CoefX = (tx, a, b), CoefY = (ty, b, -a).
    double CoefX[10] = {};
    double CoefY[10] = {};
    // Projective: x = (H0 u + H1 v + H2) / (H6 u + H7 v + H8), y with H3..H5.
    double H[9] = {};
    // Thin plate spline: centres in normalised pixel units, kernel weights,
    // and the affine part in CoefX/CoefY[0..2].
    std::vector<double> CentreU, CentreV, WeightX, WeightY;

    // Inverse of the linear part, a seed for the Newton iteration and the
    // closed-form inverse of the affine and similarity types: u = Inv * (x - c).
    double Inv[4] = {};
    double CentreX = 0.0, CentreY = 0.0;  // the model's output at the centre (u, v) = 0
    double HInv[9] = {};                  // projective: the inverse homography

    // pixel/line -> user
    long Forward(double pixelX, double pixelY, double* userX, double* userY) const;
    // user -> pixel/line
    long Backward(double userX, double userY, double* pixelX, double* pixelY) const;

    // Residuals of one point: r[0], r[1] user units (fitted - stored), r[2],
    // r[3] pixels (backward of stored user - stored pixel).
    long PointResidual(const _CtrlPntStrcT& p, double r[4]) const;

    // Bounding box (minX, minY, maxX, maxY) of the rectangle (x0,y0)-(x1,y1)
    // mapped forward, the edges sampled densely enough for the type.
    long FrameRange(double x0, double y0, double x1, double y1, double range[4]) const;

    // Solves EvalNormalised(u, v) = (x, y), all normalised units, by damped
    // Newton steps (NewtonInverse.h) from (*u, *v) as given.  TM_OK with the
    // solution in (*u, *v): misfit within kNewtonTolerance of |(1, x, y)|,
    // or where the arithmetic stops short of that, within
    // kNewtonAcceptance.  TM_ERR_NO_CONVERGE otherwise (both unchanged).
    long SolveDamped(double x, double y, double* u, double* v) const;

    // Sets Inv from the linear part; false when it is not invertible.
    bool PrepareInverse();

    // Normalised evaluation: (u, v) -> (x, y), and with the Jacobian.
    void EvalNormalised(double u, double v, double* x, double* y) const;
    void EvalWithJacobian(double u, double v, double* x, double* y, double jac[4]) const;

private:
    long NewtonBackward(double x, double y, double* u, double* v) const;
    long PolyFrameRange(double x0, double y0, double x1, double y1, double range[4]) const;
    void SplineFrameRange(double u0, double v0, double u1, double v1, double out[4]) const;
};

}  // namespace tiemark

#endif
