// TrueMaps.h - exact pixel -> user mappings of every transformation type, at
// the magnitudes real groups have, for building synthetic control points.
#ifndef MORVANE_TESTS_TIEMARK_TRUEMAPS_H
#define MORVANE_TESTS_TIEMARK_TRUEMAPS_H

#include <cmath>
#include <functional>
#include <vector>

#include "CtrlPntSet.h"

struct TrueMap {
    short type;
    const char* name;
    std::function<void(double px, double py, double* x, double* y)> apply;
};

// A raster of 24000 x 18000 pixels mapped to projected metres near
// (650 km, 5.2 Mm), or, for the similarity, to geographic degrees.
inline std::vector<TrueMap> AllTrueMaps() {
    std::vector<TrueMap> maps;
    maps.push_back({TM_TRANS_POLY1, "affine", [](double px, double py, double* x, double* y) {
                        *x = 651234.5 + 0.52 * px + 0.031 * py;
                        *y = 5212345.25 - 0.027 * px - 0.49 * py;
                    }});
    maps.push_back({TM_TRANS_POLY2, "poly2", [](double px, double py, double* x, double* y) {
                        double u = px / 1000.0, v = py / 1000.0;
                        *x = 651234.5 + 520 * u + 31 * v + 1.7 * u * u - 0.9 * u * v + 0.4 * v * v;
                        *y = 5212345.25 - 27 * u - 490 * v + 0.6 * u * u + 1.1 * u * v - 1.3 * v * v;
                    }});
    maps.push_back({TM_TRANS_POLY3, "poly3", [](double px, double py, double* x, double* y) {
                        double u = px / 1000.0, v = py / 1000.0;
                        *x = 651234.5 + 520 * u + 31 * v + 1.7 * u * u - 0.9 * u * v + 0.4 * v * v +
                             0.021 * u * u * u - 0.013 * u * u * v + 0.008 * u * v * v - 0.011 * v * v * v;
                        *y = 5212345.25 - 27 * u - 490 * v + 0.6 * u * u + 1.1 * u * v - 1.3 * v * v -
                             0.017 * u * u * u + 0.009 * u * u * v + 0.012 * u * v * v + 0.015 * v * v * v;
                    }});
    maps.push_back({TM_TRANS_SIMILARITY, "similarity", [](double px, double py, double* x, double* y) {
                        // 2.5e-5 degrees a pixel, rotated by 3 degrees, line axis down.
                        double s = 2.5e-5, c = std::cos(0.0523598776), n = std::sin(0.0523598776);
                        *x = -72.85 + s * (c * px + n * py);
                        *y = 41.80 + s * (n * px - c * py);
                    }});
    maps.push_back({TM_TRANS_PROJECTIVE, "projective", [](double px, double py, double* x, double* y) {
                        double w = 1.0 + 4e-6 * px - 3e-6 * py;
                        *x = (651234.5 + 0.52 * px + 0.031 * py) / w;
                        *y = (5212345.25 - 0.027 * px - 0.49 * py) / w;
                    }});
    return maps;
}

constexpr double kColumns = 24000.0;
constexpr double kRows = 18000.0;

// Control points on a jittered grid over the raster (deterministic).
inline std::vector<_CtrlPntStrcT> GridPoints(const TrueMap& map, int nx, int ny) {
    std::vector<_CtrlPntStrcT> pts;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            double px = (i + 0.5 + 0.3 * std::sin(7.0 * i + 3.0 * j)) * kColumns / nx;
            double py = (j + 0.5 + 0.3 * std::cos(5.0 * i - 2.0 * j)) * kRows / ny;
            double x, y;
            map.apply(px, py, &x, &y);
            pts.push_back(TmMakePoint(px, py, x, y));
        }
    return pts;
}

inline void AddAll(CCtrlPntSet& set, const std::vector<_CtrlPntStrcT>& pts) {
    unsigned long n = 0;
    set.GetGCPNum(&n);
    for (const _CtrlPntStrcT& p : pts) {
        _CtrlPntStrcT q = p;
        set.AddOneGcp(++n, &q);
    }
}

#endif
