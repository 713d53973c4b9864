// GcpSets.h - the control-point sets both sides of the GDAL comparison use.
//
// Every set is drawn from one deterministic generator, so the benchmark, the
// agreement check and any rerun see exactly the same points.  The scene is a
// 10,000 x 8,000 pixel image (pixel = column, line = row growing downward,
// both in pixels, the frame spanning (0, 0) to (10000, 8000)) georeferenced in
// UTM-like metres: X near 500,000 m, Y near 4,000,000 m, about 2 m a pixel,
// through a smooth non-linear mapping (TrueMap).  Control points carry 0.5 m
// of Gaussian noise on X and Y.
#ifndef MORVANE_BENCH_GDAL_GCPSETS_H
#define MORVANE_BENCH_GDAL_GCPSETS_H

#include <cstdint>
#include <vector>

namespace gdalcmp {

constexpr double kImageColumns = 10000.0;
constexpr double kImageRows = 8000.0;
constexpr double kNoiseMetres = 0.5;

// One control point: image position in pixels, map position in metres.
struct Gcp {
    double pixel;
    double line;
    double x;
    double y;
};

// The noise-free mapping from image to map coordinates.
void TrueMap(double pixel, double line, double* x, double* y);

// n points spread uniformly over the image, map coordinates from TrueMap
// plus noise.  The same (n, seed) always gives the same points.
std::vector<Gcp> RandomGcps(std::size_t n, std::uint64_t seed);

// n image positions spread uniformly over the image, interleaved
// (pixel, line, pixel, line, ...).
std::vector<double> RandomPixels(std::size_t n, std::uint64_t seed);

// The interleaved map positions TrueMap gives for interleaved pixels.
std::vector<double> MapOf(const std::vector<double>& pixels);

// Twenty points along a diagonal of the image, off the line by at most
// 1e-3 pixel: the direction across the line is all but undetermined.
std::vector<Gcp> NearlyCollinearGcps(std::uint64_t seed);

// Six points on one ellipse: the six terms of a second-order polynomial are
// linearly dependent on them (up to rounding).
std::vector<Gcp> ConicGcps(std::uint64_t seed);

// An evenly spaced grid of side x side image positions covering the whole
// frame, corners included, interleaved.
std::vector<double> FrameGrid(int side);

}  // namespace gdalcmp

#endif
