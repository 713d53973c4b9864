// Coordinate pairs read from text in chunks of any size.
#include "NumberStream.h"
#include "TextScan.h"

#include <gtest/gtest.h>

#include <random>

namespace morvane::tool {
namespace {

std::vector<double> ReadInChunks(const std::string& text, std::size_t chunk, std::vector<std::size_t>* lines = nullptr) {
    PairReader reader;
    std::vector<double> pairs;
    std::vector<std::size_t> numbers;
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        reader.Feed(std::string_view(text).substr(at, chunk), pairs, numbers);
    }
    reader.Finish(pairs, numbers);
    if (lines) *lines = numbers;
    return pairs;
}

TEST(NumberStream, ChunkBoundariesDoNotMatter) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> value(-1e6, 1e6);
    std::vector<double> expected;
    fmt::memory_buffer text;
    for (int i = 0; i < 500; ++i) {
        double x = value(random), y = value(random);
        expected.push_back(x);
        expected.push_back(y);
        WritePairs(&expected[expected.size() - 2], 1, text);
        if (i % 50 == 0) fmt::format_to(std::back_inserter(text), "# a comment\n\n");
    }
    std::string all(text.data(), text.size());
    for (std::size_t chunk : std::vector<std::size_t>{1, 2, 3, 7, 64, 4096, all.size()}) {
        EXPECT_EQ(ReadInChunks(all, chunk), expected) << "chunk " << chunk;
    }
}

TEST(NumberStream, SeparatorsAndTheLastLine) {
    std::vector<std::size_t> lines;
    std::vector<double> pairs = ReadInChunks("1 2\n3,4\r\n  5\t,\t6  \n\n7 8", 3, &lines);
    EXPECT_EQ(pairs, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(lines, (std::vector<std::size_t>{1, 2, 3, 5}));
}

TEST(NumberStream, BadLinesAreRefusedWithTheirNumber) {
    for (const char* bad : {"1\n", "1 2 3\n", "x 2\n", "1 nan\n", "1,,2\n", "1e999 2\n"}) {
        std::string text = std::string("1 2\n# note\n") + bad;
        try {
            ReadInChunks(text, 2);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const FormatError& e) {
            EXPECT_EQ(e.line(), 3u) << bad;
        }
    }
}

}  // namespace
}  // namespace morvane::tool
