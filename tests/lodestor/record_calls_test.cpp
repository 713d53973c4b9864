// The three record calls and CRasteBaseArea against real databases: a
// SQLite file and a PostgreSQL schema.
#include "RasteBaseArea.h"
#include "TestBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using lodestor_test::Backend;
using lodestor_test::MakeRecord;

namespace {

class RecordCalls : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        SKIP_UNLESS_AVAILABLE(databases_);
        db_ = databases_.Location();
        ASSERT_TRUE(area_.Open(db_.c_str(), "scene-1")) << area_.LastError();
    }

    // The record under key as the three calls give it back.
    std::vector<unsigned char> Fetch(CRasteBaseArea& area, long key) {
        std::uint32_t size = 0xDEADBEEF;
        EXPECT_EQ(1, GetGcpRecordSize(&area, key, &size)) << area.LastError();
        std::vector<unsigned char> bytes(size);
        EXPECT_EQ(1, ReadGcpRecord(&area, key, bytes.data(), size)) << area.LastError();
        return bytes;
    }

    lodestor_test::TestDatabases databases_{GetParam()};
    std::string db_;
    CRasteBaseArea area_;
};

TEST_P(RecordCalls, RefusesNullAreaClosedAreaAndKeyZero) {
    std::uint32_t size = 77;
    unsigned char byte = 5;
    EXPECT_EQ(0, GetGcpRecordSize(nullptr, 1, &size));
    EXPECT_EQ(0, ReadGcpRecord(nullptr, 1, &byte, 1));
    EXPECT_EQ(0, WriteGcpRecord(nullptr, 1, &byte, 1));
    EXPECT_EQ(0, GetGcpRecordSize(&area_, 1, nullptr));

    EXPECT_EQ(0, GetGcpRecordSize(&area_, 0, &size));
    EXPECT_NE(std::string(area_.LastError()).find("key 0"), std::string::npos) << area_.LastError();
    EXPECT_EQ(0, WriteGcpRecord(&area_, 0, &byte, 1));
    EXPECT_EQ(0, ReadGcpRecord(&area_, 0, &byte, 1));
    EXPECT_EQ(77u, size);
    EXPECT_EQ(5, byte);
    std::vector<long> keys{42};
    ASSERT_TRUE(area_.RecordKeys(keys));
    EXPECT_TRUE(keys.empty()) << "a refused write of key 0 stored something";

    CRasteBaseArea never;
    EXPECT_FALSE(never.IsOpen());
    EXPECT_EQ(0, GetGcpRecordSize(&never, 1, &size));
    EXPECT_NE(std::string(never.LastError()).find("not open"), std::string::npos);
    EXPECT_EQ(0, WriteGcpRecord(&never, 1, &byte, 1));

    area_.Close();
    EXPECT_FALSE(area_.IsOpen());
    EXPECT_EQ(0, WriteGcpRecord(&area_, 1, &byte, 1));
    EXPECT_EQ(77u, size);
}

TEST_P(RecordCalls, MissingKeyHasLengthZeroAndReadsOnlyAsEmpty) {
    std::uint32_t size = 123;
    ASSERT_EQ(1, GetGcpRecordSize(&area_, 7, &size)) << area_.LastError();
    EXPECT_EQ(0u, size);
    EXPECT_STREQ("", area_.LastError());
    EXPECT_EQ(1, ReadGcpRecord(&area_, 7, nullptr, 0)) << area_.LastError();
    unsigned char buffer[4] = {9, 9, 9, 9};
    EXPECT_EQ(0, ReadGcpRecord(&area_, 7, buffer, sizeof buffer));
    EXPECT_NE(std::string(area_.LastError()).find("0 bytes long"), std::string::npos)
        << area_.LastError();
    EXPECT_EQ(9, buffer[0]);
}

// A key beyond 32 bits where `long` holds one; on Windows, where `long` has
// 32 bits, the most negative key instead.
constexpr long kWideKey =
    sizeof(long) > 4 ? static_cast<long>(4000000000LL) : std::numeric_limits<long>::min();

