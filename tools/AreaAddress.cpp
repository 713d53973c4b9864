#include "AreaAddress.h"

#include <fmt/format.h>

#include <charconv>
#include <stdexcept>

namespace morvane::tool {

const char* const kAreaAddressHelp =
    "AREA is a control-point file path, or a database area written\n"
    "sqlite:DBPATH#AREA_NAME:KEY (record KEY, a non-zero integer, default 1,\n"
    "of area AREA_NAME in the SQLite raster database DBPATH).";

std::string AreaAddress::Describe() const {
    if (kind == Kind::File) return path;
    return fmt::format("sqlite:{}#{}:{}", path, areaName, recordKey);
}

AreaAddress ParseAreaAddress(std::string_view text) {
    AreaAddress address;
    constexpr std::string_view kScheme = "sqlite:";
    if (!text.starts_with(kScheme)) {
        if (text.empty()) throw std::invalid_argument("empty area name");
        address.path = std::string(text);
        return address;
    }
    address.kind = AreaAddress::Kind::Sqlite;
    std::string_view rest = text.substr(kScheme.size());
    std::size_t hash = rest.rfind('#');
    if (hash == std::string_view::npos) {
        throw std::invalid_argument(fmt::format("\"{}\": expected sqlite:DBPATH#AREA_NAME:KEY", text));
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
                fmt::format("\"{}\": the record key must be a non-zero 32-bit integer", text));
        }
        address.recordKey = value;
        area = area.substr(0, colon);
    }
    address.areaName = std::string(area);
    if (address.path.empty()) throw std::invalid_argument(fmt::format("\"{}\": no database path", text));
    if (address.areaName.empty()) throw std::invalid_argument(fmt::format("\"{}\": no area name", text));
    return address;
}

}  // namespace morvane::tool
