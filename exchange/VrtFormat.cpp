#include "VrtFormat.h"

#include "TextScan.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace morvane::tool {

namespace {

// One start tag: its name, attributes and where it lies in the text.
struct XmlTag {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<std::string> order;   // attribute names as written
    std::size_t begin = 0;            // offset of '<'
    std::size_t end = 0;              // offset just past '>'
    bool selfClosing = false;
};

std::string DecodeEntities(std::string_view raw, std::size_t line) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        std::size_t semi = raw.find(';', i);
        if (semi == std::string_view::npos) throw FormatError(line, "unterminated entity in attribute value");
        std::string_view entity = raw.substr(i + 1, semi - i - 1);
        if (entity == "quot") out += '"';
        else if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            bool hex = entity[1] == 'x' || entity[1] == 'X';
            std::string digits(entity.substr(hex ? 2 : 1));
            char* stop = nullptr;
            unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
            if (digits.empty() || *stop != '\0' || code == 0 || code > 0x10FFFF) {
                throw FormatError(line, fmt::format("bad character reference &{};", std::string(entity)));
            }
            // UTF-8 encoding of the code point.
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else {
            throw FormatError(line, fmt::format("unknown entity &{};", std::string(entity)));
        }
        i = semi;
    }
    return out;
}

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == ':' || c == '.';
}

// Parses the start tag beginning at text[at] == '<'.
XmlTag ParseStartTag(std::string_view text, std::size_t at) {
    XmlTag tag;
    tag.begin = at;
    std::size_t line = LineOfOffset(text, at);
    std::size_t i = at + 1;
    while (i < text.size() && IsNameChar(text[i])) tag.name += text[i++];
    for (;;) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
        if (i >= text.size()) throw FormatError(line, fmt::format("unterminated <{}> tag", tag.name));
        if (text[i] == '>') {
            tag.end = i + 1;
            return tag;
        }
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '>') {
            tag.selfClosing = true;
            tag.end = i + 2;
            return tag;
        }
        std::string name;
        while (i < text.size() && IsNameChar(text[i])) name += text[i++];
        if (name.empty()) throw FormatError(LineOfOffset(text, i), fmt::format("malformed <{}> tag", tag.name));
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size() || text[i] != '=') {
            throw FormatError(LineOfOffset(text, i), fmt::format("attribute {} has no value", name));
        }
        ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) {
            throw FormatError(LineOfOffset(text, i), fmt::format("attribute {} value is not quoted", name));
        }
        char quote = text[i++];
        std::size_t close = text.find(quote, i);
        if (close == std::string_view::npos) {
            throw FormatError(LineOfOffset(text, i), fmt::format("attribute {} value is not closed", name));
        }
        if (tag.attributes.count(name)) {
            throw FormatError(LineOfOffset(text, i), fmt::format("attribute {} given twice", name));
        }
        tag.attributes[name] = DecodeEntities(text.substr(i, close - i), LineOfOffset(text, i));
        tag.order.push_back(name);
        i = close + 1;
    }
}

// Finds the next start tag named `name` at or after `from`, skipping comments.
std::optional<XmlTag> FindStartTag(std::string_view text, std::string_view name, std::size_t from,
                                   std::size_t limit) {
    std::size_t i = from;
    while (i < limit) {
        std::size_t lt = text.find('<', i);
        if (lt == std::string_view::npos || lt >= limit) return std::nullopt;
        if (text.substr(lt, 4) == "<!--") {
            std::size_t close = text.find("-->", lt + 4);
            if (close == std::string_view::npos) throw FormatError(LineOfOffset(text, lt), "unterminated comment");
            i = close + 3;
            continue;
        }
        std::string_view rest = text.substr(lt + 1);
        if (rest.starts_with(name) && rest.size() > name.size() && !IsNameChar(rest[name.size()])) {
            return ParseStartTag(text, lt);
        }
        i = lt + 1;
    }
    return std::nullopt;
}

GcpRow RowFromTag(const XmlTag& tag, std::size_t line, std::int32_t sequence) {
    static const char* const known[] = {"Id", "Info", "Pixel", "Line", "X", "Y", "Z"};
    for (const std::string& attribute : tag.order) {
        if (std::find(std::begin(known), std::end(known), attribute) == std::end(known)) {
            throw FormatError(line, fmt::format("unknown GCP attribute \"{}\"", attribute));
        }
    }
    auto require = [&](const char* name) {
        auto it = tag.attributes.find(name);
        if (it == tag.attributes.end()) throw FormatError(line, fmt::format("GCP has no {} attribute", name));
        return RequireNumber(it->second, line, name);
    };
    GcpRow row;
    row.fileLine = line;
    row.pixel = require("Pixel");
    row.line = require("Line");
    row.x = require("X");
    row.y = require("Y");
    row.z = tag.attributes.count("Z") ? require("Z") : 0.0;
    std::string id = tag.attributes.count("Id") ? tag.attributes.at("Id") : "";
    std::string info = tag.attributes.count("Info") ? tag.attributes.at("Info") : "";
    // Export writes a point without a name as its position; read back, that
    // Id names nothing, so the point stays without a name.
    const bool idIsPosition = id == std::to_string(sequence);
    row.name = id.empty() || idIsPosition ? info : id;
    std::optional<double> numeric = ParseNumber(id);
    bool integral = numeric && *numeric == std::floor(*numeric) && std::fabs(*numeric) < 2147483647.0;
    row.id = integral ? static_cast<std::int32_t>(*numeric) : sequence;
    return row;
}

