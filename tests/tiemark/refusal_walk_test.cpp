// Seeded random walks of public calls on one set, valid and refused: after
// every refused call, everything the set reports must be as it was before
// the call (points with their error context, flags, types, range, fit
// figures, outlier marks, the prepared conversion).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "CtrlPntSet.h"
#include "SetSnapshot.h"

namespace {

// SetSnapshot plus the fit figures and the prepared conversion.
struct Observed {
    SetSnapshot base;
    std::vector<double> figures;  // result codes and values, compared bit for bit
    long groupNo = 0;

    static void Put(std::vector<double>& out, long rc, std::initializer_list<double> values) {
        out.push_back(static_cast<double>(rc));
        if (rc == TM_OK) out.insert(out.end(), values);
    }

    static Observed Of(CCtrlPntSet& set) {
        Observed o;
        o.base = SetSnapshot::Of(set);
        o.groupNo = set.GetGroupNo();
        double a = 0, b = 0, c = 0, d = 0;
        Put(o.figures, set.GetRMSError(&a, &b), {a, b});
        for (unsigned long i = 1; i <= o.base.count; ++i) Put(o.figures, set.GetResidual(i, &a, &b, &c, &d), {a, b, c, d});
        Put(o.figures, set.GetCoordinateA(&a, &b, 600123.0, 5399000.0, false), {a, b});
        Put(o.figures, set.PointTransform(&a, &b, 321.5, 77.25), {a, b});
        return o;
    }

    bool operator==(const Observed& other) const {
        return base == other.base && groupNo == other.groupNo && figures.size() == other.figures.size() &&
               std::memcmp(figures.data(), other.figures.data(), figures.size() * sizeof(double)) == 0;
    }
};

// One step of a walk: a call with random arguments, some of them out of
// range or not finite, and its result.
class Walker {
public:
    // More points than a set may hold where unsigned long has 64 bits; where
    // it has 32, more than the memory can hold.
    static constexpr unsigned long kTooMany =
        sizeof(unsigned long) > 4 ? static_cast<unsigned long>(0xFFFFFFFFull + 1) : 0xFFFFFFFFul;

    explicit Walker(unsigned seed) : rng_(seed) {}

    long Step(CCtrlPntSet& set, CCtrlPntSet& other, std::string* what) {
        unsigned long n = 0;
        set.GetGCPNum(&n);
        const unsigned long index = Index(n);
        _CtrlPntStrcT p = RandomPoint();
        const bool flag = Coin();
        switch (Pick(17)) {
            case 0: *what = "AddOneGcp(" + std::to_string(index) + ")"; return set.AddOneGcp(index, &p);
            case 1: *what = "DeleteOneGCP(" + std::to_string(index) + ")"; return set.DeleteOneGCP(index);
            case 2: *what = "UpdateOneGCP(" + std::to_string(index) + ")"; return set.UpdateOneGCP(index, &p);
            case 3: *what = "SetOneGcpUseOnOff(" + std::to_string(index) + ")"; return set.SetOneGcpUseOnOff(index, flag);
            case 4: *what = "SetOneGCPEditOnOff(" + std::to_string(index) + ")"; return set.SetOneGCPEditOnOff(index, flag);
            case 5: *what = "SetTransType"; return set.SetTransType(static_cast<short>(Pick(9) - 1));
            case 6: *what = "SetOrientType"; return set.SetOrientType(static_cast<short>(Pick(4) - 1));
            case 7: *what = "InitPntSet"; return Pick(4) == 0 ? set.InitPntSet(static_cast<short>(Pick(3)), static_cast<short>(Pick(8))) : TM_OK;
            case 8: *what = "SetUserCoordRange"; return set.SetUserCoordRange(Value(), Value(), Value(), Value());
            case 9: *what = "ComputeUserCoordRange"; return set.ComputeUserCoordRange(static_cast<long>(Pick(3)) * 1000 - 1000, 800);
            case 10: *what = "FindOutliers"; return set.FindOutliers(nullptr, nullptr, nullptr);
            case 11: {
                *what = "ApplyOutliers";
                unsigned long off = 0, left = 0;
                return set.ApplyOutliers(&off, &left);
            }
            case 12: {
                std::vector<_CtrlPntStrcT> block(1 + Pick(4));
                for (_CtrlPntStrcT& q : block) q = RandomPoint();
                *what = "AddGCPs(" + std::to_string(block.size()) + ")";
                return set.AddGCPs(Pick(8) == 0 ? nullptr : block.data(), static_cast<unsigned long>(block.size()));
            }
            case 13: *what = "ReserveGCPs"; return set.ReserveGCPs(Coin() ? n + 8 : kTooMany);
            case 14: *what = "CopyPntSet"; return Pick(6) == 0 ? set.CopyPntSet(&other) : set.CopyPntSet(nullptr);
            case 15: *what = "BeginTransform"; return set.BeginTransform(flag, Pick(3) == 0 ? -1.0 : 0.0);
            default: {
                *what = "CompareTransTypes";
                TmTypeScore scores[6];
                unsigned long count = 0;
                return Coin() ? set.CompareTransTypes(scores, &count) : set.CompareTransTypes(nullptr, &count);
            }
        }
    }

