// morvane - work on the ground control points of an area from a shell.
//
// Exit status: 0 success, 1 refused operation (one line on stderr),
// 2 usage error.
#include "AreaAddress.h"
#include "AreaHandle.h"
#include "Commands.h"
#include "MorvaneModule.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    using namespace morvane::tool;
    CLI::App app{std::string("morvane - keep and use the ground control points of a raster area.\n\n") +
                 kAreaAddressHelp};
    app.name("morvane");
    app.require_subcommand(1);
    app.fallthrough(false);
    // The tool's own version, and the library's when a different one was
    // loaded at run time.
    std::string version = std::string("morvane ") + MORVANE_VERSION_STRING;
    if (std::string(MorvaneVersion()) != MORVANE_VERSION_STRING) {
        version += std::string(" (library ") + MorvaneVersion() + ")";
    }
    app.set_version_flag("--version", version, "Print the version and exit");
    AddAreaCommands(app);
    AddPointCommands(app);
    AddTransformCommand(app);
    AddExchangeCommands(app);
    AddReportCommand(app);
    AddRasterCommands(app);
    AddRefineCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? 0 : 2;
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "morvane: %s\n", error.what());
        return 2;
    } catch (const Refusal& error) {
        std::fprintf(stderr, "morvane: %s\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "morvane: %s\n", error.what());
        return 1;
    }
    return 0;
}
