// report: the residual table and RMS of a group's fit, check points apart,
// optionally every transformation type side by side (--compare) and the
// residual picture (--svg).
#include "CommandContext.h"
#include "Commands.h"
#include "FitReport.h"
#include "LineAxis.h"
#include "ResidualSvg.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace morvane::tool {

namespace {

struct ReportOptions {
    AreaOptions area;
    bool compare = false;
    std::string svg;
};

nlohmann::json FiguresJson(const std::optional<FitFigures>& f) {
    if (!f) return nullptr;
    return {{"count", f->count},       {"rms_pixel", f->pixelRms}, {"rms_map", f->mapRms},
            {"max_pixel", f->pixelMax}, {"max_map", f->mapMax},     {"worst_index", f->worstIndex}};
}

std::string FiguresText(const std::optional<FitFigures>& f) {
    if (!f) return "-";
    return fmt::format("RMS {:.4g} px, {:.6g} map units; largest {:.4g} px (point {})", f->pixelRms, f->mapRms,
                       f->pixelMax, f->worstIndex);
}

void PrintTable(const FitReport& report) {
    fmt::print("{:>5} {:<10} {:>12} {:>12} {:>4} {:>10} {:>10} {:>9} {:>12} {:>12} {:>12}\n", "index", "name",
               "pixel", "line", "use", "res_pixel", "res_line", "|res| px", "res_x", "res_y", "|res| map");
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        const GcpRow& r = report.rows[i];
        if (!r.residual) {
            fmt::print("{:>5} {:<10} {:>12.3f} {:>12.3f} {:>4} {:>10}\n", i + 1, r.name, r.pixel, r.line,
                       r.use ? "on" : "off", "-");
            continue;
        }
        const GcpResidual& e = *r.residual;
        fmt::print("{:>5} {:<10} {:>12.3f} {:>12.3f} {:>4} {:>10.4f} {:>10.4f} {:>9.4f} {:>12.6g} {:>12.6g} {:>12.6g}\n",
                   i + 1, r.name, r.pixel, r.line, r.use ? "on" : "off", e.pixel, e.line,
                   std::hypot(e.pixel, e.line), e.x, e.y, std::hypot(e.x, e.y));
    }
}

// The leave-one-out table: what each point's residual would be without it.
void PrintLeaveOneOut(const FitReport& report) {
    fmt::print("\nleave-one-out (each used point against the fit made without it):\n");
    fmt::print("{:>5} {:<10} {:>4} {:>10} {:>10} {:>9} {:>12} {:>12} {:>12} {:>9} {:>10}\n", "index", "name", "use",
               "loo_pixel", "loo_line", "|loo| px", "loo_x", "loo_y", "|loo| map", "leverage", "influence");
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        const GcpRow& r = report.rows[i];
        if (i >= report.loo.size() || !report.loo[i]) {
            fmt::print("{:>5} {:<10} {:>4} {:>10}\n", i + 1, r.name, r.use ? "on" : "off", "-");
            continue;
        }
        const PointLoo& l = *report.loo[i];
        const GcpResidual& e = l.residual;
        fmt::print("{:>5} {:<10} {:>4} {:>10.4f} {:>10.4f} {:>9.4f} {:>12.6g} {:>12.6g} {:>12.6g} {:>9.4f} {:>10.4g}\n",
                   i + 1, r.name, r.use ? "on" : "off", e.pixel, e.line, std::hypot(e.pixel, e.line), e.x, e.y,
                   std::hypot(e.x, e.y), l.leverage, l.influence);
    }
}

void PrintComparison(const std::vector<TypeComparison>& rows) {
    fmt::print("\n{:<11} {:>4} {:>6} {:>12} {:>14} {:>14} {:>12} {:>14} {:>5}\n", "type", "min", "params", "used px",
               "used map", "predict map", "check px", "check map", "rank");
    const TypeComparison* best = nullptr;
    for (const TypeComparison& c : rows) {
        auto cell = [](const std::optional<FitFigures>& f, bool pixel) {
            return f ? fmt::format("{:.4g}", pixel ? f->pixelRms : f->mapRms) : std::string("-");
        };
        std::string predict = c.predictionMap ? fmt::format("{:.4g}", *c.predictionMap) : std::string("-");
        std::string rank = c.rank > 0 ? std::to_string(c.rank) : std::string("-");
        fmt::print("{:<11} {:>4} {:>6} {:>12} {:>14} {:>14} {:>12} {:>14} {:>5}{}\n", TransTypeName(c.transType),
                   c.minPoints, c.parameters, cell(c.used, true), cell(c.used, false), predict, cell(c.check, true),
                   cell(c.check, false), rank, c.used ? "" : "  (too few points, or degenerate)");
        if (c.rank == 1) best = &c;
    }
    if (best != nullptr)
        fmt::print("best by prediction RMS (the error where there is no point): {}; the group's type is unchanged\n",
                   TransTypeName(best->transType));
}

