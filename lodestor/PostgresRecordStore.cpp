// PostgresRecordStore.cpp - the record store in a PostgreSQL database.
#include "PostgresRecordStore.h"

#include "LocationMask.h"

#include <libpq-fe.h>

#include <endian.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

namespace lodestor {

namespace {

constexpr std::string_view kSchemes[] = {"postgresql://", "postgres://"};
constexpr std::string_view kSchemaParameter = "lodestor_schema";
constexpr std::string_view kTimeoutParameter = "lodestor_statement_timeout";
// "LDST", the first key of the advisory locks of this library.
constexpr std::int32_t kLockClass = 0x4C445354;

// Type OIDs of the parameters (pg_type.h is a server header).
constexpr Oid kInt8Oid = 20;
constexpr Oid kTextOid = 25;
constexpr Oid kByteaOid = 17;

std::string_view SchemeOf(std::string_view uri) {
    for (std::string_view scheme : kSchemes) {
        if (uri.starts_with(scheme)) return scheme;
    }
    return {};
}

// libpq's messages span lines ("...failed: ...\n\tIs the server running");
// a reason is one line.
std::string OneLine(const char* text) {
    std::string out;
    bool blank = false;
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += *p;
    }
    return out;
}

bool IsSchemaName(std::string_view name) {
    if (name.empty() || name.size() > 63) return false;
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return !std::isdigit(static_cast<unsigned char>(name.front()));
}

bool ParseMilliseconds(std::string_view text, int* ms) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    *ms = value;
    return true;
}

// Plain words for the server's refusals a caller can do something about,
// by SQLSTATE.
const char* Explain(const char* sqlstate) {
    if (sqlstate == nullptr) return nullptr;
    const std::string_view code(sqlstate);
    if (code == "57014") return "the statement ran longer than the statement timeout";
    if (code == "25006") return "the database is read-only";
    if (code == "53100") return "the database server's disk is full";
    if (code == "53200") return "the database server is out of memory";
    if (code == "53300") return "the database server has too many connections";
    if (code == "42501") return "permission denied";
    if (code == "22021") return "the text is not valid in the database's encoding";
    if (code == "54000") return "the record is larger than the database accepts";
    if (code == "40P01") return "a deadlock with another connection";
    if (code == "55P03") return "another connection holds a lock it needs";
    if (code.starts_with("57P")) return "the database server is shutting down or restarting";
    if (code.starts_with("08")) return "the connection to the server failed";
    return nullptr;
}

std::string KeyText(std::int64_t key) { return std::to_string(key); }

std::uint64_t ReadBigEndian(const char* bytes, int length) {
    std::uint64_t value = 0;
    for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace

bool IsPostgresLocation(const std::string& location) { return !SchemeOf(location).empty(); }

namespace {

// The URI's query split into this library's parameters (libpq refuses
// them) and the rest, which is what libpq reads.
void SplitOwnParameters(const std::string& uri, std::string* forLibpq, std::string* own) {
    const std::size_t query = uri.find('?');
    *forLibpq = uri.substr(0, query);
    own->clear();
    std::string kept;
    for (std::size_t p = query; p != std::string::npos;) {
        const std::size_t next = uri.find('&', p + 1);
        const std::string item = uri.substr(p + 1, (next == std::string::npos ? uri.size() : next) - p - 1);
        p = next;
        if (item.empty()) continue;
        std::string& to = item.starts_with("lodestor_") ? *own : kept;
        to += to.empty() ? "" : "&";
        to += item;
    }
    if (!kept.empty()) *forLibpq += "?" + kept;
}

// The password libpq reads from conninfo: *found false when it reads none
// or cannot read the text at all.
std::string PasswordLibpqReads(const std::string& conninfo, bool* found) {
    *found = false;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    PQfreemem(error);
    if (options == nullptr) return std::string();
    std::string password;
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val != nullptr && std::string_view(o->keyword) == "password") {
            password = o->val;
            *found = true;
        }
    }
    PQconninfoFree(options);
    return password;
}

// The URI rebuilt from what libpq reads of it, its password left out (shown
// as ***), this library's parameters put back.
std::string RebuiltWithoutPassword(const std::string& conninfo, const std::string& own) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    PQfreemem(error);
    if (options == nullptr) return "postgresql://***";
    std::string user, host, port, dbname, query = own;
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) continue;
        const std::string_view key = o->keyword;
        if (key == "password") continue;
        if (key == "user") user = o->val;
        else if (key == "host") host = o->val;
        else if (key == "port") port = o->val;
        else if (key == "dbname") dbname = o->val;
        else query += (query.empty() ? "" : "&") + std::string(key) + "=" + o->val;
    }
    PQconninfoFree(options);
    std::string out = "postgresql://" + user + ":***@" + host + (port.empty() ? "" : ":" + port);
    if (!dbname.empty()) out += "/" + dbname;
    if (!query.empty()) out += "?" + query;
    return out;
}

}  // namespace

// Masked as written where that hides what libpq would read as the password;
// where it does not (a password holding '?' or '@', a parameter name
// percent-encoded), the URI is rebuilt from libpq's own reading of it,
// without the password.
std::string MaskPassword(const std::string& uri) {
    const std::string_view scheme = SchemeOf(uri);
    if (scheme.empty()) return uri;
    const std::string masked = MaskPasswordAsWritten(uri);
    std::string maskedConninfo, own;
    SplitOwnParameters(masked, &maskedConninfo, &own);
    bool found = false;
    const std::string left = PasswordLibpqReads(maskedConninfo, &found);
    if (!found || left == "***") return masked;
    std::string conninfo;
    SplitOwnParameters(uri, &conninfo, &own);
    return RebuiltWithoutPassword(conninfo, own);
}

Status ParsePostgresLocation(const std::string& uri, PostgresLocation* location) {
    PostgresLocation parsed;
    parsed.display = MaskPassword(uri);
    if (SchemeOf(uri).empty()) {
        return Status::IOError("'" + parsed.display + "' is not a postgresql:// or postgres:// URI");
    }
    const std::size_t query = uri.find('?');
    parsed.conninfo = uri.substr(0, query);
    std::string kept;
    for (std::size_t p = query; p != std::string::npos;) {
        const std::size_t next = uri.find('&', p + 1);
        const std::string_view item =
            std::string_view(uri).substr(p + 1, (next == std::string::npos ? uri.size() : next) - p - 1);
        p = next;
        const std::size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? "" : item.substr(equals + 1);
        if (key == kSchemaParameter) {
            if (!IsSchemaName(value)) {
                return Status::IOError("'" + parsed.display + "': " + std::string(kSchemaParameter) +
                                     " must be a letter or '_' followed by letters, digits or '_', "
                                     "63 bytes at most");
            }
            parsed.schema = std::string(value);
        } else if (key == kTimeoutParameter) {
            int ms = 0;
            if (!ParseMilliseconds(value, &ms)) {
                return Status::IOError("'" + parsed.display + "': " + std::string(kTimeoutParameter) +
                                     " must be a number of milliseconds (0 to 999999999)");
            }
            parsed.statementTimeoutMs = ms;
        } else if (key.starts_with("lodestor_")) {
            return Status::IOError("'" + parsed.display + "': unknown parameter '" + std::string(key) +
                                 "' (known: lodestor_schema, lodestor_statement_timeout)");
        } else if (!item.empty()) {
            kept += kept.empty() ? "?" : "&";
            kept += item;
        }
    }
    parsed.conninfo += kept;
    *location = std::move(parsed);
    return Status::OK();
}

