// SqliteRecordStore.h - the record store kept in one SQLite database file.
//
// The file holds the tables of docs/lodestor.md, marked by SQLite's
// application id and versioned by its user version.  Open() creates the file
// and its schema when missing (unless told not to, and then opening writes
// nothing at all), and refuses a file that is not a SQLite database, a
// database of another application, and a schema version newer than this
// library knows.
//
// Durability: the database runs in write-ahead-log mode with synchronous=FULL,
// so a write that reported success survives a crash or power cut, and one
// that was cut short leaves the former record.  Writers of several processes
// queue behind each other for up to kBusyTimeoutMs instead of failing at once;
// the later write wins, unless it is a conditional write (WriteRecordIf) that
// finds another version than the one it expects.
//
// Versions: every write of a record takes a new number from a counter of
// the whole database, kept with the record's version in a table beside the
// records (docs/lodestor.md), in the write's own transaction.  A database of
// schema version 1 (no versions yet) is
// migrated in one transaction when it is opened with createIfMissing, or
// else by the first write of a connection; until then its records read as
// version 1, the version the migration gives them.
#ifndef MORVANE_LODESTOR_SQLITERECORDSTORE_H
#define MORVANE_LODESTOR_SQLITERECORDSTORE_H

#include "RecordStore.h"

#include <memory>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lodestor {

class SqliteRecordStore final : public RecordStore {
public:
    // "LDST" read as a big-endian 32-bit number: marks a Lodestor database.
    static constexpr std::int32_t kApplicationId = 0x4C445354;
    // Version of the schema this library writes and reads.  Version 1 (no
    // record versions) is still read, and migrated to this one at a write.
    static constexpr std::int32_t kSchemaVersion = 2;
    static constexpr std::int32_t kUnversionedSchema = 1;
    // The version that every record of a version-1 database reads as, and
    // gets when the database is migrated.
    static constexpr std::uint64_t kMigratedRecordVersion = 1;
    // How long a call waits for another connection's lock before giving up.
    static constexpr int kBusyTimeoutMs = 60000;
    // Page size of new databases: large pages suit records of many megabytes.
    static constexpr int kPageSize = 65536;

    // Opens the database file at `path`.  With createIfMissing a missing or
    // empty file gets the schema.  Without it such a file is refused, and
    // opening writes nothing: no schema, no journal-mode switch (that waits
    // for the first write).
    static Status Open(const std::string& path, bool createIfMissing,
                       std::unique_ptr<SqliteRecordStore>* store);

    ~SqliteRecordStore() override;

    Status OpenArea(const std::string& name, AreaId* id) override;
    Status FindArea(const std::string& name, AreaId* id, bool* found) override;
    Status AreaNames(std::vector<std::string>* names) override;
    Status RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) override;
    Status ReadRecord(AreaId area, std::int64_t key, void* buffer, std::uint32_t length) override;
    Status WriteRecord(AreaId area, std::int64_t key, const void* data,
                       std::uint32_t length) override;
    Status RecordState(AreaId area, std::int64_t key, std::uint32_t* size,
                       std::uint64_t* version) override;
    Status ReadRecordVersion(AreaId area, std::int64_t key, void* buffer, std::uint32_t length,
                             std::uint64_t* version) override;
    // Reads the record's blob piece by piece inside one read transaction,
    // held until the reader is destroyed.
    Status OpenRecordReader(AreaId area, std::int64_t key, std::uint32_t* size, std::uint64_t* version,
                            std::unique_ptr<RecordReader>* reader) override;
    Status WriteRecordIf(AreaId area, std::int64_t key, const void* data, std::uint32_t length,
                         std::uint64_t expected, std::uint64_t* newVersion) override;
    Status DeleteRecord(AreaId area, std::int64_t key) override;
    Status ListKeys(AreaId area, std::vector<std::int64_t>* keys) override;
    Status LimitSize(std::uint64_t maxBytes) override;
    const std::string& Location() const override { return path_; }

private:
    // What a transaction found under a key.
    struct StoredRecord {
        bool exists = false;
        std::int64_t rowid = 0;
        std::int64_t length = 0;
        std::uint64_t version = 0;  // 0 when the record does not exist
    };

    SqliteRecordStore(sqlite3* db, std::string path);

    Status PrepareSchema(bool createIfMissing);
    Status CreateSchema();
    Status EnsureWriteAheadLog();
    Status CheckSchema(std::int32_t applicationId, std::int32_t version) const;
    Status ReadHeader(std::int32_t* applicationId, std::int32_t* version, bool* empty);
    Status RefuseIfReadOnly(const char* action) const;
    // Every record write passes here: refused on a read-only database; the
    // first write of a connection that did not switch the file to
    // write-ahead logging when it opened does so now.
    Status PrepareWrite(const char* action);
    // The reason of the connection's last failure, worded for `action`.
    Status Failure(const std::string& action) const;

    // The statement of `sql` (one of the record calls' statements, named
    // once), prepared at its first use and kept until the store closes; null
    // when it cannot be prepared, with the reason in the connection.
    sqlite3_stmt* Kept(const char* sql);
    // The user_version header field, read inside the caller's transaction.
    Status SchemaVersionNow(const std::string& action, std::int64_t* version);
    // Whether the database keeps record versions (schema version 2), read
    // inside the caller's transaction; once seen, remembered.
    Status KeepsVersions(const std::string& action, bool* kept);
    // Inside the caller's write transaction: adds the version tables to a
    // version-1 database.  *migrated tells whether it did; the caller
    // remembers it only once its transaction committed.
    Status MigrateWithin(const std::string& action, bool* migrated);
    // Migrates a version-1 database in a transaction of its own.
    Status Migrate();
    // Inside the caller's transaction: the record under `key`, and with
    // withVersion its version (1 for a record of a database that keeps no
    // versions yet).
    Status FindRecord(AreaId area, std::int64_t key, const std::string& action, bool withVersion,
                      StoredRecord* found);
    // ReadRecord, and the version of the bytes read when version is not null.
    Status ReadWithVersion(AreaId area, std::int64_t key, void* buffer, std::uint32_t length,
                           std::uint64_t* version);
    // Checks that a write of `length` bytes may start: bytes given, the
    // database writable, the length within SQLite's limit.
    Status CheckWrite(const std::string& action, const void* data, std::uint32_t length);
    // Inside the caller's write transaction: replaces or creates the row and
    // gives it a new version (NewVersion).
    Status StoreRow(AreaId area, std::int64_t key, const void* data, std::uint32_t length,
                    const std::string& action, std::uint64_t* version);
    // Inside the caller's write transaction: the next number of the counter
    // becomes the record's version.
    Status NewVersion(AreaId area, std::int64_t key, const std::string& action,
                      std::uint64_t* version);

    sqlite3* db_;
    std::string path_;
    bool writeAheadLogEnsured_ = false;
    bool versionsKept_ = false;  // the database was seen at schema version 2
    std::vector<std::pair<const char*, sqlite3_stmt*>> kept_;  // see Kept
};

}  // namespace lodestor

#endif
