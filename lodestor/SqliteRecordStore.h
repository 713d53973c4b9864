// SqliteRecordStore.h - the record store kept in one SQLite database file.
//
// The file holds the tables of docs/lodestor.md, marked by SQLite's
// application id and versioned by its user version.  Open() creates the file
// and its schema when missing, and refuses a file that is not a SQLite
// database, a database of another application, and a schema version newer
// than this library knows.
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

    // Opens (creating when missing) the database file at `path`.
    static Status Open(const std::string& path, std::unique_ptr<SqliteRecordStore>* store);

    ~SqliteRecordStore() override;

    Status OpenArea(const std::string& name, AreaId* id) override;
    Status RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) override;
    Status ReadRecord(AreaId area, std::int64_t key, void* buffer, std::uint32_t length) override;
    Status WriteRecord(AreaId area, std::int64_t key, const void* data,
                       std::uint32_t length) override;
    Status DeleteRecord(AreaId area, std::int64_t key) override;
    Status ListKeys(AreaId area, std::vector<std::int64_t>* keys) override;
    Status LimitSize(std::uint64_t maxBytes) override;
    const std::string& Location() const override { return path_; }

private:
    SqliteRecordStore(sqlite3* db, std::string path);

    Status PrepareSchema();
    Status CreateSchema();
    Status EnsureWriteAheadLog();
    Status CheckSchema(std::int32_t applicationId, std::int32_t version) const;
    Status ReadHeader(std::int32_t* applicationId, std::int32_t* version, bool* empty);
    Status RefuseIfReadOnly(const char* action) const;
    // The reason of the connection's last failure, worded for `action`.
    Status Failure(const std::string& action) const;

    sqlite3* db_;
    std::string path_;
};

}  // namespace lodestor

#endif