// ---- a result and the parameters of a statement --------------------------

// A PGresult, cleared on every way out.
class PostgresRecordStore::Result {
public:
    Result() = default;
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    Result& operator=(Result&& other) noexcept {
        std::swap(result_, other.result_);
        return *this;
    }

    bool ok() const {
        const ExecStatusType status = PQresultStatus(result_);
        return result_ != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
    }
    const PGresult* get() const { return result_; }
    int Rows() const { return PQntuples(result_); }
    bool IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
    const char* Bytes(int row, int column) const { return PQgetvalue(result_, row, column); }
    int Length(int row, int column) const { return PQgetlength(result_, row, column); }
    // A binary integer column (int2, int4 or int8, big-endian on the wire).
    std::int64_t Integer(int row, int column) const {
        const int length = Length(row, column);
        const std::uint64_t raw = ReadBigEndian(Bytes(row, column), length);
        if (length == 8) return static_cast<std::int64_t>(raw);
        if (length == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
        if (length == 2) return static_cast<std::int16_t>(static_cast<std::uint16_t>(raw));
        return 0;
    }
    std::string Text(int row, int column) const {
        return std::string(Bytes(row, column), static_cast<std::size_t>(Length(row, column)));
    }

private:
    PGresult* result_ = nullptr;
};

// Up to four parameters, all in binary format; the object keeps the
// integers' wire bytes alive for the call.
class PostgresRecordStore::Params {
public:
    Params() = default;
    Params(const Params&) = delete;
    Params& operator=(const Params&) = delete;

    Params& Int64(std::int64_t value) {
        const std::uint64_t wire = htobe64(static_cast<std::uint64_t>(value));
        std::memcpy(integers_[count_].data(), &wire, 8);
        return Add(integers_[count_].data(), 8);
    }
    Params& Bytes(const void* data, std::uint32_t length) {
        // An empty value is an empty bytea, never NULL: a non-null pointer.
        static const char kNothing = 0;
        return Add(length > 0 ? static_cast<const char*>(data) : &kNothing, static_cast<int>(length));
    }
    Params& Text(const std::string& text) { return Add(text.data(), static_cast<int>(text.size())); }

