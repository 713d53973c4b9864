// Opening and closing-with-save of an area of 1,000,000 control points in 10
// groups, kept once in a control-point file (CFile_Morvane), once in one
// record of a SQLite raster database and once in one record of a PostgreSQL
// raster database (CDB_Morvane), measured in the same run on the same stored
// groups.  The raw record calls are measured on their own to show what each
// database adds.  Then a team's load: 10,000 areas of 20 points, opened,
// edited and saved by 4 processes at once, on SQLite and on PostgreSQL.
//
// Files live in a folder under TMPDIR (or /tmp), removed at the end; set
// MORVANE_BENCH_DIR to put them elsewhere, e.g. on another disk.  The
// PostgreSQL cases run when MORVANE_BENCH_PG_URI names a server
// (scripts/run-bench.sh starts one with scripts/pg-test-server.sh); they
// work in schemas bench_<pid> and bench_team_<pid>, dropped at the end.
#include "Morvane.h"
#include "RasteBaseArea.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kGroups = 10;
constexpr int kPointsPerGroup = 100000;
constexpr long kRecordKey = 1;
// A record of bytes that no compression shrinks, the worst case for a store
// that compresses: the same size as the area's stream.
constexpr long kNoiseKey = 2;

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

// The PostgreSQL server of the run, or "" for none.
std::string PostgresUri() {
    const char* uri = std::getenv("MORVANE_BENCH_PG_URI");
    return uri ? uri : "";
}

// The server's URI with a schema of its own.
std::string PostgresLocation(const std::string& schema) {
    const std::string uri = PostgresUri();
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "lodestor_schema=" + schema;
}

void DropSchema(const std::string& schema) {
    const std::string command = "psql -qX '" + PostgresUri() + "' -c 'DROP SCHEMA IF EXISTS " + schema +
                                " CASCADE' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not drop schema %s\n", schema.c_str());
}