TEST_P(RecordCalls, WriteReplacesWholeRecordAndSurvivesReopening) {
    const auto first = MakeRecord(1, 5000);
    const auto longer = MakeRecord(2, 300000);  // spans several pages
    const auto shorter = MakeRecord(3, 20);
    const long keys[] = {1, -1, 2147483647L, kWideKey};
    for (long key : keys) {
        ASSERT_EQ(1, WriteGcpRecord(&area_, key, first.data(), first.size())) << area_.LastError();
        EXPECT_EQ(first, Fetch(area_, key)) << key;
    }
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, longer.data(), longer.size()));
    EXPECT_EQ(longer, Fetch(area_, 1));
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, shorter.data(), shorter.size()));
    EXPECT_EQ(shorter, Fetch(area_, 1));
    EXPECT_EQ(first, Fetch(area_, -1)) << "writing key 1 touched key -1";

    // An empty record is a record of length 0, not a missing or failed one.
    ASSERT_EQ(1, WriteGcpRecord(&area_, 2147483647L, nullptr, 0)) << area_.LastError();
    EXPECT_TRUE(Fetch(area_, 2147483647L).empty());

    area_.Close();
    CRasteBaseArea again;
    ASSERT_TRUE(again.Open(db_.c_str(), "scene-1")) << again.LastError();
    EXPECT_EQ(shorter, Fetch(again, 1));
    EXPECT_EQ(first, Fetch(again, kWideKey));
    std::vector<long> stored;
    ASSERT_TRUE(again.RecordKeys(stored));
    std::vector<long> ascending(std::begin(keys), std::end(keys));
    std::sort(ascending.begin(), ascending.end());
    EXPECT_EQ(ascending, stored);
    ASSERT_TRUE(again.DeleteRecord(1));
    std::uint32_t size = 1;
    ASSERT_EQ(1, GetGcpRecordSize(&again, 1, &size));
    EXPECT_EQ(0u, size);
}

TEST_P(RecordCalls, ReadRefusesAnyOtherLengthAndNeverWritesPastIt) {
    const auto record = MakeRecord(11, 1000);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 3, record.data(), record.size()));
    std::vector<unsigned char> buffer(1100, 0xA5);
    for (std::uint32_t length : {999u, 1001u, 1u, 1099u}) {
        EXPECT_EQ(0, ReadGcpRecord(&area_, 3, buffer.data(), length)) << length;
        EXPECT_NE(std::string(area_.LastError()).find("1000 bytes long"), std::string::npos)
            << area_.LastError();
        EXPECT_EQ(std::vector<unsigned char>(1100, 0xA5), buffer) << "refused read wrote bytes";
    }
    ASSERT_EQ(1, ReadGcpRecord(&area_, 3, buffer.data(), 1000));
    EXPECT_TRUE(std::equal(record.begin(), record.end(), buffer.begin()));
    EXPECT_EQ(std::vector<unsigned char>(100, 0xA5),
              std::vector<unsigned char>(buffer.begin() + 1000, buffer.end()));
    EXPECT_EQ(0, ReadGcpRecord(&area_, 3, nullptr, 1000));
    EXPECT_EQ(0, WriteGcpRecord(&area_, 3, nullptr, 10));
    EXPECT_EQ(record, Fetch(area_, 3)) << "a refused write changed the record";
}

TEST_P(RecordCalls, AreasKeepSeparateRecordsAndShareThemAcrossConnections) {
    CRasteBaseArea other, sameArea;
    ASSERT_TRUE(other.Open(db_.c_str(), "scene-2")) << other.LastError();
    ASSERT_TRUE(sameArea.Open(db_.c_str(), "scene-1")) << sameArea.LastError();
    EXPECT_STREQ("scene-2", other.AreaName());
    EXPECT_STREQ(db_.c_str(), other.DatabasePath());

    const auto a = MakeRecord(21, 64), b = MakeRecord(22, 96);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 5, a.data(), a.size()));
    ASSERT_EQ(1, WriteGcpRecord(&other, 5, b.data(), b.size()));
    EXPECT_EQ(a, Fetch(area_, 5));
    EXPECT_EQ(b, Fetch(other, 5));
    EXPECT_EQ(a, Fetch(sameArea, 5));
    // The later write wins.
    ASSERT_EQ(1, WriteGcpRecord(&sameArea, 5, b.data(), b.size()));
    EXPECT_EQ(b, Fetch(area_, 5));

    // Reopening an open object on another area leaves the first one.
    ASSERT_TRUE(other.Open(db_.c_str(), "scene-1"));
    EXPECT_EQ(b, Fetch(other, 5));
    EXPECT_FALSE(other.Open(db_.c_str(), ""));
    EXPECT_FALSE(other.IsOpen());
    EXPECT_NE(std::string(other.LastError()).find("area name"), std::string::npos);
    EXPECT_FALSE(other.Open(nullptr, "scene-1"));
    if (GetParam() == Backend::Sqlite) {
        EXPECT_FALSE(other.Open(databases_.Location("missing-folder/raster").c_str(), "scene-1"));
        EXPECT_NE(std::string(other.LastError()).find("cannot be opened"), std::string::npos)
            << other.LastError();
    }
}

