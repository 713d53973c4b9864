// SqliteRecordStore.cpp - the record store in one SQLite database file.
#include "SqliteRecordStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include <sys/stat.h>

namespace lodestor {

namespace {

// One prepared statement, finalized on every way out, or one the store keeps
// prepared (SqliteRecordStore::Kept), reset on every way out so that it
// holds no lock and no binding between uses.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
        }
    }
    explicit Statement(sqlite3_stmt* kept) : stmt_(kept), kept_(true) {}
    ~Statement() {
        if (!kept_) {
            sqlite3_finalize(stmt_);
        } else if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Prepared() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    int Step() { return sqlite3_step(stmt_); }
    // Binds an area and a key as ?1 and ?2.
    bool BindRecord(AreaId area, std::int64_t key) {
        return sqlite3_bind_int64(stmt_, 1, area) == SQLITE_OK &&
               sqlite3_bind_int64(stmt_, 2, key) == SQLITE_OK;
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool kept_ = false;
};

// A transaction rolled back unless committed, so that an early return never
// leaves a half-made change behind.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    ~Transaction() {
        if (active_ && !sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // "BEGIN" starts a reader; "BEGIN IMMEDIATE" takes the write lock at
    // once, waiting for it under the busy timeout, so that a writer never
    // fails half-way on a lock another writer holds.
    bool Begin(const char* sql) {
        active_ = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        return active_;
    }
    bool Commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
        active_ = false;
        return true;
    }
    // Leaves the open transaction to someone else, who ends it.
    void Release() { active_ = false; }

private:
    sqlite3* db_;
    bool active_ = false;
};

