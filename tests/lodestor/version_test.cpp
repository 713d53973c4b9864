// Record versions: the conditional write, versions that never repeat, size,
// bytes and version read from one snapshot, and databases of schema
// version 1 that get versions without losing a record.
#include "RasteBaseArea.h"
#include "SqliteRecordStore.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

using lodestor::SqliteRecordStore;
using lodestor_test::IsCompleteRecord;
using lodestor_test::MakeRecord;
using lodestor_test::RecordSeed;
using lodestor_test::TempDir;
using Bytes = std::vector<unsigned char>;

namespace {

struct State {
    std::uint32_t size = 0xDEAD;
    std::uint64_t version = 0xDEAD;
};

State StateOf(CRasteBaseArea& area, long key) {
    State state;
    EXPECT_EQ(1, GetGcpRecordState(&area, key, &state.size, &state.version)) << area.LastError();
    return state;
}

// The record and its version, read as the area loads it: state, then read.
Bytes Fetch(CRasteBaseArea& area, long key, std::uint64_t* version) {
    const State state = StateOf(area, key);
    Bytes bytes(state.size);
    EXPECT_EQ(1, ReadGcpRecordVersion(&area, key, bytes.data(), state.size, version))
        << area.LastError();
    EXPECT_EQ(state.version, *version) << "state and read disagree with nothing written between";
    return bytes;
}

// The version a write gave: the state right after it.
std::uint64_t Write(CRasteBaseArea& area, long key, const Bytes& bytes) {
    EXPECT_EQ(1, WriteGcpRecord(&area, key, bytes.data(), static_cast<std::uint32_t>(bytes.size())))
        << area.LastError();
    return StateOf(area, key).version;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// ---- the conditional write -------------------------------------------------

enum class Before { kMissing, kOneWrite, kTwoWrites, kDeleted, kEmptyRecord };
enum class Expect { kCurrent, kFirstVersion, kZero, kBeyond };

struct WriteIfCase {
    const char* label;
    Before before;
    Expect expected;
    bool writes;               // else a conflict, and nothing changes
    const char* reasonPart;    // of the conflict
};

void PrintTo(const WriteIfCase& c, std::ostream* out) { *out << c.label; }

class WriteIf : public ::testing::TestWithParam<WriteIfCase> {
protected:
    void SetUp() override { ASSERT_TRUE(area_.Open(db_.c_str(), "scene")) << area_.LastError(); }

    TempDir dir_;
    std::string db_ = dir_.File("raster.db");
    CRasteBaseArea area_;
};

TEST_P(WriteIf, WritesOnlyOverTheExpectedVersion) {
    const WriteIfCase& c = GetParam();
    constexpr long kKey = 5;
    std::uint64_t first = 0;
    if (c.before == Before::kEmptyRecord) first = Write(area_, kKey, Bytes());
    if (c.before != Before::kMissing && c.before != Before::kEmptyRecord) {
        first = Write(area_, kKey, MakeRecord(1, 300));
    }
    if (c.before == Before::kTwoWrites) Write(area_, kKey, MakeRecord(2, 200));
    if (c.before == Before::kDeleted) {
        ASSERT_TRUE(area_.DeleteRecord(kKey));
    }
    const State before = StateOf(area_, kKey);
    std::uint64_t unused = 0;
    const Bytes storedBefore = Fetch(area_, kKey, &unused);

    std::uint64_t expected = 0;
    switch (c.expected) {
        case Expect::kCurrent: expected = before.version; break;
        case Expect::kFirstVersion: expected = first; break;
        case Expect::kZero: expected = 0; break;
        case Expect::kBeyond: expected = before.version + 1000; break;
    }
    const Bytes next = MakeRecord(3, 444);
    std::uint64_t newVersion = 0;
    bool conflict = !c.writes;  // must be set either way
    const short result = WriteGcpRecordIf(&area_, kKey, next.data(), next.size(), expected,
                                          &newVersion, &conflict);
    const std::string reason = area_.LastError();
    std::uint64_t after = 0;
    const Bytes stored = Fetch(area_, kKey, &after);
    if (c.writes) {
        ASSERT_EQ(1, result) << reason;
        EXPECT_FALSE(conflict);
        EXPECT_EQ("", reason);
        EXPECT_EQ(next, stored);
        EXPECT_EQ(newVersion, after);
        EXPECT_GT(newVersion, std::max(before.version, first)) << "a version was given twice";
    } else {
        EXPECT_EQ(0, result);
        EXPECT_TRUE(conflict);
        EXPECT_TRUE(Contains(reason, c.reasonPart)) << reason;
        EXPECT_TRUE(Contains(reason, "nothing was written")) << reason;
        EXPECT_EQ(storedBefore, stored);
        EXPECT_EQ(before.version, after);
    }
}

const WriteIfCase kWriteIfCases[] = {
    {"CurrentVersionWrites", Before::kOneWrite, Expect::kCurrent, true, nullptr},
    {"CurrentVersionOfEmptyRecordWrites", Before::kEmptyRecord, Expect::kCurrent, true, nullptr},
    {"ZeroOnMissingWrites", Before::kMissing, Expect::kZero, true, nullptr},
    {"StaleVersionConflicts", Before::kTwoWrites, Expect::kFirstVersion, false, "another writer changed"},
    {"UnknownVersionConflicts", Before::kOneWrite, Expect::kBeyond, false, "another writer changed"},
    {"ZeroOnExistingConflicts", Before::kOneWrite, Expect::kZero, false, "another writer created"},
    {"ZeroOnEmptyRecordConflicts", Before::kEmptyRecord, Expect::kZero, false, "another writer created"},
    {"VersionOfDeletedRecordConflicts", Before::kDeleted, Expect::kFirstVersion, false,
     "another writer deleted"},
};

INSTANTIATE_TEST_SUITE_P(Cases, WriteIf, ::testing::ValuesIn(kWriteIfCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Versions, RefusalsThatAreNoConflictSaySoAndChangeNothing) {
    TempDir dir;
    const std::string db = dir.File("raster.db");
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "scene")) << area.LastError();
    const Bytes old = MakeRecord(1, 100000);
    const std::uint64_t version = Write(area, 1, old);

    std::uint32_t size = 0;
    std::uint64_t got = 0, newVersion = 0;
    bool conflict = true;
    EXPECT_EQ(0, GetGcpRecordState(&area, 1, nullptr, &got));
    EXPECT_EQ(0, GetGcpRecordState(&area, 1, &size, nullptr));
    EXPECT_EQ(0, ReadGcpRecordVersion(&area, 1, nullptr, 10, &got));
    EXPECT_EQ(0, WriteGcpRecordIf(&area, 1, old.data(), old.size(), version, nullptr, &conflict));
    EXPECT_FALSE(conflict);
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&area, 0, old.data(), old.size(), version, &newVersion, &conflict));
    EXPECT_FALSE(conflict);
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&area, 1, nullptr, 10, version, &newVersion, &conflict));
    EXPECT_FALSE(conflict);

    // A full database refuses the write whatever the version: no conflict.
    ASSERT_TRUE(area.LimitDatabaseSize(0));
    const Bytes bigger = MakeRecord(2, 2000000);
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&area, 1, bigger.data(), bigger.size(), version, &newVersion,
                                  &conflict));
    EXPECT_FALSE(conflict);
    EXPECT_TRUE(Contains(area.LastError(), "full")) << area.LastError();
    EXPECT_EQ(version, StateOf(area, 1).version);

    CRasteBaseArea closed;
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&closed, 1, old.data(), old.size(), version, &newVersion, &conflict));
    EXPECT_FALSE(conflict);
    EXPECT_STREQ("", GetGcpLastError(nullptr));
    EXPECT_TRUE(Contains(GetGcpLastError(&closed), "not open")) << GetGcpLastError(&closed);
}

