// bulk_add_test.cpp - AddGCPs of the areas: the same group, range, change
// flag and saved file as one AddOneGCP per point; all or none on refusal.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace morvane::test {
namespace {

// Test points with a few check points, locked points and repeated pixel
// positions among them.
std::vector<_CtrlPntStrcT> Records(int first, int n) {
    std::vector<_CtrlPntStrcT> records;
    for (int i = 0; i < n; ++i) {
        _CtrlPntStrcT p = TestPoint(first + i);
        if (i % 9 == 8) {
            p.PixelX = records[static_cast<std::size_t>(i / 3)].PixelX;
            p.PixelY = records[static_cast<std::size_t>(i / 3)].PixelY;
        }
        // Repeated positions are check points: an interpolating spline
        // cannot pass through two user positions at one pixel.
        p.UseFlag = i % 6 == 5 || i % 9 == 8 ? 0 : 1;
        p.EditFlag = i % 4 == 3 ? 0 : 1;
        records.push_back(p);
    }
    return records;
}

// Two copies of one file, one filled point by point and one with AddGCPs.
class AreaPair {
public:
    AreaPair(short transType, int pointsBefore) {
        one_ = dir_.File("one.gcp");
        bulk_ = dir_.File("bulk.gcp");
        WriteFileBytes(one_, SampleFile({4, 3}));
        WriteFileBytes(bulk_, SampleFile({4, 3}));
        for (CFile_Morvane* area : {&oneArea, &bulkArea}) {
            EXPECT_EQ(area->OpenGCPArea(1000, 800, area == &oneArea ? one_.c_str() : bulk_.c_str()), 1);
            EXPECT_EQ(area->CreateGCPGroup(2), 1);
            EXPECT_EQ(area->OpenGCPGroup(2), 1);
            EXPECT_EQ(area->SetGCPGroupType(transType), 1);
            EXPECT_EQ(area->SetChangeFlag(false), 1);
            for (const _CtrlPntStrcT& p : Records(5000, pointsBefore)) {
                _CtrlPntStrcT copy = p;
                unsigned long n = 0;
                area->GetGCPNum(n);
                area->AddOneGCP(n + 1, &copy);
            }
        }
    }
    Bytes SavedOne() { return Saved(oneArea, one_); }
    Bytes SavedBulk() { return Saved(bulkArea, bulk_); }

