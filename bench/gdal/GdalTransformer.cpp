#include "GdalTransformer.h"

#include <cpl_error.h>
#include <gdal.h>

namespace gdalcmp {
namespace {
char kEmpty[] = "";
constexpr int kTpsType = 6;
}  // namespace

std::vector<GDAL_GCP> ToGdalGcps(const std::vector<Gcp>& gcps) {
    std::vector<GDAL_GCP> out(gcps.size());
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        out[i].pszId = kEmpty;
        out[i].pszInfo = kEmpty;
        out[i].dfGCPPixel = gcps[i].pixel;
        out[i].dfGCPLine = gcps[i].line;
        out[i].dfGCPX = gcps[i].x;
        out[i].dfGCPY = gcps[i].y;
        out[i].dfGCPZ = 0.0;
    }
    return out;
}

std::string GdalVersion() { return GDALVersionInfo("RELEASE_NAME"); }

void QuietGdalErrors() { CPLSetErrorHandler(CPLQuietErrorHandler); }

GdalTransformer::GdalTransformer(const std::vector<GDAL_GCP>& gcps, int type) {
    const int count = static_cast<int>(gcps.size());
    if (type == kTpsType) {
        handle_ = GDALCreateTPSTransformer(count, gcps.data(), FALSE);
        transform_ = GDALTPSTransform;
        destroy_ = GDALDestroyTPSTransformer;
    } else {
        handle_ = GDALCreateGCPTransformer(count, gcps.data(), type, FALSE);
        transform_ = GDALGCPTransform;
        destroy_ = GDALDestroyGCPTransformer;
    }
}

GdalTransformer::~GdalTransformer() {
    if (handle_) destroy_(handle_);
}

}  // namespace gdalcmp
