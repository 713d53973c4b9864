// PreparedTransform.cpp - folded coefficients and the one-point fast path.
#include "PreparedTransform.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>

#include "Conditioning.h"
#include "CpuDispatch.h"
#include "NewtonInverse.h"
#include "SplineKernel.h"

#if MORVANE_X86_DISPATCH
#include <immintrin.h>
#endif

namespace tiemark {

namespace {
// u^i v^j degree of each polynomial coefficient.
constexpr int kDegree[10] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3};

// Undamped Newton evaluations from the seed before giving way to the damped
// iteration; a seed within 1e-3 of the answer needs four.
constexpr int kSeededEvaluations = 5;
// The spline's iteration stops when its error is bounded by this many pixels:
// a tenth of what the cells of the polynomials promise, so that a position
// converted back and forth moves by well under 1e-7 of a map unit.
constexpr double kSplineTolerancePx = 1e-7;
// A longer step than this (normalised units) rarely leaves a misfit small
// enough to stop at, so the spline evaluates the gradient there at once.
constexpr double kConfirmStep2 = 1e-11;

// f(u + du, v + dv) - f(u, v) - J(u, v) (du, dv) for a polynomial of order 2
// or 3: the misfit a Newton step from (u, v) leaves, known exactly from the
// step itself because the polynomial's Taylor series ends.
template <int Order>
inline double PolyRemainder(const double* c, double u, double v, double du, double dv) {
    const double uu = du * du, uv = du * dv, vv = dv * dv;
    double r = uu * c[3] + uv * c[4] + vv * c[5];
    if constexpr (Order == 3) {
        r += uu * (3.0 * c[6] * u + c[7] * v + c[6] * du + c[7] * dv) +
             uv * (2.0 * c[7] * u + 2.0 * c[8] * v) +
             vv * (c[8] * u + 3.0 * c[9] * v + c[8] * du + c[9] * dv);
    }
    return r;
}

// Jacobians better conditioned than about 1e3 solve a Newton step to a few
// ulps of the misfit, so the remainder above is the misfit after the step.
inline bool SolvesAccurately(const double j[4], double det) {
    const double norm2 = j[0] * j[0] + j[1] * j[1] + j[2] * j[2] + j[3] * j[3];
    return det * det >= 1e-6 * norm2 * norm2;
}

// Bit 63 of the result is set exactly when d is infinite or not a number
// (all exponent bits set).  Integer and/add/or only, so loops that OR these
// flags together vectorise with the baseline instruction set.
inline std::uint64_t NonFiniteFlag(double d) {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
    return (std::bit_cast<std::uint64_t>(d) & kExponent) + 0x0010000000000000ULL;
}
inline bool IsNonFinite(std::uint64_t flags) { return (flags >> 63) != 0; }

// The batch loops below are cloned for AVX2 (four lanes of 64 bits), chosen
// once when the library is loaded; the default clone uses the baseline
// vectors.
MORVANE_CLONE_AVX2 bool AnyNonFinite(const double* values,
                                                                    std::size_t count) {
    std::uint64_t flags = 0;
    for (std::size_t i = 0; i < count; ++i) flags |= NonFiniteFlag(values[i]);
    return IsNonFinite(flags);
}

// One output axis of the affine and polynomial conversions: the output
// centre x0 plus the terms above the constant (coefficients c, Model's
// order), as the nested products and sums of EvalPoly2/3, without fused
// multiply-adds.  The one-point calls (here and EvalPolynomialPair) and the
// batch evaluate these same expressions, so all give the same bits.
template <int Order>
inline double EvalAxis(double x0, const double* c, double du, double dv) {
    if constexpr (Order == 1) return x0 + c[1] * du + c[2] * dv;
    else if constexpr (Order == 2) return x0 + PreparedTransform::EvalPoly2(c, du, dv);
    else return x0 + PreparedTransform::EvalPoly3(c, du, dv);
}

// The batch loop of one order; the OR of the outputs' flags.
template <int Order>
inline std::uint64_t BatchLoop(double ix, double iy, double x0, double y0, const double* coefX,
                               const double* coefY, const double* in, double* out,
                               std::size_t count) {
    double cx[10], cy[10];  // local copies: the stores to out cannot change them
    std::copy(coefX, coefX + 10, cx);
    std::copy(coefY, coefY + 10, cy);
    std::uint64_t flags = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double du = in[2 * i] - ix, dv = in[2 * i + 1] - iy;
        const double x = EvalAxis<Order>(x0, cx, du, dv);
        const double y = EvalAxis<Order>(y0, cy, du, dv);
        out[2 * i] = x;
        out[2 * i + 1] = y;
        flags |= NonFiniteFlag(x) | NonFiniteFlag(y);
    }
    return flags;
}