TEST_P(RecordCalls, FullDatabaseRefusesWriteAndKeepsOldRecord) {
    const auto old = MakeRecord(31, 100000);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, old.data(), old.size()));
    ASSERT_TRUE(area_.LimitDatabaseSize(0)) << area_.LastError();  // no page more than now
    const auto bigger = MakeRecord(32, 2000000);
    EXPECT_EQ(0, WriteGcpRecord(&area_, 1, bigger.data(), bigger.size()));
    EXPECT_NE(std::string(area_.LastError()).find("full"), std::string::npos) << area_.LastError();
    EXPECT_EQ(0, WriteGcpRecord(&area_, 2, bigger.data(), bigger.size()));
    EXPECT_EQ(old, Fetch(area_, 1));

    area_.Close();
    CRasteBaseArea fresh;  // the limit belonged to the closed connection
    ASSERT_TRUE(fresh.Open(db_.c_str(), "scene-1"));
    EXPECT_EQ(old, Fetch(fresh, 1));
    std::uint32_t size = 9;
    ASSERT_EQ(1, GetGcpRecordSize(&fresh, 2, &size));
    EXPECT_EQ(0u, size) << "a refused write left a record behind";
    ASSERT_EQ(1, WriteGcpRecord(&fresh, 1, bigger.data(), bigger.size())) << fresh.LastError();
    EXPECT_EQ(bigger, Fetch(fresh, 1));
}

// A record read in pieces comes back whole, with the size and version the
// state query gives, whatever the piece size: sizes around PostgreSQL's
// chunk boundaries, pieces smaller and larger than a chunk.
TEST_P(RecordCalls, PiecewiseReadHandsOutTheRecordInOrderWithItsSizeAndVersion) {
    constexpr std::uint32_t kChunk = 256 * 1024;
    const std::uint32_t sizes[] = {0, 9, kChunk - 1, kChunk + 1, 3 * kChunk};
    const std::uint32_t pieces[] = {1000, kChunk, 5 * kChunk};
    for (std::uint32_t size : sizes) {
        std::vector<unsigned char> record(size);
        for (std::uint32_t i = 0; i < size; ++i) record[i] = static_cast<unsigned char>((i * 131 + size) >> 3);
        ASSERT_EQ(1, WriteGcpRecord(&area_, 6, record.data(), size)) << area_.LastError();
        std::uint32_t stateSize = 0;
        std::uint64_t stateVersion = 0;
        ASSERT_EQ(1, GetGcpRecordState(&area_, 6, &stateSize, &stateVersion));
        for (std::uint32_t piece : pieces) {
            std::uint32_t readSize = 1;
            std::uint64_t version = 0;
            ASSERT_EQ(1, OpenGcpRecordReader(&area_, 6, &readSize, &version)) << area_.LastError();
            EXPECT_EQ(size, readSize);
            EXPECT_EQ(stateVersion, version);
            std::vector<unsigned char> back, buffer(piece);
            for (std::uint32_t count = 1; count > 0;) {
                ASSERT_EQ(1, ReadGcpRecordPiece(&area_, buffer.data(), piece, &count)) << area_.LastError();
                ASSERT_LE(count, piece);
                back.insert(back.end(), buffer.begin(), buffer.begin() + count);
            }
            CloseGcpRecordReader(&area_);
            EXPECT_TRUE(back == record) << size << " bytes in pieces of " << piece;
        }
    }
    std::uint32_t size = 1;
    std::uint64_t version = 1;
    ASSERT_EQ(1, OpenGcpRecordReader(&area_, 77, &size, &version)) << area_.LastError();
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0u, version);
    std::uint32_t count = 1;
    unsigned char byte = 0;
    EXPECT_EQ(1, ReadGcpRecordPiece(&area_, &byte, 1, &count));
    EXPECT_EQ(0u, count);
    CloseGcpRecordReader(&area_);
}

// While a read is open the connection is the read's: other calls are
// refused, not mixed into it.  A read ended half-way leaves the connection
// usable for the next call.
TEST_P(RecordCalls, AnOpenReadRefusesOtherCallsAndCanBeEndedEarly) {
    const auto record = MakeRecord(4, 2 * 1024 * 1024 + 3);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 2, record.data(), record.size())) << area_.LastError();
    std::uint32_t size = 0, count = 0;
    std::uint64_t version = 0;
    unsigned char byte = 0;
    EXPECT_EQ(0, ReadGcpRecordPiece(&area_, &byte, 1, &count));
    EXPECT_NE(std::string(area_.LastError()).find("no record read is open"), std::string::npos);
    ASSERT_EQ(1, OpenGcpRecordReader(&area_, 2, &size, &version)) << area_.LastError();
    std::vector<unsigned char> first(1000);
    ASSERT_EQ(1, ReadGcpRecordPiece(&area_, first.data(), 1000, &count));
    EXPECT_TRUE(std::equal(first.begin(), first.end(), record.begin()));
    EXPECT_EQ(0, WriteGcpRecord(&area_, 2, &byte, 1));
    EXPECT_NE(std::string(area_.LastError()).find("a record read is still open"), std::string::npos)
        << area_.LastError();
    std::vector<long> keys;
    EXPECT_FALSE(area_.RecordKeys(keys));
    CloseGcpRecordReader(&area_);
    EXPECT_EQ(record, Fetch(area_, 2)) << "the refused write changed the record, or the early end broke the connection";
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordCalls,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         lodestor_test::BackendNamer());

}  // namespace
