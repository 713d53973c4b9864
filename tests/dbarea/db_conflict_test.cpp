// The database area never saves over another writer's save: what another
// connection may do to the record between an area's open and its close, and
// which of those the close must refuse.  Lodestor calls are counted on their
// way to the real raster area (CountingLodestor.h).
#include "AreaObserver.h"
#include "CountingLodestor.h"
#include "Morvane.h"
#include "RasteBaseArea.h"
#include "RecordKit.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using dbarea_test::Bytes;
using dbarea_test::Calls;
using dbarea_test::RecordWriter;
using dbarea_test::ResetCalls;
using dbarea_test::SameRecord;
using dbarea_test::TestPoint;

namespace {

constexpr long kKey = 4;
constexpr char kConflict[] = "another writer changed record 4 since the area was opened; the groups were not saved";

// One group of `count` points, first .. first + count - 1.
Bytes OneGroup(int first, int count) {
    RecordWriter writer;
    writer.U32(1).Header(1, static_cast<std::uint32_t>(count), 0, 1, 0, 0, 1, 1);
    for (int i = 0; i < count; ++i) writer.Point(TestPoint(first + i));
    return writer.bytes();
}

class DbConflict : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        ASSERT_TRUE(mine_.Open(db_.c_str(), "scene")) << mine_.LastError();
        ASSERT_TRUE(theirs_.Open(db_.c_str(), "scene")) << theirs_.LastError();
        ResetCalls();
    }

    std::uint64_t VersionNow() {
        std::uint32_t size = 0;
        std::uint64_t version = 0;
        EXPECT_TRUE(theirs_.RecordState(kKey, size, version)) << theirs_.LastError();
        return version;
    }
    bool Exists() {
        std::vector<long> keys;
        EXPECT_TRUE(theirs_.RecordKeys(keys));
        return std::find(keys.begin(), keys.end(), kKey) != keys.end();
    }
    Bytes Stored() {
        std::uint32_t size = 0;
        EXPECT_TRUE(theirs_.RecordSize(kKey, size));
        Bytes bytes(size);
        EXPECT_TRUE(theirs_.ReadRecord(kKey, bytes.data(), size));
        return bytes;
    }
    // Another connection's unconditional write, as an older program makes it.
    void TheyWrite(const Bytes& bytes) {
        ASSERT_TRUE(theirs_.WriteRecord(kKey, bytes.data(), static_cast<std::uint32_t>(bytes.size())))
            << theirs_.LastError();
    }

    // Opens kKey through mine_, then adds point `point` as the last one of
    // group 1 (creating the group in an empty area).
    void OpenAndAddPoint(CDB_Morvane& area, int point) {
        ASSERT_EQ(1, area.OpenGCPArea(&mine_, kKey, 0, 0)) << area.GetLastError();
        unsigned long groups = 0;
        ASSERT_EQ(1, area.GetGCPGroupNum(groups));
        if (groups == 0) {
            ASSERT_EQ(1, area.CreateGCPGroup(1));
        }
        ASSERT_EQ(1, area.OpenGCPGroup(1));
        unsigned long points = 0;
        ASSERT_EQ(1, area.GetGCPNum(points));
        _CtrlPntStrcT p = TestPoint(point);
        area.AddOneGCP(points + 1, &p);
        ASSERT_EQ(1, area.CloseGCPGroup());
    }

    static unsigned long PointsOfGroupOne(CDB_Morvane& area) {
        unsigned long points = 0;
        EXPECT_EQ(1, area.OpenGCPGroup(1));
        EXPECT_EQ(1, area.GetGCPNum(points));
        EXPECT_EQ(1, area.CloseGCPGroup());
        return points;
    }

    lodestor_test::TempDir dir_;
    std::string db_ = dir_.File("raster.db");
    CRasteBaseArea mine_, theirs_;
};

enum class Meanwhile {
    kNothing,
    kRewriteSameBytes,      // a new version of the same content
    kRewriteOther,
    kDelete,
    kDeleteAndRewriteSame,  // the same bytes again, under a version never used before
    kCreate,
    kCreateEmpty,
    kCreateAndDelete,       // no record again, as at the open
};

struct MeanwhileCase {
    const char* label;
    bool recordAtOpen;
    Meanwhile meanwhile;
    bool saves;  // else the close is refused as a conflict
};

void PrintTo(const MeanwhileCase& c, std::ostream* out) { *out << c.label; }

class WhatAnotherWriterDid : public DbConflict, public ::testing::WithParamInterface<MeanwhileCase> {};

