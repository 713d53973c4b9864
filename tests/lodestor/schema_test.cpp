// Opening database files: creation of the schema, its version, the files
// that must be refused with a reason, and opening without creating.
#include "RasteBaseArea.h"
#include "SqliteRecordStore.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

using lodestor::SqliteRecordStore;
using lodestor_test::MakeRecord;
using lodestor_test::TempDir;
using OpenMode = CRasteBaseArea::OpenMode;

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

// ---- opening without creating ---------------------------------------------

// The file's bytes, or nothing when there is no file.
std::optional<std::string> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool SideFilesGone(const std::string& db) {
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        if (std::filesystem::exists(db + suffix)) return false;
    }
    return true;
}

// A raster database holding areas "avon" (a record under key 1) and
// "bloomfield", every connection closed.
void MakeTwoAreaDatabase(const std::string& db) {
    CRasteBaseArea avon, bloomfield;
    ASSERT_TRUE(avon.Open(db.c_str(), "avon")) << avon.LastError();
    ASSERT_TRUE(bloomfield.Open(db.c_str(), "bloomfield")) << bloomfield.LastError();
    const auto record = MakeRecord(7, 300);
    ASSERT_EQ(1, WriteGcpRecord(&avon, 1, record.data(), record.size())) << avon.LastError();
}

enum class Before { NoFile, EmptyFile, TwoAreas };

struct OpenCase {
    const char* label;
    Before before;
    const char* areaName;
    OpenMode mode;
    const char* refusal;   // nullptr: opens; "*": the exact missing-area reason
};

void PrintTo(const OpenCase& c, std::ostream* out) { *out << c.label; }

std::string ExactMissingAreaReason(const std::string& db) {
    return "no raster area \"avn\" in '" + db + "'; areas: \"avon\", \"bloomfield\"";
}

class OpenModes : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenModes, CreateOnlyWhenAskedAndRefuseWithoutWriting) {
    const OpenCase& c = GetParam();
    TempDir dir;
    const std::string db = dir.File("maps.db");
    if (c.before == Before::EmptyFile) WriteFile(db, "");
    if (c.before == Before::TwoAreas) MakeTwoAreaDatabase(db);
    const std::optional<std::string> bytesBefore = FileBytes(db);

    CRasteBaseArea area;
    const bool opened = area.Open(db.c_str(), c.areaName, c.mode);
    if (c.refusal != nullptr) {
        EXPECT_FALSE(opened);
        EXPECT_FALSE(area.IsOpen());
        if (std::string(c.refusal) == "*") {
            EXPECT_EQ(ExactMissingAreaReason(db), area.LastError());
        } else {
            EXPECT_TRUE(Contains(area.LastError(), c.refusal)) << area.LastError();
        }
        EXPECT_EQ(bytesBefore, FileBytes(db)) << "a refused open changed the file";
        EXPECT_TRUE(SideFilesGone(db));
        return;
    }
    ASSERT_TRUE(opened) << area.LastError();
    EXPECT_STREQ("", area.LastError());
    std::vector<std::string> names;
    ASSERT_TRUE(area.AreaNames(names)) << area.LastError();
    EXPECT_NE(std::find(names.begin(), names.end(), c.areaName), names.end());
    std::uint32_t size = 0;
    ASSERT_EQ(1, GetGcpRecordSize(&area, 1, &size)) << area.LastError();
    std::vector<unsigned char> record(size);
    ASSERT_EQ(1, ReadGcpRecord(&area, 1, record.data(), size)) << area.LastError();
    area.Close();
    if (c.mode == CRasteBaseArea::OpenExisting) {
        EXPECT_EQ(bytesBefore, FileBytes(db)) << "opening and reading changed the file";
        EXPECT_TRUE(SideFilesGone(db));
    }
}

