// FitCache.cpp - fitting from scratch, incremental updates and the RMS cache.
#include "FitCache.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <new>

#include "Conditioning.h"
#include "LsqDesign.h"
#include "SplineKernel.h"
#include "TransTypes.h"

namespace tiemark {

namespace {

// The normalisation of the used points; *used receives their count.
Normalisation ChooseNormalisation(const std::vector<_CtrlPntStrcT>& points, std::size_t* used) {
    // One pass: the sums for the centre and the extremes for the scale.
    NormalisationSums sums;
    for (const _CtrlPntStrcT& p : points)
        if (p.UseFlag) sums.Add(p);
    return sums.Finish(used);
}

// Design rows absorbed into the factor at a time: 256 rows of 12 values
// (24 KiB) stay in the first-level cache while they are reflected.
constexpr std::size_t kBlockRows = 256;

}  // namespace

Normalisation NormalisationSums::Finish(std::size_t* used) const {
    // The largest |p - centre| is reached at an extreme because rounding is
    // monotonic, so the extremes give exactly what a second pass over the
    // deviations would.
    Normalisation norm;
    *used = static_cast<std::size_t>(N);
    if (N == 0) return norm;
    norm.PixelX0 = Sx / N, norm.PixelY0 = Sy / N, norm.UserX0 = SX / N, norm.UserY0 = SY / N;
    const double centre[4] = {norm.PixelX0, norm.PixelY0, norm.UserX0, norm.UserY0};
    double reach[4];
    for (int k = 0; k < 4; ++k) reach[k] = std::max(std::fabs(Hi[k] - centre[k]), std::fabs(Lo[k] - centre[k]));
    const double ps = std::max(reach[0], reach[1]), us = std::max(reach[2], reach[3]);
    norm.PixelScale = ps > 0 ? ps : 1.0;
    norm.UserScale = us > 0 ? us : 1.0;
    for (int k = 0; k < 2; ++k) {
        norm.PixelLo[k] = (Lo[k] - centre[k]) / norm.PixelScale;
        norm.PixelHi[k] = (Hi[k] - centre[k]) / norm.PixelScale;
    }
    return norm;
}

void FitCache::PointAdded(const _CtrlPntStrcT& p, short transType) {
    HasSums = false;
    ++Revision;
    if (!Valid) return;
    if (transType == TM_TRANS_TPS && Type == TM_TRANS_TPS) {
        SplinePointAdded(p);
        return;
    }
    if (!HasFactor || transType != Type) {
        Valid = false;
        return;
    }
    double u, v, x, y;
    Normalise(Fitted.Norm, p, &u, &v, &x, &y);
    const double reach = kMaxNormalisedReach;
    if (!(std::fabs(u) <= reach && std::fabs(v) <= reach && std::fabs(x) <= reach && std::fabs(y) <= reach)) {
        Valid = false;  // outgrew the normalisation: refit with a new one
        return;
    }
    double rows[2][LsqFactor::kWidth] = {};
    DesignRows(Type, u, v, x, y, rows);
    for (int r = 0; r < RowsPerPoint(Type); ++r) Factor.AddRow(rows[r]);
    if (Type == TM_TRANS_SIMILARITY) {
        DesignRows(Type, u, v, x, y, rows, true);
        for (int r = 0; r < 2; ++r) Mirror.AddRow(rows[r]);
    }
    ++UsedPoints;
    Solved = false;
    RmsValid = false;
}

void FitCache::PointsAppended(const _CtrlPntStrcT* points, std::size_t count, std::size_t used,
                              short transType) {
    if (used == 0) return;
    if (Valid && transType == TM_TRANS_TPS && Type == TM_TRANS_TPS && used == 1) {
        // The spline borders its system with one point at a time.
        for (std::size_t i = 0; i < count; ++i)
            if (points[i].UseFlag) PointAdded(points[i], transType);
        return;
    }
    if (!Valid || transType != Type || !HasFactor) {
        // Several points for the spline, whose bordering goes one point at a
        // time, refit instead.  The least-squares types absorb the block as
        // one point at a time would, in the same normalisation, so that a
        // block gives the fit its points one by one would have given.
        Invalidate();
        return;
    }
    ++Revision;
    const int per = RowsPerPoint(Type);
    const bool similarity = Type == TM_TRANS_SIMILARITY;
    alignas(64) double block[kBlockRows][LsqFactor::kWidth];
    alignas(64) double mirrorBlock[kBlockRows][LsqFactor::kWidth];
    std::size_t filled = 0;
    const double reach = kMaxNormalisedReach;
    for (std::size_t i = 0; i < count; ++i) {
        const _CtrlPntStrcT& p = points[i];
        if (!p.UseFlag) continue;
        double u, v, x, y;
        Normalise(Fitted.Norm, p, &u, &v, &x, &y);
        if (!(std::fabs(u) <= reach && std::fabs(v) <= reach && std::fabs(x) <= reach && std::fabs(y) <= reach)) {
            Valid = false;  // outgrew the normalisation: refit with a new one
            return;
        }
        DesignRows(Type, u, v, x, y, block + filled);
        if (similarity) DesignRows(Type, u, v, x, y, mirrorBlock + filled, true);
        filled += static_cast<std::size_t>(per);
        if (filled + 2 > kBlockRows) {
            Factor.AddRows(block[0], filled);
            if (similarity) Mirror.AddRows(mirrorBlock[0], filled);
            filled = 0;
        }
    }
    if (filled > 0) {
        Factor.AddRows(block[0], filled);
        if (similarity) Mirror.AddRows(mirrorBlock[0], filled);
    }
    UsedPoints += used;
    Solved = false;
    RmsValid = false;
}

long FitCache::Ensure(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType) {
    if (Valid && Type == transType && Orient == orientType) {
        if (!Solved) {
            Status = SolveFactor();
            Solved = true;
        }
        return Status;
    }
    return FitFromScratch(points, transType, orientType);
}

long FitCache::FitFromScratch(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType) {
    ++Revision;
    std::size_t used = 0;
    // Everything is built in locals first: an allocation failure leaves the cache as it was.
    Model model;
    model.Type = transType;
    model.Norm = HasSums ? Sums.Finish(&used) : ChooseNormalisation(points, &used);
    long status = TM_OK;
    LsqFactor factor, mirror;
    bool hasFactor = false;
    if (used < CCtrlPntSet::MinPointsForType(transType)) {
        status = TM_ERR_TOO_FEW;
    } else if (transType == TM_TRANS_TPS) {
        status = FitSpline(points, used, &model);
    } else {
        BuildFactor(points, transType, model.Norm, false, &factor);
        if (transType == TM_TRANS_SIMILARITY) BuildFactor(points, transType, model.Norm, true, &mirror);
        hasFactor = true;
    }
    if (transType != TM_TRANS_TPS || status != TM_OK) Spline.reset();
    RmsValid = false;
    Type = transType;
    Orient = orientType;
    UsedPoints = used;
    HasFactor = hasFactor;
    Factor = factor;
    Mirror = mirror;
    Fitted = std::move(model);
    Valid = true;
    Solved = true;
    if (hasFactor) status = SolveFactor();
    Status = status;
    return Status;
}

void FitCache::BuildFactor(const std::vector<_CtrlPntStrcT>& points, short type,
                           const Normalisation& norm, bool mirror, LsqFactor* factor) {
    const int m = Unknowns(type), rhs = RightHandSides(type), per = RowsPerPoint(type);
    factor->Reset(m, rhs);
    // The design rows are streamed through a block small enough to stay in
    // the first-level cache and absorbed a block at a time with Householder
    // reflections: no matrix of all rows is ever built.
    alignas(64) double block[kBlockRows][LsqFactor::kWidth];
    std::size_t filled = 0;
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        double u, v, x, y;
        Normalise(norm, p, &u, &v, &x, &y);
        DesignRows(type, u, v, x, y, block + filled, mirror);
        filled += static_cast<std::size_t>(per);
        if (filled + 2 > kBlockRows) {
            factor->AddRows(block[0], filled);
            filled = 0;
        }
    }
    if (filled > 0) factor->AddRows(block[0], filled);
}

