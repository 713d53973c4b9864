// bench_warp_vs_gdalwarp - a whole raster warp, end to end as a user runs
// it: `morvane warp` against `gdalwarp` on the same 10,000 x 8,000 single
// band raster and the same control points (GcpSets.h: 1,000 points for the
// thin plate spline, the same for order 2), the same error threshold
// (gdalwarp's default 0.125 px) and the same thread count.
//
// Each case runs the program once (a run takes seconds to minutes) and
// reports its wall time as the benchmark's time, with the child's CPU time
// and peak resident memory (getrusage of the child) as counters.  Both
// programs write a GeoTIFF of the same size to the same folder.
//
// The scratch folder (about 0.3 GB) is MORVANE_BENCH_TMP, else /tmp; it is
// removed at the end.
#include "GcpSets.h"

#include <benchmark/benchmark.h>
#include <gdal.h>
#include <cpl_string.h>
#include <ogr_srs_api.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kColumns = static_cast<int>(gdalcmp::kImageColumns);
constexpr int kRows = static_cast<int>(gdalcmp::kImageRows);
constexpr std::size_t kPoints = 1000;
constexpr std::uint64_t kSeed = 20261207;

struct Scratch {
    fs::path dir;
    bool ready = false;
    std::string raster;     // the source, with the points as its GCPs
    std::string area;       // a control-point file holding the same points
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

struct ChildRun {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
    std::string error;
};

ChildRun Run(const std::vector<std::string>& args) {
    ChildRun run;
    std::vector<std::string> argv = args;
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.error = "cannot start " + argv[0];
        return run;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec * 1e-6;
    run.peakMiB = usage.ru_maxrss / 1024.0;   // kilobytes on Linux
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) run.error = argv[0] + " failed";
    return run;
}

// The raster holds a pattern every pixel of which differs from its
// neighbours, so resampling does real work.
bool WriteSource(const std::string& path, const std::vector<gdalcmp::Gcp>& gcps) {
    GDALAllRegister();
    char** options = nullptr;
    options = CSLSetNameValue(options, "TILED", "YES");
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), kColumns, kRows, 1, GDT_Byte, options);
    CSLDestroy(options);
    if (ds == nullptr) return false;
    std::vector<unsigned char> row(kColumns);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) row[c] = static_cast<unsigned char>((c * 7 + r * 13 + (c / 64) * 31) % 251);
        if (GDALRasterIO(band, GF_Write, 0, r, kColumns, 1, row.data(), kColumns, 1, GDT_Byte, 0, 0) != CE_None) {
            GDALClose(ds);
            return false;
        }
    }
    std::vector<GDAL_GCP> list(gcps.size());
    std::vector<std::string> ids(gcps.size());
    static char empty[] = "";
    for (std::size_t i = 0; i < gcps.size(); ++i) {
        ids[i] = std::to_string(i + 1);
        list[i] = GDAL_GCP{ids[i].data(), empty, gcps[i].pixel, gcps[i].line, gcps[i].x, gcps[i].y, 0.0};
    }
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 32631);
    bool ok = GDALSetGCPs2(ds, static_cast<int>(list.size()), list.data(), srs) == CE_None;
    OSRRelease(srs);
    GDALClose(ds);
    return ok;
}

bool Prepare(std::string& error) {
    Scratch& s = TheScratch();
    if (s.ready) return true;
    const char* base = std::getenv("MORVANE_BENCH_TMP");
    s.dir = fs::path(base != nullptr ? base : "/tmp") / ("morvane-bench-warp-" + std::to_string(getpid()));
    fs::create_directories(s.dir);
    std::vector<gdalcmp::Gcp> gcps = gdalcmp::RandomGcps(kPoints, kSeed);
    s.raster = (s.dir / "source.tif").string();
    if (!WriteSource(s.raster, gcps)) {
        error = "cannot write the source raster";
        return false;
    }
    std::string csv = (s.dir / "points.csv").string();
    {
        std::ofstream out(csv);
        out.precision(17);
        out << "pixel,line,x,y\n";
        for (const gdalcmp::Gcp& g : gcps) out << g.pixel << ',' << g.line << ',' << g.x << ',' << g.y << '\n';
    }
    s.area = (s.dir / "points.gcp").string();
    ChildRun imported = Run({MORVANE_TOOL_PATH, "import", s.area, "-g", "1", csv});
    if (!imported.ok) {
        error = "morvane import failed";
        return false;
    }
    s.ready = true;
    return true;
}

void Report(benchmark::State& state, const ChildRun& run) {
    state.SetIterationTime(run.wallSeconds);
    state.counters["cpu_s"] = run.cpuSeconds;
    state.counters["peak_MiB"] = run.peakMiB;
}

// type: our type name; threads: "1" or "ALL_CPUS" for both programs.
void Warp(benchmark::State& state, const char* tool, const char* type, const char* threads) {
    std::string error;
    if (!Prepare(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Scratch& s = TheScratch();
    const bool ours = std::string(tool) == "morvane";
    const bool tps = std::string(type) == "tps";
    std::string out = (s.dir / (std::string(tool) + "-" + type + ".tif")).string();
    if (ours && !Run({MORVANE_TOOL_PATH, "set-type", s.area, "-g", "1", type}).ok) {
        state.SkipWithError("morvane set-type failed");
        return;
    }
    for (auto _ : state) {
        fs::remove(out);
        std::vector<std::string> args;
        if (ours) {
            args = {MORVANE_TOOL_PATH, "warp", s.area, "-g", "1", s.raster, out, "--error-threshold", "0.125",
                    "--threads", threads};
        } else {
            args = {"gdalwarp", "-q", "-et", "0.125", "-wo", std::string("NUM_THREADS=") + threads};
            if (tps) args.push_back("-tps");
            else args.insert(args.end(), {"-order", "2"});
            args.insert(args.end(), {s.raster, out});
        }
        ChildRun run = Run(args);
        if (!run.ok) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        Report(state, run);
    }
    fs::remove(out);
}

void Cleanup() {
    Scratch& s = TheScratch();
    if (!s.dir.empty()) {
        std::error_code ignored;
        fs::remove_all(s.dir, ignored);
    }
}

}  // namespace

#define WARP_CASE(name, tool, type, threads)                                                            \
    BENCHMARK_CAPTURE(Warp, name, tool, type, threads)->UseManualTime()->Iterations(1)->Unit(          \
        benchmark::kSecond)

WARP_CASE(tps_1000_one_thread_morvane, "morvane", "tps", "1");
WARP_CASE(tps_1000_one_thread_gdalwarp, "gdalwarp", "tps", "1");
WARP_CASE(poly2_1000_one_thread_morvane, "morvane", "poly2", "1");
WARP_CASE(poly2_1000_one_thread_gdalwarp, "gdalwarp", "poly2", "1");
WARP_CASE(tps_1000_all_cpus_morvane, "morvane", "tps", "ALL_CPUS");
WARP_CASE(tps_1000_all_cpus_gdalwarp, "gdalwarp", "tps", "ALL_CPUS");

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Cleanup();
    return 0;
}
