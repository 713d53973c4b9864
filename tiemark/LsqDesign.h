// LsqDesign.h - the rows of the normalised least-squares system of each
// transformation type, shared by the fit, its leave-one-out diagnostics and
// the robust fit, so that all of them solve exactly the same system.
#ifndef MORVANE_TIEMARK_LSQDESIGN_H
#define MORVANE_TIEMARK_LSQDESIGN_H

#include <algorithm>

#include "CtrlPntSet.h"
#include "LsqFactor.h"
#include "Model.h"
#include "TransTypes.h"

namespace tiemark {

// Unknowns of the least-squares system of each type (not the spline).
inline int Unknowns(short type) {
    const TransTypeShape* shape = ShapeOf(type);
    return shape != nullptr ? shape->unknowns : 0;
}

inline int RightHandSides(short type) {
    return type == TM_TRANS_POLY1 || type == TM_TRANS_POLY2 || type == TM_TRANS_POLY3 ? 2 : 1;
}

inline int RowsPerPoint(short type) { return RightHandSides(type) == 2 ? 1 : 2; }

// Writes the design rows of one normalised point; each row is Cols + Rhs wide.
inline void DesignRows(short type, double u, double v, double x, double y, double rows[2][LsqFactor::kWidth],
                bool mirror = false) {
    switch (type) {
        case TM_TRANS_POLY1:
        case TM_TRANS_POLY2:
        case TM_TRANS_POLY3: {
            double* r = rows[0];
            int m = Unknowns(type);
            r[0] = 1.0, r[1] = u, r[2] = v;
            if (m > 3) r[3] = u * u, r[4] = u * v, r[5] = v * v;
            if (m > 6) r[6] = u * u * u, r[7] = u * u * v, r[8] = u * v * v, r[9] = v * v * v;
            r[m] = x;
            r[m + 1] = y;
            return;
        }
        case TM_TRANS_SIMILARITY: {
            // Unknowns (tx, a, b, ty): x = tx + a u - b v, y = ty + b u + a v,
            // with v replaced by -v for the mirrored fit.
            if (mirror) v = -v;
            double rx[5] = {1.0, u, -v, 0.0, x};
            double ry[5] = {0.0, v, u, 1.0, y};
            std::copy(rx, rx + 5, rows[0]);
            std::copy(ry, ry + 5, rows[1]);
            return;
        }
        case TM_TRANS_PROJECTIVE: {
            // Unknowns (H2, H0, H1, H5, H3, H4, H6, H7) with H8 = 1, the
            // constant first so that the leading 3 x 3 block measures the spread.
            double rx[9] = {1.0, u, v, 0.0, 0.0, 0.0, -u * x, -v * x, x};
            double ry[9] = {0.0, 0.0, 0.0, 1.0, u, v, -u * y, -v * y, y};
            std::copy(rx, rx + 9, rows[0]);
            std::copy(ry, ry + 9, rows[1]);
            return;
        }
        default: return;
    }
}

inline void Normalise(const Normalisation& n, const _CtrlPntStrcT& p, double* u, double* v, double* x, double* y) {
    *u = (p.PixelX - n.PixelX0) / n.PixelScale;
    *v = (p.PixelY - n.PixelY0) / n.PixelScale;
    *x = (p.UserX - n.UserX0) / n.UserScale;
    *y = (p.UserY - n.UserY0) / n.UserScale;
}

// Writes the solution of the normalised system (one row of Cols values per
// right-hand side) into the model's coefficients.
inline void SetCoefficients(short type, bool mirror, const double sol[][LsqFactor::kMaxCols], Model* model) {
    std::fill(model->CoefX, model->CoefX + 10, 0.0);
    std::fill(model->CoefY, model->CoefY + 10, 0.0);
    std::fill(model->H, model->H + 9, 0.0);
    switch (type) {
        case TM_TRANS_SIMILARITY: {
            double tx = sol[0][0], a = sol[0][1], b = sol[0][2], ty = sol[0][3];
            double cx[3] = {tx, a, -b}, cy[3] = {ty, b, a};
            if (mirror) cx[2] = b, cy[2] = -a;  // v entered as -v
            std::copy(cx, cx + 3, model->CoefX);
            std::copy(cy, cy + 3, model->CoefY);
            break;
        }
        case TM_TRANS_PROJECTIVE: {
            const double* s = sol[0];
            double h[9] = {s[1], s[2], s[0], s[4], s[5], s[3], s[6], s[7], 1.0};
            std::copy(h, h + 9, model->H);
            break;
        }
        default: {
            const int m = Unknowns(type);
            std::copy(sol[0], sol[0] + m, model->CoefX);
            std::copy(sol[1], sol[1] + m, model->CoefY);
        }
    }
}

}  // namespace tiemark

#endif