const OpenCase kOpenCases[] = {
    {"NoFileExisting", Before::NoFile, "avon", CRasteBaseArea::OpenExisting, "does not exist"},
    {"NoFileCreate", Before::NoFile, "avon", CRasteBaseArea::CreateIfMissing, nullptr},
    {"EmptyFileExisting", Before::EmptyFile, "avon", CRasteBaseArea::OpenExisting, "holds no raster database"},
    {"EmptyFileCreate", Before::EmptyFile, "avon", CRasteBaseArea::CreateIfMissing, nullptr},
    {"MissingAreaExisting", Before::TwoAreas, "avn", CRasteBaseArea::OpenExisting, "*"},
    {"MissingAreaCreate", Before::TwoAreas, "avn", CRasteBaseArea::CreateIfMissing, nullptr},
    {"PresentAreaExisting", Before::TwoAreas, "avon", CRasteBaseArea::OpenExisting, nullptr},
    {"PresentAreaCreate", Before::TwoAreas, "avon", CRasteBaseArea::CreateIfMissing, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, OpenModes, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(OpenExisting, RefusalNamesAtMostTwentyAreasOnOneLine) {
    TempDir dir;
    const std::string db = dir.File("many.db");
    {
        // The schema alone: a raster database without any area.
        std::unique_ptr<SqliteRecordStore> store;
        ASSERT_TRUE(SqliteRecordStore::Open(db, true, &store).ok());
    }
    CRasteBaseArea area;
    EXPECT_FALSE(area.Open(db.c_str(), "x", CRasteBaseArea::OpenExisting));
    EXPECT_EQ("no raster area \"x\" in '" + db + "', which holds no areas", std::string(area.LastError()));

    // Made in reverse, listed in byte order.
    for (int i = 26; i >= 1; --i) {
        const std::string name = (i < 10 ? "area 0" : "area ") + std::to_string(i);
        ASSERT_TRUE(area.Open(db.c_str(), name.c_str())) << area.LastError();
    }
    std::vector<std::string> names;
    ASSERT_TRUE(area.AreaNames(names));
    ASSERT_EQ(26u, names.size());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));

    EXPECT_FALSE(area.Open(db.c_str(), "area 1\t", CRasteBaseArea::OpenExisting));
    const std::string reason = area.LastError();
    EXPECT_EQ(0u, reason.find("no raster area \"area 1\\x09\" in '" + db + "'; areas: \"area 01\", \"area 02\""))
        << reason;
    const std::string ending = ", \"area 20\" and 6 more";
    EXPECT_TRUE(reason.ends_with(ending)) << reason;
    EXPECT_FALSE(Contains(reason.c_str(), "area 21")) << reason;
}

TEST(OpenExisting, RefusalEscapesQuotesBackslashesAndControlBytes) {
    TempDir dir;
    const std::string db = dir.File("odd.db");
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "plain")) << area.LastError();
    ASSERT_TRUE(area.Open(db.c_str(), "say \"hi\"\n\\")) << area.LastError();
    EXPECT_FALSE(area.Open(db.c_str(), "b\x7f", CRasteBaseArea::OpenExisting));
    EXPECT_EQ("no raster area \"b\\x7f\" in '" + db + "'; areas: \"plain\", \"say \\\"hi\\\"\\x0a\\\\\"",
              std::string(area.LastError()));
}

TEST(OpenExisting, LeavesJournalModeForTheFirstWrite) {
    TempDir dir;
    const std::string db = dir.File("rollback.db");
    MakeTwoAreaDatabase(db);
    RawExecute(db, "PRAGMA journal_mode=DELETE");
    const std::optional<std::string> bytesBefore = FileBytes(db);
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "avon", CRasteBaseArea::OpenExisting)) << area.LastError();
    EXPECT_EQ(bytesBefore, FileBytes(db)) << "opening switched the journal mode";

    const auto record = MakeRecord(8, 500);
    ASSERT_EQ(1, WriteGcpRecord(&area, 2, record.data(), record.size())) << area.LastError();
    area.Close();
    EXPECT_EQ(1, RawQuery(db, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode = 'wal'"));
    ASSERT_TRUE(area.Open(db.c_str(), "avon", CRasteBaseArea::OpenExisting)) << area.LastError();
    std::vector<unsigned char> back(record.size());
    ASSERT_EQ(1, ReadGcpRecord(&area, 2, back.data(), back.size())) << area.LastError();
    EXPECT_EQ(record, back);
}

TEST(OpenExisting, ReadOnlyDatabaseOpensAndStillRefusesMissingArea) {
    TempDir dir;
    const std::string db = dir.File("locked.db");
    MakeTwoAreaDatabase(db);
    if (!lodestor_test::MakeReadOnly(db)) {
        lodestor_test::UndoReadOnly(db);
        GTEST_SKIP() << "cannot make a file read-only here";
    }
    CRasteBaseArea area;
    EXPECT_TRUE(area.Open(db.c_str(), "bloomfield", CRasteBaseArea::OpenExisting)) << area.LastError();
    EXPECT_FALSE(area.Open(db.c_str(), "avn", CRasteBaseArea::OpenExisting));
    EXPECT_EQ(ExactMissingAreaReason(db), area.LastError());
    lodestor_test::UndoReadOnly(db);
}

}  // namespace
