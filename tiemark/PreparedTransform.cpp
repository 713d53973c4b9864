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
#include "LsqFactor.h"

namespace tiemark {

namespace {
// u^i v^j degree of each polynomial coefficient.
constexpr int kDegree[10] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3};

// The backward seed is fitted on a side x side grid over [-reach, reach]^2 of
// normalised pixel positions (the points lie within [-1, 1]^2).  The spline
// costs one pass over its centres per sample, hence its coarser grid.
constexpr int kSeedGridSide = 17;
constexpr int kSplineSeedGridSide = 9;
constexpr double kSeedReach = 1.25;
// Order 3 polynomials refine the seed per cell of a kSeedCells^2 grid over the same
// square (in the affine estimate's coordinates), each fitted to exact
// inverses at kCellSamples^2 positions: a cubic on a cell a quarter as wide
// is about 250 times closer, so one Newton step usually suffices.
constexpr int kCellSamples = 6;
// A seed fit whose design is worse conditioned than this is not used.
constexpr double kMaxSeedCondition = 1e10;
// Undamped Newton evaluations from the seed before giving way to the damped
// iteration; a seed within 1e-3 of the answer needs four.
constexpr int kSeededEvaluations = 5;
// Misfit, relative to 1 + |(x, y)|, at which the iteration stops; the same
// as the damped iteration's target.
constexpr double kNewtonTolerance = 1e-13;

// A polynomial of order 2 or 3 (Model's coefficient order) and its partial
// derivatives at (u, v).
template <int Order>
inline void PolyWithGradient(const double* c, double u, double v, double* f, double* fu, double* fv) {
    if constexpr (Order == 2) {
        *f = c[0] + u * (c[1] + c[3] * u + c[4] * v) + v * (c[2] + c[5] * v);
        *fu = c[1] + 2.0 * c[3] * u + c[4] * v;
        *fv = c[2] + c[4] * u + 2.0 * c[5] * v;
    } else {
        const double uu = u * u, uv = u * v, vv = v * v;
        *f = c[0] + u * (c[1] + u * (c[3] + c[6] * u + c[7] * v) + v * (c[4] + c[8] * v)) +
             v * (c[2] + v * (c[5] + c[9] * v));
        *fu = c[1] + 2.0 * c[3] * u + c[4] * v + 3.0 * c[6] * uu + 2.0 * c[7] * uv + c[8] * vv;
        *fv = c[2] + c[4] * u + 2.0 * c[5] * v + c[7] * uu + 2.0 * c[8] * uv + 3.0 * c[9] * vv;
    }
}

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

// c = {input centre x, y, output centre x, coefficients of du, dv for x},
// d = {output centre y, coefficients for y}; the OR of the outputs' flags.
MORVANE_CLONE_AVX2 std::uint64_t BatchAffine(
    const double* c, const double* d, const double* in, double* out, std::size_t count) {
    const double ix = c[0], iy = c[1], x0 = c[2], a1 = c[3], a2 = c[4];
    const double y0 = d[0], b1 = d[1], b2 = d[2];
    std::uint64_t flags = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double du = in[2 * i] - ix, dv = in[2 * i + 1] - iy;
        const double x = x0 + a1 * du + a2 * dv, y = y0 + b1 * du + b2 * dv;
        out[2 * i] = x;
        out[2 * i + 1] = y;
        flags |= NonFiniteFlag(x) | NonFiniteFlag(y);
    }
    return flags;
}

template <int Order>
inline std::uint64_t BatchPoly(double ix, double iy, double x0, double y0, const double* coefX,
                               const double* coefY, const double* in, double* out,
                               std::size_t count) {
    double cx[10], cy[10];  // local copies: the stores to out cannot change them
    std::copy(coefX, coefX + 10, cx);
    std::copy(coefY, coefY + 10, cy);
    std::uint64_t flags = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double du = in[2 * i] - ix, dv = in[2 * i + 1] - iy;
        double x, y;
        // The one-point call's expressions, rounding for rounding.
        if constexpr (Order == 2) {
            x = x0 + PreparedTransform::EvalPoly2(cx, du, dv);
            y = y0 + PreparedTransform::EvalPoly2(cy, du, dv);
        } else {
            x = x0 + PreparedTransform::EvalPoly3(cx, du, dv);
            y = y0 + PreparedTransform::EvalPoly3(cy, du, dv);
        }
        out[2 * i] = x;
        out[2 * i + 1] = y;
        flags |= NonFiniteFlag(x) | NonFiniteFlag(y);
    }
    return flags;
}

