#include "cli_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

extern char** environ;

namespace morvane::tool::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    path_ = fs::temp_directory_path() / ("morvane-cli-" + std::to_string(getpid()) + "-" +
                                         std::to_string(counter++) + "-" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& input) {
#ifdef MORVANE_TOOL_EMULATOR
    // A cross-built tool runs through the emulator that runs this program
    // (qemu-user for an Arm build on x86-64): the kernel cannot start it.
    std::vector<std::string> command = {MORVANE_TOOL_EMULATOR};
    command.push_back(MORVANE_TOOL_PATH);
    command.insert(command.end(), args.begin(), args.end());
    const std::string emulator = command.front();
    command.erase(command.begin());
    return RunProgram(dir, emulator, command, input);
#else
    return RunProgram(dir, MORVANE_TOOL_PATH, args, input);
#endif
}

RunResult RunProgram(const ScratchDir& dir, const std::string& program, const std::vector<std::string>& args,
                     const std::string& input) {
    std::string inPath = dir / ".stdin", outPath = dir / ".stdout", errPath = dir / ".stderr";
    WriteFile(inPath, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    pid_t pid = 0;
    RunResult result;
    // A program named without a slash is looked up in PATH.
    int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.err = "cannot start " + program;
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

fs::path GcpDataDir() { return fs::path(MORVANE_GCP_DATA); }
fs::path ExamplesDir() { return fs::path(MORVANE_EXAMPLES); }

}  // namespace morvane::tool::test
