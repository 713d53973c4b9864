// CDB_Morvane against real raster databases, a SQLite file and a PostgreSQL
// schema: opening, loading, saving and the refusals around them.  Lodestor
// calls are counted on their way to the real raster area
// (CountingLodestor.h).
#include "AreaObserver.h"
#include "CountingLodestor.h"
#include "Morvane.h"
#include "RasteBaseArea.h"
#include "RecordKit.h"
#include "TestBackend.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using dbarea_test::Bytes;
using dbarea_test::Calls;
using dbarea_test::RecordWriter;
using dbarea_test::ResetCalls;
using dbarea_test::SameRecord;
using dbarea_test::TestPoint;
using dbarea_test::U32At;
using dbarea_test::WithoutErrorContexts;
using lodestor_test::Backend;
using morvane::test::ExpectedProbeRange;
using morvane::test::GroupBound;
using morvane::test::HoldsGroups;
using morvane::test::Observation;
using morvane::test::Observe;
using morvane::test::ProbeRange;

namespace {

class DbArea : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        SKIP_UNLESS_AVAILABLE(databases_);
        db_ = databases_.Location();
        ASSERT_TRUE(raster_.Open(db_.c_str(), "scene")) << raster_.LastError();
        ResetCalls();
    }

    // Stores and fetches records directly, without counting.
    void Store(long key, const Bytes& bytes) {
        ASSERT_TRUE(raster_.WriteRecord(key, bytes.data(), static_cast<std::uint32_t>(bytes.size())))
            << raster_.LastError();
    }
    Bytes Stored(long key) {
        std::uint32_t size = 0;
        EXPECT_TRUE(raster_.RecordSize(key, size)) << raster_.LastError();
        Bytes bytes(size);
        EXPECT_TRUE(raster_.ReadRecord(key, bytes.data(), size)) << raster_.LastError();
        return bytes;
    }

    // Two groups numbered as given, holding points 1-2 and 3, with distinct
    // types and ranges.
    static Bytes TwoGroups(std::int32_t firstNo, std::int32_t secondNo) {
        return RecordWriter()
            .U32(2)
            .Header(firstNo, 2, 0, 1, 10.0, 20.0, 30.0, 40.0)
            .Point(TestPoint(1))
            .Point(TestPoint(2))
            .Header(secondNo, 1, 1, 4, -5.0, -6.0, 7.0, 8.0)
            .Point(TestPoint(3))
            .bytes();
    }

    static unsigned long GroupCount(CDB_Morvane& area) {
        unsigned long count = 999;
        EXPECT_EQ(1, area.GetGCPGroupNum(count));
        return count;
    }
    static unsigned long PointCount(CDB_Morvane& area, unsigned long groupNo) {
        unsigned long count = 999;
        EXPECT_EQ(1, area.OpenGCPGroup(groupNo));
        EXPECT_EQ(1, area.GetGCPNum(count));
        EXPECT_EQ(1, area.CloseGCPGroup());
        return count;
    }

    lodestor_test::TestDatabases databases_{GetParam()};
    std::string db_;
    CRasteBaseArea raster_;
};

TEST_P(DbArea, KeyZeroOrOutOfRangeKeyIsRefusedWithoutAnyCall) {
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 3, 100, 200));
    ASSERT_EQ(1, area.CloseGCPArea());
    ResetCalls();

    EXPECT_EQ(0, area.OpenGCPArea(&raster_, 0, 7, 8));
    EXPECT_STREQ("record key 0 names no record", area.GetLastError());
    EXPECT_EQ(0, Calls().total());
    // Closed after use still: no groups, and the close answers 1.
    unsigned long count = 0;
    EXPECT_EQ(0, area.GetGCPGroupNum(count));
    EXPECT_EQ(0, area.CreateGCPGroup(1));
    EXPECT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(0, Calls().total());

