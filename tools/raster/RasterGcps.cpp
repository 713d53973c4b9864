// A raster's own GCPs, read and written through GDAL: the module side of
// RasterGcps.h.
#include "RasterOperations.h"

#include "AreaHandle.h"
#include "FileFormat.h"
#include "GdalSupport.h"
#include "TextScan.h"

#include <cpl_string.h>
#include <gdal_vrt.h>
#include <ogr_srs_api.h>

#include <fmt/format.h>

#include <cmath>
#include <filesystem>

namespace morvane::tool {

namespace {

namespace fs = std::filesystem;

GcpRow RowFromGdal(const GDAL_GCP& gcp, std::int32_t position) {
    GcpRow row;
    row.pixel = gcp.dfGCPPixel;
    row.line = gcp.dfGCPLine;
    row.x = gcp.dfGCPX;
    row.y = gcp.dfGCPY;
    row.z = gcp.dfGCPZ;
    std::string id = gcp.pszId != nullptr ? gcp.pszId : "";
    std::string info = gcp.pszInfo != nullptr ? gcp.pszInfo : "";
    const bool idIsPosition = id == std::to_string(position);
    row.name = id.empty() || idIsPosition ? info : id;
    std::optional<double> numeric = ParseNumber(id);
    bool integral = numeric && *numeric == std::floor(*numeric) && std::fabs(*numeric) < 2147483647.0;
    row.id = integral ? static_cast<std::int32_t>(*numeric) : position;
    return row;
}

struct SpatialReferenceCloser {
    void operator()(OGRSpatialReferenceH srs) const {
        if (srs != nullptr) OSRRelease(srs);
    }
};
using SpatialReference = std::unique_ptr<std::remove_pointer_t<OGRSpatialReferenceH>, SpatialReferenceCloser>;

// The reference system the copy's GCPs are in: the --crs text, else the
// source's own GCP reference, else the source's georeferencing.
SpatialReference GcpReference(GDALDatasetH source, const std::string& crs) {
    if (!crs.empty()) {
        SpatialReference srs(OSRNewSpatialReference(nullptr));
        if (OSRSetFromUserInput(srs.get(), crs.c_str()) != OGRERR_NONE) {
            throw Refusal(fmt::format("--crs \"{}\": not a coordinate system GDAL knows", crs));
        }
        return srs;
    }
    OGRSpatialReferenceH own = GDALGetGCPSpatialRef(source);
    if (own == nullptr) own = GDALGetSpatialRef(source);
    return SpatialReference(own != nullptr ? OSRClone(own) : nullptr);
}

// A virtual copy of the source's pixels (bands, types, no-data values,
// colours) without its georeferencing, which the new GCPs replace: GeoTIFF
// would keep a geotransform in preference to them.
Dataset PixelsOnly(GDALDatasetH source) {
    const int columns = GDALGetRasterXSize(source), rows = GDALGetRasterYSize(source);
    Dataset copy(static_cast<GDALDatasetH>(VRTCreate(columns, rows)));
    if (!copy) throw Refusal(LastGdalError("cannot make a virtual copy of the raster"));
    for (int b = 1; b <= GDALGetRasterCount(source); ++b) {
        GDALRasterBandH from = GDALGetRasterBand(source, b);
        if (GDALAddBand(copy.get(), GDALGetRasterDataType(from), nullptr) != CE_None) {
            throw Refusal(LastGdalError("cannot make a virtual copy of the raster"));
        }
        GDALRasterBandH to = GDALGetRasterBand(copy.get(), b);
        if (VRTAddSimpleSource(static_cast<VRTSourcedRasterBandH>(to), from, 0, 0, columns, rows, 0, 0, columns,
                               rows, nullptr, VRT_NODATA_UNSET) != CE_None) {
            throw Refusal(LastGdalError("cannot make a virtual copy of the raster"));
        }
        int hasNoData = FALSE;
        double noData = GDALGetRasterNoDataValue(from, &hasNoData);
        if (hasNoData) GDALSetRasterNoDataValue(to, noData);
        GDALSetRasterColorInterpretation(to, GDALGetRasterColorInterpretation(from));
        if (GDALColorTableH colours = GDALGetRasterColorTable(from)) GDALSetRasterColorTable(to, colours);
    }
    return copy;
}

// GDAL_GCP points into these strings, which live as long as the list.
struct GdalGcpList {
    std::vector<std::string> ids;
    std::vector<GDAL_GCP> gcps;
};

GdalGcpList GdalGcpsFromTable(const GcpTable& table) {
    GdalGcpList list;
    list.ids.reserve(table.rows.size());
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const GcpRow& row = table.rows[i];
        list.ids.push_back(row.name.empty() ? std::to_string(i + 1) : row.name);
    }
    static char empty[] = "";
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const GcpRow& row = table.rows[i];
        GDAL_GCP gcp{};
        gcp.pszId = list.ids[i].data();
        gcp.pszInfo = empty;
        gcp.dfGCPPixel = row.pixel;
        gcp.dfGCPLine = row.line;
        gcp.dfGCPX = row.x;
        gcp.dfGCPY = row.y;
        gcp.dfGCPZ = row.z;
        list.gcps.push_back(gcp);
    }
    return list;
}

}  // namespace