bool FitCache::PreferMirror() const {
    // A pixel frame whose line axis points down is mirrored against a map
    // frame; the data decide, and where both fit alike (two points, or an
    // exact fit either way) the orientation does.
    double direct = Factor.ResidualSumOfSquares(0), mirrored = Mirror.ResidualSumOfSquares(0);
    double tie = 1e-20 * static_cast<double>(UsedPoints) + 1e-9 * std::min(direct, mirrored);
    if (mirrored + tie < direct) return true;
    if (direct + tie < mirrored) return false;
    return Orient == TM_ORIENT_LINE_DOWN;
}

long FitCache::SolveFactor() {
    const short type = Type;
    if (UsedPoints < CCtrlPntSet::MinPointsForType(type)) return TM_ERR_TOO_FEW;
    const int m = Unknowns(type);
    const bool mirror = type == TM_TRANS_SIMILARITY && PreferMirror();
    const LsqFactor& factor = mirror ? Mirror : Factor;
    if (type != TM_TRANS_SIMILARITY && !(factor.Condition(3) <= kMaxSpreadCondition))
        return TM_ERR_DEGENERATE;
    if (!(factor.Condition(m) <= MaxDesignCondition(type))) return TM_ERR_DEGENERATE;
    Model& model = Fitted;
    std::fill(model.CoefX, model.CoefX + 10, 0.0);
    std::fill(model.CoefY, model.CoefY + 10, 0.0);
    std::fill(model.H, model.H + 9, 0.0);
    double sol[2][LsqFactor::kMaxCols] = {};
    for (int j = 0; j < factor.Rhs(); ++j)
        if (!factor.Solve(j, sol[j])) return TM_ERR_DEGENERATE;
    SetCoefficients(type, mirror, sol, &model);
    for (int k = 0; k < 10; ++k)
        if (!std::isfinite(model.CoefX[k]) || !std::isfinite(model.CoefY[k])) return TM_ERR_DEGENERATE;
    for (double h : model.H)
        if (!std::isfinite(h)) return TM_ERR_DEGENERATE;
    if (!model.PrepareInverse()) return TM_ERR_DEGENERATE;
    return TM_OK;
}

