#include "AreaAddress.h"

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

// The URI with the password of its user part and of a password= parameter
// shown as ***: addresses appear in every refusal the tool prints.
std::string MaskedUri(std::string_view uri) {
    std::string out(uri);
    const std::size_t start = out.find("://") + 3;
    const std::size_t end = std::min(out.find_first_of("/?", start), out.size());
    const std::size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start) {
        const std::size_t colon = out.find(':', start);
        if (colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    for (std::size_t p = out.find('?'); p != std::string::npos && p < out.size(); p = out.find('&', p + 1)) {
        if (out.compare(p + 1, 9, "password=") == 0) {
            const std::size_t valueEnd = std::min(out.find('&', p + 10), out.size());
            out.replace(p + 10, valueEnd - p - 10, "***");
        }
    }
    return out;
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
