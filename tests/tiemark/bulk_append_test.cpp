// bulk_append_test.cpp - AddGCPs against one AddOneGcp per record: the same
// points, flags, error contexts, ranges and fits, and all or none on refusal;
// the reservation and the swap that readers build groups with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "CtrlPntSet.h"
#include "SetSnapshot.h"

namespace {

// Records over a 4000 x 3000 raster mapped smoothly to metres, with check
// points (use flag 0), locked points, flags given as bytes other than 1,
// and every 7th record repeating the pixel position of an earlier one.
std::vector<_CtrlPntStrcT> MakeRecords(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> col(0.0, 4000.0), row(0.0, 3000.0), noise(-0.3, 0.3);
    std::vector<_CtrlPntStrcT> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        double px = col(rng), py = row(rng);
        if (i % 7 == 6) {
            px = records[i / 2].PixelX;
            py = records[i / 2].PixelY;
        }
        const double x = 500000.0 + 2.0 * px - 0.3 * py + 1e-5 * px * py + noise(rng);
        const double y = 4100000.0 - 2.0 * py + 0.2 * px + 2e-5 * px * px + noise(rng);
        // Appended, not "P" + std::to_string(i): g++ 12 at -O3 warns falsely
        // (-Wrestrict) about the insert at the front that operator+ makes.
        std::string name = "P";
        name += std::to_string(i);
        _CtrlPntStrcT p = TmMakePoint(px, py, x, y, 10.0 + i, name.c_str());
        p.Id = static_cast<std::int32_t>(i * 3);
        p.UseFlag = i % 5 == 4 ? 0 : (i % 2 ? 7 : 1);
        p.EditFlag = i % 3 == 0 ? 0 : 0x80;
        p.Err.Code = 99;  // ignored on the way in
        records.push_back(p);
    }
    return records;
}

void AddOneByOne(CCtrlPntSet& set, const _CtrlPntStrcT* records, std::size_t n) {
    unsigned long count = 0;
    set.GetGCPNum(&count);
    for (std::size_t i = 0; i < n; ++i) {
        _CtrlPntStrcT p = records[i];
        ASSERT_EQ(set.AddOneGcp(count + i + 1, &p), TM_OK) << "record " << i;
    }
}

// Fits (forward conversion at a few places) agree to rounding: a factor
// updated by rotations and one updated by reflections differ in the last bits.
void ExpectSameFit(CCtrlPntSet& a, CCtrlPntSet& b) {
    for (double px : {0.0, 1234.5, 4000.0})
        for (double py : {0.0, 2222.25, 3000.0}) {
            double ax = 0, ay = 0, bx = 0, by = 0;
            const long ra = a.GetCoordinateA(&ax, &ay, px, py, true);
            ASSERT_EQ(ra, b.GetCoordinateA(&bx, &by, px, py, true));
            if (ra != TM_OK) continue;
            EXPECT_NEAR(ax, bx, 1e-6) << px << "," << py;
            EXPECT_NEAR(ay, by, 1e-6) << px << "," << py;
        }
}

// Every record byte for byte, except the residuals of the error context,
// which follow the fit (to rounding).
void ExpectSameRecords(CCtrlPntSet& a, CCtrlPntSet& b) {
    unsigned long na = 0, nb = 0;
    a.GetGCPNum(&na);
    b.GetGCPNum(&nb);
    ASSERT_EQ(na, nb);
    for (unsigned long i = 1; i <= na; ++i) {
        _CtrlPntStrcT pa, pb;
        ASSERT_EQ(a.GetOneGCP(i, &pa), TM_OK);
        ASSERT_EQ(b.GetOneGCP(i, &pb), TM_OK);
        EXPECT_EQ(std::memcmp(&pa, &pb, offsetof(_CtrlPntStrcT, Err)), 0) << "point " << i;
        EXPECT_EQ(pa.Err.Code, pb.Err.Code) << "point " << i;
        EXPECT_EQ(pa.Err.Other, pb.Err.Other) << "point " << i;
        EXPECT_NEAR(pa.Err.ResidualX, pb.Err.ResidualX, 1e-6) << "point " << i;
        EXPECT_NEAR(pa.Err.ResidualY, pb.Err.ResidualY, 1e-6) << "point " << i;
        bool ua, ub, ea, eb;
        a.GetOneGcpUseOnOff(i, &ua);
        b.GetOneGcpUseOnOff(i, &ub);
        a.GetOneGCPEditOnOff(i, &ea);
        b.GetOneGCPEditOnOff(i, &eb);
        EXPECT_EQ(ua, ub);
        EXPECT_EQ(ea, eb);
    }
}

