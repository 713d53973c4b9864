// Malformed files are refused with the number of the offending line.
#include "FileFormat.h"
#include "TextScan.h"

#include <gtest/gtest.h>

namespace morvane::tool {
namespace {

// The line a reader refuses text on; 0 when it accepts it or gives no line.
std::size_t RefusedLine(FileFormat format, const std::string& text, std::string* reason = nullptr) {
    try {
        ReadGcps(format, text);
    } catch (const FormatError& error) {
        if (reason) *reason = error.reason();
        return error.line() == 0 ? 999999 : error.line();
    }
    return 0;
}

TEST(FormatErrors, QgisPointsRefusalsNameTheLine) {
    const std::string header = "mapX,mapY,pixelX,pixelY,enable\n";
    const std::string good = "1,2,3,-4,1\n";
    std::string reason;
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + good + "1,2,3\n", &reason), 3u);   // short row
    EXPECT_NE(reason.find("3 fields"), std::string::npos);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + good + good + "1,2,x3,-4,1\n", &reason), 4u);
    EXPECT_NE(reason.find("pixelX"), std::string::npos);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, good + good, &reason), 1u);                  // no header
    EXPECT_NE(reason.find("missing header"), std::string::npos);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, "#CRS: X\nmapX,mapY,pixelX,pixelY,colour\n" + good, &reason), 2u);
    EXPECT_NE(reason.find("unknown column \"colour\""), std::string::npos);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + good + "1,2,3,-4,2\n"), 3u);        // enable not a flag
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + "1,2,inf,-4,1\n"), 2u);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, "mapX,mapY,pixelX,enable\n"), 1u);           // pixelY missing
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + good + std::string("\x01\x02\xff\x00junk", 8)), 3u);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, ""), 1u);
    EXPECT_EQ(RefusedLine(FileFormat::QgisPoints, header + good + "\n\n\n"), 0u);              // trailing blanks are fine
}

TEST(FormatErrors, CsvRefusalsNameTheLineEvenAfterQuotedLineBreaks) {
    const std::string header = "name,pixel,line,x,y\n";
    EXPECT_EQ(RefusedLine(FileFormat::Csv, header + "a,1,2,3,4\nb,1,2,3\n"), 3u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, header + "\"two\nlines\",1,2,3,4\nb,1,2,3,oops\n"), 4u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, "1,2,3,4\n"), 1u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, "pixel,line,x,y,colour\n1,2,3,4,red\n"), 1u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, "pixel,line,x\n1,2,3\n"), 1u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, header + "\"open,1,2,3,4\n"), 2u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, header + "a,1,2,3,4\n" + std::string("\0\0\0", 3)), 3u);
    EXPECT_EQ(RefusedLine(FileFormat::Csv, "pixel,line,x,y,id\n1,2,3,4,1.5\n"), 2u);
}

TEST(FormatErrors, VrtRefusalsNameTheLine) {
    std::string head = "<VRTDataset>\n <GCPList>\n";
    EXPECT_EQ(RefusedLine(FileFormat::Vrt, head + "  <GCP Id=\"1\" Pixel=\"1\" Line=\"2\" X=\"3\"/>\n </GCPList>\n"),
              3u);   // no Y
    EXPECT_EQ(RefusedLine(FileFormat::Vrt,
                          head + "  <GCP Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n  <GCP Pixel=\"1\" Line=\"two\" "
                                 "X=\"3\" Y=\"4\"/>\n </GCPList>\n"),
              4u);
    EXPECT_EQ(RefusedLine(FileFormat::Vrt, head + "  <GCP Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\" Colour=\"red\"/>\n"
                                                  " </GCPList>\n"),
              3u);
    EXPECT_EQ(RefusedLine(FileFormat::Vrt, head + "  <GCP Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n"), 2u);  // unclosed
    EXPECT_EQ(RefusedLine(FileFormat::Vrt, "<VRTDataset/>\n"), 999999u);   // no list at all: no line to name
    EXPECT_EQ(RefusedLine(FileFormat::Vrt, head + "  <GCP Pixel=\"1\" Line=\"2\" X=\"&bogus;\" Y=\"4\"/>\n</GCPList>"),
              3u);
}

TEST(FormatErrors, GeoJsonRefusalsNameTheLine) {
    std::string text =
        "{\"type\": \"FeatureCollection\", \"features\": [\n"
        "{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [1, 2]},"
        " \"properties\": {\"pixel\": 1, \"line\": 2}},\n"
        "{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [1, 2]},"
        " \"properties\": {\"pixel\": \"one\", \"line\": 2}}\n"
        "]}\n";
    std::string reason;
    EXPECT_EQ(RefusedLine(FileFormat::GeoJson, text, &reason), 3u);
    EXPECT_NE(reason.find("pixel"), std::string::npos);
    EXPECT_EQ(RefusedLine(FileFormat::GeoJson, "{\"type\": \"FeatureCollection\",\n\"features\": [,]}"), 2u);
    EXPECT_EQ(RefusedLine(FileFormat::GeoJson, "\x89PNG\r\n\x1a\n"), 1u);
}

TEST(FormatErrors, EnviRefusalsNameTheLine) {
    std::string head = "; ENVI Image to Map GCP File\n; comment\n";
    EXPECT_EQ(RefusedLine(FileFormat::EnviPts, head + "1 2 3 4\n1 2 3\n"), 4u);
    EXPECT_EQ(RefusedLine(FileFormat::EnviPts, head + "1 2 3 four\n"), 3u);
    EXPECT_EQ(RefusedLine(FileFormat::EnviPts, "1 2 3 4\n"), 1u);
    EXPECT_EQ(RefusedLine(FileFormat::EnviPts, "; something else\n1 2 3 4\n"), 1u);
}

}  // namespace
}  // namespace morvane::tool