bool Execute(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Reads the single integer a statement such as a PRAGMA returns.
bool QueryInt(sqlite3* db, const char* sql, std::int64_t* value) {
    Statement stmt(db, sql);
    if (!stmt.Prepared() || stmt.Step() != SQLITE_ROW) return false;
    *value = sqlite3_column_int64(stmt.get(), 0);
    return true;
}

// Plain words for the failures a caller can do something about.
const char* Explain(int primaryCode) {
    switch (primaryCode) {
        case SQLITE_NOTADB: return "the file is not a SQLite database";
        case SQLITE_READONLY: return "the database is read-only";
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return "the database stayed locked by another connection beyond the busy timeout";
        case SQLITE_FULL: return "the database or the disk is full";
        case SQLITE_CORRUPT: return "the database file is damaged";
        case SQLITE_TOOBIG: return "the record is larger than the database accepts";
        case SQLITE_CANTOPEN: return "the file cannot be opened";
        case SQLITE_IOERR: return "reading or writing the file failed";
        case SQLITE_PERM: return "permission denied";
        case SQLITE_NOMEM: return "out of memory";
        default: return nullptr;
    }
}

std::string KeyText(std::int64_t key) { return std::to_string(key); }

bool BindName(const Statement& stmt, const std::string& name) {
    return sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

// Only a file that is truly absent; one that exists but cannot be opened
// keeps SQLite's own reason.
bool IsAbsent(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// The tables of schema version 1, unchanged in version 2.
const char* kCreateTables =
    "CREATE TABLE lodestor_area ("
    "  area_id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE lodestor_record ("
    "  area_id INTEGER NOT NULL REFERENCES lodestor_area(area_id),"
    "  record_key INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY (area_id, record_key));";

// What version 2 adds: the record versions.  They live in a table of their
// own rather than in a column of lodestor_record: a column after the data
// would make reading a version walk every overflow page of a record of
// hundreds of megabytes, and one before it cannot be added to an existing
// table without copying every record.
//
// The counter is the row (0, 0) of the version table (area 0 and key 0 name
// no record), not a table of its own: every table takes a page of 64 KiB of
// its own, and each page a write changes is one more page written to the
// log and synced at its commit.  The counter never goes back, so a record
// deleted and written again gets a number never used.
//
// The store's own statements keep the versions, in the transaction of each
// write (NewVersion).  Triggers on lodestor_record would also count writes
// made with plain SQL, but with any trigger on the table SQLite updates a
// record of 120 MB taking a fifth more time.
const char* kCreateVersionTables =
    "CREATE TABLE lodestor_record_version ("
    "  area_id INTEGER NOT NULL,"
    "  record_key INTEGER NOT NULL,"
    "  version INTEGER NOT NULL,"
    "  PRIMARY KEY (area_id, record_key)) WITHOUT ROWID;";

// The statements of the record calls, kept prepared by the store (Kept):
// a write runs six of them, and preparing one costs about as much as running
// it on a small record (a read of 12 KB took half the time once its two
// statements stayed prepared).  Each is named once, so that its address
// identifies it.
const char kSchemaVersionSql[] = "PRAGMA user_version";
const char kRecordSizeSql[] =
    "SELECT length(data) FROM lodestor_record WHERE area_id = ?1 AND record_key = ?2";
const char kFindRecordSql[] =
    "SELECT rowid, length(data) FROM lodestor_record WHERE area_id = ?1 AND record_key = ?2";
const char kRecordVersionSql[] =
    "SELECT version FROM lodestor_record_version WHERE area_id = ?1 AND record_key = ?2";
const char kStoreRowSql[] =
    "INSERT INTO lodestor_record(area_id, record_key, data) VALUES (?1, ?2, ?3) "
    "ON CONFLICT(area_id, record_key) DO UPDATE SET data = excluded.data";
const char kCountVersionSql[] =
    "UPDATE lodestor_record_version SET version = version + 1 WHERE area_id = 0 AND record_key = 0";
const char kLastVersionSql[] =
    "SELECT version FROM lodestor_record_version WHERE area_id = 0 AND record_key = 0";
const char kSetVersionSql[] =
    "INSERT OR REPLACE INTO lodestor_record_version(area_id, record_key, version) VALUES (?1, ?2, ?3)";
const char kDeleteRowSql[] = "DELETE FROM lodestor_record WHERE area_id = ?1 AND record_key = ?2";
const char kDeleteVersionSql[] =
    "DELETE FROM lodestor_record_version WHERE area_id = ?1 AND record_key = ?2";

// A new database: no version given yet.
const char* kStartCounter = "INSERT INTO lodestor_record_version VALUES (0, 0, 0);";

// A version-1 database: every record it holds gets version 1, and the
// counter goes on from there.
const char* kVersionExistingRecords =
    "INSERT INTO lodestor_record_version VALUES (0, 0, 1);"
    "INSERT INTO lodestor_record_version(area_id, record_key, version)"
    "  SELECT area_id, record_key, 1 FROM lodestor_record;";

std::string SchemaMark(std::int32_t version) {
    return "PRAGMA user_version=" + std::to_string(version) + ";";
}

// The refusal of a conditional write that found another version.
std::string ConflictReason(std::int64_t key, const std::string& path, std::uint64_t expected,
                           std::uint64_t current) {
    const std::string record = "record " + KeyText(key) + " in '" + path + "'";
    std::string reason = "writing record " + KeyText(key) + " refused: another writer ";
    if (expected == 0) {
        reason += "created " + record + " after it was found missing (it is now at version " +
                  std::to_string(current) + ")";
    } else if (current == 0) {
        reason += "deleted " + record + " after version " + std::to_string(expected) + " was read";
    } else {
        reason += "changed " + record + " after version " + std::to_string(expected) +
                  " was read (it is now at version " + std::to_string(current) + ")";
    }
    return reason + "; nothing was written";
}

}  // namespace

SqliteRecordStore::SqliteRecordStore(sqlite3* db, std::string path)
    : db_(db), path_(std::move(path)) {}

SqliteRecordStore::~SqliteRecordStore() {
    for (const auto& [sql, stmt] : kept_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
}

sqlite3_stmt* SqliteRecordStore::Kept(const char* sql) {
    for (const auto& [keptSql, stmt] : kept_) {
        if (keptSql == sql) return stmt;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    kept_.emplace_back(sql, stmt);
    return stmt;
}

Status SqliteRecordStore::SchemaVersionNow(const std::string& action, std::int64_t* version) {
    Statement stmt(Kept(kSchemaVersionSql));
    if (!stmt.Prepared() || stmt.Step() != SQLITE_ROW) return Failure(action);
    *version = sqlite3_column_int64(stmt.get(), 0);
    return Status::OK();
}

Status SqliteRecordStore::Open(const std::string& path, bool createIfMissing,
                               std::unique_ptr<SqliteRecordStore>* store) {
    if (path.empty()) return Status::IOError("no database path given");
    // Without SQLITE_OPEN_CREATE a missing file stays missing; a file that
    // cannot be written still opens, read-only.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (createIfMissing) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    // The handle exists even when the open failed and must be closed.
    std::unique_ptr<SqliteRecordStore> opened(new SqliteRecordStore(db, path));
    if (rc != SQLITE_OK) {
        if (!createIfMissing && IsAbsent(path)) {
            return Status::IOError("no raster database '" + path + "': the file does not exist");
        }
        return opened->Failure("opening the database");
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    Status status = opened->PrepareSchema(createIfMissing);
    if (!status.ok()) return status;
    *store = std::move(opened);
    return Status::OK();
}

Status SqliteRecordStore::Failure(const std::string& action) const {
    std::string reason = action + " in '" + path_ + "' failed: ";
    if (db_ == nullptr) return Status::IOError(reason + "out of memory");
    const int code = sqlite3_extended_errcode(db_);
    if (const char* plain = Explain(code & 0xff)) {
        reason += plain;
        reason += " (";
        reason += sqlite3_errmsg(db_);
        reason += ")";
    } else {
        reason += sqlite3_errmsg(db_);
    }
    return Status::IOError(reason);
}

Status SqliteRecordStore::RefuseIfReadOnly(const char* action) const {
    if (sqlite3_db_readonly(db_, "main") == 1) {
        return Status::IOError(std::string(action) + " in '" + path_ +
                             "' refused: the database is read-only");
    }
    return Status::OK();
}

Status SqliteRecordStore::ReadHeader(std::int32_t* applicationId, std::int32_t* version,
                                     bool* empty) {
    std::int64_t app = 0, ver = 0, objects = 0;
    // The first read of the file is where a file that is not a database shows.
    if (!QueryInt(db_, "PRAGMA application_id", &app) ||
        !QueryInt(db_, "PRAGMA user_version", &ver) ||
        !QueryInt(db_, "SELECT count(*) FROM sqlite_schema", &objects)) {
        return Failure("reading the database header");
    }
    *applicationId = static_cast<std::int32_t>(app);
    *version = static_cast<std::int32_t>(ver);
    *empty = objects == 0;
    return Status::OK();
}

Status SqliteRecordStore::CheckSchema(std::int32_t applicationId, std::int32_t version) const {
    if (applicationId != kApplicationId) {
        return Status::IOError("'" + path_ +
                             "' is a SQLite database of another application, not a raster database");
    }
    if (version > kSchemaVersion) {
        return Status::IOError("'" + path_ + "' has raster database schema version " +
                             std::to_string(version) + ", newer than version " +
                             std::to_string(kSchemaVersion) +
                             " that this library knows; use a newer library");
    }
    if (version < 1) {
        return Status::IOError("'" + path_ +
                             "' is marked as a raster database but has no schema version; "
                             "the file is damaged");
    }
    return Status::OK();
}

Status SqliteRecordStore::PrepareWrite(const char* action) {
    Status status = RefuseIfReadOnly(action);
    if (!status.ok() || writeAheadLogEnsured_) return status;
    return EnsureWriteAheadLog();
}

Status SqliteRecordStore::PrepareSchema(bool createIfMissing) {
    std::int32_t app = 0, version = 0;
    bool empty = false;
    Status status;
    {
        // One read transaction, so that the three values agree even while
        // another process is creating the schema.
        Transaction read(db_);
        if (!read.Begin("BEGIN")) return Failure("reading the database header");
        status = ReadHeader(&app, &version, &empty);
        if (!status.ok()) return status;
    }
    if (app == 0 && version == 0 && empty) {
        if (createIfMissing) return CreateSchema();
        return Status::IOError("'" + path_ +
                             "' holds no raster database: the file is empty or has no tables");
    }
    status = CheckSchema(app, version);
    if (!status.ok()) return status;
    versionsKept_ = version >= kSchemaVersion;
    // Opening an existing database without creating writes nothing; a file
    // not yet in write-ahead-log mode is switched, and one of schema version
    // 1 migrated, by its first write.
    if (createIfMissing && sqlite3_db_readonly(db_, "main") != 1) {
        status = EnsureWriteAheadLog();
        if (!status.ok()) return status;
        if (!versionsKept_) {
            status = Migrate();
            if (!status.ok()) return status;
        }
    }
    if (!Execute(db_, "PRAGMA synchronous=FULL")) return Failure("setting synchronous writes");
    return Status::OK();
}

Status SqliteRecordStore::KeepsVersions(const std::string& action, bool* kept) {
    if (versionsKept_) {
        *kept = true;
        return Status::OK();
    }
    std::int64_t version = 0;
    Status status = SchemaVersionNow(action, &version);
    if (!status.ok()) return status;
    *kept = version >= kSchemaVersion;
    // A database never goes back to version 1, so a version seen by a
    // reader, which sees committed data only, holds for good.  A writer may
    // see its own migration, which its rollback would undo.
    if (sqlite3_txn_state(db_, "main") != SQLITE_TXN_WRITE) versionsKept_ = *kept;
    return Status::OK();
}

Status SqliteRecordStore::MigrateWithin(const std::string& action, bool* migrated) {
    *migrated = false;
    std::int64_t version = 0;
    Status status = SchemaVersionNow(action, &version);
    if (!status.ok()) return status;
    if (version != kUnversionedSchema) return Status::OK();
    const std::string mark = SchemaMark(kSchemaVersion);
    if (!Execute(db_, kCreateVersionTables) || !Execute(db_, kVersionExistingRecords) ||
        !Execute(db_, mark.c_str())) {
        return Failure(action + ": migrating the database to schema version " +
                       std::to_string(kSchemaVersion));
    }
    *migrated = true;
    return Status::OK();
}

Status SqliteRecordStore::Migrate() {
    const std::string action = "migrating the raster database to schema version " +
                               std::to_string(kSchemaVersion);
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure(action);
    bool migrated = false;
    Status status = MigrateWithin(action, &migrated);
    if (!status.ok()) return status;
    if (!tx.Commit()) return Failure(action);
    versionsKept_ = true;  // by this connection or, meanwhile, by another one
    return Status::OK();
}

// Changing the journal mode needs an exclusive lock, and SQLite reports a
// lock held by another connection at once instead of waiting through the
// busy handler.  Several processes opening a new database together meet
// exactly that, so the switch waits here, as every other call does.
Status SqliteRecordStore::EnsureWriteAheadLog() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        Statement stmt(db_, "PRAGMA journal_mode=WAL");
        if (stmt.Prepared() && stmt.Step() == SQLITE_ROW) {
            const unsigned char* mode = sqlite3_column_text(stmt.get(), 0);
            const std::string modeText = mode ? reinterpret_cast<const char*>(mode) : "";
            if (sqlite3_stricmp(modeText.c_str(), "wal") == 0) {
                writeAheadLogEnsured_ = true;
                return Status::OK();
            }
            return Status::IOError("switching to write-ahead logging in '" + path_ +
                                 "' failed: the database stays in journal mode '" + modeText +
                                 "'");
        }
        if ((sqlite3_extended_errcode(db_) & 0xff) != SQLITE_BUSY ||
            std::chrono::steady_clock::now() >= deadline) {
            return Failure("switching to write-ahead logging");
        }
        sqlite3_sleep(5);
    }
}

Status SqliteRecordStore::CreateSchema() {
    Status status = RefuseIfReadOnly("creating the raster database schema");
    if (!status.ok()) return status;
    // The page size only takes effect on a database that holds nothing yet.
    const std::string pageSize = "PRAGMA page_size=" + std::to_string(kPageSize);
    if (!Execute(db_, pageSize.c_str())) {
        return Failure("setting the page size");
    }
    if (!Execute(db_, "PRAGMA synchronous=FULL")) return Failure("setting synchronous writes");

    // The schema is made in the default rollback mode, where taking the write
    // lock waits for other processes; the switch to write-ahead logging
    // follows once the schema is there.
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure("creating the raster database schema");
    // Another process may have created the schema while this one waited.
    std::int32_t app = 0, version = 0;
    bool empty = false;
    status = ReadHeader(&app, &version, &empty);
    if (!status.ok()) return status;
    if (!(app == 0 && version == 0 && empty)) {
        status = CheckSchema(app, version);
        if (!status.ok()) return status;
        bool migrated = false;
        status = MigrateWithin("creating the raster database schema", &migrated);
        if (!status.ok()) return status;
        if (!tx.Commit()) return Failure("creating the raster database schema");
        versionsKept_ = true;
        return EnsureWriteAheadLog();
    }
    const std::string mark = "PRAGMA application_id=" + std::to_string(kApplicationId) + ";" +
                             SchemaMark(kSchemaVersion);
    if (!Execute(db_, kCreateTables) || !Execute(db_, kCreateVersionTables) ||
        !Execute(db_, kStartCounter) || !Execute(db_, mark.c_str()) || !tx.Commit()) {
        return Failure("creating the raster database schema");
    }
    versionsKept_ = true;
    return EnsureWriteAheadLog();
}

Status SqliteRecordStore::FindArea(const std::string& name, AreaId* id, bool* found) {
    if (name.empty()) return Status::IOError("no raster area name given");
    Statement stmt(db_, "SELECT area_id FROM lodestor_area WHERE name = ?1");
    if (!stmt.Prepared() || !BindName(stmt, name)) {
        return Failure("looking up raster area '" + name + "'");
    }
    const int rc = stmt.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Failure("looking up raster area '" + name + "'");
    *found = rc == SQLITE_ROW;
    if (*found) *id = sqlite3_column_int64(stmt.get(), 0);
    return Status::OK();
}

Status SqliteRecordStore::AreaNames(std::vector<std::string>* names) {
    Statement stmt(db_, "SELECT name FROM lodestor_area ORDER BY name");
    if (!stmt.Prepared()) return Failure("listing raster areas");
    names->clear();
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW) {
        // The byte count, not the terminator: a name may hold any byte.
        const unsigned char* text = sqlite3_column_text(stmt.get(), 0);
        const int bytes = sqlite3_column_bytes(stmt.get(), 0);
        names->emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                            text ? static_cast<std::size_t>(bytes) : 0);
    }
    if (rc != SQLITE_DONE) return Failure("listing raster areas");
    return Status::OK();
}

Status SqliteRecordStore::OpenArea(const std::string& name, AreaId* id) {
    bool found = false;
    Status status = FindArea(name, id, &found);
    if (!status.ok() || found) return status;
    const std::string action = "creating raster area '" + name + "'";
    status = PrepareWrite(action.c_str());
    if (!status.ok()) return status;
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure(action);
    // OR IGNORE: another connection may have made the area meanwhile.
    Statement insert(db_, "INSERT OR IGNORE INTO lodestor_area(name) VALUES (?1)");
    if (!insert.Prepared() || !BindName(insert, name) || insert.Step() != SQLITE_DONE) {
        return Failure(action);
    }
    status = FindArea(name, id, &found);
    if (!status.ok()) return status;
    if (!found) return Status::IOError(action + " in '" + path_ + "' failed: the new row is missing");
    if (!tx.Commit()) return Failure(action);
    return Status::OK();
}

Status SqliteRecordStore::RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) {
    // length() of a blob reads the row header only, not the record's pages.
    Statement stmt(Kept(kRecordSizeSql));
    if (!stmt.Prepared() || !stmt.BindRecord(area, key)) {
        return Failure("asking the size of record " + KeyText(key));
    }
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) {
        *size = 0;
        return Status::OK();
    }
    if (rc != SQLITE_ROW) return Failure("asking the size of record " + KeyText(key));
    *size = static_cast<std::uint32_t>(sqlite3_column_int64(stmt.get(), 0));
    return Status::OK();
}

