#include "FitReport.h"

#include "CommandContext.h"
#include "LineAxis.h"

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

void LoadPointSet(CCtrlPntSet& set, const std::vector<_CtrlPntStrcT>& points, short orientType, short transType) {
    if (set.InitPntSet(orientType, transType) != TM_OK) throw Refusal("unknown group type");
    unsigned long index = 0;
    for (const _CtrlPntStrcT& p : points) {
        _CtrlPntStrcT record = p;
        if (set.AddOneGcp(++index, &record) != TM_OK) throw Refusal(fmt::format("point {} cannot be read back", index));
    }
}

namespace {

void AddLeaveOneOut(FitReport& report, const std::vector<_CtrlPntStrcT>& points, const GroupType& type) {
    CCtrlPntSet set;
    LoadPointSet(set, points, type.orient, type.trans);
    const double lineSign = StoredLineSign(type.orient);
    for (unsigned long i = 1; i <= points.size(); ++i) {
        TmLooFigures f;
        if (set.GetLooResidual(i, &f) != TM_OK) {
            report.loo.emplace_back();
            continue;
        }
        PointLoo loo;
        loo.residual = GcpResidual{f.PixelDX, lineSign * f.PixelDY, f.UserDX, f.UserDY};
        loo.leverage = f.Leverage;
        loo.influence = f.Influence;
        report.loo.emplace_back(loo);
    }
    Prediction p;
    if (set.GetPredictionRMS(&p.mapRms, &p.pixelRms) == TM_OK) report.prediction = p;
}

}  // namespace

FitReport MakeFitReport(AreaHandle& area) {
    FitReport report;
    GroupType type = ReadGroupType(area);
    report.transType = type.trans;
    report.orientType = type.orient;
    std::vector<_CtrlPntStrcT> points = ReadPoints(area);
    report.records = points;
    for (unsigned long i = 1; i <= points.size(); ++i) {
        GcpRow row = RowFromRecord(points[i - 1], type.orient);
        row.residual = ResidualOf(area, i, type.orient);
        report.rows.push_back(row);
    }
    AddLeaveOneOut(report, points, type);
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
    std::vector<_CtrlPntStrcT> records;
    for (const GcpRow& row : rows) {
        records.push_back(RecordFromRow(row, TM_ORIENT_LINE_DOWN));
        records.back().UseFlag = row.use ? 1 : 0;
    }
    CCtrlPntSet set;
    LoadPointSet(set, records, TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
    TmTypeScore scores[6];
    unsigned long scoreCount = 0;
    if (set.CompareTransTypes(scores, &scoreCount) != TM_OK) throw Refusal("cannot compare the types (out of memory)");
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
        unsigned rank = 0;
        for (unsigned long k = 0; k < scoreCount; ++k) {
            const TmTypeScore& score = scores[k];
            if (score.Status == TM_OK) ++rank;
            if (score.TransType != type) continue;
            c.parameters = score.Parameters;
            if (score.Status == TM_OK && c.used) {
                c.predictionMap = score.PredictionRms;
                c.rank = rank;
            }
        }
        result.push_back(c);
    }
    scratch->Discard();
    return result;
}

}  // namespace morvane::tool
