// End to end with GDAL: a raster's own GCPs in and out of an area, and warp
// checked against gdalwarp on small synthetic rasters whose true mapping is
// known.  The comparison needs GDAL's command-line programs (gdal-bin); the
// tests skip with a message without them.
#include "cli_runner.h"

#include <gdal.h>
#include <ogr_srs_api.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace morvane::tool::test {
namespace {

using Json = nlohmann::json;

constexpr int kColumns = 120;
constexpr int kRows = 90;

// A mapping from pixel/line (c, r) to map (x, y), quadratic at most:
// value = a0 + a1 c + a2 r + a3 c^2 + a4 c r + a5 r^2 for each of x and y.
struct Mapping {
    std::array<double, 6> x;
    std::array<double, 6> y;

    static double Eval(const std::array<double, 6>& a, double c, double r) {
        return a[0] + a[1] * c + a[2] * r + a[3] * c * c + a[4] * c * r + a[5] * r * r;
    }
    std::array<double, 2> Forward(double c, double r) const { return {Eval(x, c, r), Eval(y, c, r)}; }

    // Newton's method from the raster centre; converges to machine
    // precision for the mildly curved mappings used here.
    std::array<double, 2> Inverse(double mx, double my) const {
        double c = kColumns / 2.0, r = kRows / 2.0;
        for (int i = 0; i < 50; ++i) {
            double fx = Eval(x, c, r) - mx, fy = Eval(y, c, r) - my;
            double xc = x[1] + 2 * x[3] * c + x[4] * r, xr = x[2] + x[4] * c + 2 * x[5] * r;
            double yc = y[1] + 2 * y[3] * c + y[4] * r, yr = y[2] + y[4] * c + 2 * y[5] * r;
            double det = xc * yr - xr * yc;
            double dc = (fx * yr - fy * xr) / det, dr = (xc * fy - yc * fx) / det;
            c -= dc;
            r -= dr;
            if (std::fabs(dc) + std::fabs(dr) < 1e-13) break;
        }
        return {c, r};
    }
};

// Affine, and clearly curved (GDAL's separately fitted backward quadratic
// is then measurably off).
const Mapping kAffine{{500000.0, 2.0, 0.3, 0.0, 0.0, 0.0}, {4000000.0, 0.2, -2.0, 0.0, 0.0, 0.0}};
const Mapping kCurved{{500000.0, 2.0, 0.3, 0.002, 0.000625, 0.0}, {4000000.0, 0.2, -2.0, 0.0, -0.001, 0.0025}};

struct GcpSpec {
    std::string id;
    double pixel, line, x, y, z;
};

// prefix followed by n.  Appended, not prefix + std::to_string(n): g++ 12 at
// -O3 warns falsely (-Wrestrict) about the insert at the front that
// operator+ makes.
std::string Numbered(const char* prefix, std::size_t n) {
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// A 6 x 5 grid of control points placed exactly on the mapping.
std::vector<GcpSpec> GridGcps(const Mapping& m) {
    std::vector<GcpSpec> gcps;
    for (int j = 0; j < 5; ++j) {
        for (int i = 0; i < 6; ++i) {
            double c = 4.0 + 22.4 * i, r = 3.0 + 21.0 * j;
            auto [x, y] = m.Forward(c, r);
            gcps.push_back({Numbered("G", gcps.size() + 1), c, r, x, y, 0.0});
        }
    }
    return gcps;
}

using BandFill = std::function<double(int band, int column, int row)>;

// Writes a GeoTIFF (or, for a .vrt name, a VRT) with the given bands and GCPs.
void WriteRaster(const std::string& path, GDALDataType type, int bands, const BandFill& fill,
                 const std::vector<GcpSpec>& gcps, int columns = kColumns, int rows = kRows) {
    GDALAllRegister();
    bool vrt = path.size() > 4 && path.substr(path.size() - 4) == ".vrt";
    GDALDriverH driver = GDALGetDriverByName(vrt ? "VRT" : "GTiff");
    GDALDatasetH ds = GDALCreate(driver, path.c_str(), columns, rows, bands, type, nullptr);
    ASSERT_NE(ds, nullptr) << path;
    std::vector<double> values(static_cast<std::size_t>(columns) * rows);
    for (int b = 1; !vrt && b <= bands; ++b) {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) values[static_cast<std::size_t>(r) * columns + c] = fill(b, c, r);
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, b), GF_Write, 0, 0, columns, rows, values.data(), columns, rows,
                               GDT_Float64, 0, 0),
                  CE_None);
    }
    std::vector<GDAL_GCP> list(gcps.size());
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        list[i].pszId = const_cast<char*>(gcps[i].id.c_str());
        list[i].pszInfo = const_cast<char*>("");
        list[i].dfGCPPixel = gcps[i].pixel;
        list[i].dfGCPLine = gcps[i].line;
        list[i].dfGCPX = gcps[i].x;
        list[i].dfGCPY = gcps[i].y;
        list[i].dfGCPZ = gcps[i].z;
    }
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 32631);
    if (!gcps.empty()) {
        EXPECT_EQ(GDALSetGCPs2(ds, static_cast<int>(list.size()), list.data(), srs), CE_None);
    }
    OSRRelease(srs);
    GDALClose(ds);
}

