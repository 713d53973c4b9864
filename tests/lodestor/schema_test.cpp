// Opening database files: creation of the schema, its version, and the files
// that must be refused with a reason.
#include "RasteBaseArea.h"
#include "SqliteRecordStore.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>

using lodestor::SqliteRecordStore;
using lodestor_test::MakeRecord;
using lodestor_test::TempDir;

namespace {

bool Contains(const char* text, const char* part) {
    return std::string(text).find(part) != std::string::npos;
}

// Runs SQL on the file through a connection of the test's own.
void RawExecute(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* message = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message))
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

std::int64_t RawQuery(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::int64_t value = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

TEST(Schema, NewFileGetsMarkedVersionedSchemaInWriteAheadMode) {
    TempDir dir;
    const std::string db = dir.File("new.db");
    {
        CRasteBaseArea area;
        ASSERT_TRUE(area.Open(db.c_str(), "a")) << area.LastError();
    }
    EXPECT_EQ(SqliteRecordStore::kApplicationId, RawQuery(db, "PRAGMA application_id"));
    EXPECT_EQ(SqliteRecordStore::kSchemaVersion, RawQuery(db, "PRAGMA user_version"));
    EXPECT_EQ(SqliteRecordStore::kPageSize, RawQuery(db, "PRAGMA page_size"));
    EXPECT_EQ(1, RawQuery(db, "SELECT count(*) FROM lodestor_area WHERE name = 'a'"));
    EXPECT_EQ(1, RawQuery(db, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode = 'wal'"));

    // An empty file counts as a new database.
    const std::string empty = dir.File("empty.db");
    WriteFile(empty, "");
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(empty.c_str(), "a")) << area.LastError();
}

TEST(Schema, RefusesFilesThatAreNotRasterDatabases) {
    TempDir dir;
    CRasteBaseArea area;

    const std::string text = dir.File("notes.txt");
    WriteFile(text, std::string(5000, 'x'));
    EXPECT_FALSE(area.Open(text.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "not a SQLite database")) << area.LastError();
    EXPECT_FALSE(area.IsOpen());

    const std::string tiny = dir.File("tiny.txt");
    WriteFile(tiny, "hello");
    EXPECT_FALSE(area.Open(tiny.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "not a SQLite database")) << area.LastError();
    std::ifstream in(tiny, std::ios::binary);
    EXPECT_EQ("hello", std::string(std::istreambuf_iterator<char>(in), {})) << "file altered";

    const std::string foreign = dir.File("foreign.db");
    RawExecute(foreign, "CREATE TABLE photos(id INTEGER PRIMARY KEY, data BLOB)");
    EXPECT_FALSE(area.Open(foreign.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "another application")) << area.LastError();
    EXPECT_EQ(0, RawQuery(foreign, "SELECT count(*) FROM sqlite_schema WHERE name LIKE 'lodestor%'"));

    const std::string marked = dir.File("marked.db");
    RawExecute(marked, "PRAGMA application_id = 1234");
    EXPECT_FALSE(area.Open(marked.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "another application")) << area.LastError();

    EXPECT_FALSE(area.Open(dir.File("").c_str(), "a")) << "a folder opened as a database";
}

TEST(Schema, RefusesNewerOrMissingSchemaVersion) {
    TempDir dir;
    const std::string db = dir.File("raster.db");
    {
        CRasteBaseArea area;
        ASSERT_TRUE(area.Open(db.c_str(), "a"));
        const auto record = MakeRecord(1, 64);
        ASSERT_EQ(1, WriteGcpRecord(&area, 1, record.data(), record.size()));
    }
    RawExecute(db, "PRAGMA user_version = " + std::to_string(SqliteRecordStore::kSchemaVersion + 1));
    CRasteBaseArea area;
    EXPECT_FALSE(area.Open(db.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "newer")) << area.LastError();
    EXPECT_TRUE(Contains(area.LastError(),
                         std::to_string(SqliteRecordStore::kSchemaVersion + 1).c_str()));

    RawExecute(db, "PRAGMA user_version = 0");
    EXPECT_FALSE(area.Open(db.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "no schema version")) << area.LastError();

    RawExecute(db, "PRAGMA user_version = " + std::to_string(SqliteRecordStore::kSchemaVersion));
    EXPECT_TRUE(area.Open(db.c_str(), "a")) << area.LastError();
}

TEST(Schema, ReadOnlyDatabaseReadsButRefusesWrites) {
    TempDir dir;
    const std::string db = dir.File("raster.db");
    const auto record = MakeRecord(5, 4000);
    {
        CRasteBaseArea area;
        ASSERT_TRUE(area.Open(db.c_str(), "a"));
        ASSERT_EQ(1, WriteGcpRecord(&area, 9, record.data(), record.size()));
    }
    if (!lodestor_test::MakeReadOnly(db)) {
        lodestor_test::UndoReadOnly(db);
        GTEST_SKIP() << "cannot make a file read-only here";
    }
    {
        CRasteBaseArea area;
        ASSERT_TRUE(area.Open(db.c_str(), "a")) << area.LastError();
        std::uint32_t size = 0;
        ASSERT_EQ(1, GetGcpRecordSize(&area, 9, &size)) << area.LastError();
        ASSERT_EQ(record.size(), size);
        std::vector<unsigned char> back(size);
        ASSERT_EQ(1, ReadGcpRecord(&area, 9, back.data(), size)) << area.LastError();
        EXPECT_EQ(record, back);

        const auto other = MakeRecord(6, 100);
        EXPECT_EQ(0, WriteGcpRecord(&area, 9, other.data(), other.size()));
        EXPECT_TRUE(Contains(area.LastError(), "read-only")) << area.LastError();

        // A missing area cannot be created in it.
        CRasteBaseArea missing;
        EXPECT_FALSE(missing.Open(db.c_str(), "b"));
        EXPECT_TRUE(Contains(missing.LastError(), "read-only")) << missing.LastError();
    }
    lodestor_test::UndoReadOnly(db);
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "a"));
    std::vector<unsigned char> back(record.size());
    ASSERT_EQ(1, ReadGcpRecord(&area, 9, back.data(), back.size())) << area.LastError();
    EXPECT_EQ(record, back);
}

TEST(Schema, ReadOnlyFileWithoutSchemaIsRefused) {
    TempDir dir;
    const std::string db = dir.File("blank.db");
    WriteFile(db, "");
    if (!lodestor_test::MakeReadOnly(db)) {
        lodestor_test::UndoReadOnly(db);
        GTEST_SKIP() << "cannot make a file read-only here";
    }
    CRasteBaseArea area;
    EXPECT_FALSE(area.Open(db.c_str(), "a"));
    EXPECT_TRUE(Contains(area.LastError(), "read-only")) << area.LastError();
    lodestor_test::UndoReadOnly(db);
}

}  // namespace