Status SqliteRecordStore::FindRecord(AreaId area, std::int64_t key, const std::string& action,
                                     bool withVersion, StoredRecord* found) {
    *found = StoredRecord();
    Statement stmt(Kept(kFindRecordSql));
    if (!stmt.Prepared() || !stmt.BindRecord(area, key)) return Failure(action);
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return Failure(action);
    found->exists = true;
    found->rowid = sqlite3_column_int64(stmt.get(), 0);
    found->length = sqlite3_column_int64(stmt.get(), 1);
    if (!withVersion) return Status::OK();
    bool versioned = false;
    Status status = KeepsVersions(action, &versioned);
    if (!status.ok()) return status;
    if (!versioned) {
        found->version = kMigratedRecordVersion;
        return Status::OK();
    }
    Statement version(Kept(kRecordVersionSql));
    if (!version.Prepared() || !version.BindRecord(area, key)) return Failure(action);
    const int versionRc = version.Step();
    if (versionRc == SQLITE_DONE || (versionRc == SQLITE_ROW &&
                                     sqlite3_column_int64(version.get(), 0) <= 0)) {
        return Status::IOError(action + " in '" + path_ + "' failed: the record has no version; " +
                             "the database is damaged");
    }
    if (versionRc != SQLITE_ROW) return Failure(action);
    found->version = static_cast<std::uint64_t>(sqlite3_column_int64(version.get(), 0));
    return Status::OK();
}