TEST(Versions, NeverRepeatAcrossKeysAreasConnectionsAndDeletions) {
    TempDir dir;
    const std::string db = dir.File("raster.db");
    CRasteBaseArea a, b, sameAsA;
    ASSERT_TRUE(a.Open(db.c_str(), "a")) << a.LastError();
    ASSERT_TRUE(b.Open(db.c_str(), "b")) << b.LastError();
    ASSERT_TRUE(sameAsA.Open(db.c_str(), "a")) << sameAsA.LastError();

    // Every write, conditional or not, through any connection, gives a
    // number greater than every one before; deleting takes none back.
    std::vector<std::uint64_t> given;
    for (int round = 0; round < 6; ++round) {
        given.push_back(Write(a, 1, MakeRecord(round, 50)));
        given.push_back(Write(b, 1, MakeRecord(round, 60)));
        std::uint64_t current = StateOf(sameAsA, 1).version;
        std::uint64_t next = 0;
        bool conflict = false;
        const Bytes bytes = MakeRecord(round + 100, 70);
        ASSERT_EQ(1, WriteGcpRecordIf(&sameAsA, 1, bytes.data(), bytes.size(), current, &next, &conflict))
            << sameAsA.LastError();
        given.push_back(next);
        ASSERT_TRUE(a.DeleteRecord(1));
        EXPECT_EQ(0u, StateOf(sameAsA, 1).version);
        ASSERT_EQ(1, WriteGcpRecordIf(&a, 1, bytes.data(), bytes.size(), 0, &next, &conflict))
            << a.LastError();
        given.push_back(next);
    }
    // The latest version is the highest even after reopening.
    a.Close();
    ASSERT_TRUE(a.Open(db.c_str(), "a"));
    given.push_back(Write(a, 2, MakeRecord(9, 40)));
    EXPECT_TRUE(std::is_sorted(given.begin(), given.end()));
    EXPECT_EQ(given.size(), std::set<std::uint64_t>(given.begin(), given.end()).size())
        << "a version was given twice";
    EXPECT_GT(given.front(), 0u);
}

