// CrossValidation.cpp - leave-one-out downdates of the least-squares fits
// and the closed form of the interpolating spline.
#include "CrossValidation.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "Conditioning.h"
#include "CpuDispatch.h"
#include "LsqDesign.h"
#include "NewtonInverse.h"
#include "SplineSystem.h"

namespace tiemark {

namespace {

constexpr int kW = LsqFactor::kWidth;
constexpr int kM = LsqFactor::kMaxCols;

// Below this 1 - leverage (or determinant of I - H) the fit without the
// point is undetermined: it alone fixes some parameter.
constexpr double kMinFreedom = 1e-10;
// Undamped Newton steps towards a left-out model's inverse from the stored
// pixel position, before the careful (damped) iteration takes over.
constexpr int kLooSteps = 8;

// The upper triangle of an m x m system, with one right-hand side in column m.
// Left uninitialised by default: made per point, it is filled before use.
struct Triangle {
    int m = 0;
    double r[kM + 1][kW];

    void ForwardSolve(const double* a, double* q) const {
        for (int i = 0; i < m; ++i) {
            double sum = a[i];
            for (int k = 0; k < i; ++k) sum -= r[k][i] * q[k];
            q[i] = sum / r[i][i];
        }
    }
    void BackSolve(const double* q, double* x) const {
        for (int i = m - 1; i >= 0; --i) {
            double sum = q[i];
            for (int k = i + 1; k < m; ++k) sum -= r[i][k] * x[k];
            x[i] = sum / r[i][i];
        }
    }
};

// Rotates row `from` into row `into` so that r[from][col] becomes zero.
void Rotate(Triangle* t, int into, int from, int col, int width) {
    double a = t->r[into][col], b = t->r[from][col];
    if (b == 0.0) return;
    double h = std::hypot(a, b), c = a / h, s = b / h;
    for (int j = col; j < width; ++j) {
        double x = t->r[into][j], y = t->r[from][j];
        t->r[into][j] = c * x + s * y;
        t->r[from][j] = c * y - s * x;
    }
}

struct UsedSums {
    std::size_t count = 0;
    double u = 0.0, v = 0.0;
};

// The sums of positions only where they are needed (the projective
// type's centre), else just the count: a pass of four divisions a point.
UsedSums SumUsed(const std::vector<_CtrlPntStrcT>& points, const Normalisation& norm, bool positions) {
    UsedSums s;
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        if (!positions) {
            ++s.count;
            continue;
        }
        double u, v, x, y;
        Normalise(norm, p, &u, &v, &x, &y);
        s.u += u, s.v += v;
        ++s.count;
    }
    return s;
}

// The left-out model's pixel residual: its inverse at the stored user
// position, started from the stored pixel position, which is close.
bool PixelResidual(const Model& model, const _CtrlPntStrcT& p, double out[2]) {
    const Normalisation& n = model.Norm;
    double u = (p.PixelX - n.PixelX0) / n.PixelScale, v = (p.PixelY - n.PixelY0) / n.PixelScale;
    double x = (p.UserX - n.UserX0) / n.UserScale, y = (p.UserY - n.UserY0) / n.UserScale;
    if (!InvertFrom(model, x, y, &u, &v)) {
        Model seeded = model;
        double px, py;
        if (!seeded.PrepareInverse() || seeded.Backward(p.UserX, p.UserY, &px, &py) != TM_OK) return false;
        out[0] = px - p.PixelX, out[1] = py - p.PixelY;
        return true;
    }
    out[0] = n.PixelX0 + n.PixelScale * u - p.PixelX;
    out[1] = n.PixelY0 + n.PixelScale * v - p.PixelY;
    return true;
}

// The pixel residual of a left-out model whose misfit at the stored pixel
// position is known (rx, ry, normalised): plain Newton steps, one for the
// similarity (a linear map), the careful way when they do not settle.
bool PixelResidualFrom(const Model& model, const _CtrlPntStrcT& p, double rx, double ry, double out[2]) {
    const Normalisation& n = model.Norm;
    const double x = (p.UserX - n.UserX0) / n.UserScale, y = (p.UserY - n.UserY0) / n.UserScale;
    const auto eval = [&model, x, y](double u, double v, NewtonPoint& at) {
        double fx, fy;
        model.EvalWithJacobian(u, v, &fx, &fy, at.j);
        at.u = u, at.v = v, at.rx = x - fx, at.ry = y - fy;
    };
    NewtonPoint start;
    eval((p.PixelX - n.PixelX0) / n.PixelScale, (p.PixelY - n.PixelY0) / n.PixelScale, start);
    start.rx = -rx, start.ry = -ry;  // the caller's misfit there (f less the target)
    // The similarity is linear: its first step is exact.
    const bool linear = model.Type == TM_TRANS_SIMILARITY;
    const auto exact = [linear](const NewtonPoint&, double, double, double) { return linear; };
    if (NewtonSolve<NewtonStep::Full>(eval, exact, NewtonTolerance2(x, y), kLooSteps, start) == NewtonEnd::Converged) {
        out[0] = n.PixelX0 + n.PixelScale * start.u - p.PixelX;
        out[1] = n.PixelY0 + n.PixelScale * start.v - p.PixelY;
        return true;
    }
    return PixelResidual(model, p, out);
}

// Everything the least-squares downdates of one fit share.
struct LsqContext {
    const Model* model = nullptr;
    short type = 0;
    bool mirror = false;
    int m = 0, rhs = 0, per = 0;
    Triangle factor;                  // R and Q^T b of the fit
    double rho = 0.0;                 // root of the residual sum of squares (one right-hand side)
    double sol[2][kM] = {};           // the fit's solution
    double variance = 0.0;            // residual variance, normalised units
    double params = 0.0;              // parameters of both axes
    UsedSums used;
};

LsqContext MakeContext(const Model& model, const LsqFactor& f, bool mirror, const std::vector<_CtrlPntStrcT>& points) {
    LsqContext c;
    c.factor = Triangle{};  // zero, below the triangle too
    c.model = &model;
    c.type = model.Type;
    c.mirror = mirror;
    c.m = f.Cols(), c.rhs = f.Rhs(), c.per = RowsPerPoint(c.type);
    c.factor.m = c.m;
    for (int i = 0; i < c.m; ++i)
        for (int j = 0; j < c.m + c.rhs; ++j) c.factor.r[i][j] = f.At(i, j);
    for (int j = 0; j < c.rhs; ++j) f.Solve(j, c.sol[j]);
    c.rho = std::sqrt(f.ResidualSumOfSquares(0));
    c.used = SumUsed(points, model.Norm, c.type == TM_TRANS_PROJECTIVE);
    c.params = static_cast<double>(c.m * c.rhs);
    double rss = 0.0;
    for (int j = 0; j < c.rhs; ++j) rss += f.ResidualSumOfSquares(j);
    const double freedom = 2.0 * static_cast<double>(c.used.count) - c.params;
    c.variance = freedom > 0 ? rss / freedom : 0.0;
    return c;
}

// The projective factor in the frame whose denominator is 1 at b: columns
// 6 and 7 gain b times the right-hand side column, which has entries down to
// the residual row 8, so rows 7 and 8 are rotated back into the triangle.
Triangle ShiftedProjective(const LsqContext& c, double bu, double bv) {
    Triangle t = c.factor;
    t.m = 8;
    for (int j = 0; j < 8; ++j) t.r[8][j] = 0.0;
    t.r[8][8] = c.rho;
    for (int i = 0; i <= 8; ++i) {
        t.r[i][6] += bu * t.r[i][8];
        t.r[i][7] += bv * t.r[i][8];
    }
    Rotate(&t, 6, 7, 6, 9);
    Rotate(&t, 6, 8, 6, 9);
    Rotate(&t, 7, 8, 7, 9);
    return t;
}

void PointLeverageOnly(const LsqContext& c, const _CtrlPntStrcT& p, LooPoint* out) {
    double u, v, x, y, rows[2][kW] = {};
    Normalise(c.model->Norm, p, &u, &v, &x, &y);
    DesignRows(c.type, u, v, x, y, rows, c.mirror);
    double h = 0.0;
    for (int r = 0; r < c.per; ++r) {
        double q[kM];
        c.factor.ForwardSolve(rows[r], q);
        for (int k = 0; k < c.m; ++k) h += q[k] * q[k];
    }
    out->Leverage = h / c.per;
}

// One used point of a two-row type through the shifted factor: the
// projective points ProjectiveChunk leaves (no residual, near-singular
// downdate).  The similarity and the polynomials have faster paths.
void LsqPoint(const LsqContext& c, const _CtrlPntStrcT& p, LooPoint* out) {
    const Model& model = *c.model;
    const Normalisation& norm = model.Norm;
    double u, v, x, y, rows[2][kW] = {};
    Normalise(norm, p, &u, &v, &x, &y);
    DesignRows(c.type, u, v, x, y, rows, c.mirror);
    const Triangle* factor = &c.factor;
    double sol[2][kM];
    std::copy(&c.sol[0][0], &c.sol[0][0] + 2 * kM, &sol[0][0]);
    Triangle shifted;
    double bu = 0.0, bv = 0.0;
    if (c.type == TM_TRANS_PROJECTIVE) {
        const double rest = static_cast<double>(c.used.count - 1);
        bu = (c.used.u - u) / rest, bv = (c.used.v - v) / rest;
        shifted = ShiftedProjective(c, bu, bv);
        factor = &shifted;
        double column[kM];
        for (int i = 0; i < 8; ++i) column[i] = shifted.r[i][8];
        shifted.BackSolve(column, sol[0]);
        for (int r = 0; r < 2; ++r) rows[r][6] += bu * rows[r][8], rows[r][7] += bv * rows[r][8];
    }
    // q_r = R^-T a_r, H = q^T q, e = A_i t - b_i.
    double q[2][kM] = {}, e[2][2] = {};
    for (int r = 0; r < c.per; ++r) factor->ForwardSolve(rows[r], q[r]);
    double h[2][2] = {};
    for (int r = 0; r < c.per; ++r)
        for (int s = 0; s < c.per; ++s)
            for (int k = 0; k < c.m; ++k) h[r][s] += q[r][k] * q[s][k];
    for (int j = 0; j < c.rhs; ++j)
        for (int r = 0; r < c.per; ++r) {
            double fitted = 0.0;
            for (int k = 0; k < c.m; ++k) fitted += rows[r][k] * sol[j][k];
            e[j][r] = fitted - rows[r][c.m + j];
        }
    // The projective leverage is the fit's own, not that of the shifted frame.
    if (c.type == TM_TRANS_PROJECTIVE)
        PointLeverageOnly(c, p, out);
    else
        out->Leverage = 0.5 * (h[0][0] + h[1][1]);
    // w_j = (I - H)^-1 e_j; without the point the solution moves by
    // R^-1 (q w_j) (e is fitted minus stored, hence the plus below).
    double w[2][2] = {};
    double influence = 0.0;
    const double a = 1.0 - h[0][0], b = -h[0][1], d = 1.0 - h[1][1];
    const double det = a * d - b * b;
    if (!(det > kMinFreedom)) {
        out->Status = TM_ERR_DEGENERATE;
        return;
    }
    w[0][0] = (d * e[0][0] - b * e[0][1]) / det;
    w[0][1] = (a * e[0][1] - b * e[0][0]) / det;
    for (int k = 0; k < c.m; ++k) {
        double g = q[0][k] * w[0][0] + q[1][k] * w[0][1];
        influence += g * g;
    }
    out->Influence = c.variance > 0.0 ? influence / (c.params * c.variance) : 0.0;
    Model loo = model;
    for (int j = 0; j < c.rhs; ++j) {
        double g[kM] = {}, delta[kM];
        for (int k = 0; k < c.m; ++k)
            for (int r = 0; r < c.per; ++r) g[k] += q[r][k] * w[j][r];
        factor->BackSolve(g, delta);
        for (int k = 0; k < c.m; ++k) sol[j][k] += delta[k];
    }
    SetCoefficients(c.type, c.mirror, sol, &loo);
    if (c.type == TM_TRANS_PROJECTIVE) {
        // Back to the fit's frame: h8 = 1 - b.(h6, h7), scaled to 1 again.
        const double h8 = 1.0 - bu * loo.H[6] - bv * loo.H[7];
        if (!(h8 > kMinProjectiveDenominator)) {
            out->Status = TM_ERR_DEGENERATE;
            return;
        }
        loo.H[8] = h8;
        for (double& hk : loo.H) hk /= h8;
    }
    double fx, fy;
    if (loo.Forward(p.PixelX, p.PixelY, &fx, &fy) != TM_OK) {
        out->Status = TM_ERR_DEGENERATE;
        return;
    }
    out->User[0] = fx - p.UserX, out->User[1] = fy - p.UserY;
    const double rx = out->User[0] / norm.UserScale, ry = out->User[1] / norm.UserScale;
    if (!PixelResidualFrom(loo, p, rx, ry, out->Pixel)) out->Status = TM_ERR_NO_CONVERGE;
}

// The projective type without the shifted factor.  Its fit is
//     min ||B h||  subject to  c^T h = 1,   B = [A, -b],  h = (t, h8),
// with c = e_8 for the fit (denominator 1 at the centre of the used points)
// and c = (0, .., 0, bu, bv, 1) for the fit without a point, whose centre is
// b = (bu, bv).  The solution is G^-1 c scaled to c^T h = 1, G = B^T B.  With
// R9 the fit's triangle bordered by its right-hand side column and the root
// of the residual sum of squares, G = D R9^T R9 D, D = diag(1, .., 1, -1),
// and without the point's rows U (Sherman-Morrison-Woodbury)
//     (G - U^T U)^-1 c~ = R9^-1 [s + P (I - P^T P)^-1 P^T s],
//     P = R9^-T U^T,  s = R9^-T c~,  c~ = D c = bu e6 + bv e7 - e8,
// two forward solves and one back solve of the shared 9 x 9 triangle a
// point.  P's first eight rows are the fit's own q = R^-T a, which gives the
// leverage as well.  The fit must leave a residual (R9 regular) and the
// 2 x 2 matrix I - P^T P must be well away from singular (as it is not when
// the points without this one fit exactly); otherwise LsqPoint takes the
// point through the shifted factor.
struct ProjectiveShared {
    bool usable = false;
    Triangle r9;
    double s6[9] = {}, s7[9] = {}, s8[9] = {};
};

// Below this determinant of I - P^T P the downdated system is left to the
// shifted factor, which does not square the condition of the 2 x 2 system.
constexpr double kMinProjectiveFreedom = 1e-3;

ProjectiveShared MakeProjectiveShared(const LsqContext& c) {
    ProjectiveShared s;
    s.r9 = c.factor;
    s.r9.m = 9;
    for (int j = 0; j < 8; ++j) s.r9.r[8][j] = 0.0;
    s.r9.r[8][8] = c.rho;
    double rhsNorm = 0.0;
    for (int i = 0; i <= 8; ++i) rhsNorm += s.r9.r[i][8] * s.r9.r[i][8];
    if (!(c.rho > 1e-8 * std::sqrt(rhsNorm))) return s;  // (nearly) exact fit
    double e[3][9] = {};
    e[0][6] = e[1][7] = e[2][8] = 1.0;
    s.r9.ForwardSolve(e[0], s.s6);
    s.r9.ForwardSolve(e[1], s.s7);
    s.r9.ForwardSolve(e[2], s.s8);
    s.usable = true;
    return s;
}

// One used point of the similarity: for a linear model the left-out
// residual is (I - H)^-1 e itself (H the point's 2 x 2 block of the hat
// matrix), and the pixel residual is one step through the left-out linear
// part, t_(i) = t + R^-1 q (I - H)^-1 e.  No model is formed.
void SimilarityPoint(const LsqContext& c, const double inverse[4], const _CtrlPntStrcT& p, LooPoint* out) {
    const Normalisation& norm = c.model->Norm;
    double u, v, x, y, rows[2][kW] = {};
    Normalise(norm, p, &u, &v, &x, &y);
    DesignRows(TM_TRANS_SIMILARITY, u, v, x, y, rows, c.mirror);
    double q[2][4], e[2];
    for (int r = 0; r < 2; ++r) {
        for (int i = 0; i < 4; ++i) {
            double sum = rows[r][i];
            for (int k = 0; k < i; ++k) sum -= c.factor.r[k][i] * q[r][k];
            q[r][i] = sum * inverse[i];
        }
        e[r] = rows[r][0] * c.sol[0][0] + rows[r][1] * c.sol[0][1] + rows[r][2] * c.sol[0][2] +
               rows[r][3] * c.sol[0][3] - rows[r][4];
    }
    double h00 = 0.0, h01 = 0.0, h11 = 0.0;
    for (int k = 0; k < 4; ++k) h00 += q[0][k] * q[0][k], h01 += q[0][k] * q[1][k], h11 += q[1][k] * q[1][k];
    out->Leverage = 0.5 * (h00 + h11);
    const double a = 1.0 - h00, b = -h01, d = 1.0 - h11;
    const double det = a * d - b * b;
    if (!(det > kMinFreedom)) {
        out->Status = TM_ERR_DEGENERATE;
        return;
    }
    const double w0 = (d * e[0] - b * e[1]) / det, w1 = (a * e[1] - b * e[0]) / det;
    double g[4], delta[4], t[4];
    double influence = 0.0;
    for (int k = 0; k < 4; ++k) {
        g[k] = q[0][k] * w0 + q[1][k] * w1;
        influence += g[k] * g[k];
    }
    for (int i = 3; i >= 0; --i) {
        double sum = g[i];
        for (int k = i + 1; k < 4; ++k) sum -= c.factor.r[i][k] * delta[k];
        delta[i] = sum * inverse[i];
        t[i] = c.sol[0][i] + delta[i];
    }
    out->Influence = c.variance > 0.0 ? influence / (c.params * c.variance) : 0.0;
    out->User[0] = norm.UserScale * w0, out->User[1] = norm.UserScale * w1;
    // The left-out linear part, as SetCoefficients lays it out.
    const double ja = t[1], jb = t[2];
    const double j00 = ja, j01 = c.mirror ? jb : -jb, j10 = jb, j11 = c.mirror ? -ja : ja;
    const double jdet = j00 * j11 - j01 * j10;
    if (!(std::fabs(jdet) > 0.0)) {
        out->Status = TM_ERR_DEGENERATE;
        return;
    }
    // The left-out model misses (x, y) by w at the stored pixel position.
    out->Pixel[0] = -norm.PixelScale * (j11 * w0 - j01 * w1) / jdet;
    out->Pixel[1] = -norm.PixelScale * (-j10 * w0 + j00 * w1) / jdet;
}

// The homography h (h8 = 1) solved for the pixel position of (x, y), both
// normalised: x (h6 u + h7 v + 1) = h0 u + h1 v + h2 and likewise y are two
// linear equations in (u, v).  False when they are (nearly) singular or the
// position is not in front (denominator not positive).
bool ProjectiveInverse(const double h[9], double x, double y, double* u, double* v) {
    const double a = h[0] - x * h[6], b = h[1] - x * h[7], c = h[3] - y * h[6], d = h[4] - y * h[7];
    const double e = x - h[2], f = y - h[5];
    const double det = a * d - b * c;
    const double size = std::fabs(a * d) + std::fabs(b * c);
    if (!(std::fabs(det) > 1e-12 * size)) return false;
    *u = (d * e - b * f) / det, *v = (a * f - c * e) / det;
    return h[6] * *u + h[7] * *v + 1.0 > kMinProjectiveDenominator;
}

// The points at[0..n) of a chunk.  The triangular solves run column by
// column across the points, as for the polynomials; the rest goes point by
// point.  Points the bordered triangle cannot take are appended to declined.
void ProjectiveChunk(const LsqContext& c, const ProjectiveShared& shared, const std::vector<_CtrlPntStrcT>& points,
                     const std::vector<std::size_t>& at, std::vector<double>& buffer, Model* loo,
                     std::vector<LooPoint>* out, std::vector<std::size_t>* declined) {
    const Normalisation& norm = c.model->Norm;
    const std::size_t n = at.size();
    buffer.resize(n * (4 + 3 * 9 + 2));
    double *U = buffer.data(), *V = U + n, *X = V + n, *Y = X + n;
    double *p0 = Y + n, *p1 = p0 + 9 * n, *h = p1 + 9 * n, *w0 = h + 9 * n, *w1 = w0 + n;
    for (std::size_t i = 0; i < n; ++i) Normalise(norm, points[at[i]], &U[i], &V[i], &X[i], &Y[i]);
    const auto& r = shared.r9.r;
    double inverse[9];
    for (int k = 0; k < 9; ++k) inverse[k] = 1.0 / r[k][k];
    // P = R9^-T U^T: the design rows (1, u, v, 0, 0, 0, -u x, -v x, x) and
    // (0, 0, 0, 1, u, v, -u y, -v y, y), then solved in place, column k of
    // all points at a time.
    for (std::size_t i = 0; i < n; ++i) {
        const double u = U[i], v = V[i], x = X[i], y = Y[i];
        const double row0[9] = {1.0, u, v, 0.0, 0.0, 0.0, -u * x, -v * x, x};
        const double row1[9] = {0.0, 0.0, 0.0, 1.0, u, v, -u * y, -v * y, y};
        for (int k = 0; k < 9; ++k) p0[k * n + i] = row0[k], p1[k * n + i] = row1[k];
    }
    for (int k = 0; k < 9; ++k) {
        double* a = p0 + k * n;
        double* b = p1 + k * n;
        for (int j = 0; j < k; ++j) {
            const double rjk = r[j][k];
            const double *aj = p0 + j * n, *bj = p1 + j * n;
            for (std::size_t i = 0; i < n; ++i) a[i] -= rjk * aj[i], b[i] -= rjk * bj[i];
        }
        for (std::size_t i = 0; i < n; ++i) a[i] *= inverse[k], b[i] *= inverse[k];
    }
    // s + P (I - P^T P)^-1 P^T s into h, point by point (nine terms each).
    const double rest = static_cast<double>(c.used.count - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const double bu = (c.used.u - U[i]) / rest, bv = (c.used.v - V[i]) / rest;
        double k00 = 1.0, k01 = 0.0, k11 = 1.0, t0 = 0.0, t1 = 0.0, sv[9];
        for (int k = 0; k < 9; ++k) {
            const double a = p0[k * n + i], b = p1[k * n + i];
            sv[k] = bu * shared.s6[k] + bv * shared.s7[k] - shared.s8[k];
            k00 -= a * a, k01 -= a * b, k11 -= b * b;
            t0 += a * sv[k], t1 += b * sv[k];
        }
        const double det = k00 * k11 - k01 * k01;
        const bool regular = det > kMinProjectiveFreedom;
        // A NaN in w0 marks the point for LsqPoint.
        w0[i] = regular ? (k11 * t0 - k01 * t1) / det : std::numeric_limits<double>::quiet_NaN();
        w1[i] = regular ? (k00 * t1 - k01 * t0) / det : 0.0;
        for (int k = 0; k < 9; ++k) h[k * n + i] = sv[k] + p0[k * n + i] * w0[i] + p1[k * n + i] * w1[i];
    }
    // R9^-1 in place, row k of all points at a time.
    for (int k = 8; k >= 0; --k) {
        double* hk = h + k * n;
        for (int j = k + 1; j < 9; ++j) {
            const double rkj = r[k][j];
            const double* hj = h + j * n;
            for (std::size_t i = 0; i < n; ++i) hk[i] -= rkj * hj[i];
        }
        for (std::size_t i = 0; i < n; ++i) hk[i] *= inverse[k];
    }
    const double cook = c.variance > 0.0 ? 1.0 / (c.params * c.variance) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        LooPoint& o = (*out)[at[i]];
        double leverage = 0.0;
        for (int k = 0; k < 8; ++k) leverage += p0[k * n + i] * p0[k * n + i] + p1[k * n + i] * p1[k * n + i];
        const double bu = (c.used.u - U[i]) / rest, bv = (c.used.v - V[i]) / rest;
        const double h8 = -h[8 * n + i];
        const double scale = bu * h[6 * n + i] + bv * h[7 * n + i] + h8;  // c^T h, positive for a regular G
        if (!(scale > 0.0) || !std::isfinite(scale) || std::isnan(w0[i])) {
            declined->push_back(at[i]);
            continue;
        }
        o.Leverage = 0.5 * leverage;
        // In the fit's frame: h8 = 1 - b.(h6, h7) after scaling to c^T h = 1.
        if (!(h8 / scale > kMinProjectiveDenominator)) {
            o.Status = TM_ERR_DEGENERATE;
            continue;
        }
        double t[8];
        for (int k = 0; k < 8; ++k) t[k] = h[k * n + i] / h8;
        // Cook's distance in the fit's own frame: ||R (t_(i) - t)||^2 / (p s^2).
        double influence = 0.0;
        for (int a = 0; a < 8; ++a) {
            double row = 0.0;
            for (int k = a; k < 8; ++k) row += c.factor.r[a][k] * (t[k] - c.sol[0][k]);
            influence += row * row;
        }
        o.Influence = cook * influence;
        const double hm[9] = {t[1], t[2], t[0], t[4], t[5], t[3], t[6], t[7], 1.0};
        std::copy(hm, hm + 9, loo->H);
        const double u = U[i], v = V[i];
        const double den = hm[6] * u + hm[7] * v + 1.0;
        if (!(den > kMinProjectiveDenominator)) {
            o.Status = TM_ERR_DEGENERATE;
            continue;
        }
        const double rx = (hm[0] * u + hm[1] * v + hm[2]) / den - X[i];
        const double ry = (hm[3] * u + hm[4] * v + hm[5]) / den - Y[i];
        o.User[0] = norm.UserScale * rx, o.User[1] = norm.UserScale * ry;
        if (ProjectiveInverse(hm, X[i], Y[i], &o.Pixel[0], &o.Pixel[1])) {
            o.Pixel[0] = norm.PixelX0 + norm.PixelScale * o.Pixel[0] - points[at[i]].PixelX;
            o.Pixel[1] = norm.PixelY0 + norm.PixelScale * o.Pixel[1] - points[at[i]].PixelY;
            continue;
        }
        if (!PixelResidualFrom(*loo, points[at[i]], rx, ry, o.Pixel)) o.Status = TM_ERR_NO_CONVERGE;
    }
}