Status SqliteRecordStore::RecordState(AreaId area, std::int64_t key, std::uint32_t* size,
                                      std::uint64_t* version) {
    const std::string action = "asking the state of record " + KeyText(key);
    // One read transaction: the size and the version belong together.
    Transaction tx(db_);
    if (!tx.Begin("BEGIN")) return Failure(action);
    StoredRecord found;
    Status status = FindRecord(area, key, action, true, &found);
    if (!status.ok()) return status;
    if (!tx.Commit()) return Failure(action);
    *size = static_cast<std::uint32_t>(found.length);
    *version = found.version;
    return Status::OK();
}

Status SqliteRecordStore::ReadRecord(AreaId area, std::int64_t key, void* buffer,
                                     std::uint32_t length) {
    return ReadWithVersion(area, key, buffer, length, nullptr);
}

Status SqliteRecordStore::ReadRecordVersion(AreaId area, std::int64_t key, void* buffer,
                                            std::uint32_t length, std::uint64_t* version) {
    return ReadWithVersion(area, key, buffer, length, version);
}

Status SqliteRecordStore::ReadWithVersion(AreaId area, std::int64_t key, void* buffer,
                                          std::uint32_t length, std::uint64_t* version) {
    const std::string action = "reading record " + KeyText(key);
    if (buffer == nullptr && length > 0) return Status::IOError(action + " refused: no buffer given");
    // One read transaction, so that the length checked below is the length of
    // the bytes then copied, and the version theirs, whatever other writers
    // do meanwhile.
    Transaction tx(db_);
    if (!tx.Begin("BEGIN")) return Failure(action);
    StoredRecord found;
    Status status = FindRecord(area, key, action, version != nullptr, &found);
    if (!status.ok()) return status;
    if (found.length != static_cast<std::int64_t>(length)) {
        return Status::IOError(action + " refused: the record is " + std::to_string(found.length) +
                             " bytes long, not " + std::to_string(length) +
                             " (it changed since its size was asked)");
    }
    if (length > 0) {
        // The length equals a stored blob's, which SQLite keeps below INT_MAX.
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(db_, "main", "lodestor_record", "data", found.rowid, 0, &blob) !=
            SQLITE_OK) {
            sqlite3_blob_close(blob);
            return Failure(action);
        }
        const int readRc = sqlite3_blob_read(blob, buffer, static_cast<int>(length), 0);
        sqlite3_blob_close(blob);
        if (readRc != SQLITE_OK) return Failure(action);
    }
    if (!tx.Commit()) return Failure(action);
    if (version != nullptr) *version = found.version;
    return Status::OK();
}

