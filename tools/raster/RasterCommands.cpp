// warp (in the raster module): a georeferenced GeoTIFF of a raster, resampled by GDAL's warper
// through the group's own transformation (GdalTransformerAdapter.h): our
// exact inverse decides where each output pixel comes from, not a second
// model fitted by GDAL.
//
// The output's extent and resolution are those gdalwarp would choose
// (GDALSuggestedWarpOutput2 over the raster frame mapped forward by the
// group), unless --res or --size says otherwise.  With a positive
// --error-threshold GDAL's approximate transformer interpolates between
// exact conversions wherever the error stays below it, as gdalwarp -et
// does; 0 converts every pixel exactly.  For the thin plate spline, a
// tenth of a positive threshold goes to our own backward conversion (its
// results may lie that far from the exact inverse, which lets it answer
// from its checked table of the inverse instead of iterating) and the rest
// to the approximate transformer, so that the two together stay within it.
#include "CommandContext.h"
#include "GdalSupport.h"
#include "GdalTransformerAdapter.h"
#include "RasterOperations.h"
#include "TextScan.h"

#include <cpl_string.h>
#include <gdal_alg.h>
#include <gdalwarper.h>
#include <ogr_srs_api.h>

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>

namespace morvane::tool::raster {

namespace {

namespace fs = std::filesystem;

constexpr double kWarpMemoryLimit = 64.0 * 1024 * 1024;   // bytes, gdalwarp's default
// The share of --error-threshold our backward conversion may use.  GDAL's
// interpolation needs pieces about 5 % shorter with the other nine tenths,
// while the spline's checked table answers for about four fifths of the
// raster at 0.0125 px against two thirds, from a table twice as costly to
// build, at 0.00125 px (docs/perf-warp.md).
constexpr double kConversionShareOfThreshold = 0.1;

GDALResampleAlg ResamplingByName(const std::string& name) {
    if (EqualsNoCase(name, "near") || EqualsNoCase(name, "nearest")) return GRA_NearestNeighbour;
    if (EqualsNoCase(name, "bilinear")) return GRA_Bilinear;
    if (EqualsNoCase(name, "cubic")) return GRA_Cubic;
    if (EqualsNoCase(name, "lanczos")) return GRA_Lanczos;
    throw std::invalid_argument(fmt::format("-r \"{}\": one of near, bilinear, cubic, lanczos", name));
}

void CheckOptions(const WarpOptions& o) {
    if (o.resolution && !o.size.empty()) throw std::invalid_argument("--res and --size exclude each other");
    if (o.resolution && !(std::isfinite(*o.resolution) && *o.resolution > 0.0)) {
        throw std::invalid_argument("--res: a positive resolution in map units is needed");
    }
    if (!(std::isfinite(o.errorThreshold) && o.errorThreshold >= 0.0)) {
        throw std::invalid_argument("--error-threshold: pixels, 0 or more");
    }
    if (!EqualsNoCase(o.threads, "ALL_CPUS")) {
        int n = 0;
        auto [end, error] = std::from_chars(o.threads.data(), o.threads.data() + o.threads.size(), n);
        if (error != std::errc() || end != o.threads.data() + o.threads.size() || n < 1 || n > 1024) {
            throw std::invalid_argument("--threads: a number from 1, or ALL_CPUS");
        }
    }
}

GroupSnapshot ReadGroup(const WarpOptions& o, long columns, long rows) {
    AreaOptions areaOptions = o.area;
    areaOptions.size = fmt::format("{}x{}", columns, rows);
    std::unique_ptr<AreaHandle> area = OpenArea(areaOptions, OpenMode::Read);
    GroupSnapshot group;
    {
        GroupScope scope(*area, o.area.group);
        GroupType type = ReadGroupType(*area);
        group.orientType = type.orient;
        group.transType = type.trans;
        group.points = ReadPoints(*area);
    }
    area->Discard();
    return group;
}

struct OutputGrid {
    GeoTransform geoTransform{};
    int columns = 0;
    int rows = 0;
};

// As gdalwarp: the extent GDAL suggests for the raster frame mapped by the
// transformer, at its suggested resolution or at the one asked for.
OutputGrid ChooseGrid(GDALDatasetH source, void* transformer, const WarpOptions& o) {
    OutputGrid grid;
    double extent[4] = {0, 0, 0, 0};   // min x, min y, max x, max y
    if (GDALSuggestedWarpOutput2(source, GroupTransform, transformer, grid.geoTransform.data(), &grid.columns,
                                 &grid.rows, extent, 0) != CE_None) {
        throw Refusal(LastGdalError("the group maps the raster frame to no usable extent"));
    }
    const double width = extent[2] - extent[0], height = extent[3] - extent[1];
    double xRes = grid.geoTransform[1], yRes = -grid.geoTransform[5];
    double columns = grid.columns, rows = grid.rows;
    if (o.resolution) {
        xRes = yRes = *o.resolution;
        columns = std::floor((width + xRes / 2.0) / xRes);
        rows = std::floor((height + yRes / 2.0) / yRes);
    } else if (!o.size.empty()) {
        RasterSize size = ParseRasterSize(o.size);
        columns = static_cast<double>(size.columns);
        rows = static_cast<double>(size.rows);
        if (columns < 1 || rows < 1) throw std::invalid_argument("--size: both at least 1");
        xRes = width / columns;
        yRes = height / rows;
    }
    if (!(columns >= 1 && rows >= 1 && columns <= 2147483647.0 && rows <= 2147483647.0)) {
        throw Refusal(fmt::format("the output would be {} x {} pixels; choose another --res or --size", columns, rows));
    }
    grid.columns = static_cast<int>(columns);
    grid.rows = static_cast<int>(rows);
    grid.geoTransform = {extent[0], xRes, 0.0, extent[3], 0.0, -yRes};
    return grid;
}

std::string OutputProjection(GDALDatasetH source, const std::string& crs) {
    if (crs.empty()) {
        const char* own = GDALGetGCPProjection(source);
        return own != nullptr ? own : "";
    }
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    char* wkt = nullptr;
    if (OSRSetFromUserInput(srs, crs.c_str()) != OGRERR_NONE || OSRExportToWkt(srs, &wkt) != OGRERR_NONE) {
        OSRRelease(srs);
        CPLFree(wkt);
        throw Refusal(fmt::format("--crs \"{}\": not a coordinate system GDAL knows", crs));
    }
    std::string text = wkt;
    CPLFree(wkt);
    OSRRelease(srs);
    return text;
}

Dataset CreateOutput(GDALDatasetH source, const std::string& path, const OutputGrid& grid,
                     const std::string& projection) {
    GDALDriverH geotiff = GDALGetDriverByName("GTiff");
    if (geotiff == nullptr) throw Refusal("GDAL has no GeoTIFF driver");
    const int bands = GDALGetRasterCount(source);
    if (bands < 1) throw Refusal("the raster has no bands");
    GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(source, 1));
    char** options = CSLSetNameValue(nullptr, "BIGTIFF", "IF_SAFER");
    Dataset out(GDALCreate(geotiff, path.c_str(), grid.columns, grid.rows, bands, type, options));
    CSLDestroy(options);
    if (!out) throw Refusal(LastGdalError("cannot create the output"));
    GeoTransform g = grid.geoTransform;
    GDALSetGeoTransform(out.get(), g.data());
    if (!projection.empty()) GDALSetProjection(out.get(), projection.c_str());
    for (int b = 1; b <= bands; ++b) {
        GDALRasterBandH from = GDALGetRasterBand(source, b), to = GDALGetRasterBand(out.get(), b);
        GDALSetRasterColorInterpretation(to, GDALGetRasterColorInterpretation(from));
        if (GDALColorTableH colours = GDALGetRasterColorTable(from)) GDALSetRasterColorTable(to, colours);
        int hasNoData = FALSE;
        double noData = GDALGetRasterNoDataValue(from, &hasNoData);
        if (hasNoData) GDALSetRasterNoDataValue(to, noData);
    }
    return out;
}

// The transformer GDAL's warper calls: ours, or GDAL's approximation over it.
struct WarpTransformer {
    void* exact = nullptr;
    void* approx = nullptr;   // owns `exact` when set
    ~WarpTransformer() {
        if (approx != nullptr) GDALDestroyTransformer(approx);
        else if (exact != nullptr) DestroyGroupTransformer(exact);
    }
    GDALTransformerFunc Function() const { return approx != nullptr ? GDALApproxTransform : GroupTransform; }
    void* Argument() const { return approx != nullptr ? approx : exact; }
};

struct WarpOptionsCloser {
    void operator()(GDALWarpOptions* options) const { GDALDestroyWarpOptions(options); }
};

void Warp(GDALDatasetH source, GDALDatasetH target, const WarpTransformer& transformer, const WarpOptions& o) {
    std::unique_ptr<GDALWarpOptions, WarpOptionsCloser> options(GDALCreateWarpOptions());
    options->hSrcDS = source;
    options->hDstDS = target;
    options->eResampleAlg = ResamplingByName(o.resampling);
    options->dfWarpMemoryLimit = kWarpMemoryLimit;
    const int bands = GDALGetRasterCount(source);
    options->nBandCount = bands;
    options->panSrcBands = static_cast<int*>(CPLMalloc(sizeof(int) * static_cast<std::size_t>(bands)));
    options->panDstBands = static_cast<int*>(CPLMalloc(sizeof(int) * static_cast<std::size_t>(bands)));
    bool noData = false;
    for (int b = 0; b < bands; ++b) {
        options->panSrcBands[b] = options->panDstBands[b] = b + 1;
        int has = FALSE;
        GDALGetRasterNoDataValue(GDALGetRasterBand(source, b + 1), &has);
        noData = noData || has;
    }
    if (noData) {
        // Source pixels holding the no-data value are not sampled, and what
        // no source pixel covers is no-data in the output.
        options->padfSrcNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double) * static_cast<std::size_t>(bands)));
        options->padfDstNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double) * static_cast<std::size_t>(bands)));
        for (int b = 0; b < bands; ++b) {
            int has = FALSE;
            double value = GDALGetRasterNoDataValue(GDALGetRasterBand(source, b + 1), &has);
            options->padfSrcNoDataReal[b] = options->padfDstNoDataReal[b] = has ? value : 0.0;
        }
    }
    options->papszWarpOptions = CSLSetNameValue(options->papszWarpOptions, "INIT_DEST", noData ? "NO_DATA" : "0");
    options->papszWarpOptions = CSLSetNameValue(options->papszWarpOptions, "NUM_THREADS", o.threads.c_str());
    options->pfnTransformer = transformer.Function();
    options->pTransformerArg = transformer.Argument();
    GdalProgress progress("warp");
    options->pfnProgress = GdalProgress::Callback;
    options->pProgressArg = &progress;

    GDALWarpOperationH operation = GDALCreateWarpOperation(options.get());
    if (operation == nullptr) throw Refusal(LastGdalError("GDAL's warper refused the options"));
    CPLErr result = GDALChunkAndWarpImage(operation, 0, 0, GDALGetRasterXSize(target), GDALGetRasterYSize(target));
    GDALDestroyWarpOperation(operation);
    progress.Finish();
    if (result != CE_None) throw Refusal(LastGdalError("warping failed"));
}

}  // namespace

