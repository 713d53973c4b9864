// Seeded random walks of public calls on both area classes, valid and
// refused: after every refused call, everything the area reports must be as
// it was before it (groups, the group numbers accepted, points with their error context, flags, types,
// ranges, fit figures, the current group, the change flag, the prepared
// conversion).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "Morvane.h"
#include "RasteBaseArea.h"

namespace {

class Walker {
public:
    explicit Walker(unsigned seed) : rng_(seed) {}

    // One call with random arguments.  *validEdit is set for a point or type
    // edit whose arguments and state make it valid: its 0 is the documented
    // "made, but the range could not be recomputed", not a refusal.
    template <class Area>
    short Step(Area& area, std::string* what, bool* validEdit) {
        unsigned long groups = 0, n = 0, current = 0;
        area.GetGCPGroupNum(groups);
        const bool open = area.GetCurGCPGroupNo(current) == 1;
        if (open) area.GetGCPNum(n);
        const unsigned long index = Index(n);
        const bool badIndex = index < 1 || index > n;
        _CtrlPntStrcT p = RandomPoint();
        const bool finite = std::isfinite(p.PixelX) && std::isfinite(p.PixelY) && std::isfinite(p.UserX) &&
                            std::isfinite(p.UserY) && std::isfinite(p.UserZ);
        const bool flag = Pick(2) == 1;
        *validEdit = false;
        switch (Pick(16)) {
            case 0: {
                const unsigned long g = Index(groups);
                *what = "CreateGCPGroup(" + std::to_string(g) + ")";
                return area.CreateGCPGroup(g);
            }
            case 1: {
                const unsigned long g = Index(groups) + (Pick(4) == 0 ? 1000 : 0);
                *what = "DeleteGCPGroup(" + std::to_string(g) + ")";
                return Pick(3) == 0 ? area.DeleteGCPGroup(g) : 1;
            }
            case 2: {
                const unsigned long g = Index(groups);
                *what = "OpenGCPGroup(" + std::to_string(g) + ")";
                return area.OpenGCPGroup(g);
            }
            case 3: *what = "CloseGCPGroup"; return Pick(3) == 0 ? area.CloseGCPGroup() : 1;
            case 4:
                *what = "AddOneGCP(" + std::to_string(index) + ")";
                *validEdit = open && index >= 1 && index <= n + 1 && finite;
                return area.AddOneGCP(index, &p);
            case 5:
                *what = "DeleteOneGCP(" + std::to_string(index) + ")";
                *validEdit = open && !badIndex;
                return Pick(2) == 0 ? area.DeleteOneGCP(index) : 1;
            case 6:
                *what = "UpdateOneGCP(" + std::to_string(index) + ")";
                *validEdit = open && !badIndex && finite;
                return area.UpdateOneGCP(index, &p);
            case 7: *what = "SetOneGcpUseOnOff(" + std::to_string(index) + ")"; return area.SetOneGcpUseOnOff(index, flag);
            case 8: *what = "SetOneGCPEditOnOff(" + std::to_string(index) + ")"; return area.SetOneGCPEditOnOff(index, flag);
            case 9: {
                const short type = static_cast<short>(Pick(9)) - 1;
                *what = "SetGCPGroupType(" + std::to_string(type) + ")";
                *validEdit = open && type >= TM_TRANS_POLY1 && type <= TM_TRANS_TPS;
                return area.SetGCPGroupType(type);
            }
            case 10: *what = "SetChangeFlag"; return area.SetChangeFlag(flag);
            case 11: {
                std::vector<_CtrlPntStrcT> block(1 + Pick(4));
                for (_CtrlPntStrcT& q : block) q = RandomPoint();
                *what = "AddGCPs(" + std::to_string(block.size()) + ")";
                return area.AddGCPs(block.data(), static_cast<unsigned long>(block.size()));
            }
            case 12: *what = "BeginTransform"; return static_cast<short>(area.BeginTransform(flag));
            case 13: {
                double in[4] = {1.0, 2.0, Pick(3) == 0 ? std::numeric_limits<double>::quiet_NaN() : 3.0, 4.0};
                double out[4];
                *what = "BatchTransform";
                return static_cast<short>(area.BatchTransform(in, out, 2));
            }
            case 14: {
                double a = 0, b = 0, c = 0, d = 0;
                *what = "GetOneGCPResidual(" + std::to_string(index) + ")";
                return area.GetOneGCPResidual(index, a, b, c, d);
            }
            default: {
                _CtrlPntStrcT q;
                *what = "GetOneGCP(" + std::to_string(index) + ")";
                return area.GetOneGCP(index, &q);
            }
        }
    }

