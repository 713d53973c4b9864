// PgAdmin.h - a libpq connection of the test's own to the PostgreSQL test
// server, to set up what the library must then meet (a newer schema
// version, a row locked by another client) and to look at what it left.
#ifndef MORVANE_TESTS_LODESTOR_PGADMIN_H
#define MORVANE_TESTS_LODESTOR_PGADMIN_H

#include "TestBackend.h"

#include <libpq-fe.h>

#include <string>

namespace lodestor_test {

class PgAdmin {
public:
    PgAdmin() : conn_(PQconnectdb(PostgresTestUri().c_str())) {}
    ~PgAdmin() { PQfinish(conn_); }
    PgAdmin(const PgAdmin&) = delete;
    PgAdmin& operator=(const PgAdmin&) = delete;

    bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }

    // Runs SQL; "" on success, else the server's message.
    std::string Execute(const std::string& sql) {
        PGresult* result = PQexec(conn_, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        std::string error = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK
                                ? ""
                                : std::string("failed: ") + PQerrorMessage(conn_);
        PQclear(result);
        return error;
    }

    // The first column of the first row as text; "<null>" for NULL and
    // "<error: ...>" or "<no row>" when there is none.
    std::string Query(const std::string& sql) {
        PGresult* result = PQexec(conn_, sql.c_str());
        std::string value;
        if (PQresultStatus(result) != PGRES_TUPLES_OK) {
            value = std::string("<error: ") + PQerrorMessage(conn_) + ">";
        } else if (PQntuples(result) == 0) {
            value = "<no row>";
        } else {
            value = PQgetisnull(result, 0, 0) ? "<null>" : PQgetvalue(result, 0, 0);
        }
        PQclear(result);
        return value;
    }

private:
    PGconn* conn_;
};

}  // namespace lodestor_test

#endif
