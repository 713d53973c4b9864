// GdalTransformer.h - one GDAL GCP transformer (polynomial or thin plate
// spline) fitted to a set of control points, owned for its lifetime.
//
// Type codes are the control-point library's: 1 to 3 are polynomial orders
// (GDALCreateGCPTransformer), 6 is the thin plate spline
// (GDALCreateTPSTransformer).  Forward converts pixel/line to map
// coordinates, backward converts map coordinates to pixel/line; GDAL fits the
// backward direction as a model of its own.
#ifndef MORVANE_BENCH_GDAL_GDALTRANSFORMER_H
#define MORVANE_BENCH_GDAL_GDALTRANSFORMER_H

#include <gdal_alg.h>

#include <string>
#include <vector>

#include "GcpSets.h"

namespace gdalcmp {

// The control points in GDAL's own form; the returned list points into no
// other storage (the identifier strings are static empty strings).
std::vector<GDAL_GCP> ToGdalGcps(const std::vector<Gcp>& gcps);

// GDAL's version string, e.g. "3.6.2".
std::string GdalVersion();

// Silences GDAL's error printing (the near-degenerate cases provoke some).
void QuietGdalErrors();

class GdalTransformer {
public:
    // Fits the transformer; Ok() tells whether GDAL accepted the points.
    GdalTransformer(const std::vector<GDAL_GCP>& gcps, int type);
    ~GdalTransformer();
    GdalTransformer(const GdalTransformer&) = delete;
    GdalTransformer& operator=(const GdalTransformer&) = delete;

    bool Ok() const { return handle_ != nullptr; }

    // One point per call, as a caller converting point by point would.
    bool Point(bool forward, double in1, double in2, double* out1, double* out2) {
        double z = 0.0;
        int success = 0;
        *out1 = in1;
        *out2 = in2;
        return transform_(handle_, forward ? 0 : 1, 1, out1, out2, &z, &success) && success;
    }

    // count points in place in x and y; z and success must hold count values.
    // Returns GDAL's own result; which points failed is in success.
    bool Batch(bool forward, int count, double* x, double* y, double* z, int* success) {
        return transform_(handle_, forward ? 0 : 1, count, x, y, z, success);
    }

private:
    void* handle_ = nullptr;
    GDALTransformerFunc transform_ = nullptr;
    void (*destroy_)(void*) = nullptr;
};

}  // namespace gdalcmp

#endif