// The portable loops are cloned for AVX2 (four lanes of 64 bits, no FMA),
// chosen once when the library is loaded; the default clone uses the
// baseline vectors.
MORVANE_CLONE_AVX2 std::uint64_t BatchPortable(int order, double ix, double iy, double x0, double y0,
                                               const double* cx, const double* cy, const double* in,
                                               double* out, std::size_t count) {
    switch (order) {
        case 1: return BatchLoop<1>(ix, iy, x0, y0, cx, cy, in, out, count);
        case 2: return BatchLoop<2>(ix, iy, x0, y0, cx, cy, in, out, count);
        default: return BatchLoop<3>(ix, iy, x0, y0, cx, cy, in, out, count);
    }
}

#if MORVANE_X86_DISPATCH
#define MORVANE_TARGET_FMA __attribute__((target("avx2,fma")))
bool gPortableForTesting = false;
bool gAvx2BatchForTesting = false;

#endif
}  // namespace

// ---- one-point conversions, one per kind --------------------------------

long PreparedTransform::ApplyNone(const TmPointConverter*, double, double, double* out1, double* out2) {
    return out1 == nullptr || out2 == nullptr ? TM_ERR_ARGUMENT : TM_ERR_STATE;
}

#if defined(TIEMARK_INLINE_POLYNOMIALS)
long PreparedTransform::ApplyInline(const TmPointConverter* self, double in1, double in2, double* out1,
                                    double* out2) {
    return EvalPolynomialPair(*self, in1, in2, out1, out2);
}
#endif

template <int Order>
[[gnu::always_inline]] inline long PreparedTransform::ApplyPolynomial(const TmPointConverter* self, double in1,
                                                                      double in2, double* out1, double* out2) {
    const PreparedTransform& t = Self(self);
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    const double du = in1 - t.InX0, dv = in2 - t.InY0;
    const double x = EvalAxis<Order>(t.OutX0, t.Cx, du, dv);
    const double y = EvalAxis<Order>(t.OutY0, t.Cy, du, dv);
    return Finish(in1, in2, x, y, out1, out2);
}

#if MORVANE_X86_DISPATCH
void PreparedTransform::UsePortablePathsForTesting(bool portable) { gPortableForTesting = portable; }
void PreparedTransform::UseAvx2BatchForTesting(bool avx2) { gAvx2BatchForTesting = avx2; }
#else
void PreparedTransform::UsePortablePathsForTesting(bool) {}
void PreparedTransform::UseAvx2BatchForTesting(bool) {}
#endif

long PreparedTransform::ApplyProjective(const TmPointConverter* self, double in1, double in2, double* out1,
                                        double* out2) {
    const PreparedTransform& t = Self(self);
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    const double du = in1 - t.InX0, dv = in2 - t.InY0;
    const double* h = t.Hp;
    const double w = h[6] * du + h[7] * dv + h[8];
    if (!(w > kMinProjectiveDenominator)) return Refusal(in1, in2);
    const double x = t.OutX0 + (h[0] * du + h[1] * dv + h[2]) / w;
    const double y = t.OutY0 + (h[3] * du + h[4] * dv + h[5]) / w;
    return Finish(in1, in2, x, y, out1, out2);
}

// The fast path reads built cells only and calls nothing, so that it needs
// no stack frame; the first conversion in a cell (which builds it) and
// those outside the verified cells go to the slow path, compiled with the
// same arithmetic.
template <bool Slow, bool Fused>
[[gnu::always_inline]] inline long PreparedTransform::ApplyCellsAny(const TmPointConverter* self, double in1,
                                                                    double in2, double* out1, double* out2) {
    const PreparedTransform& t = Self(self);
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    if constexpr (Slow) {
        double x, y;
        if (!t.CellLookup<Fused>(in1, in2, &x, &y)) return t.ApplyIterative(in1, in2, out1, out2);
        return Finish(in1, in2, x, y, out1, out2);
    } else {
        // A built cell's result is finite: straight to the outputs.
        if (!t.Cells.Find(in1, in2, out1, out2)) [[unlikely]]
            return t.Fma ? ApplyCellsSlowFused(self, in1, in2, out1, out2) : ApplyCellsSlow(self, in1, in2, out1, out2);
        return TM_OK;
    }
}

long PreparedTransform::ApplyCells(const TmPointConverter* self, double in1, double in2, double* out1,
                                   double* out2) {
    return ApplyCellsAny<false, false>(self, in1, in2, out1, out2);
}

[[gnu::noinline]] long PreparedTransform::ApplyCellsSlow(const TmPointConverter* self, double in1, double in2,
                                                         double* out1, double* out2) {
    return ApplyCellsAny<true, false>(self, in1, in2, out1, out2);
}

