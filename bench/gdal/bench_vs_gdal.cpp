// bench_vs_gdal - our control-point library against GDAL's GCP transformers,
// pair by pair on the same points in the same run.
//
// Every measurement is registered twice, once per side, with names
//   <what>/<type>/N=<points>[/<direction>]/ours   and   .../gdal
// so that perf_table_vs_gdal can pair them.  What is measured:
//   fit    building the transformation from a ready list of points: ours fills
//          a CCtrlPntSet and prepares it (BeginTransform), GDAL creates its
//          transformer; both include tearing it down again.
//   fitarray  the same fit with the group filled by one AddGCPs call for the
//          whole ready array instead of one AddOneGcp per point; GDAL's side
//          is its fit again, measured beside it.
//   point  one point per call through a prepared transformation: our
//          PointTransform, GDAL's transformer called with a count of 1.
//   batch  1,000,000 points in one call: our BatchTransform, GDAL's
//          transformer called with the whole count (GDAL converts in place, so
//          restoring its input is done with the timer paused).
// Times are the CPU time of the whole process (every thread of either side
// counts), which other jobs on a shared machine disturb far less than wall-clock
// time; the JSON output keeps both.  Fast cases are repeated three times and
// reported by their median.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "GcpSets.h"
#include "GdalTransformer.h"
#include "OurSets.h"

namespace {

using namespace gdalcmp;

constexpr std::uint64_t kGcpSeed = 0x6d6f7276616e6501ULL;
constexpr std::uint64_t kPixelSeed = 0x6d6f7276616e6502ULL;
constexpr std::size_t kConversionGcps = 1000;   // points behind every conversion
constexpr std::size_t kPerCallPoints = 4096;    // points per iteration, one call each
constexpr std::size_t kBatchPoints = 1000000;   // points in one batch call

struct TypeInfo {
    short code;
    const char* name;
};
constexpr TypeInfo kPolynomials[] = {{TM_TRANS_POLY1, "poly1"}, {TM_TRANS_POLY2, "poly2"},
                                     {TM_TRANS_POLY3, "poly3"}};
constexpr TypeInfo kSpline = {TM_TRANS_TPS, "tps"};
constexpr std::size_t kPolynomialSizes[] = {10, 100, 1000, 10000, 100000};
constexpr std::size_t kSplineSizes[] = {10, 100, 1000, 3000};

const std::vector<Gcp>& GcpsOf(std::size_t n) {
    static std::map<std::size_t, std::vector<Gcp>> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, RandomGcps(n, kGcpSeed + n)).first;
    return it->second;
}

// Interleaved inputs of a conversion: image positions forward, their map
// positions backward.
const std::vector<double>& InputsOf(std::size_t n, bool forward) {
    static std::map<std::pair<std::size_t, bool>, std::vector<double>> cache;
    const auto key = std::make_pair(n, forward);
    auto it = cache.find(key);
    if (it == cache.end()) {
        std::vector<double> pixels = RandomPixels(n, kPixelSeed + n);
        it = cache.emplace(key, forward ? pixels : MapOf(pixels)).first;
    }
    return it->second;
}

std::string Describe(const char* what, long code) {
    return std::string(what) + " refused: " + ResultName(code);
}

// ---- fits ------------------------------------------------------------------

void FitOurs(benchmark::State& state, short type, std::size_t n) {
    std::vector<_CtrlPntStrcT> records = ToRecords(GcpsOf(n));
    for (auto _ : state) {
        CCtrlPntSet set;
        long rc = FillSet(set, type, records);
        if (rc == TM_OK) rc = set.BeginTransform(true);
        if (rc != TM_OK) {
            state.SkipWithError(Describe("fit", rc).c_str());
            break;
        }
        set.EndTransform();
    }
}

void FitOursFromArray(benchmark::State& state, short type, std::size_t n) {
    const std::vector<_CtrlPntStrcT> records = ToRecords(GcpsOf(n));
    for (auto _ : state) {
        CCtrlPntSet set;
        long rc = FillSetFromArray(set, type, records);
        if (rc == TM_OK) rc = set.BeginTransform(true);
        if (rc != TM_OK) {
            state.SkipWithError(Describe("fit", rc).c_str());
            break;
        }
        set.EndTransform();
    }
}