void RunWarp(const WarpOptions& o) {
    CheckOptions(o);
    ResamplingByName(o.resampling);
    std::error_code ec;
    if (fs::exists(o.output, ec) && !o.force) {
        throw Refusal(fmt::format("{}: already exists (give --force to replace it)", o.output));
    }
    if (fs::exists(o.output, ec) && fs::equivalent(o.raster, o.output, ec)) {
        throw Refusal(fmt::format("{}: is the source raster itself; write to another file", o.output));
    }
    Dataset source = OpenRasterForReading(o.raster);
    const long columns = GDALGetRasterXSize(source.get()), rows = GDALGetRasterYSize(source.get());
    GroupSnapshot group = ReadGroup(o, columns, rows);

    QuietGdal quiet;
    WarpTransformer transformer;
    transformer.exact = CreateGroupTransformer(group, kIdentityGeoTransform);
    OutputGrid grid = ChooseGrid(source.get(), transformer.exact, o);
    SetGroupTransformerDstGeoTransform(transformer.exact, grid.geoTransform);
    if (o.errorThreshold > 0.0) {
        // Only the spline's exact inverse is costly (an iteration over all
        // its centres); the other types' is a few multiply-adds (checked
        // cells, closed forms), and a share of the threshold taken from
        // GDAL would only make it convert more points exactly.
        const double conversionTolerance =
            group.transType == TM_TRANS_TPS ? kConversionShareOfThreshold * o.errorThreshold : 0.0;
        SetGroupTransformerBackwardTolerance(transformer.exact, conversionTolerance);
        transformer.approx = GDALCreateApproxTransformer(GroupTransform, transformer.exact,
                                                         o.errorThreshold - conversionTolerance);
        if (transformer.approx == nullptr) throw Refusal(LastGdalError("GDAL's approximate transformer failed"));
        GDALApproxTransformerOwnsSubtransformer(transformer.approx, TRUE);
    }

    ReplacingOutput output(o.output);
    {
        Dataset target = CreateOutput(source.get(), output.Temporary(), grid, OutputProjection(source.get(), o.crs));
        Warp(source.get(), target.get(), transformer, o);
    }   // closing writes the file
    if (CPLGetLastErrorType() == CE_Failure) throw Refusal(LastGdalError("cannot write the output"));
    output.Commit();
    fmt::print(stderr, "warped {} ({} x {}) with group {} ({}) to {}: {} x {} pixels of {} x {} map units\n", o.raster,
               columns, rows, o.area.group, TransTypeName(group.transType), o.output, grid.columns, grid.rows,
               FormatNumber(grid.geoTransform[1]), FormatNumber(-grid.geoTransform[5]));
}

}  // namespace morvane::tool::raster
