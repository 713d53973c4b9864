#include "CsvFormat.h"

#include "TextScan.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace morvane::tool {

namespace {

enum class CsvColumn { Name, Id, Pixel, Line, X, Y, Z, Use, Edit, ResPixel, ResLine, ResX, ResY };

constexpr std::array<std::pair<const char*, CsvColumn>, 13> kColumnNames = {{
    {"name", CsvColumn::Name},     {"id", CsvColumn::Id},          {"pixel", CsvColumn::Pixel},
    {"line", CsvColumn::Line},     {"x", CsvColumn::X},            {"y", CsvColumn::Y},
    {"z", CsvColumn::Z},           {"use", CsvColumn::Use},        {"edit", CsvColumn::Edit},
    {"res_pixel", CsvColumn::ResPixel}, {"res_line", CsvColumn::ResLine}, {"res_x", CsvColumn::ResX},
    {"res_y", CsvColumn::ResY},
}};

struct CsvRecord {
    std::size_t line;                 // line the record starts on
    std::vector<std::string> fields;
};

// Splits text into records, honouring quoted fields that span lines.
std::vector<CsvRecord> SplitRecords(std::string_view text) {
    std::vector<CsvRecord> records;
    std::size_t line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        CsvRecord record{line, {}};
        std::string field;
        bool quotedField = false;
        for (;;) {
            if (i < text.size() && text[i] == '"' && field.empty() && !quotedField) {
                quotedField = true;
                ++i;
                for (;;) {
                    if (i >= text.size()) throw FormatError(record.line, "quoted field is not closed");
                    char c = text[i++];
                    if (c == '"') {
                        if (i < text.size() && text[i] == '"') {
                            field += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line;
                    field += c;
                }
                continue;
            }
            if (i >= text.size() || text[i] == '\n') {
                if (!quotedField && !field.empty() && field.back() == '\r') field.pop_back();
                record.fields.push_back(std::move(field));
                if (i < text.size()) ++i;
                ++line;
                break;
            }
            if (text[i] == ',') {
                record.fields.push_back(std::move(field));
                field.clear();
                quotedField = false;
                ++i;
                continue;
            }
            if (text[i] == '\r' && quotedField) {  // CR of a CRLF after a quoted last field
                ++i;
                continue;
            }
            if (quotedField) throw FormatError(line, "text after a closing quote");
            field += text[i++];
        }
        bool blank = record.fields.size() == 1 && Trim(record.fields[0]).empty();
        if (!blank) records.push_back(std::move(record));
    }
    return records;
}

std::vector<CsvColumn> ReadHeader(const CsvRecord& header) {
    std::vector<CsvColumn> columns;
    for (const std::string& raw : header.fields) {
        std::string_view name = Trim(raw);
        auto known = std::find_if(kColumnNames.begin(), kColumnNames.end(),
                                  [&](const auto& entry) { return EqualsNoCase(name, entry.first); });
        if (known == kColumnNames.end()) {
            if (ParseNumber(name)) throw FormatError(header.line, "missing header: expected pixel,line,x,y,...");
            throw FormatError(header.line, fmt::format("unknown column \"{}\"", std::string(name)));
        }
        if (std::find(columns.begin(), columns.end(), known->second) != columns.end()) {
            throw FormatError(header.line, fmt::format("column \"{}\" given twice", std::string(name)));
        }
        columns.push_back(known->second);
    }
    for (CsvColumn needed : {CsvColumn::Pixel, CsvColumn::Line, CsvColumn::X, CsvColumn::Y}) {
        if (std::find(columns.begin(), columns.end(), needed) == columns.end()) {
            throw FormatError(header.line, "header lacks one of pixel, line, x, y");
        }
    }
    return columns;
}

std::int32_t RequireId(std::string_view field, std::size_t line) {
    double value = RequireNumber(field, line, "id");
    if (value != std::floor(value) || std::fabs(value) > 2147483647.0) {
        throw FormatError(line, fmt::format("id must be a whole number, not \"{}\"", std::string(Trim(field))));
    }
    return static_cast<std::int32_t>(value);
}

GcpRow ReadRow(const CsvRecord& record, const std::vector<CsvColumn>& columns, std::int32_t sequence) {
    if (record.fields.size() != columns.size()) {
        throw FormatError(record.line, fmt::format("{} fields where the header names {}", record.fields.size(),
                                                   columns.size()));
    }
    GcpRow row;
    row.id = sequence;
    row.fileLine = record.line;
    std::size_t n = record.line;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string& f = record.fields[i];
        switch (columns[i]) {
            case CsvColumn::Name: row.name = f; break;
            case CsvColumn::Id: row.id = RequireId(f, n); break;
            case CsvColumn::Pixel: row.pixel = RequireNumber(f, n, "pixel"); break;
            case CsvColumn::Line: row.line = RequireNumber(f, n, "line"); break;
            case CsvColumn::X: row.x = RequireNumber(f, n, "x"); break;
            case CsvColumn::Y: row.y = RequireNumber(f, n, "y"); break;
            case CsvColumn::Z: row.z = Trim(f).empty() ? 0.0 : RequireNumber(f, n, "z"); break;
            case CsvColumn::Use: row.use = RequireFlag(f, n, "use"); break;
            case CsvColumn::Edit: row.edit = RequireFlag(f, n, "edit"); break;
            case CsvColumn::ResPixel:
            case CsvColumn::ResLine:
            case CsvColumn::ResX:
            case CsvColumn::ResY:
                if (!Trim(f).empty()) RequireNumber(f, n, "residual");
                break;
        }
    }
    return row;
}

std::string Quoted(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos && Trim(field) == field) return std::string(field);
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

}  // namespace

GcpTable ReadCsvGcps(std::string_view text) {
    RequireText(text);
    std::vector<CsvRecord> records = SplitRecords(text);
    if (records.empty()) throw FormatError(1, "missing header: expected pixel,line,x,y,...");
    std::vector<CsvColumn> columns = ReadHeader(records.front());
    GcpTable table;
    for (std::size_t r = 1; r < records.size(); ++r) {
        table.rows.push_back(ReadRow(records[r], columns, static_cast<std::int32_t>(r)));
    }
    return table;
}

std::string WriteCsvGcps(const GcpTable& table) {
    bool withResiduals = !table.rows.empty() &&
                         std::all_of(table.rows.begin(), table.rows.end(),
                                     [](const GcpRow& r) { return r.residual.has_value(); });
    std::string out = "name,id,pixel,line,x,y,z,use,edit";
    out += withResiduals ? ",res_pixel,res_line,res_x,res_y\n" : "\n";
    for (const GcpRow& row : table.rows) {
        out += fmt::format("{},{},{},{},{},{},{},{},{}", Quoted(row.name), row.id, FormatNumber(row.pixel),
                           FormatNumber(row.line), FormatNumber(row.x), FormatNumber(row.y), FormatNumber(row.z),
                           row.use ? 1 : 0, row.edit ? 1 : 0);
        if (withResiduals) {
            const GcpResidual& r = *row.residual;
            out += fmt::format(",{},{},{},{}", FormatNumber(r.pixel), FormatNumber(r.line), FormatNumber(r.x),
                               FormatNumber(r.y));
        }
        out += '\n';
    }
    return out;
}

}  // namespace morvane::tool
