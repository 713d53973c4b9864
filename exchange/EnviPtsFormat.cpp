#include "EnviPtsFormat.h"

#include "TextScan.h"

#include <fmt/format.h>

namespace morvane::tool {

namespace {

enum class EnviKind { ImageToMap, ImageToImage };

// ENVI's first image coordinate is 1; ours is 0.
constexpr double kEnviOrigin = 1.0;

EnviKind KindFromTitle(const TextLine& line) {
    std::string_view title = Trim(line.text);
    if (title.find("Image to Map") != std::string_view::npos) return EnviKind::ImageToMap;
    if (title.find("Image to Image") != std::string_view::npos) return EnviKind::ImageToImage;
    throw FormatError(line.number, "missing header: expected \"; ENVI Image to Map GCP File\" or "
                                   "\"; ENVI Image to Image GCP File\"");
}

}  // namespace

GcpTable ReadEnviPts(std::string_view text) {
    RequireText(text);
    std::vector<TextLine> lines = SplitLines(text);
    std::size_t first = 0;
    while (first < lines.size() && Trim(lines[first].text).empty()) ++first;
    if (first == lines.size() || !Trim(lines[first].text).starts_with(";")) {
        throw FormatError(first < lines.size() ? lines[first].number : 1,
                          "missing header: expected \"; ENVI Image to Map GCP File\"");
    }
    EnviKind kind = KindFromTitle(lines[first]);
    GcpTable table;
    for (std::size_t i = first + 1; i < lines.size(); ++i) {
        std::string_view content = Trim(lines[i].text);
        if (content.empty() || content.front() == ';') continue;
        std::vector<std::string_view> fields = SplitWhitespace(content);
        std::size_t n = lines[i].number;
        if (fields.size() != 4) throw FormatError(n, fmt::format("{} fields where 4 are expected", fields.size()));
        double a = RequireNumber(fields[0], n, "first coordinate");
        double b = RequireNumber(fields[1], n, "second coordinate");
        double c = RequireNumber(fields[2], n, "third coordinate");
        double d = RequireNumber(fields[3], n, "fourth coordinate");
        GcpRow row;
        row.id = static_cast<std::int32_t>(table.rows.size() + 1);
        row.fileLine = n;
        double mapShift = (kind == EnviKind::ImageToImage) ? kEnviOrigin : 0.0;
        row.x = a - mapShift;
        row.y = b - mapShift;
        row.pixel = c - kEnviOrigin;
        row.line = d - kEnviOrigin;
        table.rows.push_back(row);
    }
    return table;
}

std::string WriteEnviPts(const GcpTable& table) {
    std::string out = "; ENVI Image to Map GCP File\n; Map (x,y), Image (x,y)\n;\n";
    for (const GcpRow& row : table.rows) {
        out += fmt::format("{} {} {} {}\n", FormatNumber(row.x), FormatNumber(row.y),
                           FormatNumber(row.pixel + kEnviOrigin), FormatNumber(row.line + kEnviOrigin));
    }
    return out;
}

}  // namespace morvane::tool
