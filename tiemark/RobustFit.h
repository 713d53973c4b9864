// RobustFit.h - outliers of a group found by a robust fit; nothing deleted.
//
// Least-squares types, in three steps, deterministic (a fixed seed):
//   1. Least median of squares from minimal samples: 400 random samples of
//      as many points as the type needs; the sample whose model has the
//      smallest median squared residual over all used points wins.  It
//      stands while fewer than half the points are bad.
//   2. Iteratively reweighted least squares from there with Tukey's
//      biweight (c = 4.685 robust scales): points far off get weight 0,
//      so they no longer pull the fit.
//   3. The robust scale s is the noise the median residual of the points
//      the fit kept implies (|r|^2 of 2-D Gaussian noise has the median
//      2 ln 2 sigma^2), enlarged by sqrt(rows / (rows - parameters)) for
//      what the fit absorbed.  A point is an outlier when its residual
//      under the robust fit exceeds kOutlierScore = 5 s (a clean point does
//      so with probability exp(-5^2 / 2) = 4e-6).
// Thin plate spline: it passes through every point, so its own residuals
// say nothing, and its leave-one-out residuals mix a bad point with the
// neighbours it spoils.  Its groups are checked against the robust
// polynomial of the highest order the points allow with room to spare
// (order 3 from 20 used points, 2 from 12, else 1).
//
// Conflicts are found before any fit: points at the same pixel position
// with different user positions, or at the same user position with
// different pixel positions.  Each names the other.
#ifndef MORVANE_TIEMARK_ROBUSTFIT_H
#define MORVANE_TIEMARK_ROBUSTFIT_H

#include <vector>

#include "CtrlPntSet.h"

namespace tiemark {

constexpr double kOutlierScore = 5.0;

struct RobustVerdict {
    bool Outlier = false;
    double Residual[2] = {0.0, 0.0};  // user units, robust fit minus stored
    double Score = 0.0;               // |Residual| in robust scales
    std::size_t Conflict = 0;         // 1-based index of a conflicting point, else 0
};

struct RobustSummary {
    double Scale = 0.0;           // robust scale, user units
    std::size_t Outliers = 0;
    std::size_t Conflicts = 0;
};

// One verdict per point (check points get their residual and score under
// the robust fit but are never marked).  TM_ERR_TOO_FEW / TM_ERR_DEGENERATE
// when the used points allow no fit of the type.
long RobustCheck(const std::vector<_CtrlPntStrcT>& points, short transType, short orientType,
                 std::vector<RobustVerdict>* verdicts, RobustSummary* summary);

}  // namespace tiemark

#endif
