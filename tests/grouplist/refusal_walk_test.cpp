// Seeded random walks of the list's calls, valid and refused: every refused
// call must leave everything the list reports as it was (GroupListTestKit's
// whole-list snapshot), as the list's header promises.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "GroupListTestKit.h"

namespace {

using grouplist_test::FillSet;
using grouplist_test::PointOf;
using grouplist_test::SnapshotList;

class ListWalker {
public:
    explicit ListWalker(unsigned seed) : rng_(seed) {}

    short Step(CGCPGroupList& list, CCtrlPntSet& scratch, std::string* what) {
        unsigned long groups = 0;
        list.GetGroupNum(&groups);
        const unsigned long n = Number(groups);
        unsigned long points = 0;
        list.GetGroupGCPNum(n, &points);
        const unsigned long index = Number(points);
        _CtrlPntStrcT p = PointOf(static_cast<int>(Pick(5)), Pick(40) + 1);
        if (Pick(8) == 0) p.UserY = std::numeric_limits<double>::infinity();
        const bool flag = Pick(2) == 1;
        *what = std::to_string(n) + "/" + std::to_string(index);
        switch (Pick(13)) {
            case 0: *what = "InsertGroup " + *what; return list.InsertGroup(n, Pick(6) == 0 ? nullptr : &scratch);
            case 1: *what = "RemoveGroup " + *what; return Pick(3) == 0 ? list.RemoveGroup(n) : 1;
            case 2: *what = "CopyGroupIn " + *what; return list.CopyGroupIn(n, &scratch);
            case 3: *what = "CreateEmptyGroup " + *what; return list.CreateEmptyGroup(n);
            case 4: *what = "AddGroupGCP " + *what; return list.AddGroupGCP(n, index, &p);
            case 5: *what = "DeleteGroupGCP " + *what; return list.DeleteGroupGCP(n, index);
            case 6: *what = "UpdateGroupGCP " + *what; return list.UpdateGroupGCP(n, index, &p);
            case 7: *what = "SetGroupGCPUse " + *what; return list.SetGroupGCPUse(n, index, flag);
            case 8: *what = "SetGroupGCPEdit " + *what; return list.SetGroupGCPEdit(n, index, flag);
            case 9: {
                *what = "SetGroupTransType " + *what;
                return list.SetGroupTransType(n, static_cast<short>(Pick(9)) - 1);
            }
            case 10: *what = "ComputeGroupCoordRange " + *what; return list.ComputeGroupCoordRange(n, 640, 480);
            case 11: {
                long result = 0;
                unsigned long refused = 0;
                _CtrlPntStrcT block[2] = {p, PointOf(1, Pick(40) + 1)};
                *what = "AddGroupGCPs " + *what;
                return list.AddGroupGCPs(n, block, 2, &result, &refused);
            }
            default: *what = "BeginGroupTransform " + *what; return list.BeginGroupTransform(n, flag);
        }
    }

private:
    unsigned long Pick(unsigned long n) { return std::uniform_int_distribution<unsigned long>(0, n - 1)(rng_); }
    // Mostly 1 to count, sometimes 0 or past the end.
    unsigned long Number(unsigned long count) {
        switch (Pick(8)) {
            case 0: return 0;
            case 1: return count + 1 + Pick(2);
            default: return count == 0 ? 1 : 1 + Pick(count);
        }
    }

    std::mt19937 rng_;
};

class ListRefusalWalk : public ::testing::TestWithParam<unsigned> {};

TEST_P(ListRefusalWalk, RefusedCallsChangeNothingObservable) {
    ListWalker walker(GetParam());
    CGCPGroupList list;
    CCtrlPntSet scratch;
    FillSet(&scratch, 3, 6);
    for (unsigned long n = 1; n <= 3; ++n) {
        ASSERT_EQ(list.CreateEmptyGroup(n), 1);
        for (unsigned long i = 1; i <= 5; ++i) {
            _CtrlPntStrcT p = PointOf(static_cast<int>(n), i);
            ASSERT_EQ(list.AddGroupGCP(n, i, &p), 1);
        }
    }
    int refused = 0;
    for (int step = 0; step < 500; ++step) {
        const auto before = SnapshotList(list);
        std::string what;
        if (walker.Step(list, scratch, &what) != 0) continue;
        ++refused;
        ASSERT_EQ(SnapshotList(list), before) << "step " << step << ": refused " << what << " changed the list";
    }
    EXPECT_GT(refused, 40);
    list.ReleaseAllGroups();
}

INSTANTIATE_TEST_SUITE_P(Seeds, ListRefusalWalk, ::testing::Range(1u, 9u));

}  // namespace