void FitGdal(benchmark::State& state, short type, std::size_t n) {
    const std::vector<GDAL_GCP> gcps = ToGdalGcps(GcpsOf(n));
    for (auto _ : state) {
        GdalTransformer transformer(gcps, type);
        if (!transformer.Ok()) {
            state.SkipWithError("GDAL refused the points");
            break;
        }
    }
}

// ---- backward preparation -------------------------------------------------

// Preparing the backward direction of a group already fitted (the fit is
// cached by the first BeginTransform, outside the timing): what a backward
// conversion costs beyond the fit, to be read beside fit/<type>/N=1000/ours.
// GDAL has no such step apart from its fit, so this row has no pair.
void PrepareBackwardOurs(benchmark::State& state, short type) {
    std::vector<_CtrlPntStrcT> records = ToRecords(GcpsOf(kConversionGcps));
    CCtrlPntSet set;
    long rc = FillSet(set, type, records);
    if (rc == TM_OK) rc = set.BeginTransform(false);
    if (rc != TM_OK) {
        state.SkipWithError(Describe("prepare", rc).c_str());
        return;
    }
    set.EndTransform();
    for (auto _ : state) {
        rc = set.BeginTransform(false);
        if (rc != TM_OK) {
            state.SkipWithError(Describe("prepare", rc).c_str());
            break;
        }
        set.EndTransform();
    }
}

// ---- one point per call ----------------------------------------------------

void PointOurs(benchmark::State& state, short type, bool forward) {
    std::vector<_CtrlPntStrcT> records = ToRecords(GcpsOf(kConversionGcps));
    CCtrlPntSet set;
    long rc = FillSet(set, type, records);
    if (rc == TM_OK) rc = set.BeginTransform(forward);
    if (rc != TM_OK) {
        state.SkipWithError(Describe("prepare", rc).c_str());
        return;
    }
    const std::vector<double>& in = InputsOf(kPerCallPoints, forward);
    std::vector<double> out(in.size());
    long refused = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kPerCallPoints; ++i)
            refused |= set.PointTransform(&out[2 * i], &out[2 * i + 1], in[2 * i], in[2 * i + 1]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set.EndTransform();
    if (refused) state.SkipWithError("a conversion was refused");
    state.counters["points"] = static_cast<double>(kPerCallPoints);
}

void PointGdal(benchmark::State& state, short type, bool forward) {
    GdalTransformer transformer(ToGdalGcps(GcpsOf(kConversionGcps)), type);
    if (!transformer.Ok()) {
        state.SkipWithError("GDAL refused the points");
        return;
    }
    const std::vector<double>& in = InputsOf(kPerCallPoints, forward);
    std::vector<double> out(in.size());
    bool ok = true;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kPerCallPoints; ++i)
            ok &= transformer.Point(forward, in[2 * i], in[2 * i + 1], &out[2 * i], &out[2 * i + 1]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (!ok) state.SkipWithError("GDAL failed a conversion");
    state.counters["points"] = static_cast<double>(kPerCallPoints);
}

// ---- one call for many points ----------------------------------------------

void BatchOurs(benchmark::State& state, short type, bool forward) {
    std::vector<_CtrlPntStrcT> records = ToRecords(GcpsOf(kConversionGcps));
    CCtrlPntSet set;
    long rc = FillSet(set, type, records);
    if (rc == TM_OK) rc = set.BeginTransform(forward);
    if (rc != TM_OK) {
        state.SkipWithError(Describe("prepare", rc).c_str());
        return;
    }
    const std::vector<double>& in = InputsOf(kBatchPoints, forward);
    std::vector<double> out(in.size());
    for (auto _ : state) {
        rc = set.BatchTransform(in.data(), out.data(), kBatchPoints);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        if (rc != TM_OK) {
            state.SkipWithError(Describe("batch", rc).c_str());
            break;
        }
    }
    set.EndTransform();
    state.counters["points"] = static_cast<double>(kBatchPoints);
}

