// refine: the points of a group that do not belong, found by a robust fit,
// each with its reasons; --apply makes them check points (locked points
// are left and named).  Nothing is ever deleted.
#include "CommandContext.h"
#include "Commands.h"
#include "FitReport.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace morvane::tool {

namespace {

struct RefineOptions {
    AreaOptions area;
    bool apply = false;
};

struct Finding {
    unsigned long index = 0;
    std::string name;
    bool conflict = false;
    unsigned long other = 0;      // conflicts: the other point
    double residualMap = 0.0;     // robust fit residual, map units
    double score = 0.0;           // residual in robust scales
    std::optional<TmLooFigures> loo;
    bool locked = false;
    bool wasUsed = true;
};

const char* Reason(long rc) {
    switch (rc) {
        case TM_ERR_TOO_FEW: return "too few used points for a robust fit of this type";
        case TM_ERR_DEGENERATE: return "the used points allow no robust fit of this type (degenerate or too little redundancy)";
        default: return "the robust fit failed";
    }
}

void RunRefine(const RefineOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, o.apply ? OpenMode::Change : OpenMode::Read);
    std::vector<Finding> findings;
    double scale = 0.0;
    short transType = 0;
    unsigned long turnedOff = 0;
    {
        GroupScope scope(*area, o.area.group);
        GroupType type = ReadGroupType(*area);
        transType = type.trans;
        std::vector<_CtrlPntStrcT> points = ReadPoints(*area);
        CCtrlPntSet set;
        LoadPointSet(set, points, type.orient, type.trans);
        if (long rc = set.FindOutliers(nullptr, nullptr, &scale); rc != TM_OK)
            throw Refusal(fmt::format("group {}: {}", o.area.group, Reason(rc)));
        for (unsigned long i = 1; i <= points.size(); ++i) {
            _CtrlPntStrcT p;
            if (set.GetOneGCP(i, &p) != TM_OK) continue;
            if (p.Err.Code != TM_CHECK_ROBUST_OUTLIER && p.Err.Code != TM_CHECK_CONFLICT) continue;
            Finding f;
            f.index = i;
            f.name = p.Name;
            f.conflict = p.Err.Code == TM_CHECK_CONFLICT;
            f.other = static_cast<unsigned long>(p.Err.Other);
            f.residualMap = std::hypot(p.Err.ResidualX, p.Err.ResidualY);
            f.score = scale > 0.0 ? f.residualMap / scale : 0.0;
            TmLooFigures loo;
            if (set.GetLooResidual(i, &loo) == TM_OK) f.loo = loo;
            f.locked = p.EditFlag == 0;
            f.wasUsed = p.UseFlag != 0;
            findings.push_back(f);
        }
        if (o.apply) {
            for (const Finding& f : findings) {
                if (f.conflict || f.locked || !f.wasUsed) continue;
                if (area->SetOneGcpUseOnOff(f.index, false) != 1)
                    throw Refusal(fmt::format("point {}: the use flag cannot be set", f.index));
                ++turnedOff;
            }
        }
    }
    if (o.apply) area->Commit(); else area->Discard();

    if (o.area.json) {
        nlohmann::json out;
        out["area"] = area->Address().Describe();
        out["group"] = o.area.group;
        out["type"] = TransTypeName(transType);
        out["robust_scale_map"] = scale;
        out["applied"] = o.apply;
        out["turned_off"] = turnedOff;
        out["findings"] = nlohmann::json::array();
        for (const Finding& f : findings) {
            nlohmann::json j{{"index", f.index}, {"name", f.name}, {"kind", f.conflict ? "conflict" : "outlier"},
                             {"locked", f.locked}, {"used", f.wasUsed}};
            if (f.conflict) {
                j["other"] = f.other;
            } else {
                j["robust_residual_map"] = f.residualMap;
                j["robust_scales"] = f.score;
            }
            if (f.loo) {
                j["loo_map"] = std::hypot(f.loo->UserDX, f.loo->UserDY);
                j["loo_pixel"] = std::hypot(f.loo->PixelDX, f.loo->PixelDY);
            }
            out["findings"].push_back(j);
        }
        PrintJson(out);
        return;
    }
    fmt::print("group {} ({}): robust scale {:.6g} map units; {} finding(s)\n", o.area.group, TransTypeName(transType),
               scale, findings.size());
    for (const Finding& f : findings) {
        std::string loo = f.loo ? fmt::format("; leave-one-out residual {:.4g} px, {:.6g} map units",
                                              std::hypot(f.loo->PixelDX, f.loo->PixelDY),
                                              std::hypot(f.loo->UserDX, f.loo->UserDY))
                                : std::string();
        if (f.conflict) {
            fmt::print("  point {} {}: conflicts with point {} (same pixel position and another map position, or the "
                       "reverse)\n", f.index, f.name, f.other);
            continue;
        }
        fmt::print("  point {} {}: outlier, {:.6g} map units off the robust fit = {:.1f} robust scales{}{}\n", f.index,
                   f.name, f.residualMap, f.score, loo,
                   f.locked ? " [locked: left as it is]" : f.wasUsed ? "" : " [already a check point]");
    }
    if (o.apply) fmt::print("turned {} point(s) into check points\n", turnedOff);
    std::fflush(stdout);
}

}  // namespace

void AddRefineCommand(CLI::App& app) {
    auto options = std::make_shared<RefineOptions>();
    CLI::App* c = app.add_subcommand("refine", "find points that do not belong (robust fit); nothing is deleted");
    AddAreaArgument(*c, options->area);
    AddGroupOption(*c, options->area);
    AddJsonFlag(*c, options->area);
    c->add_flag("--apply", options->apply,
                "turn the outliers' use flags off (they stay as check points); locked points are left and named");
    c->callback([options] { RunRefine(*options); });
}

}  // namespace morvane::tool