    int count() const { return count_; }
    const char* const* values() const { return values_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

private:
    Params& Add(const char* value, int length) {
        values_[count_] = value;
        lengths_[count_] = length;
        formats_[count_] = 1;
        ++count_;
        return *this;
    }

    std::array<std::array<char, 8>, 4> integers_{};
    std::array<const char*, 4> values_{};
    std::array<int, 4> lengths_{};
    std::array<int, 4> formats_{};
    int count_ = 0;
};

namespace {

struct StatementText {
    const char* sql;   // "@" stands for the quoted schema name
    int parameters;
    std::array<Oid, 4> types;
};

// The statements, in the order of PostgresRecordStore::Statement.
constexpr StatementText kStatements[] = {
    {"SELECT area_id FROM @.lodestor_area WHERE name = $1", 1, {kTextOid}},
    {"SELECT name FROM @.lodestor_area ORDER BY name", 0, {}},
    {"INSERT INTO @.lodestor_area(name) VALUES ($1) ON CONFLICT (name) DO NOTHING", 1, {kTextOid}},
    {"SELECT size, version FROM @.lodestor_record WHERE area_id = $1 AND record_key = $2",
     2, {kInt8Oid, kInt8Oid}},
    // One statement, so one snapshot: the size, the version and every chunk
    // of the same committed write.  A record without bytes has no chunk.
    {"SELECT r.version, r.size, c.chunk, c.data FROM @.lodestor_record r "
     "LEFT JOIN @.lodestor_record_chunk c ON c.area_id = r.area_id AND c.record_key = r.record_key "
     "WHERE r.area_id = $1 AND r.record_key = $2 ORDER BY c.chunk",
     2, {kInt8Oid, kInt8Oid}},
    {"INSERT INTO @.lodestor_record(area_id, record_key, version, size) "
     "VALUES ($1, $2, nextval('@.lodestor_version'), $3) "
     "ON CONFLICT (area_id, record_key) DO UPDATE SET size = EXCLUDED.size, version = EXCLUDED.version "
     "RETURNING version",
     3, {kInt8Oid, kInt8Oid, kInt8Oid}},
    {"INSERT INTO @.lodestor_record(area_id, record_key, version, size) "
     "VALUES ($1, $2, nextval('@.lodestor_version'), $3) "
     "ON CONFLICT (area_id, record_key) DO NOTHING RETURNING version",
     3, {kInt8Oid, kInt8Oid, kInt8Oid}},
    // Under READ COMMITTED an UPDATE that waited for another writer's row
    // checks the version again on the row that writer left.
    {"UPDATE @.lodestor_record SET size = $3, version = nextval('@.lodestor_version') "
     "WHERE area_id = $1 AND record_key = $2 AND version = $4 RETURNING version",
     4, {kInt8Oid, kInt8Oid, kInt8Oid, kInt8Oid}},
    {"DELETE FROM @.lodestor_record_chunk WHERE area_id = $1 AND record_key = $2", 2, {kInt8Oid, kInt8Oid}},
    // A record of one chunk, written with the removal of any others in one
    // round trip (the two touch different rows).
    {"WITH gone AS (DELETE FROM @.lodestor_record_chunk WHERE area_id = $1 AND record_key = $2 AND chunk > 0) "
     "INSERT INTO @.lodestor_record_chunk(area_id, record_key, chunk, data) VALUES ($1, $2, 0, $3) "
     "ON CONFLICT (area_id, record_key, chunk) DO UPDATE SET data = EXCLUDED.data",
     3, {kInt8Oid, kInt8Oid, kByteaOid}},
    // The chunks go with the row (ON DELETE CASCADE).
    {"DELETE FROM @.lodestor_record WHERE area_id = $1 AND record_key = $2", 2, {kInt8Oid, kInt8Oid}},
    {"SELECT record_key FROM @.lodestor_record WHERE area_id = $1 ORDER BY record_key", 1, {kInt8Oid}},
    {"SELECT pg_advisory_xact_lock($1::int4, hashtext($2))", 2, {kInt8Oid, kTextOid}},
    {"SELECT coalesce(sum(size), 0)::int8, "
     "coalesce(sum(size) FILTER (WHERE area_id = $1 AND record_key = $2), 0)::int8 "
     "FROM @.lodestor_record",
     2, {kInt8Oid, kInt8Oid}},
};
static_assert(std::size(kStatements) == PostgresRecordStore::kStatementCount);

// The budget lock differs from the schema-creation lock in its first key.
constexpr std::int64_t kBudgetLockClass = kLockClass + 1;

// The chunk table, with `storage` the setting of its data column.
std::string ChunkTableSql(const std::string& storage) {
    return "CREATE TABLE @.lodestor_record_chunk ("
           "  area_id bigint NOT NULL,"
           "  record_key bigint NOT NULL,"
           "  chunk integer NOT NULL,"
           "  data bytea NOT NULL,"
           "  PRIMARY KEY (area_id, record_key, chunk),"
           "  FOREIGN KEY (area_id, record_key) REFERENCES @.lodestor_record ON DELETE CASCADE);"
           "ALTER TABLE @.lodestor_record_chunk ALTER COLUMN data " + storage + ";";
}

}  // namespace

// ---- opening ---------------------------------------------------------------

PostgresRecordStore::PostgresRecordStore(pg_conn* conn, PostgresLocation location)
    : conn_(conn), location_(std::move(location)) {
    // The schema name is letters, digits and '_' (ParsePostgresLocation),
    // so quoting it is enough to use it in statements.
    quotedSchema_ = "\"" + location_.schema + "\"";
}

PostgresRecordStore::~PostgresRecordStore() { PQfinish(conn_); }

Status PostgresRecordStore::Open(const std::string& uri, bool createIfMissing,
                                 std::unique_ptr<PostgresRecordStore>* store) {
    PostgresLocation location;
    Status status = ParsePostgresLocation(uri, &location);
    if (!status.ok()) return status;
    // Keywords before dbname are defaults that the URI may override.
    const std::string connectTimeout = std::to_string(kConnectTimeoutSeconds);
    const char* keys[] = {"connect_timeout", "fallback_application_name", "client_encoding", "dbname",
                          nullptr};
    const char* values[] = {connectTimeout.c_str(), "morvane", "UTF8", location.conninfo.c_str(),
                            nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr) return Status::IOError("connecting to '" + location.display + "' failed: out of memory");
    // Notices (CREATE ... IF NOT EXISTS says "skipping") are not for the
    // caller's terminal.
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    std::unique_ptr<PostgresRecordStore> opened(new PostgresRecordStore(conn, std::move(location)));
    if (PQstatus(conn) != CONNECTION_OK) {
        return Status::IOError("connecting to '" + opened->location_.display +
                             "' failed: " + OneLine(PQerrorMessage(conn)));
    }
    status = opened->SetUpSession();
    if (!status.ok()) return status;
    status = opened->PrepareSchema(createIfMissing);
    if (!status.ok()) return status;
    *store = std::move(opened);
    return Status::OK();
}

Status PostgresRecordStore::SetUpSession() {
    int timeout = kStatementTimeoutMs;
    if (location_.statementTimeoutMs) {
        timeout = *location_.statementTimeoutMs;
    } else {
        // Keep a timeout that the server, the role or the URI set.
        Result current(PQexec(conn_, "SHOW statement_timeout"));
        if (!current.ok() || current.Rows() != 1) return Failure("reading the statement timeout", current);
        if (current.Text(0, 0) != "0") return Status::OK();
    }
    const std::string sql = "SET statement_timeout = " + std::to_string(timeout);
    Result set(PQexec(conn_, sql.c_str()));
    if (!set.ok()) return Failure("setting the statement timeout", set);
    return Status::OK();
}

Status PostgresRecordStore::ReadSchemaVersion(bool* exists, std::string* application,
                                              std::int32_t* version) {
    // A query of the catalog, not to_regclass(): within a transaction that
    // waited for another client's schema creation, only a query's fresh
    // snapshot is sure to see the tables that client committed.
    const char* value = location_.schema.c_str();
    Result found(PQexecParams(conn_,
                              "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_class c "
                              "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                              "WHERE n.nspname = $1 AND c.relname = 'lodestor_meta')",
                              1, nullptr, &value, nullptr, nullptr, 0));
    if (!found.ok() || found.Rows() != 1) return Failure("reading the raster database schema", found);
    *exists = std::string_view(found.Bytes(0, 0)) == "t";
    if (!*exists) return Status::OK();
    const std::string sql = "SELECT application, schema_version FROM " + quotedSchema_ + ".lodestor_meta";
    Result row(PQexec(conn_, sql.c_str()));
    if (!row.ok()) return Failure("reading the raster database schema version", row);
    if (row.Rows() != 1) {
        return Status::IOError("'" + location_.display + "': schema \"" + location_.schema +
                             "\" has " + std::to_string(row.Rows()) +
                             " version rows instead of one; the raster database is damaged");
    }
    *application = row.Text(0, 0);
    *version = static_cast<std::int32_t>(std::atoi(row.Bytes(0, 1)));
    return Status::OK();
}

Status PostgresRecordStore::CheckSchema(const std::string& application, std::int32_t version) const {
    if (application != kApplication) {
        return Status::IOError("'" + location_.display + "': schema \"" + location_.schema +
                             "\" belongs to another application ('" + application +
                             "'), not to a raster database");
    }
    if (version > kSchemaVersion) {
        return Status::IOError("'" + location_.display + "' has raster database schema version " +
                             std::to_string(version) + ", newer than version " +
                             std::to_string(kSchemaVersion) +
                             " that this library knows; use a newer library");
    }
    if (version < 1) {
        return Status::IOError("'" + location_.display + "': schema \"" + location_.schema +
                             "\" has no valid schema version (" + std::to_string(version) +
                             "); the raster database is damaged");
    }
    return Status::OK();
}

Status PostgresRecordStore::PrepareSchema(bool createIfMissing) {
    bool exists = false;
    std::string application;
    std::int32_t version = 0;
    Status status = ReadSchemaVersion(&exists, &application, &version);
    if (!status.ok()) return status;
    if (exists) {
        status = CheckSchema(application, version);
        if (status.ok() && version < kSchemaVersion) status = UpgradeSchema();
        return status;
    }
    if (!createIfMissing) {
        return Status::IOError("'" + location_.display + "' holds no raster database: schema \"" +
                             location_.schema + "\" has no Lodestor tables");
    }
    return CreateSchema();
}

Status PostgresRecordStore::BeginUnderSchemaLock(const std::string& action, bool* exists,
                                                 std::string* application, std::int32_t* version) {
    Status status = Begin(action);
    if (!status.ok()) return status;
    Params lock;
    lock.Int64(kLockClass).Text(location_.schema);
    Result locked = Run(kAdvisoryLock, lock);
    if (!locked.ok()) {
        Status failure = Failure(action, locked);
        Rollback();
        return failure;
    }
    status = ReadSchemaVersion(exists, application, version);
    if (!status.ok()) Rollback();
    return status;
}

Status PostgresRecordStore::CreateSchema() {
    const std::string action = "creating the raster database schema \"" + location_.schema + "\"";
    // Clients that open a new database together queue here; the first
    // creates the schema, the others find it made.
    bool exists = false;
    std::string application;
    std::int32_t version = 0;
    Status status = BeginUnderSchemaLock(action, &exists, &application, &version);
    if (!status.ok()) return status;
    if (exists) {
        Rollback();
        return CheckSchema(application, version);
    }
    std::string chunkStorage;
    status = ChunkStorage(&chunkStorage);
    if (!status.ok()) {
        Rollback();
        return status;
    }
    std::string sql =
        "CREATE SCHEMA IF NOT EXISTS @;"
        "CREATE TABLE @.lodestor_meta ("
        "  application text NOT NULL,"
        "  schema_version integer NOT NULL);"
        "INSERT INTO @.lodestor_meta VALUES ('" + std::string(kApplication) + "', " +
        std::to_string(kSchemaVersion) + ");"
        "CREATE SEQUENCE @.lodestor_version AS bigint;"
        "CREATE TABLE @.lodestor_area ("
        "  area_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        "  name text COLLATE \"C\" NOT NULL UNIQUE);"
        "CREATE TABLE @.lodestor_record ("
        "  area_id bigint NOT NULL REFERENCES @.lodestor_area(area_id),"
        "  record_key bigint NOT NULL,"
        "  version bigint NOT NULL,"
        "  size bigint NOT NULL,"
        "  PRIMARY KEY (area_id, record_key));" +
        ChunkTableSql(chunkStorage);
    Result created = RunCommand(WithSchema(sql).c_str());
    if (!created.ok()) {
        Status failure = Failure(action, created);
        Rollback();
        return failure;
    }
    return Commit(action);
}

Status PostgresRecordStore::ChunkStorage(std::string* clause) {
    // lz4 compresses and expands a chunk faster than the disk and the
    // write-ahead log take it; pglz, the other choice, does not, so without
    // lz4 the chunks are stored as they are.
    Result lz4(PQexec(conn_, "SELECT 'lz4' = ANY(enumvals) FROM pg_catalog.pg_settings "
                             "WHERE name = 'default_toast_compression'"));
    if (!lz4.ok()) return Failure("asking the server's compression methods", lz4);
    const bool hasLz4 = lz4.Rows() == 1 && std::string_view(lz4.Bytes(0, 0)) == "t";
    *clause = hasLz4 ? "SET COMPRESSION lz4" : "SET STORAGE EXTERNAL";
    return Status::OK();
}

Status PostgresRecordStore::UpgradeSchema() {
    const std::string action = "upgrading the raster database schema \"" + location_.schema +
                               "\" to version " + std::to_string(kSchemaVersion);
    // Another client may have upgraded it while this one waited.
    bool exists = false;
    std::string application;
    std::int32_t version = 0;
    Status status = BeginUnderSchemaLock(action, &exists, &application, &version);
    if (!status.ok()) return status;
    if (exists) status = CheckSchema(application, version);
    if (!status.ok() || !exists || version == kSchemaVersion) {
        Rollback();
        return status;
    }
    std::string chunkStorage;
    status = ChunkStorage(&chunkStorage);
    if (!status.ok()) {
        Rollback();
        return status;
    }
    // substring() of an uncompressed out-of-line value reads only the
    // slice it returns, so splitting a record reads it once.
    const std::string chunk = std::to_string(kChunkBytes);
    const std::string sql =
        "ALTER TABLE @.lodestor_record ADD COLUMN size bigint;"
        "UPDATE @.lodestor_record SET size = octet_length(data);"
        "ALTER TABLE @.lodestor_record ALTER COLUMN size SET NOT NULL;" +
        ChunkTableSql(chunkStorage) +
        "INSERT INTO @.lodestor_record_chunk "
        "SELECT area_id, record_key, k, substring(data from k * " + chunk + " + 1 for " + chunk + ") "
        "FROM @.lodestor_record, generate_series(0, (octet_length(data) - 1) / " + chunk + ") k "
        "WHERE octet_length(data) > 0;"  // (0 - 1) / n is 0: an empty record would get a chunk
        "ALTER TABLE @.lodestor_record DROP COLUMN data;"
        "UPDATE @.lodestor_meta SET schema_version = " + std::to_string(kSchemaVersion) + ";";
    Result upgraded = RunCommand(WithSchema(sql).c_str());
    if (!upgraded.ok()) {
        Status failure = Failure(action, upgraded);
        Rollback();
        return failure;
    }
    return Commit(action);
}

std::string PostgresRecordStore::WithSchema(std::string sql) const {
    for (std::size_t at = sql.find('@'); at != std::string::npos; at = sql.find('@', at)) {
        sql.replace(at, 1, quotedSchema_);
        at += quotedSchema_.size();
    }
    return sql;
}

// ---- round trips -------------------------------------------------------------

Status PostgresRecordStore::Reconnect() {
    PQreset(conn_);
    prepared_.fill(false);
    if (PQstatus(conn_) != CONNECTION_OK) {
        return Status::IOError("reconnecting to '" + location_.display +
                             "' failed: " + OneLine(PQerrorMessage(conn_)));
    }
    return SetUpSession();
}

Status PostgresRecordStore::BeginCall(const std::string& action) {
    mayReconnect_ = true;
    if (PQstatus(conn_) == CONNECTION_OK) return Status::OK();
    mayReconnect_ = false;
    Status status = Reconnect();
    if (!status.ok()) return Status::IOError(action + " failed: " + status.message());
    return status;
}

template <typename Send>
PostgresRecordStore::Result PostgresRecordStore::RoundTrip(Send send) {
    Result result = send();
    if (!result.ok() && mayReconnect_ && PQstatus(conn_) == CONNECTION_BAD) {
        mayReconnect_ = false;
        if (Reconnect().ok()) result = send();
    }
    mayReconnect_ = false;
    return result;
}

bool PostgresRecordStore::EnsurePrepared(Statement statement, Result* failure) {
    if (prepared_[statement]) return true;
    const StatementText& text = kStatements[statement];
    const std::string name = "lodestor_" + std::to_string(statement);
    Result result(PQprepare(conn_, name.c_str(), WithSchema(text.sql).c_str(), text.parameters,
                            text.types.data()));
    if (!result.ok()) {
        *failure = std::move(result);
        return false;
    }
    prepared_[statement] = true;
    return true;
}

PostgresRecordStore::Result PostgresRecordStore::Run(Statement statement, const Params& params) {
    return RoundTrip([&] {
        Result failure;
        if (!EnsurePrepared(statement, &failure)) return failure;
        const std::string name = "lodestor_" + std::to_string(statement);
        return Result(PQexecPrepared(conn_, name.c_str(), params.count(), params.values(),
                                     params.lengths(), params.formats(), 1));
    });
}

PostgresRecordStore::Result PostgresRecordStore::RunCommand(const char* sql) {
    return RoundTrip([&] { return Result(PQexec(conn_, sql)); });
}

Status PostgresRecordStore::Begin(const std::string& action) {
    Result begun = RunCommand("BEGIN");
    if (!begun.ok()) return Failure(action, begun);
    return Status::OK();
}

Status PostgresRecordStore::Commit(const std::string& action) {
    Result committed = RunCommand("COMMIT");
    if (committed.ok()) return Status::OK();
    if (PQstatus(conn_) == CONNECTION_BAD) {
        return Refusal(action, "the connection to the server was lost while committing, so the "
                               "write may or may not have been applied (" +
                                   OneLine(PQerrorMessage(conn_)) + ")");
    }
    Status failure = Failure(action, committed);
    Rollback();
    return failure;
}

void PostgresRecordStore::Rollback() {
    if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        PQclear(PQexec(conn_, "ROLLBACK"));
    }
}

