// GcpTable.h - control points as the exchange formats see them.
//
// Every file format reads into and writes from this plain table, so the
// formats know nothing of areas and the area code knows nothing of formats.
//
// Conventions (docs/formats.md gives each format's own mapping onto these):
//   * pixel, line: pixels, (0, 0) is the top-left corner of the top-left
//     pixel, the pixel axis points right and the line axis points DOWN.
//     Formats that count lines upward (QGIS .points) negate on the way in
//     and out.
//   * x, y, z: map (user) coordinates in whatever units the file uses.
//   * residuals are "fitted minus stored", in the same axes as the values
//     they belong to (line residual positive downward).
#ifndef MORVANE_EXCHANGE_GCPTABLE_H
#define MORVANE_EXCHANGE_GCPTABLE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvane::tool {

struct GcpResidual {
    double pixel = 0.0;   // pixels
    double line = 0.0;    // pixels, positive downward
    double x = 0.0;       // map units
    double y = 0.0;
};

struct GcpRow {
    std::string name;       // identifier text, at most 31 bytes in an area
    std::int32_t id = 0;    // numeric identifier
    double pixel = 0.0;
    double line = 0.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    bool use = true;        // false: a check point, not used in the fit
    bool edit = true;       // false: locked
    std::optional<GcpResidual> residual;  // written by exporters when known
    std::size_t fileLine = 0;   // line of the file the row was read from (0 = unknown)
};

struct GcpTable {
    std::vector<GcpRow> rows;
    std::string crs;        // map coordinate system text as the file gave it
};

}  // namespace morvane::tool

#endif
