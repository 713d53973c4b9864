// LineAxis.h - the one place that knows how a group's line axis meets
// everybody else's.
//
// The exchange table (GcpTable.h), rasters, GDAL, the tool's transform
// command and the Python module all count lines downward from the top edge.
// A group of orientation TM_ORIENT_LINE_UP stores its lines negated (the
// QGIS georeferencer's habit, CtrlPntSet.h); so are its line residuals and
// the lines its transformation takes and gives.  Multiplying by the sign
// below turns a stored line into a line counted downward and back again.
#ifndef MORVANE_EXCHANGE_LINEAXIS_H
#define MORVANE_EXCHANGE_LINEAXIS_H

#include "CtrlPntSet.h"

namespace morvane::tool {

// -1 for a group whose lines count upward (stored negated), else 1.
constexpr double StoredLineSign(short orientType) noexcept {
    return orientType == TM_ORIENT_LINE_UP ? -1.0 : 1.0;
}

}  // namespace morvane::tool

#endif