Status PostgresRecordStore::Refusal(const std::string& action, const std::string& why) const {
    return Status::IOError(action + " in '" + location_.display + "' refused: " + why);
}

Status PostgresRecordStore::Failure(const std::string& action, const Result& result) const {
    std::string reason = action + " in '" + location_.display + "' failed: ";
    if (PQstatus(conn_) == CONNECTION_BAD) {
        return Status::IOError(reason + "the connection to the server was lost (" +
                             OneLine(PQerrorMessage(conn_)) + ")");
    }
    const PGresult* r = result.get();
    const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string message = OneLine(primary ? primary : PQerrorMessage(conn_));
    if (const char* plain = Explain(r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr)) {
        reason += plain;
        if (!message.empty()) reason += " (" + message + ")";
    } else {
        reason += message.empty() ? "unknown error" : message;
    }
    return Status::IOError(reason);
}

// ---- areas -------------------------------------------------------------------

Status PostgresRecordStore::FindArea(const std::string& name, AreaId* id, bool* found) {
    if (name.empty()) return Status::IOError("no raster area name given");
    const std::string action = "looking up raster area '" + name + "'";
    Status status = BeginCall(action);
    if (!status.ok()) return status;
    Params params;
    params.Text(name);
    Result result = Run(kFindArea, params);
    if (!result.ok()) return Failure(action, result);
    *found = result.Rows() == 1;
    if (*found) *id = result.Integer(0, 0);
    return Status::OK();
}