// One axis of a polynomial of order <= 3 written around a point (u0, v0):
// its misfit there, its gradient there, and its terms of second and third
// degree in the offset (du, dv).  The Taylor series of a polynomial ends,
// so these give the misfit and the gradient at any offset exactly, at a
// fraction of the cost of the monomials: the Newton steps of the pixel
// figure run on offsets from the stored pixel position.
struct RecentredAxis {
    double r = 0.0, ju = 0.0, jv = 0.0;               // misfit and gradient at the centre
    double auu = 0.0, auv = 0.0, avv = 0.0;           // second-degree terms
    double buuu = 0.0, buuv = 0.0, buvv = 0.0, bvvv = 0.0;  // third-degree terms

    // Coefficients c (M of them, order 1, 2, 3), misfit r at (u, v).
    template <int M>
    void Set(const double* c, double u, double v, double misfit) {
        r = misfit;
        ju = c[1], jv = c[2];
        if constexpr (M > 3) {
            ju += 2.0 * c[3] * u + c[4] * v;
            jv += c[4] * u + 2.0 * c[5] * v;
            auu = c[3], auv = c[4], avv = c[5];
        }
        if constexpr (M > 6) {
            ju += 3.0 * c[6] * u * u + 2.0 * c[7] * u * v + c[8] * v * v;
            jv += c[7] * u * u + 2.0 * c[8] * u * v + 3.0 * c[9] * v * v;
            auu += 3.0 * c[6] * u + c[7] * v;
            auv += 2.0 * c[7] * u + 2.0 * c[8] * v;
            avv += c[8] * u + 3.0 * c[9] * v;
            buuu = c[6], buuv = c[7], buvv = c[8], bvvv = c[9];
        }
    }
    // Misfit at offset (du, dv).
    template <int M>
    double MisfitAt(double du, double dv) const {
        const double uu = du * du, uv = du * dv, vv = dv * dv;
        double f = r + ju * du + jv * dv + auu * uu + auv * uv + avv * vv;
        if constexpr (M > 6) f += buuu * uu * du + buuv * uu * dv + buvv * uv * dv + bvvv * vv * dv;
        return f;
    }
    // Gradient at offset (du, dv).
    template <int M>
    void GradientAt(double du, double dv, double* gu, double* gv) const {
        double a = ju + 2.0 * auu * du + auv * dv, b = jv + auv * du + 2.0 * avv * dv;
        if constexpr (M > 6) {
            const double uu = du * du, uv = du * dv, vv = dv * dv;
            a += 3.0 * buuu * uu + 2.0 * buuv * uv + buvv * vv;
            b += buuv * uu + 2.0 * buvv * uv + 3.0 * bvvv * vv;
        }
        *gu = a, *gv = b;
    }
};

