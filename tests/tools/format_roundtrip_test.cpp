// Every format writes what it reads: a table written and read back is the
// same table, up to what the format can carry.
#include "FileFormat.h"
#include "GcpTable.h"
#include "TextScan.h"

#include <gtest/gtest.h>

#include <random>

namespace morvane::tool {
namespace {

// What a format carries besides pixel, line, x and y.
struct Carries {
    bool name, id, z, use, edit, crs;
    bool exact;   // numbers come back bit for bit
};

Carries CarriesOf(FileFormat format) {
    switch (format) {
        case FileFormat::QgisPoints: return {false, false, false, true, false, true, true};
        case FileFormat::Vrt: return {true, false, true, false, false, true, true};
        case FileFormat::Csv: return {true, true, true, true, true, false, true};
        case FileFormat::GeoJson: return {true, true, true, true, true, true, true};
        case FileFormat::EnviPts: return {false, false, false, false, false, false, false};
    }
    return {};
}

double RandomCoordinate(std::mt19937_64& random) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double choice = unit(random);
    if (choice < 0.1) return std::floor(unit(random) * 5000.0);              // whole pixels
    if (choice < 0.2) return (unit(random) - 0.5) * 1e-6;                    // tiny
    if (choice < 0.3) return (unit(random) - 0.5) * 360.0;                   // degrees
    return (unit(random) - 0.5) * 2.0e7;                                     // projected metres
}

std::string RandomName(std::mt19937_64& random) {
    static const std::string alphabet = "abcXYZ019 ,\"'&<>;#-_.\t";
    std::uniform_int_distribution<std::size_t> length(1, 20), pick(0, alphabet.size() - 1);
    std::string name;
    for (std::size_t n = length(random); n > 0; --n) name += alphabet[pick(random)];
    if (random() % 4 == 0) name += "\xc3\xa9";   // a non-ASCII character (é)
    return name;
}

GcpTable RandomTable(std::mt19937_64& random, std::size_t rows) {
    GcpTable table;
    table.crs = "PROJCS[\"Test, \\\"quoted\\\" & <odd>\",UNIT[\"metre\",1]]";
    for (std::size_t i = 0; i < rows; ++i) {
        GcpRow row;
        row.name = RandomName(random);
        row.id = static_cast<std::int32_t>(random() % 100000) - 500;
        row.pixel = RandomCoordinate(random);
        row.line = RandomCoordinate(random);
        row.x = RandomCoordinate(random);
        row.y = RandomCoordinate(random);
        row.z = random() % 3 == 0 ? 0.0 : RandomCoordinate(random);
        row.use = random() % 3 != 0;
        row.edit = random() % 4 != 0;
        table.rows.push_back(row);
    }
    return table;
}

void ExpectSameNumber(double expected, double actual, bool exact, const char* what, std::size_t row) {
    if (exact) {
        EXPECT_EQ(expected, actual) << what << " of row " << row;
    } else {
        EXPECT_NEAR(expected, actual, 1e-9 * std::max(1.0, std::fabs(expected))) << what << " of row " << row;
    }
}

class FormatRoundTrip : public ::testing::TestWithParam<FileFormat> {};

TEST_P(FormatRoundTrip, WrittenTableReadsBackUnchanged) {
    FileFormat format = GetParam();
    Carries carries = CarriesOf(format);
    std::mt19937_64 random(1234 + static_cast<int>(format));
    for (int trial = 0; trial < 20; ++trial) {
        GcpTable table = RandomTable(random, static_cast<std::size_t>(trial * 3));
        GcpTable back = ReadGcps(format, WriteGcps(format, table, WriteOptions{}));
        ASSERT_EQ(back.rows.size(), table.rows.size()) << FormatName(format);
        if (carries.crs) {
            EXPECT_EQ(back.crs, table.crs);
        }
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            const GcpRow& a = table.rows[i];
            const GcpRow& b = back.rows[i];
            ExpectSameNumber(a.pixel, b.pixel, carries.exact, "pixel", i);
            ExpectSameNumber(a.line, b.line, carries.exact, "line", i);
            ExpectSameNumber(a.x, b.x, carries.exact, "x", i);
            ExpectSameNumber(a.y, b.y, carries.exact, "y", i);
            if (carries.z) {
                EXPECT_EQ(a.z, b.z) << "z of row " << i;
            }
            if (carries.name) {
                EXPECT_EQ(a.name, b.name) << "row " << i;
            }
            if (carries.id) {
                EXPECT_EQ(a.id, b.id) << "row " << i;
            }
            if (carries.use) {
                EXPECT_EQ(a.use, b.use) << "row " << i;
            }
            if (carries.edit) {
                EXPECT_EQ(a.edit, b.edit) << "row " << i;
            }
        }
    }
}

TEST_P(FormatRoundTrip, ResidualsAreWrittenWhereTheFormatHasThem) {
    FileFormat format = GetParam();
    std::mt19937_64 random(99);
    GcpTable table = RandomTable(random, 5);
    for (GcpRow& row : table.rows) row.residual = GcpResidual{0.25, -1.5, 3.0, -4.0};
    std::string text = WriteGcps(format, table, WriteOptions{});
    // Residuals describe a fit, so reading ignores them, whatever they say.
    GcpTable back = ReadGcps(format, text);
    ASSERT_EQ(back.rows.size(), 5u);
    for (const GcpRow& row : back.rows) EXPECT_FALSE(row.residual.has_value());
    if (format == FileFormat::QgisPoints) {
        EXPECT_NE(text.find("dX,dY,residual"), std::string::npos);
        EXPECT_NE(text.find(",0.25,-1.5," + FormatNumber(std::hypot(0.25, 1.5)) + "\n"), std::string::npos);
    }
    if (format == FileFormat::Csv || format == FileFormat::GeoJson) {
        EXPECT_NE(text.find("res_pixel"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FormatRoundTrip,
                         ::testing::Values(FileFormat::QgisPoints, FileFormat::Vrt, FileFormat::Csv,
                                           FileFormat::GeoJson, FileFormat::EnviPts),
                         [](const auto& info) { return std::string(FormatName(info.param)); });

}  // namespace
}  // namespace morvane::tool