Status PostgresRecordStore::AreaNames(std::vector<std::string>* names) {
    Status status = BeginCall("listing raster areas");
    if (!status.ok()) return status;
    Params none;
    Result result = Run(kAreaNames, none);
    if (!result.ok()) return Failure("listing raster areas", result);
    names->clear();
    for (int row = 0; row < result.Rows(); ++row) names->push_back(result.Text(row, 0));
    return Status::OK();
}

Status PostgresRecordStore::OpenArea(const std::string& name, AreaId* id) {
    bool found = false;
    Status status = FindArea(name, id, &found);
    if (!status.ok() || found) return status;
    const std::string action = "creating raster area '" + name + "'";
    status = BeginCall(action);
    if (!status.ok()) return status;
    // DO NOTHING: another client may have made the area meanwhile.
    Params params;
    params.Text(name);
    Result inserted = Run(kInsertArea, params);
    if (!inserted.ok()) return Failure(action, inserted);
    status = FindArea(name, id, &found);
    if (!status.ok()) return status;
    if (!found) return Refusal(action, "the new row is missing");
    return Status::OK();
}

// ---- records -----------------------------------------------------------------

Status PostgresRecordStore::RecordState(AreaId area, std::int64_t key, std::uint32_t* size,
                                        std::uint64_t* version) {
    const std::string action = "asking the size of record " + KeyText(key);
    Status status = BeginCall(action);
    if (!status.ok()) return status;
    Params params;
    params.Int64(area).Int64(key);
    Result result = Run(kRecordState, params);
    if (!result.ok()) return Failure(action, result);
    const bool present = result.Rows() == 1;
    *size = present ? static_cast<std::uint32_t>(result.Integer(0, 0)) : 0;
    *version = present ? static_cast<std::uint64_t>(result.Integer(0, 1)) : 0;
    return Status::OK();
}

Status PostgresRecordStore::RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) {
    std::uint64_t version = 0;
    return RecordState(area, key, size, &version);
}

Status PostgresRecordStore::ReadRecordVersion(AreaId area, std::int64_t key, void* buffer,
                                              std::uint32_t length, std::uint64_t* version) {
    const std::string action = "reading record " + KeyText(key);
    if (buffer == nullptr && length > 0) return Status::IOError(action + " refused: no buffer given");
    Status status = BeginCall(action);
    if (!status.ok()) return status;
    Result first = StartRead(area, key);
    return ReceiveRecord(action, std::move(first), length, buffer, version);
}

// The rows come one by one as the server sends them: memory for one chunk
// at a time, and each is copied out while the next is on its way.
PostgresRecordStore::Result PostgresRecordStore::StartRead(AreaId area, std::int64_t key) {
    Params params;
    params.Int64(area).Int64(key);
    const std::string name = "lodestor_" + std::to_string(kReadRecord);
    return RoundTrip([&] {
        Result failure;
        if (!EnsurePrepared(kReadRecord, &failure)) return failure;
        if (!PQsendQueryPrepared(conn_, name.c_str(), params.count(), params.values(), params.lengths(),
                                 params.formats(), 1) ||
            !PQsetSingleRowMode(conn_)) {
            Drain();
            return Result();
        }
        Result result(PQgetResult(conn_));
        if (PQresultStatus(result.get()) == PGRES_FATAL_ERROR) Drain();
        return result;
    });
}

void PostgresRecordStore::Abandon() {
    if (PGcancel* cancel = PQgetCancel(conn_)) {
        char error[256];
        PQcancel(cancel, error, sizeof error);
        PQfreeCancel(cancel);
    }
    Drain();
}