MORVANE_CLONE_AVX2 std::uint64_t BatchPoly2(
    double ix, double iy, double x0, double y0, const double* cx, const double* cy, const double* in,
    double* out, std::size_t count) {
    return BatchPoly<2>(ix, iy, x0, y0, cx, cy, in, out, count);
}

MORVANE_CLONE_AVX2 std::uint64_t BatchPoly3(
    double ix, double iy, double x0, double y0, const double* cx, const double* cy, const double* in,
    double* out, std::size_t count) {
    return BatchPoly<3>(ix, iy, x0, y0, cx, cy, in, out, count);
}
}  // namespace

void PreparedTransform::Release() {
    Kind = None;
    HasSeed = HasCells = false;
    std::fill(std::begin(CellOk), std::end(CellOk), false);
    Source = Model();
}

bool PreparedTransform::FitBackwardSeed() {
    const Model& m = Source;
    const int side = m.Type == TM_TRANS_TPS ? kSplineSeedGridSide : kSeedGridSide;
    double x0, y0, j0[4];
    m.EvalWithJacobian(0.0, 0.0, &x0, &y0, j0);
    const double det0 = j0[0] * j0[3] - j0[1] * j0[2];
    LsqFactor lsq;
    lsq.Reset(10, 2);
    for (int i = 0; i < side; ++i) {
        for (int k = 0; k < side; ++k) {
            const double u = kSeedReach * (2.0 * i / (side - 1) - 1.0);
            const double v = kSeedReach * (2.0 * k / (side - 1) - 1.0);
            double x, y, j[4];
            m.EvalWithJacobian(u, v, &x, &y, j);
            // Where the map folds over it has no inverse to fit: leave it out.
            if (!((j[0] * j[3] - j[1] * j[2]) * det0 > 0.0)) continue;
            if (!std::isfinite(x) || !std::isfinite(y)) continue;
            const double dx = x - m.CentreX, dy = y - m.CentreY;
            const double s = m.Inv[0] * dx + m.Inv[1] * dy, t = m.Inv[2] * dx + m.Inv[3] * dy;
            const double row[12] = {1.0,       s,         t,         s * s,     s * t, t * t,
                                    s * s * s, s * s * t, s * t * t, t * t * t, u,     v};
            lsq.AddRow(row);
        }
    }
    if (lsq.Rows() < 20 || !(lsq.Condition(10) <= kMaxSeedCondition)) return false;
    if (!lsq.Solve(0, SeedU) || !lsq.Solve(1, SeedV)) return false;
    for (int k = 0; k < 10; ++k)
        if (!std::isfinite(SeedU[k]) || !std::isfinite(SeedV[k])) return false;
    return true;
}

inline void PreparedTransform::Seed(double s, double t, double* u, double* v) const {
    if (!HasCells) {
        *u = SeedU[0] + EvalPoly3(SeedU, s, t);
        *v = SeedV[0] + EvalPoly3(SeedV, s, t);
        return;
    }
    // The cell of (s, t); outside the grid the nearest edge cell, whose
    // polynomial extrapolates no worse than the global one.
    double fi = (s + kSeedReach) * (kSeedCells / (2.0 * kSeedReach));
    double fk = (t + kSeedReach) * (kSeedCells / (2.0 * kSeedReach));
    if (!(fi >= 0.0)) fi = 0.0;
    if (!(fi < kSeedCells - 1)) fi = kSeedCells - 1;
    if (!(fk >= 0.0)) fk = 0.0;
    if (!(fk < kSeedCells - 1)) fk = kSeedCells - 1;
    const int cell = static_cast<int>(fi) * kSeedCells + static_cast<int>(fk);
    if (!CellOk[cell]) {
        *u = SeedU[0] + EvalPoly3(SeedU, s, t);
        *v = SeedV[0] + EvalPoly3(SeedV, s, t);
        return;
    }
    const double* c = CellSeed[cell];
    const double a = (s - c[20]) * c[22], b = (t - c[21]) * c[22];
    *u = c[0] + EvalPoly3(c, a, b);
    *v = c[10] + EvalPoly3(c + 10, a, b);
}