// ---- one snapshot ----------------------------------------------------------

// A child writes records of changing length through the conditional write
// and tells the parent, through a pipe, which version each write got.
// Meanwhile the parent reads state and bytes; every pair it read must be
// one the child wrote: a version with the length and bytes written under it.
TEST(Versions, SizeBytesAndVersionComeFromOneSnapshot) {
#ifdef _WIN32
    GTEST_SKIP() << "forks a writer process: Windows has no fork";
#else
    TempDir dir;
    const std::string db = dir.File("raster.db");
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "scene")) << area.LastError();
    constexpr long kKey = 3;
    constexpr int kWrites = 150;
    auto lengthOf = [](int i) { return static_cast<std::uint32_t>(1000 + (i * 7919) % 90000); };
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        CRasteBaseArea mine;
        bool ok = mine.Open(db.c_str(), "scene");
        std::uint64_t version = 0;
        for (int i = 0; ok && i < kWrites; ++i) {
            const Bytes bytes = MakeRecord(static_cast<std::uint64_t>(i), lengthOf(i));
            bool conflict = false;
            ok = WriteGcpRecordIf(&mine, kKey, bytes.data(), bytes.size(), version, &version, &conflict) == 1;
            const std::uint64_t entry[2] = {version, static_cast<std::uint64_t>(i)};
            ok = ok && ::write(pipeFds[1], entry, sizeof entry) == sizeof entry;
        }
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipeFds[1]);

    std::vector<std::pair<State, std::uint64_t>> states;   // state read, and nothing else
    std::vector<std::pair<std::uint64_t, Bytes>> reads;     // version and bytes read
    for (int running = 1; running != 0;) {
        State state;
        if (GetGcpRecordState(&area, kKey, &state.size, &state.version) == 1 && state.version != 0) {
            states.push_back({state, 0});
            Bytes bytes(state.size);
            std::uint64_t version = 0;
            // Refused when the record changed in between: the lengths differ.
            if (ReadGcpRecordVersion(&area, kKey, bytes.data(), state.size, &version) == 1) {
                reads.push_back({version, std::move(bytes)});
            }
        }
        int status = 0;
        running = ::waitpid(child, &status, WNOHANG) == 0;
        if (!running) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }
    std::map<std::uint64_t, int> writeOfVersion;
    std::uint64_t entry[2];
    while (::read(pipeFds[0], entry, sizeof entry) == sizeof entry) writeOfVersion[entry[0]] = static_cast<int>(entry[1]);
    ::close(pipeFds[0]);
    ASSERT_EQ(static_cast<std::size_t>(kWrites), writeOfVersion.size());

    for (const auto& [state, unused] : states) {
        ASSERT_EQ(1u, writeOfVersion.count(state.version)) << state.version;
        EXPECT_EQ(lengthOf(writeOfVersion[state.version]), state.size) << "version " << state.version;
    }
    int readsOfOtherWrites = 0;
    for (const auto& [version, bytes] : reads) {
        ASSERT_EQ(1u, writeOfVersion.count(version)) << version;
        ASSERT_TRUE(IsCompleteRecord(bytes));
        EXPECT_EQ(static_cast<std::uint64_t>(writeOfVersion[version]), RecordSeed(bytes))
            << "bytes of one write under the version of another";
        readsOfOtherWrites += version != reads.front().first;
    }
    EXPECT_GT(readsOfOtherWrites, 0) << "the reads never saw the record change";
