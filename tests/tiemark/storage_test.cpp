// Point storage: indices, flags, refusals, copies and the raw record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "CtrlPntSet.h"
#include "SetSnapshot.h"

namespace {

_CtrlPntStrcT Point(double px, double py, const char* name = nullptr) {
    return TmMakePoint(px, py, 600000.0 + 2.0 * px, 5400000.0 - 2.0 * py, 10.0, name);
}

void Fill(CCtrlPntSet& set, int n) {
    for (int i = 0; i < n; ++i) {
        _CtrlPntStrcT p = Point(100.0 * i, 37.0 * i * i, "p");
        ASSERT_EQ(set.AddOneGcp(static_cast<unsigned long>(i + 1), &p), TM_OK);
    }
}

TEST(TiemarkStorage, NewSetIsAnEmptyAffineGroup) {
    CCtrlPntSet set;
    unsigned long n = 99;
    short orient = -1, trans = -1;
    set.GetGCPNum(&n);
    set.GetOrientType(&orient);
    set.GetTransType(&trans);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(orient, TM_ORIENT_LINE_DOWN);
    EXPECT_EQ(trans, TM_TRANS_POLY1);
    double r[4] = {1, 1, 1, 1};
    EXPECT_EQ(set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]), TM_OK);
    EXPECT_EQ(r[0], 0.0);
    EXPECT_EQ(r[3], 0.0);
    EXPECT_EQ(set.ComputeUserCoordRange(100, 100), TM_OK);
    double a, b;
    EXPECT_NE(set.GetCoordinateA(&a, &b, 1.0, 2.0, true), TM_OK);
}

TEST(TiemarkStorage, InsertDeleteAndReadByOneBasedIndex) {
    CCtrlPntSet set;
    _CtrlPntStrcT a = Point(1, 1, "a"), b = Point(2, 2, "b"), c = Point(3, 3, "c");
    ASSERT_EQ(set.AddOneGcp(1, &a), TM_OK);
    ASSERT_EQ(set.AddOneGcp(2, &c), TM_OK);
    ASSERT_EQ(set.AddOneGcp(2, &b), TM_OK);  // between a and c
    _CtrlPntStrcT got;
    const char* expected[] = {"a", "b", "c"};
    for (unsigned long i = 1; i <= 3; ++i) {
        ASSERT_EQ(set.GetOneGCP(i, &got), TM_OK);
        EXPECT_STREQ(got.Name, expected[i - 1]);
        EXPECT_EQ(got.PixelX, static_cast<double>(i));
        EXPECT_EQ(got.UserZ, 10.0);
    }
    ASSERT_EQ(set.DeleteOneGCP(1), TM_OK);
    ASSERT_EQ(set.GetOneGCP(1, &got), TM_OK);
    EXPECT_STREQ(got.Name, "b");
    _CtrlPntStrcT d = Point(9, 9, "d");
    d.Id = 77;
    ASSERT_EQ(set.UpdateOneGCP(2, &d), TM_OK);
    ASSERT_EQ(set.GetOneGCP(2, &got), TM_OK);
    EXPECT_STREQ(got.Name, "d");
    EXPECT_EQ(got.Id, 77);
    unsigned long n = 0;
    set.GetGCPNum(&n);
    EXPECT_EQ(n, 2u);
}

TEST(TiemarkStorage, FlagsAreKeptPerPoint) {
    CCtrlPntSet set;
    Fill(set, 4);
    ASSERT_EQ(set.SetOneGcpUseOnOff(2, false), TM_OK);
    ASSERT_EQ(set.SetOneGCPEditOnOff(3, false), TM_OK);
    for (unsigned long i = 1; i <= 4; ++i) {
        bool use = false, edit = false;
        ASSERT_EQ(set.GetOneGcpUseOnOff(i, &use), TM_OK);
        ASSERT_EQ(set.GetOneGCPEditOnOff(i, &edit), TM_OK);
        EXPECT_EQ(use, i != 2) << i;
        EXPECT_EQ(edit, i != 3) << i;
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(i, &p), TM_OK);
        EXPECT_EQ(p.UseFlag, i != 2 ? 1 : 0);
        EXPECT_EQ(p.EditFlag, i != 3 ? 1 : 0);
    }
    // A flag byte other than 0/1 in a caller's record means "on" and is stored as 1.
    _CtrlPntStrcT odd = Point(500, 500);
    odd.UseFlag = 7;
    odd.EditFlag = 0;
    ASSERT_EQ(set.AddOneGcp(5, &odd), TM_OK);
    _CtrlPntStrcT p;
    ASSERT_EQ(set.GetOneGCP(5, &p), TM_OK);
    EXPECT_EQ(p.UseFlag, 1);
    EXPECT_EQ(p.EditFlag, 0);
}