// The cell table's answer at user (X, Y), building its cell when needed,
// through the lookup of the path (Fused: the FMA path's).
template <bool Fused>
[[gnu::always_inline]] inline bool PreparedTransform::CellLookup(double X, double Y, double* x, double* y) const {
#if MORVANE_X86_DISPATCH
    if constexpr (Fused) return Cells.LookupFused(Source, X, Y, x, y);
#endif
    return Cells.Lookup(Source, X, Y, x, y);
}

// A point of a batch that the built cells do not answer: its cell built
// now, else the seeded iteration; the pixel position written to xy.
template <bool Fused>
[[gnu::always_inline]] inline long PreparedTransform::CellMissAny(double userX, double userY, double* xy) const {
    // The batches' runs stop at a non-finite pair (it is in no cell); it is
    // refused here.
    if (!std::isfinite(userX) || !std::isfinite(userY)) [[unlikely]] return TM_ERR_NOT_FINITE;
    double x, y;
    if (!CellLookup<Fused>(userX, userY, &x, &y)) {
        if (long rc = SeededBackward(userX, userY, &x, &y); rc != TM_OK) return rc;
    }
    xy[0] = x;
    xy[1] = y;
    return TM_OK;
}

[[gnu::noinline]] long PreparedTransform::CellMiss(double userX, double userY, double* xy) const {
    return CellMissAny<false>(userX, userY, xy);
}

// The answered points go straight from the cell to out; the rare miss
// is a call of its own, shared by both paths' loops.
[[gnu::always_inline]] inline long PreparedTransform::BatchCellsAny(const double* in, double* out,
                                                                    std::size_t count) const {
    for (std::size_t i = 0; i < count; ++i) {
        const double userX = in[2 * i], userY = in[2 * i + 1];
        if (Cells.Find(userX, userY, &out[2 * i], &out[2 * i + 1])) [[likely]]
            continue;
        if (long rc = CellMiss(userX, userY, out + 2 * i); rc != TM_OK) return rc;
    }
    return TM_OK;
}

long PreparedTransform::BatchCells(const double* in, double* out, std::size_t count) const {
    return BatchCellsAny(in, out, count);
}

#if MORVANE_X86_DISPATCH
// The cells' cubics with fused multiply-adds: a lookup's chain of
// dependent operations is most of its cost.
MORVANE_TARGET_FMA long PreparedTransform::ApplyCellsFused(const TmPointConverter* self, double in1, double in2,
                                                           double* out1, double* out2) {
    // ApplyCellsAny<false> with the lookup written for this target.
    const PreparedTransform& t = Self(self);
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    if (!t.Cells.FindFused(in1, in2, out1, out2)) [[unlikely]]
        return ApplyCellsSlowFused(self, in1, in2, out1, out2);
    return TM_OK;
}

[[gnu::noinline]] MORVANE_TARGET_FMA long PreparedTransform::ApplyCellsSlowFused(const TmPointConverter* self,
                                                                               double in1, double in2,
                                                                               double* out1, double* out2) {
    return ApplyCellsAny<true, true>(self, in1, in2, out1, out2);
}

[[gnu::noinline]] MORVANE_TARGET_FMA long PreparedTransform::CellMissFused(double userX, double userY,
                                                                         double* xy) const {
    return CellMissAny<true>(userX, userY, xy);
}

MORVANE_TARGET_FMA long PreparedTransform::BatchCellsFused(const double* in, double* out,
                                                           std::size_t count) const {
    // BatchCellsAny with the lookup written for this target, in runs; the
    // four points at which a run stops (one of them a miss), and the last
    // few, one at a time.
    for (std::size_t i = 0; i < count;) {
        i += Avx512 ? Cells.FindRunAvx512(in + 2 * i, out + 2 * i, count - i)
                    : Cells.FindRunFused(in + 2 * i, out + 2 * i, count - i);
        for (const std::size_t stop = std::min(i + 4, count); i < stop; ++i) {
            const double userX = in[2 * i], userY = in[2 * i + 1];
            if (Cells.FindFused(userX, userY, &out[2 * i], &out[2 * i + 1])) continue;
            if (long rc = CellMissFused(userX, userY, out + 2 * i); rc != TM_OK) return rc;
        }
    }
    return TM_OK;
}
#else
// Never called: Fma stays false without the x86 dispatch.
long PreparedTransform::ApplyCellsSlowFused(const TmPointConverter* self, double in1, double in2, double* out1,
                                            double* out2) {
    return ApplyCellsSlow(self, in1, in2, out1, out2);
}
#endif

long PreparedTransform::ApplyOther(const TmPointConverter* self, double in1, double in2, double* out1,
                                   double* out2) {
    const PreparedTransform& t = Self(self);
    if (out1 == nullptr || out2 == nullptr) [[unlikely]] return TM_ERR_ARGUMENT;
    return t.ApplyIterative(in1, in2, out1, out2);
}

