#include "FileFormat.h"

#include "CsvFormat.h"
#include "EnviPtsFormat.h"
#include "GeoJsonFormat.h"
#include "QgisPointsFormat.h"
#include "TextScan.h"
#include "VrtFormat.h"

namespace morvane::tool {

std::optional<FileFormat> FormatByName(std::string_view name) {
    if (EqualsNoCase(name, "points") || EqualsNoCase(name, "qgis")) return FileFormat::QgisPoints;
    if (EqualsNoCase(name, "vrt") || EqualsNoCase(name, "gdal")) return FileFormat::Vrt;
    if (EqualsNoCase(name, "csv")) return FileFormat::Csv;
    if (EqualsNoCase(name, "geojson") || EqualsNoCase(name, "json")) return FileFormat::GeoJson;
    if (EqualsNoCase(name, "pts") || EqualsNoCase(name, "envi")) return FileFormat::EnviPts;
    return std::nullopt;
}

std::optional<FileFormat> FormatByPath(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    std::string_view file = (slash == std::string_view::npos) ? path : path.substr(slash + 1);
    std::size_t dot = file.find_last_of('.');
    if (dot == std::string_view::npos) return std::nullopt;
    return FormatByName(file.substr(dot + 1));
}

const char* FormatName(FileFormat format) {
    switch (format) {
        case FileFormat::QgisPoints: return "points";
        case FileFormat::Vrt: return "vrt";
        case FileFormat::Csv: return "csv";
        case FileFormat::GeoJson: return "geojson";
        case FileFormat::EnviPts: return "pts";
    }
    return "?";
}

const char* FormatNamesHelp() { return "points (QGIS), vrt (GDAL), csv, geojson, pts (ENVI)"; }

GcpTable ReadGcps(FileFormat format, std::string_view text) {
    switch (format) {
        case FileFormat::QgisPoints: return ReadQgisPoints(text);
        case FileFormat::Vrt: return ReadVrtGcps(text);
        case FileFormat::Csv: return ReadCsvGcps(text);
        case FileFormat::GeoJson: return ReadGeoJsonGcps(text);
        case FileFormat::EnviPts: return ReadEnviPts(text);
    }
    return {};
}

std::string WriteGcps(FileFormat format, const GcpTable& table, const WriteOptions& options) {
    switch (format) {
        case FileFormat::QgisPoints: return WriteQgisPoints(table);
        case FileFormat::Vrt: return WriteVrtGcps(table, options.columns, options.rows, options.existing);
        case FileFormat::Csv: return WriteCsvGcps(table);
        case FileFormat::GeoJson: return WriteGeoJsonGcps(table);
        case FileFormat::EnviPts: return WriteEnviPts(table);
    }
    return {};
}

}  // namespace morvane::tool