    CFile_Morvane oneArea, bulkArea;

private:
    static Bytes Saved(CFile_Morvane& area, const std::string& path) {
        EXPECT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
        return ReadFileBytes(path);
    }
    TempDir dir_;
    std::string one_, bulk_;
};

void ExpectSameGroup(CFile_Morvane& a, CFile_Morvane& b) {
    unsigned long na = 0, nb = 0;
    ASSERT_EQ(a.GetGCPNum(na), 1);
    ASSERT_EQ(b.GetGCPNum(nb), 1);
    ASSERT_EQ(na, nb);
    for (unsigned long i = 1; i <= na; ++i) {
        _CtrlPntStrcT pa, pb;
        ASSERT_EQ(a.GetOneGCP(i, &pa), 1);
        ASSERT_EQ(b.GetOneGCP(i, &pb), 1);
        EXPECT_EQ(std::memcmp(&pa, &pb, offsetof(_CtrlPntStrcT, Err)), 0) << "point " << i;
        EXPECT_EQ(pa.Err.Code, pb.Err.Code) << "point " << i;
        EXPECT_EQ(pa.Err.Other, pb.Err.Other) << "point " << i;
    }
    double ra[4], rb[4];
    ASSERT_EQ(a.GetGCPCoordRect(ra[0], ra[1], ra[2], ra[3]), 1);
    ASSERT_EQ(b.GetGCPCoordRect(rb[0], rb[1], rb[2], rb[3]), 1);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(ra[k], rb[k], 1e-6 * std::max(1.0, std::fabs(ra[k])));
    bool ca = false, cb = false;
    ASSERT_EQ(a.GetChangeFlag(ca), 1);
    ASSERT_EQ(b.GetChangeFlag(cb), 1);
    EXPECT_EQ(ca, cb);
    double xa = 0, ya = 0, xb = 0, yb = 0;
    const short fa = a.PointTransform(321.5, 123.25, xa, ya, true);
    ASSERT_EQ(fa, b.PointTransform(321.5, 123.25, xb, yb, true));
    EXPECT_NEAR(xa, xb, 1e-6);
    EXPECT_NEAR(ya, yb, 1e-6);
}

class AreaBulkAdd : public ::testing::TestWithParam<std::tuple<short, int, int>> {};

TEST_P(AreaBulkAdd, MatchesOneByOneUpToTheSavedFile) {
    const auto [type, before, added] = GetParam();
    AreaPair pair(type, before);
    const std::vector<_CtrlPntStrcT> records = Records(100, added);
    for (const _CtrlPntStrcT& p : records) {
        _CtrlPntStrcT copy = p;
        unsigned long n = 0;
        pair.oneArea.GetGCPNum(n);
        pair.oneArea.AddOneGCP(n + 1, &copy);
    }
    EXPECT_EQ(pair.bulkArea.AddGCPs(records.data(), static_cast<unsigned long>(records.size())), 1)
        << pair.bulkArea.GetLastError();
    EXPECT_STREQ(pair.bulkArea.GetLastError(), "");
    ExpectSameGroup(pair.oneArea, pair.bulkArea);
    // The files hold the same bytes: records are saved as stored.
    const Bytes one = pair.SavedOne();
    EXPECT_EQ(one, pair.SavedBulk());
    EXPECT_GT(one.size(), 10u + 120u * static_cast<std::size_t>(added));
}

INSTANTIATE_TEST_SUITE_P(Types, AreaBulkAdd,
                         ::testing::Combine(::testing::Values<short>(TM_TRANS_POLY1, TM_TRANS_POLY2,
                                                                     TM_TRANS_SIMILARITY, TM_TRANS_TPS),
                                            ::testing::Values(0, 12), ::testing::Values(1, 3, 400)));
INSTANTIATE_TEST_SUITE_P(Large, AreaBulkAdd,
                         ::testing::Values(std::make_tuple<short, int, int>(TM_TRANS_POLY1, 5, 60000)));

// Whatever refuses the block leaves the group, its range, the change flag
// and the saved file as they were, and the reason names the record.
struct Refusal {
    const char* what;
    int at;  // 0-based; -1: the range cannot be recomputed
    const char* reason;
};

class AreaBulkRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(AreaBulkRefusal, ChangesNothing) {
    const Refusal r = GetParam();
    AreaPair pair(TM_TRANS_POLY1, r.at < 0 ? 0 : 6);
    CFile_Morvane& area = pair.bulkArea;
    std::vector<_CtrlPntStrcT> records = Records(300, 40);
    if (r.at >= 0) {
        _CtrlPntStrcT& bad = records[static_cast<std::size_t>(r.at)];
        if (std::string(r.what) == "name") std::memset(bad.Name, 'n', sizeof bad.Name);
        else bad.UserX = std::nan("");
    } else {
        // All on one line: no affine fit, so no range over the raster.
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i] = TmMakePoint(i, 2.0 * i, 100.0 + i, 50.0 + 3.0 * i);
    }
    unsigned long count = 0;
    ASSERT_EQ(area.GetGCPNum(count), 1);
    double range[4];
    ASSERT_EQ(area.GetGCPCoordRect(range[0], range[1], range[2], range[3]), 1);
    const Observation state = Observe(area);
    EXPECT_EQ(area.AddGCPs(records.data(), 40), 0);
    EXPECT_NE(std::string(area.GetLastError()).find(r.reason), std::string::npos) << area.GetLastError();
    unsigned long after = 0;
    ASSERT_EQ(area.GetGCPNum(after), 1);
    EXPECT_EQ(after, count);
    double now[4];
    ASSERT_EQ(area.GetGCPCoordRect(now[0], now[1], now[2], now[3]), 1);
    EXPECT_EQ(std::memcmp(range, now, sizeof range), 0);
    EXPECT_EQ(Observe(area), state);
    ExpectSameGroup(pair.oneArea, area);
}

INSTANTIATE_TEST_SUITE_P(
    Records, AreaBulkRefusal,
    ::testing::Values(Refusal{"nan", 0, "point 1 of 40 is refused: a coordinate is not finite"},
                      Refusal{"nan", 17, "point 18 of 40 is refused: a coordinate is not finite"},
                      Refusal{"name", 39, "point 40 of 40 is refused: a null array, or a name"},
                      Refusal{"collinear", -1, "range cannot be recomputed with the 40 points"}));

TEST(AreaBulkGuards, RefusedWithoutAGroupAndHarmlessWhenEmpty) {
    TempDir dir;
    const std::string path = dir.File("a.gcp");
    WriteFileBytes(path, SampleFile({3}));
    CFile_Morvane area;
    const std::vector<_CtrlPntStrcT> records = Records(0, 5);
    EXPECT_EQ(area.AddGCPs(records.data(), 5), 0);
    EXPECT_STREQ(area.GetLastError(), "the area is not open");
    ASSERT_EQ(area.OpenGCPArea(100, 100, path.c_str()), 1);
    EXPECT_EQ(area.AddGCPs(records.data(), 5), 0);
    EXPECT_STREQ(area.GetLastError(), "no group is open");
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    const Observation before = Observe(area);  // the change flag among it
    EXPECT_EQ(area.AddGCPs(nullptr, 0), 1);
    EXPECT_EQ(area.AddGCPs(records.data(), 0), 1);
    EXPECT_EQ(Observe(area), before);
    EXPECT_EQ(area.AddGCPs(nullptr, 2), 0);
    EXPECT_NE(std::string(area.GetLastError()).find("null array"), std::string::npos);
    unsigned long count = 0;
    ASSERT_EQ(area.GetGCPNum(count), 1);
    EXPECT_EQ(count, 3u);
}

}  // namespace
}  // namespace morvane::test
