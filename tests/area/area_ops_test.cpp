// Tests of the operations both area classes share: guards, results, the
// change flag, range recomputation, the write-back decision and copies.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "FaultEnv.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <climits>

#include <cmath>
#include <limits>

namespace morvane::test {
namespace {

// Calls every operation that needs an open group and expects each to be
// refused without touching the area or any output.
template <class Area>
void ExpectGroupOpsRefused(Area& area) {
    const Observation before = Observe(area);
    unsigned long count = 77;
    bool flag = true;
    double a = 1, b = 2, c = 3, d = 4;
    short s1 = 5, s2 = 6;
    _CtrlPntStrcT p = TestPoint(1);
    const _CtrlPntStrcT original = p;
    EXPECT_EQ(area.CloseGCPGroup(), 0);
    EXPECT_EQ(area.GetCurGCPGroupNo(count), 0);
    EXPECT_EQ(area.GetChangeFlag(flag), 0);
    EXPECT_EQ(area.SetChangeFlag(false), 0);
    EXPECT_EQ(area.GetGCPNum(count), 0);
    EXPECT_EQ(area.AddOneGCP(1, &p), 0);
    EXPECT_EQ(area.AddGCPs(&p, 1), 0);
    EXPECT_EQ(area.DeleteOneGCP(1), 0);
    EXPECT_EQ(area.GetOneGCP(1, &p), 0);
    EXPECT_EQ(area.UpdateOneGCP(1, &p), 0);
    EXPECT_EQ(area.GetOneGCPEditOnOff(1, flag), 0);
    EXPECT_EQ(area.SetOneGCPEditOnOff(1, false), 0);
    EXPECT_EQ(area.GetOneGcpUseOnOff(1, flag), 0);
    EXPECT_EQ(area.SetOneGcpUseOnOff(1, false), 0);
    EXPECT_EQ(area.PointTransform(1.0, 2.0, a, b, true), 0);
    EXPECT_EQ(area.GetGCPCoordRect(a, b, c, d), 0);
    EXPECT_EQ(area.IsLinearConvert(flag), 0);
    EXPECT_EQ(area.BeginTransform(true), 0);
    area.EndTransform();
    EXPECT_EQ(area.PointTransform(1.0, 2.0, a, b), 0);
    EXPECT_EQ(area.GetGCPGroupType(s1, s2), 0);
    EXPECT_EQ(area.SetGCPGroupType(2), 0);
    EXPECT_EQ(area.GetOneGCPResidual(1, a, b, c, d), 0);
    EXPECT_EQ(area.GetGCPRMSError(a, b), 0);
    double pair[2] = {1, 2};
    EXPECT_EQ(area.BatchTransform(pair, pair, 1), 0);
    EXPECT_EQ(count, 77u);
    EXPECT_TRUE(flag);
    EXPECT_EQ(a + b + c + d, 10.0);
    EXPECT_EQ(pair[0] + pair[1], 3.0);
    EXPECT_EQ(s1 + s2, 11);
    EXPECT_TRUE(SameRecord(p, original));
    EXPECT_EQ(Observe(area), before);
}

// Every operation but the open and the close refused, nothing changed.
template <class Area>
void ExpectEverythingRefused(Area& area) {
    const Observation before = Observe(area);
    unsigned long count = 77;
    EXPECT_EQ(area.GetGCPGroupNum(count), 0);
    EXPECT_EQ(area.CreateGCPGroup(1), 0);
    EXPECT_EQ(area.DeleteGCPGroup(1), 0);
    EXPECT_EQ(area.OpenGCPGroup(1), 0);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(Observe(area), before);
    ExpectGroupOpsRefused(area);
}

// Equal up to rounding: the area's group and a reference set built by other
// calls reach the same fit by different sequences of updates.
void ExpectClose(double actual, double expected) {
    EXPECT_NEAR(actual, expected, 1e-9 * std::max(1.0, std::fabs(expected)));
}

unsigned long PointsInFile(const std::string& path) {
    CFile_Morvane area;
    EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 1);
    EXPECT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    EXPECT_EQ(area.GetGCPNum(points), 1);
    return points;
}

template <class Area>
class ClosedAreaTest : public ::testing::Test {};
using AreaTypes = ::testing::Types<CFile_Morvane, CDB_Morvane>;
TYPED_TEST_SUITE(ClosedAreaTest, AreaTypes);

TYPED_TEST(ClosedAreaTest, AreaNeverOpenedRefusesEverythingAndCopiesIndependently) {
    TypeParam area;
    TypeParam fresh;
    const Observation never = Observe(fresh);
    EXPECT_EQ(Observe(area), never);
    ExpectEverythingRefused(area);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    TypeParam copy(area);
    TypeParam assigned;
    assigned = area;
    // Self-assignment on purpose, through a reference that Clang's
    // -Wself-assign-overloaded does not look through.
    const TypeParam& itself = assigned;
    assigned = itself;
    // Still never opened: alike to a new area, and not even closed after use.
    EXPECT_EQ(Observe(copy), never);
    EXPECT_EQ(Observe(assigned), never);
    EXPECT_EQ(copy.CloseGCPArea(), 0);
    EXPECT_EQ(assigned.CloseGCPArea(), 0);
    ExpectEverythingRefused(copy);
}

class AreaOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.File("area.gcp");
        WriteFileBytes(path_, SampleFile({3, 2, 4}));
        ASSERT_EQ(area_.OpenGCPArea(1000, 800, path_.c_str()), 1);
    }
    unsigned long LiveGroups() {
        unsigned long n = 0;
        EXPECT_EQ(area_.GetGCPGroupNum(n), 1);
        return n;
    }
    unsigned long Points() {
        unsigned long n = 0;
        EXPECT_EQ(area_.GetGCPNum(n), 1);
        return n;
    }
    // Whether the close writes the file back.
    bool CloseWrites() {
        ScopedFaultEnv env;
        EXPECT_EQ(area_.CloseGCPArea(), 1);
        return env->Calls(Op::kRename) > 0;
    }

    TempDir dir_;
    std::string path_;
    CFile_Morvane area_;
};

