// RobustFit.cpp - least median of squares, Tukey reweighting, and the
// spline's leave-one-out search.
#include "RobustFit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <utility>

#include "Conditioning.h"
#include "LsqDesign.h"

namespace tiemark {

namespace {

constexpr int kSamples = 400;
constexpr unsigned kSeed = 20261207u;
constexpr double kTukey = 4.685;
constexpr int kReweightings = 30;
// Median of |r|^2 / sigma^2 for 2-D Gaussian noise (chi-square, 2 degrees).
constexpr double kMedianChi2 = 1.3862943611198906;  // 2 ln 2

struct Normalised {
    double u, v, x, y;
};

Normalisation NormalisationOf(const std::vector<_CtrlPntStrcT>& points) {
    Normalisation n;
    double count = 0, reach[2] = {0, 0};
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        n.PixelX0 += p.PixelX, n.PixelY0 += p.PixelY, n.UserX0 += p.UserX, n.UserY0 += p.UserY;
        ++count;
    }
    if (count == 0) return n;
    n.PixelX0 /= count, n.PixelY0 /= count, n.UserX0 /= count, n.UserY0 /= count;
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        reach[0] = std::max({reach[0], std::fabs(p.PixelX - n.PixelX0), std::fabs(p.PixelY - n.PixelY0)});
        reach[1] = std::max({reach[1], std::fabs(p.UserX - n.UserX0), std::fabs(p.UserY - n.UserY0)});
    }
    n.PixelScale = reach[0] > 0 ? reach[0] : 1.0;
    n.UserScale = reach[1] > 0 ? reach[1] : 1.0;
    return n;
}

// Weighted least-squares fit of the type; weights of 0 drop a point.
bool WeightedFit(short type, bool mirror, const std::vector<Normalised>& pts, const std::vector<double>& weights,
                 Model* model, LsqFactor* kept = nullptr) {
    const int m = Unknowns(type), rhs = RightHandSides(type), per = RowsPerPoint(type);
    LsqFactor factor;
    factor.Reset(m, rhs);
    double rows[2][LsqFactor::kWidth];
    std::size_t count = 0;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (!(weights[i] > 0.0)) continue;
        const double root = std::sqrt(weights[i]);
        DesignRows(type, pts[i].u, pts[i].v, pts[i].x, pts[i].y, rows, mirror);
        for (int r = 0; r < per; ++r) {
            for (int k = 0; k < m + rhs; ++k) rows[r][k] *= root;
            factor.AddRow(rows[r]);
        }
        ++count;
    }
    if (count < CCtrlPntSet::MinPointsForType(type)) return false;
    if (type != TM_TRANS_SIMILARITY && !(factor.Condition(3) <= kMaxSpreadCondition)) return false;
    if (!(factor.Condition(m) <= MaxDesignCondition(type))) return false;
    double sol[2][LsqFactor::kMaxCols] = {};
    for (int j = 0; j < rhs; ++j)
        if (!factor.Solve(j, sol[j])) return false;
    SetCoefficients(type, mirror, sol, model);
    if (kept != nullptr) *kept = factor;
    return true;
}

// Squared residual lengths (normalised units) of every point under model.
void SquaredResiduals(const Model& model, const std::vector<Normalised>& pts, std::vector<double>* out) {
    out->resize(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) {
        double x, y;
        model.EvalNormalised(pts[i].u, pts[i].v, &x, &y);
        const double dx = x - pts[i].x, dy = y - pts[i].y;
        const double r2 = dx * dx + dy * dy;
        (*out)[i] = std::isfinite(r2) ? r2 : std::numeric_limits<double>::infinity();
    }
}

double Median(std::vector<double> values) {
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    return values[mid];
}

// The robust scale (normalised units) of a set of squared residual lengths.
double RobustScale(const std::vector<double>& r2) { return std::sqrt(Median(r2) / kMedianChi2); }