#endif
}

// ---- databases of schema version 1 -----------------------------------------

void Execute(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* message = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message)) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

std::int64_t QueryInt(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::int64_t value = -1;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A database as the library before versions made it, in its default
// rollback journal: area "avon" with records 1 (300 bytes, seed 7) and 2
// (empty), area "other" with record 1 (seed 8).
void MakeVersionOneDatabase(const std::string& path) {
    Execute(path,
            "CREATE TABLE lodestor_area (area_id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
            "CREATE TABLE lodestor_record (area_id INTEGER NOT NULL REFERENCES lodestor_area(area_id),"
            "  record_key INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (area_id, record_key));"
            "PRAGMA application_id=" + std::to_string(SqliteRecordStore::kApplicationId) + ";"
            "PRAGMA user_version=1;"
            "INSERT INTO lodestor_area VALUES (1, 'avon'), (2, 'other');");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    const struct { int area; int key; Bytes bytes; } rows[] = {
        {1, 1, MakeRecord(7, 300)}, {1, 2, Bytes()}, {2, 1, MakeRecord(8, 400)}};
    for (const auto& row : rows) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "INSERT INTO lodestor_record VALUES (?1, ?2, ?3)", -1,
                                                &stmt, nullptr));
        static const unsigned char kNothing = 0;
        sqlite3_bind_int(stmt, 1, row.area);
        sqlite3_bind_int(stmt, 2, row.key);
        sqlite3_bind_blob(stmt, 3, row.bytes.empty() ? &kNothing : row.bytes.data(),
                          static_cast<int>(row.bytes.size()), SQLITE_STATIC);
        EXPECT_EQ(SQLITE_DONE, sqlite3_step(stmt));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
}

// Every record of the version-1 database, whole, with version 1.
void ExpectOldRecordsKept(CRasteBaseArea& avon, CRasteBaseArea& other) {
    std::uint64_t version = 0;
    EXPECT_EQ(MakeRecord(7, 300), Fetch(avon, 1, &version));
    EXPECT_EQ(1u, version);
    EXPECT_TRUE(Fetch(avon, 2, &version).empty());
    EXPECT_EQ(1u, version) << "an empty record is a record";
    EXPECT_EQ(MakeRecord(8, 400), Fetch(other, 1, &version));
    EXPECT_EQ(1u, version);
    EXPECT_EQ(0u, StateOf(avon, 3).version);
}