void ExpectSameRanges(CCtrlPntSet& a, CCtrlPntSet& b) {
    for (long columns : {0L, 4000L}) {
        const long ra = a.ComputeUserCoordRange(columns, 3000);
        ASSERT_EQ(ra, b.ComputeUserCoordRange(columns, 3000));
        double va[4], vb[4];
        a.GetUserCoordRange(&va[0], &va[1], &va[2], &va[3]);
        b.GetUserCoordRange(&vb[0], &vb[1], &vb[2], &vb[3]);
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(va[k], vb[k], 1e-6) << "columns " << columns;
    }
}

// (type, points already in the set, points appended, fitted in between)
using Case = std::tuple<short, std::size_t, std::size_t, bool>;

class BulkAppend : public ::testing::TestWithParam<Case> {};

TEST_P(BulkAppend, MatchesOneByOne) {
    const auto [type, before, appended, fitBetween] = GetParam();
    const std::vector<_CtrlPntStrcT> records = MakeRecords(before + appended, 17u + type);
    CCtrlPntSet one, bulk;
    ASSERT_EQ(one.InitPntSet(TM_ORIENT_LINE_DOWN, type), TM_OK);
    ASSERT_EQ(bulk.InitPntSet(TM_ORIENT_LINE_DOWN, type), TM_OK);
    AddOneByOne(one, records.data(), before);
    AddOneByOne(bulk, records.data(), before);
    if (fitBetween) {
        // The block then meets a cached fit: it is absorbed or refitted.
        double x, y;
        EXPECT_EQ(one.GetCoordinateA(&x, &y, 10.0, 10.0, true), bulk.GetCoordinateA(&x, &y, 10.0, 10.0, true));
    }
    AddOneByOne(one, records.data() + before, appended);
    // A reader that knows the count reserves first; that changes nothing
    // else, and the block then fits without growing.
    if (appended % 2 == 0) {
        ASSERT_EQ(bulk.ReserveGCPs(static_cast<unsigned long>(before + appended)), TM_OK);
    }
    unsigned long refused = 99;
    ASSERT_EQ(bulk.AddGCPs(records.data() + before, static_cast<unsigned long>(appended), &refused), TM_OK);
    EXPECT_EQ(refused, 0u);
    ExpectSameRecords(one, bulk);
    ExpectSameFit(one, bulk);
    ExpectSameRanges(one, bulk);
    double ra[2] = {}, rb[2] = {};
    ASSERT_EQ(one.GetRMSError(&ra[0], &ra[1]), bulk.GetRMSError(&rb[0], &rb[1]));
    EXPECT_NEAR(ra[0], rb[0], 1e-9);
    // A copy (fresh storage taken whole, as the group list takes a set)
    // reads back the same.
    CCtrlPntSet copy;
    ASSERT_EQ(copy.CopyPntSet(&bulk), TM_OK);
    ExpectSameRecords(bulk, copy);
}

INSTANTIATE_TEST_SUITE_P(
    Polynomials, BulkAppend,
    ::testing::Combine(::testing::Values<short>(TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3,
                                                TM_TRANS_SIMILARITY, TM_TRANS_PROJECTIVE),
                       ::testing::Values<std::size_t>(0, 40, 3000),
                       ::testing::Values<std::size_t>(1, 2, 700), ::testing::Bool()));
INSTANTIATE_TEST_SUITE_P(Spline, BulkAppend,
                         ::testing::Combine(::testing::Values<short>(TM_TRANS_TPS),
                                            ::testing::Values<std::size_t>(0, 30),
                                            ::testing::Values<std::size_t>(1, 2, 150), ::testing::Bool()));
INSTANTIATE_TEST_SUITE_P(Large, BulkAppend,
                         ::testing::Values(Case{TM_TRANS_POLY1, 0, 300000, false},
                                           Case{TM_TRANS_POLY2, 100, 200000, true}));

// A bad record anywhere refuses the whole block: the set reads back exactly
// as before and the refused record's position is told.
struct BadRecord {
    const char* what;
    std::size_t at;  // 0-based position in the block
    long expected;
    void (*spoil)(_CtrlPntStrcT&);
};

