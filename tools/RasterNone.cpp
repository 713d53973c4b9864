// The raster commands of a tool built without GDAL: they refuse, saying so.
#include "AreaHandle.h"
#include "Commands.h"
#include "RasterGcps.h"
#include "TextScan.h"

namespace morvane::tool {

namespace {
const char* const kWithoutGdal =
    "this morvane was built without GDAL; install libgdal-dev and rebuild (MORVANE_WITH_GDAL)";
}

std::optional<RasterGcps> ReadRasterGcpsForImport(const std::string&, const std::string& format) {
    if (EqualsNoCase(format, kRasterFormatName)) throw Refusal(kWithoutGdal);
    return std::nullopt;
}

void WriteRasterWithGcps(const std::string&, const std::string&, const GcpTable&) { throw Refusal(kWithoutGdal); }

void AddRasterCommands(CLI::App& app) {
    CLI::App* c = app.add_subcommand("warp", "resample a raster with a group's transformation (needs GDAL)");
    c->allow_extras();
    c->callback([] { throw Refusal(kWithoutGdal); });
}

}  // namespace morvane::tool