TEST_F(AreaOpsTest, GroupGuardsRefuseWithNothingChanged) {
    const Observation start = Observe(area_);
    EXPECT_EQ(GroupBound(area_), 3u);
    EXPECT_EQ(area_.OpenGCPGroup(0), 0);
    EXPECT_EQ(area_.OpenGCPGroup(4), 0);
    EXPECT_EQ(area_.CreateGCPGroup(0), 0);
    EXPECT_EQ(area_.CreateGCPGroup(5), 0);  // beyond live count + 1
    EXPECT_EQ(area_.DeleteGCPGroup(0), 0);
    EXPECT_EQ(area_.DeleteGCPGroup(4), 0);
#if ULONG_MAX > 0xFFFFFFFFUL  // not with a 32-bit unsigned long (Windows)
    EXPECT_EQ(area_.OpenGCPGroup(1UL << 33), 0);
#endif
    EXPECT_EQ(Observe(area_), start);
    EXPECT_EQ(LiveGroups(), 3u);

    // With no group open, what needs one is refused.
    ExpectGroupOpsRefused(area_);

    ASSERT_EQ(area_.OpenGCPGroup(2), 1);
    EXPECT_EQ(area_.OpenGCPGroup(3), 0);  // one group at a time
    unsigned long current = 0;
    ASSERT_EQ(area_.GetCurGCPGroupNo(current), 1);
    EXPECT_EQ(current, 2u);
}

