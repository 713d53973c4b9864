#include "GdalSupport.h"

#include "AreaHandle.h"

#include <cpl_error.h>
#include <fmt/format.h>

#include <filesystem>
#include <mutex>

namespace morvane::tool {

void EnsureGdalDrivers() {
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

QuietGdal::QuietGdal() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
}

QuietGdal::~QuietGdal() { CPLPopErrorHandler(); }

std::string LastGdalError(const std::string& fallback) {
    const char* message = CPLGetLastErrorMsg();
    return message != nullptr && message[0] != '\0' ? std::string(message) : fallback;
}

Dataset OpenRasterForReading(const std::string& path) {
    EnsureGdalDrivers();
    QuietGdal quiet;
    Dataset dataset(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!dataset) throw Refusal(fmt::format("{}: {}", path, LastGdalError("GDAL cannot open it as a raster")));
    return dataset;
}

int CPL_STDCALL GdalProgress::Callback(double complete, const char*, void* self) {
    auto* progress = static_cast<GdalProgress*>(self);
    double clamped = complete < 0.0 ? 0.0 : (complete > 1.0 ? 1.0 : complete);
    auto reached = static_cast<std::size_t>(clamped * static_cast<double>(kSteps));
    if (reached > progress->done_) {
        progress->bar_.Advance(reached - progress->done_);
        progress->done_ = reached;
    }
    return TRUE;
}

ReplacingOutput::ReplacingOutput(std::string target)
    : target_(std::move(target)), temporary_(target_ + ".tmp-morvane.tif") {}

ReplacingOutput::~ReplacingOutput() {
    if (done_) return;
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    std::filesystem::remove(temporary_ + ".aux.xml", ignored);
}

void ReplacingOutput::Commit() {
    std::error_code ec;
    std::filesystem::rename(temporary_, target_, ec);
    if (ec) throw Refusal(fmt::format("{}: cannot write ({})", target_, ec.message()));
    done_ = true;
    // A stale side-car of an earlier file of that name would describe
    // another raster; one GDAL wrote beside the new file goes with it.
    std::filesystem::remove(target_ + ".aux.xml", ec);
    if (std::filesystem::exists(temporary_ + ".aux.xml", ec)) {
        std::filesystem::rename(temporary_ + ".aux.xml", target_ + ".aux.xml", ec);
    }
}

}  // namespace morvane::tool