void PreparedTransform::SetKind(int kind) {
    Kind = static_cast<KindT>(kind);
    Fma = false, Avx512 = false;
    InlineOrder = 0;
    switch (Kind) {
        case None: Convert = &ApplyNone; break;
        case Affine: Convert = &ApplyPolynomial<1>; break;
        case Poly2: Convert = &ApplyPolynomial<2>; break;
        case Poly3: Convert = &ApplyPolynomial<3>; break;
        case Projective: Convert = &ApplyProjective; break;
        case CellInverse: Convert = &ApplyCells; break;
        default: Convert = &ApplyOther; break;
    }
#if defined(TIEMARK_INLINE_POLYNOMIALS)
    // The polynomials evaluated in PointTransform itself, and here the same
    // evaluation for Apply (the batch's portable loops give the same bits).
    if (Kind == Affine || Kind == Poly2 || Kind == Poly3) {
        InlineOrder = Kind == Affine ? 1 : Kind == Poly2 ? 2 : 3;
        InlineCentre[0] = InX0, InlineCentre[1] = InY0;
        InlineTerms[0] = OutX0, InlineTerms[1] = OutY0;
        for (int k = 1; k < 10; ++k) InlineTerms[2 * k] = Cx[k], InlineTerms[2 * k + 1] = Cy[k];
        Convert = &ApplyInline;
    }
#endif
#if MORVANE_X86_DISPATCH
    if (Kind == CellInverse && !gPortableForTesting && CpuHasAvx2Fma()) {
        Fma = true;
        Avx512 = !gAvx2BatchForTesting && CpuHasAvx512();
        Convert = &ApplyCellsFused;
    }
#endif
}

void PreparedTransform::Release() {
    SetKind(None);
    HasSeed = false;
    Cells.Clear();
    SplineWeightAbs.clear();
    Source = Model();
}

template <int Order>
[[gnu::always_inline]] inline bool PreparedTransform::SeededNewton(double X, double Y, double x, double y,
                                                                    double* uOut, double* vOut) const {
    const Model& m = Source;
    NewtonPoint p;
    Cells.Seed(X, Y, &p.u, &p.v);
    const double tolerance2 = NewtonTolerance2(x, y);
    // The spline's bound terms at the current point, from its evaluations
    // after the curved first step (the pass at the seed is that step's own).
    double curvature = 0.0, nearest2 = -1.0;
    const auto eval = [&](double u, double v, NewtonPoint& at) {
        double fx, fy;
        if constexpr (Order == 0) {
            if (m.Type == TM_TRANS_TPS)
                SplineEvalBounded(u, v, &fx, &fy, at.j, &curvature, &nearest2);
            else
                m.EvalWithJacobian(u, v, &fx, &fy, at.j);
        } else {
            PolyWithGradient<Order>(m.CoefX, u, v, &fx, &at.j[0], &at.j[1]);
            PolyWithGradient<Order>(m.CoefY, u, v, &fy, &at.j[2], &at.j[3]);
        }
        at.u = u, at.v = v, at.rx = x - fx, at.ry = y - fy;
    };
    int steps = kSeededEvaluations - 1;
    bool started = false;
    if constexpr (Order == 0) {
        if (m.Type == TM_TRANS_TPS) {
            double seedMisfit2;
            switch (SplineCurvedStep(x, y, tolerance2, &p.u, &p.v, &seedMisfit2)) {
                case CurvedStep::Done:
                    *uOut = p.u;
                    *vOut = p.v;
                    return true;
                case CurvedStep::Failed: return false;
                case CurvedStep::Continue: break;
            }
            // The curved step was the first evaluation; the misfit must
            // shrink from the seed's on.
            eval(p.u, p.v, p);
            const double misfit2 = p.Misfit2();
            if (!(misfit2 <= tolerance2) && !(misfit2 < seedMisfit2)) return false;
            --steps;
            started = true;
        }
    }
    if (!started) eval(p.u, p.v, p);
    const auto shortcut = [&](const NewtonPoint& at, double du, double dv, double det) {
        if constexpr (Order == 0) {
            if (m.Type != TM_TRANS_TPS) return false;
            // Accept the step when the curvature met on it bounds what it
            // leaves (the bound of this point, else the cruder one of the
            // whole spline); else when the misfit it leaves, found without
            // the gradient (a cheaper pass over the centres), is small enough
            // taken back through J^-1 (twice its norm here).
            const double step2 = du * du + dv * dv;
            bool done = SplineStepBounded(at.j, det, step2, curvature, nearest2) ||
                        SplineStepSuffices(at.j, det, at.u, at.v, step2);
            if (!done && step2 < kConfirmStep2) {
                double gx, gy;
                m.EvalNormalised(at.u + du, at.v + dv, &gx, &gy);
                const double* j = at.j;
                const double jNorm = std::sqrt(j[0] * j[0] + j[1] * j[1] + j[2] * j[2] + j[3] * j[3]);
                done = 2.0 * jNorm * std::hypot(x - gx, y - gy) <= SplineTolerance * std::fabs(det);
            }
            return done;
        } else {
            // A polynomial's misfit after this step is known without
            // evaluating it again: accept on half the tolerance.
            const double ex = PolyRemainder<Order>(m.CoefX, at.u, at.v, du, dv);
            const double ey = PolyRemainder<Order>(m.CoefY, at.u, at.v, du, dv);
            return 4.0 * (ex * ex + ey * ey) <= tolerance2 && SolvesAccurately(at.j, det);
        }
    };
    if (NewtonSolve<NewtonStep::Full>(eval, shortcut, tolerance2, steps, p) != NewtonEnd::Converged) return false;
    *uOut = p.u;
    *vOut = p.v;
    return true;
}

