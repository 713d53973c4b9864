// FileFormat.h - picks an exchange format by name or file extension and
// dispatches reading and writing to it.
#ifndef MORVANE_EXCHANGE_FILEFORMAT_H
#define MORVANE_EXCHANGE_FILEFORMAT_H

#include "GcpTable.h"

#include <optional>
#include <string>
#include <string_view>

namespace morvane::tool {

enum class FileFormat { QgisPoints, Vrt, Csv, GeoJson, EnviPts };

// "points", "vrt", "csv", "geojson", "pts" (and a few aliases).
std::optional<FileFormat> FormatByName(std::string_view name);
std::optional<FileFormat> FormatByPath(std::string_view path);
const char* FormatName(FileFormat format);
// The names FormatByName accepts, for help texts.
const char* FormatNamesHelp();

GcpTable ReadGcps(FileFormat format, std::string_view text);

struct WriteOptions {
    long columns = 0;           // raster size, for formats that record it
    long rows = 0;
    std::string existing;       // text of the file being replaced (VRT keeps the rest of it)
};
std::string WriteGcps(FileFormat format, const GcpTable& table, const WriteOptions& options);

}  // namespace morvane::tool

#endif
