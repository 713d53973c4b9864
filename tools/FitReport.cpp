#include "FitReport.h"

#include "CommandContext.h"

#include <fmt/format.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <unistd.h>

namespace morvane::tool {

std::optional<FitFigures> FiguresOf(const std::vector<GcpRow>& rows, bool used) {
    FitFigures f;
    double pixelSum = 0.0, mapSum = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const GcpRow& row = rows[i];
        if (row.use != used || !row.residual) continue;
        double pixel = std::hypot(row.residual->pixel, row.residual->line);
        double map = std::hypot(row.residual->x, row.residual->y);
        pixelSum += pixel * pixel;
        mapSum += map * map;
        if (f.count == 0 || pixel > f.pixelMax) {
            f.pixelMax = pixel;
            f.worstIndex = static_cast<unsigned long>(i + 1);
        }
        f.mapMax = std::max(f.mapMax, map);
        ++f.count;
    }
    if (f.count == 0) return std::nullopt;
    f.pixelRms = std::sqrt(pixelSum / static_cast<double>(f.count));
    f.mapRms = std::sqrt(mapSum / static_cast<double>(f.count));
    return f;
}

FitReport MakeFitReport(AreaHandle& area) {
    FitReport report;
    GroupType type = ReadGroupType(area);
    report.transType = type.trans;
    std::vector<_CtrlPntStrcT> points = ReadPoints(area);
    for (unsigned long i = 1; i <= points.size(); ++i) {
        GcpRow row = RowFromRecord(points[i - 1], type.orient);
        row.residual = ResidualOf(area, i, type.orient);
        report.rows.push_back(row);
    }
    double mapRms = 0.0, pixelRms = 0.0;
    if (area.GetGCPRMSError(mapRms, pixelRms) == 1) {
        report.used = FiguresOf(report.rows, true);
        if (report.used) {
            // The library's own figures for the used points.
            report.used->pixelRms = pixelRms;
            report.used->mapRms = mapRms;
        }
        report.check = FiguresOf(report.rows, false);
    }
    return report;
}

namespace {

std::string ScratchAreaPath() {
    static std::atomic<int> counter{0};
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    return (dir / fmt::format("morvane-compare-{}-{}.gcp", getpid(), counter++)).string();
}

}  // namespace

std::vector<TypeComparison> CompareTypes(const std::vector<GcpRow>& rows) {
    unsigned long usedCount = 0;
    for (const GcpRow& row : rows) usedCount += row.use ? 1 : 0;
    AreaAddress address;
    address.path = ScratchAreaPath();
    std::unique_ptr<AreaHandle> scratch = OpenAreaHandle(address, OpenMode::ChangeOrMake, 0, 0);
    if (scratch->CreateGCPGroup(1) != 1) throw Refusal("cannot make the scratch group for --compare");
    GroupScope scope(*scratch, 1);
    unsigned long index = 0;
    for (const GcpRow& row : rows) {
        _CtrlPntStrcT record = RecordFromRow(row, TM_ORIENT_LINE_DOWN);
        scratch->AddOneGCP(++index, &record);
        scratch->SetOneGcpUseOnOff(index, row.use);
    }
    std::vector<TypeComparison> result;
    for (short type : kAllTransTypes) {
        TypeComparison c;
        c.transType = type;
        c.minPoints = CCtrlPntSet::MinPointsForType(type);
        if (usedCount >= c.minPoints && scratch->SetGCPGroupType(type) == 1) {
            FitReport report = MakeFitReport(*scratch);
            c.used = report.used;
            c.check = report.check;
        }
        result.push_back(c);
    }
    scratch->Discard();
    return result;
}

}  // namespace morvane::tool