// Newton steps for the offset (du, dv) at which the left-out polynomial,
// written around the stored pixel position (x, y: its two axes), meets the
// stored user position (x.r, y.r: the misfit at the stored position, f
// less the target) within tolerance2 (NewtonTolerance2 of the target).
// False when a few plain steps do not get there (far from the points, or a
// singular gradient): the careful inverse decides then.
template <int M>
bool RecentredNewton(const RecentredAxis& x, const RecentredAxis& y, double tolerance2, double* duOut,
                     double* dvOut) {
    const auto eval = [&x, &y](double du, double dv, NewtonPoint& at) {
        x.GradientAt<M>(du, dv, &at.j[0], &at.j[1]), y.GradientAt<M>(du, dv, &at.j[2], &at.j[3]);
        at.u = du, at.v = dv, at.rx = -x.MisfitAt<M>(du, dv), at.ry = -y.MisfitAt<M>(du, dv);
    };
    NewtonPoint p;
    p.rx = -x.r, p.ry = -y.r;
    p.j[0] = x.ju, p.j[1] = x.jv, p.j[2] = y.ju, p.j[3] = y.jv;
    if (NewtonSolve<NewtonStep::Full>(eval, NoNewtonShortcut{}, tolerance2, kLooSteps, p) != NewtonEnd::Converged)
        return false;
    *duOut = p.u, *dvOut = p.v;
    return true;
}