#if LONG_MAX > 2147483647L  // not where `long` has 32 bits (Windows): no such key there
    // A key that does not fit 32 bits would otherwise address another record.
    Store(5, TwoGroups(1, 2));
    const Observation before = Observe(area);
    EXPECT_EQ(0, area.OpenGCPArea(&raster_, (1L << 32) + 5, 0, 0));
    EXPECT_STREQ("record key 4294967301 does not fit in 32 bits", area.GetLastError());
    EXPECT_EQ(0, area.OpenGCPArea(&raster_, 5, 1L << 31, 0));
    EXPECT_STREQ("range argument 1 (2147483648) does not fit in 32 bits", area.GetLastError());
    EXPECT_EQ(before, Observe(area));
    EXPECT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(0, Calls().total());
#endif
}

TEST_P(DbArea, EmptyOrMissingRecordOpensWithoutGroupsAndWithoutRead) {
    Store(1, TwoGroups(1, 2));
    Store(2, Bytes{});
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(2u, GroupCount(area));
    ASSERT_EQ(1, area.CloseGCPArea());

    for (long key : {2L, 77L}) {  // an empty record, and a key without record
        ResetCalls();
        ASSERT_EQ(1, area.OpenGCPArea(&raster_, key, 0, 0)) << key;
        EXPECT_EQ(1, Calls().sizeQueries);
        EXPECT_EQ(0, Calls().reads);
        EXPECT_EQ(0u, GroupCount(area));
        EXPECT_EQ(0u, GroupBound(area));
        EXPECT_EQ(0, area.OpenGCPGroup(1));
        // Nothing changed, so closing writes nothing.
        EXPECT_EQ(1, area.CloseGCPArea());
        EXPECT_EQ(0, Calls().writes);
    }
}

TEST_P(DbArea, FourByteRecordOfCountZeroOpensWithoutGroups) {
    Store(4, Bytes{0, 0, 0, 0});
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 4, 0, 0));
    EXPECT_EQ(1, Calls().sizeQueries);
    EXPECT_EQ(1, Calls().reads);
    EXPECT_EQ(0u, GroupCount(area));
    EXPECT_EQ(0u, GroupBound(area));
    EXPECT_EQ(0, area.OpenGCPGroup(1));
}

TEST_P(DbArea, FailedSizeQueryOrReadLeavesNoListAndFormerRanges) {
    Store(1, TwoGroups(1, 2));
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 11, 12));
    ASSERT_EQ(1, area.CloseGCPArea());

    ResetCalls();
    EXPECT_EQ(0, area.OpenGCPArea(nullptr, 1, 21, 22));
    EXPECT_STREQ("no raster area given", area.GetLastError());
    EXPECT_EQ(1, Calls().sizeQueries);
    EXPECT_EQ(1, area.CloseGCPArea());
    EXPECT_STREQ("", area.GetLastError());

    CRasteBaseArea closed;  // refuses the size query that starts the read
    ResetCalls();
    EXPECT_EQ(0, area.OpenGCPArea(&closed, 1, 21, 22));
    // The area's reason, then the database's own.
    EXPECT_STREQ("the raster database refused the read of record 1: reading a record refused: the raster area "
                 "is not open",
                 area.GetLastError());
    EXPECT_EQ(1, Calls().sizeQueries);
    EXPECT_EQ(0, Calls().reads);
    EXPECT_FALSE(HoldsGroups(area));
    EXPECT_EQ(1, area.CloseGCPArea());

    ResetCalls();
    Calls().failReads = 1;
    EXPECT_EQ(0, area.OpenGCPArea(&raster_, 1, 31, 32));
    EXPECT_STREQ("the raster database refused the read of record 1", area.GetLastError());
    EXPECT_EQ(1, Calls().reads);
    EXPECT_FALSE(HoldsGroups(area));
    EXPECT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(0, Calls().writes);

    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 41, 42));  // open may be tried again
    EXPECT_STREQ("", area.GetLastError());
    EXPECT_EQ(2u, GroupCount(area));
    EXPECT_EQ(ProbeRange(area), ExpectedProbeRange(41, 42));
}