// The spline's first step from a seed.  A plain Newton step d1 = J^-1 r
// from p0 leaves the misfit q = (d1^T Hx d1, d1^T Hy d1) / 2 + O(|d1|^3);
// the step d = d1 - J^-1 q takes that second-order term out too, and what
// it leaves is known from the same pass:
//   f(p0 + d) - x = (d^T H d - d1^T H d1) / 2 + R3
//                 = -e^T H (d + d1) / 2 + R3,     e = d1 - d,
// per output.  For phi = r^2 log r the third derivative along a unit
// direction is (6 c - 4 c^3) / r at most (c the cosine between the
// direction and p - centre), so |D3phi[d, d, d]| <= 2 sqrt(2) |d|^3 / r;
// while |d| <= r0 / 2 (r0 the nearest centre's distance) every centre's
// distance stays above half its r_i on the step, and the Taylor remainder
// is at most (1/6) 2 sqrt(2) |d|^3 (2 / r_i) < 0.95 |d|^3 / r_i per unit of
// weight, summed over every centre and both outputs' |weights| (bounded
// above by Cauchy-Schwarz from
// the pass's sum of |w| / r^2).  The pass's second derivatives may be off
// by 2e-5 of the weights' sum (its reciprocal is approximate), which adds
// 2e-5 sum |w| |d|^2 over both outputs.  As in
// SplineStepBounded the misfit becomes a position error through J^-1,
// twice its norm at p0.  From a seed within 1e-4 of the answer (the
// seeds are) the bound is far inside the tolerance: one pass over the
// centres instead of the two that a plain step and its check cost.
PreparedTransform::CurvedStep PreparedTransform::SplineCurvedStep(double x, double y, double tolerance2,
                                                                  double* u, double* v,
                                                                  double* misfit2) const {
    const Model& m = Source;
    double kx, ky, g[4], h[6], nearest2, spread;
    SplineKernelSumCurved(m.CentreU.data(), m.CentreV.data(), m.WeightX.data(), m.WeightY.data(),
                          SplineWeightAbs.data(), SplineWeightSumX, SplineWeightSumY,
                          m.CentreU.size(), *u, *v, &kx, &ky, g, h, &nearest2, &spread);
    const double fx = m.CoefX[0] + m.CoefX[1] * *u + m.CoefX[2] * *v + kx;
    const double fy = m.CoefY[0] + m.CoefY[1] * *u + m.CoefY[2] * *v + ky;
    const double j[4] = {m.CoefX[1] + g[0], m.CoefX[2] + g[1], m.CoefY[1] + g[2], m.CoefY[2] + g[3]};
    const double rx = x - fx, ry = y - fy;
    *misfit2 = rx * rx + ry * ry;
    if (*misfit2 <= tolerance2) return CurvedStep::Done;
    if (!(*misfit2 < std::numeric_limits<double>::infinity())) return CurvedStep::Failed;
    const double det = j[0] * j[3] - j[1] * j[2];
    if (!(std::fabs(det) > 0.0)) return CurvedStep::Failed;
    const double inv = 1.0 / det;
    const double d1u = (j[3] * rx - j[1] * ry) * inv, d1v = (j[0] * ry - j[2] * rx) * inv;
    // Half the quadratic forms of the outputs' second derivatives.
    const auto form = [&h](int k, double au, double av, double bu, double bv) {
        return 0.5 * (h[k] * au * bu + h[k + 1] * (au * bv + av * bu) + h[k + 2] * av * bv);
    };
    const double qx = form(0, d1u, d1v, d1u, d1v), qy = form(3, d1u, d1v, d1u, d1v);
    const double eu = (j[3] * qx - j[1] * qy) * inv, ev = (j[0] * qy - j[2] * qx) * inv;
    const double step2 = d1u * d1u + d1v * d1v;
    // A correction as long as half the step: the seed was too far for
    // the expansion to mean much; the plain step, and the iteration, go on.
    if (!(4.0 * (eu * eu + ev * ev) <= step2)) {
        *u += d1u, *v += d1v;
        return CurvedStep::Continue;
    }
    const double du = d1u - eu, dv = d1v - ev;
    *u += du, *v += dv;
    const double d2 = du * du + dv * dv;
    if (!(4.0 * d2 <= nearest2)) return CurvedStep::Continue;
    const double su = du + d1u, sv = dv + d1v;
    const double mx = form(0, eu, ev, su, sv), my = form(3, eu, ev, su, sv);
    const double d = std::sqrt(d2);
    // sum |w_i| / r_i <= sqrt(sum |w_i| * sum |w_i| / r_i^2) (Cauchy-Schwarz),
    // with room for the pass's approximate reciprocal.
    const double reach = std::sqrt(SplineWeightSum * spread * (1.0 + 1e-5));
    const double remainder = std::hypot(mx, my) + d2 * (0.95 * d * reach + 2e-5 * SplineWeightSum);
    const double inverseNorm = std::sqrt(j[0] * j[0] + j[1] * j[1] + j[2] * j[2] + j[3] * j[3]) *
                               std::fabs(inv);
    return 2.0 * inverseNorm * remainder <= SplineTolerance ? CurvedStep::Done : CurvedStep::Continue;
}

