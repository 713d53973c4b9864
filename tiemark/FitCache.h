// FitCache.h - the cached fit of one group's transformation.
//
// The cache is either dirty (must refit from scratch on the next Ensure) or
// holds the outcome of the last fit: a model, or the reason no model exists
// (too few used points, degenerate configuration).  For the polynomial,
// similarity and projective types it also keeps the R factor of a QR
// factorisation of the normalised least-squares system, so that a used point
// appended to the group updates the fit in O(m^2) with Givens rotations
// instead of a refit.  The normalisation is fixed at the last refit; a point
// outside twice its extent makes the cache dirty, so the next Ensure picks a
// new normalisation from all points.  The thin plate spline keeps its
// factorised system (SplineSystem) the same way and borders it with each
// appended point; copies of a cache share that system, which only grows.
#ifndef MORVANE_TIEMARK_FITCACHE_H
#define MORVANE_TIEMARK_FITCACHE_H

#include <Eigen/Dense>
#include <memory>
#include <vector>

#include "CtrlPntSet.h"
#include "LsqFactor.h"
#include "Model.h"
#include "SplineSystem.h"

namespace tiemark {

// Running sums over the used points from which a fit's normalisation is
// chosen (centre: the means; scale: the largest reach from it).  Points added
// in index order give exactly the normalisation a pass over them gives.
struct NormalisationSums {
    double N = 0, Sx = 0, Sy = 0, SX = 0, SY = 0;
    double Lo[4] = {0, 0, 0, 0}, Hi[4] = {0, 0, 0, 0};

    void Add(const _CtrlPntStrcT& p) {
        const double c[4] = {p.PixelX, p.PixelY, p.UserX, p.UserY};
        if (N == 0) {
            for (int k = 0; k < 4; ++k) Lo[k] = Hi[k] = c[k];
        }
        for (int k = 0; k < 4; ++k) {
            Lo[k] = c[k] < Lo[k] ? c[k] : Lo[k];
            Hi[k] = c[k] > Hi[k] ? c[k] : Hi[k];
        }
        ++N;
        Sx += p.PixelX, Sy += p.PixelY, SX += p.UserX, SY += p.UserY;
    }
    // The normalisation; *used receives the number of points added.
    Normalisation Finish(std::size_t* used) const;
};

class FitCache {
public:
    // Marks the fit for a refit from scratch.
    void Invalidate() {
        Valid = false;
        HasSums = false;
        ++Revision;
    }
    // The normalisation sums of exactly the current used points, so that the
    // next refit need not pass over the points to choose its normalisation.
    // Dropped by the next Invalidate or PointAdded.
    void KnowSums(const NormalisationSums& sums) {
        Sums = sums;
        HasSums = true;
    }
    // A used point was appended (or a point switched on): update in place
    // where possible, else mark dirty.  Throws nothing: when memory runs out
    // the cache just becomes dirty.
    void PointAdded(const _CtrlPntStrcT& p, short transType);
    // count records were appended, `used` of them with the use flag on: the
    // factor absorbs their rows as one block where that is cheaper than a
    // refit, else the cache becomes dirty.  Throws nothing.
    void PointsAppended(const _CtrlPntStrcT* points, std::size_t count, std::size_t used,
                        short transType);
    // Fits if needed; TM_OK when Current() is usable.
    // The orientation decides between a direct and a mirrored similarity when
    // the points fit both equally well (see docs/tiemark.md).
    long Ensure(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType);
    const Model& Current() const { return Fitted; }

    // RMS of the user and pixel residual vectors over the used points.
    long Rms(const std::vector<_CtrlPntStrcT>& points, double rms[2]);
    // Whether a residual vector counts as an outlier under the current fit:
    // longer than three times the user RMS of the used points.
    bool IsOutlier(const std::vector<_CtrlPntStrcT>& points, double dx, double dy);

    void Swap(FitCache& other);

    // Changes whenever the fit may have changed: diagnostics derived from
    // the fit (leave-one-out residuals, robust verdicts) keep the revision
    // they were made at and are recomputed when it moves on.
    unsigned long long CurrentRevision() const { return Revision; }
    // The factor the current least-squares fit was solved from (the mirrored
    // one where the similarity chose it), or null for the spline or no fit.
    const LsqFactor* SolvedFactor(bool* mirrored) const;
    // The spline's factorised system when it holds exactly the centres of
    // the model in order (no appended borders), else null.
    const SplineSystem* PlainSplineSystem() const {
        return Type == TM_TRANS_TPS && Status == TM_OK && SplineBorders == 0 ? Spline.get() : nullptr;
    }

private:
    long FitFromScratch(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType);
    long SolveFactor();
    bool PreferMirror() const;
    // The user RMS of a solved linear least-squares fit, from the factor's
    // residual sums in O(1); false for the types where it needs the points.
    bool UserRmsFromFactor(double* userRms) const;
    static void BuildFactor(const std::vector<_CtrlPntStrcT>& points, short type,
                            const Normalisation& norm, bool mirror, LsqFactor* factor);
    long FitSpline(const std::vector<_CtrlPntStrcT>& points, std::size_t used, Model* model);
    void SplinePointAdded(const _CtrlPntStrcT& p);

    bool Valid = false;      // Status and Fitted reflect the current points
    bool Solved = false;     // Fitted reflects Factor (false after an append)
    bool HasFactor = false;  // Factor holds the system of the used points
    long Status = TM_ERR_TOO_FEW;
    short Type = TM_TRANS_POLY1;
    std::size_t UsedPoints = 0;
    short Orient = TM_ORIENT_LINE_DOWN;
    LsqFactor Factor;
    LsqFactor Mirror;        // similarity only: the line axis mirrored
    Model Fitted;
    // Thin plate spline: the shared system, how many of its borders this
    // cache uses, and the solution in the system's order of unknowns.
    std::shared_ptr<SplineSystem> Spline;
    std::size_t SplineBorders = 0;
    Eigen::MatrixX2d SplineZ;
    bool RmsValid = false;
    bool HasSums = false;
    NormalisationSums Sums;
    unsigned long long Revision = 0;
    double RmsCache[2] = {0.0, 0.0};
};

}  // namespace tiemark

#endif