long FitCache::FitSpline(const std::vector<_CtrlPntStrcT>& points, std::size_t used, Model* model) {
    // Interpolating thin plate spline: [K P; P^T 0] [w; a] = [x; 0] for both
    // output coordinates, with K_ij = phi(|c_i - c_j|) and P_i = (1, u_i, v_i).
    const Normalisation& norm = model->Norm;
    const Eigen::Index n = static_cast<Eigen::Index>(used);
    std::vector<double> cu(used), cv(used);
    Eigen::VectorXd bx = Eigen::VectorXd::Zero(n + 3), by = Eigen::VectorXd::Zero(n + 3);
    LsqFactor spread;
    spread.Reset(3, 0);
    Eigen::Index i = 0;
    for (const _CtrlPntStrcT& p : points) {
        if (!p.UseFlag) continue;
        double u, v, x, y;
        Normalise(norm, p, &u, &v, &x, &y);
        cu[i] = u, cv[i] = v, bx[i] = x, by[i] = y;
        double row[3] = {1.0, u, v};
        spread.AddRow(row);
        ++i;
    }
    if (!(spread.Condition(3) <= kMaxSpreadCondition)) return TM_ERR_DEGENERATE;
    auto system = std::make_shared<SplineSystem>();
    if (!system->Factor(cu, cv, kMinSplineRcond)) return TM_ERR_DEGENERATE;
    Eigen::MatrixX2d z(n + 3, 2);
    z.col(0) = system->Solve(bx, 0);
    z.col(1) = system->Solve(by, 0);
    if (!z.allFinite()) return TM_ERR_DEGENERATE;
    model->CentreU = std::move(cu);
    model->CentreV = std::move(cv);
    model->WeightX.assign(z.col(0).data(), z.col(0).data() + n);
    model->WeightY.assign(z.col(1).data(), z.col(1).data() + n);
    for (int k = 0; k < 3; ++k) {
        model->CoefX[k] = z(n + k, 0);
        model->CoefY[k] = z(n + k, 1);
    }
    if (!model->PrepareInverse()) return TM_ERR_DEGENERATE;
    Spline = std::move(system);
    SplineBorders = 0;
    SplineZ = std::move(z);
    return TM_OK;
}

