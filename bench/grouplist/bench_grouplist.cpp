// Benchmarks of one point edit and one point read through the group list.
//
// AddGroupGCP and GetGroupGCP on group 1 are timed in lists of 1, 100 and
// 10,000 groups (of 10 points each), and in a list of one group of 10, 1,000
// and 100,000 points.  The time of one call must stay about the same across
// each family: finding a group does not walk the list, and an edit neither
// copies the group nor renumbers the other groups.
//
// AddGroupGCP is timed over batches of kBatch appends; the appended points are
// deleted again outside the timed section so that the group keeps its size.
// The reported time is per call.  The plain AddGroupGCP benchmarks append
// check points, which the fit ignores: the cost of the list and the point
// storage.  The Fitted ones append used points to a fitted affine group, so
// the library also updates its fit with each point; the group is refitted
// outside the timed section after each batch, as an open area does when it
// recomputes the range after an edit.
//
// BM_CtrlPntSet_AddOneGcp_Fitted and BM_CtrlPntSet_GetOneGCP make the same
// calls on a bare set, for comparison: what the list adds is the difference.
#include "GCPGroupList.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {

constexpr int kBatch = 8;

// Number of timed batches of the benchmarks whose points enter the fit: each
// batch is followed by an untimed refit of the whole group.
constexpr int kFittedBatches = 1000;

_CtrlPntStrcT MakePoint(unsigned long i) {
    // Distinct, non-collinear pixel positions on an affine map.
    const double pixel = static_cast<double>(i % 1000) * 3.0 + 0.25 * static_cast<double>(i / 1000);
    const double line = static_cast<double>(i / 1000) * 5.0 + 0.5 * static_cast<double>(i % 7);
    char name[32];
    std::snprintf(name, sizeof name, "B%lu", i);
    return TmMakePoint(pixel, line, 500000.0 + 2.0 * pixel + 0.1 * line,
                       4000000.0 - 0.2 * pixel + 2.0 * line, 0.0, name);
}

// A list of `groups` groups; group 1 holds `points` points, the others 10.
std::unique_ptr<CGCPGroupList> MakeList(unsigned long groups, unsigned long points) {
    auto list = std::make_unique<CGCPGroupList>();
    for (unsigned long n = 1; n <= groups; ++n) {
        const unsigned long count = n == 1 ? points : 10;
        list->CreateEmptyGroup(n);
        CCtrlPntSet set;
        set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
        for (unsigned long i = 1; i <= count; ++i) {
            _CtrlPntStrcT p = MakePoint(i);
            set.AddOneGcp(i, &p);
        }
        list->CopyGroupIn(n, &set);
    }
    return list;
}

// Appends kBatch points to group 1 per timed batch.  Check points (used =
// false) leave the group's fit alone; used points enter it, and the library
// updates its fit with each of them.
void AppendToGroupOne(benchmark::State& state, unsigned long groups, unsigned long points,
                      bool used) {
    auto list = MakeList(groups, points);
    std::array<_CtrlPntStrcT, kBatch> batch;
    for (int i = 0; i < kBatch; ++i) {
        batch[i] = MakePoint(points + 1 + static_cast<unsigned long>(i));
        batch[i].UseFlag = used ? 1 : 0;
    }
    // One untimed batch first: a copied group holds no spare room, and the
    // first append after a copy grows the point storage once.
    for (int i = 0; i < kBatch; ++i) {
        list->AddGroupGCP(1, points + 1 + static_cast<unsigned long>(i), &batch[i]);
    }
    for (int i = kBatch; i > 0; --i) list->DeleteGroupGCP(1, points + static_cast<unsigned long>(i));
    double x = 0.0;
    double y = 0.0;
    list->GroupPointTransform(1, 1.0, 1.0, &x, &y, true);  // fit the group once
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(
                list->AddGroupGCP(1, points + 1 + static_cast<unsigned long>(i), &batch[i]));
        }
        const auto stop = std::chrono::steady_clock::now();
        for (int i = kBatch; i > 0; --i) {
            list->DeleteGroupGCP(1, points + static_cast<unsigned long>(i));
        }
        // Deleting used points drops the fit; convert once so that the next
        // batch, like an edit in an open area, meets a fitted group.
        if (used) list->GroupPointTransform(1, 1.0, 1.0, &x, &y, true);
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count() / kBatch);
    }
    unsigned long count = 0;
    list->GetGroupGCPNum(1, &count);
    if (count != points) state.SkipWithError("the group did not keep its size");
}

