#include "PreparedTransform.h"
namespace tiemark {
long PreparedTransform::Prepare(const Model&, bool) { return TM_ERR_TOO_FEW; }
void PreparedTransform::Release() { Kind = None; }
long PreparedTransform::Apply(double, double, double*, double*) const { return TM_ERR_STATE; }
long PreparedTransform::Batch(const double*, double*, std::size_t) const { return TM_ERR_STATE; }
}  // namespace tiemark