namespace {

// The blob of one record, read where the caller asks, within the read
// transaction it was opened in: what it hands out is the record as it was
// when the reader was opened, whatever writers do meanwhile.
class BlobReader final : public RecordReader {
public:
    BlobReader(sqlite3* db, sqlite3_blob* blob, std::uint32_t size, std::string action)
        : db_(db), blob_(blob), size_(size), action_(std::move(action)) {}
    ~BlobReader() override {
        sqlite3_blob_close(blob_);
        // A read transaction: ending it cannot lose anything.
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }

    Status Read(void* buffer, std::uint32_t capacity, std::uint32_t* count) override {
        const std::uint32_t n = std::min(capacity, size_ - offset_);
        *count = 0;
        if (n > 0 && sqlite3_blob_read(blob_, buffer, static_cast<int>(n), static_cast<int>(offset_)) != SQLITE_OK) {
            return Status::IOError(action_ + " failed: " + sqlite3_errmsg(db_));
        }
        offset_ += n;
        *count = n;
        return Status::OK();
    }

private:
    sqlite3* db_;
    sqlite3_blob* blob_;
    std::uint32_t size_;
    std::uint32_t offset_ = 0;
    std::string action_;
};

}  // namespace

Status SqliteRecordStore::OpenRecordReader(AreaId area, std::int64_t key, std::uint32_t* size,
                                           std::uint64_t* version, std::unique_ptr<RecordReader>* reader) {
    const std::string action = "reading record " + KeyText(key);
    Transaction tx(db_);
    if (!tx.Begin("BEGIN")) return Failure(action);
    StoredRecord found;
    Status status = FindRecord(area, key, action, true, &found);
    if (!status.ok()) return status;
    sqlite3_blob* blob = nullptr;
    if (found.length > 0 &&
        sqlite3_blob_open(db_, "main", "lodestor_record", "data", found.rowid, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        return Failure(action);
    }
    // The reader ends the transaction; this scope must not.
    tx.Release();
    *size = static_cast<std::uint32_t>(found.length);
    *version = found.version;
    *reader = std::make_unique<BlobReader>(db_, blob, *size, action);
    return Status::OK();
}

Status SqliteRecordStore::CheckWrite(const std::string& action, const void* data,
                                     std::uint32_t length) {
    if (data == nullptr && length > 0) return Status::IOError(action + " refused: no bytes given");
    Status status = PrepareWrite(action.c_str());
    if (!status.ok()) return status;
    const int limit = sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1);
    if (static_cast<std::int64_t>(length) > limit) {
        return Status::IOError(action + " in '" + path_ + "' refused: " + std::to_string(length) +
                             " bytes are more than the database's limit of " +
                             std::to_string(limit));
    }
    return Status::OK();
}