TEST_F(AreaOpsTest, PointIndexBeyondTheCountIsRefusedWithoutEffect) {
    ASSERT_EQ(area_.OpenGCPGroup(1), 1);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    const Observation start = Observe(area_);
    _CtrlPntStrcT p = TestPoint(9);
    const _CtrlPntStrcT original = p;
    bool flag = true;
    EXPECT_EQ(area_.DeleteOneGCP(4), 0);
    EXPECT_EQ(area_.GetOneGCP(4, &p), 0);
    EXPECT_EQ(area_.UpdateOneGCP(4, &p), 0);
    EXPECT_EQ(area_.GetOneGCPEditOnOff(4, flag), 0);
    EXPECT_EQ(area_.SetOneGCPEditOnOff(4, false), 0);
    EXPECT_EQ(area_.GetOneGcpUseOnOff(4, flag), 0);
    EXPECT_EQ(area_.SetOneGcpUseOnOff(4, false), 0);
    EXPECT_EQ(area_.DeleteOneGCP(ULONG_MAX), 0);
    // Index 0 passes the bound and the library refuses it.
    EXPECT_EQ(area_.DeleteOneGCP(0), 0);
    EXPECT_EQ(area_.GetOneGCP(0, &p), 0);
    EXPECT_TRUE(flag);
    EXPECT_TRUE(SameRecord(p, original));
    EXPECT_EQ(Points(), 3u);
    EXPECT_EQ(Observe(area_), start);
    // The loaded groups are still marked as changed in the list: asked for,
    // the close writes them.
    ASSERT_EQ(area_.SetChangeFlag(true), 1);
    EXPECT_TRUE(CloseWrites());
}

TEST_F(AreaOpsTest, DeletedGroupNumbersStayWithinTheCachedCount) {
    ASSERT_EQ(area_.DeleteGCPGroup(2), 1);
    EXPECT_EQ(LiveGroups(), 2u);
    EXPECT_EQ(GroupBound(area_), 3u);
    EXPECT_EQ(area_.DeleteGCPGroup(3), 0);  // no group 3 any more
    EXPECT_EQ(LiveGroups(), 2u);
    ASSERT_EQ(area_.OpenGCPGroup(3), 1);  // still within the cached count
    unsigned long n = 99;
    EXPECT_EQ(area_.GetGCPNum(n), 0);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(area_.DeleteOneGCP(1), 0);
    ASSERT_EQ(area_.CloseGCPGroup(), 1);
    // The former group 3 is group 2 now.
    ASSERT_EQ(area_.OpenGCPGroup(2), 1);
    EXPECT_EQ(Points(), 4u);
    // Creating a group takes the live count into the cache.
    ASSERT_EQ(area_.CreateGCPGroup(3), 1);
    EXPECT_EQ(GroupBound(area_), 3u);
    ASSERT_EQ(area_.CreateGCPGroup(1), 1);
    EXPECT_EQ(GroupBound(area_), 4u);
    unsigned long current = 0;
    ASSERT_EQ(area_.GetCurGCPGroupNo(current), 1);
    EXPECT_EQ(current, 2u);
}

