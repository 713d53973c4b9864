// Speed of the control-point library: building groups point by point with a
// range recomputation after each point, fitting from scratch, and converting
// through a prepared transformation.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cmath>
#include <vector>

#include "CtrlPntSet.h"

namespace {

// A smooth, mildly non-linear map from a 1e5 x 1e5 pixel raster to projected metres.
_CtrlPntStrcT SamplePoint(std::size_t i) {
    // Low-discrepancy positions spread over the raster in any prefix.
    double px = std::fmod(i * 0.6180339887498949, 1.0) * 1e5;
    double py = std::fmod(i * 0.7548776662466927, 1.0) * 1e5;
    double u = px / 1e4, v = py / 1e4;
    double x = 651234.5 + 5000 * u + 300 * v + 12 * u * u - 7 * u * v + 0.4 * u * u * v;
    double y = 5212345.25 - 250 * u - 4900 * v + 6 * u * v - 9 * v * v + 0.3 * u * v * v;
    // Measurement noise of a few centimetres, deterministic.
    x += 0.03 * std::sin(i * 1.7);
    y += 0.03 * std::cos(i * 2.3);
    return TmMakePoint(px, py, x, y);
}

void Fill(CCtrlPntSet& set, short type, std::size_t n) {
    set.InitPntSet(TM_ORIENT_LINE_DOWN, type);
    for (std::size_t i = 0; i < n; ++i) {
        _CtrlPntStrcT p = SamplePoint(i);
        set.AddOneGcp(i + 1, &p);
    }
}

// Adds P points one by one and recomputes the range after each: the path
// an area takes on every point edit.  Reported per point.
void BM_BuildWithRangePerPoint(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(state.range(1));
    std::vector<_CtrlPntStrcT> pts;
    for (std::size_t i = 0; i < n; ++i) pts.push_back(SamplePoint(i));
    for (auto _ : state) {
        CCtrlPntSet set;
        set.InitPntSet(TM_ORIENT_LINE_DOWN, type);
        for (std::size_t i = 0; i < n; ++i) {
            set.AddOneGcp(i + 1, &pts[i]);
            set.ComputeUserCoordRange(100000, 100000);
        }
        double r[4];
        set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_BuildWithRangePerPoint)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE},
                   {1000, 10000, 100000}})
    ->Unit(benchmark::kMillisecond);

// The same without a raster size: the range is then the bounding box of the
// used points, kept up to date point by point.
void BM_BuildWithPointRangePerPoint(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<_CtrlPntStrcT> pts;
    for (std::size_t i = 0; i < n; ++i) pts.push_back(SamplePoint(i));
    for (auto _ : state) {
        CCtrlPntSet set;
        set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
        for (std::size_t i = 0; i < n; ++i) {
            set.AddOneGcp(i + 1, &pts[i]);
            set.ComputeUserCoordRange(0, 0);
        }
        double r[4];
        set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_BuildWithPointRangePerPoint)->ArgName("points")->Arg(1000)->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// One edit of a thin plate spline group of P points: append a point and
// recompute the range.  The factorised system is bordered with the point,
// O(P^2), until the appended points outnumber the base (not reached here).
void BM_SplineAppendWithRange(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    CCtrlPntSet set;
    Fill(set, TM_TRANS_TPS, n);
    set.ComputeUserCoordRange(100000, 100000);
    std::size_t count = n;
    for (auto _ : state) {
        _CtrlPntStrcT p = SamplePoint(count + 1000000);
        set.AddOneGcp(++count, &p);
        benchmark::DoNotOptimize(set.ComputeUserCoordRange(100000, 100000));
    }
}
BENCHMARK(BM_SplineAppendWithRange)->ArgName("points")->Arg(100)->Arg(300)->Arg(1000)->Iterations(100)
    ->Unit(benchmark::kMillisecond);

// The same group refitted from scratch after a deletion: the O(P^3) path
// that deletions, updates and flag changes take.
void BM_SplineDeleteWithRange(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    CCtrlPntSet set;
    Fill(set, TM_TRANS_TPS, n + 200);
    for (auto _ : state) {
        set.DeleteOneGCP(1);
        benchmark::DoNotOptimize(set.ComputeUserCoordRange(100000, 100000));
    }
}
BENCHMARK(BM_SplineDeleteWithRange)->ArgName("points")->Arg(100)->Arg(300)->Arg(1000)->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// A fit from scratch: switching the type back and forth marks the fit
// dirty; the conversion then refits all points.
void BM_FitFromScratch(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(state.range(1));
    CCtrlPntSet set;
    Fill(set, type, n);
    const short other = type == TM_TRANS_POLY1 ? TM_TRANS_POLY2 : TM_TRANS_POLY1;
    for (auto _ : state) {
        set.SetTransType(other);
        set.SetTransType(type);
        double x, y;
        benchmark::DoNotOptimize(set.GetCoordinateA(&x, &y, 5e4, 5e4, true));
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(BM_FitFromScratch)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY1, TM_TRANS_POLY3, TM_TRANS_PROJECTIVE}, {100000}})
    ->Unit(benchmark::kMillisecond);

