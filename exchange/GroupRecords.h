// GroupRecords.h - what every user of an area shares when it moves points
// between area records and the exchange table, and names the
// transformation types: the tool and the Python module alike.
#ifndef MORVANE_EXCHANGE_GROUPRECORDS_H
#define MORVANE_EXCHANGE_GROUPRECORDS_H

#include "AreaHandle.h"
#include "GcpTable.h"

#include <optional>
#include <string>

namespace morvane::tool {

// Transformation type names: poly1 poly2 poly3 similarity projective tps.
// "unknown" for a code that names no type.
const char* TransTypeName(short transType);
// Also accepts "affine", "helmert" and the codes "1" to "6"; any case.
std::optional<short> TransTypeByName(const std::string& name);
extern const char* const kTransTypeHelp;
extern const short kAllTransTypes[6];

// Between area records and exchange rows.  Lines are stored negated in a
// group of orientation 1 (line up); the table always holds lines down
// (LineAxis.h).
GcpRow RowFromRecord(const _CtrlPntStrcT& record, short orientType);
// Throws Refusal when the row cannot be stored (name too long, a zero byte
// in it, a coordinate that is not finite).
_CtrlPntStrcT RecordFromRow(const GcpRow& row, short orientType);

// The point's residual (point index from 1) under the open group's current
// fit, lines down; nullopt when the group cannot be fitted.
std::optional<GcpResidual> ResidualOf(AreaHandle& area, unsigned long index, short orientType);

}  // namespace morvane::tool

#endif
