// Throughput of the morvane tool.
//
//   BM_ParsePairs, BM_FormatPairs: the text number stream alone.
//   BM_TransformBinary, BM_TransformText: `morvane transform` run as a
//     process, from a file to /dev/null, through an affine (poly1) and a
//     2nd-order polynomial (poly2) group of 19 real points; items per second
//     is pairs converted per second, start-up included.
#include "NumberStream.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using morvane::tool::PairReader;
using morvane::tool::WritePairs;

std::vector<double> RandomPixels(std::size_t pairs) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> position(0.0, 2500.0);
    std::vector<double> values(2 * pairs);
    for (double& v : values) v = position(random);
    return values;
}

std::string PairsText(const std::vector<double>& values) {
    fmt::memory_buffer text;
    WritePairs(values.data(), values.size() / 2, text);
    return std::string(text.data(), text.size());
}

void BM_ParsePairs(benchmark::State& state) {
    std::string text = PairsText(RandomPixels(100000));
    std::vector<double> pairs;
    std::vector<std::size_t> lines;
    for (auto _ : state) {
        PairReader reader;
        pairs.clear();
        lines.clear();
        for (std::size_t at = 0; at < text.size(); at += 1 << 20) {
            reader.Feed(std::string_view(text).substr(at, 1 << 20), pairs, lines);
        }
        reader.Finish(pairs, lines);
        benchmark::DoNotOptimize(pairs.data());
    }
    state.SetItemsProcessed(state.iterations() * 100000);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParsePairs);

void BM_FormatPairs(benchmark::State& state) {
    std::vector<double> values = RandomPixels(100000);
    fmt::memory_buffer text;
    for (auto _ : state) {
        text.clear();
        WritePairs(values.data(), values.size() / 2, text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_FormatPairs);

// A scratch folder with a fitted area and input files, made once.
struct Workspace {
    fs::path dir;
    Workspace() {
        dir = fs::temp_directory_path() / fmt::format("morvane-bench-tool-{}", getpid());
        fs::create_directories(dir);
        std::vector<double> values = RandomPixels(10000000);
        std::ofstream(dir / "pairs.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 8));
        values.resize(2 * 1000000);
        std::ofstream(dir / "pairs.txt", std::ios::binary) << PairsText(values);
        std::string sample = std::string(MORVANE_EXAMPLES) + "/gcp/avon-1954-zoning.tif.points";
        Run({"import", "poly1.gcp", "-g", "1", "-t", "poly1", sample}, "/dev/null", "/dev/null");
        Run({"import", "poly2.gcp", "-g", "1", "-t", "poly2", sample}, "/dev/null", "/dev/null");
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    int Run(std::vector<std::string> args, const std::string& in, const std::string& out) const {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        args.insert(args.begin(), MORVANE_TOOL_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        int status = -1;
        if (posix_spawn(&pid, MORVANE_TOOL_PATH, &actions, nullptr, argv.data(), environ) == 0) waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&actions);
        return status;
    }
};

const Workspace& Files() {
    static Workspace workspace;
    return workspace;
}

void TransformRun(benchmark::State& state, const char* area, bool binary) {
    const Workspace& w = Files();
    std::string input = (w.dir / (binary ? "pairs.bin" : "pairs.txt")).string();
    std::int64_t pairs = binary ? 10000000 : 1000000;
    std::vector<std::string> args = {"transform", area, "-g", "1"};
    if (binary) args.push_back("--binary");
    for (auto _ : state) {
        if (w.Run(args, input, "/dev/null") != 0) {
            state.SkipWithError("morvane transform failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * pairs);
}

void BM_TransformBinary(benchmark::State& state) { TransformRun(state, state.range(0) == 1 ? "poly1.gcp" : "poly2.gcp", true); }
BENCHMARK(BM_TransformBinary)->Arg(1)->Arg(2)->ArgName("poly")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_TransformText(benchmark::State& state) { TransformRun(state, "poly1.gcp", false); }
BENCHMARK(BM_TransformText)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
