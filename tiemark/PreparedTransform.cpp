// PreparedTransform.cpp - folded coefficients and the one-point fast path.
#include "PreparedTransform.h"

#include <cmath>
#include <utility>

#include "Conditioning.h"

namespace tiemark {

namespace {
// u^i v^j degree of each polynomial coefficient.
constexpr int kDegree[10] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3};
}  // namespace

void PreparedTransform::Release() {
    Kind = None;
    Source = Model();
}

long PreparedTransform::Prepare(const Model& model, bool forward) {
    const Normalisation& n = model.Norm;
    Model source = model;  // the only allocation (spline centres); done before any change
    Forward = forward;
    Source = std::move(source);
    const double ps = n.PixelScale, S = n.UserScale;
    if (!forward) {
        if (model.Type == TM_TRANS_POLY1 || model.Type == TM_TRANS_SIMILARITY) {
            // pixel = PixelX0 + ps * Inv * ((X - UserX0) / S - Centre)
            InX0 = n.UserX0 + S * model.CentreX;
            InY0 = n.UserY0 + S * model.CentreY;
            OutX0 = n.PixelX0, OutY0 = n.PixelY0;
            Cx[1] = ps * model.Inv[0] / S, Cx[2] = ps * model.Inv[1] / S;
            Cy[1] = ps * model.Inv[2] / S, Cy[2] = ps * model.Inv[3] / S;
            Kind = Affine;
        } else {
            Kind = Newton;  // projective uses its closed form through Source
        }
        return TM_OK;
    }
    InX0 = n.PixelX0, InY0 = n.PixelY0;
    switch (model.Type) {
        case TM_TRANS_PROJECTIVE: {
            const double* h = model.H;
            double f[9] = {S * h[0] / ps, S * h[1] / ps, S * h[2], S * h[3] / ps, S * h[4] / ps,
                           S * h[5],      h[6] / ps,     h[7] / ps, h[8]};
            for (int k = 0; k < 9; ++k) Hp[k] = f[k];
            OutX0 = n.UserX0, OutY0 = n.UserY0;
            Kind = Projective;
            return TM_OK;
        }
        case TM_TRANS_TPS:
            Kind = Tps;
            return TM_OK;
        default: break;
    }
    // Polynomials: the scales fold into the coefficients, the centres stay as
    // subtractions so that high powers never see raw magnitudes.
    const int terms = model.Type == TM_TRANS_POLY3 ? 10 : model.Type == TM_TRANS_POLY2 ? 6 : 3;
    for (int k = 0; k < 10; ++k) {
        double scale = k < terms ? S / std::pow(ps, kDegree[k]) : 0.0;
        Cx[k] = model.CoefX[k] * scale;
        Cy[k] = model.CoefY[k] * scale;
    }
    OutX0 = n.UserX0 + S * model.CoefX[0];
    OutY0 = n.UserY0 + S * model.CoefY[0];
    Kind = model.Type == TM_TRANS_POLY3 ? Poly3 : model.Type == TM_TRANS_POLY2 ? Poly2 : Affine;
    return TM_OK;
}

long PreparedTransform::ApplyIterative(double in1, double in2, double* out1, double* out2) const {
    if (!std::isfinite(in1) || !std::isfinite(in2)) return TM_ERR_NOT_FINITE;
    double x, y;
    long rc = Forward ? Source.Forward(in1, in2, &x, &y) : Source.Backward(in1, in2, &x, &y);
    if (rc != TM_OK) return rc;
    *out1 = x;
    *out2 = y;
    return TM_OK;
}

long PreparedTransform::Batch(const double* in, double* out, std::size_t count) const {
    if (Kind == None) return TM_ERR_STATE;
    // Refuse non-finite input before writing anything.
    bool finite = true;
    for (std::size_t i = 0; i < 2 * count; ++i) finite &= std::isfinite(in[i]);
    if (!finite) return TM_ERR_NOT_FINITE;
    bool ok = true;
    switch (Kind) {
        case Affine: {
            const double x0 = OutX0, y0 = OutY0, ix = InX0, iy = InY0;
            const double a1 = Cx[1], a2 = Cx[2], b1 = Cy[1], b2 = Cy[2];
            for (std::size_t i = 0; i < count; ++i) {
                double du = in[2 * i] - ix, dv = in[2 * i + 1] - iy;
                double x = x0 + a1 * du + a2 * dv, y = y0 + b1 * du + b2 * dv;
                out[2 * i] = x;
                out[2 * i + 1] = y;
                ok &= std::isfinite(x) && std::isfinite(y);
            }
            break;
        }
        case Poly2:
        case Poly3:
            for (std::size_t i = 0; i < count; ++i) {
                double du = in[2 * i] - InX0, dv = in[2 * i + 1] - InY0;
                double x, y;
                if (Kind == Poly2) {
                    x = OutX0 + EvalPoly2(Cx, du, dv);
                    y = OutY0 + EvalPoly2(Cy, du, dv);
                } else {
                    x = OutX0 + EvalPoly3(Cx, du, dv);
                    y = OutY0 + EvalPoly3(Cy, du, dv);
                }
                out[2 * i] = x;
                out[2 * i + 1] = y;
                ok &= std::isfinite(x) && std::isfinite(y);
            }
            break;
        default:
            // Conversions that can fail per point stop at the first failure;
            // earlier pairs are converted, that pair and later ones untouched.
            for (std::size_t i = 0; i < count; ++i) {
                double x, y;
                if (long rc = Apply(in[2 * i], in[2 * i + 1], &x, &y); rc != TM_OK) return rc;
                out[2 * i] = x;
                out[2 * i + 1] = y;
            }
    }
    return ok ? TM_OK : TM_ERR_OUTSIDE;
}

}  // namespace tiemark
