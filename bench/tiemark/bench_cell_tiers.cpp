// The backward cell batch of each processor tier on this machine: the
// AVX2 run (InverseCells::FindRunFused) against the widest the processor
// has (FindRunAvx512 where it has AVX-512), on the same prepared
// polynomials and the same inputs.  A tier earns its keep only if it is
// faster here.  Links the library's objects to reach the testing switch.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "CtrlPntSet.h"
#include "PreparedTransform.h"

namespace {

constexpr std::size_t kGcps = 1000;
constexpr std::size_t kPoints = 1000000;
constexpr double kColumns = 10000.0, kRows = 8000.0;

// A smooth map from the raster to projected metres, curved enough that
// the backward conversion of orders 2 and 3 is not linear.
void TrueMap(double px, double py, double* x, double* y) {
    const double u = px / 1000.0, v = py / 1000.0;
    *x = 651234.5 + 520 * u + 31 * v + 0.17 * u * u - 0.09 * u * v + 0.0002 * u * u * u;
    *y = 5212345.25 - 27 * u - 490 * v + 0.11 * u * v - 0.13 * v * v + 0.0002 * v * v * v;
}

// Pixel positions uniform over the raster, from a fixed seed, as the
// user positions the map gives them.
std::vector<double> UserPositions(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> column(0.0, kColumns), row(0.0, kRows);
    std::vector<double> user(2 * count);
    for (std::size_t i = 0; i < count; ++i) TrueMap(column(random), row(random), &user[2 * i], &user[2 * i + 1]);
    return user;
}

bool FillSet(CCtrlPntSet& set, short type) {
    if (set.InitPntSet(TM_ORIENT_LINE_DOWN, type) != TM_OK) return false;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> column(0.0, kColumns), row(0.0, kRows);
    for (std::size_t i = 0; i < kGcps; ++i) {
        const double px = column(random), py = row(random);
        double x, y;
        TrueMap(px, py, &x, &y);
        _CtrlPntStrcT p = TmMakePoint(px, py, x, y);
        if (set.AddOneGcp(i + 1, &p) != TM_OK) return false;
    }
    return true;
}

// range(0): transformation type; range(1): 1 forces the AVX2 batch, 0
// leaves the widest.
void BM_CellBatchTier(benchmark::State& state) {
    const short type = static_cast<short>(state.range(0));
    const bool avx2 = state.range(1) != 0;
    CCtrlPntSet set;
    if (!FillSet(set, type)) {
        state.SkipWithError("no points");
        return;
    }
    tiemark::PreparedTransform::UseAvx2BatchForTesting(avx2);
    const long rc = set.BeginTransform(false);
    tiemark::PreparedTransform::UseAvx2BatchForTesting(false);
    if (rc != TM_OK) {
        state.SkipWithError("no fit");
        return;
    }
    const std::vector<double> in = UserPositions(kPoints, 11);
    std::vector<double> out(in.size());
    // The cells are built as conversions first reach them: build them all.
    if (set.BatchTransform(in.data(), out.data(), kPoints) != TM_OK) {
        state.SkipWithError("a conversion was refused");
        return;
    }
    for (auto _ : state) {
        set.BatchTransform(in.data(), out.data(), kPoints);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set.EndTransform();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}
BENCHMARK(BM_CellBatchTier)
    ->ArgNames({"type", "avx2"})
    ->Args({TM_TRANS_POLY2, 1})
    ->Args({TM_TRANS_POLY2, 0})
    ->Args({TM_TRANS_POLY3, 1})
    ->Args({TM_TRANS_POLY3, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