TEST_F(AreaOpsTest, EditsRecomputeTheRangeAndSetTheChangeFlag) {
    ASSERT_EQ(area_.CreateGCPGroup(4), 1);
    ASSERT_EQ(area_.OpenGCPGroup(4), 1);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    CCtrlPntSet reference;  // the same edits made on the library directly
    ASSERT_EQ(reference.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    for (int i = 1; i <= 5; ++i) {
        _CtrlPntStrcT p = TestPoint(i);
        ASSERT_EQ(area_.AddOneGCP(static_cast<unsigned long>(i), &p), 1);
        ASSERT_EQ(reference.AddOneGcp(static_cast<unsigned long>(i), &p), TM_OK);
        bool changed = false;
        ASSERT_EQ(area_.GetChangeFlag(changed), 1);
        EXPECT_TRUE(changed);
        ASSERT_EQ(area_.SetChangeFlag(false), 1);
        double e[4], r[4];
        ASSERT_EQ(reference.ComputeUserCoordRange(1000, 800), TM_OK);
        reference.GetUserCoordRange(&e[0], &e[1], &e[2], &e[3]);
        ASSERT_EQ(area_.GetGCPCoordRect(r[0], r[1], r[2], r[3]), 1);
        for (int k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(r[k], e[k]) << i << " " << k;
    }
    // A flag change does not move a point: the range stays, the flag is set.
    double before[4], after[4];
    ASSERT_EQ(area_.GetGCPCoordRect(before[0], before[1], before[2], before[3]), 1);
    ASSERT_EQ(area_.SetOneGcpUseOnOff(1, false), 1);
    bool changed = false;
    ASSERT_EQ(area_.GetChangeFlag(changed), 1);
    EXPECT_TRUE(changed);
    ASSERT_EQ(area_.GetGCPCoordRect(after[0], after[1], after[2], after[3]), 1);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(after[k], before[k]);

    // A point the library refuses: 0, nothing added, the flag untouched.
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    _CtrlPntStrcT bad = TestPoint(6);
    bad.PixelX = std::numeric_limits<double>::infinity();
    EXPECT_EQ(area_.AddOneGCP(6, &bad), 0);
    EXPECT_EQ(area_.AddOneGCP(9, &bad), 0);
    EXPECT_EQ(Points(), 5u);
    ASSERT_EQ(area_.GetChangeFlag(changed), 1);
    EXPECT_FALSE(changed);

    // Update and delete go the same way.
    _CtrlPntStrcT moved = TestPoint(40);
    ASSERT_EQ(area_.UpdateOneGCP(2, &moved), 1);
    _CtrlPntStrcT read;
    ASSERT_EQ(area_.GetOneGCP(2, &read), 1);
    EXPECT_EQ(read.UserX, moved.UserX);
    ASSERT_EQ(area_.DeleteOneGCP(5), 1);
    EXPECT_EQ(Points(), 4u);
    bool edit = true;
    ASSERT_EQ(area_.SetOneGCPEditOnOff(3, false), 1);
    ASSERT_EQ(area_.GetOneGCPEditOnOff(3, edit), 1);
    EXPECT_FALSE(edit);
}

TEST_F(AreaOpsTest, EditWhoseRangeCannotBeRecomputedReportsItButStays) {
    ASSERT_EQ(area_.CreateGCPGroup(1), 1);
    EXPECT_EQ(GroupBound(area_), 4u);
    ASSERT_EQ(area_.OpenGCPGroup(1), 1);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    // Three points on one line: an affine fit of them is degenerate.
    _CtrlPntStrcT a = TmMakePoint(0, 0, 100, 100);
    _CtrlPntStrcT b = TmMakePoint(10, 10, 200, 200);
    _CtrlPntStrcT c = TmMakePoint(20, 20, 300, 300);
    ASSERT_EQ(area_.AddOneGCP(1, &a), 1);
    ASSERT_EQ(area_.AddOneGCP(2, &b), 1);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    EXPECT_EQ(area_.AddOneGCP(3, &c), 0);
    EXPECT_EQ(Points(), 3u);
    bool changed = false;
    ASSERT_EQ(area_.GetChangeFlag(changed), 1);
    EXPECT_TRUE(changed);
    // The range is still the one of the last successful recomputation.
    double r[4];
    ASSERT_EQ(area_.GetGCPCoordRect(r[0], r[1], r[2], r[3]), 1);
    EXPECT_EQ(r[0], 100);
    EXPECT_EQ(r[3], 200);
}

TEST_F(AreaOpsTest, ConversionsUseTheCurrentGroupOrThePreparedSnapshot) {
    ASSERT_EQ(area_.CreateGCPGroup(4), 1);
    ASSERT_EQ(area_.OpenGCPGroup(4), 1);
    CCtrlPntSet reference;
    ASSERT_EQ(reference.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    for (unsigned long i = 1; i <= 6; ++i) {
        _CtrlPntStrcT p = TestPoint(static_cast<int>(i));
        p.UserX += 0.7 * static_cast<double>(i % 3);  // off the affine model: residuals
        p.UserY -= 0.4 * static_cast<double>(i % 2);
        ASSERT_EQ(area_.AddOneGCP(i, &p), 1);
        ASSERT_EQ(reference.AddOneGcp(i, &p), TM_OK);
    }
    double x = 0, y = 0, ex = 0, ey = 0;
    ASSERT_EQ(reference.GetCoordinateA(&ex, &ey, 123.0, 456.0, true), TM_OK);
    ASSERT_EQ(area_.PointTransform(123.0, 456.0, x, y, true), 1);
    ExpectClose(x, ex);
    ExpectClose(y, ey);
    ASSERT_EQ(reference.GetCoordinateA(&ex, &ey, 500100.0, 4099900.0, false), TM_OK);
    ASSERT_EQ(area_.PointTransform(500100.0, 4099900.0, x, y, false), 1);
    ExpectClose(x, ex);
    ExpectClose(y, ey);
    bool linear = false;
    ASSERT_EQ(area_.IsLinearConvert(linear), 1);
    EXPECT_TRUE(linear);

    double u = 0, v = 0, pu = 0, pv = 0, eu = 0, ev = 0, epu = 0, epv = 0;
    ASSERT_EQ(area_.GetOneGCPResidual(2, u, v, pu, pv), 1);
    ASSERT_EQ(reference.GetResidual(2, &eu, &ev, &epu, &epv), TM_OK);
    EXPECT_GT(std::fabs(eu), 0.01);
    ExpectClose(u, eu);
    ExpectClose(pv, epv);
    EXPECT_EQ(area_.GetOneGCPResidual(0, u, v, pu, pv), 0);
    EXPECT_EQ(area_.GetOneGCPResidual(7, u, v, pu, pv), 0);
    ASSERT_EQ(area_.GetGCPRMSError(u, v), 1);
    ASSERT_EQ(reference.GetRMSError(&eu, &ev), TM_OK);
    ExpectClose(u, eu);
    ExpectClose(v, ev);

    // The prepared transformation is a snapshot of group 4 and outlives a
    // change of the current group and edits of group 4.
    ASSERT_EQ(area_.BeginTransform(true), 1);
    EXPECT_EQ(area_.BeginTransform(true), 0);
    ASSERT_EQ(reference.GetCoordinateA(&ex, &ey, 10.0, 20.0, true), TM_OK);
    ASSERT_EQ(area_.DeleteOneGCP(1), 1);
    ASSERT_EQ(area_.CloseGCPGroup(), 1);
    area_.EndTransform();  // no group open: nothing happens
    EXPECT_EQ(area_.PointTransform(10.0, 20.0, x, y), 0);  // and no conversion without one
    ASSERT_EQ(area_.OpenGCPGroup(1), 1);
    ASSERT_EQ(area_.PointTransform(10.0, 20.0, x, y), 1);
    ExpectClose(x, ex);
    ExpectClose(y, ey);
    double pairs[6] = {10.0, 20.0, 0.0, 0.0, 300.0, 200.0};
    double out[6] = {};
    ASSERT_EQ(area_.BatchTransform(pairs, out, 3), 1);
    ExpectClose(out[0], ex);
    ExpectClose(out[1], ey);
    ASSERT_EQ(area_.PointTransform(300.0, 200.0, x, y), 1);
    ExpectClose(out[4], x);
    ExpectClose(out[5], y);
    EXPECT_EQ(area_.BatchTransform(nullptr, out, 1), 0);
    EXPECT_EQ(area_.BeginTransform(true), 0);  // still prepared
    area_.EndTransform();
    EXPECT_EQ(area_.PointTransform(10.0, 20.0, x, y), 0);
    EXPECT_EQ(area_.BatchTransform(pairs, out, 3), 0);
    EXPECT_EQ(area_.BeginTransform(true), 1);  // group 1: three points, affine
    // Closing the area releases a transformation still prepared.
}

TEST_F(AreaOpsTest, GroupTypeCanBeReadAndChanged) {
    ASSERT_EQ(area_.OpenGCPGroup(2), 1);
    short orient = -1, trans = -1;
    ASSERT_EQ(area_.GetGCPGroupType(orient, trans), 1);
    EXPECT_EQ(orient, 1);  // as SampleFile stores group 2
    EXPECT_EQ(trans, 2);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    EXPECT_EQ(area_.SetGCPGroupType(99), 0);
    ASSERT_EQ(area_.GetGCPGroupType(orient, trans), 1);
    EXPECT_EQ(trans, 2);
    EXPECT_EQ(area_.SetGCPGroupType(TM_TRANS_SIMILARITY), 1);
    ASSERT_EQ(area_.GetGCPGroupType(orient, trans), 1);
    EXPECT_EQ(trans, TM_TRANS_SIMILARITY);
    EXPECT_EQ(Points(), 2u);
    bool changed = false;
    ASSERT_EQ(area_.GetChangeFlag(changed), 1);
    EXPECT_TRUE(changed);
}

TEST_F(AreaOpsTest, CurrentGroupAndChangeFlagSurviveAReopen) {
    ASSERT_EQ(area_.OpenGCPGroup(2), 1);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    ASSERT_EQ(area_.CloseGCPArea(), 1);
    ExpectEverythingRefused(area_);  // closed after use
    EXPECT_EQ(area_.CloseGCPArea(), 1);
    ASSERT_EQ(area_.OpenGCPArea(1000, 800, path_.c_str()), 1);
    unsigned long current = 0;
    ASSERT_EQ(area_.GetCurGCPGroupNo(current), 1);
    EXPECT_EQ(current, 2u);
    EXPECT_EQ(Points(), 2u);
}

TEST_F(AreaOpsTest, CloseWritesBackOnlyWhenBothFlagsAreSet) {
    const Bytes original = ReadFileBytes(path_);
    ScopedFaultEnv env;
    auto saves = [&] { return env->Calls(Op::kRename); };

    // Loaded groups set the modify flag; the change flag alone decides.
    ASSERT_EQ(area_.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 0);
    ASSERT_EQ(area_.OpenGCPArea(1000, 800, path_.c_str()), 1);
    ASSERT_EQ(area_.OpenGCPGroup(1), 1);
    ASSERT_EQ(area_.SetChangeFlag(true), 1);
    ASSERT_EQ(area_.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 1);
    EXPECT_EQ(area_.CloseGCPArea(), 1);  // a second close writes nothing
    EXPECT_EQ(saves(), 1);

    // An edit whose flag the caller clears again is not saved.
    ASSERT_EQ(area_.OpenGCPArea(1000, 800, path_.c_str()), 1);
    ASSERT_EQ(area_.DeleteOneGCP(1), 1);  // group 1 is still current
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    ASSERT_EQ(area_.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 1);

    // An area opened from a store without groups: the change flag alone
    // writes nothing, since the list never changed.
    const std::string empty = dir_.File("empty.gcp");
    WriteFileBytes(empty, ByteWriter().Magic().U32(0).bytes());
    CFile_Morvane fresh;
    ASSERT_EQ(fresh.OpenGCPArea(1, 1, empty.c_str()), 1);
    ASSERT_EQ(fresh.CreateGCPGroup(1), 1);
    ASSERT_EQ(fresh.DeleteGCPGroup(1), 1);  // the list changed, and is empty
    ASSERT_EQ(fresh.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 2);
    EXPECT_EQ(ReadFileBytes(empty).size(), 14u);
    CFile_Morvane untouched;
    ASSERT_EQ(untouched.OpenGCPArea(1, 1, empty.c_str()), 1);
    ASSERT_EQ(untouched.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 2);

    // An open that failed part-way is never written back.
    const std::string cut = dir_.File("cut.gcp");
    const Bytes full = SampleFile({2, 2});
    const Bytes shortFile(full.begin(), full.end() - 1);
    WriteFileBytes(cut, shortFile);
    CFile_Morvane failed;
    ASSERT_EQ(failed.OpenGCPArea(1, 1, cut.c_str()), 0);
    ASSERT_EQ(failed.OpenGCPGroup(1), 1);
    ASSERT_EQ(failed.DeleteOneGCP(1), 1);
    ASSERT_EQ(failed.SetChangeFlag(true), 1);
    ASSERT_EQ(failed.CloseGCPArea(), 1);
    EXPECT_EQ(saves(), 2);
    EXPECT_EQ(ReadFileBytes(cut), shortFile);
}

TEST_F(AreaOpsTest, CopiesOfAnOpenAreaOwnTheirGroups) {
    ASSERT_EQ(area_.OpenGCPGroup(1), 1);
    {
        CFile_Morvane copy(area_);
        EXPECT_EQ(Observe(copy), Observe(area_));
        unsigned long n = 0;
        ASSERT_EQ(copy.GetGCPNum(n), 1);
        EXPECT_EQ(n, 3u);
        ASSERT_EQ(copy.DeleteOneGCP(1), 1);
        EXPECT_EQ(Points(), 3u);  // the source is untouched
        ASSERT_EQ(copy.SetChangeFlag(false), 1);
    }  // the copy releases its own list only
    EXPECT_EQ(Points(), 3u);

    // Assignment: the target's own groups are saved by its rules first.
    const std::string other = dir_.File("other.gcp");
    WriteFileBytes(other, SampleFile({5}));
    CFile_Morvane target;
    ASSERT_EQ(target.OpenGCPArea(10, 10, other.c_str()), 1);
    ASSERT_EQ(target.OpenGCPGroup(1), 1);
    ASSERT_EQ(target.DeleteOneGCP(5), 1);
    target = area_;
    EXPECT_EQ(Observe(target), Observe(area_));
    EXPECT_EQ(PointsInFile(other), 4u);
    const CFile_Morvane& itself = target;  // self-assignment on purpose (see above)
    target = itself;
    // The range arguments came along: a group of the target's own gets the
    // range of the source's raster (the probe group is saved with the edit
    // below, after group 1).
    EXPECT_EQ(ProbeRange(target), ExpectedProbeRange(1000, 800));
    ASSERT_EQ(target.DeleteOneGCP(3), 1);
    ASSERT_EQ(target.CloseGCPArea(), 1);  // the first save wins
    EXPECT_EQ(PointsInFile(path_), 2u);
    // The source loaded the version the copy replaced: its save is refused
    // rather than overwrite the copy's.
    ASSERT_EQ(area_.SetChangeFlag(true), 1);
    EXPECT_EQ(area_.CloseGCPArea(), 0);
    EXPECT_EQ(area_.GetLastError(),
              "another writer changed " + path_ + " since the area was opened; the groups were not saved");
    EXPECT_EQ(PointsInFile(path_), 2u);
    ASSERT_EQ(area_.SetChangeFlag(false), 1);
    ASSERT_EQ(area_.CloseGCPArea(), 1);

    // A copy of an area closed after use is closed after use too, and
    // carries the current group into its next open.
    CFile_Morvane closed(area_);
    EXPECT_EQ(Observe(closed), Observe(area_));
    EXPECT_FALSE(HoldsGroups(closed));
    EXPECT_EQ(closed.CloseGCPArea(), 1);
    ASSERT_EQ(closed.OpenGCPArea(1000, 800, path_.c_str()), 1);
    unsigned long current = 0;
    ASSERT_EQ(closed.GetCurGCPGroupNo(current), 1);
    EXPECT_EQ(current, 1u);
}

TEST_F(AreaOpsTest, CopyOfAnEmptiedListStillSavesTheDeletion) {
    for (unsigned long k = 3; k >= 1; --k) ASSERT_EQ(area_.DeleteGCPGroup(k), 1);
    EXPECT_EQ(LiveGroups(), 0u);
    CFile_Morvane copy(area_);
    ASSERT_EQ(area_.SetChangeFlag(false), 0);  // no group open: refused
    EXPECT_EQ(copy.CloseGCPArea(), 1);
    EXPECT_EQ(ReadFileBytes(path_).size(), 14u);
}

}  // namespace
}  // namespace morvane::test
