// Tests of CGCPGroupList: the numbered list of groups, the operations inside a
// group, and the prepared transformation.
#include "GroupListTestKit.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

using namespace grouplist_test;

namespace {

constexpr double kTolerance = 1e-6;

// Numbers that address nothing in a list of three groups, whatever the
// operation: zero, 2^31 and more, values that truncated to 32 bits would be 1
// or 2, and the largest unsigned long.
#if ULONG_MAX > 0xFFFFFFFFUL
const unsigned long kNeverValid[] = {0UL,          1UL << 31,          (1UL << 31) + 1,
                                     (1UL << 32),  (1UL << 32) + 1,    (1UL << 32) + 2,
                                     ULONG_MAX - 1, ULONG_MAX};
#else  // a 32-bit unsigned long (Windows) holds nothing beyond 2^32 to pass
const unsigned long kNeverValid[] = {0UL, 1UL << 31, (1UL << 31) + 1, ULONG_MAX - 1, ULONG_MAX};
#endif

// Runs every operation that addresses an existing group n and expects each to
// refuse without writing its outputs.
void ExpectNoGroupAt(CGCPGroupList& list, unsigned long n) {
    SCOPED_TRACE(testing::Message() << "group number " << n);
    CCtrlPntSet scratch;
    FillSet(&scratch, 7, 3);
    const GroupSnapshot scratchBefore = SnapshotSet(&scratch);
    _CtrlPntStrcT point = PointOf(7, 1);

    EXPECT_EQ(list.RemoveGroup(n), 0);
    EXPECT_EQ(list.CopyGroupOut(n, &scratch), 0);
    EXPECT_EQ(SnapshotSet(&scratch), scratchBefore) << "a refused copy-out wrote the caller's set";
    EXPECT_EQ(list.CopyGroupIn(n, &scratch), 0);
    EXPECT_EQ(list.DeleteGroupGCP(n, 1), 0);
    EXPECT_EQ(list.UpdateGroupGCP(n, 1, &point), 0);
    EXPECT_EQ(list.SetGroupGCPUse(n, 1, false), 0);
    EXPECT_EQ(list.SetGroupGCPEdit(n, 1, false), 0);
    EXPECT_EQ(list.ComputeGroupCoordRange(n, 100, 100), 0);
    EXPECT_EQ(list.SetGroupTransType(n, TM_TRANS_SIMILARITY), 0);
    EXPECT_EQ(list.PeekGroup(n), nullptr);

    unsigned long count = 12345;
    EXPECT_EQ(list.GetGroupGCPNum(n, &count), 0);
    EXPECT_EQ(count, 12345UL);
    _CtrlPntStrcT out;
    std::memset(&out, 0x5A, sizeof out);
    _CtrlPntStrcT untouched = out;
    EXPECT_EQ(list.GetGroupGCP(n, 1, &out), 0);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
    bool flag = true;
    EXPECT_EQ(list.GetGroupGCPUse(n, 1, &flag), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(list.GetGroupGCPEdit(n, 1, &flag), 0);
    EXPECT_TRUE(flag);
    double a = -7.0, b = -7.0, c = -7.0, d = -7.0;
    EXPECT_EQ(list.GroupPointTransform(n, 1.0, 2.0, &a, &b, true), 0);
    EXPECT_EQ(list.GetGroupCoordRange(n, &a, &b, &c, &d), 0);
    EXPECT_TRUE(a == -7.0 && b == -7.0 && c == -7.0 && d == -7.0);
    bool linear = false;
    EXPECT_EQ(list.IsGroupLinear(n, linear), 0);
    EXPECT_FALSE(linear);
    if (list.PreparedSet() == nullptr) {
        EXPECT_EQ(list.BeginGroupTransform(n, true), 0);
        EXPECT_EQ(list.PreparedSet(), nullptr);
    }
}

// Runs every operation that inserts a group as n and expects each to refuse.
void ExpectNoInsertAt(CGCPGroupList& list, unsigned long n) {
    SCOPED_TRACE(testing::Message() << "insertion at " << n);
    CCtrlPntSet scratch;
    FillSet(&scratch, 7, 3);
    _CtrlPntStrcT point = PointOf(7, 1);
    EXPECT_EQ(list.InsertGroup(n, &scratch), 0);
    EXPECT_EQ(list.CreateEmptyGroup(n), 0);
    EXPECT_EQ(list.AddGroupGCP(n, 1, &point), 0);
}

void ExpectEveryOperationRefuses(CGCPGroupList& list, unsigned long n) {
    ExpectNoGroupAt(list, n);
    ExpectNoInsertAt(list, n);
}

void ExpectAffine(double x, double y, const AffineMap& map, double pixel, double line) {
    EXPECT_NEAR(x, map.X(pixel, line), kTolerance * std::fabs(map.X(pixel, line)) + kTolerance);
    EXPECT_NEAR(y, map.Y(pixel, line), kTolerance * std::fabs(map.Y(pixel, line)) + kTolerance);
}

}  // namespace

TEST(GroupList, NewListHoldsNothingAndRefusesEveryGroup) {
    CGCPGroupList list;
    unsigned long count = 99;
    EXPECT_EQ(list.GetGroupNum(&count), 1);
    EXPECT_EQ(count, 0UL);
    EXPECT_EQ(list.GetGroupNum(nullptr), 0);
    EXPECT_EQ(list.GetModifyFlag(), 0);
    ExpectNoGroupAt(list, 1);  // 1 is where a first group may be inserted
    ExpectEveryOperationRefuses(list, 2);
    for (unsigned long n : kNeverValid) ExpectEveryOperationRefuses(list, n);
    EXPECT_EQ(list.RenumberGroups(), 0);
    double x = 3.0, y = 4.0;
    EXPECT_EQ(list.TransformPoint(1.0, 2.0, &x, &y), 0);
    EXPECT_TRUE(x == 3.0 && y == 4.0);
    list.EndGroupTransform();  // nothing prepared: does nothing
    EXPECT_EQ(list.GetModifyFlag(), 0);
    EXPECT_EQ(list.GetGroupNum(&count), 1);
    EXPECT_EQ(count, 0UL);
}

TEST(GroupList, InsertStoresAnIndependentCopyNumberedByPosition) {
    CGCPGroupList list;
    CCtrlPntSet caller;
    FillSet(&caller, 4, 3);  // carries group number 904
    const GroupSnapshot callerBefore = SnapshotSet(&caller);

    ASSERT_EQ(list.InsertGroup(1, &caller), 1);
    unsigned long count = 0;
    list.GetGroupNum(&count);
    EXPECT_EQ(count, 1UL);
    EXPECT_EQ(list.GetModifyFlag(), 1);
    EXPECT_EQ(SnapshotSet(&caller), callerBefore) << "insertion changed the caller's set";

    GroupSnapshot stored = SnapshotSet(list.PeekGroup(1));
    EXPECT_EQ(stored.groupNo, 1);
    stored.groupNo = callerBefore.groupNo;
    EXPECT_EQ(stored, callerBefore) << "the stored group differs from the inserted set";

    // The list keeps no tie to the caller's set.
    _CtrlPntStrcT other = PointOf(8, 1);
    ASSERT_EQ(caller.UpdateOneGCP(1, &other), TM_OK);
    ASSERT_EQ(caller.DeleteOneGCP(2), TM_OK);
    EXPECT_EQ(TagOfSet(list.PeekGroup(1)), 4);
    list.GetGroupGCPNum(1, &count);
    EXPECT_EQ(count, 3UL);

    EXPECT_EQ(list.InsertGroup(1, nullptr), 0);
    list.GetGroupNum(&count);
    EXPECT_EQ(count, 1UL);
}

// Copying in (InsertGroup) and taking over (AdoptGroup) place and number
// the group alike.
TEST(GroupList, InsertAtHeadMiddleAndEndRenumbersEveryGroup) {
    struct Case {
        unsigned long at;
        std::vector<int> expected;
    };
    const Case cases[] = {{1, {4, 1, 2, 3}}, {2, {1, 4, 2, 3}}, {3, {1, 2, 4, 3}}, {4, {1, 2, 3, 4}}};
    for (bool adopt : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (adopt ? "adopt" : "insert") << " at " << c.at);
            CGCPGroupList list;
            FillPQR(list);
            ASSERT_EQ(TagsOf(list), (std::vector<int>{1, 2, 3}));
            ASSERT_TRUE(NumberedByPosition(list));
            CCtrlPntSet s;
            FillSet(&s, 4, 2);
            ASSERT_EQ(adopt ? list.AdoptGroup(c.at, &s) : list.InsertGroup(c.at, &s), 1);
            EXPECT_EQ(TagsOf(list), c.expected);
            EXPECT_TRUE(NumberedByPosition(list));
            // N + 2 and 0 are refused, with nothing changed.
            FillSet(&s, 4, 2);
            const GroupSnapshot set = SnapshotSet(&s);
            const ListSnapshot before = SnapshotList(list);
            EXPECT_EQ(adopt ? list.AdoptGroup(6, &s) : list.InsertGroup(6, &s), 0);
            EXPECT_EQ(adopt ? list.AdoptGroup(0, &s) : list.InsertGroup(0, &s), 0);
            EXPECT_EQ(SnapshotList(list), before);
            EXPECT_EQ(SnapshotSet(&s), set);
        }
    }
}

