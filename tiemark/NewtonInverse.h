// NewtonInverse.h - the Newton iteration of every backward conversion.
//
// The backward conversion of the polynomials of order 2 and 3 and of the
// thin plate spline solves f(u, v) = (x, y) for the normalised pixel
// position (u, v), f the forward model in normalised units.  Every such
// iteration of the library is NewtonSolve below and stops by its rule:
// Model's damped one (GetCoordinateA, the careful fallback of all others),
// the prepared conversion's seeded one (PreparedTransform::SeededNewton),
// the corners of the tabulated inverse (InverseCells::SolveCorner) and the
// pixel residuals of the leave-one-out fits (CrossValidation.cpp).  The
// callers differ only in the seed they start from, in how they evaluate f
// and its Jacobian (the whole model, a recentred polynomial, the spline
// with its bound terms) and in the shortcut that may end an iteration
// early where the error a step leaves is known without another evaluation.
// Seeds may come from steps of their own: the spline's curvature-corrected
// first step (PreparedTransform::SplineCurvedStep) and the two fixed steps
// that the leave-one-out batch takes for all points side by side in
// vectors (TwoNewtonSteps), whose results this rule then judges.
//
// The stopping rule: |(x, y) - f(u, v)|^2 <= NewtonTolerance2(x, y), a
// misfit of kNewtonTolerance relative to |(1, x, y)|, which is a few ulps
// of the output.  Two ways to step:
//   NewtonStep::Full     undamped steps; the iteration gives up as soon as
//                        the misfit stops shrinking (a seed too far, a
//                        fold), so that the caller can fall back.
//   NewtonStep::Halved   damped steps: a step that does not reduce the
//                        misfit is halved, up to 40 times, until it does;
//                        the iteration stops where no step does (at the
//                        arithmetic's limit).
#ifndef MORVANE_TIEMARK_NEWTONINVERSE_H
#define MORVANE_TIEMARK_NEWTONINVERSE_H

#include <cmath>
#include <limits>

namespace tiemark {

// Misfit, relative to |(1, x, y)|, at which the iteration stops.
constexpr double kNewtonTolerance = 1e-13;
// Misfit, relative to |(1, x, y)|, that a damped iteration stopped short of
// kNewtonTolerance (at the arithmetic's limit) still answers with.
constexpr double kNewtonAcceptance = 1e-9;

// The squared stopping misfit for the target (x, y), normalised units.
inline double NewtonTolerance2(double x, double y) {
    return kNewtonTolerance * kNewtonTolerance * (1.0 + x * x + y * y);
}
// Whether a squared misfit is small enough to answer with after a damped
// iteration that did not reach NewtonTolerance2.
inline bool NewtonAcceptable(double misfit2, double x, double y) {
    return misfit2 <= kNewtonAcceptance * kNewtonAcceptance * (1.0 + x * x + y * y);
}

enum class NewtonStep { Full, Halved };

// How an iteration ended.
enum class NewtonEnd {
    Converged,  // the misfit met the tolerance
    Stopped,    // out of steps, or (Full) the misfit stopped shrinking, or
                // (Halved) no step reduced it; (u, v) the best position
    Singular,   // a singular or non-finite Jacobian: no step could be made
};

// Where the iteration stands: the position, the residual (x, y) - f(u, v)
// there and the Jacobian of f there (du, dv columns: j = {dx/du, dx/dv,
// dy/du, dy/dv}).
struct NewtonPoint {
    double u = 0.0, v = 0.0;
    double rx = 0.0, ry = 0.0;
    double j[4] = {};
    double Misfit2() const { return rx * rx + ry * ry; }
};

// No shortcut: every step is checked by evaluating f after it.
struct NoNewtonShortcut {
    bool operator()(const NewtonPoint&, double, double, double) const { return false; }
};

// Runs Newton steps from p (its residual and Jacobian already evaluated at
// (p.u, p.v)) towards the target of tolerance2 (NewtonTolerance2 of it).
//   eval(u, v, p): sets p.u, p.v, the residual and the Jacobian at (u, v);
//     called once per step (Full) or per trial (Halved).
//   shortcut(p, du, dv, det): true when the step (du, dv) from p, solved
//     with Jacobian determinant det, is known to leave a misfit within the
//     tolerance; p then ends at p + (du, dv), its residual not evaluated.
//   maxSteps: steps (evaluations after the first) before Stopped; the
//     shortcut may still end the iteration after the last of them.
// The step is J^-1 r, through the reciprocal of det.  Inlined into each
// caller: the one-point backward conversion runs it with its own
// evaluator, and a call per step would cost as much as a step.
template <NewtonStep Kind, class Eval, class Shortcut>
[[gnu::always_inline]] inline NewtonEnd NewtonSolve(const Eval& eval, const Shortcut& shortcut, double tolerance2,
                                                    int maxSteps, NewtonPoint& p) {
    double last = std::numeric_limits<double>::infinity();
    for (int step = 0;; ++step) {
        const double misfit2 = p.Misfit2();
        if (misfit2 <= tolerance2) return NewtonEnd::Converged;
        // Not shrinking, or not a number.
        if (!(misfit2 < last)) return NewtonEnd::Stopped;
        last = misfit2;
        const double det = p.j[0] * p.j[3] - p.j[1] * p.j[2];
        if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) return NewtonEnd::Singular;
        const double inv = 1.0 / det;
        const double du = (p.j[3] * p.rx - p.j[1] * p.ry) * inv;
        const double dv = (p.j[0] * p.ry - p.j[2] * p.rx) * inv;
        if (shortcut(p, du, dv, det)) {
            p.u += du, p.v += dv;
            return NewtonEnd::Converged;
        }
        if (step == maxSteps) return NewtonEnd::Stopped;
        if constexpr (Kind == NewtonStep::Full) {
            eval(p.u + du, p.v + dv, p);
        } else {
            // Halve the step until it reduces the misfit; none does at the
            // arithmetic's limit.
            NewtonPoint trial;
            double scale = 1.0;
            bool improved = false;
            for (int half = 0; half < 40 && !improved; ++half, scale *= 0.5) {
                eval(p.u + scale * du, p.v + scale * dv, trial);
                const double m = trial.Misfit2();
                improved = m < misfit2 && std::isfinite(m);
            }
            if (!improved) return NewtonEnd::Stopped;
            p = trial;
        }
    }
}

}  // namespace tiemark

#endif