struct Raster {
    int columns = 0, rows = 0;
    std::array<double, 6> gt{};
    std::vector<std::vector<double>> bands;
    double At(int band, int c, int r) const { return bands[band][static_cast<std::size_t>(r) * columns + c]; }
};

Raster ReadRaster(const std::string& path) {
    Raster raster;
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    EXPECT_NE(ds, nullptr) << path;
    if (ds == nullptr) return raster;
    raster.columns = GDALGetRasterXSize(ds);
    raster.rows = GDALGetRasterYSize(ds);
    GDALGetGeoTransform(ds, raster.gt.data());
    for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
        std::vector<double> values(static_cast<std::size_t>(raster.columns) * raster.rows);
        EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(ds, b), GF_Read, 0, 0, raster.columns, raster.rows, values.data(),
                               raster.columns, raster.rows, GDT_Float64, 0, 0),
                  CE_None);
        raster.bands.push_back(std::move(values));
    }
    GDALClose(ds);
    return raster;
}

// Content whose every pixel differs from its neighbours, so that sampling
// the wrong source pixel shows.
double Pattern(int, int c, int r) { return (c * 7 + r * 13) % 251; }
// Two bands holding each pixel's own centre: bilinear sampling of these
// returns the exact source position a warper sampled.
double Centre(int band, int c, int r) { return band == 1 ? c + 0.5 : r + 0.5; }

bool HaveGdalPrograms() {
    ScratchDir dir;
    return RunProgram(dir, "gdalwarp", {"--version"}).status == 0 &&
           RunProgram(dir, "gdalinfo", {"--version"}).status == 0;
}

class RasterCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveGdalPrograms()) GTEST_SKIP() << "gdalwarp/gdalinfo not found (Debian: gdal-bin); raster tests skipped";
    }
    void Ok(const std::vector<std::string>& args) {
        RunResult r = RunTool(dir_, args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void Gdal(const std::string& program, const std::vector<std::string>& args) {
        RunResult r = RunProgram(dir_, program, args);
        ASSERT_EQ(r.status, 0) << program << ": " << r.err;
    }
    Json GdalInfo(const std::string& file) {
        RunResult r = RunProgram(dir_, "gdalinfo", {"-json", dir_ / file});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? Json::parse(r.out) : Json::object();
    }
    std::string P(const std::string& name) const { return dir_ / name; }

    ScratchDir dir_;
};

// ---- warp against gdalwarp --------------------------------------------------

struct WarpCase {
    const char* type;     // our type name
    const char* order;    // gdalwarp -order
    const Mapping* truth;
    double maxNearDifferences;   // fraction of output pixels
};

void PrintTo(const WarpCase& w, std::ostream* out) { *out << w.type; }

class WarpVsGdal : public RasterCli, public ::testing::WithParamInterface<WarpCase> {};

// Distance, in source pixels, between the position sampled for output pixel
// (i, j) (read from a warped centre raster) and the true one.
double PositionError(const Raster& warped, const Mapping& truth, int i, int j) {
    double mx = warped.gt[0] + (i + 0.5) * warped.gt[1], my = warped.gt[3] + (j + 0.5) * warped.gt[5];
    auto [c, r] = truth.Inverse(mx, my);
    return std::hypot(warped.At(0, i, j) - c, warped.At(1, i, j) - r);
}

// True when the sampled position of pixel (i, j) lies where bilinear
// sampling of the centre raster is exact (not within a pixel of an edge).
bool Interior(const Raster& warped, int i, int j) {
    double u = warped.At(0, i, j), v = warped.At(1, i, j);
    return u >= 1.0 && v >= 1.0 && u <= kColumns - 1.0 && v <= kRows - 1.0;
}

TEST_P(WarpVsGdal, SameGridSamePixelsAndCloserToTheTruth) {
    const WarpCase& k = GetParam();
    std::vector<GcpSpec> gcps = GridGcps(*k.truth);
    WriteRaster(P("pattern.tif"), GDT_Byte, 1, Pattern, gcps);
    WriteRaster(P("centres.tif"), GDT_Float64, 2, Centre, gcps);
    Ok({"import", "a.gcp", "-g", "1", "pattern.tif", "-t", k.type});

    // The grid gdalwarp suggests: the same, as both derive it from the same
    // forward model.
    Ok({"warp", "a.gcp", "-g", "1", "pattern.tif", "ours-grid.tif"});
    Gdal("gdalwarp", {"-q", "-order", k.order, P("pattern.tif"), P("gdal-grid.tif")});
    Raster oursGrid = ReadRaster(P("ours-grid.tif")), gdalGrid = ReadRaster(P("gdal-grid.tif"));
    ASSERT_EQ(oursGrid.columns, gdalGrid.columns);
    ASSERT_EQ(oursGrid.rows, gdalGrid.rows);
    double res = gdalGrid.gt[1];
    EXPECT_NEAR(oursGrid.gt[1], res, 1e-9 * res);
    EXPECT_NEAR(oursGrid.gt[5], gdalGrid.gt[5], 1e-9 * res);
    EXPECT_NEAR(oursGrid.gt[0], gdalGrid.gt[0], 0.5 * res);
    EXPECT_NEAR(oursGrid.gt[3], gdalGrid.gt[3], 0.5 * res);

    // Pixel by pixel: output pixels of 1 map unit (source pixels are about
    // 2), where bilinear sampling of the centre raster is exact (a coarser
    // output widens GDAL's kernel, which bends a ramp).  Exact conversions on
    // both sides: differences come from the models alone.
    auto ours = [&](const std::string& in, const std::string& out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"warp", "a.gcp", "-g", "1", in, out};
        args.insert(args.end(), extra.begin(), extra.end());
        Ok(args);
    };
    ours("pattern.tif", "ours-near.tif", {"--res", "1", "--error-threshold", "0", "--threads", "2"});
    ours("centres.tif", "ours-pos.tif", {"--res", "1", "--error-threshold", "0", "-r", "bilinear"});
    ours("centres.tif", "ours-pos-approx.tif", {"--res", "1", "-r", "bilinear"});
    Gdal("gdalwarp", {"-q", "-order", k.order, "-tr", "1", "1", "-et", "0", "-r", "near", P("pattern.tif"),
                      P("gdal-near.tif")});
    Gdal("gdalwarp", {"-q", "-order", k.order, "-tr", "1", "1", "-et", "0", "-r", "bilinear", P("centres.tif"),
                      P("gdal-pos.tif")});
    Raster oursNear = ReadRaster(P("ours-near.tif")), gdalNear = ReadRaster(P("gdal-near.tif"));
    Raster oursPos = ReadRaster(P("ours-pos.tif")), gdalPos = ReadRaster(P("gdal-pos.tif"));
    Raster oursApprox = ReadRaster(P("ours-pos-approx.tif"));
    ASSERT_EQ(oursNear.columns, gdalNear.columns);
    ASSERT_EQ(oursNear.rows, gdalNear.rows);
    for (int g = 0; g < 6; ++g) ASSERT_NEAR(oursNear.gt[g], gdalNear.gt[g], 1e-6) << "geotransform " << g;
    ASSERT_EQ(oursPos.gt, oursNear.gt);

    // Nearest-neighbour values agree except where the two sampled positions
    // fall in different source pixels (a seam between the two models).
    int differing = 0, unexplained = 0, pixels = oursNear.columns * oursNear.rows;
    for (int j = 0; j < oursNear.rows; ++j) {
        for (int i = 0; i < oursNear.columns; ++i) {
            if (oursNear.At(0, i, j) == gdalNear.At(0, i, j)) continue;
            ++differing;
            bool seam = std::floor(oursPos.At(0, i, j)) != std::floor(gdalPos.At(0, i, j)) ||
                        std::floor(oursPos.At(1, i, j)) != std::floor(gdalPos.At(1, i, j));
            // Outside the raster one side samples nothing (0): also a seam.
            bool edge = !Interior(oursPos, i, j) || !Interior(gdalPos, i, j);
            if (!seam && !edge) ++unexplained;
        }
    }
    EXPECT_EQ(unexplained, 0) << differing << " of " << pixels << " pixels differ";
    EXPECT_LE(differing, k.maxNearDifferences * pixels) << differing << " of " << pixels << " pixels differ";

    // Every interior output pixel is a check position: ours samples the true
    // source position (exactly, or within the threshold when approximated),
    // GDAL's separately fitted backward model never does better.
    double oursWorst = 0, gdalWorst = 0, approxWorst = 0;
    int checked = 0;
    for (int j = 0; j < oursPos.rows; ++j) {
        for (int i = 0; i < oursPos.columns; ++i) {
            if (!Interior(oursPos, i, j) || !Interior(gdalPos, i, j) || !Interior(oursApprox, i, j)) continue;
            ++checked;
            oursWorst = std::max(oursWorst, PositionError(oursPos, *k.truth, i, j));
            gdalWorst = std::max(gdalWorst, PositionError(gdalPos, *k.truth, i, j));
            approxWorst = std::max(approxWorst, PositionError(oursApprox, *k.truth, i, j));
        }
    }
    ASSERT_GT(checked, pixels / 3);
    EXPECT_LT(oursWorst, 1e-6);
    EXPECT_LE(approxWorst, 0.125 + 1e-6);
    EXPECT_LE(oursWorst, gdalWorst + 1e-9);   // affine: both exact, to rounding
    RecordProperty("ours_worst_px", std::to_string(oursWorst));
    RecordProperty("gdal_worst_px", std::to_string(gdalWorst));
    RecordProperty("near_differing", differing);
}