void PreparedTransform::FitSeedCells() {
    const Model& m = Source;
    // The forward linear map at the centre, s -> (x, y): the inverse of Inv.
    const double det = m.Inv[0] * m.Inv[3] - m.Inv[1] * m.Inv[2];
    const double l[4] = {m.Inv[3] / det, -m.Inv[1] / det, -m.Inv[2] / det, m.Inv[0] / det};
    const double width = 2.0 * kSeedReach / kSeedCells;
    for (int i = 0; i < kSeedCells; ++i) {
        for (int k = 0; k < kSeedCells; ++k) {
            const int cell = i * kSeedCells + k;
            double* c = CellSeed[cell];
            CellOk[cell] = false;
            c[20] = -kSeedReach + (i + 0.5) * width;
            c[21] = -kSeedReach + (k + 0.5) * width;
            c[22] = 2.0 / width;
            LsqFactor lsq;
            lsq.Reset(10, 2);
            for (int p = 0; p < kCellSamples; ++p) {
                for (int q = 0; q < kCellSamples; ++q) {
                    // Local coordinates over [-1.1, 1.1]: the cell and a rim.
                    const double a = 1.1 * (2.0 * p / (kCellSamples - 1) - 1.0);
                    const double b = 1.1 * (2.0 * q / (kCellSamples - 1) - 1.0);
                    const double s = c[20] + a / c[22], t = c[21] + b / c[22];
                    const double x = m.CentreX + l[0] * s + l[1] * t;
                    const double y = m.CentreY + l[2] * s + l[3] * t;
                    double u, v;
                    // Not solved: a fold or far outside, no sample.
                    if (!SeededNewton<3>(x, y, &u, &v)) continue;
                    const double row[12] = {1.0,       a,         b,         a * a,     a * b, b * b,
                                            a * a * a, a * a * b, a * b * b, b * b * b, u,     v};
                    lsq.AddRow(row);
                }
            }
            if (lsq.Rows() < 20 || !(lsq.Condition(10) <= kMaxSeedCondition)) continue;
            if (!lsq.Solve(0, c) || !lsq.Solve(1, c + 10)) continue;
            bool finite = true;
            for (int j = 0; j < 20; ++j) finite &= std::isfinite(c[j]);
            CellOk[cell] = finite;
        }
    }
}

template <int Order>
inline bool PreparedTransform::SeededNewton(double x, double y, double* uOut, double* vOut) const {
    const Model& m = Source;
    const double dx = x - m.CentreX, dy = y - m.CentreY;
    const double s = m.Inv[0] * dx + m.Inv[1] * dy, t = m.Inv[2] * dx + m.Inv[3] * dy;
    double u, v;
    Seed(s, t, &u, &v);
    // The square of kNewtonTolerance * |(1, x, y)|, at most the damped
    // iteration's kNewtonTolerance * (1 + |(x, y)|), and without a root.
    const double tolerance2 = kNewtonTolerance * kNewtonTolerance * (1.0 + x * x + y * y);
    double last = std::numeric_limits<double>::infinity();
    for (int iter = 0; iter < kSeededEvaluations; ++iter) {
        double fx, fy, j[4];
        if constexpr (Order == 0) {
            m.EvalWithJacobian(u, v, &fx, &fy, j);
        } else {
            PolyWithGradient<Order>(m.CoefX, u, v, &fx, &j[0], &j[1]);
            PolyWithGradient<Order>(m.CoefY, u, v, &fy, &j[2], &j[3]);
        }
        const double rx = x - fx, ry = y - fy;
        const double misfit2 = rx * rx + ry * ry;
        if (misfit2 <= tolerance2) {
            *uOut = u;
            *vOut = v;
            return true;
        }
        // Not shrinking (or not a number): the seed is too far for plain Newton.
        if (!(misfit2 < last)) return false;
        last = misfit2;
        const double det = j[0] * j[3] - j[1] * j[2];
        if (!(std::fabs(det) > 0.0)) return false;
        const double inv = 1.0 / det;
        const double du = (j[3] * rx - j[1] * ry) * inv;
        const double dv = (j[0] * ry - j[2] * rx) * inv;
        if constexpr (Order != 0) {
            // A polynomial's misfit after this step is known without
            // evaluating it again: accept on half the tolerance.
            const double ex = PolyRemainder<Order>(m.CoefX, u, v, du, dv);
            const double ey = PolyRemainder<Order>(m.CoefY, u, v, du, dv);
            if (4.0 * (ex * ex + ey * ey) <= tolerance2 && SolvesAccurately(j, det)) {
                *uOut = u + du;
                *vOut = v + dv;
                return true;
            }
        }
        u += du;
        v += dv;
    }
    return false;
}

