// FitCache.cpp - fitting from scratch, incremental updates and the RMS cache.
#include "FitCache.h"

namespace tiemark {

void FitCache::PointAdded(const _CtrlPntStrcT&, short) { Valid = false; }

long FitCache::Ensure(const std::vector<_CtrlPntStrcT>&, short) { return TM_ERR_TOO_FEW; }

long FitCache::Rms(const std::vector<_CtrlPntStrcT>&, double rms[2]) {
    rms[0] = rms[1] = 0.0;
    return TM_ERR_TOO_FEW;
}

bool FitCache::IsOutlier(const std::vector<_CtrlPntStrcT>&, double, double) { return false; }

void FitCache::Swap(FitCache& other) { std::swap(*this, other); }

}  // namespace tiemark