class BulkRefusal : public ::testing::TestWithParam<std::tuple<BadRecord, std::size_t>> {};

TEST_P(BulkRefusal, LeavesTheSetAsItWasAndNamesTheRecord) {
    const auto [bad, before] = GetParam();
    std::vector<_CtrlPntStrcT> records = MakeRecords(before + 50, 5);
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_UP, TM_TRANS_POLY2), TM_OK);
    AddOneByOne(set, records.data(), before);
    const SetSnapshot was = SetSnapshot::Of(set);
    bad.spoil(records[before + bad.at]);
    unsigned long refused = 0;
    EXPECT_EQ(set.AddGCPs(records.data() + before, 50, &refused), bad.expected) << bad.what;
    EXPECT_EQ(refused, bad.at + 1) << bad.what;
    EXPECT_TRUE(SetSnapshot::Of(set) == was) << bad.what;
}

const BadRecord kBadRecords[] = {
    {"NaN pixel, first", 0, TM_ERR_NOT_FINITE, [](_CtrlPntStrcT& p) { p.PixelX = std::nan(""); }},
    {"infinite user Y, middle", 23, TM_ERR_NOT_FINITE,
     [](_CtrlPntStrcT& p) { p.UserY = std::numeric_limits<double>::infinity(); }},
    {"NaN elevation, last", 49, TM_ERR_NOT_FINITE, [](_CtrlPntStrcT& p) { p.UserZ = std::nan(""); }},
    {"name without terminator, middle", 31, TM_ERR_ARGUMENT,
     [](_CtrlPntStrcT& p) { std::memset(p.Name, 'x', sizeof p.Name); }},
};

INSTANTIATE_TEST_SUITE_P(Records, BulkRefusal,
                         ::testing::Combine(::testing::ValuesIn(kBadRecords),
                                            ::testing::Values<std::size_t>(0, 12)));

TEST(BulkAppendCalls, EmptyAndImpossibleCountsChangeNothing) {
    std::vector<_CtrlPntStrcT> records = MakeRecords(20, 3);
    for (bool untouched : {true, false}) {
        CCtrlPntSet set;
        if (!untouched) AddOneByOne(set, records.data(), 10);
        const SetSnapshot was = SetSnapshot::Of(set);
        unsigned long refused = 7;
        EXPECT_EQ(set.AddGCPs(records.data(), 0, &refused), TM_OK);
        EXPECT_EQ(refused, 0u);
        EXPECT_EQ(set.AddGCPs(nullptr, 0), TM_OK);
        EXPECT_EQ(set.AddGCPs(nullptr, 3, &refused), TM_ERR_ARGUMENT);
        EXPECT_EQ(refused, 0u);
        // More points than a set can hold: refused before any record is read
        // (the array holds 20; reading further would be caught by the sanitizers).
        if (sizeof(unsigned long) > 4) {
            EXPECT_EQ(set.AddGCPs(records.data(), static_cast<unsigned long>(0x100000000ull), &refused),
                      TM_ERR_MEMORY);
        }
        EXPECT_TRUE(SetSnapshot::Of(set) == was);
    }
}

// Reserving changes nothing a caller can read, prepared conversion
// included; an impossible reservation is refused with nothing changed.
TEST(BulkAppendCalls, ReserveKeepsPointsFitAndPreparedConversion) {
    const std::vector<_CtrlPntStrcT> records = MakeRecords(60, 11);
    for (bool untouched : {true, false}) {
        CCtrlPntSet set;
        if (!untouched) {
            ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY2), TM_OK);
            ASSERT_EQ(set.AddGCPs(records.data(), 40), TM_OK);
            ASSERT_EQ(set.BeginTransform(true), TM_OK);
        }
        const SetSnapshot was = SetSnapshot::Of(set);
        double before[2] = {}, after[2] = {};
        const long prepared = set.PointTransform(&before[0], &before[1], 812.5, 1500.25);
        for (unsigned long count : {0ul, 10ul, 5000ul, 100ul}) {
            ASSERT_EQ(set.ReserveGCPs(count), TM_OK) << count;
            EXPECT_TRUE(SetSnapshot::Of(set) == was) << count;
        }
        if (sizeof(unsigned long) > 4) {
            EXPECT_EQ(set.ReserveGCPs(static_cast<unsigned long>(0x100000000ull)), TM_ERR_MEMORY);
            EXPECT_TRUE(SetSnapshot::Of(set) == was);
        }
        ASSERT_EQ(set.PointTransform(&after[0], &after[1], 812.5, 1500.25), prepared);
        EXPECT_EQ(after[0], before[0]);
        EXPECT_EQ(after[1], before[1]);
        // Appends into the reserved room read back like any others.
        ASSERT_EQ(set.AddGCPs(records.data() + 40, 20), TM_OK);
        unsigned long count = 0;
        set.GetGCPNum(&count);
        EXPECT_EQ(count, untouched ? 20u : 60u);
    }
}

