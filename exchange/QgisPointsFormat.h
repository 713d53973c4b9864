// QgisPointsFormat.h - the QGIS georeferencer's ".points" files.
//
// Two layouts exist:
//   mapX,mapY,pixelX,pixelY,enable[,dX,dY,residual]            (older)
//   #CRS: <WKT>
//   mapX,mapY,sourceX,sourceY,enable,dX,dY,residual            (newer)
// The georeferencer counts lines upward: its pixelY/sourceY is the negated
// line.  Reading negates it into the table's line-down convention and
// writing negates it back.  Its dY residual is already in the line-down
// sense.  The file's own residuals are checked to be numbers and then
// dropped: they belong to the fit QGIS made, not to ours.
#ifndef MORVANE_EXCHANGE_QGISPOINTSFORMAT_H
#define MORVANE_EXCHANGE_QGISPOINTSFORMAT_H

#include "GcpTable.h"

#include <string>
#include <string_view>

namespace morvane::tool {

GcpTable ReadQgisPoints(std::string_view text);
// Writes the newer layout; the residual columns only when every row has one.
std::string WriteQgisPoints(const GcpTable& table);

}  // namespace morvane::tool

#endif
