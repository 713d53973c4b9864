// GeoJsonFormat.h - control points as a GeoJSON FeatureCollection.
//
// One Point feature per control point.  The geometry holds the map
// coordinates [x, y] (or [x, y, z] when z is not 0); the properties hold
// name, id, pixel, line (top-left corner origin, line down), use, edit and,
// when known, res_pixel, res_line, res_x, res_y.  The map coordinate system
// text, when known, is kept in a foreign member "crs_wkt" of the collection.
// GeoJSON readers that assume longitude/latitude will misplace points whose
// map units are something else; the file is meant for exchange, not for
// display as is.
#ifndef MORVANE_EXCHANGE_GEOJSONFORMAT_H
#define MORVANE_EXCHANGE_GEOJSONFORMAT_H

#include "GcpTable.h"

#include <string>
#include <string_view>

namespace morvane::tool {

GcpTable ReadGeoJsonGcps(std::string_view text);
std::string WriteGeoJsonGcps(const GcpTable& table);

}  // namespace morvane::tool

#endif