TEST_P(DbArea, GroupsNumberedFiveAndNineLoadAsOneAndTwoAndSaveSo) {
    Store(1, TwoGroups(5, 9));
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(2u, GroupCount(area));
    EXPECT_EQ(2u, PointCount(area, 1));
    EXPECT_EQ(1u, PointCount(area, 2));

    ASSERT_EQ(1, area.OpenGCPGroup(2));
    _CtrlPntStrcT point;
    ASSERT_EQ(1, area.GetOneGCP(1, &point));
    EXPECT_TRUE(SameRecord(TestPoint(3), point));
    short orient = -1, trans = -1;
    ASSERT_EQ(1, area.GetGCPGroupType(orient, trans));
    EXPECT_EQ(1, orient);
    EXPECT_EQ(4, trans);
    double range[4];
    ASSERT_EQ(1, area.GetGCPCoordRect(range[0], range[1], range[2], range[3]));
    EXPECT_EQ((std::vector<double>{-5.0, -6.0, 7.0, 8.0}), std::vector<double>(range, range + 4));

    ASSERT_EQ(1, area.SetChangeFlag(true));
    ResetCalls();
    ASSERT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(1, Calls().writes);
    EXPECT_EQ(TwoGroups(1, 2), WithoutErrorContexts(Stored(1)));
}

TEST_P(DbArea, BytesAfterTheStreamAreIgnoredAndTheSaveWritesExactLength) {
    const Bytes stream = TwoGroups(1, 2);
    Store(1, RecordWriter().Raw(stream).U32(0xFFFFFFFF).U32(12345).bytes());
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    EXPECT_EQ(2u, GroupCount(area));
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    ASSERT_EQ(1, area.SetChangeFlag(true));
    ASSERT_EQ(1, area.CloseGCPArea());
    ASSERT_EQ(1u, Calls().writeLengths.size());
    EXPECT_EQ(stream.size(), Calls().writeLengths[0]);
    EXPECT_EQ(stream, WithoutErrorContexts(Stored(1)));
}

TEST_P(DbArea, PointCountWithTopBitSetGivesGroupWithoutPoints) {
    Store(1, RecordWriter()
                 .U32(2)
                 .Header(1, 0x80000000u, 0, 1, 0, 0, 1, 1)
                 .Header(2, 1, 0, 1, 0, 0, 1, 1)
                 .Point(TestPoint(8))
                 .bytes());
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(2u, GroupCount(area));
    EXPECT_EQ(0u, PointCount(area, 1));
    EXPECT_EQ(1u, PointCount(area, 2));
}

TEST_P(DbArea, NewGroupOnEmptyRecordIsSavedAsOneWriteOf48Bytes) {
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 9, 0, 0));
    ASSERT_EQ(1, area.CreateGCPGroup(1));
    ResetCalls();
    ASSERT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(1, Calls().total());
    ASSERT_EQ((std::vector<std::uint32_t>{48}), Calls().writeLengths);
    const Bytes stored = Stored(9);
    ASSERT_EQ(48u, stored.size());
    EXPECT_EQ(1u, U32At(stored, 0));  // group count
    EXPECT_EQ(1u, U32At(stored, 4));  // group number
    EXPECT_EQ(0u, U32At(stored, 8));  // point count
    EXPECT_EQ(1, area.CloseGCPArea());
    EXPECT_EQ(1, Calls().writes) << "a second close wrote again";
}

