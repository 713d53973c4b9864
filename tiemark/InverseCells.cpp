// InverseCells.cpp - corners by Newton iteration, cubics by a fixed
// least-squares projection, and the per-cell check.
#include "InverseCells.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "CpuDispatch.h"
#include "LsqFactor.h"
#include "NewtonInverse.h"

namespace tiemark {

namespace {

// Local corners of a cell, in the order of the fitted data.
constexpr double kCornerA[4] = {0.0, 1.0, 0.0, 1.0};
constexpr double kCornerB[4] = {0.0, 0.0, 1.0, 1.0};
constexpr int kData = 12;
// The largest coefficient a verified cell may have (see FitCell).
constexpr double kMaxCoefficient = 1e300;  // four values, then four (d/da, d/db) pairs
// Interior check points of a cell: its centre and the centres of its quarters.
constexpr double kCheckA[5] = {0.5, 0.25, 0.75, 0.25, 0.75};
constexpr double kCheckB[5] = {0.5, 0.25, 0.25, 0.75, 0.75};
// The spline's interior check points: the centres of a 4 x 4 split of the
// cell (its error is less regular than a polynomial's).
constexpr int kSplineCheckSide = 4;
// See RefinedCells.
constexpr double kSplineRefinement = 2.25;
// Undamped Newton evaluations allowed at a corner seeded from its neighbour.
constexpr int kCornerSteps = 10;

// The least-squares cubic of the twelve corner data is a fixed linear map of
// them: coefficients = Projection[.][data].  Built once, from the 12 x 10
// design of cubic values and slopes at the corners (full rank: no nonzero
// cubic vanishes with its gradient at four corners of a square).
struct CubicProjection {
    double P[kData][10];  // transposed: P[data][coefficient], so that a cell's
                          // fit runs across its ten coefficients at a time
    CubicProjection() {
        double design[kData][10];
        for (int q = 0; q < 4; ++q) {
            const double a = kCornerA[q], b = kCornerB[q];
            const double value[10] = {1, a, b, a * a, a * b, b * b, a * a * a, a * a * b, a * b * b, b * b * b};
            const double da[10] = {0, 1, 0, 2 * a, b, 0, 3 * a * a, 2 * a * b, b * b, 0};
            const double db[10] = {0, 0, 1, 0, a, 2 * b, 0, a * a, 2 * a * b, 3 * b * b};
            std::copy(value, value + 10, design[q]);
            std::copy(da, da + 10, design[4 + 2 * q]);
            std::copy(db, db + 10, design[5 + 2 * q]);
        }
        // Column j of P solves the least-squares problem with unit data j.
        for (int j = 0; j < kData; j += 2) {
            LsqFactor lsq;
            lsq.Reset(10, 2);
            for (int r = 0; r < kData; ++r) {
                double row[12];
                std::copy(design[r], design[r] + 10, row);
                row[10] = r == j ? 1.0 : 0.0;
                row[11] = r == j + 1 ? 1.0 : 0.0;
                lsq.AddRow(row);
            }
            double x0[10], x1[10];
            lsq.Solve(0, x0);
            lsq.Solve(1, x1);
            for (int k = 0; k < 10; ++k) P[j][k] = x0[k], P[j + 1][k] = x1[k];
        }
    }
};

const CubicProjection& Projection() {
    static const CubicProjection projection;
    return projection;
}

template <int Order>
struct PolyEval {
    const Model& m;
    void operator()(double u, double v, double* x, double* y, double j[4]) const {
        PolyWithGradient<Order>(m.CoefX, u, v, x, &j[0], &j[1]);
        PolyWithGradient<Order>(m.CoefY, u, v, y, &j[2], &j[3]);
    }
};

struct ModelEval {
    const Model& m;
    void operator()(double u, double v, double* x, double* y, double j[4]) const {
        m.EvalWithJacobian(u, v, x, y, j);
    }
};

}  // namespace

void InverseCells::Clear() {
    Ns = Nt = 0;
    Coef.reset();
    State.reset();
    Probe.reset();
}

int InverseCells::VerifiedCells() const {
    int verified = 0;
    for (std::size_t cell = 0; cell < static_cast<std::size_t>(Ns) * Nt; ++cell)
        verified += State[cell].load(std::memory_order_acquire) == kVerified;
    return verified;
}

void InverseCells::AllocateCells() {
    const std::size_t cells = static_cast<std::size_t>(Ns) * Nt;
    // Coefficients uninitialised: a large table's pages are then touched
    // only where cells are built.
    Coef.reset(static_cast<double*>(
        ::operator new[](cells * kCoefPerCell * sizeof(double), std::align_val_t{kCoefAlignment})));
    State.reset(new std::atomic<std::uint8_t>[cells]);
    for (std::size_t cell = 0; cell < cells; ++cell) State[cell].store(kNotBuilt, std::memory_order_relaxed);
}

void InverseCells::CopyFrom(const InverseCells& other) {
    Ns = other.Ns, Nt = other.Nt, SLo = other.SLo, TLo = other.TLo, H = other.H;
    UserXc = other.UserXc, UserYc = other.UserYc;
    std::copy(other.Side, other.Side + 2, Side), std::copy(other.Off, other.Off + 2, Off);
    std::copy(other.AlongX, other.AlongX + 2, AlongX), std::copy(other.AlongY, other.AlongY + 2, AlongY);
    std::copy(other.L, other.L + 4, L);
    PixelX0 = other.PixelX0, PixelY0 = other.PixelY0, PixelScale = other.PixelScale;
    TolerancePx = other.TolerancePx;
    Probe = other.Probe;
    if (other.Ns == 0) {
        Coef.reset(), State.reset();
        return;
    }
    AllocateCells();
    for (std::size_t cell = 0; cell < static_cast<std::size_t>(Ns) * Nt; ++cell) {
        const std::uint8_t state = other.State[cell].load(std::memory_order_acquire);
        if (state != kVerified && state != kFailed) continue;
        std::memcpy(&Coef[cell * kCoefPerCell], &other.Coef[cell * kCoefPerCell], kCoefPerCell * sizeof(double));
        State[cell].store(state, std::memory_order_relaxed);
    }
}

template <class Eval>
void InverseCells::FrameBox(const Model& m, const Eval& eval, double box[4]) const {
    const Normalisation& norm = m.Norm;
    const double u0 = norm.PixelLo[0], v0 = norm.PixelLo[1];
    const double du = norm.PixelHi[0] - u0, dv = norm.PixelHi[1] - v0;
    const double det = m.Inv[0] * m.Inv[3] - m.Inv[1] * m.Inv[2];
    box[0] = box[1] = std::numeric_limits<double>::infinity();
    box[2] = box[3] = -std::numeric_limits<double>::infinity();
    // The boundary of the pixel extent, kBoxSamples points an edge: the box
    // of a smooth curve's samples misses its extremes by the sag between
    // them, which the margin covers.
    constexpr int kBoxSamples = 16;
    for (int q = 0; q < 4 * kBoxSamples; ++q) {
        const int edge = q / kBoxSamples;
        const double f = static_cast<double>(q % kBoxSamples) / kBoxSamples;
        const double a = edge == 0 ? f : edge == 1 ? 1.0 : edge == 2 ? 1.0 - f : 0.0;
        const double b = edge == 0 ? 0.0 : edge == 1 ? f : edge == 2 ? 1.0 : 1.0 - f;
        double x, y, j[4];
        eval(u0 + a * du, v0 + b * dv, &x, &y, j);
        const double dx = x - m.CentreX, dy = y - m.CentreY;
        const double s = m.Inv[0] * dx + m.Inv[1] * dy, t = m.Inv[2] * dx + m.Inv[3] * dy;
        if (!std::isfinite(s) || !std::isfinite(t)) continue;
        box[0] = std::min(box[0], s), box[1] = std::min(box[1], t);
        box[2] = std::max(box[2], s), box[3] = std::max(box[3], t);
    }
    // Unusable (no finite sample, no inverse): the square the points are
    // normalised to.
    if (!(box[0] <= box[2] && box[1] <= box[3]) || !(std::fabs(det) > 0.0)) {
        box[0] = box[1] = -1.0;
        box[2] = box[3] = 1.0;
    }
    // A thin extent still gets cells a tenth of its long side across.
    const double side = std::max(box[2] - box[0], box[3] - box[1]);
    const double margin = kMargin * side;
    for (int k = 0; k < 2; ++k) {
        const double widen = margin + 0.5 * std::max(0.0, 0.1 * side - (box[k + 2] - box[k]));
        box[k] -= widen, box[k + 2] += widen;
    }
}

void InverseCells::SetFrame(const Model& m, const double box[4], int n) {
    const Normalisation& norm = m.Norm;
    const double ws = box[2] - box[0], wt = box[3] - box[1];
    H = std::max(ws, wt) / n;
    Ns = std::max(1, static_cast<int>(std::ceil(ws / H - 1e-9)));
    Nt = std::max(1, static_cast<int>(std::ceil(wt / H - 1e-9)));
    Side[0] = Ns, Side[1] = Nt;
    // Centred on the box.
    SLo = 0.5 * (box[0] + box[2] - Ns * H);
    TLo = 0.5 * (box[1] + box[3] - Nt * H);
    Off[0] = -SLo / H, Off[1] = -TLo / H;
    const double S = norm.UserScale;
    UserXc = norm.UserX0 + S * m.CentreX;
    UserYc = norm.UserY0 + S * m.CentreY;
    AlongX[0] = m.Inv[0] / (S * H), AlongY[0] = m.Inv[1] / (S * H);
    AlongX[1] = m.Inv[2] / (S * H), AlongY[1] = m.Inv[3] / (S * H);
    // L = Inv^-1: the forward model's linear part at the centre.
    const double det = m.Inv[0] * m.Inv[3] - m.Inv[1] * m.Inv[2];
    L[0] = m.Inv[3] / det, L[1] = -m.Inv[1] / det, L[2] = -m.Inv[2] / det, L[3] = m.Inv[0] / det;
    PixelX0 = norm.PixelX0, PixelY0 = norm.PixelY0, PixelScale = norm.PixelScale;
}

void InverseCells::FramePoint(const Model& m, int i, int k, double a, double b, double* x,
                              double* y) const {
    const double s = SLo + (i + a) * H, t = TLo + (k + b) * H;
    *x = m.CentreX + L[0] * s + L[1] * t;
    *y = m.CentreY + L[2] * s + L[3] * t;
}

template <class Eval>
void InverseCells::SolveCorners(const Model& m, const Eval& eval, std::vector<Corner>& corners) const {
    const int side = Ns + 1;
    for (int k = 0; k <= Nt; ++k) {
        for (int i = 0; i < side; ++i) {
            // Seed: one cell's step from the solved neighbour, else the
            // affine estimate.
            double u = SLo + i * H, v = TLo + k * H;
            if (i > 0 && corners[static_cast<std::size_t>(k) * side + i - 1].ok) {
                const Corner& left = corners[static_cast<std::size_t>(k) * side + i - 1];
                u = left.u + left.ua, v = left.v + left.va;
            } else if (k > 0 && corners[static_cast<std::size_t>(k - 1) * side + i].ok) {
                const Corner& below = corners[static_cast<std::size_t>(k - 1) * side + i];
                u = below.u + below.ub, v = below.v + below.vb;
            }
            SolveCorner(m, eval, i, k, u, v, corners[static_cast<std::size_t>(k) * side + i]);
        }
    }
}

template <class Eval>
void InverseCells::SolveCorner(const Model& m, const Eval& eval, int i, int k, double u, double v,
                               Corner& c) const {
    c.ok = false;
    double x, y;
    FramePoint(m, i, k, 0.0, 0.0, &x, &y);
    const auto step = [&eval, x, y](double pu, double pv, NewtonPoint& at) {
        double fx, fy;
        eval(pu, pv, &fx, &fy, at.j);
        at.u = pu, at.v = pv, at.rx = x - fx, at.ry = y - fy;
    };
    NewtonPoint p;
    step(u, v, p);
    const NewtonEnd end =
        NewtonSolve<NewtonStep::Full>(step, NoNewtonShortcut{}, NewtonTolerance2(x, y), kCornerSteps - 1, p);
    if (end != NewtonEnd::Converged) {
        // The damped iteration from the centre's estimate.
        const Normalisation& n = m.Norm;
        double px, py;
        if (m.Backward(n.UserX0 + n.UserScale * x, n.UserY0 + n.UserScale * y, &px, &py) != TM_OK) return;
        step((px - n.PixelX0) / n.PixelScale, (py - n.PixelY0) / n.PixelScale, p);
    }
    u = p.u, v = p.v;
    const double* j = p.j;
    const double det = j[0] * j[3] - j[1] * j[2];
    const double detL = L[0] * L[3] - L[1] * L[2];
    // Across a fold the inverse is not the branch the points are on.
    if (!(det * detL > 0.0) || !std::isfinite(u) || !std::isfinite(v)) return;
    // Slopes along a and b: H * J^-1 * L.
    const double i0 = j[3] / det, i1 = -j[1] / det, i2 = -j[2] / det, i3 = j[0] / det;
    c.u = u, c.v = v;
    c.ua = H * (i0 * L[0] + i1 * L[2]), c.ub = H * (i0 * L[1] + i1 * L[3]);
    c.va = H * (i2 * L[0] + i3 * L[2]), c.vb = H * (i2 * L[1] + i3 * L[3]);
    c.ok = std::isfinite(c.ua + c.ub + c.va + c.vb);
}

// The spline's misfit at a check point is taken back through the cubic's
// own slopes, D = d(u, v)/d(a, b) = H J^-1 L, so that the check needs the
// spline's value only (its gradient sum costs more): J^-1 =
// D Inv / H.  Where the cubic is near the tolerance its slopes are within
// a small fraction of the exact ones, which the safety factor covers.
double InverseCells::SplineCheckError2(const Model& m, const double* cu, const double* cv, int i, int k,
                                       double a, double b) const {
    double x, y, fx, fy;
    FramePoint(m, i, k, a, b, &x, &y);
    m.EvalNormalised(cu[0] + Cubic(cu, a, b), cv[0] + Cubic(cv, a, b), &fx, &fy);
    const double rx = x - fx, ry = y - fy;
    const double rs = (m.Inv[0] * rx + m.Inv[1] * ry) / H, rt = (m.Inv[2] * rx + m.Inv[3] * ry) / H;
    auto slopeA = [&](const double* c) {
        return c[1] + 2.0 * c[3] * a + c[4] * b + 3.0 * c[6] * a * a + 2.0 * c[7] * a * b + c[8] * b * b;
    };
    auto slopeB = [&](const double* c) {
        return c[2] + c[4] * a + 2.0 * c[5] * b + c[7] * a * a + 2.0 * c[8] * a * b + 3.0 * c[9] * b * b;
    };
    const double eu = slopeA(cu) * rs + slopeB(cu) * rt, ev = slopeA(cv) * rs + slopeB(cv) * rt;
    return eu * eu + ev * ev;
}

template <class Eval>
double InverseCells::FitCell(const Model& m, const Eval& eval, const Corner* c[4], int i, int k,
                             bool verify, double* coef) const {
    double du[kData], dv[kData];
    for (int q = 0; q < 4; ++q) {
        du[q] = c[q]->u, dv[q] = c[q]->v;
        du[4 + 2 * q] = c[q]->ua, du[5 + 2 * q] = c[q]->ub;
        dv[4 + 2 * q] = c[q]->va, dv[5 + 2 * q] = c[q]->vb;
    }
    const CubicProjection& p = Projection();
    double cu[10] = {}, cv[10] = {};
    for (int d = 0; d < kData; ++d)
        for (int r = 0; r < 10; ++r) cu[r] += p.P[d][r] * du[d], cv[r] += p.P[d][r] * dv[d];
    double worst2 = 0.0;  // squared, to spare the square roots
    if (verify) {
        // At the corners the exact values are known.
        for (int q = 0; q < 4; ++q) {
            const double eu = cu[0] + Cubic(cu, kCornerA[q], kCornerB[q]) - c[q]->u;
            const double ev = cv[0] + Cubic(cv, kCornerA[q], kCornerB[q]) - c[q]->v;
            worst2 = std::max(worst2, eu * eu + ev * ev);
        }
        // Inside, the forward misfit taken back through the inverse Jacobian:
        // the Newton step to the exact inverse, first-order exact.
        auto check = [&](double a, double b) {
            double x, y, fx, fy, j[4];
            FramePoint(m, i, k, a, b, &x, &y);
            const double u = cu[0] + Cubic(cu, a, b);
            const double v = cv[0] + Cubic(cv, a, b);
            eval(u, v, &fx, &fy, j);
            const double det = j[0] * j[3] - j[1] * j[2];
            const double rx = x - fx, ry = y - fy;
            const double inv = 1.0 / det;
            const double eu = (j[3] * rx - j[1] * ry) * inv, ev = (j[0] * ry - j[2] * rx) * inv;
            const double e2 = eu * eu + ev * ev;
            worst2 = std::isnan(e2) ? std::numeric_limits<double>::infinity() : std::max(worst2, e2);
        };
        if (m.Type == TM_TRANS_TPS) {
            for (int q = 0; q < kSplineCheckSide * kSplineCheckSide; ++q) {
                const double a = (q % kSplineCheckSide + 0.5) / kSplineCheckSide;
                const double b = (q / kSplineCheckSide + 0.5) / kSplineCheckSide;
                const double e2 = SplineCheckError2(m, cu, cv, i, k, a, b);
                worst2 = std::isnan(e2) ? std::numeric_limits<double>::infinity() : std::max(worst2, e2);
            }
        } else {
            for (int q = 0; q < 5; ++q) check(kCheckA[q], kCheckB[q]);
        }
    }
    // Stored in pixels, the normalisation folded in, in the order of
    // SlotOf; a zero is stored as +0 (x + 0.0), which the eight-lane
    // evaluation relies on.
    std::fill(coef, coef + kCoefPerCell, 0.0);
    for (int r = 0; r < 10; ++r) {
        const double pixelX0 = r == 0 ? PixelX0 : 0.0, pixelY0 = r == 0 ? PixelY0 : 0.0;
        coef[2 * SlotOf(r)] = PixelScale * cu[r] + pixelX0 + 0.0;
        coef[2 * SlotOf(r) + 1] = PixelScale * cv[r] + pixelY0 + 0.0;
    }
    // A verified cell's cubics must be finite wherever a lookup evaluates
    // them (local a, b in [0, 1)), so that lookups need not check their
    // results: ten terms each below kMaxCoefficient cannot overflow.
    for (int r = 0; r < kCoefPerCell; ++r)
        if (!(std::fabs(coef[r]) < kMaxCoefficient)) return std::numeric_limits<double>::infinity();
    return std::sqrt(worst2);
}

template <class Eval>
double InverseCells::BuildGrid(const Model& m, const Eval& eval, const double box[4], int n, bool verify,
                               double* median) {
    SetFrame(m, box, n);
    const int ns = Ns, nt = Nt;
    std::vector<Corner> corners(static_cast<std::size_t>(ns + 1) * (nt + 1));
    std::vector<double> errors;
    const std::size_t cells = static_cast<std::size_t>(ns) * nt;
    errors.reserve(cells);
    AllocateCells();
    SolveCorners(m, eval, corners);
    const double tolerance = TolerancePx / (kSafety * PixelScale);
    double worst = 0.0;
    for (int k = 0; k < nt; ++k) {
        for (int i = 0; i < ns; ++i) {
            const std::size_t cell = static_cast<std::size_t>(k) * ns + i;
            double* c = Coef.get() + cell * kCoefPerCell;
            const std::size_t base = static_cast<std::size_t>(k) * (ns + 1) + i;
            const Corner* four[4] = {&corners[base], &corners[base + 1], &corners[base + ns + 1],
                                     &corners[base + ns + 2]};
            if (!(four[0]->ok && four[1]->ok && four[2]->ok && four[3]->ok)) {
                // No cubic: Seed() falls back to the affine estimate here.
                std::fill(c, c + kCoefPerCell, std::numeric_limits<double>::quiet_NaN());
                State[cell].store(kFailed, std::memory_order_relaxed);
                continue;
            }
            const double error = FitCell(m, eval, four, i, k, verify, c);
            worst = std::max(worst, error);
            errors.push_back(error);
            State[cell].store(verify && error <= tolerance ? kVerified : kFailed, std::memory_order_relaxed);
        }
    }
    if (median != nullptr) {
        // Cells without a cubic count as failing.
        errors.resize(cells, std::numeric_limits<double>::infinity());
        std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
        *median = errors[errors.size() / 2];
    }
    return worst;
}

void InverseCells::Build(const Model& m, bool verify, double tolerancePx) {
    TolerancePx = tolerancePx > kTolerancePx ? tolerancePx : kTolerancePx;
#if MORVANE_X86_DISPATCH
    // The same arithmetic compiled for FMA and wider vectors where the
    // processor has them: the cells are built and checked with the one
    // arithmetic, so the check still holds for what they store.
    if (CpuHasAvx2Fma()) return BuildAvx2Fma(m, verify);
#endif
    BuildPortable(m, verify);
}

#if MORVANE_X86_DISPATCH
__attribute__((target("avx2,fma"), flatten)) void InverseCells::BuildAvx2Fma(const Model& m, bool verify) {
    BuildAny(m, verify);
}
__attribute__((flatten))
#endif
void InverseCells::BuildPortable(const Model& m, bool verify) {
    BuildAny(m, verify);
}

template <class Eval>
bool InverseCells::BuildCell(const Model& m, const Eval& eval, int i, int k, double* coef) const {
    // The corners as a table built at once would solve them: from the
    // probe's cubics, which are close enough for one or two steps.
    Corner corners[4];
    const Normalisation& n = m.Norm;
    for (int q = 0; q < 4; ++q) {
        const int ci = i + (q & 1), ck = k + (q >> 1);
        double x, y, u, v;
        FramePoint(m, ci, ck, 0.0, 0.0, &x, &y);
        Probe->Seed(n.UserX0 + n.UserScale * x, n.UserY0 + n.UserScale * y, &u, &v);
        SolveCorner(m, eval, ci, ck, u, v, corners[q]);
        if (!corners[q].ok) {
            std::fill(coef, coef + kCoefPerCell, std::numeric_limits<double>::quiet_NaN());
            return false;
        }
    }
    const Corner* four[4] = {&corners[0], &corners[1], &corners[2], &corners[3]};
    return FitCell(m, eval, four, i, k, true, coef) <= TolerancePx / (kSafety * PixelScale);
}

inline bool InverseCells::BuildCellAny(const Model& m, int i, int k, double* coef) const {
    switch (m.Type) {
        case TM_TRANS_POLY2: return BuildCell(m, PolyEval<2>{m}, i, k, coef);
        case TM_TRANS_POLY3: return BuildCell(m, PolyEval<3>{m}, i, k, coef);
        default: return BuildCell(m, ModelEval{m}, i, k, coef);
    }
}

#if MORVANE_X86_DISPATCH
__attribute__((target("avx2,fma"), flatten)) bool InverseCells::BuildCellAvx2Fma(const Model& m, int i, int k,
                                                                                 double* coef) const {
    return BuildCellAny(m, i, k, coef);
}
__attribute__((flatten))
#endif
bool InverseCells::BuildCellPortable(const Model& m, int i, int k, double* coef) const {
    return BuildCellAny(m, i, k, coef);
}

bool InverseCells::BuildCellAt(const Model& m, double X, double Y) const {
    const Pair f = FramePosition(X, Y);
    return BuildCellAtPosition(m, f[0], f[1]);
}

bool InverseCells::BuildCellAtPosition(const Model& m, double fs, double ft) const {
    if (!(fs >= 0.0 && fs < Side[0] && ft >= 0.0 && ft < Side[1])) return false;
    const int i = static_cast<int>(fs), k = static_cast<int>(ft);
    const std::uint8_t state = State[static_cast<std::size_t>(k) * Ns + i].load(std::memory_order_acquire);
    if (state == kVerified || state == kFailed) return state == kVerified;
    return BuildOnDemand(m, i, k);
}

#if MORVANE_X86_DISPATCH
MORVANE_CELLS_FMA bool InverseCells::LookupFused(const Model& m, double X, double Y, double* pixelX,
                                                 double* pixelY) const {
    if (FindFused(X, Y, pixelX, pixelY)) return true;
    const __m128d f = FramePositionFused(_mm_set1_pd(X - UserXc), _mm_set1_pd(Y - UserYc));
    return BuildCellAtPosition(m, _mm_cvtsd_f64(f), _mm_cvtsd_f64(_mm_unpackhi_pd(f, f))) &&
           FindFused(X, Y, pixelX, pixelY);
}

namespace {
// Bytes ahead of the current point that the runs ask for their input and
// output, about two and one runs of 64 points: the runs alternate between
// reading a run's points and evaluating them, and the hardware's own
// prefetch falls behind the reads and the stores' line fills.
constexpr std::uintptr_t kReadAhead = 2048, kWriteAhead = 1024;

// A hint only: a prefetch never faults, so the address may lie beyond the
// arrays (it is formed as an integer for that reason).  Inlined, it asks
// for the line in the exclusive state where the caller's target has
// PREFETCHW.
[[gnu::always_inline]] inline void PrefetchAhead(const double* p, std::uintptr_t bytes, bool forWriting) {
    const auto* ahead = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) + bytes);
    if (forWriting) __builtin_prefetch(ahead, 1, 3);
    else __builtin_prefetch(ahead, 0, 3);
}
}  // namespace

