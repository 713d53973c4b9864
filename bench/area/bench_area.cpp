// bench_area - speed and memory of the file-backed area.
//
//   BM_PlainCopy          copying the control-point file (what cp does)
//   BM_PlainCopySynced    the same copy followed by fsync
//   BM_OpenArea           OpenGCPArea of the same file (and its release)
//   BM_CloseWithSave      CloseGCPArea writing the file back
//   BM_PeakMemory         open, edit flag, save in a child process; its peak
//                         resident size against the file size
//   BM_OpenEmptyGroups    opening a file of 1,000,000 empty groups (44 MB) in
//                         a child process: its time and peak resident size
//   BM_AddOneGCP          building one group of N points through AddOneGCP
//   BM_TransformArea /
//   BM_TransformLibrary   the four-argument PointTransform through the area
//                         and the library's own PointTransform
//
// The file has 1,000,000 points in 10 groups (about 120 MB) and lives in
// $MORVANE_BENCH_DIR (default: the system's temporary directory).
#include "Morvane.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kGroups = 10;
constexpr int kPointsPerGroup = 100000;

_CtrlPntStrcT SamplePoint(int i) {
    const double col = i % 1000;
    const double row = i / 1000;
    return TmMakePoint(col * 8.0 + 0.5, row * 8.0 + 0.25, 500000.0 + 30.0 * col + 0.1 * row,
                       4200000.0 - 30.0 * row + 0.05 * col, 0.0, "bench");
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutDouble(std::vector<unsigned char>& out, double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, 8);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// Writes the benchmark file once per process.
const std::string& BigFile() {
    static const std::string path = [] {
        const char* dir = std::getenv("MORVANE_BENCH_DIR");
        fs::path base = dir != nullptr ? fs::path(dir) : fs::temp_directory_path();
        fs::path file = base / ("morvane-bench-" + std::to_string(::getpid()) + ".gcp");
        std::FILE* out = std::fopen(file.c_str(), "wb");
        std::vector<unsigned char> head;
        head.insert(head.end(), {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0});
        Put32(head, kGroups);
        std::fwrite(head.data(), 1, head.size(), out);
        for (int g = 0; g < kGroups; ++g) {
            std::vector<unsigned char> header;
            Put32(header, static_cast<std::uint32_t>(g + 1));
            Put32(header, kPointsPerGroup);
            header.insert(header.end(), {0, 0, 1, 0});  // orientation 0, transformation 1
            for (double v : {500000.0, 530000.0, 4170000.0, 4200000.0}) PutDouble(header, v);
            std::fwrite(header.data(), 1, header.size(), out);
            for (int j = 0; j < kPointsPerGroup; ++j) {
                const _CtrlPntStrcT p = SamplePoint(g * kPointsPerGroup + j);
                std::fwrite(&p, sizeof p, 1, out);
            }
        }
        std::fclose(out);
        std::atexit([] { fs::remove(path); });
        return file.string();
    }();
    return path;
}

// Point i of a sequence whose first points are never collinear, so that
// every prefix of three or more points has an affine fit.
_CtrlPntStrcT ScatteredPoint(int i) {
    const long k = i;
    const int col = static_cast<int>((k * 37) % 1000);
    const int row = static_cast<int>((k * k * 31 + 7 * k) % 1000);
    return SamplePoint(row * 1000 + col);
}

std::int64_t BigFileSize() { return static_cast<std::int64_t>(fs::file_size(BigFile())); }

void BM_PlainCopy(benchmark::State& state) {
    const std::string copy = BigFile() + ".copy";
    for (auto _ : state) {
        fs::copy_file(BigFile(), copy, fs::copy_options::overwrite_existing);
    }
    fs::remove(copy);
    state.SetBytesProcessed(state.iterations() * BigFileSize());
}
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same copy made durable, as the save makes its file.
void BM_PlainCopySynced(benchmark::State& state) {
    const std::string copy = BigFile() + ".copy";
    for (auto _ : state) {
        fs::copy_file(BigFile(), copy, fs::copy_options::overwrite_existing);
        const int fd = ::open(copy.c_str(), O_WRONLY);
        ::fsync(fd);
        ::close(fd);
    }
    fs::remove(copy);
    state.SetBytesProcessed(state.iterations() * BigFileSize());
}
BENCHMARK(BM_PlainCopySynced)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenArea(benchmark::State& state) {
    for (auto _ : state) {
        CFile_Morvane area;
        if (area.OpenGCPArea(8000, 800, BigFile().c_str()) != 1) state.SkipWithError("open failed");
        state.PauseTiming();
        area.CloseGCPArea();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * BigFileSize());
}
BENCHMARK(BM_OpenArea)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CloseWithSave(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        CFile_Morvane area;
        if (area.OpenGCPArea(8000, 800, BigFile().c_str()) != 1 || area.OpenGCPGroup(1) != 1 ||
            area.SetChangeFlag(true) != 1) {
            state.SkipWithError("open failed");
        }
        state.ResumeTiming();
        if (area.CloseGCPArea() != 1) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(state.iterations() * BigFileSize());
}
BENCHMARK(BM_CloseWithSave)->Unit(benchmark::kMillisecond)->UseRealTime();

// The child's peak resident size covers the open, the held groups and the
// save; the parent holds nothing large when it forks.
// Runs work in a child process once per iteration; the child's peak
// resident size in KiB.
template <class Work>
long ChildPeakKiB(benchmark::State& state, Work work) {
    long peakKiB = 0;
    for (auto _ : state) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(work() ? 0 : 1);
        int status = 0;
        struct rusage usage {};
        ::wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("child failed");
        peakKiB = usage.ru_maxrss;
    }
    return peakKiB;
}

