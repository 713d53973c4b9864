// TestBackend.h - the two backends of the raster database, for tests that
// run once against each: a SQLite file in a temporary folder, and a schema
// of its own on the PostgreSQL test server that `make test` starts and
// names in MORVANE_TEST_PG_URI (scripts/pg-test-server.sh).  Without that
// variable the PostgreSQL cases skip with a message.
#ifndef MORVANE_TESTS_LODESTOR_TESTBACKEND_H
#define MORVANE_TESTS_LODESTOR_TESTBACKEND_H

#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lodestor_test {

enum class Backend { Sqlite, Postgres };

inline const char* BackendName(Backend backend) {
    return backend == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// Names instantiations "Sqlite" and "Postgres".
struct BackendNamer {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return BackendName(info.param);
    }
};

inline void PrintTo(Backend backend, std::ostream* out) { *out << BackendName(backend); }

// The test server's URI, or "" without one.
inline std::string PostgresTestUri() {
    const char* uri = std::getenv("MORVANE_TEST_PG_URI");
    return uri ? uri : "";
}

constexpr const char* kNoPostgresServer =
    "no PostgreSQL test server: MORVANE_TEST_PG_URI is not set (make test starts one)";

// `uri` with one more query parameter.
inline std::string WithParameter(const std::string& uri, const std::string& parameter) {
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + parameter;
}

// Runs SQL on the test server through psql; true when it succeeded.
inline bool PsqlExecute(const std::string& sql) {
    const std::string command = "psql -qX -v ON_ERROR_STOP=1 '" + PostgresTestUri() + "' -c '" + sql +
                                "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A PostgreSQL server of one test's own, made with the script that made the
// shared test server (MORVANE_TEST_PG_CTL), for tests that stop and start
// their server: the other tests keep theirs.  Removed at the end.
class PrivateTestServer {
public:
    PrivateTestServer() {
        const char* script = std::getenv("MORVANE_TEST_PG_CTL");
        if (script == nullptr || !dir_.ok()) return;
        script_ = script;
        // The server runs as another user when the tests run as root: it
        // must reach its folder through ours.
#ifndef _WIN32
        chmod(dir_.File("").c_str(), 0711);
#endif
        if (Control("start")) {
            std::ifstream env(dir_.File("cluster/env"));
            for (std::string line; std::getline(env, line);) {
                if (line.starts_with("MORVANE_TEST_PG_URI=")) uri_ = line.substr(20);
            }
        }
    }
    ~PrivateTestServer() {
        if (!script_.empty()) Control("remove");
    }
    PrivateTestServer(const PrivateTestServer&) = delete;
    PrivateTestServer& operator=(const PrivateTestServer&) = delete;

    // "" when no server could be made (no script given, or it failed).
    const std::string& Uri() const { return uri_; }
    bool Stop() { return Control("stop"); }
    bool Start() { return Control("start"); }

private:
    bool Control(const char* action) {
        const std::string command =
            "'" + script_ + "' " + action + " '" + dir_.File("cluster") + "' >/dev/null";
        return std::system(command.c_str()) == 0;
    }

    TempDir dir_;
    std::string script_;
    std::string uri_;
};

// Fresh databases for one test, removed at its end: Location(name) is a
// file in a temporary folder (SQLite) or the test server with a schema of
// its own (PostgreSQL); the same name gives the same database.
class TestDatabases {
public:
    explicit TestDatabases(Backend backend) : backend_(backend) {}
    ~TestDatabases() {
        if (backend_ != Backend::Postgres || getpid() != owner_) return;
        for (const auto& [name, schema] : schemas_) PsqlExecute("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    }
    TestDatabases(const TestDatabases&) = delete;
    TestDatabases& operator=(const TestDatabases&) = delete;

    Backend backend() const { return backend_; }
    // Whether this backend can run here; when not, SkipReason() says why.
    bool Available() const { return backend_ == Backend::Sqlite || !PostgresTestUri().empty(); }
    const char* SkipReason() const { return kNoPostgresServer; }

    std::string Location(const std::string& name = "raster") {
        if (backend_ == Backend::Sqlite) return dir_.File(name + ".db");
        return WithParameter(PostgresTestUri(), "lodestor_schema=" + Schema(name));
    }
    // The PostgreSQL schema of `name`.
    std::string Schema(const std::string& name = "raster") {
        auto found = schemas_.find(name);
        if (found != schemas_.end()) return found->second;
        static std::atomic<int> counter{0};
        const std::string schema = "t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        schemas_.emplace(name, schema);
        return schema;
    }

private:
    Backend backend_;
    TempDir dir_;
    std::map<std::string, std::string> schemas_;
    int owner_ = getpid();
};

}  // namespace lodestor_test

// Skips the test when its backend cannot run here.
#define SKIP_UNLESS_AVAILABLE(databases)                                  \
    do {                                                                  \
        if (!(databases).Available()) GTEST_SKIP() << (databases).SkipReason(); \
    } while (0)

#endif
