#include "GcpSets.h"

#include <cmath>
#include <numbers>

namespace gdalcmp {
namespace {

// SplitMix64: tiny, fast and fully specified, so the point sets do not depend
// on the standard library's distribution implementations.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1), 53 random bits.
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    // Standard normal, Box-Muller (one value per call, the second is dropped
    // to keep the stream simple).
    double Normal() {
        const double u1 = 1.0 - Uniform();  // in (0, 1]: log is finite
        const double u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    }

private:
    std::uint64_t state_;
};

Gcp NoisyGcp(double pixel, double line, Random& random) {
    Gcp g{pixel, line, 0.0, 0.0};
    TrueMap(pixel, line, &g.x, &g.y);
    g.x += kNoiseMetres * random.Normal();
    g.y += kNoiseMetres * random.Normal();
    return g;
}

}  // namespace

void TrueMap(double pixel, double line, double* x, double* y) {
    // Normalised image position: u, v in [0, 1] over the frame.
    const double u = pixel / kImageColumns;
    const double v = line / kImageRows;
    *x = 500000.0 + 20000.0 * u + 1200.0 * v + 150.0 * u * v +
         90.0 * std::sin(2.3 * u + 0.7) * std::cos(1.9 * v);
    *y = 4000000.0 - 16000.0 * v + 800.0 * u - 70.0 * u * u + 55.0 * v * v +
         60.0 * std::cos(1.4 * u - 2.1 * v);
}

std::vector<Gcp> RandomGcps(std::size_t n, std::uint64_t seed) {
    Random random(seed);
    std::vector<Gcp> gcps;
    gcps.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double pixel = kImageColumns * random.Uniform();
        const double line = kImageRows * random.Uniform();
        gcps.push_back(NoisyGcp(pixel, line, random));
    }
    return gcps;
}

std::vector<double> RandomPixels(std::size_t n, std::uint64_t seed) {
    Random random(seed);
    std::vector<double> pixels(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        pixels[2 * i] = kImageColumns * random.Uniform();
        pixels[2 * i + 1] = kImageRows * random.Uniform();
    }
    return pixels;
}

std::vector<double> MapOf(const std::vector<double>& pixels) {
    std::vector<double> map(pixels.size());
    for (std::size_t i = 0; i + 1 < pixels.size(); i += 2)
        TrueMap(pixels[i], pixels[i + 1], &map[i], &map[i + 1]);
    return map;
}

std::vector<Gcp> NearlyCollinearGcps(std::uint64_t seed) {
    Random random(seed);
    const int count = 20;
    // Unit normal of the diagonal from (500, 400) to (9500, 7600).
    const double dx = 9000.0, dy = 7200.0;
    const double length = std::hypot(dx, dy);
    const double nx = -dy / length, ny = dx / length;
    std::vector<Gcp> gcps;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / (count - 1);
        const double jitter = 1e-3 * (2.0 * random.Uniform() - 1.0);
        gcps.push_back(NoisyGcp(500.0 + t * dx + jitter * nx, 400.0 + t * dy + jitter * ny, random));
    }
    return gcps;
}

std::vector<Gcp> ConicGcps(std::uint64_t seed) {
    Random random(seed);
    std::vector<Gcp> gcps;
    for (int i = 0; i < 6; ++i) {
        const double angle = 0.3 + i * (2.0 * std::numbers::pi / 6.0);
        gcps.push_back(NoisyGcp(5000.0 + 4000.0 * std::cos(angle),
                                4000.0 + 3000.0 * std::sin(angle), random));
    }
    return gcps;
}

std::vector<double> FrameGrid(int side) {
    std::vector<double> grid;
    grid.reserve(2 * static_cast<std::size_t>(side) * side);
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            grid.push_back(kImageColumns * i / (side - 1));
            grid.push_back(kImageRows * j / (side - 1));
        }
    return grid;
}

}  // namespace gdalcmp