TEST_P(DbArea, GroupsOfThreeAndNoPointsSaveAs452BytesAndLoadBack) {
    {
        CDB_Morvane area;
        ASSERT_EQ(1, area.OpenGCPArea(&raster_, 3, 0, 0));
        ASSERT_EQ(1, area.CreateGCPGroup(1));
        ASSERT_EQ(1, area.OpenGCPGroup(1));
        for (int i = 1; i <= 3; ++i) {
            _CtrlPntStrcT p = TestPoint(i);
            area.AddOneGCP(i, &p);
        }
        ASSERT_EQ(1, area.CloseGCPGroup());
        ASSERT_EQ(1, area.CreateGCPGroup(2));
        ASSERT_EQ(1, area.CloseGCPArea());
    }
    EXPECT_EQ((std::vector<std::uint32_t>{452}), Calls().writeLengths);
    EXPECT_EQ(452u, Stored(3).size());

    CDB_Morvane again;
    ASSERT_EQ(1, again.OpenGCPArea(&raster_, 3, 0, 0));
    ASSERT_EQ(2u, GroupCount(again));
    EXPECT_EQ(0u, PointCount(again, 2));
    ASSERT_EQ(1, again.OpenGCPGroup(1));
    for (int i = 1; i <= 3; ++i) {
        _CtrlPntStrcT p;
        ASSERT_EQ(1, again.GetOneGCP(i, &p));
        EXPECT_TRUE(SameRecord(TestPoint(i), p)) << i;
    }
}

TEST_P(DbArea, FailedWriteKeepsGroupsAndOldRecordForRetry) {
    const Bytes old = TwoGroups(1, 2);
    Store(1, old);
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    for (int i = 0; i < 3000; ++i) {  // far more than the pages left below
        _CtrlPntStrcT p = TestPoint(100 + i);
        area.AddOneGCP(1, &p);
    }
    ASSERT_EQ(1, area.CloseGCPGroup());
    ASSERT_TRUE(raster_.LimitDatabaseSize(0));

    ResetCalls();
    EXPECT_EQ(0, area.CloseGCPArea());
    const std::string refused = "the raster database refused the write of record 1: ";
    EXPECT_EQ(refused + raster_.LastError(), area.GetLastError());
    EXPECT_EQ(1, Calls().writes);
    EXPECT_NE(std::string(area.GetLastError()).find("full"), std::string::npos) << area.GetLastError();
    EXPECT_TRUE(HoldsGroups(area));
    EXPECT_EQ(2u, GroupCount(area));
    EXPECT_EQ(3002u, PointCount(area, 1));
    EXPECT_EQ(old, Stored(1));
    // Opening another record must not drop the unsaved groups either.
    EXPECT_EQ(0, area.OpenGCPArea(&raster_, 2, 0, 0));
    EXPECT_EQ(0u, std::string(area.GetLastError())
                      .rfind("not opened, since the groups held before cannot be saved: " + refused, 0))
        << area.GetLastError();
    EXPECT_EQ(0, Calls().sizeQueries);
    EXPECT_EQ(3002u, PointCount(area, 1));

    ASSERT_TRUE(raster_.LimitDatabaseSize(std::uint64_t(1) << 40));
    ASSERT_EQ(1, area.CloseGCPArea());
    EXPECT_STREQ("", area.GetLastError());
    EXPECT_EQ(4 + 44 + 3002 * 120 + 44 + 120, Stored(1).size());
}

