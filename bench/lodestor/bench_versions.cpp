// bench_versions.cpp - what the check against lost updates costs where it
// weighs most: one round of a program that adds or deletes one point of an
// area of 100 points (12 KB), in the file and the SQLite store, and the raw
// record calls on that record with and without versions.
//
// Files live in a folder under TMPDIR (or /tmp), removed at the end; set
// MORVANE_BENCH_DIR to put them elsewhere, e.g. on another disk.
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

constexpr long kRecordKey = 1;

void PutLe(std::vector<unsigned char>& out, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutDouble(std::vector<unsigned char>& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    PutLe(out, bits, 8);
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

}  // namespace
