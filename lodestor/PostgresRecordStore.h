// PostgresRecordStore.h - the record store kept in a PostgreSQL database.
//
// The location is a libpq connection URI, postgresql://USER@HOST:PORT/DB or
// postgres://..., read by libpq as usual: user, host (a Unix-socket folder
// too), port, database, password, sslmode and the other URI parameters, and
// also PGPASSWORD, ~/.pgpass and the other PG* variables.  Two query
// parameters are this library's own and are removed before libpq sees the
// URI (libpq refuses parameters it does not know):
//
//   lodestor_schema=NAME               the PostgreSQL schema holding the
//                                      tables (default "lodestor"; letters,
//                                      digits and '_', at most 63 bytes)
//   lodestor_statement_timeout=MS      how long one statement may run, in
//                                      milliseconds (0: no limit)
//
// Without lodestor_statement_timeout a statement timeout that the server,
// the role or the URI's options (options=-cstatement_timeout=...) already
// set is kept, and a session without one gets kStatementTimeoutMs.
// libpq's own connect_timeout applies, kConnectTimeoutSeconds unless the
// URI gives one.
//
// Open() creates the schema and its tables when missing (unless told not
// to, and then opening runs nothing but queries), under an advisory lock so
// that several clients may create it at once, and refuses a schema version
// newer than this library knows; a schema of version 1 is upgraded in
// place (one transaction) by the first open that finds it.  A record is
// one row of lodestor_record (key, version, size) and its bytes in
// chunks of kChunkBytes, rows of lodestor_record_chunk, compressed with
// lz4 when the server has it.  Chunks are written with one binary COPY
// and read as a stream of rows, so neither side ever holds a large
// record as one value or one protocol message; a record holds at most
// kMaxRecordBytes bytes.
//
// Each call is one statement or one transaction: a read's size and bytes
// come from one snapshot, a write commits whole or not at all, and record
// versions come from one sequence of the schema.  When the server went away
// since the last call, the call reconnects once before its first statement;
// a connection lost in the middle of a call fails the call with a reason,
// and the next call reconnects.
#ifndef MORVANE_LODESTOR_POSTGRESRECORDSTORE_H
#define MORVANE_LODESTOR_POSTGRESRECORDSTORE_H

#include "RecordStore.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct pg_conn;
struct pg_result;

namespace lodestor {

// True when `location` names a PostgreSQL database (postgresql:// or
// postgres://) rather than a SQLite file.
bool IsPostgresLocation(const std::string& location);

// A PostgreSQL location taken apart.
struct PostgresLocation {
    std::string conninfo;   // the URI handed to libpq: this library's parameters removed
    std::string display;    // the URI as given, with any password shown as ***
    std::string schema = "lodestor";
    std::optional<int> statementTimeoutMs;
};

// Reads a postgresql:// URI.  Refuses, with a reason that shows the URI
// with its password masked, an unknown lodestor_ parameter, a malformed
// schema name or timeout, and text that is not such a URI.
Status ParsePostgresLocation(const std::string& uri, PostgresLocation* location);

// The URI with every password libpq would read from it replaced by ***, for
// messages: masked where it is written (the user part, password=), or, where
// libpq would still find a password in that (one holding '?', a parameter
// name percent-encoded), rebuilt from libpq's reading without it.
std::string MaskPassword(const std::string& uri);

class PostgresRecordStore final : public RecordStore {
public:
    // Version of the schema this library writes and reads.
    static constexpr std::int32_t kSchemaVersion = 2;
    // Bytes of each chunk of a record but its last, which holds the rest.
    // Part of the stored format: a reader places chunk k at k * kChunkBytes.
    static constexpr std::uint32_t kChunkBytes = 256 * 1024;
    // Marks the schema's version row as ours.
    static constexpr const char* kApplication = "lodestor";
    // Largest record: SQLite's limit, so that every record can be copied
    // between the two stores.
    static constexpr std::uint32_t kMaxRecordBytes = 1000000000;
    static constexpr int kConnectTimeoutSeconds = 10;
    static constexpr int kStatementTimeoutMs = 60000;

    // Connects to the database `uri` names.  With createIfMissing a missing
    // schema is created; without it a missing schema is refused and opening
    // changes nothing on the server.
    static Status Open(const std::string& uri, bool createIfMissing,
                       std::unique_ptr<PostgresRecordStore>* store);

    ~PostgresRecordStore() override;

    Status OpenArea(const std::string& name, AreaId* id) override;
    Status FindArea(const std::string& name, AreaId* id, bool* found) override;
    Status AreaNames(std::vector<std::string>* names) override;
    Status RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) override;
    Status RecordState(AreaId area, std::int64_t key, std::uint32_t* size,
                       std::uint64_t* version) override;
    Status ReadRecord(AreaId area, std::int64_t key, void* buffer, std::uint32_t length) override;
    Status ReadRecordVersion(AreaId area, std::int64_t key, void* buffer, std::uint32_t length,
                             std::uint64_t* version) override;
    Status WriteRecord(AreaId area, std::int64_t key, const void* data,
                       std::uint32_t length) override;
    Status WriteRecordIf(AreaId area, std::int64_t key, const void* data, std::uint32_t length,
                         std::uint64_t expected, std::uint64_t* newVersion) override;
    Status DeleteRecord(AreaId area, std::int64_t key) override;
    Status ListKeys(AreaId area, std::vector<std::int64_t>* keys) override;
    // Streams the chunks as the server sends them: the caller's pieces are
    // copied straight out of each arriving row, and no side holds the
    // record whole.  Size, version and bytes come from one statement.
    Status OpenRecordReader(AreaId area, std::int64_t key, std::uint32_t* size, std::uint64_t* version,
                            std::unique_ptr<RecordReader>* reader) override;
    // A byte budget for this connection: a write after which the records of
    // the schema would hold more than maxBytes bytes, and more than before,
    // is refused ("full").  Checked inside the write's transaction under a
    // lock that every budgeted writer takes.
    Status LimitSize(std::uint64_t maxBytes) override;
    const std::string& Location() const override { return location_.display; }