Status SqliteRecordStore::NewVersion(AreaId area, std::int64_t key, const std::string& action,
                                     std::uint64_t* version) {
    Statement count(Kept(kCountVersionSql));
    if (!count.Prepared() || count.Step() != SQLITE_DONE) return Failure(action);
    Statement last(Kept(kLastVersionSql));
    if (!last.Prepared() || last.Step() != SQLITE_ROW) {
        return Status::IOError(action + " in '" + path_ +
                             "' failed: the version counter is missing; the database is damaged");
    }
    const sqlite3_int64 next = sqlite3_column_int64(last.get(), 0);
    Statement set(Kept(kSetVersionSql));
    if (!set.Prepared() || !set.BindRecord(area, key) ||
        sqlite3_bind_int64(set.get(), 3, next) != SQLITE_OK || set.Step() != SQLITE_DONE) {
        return Failure(action);
    }
    *version = static_cast<std::uint64_t>(next);
    return Status::OK();
}

Status SqliteRecordStore::StoreRow(AreaId area, std::int64_t key, const void* data,
                                   std::uint32_t length, const std::string& action,
                                   std::uint64_t* version) {
    Statement stmt(Kept(kStoreRowSql));
    // An empty record is an empty blob, never NULL: bind a non-null pointer.
    static const char kNothing = 0;
    if (!stmt.Prepared() || !stmt.BindRecord(area, key) ||
        sqlite3_bind_blob64(stmt.get(), 3, length > 0 ? data : &kNothing, length,
                            SQLITE_STATIC) != SQLITE_OK ||
        stmt.Step() != SQLITE_DONE) {
        return Failure(action);
    }
    return NewVersion(area, key, action, version);
}