bool LeastMedianOfSquares(short type, bool mirror, const std::vector<Normalised>& pts, Model* best,
                          double* bestMedian) {
    const std::size_t n = pts.size(), need = CCtrlPntSet::MinPointsForType(type);
    std::mt19937 rng(kSeed);
    std::vector<std::size_t> order(n);
    std::vector<double> weights(n), r2;
    *bestMedian = std::numeric_limits<double>::infinity();
    Model model = *best;
    for (int s = 0; s < kSamples; ++s) {
        for (std::size_t i = 0; i < n; ++i) order[i] = i;
        // A partial Fisher-Yates shuffle picks the sample.
        for (std::size_t i = 0; i < need; ++i) {
            std::uniform_int_distribution<std::size_t> pick(i, n - 1);
            std::swap(order[i], order[pick(rng)]);
        }
        std::fill(weights.begin(), weights.end(), 0.0);
        for (std::size_t i = 0; i < need; ++i) weights[order[i]] = 1.0;
        if (!WeightedFit(type, mirror, pts, weights, &model)) continue;
        SquaredResiduals(model, pts, &r2);
        // The median, moved up by half a sample: a sample fits its own
        // points exactly, and the plain median of a small group would be
        // one of those zeros.
        const std::size_t h = std::min(n - 1, n / 2 + (need + 1) / 2);
        std::nth_element(r2.begin(), r2.begin() + static_cast<std::ptrdiff_t>(h), r2.end());
        const double median = r2[h];
        if (median < *bestMedian) *bestMedian = median, *best = model;
    }
    return std::isfinite(*bestMedian);
}

// The robust model of pts: least median of squares, then Tukey-weighted
// refits.  *scale: the robust scale (normalised units) of the points kept;
// *factor: the weighted factor of the final fit.
bool RobustModel(short type, const std::vector<Normalised>& pts, Model* model, double* scale, bool* mirrored,
                 LsqFactor* factor) {
    // The similarity comes direct or mirrored: the better median decides.
    double median = std::numeric_limits<double>::infinity();
    bool mirror = false;
    for (bool m : {false, true}) {
        if (m && type != TM_TRANS_SIMILARITY) break;
        Model candidate = *model;
        double candidateMedian;
        if (LeastMedianOfSquares(type, m, pts, &candidate, &candidateMedian) && candidateMedian < median)
            median = candidateMedian, *model = candidate, mirror = m;
    }
    if (!std::isfinite(median)) return false;
    std::vector<double> r2, weights(pts.size());
    double s = 0.0;
    for (int iter = 0; iter < kReweightings; ++iter) {
        SquaredResiduals(*model, pts, &r2);
        s = std::max(RobustScale(r2), 1e-13);
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const double t = r2[i] / (kTukey * kTukey * s * s);
            weights[i] = t < 1.0 ? (1.0 - t) * (1.0 - t) : 0.0;
        }
        Model next = *model;
        if (!WeightedFit(type, mirror, pts, weights, &next, factor)) break;
        *model = next;
    }
    // The final scale from the points the fit kept (weight > 0), the
    // outliers' residuals being no evidence of the noise.
    SquaredResiduals(*model, pts, &r2);
    std::vector<double> kept;
    for (double r : r2)
        if (r < kTukey * kTukey * s * s) kept.push_back(r);
    if (kept.size() * 2 > pts.size()) s = std::max(RobustScale(kept), 1e-13);
    // Residuals fall short of the noise by the parameters they fixed.
    const double rows = 2.0 * static_cast<double>(std::max(kept.size(), pts.size() / 2 + 1));
    const double params = static_cast<double>(Unknowns(type) * RightHandSides(type));
    if (rows <= params + 1.0) return false;  // too little redundancy to tell noise from error
    *scale = s * std::sqrt(rows / (rows - params));
    *mirrored = mirror;
    return true;
}

