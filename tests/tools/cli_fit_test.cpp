// End to end: the leave-one-out figures of the report, the ranked type
// comparison, the outlier search (refine) and the predicted-error picture.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>

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

}  // namespace
}  // namespace morvane::tool::test
