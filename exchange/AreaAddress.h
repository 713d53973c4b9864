// AreaAddress.h - how the command line names an area.
//
//   PATH                         a control-point file
//   sqlite:DBPATH#AREA_NAME:KEY  record KEY (a non-zero integer) of the
//                                area AREA_NAME in the SQLite raster
//                                database DBPATH; ":KEY" may be left out
//                                and then means key 1
//   postgresql://USER@HOST:PORT/DB#AREA_NAME:KEY
//                                the same in a PostgreSQL raster database,
//                                named by a libpq URI (postgres:// too);
//                                the last '#' and ':' split as for sqlite:
//
// A control-point file whose name starts with "sqlite:" is named
// "./sqlite:...".
#ifndef MORVANE_EXCHANGE_AREAADDRESS_H
#define MORVANE_EXCHANGE_AREAADDRESS_H

#include <string>
#include <string_view>

namespace morvane::tool {

struct AreaAddress {
    enum class Kind { File, Sqlite, Postgres } kind = Kind::File;
    std::string path;        // file path, database path, or database URI
    std::string areaName;    // database area name
    long recordKey = 0;      // database record key
    // The address as the user wrote it, with any password in a URI shown as ***.
    std::string Describe() const;
};

// Throws std::invalid_argument with a one-line reason for a malformed name.
AreaAddress ParseAreaAddress(std::string_view text);

// An area name as the user wrote it, for messages, but with the password of
// a database URI shown as ***.
std::string ShownAreaAddress(std::string_view text);

extern const char* const kAreaAddressHelp;

}  // namespace morvane::tool

#endif