TEST(TiemarkStorage, RefusalsLeaveTheSetUnchanged) {
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_UP, TM_TRANS_POLY1), TM_OK);
    Fill(set, 5);
    ASSERT_EQ(set.SetOneGcpUseOnOff(4, false), TM_OK);
    ASSERT_EQ(set.SetUserCoordRange(1, 2, 3, 4), TM_OK);
    const SetSnapshot before = SetSnapshot::Of(set);
    ASSERT_EQ(before.fitStatus, TM_OK);

    _CtrlPntStrcT good = Point(7, 8);
    _CtrlPntStrcT p;
    bool flag;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(set.AddOneGcp(0, &good), TM_ERR_INDEX);
    EXPECT_EQ(set.AddOneGcp(7, &good), TM_ERR_INDEX);
    EXPECT_EQ(set.AddOneGcp(1, nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.DeleteOneGCP(0), TM_ERR_INDEX);
    EXPECT_EQ(set.DeleteOneGCP(6), TM_ERR_INDEX);
    EXPECT_EQ(set.GetOneGCP(6, &p), TM_ERR_INDEX);
    EXPECT_EQ(set.GetOneGCP(1, nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.UpdateOneGCP(0, &good), TM_ERR_INDEX);
    EXPECT_EQ(set.UpdateOneGCP(6, &good), TM_ERR_INDEX);
    EXPECT_EQ(set.UpdateOneGCP(1, nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.SetOneGcpUseOnOff(6, true), TM_ERR_INDEX);
    EXPECT_EQ(set.SetOneGCPEditOnOff(0, true), TM_ERR_INDEX);
    EXPECT_EQ(set.GetOneGcpUseOnOff(6, &flag), TM_ERR_INDEX);
    EXPECT_EQ(set.GetOneGCPEditOnOff(1, nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.GetOneGcpUseOnOff(1, nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.InitPntSet(2, TM_TRANS_POLY1), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, 0), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, 7), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.SetTransType(-1), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.SetOrientType(5), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.SetUserCoordRange(0, nan, 1, 1), TM_ERR_NOT_FINITE);
    EXPECT_EQ(set.CopyPntSet(nullptr), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.GetUserCoordRange(nullptr, &p.UserX, &p.UserY, &p.UserZ), TM_ERR_ARGUMENT);
    for (int field = 0; field < 5; ++field) {
        for (double bad : {nan, inf, -inf}) {
            _CtrlPntStrcT q = Point(11, 12);
            (&q.PixelX)[field] = bad;
            EXPECT_EQ(set.AddOneGcp(1, &q), TM_ERR_NOT_FINITE) << field;
            EXPECT_EQ(set.UpdateOneGCP(2, &q), TM_ERR_NOT_FINITE) << field;
        }
    }
    _CtrlPntStrcT unterminated = Point(1, 2);
    std::memset(unterminated.Name, 'x', sizeof(unterminated.Name));
    EXPECT_EQ(set.AddOneGcp(1, &unterminated), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.UpdateOneGCP(1, &unterminated), TM_ERR_ARGUMENT);
    double a, b;
    EXPECT_EQ(set.GetCoordinateA(nullptr, &b, 1, 1, true), TM_ERR_ARGUMENT);
    EXPECT_EQ(set.GetCoordinateA(&a, &b, nan, 1, true), TM_ERR_NOT_FINITE);
    EXPECT_EQ(set.GetCoordinateA(&a, &b, 1, inf, false), TM_ERR_NOT_FINITE);

    EXPECT_TRUE(SetSnapshot::Of(set) == before);
}

TEST(TiemarkStorage, EmptySetRefusesIndexedCallsWithoutChange) {
    CCtrlPntSet set;
    _CtrlPntStrcT p = Point(1, 1);
    EXPECT_EQ(set.AddOneGcp(2, &p), TM_ERR_INDEX);
    p.PixelX = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(set.AddOneGcp(1, &p), TM_ERR_NOT_FINITE);
    EXPECT_EQ(set.DeleteOneGCP(1), TM_ERR_INDEX);
    EXPECT_EQ(set.GetOneGCP(1, &p), TM_ERR_INDEX);
    EXPECT_EQ(set.SetOneGcpUseOnOff(1, true), TM_ERR_INDEX);
    unsigned long n = 5;
    set.GetGCPNum(&n);
    EXPECT_EQ(n, 0u);
}

TEST(TiemarkStorage, InitKeepsGroupNumberAndEmptiesTheSet) {
    CCtrlPntSet set;
    set.SetGroupNo(4);
    Fill(set, 3);
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_UP, TM_TRANS_TPS), TM_OK);
    unsigned long n = 9;
    short o, t;
    set.GetGCPNum(&n);
    set.GetOrientType(&o);
    set.GetTransType(&t);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(o, TM_ORIENT_LINE_UP);
    EXPECT_EQ(t, TM_TRANS_TPS);
    EXPECT_EQ(set.GetGroupNo(), 4);
    ASSERT_EQ(set.SetTransType(TM_TRANS_POLY2), TM_OK);
    set.GetTransType(&t);
    EXPECT_EQ(t, TM_TRANS_POLY2);
    bool linear = true;
    ASSERT_EQ(set.IsLinearConvert(linear), TM_OK);
    EXPECT_FALSE(linear);
    for (short type : {TM_TRANS_POLY1, TM_TRANS_SIMILARITY}) {
        ASSERT_EQ(set.SetTransType(type), TM_OK);
        ASSERT_EQ(set.IsLinearConvert(linear), TM_OK);
        EXPECT_TRUE(linear) << type;
    }
}