MORVANE_CELLS_FMA std::size_t InverseCells::FindRunFused(const double* in, double* out,
                                                         std::size_t count) const {
    // What the loops read of this object, in locals: the stores to out
    // could otherwise stand for any of them and force reloads every point.
    const __m256d userXc = _mm256_set1_pd(UserXc), userYc = _mm256_set1_pd(UserYc);
    const __m256d offS = _mm256_set1_pd(Off[0]), offT = _mm256_set1_pd(Off[1]);
    const __m256d xToS = _mm256_set1_pd(AlongX[0]), xToT = _mm256_set1_pd(AlongX[1]);
    const __m256d yToS = _mm256_set1_pd(AlongY[0]), yToT = _mm256_set1_pd(AlongY[1]);
    const __m256d sideS = _mm256_set1_pd(Side[0]), sideT = _mm256_set1_pd(Side[1]);
    const __m256d zero = _mm256_setzero_pd();
    const double* coef = Coef.get();
    const std::atomic<std::uint8_t>* state = State.get();
    // A run of points in two passes.  The first finds, four points at a
    // time, where each falls: the lanes hold one coordinate of four points,
    // each computed as FindFused computes it.  The second evaluates each
    // point's cell as FindFused does.  Split so, each point costs about
    // half the instructions of FindFused, and the passes' short chains of
    // dependent operations let many points be in flight at once.
    constexpr std::size_t kRun = 64;  // points, a multiple of four
    // Unaligned stores below: not every x86 target aligns the stack to 32.
    double localA[kRun], localB[kRun];
    std::int32_t cellOf[kRun];
    // Four points (x0 y0 x1 y1) (x2 y2 x3 y3) are unpacked as (x0 x2 x1 x3):
    // point q of four is in slot kSlot[q].
    constexpr std::size_t kSlot[4] = {0, 2, 1, 3};
    std::size_t done = 0;
    while (count - done >= 4) {
        const std::size_t points = std::min(kRun, (count - done) & ~std::size_t{3});
        const double* run = in + 2 * done;
        std::size_t placed = 0;
        for (; placed < points; placed += 4) {
            const __m256d first = _mm256_loadu_pd(run + 2 * placed), second = _mm256_loadu_pd(run + 2 * placed + 4);
            const __m256d dx = _mm256_sub_pd(_mm256_unpacklo_pd(first, second), userXc);
            const __m256d dy = _mm256_sub_pd(_mm256_unpackhi_pd(first, second), userYc);
            const __m256d s = _mm256_fmadd_pd(yToS, dy, _mm256_fmadd_pd(xToS, dx, offS));
            const __m256d t = _mm256_fmadd_pd(yToT, dy, _mm256_fmadd_pd(xToT, dx, offT));
            const __m256d inside =
                _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(s, zero, _CMP_GE_OQ), _mm256_cmp_pd(s, sideS, _CMP_LT_OQ)),
                              _mm256_and_pd(_mm256_cmp_pd(t, zero, _CMP_GE_OQ), _mm256_cmp_pd(t, sideT, _CMP_LT_OQ)));
            if (_mm256_movemask_pd(inside) != 15) break;
            const __m256d cornerS = _mm256_round_pd(s, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            const __m256d cornerT = _mm256_round_pd(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            // t * Ns + s, whole numbers below 2^31.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(cellOf + placed),
                            _mm256_cvttpd_epi32(_mm256_fmadd_pd(cornerT, sideS, cornerS)));
            _mm256_storeu_pd(localA + placed, _mm256_sub_pd(s, cornerS));
            _mm256_storeu_pd(localB + placed, _mm256_sub_pd(t, cornerT));
        }
        std::size_t found = 0;
        for (std::size_t four = 0; four < placed && found == four; four += 4) {
            PrefetchAhead(in + 2 * (done + four), kReadAhead, false);
            PrefetchAhead(out + 2 * (done + four), kWriteAhead, true);
#pragma GCC unroll 4
            for (std::size_t q = 0; q < 4; ++q) {
                const std::size_t slot = four + kSlot[q];
                const auto cell = static_cast<std::size_t>(static_cast<std::uint32_t>(cellOf[slot]));
                if (state[cell].load(std::memory_order_acquire) != kVerified) break;
                const __m128d r = CubicPairFused(coef + cell * kCoefPerCell, _mm_set1_pd(localA[slot]),
                                                 _mm_set1_pd(localB[slot]));
                _mm_storeu_pd(out + 2 * (done + four + q), r);
                ++found;
            }
        }
        done += found;
        if (found < points) break;
    }
    return done;
}