TEST_P(DbArea, RecordCutAtEveryLengthFailsTheLoadWithoutWriteBack) {
    const Bytes full = RecordWriter()
                           .U32(2)
                           .Header(1, 3, 0, 1, 0, 0, 1, 1)
                           .Point(TestPoint(1))
                           .Point(TestPoint(2))
                           .Point(TestPoint(3))
                           .Header(2, 1, 0, 1, 0, 0, 1, 1)
                           .Point(TestPoint(4))
                           .bytes();
    ASSERT_EQ(572u, full.size());
    for (std::size_t length = 0; length <= full.size(); ++length) {
        Store(10, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
        CDB_Morvane area;
        ResetCalls();
        const short opened = area.OpenGCPArea(&raster_, 10, 0, 0);
        const bool whole = length == 0 || length == full.size();
        ASSERT_EQ(whole ? 1 : 0, opened) << "record cut to " << length << " bytes";
        if (!whole) {
            // Where it ends: the count, a header (at 4 and 408) or a point.
            const char* inside = length < 4     ? "the group count"
                                 : length < 48  ? "the header of group 1 of 2"
                                 : length < 408 ? "point "
                                 : length < 452 ? "the header of group 2 of 2"
                                                : "point 1 of group 2 of 2";
            const std::string reason = area.GetLastError();
            EXPECT_EQ(0u, reason.rfind(std::string("record 10 is damaged: it ends inside ") + inside, 0))
                << length << ": " << reason;
            EXPECT_FALSE(HoldsGroups(area)) << length;
            ASSERT_EQ(1, area.CloseGCPArea());
            EXPECT_EQ(0, Calls().writes) << length;
        }
    }
}

TEST_P(DbArea, RecordOfMegabytesLoadsAndSavesWholeAndFailsWhenCutByOneByte) {
    RecordWriter writer;
    writer.U32(2).Header(1, 20000, 0, 1, 0, 0, 1, 1);
    for (int i = 0; i < 20000; ++i) writer.Point(TestPoint(1000 + i));
    writer.Header(2, 1, 0, 1, 0, 0, 1, 1).Point(TestPoint(7));
    const Bytes full = writer.bytes();
    ASSERT_GT(full.size(), std::size_t(2) << 20);

    Store(1, Bytes(full.begin(), full.end() - 1));
    CDB_Morvane area;
    EXPECT_EQ(0, area.OpenGCPArea(&raster_, 1, 0, 0));

    Store(1, full);
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    EXPECT_EQ(20000u, PointCount(area, 1));
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    _CtrlPntStrcT p;
    ASSERT_EQ(1, area.GetOneGCP(20000, &p));
    EXPECT_TRUE(SameRecord(TestPoint(1000 + 19999), p));
    ASSERT_EQ(1, area.SetChangeFlag(true));
    ResetCalls();
    ASSERT_EQ(1, area.CloseGCPArea());
    ASSERT_EQ((std::vector<std::uint32_t>{static_cast<std::uint32_t>(full.size())}),
              Calls().writeLengths);
    EXPECT_EQ(full, WithoutErrorContexts(Stored(1)));
}

TEST_P(DbArea, ReopeningWithAnotherKeyLoadsItAndKeepsFlags) {
    Store(1, TwoGroups(1, 2));
    Store(2, RecordWriter().U32(1).Header(1, 1, 0, 1, 0, 0, 1, 1).Point(TestPoint(6)).bytes());
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    ASSERT_EQ(1, area.SetChangeFlag(false));
    ASSERT_EQ(1, area.CloseGCPArea());
    ResetCalls();
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 2, 0, 0));
    EXPECT_EQ((std::vector<long>{2, 2}), Calls().keys);
    unsigned long current = 0;
    ASSERT_EQ(1, area.GetCurGCPGroupNo(current));
    EXPECT_EQ(1u, current);
    bool changed = true;
    ASSERT_EQ(1, area.GetChangeFlag(changed));
    EXPECT_FALSE(changed);
    _CtrlPntStrcT p;
    ASSERT_EQ(1, area.GetOneGCP(1, &p));
    EXPECT_TRUE(SameRecord(TestPoint(6), p));
}

TEST_P(DbArea, OpeningWhileHoldingGroupsSavesThemFirst) {
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    ASSERT_EQ(1, area.CreateGCPGroup(1));
    Store(2, TwoGroups(1, 2));
    ResetCalls();
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 2, 0, 0));
    EXPECT_EQ((std::vector<long>{1, 2, 2}), Calls().keys);  // save key 1, then load key 2
    EXPECT_EQ(48u, Stored(1).size());
    EXPECT_EQ(2u, GroupCount(area));
}

