// PreparedTransform.h - one direction of a fitted model, made ready for fast
// one-point conversions.
//
// Prepare() folds the normalisation into the coefficients where that is
// numerically safe (scales always; centres only for the affine and similarity
// maps, whose terms stay small), so Apply() is a handful of multiply-adds with
// no allocation, no virtual call and no refit.  The prepared state is a
// snapshot: later edits of the group do not change it.
#ifndef MORVANE_TIEMARK_PREPAREDTRANSFORM_H
#define MORVANE_TIEMARK_PREPAREDTRANSFORM_H

#include <cstddef>

#include "Model.h"

namespace tiemark {

class PreparedTransform {
public:
    bool Active() const { return Kind != None; }
    long Prepare(const Model& model, bool forward);
    void Release();

    long Apply(double in1, double in2, double* out1, double* out2) const;
    long Batch(const double* in, double* out, std::size_t count) const;

private:
    enum KindT { None, Affine, Poly2, Poly3, Projective, Newton, Tps };
    KindT Kind = None;
    double InX0 = 0.0, InY0 = 0.0;    // input centre, subtracted first
    double OutX0 = 0.0, OutY0 = 0.0;  // output centre, added last
    double Cx[10] = {}, Cy[10] = {};  // folded polynomial / affine coefficients
    double Hp[9] = {};                // folded projective
    Model Source;                     // for Newton and the thin plate spline
    bool Forward = true;
};

}  // namespace tiemark

#endif
