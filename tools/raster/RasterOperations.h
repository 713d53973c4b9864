// RasterOperations.h - the work the raster module does, inside the module
// (RasterModuleEntry.cpp hands it to the tool).  These throw as the tool's
// commands do: Refusal, or std::invalid_argument for a usage error.
#ifndef MORVANE_TOOLS_RASTER_RASTEROPERATIONS_H
#define MORVANE_TOOLS_RASTER_RASTEROPERATIONS_H

#include "RasterGcps.h"
#include "RasterModule.h"

#include <optional>
#include <string>

namespace morvane::tool::raster {

// RasterGcps.cpp: Entry::readRasterGcps and Entry::writeRasterWithGcps.
std::optional<RasterGcps> ReadGcps(const std::string& path, bool forced);
void WriteCopyWithGcps(const std::string& source, const std::string& target, const GcpTable& table);

// RasterCommands.cpp: `warp`.
void RunWarp(const WarpOptions& options);

}  // namespace morvane::tool::raster

#endif