// A swap exchanges everything, the prepared conversions and group numbers
// included, so that a reader can hand a built group over without a copy.
TEST(BulkAppendCalls, SwapExchangesEverythingAndNullOrSelfChangeNothing) {
    const std::vector<_CtrlPntStrcT> records = MakeRecords(80, 13);
    CCtrlPntSet a, b, untouched;
    ASSERT_EQ(a.InitPntSet(TM_ORIENT_LINE_UP, TM_TRANS_POLY2), TM_OK);
    ASSERT_EQ(a.AddGCPs(records.data(), 80), TM_OK);
    a.SetGroupNo(3);
    ASSERT_EQ(a.BeginTransform(true), TM_OK);
    ASSERT_EQ(b.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_SIMILARITY), TM_OK);
    ASSERT_EQ(b.AddGCPs(records.data() + 10, 5), TM_OK);
    b.SetGroupNo(5);
    const SetSnapshot wasA = SetSnapshot::Of(a), wasB = SetSnapshot::Of(b);
    const SetSnapshot wasUntouched = SetSnapshot::Of(untouched);
    double x = 0, y = 0, sx = 0, sy = 0;
    ASSERT_EQ(a.PointTransform(&x, &y, 300.0, 700.0), TM_OK);

    a.SwapPntSet(&b);
    EXPECT_TRUE(SetSnapshot::Of(a) == wasB);
    EXPECT_TRUE(SetSnapshot::Of(b) == wasA);
    EXPECT_EQ(a.GetGroupNo(), 5);
    EXPECT_EQ(b.GetGroupNo(), 3);
    EXPECT_EQ(a.PointTransform(&sx, &sy, 300.0, 700.0), TM_ERR_STATE);
    ASSERT_EQ(b.PointTransform(&sx, &sy, 300.0, 700.0), TM_OK);
    EXPECT_EQ(sx, x);
    EXPECT_EQ(sy, y);

    b.SwapPntSet(&untouched);
    EXPECT_TRUE(SetSnapshot::Of(b) == wasUntouched);
    EXPECT_TRUE(SetSnapshot::Of(untouched) == wasA);
    EXPECT_EQ(b.PointTransform(&sx, &sy, 300.0, 700.0), TM_ERR_STATE);
    untouched.SwapPntSet(nullptr);
    untouched.SwapPntSet(&untouched);
    EXPECT_TRUE(SetSnapshot::Of(untouched) == wasA);
    ASSERT_EQ(untouched.PointTransform(&sx, &sy, 300.0, 700.0), TM_OK);
    EXPECT_EQ(sx, x);
}

TEST(BulkAppendCalls, StoredRecordsAreTheCanonicalOnes) {
    const std::vector<_CtrlPntStrcT> records = MakeRecords(30, 9);
    CCtrlPntSet set;
    unsigned long count = 5;
    EXPECT_EQ(set.PeekStoredGCPs(&count), nullptr);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(set.AddGCPs(records.data(), 30), TM_OK);
    const _CtrlPntStrcT* stored = set.PeekStoredGCPs(&count);
    ASSERT_EQ(count, 30u);
    ASSERT_NE(stored, nullptr);
    for (unsigned long i = 0; i < count; ++i) {
        _CtrlPntStrcT read;
        ASSERT_EQ(set.GetOneGCP(i + 1, &read), TM_OK);
        // The stored record is the read one without its error context.
        EXPECT_EQ(std::memcmp(&stored[i], &read, offsetof(_CtrlPntStrcT, Err)), 0);
        CCtrlPntErr zero;
        zero.Clear();
        EXPECT_EQ(std::memcmp(&stored[i].Err, &zero, sizeof zero), 0);
        EXPECT_EQ(stored[i].UseFlag, records[i].UseFlag ? 1 : 0);
    }
}

}  // namespace