Status SqliteRecordStore::WriteRecord(AreaId area, std::int64_t key, const void* data,
                                      std::uint32_t length) {
    const std::string action = "writing record " + KeyText(key);
    Status status = CheckWrite(action, data, length);
    if (!status.ok()) return status;
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure(action);
    bool migrated = false;
    status = MigrateWithin(action, &migrated);
    if (!status.ok()) return status;
    std::uint64_t version = 0;
    status = StoreRow(area, key, data, length, action, &version);
    if (!status.ok()) return status;
    if (!tx.Commit()) return Failure(action);
    if (migrated) versionsKept_ = true;
    return Status::OK();
}

Status SqliteRecordStore::WriteRecordIf(AreaId area, std::int64_t key, const void* data,
                                        std::uint32_t length, std::uint64_t expected,
                                        std::uint64_t* newVersion) {
    const std::string action = "writing record " + KeyText(key);
    Status status = CheckWrite(action, data, length);
    if (!status.ok()) return status;
    // The write lock is taken before the version is read, so that no other
    // writer can come between the check and the write.
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure(action);
    bool migrated = false;
    status = MigrateWithin(action, &migrated);
    if (!status.ok()) return status;
    StoredRecord found;
    status = FindRecord(area, key, action, true, &found);
    if (!status.ok()) return status;
    if (found.version != expected) return Status::Conflict(ConflictReason(key, path_, expected, found.version));
    std::uint64_t version = 0;
    status = StoreRow(area, key, data, length, action, &version);
    if (!status.ok()) return status;
    if (!tx.Commit()) return Failure(action);
    if (migrated) versionsKept_ = true;
    *newVersion = version;
    return Status::OK();
}