    _CtrlPntStrcT RandomPoint() {
        const double px = Uniform(0.0, 1000.0), py = Uniform(0.0, 800.0);
        double x = 500000.0 + 2.0 * px + 0.3 * py + Uniform(-1.0, 1.0);
        const double y = 5400000.0 - 2.0 * py + 0.1 * px + Uniform(-1.0, 1.0);
        if (Pick(10) == 0) x += 400.0;
        _CtrlPntStrcT p = TmMakePoint(px, py, x, y, 0.0, "w");
        if (Pick(12) == 0) (&p.PixelX)[Pick(5)] = std::numeric_limits<double>::quiet_NaN();
        p.UseFlag = Pick(6) != 0;
        return p;
    }

private:
    unsigned long Pick(unsigned long n) { return std::uniform_int_distribution<unsigned long>(0, n - 1)(rng_); }
    double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    unsigned long Index(unsigned long n) {
        switch (Pick(8)) {
            case 0: return 0;
            case 1: return n + 1 + Pick(2);
            default: return n == 0 ? 1 : 1 + Pick(n);
        }
    }

    std::mt19937 rng_;
};

// Opens an area of either kind on a fresh store.
struct FileAreaKind {
    using Area = CFile_Morvane;
    morvane::test::TempDir dir;
    bool Open(Area& area) {
        const std::string path = dir.File("walk.gcp");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return false;
        const unsigned char empty[14] = {'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0, 0, 0, 0, 0};
        const bool written = std::fwrite(empty, 1, sizeof empty, f) == sizeof empty;
        return std::fclose(f) == 0 && written && area.OpenGCPArea(1000, 800, path.c_str()) == 1;
    }
};

struct DbAreaKind {
    using Area = CDB_Morvane;
    morvane::test::TempDir dir;
    CRasteBaseArea raster;
    bool Open(Area& area) {
        const std::string path = dir.File("walk.db");
        return raster.Open(path.c_str(), "scene") && area.OpenGCPArea(&raster, 5, 1000, 800) == 1;
    }
};

template <class Kind>
class AreaRefusalWalk : public ::testing::Test {};
using Kinds = ::testing::Types<FileAreaKind, DbAreaKind>;
TYPED_TEST_SUITE(AreaRefusalWalk, Kinds);

TYPED_TEST(AreaRefusalWalk, RefusedCallsChangeNothingObservable) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        TypeParam kind;
        typename TypeParam::Area area;
        ASSERT_TRUE(kind.Open(area)) << area.GetLastError();
        Walker walker(seed);
        ASSERT_EQ(1, area.CreateGCPGroup(1));
        ASSERT_EQ(1, area.OpenGCPGroup(1));
        for (int i = 0; i < 10; ++i) {
            _CtrlPntStrcT p = walker.RandomPoint();
            area.AddOneGCP(1, &p);
        }
        int refused = 0;
        for (int step = 0; step < 400; ++step) {
            const morvane::test::Observation before = morvane::test::Observe(area);
            std::string what;
            bool validEdit = false;
            const short rc = walker.Step(area, &what, &validEdit);
            if (rc == 1 || validEdit) continue;
            ASSERT_EQ(rc, 0) << what;
            ++refused;
            ASSERT_EQ(morvane::test::Observe(area), before)
                << "seed " << seed << " step " << step << ": refused " << what << " changed the area";
        }
        EXPECT_GT(refused, 30) << "seed " << seed;
        area.SetChangeFlag(false);
    }
}

}  // namespace
