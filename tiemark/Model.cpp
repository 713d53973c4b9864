// Model.cpp - evaluation, inversion and frame ranges of a fitted model.
#include "Model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Conditioning.h"
#include "NewtonInverse.h"
#include "SplineKernel.h"
#include "TransTypes.h"

namespace tiemark {

namespace {

// Damped steps before the iteration stops where it is.  Near the answer
// each step squares the relative misfit, so a converging iteration takes a
// handful; the rest is room for a far seed's halved steps.
constexpr int kDampedSteps = 100;

// Affine, similarity, projective and the spline's affine part use 3.
int TermsOf(short type) {
    const TransTypeShape* shape = ShapeOf(type);
    return shape != nullptr ? shape->termsPerAxis : 3;
}

void Monomials(double u, double v, int terms, double* m) {
    m[0] = 1.0;
    m[1] = u;
    m[2] = v;
    if (terms <= 3) return;
    m[3] = u * u;
    m[4] = u * v;
    m[5] = v * v;
    if (terms <= 6) return;
    m[6] = m[3] * u;
    m[7] = m[3] * v;
    m[8] = u * m[5];
    m[9] = m[5] * v;
}

// Partial derivatives of the monomials by u and by v.
void MonomialGradients(double u, double v, int terms, double* du, double* dv) {
    du[0] = 0.0, dv[0] = 0.0;
    du[1] = 1.0, dv[1] = 0.0;
    du[2] = 0.0, dv[2] = 1.0;
    if (terms <= 3) return;
    du[3] = 2 * u, dv[3] = 0.0;
    du[4] = v, dv[4] = u;
    du[5] = 0.0, dv[5] = 2 * v;
    if (terms <= 6) return;
    du[6] = 3 * u * u, dv[6] = 0.0;
    du[7] = 2 * u * v, dv[7] = u * u;
    du[8] = v * v, dv[8] = 2 * u * v;
    du[9] = 0.0, dv[9] = 3 * v * v;
}

// Roots of a + b t + c t^2 inside (0, 1), appended to out.
void QuadraticRootsInUnit(double a, double b, double c, double* out, int* n) {
    auto keep = [&](double t) {
        if (t > 0.0 && t < 1.0) out[(*n)++] = t;
    };
    double scale = std::max({std::fabs(a), std::fabs(b), std::fabs(c)});
    if (scale == 0.0) return;
    if (std::fabs(c) <= 1e-14 * scale) {
        if (std::fabs(b) > 1e-14 * scale) keep(-a / b);
        return;
    }
    double disc = b * b - 4 * a * c;
    if (disc < 0.0) return;
    // Stable form: q = -(b + sign(b) sqrt(disc)) / 2, roots q / c and a / q.
    double q = -0.5 * (b + std::copysign(std::sqrt(disc), b));
    keep(q / c);
    if (q != 0.0) keep(a / q);
}

// Singular value ratio (smallest / largest) of a 2 x 2 matrix.
double SingularRatio(const double j[4]) {
    double a = j[0], b = j[1], c = j[2], d = j[3];
    double s1 = a * a + b * b + c * c + d * d;
    double det = std::fabs(a * d - b * c);
    if (s1 == 0.0) return 0.0;
    // sigma_max^2 + sigma_min^2 = s1, sigma_max * sigma_min = det.
    double root = std::sqrt(std::max(0.0, s1 * s1 - 4 * det * det));
    double smax2 = 0.5 * (s1 + root);
    double smin = det / std::sqrt(smax2);
    return smin / std::sqrt(smax2);
}

}  // namespace

void Model::EvalNormalised(double u, double v, double* x, double* y) const {
    if (Type == TM_TRANS_PROJECTIVE) {
        double w = H[6] * u + H[7] * v + H[8];
        *x = (H[0] * u + H[1] * v + H[2]) / w;
        *y = (H[3] * u + H[4] * v + H[5]) / w;
        return;
    }
    const int terms = TermsOf(Type);
    double m[10];
    Monomials(u, v, terms, m);
    double sx = 0.0, sy = 0.0;
    for (int k = 0; k < terms; ++k) {
        sx += CoefX[k] * m[k];
        sy += CoefY[k] * m[k];
    }
    if (Type == TM_TRANS_TPS) {
        double kx, ky;
        SplineKernelSum(CentreU.data(), CentreV.data(), WeightX.data(), WeightY.data(),
                        CentreU.size(), u, v, &kx, &ky, nullptr);
        sx += kx;
        sy += ky;
    }
    *x = sx;
    *y = sy;
}

void Model::EvalWithJacobian(double u, double v, double* x, double* y, double jac[4]) const {
    if (Type == TM_TRANS_PROJECTIVE) {
        double w = H[6] * u + H[7] * v + H[8];
        double nx = H[0] * u + H[1] * v + H[2];
        double ny = H[3] * u + H[4] * v + H[5];
        *x = nx / w;
        *y = ny / w;
        jac[0] = (H[0] - *x * H[6]) / w;
        jac[1] = (H[1] - *x * H[7]) / w;
        jac[2] = (H[3] - *y * H[6]) / w;
        jac[3] = (H[4] - *y * H[7]) / w;
        return;
    }
    const int terms = TermsOf(Type);
    double m[10], du[10], dv[10];
    Monomials(u, v, terms, m);
    MonomialGradients(u, v, terms, du, dv);
    double sx = 0, sy = 0, j0 = 0, j1 = 0, j2 = 0, j3 = 0;
    for (int k = 0; k < terms; ++k) {
        sx += CoefX[k] * m[k];
        sy += CoefY[k] * m[k];
        j0 += CoefX[k] * du[k];
        j1 += CoefX[k] * dv[k];
        j2 += CoefY[k] * du[k];
        j3 += CoefY[k] * dv[k];
    }
    if (Type == TM_TRANS_TPS) {
        double kx, ky, g[4];
        SplineKernelSum(CentreU.data(), CentreV.data(), WeightX.data(), WeightY.data(),
                        CentreU.size(), u, v, &kx, &ky, g);
        sx += kx, sy += ky;
        j0 += g[0], j1 += g[1], j2 += g[2], j3 += g[3];
    }
    *x = sx, *y = sy;
    jac[0] = j0, jac[1] = j1, jac[2] = j2, jac[3] = j3;
}

bool Model::PrepareInverse() {
    double x, y, j[4];
    if (Type == TM_TRANS_PROJECTIVE) {
        // Inverse homography: the adjugate of H.
        double a = H[0], b = H[1], c = H[2], d = H[3], e = H[4], f = H[5], g = H[6], h = H[7],
               i = H[8];
        double adj[9] = {e * i - f * h, c * h - b * i, b * f - c * e,
                         f * g - d * i, a * i - c * g, c * d - a * f,
                         d * h - e * g, b * g - a * h, a * e - b * d};
        double det = a * adj[0] + b * adj[3] + c * adj[6];
        double norm = 0.0;
        for (double v : H) norm = std::max(norm, std::fabs(v));
        if (!(std::fabs(det) > 1e-12 * norm * norm * norm)) return false;
        std::copy(adj, adj + 9, HInv);
    }
    EvalWithJacobian(0.0, 0.0, &x, &y, j);
    if (!(SingularRatio(j) >= kMinJacobianRatio)) return false;
    double det = j[0] * j[3] - j[1] * j[2];
    Inv[0] = j[3] / det;
    Inv[1] = -j[1] / det;
    Inv[2] = -j[2] / det;
    Inv[3] = j[0] / det;
    CentreX = x;
    CentreY = y;
    return true;
}

long Model::Forward(double pixelX, double pixelY, double* userX, double* userY) const {
    double u = (pixelX - Norm.PixelX0) / Norm.PixelScale;
    double v = (pixelY - Norm.PixelY0) / Norm.PixelScale;
    if (Type == TM_TRANS_PROJECTIVE && !(H[6] * u + H[7] * v + H[8] > kMinProjectiveDenominator))
        return TM_ERR_OUTSIDE;
    double x, y;
    EvalNormalised(u, v, &x, &y);
    double X = Norm.UserX0 + Norm.UserScale * x;
    double Y = Norm.UserY0 + Norm.UserScale * y;
    if (!std::isfinite(X) || !std::isfinite(Y)) return TM_ERR_OUTSIDE;
    *userX = X;
    *userY = Y;
    return TM_OK;
}

long Model::Backward(double userX, double userY, double* pixelX, double* pixelY) const {
    double x = (userX - Norm.UserX0) / Norm.UserScale;
    double y = (userY - Norm.UserY0) / Norm.UserScale;
    double u, v;
    if (Type == TM_TRANS_POLY1 || Type == TM_TRANS_SIMILARITY) {
        u = Inv[0] * (x - CentreX) + Inv[1] * (y - CentreY);
        v = Inv[2] * (x - CentreX) + Inv[3] * (y - CentreY);
    } else if (Type == TM_TRANS_PROJECTIVE) {
        double w = HInv[6] * x + HInv[7] * y + HInv[8];
        u = (HInv[0] * x + HInv[1] * y + HInv[2]) / w;
        v = (HInv[3] * x + HInv[4] * y + HInv[5]) / w;
        // The result must lie on the side of the horizon the points are on.
        if (!(H[6] * u + H[7] * v + H[8] > kMinProjectiveDenominator)) return TM_ERR_OUTSIDE;
    } else if (long rc = NewtonBackward(x, y, &u, &v); rc != TM_OK) {
        return rc;
    }
    double px = Norm.PixelX0 + Norm.PixelScale * u;
    double py = Norm.PixelY0 + Norm.PixelScale * v;
    if (!std::isfinite(px) || !std::isfinite(py)) return TM_ERR_OUTSIDE;
    *pixelX = px;
    *pixelY = py;
    return TM_OK;
}

long Model::NewtonBackward(double x, double y, double* uOut, double* vOut) const {
    // Seed from the inverse of the linearisation at the centre of the points.
    *uOut = Inv[0] * (x - CentreX) + Inv[1] * (y - CentreY);
    *vOut = Inv[2] * (x - CentreX) + Inv[3] * (y - CentreY);
    return SolveDamped(x, y, uOut, vOut);
}

long Model::SolveDamped(double x, double y, double* u, double* v) const {
    const auto eval = [this, x, y](double pu, double pv, NewtonPoint& at) {
        double fx, fy;
        EvalWithJacobian(pu, pv, &fx, &fy, at.j);
        at.u = pu, at.v = pv, at.rx = x - fx, at.ry = y - fy;
    };
    NewtonPoint p;
    eval(*u, *v, p);
    switch (NewtonSolve<NewtonStep::Halved>(eval, NoNewtonShortcut{}, NewtonTolerance2(x, y), kDampedSteps, p)) {
        case NewtonEnd::Converged: break;
        // At the limit of the arithmetic: what it allows, a misfit of a few
        // ulps of the output.
        case NewtonEnd::Stopped:
            if (NewtonAcceptable(p.Misfit2(), x, y)) break;
            return TM_ERR_NO_CONVERGE;
        case NewtonEnd::Singular: return TM_ERR_NO_CONVERGE;
    }
    *u = p.u;
    *v = p.v;
    return TM_OK;
}

long Model::PointResidual(const _CtrlPntStrcT& p, double r[4]) const {
    double X, Y, px, py;
    if (long rc = Forward(p.PixelX, p.PixelY, &X, &Y); rc != TM_OK) return rc;
    if (long rc = Backward(p.UserX, p.UserY, &px, &py); rc != TM_OK) return rc;
    r[0] = X - p.UserX;
    r[1] = Y - p.UserY;
    r[2] = px - p.PixelX;
    r[3] = py - p.PixelY;
    return TM_OK;
}

long Model::PolyFrameRange(double u0, double v0, double u1, double v1, double range[4]) const {
    // Along each edge the map is a polynomial of order <= 3 in the edge
    // parameter; its extremes lie at the corners or where its derivative
    // vanishes, which is a quadratic: so the bounding box is exact.
    const int terms = TermsOf(Type);
    double lo[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    double hi[2] = {-lo[0], -lo[1]};
    auto include = [&](double u, double v) {
        double x, y;
        EvalNormalised(u, v, &x, &y);
        lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
        lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
    };
    struct Edge { double ua, va, ub, vb; };
    const Edge edges[4] = {{u0, v0, u1, v0}, {u1, v0, u1, v1}, {u1, v1, u0, v1}, {u0, v1, u0, v0}};
    for (const Edge& e : edges) {
        include(e.ua, e.va);
        // Coefficients in t of u = ua + t du, v = va + t dv, by sampling the
        // polynomial at four parameters and taking divided differences.
        double du = e.ub - e.ua, dv = e.vb - e.va;
        for (const double* coef : {CoefX, CoefY}) {
            double f[4];
            for (int k = 0; k < 4; ++k) {
                double m[10];
                Monomials(e.ua + du * k / 3.0, e.va + dv * k / 3.0, terms, m);
                f[k] = 0.0;
                for (int q = 0; q < terms; ++q) f[k] += coef[q] * m[q];
            }
            // Cubic through (0,f0), (1/3,f1), (2/3,f2), (1,f3) in power form.
            double c0 = f[0];
            double c1 = (-11 * f[0] + 18 * f[1] - 9 * f[2] + 2 * f[3]) / 2.0;
            double c2 = (18 * f[0] - 45 * f[1] + 36 * f[2] - 9 * f[3]) / 2.0;
            double c3 = (-9 * f[0] + 27 * f[1] - 27 * f[2] + 9 * f[3]) / 2.0;
            (void)c0;
            double roots[2];
            int n = 0;
            QuadraticRootsInUnit(c1, 2 * c2, 3 * c3, roots, &n);
            for (int k = 0; k < n; ++k) include(e.ua + du * roots[k], e.va + dv * roots[k]);
        }
    }
    range[0] = Norm.UserX0 + Norm.UserScale * lo[0];
    range[1] = Norm.UserY0 + Norm.UserScale * lo[1];
    range[2] = Norm.UserX0 + Norm.UserScale * hi[0];
    range[3] = Norm.UserY0 + Norm.UserScale * hi[1];
    return TM_OK;
}

void Model::SplineFrameRange(double u0, double v0, double u1, double v1, double out[4]) const {
    // Smooth but not polynomial: sample every edge, then refine each edge's
    // extremes at the vertex of the parabola through the best sample and its
    // neighbours.  Every value taken is a real point of the edge, so the box
    // can only grow towards the true one.
    constexpr int kSamples = 128;
    double lo[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    double hi[2] = {-lo[0], -lo[1]};
    auto include = [&](double x, double y) {
        lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
        lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
    };
    const double cu[5] = {u0, u1, u1, u0, u0}, cv[5] = {v0, v0, v1, v1, v0};
    double val[2][kSamples + 1];
    for (int e = 0; e < 4; ++e) {
        const double du = cu[e + 1] - cu[e], dv = cv[e + 1] - cv[e];
        for (int k = 0; k <= kSamples; ++k) {
            double t = static_cast<double>(k) / kSamples;
            EvalNormalised(cu[e] + t * du, cv[e] + t * dv, &val[0][k], &val[1][k]);
            include(val[0][k], val[1][k]);
        }
        for (int c = 0; c < 2; ++c)
            for (double sign : {1.0, -1.0}) {
                int best = 0;
                for (int k = 1; k <= kSamples; ++k)
                    if (sign * val[c][k] > sign * val[c][best]) best = k;
                if (best == 0 || best == kSamples) continue;
                double fm = val[c][best - 1], f0 = val[c][best], fp = val[c][best + 1];
                double curvature = fm - 2 * f0 + fp;
                if (curvature == 0.0) continue;
                double offset = 0.5 * (fm - fp) / curvature;  // within (-1, 1) samples
                if (!(std::fabs(offset) < 1.0)) continue;
                double t = (best + offset) / kSamples, x, y;
                EvalNormalised(cu[e] + t * du, cv[e] + t * dv, &x, &y);
                include(x, y);
            }
    }
    out[0] = Norm.UserX0 + Norm.UserScale * lo[0];
    out[1] = Norm.UserY0 + Norm.UserScale * lo[1];
    out[2] = Norm.UserX0 + Norm.UserScale * hi[0];
    out[3] = Norm.UserY0 + Norm.UserScale * hi[1];
}

long Model::FrameRange(double x0, double y0, double x1, double y1, double range[4]) const {
    double u0 = (x0 - Norm.PixelX0) / Norm.PixelScale, v0 = (y0 - Norm.PixelY0) / Norm.PixelScale;
    double u1 = (x1 - Norm.PixelX0) / Norm.PixelScale, v1 = (y1 - Norm.PixelY0) / Norm.PixelScale;
    double out[4];
    if (Type == TM_TRANS_TPS) {
        SplineFrameRange(u0, v0, u1, v1, out);
    } else if (Type == TM_TRANS_PROJECTIVE) {
        // Straight edges stay straight while the frame lies on the points'
        // side of the horizon (the denominator is linear: check the corners).
        const double cu[4] = {u0, u1, u1, u0}, cv[4] = {v0, v0, v1, v1};
        for (int k = 0; k < 4; ++k)
            if (!(H[6] * cu[k] + H[7] * cv[k] + H[8] > kMinProjectiveDenominator)) return TM_ERR_OUTSIDE;
        double lo[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
        double hi[2] = {-lo[0], -lo[1]};
        for (int k = 0; k < 4; ++k) {
            double x, y;
            EvalNormalised(cu[k], cv[k], &x, &y);
            lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
            lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
        }
        out[0] = Norm.UserX0 + Norm.UserScale * lo[0];
        out[1] = Norm.UserY0 + Norm.UserScale * lo[1];
        out[2] = Norm.UserX0 + Norm.UserScale * hi[0];
        out[3] = Norm.UserY0 + Norm.UserScale * hi[1];
    } else {
        PolyFrameRange(u0, v0, u1, v1, out);
    }
    for (double v : out)
        if (!std::isfinite(v)) return TM_ERR_OUTSIDE;
    std::copy(out, out + 4, range);
    return TM_OK;
}

}  // namespace tiemark
