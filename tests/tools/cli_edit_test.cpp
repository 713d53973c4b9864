// End to end: creating areas and groups, editing points, exit statuses.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace morvane::tool::test {
namespace {

using Json = nlohmann::json;

Json Info(const ScratchDir& dir, const std::string& area) {
    RunResult r = RunTool(dir, {"info", area, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json::object();
}

Json List(const ScratchDir& dir, const std::string& area, int group) {
    RunResult r = RunTool(dir, {"list", area, "-g", std::to_string(group), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json::array();
}

void AddPoint(const ScratchDir& dir, const std::string& area, double pixel, double line, double x, double y) {
    RunResult r = RunTool(dir, {"point", "add", area, "-g", "1", "--pixel", std::to_string(pixel), "--line",
                                std::to_string(line), "--x", std::to_string(x), "--y", std::to_string(y)});
    ASSERT_EQ(r.status, 0) << r.err;
}

class CliEdit : public ::testing::TestWithParam<std::string> {};

TEST_P(CliEdit, GroupsAndPointsChangeAsAsked) {
    ScratchDir dir;
    const std::string area = GetParam();
    ASSERT_EQ(RunTool(dir, {"new", area}).status, 0);
    EXPECT_EQ(RunTool(dir, {"new", area}).status, 1);   // never over an existing store
    EXPECT_EQ(Info(dir, area)["groups"].size(), 0u);

    ASSERT_EQ(RunTool(dir, {"group", "add", area, "-t", "similarity"}).status, 0);
    // An affine map x = 2 * pixel + 100, y = -2 * line + 500, sampled at four points.
    AddPoint(dir, area, 0, 0, 100, 500);
    AddPoint(dir, area, 10, 0, 120, 500);
    AddPoint(dir, area, 0, 10, 100, 480);
    AddPoint(dir, area, 10, 10, 120, 480);
    Json info = Info(dir, area)["groups"][0];
    EXPECT_EQ(info["points"], 4);
    EXPECT_EQ(info["type"], "similarity");
    EXPECT_NEAR(info["rms_pixel"].get<double>(), 0.0, 1e-9);

    // Coordinates that are not finite numbers are refused and change nothing.
    Json four = List(dir, area, 1);
    RunResult nan = RunTool(dir, {"point", "add", area, "-g", "1", "--pixel", "nan", "--line", "1", "--x", "1", "--y", "1"});
    EXPECT_EQ(nan.status, 1);
    EXPECT_NE(nan.err.find("not a finite number"), std::string::npos) << nan.err;
    EXPECT_EQ(RunTool(dir, {"point", "update", area, "-g", "1", "-i", "1", "--y", "inf"}).status, 1);
    EXPECT_EQ(List(dir, area, 1), four);

    // A misplaced fifth point shows in the fit until it is made a check point.
    AddPoint(dir, area, 5, 5, 113, 490);
    EXPECT_GT(Info(dir, area)["groups"][0]["rms_pixel"].get<double>(), 0.1);
    ASSERT_EQ(RunTool(dir, {"point", "use", area, "-g", "1", "-i", "5", "off"}).status, 0);
    EXPECT_NEAR(Info(dir, area)["groups"][0]["rms_pixel"].get<double>(), 0.0, 1e-9);
    Json points = List(dir, area, 1);
    EXPECT_FALSE(points[4]["use"].get<bool>());
    EXPECT_NEAR(points[4]["res_x"].get<double>(), 110.0 - 113.0, 1e-9);   // fitted minus stored

    // Update moves it where it belongs; a locked point refuses changes.
    ASSERT_EQ(RunTool(dir, {"point", "update", area, "-g", "1", "-i", "5", "--x", "110", "--name", "centre"}).status, 0);
    points = List(dir, area, 1);
    EXPECT_EQ(points[4]["x"], 110.0);
    EXPECT_EQ(points[4]["y"], 490.0);
    EXPECT_EQ(points[4]["name"], "centre");
    ASSERT_EQ(RunTool(dir, {"point", "edit", area, "-g", "1", "-i", "5", "off"}).status, 0);
    Json locked = List(dir, area, 1);
    RunResult refused = RunTool(dir, {"point", "update", area, "-g", "1", "-i", "5", "--x", "0"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("locked"), std::string::npos);
    EXPECT_EQ(RunTool(dir, {"point", "delete", area, "-g", "1", "-i", "5"}).status, 1);
    EXPECT_EQ(List(dir, area, 1), locked);
    ASSERT_EQ(RunTool(dir, {"point", "edit", area, "-g", "1", "-i", "5", "on"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"point", "delete", area, "-g", "1", "-i", "1"}).status, 0);
    points = List(dir, area, 1);
    ASSERT_EQ(points.size(), 4u);
    EXPECT_EQ(points[0]["x"], 120.0);   // the former second point

    // Groups: insert before, set a type, delete; numbers follow positions.
    ASSERT_EQ(RunTool(dir, {"group", "add", area, "--at", "1"}).status, 0);
    info = Info(dir, area);
    ASSERT_EQ(info["groups"].size(), 2u);
    EXPECT_EQ(info["groups"][0]["points"], 0);
    EXPECT_EQ(info["groups"][1]["points"], 4);
    ASSERT_EQ(RunTool(dir, {"set-type", area, "-g", "2", "poly1"}).status, 0);
    EXPECT_EQ(Info(dir, area)["groups"][1]["type"], "poly1");
    EXPECT_EQ(RunTool(dir, {"set-type", area, "-g", "3", "poly1"}).status, 1);
    EXPECT_EQ(RunTool(dir, {"group", "add", area, "--at", "4"}).status, 1);
    ASSERT_EQ(RunTool(dir, {"group", "delete", area, "-g", "1"}).status, 0);
    info = Info(dir, area);
    ASSERT_EQ(info["groups"].size(), 1u);
    EXPECT_EQ(info["groups"][0]["points"], 4);
    EXPECT_EQ(RunTool(dir, {"group", "delete", area, "-g", "2"}).status, 1);
}

INSTANTIATE_TEST_SUITE_P(BothStores, CliEdit, ::testing::Values("a.gcp", "sqlite:s.db#area one:3"),
                         [](const auto& info) { return info.index == 0 ? std::string("File") : std::string("Sqlite"); });

TEST(CliExit, UsageErrorsAreTwoRefusalsAreOne) {
    ScratchDir dir;
    EXPECT_EQ(RunTool(dir, {}).status, 2);
    EXPECT_EQ(RunTool(dir, {"frobnicate"}).status, 2);
    EXPECT_EQ(RunTool(dir, {"list", "a.gcp"}).status, 2);                       // -g missing
    EXPECT_EQ(RunTool(dir, {"list", "a.gcp", "-g", "x"}).status, 2);
    EXPECT_EQ(RunTool(dir, {"info", "sqlite:a.db#x:0"}).status, 2);               // key 0
    EXPECT_EQ(RunTool(dir, {"info", "a.gcp", "--size", "12"}).status, 2);
    EXPECT_EQ(RunTool(dir, {"set-type", "a.gcp", "-g", "1", "cubic"}).status, 2);
    EXPECT_EQ(RunTool(dir, {"--help"}).status, 0);
    EXPECT_EQ(RunTool(dir, {"import", "--help"}).status, 0);
    RunResult missing = RunTool(dir, {"info", "a.gcp"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    EXPECT_EQ(RunTool(dir, {"info", "sqlite:none.db#x:1"}).status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "none.db"));   // reading never makes a database
    WriteFile(dir / "fake.gcp", std::string("GCPFILE66\0", 10));
    RunResult fake = RunTool(dir, {"list", "fake.gcp", "-g", "1"});
    EXPECT_EQ(fake.status, 1);
    EXPECT_NE(fake.err.find("not a control-point file"), std::string::npos);
    ASSERT_EQ(RunTool(dir, {"new", "a.gcp"}).status, 0);
    EXPECT_EQ(RunTool(dir, {"list", "a.gcp", "-g", "1"}).status, 1);              // no such group
}

}  // namespace
}  // namespace morvane::tool::test