// The polynomials, all used points at once: the triangular solves and the
// residuals run column by column across the points, which vectorises; only
// the Newton steps of the pixel residual go point by point.
// Points taken at a time: 512 of them keep the columns (34 doubles a point
// at most) within the second-level cache.
constexpr std::size_t kBatch = 512;
// The polynomials' chunks: 256 points keep their columns (40 doubles a
// point at most, 80 KB) within the second-level cache, and below the size
// at which the allocator maps fresh pages (and takes their faults) per call.
constexpr std::size_t kPolyBatch = 256;

// Monomials of order <= 3 at (u, v), as many as M.
template <int M>
inline void Monomials(double u, double v, double* m) {
    m[0] = 1.0, m[1] = u, m[2] = v;
    if constexpr (M > 3) m[3] = u * u, m[4] = u * v, m[5] = v * v;
    if constexpr (M > 6) m[6] = u * u * u, m[7] = u * u * v, m[8] = u * v * v, m[9] = v * v * v;
}

// The columns of a chunk of n points, each n long: the normalised positions
// U, V, X, Y (in), then the monomials (mon, M columns), q = R^-T m,
// g = R^-1 q, the leverage h = |q|^2 (over the monomials' first column, all
// ones, no longer needed) and the fit's residuals e (EX, EY).
// Then, for the pixel figure, the offset (DU, DV) from the stored pixel
// position after two Newton steps of the left-out model, and its misfit
// there (RX, RY); EX and EY end as the left-out residuals w = e / (1 - h).
struct PolyColumns {
    std::size_t n = 0;
    // Distance between the columns, n: a field of its own, so that the
    // compiler does not relate it to the count of the loops (with the same
    // variable it assumes the columns may overlap and keeps them scalar).
    std::size_t stride = 0;
    const double *U, *V, *X, *Y;
    double *mon, *q, *g, *EX, *EY, *DU, *DV, *RX, *RY;
};

