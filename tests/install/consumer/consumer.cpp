// A caller's program built against the installed package: writes a
// control-point file with one affine group and reads a conversion back.
#include <morvane/Morvane.h>
#include <morvane/MorvaneModule.h>
#include <morvane/RasteBaseArea.h>

#include <cmath>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // The library it loads is the one its headers describe.
    if (std::strcmp(MorvaneVersion(), MORVANE_VERSION_STRING) != 0) return 3;
    std::remove(argv[1]);
    {
        std::FILE* f = std::fopen(argv[1], "wb");
        if (!f) return 1;
        std::fwrite("GCPFILE67", 1, 10, f);  // the magic and its zero byte
        std::fclose(f);
    }
    CFile_Morvane area;
    if (area.OpenGCPArea(0, 0, argv[1]) != 1) return 1;
    if (area.CreateGCPGroup(1) != 1 || area.OpenGCPGroup(1) != 1) return 1;
    const double pts[3][4] = {{0, 0, 500000, 4000000}, {100, 0, 500100, 4000000}, {0, 100, 500000, 3999900}};
    for (unsigned long i = 0; i < 3; ++i) {
        _CtrlPntStrcT p = TmMakePoint(pts[i][0], pts[i][1], pts[i][2], pts[i][3]);
        area.AddOneGCP(i + 1, &p);
    }
    double x = 0, y = 0;
    if (area.PointTransform(50.0, 50.0, x, y, true) != 1) return 1;
    if (std::fabs(x - 500050.0) > 1e-6 || std::fabs(y - 3999950.0) > 1e-6) return 1;
    if (area.CloseGCPArea() != 1) return 1;
    CRasteBaseArea db;  // the database library links in as well
    std::printf("consumer ok: %.3f %.3f\n", x, y);
    return 0;
}
