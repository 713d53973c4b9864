// The commands that work on an area as a whole or on its groups: new,
// info, list, group add|delete, set-type and copy.
#include "CommandContext.h"
#include "Commands.h"
#include "LineAxis.h"
#include "Progress.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <memory>

namespace morvane::tool {

void AddAreaArgument(CLI::App& command, AreaOptions& options) {
    command.add_option("AREA", options.area, "control-point file, sqlite:DBPATH#AREA_NAME:KEY or postgresql://USER@HOST:PORT/DB#AREA_NAME:KEY")->required();
    command.add_option("--size", options.size,
                       "raster size COLSxROWS: the groups' map ranges are computed from the raster frame "
                       "(default 0x0: from the points)");
}

void AddGroupOption(CLI::App& command, AreaOptions& options) {
    command.add_option("-g,--group", options.group, "group number (from 1)")->required();
}

void AddJsonFlag(CLI::App& command, AreaOptions& options) {
    command.add_flag("--json", options.json, "write JSON for scripts");
}

namespace {

nlohmann::json NumberOrNull(std::optional<double> value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

struct GroupSummary {
    unsigned long number = 0;
    unsigned long points = 0;
    unsigned long used = 0;
    GroupType type;
    std::optional<std::array<double, 4>> range;
    std::optional<double> pixelRms;
    std::optional<double> mapRms;
};

GroupSummary SummariseGroup(AreaHandle& area, unsigned long number) {
    GroupScope scope(area, number);
    GroupSummary s;
    s.number = number;
    s.type = ReadGroupType(area);
    for (const _CtrlPntStrcT& p : ReadPoints(area)) {
        ++s.points;
        if (p.UseFlag) ++s.used;
    }
    std::array<double, 4> r{};
    if (area.GetGCPCoordRect(r[0], r[1], r[2], r[3]) == 1) s.range = r;
    double mapRms = 0, pixelRms = 0;
    if (area.GetGCPRMSError(mapRms, pixelRms) == 1) {
        s.mapRms = mapRms;
        s.pixelRms = pixelRms;
    }
    return s;
}

void RunInfo(const AreaOptions& options) {
    std::unique_ptr<AreaHandle> area = OpenArea(options, OpenMode::Read);
    unsigned long count = GroupCount(*area);
    std::vector<GroupSummary> groups;
    for (unsigned long g = 1; g <= count; ++g) groups.push_back(SummariseGroup(*area, g));
    area->Discard();
    if (options.json) {
        nlohmann::json out;
        out["area"] = area->Address().Describe();
        out["groups"] = nlohmann::json::array();
        for (const GroupSummary& s : groups) {
            nlohmann::json g;
            g["group"] = s.number;
            g["points"] = s.points;
            g["used"] = s.used;
            g["type"] = TransTypeName(s.type.trans);
            g["orientation"] = s.type.orient == TM_ORIENT_LINE_UP ? "line-up" : "line-down";
            g["range"] = s.range ? nlohmann::json(*s.range) : nlohmann::json(nullptr);
            g["rms_pixel"] = NumberOrNull(s.pixelRms);
            g["rms_map"] = NumberOrNull(s.mapRms);
            out["groups"].push_back(g);
        }
        PrintJson(out);
        return;
    }
    fmt::print("area {}: {} group{}\n", area->Address().Describe(), count, count == 1 ? "" : "s");
    for (const GroupSummary& s : groups) {
        fmt::print("group {}: {} points ({} used, {} check), {}, {}\n", s.number, s.points, s.used,
                   s.points - s.used, TransTypeName(s.type.trans),
                   s.type.orient == TM_ORIENT_LINE_UP ? "lines stored upward" : "lines downward");
        if (s.range) {
            fmt::print("  map range: x {} .. {}, y {} .. {}\n", FormatNumber((*s.range)[0]),
                       FormatNumber((*s.range)[2]), FormatNumber((*s.range)[1]), FormatNumber((*s.range)[3]));
        }
        if (s.pixelRms) {
            fmt::print("  fit RMS: {:.6g} px, {:.6g} map units\n", *s.pixelRms, *s.mapRms);
        } else {
            fmt::print("  fit: none (a {} fit needs {} used points that are not collinear)\n",
                       TransTypeName(s.type.trans), CCtrlPntSet::MinPointsForType(s.type.trans));
        }
    }
}

void RunList(const AreaOptions& options) {
    std::unique_ptr<AreaHandle> area = OpenArea(options, OpenMode::Read);
    std::vector<GcpRow> rows;
    {
        GroupScope scope(*area, options.group);
        GroupType type = ReadGroupType(*area);
        std::vector<_CtrlPntStrcT> points = ReadPoints(*area);
        for (unsigned long i = 1; i <= points.size(); ++i) {
            GcpRow row = RowFromRecord(points[i - 1], type.orient);
            row.residual = ResidualOf(*area, i, type.orient);
            rows.push_back(row);
        }
    }
    area->Discard();
    if (options.json) {
        nlohmann::json out = nlohmann::json::array();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const GcpRow& r = rows[i];
            nlohmann::json p{{"index", i + 1}, {"name", r.name}, {"id", r.id}, {"pixel", r.pixel},
                             {"line", r.line}, {"x", r.x}, {"y", r.y}, {"z", r.z}, {"use", r.use},
                             {"edit", r.edit}};
            if (r.residual) {
                p["res_pixel"] = r.residual->pixel;
                p["res_line"] = r.residual->line;
                p["res_x"] = r.residual->x;
                p["res_y"] = r.residual->y;
            }
            out.push_back(p);
        }
        PrintJson(out);
        return;
    }
    fmt::print("{:>5} {:<12} {:>6} {:>14} {:>14} {:>18} {:>18} {:>10} {:>3} {:>4} {:>10} {:>10}\n", "index", "name",
               "id", "pixel", "line", "x", "y", "z", "use", "edit", "res_pixel", "res_line");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const GcpRow& r = rows[i];
        std::string resPixel = r.residual ? fmt::format("{:.4f}", r.residual->pixel) : "-";
        std::string resLine = r.residual ? fmt::format("{:.4f}", r.residual->line) : "-";
        fmt::print("{:>5} {:<12} {:>6} {:>14.4f} {:>14.4f} {:>18.6f} {:>18.6f} {:>10.3f} {:>3} {:>4} {:>10} {:>10}\n",
                   i + 1, r.name, r.id, r.pixel, r.line, r.x, r.y, r.z, r.use ? "on" : "off",
                   r.edit ? "on" : "off", resPixel, resLine);
    }
}

void RunNew(const AreaOptions& options) {
    CreateEmptyStore(ParseAreaAddress(options.area));
    fmt::print(stderr, "created an empty area {}\n", ShownAreaAddress(options.area));
}

struct GroupAddOptions {
    AreaOptions area;
    unsigned long at = 0;
    std::string type;
};

void RunGroupAdd(const GroupAddOptions& options) {
    std::optional<short> type;
    if (!options.type.empty()) {
        type = TransTypeByName(options.type);
        if (!type) throw std::invalid_argument(fmt::format("unknown type \"{}\": one of {}", options.type, kTransTypeHelp));
    }
    std::unique_ptr<AreaHandle> area = OpenArea(options.area, OpenMode::Change);
    unsigned long count = GroupCount(*area);
    unsigned long at = options.at == 0 ? count + 1 : options.at;
    if (at > count + 1) throw Refusal(fmt::format("group {}: the area holds {} groups; a new group goes at 1 to {}", at, count, count + 1));
    if (area->CreateGCPGroup(at) != 1) throw Refusal(fmt::format("group {}: cannot be created", at));
    if (type) {
        GroupScope scope(*area, at);
        if (area->SetGCPGroupType(*type) != 1) throw Refusal("the type cannot be set");
    }
    area->Commit();
    fmt::print(stderr, "created group {} ({})\n", at, type ? TransTypeName(*type) : "poly1");
}

void RunGroupDelete(const AreaOptions& options) {
    std::unique_ptr<AreaHandle> area = OpenArea(options, OpenMode::Change);
    unsigned long count = GroupCount(*area);
    if (options.group < 1 || options.group > count) {
        throw Refusal(fmt::format("group {}: no such group (the area holds {})", options.group, count));
    }
    if (area->DeleteGCPGroup(options.group) != 1) throw Refusal(fmt::format("group {}: cannot be deleted", options.group));
    area->Commit();
    fmt::print(stderr, "deleted group {}; groups after it moved down by one\n", options.group);
}

struct SetTypeOptions {
    AreaOptions area;
    std::string type;
};

void RunSetType(const SetTypeOptions& options) {
    std::optional<short> type = TransTypeByName(options.type);
    if (!type) throw std::invalid_argument(fmt::format("unknown type \"{}\": one of {}", options.type, kTransTypeHelp));
    std::unique_ptr<AreaHandle> area = OpenArea(options.area, OpenMode::Change);
    {
        GroupScope scope(*area, options.area.group);
        if (area->SetGCPGroupType(*type) != 1) throw Refusal(fmt::format("the type cannot be set to {}", options.type));
    }
    area->Commit();
}

// ---- copy -----------------------------------------------------------------

struct CopyOptions {
    AreaOptions source;
    AreaOptions target;
    bool append = false;
    bool replace = false;
};

struct GroupContent {
    short transType = TM_TRANS_POLY1;
    std::vector<_CtrlPntStrcT> points;   // lines downward
};

std::vector<GroupContent> ReadAllGroups(AreaHandle& area) {
    std::vector<GroupContent> groups;
    unsigned long count = GroupCount(area);
    for (unsigned long g = 1; g <= count; ++g) {
        GroupScope scope(area, g);
        GroupType type = ReadGroupType(area);
        GroupContent content;
        content.transType = type.trans;
        content.points = ReadPoints(area);
        // New groups count lines downward; a group stored the other way is
        // turned round so that it means the same after the copy.
        const double lineSign = StoredLineSign(type.orient);
        for (_CtrlPntStrcT& p : content.points) p.PixelY *= lineSign;
        groups.push_back(std::move(content));
    }
    return groups;
}

void RunCopy(const CopyOptions& options) {
    if (options.append && options.replace) throw std::invalid_argument("--append and --replace exclude each other");
    std::vector<GroupContent> groups;
    {
        std::unique_ptr<AreaHandle> source = OpenArea(options.source, OpenMode::Read);
        groups = ReadAllGroups(*source);
        source->Discard();
    }
    std::unique_ptr<AreaHandle> target = OpenArea(options.target, OpenMode::ChangeOrMake);
    unsigned long existing = GroupCount(*target);
    if (existing > 0 && !options.append && !options.replace) {
        throw Refusal(fmt::format("{} already holds {} groups: give --append or --replace",
                                      ShownAreaAddress(options.target.area), existing));
    }
    if (options.replace) {
        for (unsigned long g = existing; g >= 1; --g) {
            if (target->DeleteGCPGroup(g) != 1) throw Refusal(fmt::format("group {} of the target cannot be deleted", g));
        }
        existing = 0;
    }
    std::size_t total = 0;
    for (const GroupContent& g : groups) total += g.points.size();
    Progress progress("copy", total);
    for (std::size_t k = 0; k < groups.size(); ++k) {
        unsigned long number = existing + k + 1;
        if (target->CreateGCPGroup(number) != 1) throw Refusal(fmt::format("group {} cannot be created", number));
        GroupScope scope(*target, number);
        if (target->SetGCPGroupType(groups[k].transType) != 1) {
            throw Refusal(fmt::format("group {}: type {} refused", number, TransTypeName(groups[k].transType)));
        }
        AppendRecords(*target, groups[k].points, progress,
                      [&](std::size_t i) { return fmt::format("group {}: point {}", number, i + 1); });
    }
    progress.Finish();
    target->Commit();
    fmt::print(stderr, "copied {} groups ({} points) from {} to {}\n", groups.size(), total,
               ShownAreaAddress(options.source.area), ShownAreaAddress(options.target.area));
}

}  // namespace