MORVANE_CELLS_AVX512 std::size_t InverseCells::FindRunAvx512(const double* in, double* out,
                                                             std::size_t count) const {
    // FindRunFused's two passes, wider.  The first takes eight points a
    // step, the lanes in the points' order.  The second evaluates four
    // points' cells at a time: each cell's four rows q0 to q3 by
    // CubicRowsAvx512, then, turned so that one vector holds one row of
    // all four points, q0 + b (q1 + b (q2 + b q3)) for the four at once,
    // which is also the four points' results in the order out keeps them.
    const __m512d userXc = _mm512_set1_pd(UserXc), userYc = _mm512_set1_pd(UserYc);
    const __m512d offS = _mm512_set1_pd(Off[0]), offT = _mm512_set1_pd(Off[1]);
    const __m512d xToS = _mm512_set1_pd(AlongX[0]), xToT = _mm512_set1_pd(AlongX[1]);
    const __m512d yToS = _mm512_set1_pd(AlongY[0]), yToT = _mm512_set1_pd(AlongY[1]);
    const __m512d sideS = _mm512_set1_pd(Side[0]), sideT = _mm512_set1_pd(Side[1]);
    const __m512d zero = _mm512_setzero_pd();
    // All lanes, written as a mask: the unmasked forms of some of these
    // operations trip a false uninitialised-value warning in GCC 12.
    constexpr __mmask8 kAll = 0xFF;
    const __m512i xs = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), ys = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
    const __m512i lowFour = _mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3), highFour = _mm512_setr_epi64(4, 4, 5, 5, 6, 6, 7, 7);
    const double* coef = Coef.get();
    const std::atomic<std::uint8_t>* state = State.get();
    constexpr std::size_t kRun = 64;  // points, a multiple of eight
    // Unaligned stores below: not every x86 target aligns the stack to 64.
    double localA[kRun], localB[2 * kRun];  // localB: each point's b twice, as a pair
    std::int32_t cellOf[kRun];
    std::size_t done = 0;
    while (count - done >= 8) {
        const std::size_t points = std::min(kRun, (count - done) & ~std::size_t{7});
        const double* run = in + 2 * done;
        std::size_t placed = 0;
        for (; placed < points; placed += 8) {
            const __m512d first = _mm512_loadu_pd(run + 2 * placed), second = _mm512_loadu_pd(run + 2 * placed + 8);
            const __m512d dx = _mm512_sub_pd(_mm512_permutex2var_pd(first, xs, second), userXc);
            const __m512d dy = _mm512_sub_pd(_mm512_permutex2var_pd(first, ys, second), userYc);
            const __m512d s = _mm512_fmadd_pd(yToS, dy, _mm512_fmadd_pd(xToS, dx, offS));
            const __m512d t = _mm512_fmadd_pd(yToT, dy, _mm512_fmadd_pd(xToT, dx, offT));
            __mmask8 inside = _mm512_cmp_pd_mask(s, zero, _CMP_GE_OQ);
            inside = _mm512_mask_cmp_pd_mask(inside, s, sideS, _CMP_LT_OQ);
            inside = _mm512_mask_cmp_pd_mask(inside, t, zero, _CMP_GE_OQ);
            inside = _mm512_mask_cmp_pd_mask(inside, t, sideT, _CMP_LT_OQ);
            const __m512d cornerS = _mm512_maskz_roundscale_pd(kAll, s, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            const __m512d cornerT = _mm512_maskz_roundscale_pd(kAll, t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            // t * Ns + s, whole numbers below 2^31 in the lanes inside.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(cellOf + placed),
                                _mm512_maskz_cvtt_roundpd_epi32(kAll, _mm512_fmadd_pd(cornerT, sideS, cornerS), _MM_FROUND_NO_EXC));
            _mm512_storeu_pd(localA + placed, _mm512_sub_pd(s, cornerS));
            const __m512d b = _mm512_sub_pd(t, cornerT);
            _mm512_storeu_pd(localB + 2 * placed, _mm512_maskz_permutexvar_pd(kAll, lowFour, b));
            _mm512_storeu_pd(localB + 2 * placed + 8, _mm512_maskz_permutexvar_pd(kAll, highFour, b));
            if (inside != 0xFF) {
                if ((inside & 0x0F) == 0x0F) placed += 4;  // the first four are whole
                break;
            }
        }
        std::size_t found = 0;
        for (; found < placed; found += 4) {
            // The line of input four points take, some runs ahead, and the
            // line of output they will fill.
            PrefetchAhead(in + 2 * (done + found), kReadAhead, false);
            PrefetchAhead(out + 2 * (done + found), kWriteAhead, true);
            // Whole numbers in [0, cells): the casts keep the address arithmetic unsigned.
            const auto i0 = static_cast<std::uint32_t>(cellOf[found]), i1 = static_cast<std::uint32_t>(cellOf[found + 1]);
            const auto i2 = static_cast<std::uint32_t>(cellOf[found + 2]), i3 = static_cast<std::uint32_t>(cellOf[found + 3]);
            if (state[i0].load(std::memory_order_acquire) != kVerified ||
                state[i1].load(std::memory_order_acquire) != kVerified ||
                state[i2].load(std::memory_order_acquire) != kVerified ||
                state[i3].load(std::memory_order_acquire) != kVerified)
                break;
            const double* cell[4] = {coef + std::size_t{i0} * kCoefPerCell, coef + std::size_t{i1} * kCoefPerCell,
                                     coef + std::size_t{i2} * kCoefPerCell, coef + std::size_t{i3} * kCoefPerCell};
            const __m512d p0 = CubicRowsAvx512(cell[0], _mm512_set1_pd(localA[found]));
            const __m512d p1 = CubicRowsAvx512(cell[1], _mm512_set1_pd(localA[found + 1]));
            const __m512d p2 = CubicRowsAvx512(cell[2], _mm512_set1_pd(localA[found + 2]));
            const __m512d p3 = CubicRowsAvx512(cell[3], _mm512_set1_pd(localA[found + 3]));
            // Each pN holds point N's (q0 q1 q2 q3); qK below holds qK of the four points.
            const __m512d p01Low = _mm512_maskz_shuffle_f64x2(kAll, p0, p1, 0x44), p01High = _mm512_maskz_shuffle_f64x2(kAll, p0, p1, 0xEE);
            const __m512d p23Low = _mm512_maskz_shuffle_f64x2(kAll, p2, p3, 0x44), p23High = _mm512_maskz_shuffle_f64x2(kAll, p2, p3, 0xEE);
            const __m512d q0 = _mm512_maskz_shuffle_f64x2(kAll, p01Low, p23Low, 0x88);
            const __m512d q1 = _mm512_maskz_shuffle_f64x2(kAll, p01Low, p23Low, 0xDD);
            const __m512d q2 = _mm512_maskz_shuffle_f64x2(kAll, p01High, p23High, 0x88);
            const __m512d q3 = _mm512_maskz_shuffle_f64x2(kAll, p01High, p23High, 0xDD);
            const __m512d b = _mm512_loadu_pd(localB + 2 * found);
            const __m512d r = _mm512_fmadd_pd(_mm512_fmadd_pd(_mm512_fmadd_pd(q3, b, q2), b, q1), b, q0);
            _mm512_storeu_pd(out + 2 * (done + found), r);
        }
        done += found;
        if (found < points) break;
    }
    return done;
}
#endif

