// The raster commands of a tool built with GDAL: their command lines are
// the tool's own, their work is done by the raster module
// (raster/RasterModule.h), loaded the first time one of them needs it.
#include "AreaHandle.h"
#include "Commands.h"
#include "FileFormat.h"
#include "MorvaneVersion.h"
#include "RasterGcps.h"
#include "TextScan.h"
#include "raster/RasterModule.h"

#include <fmt/format.h>

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace morvane::tool {

namespace {

namespace fs = std::filesystem;

// The module's file name, and where an installed tool finds it: a path
// relative to the tool's own folder (CMake: ../lib/morvane).
constexpr const char* kModuleName = MORVANE_RASTER_MODULE_NAME;
constexpr const char* kInstalledModuleDir = MORVANE_RASTER_MODULE_DIR;

// Beside the tool (the build tree), then where the install rules put it.
std::vector<fs::path> ModuleCandidates() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const fs::path here = self.parent_path();
    return {here / kModuleName, (here / kInstalledModuleDir / kModuleName).lexically_normal()};
}

const raster::Entry& LoadModule() {
    const std::vector<fs::path> candidates = ModuleCandidates();
    if (candidates.empty()) throw Refusal("the raster module cannot be found: the tool cannot tell its own folder");
    const fs::path* found = nullptr;
    std::error_code ec;
    for (const fs::path& candidate : candidates) {
        if (fs::is_regular_file(candidate, ec)) {
            found = &candidate;
            break;
        }
    }
    if (found == nullptr) {
        throw Refusal(fmt::format("the raster module {} is missing: neither in {} nor in {}; reinstall morvane",
                                  kModuleName, candidates[0].parent_path().string(),
                                  candidates[1].parent_path().string()));
    }
    // Never closed: GDAL stays loaded until the process ends.
    void* handle = ::dlopen(found->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        throw Refusal(fmt::format("the raster module cannot be loaded: {}", reason != nullptr ? reason : found->string()));
    }
    auto function = reinterpret_cast<MorvaneRasterModuleFunction>(::dlsym(handle, raster::kEntrySymbol));
    const raster::Entry* entry = function != nullptr ? function() : nullptr;
    if (entry == nullptr || entry->interfaceVersion != raster::kInterfaceVersion ||
        std::string(entry->version) != MORVANE_VERSION_STRING) {
        throw Refusal(fmt::format("the raster module {} belongs to another build of morvane; reinstall morvane",
                                  found->string()));
    }
    return *entry;
}

const raster::Entry& Module() {
    static const raster::Entry* entry = nullptr;
    if (entry == nullptr) entry = &LoadModule();
    return *entry;
}

// Throws again, as the tool's own, what the module's work threw.
void Check(const raster::Outcome& outcome) {
    switch (outcome.kind) {
        case raster::Outcome::Kind::Done: return;
        case raster::Outcome::Kind::UsageError: throw std::invalid_argument(outcome.message);
        case raster::Outcome::Kind::Refused: break;
    }
    throw Refusal(outcome.message);
}

}  // namespace

std::optional<RasterGcps> ReadRasterGcpsForImport(const std::string& path, const std::string& format) {
    const bool forced = EqualsNoCase(format, kRasterFormatName);
    // A file for the exchange readers never loads the module.
    if (!forced && (!format.empty() || FormatByPath(path))) return std::nullopt;
    std::optional<RasterGcps> result;
    Check(Module().readRasterGcps(path, forced, result));
    return result;
}

void WriteRasterWithGcps(const std::string& source, const std::string& target, const GcpTable& table) {
    Check(Module().writeRasterWithGcps(source, target, table));
}

void AddRasterCommands(CLI::App& app) {
    auto o = std::make_shared<raster::WarpOptions>();
    CLI::App* c = app.add_subcommand("warp", "resample a raster into a georeferenced GeoTIFF with a group's transformation");
    c->add_option("AREA", o->area.area,
                  "control-point file, sqlite:DBPATH#AREA_NAME:KEY or postgresql://USER@HOST:PORT/DB#AREA_NAME:KEY")
        ->required();
    AddGroupOption(*c, o->area);
    c->add_option("RASTER", o->raster, "the raster the group's pixel/line positions belong to (any GDAL raster)")
        ->required();
    c->add_option("OUT", o->output, "the GeoTIFF to write")->required();
    c->add_option("--crs", o->crs, "the map coordinate system to record (EPSG:n, WKT, PROJ; default: the raster's GCPs')");
    c->add_option("-r,--resampling", o->resampling, "near (default), bilinear, cubic or lanczos");
    c->add_option("--res", o->resolution, "output pixel size in map units (default: as gdalwarp suggests)");
    c->add_option("--size", o->size, "output size COLSxROWS (default: as gdalwarp suggests)");
    c->add_option("--error-threshold", o->errorThreshold,
                  "pixels of error allowed where conversions are interpolated; 0 converts every pixel exactly "
                  "(default 0.125)");
    c->add_option("--threads", o->threads, "warping threads: a number or ALL_CPUS (default)");
    c->add_flag("--force", o->force, "replace an existing OUT");
    c->footer("The raster size sets the group's map range.  The raster itself is only read.");
    c->callback([o] { Check(Module().warp(*o)); });
}

}  // namespace morvane::tool
