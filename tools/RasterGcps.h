// RasterGcps.h - control points stored inside rasters, read and written
// through GDAL (GeoTIFF tie points, a VRT's GCP list, NITF, ...).
//
// Built with GDAL, the tool has the raster module do the work
// (raster/RasterModule.h), loaded the first time a raster is read or
// written (RasterModuleClient.cpp).  The tool builds without GDAL too
// (MORVANE_WITH_GDAL=OFF): these calls then refuse with a message that says
// so (RasterNone.cpp).
//
// Identifiers: a GDAL GCP carries a text Id and a text Info.  On the way in
// the Id becomes the point's name (the Info when the Id is empty or only
// repeats the point's position, as GDAL writes unnamed points), and an
// integral Id also its numeric id, else the position.  On the way out a
// named point's Id is its name, an unnamed one's its position from 1.
#ifndef MORVANE_TOOLS_RASTERGCPS_H
#define MORVANE_TOOLS_RASTERGCPS_H

#include "GcpTable.h"

#include <optional>
#include <string>

namespace morvane::tool {

// Name of the pseudo-format that forces reading through GDAL (-f raster).
inline constexpr const char* kRasterFormatName = "raster";

struct RasterGcps {
    GcpTable table;   // rows and the GCPs' spatial reference (WKT) as crs
    long columns = 0; // raster size in pixels
    long rows = 0;
};

// Decides whether `import` reads `path` as a raster: when format is
// "raster"; else, with no format given, when the file name does not name an
// exchange format and GDAL opens the file.  Returns nullopt when the file is
// for the exchange readers instead.  Throws Refusal when it is a raster
// without control points, or cannot be read.
std::optional<RasterGcps> ReadRasterGcpsForImport(const std::string& path, const std::string& format);

// Largest number of GCPs a GeoTIFF holds.
inline constexpr std::size_t kGeoTiffMaxGcps = 10922;

// Writes a copy of the raster `source` to `target` (GeoTIFF) with the rows
// attached as its GCPs and crs (any text GDAL's SetFromUserInput takes,
// "" keeps the source's own).  The source is opened read-only; the copy
// is written next to the target and renamed over it, so a failure leaves
// no half-written target.  Throws Refusal with the reason (more than
// kGeoTiffMaxGcps points, source unreadable, bad crs, write failed).
void WriteRasterWithGcps(const std::string& source, const std::string& target, const GcpTable& table);

}  // namespace morvane::tool

#endif
