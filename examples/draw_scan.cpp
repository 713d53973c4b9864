// draw_scan - draws a synthetic "scanned map" for the demo: a kilometre grid
// with its labels and a frame, as a scanner would see a sheet that is
// rotated, stretched and bent (a known quadratic mapping), on slightly
// uneven paper.  Writes the scan as a GeoTIFF without georeferencing and
// the grid crossings as control points (CSV: name, pixel, line, x, y, use),
// where a user would have clicked them, a few kept as check points.
//
// Usage: draw_scan SCAN.tif GCPS.csv
#include <gdal.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kColumns = 1800;
constexpr int kRows = 1400;
constexpr double kGridStep = 500.0;   // metres between grid lines
constexpr double kLineHalfWidth = 5.0;   // metres
constexpr double kGlyphCell = 14.0;   // metres per font pixel
// The map sheet, metres (UTM-like easting/northing).
constexpr double kMinX = 500000.0, kMaxX = 506000.0, kMinY = 4000000.0, kMaxY = 4004500.0;

// Scan pixel/line (c, r) to map: the sheet's placement on the scanner.
std::array<double, 2> ScanToMap(double c, double r) {
    return {499100.0 + 4.0 * c + 0.4 * r + 0.0003 * c * c - 0.0002 * c * r + 0.0001 * r * r,
            4004650.0 + 0.3 * c - 4.0 * r + 0.0001 * c * c + 0.0002 * c * r - 0.00025 * r * r};
}

// The scan position of a map point: Newton's method on ScanToMap.
std::array<double, 2> MapToScan(double x, double y) {
    double c = kColumns / 2.0, r = kRows / 2.0;
    for (int i = 0; i < 60; ++i) {
        const double h = 1e-3;
        auto f = ScanToMap(c, r);
        auto fc = ScanToMap(c + h, r);
        auto fr = ScanToMap(c, r + h);
        double a = (fc[0] - f[0]) / h, b = (fr[0] - f[0]) / h, d = (fc[1] - f[1]) / h, e = (fr[1] - f[1]) / h;
        double det = a * e - b * d, dx = x - f[0], dy = y - f[1];
        double dc = (dx * e - b * dy) / det, dr = (a * dy - d * dx) / det;
        c += dc;
        r += dr;
        if (std::fabs(dc) + std::fabs(dr) < 1e-12) break;
    }
    return {c, r};
}

// 5 x 7 digits, one row per byte, bit 4 the leftmost column.
const unsigned char kDigits[10][7] = {
    {14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},   {14, 17, 1, 2, 4, 8, 31},
    {31, 2, 4, 2, 1, 17, 14},     {2, 6, 10, 18, 31, 2, 2},  {31, 16, 30, 1, 1, 17, 14},
    {6, 8, 16, 30, 17, 17, 14},   {31, 1, 2, 4, 8, 8, 8},    {14, 17, 17, 14, 17, 17, 14},
    {14, 17, 17, 15, 1, 2, 12}};

struct Label {
    std::string text;
    double x, y;   // map position of its top-left corner
};

bool InLabel(const Label& label, double x, double y) {
    double col = (x - label.x) / kGlyphCell, row = (label.y - y) / kGlyphCell;
    if (col < 0 || row < 0 || row >= 7) return false;
    int glyph = static_cast<int>(col) / 6, inGlyph = static_cast<int>(col) % 6;
    if (glyph >= static_cast<int>(label.text.size()) || inGlyph == 5) return false;
    int digit = label.text[static_cast<std::size_t>(glyph)] - '0';
    return (kDigits[digit][static_cast<int>(row)] >> (4 - inGlyph)) & 1;
}

std::vector<Label> GridLabels() {
    std::vector<Label> labels;
    for (double x = kMinX; x <= kMaxX; x += 1000.0) {   // easting km, under the top edge
        labels.push_back({std::to_string(static_cast<int>(x / 1000.0)), x + 30.0, kMaxY - 40.0});
    }
    for (double y = kMinY + 1000.0; y < kMaxY; y += 1000.0) {   // northing km, at the left edge
        labels.push_back({std::to_string(static_cast<int>(y / 1000.0)), kMinX + 30.0, y - 30.0});
    }
    return labels;
}

bool Inked(double x, double y, const std::vector<Label>& labels) {
    const double frame = 3.0 * kLineHalfWidth;
    if (x < kMinX - frame || x > kMaxX + frame || y < kMinY - frame || y > kMaxY + frame) return false;
    if (x < kMinX || x > kMaxX || y < kMinY || y > kMaxY) return true;   // the frame
    double gx = std::fabs(std::remainder(x - kMinX, kGridStep)), gy = std::fabs(std::remainder(y - kMinY, kGridStep));
    if (gx < kLineHalfWidth || gy < kLineHalfWidth) return true;
    for (const Label& label : labels) {
        if (InLabel(label, x, y)) return true;
    }
    return false;
}

// A repeatable small number in [-1, 1) from a position.
double Jitter(unsigned seed) {
    seed = seed * 2654435761u ^ (seed >> 13);
    seed = seed * 2246822519u ^ (seed >> 16);
    return (seed % 20001u) / 10000.0 - 1.0;
}

bool WriteScan(const char* path) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(kColumns) * kRows);
    std::vector<Label> labels = GridLabels();
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            // Samples each pixel at four points: soft edges, as scanned.
            int ink = 0;
            for (double dr : {0.25, 0.75}) {
                for (double dc : {0.25, 0.75}) {
                    auto m = ScanToMap(c + dc, r + dr);
                    ink += Inked(m[0], m[1], labels) ? 1 : 0;
                }
            }
            double u = (c - kColumns / 2.0) / kColumns, v = (r - kRows / 2.0) / kRows;
            double paper = 238.0 - 40.0 * (u * u + v * v) + 3.0 * Jitter(static_cast<unsigned>(r * kColumns + c));
            double value = paper + (40.0 - paper) * ink / 4.0;
            pixels[static_cast<std::size_t>(r) * kColumns + c] = static_cast<unsigned char>(std::lround(value));
        }
    }
    GDALAllRegister();
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path, kColumns, kRows, 1, GDT_Byte, nullptr);
    if (ds == nullptr) return false;
    CPLErr written = GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, 0, kColumns, kRows, pixels.data(), kColumns,
                                  kRows, GDT_Byte, 0, 0);
    GDALClose(ds);
    return written == CE_None;
}

bool WriteGcps(const char* path) {
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return false;
    std::fprintf(out, "name,pixel,line,x,y,use\n");
    unsigned n = 0;
    for (double y = kMinY + 500.0; y < kMaxY; y += 1000.0) {
        for (double x = kMinX + 500.0; x < kMaxX; x += 1000.0, ++n) {
            auto p = MapToScan(x, y);
            // Clicked to within a third of a pixel; every fifth a check point.
            double c = p[0] + 0.3 * Jitter(2 * n + 1), r = p[1] + 0.3 * Jitter(2 * n + 2);
            std::fprintf(out, "E%.1fN%.1f,%.3f,%.3f,%.1f,%.1f,%d\n", x / 1000.0, y / 1000.0, c, r, x, y,
                         n % 5 == 4 ? 0 : 1);
        }
    }
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: draw_scan SCAN.tif GCPS.csv\n");
        return 2;
    }
    if (!WriteScan(argv[1])) {
        std::fprintf(stderr, "draw_scan: cannot write %s\n", argv[1]);
        return 1;
    }
    if (!WriteGcps(argv[2])) {
        std::fprintf(stderr, "draw_scan: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
