// End to end: the leave-one-out figures of the report, the ranked type
// comparison, the outlier search (refine) and the predicted-error picture.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

namespace morvane::tool::test {
namespace {

using Json = nlohmann::json;

std::string Example(const std::string& name) { return (ExamplesDir() / "gcp" / name).string(); }

Json RunJson(const ScratchDir& dir, const std::vector<std::string>& args) {
    RunResult r = RunTool(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json::object();
}

// The Avon map's 19 points as an order-2 polynomial group.
class AvonArea : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "-t", "poly2", Example("avon-1954-zoning.tif.points")})
                      .status,
                  0);
    }
    ScratchDir dir;
};

TEST_F(AvonArea, ReportGivesEachPointsLeaveOneOutResidualAndThePredictionRms) {
    Json report = RunJson(dir, {"report", "a.gcp", "-g", "1", "--json"});
    ASSERT_EQ(report["points"].size(), 19u);
    double squares = 0.0, leverage = 0.0;
    std::size_t mostInfluential = 0;
    double influence = -1.0;
    for (const Json& p : report["points"]) {
        // Leaving a point out can only move the fit away from it.
        const double own = std::hypot(p["res_x"].get<double>(), p["res_y"].get<double>());
        const double loo = std::hypot(p["loo_x"].get<double>(), p["loo_y"].get<double>());
        EXPECT_GE(loo, own * (1.0 - 1e-9)) << p["index"];
        squares += loo * loo;
        leverage += p["leverage"].get<double>();
        if (p["influence"].get<double>() > influence)
            influence = p["influence"].get<double>(), mostInfluential = p["index"].get<std::size_t>();
    }
    EXPECT_NEAR(leverage, 6.0, 1e-9);  // six terms per axis
    EXPECT_EQ(mostInfluential, 15u);
    EXPECT_NEAR(report["prediction"]["rms_map"].get<double>(), std::sqrt(squares / 19.0), 1e-9 * std::sqrt(squares));
    EXPECT_GT(report["prediction"]["rms_map"].get<double>(), report["used"]["rms_map"].get<double>());

    RunResult text = RunTool(dir, {"report", "a.gcp", "-g", "1"});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("prediction RMS (leave-one-out)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("leverage"), std::string::npos) << text.out;
}

TEST_F(AvonArea, CompareRanksEveryTypeByPredictionRmsAndNamesTheBest) {
    Json report = RunJson(dir, {"report", "a.gcp", "-g", "1", "--compare", "--json"});
    ASSERT_EQ(report["compare"].size(), 6u);
    std::map<unsigned, Json> byRank;
    for (const Json& row : report["compare"]) {
        ASSERT_FALSE(row["prediction_rms_map"].is_null()) << row["type"];
        byRank[row["rank"].get<unsigned>()] = row;
    }
    ASSERT_EQ(byRank.size(), 6u);
    EXPECT_EQ(byRank.begin()->first, 1u);
    EXPECT_EQ(report["best"], byRank[1]["type"]);
    for (unsigned rank = 2; rank <= 6; ++rank)
        EXPECT_LE(byRank[rank - 1]["prediction_rms_map"].get<double>(), byRank[rank]["prediction_rms_map"].get<double>());
    // The group's own type, and so its report, stays as it was.
    EXPECT_EQ(RunJson(dir, {"report", "a.gcp", "-g", "1", "--json"})["type"], "poly2");
    RunResult text = RunTool(dir, {"report", "a.gcp", "-g", "1", "--compare"});
    EXPECT_NE(text.out.find("best by prediction RMS"), std::string::npos) << text.out;
}

TEST_F(AvonArea, RefineNamesPointFifteenAndAppliesOnlyWhenAsked) {
    const std::string before = ReadFile(dir / "a.gcp");
    Json found = RunJson(dir, {"refine", "a.gcp", "-g", "1", "--json"});
    EXPECT_EQ(ReadFile(dir / "a.gcp"), before);  // looking changes nothing
    ASSERT_FALSE(found["findings"].empty());
    std::vector<unsigned long> outliers;
    for (const Json& f : found["findings"]) {
        EXPECT_EQ(f["kind"], "outlier");
        EXPECT_GT(f["robust_scales"].get<double>(), 5.0);
        EXPECT_GT(f["loo_pixel"].get<double>(), 0.0);
        outliers.push_back(f["index"].get<unsigned long>());
    }
    ASSERT_NE(std::find(outliers.begin(), outliers.end(), 15u), outliers.end());

    // A locked outlier is left and named; the others become check points.
    ASSERT_EQ(RunTool(dir, {"point", "edit", "a.gcp", "-g", "1", "-i", "15", "off"}).status, 0);
    RunResult applied = RunTool(dir, {"refine", "a.gcp", "-g", "1", "--apply"});
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_NE(applied.out.find("point 15 : outlier"), std::string::npos) << applied.out;
    EXPECT_NE(applied.out.find("[locked: left as it is]"), std::string::npos) << applied.out;
    Json list = RunJson(dir, {"list", "a.gcp", "-g", "1", "--json"});
    ASSERT_EQ(list.size(), 19u);  // nothing deleted
    for (const Json& p : list) {
        const unsigned long index = p["index"].get<unsigned long>();
        const bool outlier = std::find(outliers.begin(), outliers.end(), index) != outliers.end();
        EXPECT_EQ(p["use"].get<bool>(), !outlier || index == 15) << index;
    }
    EXPECT_NE(RunTool(dir, {"refine", "a.gcp", "-g", "9"}).status, 0);
}

// The predicted-error picture renders to a PNG of the SVG's size, shaded
// with a range of colours and the outlier ringed.
TEST_F(AvonArea, PredictedErrorPictureRendersAndIsNotBlank) {
    RunResult r = RunTool(dir, {"report", "a.gcp", "-g", "1", "--svg", "error.svg", "--size", "2000x2700"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string svg = ReadFile(dir / "error.svg");
    std::set<std::string> fills;
    for (std::size_t at = svg.find("fill=\"#"); at != std::string::npos; at = svg.find("fill=\"#", at + 1))
        fills.insert(svg.substr(at + 6, 7));
    EXPECT_GT(fills.size(), 20u);
    EXPECT_NE(svg.find("r=\"9\" fill=\"none\" stroke=\"#d62728\""), std::string::npos);  // an outlier ring
#ifdef _WIN32
    GTEST_SKIP() << "the rendering check runs rsvg-convert, a Linux program, through a POSIX shell";
#endif
    if (!std::filesystem::exists("/usr/bin/rsvg-convert")) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is not installed";
    const std::string png = (dir / "error.png");
    const std::string command = "/usr/bin/rsvg-convert -o '" + png + "' '" + (dir / "error.svg") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string bytes = ReadFile(png);
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 24) |
               (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
               (static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 3]));
    };
    const std::size_t widthAt = svg.find("width=\"") + 7;
    EXPECT_EQ(be32(16), static_cast<unsigned>(std::lround(std::stod(svg.substr(widthAt)))));
    // A blank page of this size compresses to a few kilobytes; the shading does not.
    EXPECT_GT(bytes.size(), 30000u);
}

}  // namespace
}  // namespace morvane::tool::test
