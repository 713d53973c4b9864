#include "TextScan.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>

namespace morvane::tool {

namespace {

std::string ComposeMessage(std::size_t line, const std::string& reason) {
    if (line == 0) return reason;
    return fmt::format("line {}: {}", line, reason);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

FormatError::FormatError(std::size_t line, const std::string& reason)
    : std::runtime_error(ComposeMessage(line, reason)), line_(line), reason_(reason) {}

std::vector<TextLine> SplitLines(std::string_view text) {
    std::vector<TextLine> lines;
    std::size_t number = 1;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({number++, line});
        start = end + 1;
    }
    return lines;
}

void RequireText(std::string_view text) {
    std::size_t line = 1;
    for (unsigned char c : text) {
        if (c == '\n') {
            ++line;
        } else if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
            throw FormatError(line, fmt::format("byte 0x{:02x} found: not a text file", c));
        }
    }
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> SplitOn(std::string_view s, char separator) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = s.find(separator, start);
        if (end == std::string_view::npos) {
            fields.push_back(s.substr(start));
            return fields;
        }
        fields.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string_view> SplitWhitespace(std::string_view s) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        std::size_t start = i;
        while (i < s.size() && !IsBlank(s[i])) ++i;
        if (i > start) fields.push_back(s.substr(start, i - start));
    }
    return fields;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

std::optional<double> ParseNumber(std::string_view field) {
    field = Trim(field);
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty()) return std::nullopt;
    // from_chars takes "inf" and "nan"; only digits, sign, point and exponent
    // make a coordinate.
    for (char c : field) {
        bool allowed = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
        if (!allowed) return std::nullopt;
    }
    double value = 0.0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

double RequireNumber(std::string_view field, std::size_t line, std::string_view what) {
    std::optional<double> value = ParseNumber(field);
    if (!value) {
        std::string shown(Trim(field).substr(0, 40));
        throw FormatError(line, fmt::format("{} is not a finite number: \"{}\"", what, shown));
    }
    return *value;
}

bool RequireFlag(std::string_view field, std::size_t line, std::string_view what) {
    std::string_view v = Trim(field);
    if (v == "1" || EqualsNoCase(v, "true")) return true;
    if (v == "0" || EqualsNoCase(v, "false")) return false;
    throw FormatError(line, fmt::format("{} must be 0 or 1, not \"{}\"", what, std::string(v.substr(0, 40))));
}

std::string FormatNumber(double value) {
    if (value == 0.0) return "0";
    return fmt::format("{}", value);
}

std::size_t LineOfOffset(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') ++line;
    }
    return line;
}

}  // namespace morvane::tool