bool InverseCells::BuildOnDemand(const Model& m, int i, int k) const {
    const std::size_t cell = static_cast<std::size_t>(k) * Ns + i;
    std::atomic<std::uint8_t>& state = State[cell];
    std::uint8_t seen = kNotBuilt;
    if (state.compare_exchange_strong(seen, kBuilding, std::memory_order_acquire)) {
        double* coef = Coef.get() + cell * kCoefPerCell;
        // The arithmetic Build uses, so that the cell is the one a table
        // built at once would hold.
#if MORVANE_X86_DISPATCH
        const bool verified = CpuHasAvx2Fma() ? BuildCellAvx2Fma(m, i, k, coef) : BuildCellPortable(m, i, k, coef);
#else
        const bool verified = BuildCellPortable(m, i, k, coef);
#endif
        state.store(verified ? kVerified : kFailed, std::memory_order_release);
        return verified;
    }
    // Another thread builds it: a cell takes microseconds.
    while (seen == kBuilding) {
        std::this_thread::yield();
        seen = state.load(std::memory_order_acquire);
    }
    return seen == kVerified;
}

int InverseCells::RefinedCells(const Model& m, double worst, double median, double tolerance) const {
    if (m.Type == TM_TRANS_TPS) {
        // Cells around a centre keep a larger error than the fourth-power
        // law says (the kernel's second derivative is singular there), so
        // the probe's median cell is taken to kSplineRefinement times the
        // width the law asks for it: most of the frame then passes.
        const double n = kSplineRefinement * kSplineCells * std::pow(median / tolerance, 0.25);
        if (!(n <= kMaxCheckedSplineCells)) return kMaxCheckedSplineCells;  // NaN included
        return std::max(kSplineCells, static_cast<int>(std::ceil(n)));
    }
    auto cellsFor = [&](double error) { return kProbeCells * std::pow(error / tolerance, 0.25); };
    if (!(cellsFor(median) <= kMaxCells)) return 0;
    return static_cast<int>(std::ceil(std::min<double>(cellsFor(worst), kMaxCells)));
}

