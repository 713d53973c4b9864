// RasterModule.h - the tool's raster commands as a module of their own.
//
// GDAL, with the hundred-odd shared libraries it pulls in, costs a process
// about as much to start as all the rest of the tool.  Only three things
// need it: warp, import of a raster's own GCPs, export --from.  They live in
// the module morvane-raster.so, which the tool loads (dlopen) the first
// time one of them runs (RasterModuleClient.cpp); every other command, and
// --version and --help, never maps libgdal.  The module sits beside the
// tool in the build tree and in <libdir>/morvane when installed.
//
// The module and the tool are built together from one tree, so the table
// below passes C++ objects; the tool checks the interface number and the
// version before it calls anything.  No exception crosses between them:
// each entry runs its work to the end and returns what it threw as an
// Outcome, which the tool throws again as its own (std::invalid_argument:
// usage error, exit status 2; Refusal: status 1).  Messages and exit
// statuses are those the tool had when it linked GDAL itself.
#ifndef MORVANE_TOOLS_RASTER_RASTERMODULE_H
#define MORVANE_TOOLS_RASTER_RASTERMODULE_H

#include "CommandContext.h"
#include "RasterGcps.h"

#include <optional>
#include <string>

namespace morvane::tool::raster {

// Raised whenever the table or what it passes changes.
inline constexpr int kInterfaceVersion = 1;

// The module's one exported symbol: extern "C" const Entry* morvane_raster_module(void).
inline constexpr const char* kEntrySymbol = "morvane_raster_module";

// The options of `warp`, as its command line gives them (RasterModuleClient.cpp).
struct WarpOptions {
    AreaOptions area;
    std::string raster;
    std::string output;
    std::string crs;
    std::string resampling = "near";
    std::optional<double> resolution;
    std::string size;
    double errorThreshold = 0.125;   // pixels, gdalwarp's default
    std::string threads = "ALL_CPUS";
    bool force = false;
};

struct Outcome {
    enum class Kind { Done, Refused, UsageError };
    Kind kind = Kind::Done;
    std::string message;   // one line, without the "morvane: " prefix
};

struct Entry {
    int interfaceVersion;     // kInterfaceVersion of the module's build
    const char* version;      // MORVANE_VERSION_STRING of the module's build
    // The GCPs of the raster at path (RasterGcps.h: ReadRasterGcpsForImport,
    // past its decision that GDAL is to be asked).  forced: -f raster was
    // given, so a file GDAL cannot open is refused rather than left (result
    // empty) to the exchange readers.
    Outcome (*readRasterGcps)(const std::string& path, bool forced, std::optional<RasterGcps>& result);
    // RasterGcps.h: WriteRasterWithGcps.
    Outcome (*writeRasterWithGcps)(const std::string& source, const std::string& target, const GcpTable& table);
    // The whole of `warp`.
    Outcome (*warp)(const WarpOptions& options);
};

}  // namespace morvane::tool::raster

extern "C" {
using MorvaneRasterModuleFunction = const morvane::tool::raster::Entry* (*)();
}

#endif