TEST_P(WhatAnotherWriterDid, DecidesWhetherTheCloseMaySave) {
    const MeanwhileCase& c = GetParam();
    const Bytes atOpen = OneGroup(1, 3);
    if (c.recordAtOpen) TheyWrite(atOpen);
    CDB_Morvane area;
    OpenAndAddPoint(area, 50);
    switch (c.meanwhile) {
        case Meanwhile::kNothing: break;
        case Meanwhile::kRewriteSameBytes: TheyWrite(atOpen); break;
        case Meanwhile::kRewriteOther: TheyWrite(OneGroup(20, 5)); break;
        case Meanwhile::kDelete: ASSERT_TRUE(theirs_.DeleteRecord(kKey)); break;
        case Meanwhile::kDeleteAndRewriteSame:
            ASSERT_TRUE(theirs_.DeleteRecord(kKey));
            TheyWrite(atOpen);
            break;
        case Meanwhile::kCreate: TheyWrite(OneGroup(20, 5)); break;
        case Meanwhile::kCreateEmpty: TheyWrite(Bytes()); break;
        case Meanwhile::kCreateAndDelete:
            TheyWrite(OneGroup(20, 5));
            ASSERT_TRUE(theirs_.DeleteRecord(kKey));
            break;
    }
    const bool existedBefore = Exists();
    const Bytes before = existedBefore ? Stored() : Bytes();
    const std::uint64_t versionBefore = VersionNow();
    const unsigned long pointsHeld = PointsOfGroupOne(area);

    ResetCalls();
    const short closed = area.CloseGCPArea();
    EXPECT_EQ(0, Calls().unconditionalWrites) << "the area saved without its version";
    if (c.saves) {
        ASSERT_EQ(1, closed) << area.GetLastError();
        EXPECT_STREQ("", area.GetLastError());
        CDB_Morvane again;
        ASSERT_EQ(1, again.OpenGCPArea(&mine_, kKey, 0, 0));
        EXPECT_EQ(pointsHeld, PointsOfGroupOne(again));
        return;
    }
    EXPECT_EQ(0, closed);
    EXPECT_STREQ(kConflict, area.GetLastError());
    EXPECT_EQ(existedBefore, Exists());
    EXPECT_EQ(before, existedBefore ? Stored() : Bytes()) << "the refused save wrote";
    EXPECT_EQ(versionBefore, VersionNow());
    // The groups stay, as after any failed save; closing again is refused
    // again, since the record is still another writer's.
    EXPECT_TRUE(morvane::test::HoldsGroups(area));
    EXPECT_EQ(pointsHeld, PointsOfGroupOne(area));
    EXPECT_EQ(0, area.CloseGCPArea());
    EXPECT_STREQ(kConflict, area.GetLastError());
    // The way on: drop the groups, open again, repeat the edit.
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    ASSERT_EQ(1, area.SetChangeFlag(false));
    ASSERT_EQ(1, area.CloseGCPGroup());
    ASSERT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(versionBefore, VersionNow());
    OpenAndAddPoint(area, 50);
    ASSERT_EQ(1, area.CloseGCPArea()) << area.GetLastError();
}

const MeanwhileCase kMeanwhileCases[] = {
    {"RecordUntouched", true, Meanwhile::kNothing, true},
    {"RecordRewrittenWithTheSameBytes", true, Meanwhile::kRewriteSameBytes, false},
    {"RecordRewritten", true, Meanwhile::kRewriteOther, false},
    {"RecordDeleted", true, Meanwhile::kDelete, false},
    {"RecordDeletedAndWrittenAgainAlike", true, Meanwhile::kDeleteAndRewriteSame, false},
    {"NoRecordAndNoneMade", false, Meanwhile::kNothing, true},
    {"NoRecordAndOneMade", false, Meanwhile::kCreate, false},
    {"NoRecordAndAnEmptyOneMade", false, Meanwhile::kCreateEmpty, false},
    {"NoRecordAndOneMadeAndDeleted", false, Meanwhile::kCreateAndDelete, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, WhatAnotherWriterDid, ::testing::ValuesIn(kMeanwhileCases),
                         [](const auto& info) { return std::string(info.param.label); });

// Another writer may replace the record just before the area reads it,
// with the same length or another: the load gets that writer's bytes whole
// and must remember their version, or it would refuse its own save for
// nothing.
TEST_F(DbConflict, RecordReplacedBetweenSizeQueryAndReadIsLoadedWithItsOwnVersion) {
    TheyWrite(OneGroup(1, 3));
    Calls().beforeRead = [&] { TheyWrite(OneGroup(101, 3)); };
    CDB_Morvane area;
    OpenAndAddPoint(area, 50);
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    _CtrlPntStrcT first;
    ASSERT_EQ(1, area.GetOneGCP(1, &first));
    EXPECT_TRUE(SameRecord(TestPoint(101), first)) << "the load did not get the newer bytes";
    ASSERT_EQ(1, area.CloseGCPGroup());
    const std::uint64_t loaded = VersionNow();
    ResetCalls();
    ASSERT_EQ(1, area.CloseGCPArea()) << area.GetLastError();
    EXPECT_EQ(std::vector<std::uint64_t>{loaded}, Calls().expectedVersions);

    // Replaced by a record of another length: size and bytes are read
    // together, so the load gets the newer record whole.
    Calls().beforeRead = [&] { TheyWrite(OneGroup(201, 6)); };  // not 4 points: 528 bytes, as now
    CDB_Morvane late;
    ASSERT_EQ(1, late.OpenGCPArea(&mine_, kKey, 0, 0)) << late.GetLastError();
    ASSERT_EQ(1, late.OpenGCPGroup(1));
    unsigned long count = 0;
    ASSERT_EQ(1, late.GetGCPNum(count));
    EXPECT_EQ(6u, count);
    ASSERT_EQ(1, late.GetOneGCP(1, &first));
    EXPECT_TRUE(SameRecord(TestPoint(201), first));
    ASSERT_EQ(1, late.CloseGCPGroup());
    ASSERT_EQ(1, late.CloseGCPArea()) << late.GetLastError();
}

}  // namespace
