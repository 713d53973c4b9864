// FitReport.h - the figures of a group's fit: the residual of every point
// and the root mean square error over the points used in the fit and,
// separately, over the check points (use flag off), which the fit never saw
// and which so give an independent measure of its accuracy.
//
// RMS is the root of the mean squared length of the residual vectors, in
// pixels and in map units.  Residuals are fitted minus stored position, the
// line residual positive downward.
#ifndef MORVANE_TOOLS_FITREPORT_H
#define MORVANE_TOOLS_FITREPORT_H

#include "AreaHandle.h"
#include "GcpTable.h"

#include <optional>
#include <string>
#include <vector>

namespace morvane::tool {

struct FitFigures {
    std::size_t count = 0;
    double pixelRms = 0.0;
    double mapRms = 0.0;
    double pixelMax = 0.0;
    double mapMax = 0.0;
    unsigned long worstIndex = 0;   // point with the largest pixel residual
};

// The leave-one-out figures of one point: its residual under the fit made
// without it (check points: their ordinary residual), leverage, influence.
struct PointLoo {
    GcpResidual residual;
    double leverage = 0.0;
    double influence = 0.0;
};

struct Prediction {
    double mapRms = 0.0;     // RMS of the used points' leave-one-out residuals
    double pixelRms = 0.0;
};

struct FitReport {
    short transType = 0;
    short orientType = 0;
    std::vector<_CtrlPntStrcT> records;  // the group's points as stored
    std::vector<GcpRow> rows;          // residual empty when the fit gives none
    std::vector<std::optional<PointLoo>> loo;  // one per row; empty when none exists
    std::optional<Prediction> prediction;
    std::optional<FitFigures> used;    // empty when there is no fit
    std::optional<FitFigures> check;   // empty when there are no check points (or no fit)
};

// Figures over the rows whose use flag equals `used` and that have residuals.
std::optional<FitFigures> FiguresOf(const std::vector<GcpRow>& rows, bool used);

// The report of the open group of area.
FitReport MakeFitReport(AreaHandle& area);

struct TypeComparison {
    short transType = 0;
    unsigned long minPoints = 0;
    unsigned long parameters = 0;
    std::optional<double> predictionMap;  // prediction RMS, map units; empty: no left-out fits
    unsigned rank = 0;                    // 1 = best prediction RMS; 0 = not ranked
    std::optional<FitFigures> used;    // empty: too few points or no fit
    std::optional<FitFigures> check;
};

// Fits every transformation type the points have enough used points for,
// in a scratch area of its own: the area the points came from is untouched.
// Rows come back in type order; rank says which predicts best.
std::vector<TypeComparison> CompareTypes(const std::vector<GcpRow>& rows);

// A control-point set of the library holding points with the group's types,
// for the figures only the library computes from the points themselves.
void LoadPointSet(CCtrlPntSet& set, const std::vector<_CtrlPntStrcT>& points, short orientType, short transType);

}  // namespace morvane::tool

#endif
