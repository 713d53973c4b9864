#include "QgisPointsFormat.h"

#include "TextScan.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace morvane::tool {

namespace {

enum class PointsColumn { MapX, MapY, PixelX, PixelY, Enable, DX, DY, Residual };

std::optional<PointsColumn> ColumnByName(std::string_view name) {
    name = Trim(name);
    if (EqualsNoCase(name, "mapX")) return PointsColumn::MapX;
    if (EqualsNoCase(name, "mapY")) return PointsColumn::MapY;
    if (EqualsNoCase(name, "pixelX") || EqualsNoCase(name, "sourceX")) return PointsColumn::PixelX;
    if (EqualsNoCase(name, "pixelY") || EqualsNoCase(name, "sourceY")) return PointsColumn::PixelY;
    if (EqualsNoCase(name, "enable") || EqualsNoCase(name, "enabled")) return PointsColumn::Enable;
    if (EqualsNoCase(name, "dX")) return PointsColumn::DX;
    if (EqualsNoCase(name, "dY")) return PointsColumn::DY;
    if (EqualsNoCase(name, "residual")) return PointsColumn::Residual;
    return std::nullopt;
}

std::vector<PointsColumn> ReadHeader(const TextLine& line) {
    std::vector<PointsColumn> columns;
    for (std::string_view name : SplitOn(line.text, ',')) {
        std::optional<PointsColumn> column = ColumnByName(name);
        if (!column) {
            if (ParseNumber(name)) {
                throw FormatError(line.number,
                                  "missing header: expected mapX,mapY,pixelX,pixelY,enable");
            }
            throw FormatError(line.number, fmt::format("unknown column \"{}\"", std::string(Trim(name))));
        }
        if (std::find(columns.begin(), columns.end(), *column) != columns.end()) {
            throw FormatError(line.number, fmt::format("column \"{}\" given twice", std::string(Trim(name))));
        }
        columns.push_back(*column);
    }
    for (PointsColumn needed : {PointsColumn::MapX, PointsColumn::MapY, PointsColumn::PixelX, PointsColumn::PixelY}) {
        if (std::find(columns.begin(), columns.end(), needed) == columns.end()) {
            throw FormatError(line.number, "header lacks one of mapX, mapY, pixelX/sourceX, pixelY/sourceY");
        }
    }
    return columns;
}

GcpRow ReadRow(const TextLine& line, const std::vector<PointsColumn>& columns, std::int32_t sequence) {
    std::vector<std::string_view> fields = SplitOn(line.text, ',');
    if (fields.size() != columns.size()) {
        throw FormatError(line.number, fmt::format("{} fields where the header names {}", fields.size(),
                                                   columns.size()));
    }
    GcpRow row;
    row.id = sequence;
    row.fileLine = line.number;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        switch (columns[i]) {
            case PointsColumn::MapX: row.x = RequireNumber(fields[i], line.number, "mapX"); break;
            case PointsColumn::MapY: row.y = RequireNumber(fields[i], line.number, "mapY"); break;
            case PointsColumn::PixelX: row.pixel = RequireNumber(fields[i], line.number, "pixelX"); break;
            case PointsColumn::PixelY: row.line = -RequireNumber(fields[i], line.number, "pixelY"); break;
            case PointsColumn::Enable: row.use = RequireFlag(fields[i], line.number, "enable"); break;
            case PointsColumn::DX: RequireNumber(fields[i], line.number, "dX"); break;
            case PointsColumn::DY: RequireNumber(fields[i], line.number, "dY"); break;
            case PointsColumn::Residual: RequireNumber(fields[i], line.number, "residual"); break;
        }
    }
    if (row.line == 0.0) row.line = 0.0;  // no negative zero from negating 0
    return row;
}

}  // namespace

GcpTable ReadQgisPoints(std::string_view text) {
    RequireText(text);
    GcpTable table;
    std::vector<PointsColumn> columns;
    bool haveHeader = false;
    for (const TextLine& line : SplitLines(text)) {
        std::string_view content = Trim(line.text);
        if (content.empty()) continue;
        if (!haveHeader && content.starts_with("#CRS:")) {
            table.crs = std::string(Trim(content.substr(5)));
            continue;
        }
        if (content.front() == '#') continue;
        if (!haveHeader) {
            columns = ReadHeader(line);
            haveHeader = true;
            continue;
        }
        table.rows.push_back(ReadRow(line, columns, static_cast<std::int32_t>(table.rows.size() + 1)));
    }
    if (!haveHeader) throw FormatError(1, "missing header: expected mapX,mapY,pixelX,pixelY,enable");
    return table;
}

std::string WriteQgisPoints(const GcpTable& table) {
    bool withResiduals = !table.rows.empty() &&
                         std::all_of(table.rows.begin(), table.rows.end(),
                                     [](const GcpRow& r) { return r.residual.has_value(); });
    std::string out;
    if (!table.crs.empty()) out += fmt::format("#CRS: {}\n", table.crs);
    out += withResiduals ? "mapX,mapY,sourceX,sourceY,enable,dX,dY,residual\n"
                         : "mapX,mapY,sourceX,sourceY,enable\n";
    for (const GcpRow& row : table.rows) {
        out += fmt::format("{},{},{},{},{}", FormatNumber(row.x), FormatNumber(row.y), FormatNumber(row.pixel),
                           FormatNumber(-row.line), row.use ? 1 : 0);
        if (withResiduals) {
            const GcpResidual& r = *row.residual;
            out += fmt::format(",{},{},{}", FormatNumber(r.pixel), FormatNumber(r.line),
                               FormatNumber(std::hypot(r.pixel, r.line)));
        }
        out += '\n';
    }
    return out;
}

}  // namespace morvane::tool
