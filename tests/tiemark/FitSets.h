// FitSets.h - control-point sets for judging fits: real QGIS .points files
// and synthetic sets with known noise and planted gross errors.
#ifndef MORVANE_TESTS_TIEMARK_FITSETS_H
#define MORVANE_TESTS_TIEMARK_FITSETS_H

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "TrueMaps.h"

// The points of a QGIS georeferencer file from tests/data/gcp, pixel/line
// with the line axis down (the file stores lines negated).
inline std::vector<_CtrlPntStrcT> ReadQgisPoints(const std::string& name) {
    std::ifstream in(std::string(MORVANE_GCP_DATA_DIR) + "/" + name);
    std::vector<_CtrlPntStrcT> points;
    std::string line;
    bool header = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            header = true;
            continue;
        }
        std::stringstream ss(line);
        std::string field;
        std::vector<double> v;
        while (std::getline(ss, field, ',')) v.push_back(std::stod(field));
        if (v.size() < 5) continue;
        _CtrlPntStrcT p = TmMakePoint(v[2], -v[3], v[0], v[1]);
        p.UseFlag = v[4] != 0 ? 1 : 0;
        points.push_back(p);
    }
    return points;
}

inline const char* kAvonFile = "qgis-zoning-metro-hartford-1954-avon-present-zoning-ROTATED_modified.tif.points";

// Grid points of map with Gaussian noise of sigmaPx pixels (taken to map
// units through the map's local scale) on the user coordinates.
inline std::vector<_CtrlPntStrcT> NoisyGrid(const TrueMap& map, int nx, int ny, double sigmaPx, unsigned seed) {
    std::vector<_CtrlPntStrcT> pts = GridPoints(map, nx, ny);
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (_CtrlPntStrcT& p : pts) {
        double x0, y0, x1, y1;
        map.apply(p.PixelX, p.PixelY, &x0, &y0);
        map.apply(p.PixelX + 1.0, p.PixelY, &x1, &y1);
        const double unitsPerPixel = std::hypot(x1 - x0, y1 - y0);
        p.UserX += sigmaPx * unitsPerPixel * noise(rng);
        p.UserY += sigmaPx * unitsPerPixel * noise(rng);
    }
    return pts;
}

// Moves a share of the points (every k-th after a seeded shuffle) by 20 to
// 500 pixels' worth of map units in a random direction; returns the 0-based
// indices moved, ascending.
inline std::vector<std::size_t> PlantGrossErrors(const TrueMap& map, std::vector<_CtrlPntStrcT>* pts,
                                                 double share, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::size_t> order(pts->size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    order.resize(static_cast<std::size_t>(share * static_cast<double>(pts->size()) + 0.5));
    std::uniform_real_distribution<double> size(20.0, 500.0), angle(0.0, 6.283185307179586);
    for (std::size_t i : order) {
        _CtrlPntStrcT& p = (*pts)[i];
        double x0, y0, x1, y1;
        map.apply(p.PixelX, p.PixelY, &x0, &y0);
        map.apply(p.PixelX + 1.0, p.PixelY, &x1, &y1);
        const double units = std::hypot(x1 - x0, y1 - y0) * size(rng), a = angle(rng);
        p.UserX += units * std::cos(a);
        p.UserY += units * std::sin(a);
    }
    std::sort(order.begin(), order.end());
    return order;
}

inline const TrueMap& TrueMapOf(short type) {
    static const std::vector<TrueMap> maps = AllTrueMaps();
    for (const TrueMap& m : maps)
        if (m.type == type) return m;
    return maps[1];  // the spline follows a smooth (order-2) map
}

inline void Fill(CCtrlPntSet& set, short type, const std::vector<_CtrlPntStrcT>& pts) {
    set.InitPntSet(TM_ORIENT_LINE_DOWN, type);
    AddAll(set, pts);
}

#endif
