// The raster module's entry table (RasterModule.h): its one exported
// symbol, and the wall that keeps exceptions on this side.
#include "MorvaneVersion.h"
#include "RasterOperations.h"

#include <exception>
#include <stdexcept>

namespace morvane::tool::raster {

namespace {

// Runs work, returning what it threw as the tool's main() would report it.
template <class Work>
Outcome Guarded(Work&& work) noexcept {
    try {
        work();
        return {};
    } catch (const std::invalid_argument& error) {
        return {Outcome::Kind::UsageError, error.what()};
    } catch (const std::exception& error) {
        return {Outcome::Kind::Refused, error.what()};
    } catch (...) {
        return {Outcome::Kind::Refused, "the raster module failed"};
    }
}

Outcome ReadGcpsEntry(const std::string& path, bool forced, std::optional<RasterGcps>& result) {
    return Guarded([&] { result = ReadGcps(path, forced); });
}

Outcome WriteGcpsEntry(const std::string& source, const std::string& target, const GcpTable& table) {
    return Guarded([&] { WriteCopyWithGcps(source, target, table); });
}

Outcome WarpEntry(const WarpOptions& options) {
    return Guarded([&] { RunWarp(options); });
}

constexpr Entry kEntry = {kInterfaceVersion, MORVANE_VERSION_STRING, ReadGcpsEntry, WriteGcpsEntry, WarpEntry};

}  // namespace

}  // namespace morvane::tool::raster

extern "C" __attribute__((visibility("default"))) const morvane::tool::raster::Entry* morvane_raster_module() {
    return &morvane::tool::raster::kEntry;
}