TEST(GroupList, AdoptTakesThePointsAndLeavesTheSetEmpty) {
    CGCPGroupList list;
    CCtrlPntSet caller;
    FillSet(&caller, 4, 3);
    const GroupSnapshot callerBefore = SnapshotSet(&caller);
    ASSERT_EQ(list.AdoptGroup(1, &caller), 1);
    EXPECT_EQ(list.GetModifyFlag(), 1);
    GroupSnapshot stored = SnapshotSet(list.PeekGroup(1));
    EXPECT_EQ(stored.groupNo, 1);
    stored.groupNo = callerBefore.groupNo;
    EXPECT_EQ(stored, callerBefore);
    unsigned long count = 9;
    caller.GetGCPNum(&count);
    EXPECT_EQ(count, 0UL);

    // A set the list holds, or the prepared one, cannot be taken over; nor
    // can nothing.
    const ListSnapshot before = SnapshotList(list);
    EXPECT_EQ(list.AdoptGroup(1, list.PeekGroup(1)), 0);
    EXPECT_EQ(list.AdoptGroup(2, list.PeekGroup(1)), 0);
    EXPECT_EQ(list.AdoptGroup(1, nullptr), 0);
    ASSERT_EQ(list.BeginGroupTransform(1, true), 1);
    EXPECT_EQ(list.AdoptGroup(2, list.PreparedSet()), 0);
    list.EndGroupTransform();
    EXPECT_EQ(SnapshotList(list), before);
}

