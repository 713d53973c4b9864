// PreparedTransform.h - one direction of a fitted model, made ready for fast
// one-point conversions.
//
// Prepare() folds the normalisation into the coefficients where that is
// numerically safe (scales always; centres only for the affine and similarity
// maps, whose terms stay small), so Apply() is a handful of multiply-adds with
// no allocation, no virtual call and no refit.  The prepared state is a
// snapshot: later edits of the group do not change it.
//
// Backward conversion of polynomials of order 2 and 3 and of the thin plate
// spline stays the exact inverse of the forward model.  Prepare() tabulates
// that inverse over the points' frame in cubic cells (InverseCells).  For
// the polynomials every cell is checked against the exact inverse when it
// is built, and a point in a checked cell is converted by evaluating that
// cell's cubic: within InverseCells::kTolerancePx of the exact inverse, at
// the cost of a forward conversion.  Elsewhere (outside the frame, in a cell
// that failed its check) and for the spline, the cell's cubic seeds Newton
// iteration; a point where undamped steps do not reach the arithmetic's
// limit (near a fold, far outside) takes the damped iteration of Model.
// The spline stops after one Newton step when the step is so short that
// the kernels' second derivatives bound what it leaves below the tolerance.
//
// Prepared with a tolerance looser than InverseCells::kTolerancePx (bulk
// work that accepts, say, 1e-3 px), the cells are checked against that
// tolerance instead, the spline's included, and answer wherever they pass;
// the spline's Newton iteration stops at that tolerance too.  Every
// backward result then lies within the tolerance of the exact inverse.
#ifndef MORVANE_TIEMARK_PREPAREDTRANSFORM_H
#define MORVANE_TIEMARK_PREPAREDTRANSFORM_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Conditioning.h"
#include "InverseCells.h"
#include "Model.h"

namespace tiemark {

class PreparedTransform {
public:
    bool Active() const { return Kind != None; }
    // tolerancePx: pixels the backward results may lie from the exact
    // inverse, 0 or more and finite (the caller checks); up to
    // InverseCells::kTolerancePx it changes nothing.
    long Prepare(const Model& model, bool forward, double tolerancePx = 0.0);
    void Release();

    // Inline so that the one-point call of CCtrlPntSet compiles to a few
    // multiply-adds; the iterative kinds go out of line.
    long Apply(double in1, double in2, double* out1, double* out2) const {
        if (out1 == nullptr || out2 == nullptr) return TM_ERR_ARGUMENT;
        double x, y;
        const double du = in1 - InX0, dv = in2 - InY0;
        switch (Kind) {
            case Affine:
                x = OutX0 + Cx[1] * du + Cx[2] * dv;
                y = OutY0 + Cy[1] * du + Cy[2] * dv;
                break;
            case Poly2:
                x = OutX0 + EvalPoly2(Cx, du, dv);
                y = OutY0 + EvalPoly2(Cy, du, dv);
                break;
            case Poly3:
                x = OutX0 + EvalPoly3(Cx, du, dv);
                y = OutY0 + EvalPoly3(Cy, du, dv);
                break;
            case Projective: {
                double w = Hp[6] * du + Hp[7] * dv + Hp[8];
                if (!(w > kMinProjectiveDenominator)) return Refusal(in1, in2);
                x = OutX0 + (Hp[0] * du + Hp[1] * dv + Hp[2]) / w;
                y = OutY0 + (Hp[3] * du + Hp[4] * dv + Hp[5]) / w;
                break;
            }
            case CellInverse:
                if (Cells.Lookup(in1, in2, &x, &y)) break;
                return ApplyIterative(in1, in2, out1, out2);
            case None: return TM_ERR_STATE;
            default: return ApplyIterative(in1, in2, out1, out2);
        }
        if (!std::isfinite(x) || !std::isfinite(y)) return Refusal(in1, in2);
        *out1 = x;
        *out2 = y;
        return TM_OK;
    }
    long Batch(const double* in, double* out, std::size_t count) const;

    // Polynomial terms above the constant, coefficients in the order of
    // Model, nested so that every term costs one multiply-add.  Public so
    // that the batch loops evaluate exactly the same expressions.
    static double EvalPoly2(const double* c, double du, double dv) {
        return du * (c[1] + c[3] * du + c[4] * dv) + dv * (c[2] + c[5] * dv);
    }
    static double EvalPoly3(const double* c, double du, double dv) {
        return du * (c[1] + du * (c[3] + c[6] * du + c[7] * dv) + dv * (c[4] + c[8] * dv)) +
               dv * (c[2] + dv * (c[5] + c[9] * dv));
    }
private:
    static long Refusal(double in1, double in2) {
        return std::isfinite(in1) && std::isfinite(in2) ? TM_ERR_OUTSIDE : TM_ERR_NOT_FINITE;
    }
    long ApplyIterative(double in1, double in2, double* out1, double* out2) const;
    // Seeded undamped Newton from user (X, Y), normalised (x, y); false when
    // it does not reach the tolerance within a few steps.
    template <int Order>
    bool SeededNewton(double X, double Y, double x, double y, double* u, double* v) const;
    // Whether the spline's Newton step d from a point with Jacobian j leaves
    // an error below the tolerance (see the definition).
    bool SplineStepSuffices(const double j[4], double det, double u, double v, double d2) const;
    // The same from the curvature met near the point itself: the fused
    // pass's curvature and nearest2 at the step's start (see the definition).
    bool SplineStepBounded(const double j[4], double det, double d2, double curvature,
                           double nearest2) const;
    // Model::EvalWithJacobian of the spline at normalised (u, v), with the
    // bound terms of SplineKernelSumBounded.
    void SplineEvalBounded(double u, double v, double* x, double* y, double j[4],
                           double* curvature, double* nearest2) const;
    long SeededBackward(double userX, double userY, double* pixelX, double* pixelY) const;

    enum KindT { None, Affine, Poly2, Poly3, Projective, CellInverse, Newton, Tps };
    KindT Kind = None;
    double InX0 = 0.0, InY0 = 0.0;    // input centre, subtracted first
    double OutX0 = 0.0, OutY0 = 0.0;  // output centre, added last
    double Cx[10] = {}, Cy[10] = {};  // folded polynomial / affine coefficients
    double Hp[9] = {};                // folded projective
    Model Source;                     // for Newton and the thin plate spline
    bool Forward = true;
    // Backward: the tabulated inverse, and the seeded iteration's use of it.
    InverseCells Cells;
    bool HasSeed = false;
    double InvUserScale = 1.0;
    // Thin plate spline: sum of |weights| over both outputs, largest |centre|,
    // and the tolerance in normalised units, for SplineStepSuffices.
    double SplineWeightSum = 0.0, SplineCentreReach = 0.0, SplineTolerance = 0.0;
    std::vector<double> SplineWeightAbs;  // |wx_i| + |wy_i| per centre
};

}  // namespace tiemark

#endif