TEST(VersionOneDatabase, OpenExistingReadsVersionOneWritesNothingAndMigratesAtTheFirstWrite) {
    TempDir dir;
    const std::string db = dir.File("old.db");
    MakeVersionOneDatabase(db);
    const std::string bytesBefore = FileBytes(db);
    {
        CRasteBaseArea avon, other;
        ASSERT_TRUE(avon.Open(db.c_str(), "avon", CRasteBaseArea::OpenExisting)) << avon.LastError();
        ASSERT_TRUE(other.Open(db.c_str(), "other", CRasteBaseArea::OpenExisting)) << other.LastError();
        ExpectOldRecordsKept(avon, other);
    }
    EXPECT_EQ(bytesBefore, FileBytes(db)) << "opening and reading changed the file";
    EXPECT_EQ(1, QueryInt(db, "PRAGMA user_version"));

    CRasteBaseArea avon, other, otherAgain;
    ASSERT_TRUE(avon.Open(db.c_str(), "avon", CRasteBaseArea::OpenExisting)) << avon.LastError();
    ASSERT_TRUE(other.Open(db.c_str(), "other", CRasteBaseArea::OpenExisting)) << other.LastError();
    ASSERT_TRUE(otherAgain.Open(db.c_str(), "other", CRasteBaseArea::OpenExisting));
    // Read before the migration: version 1, as the migration will give it.
    std::uint64_t readBefore = 0;
    Fetch(other, 1, &readBefore);
    ASSERT_EQ(1u, readBefore);

    const Bytes next = MakeRecord(9, 100);
    std::uint64_t newVersion = 0;
    bool conflict = false;
    ASSERT_EQ(1, WriteGcpRecordIf(&avon, 5, next.data(), next.size(), 0, &newVersion, &conflict))
        << avon.LastError();
    EXPECT_EQ(SqliteRecordStore::kSchemaVersion, QueryInt(db, "PRAGMA user_version"));
    EXPECT_EQ(2u, newVersion);
    ExpectOldRecordsKept(avon, other);

    // The version read before the migration still names the record as it
    // is: a write over it succeeds, and a second one over it is stale.
    ASSERT_EQ(1, WriteGcpRecordIf(&otherAgain, 1, next.data(), next.size(), readBefore, &newVersion,
                                  &conflict))
        << otherAgain.LastError();
    EXPECT_EQ(0, WriteGcpRecordIf(&other, 1, next.data(), next.size(), readBefore, &newVersion,
                                  &conflict));
    EXPECT_TRUE(conflict);
    EXPECT_TRUE(Contains(other.LastError(), "after version 1 was read")) << other.LastError();
}

TEST(VersionOneDatabase, CreateIfMissingMigratesAtOnceAndAnUnwritableOneStaysReadable) {
    TempDir dir;
    const std::string db = dir.File("old.db");
    MakeVersionOneDatabase(db);
    {
        CRasteBaseArea avon, other;
        ASSERT_TRUE(avon.Open(db.c_str(), "avon")) << avon.LastError();
        EXPECT_EQ(SqliteRecordStore::kSchemaVersion, QueryInt(db, "PRAGMA user_version"));
        EXPECT_EQ(3, QueryInt(db, "SELECT count(*) FROM lodestor_record_version WHERE area_id <> 0 AND version = 1"));
        ASSERT_TRUE(other.Open(db.c_str(), "other")) << other.LastError();
        ExpectOldRecordsKept(avon, other);
        // New versions go on after the migrated ones.
        EXPECT_EQ(2u, Write(avon, 4, MakeRecord(1, 20)));
    }

    const std::string readOnly = dir.File("old-read-only.db");
    MakeVersionOneDatabase(readOnly);
    if (!lodestor_test::MakeReadOnly(readOnly)) {
        lodestor_test::UndoReadOnly(readOnly);
        GTEST_SKIP() << "cannot make a file read-only here";
    }
    {
        CRasteBaseArea avon, other;
        ASSERT_TRUE(avon.Open(readOnly.c_str(), "avon")) << avon.LastError();
        ASSERT_TRUE(other.Open(readOnly.c_str(), "other")) << other.LastError();
        ExpectOldRecordsKept(avon, other);
        std::uint64_t newVersion = 0;
        bool conflict = true;
        const Bytes next = MakeRecord(9, 100);
        EXPECT_EQ(0, WriteGcpRecordIf(&avon, 1, next.data(), next.size(), 1, &newVersion, &conflict));
        EXPECT_FALSE(conflict);
        EXPECT_TRUE(Contains(avon.LastError(), "read-only")) << avon.LastError();
    }
    lodestor_test::UndoReadOnly(readOnly);
    EXPECT_EQ(1, QueryInt(readOnly, "PRAGMA user_version"));
}

}  // namespace
