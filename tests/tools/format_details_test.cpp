// The sign, origin and naming conventions of each format.
#include "FileFormat.h"
#include "TextScan.h"
#include "VrtFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

namespace morvane::tool {
namespace {

TEST(FormatDetails, QgisLinesAreNegatedBothWays) {
    GcpTable t = ReadGcps(FileFormat::QgisPoints,
                          "#CRS: GEOGCRS[\"WGS 84\",ID[\"EPSG\",4326]]\r\n"
                          "mapX,mapY,sourceX,sourceY,enabled,dX,dY,residual\r\n"
                          "9.5,53.25,3899,-6412.5,1,0.1,0.2,0.3\r\n"
                          "10,54,12,0,0,0,0,0\r\n"
                          "\r\n\r\n");
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.crs, "GEOGCRS[\"WGS 84\",ID[\"EPSG\",4326]]");
    EXPECT_EQ(t.rows[0].pixel, 3899.0);
    EXPECT_EQ(t.rows[0].line, 6412.5);
    EXPECT_EQ(t.rows[0].x, 9.5);
    EXPECT_EQ(t.rows[0].y, 53.25);
    EXPECT_TRUE(t.rows[0].use);
    EXPECT_FALSE(t.rows[1].use);
    EXPECT_FALSE(std::signbit(t.rows[1].line));   // -0 read as 0
    EXPECT_EQ(t.rows[1].id, 2);                   // rows are numbered in file order
    std::string written = WriteGcps(FileFormat::QgisPoints, t, WriteOptions{});
    EXPECT_NE(written.find("9.5,53.25,3899,-6412.5,1\n"), std::string::npos) << written;
    EXPECT_NE(written.find("10,54,12,0,0\n"), std::string::npos) << written;
}

TEST(FormatDetails, VrtTakesGdalsOwnSpellings) {
    GcpTable t = ReadGcps(FileFormat::Vrt,
                          "<VRTDataset rasterXSize=\"100\" rasterYSize=\"100\">\n"
                          "  <GCPList Projection=\"PROJCS[&quot;NAD27 / UTM&quot;,AUTHORITY[&quot;EPSG&quot;,"
                          "&quot;26711&quot;]] &amp; &#65;&#x42;\">\n"
                          "    <GCP Id=\"\" Pixel=\"0.0000\" Line=\"100.0000\" X=\"4.407200000000E+05\" "
                          "Y=\"3.745320000000E+06\"/>\n"
                          "    <!-- <GCP Id=\"ignored\" Pixel=\"x\"/> -->\n"
                          "    <GCP Id=\"17\" Info=\"corner\" Pixel='1.5' Line='2.5' X='3' Y='4' Z='5' ></GCP>\n"
                          "    <GCP Id=\"\" Info=\"from info\" Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\" />\n"
                          "  </GCPList>\n</VRTDataset>\n");
    EXPECT_EQ(t.crs, "PROJCS[\"NAD27 / UTM\",AUTHORITY[\"EPSG\",\"26711\"]] & AB");
    ASSERT_EQ(t.rows.size(), 3u);
    EXPECT_EQ(t.rows[0].name, "");
    EXPECT_EQ(t.rows[0].line, 100.0);
    EXPECT_EQ(t.rows[0].x, 440720.0);
    EXPECT_EQ(t.rows[0].z, 0.0);
    EXPECT_EQ(t.rows[1].name, "17");
    EXPECT_EQ(t.rows[1].id, 17);
    EXPECT_EQ(t.rows[1].z, 5.0);
    EXPECT_EQ(t.rows[2].name, "from info");
    EXPECT_EQ(t.rows[2].id, 3);
}

TEST(FormatDetails, VrtExportKeepsTheRestOfAnExistingDocument) {
    std::string existing =
        "<VRTDataset rasterXSize=\"640\" rasterYSize=\"480\">\n"
        "  <GCPList Projection=\"OLD\">\n    <GCP Id=\"old\" Pixel=\"9\" Line=\"9\" X=\"9\" Y=\"9\"/>\n  </GCPList>\n"
        "  <VRTRasterBand dataType=\"Byte\" band=\"1\"><ColorInterp>Gray</ColorInterp></VRTRasterBand>\n"
        "</VRTDataset>\n";
    GcpTable t;
    t.crs = "NEW";
    t.rows.push_back(GcpRow{"a", 1, 1.25, 2.5, 3, 4, 0, true, true, std::nullopt});
    WriteOptions options;
    options.existing = existing;
    std::string merged = WriteGcps(FileFormat::Vrt, t, options);
    EXPECT_NE(merged.find("<VRTDataset rasterXSize=\"640\" rasterYSize=\"480\">"), std::string::npos);
    EXPECT_NE(merged.find("<ColorInterp>Gray</ColorInterp>"), std::string::npos);
    EXPECT_EQ(merged.find("old"), std::string::npos);
    GcpTable back = ReadGcps(FileFormat::Vrt, merged);
    EXPECT_EQ(back.crs, "NEW");
    ASSERT_EQ(back.rows.size(), 1u);
    EXPECT_EQ(back.rows[0].pixel, 1.25);

    // A document without a list gets one; without a dataset it is refused.
    options.existing = "<VRTDataset rasterXSize=\"2\" rasterYSize=\"2\">\n</VRTDataset>\n";
    EXPECT_EQ(ReadGcps(FileFormat::Vrt, WriteGcps(FileFormat::Vrt, t, options)).rows.size(), 1u);
    options.existing = "<html></html>";
    EXPECT_THROW(WriteGcps(FileFormat::Vrt, t, options), FormatError);

    // A new document takes the raster size given, else the points' extent.
    EXPECT_NE(WriteVrtGcps(t, 640, 480).find("rasterXSize=\"640\" rasterYSize=\"480\""), std::string::npos);
    EXPECT_NE(WriteVrtGcps(t, 0, 0).find("rasterXSize=\"2\" rasterYSize=\"3\""), std::string::npos);
}

TEST(FormatDetails, VrtIdsAreNamesOrPositionsAndPositionsReadBackAsNoName) {
    GcpTable t;
    for (const char* name : {"NE corner", "", "", "17"}) {
        GcpRow row;
        row.name = name;
        row.id = 99;   // a VRT has no place for it
        t.rows.push_back(row);
    }
    std::string text = WriteVrtGcps(t, 10, 10);
    EXPECT_EQ(text.find("Id=\"\""), std::string::npos) << text;
    std::size_t at = 0;
    for (const char* id : {"NE corner", "2", "3", "17"}) {
        at = text.find(std::string("<GCP Id=\"") + id + "\"", at);
        EXPECT_NE(at, std::string::npos) << id << " missing or out of order:\n" << text;
    }
    GcpTable back = ReadVrtGcps(text);
    ASSERT_EQ(back.rows.size(), 4u);
    const std::pair<const char*, int> expected[] = {{"NE corner", 1}, {"", 2}, {"", 3}, {"17", 17}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(back.rows[i].name, expected[i].first) << "row " << i + 1;
        EXPECT_EQ(back.rows[i].id, expected[i].second) << "row " << i + 1;
    }

    // Only the plain position is taken for no name; Info then names the point.
    GcpTable gdal = ReadVrtGcps("<GCPList>\n<GCP Id=\"1\" Info=\"bridge\" Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n"
                                "<GCP Id=\"02\" Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n"
                                "<GCP Id=\"1\" Pixel=\"1\" Line=\"2\" X=\"3\" Y=\"4\"/>\n</GCPList>\n");
    ASSERT_EQ(gdal.rows.size(), 3u);
    EXPECT_EQ(gdal.rows[0].name, "bridge");
    EXPECT_EQ(gdal.rows[1].name, "02");
    EXPECT_EQ(gdal.rows[1].id, 2);
    EXPECT_EQ(gdal.rows[2].name, "1");
    EXPECT_EQ(gdal.rows[2].id, 1);
}

TEST(FormatDetails, EnviImageCoordinatesCountFromOne) {
    GcpTable image = ReadGcps(FileFormat::EnviPts,
                              "; ENVI Image to Image GCP File\r\n; base file: C:\\a b\\c\r\n"
                              "; Base Image (x,y), Warp Image (x,y)\r\n;\r\n"
                              "       3403.230000       2855.470000       3199.190000       3033.430000\r\n");
    ASSERT_EQ(image.rows.size(), 1u);
    EXPECT_DOUBLE_EQ(image.rows[0].x, 3402.23);      // base image, origin moved to 0
    EXPECT_DOUBLE_EQ(image.rows[0].y, 2854.47);
    EXPECT_DOUBLE_EQ(image.rows[0].pixel, 3198.19);  // warp image
    EXPECT_DOUBLE_EQ(image.rows[0].line, 3032.43);

    GcpTable map = ReadGcps(FileFormat::EnviPts, "; ENVI Image to Map GCP File\n500000.5 4100000 1 1\n");
    ASSERT_EQ(map.rows.size(), 1u);
    EXPECT_EQ(map.rows[0].x, 500000.5);             // map coordinates untouched
    EXPECT_EQ(map.rows[0].pixel, 0.0);              // ENVI's (1, 1) is our (0, 0)
    EXPECT_EQ(map.rows[0].line, 0.0);
    EXPECT_NE(WriteGcps(FileFormat::EnviPts, map, {}).find("500000.5 4100000 1 1\n"), std::string::npos);
}

TEST(FormatDetails, CsvColumnsInAnyOrderWithDefaults) {
    GcpTable t = ReadGcps(FileFormat::Csv, "Y,X,Line,Pixel\n4,3,2,1\n8,7,6,5\n");
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[1].pixel, 5.0);
    EXPECT_EQ(t.rows[1].line, 6.0);
    EXPECT_EQ(t.rows[1].x, 7.0);
    EXPECT_EQ(t.rows[1].y, 8.0);
    EXPECT_EQ(t.rows[1].id, 2);
    EXPECT_TRUE(t.rows[1].use);
    EXPECT_TRUE(t.rows[1].edit);
    EXPECT_EQ(t.rows[1].name, "");
}

TEST(FormatDetails, FormatFollowsTheFileName) {
    EXPECT_EQ(FormatByPath("dir.v1/scan.tif.points"), FileFormat::QgisPoints);
    EXPECT_EQ(FormatByPath("a.VRT"), FileFormat::Vrt);
    EXPECT_EQ(FormatByPath("a.csv"), FileFormat::Csv);
    EXPECT_EQ(FormatByPath("a.geojson"), FileFormat::GeoJson);
    EXPECT_EQ(FormatByPath("a.json"), FileFormat::GeoJson);
    EXPECT_EQ(FormatByPath("gcps.pts"), FileFormat::EnviPts);
    EXPECT_FALSE(FormatByPath("dir.points/noext").has_value());
    EXPECT_FALSE(FormatByPath("a.txt").has_value());
    EXPECT_EQ(FormatByName("QGIS"), FileFormat::QgisPoints);
}

}  // namespace
}  // namespace morvane::tool
