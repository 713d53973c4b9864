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
// spline stays the exact inverse of the forward model (Newton iteration), but
// starts from a seed polynomial: an order-3 least-squares fit of the inverse
// map, made once by Prepare() from the forward model sampled on a grid over
// the points' normalised extent.  From that seed two or three undamped Newton
// steps reach the arithmetic's limit; a point where they do not (outside the
// sampled extent, near a fold) takes the damped iteration of Model instead.
#ifndef MORVANE_TIEMARK_PREPAREDTRANSFORM_H
#define MORVANE_TIEMARK_PREPAREDTRANSFORM_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "Conditioning.h"
#include "Model.h"

namespace tiemark {

class PreparedTransform {
public:
    bool Active() const { return Kind != None; }
    long Prepare(const Model& model, bool forward);
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
    // Fits SeedU/SeedV; false (no seed) when the sampled map is unusable.
    bool FitBackwardSeed();
    // Fits CellSeed from exact inverses; cells without a fit keep CellOk false.
    void FitSeedCells();
    // The seed (u, v) at the affine estimate (s, t).
    void Seed(double s, double t, double* u, double* v) const;
    // Seeded undamped Newton from normalised user (x, y); false when it does
    // not reach the tolerance within a few steps.
    template <int Order>
    bool SeededNewton(double x, double y, double* u, double* v) const;
    long SeededBackward(double userX, double userY, double* pixelX, double* pixelY) const;

    enum KindT { None, Affine, Poly2, Poly3, Projective, Newton, Tps };
    KindT Kind = None;
    double InX0 = 0.0, InY0 = 0.0;    // input centre, subtracted first
    double OutX0 = 0.0, OutY0 = 0.0;  // output centre, added last
    double Cx[10] = {}, Cy[10] = {};  // folded polynomial / affine coefficients
    double Hp[9] = {};                // folded projective
    Model Source;                     // for Newton and the thin plate spline
    bool Forward = true;
    // Backward seed: (u, v) = SeedU/SeedV polynomials of s = Source.Inv *
    // ((x, y) - Source.Centre), the affine inverse's estimate.
    bool HasSeed = false;
    double SeedU[10] = {}, SeedV[10] = {};
    // Per cell: u and v coefficients in local coordinates ((s, t) - centre)
    // * scale, then the centre's s and t and the scale.
    static constexpr int kSeedCells = 4;
    double CellSeed[kSeedCells * kSeedCells][23] = {};
    bool CellOk[kSeedCells * kSeedCells] = {};
    bool HasCells = false;
    double InvUserScale = 1.0;
};

}  // namespace tiemark

#endif
