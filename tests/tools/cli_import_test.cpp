// End to end: importing real files, round trips through every format and
// both stores, and refusals that leave the area as it was.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <random>
#include <sstream>

namespace morvane::tool::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string Example(const std::string& name) { return (ExamplesDir() / "gcp" / name).string(); }

Json ListJson(const ScratchDir& dir, const std::string& area, int group) {
    RunResult r = RunTool(dir, {"list", area, "-g", std::to_string(group), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json::array();
}

// Data rows of a sample file, counted without the tool's readers.
std::size_t CountRows(const fs::path& file) {
    std::istringstream text(ReadFile(file.string()));
    std::string line;
    std::size_t rows = 0;
    std::string ext = file.extension().string();
    bool headerSeen = false;
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (ext == ".vrt") {
            for (std::size_t at = line.find("<GCP "); at != std::string::npos; at = line.find("<GCP ", at + 1)) ++rows;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#' || line[0] == ';') continue;
        if (ext == ".points" && !headerSeen) {
            headerSeen = true;
            continue;
        }
        ++rows;
    }
    return rows;
}

TEST(CliImport, EveryRealSampleFileImports) {
    std::size_t files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(GcpDataDir())) {
        std::string ext = entry.path().extension().string();
        if (ext != ".points" && ext != ".vrt" && ext != ".pts") continue;
        ++files;
        ScratchDir dir;
        RunResult r = RunTool(dir, {"import", "a.gcp", "-g", "1", entry.path().string()});
        ASSERT_EQ(r.status, 0) << entry.path() << ": " << r.err;
        Json points = ListJson(dir, "a.gcp", 1);
        EXPECT_EQ(points.size(), CountRows(entry.path())) << entry.path();
        RunResult info = RunTool(dir, {"info", "a.gcp", "--json"});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(Json::parse(info.out)["groups"][0]["points"], points.size());
    }
    EXPECT_GE(files, 13u);
}

TEST(CliImport, QgisLinesComeInDownwardAndGoOutNegated) {
    ScratchDir dir;
    std::string source = Example("avon-1954-zoning.tif.points");
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", source}).status, 0);
    // First data row of the file, split by hand.
    std::istringstream text(ReadFile(source));
    std::string header, row;
    std::getline(text, header);
    std::getline(text, row);
    std::vector<double> fields;
    std::stringstream cells(row);
    for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(std::stod(cell));
    Json first = ListJson(dir, "a.gcp", 1)[0];
    EXPECT_EQ(first["x"].get<double>(), fields[0]);
    EXPECT_EQ(first["y"].get<double>(), fields[1]);
    EXPECT_EQ(first["pixel"].get<double>(), fields[2]);
    EXPECT_EQ(first["line"].get<double>(), -fields[3]);
    EXPECT_GT(first["line"].get<double>(), 0.0);
}

struct FormatCase {
    const char* extension;
    bool names, ids, zs, use, edit, exact;
};

TEST(CliImport, RoundTripThroughEveryFormat) {
    ScratchDir dir;
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", Example("gdal-utmsmall-gcps.vrt")}).status, 0);
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "--append", Example("avon-1954-zoning.tif.points")}).status, 0);
    ASSERT_EQ(RunTool(dir, {"point", "update", "a.gcp", "-g", "1", "-i", "2", "--name", "corner, \"NE\"", "--z",
                            "12.5"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"point", "use", "a.gcp", "-g", "1", "-i", "3", "off"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"point", "edit", "a.gcp", "-g", "1", "-i", "4", "off"}).status, 0);
    Json original = ListJson(dir, "a.gcp", 1);
    ASSERT_EQ(original.size(), 23u);

    const FormatCase cases[] = {
        {"points", false, false, false, true, false, true}, {"vrt", true, false, true, false, false, true},
        {"csv", true, true, true, true, true, true},         {"geojson", true, true, true, true, true, true},
        {"pts", false, false, false, false, false, false},
    };
    for (const FormatCase& c : cases) {
        std::string file = std::string("out.") + c.extension;
        std::string copy = std::string("copy-") + c.extension + ".gcp";
        RunResult exported = RunTool(dir, {"export", "a.gcp", "-g", "1", file});
        ASSERT_EQ(exported.status, 0) << exported.err;
        RunResult imported = RunTool(dir, {"import", copy, "-g", "1", file});
        ASSERT_EQ(imported.status, 0) << c.extension << ": " << imported.err;
        Json back = ListJson(dir, copy, 1);
        ASSERT_EQ(back.size(), original.size()) << c.extension;
        for (std::size_t i = 0; i < back.size(); ++i) {
            for (const char* key : {"pixel", "line", "x", "y"}) {
                double a = original[i][key], b = back[i][key];
                if (c.exact) {
                    EXPECT_EQ(a, b) << c.extension << " point " << i + 1 << " " << key;
                } else {
                    EXPECT_NEAR(a, b, 1e-9 * std::max(1.0, std::fabs(a))) << c.extension << " " << key;
                }
            }
            if (c.names) {
                EXPECT_EQ(original[i]["name"], back[i]["name"]) << c.extension << " point " << i + 1;
            }
            if (c.ids) {
                EXPECT_EQ(original[i]["id"], back[i]["id"]) << c.extension;
            }
            if (c.zs) {
                EXPECT_EQ(original[i]["z"], back[i]["z"]) << c.extension;
            }
            if (c.use) {
                EXPECT_EQ(original[i]["use"], back[i]["use"]) << c.extension << " point " << i + 1;
            }
            if (c.edit) {
                EXPECT_EQ(original[i]["edit"], back[i]["edit"]) << c.extension << " point " << i + 1;
            }
        }
    }
    // Exporting over an existing file needs --force.
    RunResult again = RunTool(dir, {"export", "a.gcp", "-g", "1", "out.csv"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--force"), std::string::npos);
    EXPECT_EQ(RunTool(dir, {"export", "a.gcp", "-g", "1", "out.csv", "--force"}).status, 0);
}

TEST(CliImport, FileToDatabaseAndBackIsByteForByte) {
    ScratchDir dir;
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", Example("hypso-erie-2022-08-27-bin3.points")}).status, 0);
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "2", Example("crc4docker-nevada-gcps.pts"), "-t", "poly2"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"point", "use", "a.gcp", "-g", "2", "-i", "7", "off"}).status, 0);
    RunResult toDb = RunTool(dir, {"copy", "a.gcp", "sqlite:store.db#scans:5"});
    ASSERT_EQ(toDb.status, 0) << toDb.err;
    RunResult dbInfo = RunTool(dir, {"info", "sqlite:store.db#scans:5", "--json"});
    RunResult fileInfo = RunTool(dir, {"info", "a.gcp", "--json"});
    ASSERT_EQ(dbInfo.status, 0) << dbInfo.err;
    ASSERT_EQ(fileInfo.status, 0) << fileInfo.err;
    ASSERT_FALSE(dbInfo.out.empty());
    ASSERT_FALSE(fileInfo.out.empty());
    EXPECT_EQ(Json::parse(dbInfo.out)["groups"], Json::parse(fileInfo.out)["groups"]);
    ASSERT_EQ(RunTool(dir, {"copy", "sqlite:store.db#scans:5", "b.gcp"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "a.gcp"), ReadFile(dir / "b.gcp"));

    // A target that holds groups is only changed on request.
    RunResult refused = RunTool(dir, {"copy", "a.gcp", "b.gcp"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("--append or --replace"), std::string::npos);
    ASSERT_EQ(RunTool(dir, {"copy", "a.gcp", "b.gcp", "--append"}).status, 0);
    EXPECT_EQ(Json::parse(RunTool(dir, {"info", "b.gcp", "--json"}).out)["groups"].size(), 4u);
    ASSERT_EQ(RunTool(dir, {"copy", "a.gcp", "b.gcp", "--replace"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "a.gcp"), ReadFile(dir / "b.gcp"));
}

// A malformed file: its name, what is wrong, and the line the refusal names.
struct BadFile {
    std::string name;
    std::string text;
    int line;
};

std::vector<BadFile> BadFiles() {
    std::string points = "mapX,mapY,pixelX,pixelY,enable\n1,2,3,-4,1\n5,6,7,-8,1\n";
    std::string csv = "name,pixel,line,x,y\na,1,2,3,4\nb,5,6,7,8\n";
    std::mt19937 random(5);
    std::string junk;
    for (int i = 0; i < 300; ++i) junk += static_cast<char>(random() & 0xff);
    junk[0] = '\x7f';   // not a digit, whatever the seed gives
    return {
        {"short.points", points + "9,10,11\n", 4},
        {"nan.points", points + "9,10,eleven,-12,1\n", 4},
        {"noheader.points", "1,2,3,-4,1\n", 1},
        {"column.points", "mapX,mapY,pixelX,pixelY,weight\n1,2,3,-4,1\n", 1},
        {"junk.points", junk, 1},
        {"short.csv", csv + "c,9,10\n", 4},
        {"nan.csv", csv + "c,9,10,11,1.2.3\n", 4},
        {"noheader.csv", "a,1,2,3,4\n", 1},
        {"column.csv", "name,pixel,line,x,y,weight\na,1,2,3,4,5\n", 1},
        {"junk.csv", junk, 1},
        {"attr.vrt", "<VRTDataset>\n<GCPList>\n<GCP Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n"
                     "<GCP Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\" W=\"5\"/>\n</GCPList>\n</VRTDataset>\n", 4},
        {"longname.csv", csv + std::string(32, 'n') + ",9,10,11,12\n", 4},
        {"longname.geojson", "{\"type\": \"FeatureCollection\", \"features\": [\n{\"type\": \"Feature\",\n"
                             "\"geometry\": {\"type\": \"Point\", \"coordinates\": [1, 2]}, \"properties\": "
                             "{\"pixel\": 1, \"line\": 2}},\n{\"type\": \"Feature\", \"geometry\": {\"type\": "
                             "\"Point\", \"coordinates\": [1, 2]}, \"properties\": {\"pixel\": 1, \"line\": 2, "
                             "\"name\": \"" + std::string(40, 'n') + "\"}}]}\n", 4},
        {"bad.geojson", "{\"type\": \"FeatureCollection\", \"features\": [\n{\"type\": \"Feature\",\n"
                        "\"geometry\": {\"type\": \"Point\", \"coordinates\": [1]}, \"properties\": {}}]}\n", 2},
    };
}

TEST(CliImport, MalformedFilesAreRefusedAndTheAreaStaysAsItWas) {
    ScratchDir dir;
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", Example("avon-1954-zoning.tif.points")}).status, 0);
    ASSERT_EQ(RunTool(dir, {"copy", "a.gcp", "sqlite:s.db#a:1"}).status, 0);
    std::string before = ReadFile(dir / "a.gcp");
    std::string dbBefore = RunTool(dir, {"list", "sqlite:s.db#a:1", "-g", "1", "--json"}).out;
    for (const BadFile& bad : BadFiles()) {
        WriteFile(dir / bad.name, bad.text);
        for (const std::string& area : {std::string("a.gcp"), std::string("sqlite:s.db#a:1")}) {
            for (const char* group : {"1", "2"}) {
                RunResult r = RunTool(dir, {"import", area, "-g", group, "--replace", bad.name});
                EXPECT_EQ(r.status, 1) << bad.name;
                std::string where = bad.name + ":" + std::to_string(bad.line) + ":";
                EXPECT_EQ(r.err.rfind("morvane: " + where, 0), 0u) << "expected " << where << " in: " << r.err;
                EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
            }
        }
    }
    EXPECT_EQ(ReadFile(dir / "a.gcp"), before);
    EXPECT_EQ(RunTool(dir, {"list", "sqlite:s.db#a:1", "-g", "1", "--json"}).out, dbBefore);
    EXPECT_EQ(RunTool(dir, {"info", "a.gcp", "--json"}).out.find("\"group\": 2"), std::string::npos);
    // No working copies are left behind.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}

TEST(CliImport, ImportIntoGroupsFollowsTheNumbering) {
    ScratchDir dir;
    std::string file = Example("gdal-utmsmall-gcps.vrt");
    RunResult gap = RunTool(dir, {"import", "a.gcp", "-g", "2", file});
    EXPECT_EQ(gap.status, 1);
    EXPECT_FALSE(fs::exists(dir / "a.gcp"));   // nothing was made for a refused import
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", file}).status, 0);
    RunResult again = RunTool(dir, {"import", "a.gcp", "-g", "1", file});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--append or --replace"), std::string::npos);
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "--append", file}).status, 0);
    EXPECT_EQ(ListJson(dir, "a.gcp", 1).size(), 8u);
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "--replace", file}).status, 0);
    EXPECT_EQ(ListJson(dir, "a.gcp", 1).size(), 4u);
    RunResult unknown = RunTool(dir, {"import", "a.gcp", "-g", "1", "--replace", "x.txt"});
    EXPECT_EQ(unknown.status, 2);   // no format: a usage error
    EXPECT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "--replace", "--format", "vrt", file}).status, 0);
}

}  // namespace
}  // namespace morvane::tool::test
