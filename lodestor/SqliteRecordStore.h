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
// the later write wins.
#ifndef MORVANE_LODESTOR_SQLITERECORDSTORE_H
#define MORVANE_LODESTOR_SQLITERECORDSTORE_H

#include "RecordStore.h"

#include <memory>

struct sqlite3;

namespace lodestor {

class SqliteRecordStore final : public RecordStore {
public:
    // "LDST" read as a big-endian 32-bit number: marks a Lodestor database.
    static constexpr std::int32_t kApplicationId = 0x4C445354;
    // Version of the schema this library writes and reads.
    static constexpr std::int32_t kSchemaVersion = 1;
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
    // TEMPORARY until the SQLite versions land: refused.
    Status RecordState(AreaId, std::int64_t, std::uint32_t*, std::uint64_t*) override {
        return Status::Error("versions not yet in the SQLite store");
    }
    Status ReadRecordVersion(AreaId, std::int64_t, void*, std::uint32_t, std::uint64_t*) override {
        return Status::Error("versions not yet in the SQLite store");
    }
    Status WriteRecordIf(AreaId, std::int64_t, const void*, std::uint32_t, std::uint64_t, std::uint64_t*,
                         bool*) override {
        return Status::Error("versions not yet in the SQLite store");
    }
    Status ReadRecord(AreaId area, std::int64_t key, void* buffer, std::uint32_t length) override;
    Status WriteRecord(AreaId area, std::int64_t key, const void* data,
                       std::uint32_t length) override;
    Status DeleteRecord(AreaId area, std::int64_t key) override;
    Status ListKeys(AreaId area, std::vector<std::int64_t>* keys) override;
    Status LimitSize(std::uint64_t maxBytes) override;
    const std::string& Location() const override { return path_; }

private:
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

    sqlite3* db_;
    std::string path_;
    bool writeAheadLogEnsured_ = false;
};

}  // namespace lodestor

#endif