// The columns of a chunk never overlap, which the compiler cannot see
// through the pointers of a struct: without this it keeps the loops below
// scalar.
// Clang's hint also asks for vectors, and Clang warns where it still keeps
// the loop scalar (for some of the orders); that choice is the compiler's
// to make, as with GCC.
#if defined(__clang__)
#define MORVANE_COLUMNS_APART _Pragma("clang loop vectorize(assume_safety)")
#pragma clang diagnostic ignored "-Wpass-failed"
#elif defined(__GNUC__)
#define MORVANE_COLUMNS_APART _Pragma("GCC ivdep")
#else
#define MORVANE_COLUMNS_APART
#endif

// The left-out residual w = e / (1 - h), the left-out coefficients
// c + g w, and two Newton steps of the left-out model from the stored pixel
// position, where its misfit is w: a fixed count, without branches, so that
// the points run side by side in vectors instead of one long chain of
// dependent operations each.  Two steps meet the inverse's tolerance
// unless the point lies far from its left-out model; the caller checks the
// misfit and takes more steps there.  A leverage of 1 or a singular
// gradient gives non-finite values, which the caller's checks refuse.
template <int M>
inline __attribute__((always_inline)) void TwoNewtonSteps(const double (*sol)[kM], const PolyColumns& p) {
    const std::size_t n = p.n;
    const double* __restrict h = p.mon;
    const double* __restrict g = p.g;
    const std::size_t stride = p.stride;
    const double* __restrict U = p.U;
    const double* __restrict V = p.V;
    double* __restrict EX = p.EX;
    double* __restrict EY = p.EY;
    double* __restrict DU = p.DU;
    double* __restrict DV = p.DV;
    double* __restrict RX = p.RX;
    double* __restrict RY = p.RY;
    MORVANE_COLUMNS_APART
    for (std::size_t i = 0; i < n; ++i) {
        const double freedom = 1.0 - h[i];
        const double wx = EX[i] / freedom, wy = EY[i] / freedom;
        EX[i] = wx, EY[i] = wy;
        double cx[M], cy[M];
        for (int k = 0; k < M; ++k) {
            const double gk = g[k * stride + i];
            cx[k] = sol[0][k] + gk * wx;
            cy[k] = sol[1][k] + gk * wy;
        }
        double du, dv, rx, ry;
        if constexpr (M == 3) {
            // An affine map: one solve of its linear part is exact.  The
            // misfit is then zero, or not finite where the solve was not.
            const double inv = 1.0 / (cx[1] * cy[2] - cx[2] * cy[1]);
            du = (cx[2] * wy - cy[2] * wx) * inv;
            dv = (cy[1] * wx - cx[1] * wy) * inv;
            rx = du - du, ry = dv - dv;
        } else {
            RecentredAxis ax, ay;
            ax.Set<M>(cx, U[i], V[i], wx);
            ay.Set<M>(cy, U[i], V[i], wy);
            double j0 = ax.ju, j1 = ax.jv, j2 = ay.ju, j3 = ay.jv;
            du = 0.0, dv = 0.0, rx = wx, ry = wy;
            for (int step = 0; step < 2; ++step) {
                if (step > 0) ax.GradientAt<M>(du, dv, &j0, &j1), ay.GradientAt<M>(du, dv, &j2, &j3);
                const double inv = 1.0 / (j0 * j3 - j1 * j2);
                du -= (j3 * rx - j1 * ry) * inv;
                dv -= (j0 * ry - j2 * rx) * inv;
                rx = ax.MisfitAt<M>(du, dv), ry = ay.MisfitAt<M>(du, dv);
            }
        }
        DU[i] = du, DV[i] = dv, RX[i] = rx, RY[i] = ry;
    }
}

