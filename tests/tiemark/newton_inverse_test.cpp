// newton_inverse_test - the one Newton iteration of the backward conversions
// (NewtonInverse.h) on small maps whose behaviour is known: where it must
// converge, where it must give up (a fold, a singular Jacobian, a seed too
// far for undamped steps) and how its step budget and shortcut end it.
#include <gtest/gtest.h>

#include <string>

#include "NewtonInverse.h"

namespace {

using tiemark::NewtonEnd;
using tiemark::NewtonPoint;
using tiemark::NewtonStep;

// f(u, v) = (u + a u^3 + b v, v + c u^2): near-identity with a cubic
// stretch; a = -1 folds the u axis at u = +-1/sqrt(3).
struct Map {
    double a, b, c;
    void Eval(double u, double v, double* x, double* y, double j[4]) const {
        *x = u + a * u * u * u + b * v;
        *y = v + c * u * u;
        j[0] = 1.0 + 3.0 * a * u * u, j[1] = b, j[2] = 2.0 * c * u, j[3] = 1.0;
    }
};

struct Case {
    const char* name;
    Map map;
    NewtonStep step;
    double seedU, seedV;   // start
    double u, v;           // the answer: the target is f(u, v)
    int maxSteps;
    NewtonEnd expected;
    int evaluations;  // at most, the seed's included
};

const Case kCases[] = {
    {"undamped from near", {0.2, 0.1, 0.3}, NewtonStep::Full, 0.9, -0.4, 0.7, -0.5, 8, NewtonEnd::Converged, 9},
    {"damped from near", {0.2, 0.1, 0.3}, NewtonStep::Halved, 0.9, -0.4, 0.7, -0.5, 100, NewtonEnd::Converged, 101},
    // Past the fold the undamped step overshoots, the misfit grows, and the
    // iteration gives up at once rather than wander.
    {"undamped across a fold", {-1.0, 0.0, 0.0}, NewtonStep::Full, 0.6, 0.0, -2.0, 0.0, 100, NewtonEnd::Stopped, 2},
    // f = (u + v, v + u^2 / 2) has det J = 1 - u: none at u = 1.
    {"singular at the seed", {0.0, 1.0, 0.5}, NewtonStep::Full, 1.0, 0.0, 0.2, 0.0, 8, NewtonEnd::Singular, 1},
    {"out of steps", {0.2, 0.1, 0.3}, NewtonStep::Full, 0.9, -0.4, 0.7, -0.5, 1, NewtonEnd::Stopped, 2},
};

class NewtonSolveTest : public testing::TestWithParam<Case> {};

TEST_P(NewtonSolveTest, EndsAsExpected) {
    const Case& c = GetParam();
    double x, y, j[4];
    c.map.Eval(c.u, c.v, &x, &y, j);
    int evaluations = 0;
    const auto eval = [&](double u, double v, NewtonPoint& at) {
        ++evaluations;
        double fx, fy;
        c.map.Eval(u, v, &fx, &fy, at.j);
        at.u = u, at.v = v, at.rx = x - fx, at.ry = y - fy;
    };
    const double tolerance2 = tiemark::NewtonTolerance2(x, y);
    NewtonPoint q;
    eval(c.seedU, c.seedV, q);
    const NewtonEnd got =
        c.step == NewtonStep::Full
            ? tiemark::NewtonSolve<NewtonStep::Full>(eval, tiemark::NoNewtonShortcut{}, tolerance2, c.maxSteps, q)
            : tiemark::NewtonSolve<NewtonStep::Halved>(eval, tiemark::NoNewtonShortcut{}, tolerance2, c.maxSteps, q);
    EXPECT_EQ(got, c.expected);
    if (c.step == NewtonStep::Full) {
        EXPECT_LE(evaluations, c.evaluations);
    }
    if (got == NewtonEnd::Converged) {
        EXPECT_LE(q.Misfit2(), tolerance2);
        EXPECT_NEAR(q.u, c.u, 1e-12);
        EXPECT_NEAR(q.v, c.v, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Maps, NewtonSolveTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (ch == ' ') ch = '_';
                             return name;
                         });

// A shortcut that vouches for the step ends the iteration there, without
// evaluating the map again: the polynomial and spline callers rely on it.
TEST(NewtonSolve, ShortcutEndsAtTheStepWithoutAnotherEvaluation) {
    const Map map{0.2, 0.1, 0.3};
    double x, y, j[4];
    map.Eval(0.7, -0.5, &x, &y, j);
    int evaluations = 0;
    const auto eval = [&](double u, double v, NewtonPoint& at) {
        ++evaluations;
        double fx, fy;
        map.Eval(u, v, &fx, &fy, at.j);
        at.u = u, at.v = v, at.rx = x - fx, at.ry = y - fy;
    };
    NewtonPoint p;
    eval(0.69, -0.49, p);
    const NewtonPoint seed = p;
    double stepU = 0.0, stepV = 0.0;
    const auto vouch = [&](const NewtonPoint&, double du, double dv, double) {
        stepU = du, stepV = dv;
        return true;
    };
    EXPECT_EQ(tiemark::NewtonSolve<NewtonStep::Full>(eval, vouch, tiemark::NewtonTolerance2(x, y), 8, p),
              NewtonEnd::Converged);
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(p.u, seed.u + stepU);
    EXPECT_EQ(p.v, seed.v + stepV);
}

}  // namespace
