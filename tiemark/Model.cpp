#include "Model.h"
namespace tiemark {
long Model::Forward(double, double, double*, double*) const { return TM_ERR_TOO_FEW; }
long Model::Backward(double, double, double*, double*) const { return TM_ERR_TOO_FEW; }
long Model::PointResidual(const _CtrlPntStrcT&, double*) const { return TM_ERR_TOO_FEW; }
long Model::FrameRange(double, double, double, double, double*) const { return TM_ERR_TOO_FEW; }
}  // namespace tiemark
