// Env.cpp - the process-wide Env of the areas.
#include "Env.h"

#include <atomic>

namespace morvane {

namespace {

std::atomic<Env*> installedEnv{nullptr};

}  // namespace

Env* AreaEnv() {
    Env* env = installedEnv.load(std::memory_order_acquire);
    return env != nullptr ? env : Env::Default();
}

void SetAreaEnv(Env* env) { installedEnv.store(env, std::memory_order_release); }

}  // namespace morvane