inline long PreparedTransform::SeededBackward(double userX, double userY, double* pixelX,
                                       double* pixelY) const {
    const Normalisation& n = Source.Norm;
    const double x = (userX - n.UserX0) * InvUserScale;
    const double y = (userY - n.UserY0) * InvUserScale;
    double u, v;
    bool done;
    switch (Source.Type) {
        case TM_TRANS_POLY2: done = SeededNewton<2>(x, y, &u, &v); break;
        case TM_TRANS_POLY3: done = SeededNewton<3>(x, y, &u, &v); break;
        default: done = SeededNewton<0>(x, y, &u, &v); break;
    }
    if (!done) return Source.Backward(userX, userY, pixelX, pixelY);
    const double px = n.PixelX0 + n.PixelScale * u;
    const double py = n.PixelY0 + n.PixelScale * v;
    if (!std::isfinite(px) || !std::isfinite(py)) return TM_ERR_OUTSIDE;
    *pixelX = px;
    *pixelY = py;
    return TM_OK;
}

long PreparedTransform::Prepare(const Model& model, bool forward) {
    const Normalisation& n = model.Norm;
    Model source = model;  // the only allocation (spline centres); done before any change
    Forward = forward;
    HasSeed = HasCells = false;
    std::fill(std::begin(CellOk), std::end(CellOk), false);
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
            Kind = Affine;
        } else {
            Kind = Newton;  // projective uses its closed form through Source
            if (model.Type != TM_TRANS_PROJECTIVE) HasSeed = FitBackwardSeed();
            // Order 2 converges in one step from the global seed already; the
            // spline's samples would cost a pass over its centres each.
            if (HasSeed && model.Type == TM_TRANS_POLY3) FitSeedCells();
            HasCells = std::find(std::begin(CellOk), std::end(CellOk), true) != std::end(CellOk);
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
            Kind = Projective;
            return TM_OK;
        }
        case TM_TRANS_TPS:
            Kind = Tps;
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
    Kind = model.Type == TM_TRANS_POLY3 ? Poly3 : model.Type == TM_TRANS_POLY2 ? Poly2 : Affine;
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

long PreparedTransform::Batch(const double* in, double* out, std::size_t count) const {
    if (Kind == None) return TM_ERR_STATE;
    // Refuse non-finite input before writing anything.
    if (AnyNonFinite(in, 2 * count)) return TM_ERR_NOT_FINITE;
    std::uint64_t flags = 0;
    switch (Kind) {
        case Affine: {
            const double c[6] = {InX0, InY0, OutX0, Cx[1], Cx[2], 0.0};
            const double d[3] = {OutY0, Cy[1], Cy[2]};
            flags = BatchAffine(c, d, in, out, count);
            break;
        }
        case Poly2:
            flags = BatchPoly2(InX0, InY0, OutX0, OutY0, Cx, Cy, in, out, count);
            break;
        case Poly3:
            flags = BatchPoly3(InX0, InY0, OutX0, OutY0, Cx, Cy, in, out, count);
            break;
        case Newton:
            if (!Forward && HasSeed) {
                // As below, without the per-point dispatch.
                for (std::size_t i = 0; i < count; ++i) {
                    double x, y;
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