inline void InverseCells::BuildAny(const Model& m, bool verify) {
    auto build = [&](const auto& eval) {
        double box[4];
        FrameBox(m, eval, box);
        if (!verify) {
            BuildGrid(m, eval, box, kSplineSeedCells, false);
            return;
        }
        // The error of the cubics shrinks as the fourth power of the cell
        // width: the probe's worst cell says how many cells the tolerance
        // needs, up to kMaxCells per side (the probe's larger cells
        // overstate the fourth-power law, which leaves the margin).
        // When even the probe's median cell would need more than kMaxCells,
        // a finer grid would verify few cells at a high price: the probe's
        // cubics stay, as seeds.
        double median = 0.0;
        const int probeCells = m.Type == TM_TRANS_TPS ? kSplineCells : kProbeCells;
        const double worst = BuildGrid(m, eval, box, probeCells, true, &median);
        const double tolerance = TolerancePx / (kSafety * PixelScale);
        if (!(worst > tolerance)) return;
        const int n = RefinedCells(m, worst, median, tolerance);
        if (n == 0) return;
        // The finer table is built cell by cell as conversions need it.
        auto probe = std::make_shared<const InverseCells>(std::move(*this));
        SetFrame(m, box, n);
        AllocateCells();
        Probe = std::move(probe);
    };
    switch (m.Type) {
        case TM_TRANS_POLY2: build(PolyEval<2>{m}); break;
        case TM_TRANS_POLY3: build(PolyEval<3>{m}); break;
        default: build(ModelEval{m}); break;
    }
}

}  // namespace tiemark
