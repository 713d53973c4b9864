// cli_runner.h - runs the built morvane tool as a user would, in a scratch
// folder of its own, and collects its exit status and output.
#ifndef MORVANE_TESTS_TOOLS_CLI_RUNNER_H
#define MORVANE_TESTS_TOOLS_CLI_RUNNER_H

#include <filesystem>
#include <string>
#include <vector>

namespace morvane::tool::test {

struct RunResult {
    int status = -1;     // exit status; -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

// A scratch folder removed at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs the tool with args (argv[1..]) in folder dir, feeding input on stdin.
RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& input = "");
// The same for another program (looked up in PATH when named without a slash).
RunResult RunProgram(const ScratchDir& dir, const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "");

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// The real sample files, and the examples shipped with the project.
std::filesystem::path GcpDataDir();
std::filesystem::path ExamplesDir();

}  // namespace morvane::tool::test

#endif
