// The two ways to name an area on the command line.
#include "AreaAddress.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace morvane::tool {
namespace {

TEST(AreaAddress, FilesAndDatabaseRecords) {
    AreaAddress file = ParseAreaAddress("dir/scan.gcp");
    EXPECT_EQ(file.kind, AreaAddress::Kind::File);
    EXPECT_EQ(file.path, "dir/scan.gcp");

    AreaAddress db = ParseAreaAddress("sqlite:/tmp/my#db.sqlite#scan 1954:42");
    EXPECT_EQ(db.kind, AreaAddress::Kind::Sqlite);
    EXPECT_EQ(db.path, "/tmp/my#db.sqlite");   // the last '#' separates the area
    EXPECT_EQ(db.areaName, "scan 1954");
    EXPECT_EQ(db.recordKey, 42);
    EXPECT_EQ(ParseAreaAddress(db.Describe()).Describe(), db.Describe());

    AreaAddress defaultKey = ParseAreaAddress("sqlite:a.db#area");
    EXPECT_EQ(defaultKey.recordKey, 1);
    EXPECT_EQ(ParseAreaAddress("sqlite:a.db#area:-3").recordKey, -3);
    EXPECT_EQ(ParseAreaAddress("./sqlite:odd").kind, AreaAddress::Kind::File);
}

TEST(AreaAddress, MalformedNamesAreRefused) {
    for (const char* bad : {"", "sqlite:", "sqlite:a.db", "sqlite:#area:1", "sqlite:a.db#:1", "sqlite:a.db#area:0",
                            "sqlite:a.db#area:x", "sqlite:a.db#area:99999999999", "sqlite:a.db#area:"}) {
        EXPECT_THROW(ParseAreaAddress(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace morvane::tool