// The chunks of a record in order, each checked before a byte of it is
// handed out: chunk k must come k-th and hold exactly its share.
class PostgresRecordStore::StreamReader final : public RecordReader {
public:
    StreamReader(PostgresRecordStore* store, std::string action, Result first, std::uint32_t size)
        : store_(store), action_(std::move(action)), row_(std::move(first)), size_(size) {
        TakeRow();
        FinishIfComplete();
    }
    // Closed before the end: the server is told to stop sending.
    ~StreamReader() override {
        if (!finished_) store_->Abandon();
    }

    Status Read(void* buffer, std::uint32_t capacity, std::uint32_t* count) override {
        *count = 0;
        if (!failure_.ok()) return failure_;
        char* out = static_cast<char*>(buffer);
        while (*count < capacity && !finished_) {
            if (offset_ == rowLength_) {
                row_ = Result(PQgetResult(store_->conn_));
                TakeRow();
                if (!failure_.ok()) return failure_;
                continue;
            }
            const std::uint32_t n = std::min(capacity - *count, rowLength_ - offset_);
            std::memcpy(out + *count, rowBytes_ + offset_, n);
            offset_ += n;
            *count += n;
        }
        FinishIfComplete();
        return failure_;
    }

private:
    // With the last byte handed out, the end of the results is taken at
    // once: it checks that no chunk follows, and a reader closed next has
    // nothing to cancel (a cancel costs the server a connection).
    void FinishIfComplete() {
        if (finished_ || offset_ != rowLength_ || delivered_ != size_) return;
        row_ = Result(PQgetResult(store_->conn_));
        TakeRow();
    }

    // Checks the row just received and makes its chunk the one to hand out;
    // the end of the results finishes the read.
    void TakeRow() {
        offset_ = rowLength_ = 0;
        rowBytes_ = nullptr;
        const ExecStatusType state = PQresultStatus(row_.get());
        if (row_.get() == nullptr || state == PGRES_TUPLES_OK) {
            store_->Drain();
            finished_ = true;
            if (PQstatus(store_->conn_) == CONNECTION_BAD) {
                failure_ = store_->Failure(action_, row_);
            } else if (delivered_ != size_) {
                failure_ = store_->Refusal(action_, "the stored record is damaged: chunks are missing");
            }
            return;
        }
        if (state != PGRES_SINGLE_TUPLE || row_.Rows() != 1) return Fail(store_->Failure(action_, row_));
        if (row_.IsNull(0, 2)) return;  // a record without bytes
        const std::int64_t chunk = row_.Integer(0, 2);
        const std::uint64_t expected = std::min<std::uint64_t>(kChunkBytes, size_ - delivered_);
        if (chunk != next_ || static_cast<std::uint64_t>(row_.Length(0, 3)) != expected || expected == 0) {
            return Fail(store_->Refusal(action_, "the stored record is damaged: chunk " + std::to_string(chunk) +
                                                     " (" + std::to_string(row_.Length(0, 3)) +
                                                     " bytes) is not chunk " + std::to_string(next_) + " of " +
                                                     std::to_string(expected) + " bytes"));
        }
        ++next_;
        delivered_ += static_cast<std::uint64_t>(expected);
        rowBytes_ = row_.Bytes(0, 3);
        rowLength_ = static_cast<std::uint32_t>(expected);
    }
    void Fail(Status failure) {
        failure_ = std::move(failure);
        store_->Abandon();
        finished_ = true;
    }

    PostgresRecordStore* store_;
    std::string action_;
    Result row_;
    std::uint32_t size_;
    std::uint64_t delivered_ = 0;
    std::int64_t next_ = 0;
    const char* rowBytes_ = nullptr;
    std::uint32_t rowLength_ = 0;
    std::uint32_t offset_ = 0;
    bool finished_ = false;
    Status failure_;
};

Status PostgresRecordStore::OpenRecordReader(AreaId area, std::int64_t key, std::uint32_t* size,
                                             std::uint64_t* version, std::unique_ptr<RecordReader>* reader) {
    const std::string action = "reading record " + KeyText(key);
    Status status = BeginCall(action);
    if (!status.ok()) return status;
    Result first = StartRead(area, key);
    if (first.get() == nullptr) return Failure(action, first);
    const ExecStatusType state = PQresultStatus(first.get());
    if (state == PGRES_TUPLES_OK) {  // no record
        Drain();
        *size = 0;
        *version = 0;
        *reader = std::make_unique<StreamReader>(this, action, Result(), 0);
        return Status::OK();
    }
    if (state != PGRES_SINGLE_TUPLE || first.Rows() != 1) {
        Status failure = Failure(action, first);
        Drain();
        return failure;
    }
    const std::int64_t stored = first.Integer(0, 1);
    if (stored < 0 || stored > kMaxRecordBytes) {
        Abandon();
        return Refusal(action, "the stored record is damaged: its size is " + std::to_string(stored));
    }
    *size = static_cast<std::uint32_t>(stored);
    *version = static_cast<std::uint64_t>(first.Integer(0, 0));
    *reader = std::make_unique<StreamReader>(this, action, std::move(first), *size);
    return Status::OK();
}

namespace {

// Where the chunks of one record go, and what has arrived: a record's
// rows are checked against each other and against the size the caller
// expects before a byte is copied, so a damaged record is refused, never
// returned with holes.
class ChunkAssembly {
public:
    ChunkAssembly(std::uint32_t length, void* buffer)
        : length_(length), buffer_(static_cast<char*>(buffer)),
          seen_((length + PostgresRecordStore::kChunkBytes - 1) / PostgresRecordStore::kChunkBytes) {}

    // The record's size and version, the same on every row; "" when they fit.
    std::string Head(std::int64_t size, std::uint64_t version) {
        if (rows_++ > 0 && (size != size_ || version != version_)) return "its rows disagree on its size";
        size_ = size;
        version_ = version;
        if (size != static_cast<std::int64_t>(length_)) sizeChanged_ = true;
        return {};
    }
    // Places chunk `index`; "" when it belongs there.
    std::string Place(std::int64_t index, const char* bytes, int count) {
        if (sizeChanged_) return {};
        if (index < 0 || static_cast<std::uint64_t>(index) >= seen_.size()) {
            return "it has a chunk " + std::to_string(index) + " beyond its size";
        }
        const std::uint64_t offset = static_cast<std::uint64_t>(index) * PostgresRecordStore::kChunkBytes;
        const std::uint64_t expected = std::min<std::uint64_t>(PostgresRecordStore::kChunkBytes, length_ - offset);
        if (static_cast<std::uint64_t>(count) != expected) {
            return "its chunk " + std::to_string(index) + " holds " + std::to_string(count) + " bytes, not " +
                   std::to_string(expected);
        }
        if (seen_[index]) return "its chunk " + std::to_string(index) + " is there twice";
        seen_[index] = true;
        ++placed_;
        std::memcpy(buffer_ + offset, bytes, static_cast<std::size_t>(count));
        return {};
    }
    bool Found() const { return rows_ > 0; }
    bool SizeChanged() const { return sizeChanged_; }
    std::int64_t Size() const { return size_; }
    std::uint64_t Version() const { return version_; }
    bool Complete() const { return placed_ == seen_.size(); }

private:
    std::uint32_t length_;
    char* buffer_;
    std::vector<bool> seen_;
    std::size_t placed_ = 0;
    std::size_t rows_ = 0;
    std::int64_t size_ = 0;
    std::uint64_t version_ = 0;
    bool sizeChanged_ = false;
};

}  // namespace