// Every step is a loop across the points, element by element, so that the
// clones below differ in the width of their vectors only, not in results.
template <int M>
inline __attribute__((always_inline)) void FillPolyColumns(const double (*r)[kW], const double (*sol)[kM],
                                                           const PolyColumns& p) {
    const std::size_t n = p.n;
    for (std::size_t i = 0; i < n; ++i) {
        double m[M];
        Monomials<M>(p.U[i], p.V[i], m);
        for (int k = 0; k < M; ++k) p.mon[k * p.stride + i] = m[k];
    }
    for (int k = 0; k < M; ++k) {
        double* __restrict qk = p.q + k * n;
        const double* __restrict mk = p.mon + k * n;
        for (std::size_t i = 0; i < n; ++i) qk[i] = mk[i];
        for (int j = 0; j < k; ++j) {
            const double rjk = r[j][k];
            const double* __restrict qj = p.q + j * n;
            for (std::size_t i = 0; i < n; ++i) qk[i] -= rjk * qj[i];
        }
        const double inv = 1.0 / r[k][k];
        for (std::size_t i = 0; i < n; ++i) qk[i] *= inv;
    }
    for (int k = M - 1; k >= 0; --k) {
        double* __restrict gk = p.g + k * n;
        const double* __restrict qk = p.q + k * n;
        for (std::size_t i = 0; i < n; ++i) gk[i] = qk[i];
        for (int j = k + 1; j < M; ++j) {
            const double rkj = r[k][j];
            const double* __restrict gj = p.g + j * n;
            for (std::size_t i = 0; i < n; ++i) gk[i] -= rkj * gj[i];
        }
        const double inv = 1.0 / r[k][k];
        for (std::size_t i = 0; i < n; ++i) gk[i] *= inv;
    }
    double* __restrict h = p.mon;
    double* __restrict ex = p.EX;
    double* __restrict ey = p.EY;
    const double* __restrict q0 = p.q;
    for (std::size_t i = 0; i < n; ++i)
        h[i] = q0[i] * q0[i], ex[i] = sol[0][0] - p.X[i], ey[i] = sol[1][0] - p.Y[i];
    for (int k = 1; k < M; ++k) {
        const double* __restrict qk = p.q + k * n;
        const double* __restrict mk = p.mon + k * n;
        const double sx = sol[0][k], sy = sol[1][k];
        for (std::size_t i = 0; i < n; ++i) h[i] += qk[i] * qk[i], ex[i] += mk[i] * sx, ey[i] += mk[i] * sy;
    }
    TwoNewtonSteps<M>(sol, p);
}

// One entry point per order, cloned for AVX2 where the platform allows.
MORVANE_CLONE_AVX2 void FillPolyColumns3(const double (*r)[kW], const double (*sol)[kM], const PolyColumns& p) {
    FillPolyColumns<3>(r, sol, p);
}
MORVANE_CLONE_AVX2 void FillPolyColumns6(const double (*r)[kW], const double (*sol)[kM], const PolyColumns& p) {
    FillPolyColumns<6>(r, sol, p);
}
MORVANE_CLONE_AVX2 void FillPolyColumns10(const double (*r)[kW], const double (*sol)[kM], const PolyColumns& p) {
    FillPolyColumns<10>(r, sol, p);
}

// Work space of the chunks, left uninitialised (every value is written
// before it is read), kept from chunk to chunk.
struct PolyWorkspace {
    std::unique_ptr<double[]> values;
    std::size_t size = 0;

    double* Get(std::size_t count) {
        if (count > size) values.reset(new double[count]), size = count;
        return values.get();
    }
};

