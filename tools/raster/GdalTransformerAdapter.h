// GdalTransformerAdapter.h - a group's fitted transformation as a GDAL
// transformer, so that GDAL's warper and GDALSuggestedWarpOutput2 convert
// with our model (and our exact inverse) instead of fitting their own.
//
// The transformer maps destination pixel/line to source pixel/line
// (bDstToSrc = TRUE: through the destination geotransform to map
// coordinates, then backward through the group) and back (FALSE: forward
// through the group, then through the inverse geotransform).  With the
// identity geotransform the "destination pixel/line" are map coordinates,
// which is what GDALSuggestedWarpOutput2 wants.
//
// Threads: every transformer instance owns its own prepared copies of the
// group (CCtrlPntSet keeps one prepared state per set, so two threads must
// never share one).  GDAL's multi-threaded warper clones the transformer
// for each worker thread through the GTI2 header's pfnCreateSimilar; the
// clones share only the immutable fitted source, copied under a lock.  An
// instance additionally serialises its own calls, so a caller that does
// share one between threads is slow but still correct.
#ifndef MORVANE_TOOLS_GDALTRANSFORMERADAPTER_H
#define MORVANE_TOOLS_GDALTRANSFORMERADAPTER_H

#include "CtrlPntSet.h"

#include <array>
#include <memory>
#include <vector>

namespace morvane::tool {

// A group as read from an area: its types and every point (check points
// included; only used points take part in the fit).
struct GroupSnapshot {
    short orientType = 0;   // TM_ORIENT_*
    short transType = 0;    // TM_TRANS_*
    std::vector<_CtrlPntStrcT> points;
};

using GeoTransform = std::array<double, 6>;   // GDAL's order: x0, dx/dcol, dx/drow, y0, dy/dcol, dy/drow
inline constexpr GeoTransform kIdentityGeoTransform = {0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

// Creates a transformer over the group.  dstGeoTransform: the destination's
// pixel/line to map geotransform, invertible.  Throws Refusal when the group
// has no usable fit (too few used points, degenerate) or the geotransform is
// singular.  The result is a GDAL transformer argument: pass it with
// GroupTransform to GDAL, release it with GDALDestroyTransformer (or
// DestroyGroupTransformer).
void* CreateGroupTransformer(const GroupSnapshot& group, const GeoTransform& dstGeoTransform);

// Changes the destination geotransform of a transformer made above (as
// GDALSetGenImgProjTransformerDstGeoTransform does for GDAL's own).  Throws
// Refusal for a singular geotransform.
void SetGroupTransformerDstGeoTransform(void* transformer, const GeoTransform& dstGeoTransform);

// Lets the transformer's backward conversions (destination to source) lie
// within tolerancePx source pixels of the exact inverse, for a warp that
// interpolates between conversions anyway (CCtrlPntSet::BeginTransform
// with a tolerance).  0 (the default) keeps them exact.  Applies to
// conversions prepared afterwards, clones included.  Throws Refusal for a
// negative or non-finite tolerance.
void SetGroupTransformerBackwardTolerance(void* transformer, double tolerancePx);

// GDALTransformerFunc.  Points that cannot be converted (outside the
// model's domain, inverse not converging) get success 0; the others 1.
// z is left as it is.  Returns TRUE unless the transformer itself is
// unusable.
int GroupTransform(void* transformer, int dstToSrc, int count, double* x, double* y, double* z, int* success);

void DestroyGroupTransformer(void* transformer);

}  // namespace morvane::tool

#endif