// Preparing the backward conversion of a fitted group (the tabulated exact
// inverse; the fit itself is cached and outside the timing), beside a fit
// from scratch of the same group (BM_FitFromScratch at 1,000 points): the
// preparation is to cost less than that fit.
void BM_PrepareBackward(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    CCtrlPntSet set;
    Fill(set, type, static_cast<std::size_t>(state.range(1)));
    if (set.BeginTransform(false) != TM_OK) {
        state.SkipWithError("the group does not fit");
        return;
    }
    set.EndTransform();
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.BeginTransform(false));
        set.EndTransform();
    }
}
BENCHMARK(BM_PrepareBackward)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_TPS}, {1000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitFromScratch)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_TPS}, {1000}})
    ->Unit(benchmark::kMicrosecond);

// Every leave-one-out residual (and their RMS) of a freshly fitted group,
// the fit itself outside the timing: compare with BM_FitFromScratch at the
// same arguments (the target is at most 2x the fit for 1,000 points, 3x for
// 100,000 points of order 3).
void BM_LeaveOneOut(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(state.range(1));
    CCtrlPntSet set;
    Fill(set, type, n);
    const short other = type == TM_TRANS_POLY1 ? TM_TRANS_POLY2 : TM_TRANS_POLY1;
    for (auto _ : state) {
        state.PauseTiming();
        set.SetTransType(other);
        set.SetTransType(type);
        double x, y;
        benchmark::DoNotOptimize(set.GetCoordinateA(&x, &y, 5e4, 5e4, true));
        state.ResumeTiming();
        double user, pixel;
        if (set.GetPredictionRMS(&user, &pixel) != TM_OK) state.SkipWithError("no leave-one-out figures");
        benchmark::DoNotOptimize(user);
    }
}
// The refit and the leave-one-out figures together, nothing paused: the
// leave-one-out cost is this minus BM_FitFromScratch (a check on the
// paused measurement above, whose pauses cost time of their own).
void BM_FitAndLeaveOneOut(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(state.range(1));
    CCtrlPntSet set;
    Fill(set, type, n);
    const short other = type == TM_TRANS_POLY1 ? TM_TRANS_POLY2 : TM_TRANS_POLY1;
    for (auto _ : state) {
        set.SetTransType(other);
        set.SetTransType(type);
        double user, pixel;
        if (set.GetPredictionRMS(&user, &pixel) != TM_OK) state.SkipWithError("no leave-one-out figures");
        benchmark::DoNotOptimize(user);
    }
}
BENCHMARK(BM_FitFromScratch)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE,
                    TM_TRANS_TPS},
                   {1000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitAndLeaveOneOut)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE,
                    TM_TRANS_TPS},
                   {1000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitAndLeaveOneOut)->ArgNames({"type", "points"})->Args({TM_TRANS_POLY3, 100000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LeaveOneOut)
    ->ArgNames({"type", "points"})
    ->ArgsProduct({{TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE,
                    TM_TRANS_TPS},
                   {1000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LeaveOneOut)->ArgNames({"type", "points"})->Args({TM_TRANS_POLY3, 100000})->Unit(benchmark::kMillisecond);

// One GetOneGCP per call, reading a fitted affine group of P points in order:
// the record plus its error context (duplicate report, residual, outlier
// check).  The time must not grow with P.
void BM_GetOneGCP(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, n);
    _CtrlPntStrcT p;
    std::size_t index = 0;
    for (auto _ : state) {
        index = index % n + 1;
        benchmark::DoNotOptimize(set.GetOneGCP(index, &p));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GetOneGCP)->ArgName("points")->Arg(10)->Arg(1000)->Arg(100000);

// Appends a used point to a fitted affine group and reads it back, as an
// editor does that shows each point it adds.  The group grows by one point
// per iteration (1,000 in all).
void BM_AddThenGet(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, n);
    std::size_t count = n;
    _CtrlPntStrcT read;
    set.GetOneGCP(1, &read);  // the first read fits the group and indexes its positions
    for (auto _ : state) {
        _CtrlPntStrcT p = SamplePoint(count + 1000000);
        set.AddOneGcp(++count, &p);
        benchmark::DoNotOptimize(set.GetOneGCP(count, &read));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AddThenGet)->ArgName("points")->Arg(1000)->Arg(100000)->Iterations(1000);

// Appends 8 used points to a fitted affine group of P points (timed, per
// call), then deletes them and refits (untimed), 1,000 times.  With evict = 1
// a 64 MB buffer is also read after the refit, so that the appends meet cold
// caches whatever P is: what the refit of a large group does to them anyway.
void BM_AppendFittedAfterRefit(benchmark::State& state) {
    constexpr int kBatch = 8;
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const bool evict = state.range(1) != 0;
    CCtrlPntSet set;
    Fill(set, TM_TRANS_POLY1, n);
    std::array<_CtrlPntStrcT, kBatch> batch;
    for (int i = 0; i < kBatch; ++i) batch[i] = SamplePoint(n + 1000000 + static_cast<std::size_t>(i));
    std::vector<double> sweep(evict ? (64u << 20) / sizeof(double) : 0, 1.0);
    double x = 0.0, y = 0.0, sink = 0.0;
    for (auto _ : state) {
        set.GetCoordinateA(&x, &y, 1.0, 1.0, true);  // refit
        for (std::size_t i = 0; i < sweep.size(); i += 8) sink += sweep[i];
        benchmark::DoNotOptimize(sink);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i)
            benchmark::DoNotOptimize(set.AddOneGcp(n + 1 + static_cast<std::size_t>(i), &batch[i]));
        const auto stop = std::chrono::steady_clock::now();
        for (int i = kBatch; i > 0; --i) set.DeleteOneGCP(n + static_cast<std::size_t>(i));
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count() / kBatch);
    }
}
BENCHMARK(BM_AppendFittedAfterRefit)
    ->ArgNames({"points", "evict"})
    ->ArgsProduct({{10, 1000, 100000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1000);

// One point per PointTransform call through a prepared transformation.
void BM_PointTransform(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const bool forward = state.range(1) != 0;
    const std::size_t n = static_cast<std::size_t>(state.range(2));
    CCtrlPntSet set;
    Fill(set, type, n);
    if (set.BeginTransform(forward) != TM_OK) {
        state.SkipWithError("no fit");
        return;
    }
    // Inputs spread over the raster (or its map image), one call per point.
    std::vector<double> in;
    for (int i = 0; i < 1024; ++i) {
        double px = (i % 32) * 3000.0 + 500.0, py = (i / 32) * 3000.0 + 700.0, x = px, y = py;
        if (!forward) set.GetCoordinateA(&x, &y, px, py, true);
        in.push_back(x);
        in.push_back(y);
    }
    std::size_t k = 0;
    double sum = 0.0;
    for (auto _ : state) {
        double x = 0.0, y = 0.0;
        set.PointTransform(&x, &y, in[k], in[k + 1]);
        sum += x + y;
        k = (k + 2) & 2047;
    }
    benchmark::DoNotOptimize(sum);
    set.EndTransform();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointTransform)
    ->ArgNames({"type", "forward", "points"})
    ->Args({TM_TRANS_POLY1, 1, 100})
    ->Args({TM_TRANS_SIMILARITY, 1, 100})
    ->Args({TM_TRANS_POLY2, 1, 100})
    ->Args({TM_TRANS_POLY3, 1, 100})
    ->Args({TM_TRANS_PROJECTIVE, 1, 100})
    ->Args({TM_TRANS_TPS, 1, 1000})
    ->Args({TM_TRANS_POLY1, 0, 100})
    ->Args({TM_TRANS_PROJECTIVE, 0, 100})
    ->Args({TM_TRANS_POLY2, 0, 100})
    ->Args({TM_TRANS_POLY3, 0, 100})
    ->Args({TM_TRANS_TPS, 0, 1000});

// Many points in one call through a prepared transformation.
void BM_BatchTransform(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    CCtrlPntSet set;
    Fill(set, type, 100);
    set.BeginTransform(true);
    std::vector<double> in(2 * 4096), out(2 * 4096);
    for (std::size_t i = 0; i < 4096; ++i) in[2 * i] = (i % 64) * 1500.0, in[2 * i + 1] = (i / 64) * 1500.0;
    for (auto _ : state) {
        set.BatchTransform(in.data(), out.data(), 4096);
        benchmark::DoNotOptimize(out.data());
    }
    set.EndTransform();
    state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_BatchTransform)->ArgName("type")->Arg(TM_TRANS_POLY1)->Arg(TM_TRANS_POLY2)->Arg(TM_TRANS_POLY3);

// Preparing the backward direction (the fit is cached): for the iterative
// types this includes fitting the Newton seed to the sampled forward model.
void BM_BeginBackward(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    CCtrlPntSet set;
    Fill(set, type, static_cast<std::size_t>(state.range(1)));
    double x, y;
    set.GetCoordinateA(&x, &y, 500.0, 700.0, true);  // fit outside the timing
    for (auto _ : state) {
        if (set.BeginTransform(false) != TM_OK) {
            state.SkipWithError("no fit");
            break;
        }
        set.EndTransform();
    }
}
BENCHMARK(BM_BeginBackward)
    ->ArgNames({"type", "points"})
    ->Args({TM_TRANS_POLY2, 100})
    ->Args({TM_TRANS_POLY3, 100})
    ->Args({TM_TRANS_TPS, 1000})
    ->Unit(benchmark::kMicrosecond);

// Many map positions converted back in one call.
void BM_BatchTransformBackward(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    CCtrlPntSet set;
    Fill(set, type, 100);
    std::vector<double> in(2 * 4096), out(2 * 4096);
    for (std::size_t i = 0; i < 4096; ++i)
        set.GetCoordinateA(&in[2 * i], &in[2 * i + 1], (i % 64) * 1500.0, (i / 64) * 1500.0, true);
    if (set.BeginTransform(false) != TM_OK) {
        state.SkipWithError("no fit");
        return;
    }
    for (auto _ : state) {
        if (set.BatchTransform(in.data(), out.data(), 4096) != TM_OK) {
            state.SkipWithError("a conversion was refused");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    set.EndTransform();
    state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_BatchTransformBackward)->ArgName("type")->Arg(TM_TRANS_POLY2)->Arg(TM_TRANS_POLY3);

}  // namespace
