// BatchTransform of an area's group over 10,000,000 points, the C++ side of
// the Python comparison (bench_transform.py runs this binary and times
// group.transform on the same group and the same points).
//
// The group: 30 points of an order-2 polynomial, type poly2, lines down;
// the inputs: a 4000-column grid of half-pixel steps.  bench_transform.py
// builds both from the same formulas.
#include "Morvane.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPoints = 10'000'000;

_CtrlPntStrcT ControlPoint(int i) {
    const double col = i % 6, row = i / 6;
    const double pixel = col * 400 + 10 + 3 * row;
    const double line = row * 300 + 5 + 7 * col;
    return TmMakePoint(pixel, line, 500000 + 2 * pixel + 0.3 * line + 1e-4 * pixel * line,
                       4600000 - 2 * line + 0.2 * pixel + 1e-5 * pixel * pixel);
}

std::vector<double> GridInputs() {
    std::vector<double> in(2 * kPoints);
    for (std::size_t i = 0; i < kPoints; ++i) {
        in[2 * i] = static_cast<double>(i % 4000) * 0.5 + 0.25;
        in[2 * i + 1] = static_cast<double>(i / 4000) * 0.5 + 0.25;
    }
    return in;
}

void BM_AreaBatchTransform10M(benchmark::State& state) {
    const fs::path file = fs::temp_directory_path() / ("morvane-bench-py-" + std::to_string(::getpid()));
    {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        std::fwrite("GCPFILE67\0\0\0\0", 1, 14, out);
        std::fclose(out);
    }
    CFile_Morvane area;
    bool ready = area.OpenGCPArea(0, 0, file.c_str()) == 1 && area.CreateGCPGroup(1) == 1 &&
                 area.OpenGCPGroup(1) == 1 && area.SetGCPGroupType(TM_TRANS_POLY2) == 1;
    for (int i = 0; i < 30 && ready; ++i) {
        _CtrlPntStrcT p = ControlPoint(i);
        ready = area.AddOneGCP(static_cast<unsigned long>(i + 1), &p) == 1;
    }
    ready = ready && area.BeginTransform(true) == 1;
    const std::vector<double> in = GridInputs();
    std::vector<double> out(in.size());
    if (!ready) state.SkipWithError("the area could not be prepared");
    for (auto _ : state) {
        if (area.BatchTransform(in.data(), out.data(), kPoints) != 1) {
            state.SkipWithError("BatchTransform failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    area.EndTransform();
    area.SetChangeFlag(false);
    area.CloseGCPArea();
    fs::remove(file);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}
// One call per repetition: bench_transform.py compares the best single
// call with the best single call of group.transform.
BENCHMARK(BM_AreaBatchTransform10M)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();
