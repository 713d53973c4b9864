// Opening and closing-with-save of an area of 1,000,000 control points in 10
// groups, kept once in a control-point file (CFile_Morvane) and once in one
// record of a SQLite raster database (CDB_Morvane), measured in the same run
// on the same stored groups.  The raw record calls are measured on their own
// to show what the database adds.
//
// Files live in a folder under TMPDIR (or /tmp), removed at the end; set
// MORVANE_BENCH_DIR to put them elsewhere, e.g. on another disk.
//
// The Small* benchmarks show what the check against lost updates costs where
// it weighs most: one round of a program that adds or deletes one point of
// an area of 100 points (12 KB), in both stores, and the raw record calls on
// that record with and without versions.  They need none of the large area
// (run them with --benchmark_filter=Small).
#include "Morvane.h"
#include "RasteBaseArea.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kGroups = 10;
constexpr int kPointsPerGroup = 100000;
constexpr long kRecordKey = 1;

void PutLe(std::vector<unsigned char>& out, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutDouble(std::vector<unsigned char>& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    PutLe(out, bits, 8);
}

// The group stream of the benchmark area: 10 groups of 100,000 distinct points.
std::vector<unsigned char> BuildStream() {
    std::vector<unsigned char> out;
    out.reserve(4 + kGroups * (44 + std::size_t(kPointsPerGroup) * 120));
    PutLe(out, kGroups, 4);
    for (int g = 1; g <= kGroups; ++g) {
        PutLe(out, g, 4);
        PutLe(out, kPointsPerGroup, 4);
        PutLe(out, 0, 2);  // orientation: line down
        PutLe(out, 1, 2);  // first-order polynomial
        PutDouble(out, 0.0);
        PutDouble(out, 1000.0);
        PutDouble(out, 0.0);
        PutDouble(out, 1000.0);
        for (int i = 0; i < kPointsPerGroup; ++i) {
            const double col = i % 1000, row = i / 1000;
            char name[32];
            std::snprintf(name, sizeof name, "P%d-%d", g, i);
            _CtrlPntStrcT p = TmMakePoint(col + 0.25 * g, row, 500000.0 + 2.0 * col + 0.1 * row,
                                          4100000.0 - 2.0 * row + 0.05 * col, 0.0, name);
            const auto* b = reinterpret_cast<const unsigned char*>(&p);
            out.insert(out.end(), b, b + sizeof p);
        }
    }
    return out;
}

// The stored area, written once per run into both stores.
struct Fixture {
    std::string dir;
    std::string file;
    std::string database;
    std::vector<unsigned char> stream;
    CRasteBaseArea raster;

    Fixture() {
        const char* base = std::getenv("MORVANE_BENCH_DIR");
        std::string pattern =
            ((base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
             "bench-lodestor-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) std::abort();
        dir = buffer.data();
        file = dir + "/area.gcp";
        database = dir + "/raster.db";
        stream = BuildStream();

        std::ofstream out(file, std::ios::binary);
        out.write("GCPFILE67", 10);
        out.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
        out.close();
        if (!raster.Open(database.c_str(), "bench") ||
            WriteGcpRecord(&raster, kRecordKey, stream.data(),
                           static_cast<std::uint32_t>(stream.size())) == 0) {
            std::abort();
        }
    }
    ~Fixture() {
        raster.Close();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Fixture& Stored() {
    static Fixture fixture;
    return fixture;
}

template <class Area>
short OpenArea(Area& area);

template <>
short OpenArea(CFile_Morvane& area) {
    return area.OpenGCPArea(0, 0, Stored().file.c_str());
}

template <>
short OpenArea(CDB_Morvane& area) {
    return area.OpenGCPArea(&Stored().raster, kRecordKey, 0, 0);
}

// Loading all groups.  Releasing them afterwards is not timed.
template <class Area>
void BM_Open(benchmark::State& state) {
    Stored();
    for (auto _ : state) {
        Area area;
        if (OpenArea(area) != 1) state.SkipWithError("open failed");
        state.PauseTiming();
        area.CloseGCPArea();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(Stored().stream.size()));
}

// Closing an area marked as changed: the whole store is written (durably,
// both ways) and the groups released.  The open before it is not timed.
template <class Area>
void BM_CloseWithSave(benchmark::State& state) {
    Stored();
    for (auto _ : state) {
        state.PauseTiming();
        Area area;
        if (OpenArea(area) != 1 || area.OpenGCPGroup(1) != 1 || area.SetChangeFlag(true) != 1 ||
            area.CloseGCPGroup() != 1) {
            state.SkipWithError("open failed");
        }
        state.ResumeTiming();
        if (area.CloseGCPArea() != 1) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(Stored().stream.size()));
}

// The raw calls on the same 120 MB record: size query and one read.
void BM_RecordRead(benchmark::State& state) {
    Fixture& f = Stored();
    std::vector<unsigned char> buffer(f.stream.size());
    for (auto _ : state) {
        std::uint32_t size = 0;
        if (GetGcpRecordSize(&f.raster, kRecordKey, &size) == 0 ||
            ReadGcpRecord(&f.raster, kRecordKey, buffer.data(), size) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.stream.size()));
}

void BM_RecordWrite(benchmark::State& state) {
    Fixture& f = Stored();
    for (auto _ : state) {
        if (WriteGcpRecord(&f.raster, kRecordKey, f.stream.data(),
                           static_cast<std::uint32_t>(f.stream.size())) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.stream.size()));
}

// ---- small areas: the cost of the version check --------------------------

constexpr int kSmallPoints = 100;

std::vector<unsigned char> SmallStream() {
    std::vector<unsigned char> out;
    PutLe(out, 1, 4);
    PutLe(out, 1, 4);
    PutLe(out, kSmallPoints, 4);
    PutLe(out, 0, 2);
    PutLe(out, 1, 2);
    for (int i = 0; i < 4; ++i) PutDouble(out, 0.0);
    for (int i = 0; i < kSmallPoints; ++i) {
        _CtrlPntStrcT p = TmMakePoint(i % 10 + 0.1 * i, i / 10, 500000.0 + 2.0 * i, 4100000.0 - 3.0 * (i / 10),
                                      0.0, "small");
        const auto* b = reinterpret_cast<const unsigned char*>(&p);
        out.insert(out.end(), b, b + sizeof p);
    }
    return out;
}

struct SmallFixture {
    std::string dir;
    std::string file;
    std::string database;
    std::vector<unsigned char> stream = SmallStream();
    CRasteBaseArea raster;

    SmallFixture() {
        const char* base = std::getenv("MORVANE_BENCH_DIR");
        std::string pattern =
            ((base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
             "bench-small-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) std::abort();
        dir = buffer.data();
        file = dir + "/area.gcp";
        database = dir + "/raster.db";
        std::ofstream out(file, std::ios::binary);
        out.write("GCPFILE67", 10);
        out.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
        out.close();
        if (!raster.Open(database.c_str(), "bench") ||
            WriteGcpRecord(&raster, kRecordKey, stream.data(), static_cast<std::uint32_t>(stream.size())) == 0) {
            std::abort();
        }
    }
    ~SmallFixture() {
        raster.Close();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

SmallFixture& Small() {
    static SmallFixture fixture;
    return fixture;
}

short OpenSmall(CFile_Morvane& area) { return area.OpenGCPArea(0, 0, Small().file.c_str()); }
short OpenSmall(CDB_Morvane& area) { return area.OpenGCPArea(&Small().raster, kRecordKey, 0, 0); }

// One round of a program doing one edit: open, add a point after the last
// one (every other round: delete the last one, so the area keeps its size),
// close with save.  Everything is timed.
template <class Area>
void BM_SmallRound(benchmark::State& state) {
    Small();
    bool add = true;
    for (auto _ : state) {
        Area area;
        unsigned long points = 0;
        if (OpenSmall(area) != 1 || area.OpenGCPGroup(1) != 1 || area.GetGCPNum(points) != 1) {
            state.SkipWithError("open failed");
            break;
        }
        _CtrlPntStrcT p = TmMakePoint(77.5, 77.5, 500500.0, 4099000.0, 0.0, "round");
        if (add) {
            area.AddOneGCP(points + 1, &p);
        } else {
            area.DeleteOneGCP(points);
        }
        add = !add;
        area.CloseGCPGroup();
        if (area.CloseGCPArea() != 1) {
            state.SkipWithError(area.GetLastError());
            break;
        }
    }
}

// Each write changes a byte: SQLite skips rewriting a record whose bytes
// are all the same, and would then commit without writing or syncing.
void BM_SmallRecordWrite(benchmark::State& state) {
    SmallFixture& f = Small();
    for (auto _ : state) {
        f.stream.back() ^= 1;
        if (WriteGcpRecord(&f.raster, kRecordKey, f.stream.data(), static_cast<std::uint32_t>(f.stream.size())) ==
            0) {
            state.SkipWithError(f.raster.LastError());
        }
    }
}

void BM_SmallRecordWriteIf(benchmark::State& state) {
    SmallFixture& f = Small();
    std::uint32_t size = 0;
    std::uint64_t version = 0;
    if (GetGcpRecordState(&f.raster, kRecordKey, &size, &version) == 0) state.SkipWithError(f.raster.LastError());
    for (auto _ : state) {
        f.stream.back() ^= 1;
        bool conflict = false;
        if (WriteGcpRecordIf(&f.raster, kRecordKey, f.stream.data(), static_cast<std::uint32_t>(f.stream.size()),
                             version, &version, &conflict) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
    }
}

void BM_SmallRecordRead(benchmark::State& state) {
    SmallFixture& f = Small();
    std::vector<unsigned char> buffer(f.stream.size());
    for (auto _ : state) {
        std::uint32_t size = 0;
        if (GetGcpRecordSize(&f.raster, kRecordKey, &size) == 0 ||
            ReadGcpRecord(&f.raster, kRecordKey, buffer.data(), size) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
        benchmark::DoNotOptimize(buffer.data());
    }
}

void BM_SmallRecordReadVersion(benchmark::State& state) {
    SmallFixture& f = Small();
    std::vector<unsigned char> buffer(f.stream.size());
    for (auto _ : state) {
        std::uint32_t size = 0;
        std::uint64_t version = 0;
        if (GetGcpRecordState(&f.raster, kRecordKey, &size, &version) == 0 ||
            ReadGcpRecordVersion(&f.raster, kRecordKey, buffer.data(), size, &version) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
        benchmark::DoNotOptimize(buffer.data());
    }
}

BENCHMARK(BM_SmallRound<CFile_Morvane>)->Name("SmallRound/file")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallRound<CDB_Morvane>)->Name("SmallRound/database")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallRecordWrite)->Name("SmallRecord/write")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallRecordWriteIf)->Name("SmallRecord/writeIf")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallRecordRead)->Name("SmallRecord/read")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallRecordReadVersion)->Name("SmallRecord/readVersion")->Unit(benchmark::kMicrosecond)->UseRealTime();

// As Record/write, with one byte in every 64 KiB changed before each write,
// as after a point inserted near the start of the area: SQLite leaves a page
// whose bytes are all the same unwritten, so that Record/write, which writes
// the same bytes again and again, mostly compares them.
void BM_RecordWriteChanged(benchmark::State& state) {
    Fixture& f = Stored();
    for (auto _ : state) {
        for (std::size_t at = 100; at < f.stream.size(); at += 65536) f.stream[at] ^= 1;
        if (WriteGcpRecord(&f.raster, kRecordKey, f.stream.data(),
                           static_cast<std::uint32_t>(f.stream.size())) == 0) {
            state.SkipWithError(f.raster.LastError());
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.stream.size()));
}

BENCHMARK(BM_Open<CFile_Morvane>)->Name("Open/file")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_Open<CDB_Morvane>)->Name("Open/database")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_CloseWithSave<CFile_Morvane>)->Name("CloseWithSave/file")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_CloseWithSave<CDB_Morvane>)->Name("CloseWithSave/database")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_RecordRead)->Name("Record/read")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RecordWrite)->Name("Record/write")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RecordWriteChanged)->Name("Record/writeChanged")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
