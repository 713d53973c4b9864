#include "AreaAddress.h"

#include "Lodestor.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace morvane::tool {

const char* const kAreaAddressHelp =
    "AREA is a control-point file path, or a database area written\n"
    "sqlite:DBPATH#AREA_NAME:KEY (record KEY, a non-zero integer, default 1,\n"
    "of area AREA_NAME in the SQLite raster database DBPATH) or\n"
    "postgresql://USER@HOST:PORT/DB#AREA_NAME:KEY (the same in a PostgreSQL\n"
    "raster database, named by a libpq URI).";

namespace {

constexpr std::string_view kSqliteScheme = "sqlite:";
constexpr std::string_view kPostgresSchemes[] = {"postgresql://", "postgres://"};

bool IsPostgresUri(std::string_view text) {
    for (std::string_view scheme : kPostgresSchemes) {
        if (text.starts_with(scheme)) return true;
    }
    return false;
}

// The URI with every password libpq would read from it shown as ***:
// addresses appear in every refusal the tool prints.
std::string MaskedUri(std::string_view uri) {
    const std::string text(uri);
    std::string shown(256, '\0');
    std::uint32_t length = ShowGcpLocation(text.c_str(), shown.data(), static_cast<std::uint32_t>(shown.size()));
    if (length >= shown.size()) {
        shown.assign(std::size_t{length} + 1, '\0');
        length = ShowGcpLocation(text.c_str(), shown.data(), length + 1);
    }
    shown.resize(std::min<std::size_t>(length, shown.size()));
    return shown;
}

}  // namespace

std::string AreaAddress::Describe() const {
    switch (kind) {
        case Kind::File: return path;
        case Kind::Sqlite: return fmt::format("sqlite:{}#{}:{}", path, areaName, recordKey);
        case Kind::Postgres: return fmt::format("{}#{}:{}", MaskedUri(path), areaName, recordKey);
    }
    return path;
}

AreaAddress ParseAreaAddress(std::string_view text) {
    AreaAddress address;
    std::string_view rest;
    if (text.starts_with(kSqliteScheme)) {
        address.kind = AreaAddress::Kind::Sqlite;
        rest = text.substr(kSqliteScheme.size());
    } else if (IsPostgresUri(text)) {
        address.kind = AreaAddress::Kind::Postgres;
        rest = text;
    } else {
        if (text.empty()) throw std::invalid_argument("empty area name");
        address.path = std::string(text);
        return address;
    }
    const bool postgres = address.kind == AreaAddress::Kind::Postgres;
    // Refusals show what the user wrote, but never a password.
    const std::string shown = postgres ? MaskedUri(text) : std::string(text);
    std::size_t hash = rest.rfind('#');
    if (hash == std::string_view::npos) {
        throw std::invalid_argument(fmt::format("\"{}\": expected {}#AREA_NAME:KEY", shown,
                                                postgres ? "postgresql://USER@HOST:PORT/DB" : "sqlite:DBPATH"));
    }
    address.path = std::string(rest.substr(0, hash));
    std::string_view area = rest.substr(hash + 1);
    address.recordKey = 1;
    std::size_t colon = area.rfind(':');
    if (colon != std::string_view::npos) {
        std::string_view key = area.substr(colon + 1);
        long value = 0;
        auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), value);
        if (error != std::errc() || end != key.data() + key.size() || value == 0 || value > 2147483647L ||
            value < -2147483647L) {
            throw std::invalid_argument(
                fmt::format("\"{}\": the record key must be a non-zero 32-bit integer", shown));
        }
        address.recordKey = value;
        area = area.substr(0, colon);
    }
    address.areaName = std::string(area);
    if (address.path.empty()) throw std::invalid_argument(fmt::format("\"{}\": no database path", shown));
    if (address.areaName.empty()) throw std::invalid_argument(fmt::format("\"{}\": no area name", shown));
    return address;
}

std::string ShownAreaAddress(std::string_view text) {
    return IsPostgresUri(text) ? MaskedUri(text) : std::string(text);
}

}  // namespace morvane::tool
