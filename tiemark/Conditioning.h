// Conditioning.h - the thresholds at which a fit counts as degenerate.
//
// All of them apply to normalised coordinates (pixel and user positions
// centred and scaled to about [-1, 1]), so they do not depend on units or
// magnitudes.  docs/tiemark.md explains the choice.
#ifndef MORVANE_TIEMARK_CONDITIONING_H
#define MORVANE_TIEMARK_CONDITIONING_H

#include <cstddef>

#include "CtrlPntSet.h"

namespace tiemark {

// Largest accepted 1-norm condition number of the leading 3 x 3 block of the
// R factor of the design [1 u v]: the pixel positions' spread across their
// main direction, relative to their extent, must exceed about 1e-5.  Points
// collinear but for 1e-3 px of jitter over a few hundred pixels are refused.
constexpr double kMaxSpreadCondition = 1e5;

// Largest accepted condition number of the whole normalised design for each
// transformation type (polynomial terms of order k scale like the spread to
// the power k, so the limit grows with the order).
constexpr double MaxDesignCondition(short transType) {
    switch (transType) {
        case TM_TRANS_POLY1: return 1e5;
        case TM_TRANS_POLY2: return 1e9;
        case TM_TRANS_POLY3: return 1e12;
        case TM_TRANS_SIMILARITY: return 1e8;
        case TM_TRANS_PROJECTIVE: return 1e8;
        default: return 1e12;
    }
}

// Smallest accepted ratio of the singular values of the fitted map's Jacobian
// at the centre of the points: below it the user positions are (nearly)
// collinear and the map cannot be inverted.
constexpr double kMinJacobianRatio = 1e-6;

// Smallest accepted reciprocal condition estimate of the thin plate spline's
// linear system.
constexpr double kMinSplineRcond = 1e-14;

// The projective denominator is 1 at the centre of the points; positions
// where it falls to this value or below lie on or beyond the horizon and
// are refused.
constexpr double kMinProjectiveDenominator = 1e-6;

// Smallest accepted pivot when a thin plate spline's system is bordered with
// one more point; a smaller one sends the fit back to a full refit, whose
// condition estimate decides.
constexpr double kMinSplinePivot = 1e-9;

// Appended points a spline's system takes before it is refactorised: at
// least this many, and at most as many as its base has.
constexpr std::size_t kMinSplineBorders = 32;

// A normalised point farther than this from the normalisation centre makes
// an incremental update give way to a refit with a new normalisation.
constexpr double kMaxNormalisedReach = 2.0;

}  // namespace tiemark

#endif
