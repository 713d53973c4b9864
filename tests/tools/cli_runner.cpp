#include "cli_runner.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <fstream>
#include <sstream>

#ifndef _WIN32
extern char** environ;
#endif

namespace morvane::tool::test {

namespace fs = std::filesystem;

namespace {

std::string ProcessIdText() {
#ifdef _WIN32
    return std::to_string(::GetCurrentProcessId());
#else
    return std::to_string(::getpid());
#endif
}

}  // namespace

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    path_ = fs::temp_directory_path() / ("morvane-cli-" + ProcessIdText() + "-" +
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

#ifdef _WIN32
namespace {

// UTF-8 to the UTF-16 of the Windows calls.
std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// One argument of a command line, quoted so that the C runtime's parser
// (CommandLineToArgvW's rules) gives it back unchanged: backslashes count
// only before a quote, where they are doubled, and a quote is escaped.
std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

// The C runtime writes the error output in text mode, each "\n" as "\r\n":
// the tests compare its lines as on Linux.  A "\r" of its own (a progress
// bar's) stays.
std::string WithoutCarriageReturns(const std::string& text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines.push_back(text[i]);
    }
    return lines;
}

// A file handle the started program inherits as one of its standard handles.
HANDLE OpenInheritable(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(fs::path(Widen(path)).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

RunResult RunProgram(const ScratchDir& dir, const std::string& program, const std::vector<std::string>& args,
                     const std::string& input) {
    std::string inPath = dir / ".stdin", outPath = dir / ".stdout", errPath = dir / ".stderr";
    WriteFile(inPath, input);
    std::wstring commandLine = QuoteArgument(Widen(program));
    for (const std::string& a : args) commandLine += L" " + QuoteArgument(Widen(a));
    PROCESS_INFORMATION process{};
    RunResult result;
    // No application name: a program named without a folder is looked up
    // as the command interpreter would (the program's folder, then PATH).
    // Under wine a start now and then fails in the first seconds of a fresh
    // prefix, while its services come up: a failed start is tried again,
    // unless a program looked up on PATH is simply not there.
    const bool onPath = program.find_first_of("/\\") == std::string::npos;
    bool started = false;
    DWORD startError = 0;
    for (int attempt = 0; !started && attempt < 20; ++attempt) {
        if (attempt > 0 && onPath && (startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND))
            break;
        if (attempt > 0) ::Sleep(250);
        HANDLE in = OpenInheritable(inPath, false), out = OpenInheritable(outPath, true),
               err = OpenInheritable(errPath, true);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                  ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   dir.path().wstring().c_str(), &startup, &process);
        if (!started) startError = ::GetLastError();
        for (HANDLE h : {in, out, err}) {
            if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
        }
    }
    if (!started) {
        result.err = "cannot start " + program + " (error " + std::to_string(startError) + ")";
        return result;
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    // A program ended by an exception exits with its NTSTATUS (0xC...): no
    // normal exit, as a signal is on Linux.
    result.status = code >= 0xC0000000u ? -1 : static_cast<int>(code);
    result.out = ReadFile(outPath);
    result.err = WithoutCarriageReturns(ReadFile(errPath));
    return result;
}
#else
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

#endif

fs::path GcpDataDir() { return fs::path(MORVANE_GCP_DATA); }
fs::path ExamplesDir() { return fs::path(MORVANE_EXAMPLES); }

}  // namespace morvane::tool::test
