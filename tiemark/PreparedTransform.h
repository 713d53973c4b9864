// PreparedTransform.h - one direction of a fitted model, made ready for fast
// one-point conversions.
//
// Prepare() folds the normalisation into the coefficients where that is
// numerically safe (scales always; centres only for the affine and similarity
// maps, whose terms stay small), so Apply() is a handful of multiply-adds with
// no allocation and no refit.  Prepare() also picks the conversion function
// once (one indirect call a point, no dispatch on the kind per point).  The
// affine and polynomial conversions use the portable arithmetic everywhere,
// no fused multiply-adds, one point and batch alike.  Only the tabulated
// inverse below (its cells' cubics) uses fused multiply-adds, on x86
// processors with AVX2 and FMA, one point and batch alike: its results may
// differ from the portable ones in the last bits, and the one-point and
// batch calls agree with each other to the bit.  The prepared state is a
// snapshot: later edits of the group do not change it.
//
// Backward conversion of polynomials of order 2 and 3 and of the thin plate
// spline stays the exact inverse of the forward model.  Prepare() tabulates
// that inverse over the points' frame in cubic cells (InverseCells), each
// built the first time a conversion falls into it.  For the polynomials
// every cell is checked against the exact inverse when it is built, and a
// point in a checked cell is converted by evaluating that cell's cubic:
// within InverseCells::kTolerancePx of the exact inverse, at about the cost
// of a forward conversion of order 3.  Elsewhere (outside the frame, in a cell
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
#include "CtrlPntSet.h"
#include "InverseCells.h"
#include "Model.h"

// The conversion a set's BeginTransform chose, as CCtrlPntSet::PointTransform
// (exported, so callers compile in nothing of it) finds it: one indirect
// call, no dispatch on the kind per point.  The affine and polynomial kinds
// also leave their terms here (InlineOrder 1 to 3; 0 for every other kind)
// and, on x86-64 with GCC or Clang, PointTransform evaluates them in place
// (tiemark::EvalPolynomialPair) instead of making a second call: the call
// alone costs as much as an affine conversion.  InlineTerms holds (x, y)
// pairs: the output centre, then the coefficients of du, dv, du^2, du dv,
// dv^2, du^3, du^2 dv, du dv^2 and dv^3, where (du, dv) is the input less
// InlineCentre.
struct TmPointConverter {
    long (*Convert)(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    int InlineOrder = 0;
    double InlineCentre[2] = {};
    alignas(16) double InlineTerms[20] = {};
};

#if (defined(__x86_64__) || defined(_M_X64)) && defined(__GNUC__)
#define TIEMARK_INLINE_POLYNOMIALS 1
#include <emmintrin.h>
#endif

namespace tiemark {

#if defined(TIEMARK_INLINE_POLYNOMIALS)
namespace pair_detail {
// A product kept apart from the sum it joins: a compiler allowed to fuse
// the two into one multiply-add (GCC with FMA enabled does by default)
// would change the last bits, and the one-point call and the batch loops
// must compute the same ones whatever flags the library is built with.
inline __m128d Product(__m128d a, __m128d b) {
    __m128d p = _mm_mul_pd(a, b);
    __asm__("" : "+x"(p));
    return p;
}
}  // namespace pair_detail

// The affine or polynomial conversion of c (InlineOrder 1 to 3) at pixel
// (in1, in2), both output axes side by side in the order of the portable
// arithmetic (EvalAxis in PreparedTransform.cpp, the batch's): x0 +
// (terms), the terms nested as Horner's rule in du.  Same bits as the
// batch.  Writes user (*out1, *out2) and returns TM_OK; TM_ERR_ARGUMENT for
// a null output, TM_ERR_NOT_FINITE for a non-finite input, TM_ERR_OUTSIDE
// when the result is not finite (outputs unchanged then).
[[gnu::always_inline]] inline long EvalPolynomialPair(const TmPointConverter& c, double in1, double in2,
                                                      double* out1, double* out2) {
    using pair_detail::Product;
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    const double* t = c.InlineTerms;
    const auto k = [t](int term) { return _mm_load_pd(t + 2 * term); };
    const __m128d du = _mm_set1_pd(in1 - c.InlineCentre[0]), dv = _mm_set1_pd(in2 - c.InlineCentre[1]);
    __m128d result;
    if (c.InlineOrder == 1) {
        result = _mm_add_pd(_mm_add_pd(k(0), Product(k(1), du)), Product(k(2), dv));
    } else if (c.InlineOrder == 2) {
        const __m128d a = _mm_add_pd(_mm_add_pd(k(1), Product(k(3), du)), Product(k(4), dv));
        const __m128d b = _mm_add_pd(k(2), Product(k(5), dv));
        result = _mm_add_pd(k(0), _mm_add_pd(Product(du, a), Product(dv, b)));
    } else {
        const __m128d a = _mm_add_pd(_mm_add_pd(k(3), Product(k(6), du)), Product(k(7), dv));
        const __m128d b = _mm_add_pd(k(4), Product(k(8), dv));
        const __m128d p = _mm_add_pd(_mm_add_pd(k(1), Product(du, a)), Product(dv, b));
        const __m128d q = _mm_add_pd(k(2), Product(dv, _mm_add_pd(k(5), Product(k(9), dv))));
        result = _mm_add_pd(k(0), _mm_add_pd(Product(du, p), Product(dv, q)));
    }
    // result - result is 0 in a finite lane and not a number otherwise.
    const __m128d zero = _mm_sub_pd(result, result);
    if (_mm_movemask_pd(_mm_cmpunord_pd(zero, zero)) != 0) [[unlikely]]
        return std::isfinite(in1) && std::isfinite(in2) ? TM_ERR_OUTSIDE : TM_ERR_NOT_FINITE;
    _mm_storel_pd(out1, result);
    _mm_storeh_pd(out2, result);
    return TM_OK;
}
#endif

// The TmPointConverter base is what CCtrlPntSet::PointTransform converts with.
class PreparedTransform : public TmPointConverter {
public:
    PreparedTransform() : TmPointConverter{&ApplyNone} {}
    bool Active() const { return Kind != None; }
    // tolerancePx: pixels the backward results may lie from the exact
    // inverse, 0 or more and finite (the caller checks); up to
    // InverseCells::kTolerancePx it changes nothing.
    long Prepare(const Model& model, bool forward, double tolerancePx = 0.0);
    void Release();

