// Number parsing and formatting, line splitting.
#include "TextScan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace morvane::tool {
namespace {

TEST(TextScan, NumbersAreStrictAndFinite) {
    EXPECT_EQ(ParseNumber("  -12.5 "), -12.5);
    EXPECT_EQ(ParseNumber("+3"), 3.0);
    EXPECT_EQ(ParseNumber("4.4072E+05"), 440720.0);
    for (const char* bad : {"", " ", "inf", "-inf", "nan", "NaN", "1e999", "0x10", "1,5", "12a", "--1", "1 2", "e5"}) {
        EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
    }
    EXPECT_THROW(RequireNumber("abc", 7, "x"), FormatError);
    try {
        RequireNumber("abc", 7, "mapX");
    } catch (const FormatError& e) {
        EXPECT_EQ(e.line(), 7u);
        EXPECT_NE(std::string(e.what()).find("line 7"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("mapX"), std::string::npos);
    }
}

TEST(TextScan, FormattedNumbersReadBackExactly) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::uint64_t> bits;
    int checked = 0;
    while (checked < 20000) {
        std::uint64_t b = bits(random);
        double value;
        std::memcpy(&value, &b, sizeof value);
        if (!std::isfinite(value)) continue;
        std::optional<double> back = ParseNumber(FormatNumber(value));
        ASSERT_TRUE(back.has_value()) << FormatNumber(value);
        if (value == 0.0) {
            EXPECT_EQ(FormatNumber(value), "0");   // no "-0" in files
        } else {
            EXPECT_EQ(std::memcmp(&*back, &value, sizeof value), 0) << FormatNumber(value);
        }
        ++checked;
    }
}

TEST(TextScan, LinesToleranceCrlfAndCountFromOne) {
    auto lines = SplitLines("a\r\nb\n\nc");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "a");
    EXPECT_EQ(lines[1].text, "b");
    EXPECT_EQ(lines[2].text, "");
    EXPECT_EQ(lines[3].number, 4u);
    EXPECT_EQ(LineOfOffset("ab\ncd\nef", 6), 3u);
    EXPECT_NO_THROW(RequireText("tab\tok\r\n"));
    try {
        RequireText(std::string("ok\nok\nbad\0byte", 14));
        FAIL() << "a NUL byte passed";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.line(), 3u);
    }
}

}  // namespace
}  // namespace morvane::tool