Status PostgresRecordStore::ReceiveRecord(const std::string& action, Result first, std::uint32_t length,
                                          void* buffer, std::uint64_t* version) {
    if (first.get() == nullptr) return Failure(action, first);
    ChunkAssembly assembly(length, buffer);
    std::string damage;
    Result row = std::move(first);
    for (;; row = Result(PQgetResult(conn_))) {
        const ExecStatusType state = PQresultStatus(row.get());
        if (row.get() == nullptr || state == PGRES_TUPLES_OK) break;
        if (state != PGRES_SINGLE_TUPLE || row.Rows() != 1) {
            Status failure = Failure(action, row);
            Drain();
            return failure;
        }
        if (!damage.empty()) continue;
        damage = assembly.Head(row.Integer(0, 1), static_cast<std::uint64_t>(row.Integer(0, 0)));
        if (damage.empty() && !row.IsNull(0, 2)) damage = assembly.Place(row.Integer(0, 2), row.Bytes(0, 3), row.Length(0, 3));
    }
    // The connection takes a new query only after the NULL that ends this one.
    Drain();
    if (PQstatus(conn_) == CONNECTION_BAD) return Failure(action, row);
    if (!damage.empty()) return Refusal(action, "the stored record is damaged: " + damage);
    const std::int64_t stored = assembly.Found() ? assembly.Size() : 0;
    if (stored != static_cast<std::int64_t>(length)) {
        return Status::IOError(action + " refused: the record is " + std::to_string(stored) +
                             " bytes long, not " + std::to_string(length) +
                             " (it changed since its size was asked)");
    }
    if (!assembly.Complete()) return Refusal(action, "the stored record is damaged: chunks are missing");
    *version = assembly.Version();
    return Status::OK();
}

void PostgresRecordStore::Drain() {
    while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
}

Status PostgresRecordStore::ReadRecord(AreaId area, std::int64_t key, void* buffer,
                                       std::uint32_t length) {
    std::uint64_t version = 0;
    return ReadRecordVersion(area, key, buffer, length, &version);
}

Status PostgresRecordStore::CheckBudget(const std::string& action, AreaId area, std::int64_t key,
                                        std::uint32_t length) {
    if (!byteBudget_) return Status::OK();
    // Budgeted writers take turns, so that two of them cannot both fit
    // into the same room.
    Params lock;
    lock.Int64(kBudgetLockClass).Text(location_.schema);
    Result locked = Run(kAdvisoryLock, lock);
    if (!locked.ok()) return Failure(action, locked);
    Params params;
    params.Int64(area).Int64(key);
    Result stored = Run(kStoredBytes, params);
    if (!stored.ok() || stored.Rows() != 1) return Failure(action, stored);
    const std::uint64_t total = static_cast<std::uint64_t>(stored.Integer(0, 0));
    const std::uint64_t former = static_cast<std::uint64_t>(stored.Integer(0, 1));
    const std::uint64_t after = total - former + length;
    if (after > *byteBudget_ && length > former) {
        return Refusal(action, "the database is full for this connection: its records would take " +
                                   std::to_string(after) + " bytes, more than the limit of " +
                                   std::to_string(*byteBudget_));
    }
    return Status::OK();
}

// The checks every record write makes before it reaches the server.
Status PostgresRecordStore::CheckWriteArguments(const std::string& action, const void* data,
                                                std::uint32_t length) const {
    if (data == nullptr && length > 0) return Status::IOError(action + " refused: no bytes given");
    if (length > kMaxRecordBytes) {
        return Refusal(action, std::to_string(length) + " bytes are more than the database's limit of " +
                                   std::to_string(kMaxRecordBytes));
    }
    return Status::OK();
}

// Opens the write's transaction and checks the size budget inside it; on
// failure no transaction is left open.
Status PostgresRecordStore::BeginWrite(const std::string& action, AreaId area, std::int64_t key,
                                       std::uint32_t length) {
    Status status = BeginCall(action);
    if (status.ok()) status = Begin(action);
    if (!status.ok()) return status;
    status = CheckBudget(action, area, key, length);
    if (!status.ok()) Rollback();
    return status;
}

namespace {

// COPY's binary format: a signature, flags and an empty extension area,
// then per row a field count and each field as a length and its bytes,
// all integers big-endian; -1 as field count ends the data.
constexpr char kCopyHeader[19] = {'P', 'G', 'C', 'O', 'P', 'Y', '\n', '\377', '\r', '\n', '\0',
                                  0, 0, 0, 0, 0, 0, 0, 0};
constexpr char kCopyTrailer[2] = {'\377', '\377'};

// The fields of a chunk row before its bytes: area, key, chunk number and
// the length of the data that follows.
class ChunkRowHead {
public:
    ChunkRowHead(std::int64_t area, std::int64_t key) {
        Put16(4);
        Put32(8);
        Put64(static_cast<std::uint64_t>(area));
        Put32(8);
        Put64(static_cast<std::uint64_t>(key));
        Put32(4);
        chunkAt_ = used_;
        Put32(0);
        Put32(0);
    }
    void Set(std::uint32_t chunk, std::uint32_t length) {
        const std::uint32_t wireChunk = htobe32(chunk), wireLength = htobe32(length);
        std::memcpy(bytes_ + chunkAt_, &wireChunk, 4);
        std::memcpy(bytes_ + chunkAt_ + 4, &wireLength, 4);
    }
    const char* data() const { return bytes_; }
    int size() const { return static_cast<int>(used_); }

private:
    void Put16(std::uint16_t v) { Put(htobe16(v), 2); }
    void Put32(std::uint32_t v) { Put(htobe32(v), 4); }
    void Put64(std::uint64_t v) { Put(htobe64(v), 8); }
    template <typename T>
    void Put(T wire, std::size_t n) {
        std::memcpy(bytes_ + used_, &wire, n);
        used_ += n;
    }

    char bytes_[2 + 4 + 8 + 4 + 8 + 4 + 4 + 4] = {};
    std::size_t used_ = 0;
    std::size_t chunkAt_ = 0;
};

}  // namespace

