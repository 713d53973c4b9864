#include "GdalTransformerAdapter.h"

#include "AreaHandle.h"
#include "LineAxis.h"

#include <gdal_alg.h>

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>
#include <new>
#include <type_traits>

namespace morvane::tool {

namespace {

constexpr char kClassName[] = "MorvaneGroupTransformer";

// The fitted group every instance (and every clone) copies its prepared
// sets from.  CopyPntSet takes a non-const source, so copies go one at a
// time: GDAL clones transformers from its worker threads.
struct FittedSource {
    std::mutex copying;
    CCtrlPntSet set;
    short orientType = 0;
};

// Serialises the calls of one instance.  Uncontended (GDAL's warper gives
// every thread its own clone) it costs one atomic exchange, a fraction of
// a mutex's lock and unlock, which matter at 200,000 calls a warp.
class CallLock {
public:
    void lock() {
        while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() { busy_.clear(std::memory_order_release); }

private:
    std::atomic_flag busy_;
};

struct DirectionState {
    std::unique_ptr<CCtrlPntSet> set;
    long status = TM_OK;   // of the preparation; a failed one is not retried
};

struct State {
    std::shared_ptr<FittedSource> source;
    GeoTransform dst = kIdentityGeoTransform;
    GeoTransform dstInverse = kIdentityGeoTransform;
    double ratioX = 1.0;   // source raster columns per column of the raster GDAL reads (overviews)
    double ratioY = 1.0;
    double backwardTolerancePx = 0.0;   // see SetGroupTransformerBackwardTolerance
    CallLock calls;
    DirectionState forward;
    DirectionState backward;
    std::vector<double> pairs;
};

// GDAL reads the argument as a GDALTransformerInfo: it must come first in a
// standard-layout object.
struct Instance {
    GDALTransformerInfo info;
    State* state;
};
static_assert(std::is_standard_layout_v<Instance>);

void Cleanup(void* argument);
void* CreateSimilar(void* argument, double ratioX, double ratioY);

bool Invert(const GeoTransform& g, GeoTransform& inverse) {
    double det = g[1] * g[5] - g[2] * g[4];
    double scale = std::fabs(g[1] * g[5]) + std::fabs(g[2] * g[4]);
    if (!std::isfinite(det) || det == 0.0 || std::fabs(det) <= 1e-15 * scale) return false;
    inverse[1] = g[5] / det;
    inverse[2] = -g[2] / det;
    inverse[4] = -g[4] / det;
    inverse[5] = g[1] / det;
    inverse[0] = -(inverse[1] * g[0] + inverse[2] * g[3]);
    inverse[3] = -(inverse[4] * g[0] + inverse[5] * g[3]);
    return true;
}

void SetDestination(State& state, const GeoTransform& g) {
    GeoTransform inverse{};
    if (!Invert(g, inverse)) throw Refusal("the output geotransform is singular");
    state.dst = g;
    state.dstInverse = inverse;
}

Instance* NewInstance(std::unique_ptr<State> state) {
    auto* instance = new Instance{};
    std::memcpy(instance->info.abySignature, GDAL_GTI2_SIGNATURE, 4);
    instance->info.pszClassName = kClassName;
    instance->info.pfnTransform = GroupTransform;
    instance->info.pfnCleanup = Cleanup;
    instance->info.pfnSerialize = nullptr;
    instance->info.pfnCreateSimilar = CreateSimilar;
    instance->state = state.release();
    return instance;
}

void Cleanup(void* argument) { DestroyGroupTransformer(argument); }

void* CreateSimilar(void* argument, double ratioX, double ratioY) {
    const State& from = *static_cast<Instance*>(argument)->state;
    auto state = std::make_unique<State>();
    state->source = from.source;
    state->dst = from.dst;
    state->dstInverse = from.dstInverse;
    state->ratioX = from.ratioX * ratioX;
    state->ratioY = from.ratioY * ratioY;
    state->backwardTolerancePx = from.backwardTolerancePx;
    return NewInstance(std::move(state));
}

// The instance's own prepared set for one direction, made on first use.
CCtrlPntSet* Prepared(State& state, bool forward) {
    DirectionState& direction = forward ? state.forward : state.backward;
    if (direction.set) return direction.set.get();
    if (direction.status != TM_OK) return nullptr;
    auto set = std::make_unique<CCtrlPntSet>();
    {
        std::lock_guard<std::mutex> lock(state.source->copying);
        direction.status = set->CopyPntSet(&state.source->set);
    }
    if (direction.status == TM_OK) {
        direction.status = forward ? set->BeginTransform(true) : set->BeginTransform(false, state.backwardTolerancePx);
    }
    if (direction.status != TM_OK) return nullptr;
    direction.set = std::move(set);
    return direction.set.get();
}

// Converts the pairs in place; a pair that fails becomes NaN.
void ConvertPairs(CCtrlPntSet& set, std::vector<double>& pairs, std::size_t count) {
    if (set.BatchTransform(pairs.data(), pairs.data(), count) == TM_OK) return;
    // The batch stops at a failing pair; redo it one pair at a time to keep
    // the others.
    for (std::size_t i = 0; i < count; ++i) {
        double out1 = 0.0, out2 = 0.0;
        if (set.PointTransform(&out1, &out2, pairs[2 * i], pairs[2 * i + 1]) == TM_OK) {
            pairs[2 * i] = out1;
            pairs[2 * i + 1] = out2;
        } else {
            pairs[2 * i] = pairs[2 * i + 1] = std::nan("");
        }
    }
}

// GDAL's approximate transformer asks for two or three points a call, some
// 200,000 times in a large warp: below this many points a call they go one
// at a time through the inline one-point call, which spares the batch's
// set-up and copies (same results, bit for bit).
constexpr int kBatchFrom = 16;

void ConvertOne(CCtrlPntSet& set, const State& state, const GeoTransform& g, bool forward, double lineSign,
                double& x, double& y, int& success) {
    double a, b;
    long status;
    if (forward) {
        status = set.PointTransform(&a, &b, x * state.ratioX, y * state.ratioY * lineSign);
    } else {
        status = set.PointTransform(&a, &b, g[0] + x * g[1] + y * g[2], g[3] + x * g[4] + y * g[5]);
    }
    if (status != TM_OK) {
        x = y = HUGE_VAL;
        success = FALSE;
        return;
    }
    if (forward) {
        x = g[0] + a * g[1] + b * g[2];
        y = g[3] + a * g[4] + b * g[5];
    } else {
        x = a / state.ratioX;
        y = b * lineSign / state.ratioY;
    }
    success = TRUE;
}

}  // namespace

void* CreateGroupTransformer(const GroupSnapshot& group, const GeoTransform& dstGeoTransform) {
    auto source = std::make_shared<FittedSource>();
    source->orientType = group.orientType;
    if (source->set.InitPntSet(group.orientType, group.transType) != TM_OK) {
        throw Refusal("the group's orientation or transformation type is unknown");
    }
    for (std::size_t i = 0; i < group.points.size(); ++i) {
        _CtrlPntStrcT point = group.points[i];
        if (source->set.AddOneGcp(static_cast<unsigned long>(i + 1), &point) != TM_OK) {
            throw Refusal(fmt::format("point {} of the group cannot be used", i + 1));
        }
    }
    // Fits once here, so that a group without a usable fit is refused
    // before any raster work starts, and the clones copy a fitted set.
    long status = source->set.BeginTransform(true);
    source->set.EndTransform();
    if (status != TM_OK) {
        throw Refusal(fmt::format("the group has no usable fit (it needs {} used points, not collinear)",
                                  CCtrlPntSet::MinPointsForType(group.transType)));
    }
    auto state = std::make_unique<State>();
    state->source = std::move(source);
    SetDestination(*state, dstGeoTransform);
    return NewInstance(std::move(state));
}

void SetGroupTransformerDstGeoTransform(void* transformer, const GeoTransform& dstGeoTransform) {
    State& state = *static_cast<Instance*>(transformer)->state;
    std::lock_guard<CallLock> lock(state.calls);
    SetDestination(state, dstGeoTransform);
}

void SetGroupTransformerBackwardTolerance(void* transformer, double tolerancePx) {
    if (!(std::isfinite(tolerancePx) && tolerancePx >= 0.0)) {
        throw Refusal("the backward tolerance must be 0 or more pixels");
    }
    State& state = *static_cast<Instance*>(transformer)->state;
    std::lock_guard<CallLock> lock(state.calls);
    if (state.backwardTolerancePx == tolerancePx) return;
    state.backwardTolerancePx = tolerancePx;
    // A backward direction prepared before is prepared again, with it.
    if (state.backward.set) state.backward.set->EndTransform();
    state.backward = DirectionState{};
}

int GroupTransform(void* transformer, int dstToSrc, int count, double* x, double* y, double* /*z*/,
                   int* success) {
    if (transformer == nullptr || count < 0 || success == nullptr) return FALSE;
    State& state = *static_cast<Instance*>(transformer)->state;
    std::lock_guard<CallLock> lock(state.calls);
    const bool forward = dstToSrc == 0;
    CCtrlPntSet* set = Prepared(state, forward);
    const std::size_t n = static_cast<std::size_t>(count);
    if (set == nullptr) {
        for (std::size_t i = 0; i < n; ++i) success[i] = FALSE;
        return FALSE;
    }
    // The group's line axis points up in orientation 1: its lines are negated.
    const double lineSign = StoredLineSign(state.source->orientType);
    const GeoTransform& g = forward ? state.dstInverse : state.dst;
    if (n < static_cast<std::size_t>(kBatchFrom)) {
        for (std::size_t i = 0; i < n; ++i) ConvertOne(*set, state, g, forward, lineSign, x[i], y[i], success[i]);
        return TRUE;
    }
    std::vector<double>& pairs = state.pairs;
    pairs.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        if (forward) {
            pairs[2 * i] = x[i] * state.ratioX;
            pairs[2 * i + 1] = y[i] * state.ratioY * lineSign;
        } else {
            pairs[2 * i] = g[0] + x[i] * g[1] + y[i] * g[2];
            pairs[2 * i + 1] = g[3] + x[i] * g[4] + y[i] * g[5];
        }
    }
    ConvertPairs(*set, pairs, n);
    for (std::size_t i = 0; i < n; ++i) {
        double a = pairs[2 * i], b = pairs[2 * i + 1];
        if (!std::isfinite(a) || !std::isfinite(b)) {
            x[i] = y[i] = HUGE_VAL;
            success[i] = FALSE;
            continue;
        }
        if (forward) {
            x[i] = g[0] + a * g[1] + b * g[2];
            y[i] = g[3] + a * g[4] + b * g[5];
        } else {
            x[i] = a / state.ratioX;
            y[i] = b * lineSign / state.ratioY;
        }
        success[i] = TRUE;
    }
    return TRUE;
}

void DestroyGroupTransformer(void* transformer) {
    if (transformer == nullptr) return;
    auto* instance = static_cast<Instance*>(transformer);
    if (instance->state) {
        for (DirectionState* d : {&instance->state->forward, &instance->state->backward}) {
            if (d->set) d->set->EndTransform();
        }
        delete instance->state;
    }
    delete instance;
}

}  // namespace morvane::tool
