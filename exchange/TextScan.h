// TextScan.h - small text helpers shared by the file formats: line
// splitting that tolerates CRLF, strict number parsing, number formatting
// that round-trips, and the FormatError every reader throws.
//
// Line numbers count from 1, as an editor shows them.
#ifndef MORVANE_EXCHANGE_TEXTSCAN_H
#define MORVANE_EXCHANGE_TEXTSCAN_H

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::tool {

// A refusal to read a file, with the line it happened on (0 = no line).
class FormatError : public std::runtime_error {
public:
    FormatError(std::size_t line, const std::string& reason);
    std::size_t line() const { return line_; }
    const std::string& reason() const { return reason_; }

private:
    std::size_t line_;
    std::string reason_;
};

struct TextLine {
    std::size_t number;      // 1-based
    std::string_view text;   // without the line ending
};

// Splits text at LF; a CR before the LF is dropped.
std::vector<TextLine> SplitLines(std::string_view text);

// Throws when the text holds bytes no text file has (NUL and other control
// characters besides tab, CR, LF), naming the first offending line.
void RequireText(std::string_view text);

std::string_view Trim(std::string_view s);
std::vector<std::string_view> SplitOn(std::string_view s, char separator);
std::vector<std::string_view> SplitWhitespace(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);

// A finite number written in decimal or exponent form, the whole field
// (surrounding blanks allowed).  nullopt for anything else.
std::optional<double> ParseNumber(std::string_view field);
// As ParseNumber, but throws a FormatError naming the line and the field.
double RequireNumber(std::string_view field, std::size_t line, std::string_view what);
// 0/1 or false/true.
bool RequireFlag(std::string_view field, std::size_t line, std::string_view what);

// The shortest text that reads back as the same double; -0 is written 0.
std::string FormatNumber(double value);

// Line number (1-based) of a byte offset in text.
std::size_t LineOfOffset(std::string_view text, std::size_t offset);

}  // namespace morvane::tool

#endif