template <int M>
void PolyLeaveOneOutChunk(const LsqContext& c, const std::vector<_CtrlPntStrcT>& points,
                          const std::vector<std::size_t>& at, PolyWorkspace& work, std::vector<LooPoint>* out) {
    const Model& model = *c.model;
    const Normalisation& norm = model.Norm;
    const std::size_t n = at.size();
    double* U = work.Get(n * (10 + 3 * M));
    double *V = U + n, *X = V + n, *Y = X + n, *EX = Y + n, *EY = EX + n;
    double *DU = EY + n, *DV = DU + n, *RX = DV + n, *RY = RX + n;
    double *mon = RY + n, *q = mon + M * n, *g = q + M * n;
    // Reciprocal scales: a multiplication a coordinate instead of a division.
    const double pixelInv = 1.0 / norm.PixelScale, userInv = 1.0 / norm.UserScale;
    for (std::size_t i = 0; i < n; ++i) {
        const _CtrlPntStrcT& p = points[at[i]];
        U[i] = (p.PixelX - norm.PixelX0) * pixelInv, V[i] = (p.PixelY - norm.PixelY0) * pixelInv;
        X[i] = (p.UserX - norm.UserX0) * userInv, Y[i] = (p.UserY - norm.UserY0) * userInv;
    }
    const PolyColumns columns{n, n, U, V, X, Y, mon, q, g, EX, EY, DU, DV, RX, RY};
    if constexpr (M == 3) FillPolyColumns3(c.factor.r, c.sol, columns);
    if constexpr (M == 6) FillPolyColumns6(c.factor.r, c.sol, columns);
    if constexpr (M == 10) FillPolyColumns10(c.factor.r, c.sol, columns);
    const double* h = mon;
    const double cook = c.variance > 0.0 ? 1.0 / (c.params * c.variance) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        LooPoint& o = (*out)[at[i]];
        const double freedom = 1.0 - h[i];
        o.Leverage = h[i];
        if (!(freedom > kMinFreedom)) {
            o.Status = TM_ERR_DEGENERATE;
            continue;
        }
        // w = e / (1 - h): the left-out residual (normalised units).
        const double wx = EX[i], wy = EY[i];
        o.User[0] = norm.UserScale * wx, o.User[1] = norm.UserScale * wy;
        o.Influence = cook * h[i] * (wx * wx + wy * wy);
        // The pixel figure is the offset from the stored pixel position at
        // which the left-out model meets the stored user position, to the
        // backward conversion's tolerance.
        const double tolerance2 = NewtonTolerance2(X[i], Y[i]);
        if (RX[i] * RX[i] + RY[i] * RY[i] <= tolerance2) {
            o.Pixel[0] = norm.PixelScale * DU[i], o.Pixel[1] = norm.PixelScale * DV[i];
            continue;
        }
        // Far from its left-out model: more steps, from the start.
        double cx[M], cy[M];
        for (int k = 0; k < M; ++k) {
            const double gk = g[k * n + i];
            cx[k] = c.sol[0][k] + gk * wx;
            cy[k] = c.sol[1][k] + gk * wy;
        }
        if constexpr (M > 3) {
            RecentredAxis ax, ay;
            ax.Set<M>(cx, U[i], V[i], wx);
            ay.Set<M>(cy, U[i], V[i], wy);
            double du, dv;
            if (RecentredNewton<M>(ax, ay, tolerance2, &du, &dv)) {
                o.Pixel[0] = norm.PixelScale * du, o.Pixel[1] = norm.PixelScale * dv;
                continue;
            }
        }
        Model loo = model;
        std::copy(cx, cx + M, loo.CoefX);
        std::copy(cy, cy + M, loo.CoefY);
        if (!PixelResidual(loo, points[at[i]], o.Pixel)) o.Status = TM_ERR_NO_CONVERGE;
    }
}

template <int M>
void PolyLeaveOneOutBatch(const LsqContext& c, const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out) {
    std::vector<std::size_t> at;
    PolyWorkspace work;
    at.reserve(kPolyBatch);
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (!points[k].UseFlag) continue;
        at.push_back(k);
        if (at.size() == kPolyBatch) {
            PolyLeaveOneOutChunk<M>(c, points, at, work, out);
            at.clear();
        }
    }
    if (!at.empty()) PolyLeaveOneOutChunk<M>(c, points, at, work, out);
}

std::vector<std::size_t> ProjectiveBatch(const LsqContext& c, const ProjectiveShared& shared,
                                         const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out) {
    std::vector<std::size_t> at, declined;
    std::vector<double> buffer;
    Model loo = *c.model;
    at.reserve(kBatch);
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (!points[k].UseFlag) continue;
        at.push_back(k);
        if (at.size() == kBatch) {
            ProjectiveChunk(c, shared, points, at, buffer, &loo, out, &declined);
            at.clear();
        }
    }
    if (!at.empty()) ProjectiveChunk(c, shared, points, at, buffer, &loo, out, &declined);
    return declined;
}

long LsqLeaveOneOut(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out) {
    bool mirror = false;
    const LsqFactor* factor = fit.SolvedFactor(&mirror);
    if (factor == nullptr) return TM_ERR_STATE;
    const Model& model = fit.Current();
    const LsqContext c = MakeContext(model, *factor, mirror, points);
    const bool tooFew = c.used.count <= CCtrlPntSet::MinPointsForType(c.type);
    bool batched = false;
    if (!tooFew) {
        switch (c.type) {
            case TM_TRANS_POLY1: PolyLeaveOneOutBatch<3>(c, points, out), batched = true; break;
            case TM_TRANS_POLY2: PolyLeaveOneOutBatch<6>(c, points, out), batched = true; break;
            case TM_TRANS_POLY3: PolyLeaveOneOutBatch<10>(c, points, out), batched = true; break;
            default: break;
        }
    }
    double similarityInverse[4] = {};
    for (int k = 0; k < 4 && c.type == TM_TRANS_SIMILARITY; ++k) similarityInverse[k] = 1.0 / c.factor.r[k][k];
    std::vector<std::size_t> declined;  // projective points the batch leaves to LsqPoint
    if (c.type == TM_TRANS_PROJECTIVE && !tooFew) {
        const ProjectiveShared projective = MakeProjectiveShared(c);
        if (projective.usable) {
            declined = ProjectiveBatch(c, projective, points, out);
            batched = true;
        }
    }
    // Batched with every point used: nothing left for a pass over them.
    const bool done = batched && c.used.count == points.size();
    for (std::size_t k = 0; k < points.size() && !done; ++k) {
        const _CtrlPntStrcT& p = points[k];
        LooPoint& o = (*out)[k];
        if (!p.UseFlag) {
            double r[4];
            o.Status = model.PointResidual(p, r);
            o.User[0] = r[0], o.User[1] = r[1], o.Pixel[0] = r[2], o.Pixel[1] = r[3];
            PointLeverageOnly(c, p, &o);
            continue;
        }
        if (tooFew) {
            PointLeverageOnly(c, p, &o);
            o.Status = TM_ERR_TOO_FEW;
            continue;
        }
        if (batched) continue;
        if (c.type == TM_TRANS_SIMILARITY)
            SimilarityPoint(c, similarityInverse, p, &o);
        else
            LsqPoint(c, p, &o);  // the projective type without a residual
    }
    for (std::size_t k : declined) LsqPoint(c, points[k], &(*out)[k]);
    return TM_OK;
}