long LsqRobust(const std::vector<_CtrlPntStrcT>& points, short type, std::vector<RobustVerdict>* verdicts,
               RobustSummary* summary) {
    const Normalisation norm = NormalisationOf(points);
    std::vector<Normalised> used, all;
    for (const _CtrlPntStrcT& p : points) {
        Normalised q;
        Normalise(norm, p, &q.u, &q.v, &q.x, &q.y);
        all.push_back(q);
        if (p.UseFlag) used.push_back(q);
    }
    if (used.size() < CCtrlPntSet::MinPointsForType(type)) return TM_ERR_TOO_FEW;
    Model model;
    model.Type = type;
    model.Norm = norm;
    if (used.size() == CCtrlPntSet::MinPointsForType(type)) {
        // No redundancy: nothing can be told apart.
        std::vector<double> ones(used.size(), 1.0);
        if (!WeightedFit(type, false, used, ones, &model)) return TM_ERR_DEGENERATE;
        summary->Scale = 0.0;
        return TM_OK;
    }
    double scale = 0.0;
    bool mirror = false;
    LsqFactor factor;
    if (!RobustModel(type, used, &model, &scale, &mirror, &factor)) return TM_ERR_DEGENERATE;
    std::vector<double> r2;
    summary->Scale = scale * norm.UserScale;
    SquaredResiduals(model, all, &r2);
    for (std::size_t i = 0; i < points.size(); ++i) {
        double x, y;
        model.EvalNormalised(all[i].u, all[i].v, &x, &y);
        RobustVerdict& v = (*verdicts)[i];
        v.Residual[0] = (x - all[i].x) * norm.UserScale;
        v.Residual[1] = (y - all[i].y) * norm.UserScale;
        v.Score = std::sqrt(r2[i]) / scale;
        v.Outlier = points[i].UseFlag && v.Score > kOutlierScore;
    }
    return TM_OK;
}

// Points sharing a pixel position but not the user position, or the reverse.
std::size_t FindConflicts(const std::vector<_CtrlPntStrcT>& points, std::vector<RobustVerdict>* verdicts) {
    std::size_t found = 0;
    for (int side = 0; side < 2; ++side) {
        std::map<std::pair<double, double>, std::size_t> first;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const _CtrlPntStrcT& p = points[i];
            // +0.0 folds -0.0 into 0.0, so that they count as the same position.
            const std::pair<double, double> key = side == 0 ? std::make_pair(p.PixelX + 0.0, p.PixelY + 0.0)
                                                            : std::make_pair(p.UserX + 0.0, p.UserY + 0.0);
            auto [at, fresh] = first.emplace(key, i);
            if (fresh) continue;
            const _CtrlPntStrcT& q = points[at->second];
            const bool differ = side == 0 ? (p.UserX != q.UserX || p.UserY != q.UserY)
                                          : (p.PixelX != q.PixelX || p.PixelY != q.PixelY);
            if (!differ) continue;
            (*verdicts)[i].Conflict = at->second + 1;
            if ((*verdicts)[at->second].Conflict == 0) (*verdicts)[at->second].Conflict = i + 1;
            ++found;
        }
    }
    return found;
}

// A spline passes through its points, so its own residuals say nothing,
// and its leave-one-out residuals mix a bad point with the neighbours it
// spoils: its groups are checked against the robust polynomial of the
// highest order the points allow with room to spare.
short SplineDetector(const std::vector<_CtrlPntStrcT>& points) {
    std::size_t used = 0;
    for (const _CtrlPntStrcT& p : points) used += p.UseFlag ? 1 : 0;
    if (used >= 20) return TM_TRANS_POLY3;
    if (used >= 12) return TM_TRANS_POLY2;
    return TM_TRANS_POLY1;
}

}  // namespace

long RobustCheck(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType,
                 std::vector<RobustVerdict>* verdicts, RobustSummary* summary) {
    std::vector<RobustVerdict> out(points.size());
    RobustSummary s;
    s.Conflicts = FindConflicts(points, &out);
    (void)orientType;
    long rc = LsqRobust(points, transType == TM_TRANS_TPS ? SplineDetector(points) : transType, &out, &s);
    if (rc != TM_OK) return rc;
    for (const RobustVerdict& v : out) s.Outliers += v.Outlier ? 1 : 0;
    verdicts->swap(out);
    *summary = s;
    return TM_OK;
}

}  // namespace tiemark