Status SqliteRecordStore::DeleteRecord(AreaId area, std::int64_t key) {
    const std::string action = "deleting record " + KeyText(key);
    Status status = PrepareWrite(action.c_str());
    if (!status.ok()) return status;
    // The record and its version go together; the counter stays.
    Transaction tx(db_);
    if (!tx.Begin("BEGIN IMMEDIATE")) return Failure(action);
    bool migrated = false;
    status = MigrateWithin(action, &migrated);
    if (!status.ok()) return status;
    for (const char* sql : {kDeleteRowSql, kDeleteVersionSql}) {
        Statement stmt(Kept(sql));
        if (!stmt.Prepared() || !stmt.BindRecord(area, key) || stmt.Step() != SQLITE_DONE) {
            return Failure(action);
        }
    }
    if (!tx.Commit()) return Failure(action);
    if (migrated) versionsKept_ = true;
    return Status::OK();
}

Status SqliteRecordStore::ListKeys(AreaId area, std::vector<std::int64_t>* keys) {
    Statement stmt(db_,
                   "SELECT record_key FROM lodestor_record WHERE area_id = ?1 ORDER BY record_key");
    if (!stmt.Prepared() || sqlite3_bind_int64(stmt.get(), 1, area) != SQLITE_OK) {
        return Failure("listing records");
    }
    keys->clear();
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW) keys->push_back(sqlite3_column_int64(stmt.get(), 0));
    if (rc != SQLITE_DONE) return Failure("listing records");
    return Status::OK();
}

Status SqliteRecordStore::LimitSize(std::uint64_t maxBytes) {
    std::int64_t pageSize = 0;
    if (!QueryInt(db_, "PRAGMA page_size", &pageSize) || pageSize <= 0) {
        return Failure("reading the page size");
    }
    std::uint64_t pages = maxBytes / static_cast<std::uint64_t>(pageSize);
    if (pages < 1) pages = 1;
    if (pages > static_cast<std::uint64_t>(UINT32_MAX - 1)) pages = UINT32_MAX - 1;
    const std::string sql = "PRAGMA max_page_count=" + std::to_string(pages);
    std::int64_t applied = 0;
    if (!QueryInt(db_, sql.c_str(), &applied)) return Failure("limiting the database size");
    return Status::OK();
}

}  // namespace lodestor