// The predicted standard error over the raster frame (or the points'
// extent without a raster size), on a grid of cells.
ErrorShading PredictedErrorGrid(CCtrlPntSet& set, const FitReport& report, const RasterSize& size) {
    double x0 = 0, y0 = 0, x1 = static_cast<double>(size.columns), y1 = static_cast<double>(size.rows);
    if (!(size.columns > 0 && size.rows > 0)) {
        if (report.rows.empty()) return {};
        x0 = x1 = report.rows[0].pixel, y0 = y1 = report.rows[0].line;
        for (const GcpRow& r : report.rows) {
            x0 = std::min(x0, r.pixel), x1 = std::max(x1, r.pixel);
            y0 = std::min(y0, r.line), y1 = std::max(y1, r.line);
        }
    }
    if (!(x1 > x0 && y1 > y0)) return {};
    ErrorShading g;
    const double side = std::max(x1 - x0, y1 - y0) / 48.0;
    g.columns = std::max(1, static_cast<int>(std::ceil((x1 - x0) / side)));
    g.rows = std::max(1, static_cast<int>(std::ceil((y1 - y0) / side)));
    g.pixel0 = x0, g.line0 = y0, g.cellWidth = (x1 - x0) / g.columns, g.cellHeight = (y1 - y0) / g.rows;
    const double lineSign = StoredLineSign(report.orientType);
    for (int j = 0; j < g.rows; ++j)
        for (int i = 0; i < g.columns; ++i) {
            TmPositionError e;
            const double px = x0 + (i + 0.5) * g.cellWidth, line = y0 + (j + 0.5) * g.cellHeight;
            const bool ok = set.GetPositionError(px, lineSign * line, &e) == TM_OK;
            g.values.push_back(ok ? e.Radial : std::nan(""));
        }
    g.caption = report.transType == TM_TRANS_TPS
                    ? "estimated error, from the nearest points' leave-one-out residuals"
                    : "predicted standard error of the converted position";
    return g;
}

void WriteSvg(const std::string& path, const FitReport& report, const std::string& title, const RasterSize& size) {
    CCtrlPntSet set;
    LoadPointSet(set, report.records, report.orientType, report.transType);
    std::vector<bool> outliers(report.rows.size(), false);
    if (set.FindOutliers(nullptr, nullptr, nullptr) == TM_OK) {
        for (unsigned long i = 1; i <= report.rows.size(); ++i) {
            _CtrlPntStrcT p;
            if (set.GetOneGCP(i, &p) == TM_OK) outliers[i - 1] = p.Err.Code == TM_CHECK_ROBUST_OUTLIER;
        }
    }
    std::vector<SvgPoint> points;
    for (std::size_t k = 0; k < report.rows.size(); ++k) {
        const GcpRow& r = report.rows[k];
        SvgPoint p;
        p.pixel = r.pixel;
        p.line = r.line;
        p.used = r.use;
        p.hasResidual = r.residual.has_value();
        if (r.residual) {
            p.residualPixel = r.residual->pixel;
            p.residualLine = r.residual->line;
        }
        p.label = r.name.empty() ? std::to_string(r.id) : r.name;
        p.outlier = outliers[k];
        points.push_back(p);
    }
    SvgOptions options;
    options.shading = PredictedErrorGrid(set, report, size);
    options.title = title;
    options.columns = size.columns;
    options.rows = size.rows;
    options.notes.push_back("used points: " + FiguresText(report.used));
    options.notes.push_back("check points: " + FiguresText(report.check));
    std::string svg = DrawResidualSvg(points, options);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << svg;
    out.close();
    if (!out) throw Refusal(fmt::format("{}: cannot write: {}", path, std::strerror(errno)));
}