// The spline of the used points in the system's order: the fit's own when
// the system is the plain one, else made afresh from the points in order.
// False when the points' system is singular.
bool SplineInOrder(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, SplineSystem* own,
                   const SplineSystem** system, Model* spline) {
    const Model& model = fit.Current();
    *spline = model;
    *system = fit.PlainSplineSystem();
    if (*system != nullptr) return true;
    // Centres were appended one by one: their order is not the points'
    // order, so the system of the points in order is made afresh.
    std::vector<double> cu, cv, bx, by;
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        double u, v, x, y;
        Normalise(model.Norm, p, &u, &v, &x, &y);
        bx.push_back(x), by.push_back(y);
        cu.push_back(u), cv.push_back(v);
    }
    const std::size_t used = cu.size();
    if (!own->Factor(cu, cv, kMinSplineRcond)) return false;
    Eigen::VectorXd rx = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(used + 3)), ry = rx;
    rx.head(static_cast<Eigen::Index>(used)) = Eigen::Map<const Eigen::VectorXd>(bx.data(), rx.size() - 3);
    ry.head(static_cast<Eigen::Index>(used)) = Eigen::Map<const Eigen::VectorXd>(by.data(), ry.size() - 3);
    const Eigen::VectorXd zx = own->Solve(rx, 0), zy = own->Solve(ry, 0);
    spline->CentreU = cu, spline->CentreV = cv;
    spline->WeightX.assign(zx.data(), zx.data() + used);
    spline->WeightY.assign(zy.data(), zy.data() + used);
    for (int k = 0; k < 3; ++k) {
        spline->CoefX[k] = zx[static_cast<Eigen::Index>(used) + k];
        spline->CoefY[k] = zy[static_cast<Eigen::Index>(used) + k];
    }
    *system = own;
    return true;
}

// The spline without centre i: its solution is the full one minus
// (dx, dy) times column i of M^-1 (the i-th cardinal function), and its
// weight at centre i is zero.
void LeftOutSpline(const Model& spline, const Eigen::VectorXd& column, const Eigen::Matrix3Xd& affine,
                   Eigen::Index i, double dx, double dy, Model* out) {
    const std::size_t n = spline.WeightX.size();
    for (std::size_t j = 0; j < n; ++j) {
        const double c = column[static_cast<Eigen::Index>(j)];
        out->WeightX[j] = spline.WeightX[j] - dx * c;
        out->WeightY[j] = spline.WeightY[j] - dy * c;
    }
    out->WeightX[static_cast<std::size_t>(i)] = 0.0;
    out->WeightY[static_cast<std::size_t>(i)] = 0.0;
    for (int k = 0; k < 3; ++k) {
        out->CoefX[k] = spline.CoefX[k] - dx * affine(k, i);
        out->CoefY[k] = spline.CoefY[k] - dy * affine(k, i);
    }
}

long SplineLeaveOneOut(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out) {
    const Model& model = fit.Current();
    const Normalisation& norm = model.Norm;
    std::size_t used = 0;
    for (const _CtrlPntStrcT& p : points) used += p.UseFlag ? 1 : 0;
    const bool tooFew = used <= CCtrlPntSet::MinPointsForType(TM_TRANS_TPS);
    SplineSystem own;
    const SplineSystem* system = nullptr;
    Model spline, loo;
    Eigen::MatrixXd rotated;
    Eigen::Matrix3Xd affine;
    Eigen::VectorXd column;
    if (!tooFew) {
        if (!SplineInOrder(fit, points, &own, &system, &spline)) return TM_ERR_DEGENERATE;
        system->BaseInverse(&rotated, &affine);
        loo = spline;
    }
    Eigen::Index centre = 0;
    double sumSquares = 0.0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const _CtrlPntStrcT& p = points[k];
        LooPoint& o = (*out)[k];
        o.Leverage = 1.0;  // an interpolating spline reproduces every used point
        if (!p.UseFlag) {
            double r[4];
            o.Status = model.PointResidual(p, r);
            o.User[0] = r[0], o.User[1] = r[1], o.Pixel[0] = r[2], o.Pixel[1] = r[3];
            o.Leverage = 0.0;
            continue;
        }
        const Eigen::Index i = centre++;
        if (tooFew) {
            o.Status = TM_ERR_TOO_FEW;
            continue;
        }
        system->KernelInverseColumn(rotated, i, &column);
        const double d = column[i];
        if (!(d > 0.0) || !std::isfinite(d)) {
            o.Status = TM_ERR_DEGENERATE;
            continue;
        }
        // z' = z - (z_i / d) M^-1 e_i makes weight i zero; row i of the
        // system then says the left-out spline is off by -z_i / d there.
        const double dx = spline.WeightX[static_cast<std::size_t>(i)] / d;
        const double dy = spline.WeightY[static_cast<std::size_t>(i)] / d;
        o.User[0] = -norm.UserScale * dx, o.User[1] = -norm.UserScale * dy;
        sumSquares += o.User[0] * o.User[0] + o.User[1] * o.User[1];
        LeftOutSpline(spline, column, affine, i, dx, dy, &loo);
        if (!PixelResidualFrom(loo, p, -dx, -dy, o.Pixel)) o.Status = TM_ERR_NO_CONVERGE;
    }
    const double mean = used > 0 ? sumSquares / static_cast<double>(used) : 0.0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        LooPoint& o = (*out)[k];
        if (!points[k].UseFlag || o.Status != TM_OK) continue;
        o.Influence = mean > 0.0 ? (o.User[0] * o.User[0] + o.User[1] * o.User[1]) / mean : 0.0;
    }
    return TM_OK;
}

}  // namespace

bool InvertFrom(const Model& model, double x, double y, double* uOut, double* vOut) {
    double u = *uOut, v = *vOut;
    if (model.SolveDamped(x, y, &u, &v) != TM_OK) return false;
    if (model.Type == TM_TRANS_PROJECTIVE && !(model.H[6] * u + model.H[7] * v + model.H[8] > kMinProjectiveDenominator))
        return false;
    *uOut = u, *vOut = v;
    return true;
}

long LeaveOneOut(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, std::vector<LooPoint>* out) {
    out->assign(points.size(), LooPoint{});
    if (fit.Current().Type == TM_TRANS_TPS) return SplineLeaveOneOut(fit, points, out);
    return LsqLeaveOneOut(fit, points, out);
}

long PredictionRms(const std::vector<_CtrlPntStrcT>& points, const std::vector<LooPoint>& loo, double rms[2]) {
    double su = 0.0, sp = 0.0;
    std::size_t n = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (!points[k].UseFlag) continue;
        const LooPoint& o = loo[k];
        if (o.Status != TM_OK) return o.Status == TM_ERR_TOO_FEW ? TM_ERR_TOO_FEW : TM_ERR_DEGENERATE;
        su += o.User[0] * o.User[0] + o.User[1] * o.User[1];
        sp += o.Pixel[0] * o.Pixel[0] + o.Pixel[1] * o.Pixel[1];
        ++n;
    }
    if (n == 0) return TM_ERR_TOO_FEW;
    rms[0] = std::sqrt(su / static_cast<double>(n));
    rms[1] = std::sqrt(sp / static_cast<double>(n));
    return TM_OK;
}

}  // namespace tiemark