Status PostgresRecordStore::SendChunks(const std::string& action, AreaId area, std::int64_t key,
                                       const void* data, std::uint32_t length) {
    if (length == 0) return Status::OK();
    const std::string sql =
        WithSchema("COPY @.lodestor_record_chunk (area_id, record_key, chunk, data) FROM STDIN (FORMAT binary)");
    Result copying(PQexec(conn_, sql.c_str()));
    if (PQresultStatus(copying.get()) != PGRES_COPY_IN) return Failure(action, copying);
    const char* bytes = static_cast<const char*>(data);
    ChunkRowHead head(area, key);
    bool sent = PQputCopyData(conn_, kCopyHeader, sizeof kCopyHeader) == 1;
    for (std::uint32_t chunk = 0, offset = 0; sent && offset < length; ++chunk, offset += kChunkBytes) {
        const std::uint32_t count = std::min(kChunkBytes, length - offset);
        head.Set(chunk, count);
        sent = PQputCopyData(conn_, head.data(), head.size()) == 1 &&
               PQputCopyData(conn_, bytes + offset, static_cast<int>(count)) == 1;
    }
    sent = sent && PQputCopyData(conn_, kCopyTrailer, sizeof kCopyTrailer) == 1;
    // Ending with an error message makes the server abandon the COPY.
    PQputCopyEnd(conn_, sent ? nullptr : "the client could not send the record");
    Result copied(PQgetResult(conn_));
    Drain();
    if (!copied.ok()) return Failure(action, copied);
    return Status::OK();
}

Status PostgresRecordStore::DeleteChunks(const std::string& action, AreaId area, std::int64_t key) {
    Params params;
    params.Int64(area).Int64(key);
    Result deleted = Run(kDeleteChunks, params);
    return deleted.ok() ? Status::OK() : Failure(action, deleted);
}

Status PostgresRecordStore::WriteOnlyChunk(const std::string& action, AreaId area, std::int64_t key,
                                           const void* data, std::uint32_t length) {
    Params params;
    params.Int64(area).Int64(key).Bytes(data, length);
    Result written = Run(kWriteOnlyChunk, params);
    return written.ok() ? Status::OK() : Failure(action, written);
}

Status PostgresRecordStore::WriteRows(const std::string& action, Statement statement, const Params& params,
                                      AreaId area, std::int64_t key, const void* data, std::uint32_t length,
                                      bool replacesChunks, std::uint64_t* newVersion) {
    *newVersion = 0;
    Result written = Run(statement, params);
    if (!written.ok()) {
        Status failure = Failure(action, written);
        Rollback();
        return failure;
    }
    if (written.Rows() == 0) return Status::OK();
    const std::uint64_t version = static_cast<std::uint64_t>(written.Integer(0, 0));
    Status status = length > 0 && length <= kChunkBytes ? WriteOnlyChunk(action, area, key, data, length)
                    : replacesChunks                    ? DeleteChunks(action, area, key)
                                                        : Status::OK();
    if (status.ok() && length > kChunkBytes) status = SendChunks(action, area, key, data, length);
    if (!status.ok()) {
        Rollback();
        return status;
    }
    status = Commit(action);
    if (status.ok()) *newVersion = version;
    return status;
}

Status PostgresRecordStore::WriteRecord(AreaId area, std::int64_t key, const void* data,
                                        std::uint32_t length) {
    const std::string action = "writing record " + KeyText(key);
    if (Status refused = CheckWriteArguments(action, data, length); !refused.ok()) return refused;
    if (Status status = BeginWrite(action, area, key, length); !status.ok()) return status;
    Params params;
    params.Int64(area).Int64(key).Int64(length);
    std::uint64_t version = 0;
    return WriteRows(action, kUpsertRecord, params, area, key, data, length, true, &version);
}

Status PostgresRecordStore::Conflict(const std::string& action, AreaId area, std::int64_t key,
                                     std::uint64_t expected) {
    // What the record is now, for the reason; the write changed nothing.
    Params params;
    params.Int64(area).Int64(key);
    Result now = Run(kRecordState, params);
    Rollback();
    std::string state = "it could not be read again";
    if (now.ok()) {
        state = now.Rows() == 1 ? "it is now at version " + std::to_string(now.Integer(0, 1))
                                : "it no longer exists";
    }
    if (expected == 0) {
        return Status::Conflict(
            Refusal(action, "another writer changed the record: no record was expected, but " +
                                (state == "it no longer exists" ? std::string("there is none now either") : state))
                .message());
    }
    return Status::Conflict(Refusal(action, "another writer changed the record since version " +
                                                std::to_string(expected) + " was read; " + state)
                                .message());
}

Status PostgresRecordStore::WriteRecordIf(AreaId area, std::int64_t key, const void* data,
                                          std::uint32_t length, std::uint64_t expected,
                                          std::uint64_t* newVersion) {
    const std::string action = "writing record " + KeyText(key);
    if (Status refused = CheckWriteArguments(action, data, length); !refused.ok()) return refused;
    if (expected > static_cast<std::uint64_t>(INT64_MAX)) {
        return Refusal(action, "version " + std::to_string(expected) + " was never given out");
    }
    if (Status begun = BeginWrite(action, area, key, length); !begun.ok()) return begun;
    Params params;
    params.Int64(area).Int64(key).Int64(length);
    if (expected != 0) params.Int64(static_cast<std::int64_t>(expected));
    std::uint64_t version = 0;
    // A new record has no chunks to replace.
    Status status = WriteRows(action, expected == 0 ? kInsertRecordIfAbsent : kUpdateRecordIfVersion, params,
                              area, key, data, length, expected != 0, &version);
    if (!status.ok()) return status;
    if (version == 0) return Conflict(action, area, key, expected);
    *newVersion = version;
    return Status::OK();
}

Status PostgresRecordStore::DeleteRecord(AreaId area, std::int64_t key) {
    const std::string action = "deleting record " + KeyText(key);
    Status status = BeginCall(action);
    if (!status.ok()) return status;
    // One statement; running it again after a lost connection is harmless.
    Params params;
    params.Int64(area).Int64(key);
    Result deleted = Run(kDeleteRecord, params);
    if (!deleted.ok()) return Failure(action, deleted);
    return Status::OK();
}

Status PostgresRecordStore::ListKeys(AreaId area, std::vector<std::int64_t>* keys) {
    Status status = BeginCall("listing records");
    if (!status.ok()) return status;
    Params params;
    params.Int64(area);
    Result result = Run(kListKeys, params);
    if (!result.ok()) return Failure("listing records", result);
    keys->clear();
    for (int row = 0; row < result.Rows(); ++row) keys->push_back(result.Integer(row, 0));
    return Status::OK();
}

Status PostgresRecordStore::LimitSize(std::uint64_t maxBytes) {
    byteBudget_ = maxBytes;
    return Status::OK();
}

}  // namespace lodestor