// Model::EvalWithJacobian of the spline, term for term, with the bound
// terms of the kernels' pass.
void PreparedTransform::SplineEvalBounded(double u, double v, double* x, double* y, double j[4],
                                          double* curvature, double* nearest2) const {
    const Model& m = Source;
    double kx, ky, g[4];
    SplineKernelSumBounded(m.CentreU.data(), m.CentreV.data(), m.WeightX.data(), m.WeightY.data(),
                           SplineWeightAbs.data(), m.CentreU.size(), u, v, &kx, &ky, g, curvature,
                           nearest2);
    *x = m.CoefX[0] + m.CoefX[1] * u + m.CoefX[2] * v + kx;
    *y = m.CoefY[0] + m.CoefY[1] * u + m.CoefY[2] * v + ky;
    j[0] = m.CoefX[1] + g[0], j[1] = m.CoefX[2] + g[1];
    j[2] = m.CoefY[1] + g[2], j[3] = m.CoefY[2] + g[3];
}

// The same remainder bounded point by point.  While |d| <= r0 / 2 (r0 the
// distance from p0 to a kernel's centre) every r on the step is within a
// factor of 2 of r0, so |log r| <= |log r0| + log 2 and one kernel's
// |D2phi[d, d]| <= |d|^2 (|log r0^2| + 2 log 2 + 3); with the weight
// (1 - tau) integrating to 1/2 and |R| <= |R_x| + |R_y|, the misfit after
// the step is at most |d|^2 / 2 (sum (|wx| + |wy|) |log r0^2| + 4.39 sum
// (|wx| + |wy|)).  The fused pass at p0 gives that sum and the nearest
// centre at almost no cost; a step that reaches halfway to a centre (a
// conversion at or next to a control point) is left to the bounds below.
bool PreparedTransform::SplineStepBounded(const double j[4], double det, double d2,
                                          double curvature, double nearest2) const {
    constexpr double kLogSlack = 4.3863;  // 2 log 2 + 3, rounded up
    if (!(4.0 * d2 <= nearest2)) return false;
    const double remainder = 0.5 * d2 * (curvature + kLogSlack * SplineWeightSum);
    const double inverseNorm = std::sqrt(j[0] * j[0] + j[1] * j[1] + j[2] * j[2] + j[3] * j[3]) /
                               std::fabs(det);
    return 2.0 * inverseNorm * remainder <= SplineTolerance;
}

// After a Newton step d from p0 the misfit left is the Taylor remainder
//   f(p0 + d) - f(p0) - J d = integral over tau in [0, 1] of
//                             (1 - tau) D2f(p0 + tau d)[d, d].
// The spline's affine part adds nothing; a kernel phi(r) = r^2 log r has
// second derivatives 2 log r + 1 and 2 log r + 3, so |D2phi[d, d]| <= |d|^2
// (2 |log r| + 3).  On the segment r >= |d| |tau - tau*| (tau* its closest
// approach to the centre) and r <= R = |p0| + |d| + max |centre|; with
// integral of -log|tau - tau*| at most 1 + log 2, the remainder of one
// kernel is at most |d|^2 (log(max(R, 1) / |d|) + 4.9) for |d| < 1, and the
// sum over kernels takes the sum of |weights|.  The remainder becomes a
// position error through J^-1; twice its norm at p0 allows for its change
// along the short step.
bool PreparedTransform::SplineStepSuffices(const double j[4], double det, double u, double v,
                                           double d2) const {
    constexpr double kMaxStep2 = 1e-6;  // |d| below 1e-3
    if (!(d2 < kMaxStep2)) return false;
    const double d = std::sqrt(d2);
    const double reach = std::max(1.0, std::sqrt(u * u + v * v) + d + SplineCentreReach);
    const double remainder = SplineWeightSum * d2 * (std::log(reach / d) + 5.0);
    const double inverseNorm = std::sqrt(j[0] * j[0] + j[1] * j[1] + j[2] * j[2] + j[3] * j[3]) /
                               std::fabs(det);
    return 2.0 * inverseNorm * remainder <= SplineTolerance;
}