void BM_PeakMemory(benchmark::State& state) {
    const long peakKiB = ChildPeakKiB(state, [] {
        CFile_Morvane area;
        return area.OpenGCPArea(8000, 800, BigFile().c_str()) == 1 && area.OpenGCPGroup(1) == 1 &&
               area.SetChangeFlag(true) == 1 && area.CloseGCPArea() == 1;
    });
    state.counters["peak_MB"] = static_cast<double>(peakKiB) / 1024.0;
    state.counters["file_MB"] = static_cast<double>(BigFileSize()) / (1024.0 * 1024.0);
    state.counters["peak_per_file"] =
        static_cast<double>(peakKiB) * 1024.0 / static_cast<double>(BigFileSize());
}
BENCHMARK(BM_PeakMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// A file of only empty groups, as a hostile or damaged store may hold: the
// open's memory must stay a small multiple of the file's size.  Written in
// a private folder of the benchmark directory.
constexpr std::uint32_t kEmptyGroups = 1000000;

const std::string& EmptyGroupsFile() {
    static const std::string path = [] {
        const char* dir = std::getenv("MORVANE_BENCH_DIR");
        const fs::path base = dir != nullptr ? fs::path(dir) : fs::temp_directory_path();
        std::string pattern = (base / "morvane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return std::string();
        const fs::path file = fs::path(pattern) / "empty-groups.gcp";
        std::vector<unsigned char> bytes;
        bytes.insert(bytes.end(), {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0});
        Put32(bytes, kEmptyGroups);
        for (std::uint32_t g = 1; g <= kEmptyGroups; ++g) {
            Put32(bytes, g);
            Put32(bytes, 0);
            bytes.insert(bytes.end(), {0, 0, 1, 0});
            for (double v : {1.0, 2.0, 3.0, 4.0}) PutDouble(bytes, v);
        }
        std::FILE* out = std::fopen(file.c_str(), "wbx");
        if (out == nullptr) return std::string();
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) != 0 || !written) return std::string();
        static const fs::path folder = fs::path(pattern);
        std::atexit([] { fs::remove_all(folder); });
        return file.string();
    }();
    return path;
}

