// outliers_vs_gdal: planted gross errors found by our robust check
// (CCtrlPntSet::FindOutliers) and by GDAL's refining GCP transformer
// (GDALCreateGCPRefineTransformer), side by side.
//
// Sets: 100 points of the comparison's scene (GcpSets.h, 0.5 m noise,
// about 2 m a pixel), once through its own mapping (smooth but not a
// polynomial: low orders misfit it by more than the noise) and once through
// a polynomial of the fitted order (the model right, only noise and the
// planted errors off it); 5, 10 and 20 % of them moved by 20 to 500 pixels' worth of
// metres in a random direction, four seeds each, polynomial orders 1 to 3.
// GDAL's refinement drops the worst point while a residual exceeds its
// tolerance (here 2.5 m, five times the noise, as our 5 robust scales) and
// keeps at least half of the points; the points it dropped are those whose
// residual under its final fit exceeds the tolerance.  Prints a markdown
// table of found, missed and falsely marked points.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "CtrlPntSet.h"
#include "GcpSets.h"
#include "GdalTransformer.h"

namespace {

constexpr double kMetresPerPixel = 2.0;
constexpr double kGdalTolerance = 2.5;

struct Tally {
    std::size_t planted = 0, found = 0, missed = 0, falseMarks = 0;
    void Add(const std::vector<std::size_t>& bad, const std::vector<std::size_t>& marked) {
        planted += bad.size();
        for (std::size_t i : bad) (std::binary_search(marked.begin(), marked.end(), i) ? found : missed) += 1;
        for (std::size_t i : marked) falseMarks += std::binary_search(bad.begin(), bad.end(), i) ? 0 : 1;
    }
};

// The scene's points moved onto a polynomial of the given order, with new
// 0.5 m noise.
void OntoPolynomial(std::vector<gdalcmp::Gcp>* gcps, short order, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, gdalcmp::kNoiseMetres);
    for (gdalcmp::Gcp& g : *gcps) {
        const double u = g.pixel / gdalcmp::kImageColumns, v = g.line / gdalcmp::kImageRows;
        g.x = 500000.0 + 20000.0 * u + 1200.0 * v;
        g.y = 4000000.0 - 16000.0 * v + 800.0 * u;
        if (order >= 2) g.x += 150.0 * u * v - 40.0 * u * u, g.y += -70.0 * u * u + 55.0 * v * v;
        if (order >= 3) g.x += 35.0 * u * u * v - 20.0 * v * v * v, g.y += 25.0 * u * u * u + 30.0 * u * v * v;
        g.x += noise(rng);
        g.y += noise(rng);
    }
}

std::vector<std::size_t> Plant(std::vector<gdalcmp::Gcp>* gcps, double share, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::size_t> order(gcps->size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    order.resize(static_cast<std::size_t>(share * static_cast<double>(gcps->size()) + 0.5));
    std::uniform_real_distribution<double> size(20.0, 500.0), angle(0.0, 6.283185307179586);
    for (std::size_t i : order) {
        const double metres = kMetresPerPixel * size(rng), a = angle(rng);
        (*gcps)[i].x += metres * std::cos(a);
        (*gcps)[i].y += metres * std::sin(a);
    }
    std::sort(order.begin(), order.end());
    return order;
}

std::vector<std::size_t> Ours(const std::vector<gdalcmp::Gcp>& gcps, short order) {
    CCtrlPntSet set;
    set.InitPntSet(TM_ORIENT_LINE_DOWN, order);
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        _CtrlPntStrcT p = TmMakePoint(gcps[i].pixel, gcps[i].line, gcps[i].x, gcps[i].y);
        set.AddOneGcp(static_cast<unsigned long>(i + 1), &p);
    }
    std::vector<std::size_t> marked;
    if (set.FindOutliers(nullptr, nullptr, nullptr) != TM_OK) return marked;
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        _CtrlPntStrcT p;
        set.GetOneGCP(static_cast<unsigned long>(i + 1), &p);
        if (p.Err.Code == TM_CHECK_ROBUST_OUTLIER) marked.push_back(i);
    }
    return marked;
}

std::vector<std::size_t> Gdal(const std::vector<gdalcmp::Gcp>& gcps, int order) {
    std::vector<GDAL_GCP> list = gdalcmp::ToGdalGcps(gcps);
    void* t = GDALCreateGCPRefineTransformer(static_cast<int>(list.size()), list.data(), order, FALSE, kGdalTolerance,
                                             static_cast<int>(list.size() / 2));
    std::vector<std::size_t> marked;
    if (t == nullptr) return marked;
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        double x = gcps[i].pixel, y = gcps[i].line, z = 0.0;
        int ok = 0;
        GDALGCPTransform(t, FALSE, 1, &x, &y, &z, &ok);
        if (!ok || std::hypot(x - gcps[i].x, y - gcps[i].y) > kGdalTolerance) marked.push_back(i);
    }
    GDALDestroyGCPTransformer(t);
    return marked;
}

}  // namespace

int main() {
    gdalcmp::QuietGdalErrors();
    fmt::print("GDAL {}; 100 points, 0.5 m noise, errors of 20 to 500 px (2 m a pixel), 4 seeds a row\n\n",
               gdalcmp::GdalVersion());
    fmt::print("| mapping | order | planted share | planted | ours found | ours missed | ours false | GDAL found | "
               "GDAL missed | GDAL false |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (bool polynomial : {true, false})
    for (short order : {TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3}) {
        for (double share : {0.05, 0.10, 0.20}) {
            Tally ours, gdal;
            for (unsigned seed = 1; seed <= 4; ++seed) {
                std::vector<gdalcmp::Gcp> gcps = gdalcmp::RandomGcps(100, 1000u * seed + static_cast<unsigned>(order));
                if (polynomial) OntoPolynomial(&gcps, order, seed);
                std::vector<std::size_t> bad = Plant(&gcps, share, seed);
                ours.Add(bad, Ours(gcps, order));
                gdal.Add(bad, Gdal(gcps, order));
            }
            fmt::print("| {} | {} | {:.0f} % | {} | {} | {} | {} | {} | {} | {} |\n",
                       polynomial ? "polynomial" : "scene", order, 100 * share, ours.planted,
                       ours.found, ours.missed, ours.falseMarks, gdal.found, gdal.missed, gdal.falseMarks);
        }
    }
    return 0;
}