TEST(TiemarkStorage, CopyIsDeepAndIndependent) {
    CCtrlPntSet source;
    source.SetGroupNo(3);
    ASSERT_EQ(source.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_SIMILARITY), TM_OK);
    Fill(source, 4);
    ASSERT_EQ(source.SetUserCoordRange(-1, -2, 3, 4), TM_OK);
    const SetSnapshot original = SetSnapshot::Of(source);

    CCtrlPntSet copy;
    ASSERT_EQ(copy.CopyPntSet(&source), TM_OK);
    EXPECT_TRUE(SetSnapshot::Of(copy) == original);
    EXPECT_EQ(copy.GetGroupNo(), 3);

    // Editing either side leaves the other alone.
    ASSERT_EQ(copy.DeleteOneGCP(1), TM_OK);
    _CtrlPntStrcT q = Point(42, 43, "new");
    ASSERT_EQ(source.UpdateOneGCP(2, &q), TM_OK);
    unsigned long n = 0;
    copy.GetGCPNum(&n);
    EXPECT_EQ(n, 3u);
    _CtrlPntStrcT got;
    ASSERT_EQ(copy.GetOneGCP(1, &got), TM_OK);
    EXPECT_NE(std::strcmp(got.Name, "new"), 0);

    // Copy onto itself changes nothing; copying an empty set empties the target.
    const SetSnapshot edited = SetSnapshot::Of(source);
    ASSERT_EQ(source.CopyPntSet(&source), TM_OK);
    EXPECT_TRUE(SetSnapshot::Of(source) == edited);
    CCtrlPntSet empty;
    ASSERT_EQ(copy.CopyPntSet(&empty), TM_OK);
    copy.GetGCPNum(&n);
    EXPECT_EQ(n, 0u);
}

TEST(TiemarkStorage, RawRecordBytesMakeTheSamePoint) {
    CCtrlPntSet set;
    Fill(set, 6);
    ASSERT_EQ(set.SetOneGcpUseOnOff(2, false), TM_OK);
    ASSERT_EQ(set.SetOneGCPEditOnOff(5, false), TM_OK);
    // Every record out through a byte buffer, as a file or database would hold it.
    std::vector<char> buffer(6 * sizeof(_CtrlPntStrcT));
    for (unsigned long i = 1; i <= 6; ++i) {
        _CtrlPntStrcT p;
        ASSERT_EQ(set.GetOneGCP(i, &p), TM_OK);
        std::memcpy(buffer.data() + (i - 1) * sizeof(p), &p, sizeof(p));
    }
    CCtrlPntSet fresh;
    for (unsigned long i = 1; i <= 6; ++i) {
        _CtrlPntStrcT p;
        std::memcpy(&p, buffer.data() + (i - 1) * sizeof(p), sizeof(p));
        ASSERT_EQ(fresh.AddOneGcp(i, &p), TM_OK);
    }
    EXPECT_TRUE(SetSnapshot::Of(fresh) == SetSnapshot::Of(set));
}

}  // namespace