// Never inlined: the cell kinds' fused copies call it too, and a copy
// compiled for FMA would give other bits than the one-point calls'.
[[gnu::noinline]] long PreparedTransform::SeededBackward(double userX, double userY, double* pixelX,
                                                         double* pixelY) const {
    const Normalisation& n = Source.Norm;
    const double x = (userX - n.UserX0) * InvUserScale;
    const double y = (userY - n.UserY0) * InvUserScale;
    double u, v;
    bool done;
    switch (Source.Type) {
        case TM_TRANS_POLY2: done = SeededNewton<2>(userX, userY, x, y, &u, &v); break;
        case TM_TRANS_POLY3: done = SeededNewton<3>(userX, userY, x, y, &u, &v); break;
        default: done = SeededNewton<0>(userX, userY, x, y, &u, &v); break;
    }
    if (!done) return Source.Backward(userX, userY, pixelX, pixelY);
    const double px = n.PixelX0 + n.PixelScale * u;
    const double py = n.PixelY0 + n.PixelScale * v;
    if (!std::isfinite(px) || !std::isfinite(py)) return TM_ERR_OUTSIDE;
    *pixelX = px;
    *pixelY = py;
    return TM_OK;
}

long PreparedTransform::Prepare(const Model& model, bool forward, double tolerancePx) {
    const Normalisation& n = model.Norm;
    Model source = model;  // allocations (spline centres, cells) come before any change
    InverseCells cells;
    const bool tabulated = !forward && (model.Type == TM_TRANS_POLY2 ||
                                        model.Type == TM_TRANS_POLY3 || model.Type == TM_TRANS_TPS);
    // A tolerance looser than the cells' own makes the spline's cells
    // worth checking too; a tighter one changes nothing.
    const bool loose = tolerancePx > InverseCells::kTolerancePx;
    const bool verify = model.Type != TM_TRANS_TPS || loose;
    if (tabulated) cells.Build(model, verify, tolerancePx);  // may throw: nothing changed yet
    std::vector<double> weightAbs;
    if (!forward && model.Type == TM_TRANS_TPS) {
        weightAbs.resize(model.CentreU.size());  // may throw as well
        for (std::size_t i = 0; i < weightAbs.size(); ++i)
            weightAbs[i] = std::fabs(model.WeightX[i]) + std::fabs(model.WeightY[i]);
    }
    SplineWeightAbs = std::move(weightAbs);
    Forward = forward;
    HasSeed = false;
    Cells = std::move(cells);
    Source = std::move(source);
    const double ps = n.PixelScale, S = n.UserScale;
    InvUserScale = 1.0 / S;
    if (!forward) {
        if (model.Type == TM_TRANS_POLY1 || model.Type == TM_TRANS_SIMILARITY) {
            // pixel = PixelX0 + ps * Inv * ((X - UserX0) / S - Centre)
            InX0 = n.UserX0 + S * model.CentreX;
            InY0 = n.UserY0 + S * model.CentreY;
            OutX0 = n.PixelX0, OutY0 = n.PixelY0;
            Cx[1] = ps * model.Inv[0] / S, Cx[2] = ps * model.Inv[1] / S;
            Cy[1] = ps * model.Inv[2] / S, Cy[2] = ps * model.Inv[3] / S;
            SetKind(Affine);
        } else {
            // The projective type uses its closed form through Source.
            HasSeed = tabulated && !Cells.Empty();
            SetKind(HasSeed && verify ? CellInverse : Newton);
            if (model.Type == TM_TRANS_TPS) {
                SplineWeightSum = 0.0, SplineCentreReach = 0.0;
                SplineWeightSumX = 0.0, SplineWeightSumY = 0.0;
                for (std::size_t i = 0; i < model.CentreU.size(); ++i) {
                    SplineWeightSum += std::fabs(model.WeightX[i]) + std::fabs(model.WeightY[i]);
                    SplineWeightSumX += model.WeightX[i], SplineWeightSumY += model.WeightY[i];
                    SplineCentreReach = std::max(SplineCentreReach, std::hypot(model.CentreU[i], model.CentreV[i]));
                }
                SplineTolerance = (loose ? tolerancePx : kSplineTolerancePx) / n.PixelScale;
            }
        }
        return TM_OK;
    }
    InX0 = n.PixelX0, InY0 = n.PixelY0;
    switch (model.Type) {
        case TM_TRANS_PROJECTIVE: {
            const double* h = model.H;
            double f[9] = {S * h[0] / ps, S * h[1] / ps, S * h[2], S * h[3] / ps, S * h[4] / ps,
                           S * h[5],      h[6] / ps,     h[7] / ps, h[8]};
            for (int k = 0; k < 9; ++k) Hp[k] = f[k];
            OutX0 = n.UserX0, OutY0 = n.UserY0;
            SetKind(Projective);
            return TM_OK;
        }
        case TM_TRANS_TPS:
            SetKind(Tps);
            return TM_OK;
        default: break;
    }
    // Polynomials: the scales fold into the coefficients, the centres stay as
    // subtractions so that high powers never see raw magnitudes.
    const int terms = model.Type == TM_TRANS_POLY3 ? 10 : model.Type == TM_TRANS_POLY2 ? 6 : 3;
    for (int k = 0; k < 10; ++k) {
        double scale = k < terms ? S / std::pow(ps, kDegree[k]) : 0.0;
        Cx[k] = model.CoefX[k] * scale;
        Cy[k] = model.CoefY[k] * scale;
    }
    OutX0 = n.UserX0 + S * model.CoefX[0];
    OutY0 = n.UserY0 + S * model.CoefY[0];
    SetKind(model.Type == TM_TRANS_POLY3 ? Poly3 : model.Type == TM_TRANS_POLY2 ? Poly2 : Affine);
    return TM_OK;
}