// A copy carries the version its source loaded, so the two cannot both
// save: the first save wins and the other one finds another writer's.
TEST_P(DbArea, CopiesSaveTheirOwnGroupsAndOnlyTheFirstSaveWins) {
    Store(1, TwoGroups(1, 2));
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster_, 1, 0, 0));
    CDB_Morvane assigned;
    assigned = area;
    {
        CDB_Morvane copy(area);
        ASSERT_EQ(1, copy.DeleteGCPGroup(2));
        ASSERT_EQ(1u, GroupCount(copy));
        EXPECT_EQ(2u, GroupCount(area)) << "deleting in the copy changed its source";
        ASSERT_EQ(1, copy.OpenGCPGroup(1));
        ASSERT_EQ(1, copy.SetChangeFlag(true));
        ASSERT_EQ(1, copy.CloseGCPArea());
    }
    const Bytes saved = Stored(1);
    EXPECT_EQ(4u + 44 + 240, saved.size());

    ASSERT_EQ(1, assigned.OpenGCPGroup(2));
    ASSERT_EQ(1, assigned.SetChangeFlag(true));
    ASSERT_EQ(1, assigned.CloseGCPGroup());
    EXPECT_EQ(0, assigned.CloseGCPArea());
    EXPECT_STREQ("another writer changed record 1 since the area was opened; the groups were not saved",
                 assigned.GetLastError());
    EXPECT_EQ(2u, GroupCount(assigned));
    EXPECT_EQ(saved, Stored(1));
    ResetCalls();
    ASSERT_EQ(1, area.CloseGCPArea());  // unchanged: writes nothing
    EXPECT_EQ(0, Calls().writes);
    EXPECT_EQ(saved, Stored(1));
}

TEST_P(DbArea, DestroyingAnEditedAreaSavesIt) {
    {
        CDB_Morvane area;
        ASSERT_EQ(1, area.OpenGCPArea(&raster_, 6, 0, 0));
        ASSERT_EQ(1, area.CreateGCPGroup(1));
        ASSERT_EQ(1, area.CreateGCPGroup(2));
    }
    const Bytes stored = Stored(6);
    ASSERT_EQ(4u + 44 + 44, stored.size());
    EXPECT_EQ(2u, U32At(stored, 0));
    EXPECT_EQ(2u, U32At(stored, 48));
}

// A server that goes away between open and close: the save fails with the
// connection's reason and keeps the groups, and succeeds once it is back.
TEST(DbAreaServer, SaveAfterTheServerWentAwayFailsKeepsGroupsAndRetriesLater) {
    if (lodestor_test::PostgresTestUri().empty()) GTEST_SKIP() << lodestor_test::kNoPostgresServer;
    lodestor_test::PrivateTestServer server;
    ASSERT_FALSE(server.Uri().empty()) << "cannot make a server with MORVANE_TEST_PG_CTL";
    CRasteBaseArea raster;
    ASSERT_TRUE(raster.Open(server.Uri().c_str(), "scene")) << raster.LastError();
    CDB_Morvane area;
    ASSERT_EQ(1, area.OpenGCPArea(&raster, 1, 0, 0));
    ASSERT_EQ(1, area.CreateGCPGroup(1));
    ASSERT_EQ(1, area.OpenGCPGroup(1));
    for (int i = 1; i <= 4; ++i) {
        _CtrlPntStrcT p = TestPoint(i);
        area.AddOneGCP(i, &p);
    }
    ASSERT_EQ(1, area.CloseGCPGroup());

    ASSERT_TRUE(server.Stop());
    EXPECT_EQ(0, area.CloseGCPArea());
    EXPECT_NE(std::string(raster.LastError()).find("connection"), std::string::npos) << raster.LastError();
    EXPECT_TRUE(HoldsGroups(area));

    ASSERT_TRUE(server.Start());
    ASSERT_EQ(1, area.CloseGCPArea()) << raster.LastError();
    CDB_Morvane again;
    ASSERT_EQ(1, again.OpenGCPArea(&raster, 1, 0, 0)) << raster.LastError();
    ASSERT_EQ(1, again.OpenGCPGroup(1));
    unsigned long points = 0;
    ASSERT_EQ(1, again.GetGCPNum(points));
    EXPECT_EQ(4u, points);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbArea, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         lodestor_test::BackendNamer());

}  // namespace
