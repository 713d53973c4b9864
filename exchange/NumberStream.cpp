#include "NumberStream.h"

#include "TextScan.h"

#include <charconv>
#include <cmath>

namespace morvane::tool {

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Parses one number at text[pos]; advances pos past it.
bool TakeNumber(std::string_view text, std::size_t& pos, double& value) {
    const char* begin = text.data() + pos;
    const char* end = text.data() + text.size();
    if (begin < end && *begin == '+') ++begin;
    auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop == begin || !std::isfinite(value)) return false;
    // from_chars accepts "inf"/"nan" spellings; isfinite above rejects them.
    pos = static_cast<std::size_t>(stop - text.data());
    return true;
}

}  // namespace

void PairReader::ParseLine(std::string_view line, std::vector<double>& pairs, std::vector<std::size_t>& lines) {
    ++lineNumber_;
    std::size_t pos = 0;
    while (pos < line.size() && IsSeparator(line[pos])) ++pos;
    if (pos == line.size() || line[pos] == '#') return;
    double x = 0.0, y = 0.0;
    if (!TakeNumber(line, pos, x)) throw FormatError(lineNumber_, "expected two numbers: x y");
    std::size_t before = pos;
    while (pos < line.size() && IsSeparator(line[pos])) ++pos;
    if (pos < line.size() && line[pos] == ',') ++pos;
    while (pos < line.size() && IsSeparator(line[pos])) ++pos;
    if (pos == before || !TakeNumber(line, pos, y)) throw FormatError(lineNumber_, "expected two numbers: x y");
    while (pos < line.size() && IsSeparator(line[pos])) ++pos;
    if (pos != line.size()) throw FormatError(lineNumber_, "expected two numbers: x y (more text follows)");
    pairs.push_back(x);
    pairs.push_back(y);
    lines.push_back(lineNumber_);
}

void PairReader::Feed(std::string_view chunk, std::vector<double>& pairs, std::vector<std::size_t>& lines) {
    std::size_t start = 0;
    if (!carry_.empty()) {
        std::size_t newline = chunk.find('\n');
        if (newline == std::string_view::npos) {
            carry_.append(chunk);
            return;
        }
        carry_.append(chunk.substr(0, newline));
        ParseLine(carry_, pairs, lines);
        carry_.clear();
        start = newline + 1;
    }
    for (;;) {
        std::size_t newline = chunk.find('\n', start);
        if (newline == std::string_view::npos) break;
        ParseLine(chunk.substr(start, newline - start), pairs, lines);
        start = newline + 1;
    }
    carry_.assign(chunk.substr(start));
}

void PairReader::Finish(std::vector<double>& pairs, std::vector<std::size_t>& lines) {
    if (carry_.empty()) return;
    std::string last;
    last.swap(carry_);
    ParseLine(last, pairs, lines);
}

void WritePairs(const double* xy, std::size_t count, fmt::memory_buffer& out) {
    for (std::size_t i = 0; i < count; ++i) {
        fmt::format_to(std::back_inserter(out), "{} {}\n", xy[2 * i], xy[2 * i + 1]);
    }
}

}  // namespace morvane::tool
