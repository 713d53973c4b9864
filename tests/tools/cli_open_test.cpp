// End to end: commands that do not make areas refuse a misspelt database
// area or a missing database file, name the areas there are, and leave the
// database file byte for byte as it was; the commands that make areas still
// do.
#include "cli_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace morvane::tool::test {
namespace {

namespace fs = std::filesystem;

// A command run against the area AREA, with the files it would write.
struct OpenCommand {
    const char* label;
    std::vector<std::string> args;   // "AREA" stands for the area
    std::vector<std::string> wouldWrite;
};

void PrintTo(const OpenCommand& command, std::ostream* out) { *out << command.label; }

enum class Missing { AreaName, DatabaseFile };

void PrintTo(Missing missing, std::ostream* out) {
    *out << (missing == Missing::AreaName ? "misspelt area" : "missing database");
}

// maps.db holds the areas "avon" (one group of three points) and
// "bloomfield" (empty); no connection stays open.
class CliOpenExisting : public ::testing::TestWithParam<std::tuple<OpenCommand, Missing>> {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool(dir_, {"new", "sqlite:maps.db#bloomfield:1"}).status, 0);
        WriteFile(dir_ / "three.csv", "pixel,line,x,y\n0,0,100,500\n10,0,120,500\n0,10,100,480\n");
        RunResult imported = RunTool(dir_, {"import", "sqlite:maps.db#avon:1", "-g", "1", "three.csv"});
        ASSERT_EQ(imported.status, 0) << imported.err;
    }

    ScratchDir dir_;
};

TEST_P(CliOpenExisting, RefusesOnOneLineAndLeavesTheDatabaseAsItWas) {
    const auto& [command, missing] = GetParam();
    const std::string area = missing == Missing::AreaName ? "sqlite:maps.db#avn:1" : "sqlite:mapz.db#avon:1";
    std::vector<std::string> args = command.args;
    std::replace(args.begin(), args.end(), std::string("AREA"), area);
    const std::string before = ReadFile(dir_ / "maps.db");
    ASSERT_FALSE(before.empty());

    RunResult r = RunTool(dir_, args, "1 2\n");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("morvane: " + area + ": ", 0), 0u) << r.err;
    if (missing == Missing::AreaName) {
        EXPECT_NE(r.err.find("no raster area \"avn\" in 'maps.db'; areas: \"avon\", \"bloomfield\"\n"),
                  std::string::npos)
            << r.err;
    } else {
        EXPECT_NE(r.err.find("'mapz.db': the file does not exist"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(r.out.empty()) << r.out;

    EXPECT_EQ(ReadFile(dir_ / "maps.db"), before) << "the database file changed";
    for (const std::string& name : {std::string("mapz.db"), std::string("maps.db-wal"), std::string("maps.db-shm")}) {
        EXPECT_FALSE(fs::exists(dir_ / name)) << name;
    }
    for (const std::string& name : command.wouldWrite) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
    // The area is still missing afterwards: the refusal did not make it.
    EXPECT_EQ(RunTool(dir_, {"info", "sqlite:maps.db#avn:1"}).status, 1);
}

const OpenCommand kOpenCommands[] = {
    {"Info", {"info", "AREA"}, {}},
    {"InfoJson", {"info", "AREA", "--json"}, {}},
    {"List", {"list", "AREA", "-g", "1"}, {}},
    {"Report", {"report", "AREA", "-g", "1", "--svg", "r.svg"}, {"r.svg"}},
    {"Transform", {"transform", "AREA", "-g", "1", "-o", "out.txt"}, {"out.txt"}},
    {"Export", {"export", "AREA", "-g", "1", "out.csv"}, {"out.csv"}},
    {"CopySource", {"copy", "AREA", "copy.gcp"}, {"copy.gcp"}},
    // Changing commands need an existing area as they need an existing file.
    {"GroupAdd", {"group", "add", "AREA"}, {}},
    {"PointAdd", {"point", "add", "AREA", "-g", "1", "--pixel", "1", "--line", "1", "--x", "1", "--y", "1"}, {}},
    {"SetType", {"set-type", "AREA", "-g", "1", "poly2"}, {}},
};

INSTANTIATE_TEST_SUITE_P(
    Commands, CliOpenExisting,
    ::testing::Combine(::testing::ValuesIn(kOpenCommands), ::testing::Values(Missing::AreaName, Missing::DatabaseFile)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).label) +
               (std::get<1>(info.param) == Missing::AreaName ? "MisspeltArea" : "MissingDatabase");
    });

TEST(CliOpenMaking, NewImportAndCopyStillCreateAMissingArea) {
    ScratchDir dir;
    WriteFile(dir / "one.csv", "pixel,line,x,y\n1,2,3,4\n");
    ASSERT_EQ(RunTool(dir, {"new", "sqlite:maps.db#avon:1"}).status, 0);
    RunResult imported = RunTool(dir, {"import", "sqlite:maps.db#cedar:1", "-g", "1", "one.csv"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    RunResult copied = RunTool(dir, {"copy", "sqlite:maps.db#cedar:1", "sqlite:maps.db#dale:2"});
    ASSERT_EQ(copied.status, 0) << copied.err;
    RunResult listed = RunTool(dir, {"list", "sqlite:maps.db#dale:2", "-g", "1", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("\"pixel\": 1.0"), std::string::npos) << listed.out;
    // A new key of an existing area is an empty area, not a missing one.
    RunResult info = RunTool(dir, {"info", "sqlite:maps.db#avon:7"});
    EXPECT_EQ(info.status, 0) << info.err;
    RunResult refused = RunTool(dir, {"info", "sqlite:maps.db#eden:1"});
    EXPECT_NE(refused.err.find("areas: \"avon\", \"cedar\", \"dale\"\n"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace morvane::tool::test