std::string GcpListText(const GcpTable& table, std::string_view indent) {
    std::string out = table.crs.empty() ? "<GCPList>\n"
                                        : fmt::format("<GCPList Projection=\"{}\">\n", XmlEscape(table.crs));
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const GcpRow& row = table.rows[i];
        // GDAL shows the Id; an empty one leaves a point nothing to be known by.
        const std::string id = row.name.empty() ? std::to_string(i + 1) : XmlEscape(row.name);
        out += fmt::format("{}  <GCP Id=\"{}\" Pixel=\"{}\" Line=\"{}\" X=\"{}\" Y=\"{}\" Z=\"{}\"/>\n", indent, id,
                           FormatNumber(row.pixel), FormatNumber(row.line), FormatNumber(row.x), FormatNumber(row.y),
                           FormatNumber(row.z));
    }
    out += fmt::format("{}</GCPList>", indent);
    return out;
}

// Offsets of the <GCPList> element (start of its tag to just past its end).
std::optional<std::pair<std::size_t, std::size_t>> LocateGcpList(std::string_view text) {
    std::optional<XmlTag> list = FindStartTag(text, "GCPList", 0, text.size());
    if (!list) return std::nullopt;
    if (list->selfClosing) return std::make_pair(list->begin, list->end);
    std::size_t close = text.find("</GCPList>", list->end);
    if (close == std::string_view::npos) throw FormatError(LineOfOffset(text, list->begin), "<GCPList> is not closed");
    return std::make_pair(list->begin, close + 10);
}

}  // namespace

std::string XmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            case '\t': out += "&#9;"; break;
            default: out += c;
        }
    }
    return out;
}

GcpTable ReadVrtGcps(std::string_view text) {
    RequireText(text);
    std::optional<XmlTag> list = FindStartTag(text, "GCPList", 0, text.size());
    if (!list) throw FormatError(0, "no <GCPList> element");
    GcpTable table;
    if (list->attributes.count("Projection")) table.crs = list->attributes.at("Projection");
    if (list->selfClosing) return table;
    std::size_t close = text.find("</GCPList>", list->end);
    if (close == std::string_view::npos) throw FormatError(LineOfOffset(text, list->begin), "<GCPList> is not closed");
    std::size_t at = list->end;
    while (std::optional<XmlTag> gcp = FindStartTag(text, "GCP", at, close)) {
        std::size_t line = LineOfOffset(text, gcp->begin);
        table.rows.push_back(RowFromTag(*gcp, line, static_cast<std::int32_t>(table.rows.size() + 1)));
        at = gcp->end;
        if (!gcp->selfClosing) {
            std::size_t end = text.find("</GCP>", at);
            if (end == std::string_view::npos || end > close) throw FormatError(line, "<GCP> is not closed");
            at = end + 6;
        }
    }
    return table;
}

std::string WriteVrtGcps(const GcpTable& table, long columns, long rows, std::string_view existing) {
    if (!existing.empty()) {
        RequireText(existing);
        if (auto span = LocateGcpList(existing)) {
            // Keep the indentation of the line the list starts on.
            std::size_t lineStart = existing.rfind('\n', span->first);
            lineStart = (lineStart == std::string_view::npos) ? 0 : lineStart + 1;
            std::string indent(existing.substr(lineStart, span->first - lineStart));
            if (indent.find_first_not_of(" \t") != std::string::npos) indent.clear();
            return std::string(existing.substr(0, span->first)) + GcpListText(table, indent) +
                   std::string(existing.substr(span->second));
        }
        if (std::optional<XmlTag> root = FindStartTag(existing, "VRTDataset", 0, existing.size())) {
            if (!root->selfClosing) {
                return std::string(existing.substr(0, root->end)) + "\n  " + GcpListText(table, "  ") +
                       std::string(existing.substr(root->end));
            }
        }
        throw FormatError(0, "the existing file holds no <VRTDataset> to put the GCPs in");
    }
    if (columns <= 0 || rows <= 0) {
        double maxPixel = 1.0, maxLine = 1.0;
        for (const GcpRow& row : table.rows) {
            maxPixel = std::max(maxPixel, row.pixel);
            maxLine = std::max(maxLine, row.line);
        }
        // Clamped so that a wild coordinate cannot overflow the conversion.
        columns = static_cast<long>(std::ceil(std::min(maxPixel, 2147483647.0)));
        rows = static_cast<long>(std::ceil(std::min(maxLine, 2147483647.0)));
    }
    return fmt::format("<VRTDataset rasterXSize=\"{}\" rasterYSize=\"{}\">\n  {}\n</VRTDataset>\n", columns, rows,
                       GcpListText(table, "  "));
}

}  // namespace morvane::tool