std::string MakeBenchDir() {
    const char* base = std::getenv("MORVANE_BENCH_DIR");
    std::string pattern =
        ((base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
         "bench-lodestor-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    return buffer.data();
}

// The stored area, written once per run into every store.
struct Fixture {
    std::string dir;
    std::string file;
    std::string database;
    std::string postgresSchema;
    std::vector<unsigned char> stream;
    std::vector<unsigned char> noise;
    CRasteBaseArea raster;
    CRasteBaseArea postgres;  // open only with a server

    Fixture() {
        dir = MakeBenchDir();
        file = dir + "/area.gcp";
        database = dir + "/raster.db";
        stream = BuildStream();
        noise.resize(stream.size());
        std::uint64_t x = 0x9E3779B97F4A7C15ull;
        for (unsigned char& byte : noise) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            byte = static_cast<unsigned char>(x >> 32);
        }

        std::ofstream out(file, std::ios::binary);
        out.write("GCPFILE67", 10);
        out.write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
        out.close();
        if (!raster.Open(database.c_str(), "bench") ||
            WriteGcpRecord(&raster, kRecordKey, stream.data(),
                           static_cast<std::uint32_t>(stream.size())) == 0) {
            std::abort();
        }
        if (PostgresUri().empty()) return;
        postgresSchema = "bench_" + std::to_string(getpid());
        const std::string location = PostgresLocation(postgresSchema);
        if (!postgres.Open(location.c_str(), "bench") ||
            WriteGcpRecord(&postgres, kRecordKey, stream.data(),
                           static_cast<std::uint32_t>(stream.size())) == 0 ||
            WriteGcpRecord(&postgres, kNoiseKey, noise.data(), static_cast<std::uint32_t>(noise.size())) == 0) {
            std::fprintf(stderr, "PostgreSQL: %s\n", postgres.LastError());
            std::abort();
        }
    }
    ~Fixture() {
        raster.Close();
        postgres.Close();
        if (!postgresSchema.empty()) DropSchema(postgresSchema);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Fixture& Stored() {
    static Fixture fixture;
    return fixture;
}

enum class Store { File, Sqlite, Postgres };

// The area class of a store.
template <Store S>
using AreaOf = std::conditional_t<S == Store::File, CFile_Morvane, CDB_Morvane>;

template <Store S>
CRasteBaseArea& RasterOf() {
    return S == Store::Postgres ? Stored().postgres : Stored().raster;
}

template <Store S>
short OpenArea(AreaOf<S>& area) {
    if constexpr (S == Store::File) {
        return area.OpenGCPArea(0, 0, Stored().file.c_str());
    } else {
        return area.OpenGCPArea(&RasterOf<S>(), kRecordKey, 0, 0);
    }
}

// Loading all groups.  Releasing them afterwards is not timed.
template <Store S>
void BM_Open(benchmark::State& state) {
    Stored();
    for (auto _ : state) {
        AreaOf<S> area;
        if (OpenArea<S>(area) != 1) state.SkipWithError("open failed");
        state.PauseTiming();
        area.CloseGCPArea();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(Stored().stream.size()));
}

// Closing an area marked as changed: the whole store is written (durably,
// every way) and the groups released.  The open before it is not timed.
template <Store S>
void BM_CloseWithSave(benchmark::State& state) {
    Stored();
    for (auto _ : state) {
        state.PauseTiming();
        AreaOf<S> area;
        if (OpenArea<S>(area) != 1 || area.OpenGCPGroup(1) != 1 || area.SetChangeFlag(true) != 1 ||
            area.CloseGCPGroup() != 1) {
            state.SkipWithError("open failed");
        }
        state.ResumeTiming();
        if (area.CloseGCPArea() != 1) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(Stored().stream.size()));
}

// The raw calls on the same 120 MB record (or the noise record of that
// size): size query and one read.
template <Store S, long Key = kRecordKey>
void BM_RecordRead(benchmark::State& state) {
    Fixture& f = Stored();
    CRasteBaseArea& raster = RasterOf<S>();
    std::vector<unsigned char> buffer(f.stream.size());
    for (auto _ : state) {
        std::uint32_t size = 0;
        if (GetGcpRecordSize(&raster, Key, &size) == 0 ||
            ReadGcpRecord(&raster, Key, buffer.data(), size) == 0) {
            state.SkipWithError(raster.LastError());
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.stream.size()));
}

template <Store S, long Key = kRecordKey>
void BM_RecordWrite(benchmark::State& state) {
    Fixture& f = Stored();
    CRasteBaseArea& raster = RasterOf<S>();
    const std::vector<unsigned char>& bytes = Key == kNoiseKey ? f.noise : f.stream;
    for (auto _ : state) {
        if (WriteGcpRecord(&raster, Key, bytes.data(), static_cast<std::uint32_t>(bytes.size())) == 0) {
            state.SkipWithError(raster.LastError());
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.stream.size()));
}

// ---- a team's load -----------------------------------------------------------

constexpr int kTeamAreas = 10000;
constexpr int kTeamPoints = 20;
constexpr int kTeamProcesses = 4;

// One group of 20 points, as a record.
std::vector<unsigned char> SmallStream() {
    std::vector<unsigned char> out;
    PutLe(out, 1, 4);
    PutLe(out, 1, 4);
    PutLe(out, kTeamPoints, 4);
    PutLe(out, 0, 2);
    PutLe(out, 1, 2);
    for (double v : {0.0, 100.0, 0.0, 100.0}) PutDouble(out, v);
    for (int i = 0; i < kTeamPoints; ++i) {
        const double col = (i * 37) % 101, row = (i * 53) % 97;
        _CtrlPntStrcT p = TmMakePoint(col, row, 500000.0 + 2.0 * col, 4100000.0 - 2.0 * row, 0.0, "T");
        const auto* b = reinterpret_cast<const unsigned char*>(&p);
        out.insert(out.end(), b, b + sizeof p);
    }
    return out;
}

// 10,000 areas, the records 1 .. 10,000 of the raster area "team".
struct TeamStore {
    std::string location;
    std::string schema;
    std::string dir;

    explicit TeamStore(Store store) {
        if (store == Store::Postgres) {
            schema = "bench_team_" + std::to_string(getpid());
            location = PostgresLocation(schema);
        } else {
            dir = MakeBenchDir();
            location = dir + "/team.db";
        }
        CRasteBaseArea raster;
        const std::vector<unsigned char> stream = SmallStream();
        if (!raster.Open(location.c_str(), "team")) std::abort();
        for (long key = 1; key <= kTeamAreas; ++key) {
            if (WriteGcpRecord(&raster, key, stream.data(), static_cast<std::uint32_t>(stream.size())) == 0) {
                std::abort();
            }
        }
    }
    ~TeamStore() {
        if (!schema.empty()) DropSchema(schema);
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

// Opens area `key`, moves its first point a little, and saves it.
bool EditOneArea(CRasteBaseArea& raster, long key) {
    CDB_Morvane area;
    _CtrlPntStrcT point;
    if (area.OpenGCPArea(&raster, key, 0, 0) != 1 || area.OpenGCPGroup(1) != 1 ||
        area.GetOneGCP(1, &point) != 1) {
        return false;
    }
    point.UserX += 0.001;
    return area.UpdateOneGCP(1, &point) == 1 && area.SetChangeFlag(true) == 1 &&
           area.CloseGCPGroup() == 1 && area.CloseGCPArea() == 1;
}

// Process w of 4 edits the areas w+1, w+5, ...; with connectionPerArea each
// area opens its own CRasteBaseArea (as one tool command does), else the
// process keeps one.
bool EditShare(const std::string& location, int w, bool connectionPerArea) {
    CRasteBaseArea shared;
    if (!connectionPerArea && !shared.Open(location.c_str(), "team", CRasteBaseArea::OpenExisting)) return false;
    for (long key = w + 1; key <= kTeamAreas; key += kTeamProcesses) {
        CRasteBaseArea own;
        if (connectionPerArea && !own.Open(location.c_str(), "team", CRasteBaseArea::OpenExisting)) return false;
        if (!EditOneArea(connectionPerArea ? own : shared, key)) {
            std::fprintf(stderr, "area %ld: %s\n", key, (connectionPerArea ? own : shared).LastError());
            return false;
        }
    }
    return true;
}

// Areas opened, edited and saved a second, 4 processes at once.
// state.range(0): 1 for a connection per area.
template <Store S>
void BM_TeamEdits(benchmark::State& state) {
    static TeamStore team(S);
    const bool connectionPerArea = state.range(0) == 1;
    for (auto _ : state) {
        std::vector<pid_t> children;
        for (int w = 0; w < kTeamProcesses; ++w) {
            const pid_t pid = fork();
            if (pid == 0) {
                const bool done = EditShare(team.location, w, connectionPerArea);
                _exit(done ? 0 : 1);
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                state.SkipWithError("a process failed");
            }
        }
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * kTeamAreas);
}

void Register(const char* name, void (*function)(benchmark::State&), double minTime) {
    benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(minTime);
}

// PostgreSQL cases only when there is a server, each beside its file and
// SQLite counterparts.
const bool kRegistered = [] {
    const bool postgres = !PostgresUri().empty();
    Register("Open/file", BM_Open<Store::File>, 3);
    Register("Open/database", BM_Open<Store::Sqlite>, 3);
    if (postgres) Register("Open/postgres", BM_Open<Store::Postgres>, 3);
    Register("CloseWithSave/file", BM_CloseWithSave<Store::File>, 3);
    Register("CloseWithSave/database", BM_CloseWithSave<Store::Sqlite>, 3);
    if (postgres) Register("CloseWithSave/postgres", BM_CloseWithSave<Store::Postgres>, 3);
    Register("Record/read", BM_RecordRead<Store::Sqlite>, 2);
    if (postgres) Register("Record/read-postgres", BM_RecordRead<Store::Postgres>, 2);
    Register("Record/write", BM_RecordWrite<Store::Sqlite>, 2);
    if (postgres) Register("Record/write-postgres", BM_RecordWrite<Store::Postgres>, 2);
    if (postgres) Register("Record/read-postgres-noise", BM_RecordRead<Store::Postgres, kNoiseKey>, 2);
    if (postgres) Register("Record/write-postgres-noise", BM_RecordWrite<Store::Postgres, kNoiseKey>, 2);
    for (int perArea : {0, 1}) {
        const char* suffix = perArea ? "/connection-per-area" : "/connection-per-process";
        benchmark::RegisterBenchmark((std::string("TeamEdits/sqlite") + suffix).c_str(), BM_TeamEdits<Store::Sqlite>)
            ->Arg(perArea)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
        if (postgres) {
            benchmark::RegisterBenchmark((std::string("TeamEdits/postgres") + suffix).c_str(),
                                         BM_TeamEdits<Store::Postgres>)
                ->Arg(perArea)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
        }
    }
    return true;
}();

}  // namespace