void RunReport(const ReportOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Read);
    FitReport report;
    {
        GroupScope scope(*area, o.area.group);
        report = MakeFitReport(*area);
    }
    area->Discard();
    std::vector<TypeComparison> comparison;
    if (o.compare) comparison = CompareTypes(report.rows);
    std::string title = fmt::format("{} group {}: {} fit, {} points", ShownAreaAddress(o.area.area), o.area.group,
                                    TransTypeName(report.transType), report.rows.size());
    if (!o.svg.empty()) WriteSvg(o.svg, report, title, ParseRasterSize(o.area.size));

    if (o.area.json) {
        nlohmann::json out;
        out["area"] = area->Address().Describe();
        out["group"] = o.area.group;
        out["type"] = TransTypeName(report.transType);
        out["points"] = nlohmann::json::array();
        for (std::size_t i = 0; i < report.rows.size(); ++i) {
            const GcpRow& r = report.rows[i];
            nlohmann::json p{{"index", i + 1}, {"name", r.name}, {"id", r.id}, {"pixel", r.pixel},
                             {"line", r.line}, {"use", r.use}};
            if (r.residual) {
                p["res_pixel"] = r.residual->pixel;
                p["res_line"] = r.residual->line;
                p["res_x"] = r.residual->x;
                p["res_y"] = r.residual->y;
            }
            if (i < report.loo.size() && report.loo[i]) {
                const PointLoo& l = *report.loo[i];
                p["loo_pixel"] = l.residual.pixel;
                p["loo_line"] = l.residual.line;
                p["loo_x"] = l.residual.x;
                p["loo_y"] = l.residual.y;
                p["leverage"] = l.leverage;
                p["influence"] = l.influence;
            }
            out["points"].push_back(p);
        }
        out["used"] = FiguresJson(report.used);
        out["check"] = FiguresJson(report.check);
        out["prediction"] = nullptr;
        if (report.prediction)
            out["prediction"] = {{"rms_map", report.prediction->mapRms}, {"rms_pixel", report.prediction->pixelRms}};
        if (o.compare) {
            out["compare"] = nlohmann::json::array();
            out["best"] = nullptr;
            for (const TypeComparison& c : comparison) {
                nlohmann::json predict = nullptr;
                if (c.predictionMap) predict = *c.predictionMap;
                out["compare"].push_back({{"type", TransTypeName(c.transType)},
                                          {"min_points", c.minPoints},
                                          {"parameters", c.parameters},
                                          {"used", FiguresJson(c.used)},
                                          {"check", FiguresJson(c.check)},
                                          {"prediction_rms_map", predict},
                                          {"rank", c.rank}});
                if (c.rank == 1) out["best"] = TransTypeName(c.transType);
            }
        }
        PrintJson(out);
        return;
    }
    fmt::print("{}\n\n", title);
    PrintTable(report);
    std::size_t checkCount = 0;
    for (const GcpRow& r : report.rows) checkCount += r.use ? 0 : 1;
    fmt::print("\nused points ({}): {}\n", report.rows.size() - checkCount,
               report.used ? FiguresText(report.used) : "no fit (too few used points, or degenerate)");
    if (checkCount > 0) fmt::print("check points ({}): {}\n", checkCount, FiguresText(report.check));
    if (report.prediction)
        fmt::print("prediction RMS (leave-one-out): {:.4g} px, {:.6g} map units\n", report.prediction->pixelRms,
                   report.prediction->mapRms);
    PrintLeaveOneOut(report);
    if (o.compare) PrintComparison(comparison);
    std::fflush(stdout);
    if (!o.svg.empty()) fmt::print(stderr, "wrote {}\n", o.svg);
}

}  // namespace

void AddReportCommand(CLI::App& app) {
    auto options = std::make_shared<ReportOptions>();
    CLI::App* c = app.add_subcommand("report", "residuals and RMS error of a group's fit; check points apart");
    AddAreaArgument(*c, options->area);
    AddGroupOption(*c, options->area);
    AddJsonFlag(*c, options->area);
    c->add_flag("--compare", options->compare,
                "also fit every transformation type with enough points and compare (the area is not changed)");
    c->add_option("--svg", options->svg, "draw the residual vectors over the point layout into this SVG file");
    c->callback([options] { RunReport(*options); });
}

}  // namespace morvane::tool