void BatchGdal(benchmark::State& state, short type, bool forward) {
    GdalTransformer transformer(ToGdalGcps(GcpsOf(kConversionGcps)), type);
    if (!transformer.Ok()) {
        state.SkipWithError("GDAL refused the points");
        return;
    }
    const std::vector<double>& in = InputsOf(kBatchPoints, forward);
    std::vector<double> x(kBatchPoints), y(kBatchPoints), z(kBatchPoints);
    std::vector<int> success(kBatchPoints);
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < kBatchPoints; ++i) {
            x[i] = in[2 * i];
            y[i] = in[2 * i + 1];
            z[i] = 0.0;
        }
        state.ResumeTiming();
        ok &= transformer.Batch(forward, static_cast<int>(kBatchPoints), x.data(), y.data(),
                                z.data(), success.data());
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    for (int s : success) ok &= (s != 0);
    if (!ok) state.SkipWithError("GDAL failed a conversion");
    state.counters["points"] = static_cast<double>(kBatchPoints);
}

// ---- registration ----------------------------------------------------------

// Fast cases: three repetitions, reported by their aggregates.  Slow ones
// (seconds per iteration): a single iteration, so the whole run stays short.
void Tune(benchmark::internal::Benchmark* b, bool slow, benchmark::TimeUnit unit) {
    b->MeasureProcessCPUTime()->Unit(unit);
    if (slow)
        b->Iterations(1);
    else
        b->Repetitions(3)->ReportAggregatesOnly(true);
}

template <typename Ours, typename Gdal>
void RegisterPair(const std::string& stem, Ours ours, Gdal gdal, bool oursSlow, bool gdalSlow,
                  benchmark::TimeUnit unit) {
    Tune(benchmark::RegisterBenchmark((stem + "/ours").c_str(), ours), oursSlow, unit);
    Tune(benchmark::RegisterBenchmark((stem + "/gdal").c_str(), gdal), gdalSlow, unit);
}

void RegisterFits() {
    for (const TypeInfo& t : kPolynomials)
        for (std::size_t n : kPolynomialSizes)
            RegisterPair(std::string("fit/") + t.name + "/N=" + std::to_string(n),
                         [=](benchmark::State& s) { FitOurs(s, t.code, n); },
                         [=](benchmark::State& s) { FitGdal(s, t.code, n); }, false, false,
                         benchmark::kMicrosecond);
    for (const TypeInfo& t : kPolynomials)
        for (std::size_t n : kPolynomialSizes)
            RegisterPair(std::string("fitarray/") + t.name + "/N=" + std::to_string(n),
                         [=](benchmark::State& s) { FitOursFromArray(s, t.code, n); },
                         [=](benchmark::State& s) { FitGdal(s, t.code, n); }, false, false,
                         benchmark::kMicrosecond);
    for (std::size_t n : kSplineSizes)
        RegisterPair(std::string("fit/") + kSpline.name + "/N=" + std::to_string(n),
                     [=](benchmark::State& s) { FitOurs(s, kSpline.code, n); },
                     [=](benchmark::State& s) { FitGdal(s, kSpline.code, n); }, false, n >= 3000,
                     benchmark::kMicrosecond);
}

void RegisterConversions() {
    const std::string gcps = "/N=" + std::to_string(kConversionGcps);
    std::vector<TypeInfo> types(std::begin(kPolynomials), std::end(kPolynomials));
    types.push_back(kSpline);
    for (const TypeInfo& t : types)
        for (bool forward : {true, false}) {
            const std::string direction = forward ? "/forward" : "/backward";
            RegisterPair(std::string("point/") + t.name + gcps + direction,
                         [=](benchmark::State& s) { PointOurs(s, t.code, forward); },
                         [=](benchmark::State& s) { PointGdal(s, t.code, forward); }, false,
                         false, benchmark::kNanosecond);
        }
    for (const TypeInfo& t : types)
        Tune(benchmark::RegisterBenchmark(
                 (std::string("prepare/") + t.name + gcps + "/backward/ours").c_str(),
                 [=](benchmark::State& s) { PrepareBackwardOurs(s, t.code); }),
             false, benchmark::kMicrosecond);
    for (const TypeInfo& t : types)
        for (bool forward : {true, false}) {
            const std::string direction = forward ? "/forward" : "/backward";
            const bool slow = t.code == TM_TRANS_TPS;
            RegisterPair(std::string("batch/") + t.name + gcps + direction,
                         [=](benchmark::State& s) { BatchOurs(s, t.code, forward); },
                         [=](benchmark::State& s) { BatchGdal(s, t.code, forward); }, slow, slow,
                         benchmark::kMillisecond);
        }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("gdal_version", GdalVersion());
    RegisterFits();
    RegisterConversions();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