void AddAreaCommands(CLI::App& app) {
    auto newOptions = std::make_shared<AreaOptions>();
    CLI::App* create = app.add_subcommand("new", "create an empty area (a control-point file or database record)");
    create->add_option("AREA", newOptions->area, "control-point file, sqlite:DBPATH#AREA_NAME:KEY or postgresql://USER@HOST:PORT/DB#AREA_NAME:KEY")->required();
    create->callback([newOptions] { RunNew(*newOptions); });

    auto infoOptions = std::make_shared<AreaOptions>();
    CLI::App* info = app.add_subcommand("info", "the groups of an area: point counts, types, ranges, fit quality");
    AddAreaArgument(*info, *infoOptions);
    AddJsonFlag(*info, *infoOptions);
    info->callback([infoOptions] { RunInfo(*infoOptions); });

    auto listOptions = std::make_shared<AreaOptions>();
    CLI::App* list = app.add_subcommand("list", "the points of a group, with flags and residuals");
    AddAreaArgument(*list, *listOptions);
    AddGroupOption(*list, *listOptions);
    AddJsonFlag(*list, *listOptions);
    list->callback([listOptions] { RunList(*listOptions); });

    CLI::App* group = app.add_subcommand("group", "add or delete groups");
    group->require_subcommand(1);
    auto addOptions = std::make_shared<GroupAddOptions>();
    CLI::App* add = group->add_subcommand("add", "create an empty group");
    AddAreaArgument(*add, addOptions->area);
    add->add_option("--at", addOptions->at, "its number (default: after the last group); later groups move up");
    add->add_option("-t,--type", addOptions->type, std::string("transformation type: ") + kTransTypeHelp);
    add->callback([addOptions] { RunGroupAdd(*addOptions); });
    auto deleteOptions = std::make_shared<AreaOptions>();
    CLI::App* remove = group->add_subcommand("delete", "delete a group and its points; later groups move down");
    AddAreaArgument(*remove, *deleteOptions);
    AddGroupOption(*remove, *deleteOptions);
    remove->callback([deleteOptions] { RunGroupDelete(*deleteOptions); });

    auto typeOptions = std::make_shared<SetTypeOptions>();
    CLI::App* setType = app.add_subcommand("set-type", "change a group's transformation type (points are kept)");
    AddAreaArgument(*setType, typeOptions->area);
    AddGroupOption(*setType, typeOptions->area);
    setType->add_option("TYPE", typeOptions->type, kTransTypeHelp)->required();
    setType->callback([typeOptions] { RunSetType(*typeOptions); });

    auto copyOptions = std::make_shared<CopyOptions>();
    CLI::App* copy = app.add_subcommand("copy", "copy every group of one area into another (file or database)");
    copy->add_option("SRC", copyOptions->source.area, "area to read")->required();
    copy->add_option("DST", copyOptions->target.area, "area to write (created when missing)")->required();
    copy->add_option("--size", copyOptions->target.size, "raster size COLSxROWS for the target's map ranges");
    copy->add_flag("--append", copyOptions->append, "add the groups after the target's own");
    copy->add_flag("--replace", copyOptions->replace, "delete the target's groups first");
    copy->callback([copyOptions] { RunCopy(*copyOptions); });
}

}  // namespace morvane::tool