// poly2 on a curved mapping: GDAL's backward quadratic is a separate fit,
// tenths of a pixel off, so a visible share of pixels sits on seams.
INSTANTIATE_TEST_SUITE_P(Orders, WarpVsGdal,
                         ::testing::Values(WarpCase{"poly1", "1", &kAffine, 0.005},
                                           WarpCase{"poly2", "2", &kCurved, 0.15}),
                         [](const auto& info) { return std::string(info.param.type); });

TEST_F(RasterCli, CurvedMappingShowsGdalsBackwardModelOff) {
    // Guards the comparison above against a mapping too gentle to tell the
    // two apart: GDAL's poly2 backward model must be measurably off here.
    std::vector<GcpSpec> gcps = GridGcps(kCurved);
    WriteRaster(P("centres.tif"), GDT_Float64, 2, Centre, gcps);
    Gdal("gdalwarp", {"-q", "-order", "2", "-et", "0", "-r", "bilinear", P("centres.tif"), P("gdal-pos.tif")});
    Raster gdalPos = ReadRaster(P("gdal-pos.tif"));
    double worst = 0;
    for (int j = 0; j < gdalPos.rows; ++j)
        for (int i = 0; i < gdalPos.columns; ++i)
            if (Interior(gdalPos, i, j)) worst = std::max(worst, PositionError(gdalPos, kCurved, i, j));
    EXPECT_GT(worst, 0.15);
}