void ReadFromGroupOne(benchmark::State& state, unsigned long groups, unsigned long points) {
    auto list = MakeList(groups, points);
    _CtrlPntStrcT point;
    unsigned long index = 0;
    for (auto _ : state) {
        index = index % points + 1;
        benchmark::DoNotOptimize(list->GetGroupGCP(1, index, &point));
        benchmark::ClobberMemory();
    }
}

void BM_AddGroupGCP_Groups(benchmark::State& state) {
    AppendToGroupOne(state, static_cast<unsigned long>(state.range(0)), 10, false);
}
void BM_AddGroupGCP_Points(benchmark::State& state) {
    AppendToGroupOne(state, 1, static_cast<unsigned long>(state.range(0)), false);
}
void BM_AddGroupGCP_Fitted_Groups(benchmark::State& state) {
    AppendToGroupOne(state, static_cast<unsigned long>(state.range(0)), 10, true);
}
void BM_AddGroupGCP_Fitted_Points(benchmark::State& state) {
    AppendToGroupOne(state, 1, static_cast<unsigned long>(state.range(0)), true);
}
void BM_GetGroupGCP_Groups(benchmark::State& state) {
    ReadFromGroupOne(state, static_cast<unsigned long>(state.range(0)), 10);
}
void BM_GetGroupGCP_Points(benchmark::State& state) {
    ReadFromGroupOne(state, 1, static_cast<unsigned long>(state.range(0)));
}

// The same read made on a bare set, without the list: what the control-point
// library itself costs, for comparison with the list's figures.
void BM_CtrlPntSet_GetOneGCP(benchmark::State& state) {
    const unsigned long points = static_cast<unsigned long>(state.range(0));
    auto list = MakeList(1, points);
    CCtrlPntSet set;
    list->CopyGroupOut(1, &set);
    _CtrlPntStrcT point;
    unsigned long index = 0;
    for (auto _ : state) {
        index = index % points + 1;
        benchmark::DoNotOptimize(set.GetOneGCP(index, &point));
        benchmark::ClobberMemory();
    }
}

// The fitted appends made on a bare set, without the list, for comparison.
void BM_CtrlPntSet_AddOneGcp_Fitted(benchmark::State& state) {
    const unsigned long points = static_cast<unsigned long>(state.range(0));
    auto list = MakeList(1, points);
    CCtrlPntSet set;
    list->CopyGroupOut(1, &set);
    list.reset();
    std::array<_CtrlPntStrcT, kBatch> batch;
    for (int i = 0; i < kBatch; ++i) batch[i] = MakePoint(points + 1 + static_cast<unsigned long>(i));
    for (int i = 0; i < kBatch; ++i) set.AddOneGcp(points + 1 + static_cast<unsigned long>(i), &batch[i]);
    for (int i = kBatch; i > 0; --i) set.DeleteOneGCP(points + static_cast<unsigned long>(i));
    double x = 0.0;
    double y = 0.0;
    set.GetCoordinateA(&x, &y, 1.0, 1.0, true);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(set.AddOneGcp(points + 1 + static_cast<unsigned long>(i), &batch[i]));
        }
        const auto stop = std::chrono::steady_clock::now();
        for (int i = kBatch; i > 0; --i) set.DeleteOneGCP(points + static_cast<unsigned long>(i));
        set.GetCoordinateA(&x, &y, 1.0, 1.0, true);
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count() / kBatch);
    }
}

}  // namespace

BENCHMARK(BM_AddGroupGCP_Groups)->Arg(1)->Arg(100)->Arg(10000)->UseManualTime();
BENCHMARK(BM_AddGroupGCP_Points)->Arg(10)->Arg(1000)->Arg(100000)->UseManualTime();
BENCHMARK(BM_AddGroupGCP_Fitted_Groups)
    ->Arg(1)->Arg(100)->Arg(10000)->UseManualTime()->Iterations(kFittedBatches);
BENCHMARK(BM_AddGroupGCP_Fitted_Points)
    ->Arg(10)->Arg(1000)->Arg(100000)->UseManualTime()->Iterations(kFittedBatches);
BENCHMARK(BM_GetGroupGCP_Groups)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_GetGroupGCP_Points)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_CtrlPntSet_AddOneGcp_Fitted)
    ->Arg(10)->Arg(1000)->Arg(100000)->UseManualTime()->Iterations(kFittedBatches);
BENCHMARK(BM_CtrlPntSet_GetOneGCP)->Arg(10)->Arg(1000)->Arg(100000);
