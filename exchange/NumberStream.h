// NumberStream.h - coordinate pairs as streaming text.
//
// PairReader takes text in chunks of any size and hands out the pairs of
// numbers it holds, one pair a line: two numbers separated by blanks, tabs
// or one comma.  Blank lines and lines starting with '#' are skipped.
// Parsing uses std::from_chars; PairWriter formats with fmt in the shortest
// form that reads back as the same double.
#ifndef MORVANE_EXCHANGE_NUMBERSTREAM_H
#define MORVANE_EXCHANGE_NUMBERSTREAM_H

#include <fmt/format.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::tool {

class PairReader {
public:
    // Appends the pairs of every complete line in chunk to pairs (x, y
    // interleaved) and their line numbers to lines.  Throws FormatError.
    void Feed(std::string_view chunk, std::vector<double>& pairs, std::vector<std::size_t>& lines);
    // The last line when the input did not end with a line break.
    void Finish(std::vector<double>& pairs, std::vector<std::size_t>& lines);

private:
    void ParseLine(std::string_view line, std::vector<double>& pairs, std::vector<std::size_t>& lines);

    std::string carry_;         // an incomplete last line
    std::size_t lineNumber_ = 0;
};

// Appends "x y\n" for each of count pairs.
void WritePairs(const double* xy, std::size_t count, fmt::memory_buffer& out);

}  // namespace morvane::tool

#endif