// The spline with a threshold: a tenth of it goes to our backward
// conversion, the rest to GDAL's interpolation; together they keep the
// sampled positions about as close to the exact warp's as the threshold
// says.  GDAL's approximate transformer checks its error at the middle of
// each piece only, and on a spline the interpolation error peaks elsewhere,
// by some 10 % more (0.140 px at 0.125 with exact conversions throughout,
// 0.130 with the split): hence the quarter of slack.
TEST_F(RasterCli, SplineWarpStaysWithinTheThresholdOfTheExactOne) {
    std::vector<GcpSpec> gcps = GridGcps(kCurved);
    WriteRaster(P("centres.tif"), GDT_Float64, 2, Centre, gcps);
    Ok({"import", "a.gcp", "-g", "1", "centres.tif", "-t", "tps"});
    Ok({"warp", "a.gcp", "-g", "1", "centres.tif", "exact.tif", "--res", "1", "--error-threshold", "0", "-r",
        "bilinear"});
    const Raster exact = ReadRaster(P("exact.tif"));
    for (const char* threshold : {"0.125", "1"}) {
        SCOPED_TRACE(threshold);
        const std::string out = std::string("approx-") + threshold + ".tif";
        Ok({"warp", "a.gcp", "-g", "1", "centres.tif", out, "--res", "1", "--error-threshold", threshold, "-r",
            "bilinear"});
        const Raster approx = ReadRaster(P(out));
        ASSERT_EQ(approx.columns, exact.columns);
        ASSERT_EQ(approx.rows, exact.rows);
        double worst = 0;
        int checked = 0;
        for (int j = 0; j < exact.rows; ++j)
            for (int i = 0; i < exact.columns; ++i) {
                if (!Interior(exact, i, j) || !Interior(approx, i, j)) continue;
                ++checked;
                worst = std::max(worst, std::hypot(approx.At(0, i, j) - exact.At(0, i, j),
                                                   approx.At(1, i, j) - exact.At(1, i, j)));
            }
        ASSERT_GT(checked, exact.columns * exact.rows / 3);
        EXPECT_LE(worst, 1.25 * std::stod(threshold));
        EXPECT_GT(worst, 0.0);   // the threshold was used, not an exact warp again
        RecordProperty(std::string("worst_px_at_") + threshold, std::to_string(worst));
    }
}

// ---- GCPs in and out of rasters ---------------------------------------------

