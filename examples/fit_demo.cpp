// fit_demo - builds a group from eight real control points of a scanned 1954
// zoning map (pixel positions as the QGIS georeferencer stores them, lines
// negated; Web Mercator metres), fits it, and converts coordinates both ways.
#include <cstdio>
#include <initializer_list>

#include "CtrlPntSet.h"

int main() {
    struct { double px, py, x, y; } const pts[] = {
        {883.0098, -1227.4922, -8111867.3212, 5133477.4202},
        {1473.1425, -1132.5142, -8103899.3286, 5134796.5788},
        {1483.0794, -1358.3047, -8103764.7919, 5131757.8639},
        {1498.6458, -1996.4573, -8103510.1437, 5123184.5708},
        {1777.0121, -2342.8467, -8099824.0723, 5118504.8979},
        {513.6616, -1323.4677, -8116883.1098, 5132194.9521},
        {1020.9019, -1828.9980, -8109986.8615, 5125383.4969},
        {1450.7205, -867.9268, -8104266.9304, 5138303.0434},
    };
    for (short type : {TM_TRANS_POLY1, TM_TRANS_POLY2}) {
        CCtrlPntSet set;
        set.InitPntSet(TM_ORIENT_LINE_UP, type);
        unsigned long n = 0;
        for (const auto& p : pts) {
            _CtrlPntStrcT rec = TmMakePoint(p.px, p.py, p.x, p.y);
            set.AddOneGcp(++n, &rec);
        }
        double userRms = 0, pixelRms = 0;
        if (long rc = set.GetRMSError(&userRms, &pixelRms); rc != TM_OK) {
            std::printf("fit refused: %ld\n", rc);
            return 1;
        }
        std::printf("%s fit of %lu points: RMS %.3f m, %.3f px\n", type == TM_TRANS_POLY1 ? "affine" : "order-2",
                    n, userRms, pixelRms);
        set.ComputeUserCoordRange(2400, 2600);
        double r[4];
        set.GetUserCoordRange(&r[0], &r[1], &r[2], &r[3]);
        std::printf("  2400 x 2600 raster covers X %.1f .. %.1f, Y %.1f .. %.1f\n", r[0], r[2], r[1], r[3]);
        const double probes[][2] = {{0, 0}, {1200, -1300}, {2400, -2600}};
        for (const auto& q : probes) {
            double x, y, px, py;
            set.GetCoordinateA(&x, &y, q[0], q[1], true);
            set.GetCoordinateA(&px, &py, x, y, false);
            std::printf("  pixel (%7.1f, %7.1f) -> map (%.3f, %.3f) -> pixel (%.9f, %.9f)\n", q[0], q[1], x, y,
                        px, py);
        }
    }
    return 0;
}