    // One indirect call to the conversion chosen at Prepare() for the kind
    // of model and the processor: no dispatch on the kind per point.
    long Apply(double in1, double in2, double* out1, double* out2) const {
        return Convert(this, in1, in2, out1, out2);
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
    // Tests: prepare the portable (baseline) conversions even where the
    // processor has FMA, to compare both paths.  Not for production use.
    static void UsePortablePathsForTesting(bool portable);
    // Tests: leave the AVX-512 batch of the cells unused even where the
    // processor has it, to test the AVX2 one beside it.  Not for production use.
    static void UseAvx2BatchForTesting(bool avx2);
    // Whether the prepared conversions use FMA (chosen at Prepare()).
    bool UsesFma() const { return Fma; }
private:
    // Every conversion below has the signature of TmPointConverter::Convert
    // (self is always a PreparedTransform) and starts with Self(self).
    static const PreparedTransform& Self(const TmPointConverter* self) {
        return *static_cast<const PreparedTransform*>(self);
    }
    // The affine and polynomial kinds (Order 1, 2, 3) where PointTransform
    // does not evaluate them in place, in the batch's arithmetic.
    template <int Order>
    static long ApplyPolynomial(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
#if defined(TIEMARK_INLINE_POLYNOMIALS)
    // EvalPolynomialPair, for callers of Apply.
    static long ApplyInline(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
#endif
    static long ApplyProjective(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    // The tabulated inverse (CellInverse): the portable arithmetic, or
    // fused multiply-adds where the processor has them (x86 only).
    template <bool Slow, bool Fused>
    static long ApplyCellsAny(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    static long ApplyCells(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    static long ApplyCellsFused(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    static long ApplyCellsSlow(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    static long ApplyCellsSlowFused(const TmPointConverter* self, double in1, double in2, double* out1,
                                    double* out2);
    template <bool Fused>
    bool CellLookup(double X, double Y, double* x, double* y) const;
    template <bool Fused>
    long CellMissAny(double userX, double userY, double* xy) const;
    long CellMiss(double userX, double userY, double* xy) const;
    long CellMissFused(double userX, double userY, double* xy) const;
    long BatchCellsAny(const double* in, double* out, std::size_t count) const;
    long BatchCells(const double* in, double* out, std::size_t count) const;
    long BatchCellsFused(const double* in, double* out, std::size_t count) const;
    static long ApplyOther(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    static long ApplyNone(const TmPointConverter* self, double in1, double in2, double* out1, double* out2);
    // Sets Kind and the conversion that goes with it.
    void SetKind(int kind);
    static long Finish(double in1, double in2, double x, double y, double* out1, double* out2) {
        // Marked so that the converted case runs straight through.
        if (!std::isfinite(x) || !std::isfinite(y)) [[unlikely]]
            return Refusal(in1, in2);
        *out1 = x;
        *out2 = y;
        return TM_OK;
    }
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
    // The spline's first step from the seed (*u, *v) towards normalised
    // (x, y), corrected for the curvature it crosses (see the definition):
    // Done with (*u, *v) the answer, Continue with them a better start for
    // the iteration, Failed where the iteration cannot start.  *misfit2:
    // the squared misfit at the seed.
    enum class CurvedStep { Done, Continue, Failed };
    CurvedStep SplineCurvedStep(double x, double y, double tolerance2, double* u, double* v,
                                double* misfit2) const;
    // Model::EvalWithJacobian of the spline at normalised (u, v), with the
    // bound terms of SplineKernelSumBounded.
    void SplineEvalBounded(double u, double v, double* x, double* y, double j[4],
                           double* curvature, double* nearest2) const;
    long SeededBackward(double userX, double userY, double* pixelX, double* pixelY) const;

    enum KindT { None, Affine, Poly2, Poly3, Projective, CellInverse, Newton, Tps };
    KindT Kind = None;
    bool Fma = false;                 // the affine, polynomial and cell kinds use FMA
    bool Avx512 = false;              // the cells' batch uses FindRunAvx512
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
    double SplineWeightSumX = 0.0, SplineWeightSumY = 0.0;  // sums of wx_i and of wy_i
    std::vector<double> SplineWeightAbs;  // |wx_i| + |wy_i| per centre
};

}  // namespace tiemark

#endif
