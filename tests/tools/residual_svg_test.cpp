// The residual picture: one symbol per point, arrows scaled alike, a scale
// bar that matches the arrows.
#include "ResidualSvg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

namespace morvane::tool {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Length of each <line> drawn for an arrow shaft, in drawing units.
std::vector<double> ShaftLengths(const std::string& svg) {
    std::regex line("<line x1=\"([-0-9.]+)\" y1=\"([-0-9.]+)\" x2=\"([-0-9.]+)\" y2=\"([-0-9.]+)\"");
    std::vector<double> lengths;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), line); it != std::sregex_iterator(); ++it) {
        lengths.push_back(std::hypot(std::stod((*it)[3]) - std::stod((*it)[1]), std::stod((*it)[4]) - std::stod((*it)[2])));
    }
    return lengths;
}

TEST(ResidualSvg, SymbolsArrowsAndEscapedText) {
    std::vector<SvgPoint> points = {
        {100, 100, 1.0, 0.0, true, true, "a<b"},
        {900, 100, 0.0, 2.0, true, true, "c&d"},
        {500, 700, 4.0, 3.0, false, true, "check"},
        {500, 300, 0.0, 0.0, true, false, "no fit"},
    };
    SvgOptions options;
    options.title = "t \"quoted\"";
    options.notes = {"RMS < 1"};
    std::string svg = DrawResidualSvg(points, options);
    EXPECT_EQ(svg.find("a<b"), std::string::npos);
    EXPECT_NE(svg.find("a&lt;b"), std::string::npos);
    EXPECT_NE(svg.find("c&amp;d"), std::string::npos);
    EXPECT_NE(svg.find("RMS &lt; 1"), std::string::npos);
    // Three used points plus the legend's sample: four circles; one check
    // point plus the legend's sample: two hollow squares.
    EXPECT_EQ(Count(svg, "<circle"), 4u);
    EXPECT_EQ(Count(svg, "fill=\"white\" stroke=\"#d9730d\""), 2u);
    // Residual arrows 1, 2 and 5 px long keep their proportions (shaft
    // lengths exclude the heads, so compare tip distances through the
    // polygons instead: a shaft is the arrow less at most 9 units of head).
    std::vector<double> shafts = ShaftLengths(svg);
    ASSERT_GE(shafts.size(), 3u);
    double unit = (shafts[1] + 9.0) / 2.0;   // the 2 px arrow, the largest used one
    EXPECT_NEAR(shafts[0] + std::min(9.0, unit * 0.45), unit, 1.0);
    EXPECT_NEAR(shafts[2] + 9.0, 5.0 * unit, 1.0);
}

TEST(ResidualSvg, RoundScaleValues) {
    EXPECT_EQ(RoundScaleValue(4.35), 2.0);
    EXPECT_EQ(RoundScaleValue(5.0), 5.0);
    EXPECT_EQ(RoundScaleValue(0.0734), 0.05);
    EXPECT_EQ(RoundScaleValue(19.99), 10.0);
    EXPECT_EQ(RoundScaleValue(0.0), 1.0);
    for (double v = 0.013; v < 1e6; v *= 1.7) {
        double r = RoundScaleValue(v);
        EXPECT_LE(r, v);
        EXPECT_GT(r, v / 5.0 - 1e-12);
    }
}

}  // namespace
}  // namespace morvane::tool
