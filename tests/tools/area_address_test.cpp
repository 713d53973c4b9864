// The ways to name an area on the command line.
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
                            "sqlite:a.db#area:x", "sqlite:a.db#area:99999999999", "sqlite:a.db#area:",
                            "postgresql://h/db", "postgres://h/db#:2", "postgresql://h/db#area:0"}) {
        EXPECT_THROW(ParseAreaAddress(bad), std::invalid_argument) << bad;
    }
}

struct ServerCase {
    const char* text;
    const char* uri;
    const char* areaName;
    long key;
    const char* described;
};

TEST(AreaAddress, ServerDatabasesKeepTheirUriAndNeverShowAPassword) {
    const ServerCase cases[] = {
        {"postgresql://ann@db.example:5432/maps#scan 1954:42", "postgresql://ann@db.example:5432/maps", "scan 1954", 42,
         "postgresql://ann@db.example:5432/maps#scan 1954:42"},
        {"postgres://ann:pa#ss@h/maps?sslmode=require#avon", "postgres://ann:pa#ss@h/maps?sslmode=require", "avon", 1,
         "postgres://ann:***@h/maps?sslmode=require#avon:1"},
        {"postgresql:///maps?host=/run/pg&password=s3cret&lodestor_schema=team#a:b:-7",
         "postgresql:///maps?host=/run/pg&password=s3cret&lodestor_schema=team", "a:b", -7,
         "postgresql:///maps?host=/run/pg&password=***&lodestor_schema=team#a:b:-7"},
    };
    for (const ServerCase& c : cases) {
        AreaAddress a = ParseAreaAddress(c.text);
        EXPECT_EQ(a.kind, AreaAddress::Kind::Postgres) << c.text;
        EXPECT_EQ(a.path, c.uri);
        EXPECT_EQ(a.areaName, c.areaName);
        EXPECT_EQ(a.recordKey, c.key);
        EXPECT_EQ(a.Describe(), c.described);
    }
    try {
        ParseAreaAddress("postgresql://ann:s3cret@h/maps#area:0");
        ADD_FAILURE() << "key 0 accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("postgresql://ann:***@h/maps#area:0"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace morvane::tool