void FitCache::SplinePointAdded(const _CtrlPntStrcT& p) {
    try {
        if (Status != TM_OK || !Spline) {
            Valid = false;
            return;
        }
        double u, v, x, y;
        Normalise(Fitted.Norm, p, &u, &v, &x, &y);
        const double reach = kMaxNormalisedReach;
        if (!(std::fabs(u) <= reach && std::fabs(v) <= reach) ||
            SplineBorders >= std::max(kMinSplineBorders, Spline->BaseCount())) {
            Valid = false;
            return;
        }
        // Copies share the system; one that went on with other points of its
        // own gets a private copy first.
        std::shared_ptr<SplineSystem> system = Spline;
        if (system.use_count() > 1 && system->Borders() != SplineBorders)
            system = std::make_shared<SplineSystem>(*system);
        if (!system->Append(u, v, SplineBorders, kMinSplinePivot)) {
            Valid = false;
            return;
        }
        Eigen::MatrixX2d z = system->ExtendSolution(SplineZ, x, y, SplineBorders + 1);
        // The model lists base centres, then appended ones; the system puts
        // the affine terms between them.
        const Eigen::Index base = static_cast<Eigen::Index>(system->BaseCount());
        const Eigen::Index total = z.rows() - 3;
        Model model = Fitted;
        model.CentreU.push_back(u);
        model.CentreV.push_back(v);
        model.WeightX.resize(static_cast<std::size_t>(total));
        model.WeightY.resize(static_cast<std::size_t>(total));
        for (Eigen::Index k = 0; k < total; ++k) {
            Eigen::Index row = k < base ? k : k + 3;
            model.WeightX[static_cast<std::size_t>(k)] = z(row, 0);
            model.WeightY[static_cast<std::size_t>(k)] = z(row, 1);
        }
        for (int k = 0; k < 3; ++k) {
            model.CoefX[k] = z(base + k, 0);
            model.CoefY[k] = z(base + k, 1);
        }
        if (!z.allFinite() || !model.PrepareInverse()) {
            Valid = false;
            return;
        }
        Spline = std::move(system);
        ++SplineBorders;
        SplineZ = std::move(z);
        Fitted = std::move(model);
        ++UsedPoints;
        RmsValid = false;
    } catch (const std::bad_alloc&) {
        Valid = false;  // a cache may always fall back to a refit
    }
}

long FitCache::Rms(const std::vector<_CtrlPntStrcT>& points, double rms[2]) {
    if (!RmsValid) {
        double su = 0.0, sp = 0.0;
        std::size_t n = 0;
        for (const _CtrlPntStrcT& p : points) {
            if (!p.UseFlag) continue;
            double r[4];
            if (long rc = Fitted.PointResidual(p, r); rc != TM_OK) return rc;
            su += r[0] * r[0] + r[1] * r[1];
            sp += r[2] * r[2] + r[3] * r[3];
            ++n;
        }
        RmsCache[0] = n ? std::sqrt(su / n) : 0.0;
        RmsCache[1] = n ? std::sqrt(sp / n) : 0.0;
        RmsValid = true;
    }
    rms[0] = RmsCache[0];
    rms[1] = RmsCache[1];
    return TM_OK;
}

bool FitCache::UserRmsFromFactor(double* userRms) const {
    // The polynomials and the similarity are linear least-squares fits of
    // the normalised user coordinates, so the factor's residual sums are the
    // sum of the squared user residuals over the used points, in units of
    // UserScale squared.  The projective fit minimises an algebraic residual
    // and the spline is no least-squares fit: those need the points.
    const bool linear = Type == TM_TRANS_POLY1 || Type == TM_TRANS_POLY2 || Type == TM_TRANS_POLY3 ||
                        Type == TM_TRANS_SIMILARITY;
    if (!Valid || !Solved || Status != TM_OK || !HasFactor || !linear || UsedPoints == 0) return false;
    const LsqFactor& factor = Type == TM_TRANS_SIMILARITY && PreferMirror() ? Mirror : Factor;
    double rss = 0.0;
    for (int j = 0; j < factor.Rhs(); ++j) rss += factor.ResidualSumOfSquares(j);
    *userRms = Fitted.Norm.UserScale * std::sqrt(rss / static_cast<double>(UsedPoints));
    return true;
}

bool FitCache::IsOutlier(const std::vector<_CtrlPntStrcT>& points, double dx, double dy) {
    // From the factor where possible: after an appended point that costs
    // O(1), where summing the residuals again would cost O(P).
    double userRms;
    if (!UserRmsFromFactor(&userRms)) {
        double rms[2];
        if (Rms(points, rms) != TM_OK) return false;
        userRms = rms[0];
    }
    double r = std::hypot(dx, dy);
    // The floor keeps rounding noise of an exact fit from counting.
    return r > 3.0 * userRms && r > 1e-9 * Fitted.Norm.UserScale;
}

void FitCache::Swap(FitCache& other) {
    // Revisions only grow, so that a diagnostic made before the swap never
    // passes for one of the fit swapped in.
    const unsigned long long next = std::max(Revision, other.Revision) + 1;
    std::swap(*this, other);
    Revision = other.Revision = next;
}

const LsqFactor* FitCache::SolvedFactor(bool* mirrored) const {
    if (!Valid || !Solved || !HasFactor || Status != TM_OK) return nullptr;
    const bool mirror = Type == TM_TRANS_SIMILARITY && PreferMirror();
    if (mirrored != nullptr) *mirrored = mirror;
    return mirror ? &Mirror : &Factor;
}

}  // namespace tiemark