    _CtrlPntStrcT RandomPoint() {
        const double px = Uniform(0.0, 1000.0), py = Uniform(0.0, 800.0);
        // Near an affine map, a few far off (outliers for FindOutliers).
        double x = 500000.0 + 2.0 * px + 0.3 * py + Uniform(-1.0, 1.0);
        double y = 5400000.0 - 2.0 * py + 0.1 * px + Uniform(-1.0, 1.0);
        if (Pick(10) == 0) x += 400.0;
        _CtrlPntStrcT p = TmMakePoint(px, py, x, y, 0.0, "w");
        if (Pick(12) == 0) (&p.PixelX)[Pick(5)] = Pick(2) ? std::numeric_limits<double>::quiet_NaN()
                                                          : std::numeric_limits<double>::infinity();
        p.UseFlag = Pick(6) != 0;
        p.EditFlag = Coin();
        return p;
    }

private:
    unsigned long Pick(unsigned long n) { return std::uniform_int_distribution<unsigned long>(0, n - 1)(rng_); }
    bool Coin() { return Pick(2) == 1; }
    double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    // Mostly within 1..n, sometimes 0 or past the end.
    unsigned long Index(unsigned long n) {
        switch (Pick(8)) {
            case 0: return 0;
            case 1: return n + 1 + Pick(2);
            default: return n == 0 ? 1 : 1 + Pick(n);
        }
    }
    double Value() { return Pick(10) == 0 ? std::numeric_limits<double>::quiet_NaN() : Uniform(-10.0, 10.0); }

    std::mt19937 rng_;
};

class RefusalWalk : public ::testing::TestWithParam<unsigned> {};

TEST_P(RefusalWalk, RefusedCallsChangeNothingObservable) {
    Walker walker(GetParam());
    CCtrlPntSet set, other;
    set.SetGroupNo(7);
    for (int i = 0; i < 12; ++i) {
        _CtrlPntStrcT p = walker.RandomPoint();
        set.AddOneGcp(1, &p);
        other.AddOneGcp(1, &p);
    }
    int refused = 0;
    for (int step = 0; step < 600; ++step) {
        const Observed before = Observed::Of(set);
        std::string what;
        const long rc = walker.Step(set, other, &what);
        if (rc == TM_OK) continue;
        ++refused;
        ASSERT_TRUE(Observed::Of(set) == before) << "step " << step << ": refused " << what << " (" << rc
                                                 << ") changed the set";
    }
    EXPECT_GT(refused, 50);  // the walk reached refusals, not only valid calls
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefusalWalk, ::testing::Range(1u, 13u));

}  // namespace
