// Uncertainty.cpp - parameter covariance carried to a position, and the
// spline's neighbourhood estimate.
#include "Uncertainty.h"

#include <algorithm>
#include <cmath>

#include "Conditioning.h"
#include "LsqDesign.h"

namespace tiemark {

namespace {

constexpr int kW = LsqFactor::kWidth;
constexpr int kM = LsqFactor::kMaxCols;

long LsqPositionError(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points, double pixelX,
                      double pixelY, PositionError* out) {
    bool mirror = false;
    const LsqFactor* factor = fit.SolvedFactor(&mirror);
    if (factor == nullptr) return TM_ERR_STATE;
    const Model& model = fit.Current();
    const Normalisation& n = model.Norm;
    std::size_t used = 0;
    for (const _CtrlPntStrcT& p : points) used += p.UseFlag ? 1 : 0;
    const int m = factor->Cols(), rhs = factor->Rhs();
    const double params = static_cast<double>(m * rhs);
    const double freedom = 2.0 * static_cast<double>(used) - params;
    if (!(freedom > 0.0)) return TM_ERR_TOO_FEW;  // an exact fit shows no noise
    double rss = 0.0;
    for (int j = 0; j < rhs; ++j) rss += factor->ResidualSumOfSquares(j);
    const double variance = rss / freedom;
    const double u = (pixelX - n.PixelX0) / n.PixelScale, v = (pixelY - n.PixelY0) / n.PixelScale;
    double x, y;
    model.EvalNormalised(u, v, &x, &y);
    if (!std::isfinite(x) || !std::isfinite(y)) return TM_ERR_OUTSIDE;
    double rows[2][kW] = {};
    DesignRows(model.Type, u, v, x, y, rows, mirror);
    if (model.Type == TM_TRANS_PROJECTIVE) {
        const double d = model.H[6] * u + model.H[7] * v + model.H[8];
        if (!(d > kMinProjectiveDenominator)) return TM_ERR_OUTSIDE;
        for (auto& row : rows)
            for (int k = 0; k < m; ++k) row[k] /= d;
    }
    double q[2][kM] = {};
    const int per = RowsPerPoint(model.Type);
    for (int r = 0; r < per; ++r)
        if (!factor->SolveTransposed(rows[r], q[r])) return TM_ERR_DEGENERATE;
    const double s2 = variance * n.UserScale * n.UserScale;
    double c[2][2] = {};
    for (int r = 0; r < per; ++r)
        for (int t = 0; t < per; ++t)
            for (int k = 0; k < m; ++k) c[r][t] += q[r][k] * q[t][k];
    if (per == 1) {
        out->Cov[0] = out->Cov[2] = s2 * c[0][0];  // x and y share the design
        out->Cov[1] = 0.0;
    } else {
        out->Cov[0] = s2 * c[0][0], out->Cov[1] = s2 * c[0][1], out->Cov[2] = s2 * c[1][1];
    }
    return TM_OK;
}

long SplinePositionError(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points,
                         const std::vector<LooPoint>& loo, double pixelX, double pixelY, PositionError* out) {
    struct Near {
        double d2;
        std::size_t index;
    };
    std::vector<Near> near;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const _CtrlPntStrcT& p = points[k];
        if (!p.UseFlag) continue;
        if (loo[k].Status != TM_OK) return loo[k].Status;
        if (near.empty()) minX = maxX = p.PixelX, minY = maxY = p.PixelY;
        minX = std::min(minX, p.PixelX), maxX = std::max(maxX, p.PixelX);
        minY = std::min(minY, p.PixelY), maxY = std::max(maxY, p.PixelY);
        const double dx = p.PixelX - pixelX, dy = p.PixelY - pixelY;
        near.push_back({dx * dx + dy * dy, k});
    }
    if (near.empty()) return TM_ERR_TOO_FEW;
    const std::size_t count = std::min<std::size_t>(6, near.size());
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end(),
                      [](const Near& a, const Near& b) { return a.d2 < b.d2; });
    const double spacing2 = (maxX - minX) * (maxY - minY) / static_cast<double>(near.size());
    const double soften = 0.1 * std::max(spacing2, 1e-12);
    double weights = 0.0, c[3] = {0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < count; ++k) {
        const double w = 1.0 / (near[k].d2 + soften);
        const LooPoint& o = loo[near[k].index];
        c[0] += w * o.User[0] * o.User[0];
        c[1] += w * o.User[0] * o.User[1];
        c[2] += w * o.User[1] * o.User[1];
        weights += w;
    }
    (void)fit;
    for (int k = 0; k < 3; ++k) out->Cov[k] = c[k] / weights;
    return TM_OK;
}

}  // namespace

long PredictPositionError(const FitCache& fit, const std::vector<_CtrlPntStrcT>& points,
                          const std::vector<LooPoint>& loo, double pixelX, double pixelY, PositionError* out) {
    if (fit.Current().Type == TM_TRANS_TPS) return SplinePositionError(fit, points, loo, pixelX, pixelY, out);
    return LsqPositionError(fit, points, pixelX, pixelY, out);
}

void EllipseOf(const double cov[3], double* major, double* minor, double* angle) {
    const double a = cov[0], b = cov[1], c = cov[2];
    const double mean = 0.5 * (a + c), half = std::hypot(0.5 * (a - c), b);
    *major = std::sqrt(std::max(0.0, mean + half));
    *minor = std::sqrt(std::max(0.0, mean - half));
    *angle = 0.5 * std::atan2(2.0 * b, a - c);
}

}  // namespace tiemark
