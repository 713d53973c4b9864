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
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

namespace {

// Windows hands main() its arguments in the ANSI code page, which cannot
// hold every file name; the library takes paths in UTF-8.  The arguments
// are read again as UTF-16 and converted.
std::vector<std::string> Utf8Arguments() {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return args;
    for (int i = 0; i < count; ++i) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? static_cast<std::size_t>(bytes) : 1, '\0');
        if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
        arg.resize(arg.size() - 1);  // the converted terminator
        args.push_back(std::move(arg));
    }
    ::LocalFree(wide);
    return args;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    const std::vector<std::string> utf8 = Utf8Arguments();
    std::vector<char*> utf8Pointers;
    for (const std::string& arg : utf8) utf8Pointers.push_back(const_cast<char*>(arg.c_str()));
    if (!utf8Pointers.empty()) {
        argc = static_cast<int>(utf8Pointers.size());
        utf8Pointers.push_back(nullptr);
        argv = utf8Pointers.data();
    }
#endif
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
