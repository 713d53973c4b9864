// End to end: the fit report, the type comparison, the residual picture and
// coordinate conversion.
#include "cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <sstream>

namespace morvane::tool::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string Example(const std::string& name) { return (ExamplesDir() / "gcp" / name).string(); }

// An area holding the Avon map's 19 points, fitted with a 2nd-order
// polynomial, point 15 (a clear outlier) kept as a check point.
void MakeAvonArea(const ScratchDir& dir) {
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "-t", "poly2", Example("avon-1954-zoning.tif.points")}).status,
              0);
    ASSERT_EQ(RunTool(dir, {"point", "use", "a.gcp", "-g", "1", "-i", "15", "off"}).status, 0);
}

Json RunJson(const ScratchDir& dir, const std::vector<std::string>& args) {
    RunResult r = RunTool(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? Json::parse(r.out) : Json::object();
}

TEST(CliReport, CheckPointsAreMeasuredApartFromTheFit) {
    ScratchDir dir;
    MakeAvonArea(dir);
    Json report = RunJson(dir, {"report", "a.gcp", "-g", "1", "--json"});
    Json list = RunJson(dir, {"list", "a.gcp", "-g", "1", "--json"});
    ASSERT_EQ(list.size(), 19u);
    double usedSquares = 0.0, checkSquares = 0.0;
    for (const Json& p : list) {
        double squared = std::pow(p["res_pixel"].get<double>(), 2) + std::pow(p["res_line"].get<double>(), 2);
        (p["use"].get<bool>() ? usedSquares : checkSquares) += squared;
    }
    EXPECT_EQ(report["used"]["count"], 18);
    EXPECT_EQ(report["check"]["count"], 1);
    EXPECT_NEAR(report["used"]["rms_pixel"].get<double>(), std::sqrt(usedSquares / 18.0), 1e-9);
    EXPECT_NEAR(report["check"]["rms_pixel"].get<double>(), std::sqrt(checkSquares), 1e-9);
    EXPECT_EQ(report["check"]["worst_index"], 15);
    // The outlier, left out of the fit, is far worse than the points in it.
    EXPECT_GT(report["check"]["rms_pixel"].get<double>(), 3.0 * report["used"]["rms_pixel"].get<double>());

    RunResult text = RunTool(dir, {"report", "a.gcp", "-g", "1"});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("check points (1)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("used points (18)"), std::string::npos) << text.out;
}

TEST(CliReport, CompareFitsEveryTypeWithoutChangingTheArea) {
    ScratchDir dir;
    MakeAvonArea(dir);
    std::string before = ReadFile(dir / "a.gcp");
    Json report = RunJson(dir, {"report", "a.gcp", "-g", "1", "--compare", "--json"});
    EXPECT_EQ(ReadFile(dir / "a.gcp"), before);
    ASSERT_EQ(report["compare"].size(), 6u);
    std::map<std::string, Json> byType;
    for (const Json& row : report["compare"]) byType[row["type"]] = row;
    for (const char* type : {"similarity", "poly1", "projective", "poly2", "poly3", "tps"}) {
        ASSERT_TRUE(byType.count(type)) << type;
        ASSERT_FALSE(byType[type]["used"].is_null()) << type << " has 18 used points";
        EXPECT_EQ(byType[type]["check"]["count"], 1) << type;
    }
    auto rms = [&](const char* type) { return byType[type]["used"]["rms_map"].get<double>(); };
    // Each polynomial contains the one below it, so it fits at least as well.
    EXPECT_LE(rms("poly1"), rms("similarity") + 1e-9);
    EXPECT_LE(rms("poly2"), rms("poly1") + 1e-9);
    EXPECT_LE(rms("poly3"), rms("poly2") + 1e-9);
    EXPECT_NEAR(rms("tps"), 0.0, 1e-6 * rms("poly1"));   // the spline passes through every used point
    // The group's own type is the one the plain report shows.
    EXPECT_NEAR(byType["poly2"]["used"]["rms_pixel"].get<double>(), report["used"]["rms_pixel"].get<double>(), 1e-9);

    // With fewer used points than a type needs, that type is left out.
    ASSERT_EQ(RunTool(dir, {"import", "b.gcp", "-g", "1", Example("gdal-utmsmall-gcps.vrt")}).status, 0);
    Json small = RunJson(dir, {"report", "b.gcp", "-g", "1", "--compare", "--json"});
    for (const Json& row : small["compare"]) {
        bool enough = row["min_points"].get<int>() <= 4;
        EXPECT_EQ(row["used"].is_null(), !enough) << row["type"];
    }
}

TEST(CliReport, ResidualPictureIsWellFormedSvg) {
    ScratchDir dir;
    MakeAvonArea(dir);
    RunResult r = RunTool(dir, {"report", "a.gcp", "-g", "1", "--svg", "residuals.svg", "--size", "2000x2700"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string svg = ReadFile(dir / "residuals.svg");
    ASSERT_FALSE(svg.empty());
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    std::size_t circles = 0;  // point markers (outlier rings are circles too, of another radius)
    for (std::size_t at = svg.find("<circle"); at != std::string::npos; at = svg.find("<circle", at + 1))
        circles += svg.compare(svg.find(" r=", at), 9, " r=\"4.5\" ") == 0 ? 1 : 0;
    EXPECT_EQ(circles, 18u + 1u);   // the used points and the legend's sample
#ifdef _WIN32
    GTEST_SKIP() << "the well-formedness check runs xmllint, a Linux program, through a POSIX shell";
#endif
    if (!fs::exists("/usr/bin/xmllint")) GTEST_SKIP() << "xmllint (libxml2-utils) is not installed";
    std::string command = "/usr/bin/xmllint --noout '" + (dir / "residuals.svg") + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(CliTransform, BothWaysAndBothModesAgree) {
    ScratchDir dir;
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", Example("avon-1954-zoning.tif.points")}).status, 0);
    std::string pixels = "883.0097682607626 1227.492162278622\n0 0\n# a comment\n\n1778.5,2397.25\n";
    RunResult forward = RunTool(dir, {"transform", "a.gcp", "-g", "1"}, pixels);
    ASSERT_EQ(forward.status, 0) << forward.err;
    RunResult backward = RunTool(dir, {"transform", "a.gcp", "-g", "1", "--inverse"}, forward.out);
    ASSERT_EQ(backward.status, 0) << backward.err;
    std::istringstream in(backward.out);
    const double expected[] = {883.0097682607626, 1227.492162278622, 0, 0, 1778.5, 2397.25};
    for (double e : expected) {
        double v = 0;
        ASSERT_TRUE(in >> v);
        EXPECT_NEAR(v, e, 1e-6);
    }

    // Binary mode gives the very same doubles as text mode.
    std::string binary(6 * sizeof(double), '\0');
    std::memcpy(binary.data(), expected, binary.size());
    RunResult raw = RunTool(dir, {"transform", "a.gcp", "-g", "1", "--binary"}, binary);
    ASSERT_EQ(raw.status, 0) << raw.err;
    ASSERT_EQ(raw.out.size(), binary.size());
    double converted[6];
    std::memcpy(converted, raw.out.data(), sizeof converted);
    std::istringstream text(forward.out);
    for (double c : converted) {
        double v = 0;
        ASSERT_TRUE(text >> v);
        EXPECT_EQ(v, c);
    }

    RunResult bad = RunTool(dir, {"transform", "a.gcp", "-g", "1"}, "1 2\n3 4\nfive 6\n");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("line 3"), std::string::npos) << bad.err;
    EXPECT_EQ(std::count(bad.out.begin(), bad.out.end(), '\n'), 2);   // the good lines were converted
    RunResult partial = RunTool(dir, {"transform", "a.gcp", "-g", "1", "--binary"}, binary.substr(0, 40));
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(partial.out.size(), 32u);

    ASSERT_EQ(RunTool(dir, {"group", "add", "a.gcp"}).status, 0);
    RunResult noFit = RunTool(dir, {"transform", "a.gcp", "-g", "2"}, "1 2\n");
    EXPECT_EQ(noFit.status, 1);
    EXPECT_NE(noFit.err.find("no usable"), std::string::npos) << noFit.err;
}

TEST(CliProgress, NoBarWhenErrorOutputIsNotATerminal) {
    ScratchDir dir;
    RunResult r = RunTool(dir, {"import", "a.gcp", "-g", "1", Example("crc4docker-nevada-gcps.pts")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

}  // namespace
}  // namespace morvane::tool::test