long PreparedTransform::ApplyIterative(double in1, double in2, double* out1, double* out2) const {
    if (!std::isfinite(in1) || !std::isfinite(in2)) return TM_ERR_NOT_FINITE;
    double x, y;
    long rc = Forward   ? Source.Forward(in1, in2, &x, &y)
              : HasSeed ? SeededBackward(in1, in2, &x, &y)
                        : Source.Backward(in1, in2, &x, &y);
    if (rc != TM_OK) return rc;
    *out1 = x;
    *out2 = y;
    return TM_OK;
}

namespace {

// Whether count pairs at in and at out share any byte.
bool PairsOverlap(const double* in, const double* out, std::size_t count) {
    const auto a = reinterpret_cast<std::uintptr_t>(in), b = reinterpret_cast<std::uintptr_t>(out);
    const std::uintptr_t bytes = 2 * sizeof(double) * count;
    return count != 0 && a < b + bytes && b < a + bytes;
}

}  // namespace

long PreparedTransform::Batch(const double* in, double* out, std::size_t count) const {
    if (Kind == None) return TM_ERR_STATE;
    // Converting in place, a refusal must leave the input as it was: refuse
    // non-finite input before writing anything.  Into another array the
    // pass over the input is left out (it costs as much as reading the
    // input again); the conversions below refuse a non-finite pair as they
    // come to it, with the pairs before it converted.
    if (PairsOverlap(in, out, count) && AnyNonFinite(in, 2 * count)) return TM_ERR_NOT_FINITE;
    std::uint64_t flags = 0;
    if (Kind == Affine || Kind == Poly2 || Kind == Poly3) {
        const int order = Kind == Affine ? 1 : Kind == Poly2 ? 2 : 3;
        flags = BatchPortable(order, InX0, InY0, OutX0, OutY0, Cx, Cy, in, out, count);
        // A non-finite input gives a non-finite output: tell it from an
        // output that left the doubles' range.
        if (!IsNonFinite(flags)) return TM_OK;
        return AnyNonFinite(in, 2 * count) ? TM_ERR_NOT_FINITE : TM_ERR_OUTSIDE;
    }
    switch (Kind) {
        case CellInverse:
#if MORVANE_X86_DISPATCH
            if (Fma) return BatchCellsFused(in, out, count);
#endif
            return BatchCells(in, out, count);
        case Newton:
            if (!Forward && HasSeed) {
                // As below, without the per-point dispatch.
                for (std::size_t i = 0; i < count; ++i) {
                    double x, y;
                    if (!std::isfinite(in[2 * i]) || !std::isfinite(in[2 * i + 1])) return TM_ERR_NOT_FINITE;
                    if (long rc = SeededBackward(in[2 * i], in[2 * i + 1], &x, &y); rc != TM_OK)
                        return rc;
                    out[2 * i] = x;
                    out[2 * i + 1] = y;
                }
                return TM_OK;
            }
            [[fallthrough]];
        default:
            // Conversions that can fail per point stop at the first failure;
            // earlier pairs are converted, that pair and later ones untouched.
            for (std::size_t i = 0; i < count; ++i) {
                double x, y;
                if (long rc = Apply(in[2 * i], in[2 * i + 1], &x, &y); rc != TM_OK) return rc;
                out[2 * i] = x;
                out[2 * i + 1] = y;
            }
    }
    return IsNonFinite(flags) ? TM_ERR_OUTSIDE : TM_OK;
}

}  // namespace tiemark