    // The prepared statements of a connection.
    enum Statement : int {
        kFindArea,
        kAreaNames,
        kInsertArea,
        kRecordState,
        kReadRecord,
        kUpsertRecord,
        kInsertRecordIfAbsent,
        kUpdateRecordIfVersion,
        kDeleteChunks,
        kWriteOnlyChunk,
        kDeleteRecord,
        kListKeys,
        kAdvisoryLock,
        kStoredBytes,
        kStatementCount
    };

    class Result;
    class Params;
    class StreamReader;

private:
    PostgresRecordStore(pg_conn* conn, PostgresLocation location);

    Status SetUpSession();
    Status PrepareSchema(bool createIfMissing);
    Status ReadSchemaVersion(bool* exists, std::string* application, std::int32_t* version);
    Status CheckSchema(const std::string& application, std::int32_t version) const;
    Status CreateSchema();
    // Opens a transaction, takes the schema's advisory lock (the one every
    // creation and upgrade takes) and reads the version row afresh; on
    // failure no transaction is left open.
    Status BeginUnderSchemaLock(const std::string& action, bool* exists, std::string* application,
                                std::int32_t* version);
    // Converts a version-1 schema (records as one bytea column) to chunks.
    Status UpgradeSchema();
    // The column setting of chunk data: lz4 where the server has it.
    Status ChunkStorage(std::string* clause);
    // Streams the chunks of a record into `buffer`; see ReadRecordVersion.
    Status ReceiveRecord(const std::string& action, Result first, std::uint32_t length,
                         void* buffer, std::uint64_t* version);
    // Within the open transaction: removes a record's chunks; writes the one
    // chunk of a record of at most kChunkBytes and removes any others.
    Status DeleteChunks(const std::string& action, AreaId area, std::int64_t key);
    Status WriteOnlyChunk(const std::string& action, AreaId area, std::int64_t key, const void* data,
                          std::uint32_t length);
    // Sends `data` as the chunk rows of a record, within the open transaction.
    Status SendChunks(const std::string& action, AreaId area, std::int64_t key, const void* data,
                      std::uint32_t length);
    // Runs the write of a record row (`statement`, returning the new version),
    // then replaces its chunks and commits.  *newVersion is 0 when the row
    // statement changed nothing (a conflict), and the transaction is then
    // still open.
    Status WriteRows(const std::string& action, Statement statement, const Params& params,
                     AreaId area, std::int64_t key, const void* data, std::uint32_t length,
                     bool replacesChunks, std::uint64_t* newVersion);
    // Reads and drops what is left of the current query's results.
    void Drain();
    // Sends the read of a record in single-row mode; the first result.
    Result StartRead(AreaId area, std::int64_t key);
    // Asks the server to stop the current query, then drains it.
    void Abandon();
    // `sql` with every '@' replaced by the quoted schema name.
    std::string WithSchema(std::string sql) const;

    // Starts a public call: reconnects when the connection is known to be
    // broken, and allows one reconnect before the call's first statement.
    Status BeginCall(const std::string& action);
    Status Reconnect();
    // One round trip.  When it is the call's first and the connection
    // turns out broken, reconnects and runs it again once: nothing of the
    // call can have reached the server.
    Result Run(Statement statement, const Params& params);
    Result RunCommand(const char* sql);
    template <typename Send>
    Result RoundTrip(Send send);
    bool EnsurePrepared(Statement statement, Result* failure);

    Status Begin(const std::string& action);
    Status Commit(const std::string& action);
    void Rollback();
    // Refuses a null buffer with bytes, or more bytes than a record may hold.
    Status CheckWriteArguments(const std::string& action, const void* data, std::uint32_t length) const;
    // Starts a write's transaction with its budget checked; none left open on failure.
    Status BeginWrite(const std::string& action, AreaId area, std::int64_t key, std::uint32_t length);
    Status CheckBudget(const std::string& action, AreaId area, std::int64_t key,
                       std::uint32_t length);
    Status Conflict(const std::string& action, AreaId area, std::int64_t key,
                    std::uint64_t expected);

    // The reason of a failed round trip, worded for `action`.
    Status Failure(const std::string& action, const Result& result) const;
    Status Refusal(const std::string& action, const std::string& why) const;

    pg_conn* conn_;
    PostgresLocation location_;
    std::string quotedSchema_;
    std::array<bool, kStatementCount> prepared_{};
    bool mayReconnect_ = false;
    std::optional<std::uint64_t> byteBudget_;
};

}  // namespace lodestor

#endif
