// Real control points from georeferenced scans (QGIS .points files).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CtrlPntSet.h"

namespace {

struct PointsRow {
    double mapX, mapY, pixelX, pixelY;
    bool enabled;
    double dX = 0, dY = 0;
};

// Parses a QGIS georeferencer .points file: optional #CRS line, a header
// row, then mapX,mapY,pixelX|sourceX,pixelY|sourceY,enable[,dX,dY,residual].
std::vector<PointsRow> ReadPointsFile(const std::string& name) {
    std::ifstream in(std::string(MORVANE_GCP_DATA_DIR) + "/" + name);
    std::vector<PointsRow> rows;
    std::string line;
    bool header = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            header = true;  // the column names
            continue;
        }
        std::stringstream ss(line);
        std::string field;
        std::vector<double> v;
        while (std::getline(ss, field, ',')) v.push_back(std::stod(field));
        if (v.size() < 5) continue;
        PointsRow r{v[0], v[1], v[2], v[3], v[4] != 0};
        if (v.size() >= 7) r.dX = v[5], r.dY = v[6];
        rows.push_back(r);
    }
    return rows;
}

TEST(TiemarkRealData, PolynomialResidualsMatchTheGeoreferencerFile) {
    // The file stores residuals of an order-2 polynomial fitted from map to
    // pixel coordinates: dX = fitted - sourceX, dY = -(fitted - sourceY).
    // Fitting the same direction here must reproduce them.
    std::vector<PointsRow> rows =
        ReadPointsFile("qgis-zoning-metro-hartford-1954-avon-present-zoning-ROTATED_modified.tif.points");
    ASSERT_EQ(rows.size(), 19u);
    CCtrlPntSet set;
    ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY2), TM_OK);
    for (size_t i = 0; i < rows.size(); ++i) {
        _CtrlPntStrcT p = TmMakePoint(rows[i].mapX, rows[i].mapY, rows[i].pixelX, rows[i].pixelY);
        ASSERT_EQ(set.AddOneGcp(i + 1, &p), TM_OK);
    }
    double worst = 0;
    unsigned long worstIndex = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        double r[4];
        ASSERT_EQ(set.GetResidual(i + 1, &r[0], &r[1], &r[2], &r[3]), TM_OK);
        EXPECT_NEAR(r[0], rows[i].dX, 1e-6) << i + 1;
        EXPECT_NEAR(r[1], -rows[i].dY, 1e-6) << i + 1;
        if (std::hypot(r[0], r[1]) > worst) worst = std::hypot(r[0], r[1]), worstIndex = i + 1;
    }
    EXPECT_EQ(worstIndex, 15u);  // the file's clear outlier, 14.3 px
    // The error context of a read record carries the same residual.
    _CtrlPntStrcT p;
    ASSERT_EQ(set.GetOneGCP(15, &p), TM_OK);
    EXPECT_NEAR(p.Err.ResidualX, rows[14].dX, 1e-6);
    EXPECT_NEAR(p.Err.ResidualY, -rows[14].dY, 1e-6);
}

TEST(TiemarkRealData, EveryFileFitsAndRoundTrips) {
    const char* files[] = {
        "qgis-zoning-metro-hartford-1954-avon-present-zoning-ROTATED_modified.tif.points",
        "qgis-zoning-metro-hartford-1958-bloomfield-zoning_modified.tif.points",
        "qgis-zoning-metro-hartford-1958-west-hartford-zoning_modified.tif.points",
        "qgis-UBR-Geo-ubr05510_5776.tif.points",
        "qgis-UBR-Geo-ubr16051_0031.tif.points",
        "qgis-hypso-package-erie_2022_08_27T16_05_36-bin3.points",
        "qgis-allmaps-cli-test-gcps-qgis.points",
        "qgis-allmaps-cli-test-gcps-qgis-internal-projection.points",
        "qgis-ALECMAPREADER1-ColombiALEC.jpg.points",
        "qgis-ALECMAPREADER1-Cu.jpg.points",
    };
    for (const char* name : files) {
        SCOPED_TRACE(name);
        std::vector<PointsRow> rows = ReadPointsFile(name);
        ASSERT_GE(rows.size(), 4u);
        double previousRms = INFINITY;
        for (short type : {TM_TRANS_SIMILARITY, TM_TRANS_POLY1, TM_TRANS_PROJECTIVE, TM_TRANS_POLY2,
                           TM_TRANS_POLY3, TM_TRANS_TPS}) {
            SCOPED_TRACE(type);
            if (rows.size() < CCtrlPntSet::MinPointsForType(type)) continue;
            // Lines are stored negated, as the georeferencer writes them.
            CCtrlPntSet set;
            ASSERT_EQ(set.InitPntSet(TM_ORIENT_LINE_UP, type), TM_OK);
            for (size_t i = 0; i < rows.size(); ++i) {
                _CtrlPntStrcT p = TmMakePoint(rows[i].pixelX, rows[i].pixelY, rows[i].mapX, rows[i].mapY);
                p.UseFlag = rows[i].enabled;
                ASSERT_EQ(set.AddOneGcp(i + 1, &p), TM_OK);
            }
            double userRms, pixelRms;
            long rc = set.GetRMSError(&userRms, &pixelRms);
            if (type == TM_TRANS_POLY3 && rc == TM_ERR_DEGENERATE) continue;  // few points: allowed
            ASSERT_EQ(rc, TM_OK);
            // Nested least-squares models: more terms never fit worse.
            if (type == TM_TRANS_POLY1 || type == TM_TRANS_POLY2 || type == TM_TRANS_POLY3) {
                EXPECT_LE(userRms, previousRms * (1 + 1e-9));
                previousRms = userRms;
            }
            for (const PointsRow& r : rows) {
                double x, y, px, py;
                ASSERT_EQ(set.GetCoordinateA(&x, &y, r.pixelX, r.pixelY, true), TM_OK);
                ASSERT_EQ(set.GetCoordinateA(&px, &py, x, y, false), TM_OK);
                EXPECT_NEAR(px, r.pixelX, 1e-6);
                EXPECT_NEAR(py, r.pixelY, 1e-6);
            }
        }
    }
}

}  // namespace
