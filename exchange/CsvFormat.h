// CsvFormat.h - control points as comma-separated values with a header.
//
// Columns (any order, names case-insensitive):
//   name, id, pixel, line, x, y, z, use, edit,
//   res_pixel, res_line, res_x, res_y
// pixel, line, x and y are required; the rest default to "", the row's
// sequence number, 0, 1 and 1.  The residual columns are written by export
// and ignored by import (they describe a fit, not the points).  Pixel and
// line follow the table's convention (top-left corner origin, line down).
// Fields holding a comma, quote or line break are quoted as in RFC 4180.
#ifndef MORVANE_EXCHANGE_CSVFORMAT_H
#define MORVANE_EXCHANGE_CSVFORMAT_H

#include "GcpTable.h"

#include <string>
#include <string_view>

namespace morvane::tool {

GcpTable ReadCsvGcps(std::string_view text);
std::string WriteCsvGcps(const GcpTable& table);

}  // namespace morvane::tool

#endif