namespace raster {

std::optional<RasterGcps> ReadGcps(const std::string& path, bool forced) {
    EnsureGdalDrivers();
    QuietGdal quiet;
    Dataset dataset(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!dataset) {
        if (forced) throw Refusal(fmt::format("{}: {}", path, LastGdalError("GDAL cannot open it as a raster")));
        return std::nullopt;   // not a raster: the exchange readers explain
    }
    const int count = GDALGetGCPCount(dataset.get());
    if (count <= 0) {
        GDALDriverH driver = GDALGetDatasetDriver(dataset.get());
        const char* name = driver != nullptr ? GDALGetDriverShortName(driver) : "?";
        // GDAL also opens some text files (XYZ, ...): point to --format too.
        if (forced) throw Refusal(fmt::format("{}: the raster ({}) holds no control points", path, name));
        throw Refusal(fmt::format("{}: GDAL reads it as a raster ({}) that holds no control points; for an "
                                  "exchange file give --format ({})",
                                  path, name, FormatNamesHelp()));
    }
    RasterGcps raster;
    raster.columns = GDALGetRasterXSize(dataset.get());
    raster.rows = GDALGetRasterYSize(dataset.get());
    const char* projection = GDALGetGCPProjection(dataset.get());
    if (projection != nullptr) raster.table.crs = projection;
    const GDAL_GCP* gcps = GDALGetGCPs(dataset.get());
    raster.table.rows.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) raster.table.rows.push_back(RowFromGdal(gcps[i], i + 1));
    return raster;
}

void WriteCopyWithGcps(const std::string& source, const std::string& target, const GcpTable& table) {
    if (table.rows.size() > kGeoTiffMaxGcps) {
        throw Refusal(fmt::format("{}: a GeoTIFF holds at most {} control points; the group has {}", target,
                                  kGeoTiffMaxGcps, table.rows.size()));
    }
    std::error_code ec;
    if (fs::exists(target, ec) && fs::equivalent(source, target, ec)) {
        throw Refusal(fmt::format("{}: is the source raster itself; write the copy to another file", target));
    }
    Dataset from = OpenRasterForReading(source);
    QuietGdal quiet;
    SpatialReference srs = GcpReference(from.get(), table.crs);
    Dataset pixels = PixelsOnly(from.get());
    GdalGcpList list = GdalGcpsFromTable(table);
    if (GDALSetGCPs2(pixels.get(), static_cast<int>(list.gcps.size()), list.gcps.data(), srs.get()) != CE_None) {
        throw Refusal(fmt::format("{}: {}", target, LastGdalError("GDAL refused the control points")));
    }
    GDALDriverH geotiff = GDALGetDriverByName("GTiff");
    if (geotiff == nullptr) throw Refusal("GDAL has no GeoTIFF driver");
    ReplacingOutput output(target);
    char** options = CSLSetNameValue(nullptr, "BIGTIFF", "IF_SAFER");
    GdalProgress progress("export");
    Dataset copy(GDALCreateCopy(geotiff, output.Temporary().c_str(), pixels.get(), FALSE, options, GdalProgress::Callback,
                                &progress));
    CSLDestroy(options);
    progress.Finish();
    if (!copy) throw Refusal(fmt::format("{}: {}", target, LastGdalError("cannot write the copy")));
    copy.reset();   // flushes and closes
    if (CPLGetLastErrorType() == CE_Failure) {
        throw Refusal(fmt::format("{}: {}", target, LastGdalError("cannot write the copy")));
    }
    output.Commit();
}

}  // namespace raster

}  // namespace morvane::tool