TEST_F(RasterCli, GcpsRoundTripWithFullPrecision) {
    std::vector<GcpSpec> gcps = {
        {"north-west", 0.1, 0.2, 500000.123456789012, 4000000.98765432101, 12.5},
        {"17", 119.99999999999, 0.30000000000000004, 500240.1 / 3.0, 3999999.7, -0.001},
        {"", 60.333333333333336, 89.5, 1.0e-7 + 500100.0, 3999820.0000000005, 0.0},
        {"east", 110.5, 45.25, 500221.0, 3999910.25, 1e-300},
    };
    WriteRaster(P("source.tif"), GDT_Byte, 1, Pattern, gcps);
    WriteRaster(P("plain.tif"), GDT_Byte, 1, Pattern, {});
    std::string plainBefore = ReadFile(P("plain.tif"));
    Ok({"import", "a.gcp", "-g", "1", "source.tif"});
    Ok({"export", "a.gcp", "-g", "1", "copy.tif", "--from", "plain.tif", "--crs", "EPSG:32631"});
    EXPECT_EQ(ReadFile(P("plain.tif")), plainBefore) << "the source raster changed";

    Json source = GdalInfo("source.tif"), copy = GdalInfo("copy.tif");
    ASSERT_TRUE(copy.contains("gcps")) << copy.dump();
    const Json& a = source["gcps"]["gcpList"];
    const Json& b = copy["gcps"]["gcpList"];
    ASSERT_EQ(a.size(), gcps.size());
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (const char* field : {"pixel", "line", "x", "y", "z"}) {
            EXPECT_EQ(a[i][field].get<double>(), b[i][field].get<double>()) << "GCP " << i << " " << field;
        }
        // GeoTIFF keeps no GCP ids (GDAL numbers them): both sides agree.
        EXPECT_EQ(b[i]["id"], a[i]["id"]);
    }
    EXPECT_EQ(copy["gcps"]["coordinateSystem"]["wkt"], source["gcps"]["coordinateSystem"]["wkt"]);
    EXPECT_EQ(copy["size"], source["size"]);

    // The raster's size set the range: the frame's corners, mapped forward.
    RunResult info = RunTool(dir_, {"info", "a.gcp", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    Json range = Json::parse(info.out)["groups"][0]["range"];
    RunResult corner = RunTool(dir_, {"transform", "a.gcp", "-g", "1"}, "120 0\n");
    ASSERT_EQ(corner.status, 0) << corner.err;
    double cornerX = std::stod(corner.out);
    EXPECT_GE(range[2].get<double>(), cornerX - 1e-6);
}

TEST_F(RasterCli, VrtGcpListReadThroughGdalOnRequest) {
    std::vector<GcpSpec> gcps = GridGcps(kAffine);
    WriteRaster(P("list.vrt"), GDT_Byte, 1, Pattern, gcps);
    Ok({"import", "a.gcp", "-g", "1", "list.vrt", "-f", "raster"});
    RunResult list = RunTool(dir_, {"list", "a.gcp", "-g", "1", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    Json points = Json::parse(list.out);
    ASSERT_EQ(points.size(), gcps.size());
    EXPECT_EQ(points[29]["name"], "G30");
    EXPECT_EQ(points[29]["pixel"].get<double>(), gcps[29].pixel);
    EXPECT_EQ(points[29]["y"].get<double>(), gcps[29].y);
}

// ---- refusals ---------------------------------------------------------------

struct Refused {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* message;
    const char* absent;   // a file that must not exist afterwards ("" = none)
};

void PrintTo(const Refused& k, std::ostream* out) { *out << k.what; }

class RasterRefusals : public RasterCli, public ::testing::WithParamInterface<Refused> {};

TEST_P(RasterRefusals, RefuseWithAReasonAndWriteNothing) {
    std::vector<GcpSpec> gcps = GridGcps(kAffine);
    WriteRaster(P("gcps.tif"), GDT_Byte, 1, Pattern, gcps);
    WriteRaster(P("plain.tif"), GDT_Byte, 1, Pattern, {});
    Ok({"import", "a.gcp", "-g", "1", "gcps.tif", "-t", "poly1"});
    std::vector<GcpSpec> few(gcps.begin(), gcps.begin() + 5);
    WriteRaster(P("few.tif"), GDT_Byte, 1, Pattern, few);
    Ok({"import", "a.gcp", "-g", "2", "few.tif", "-t", "poly2"});
    WriteFile(P("taken.tif"), "not to be replaced");
    std::string sourceBefore = ReadFile(P("gcps.tif"));

    const Refused& k = GetParam();
    RunResult r = RunTool(dir_, k.args);
    EXPECT_EQ(r.status, k.status) << r.err;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    if (k.absent[0] != '\0') {
        EXPECT_FALSE(std::filesystem::exists(P(k.absent)));
    }
    EXPECT_EQ(ReadFile(P("gcps.tif")), sourceBefore);
    EXPECT_EQ(ReadFile(P("taken.tif")), "not to be replaced");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RasterRefusals,
    ::testing::Values(
        Refused{"RasterWithoutGcps", {"import", "b.gcp", "-g", "1", "plain.tif"}, 1, "holds no control points", "b.gcp"},
        Refused{"ExportOntoItsSource", {"export", "a.gcp", "-g", "1", "gcps.tif", "--from", "gcps.tif", "--force"}, 1,
                "is the source raster itself", ""},
        Refused{"ExportBadCrs", {"export", "a.gcp", "-g", "1", "c.tif", "--from", "plain.tif", "--crs", "EPSG:0"}, 1,
                "--crs", "c.tif"},
        Refused{"WarpTooFewPoints", {"warp", "a.gcp", "-g", "2", "few.tif", "w.tif"}, 1, "no usable fit", "w.tif"},
        Refused{"WarpOverExisting", {"warp", "a.gcp", "-g", "1", "gcps.tif", "taken.tif"}, 1, "already exists", ""},
        Refused{"WarpResAndSize", {"warp", "a.gcp", "-g", "1", "gcps.tif", "w.tif", "--res", "2", "--size", "9x9"}, 2,
                "exclude each other", "w.tif"},
        Refused{"WarpUnknownResampling", {"warp", "a.gcp", "-g", "1", "gcps.tif", "w.tif", "-r", "mode"}, 2, "-r",
                "w.tif"},
        Refused{"WarpMissingRaster", {"warp", "a.gcp", "-g", "1", "none.tif", "w.tif"}, 1, "none.tif", "w.tif"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(RasterCli, GeoTiffGcpCapRefusedBeforeWriting) {
    // 10,923 points: one more than a GeoTIFF holds.  A VRT carries them in.
    std::vector<GcpSpec> many;
    for (int i = 0; i < 10923; ++i) {
        double c = (i % 120) + 0.25, r = (i / 120) % 90 + 0.5 + (i / 10800) * 0.25;
        auto [x, y] = kAffine.Forward(c, r);
        many.push_back({Numbered("p", static_cast<std::size_t>(i)), c, r, x, y, 0.0});
    }
    WriteRaster(P("many.vrt"), GDT_Byte, 1, Pattern, many);
    WriteRaster(P("plain.tif"), GDT_Byte, 1, Pattern, {});
    Ok({"import", "a.gcp", "-g", "1", "many.vrt", "-f", "raster"});
    RunResult r = RunTool(dir_, {"export", "a.gcp", "-g", "1", "copy.tif", "--from", "plain.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("at most 10922"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(P("copy.tif")));
}

// ---- the raster module --------------------------------------------------------

// The raster commands' work lives in a module beside the tool (build tree)
// or in <libdir>/morvane (installed).  A tool without it runs every other
// command, and refuses the raster ones in one line that names the module,
// writing nothing.  (tool.commands_map_no_gdal checks that the others never
// load it.)
TEST(RasterModule, MissingModuleRefusedInOneLine) {
    ScratchDir dir;
    const std::string tool = dir / "morvane";
    std::filesystem::copy_file(MORVANE_TOOL_PATH, tool);
    const std::string sample = (ExamplesDir() / "gcp" / "gdal-utmsmall-gcps.vrt").string();
    RunResult imported = RunProgram(dir, tool, {"import", dir / "a.gcp", "-g", "1", sample});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(RunProgram(dir, tool, {"--version"}).status, 0);
    const std::vector<std::vector<std::string>> rasterCommands = {
        {"warp", dir / "a.gcp", "-g", "1", sample, dir / "w.tif"},
        {"import", dir / "b.gcp", "-g", "1", "--format", "raster", sample},
        {"import", dir / "b.gcp", "-g", "1", dir / "scan.tif"},
        {"export", dir / "a.gcp", "-g", "1", dir / "c.tif", "--from", sample},
    };
    for (const std::vector<std::string>& args : rasterCommands) {
        RunResult r = RunProgram(dir, tool, args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err.rfind("morvane: the raster module ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("is missing"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    for (const char* absent : {"w.tif", "b.gcp", "c.tif"}) EXPECT_FALSE(std::filesystem::exists(dir / absent)) << absent;
}

}  // namespace
}  // namespace morvane::tool::test