TEST(GroupList, RemoveAtHeadMiddleAndEndRenumbersTheRest) {
    struct Case {
        unsigned long at;
        std::vector<int> expected;
    };
    const Case cases[] = {{1, {2, 3}}, {2, {1, 3}}, {3, {1, 2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "remove " << c.at);
        CGCPGroupList list;
        FillPQR(list);
        const GroupSnapshot kept = SnapshotSet(list.PeekGroup(c.expected[1]));
        ASSERT_EQ(list.RemoveGroup(c.at), 1);
        EXPECT_EQ(TagsOf(list), c.expected);
        EXPECT_TRUE(NumberedByPosition(list));
        // The surviving group moved but kept its content.
        GroupSnapshot moved = SnapshotSet(list.PeekGroup(2));
        moved.groupNo = kept.groupNo;
        EXPECT_EQ(moved, kept);
        const ListSnapshot before = SnapshotList(list);
        EXPECT_EQ(list.RemoveGroup(3), 0);
        EXPECT_EQ(list.RemoveGroup(0), 0);
        EXPECT_EQ(SnapshotList(list), before);
    }
    // Removing down to nothing leaves a usable empty list.
    CGCPGroupList list;
    FillPQR(list);
    while (list.RemoveGroup(1) == 1) {
    }
    unsigned long count = 7;
    list.GetGroupNum(&count);
    EXPECT_EQ(count, 0UL);
    EXPECT_EQ(list.GetModifyFlag(), 1);
    EXPECT_EQ(list.PeekGroup(1), nullptr);
    EXPECT_EQ(list.CreateEmptyGroup(1), 1);
    EXPECT_TRUE(NumberedByPosition(list));
}

TEST(GroupList, OutOfRangeNumbersChangeNothing) {
    CGCPGroupList list;
    FillPQR(list);
    const ListSnapshot before = SnapshotList(list);
    // 4 is N + 1: no group, but the place where one may be inserted.
    ExpectNoGroupAt(list, 4);
    for (unsigned long n : {5UL, 6UL}) ExpectEveryOperationRefuses(list, n);
    for (unsigned long n : kNeverValid) ExpectEveryOperationRefuses(list, n);
    EXPECT_EQ(SnapshotList(list), before);
}

TEST(GroupList, CopyOutAndCopyInMoveWholeGroups) {
    CGCPGroupList list;
    FillPQR(list);
    const ListSnapshot start = SnapshotList(list);

    // Copy-out replaces whatever the caller's set held and changes nothing.
    CCtrlPntSet out;
    FillSet(&out, 9, 6);
    ASSERT_EQ(list.CopyGroupOut(2, &out), 1);
    EXPECT_EQ(SnapshotSet(&out), start.groups[1]);
    EXPECT_EQ(SnapshotList(list), start);

    // Copy-in replaces group 2 only; the stored copy carries number 2.
    CCtrlPntSet in;
    FillSet(&in, 5, 4);
    const GroupSnapshot inBefore = SnapshotSet(&in);
    ASSERT_EQ(list.CopyGroupIn(2, &in), 1);
    EXPECT_EQ(SnapshotSet(&in), inBefore);
    ListSnapshot expected = start;
    expected.groups[1] = inBefore;
    expected.groups[1].groupNo = 2;
    EXPECT_EQ(SnapshotList(list), expected);

    // Copying a stored group onto itself, or onto another stored group.
    ASSERT_EQ(list.CopyGroupIn(2, list.PeekGroup(2)), 1);
    EXPECT_EQ(SnapshotList(list), expected);
    ASSERT_EQ(list.CopyGroupIn(3, list.PeekGroup(1)), 1);
    expected.groups[2] = expected.groups[0];
    expected.groups[2].groupNo = 3;
    EXPECT_EQ(SnapshotList(list), expected);
    ASSERT_EQ(list.CopyGroupOut(1, list.PeekGroup(1)), 1);
    EXPECT_EQ(SnapshotList(list), expected);

    // Copying out over another stored group or the prepared set is refused:
    // both are handed out for reading only.
    EXPECT_EQ(list.CopyGroupOut(1, list.PeekGroup(2)), 0);
    EXPECT_EQ(list.CopyGroupOut(3, list.PeekGroup(1)), 0);
    EXPECT_EQ(SnapshotList(list), expected);
    ASSERT_EQ(list.BeginGroupTransform(2, true), 1);
    const GroupSnapshot prepared = SnapshotSet(list.PreparedSet());
    EXPECT_EQ(list.CopyGroupOut(1, list.PreparedSet()), 0);
    EXPECT_EQ(SnapshotSet(list.PreparedSet()), prepared);
    list.EndGroupTransform();

    EXPECT_EQ(list.CopyGroupOut(1, nullptr), 0);
    EXPECT_EQ(list.CopyGroupIn(1, nullptr), 0);
    EXPECT_EQ(SnapshotList(list), expected);
}

TEST(GroupList, ModifyFlagIsSetByTheFirstRenumberingAndNeverCleared) {
    CGCPGroupList list;
    CCtrlPntSet s;
    FillSet(&s, 1, 3);
    _CtrlPntStrcT point = PointOf(1, 1);

    // Nothing that fails, and nothing on an empty list, sets it.
    EXPECT_EQ(list.RenumberGroups(), 0);
    EXPECT_EQ(list.InsertGroup(2, &s), 0);
    EXPECT_EQ(list.CreateEmptyGroup(0), 0);
    EXPECT_EQ(list.AddGroupGCP(2, 1, &point), 0);
    EXPECT_EQ(list.AddGroupGCP(1, 2, &point), 0);  // index 2 of an empty group
    EXPECT_EQ(list.AddGroupGCP(1, 1, nullptr), 0);
    list.ReleaseAllGroups();
    EXPECT_EQ(list.GetModifyFlag(), 0);
    unsigned long count = 9;
    list.GetGroupNum(&count);
    EXPECT_EQ(count, 0UL);

    ASSERT_EQ(list.InsertGroup(1, &s), 1);
    EXPECT_EQ(list.GetModifyFlag(), 1);
    ASSERT_EQ(list.RemoveGroup(1), 1);  // the last group: the flag stays
    EXPECT_EQ(list.GetModifyFlag(), 1);
    EXPECT_EQ(list.RenumberGroups(), 0);
    EXPECT_EQ(list.GetModifyFlag(), 1);
    ASSERT_EQ(list.CreateEmptyGroup(1), 1);
    EXPECT_EQ(list.RenumberGroups(), 1);
    list.ReleaseAllGroups();
    EXPECT_EQ(list.GetModifyFlag(), 1);

    // Each way of creating the first group sets it.
    CGCPGroupList viaEmpty;
    ASSERT_EQ(viaEmpty.CreateEmptyGroup(1), 1);
    EXPECT_EQ(viaEmpty.GetModifyFlag(), 1);
    CGCPGroupList viaAdd;
    ASSERT_EQ(viaAdd.AddGroupGCP(1, 1, &point), 1);
    EXPECT_EQ(viaAdd.GetModifyFlag(), 1);
}

TEST(GroupList, ReleaseAllGroupsLeavesAnEmptyUsableList) {
    CGCPGroupList list;
    FillPQR(list);
    list.ReleaseAllGroups();
    unsigned long count = 7;
    EXPECT_EQ(list.GetGroupNum(&count), 1);
    EXPECT_EQ(count, 0UL);
    EXPECT_EQ(list.PeekGroup(1), nullptr);
    EXPECT_EQ(list.RemoveGroup(1), 0);
    CCtrlPntSet scratch;
    FillSet(&scratch, 5, 3);
    EXPECT_EQ(list.InsertGroup(2, &scratch), 0);
    list.ReleaseAllGroups();  // twice is harmless
    FillPQR(list);
    EXPECT_EQ(TagsOf(list), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(NumberedByPosition(list));
}

TEST(GroupList, CreateEmptyGroupInsertsAFreshGroup) {
    CGCPGroupList list;
    FillPQR(list);
    ASSERT_EQ(list.CreateEmptyGroup(1), 1);
    EXPECT_EQ(TagsOf(list), (std::vector<int>{-1, 1, 2, 3}));
    EXPECT_TRUE(NumberedByPosition(list));
    const GroupSnapshot fresh = SnapshotSet(list.PeekGroup(1));
    EXPECT_EQ(fresh.count, 0UL);
    EXPECT_EQ(fresh.orientType, TM_ORIENT_LINE_DOWN);
    EXPECT_EQ(fresh.transType, TM_TRANS_POLY1);
    ASSERT_EQ(list.CreateEmptyGroup(5), 1);
    EXPECT_EQ(TagsOf(list), (std::vector<int>{-1, 1, 2, 3, -1}));
    EXPECT_TRUE(NumberedByPosition(list));
    const ListSnapshot before = SnapshotList(list);
    EXPECT_EQ(list.CreateEmptyGroup(7), 0);
    EXPECT_EQ(SnapshotList(list), before);
}

TEST(GroupPoints, AddOnePastTheLastGroupCreatesIt) {
    CGCPGroupList list;
    _CtrlPntStrcT p = PointOf(6, 1);
    ASSERT_EQ(list.AddGroupGCP(1, 1, &p), 1);  // on an empty list
    FillPQR(list);                               // now 4 groups: new, P, Q, R (appended)
    ASSERT_EQ(TagsOf(list), (std::vector<int>{6, 1, 2, 3}));

    _CtrlPntStrcT q = PointOf(5, 1);
    ASSERT_EQ(list.AddGroupGCP(5, 1, &q), 1);
    EXPECT_EQ(TagsOf(list), (std::vector<int>{6, 1, 2, 3, 5}));
    EXPECT_TRUE(NumberedByPosition(list));
    const GroupSnapshot created = SnapshotSet(list.PeekGroup(5));
    EXPECT_EQ(created.count, 1UL);
    EXPECT_EQ(created.orientType, TM_ORIENT_LINE_DOWN);
    EXPECT_EQ(created.transType, TM_TRANS_POLY1);
    _CtrlPntStrcT stored;
    ASSERT_EQ(list.GetGroupGCP(5, 1, &stored), 1);
    EXPECT_TRUE(SamePoint(stored, &q));

    // Beyond N + 1, at 0, or with a point the library refuses: nothing is created.
    const ListSnapshot before = SnapshotList(list);
    EXPECT_EQ(list.AddGroupGCP(7, 1, &q), 0);
    EXPECT_EQ(list.AddGroupGCP(0, 1, &q), 0);
    EXPECT_EQ(list.AddGroupGCP(6, 2, &q), 0);
    EXPECT_EQ(list.AddGroupGCP(6, 0, &q), 0);
    EXPECT_EQ(list.AddGroupGCP(6, 1, nullptr), 0);
    _CtrlPntStrcT bad = q;
    bad.UserX = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(list.AddGroupGCP(6, 1, &bad), 0);
    EXPECT_EQ(SnapshotList(list), before);
}

TEST(GroupPoints, EditsChangeOnlyTheAddressedGroup) {
    CGCPGroupList list;
    FillPQR(list);
    const ListSnapshot start = SnapshotList(list);

    _CtrlPntStrcT p = PointOf(8, 1);
    ASSERT_EQ(list.AddGroupGCP(2, 1, &p), 1);  // in front of Q's first point
    unsigned long count = 0;
    ASSERT_EQ(list.GetGroupGCPNum(2, &count), 1);
    EXPECT_EQ(count, start.groups[1].count + 1);
    _CtrlPntStrcT got;
    ASSERT_EQ(list.GetGroupGCP(2, 1, &got), 1);
    EXPECT_TRUE(SamePoint(got, &p));
    ASSERT_EQ(list.GetGroupGCP(2, 2, &got), 1);
    EXPECT_TRUE(SamePoint(got, start.groups[1].records[0].data()));
    ListSnapshot now = SnapshotList(list);
    EXPECT_EQ(now.groups[0], start.groups[0]);
    EXPECT_EQ(now.groups[2], start.groups[2]);
    EXPECT_TRUE(NumberedByPosition(list));

    ASSERT_EQ(list.DeleteGroupGCP(2, 1), 1);
    EXPECT_EQ(SnapshotList(list), start);

    _CtrlPntStrcT replacement = PointOf(2, 9);
    ASSERT_EQ(list.UpdateGroupGCP(2, 3, &replacement), 1);
    ASSERT_EQ(list.GetGroupGCP(2, 3, &got), 1);
    EXPECT_TRUE(SamePoint(got, &replacement));

    bool flag = true;
    ASSERT_EQ(list.SetGroupGCPUse(2, 4, false), 1);
    ASSERT_EQ(list.GetGroupGCPUse(2, 4, &flag), 1);
    EXPECT_FALSE(flag);
    ASSERT_EQ(list.GetGroupGCPUse(2, 3, &flag), 1);
    EXPECT_TRUE(flag);
    ASSERT_EQ(list.SetGroupGCPEdit(2, 1, false), 1);
    ASSERT_EQ(list.GetGroupGCPEdit(2, 1, &flag), 1);
    EXPECT_FALSE(flag);
    ASSERT_EQ(list.SetGroupGCPEdit(2, 1, true), 1);
    ASSERT_EQ(list.GetGroupGCPEdit(2, 1, &flag), 1);
    EXPECT_TRUE(flag);

    ASSERT_EQ(list.SetGroupTransType(2, TM_TRANS_SIMILARITY), 1);
    now = SnapshotList(list);
    EXPECT_EQ(now.groups[1].transType, TM_TRANS_SIMILARITY);
    EXPECT_EQ(now.groups[1].count, start.groups[1].count);
    EXPECT_EQ(now.groups[0], start.groups[0]);
    EXPECT_EQ(now.groups[2], start.groups[2]);
    EXPECT_TRUE(NumberedByPosition(list));
    EXPECT_EQ(now.modifyFlag, 1);
}

TEST(GroupPoints, RefusedLibraryCallsLeaveTheGroupByteIdentical) {
    CGCPGroupList list;
    FillPQR(list);
    ASSERT_EQ(list.SetGroupGCPEdit(2, 2, false), 1);  // a locked point
    const ListSnapshot before = SnapshotList(list);
    const unsigned long count = before.groups[1].count;
    _CtrlPntStrcT p = PointOf(8, 1);
    _CtrlPntStrcT nan = p;
    nan.PixelY = std::numeric_limits<double>::infinity();

    EXPECT_EQ(list.AddGroupGCP(2, 0, &p), 0);
    EXPECT_EQ(list.AddGroupGCP(2, count + 2, &p), 0);
    EXPECT_EQ(list.AddGroupGCP(2, 1, nullptr), 0);
    EXPECT_EQ(list.AddGroupGCP(2, 1, &nan), 0);
    EXPECT_EQ(list.DeleteGroupGCP(2, 0), 0);
    EXPECT_EQ(list.DeleteGroupGCP(2, count + 1), 0);
    EXPECT_EQ(list.UpdateGroupGCP(2, 0, &p), 0);
    EXPECT_EQ(list.UpdateGroupGCP(2, count + 1, &p), 0);
    EXPECT_EQ(list.UpdateGroupGCP(2, 1, nullptr), 0);
    EXPECT_EQ(list.UpdateGroupGCP(2, 1, &nan), 0);
    EXPECT_EQ(list.SetGroupGCPUse(2, count + 1, false), 0);
    EXPECT_EQ(list.SetGroupGCPEdit(2, 0, true), 0);
    EXPECT_EQ(list.SetGroupTransType(2, 99), 0);
    EXPECT_EQ(SnapshotList(list), before);

    _CtrlPntStrcT got;
    bool flag = false;
    EXPECT_EQ(list.GetGroupGCP(2, count + 1, &got), 0);
    EXPECT_EQ(list.GetGroupGCP(2, 1, nullptr), 0);
    EXPECT_EQ(list.GetGroupGCPUse(2, 0, &flag), 0);
    EXPECT_EQ(list.GetGroupGCPEdit(2, count + 1, &flag), 0);
    EXPECT_EQ(list.GetGroupGCPUse(2, 1, nullptr), 0);
    EXPECT_EQ(list.GetGroupGCPNum(2, nullptr), 0);
    EXPECT_EQ(SnapshotList(list), before);
}

TEST(GroupPoints, ReadsConvertWithTheGroupAndChangeNothing) {
    CGCPGroupList list;
    FillPQR(list);
    const ListSnapshot before = SnapshotList(list);
    for (unsigned long n = 1; n <= 3; ++n) {
        const AffineMap map = MapForTag(static_cast<int>(n));
        double x = 0.0, y = 0.0;
        ASSERT_EQ(list.GroupPointTransform(n, 123.5, 456.25, &x, &y, true), 1);
        ExpectAffine(x, y, map, 123.5, 456.25);
        double pixel = 0.0, line = 0.0;
        ASSERT_EQ(list.GroupPointTransform(n, x, y, &pixel, &line, false), 1);
        EXPECT_NEAR(pixel, 123.5, 1e-6);
        EXPECT_NEAR(line, 456.25, 1e-6);
        bool linear = false;
        ASSERT_EQ(list.IsGroupLinear(n, linear), 1);
        EXPECT_TRUE(linear);
    }
    // The four range values come back in the library's order, from group 2 only.
    CCtrlPntSet withRange;
    ASSERT_EQ(list.CopyGroupOut(2, &withRange), 1);
    ASSERT_EQ(withRange.SetUserCoordRange(-1.5, -2.5, 3.5, 4.5), TM_OK);
    ASSERT_EQ(list.CopyGroupIn(2, &withRange), 1);
    double v[4] = {0, 0, 0, 0};
    ASSERT_EQ(list.GetGroupCoordRange(2, &v[0], &v[1], &v[2], &v[3]), 1);
    EXPECT_EQ(v[0], -1.5);
    EXPECT_EQ(v[1], -2.5);
    EXPECT_EQ(v[2], 3.5);
    EXPECT_EQ(v[3], 4.5);
    ListSnapshot expected = before;
    expected.groups[1] = SnapshotSet(list.PeekGroup(2));
    EXPECT_EQ(SnapshotList(list), expected);
}

TEST(GroupPoints, ComputedRangeEqualsTheLibrarysOwnOnACopy) {
    CGCPGroupList list;
    FillPQR(list);
    // Group 4: three points on one line, which no affine fit can take.
    CCtrlPntSet collinear;
    collinear.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
    for (unsigned long i = 1; i <= 3; ++i) {
        const double at = 10.0 * static_cast<double>(i);
        _CtrlPntStrcT p = TmMakePoint(at, at, 100.0 + at, 200.0 + at);
        ASSERT_EQ(collinear.AddOneGcp(i, &p), TM_OK);
    }
    ASSERT_EQ(list.InsertGroup(4, &collinear), 1);
    const ListSnapshot before = SnapshotList(list);

    CCtrlPntSet copy;
    ASSERT_EQ(list.CopyGroupOut(3, &copy), 1);
    ASSERT_EQ(copy.ComputeUserCoordRange(640, 480), TM_OK);
    ASSERT_EQ(list.ComputeGroupCoordRange(3, 640, 480), 1);
    ListSnapshot expected = before;
    expected.groups[2] = SnapshotSet(&copy);
    EXPECT_EQ(SnapshotList(list), expected);
    EXPECT_NE(expected.groups[2].rangeBytes, before.groups[2].rangeBytes);

    // A group the library cannot fit keeps its range.
    EXPECT_EQ(list.ComputeGroupCoordRange(4, 640, 480), 0);
    EXPECT_EQ(SnapshotList(list), expected);
}

TEST(PreparedTransform, IsASnapshotThatSurvivesEditsAndRemovalOfItsGroup) {
    CGCPGroupList list;
    FillPQR(list);
    const AffineMap qMap = MapForTag(2);
    ASSERT_EQ(list.BeginGroupTransform(2, true), 1);
    ASSERT_NE(list.PreparedSet(), nullptr);
    const ListSnapshot preparedList = SnapshotList(list);
    double x = 0.0, y = 0.0;
    ASSERT_EQ(list.TransformPoint(50.0, 70.0, &x, &y), 1);
    ExpectAffine(x, y, qMap, 50.0, 70.0);

    // A second preparation is refused and leaves the first in place.
    EXPECT_EQ(list.BeginGroupTransform(1, true), 0);
    ASSERT_EQ(list.TransformPoint(50.0, 70.0, &x, &y), 1);
    ExpectAffine(x, y, qMap, 50.0, 70.0);
    EXPECT_EQ(SnapshotList(list), preparedList);

    // Move every point of group 2 onto another map: the group converts with
    // the new map, the prepared transformation with the old one.
    const AffineMap other = MapForTag(8);
    unsigned long count = 0;
    list.GetGroupGCPNum(2, &count);
    for (unsigned long i = 1; i <= count; ++i) {
        _CtrlPntStrcT p = PointOf(2, i, other);
        ASSERT_EQ(list.UpdateGroupGCP(2, i, &p), 1);
    }
    ASSERT_EQ(list.GroupPointTransform(2, 50.0, 70.0, &x, &y, true), 1);
    ExpectAffine(x, y, other, 50.0, 70.0);
    ASSERT_EQ(list.TransformPoint(50.0, 70.0, &x, &y), 1);
    ExpectAffine(x, y, qMap, 50.0, 70.0);

    ASSERT_EQ(list.RemoveGroup(2), 1);
    ASSERT_EQ(list.RemoveGroup(1), 1);
    ASSERT_EQ(list.TransformPoint(-30.0, 1000.0, &x, &y), 1);
    ExpectAffine(x, y, qMap, -30.0, 1000.0);

    list.ReleaseAllGroups();
    ASSERT_EQ(list.TransformPoint(5.0, 6.0, &x, &y), 1);
    ExpectAffine(x, y, qMap, 5.0, 6.0);

    list.EndGroupTransform();
    EXPECT_EQ(list.PreparedSet(), nullptr);
    x = y = 42.0;
    EXPECT_EQ(list.TransformPoint(5.0, 6.0, &x, &y), 0);
    EXPECT_TRUE(x == 42.0 && y == 42.0);
    list.EndGroupTransform();
}

TEST(PreparedTransform, BackwardConversionAndFailedPreparations) {
    CGCPGroupList list;
    FillPQR(list);
    ASSERT_EQ(list.CreateEmptyGroup(4), 1);  // no points: cannot be fitted
    CCtrlPntSet two;
    FillSet(&two, 5, 2);  // too few points for an affine fit
    ASSERT_EQ(list.InsertGroup(5, &two), 1);
    const ListSnapshot before = SnapshotList(list);

    for (unsigned long n : {4UL, 5UL, 6UL, 0UL}) {
        EXPECT_EQ(list.BeginGroupTransform(n, true), 0) << n;
        EXPECT_EQ(list.PreparedSet(), nullptr) << n;
        double x = 1.0, y = 2.0;
        EXPECT_EQ(list.TransformPoint(3.0, 4.0, &x, &y), 0);
        EXPECT_TRUE(x == 1.0 && y == 2.0);
    }
    EXPECT_EQ(SnapshotList(list), before);

    // Nothing was left prepared: a good group can still be prepared, backward.
    const AffineMap rMap = MapForTag(3);
    ASSERT_EQ(list.BeginGroupTransform(3, false), 1);
    double pixel = 0.0, line = 0.0;
    ASSERT_EQ(list.TransformPoint(rMap.X(200.0, 300.0), rMap.Y(200.0, 300.0), &pixel, &line), 1);
    EXPECT_NEAR(pixel, 200.0, 1e-6);
    EXPECT_NEAR(line, 300.0, 1e-6);
    EXPECT_EQ(SnapshotList(list).groups, before.groups);
    list.EndGroupTransform();
}

TEST(PreparedTransform, ListDestroyedWhilePrepared) {
    // Run under LeakSanitizer this shows the prepared set and all groups are
    // freed; the allocation-counting tests show the same without it.
    auto list = std::make_unique<CGCPGroupList>();
    FillPQR(*list);
    ASSERT_EQ(list->BeginGroupTransform(1, true), 1);
    list.reset();
}
