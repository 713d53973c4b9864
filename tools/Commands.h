// Commands.h - the subcommands of the morvane tool, each registered on the
// CLI11 application by one function.  A command reports a refused
// operation by throwing Refusal (exit status 1); CLI11 reports usage errors
// (exit status 2).
#ifndef MORVANE_TOOLS_COMMANDS_H
#define MORVANE_TOOLS_COMMANDS_H

#include <CLI/CLI.hpp>

#include <string>

namespace morvane::tool {

struct AreaOptions;

// new, info, list, group add|delete, set-type, copy
void AddAreaCommands(CLI::App& app);
// point add|update|delete|use|edit
void AddPointCommands(CLI::App& app);
void AddTransformCommand(CLI::App& app);
// import, export
void AddExchangeCommands(CLI::App& app);
void AddReportCommand(CLI::App& app);
// warp (RasterModuleClient.cpp, the work in the raster module; RasterNone.cpp
// refuses when built without GDAL)
void AddRasterCommands(CLI::App& app);
// refine: robust outlier search
void AddRefineCommand(CLI::App& app);

// Adds the AREA argument and --size to a subcommand.
void AddAreaArgument(CLI::App& command, AreaOptions& options);
// Adds -g/--group (required).
void AddGroupOption(CLI::App& command, AreaOptions& options);
void AddJsonFlag(CLI::App& command, AreaOptions& options);

}  // namespace morvane::tool

#endif