void BM_OpenEmptyGroups(benchmark::State& state) {
    const std::string& file = EmptyGroupsFile();
    if (file.empty()) {
        state.SkipWithError("cannot write the file of empty groups");
        return;
    }
    const long peakKiB = ChildPeakKiB(state, [&file] {
        CFile_Morvane area;
        unsigned long groups = 0;
        return area.OpenGCPArea(0, 0, file.c_str()) == 1 && area.GetGCPGroupNum(groups) == 1 &&
               groups == kEmptyGroups;
    });
    const double fileBytes = static_cast<double>(fs::file_size(file));
    state.counters["peak_MB"] = static_cast<double>(peakKiB) / 1024.0;
    state.counters["file_MB"] = fileBytes / (1024.0 * 1024.0);
    state.counters["peak_bytes_per_group"] = static_cast<double>(peakKiB) * 1024.0 / kEmptyGroups;
}
BENCHMARK(BM_OpenEmptyGroups)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One group of state.range(0) points, each added at the end through the
// area, which recomputes the group's range after every point.
void BM_AddOneGCP(benchmark::State& state) {
    const fs::path file = fs::temp_directory_path() / ("morvane-bench-add-" + std::to_string(::getpid()));
    const int points = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        {
            std::FILE* out = std::fopen(file.c_str(), "wb");
            std::fwrite("GCPFILE67\0\0\0\0", 1, 14, out);
            std::fclose(out);
        }
        CFile_Morvane area;
        if (area.OpenGCPArea(8000, 800, file.c_str()) != 1 || area.CreateGCPGroup(1) != 1 ||
            area.OpenGCPGroup(1) != 1) {
            state.SkipWithError("open failed");
        }
        state.ResumeTiming();
        bool added = true;
        for (int i = 1; i <= points && added; ++i) {
            _CtrlPntStrcT p = ScatteredPoint(i);
            added = area.AddOneGCP(static_cast<unsigned long>(i), &p) == 1;
        }
        if (!added) {
            state.SkipWithError("AddOneGCP failed");
            break;
        }
        state.PauseTiming();
        area.SetChangeFlag(false);
        area.CloseGCPArea();
        state.ResumeTiming();
    }
    fs::remove(file);
    state.SetItemsProcessed(state.iterations() * points);
}
BENCHMARK(BM_AddOneGCP)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int kFitPoints = 30;

// Conversion inputs spread over the raster, cycled through.
std::vector<double> TransformInputs() {
    std::vector<double> in;
    for (int i = 0; i < 1024; ++i) {
        in.push_back((i * 37 % 1000) * 8.0);
        in.push_back((i * 91 % 100) * 8.0);
    }
    return in;
}

void BM_TransformArea(benchmark::State& state) {
    const fs::path file = fs::temp_directory_path() / ("morvane-bench-tf-" + std::to_string(::getpid()));
    {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        std::fwrite("GCPFILE67\0\0\0\0", 1, 14, out);
        std::fclose(out);
    }
    CFile_Morvane area;
    area.OpenGCPArea(8000, 800, file.c_str());
    area.CreateGCPGroup(1);
    area.OpenGCPGroup(1);
    area.SetGCPGroupType(static_cast<short>(state.range(0)));
    for (int i = 1; i <= kFitPoints; ++i) {
        _CtrlPntStrcT p = ScatteredPoint(i);
        area.AddOneGCP(static_cast<unsigned long>(i), &p);
    }
    if (area.BeginTransform(true) != 1) state.SkipWithError("BeginTransform failed");
    const std::vector<double> in = TransformInputs();
    std::size_t k = 0;
    double x = 0, y = 0;
    for (auto _ : state) {
        area.PointTransform(in[k], in[k + 1], x, y);
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
        k = (k + 2) & 2047;
    }
    area.EndTransform();
    area.SetChangeFlag(false);
    area.CloseGCPArea();
    fs::remove(file);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransformArea)->Arg(TM_TRANS_POLY1)->Arg(TM_TRANS_POLY2);

void BM_TransformLibrary(benchmark::State& state) {
    CCtrlPntSet set;
    set.InitPntSet(TM_ORIENT_LINE_DOWN, static_cast<short>(state.range(0)));
    for (int i = 1; i <= kFitPoints; ++i) {
        _CtrlPntStrcT p = ScatteredPoint(i);
        set.AddOneGcp(static_cast<unsigned long>(i), &p);
    }
    if (set.BeginTransform(true) != TM_OK) state.SkipWithError("BeginTransform failed");
    const std::vector<double> in = TransformInputs();
    std::size_t k = 0;
    double x = 0, y = 0;
    for (auto _ : state) {
        set.PointTransform(&x, &y, in[k], in[k + 1]);
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
        k = (k + 2) & 2047;
    }
    set.EndTransform();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransformLibrary)->Arg(TM_TRANS_POLY1)->Arg(TM_TRANS_POLY2);

}  // namespace
