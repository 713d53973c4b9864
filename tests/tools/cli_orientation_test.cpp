// End to end: a group stored with lines upward (orientation type 1), as
// other programs may write it, looks and converts the same as any other.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace morvane::tool::test {
namespace {

using Json = nlohmann::json;

template <class T>
void Put(std::string& bytes, T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));   // the file is little-endian, as the host
    bytes.append(raw, sizeof(T));
}

struct Corner {
    double pixel, line, x, y;
};

// A control-point file with one group of orientation type 1 and type poly1,
// its lines stored negated; record layout as in docs/point-record.md.
std::string LineUpFile(const std::vector<Corner>& corners) {
    std::string bytes("GCPFILE67\0", 10);
    Put<std::uint32_t>(bytes, 1);
    Put<std::int32_t>(bytes, 1);
    Put<std::uint32_t>(bytes, static_cast<std::uint32_t>(corners.size()));
    Put<std::int16_t>(bytes, 1);   // lines upward
    Put<std::int16_t>(bytes, 1);   // poly1
    for (int i = 0; i < 4; ++i) Put<double>(bytes, 0.0);
    for (std::size_t i = 0; i < corners.size(); ++i) {
        std::string record;
        Put<double>(record, corners[i].pixel);
        Put<double>(record, -corners[i].line);
        Put<double>(record, corners[i].x);
        Put<double>(record, corners[i].y);
        Put<double>(record, 0.0);
        char number[32];  // not "c" + std::to_string(): a false -Wrestrict at -O3 with g++ 12
        std::snprintf(number, sizeof number, "c%zu", i + 1);
        std::string name(number);
        name.resize(32, '\0');
        record += name;
        Put<std::int32_t>(record, static_cast<std::int32_t>(i + 1));
        Put<std::uint8_t>(record, 1);
        Put<std::uint8_t>(record, 1);
        record.resize(120, '\0');
        bytes += record;
    }
    return bytes;
}

TEST(CliOrientation, LineUpGroupsShowAndConvertLinesDownward) {
    ScratchDir dir;
    // x = 10 * pixel, y = 1000 - 10 * line (line downward).
    std::vector<Corner> corners = {{0, 0, 0, 1000}, {100, 0, 1000, 1000}, {0, 50, 0, 500}, {100, 50, 1000, 500}};
    WriteFile(dir / "up.gcp", LineUpFile(corners));
    RunResult info = RunTool(dir, {"info", "up.gcp", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(Json::parse(info.out)["groups"][0]["orientation"], "line-up");

    RunResult list = RunTool(dir, {"list", "up.gcp", "-g", "1", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    Json points = Json::parse(list.out);
    ASSERT_EQ(points.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(points[i]["line"].get<double>(), corners[i].line) << i;
        EXPECT_NEAR(points[i]["res_line"].get<double>(), 0.0, 1e-9);
    }

    // Converting a line-down position gives the map position of the model.
    RunResult forward = RunTool(dir, {"transform", "up.gcp", "-g", "1"}, "50 25\n");
    ASSERT_EQ(forward.status, 0) << forward.err;
    std::istringstream mapped(forward.out);
    double x = 0, y = 0;
    mapped >> x >> y;
    EXPECT_NEAR(x, 500.0, 1e-9);
    EXPECT_NEAR(y, 750.0, 1e-9);
    RunResult backward = RunTool(dir, {"transform", "up.gcp", "-g", "1", "--inverse"}, "500 750\n");
    std::istringstream pixels(backward.out);
    double p = 0, l = 0;
    pixels >> p >> l;
    EXPECT_NEAR(p, 50.0, 1e-9);
    EXPECT_NEAR(l, 25.0, 1e-9);

    // A copy is a lines-downward group that means the same.
    ASSERT_EQ(RunTool(dir, {"copy", "up.gcp", "down.gcp"}).status, 0);
    EXPECT_EQ(Json::parse(RunTool(dir, {"info", "down.gcp", "--json"}).out)["groups"][0]["orientation"], "line-down");
    EXPECT_EQ(Json::parse(RunTool(dir, {"list", "down.gcp", "-g", "1", "--json"}).out), points);
    EXPECT_EQ(RunTool(dir, {"transform", "down.gcp", "-g", "1"}, "50 25\n").out, forward.out);

    // Exported for QGIS, the lines come out negated like any other group's.
    ASSERT_EQ(RunTool(dir, {"export", "up.gcp", "-g", "1", "up.points"}).status, 0);
    EXPECT_NE(ReadFile(dir / "up.points").find("0,500,0,-50,1"), std::string::npos) << ReadFile(dir / "up.points");
}

}  // namespace
}  // namespace morvane::tool::test
