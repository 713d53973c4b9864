// point add|update|delete|use|edit: edits one point of a group.
//
// Positions are given as the exchange formats give them: pixel and line
// with the line axis pointing down, whatever the group stores.
#include "CommandContext.h"
#include "Commands.h"

#include <fmt/format.h>

#include <memory>

namespace morvane::tool {

namespace {

struct PointOptions {
    AreaOptions area;
    unsigned long index = 0;
    std::optional<double> pixel, line, x, y, z;
    std::optional<std::string> name;
    std::optional<std::int32_t> id;
    bool check = false;
    bool locked = false;
    std::string state;   // "on" / "off" for use and edit
};

void RequireIndex(AreaHandle& area, unsigned long index) {
    unsigned long count = PointCount(area);
    if (index < 1 || index > count) {
        throw Refusal(fmt::format("point {}: no such point (the group holds {})", index, count));
    }
}

void RequireUnlocked(AreaHandle& area, unsigned long index) {
    bool edit = true;
    if (area.GetOneGCPEditOnOff(index, edit) != 1) throw Refusal(fmt::format("point {}: cannot be read", index));
    if (!edit) throw Refusal(fmt::format("point {} is locked (unlock it with `point edit ... -i {} on`)", index, index));
}

bool ParseState(const std::string& state) {
    if (state == "on" || state == "1" || state == "true") return true;
    if (state == "off" || state == "0" || state == "false") return false;
    throw std::invalid_argument(fmt::format("\"{}\": expected on or off", state));
}

void RunAdd(const PointOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Change);
    unsigned long at = 0;
    {
        GroupScope scope(*area, o.area.group);
        GroupType type = ReadGroupType(*area);
        unsigned long count = PointCount(*area);
        at = o.index == 0 ? count + 1 : o.index;
        if (at > count + 1) throw Refusal(fmt::format("point {}: the group holds {} points; add at 1 to {}", at, count, count + 1));
        GcpRow row;
        row.pixel = *o.pixel;
        row.line = *o.line;
        row.x = *o.x;
        row.y = *o.y;
        row.z = o.z.value_or(0.0);
        row.name = o.name.value_or("");
        row.id = o.id.value_or(static_cast<std::int32_t>(at));
        row.use = !o.check;
        row.edit = !o.locked;
        _CtrlPntStrcT record = RecordFromRow(row, type.orient);
        area->AddOneGCP(at, &record);
        // A point that is in but whose range update failed still counts.
        if (PointCount(*area) != count + 1) throw Refusal("the point was refused by the group");
        area->SetOneGcpUseOnOff(at, row.use);
        area->SetOneGCPEditOnOff(at, row.edit);
    }
    area->Commit();
    fmt::print(stderr, "added point {} to group {}\n", at, o.area.group);
}

void RunUpdate(const PointOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Change);
    {
        GroupScope scope(*area, o.area.group);
        GroupType type = ReadGroupType(*area);
        RequireIndex(*area, o.index);
        RequireUnlocked(*area, o.index);
        _CtrlPntStrcT record{};
        if (area->GetOneGCP(o.index, &record) != 1) throw Refusal(fmt::format("point {}: cannot be read", o.index));
        GcpRow row = RowFromRecord(record, type.orient);
        if (o.pixel) row.pixel = *o.pixel;
        if (o.line) row.line = *o.line;
        if (o.x) row.x = *o.x;
        if (o.y) row.y = *o.y;
        if (o.z) row.z = *o.z;
        if (o.name) row.name = *o.name;
        if (o.id) row.id = *o.id;
        _CtrlPntStrcT updated = RecordFromRow(row, type.orient);
        // Keep the library's own part of the record (its last check).
        updated.Err = record.Err;
        area->UpdateOneGCP(o.index, &updated);
        _CtrlPntStrcT stored{};
        area->GetOneGCP(o.index, &stored);
        if (stored.PixelX != updated.PixelX || stored.PixelY != updated.PixelY || stored.UserX != updated.UserX ||
            stored.UserY != updated.UserY) {
            throw Refusal(fmt::format("point {}: the update was refused", o.index));
        }
    }
    area->Commit();
}

void RunDelete(const PointOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Change);
    {
        GroupScope scope(*area, o.area.group);
        RequireIndex(*area, o.index);
        RequireUnlocked(*area, o.index);
        unsigned long count = PointCount(*area);
        area->DeleteOneGCP(o.index);
        if (PointCount(*area) != count - 1) throw Refusal(fmt::format("point {}: cannot be deleted", o.index));
    }
    area->Commit();
}

void RunFlag(const PointOptions& o, bool useFlag) {
    bool on = ParseState(o.state);
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Change);
    {
        GroupScope scope(*area, o.area.group);
        RequireIndex(*area, o.index);
        if (useFlag) {
            RequireUnlocked(*area, o.index);
            if (area->SetOneGcpUseOnOff(o.index, on) != 1) throw Refusal("the use flag cannot be set");
        } else if (area->SetOneGCPEditOnOff(o.index, on) != 1) {
            throw Refusal("the edit flag cannot be set");
        }
    }
    area->Commit();
}

void AddPositionOptions(CLI::App& c, PointOptions& o, bool required) {
    auto* pixel = c.add_option("--pixel", o.pixel, "pixel (column) position, 0 = left edge");
    auto* line = c.add_option("--line", o.line, "line (row) position, 0 = top edge, growing downward");
    auto* x = c.add_option("--x", o.x, "map X");
    auto* y = c.add_option("--y", o.y, "map Y");
    c.add_option("--z", o.z, "elevation (carried, not fitted)");
    c.add_option("--name", o.name, "identifier, up to 31 bytes");
    c.add_option("--id", o.id, "numeric identifier (default: the point's index)");
    if (required) {
        pixel->required();
        line->required();
        x->required();
        y->required();
    }
}

}  // namespace

void AddPointCommands(CLI::App& app) {
    CLI::App* point = app.add_subcommand("point", "add, change, delete or flag one point of a group");
    point->require_subcommand(1);

    auto addOptions = std::make_shared<PointOptions>();
    CLI::App* add = point->add_subcommand("add", "add a point");
    AddAreaArgument(*add, addOptions->area);
    AddGroupOption(*add, addOptions->area);
    AddPositionOptions(*add, *addOptions, true);
    add->add_option("-i,--index", addOptions->index, "insert as this index (default: last)");
    add->add_flag("--check", addOptions->check, "a check point: not used in the fit");
    add->add_flag("--locked", addOptions->locked, "lock the point against edits");
    add->callback([addOptions] { RunAdd(*addOptions); });

    auto updateOptions = std::make_shared<PointOptions>();
    CLI::App* update = point->add_subcommand("update", "change the given fields of a point");
    AddAreaArgument(*update, updateOptions->area);
    AddGroupOption(*update, updateOptions->area);
    update->add_option("-i,--index", updateOptions->index, "point index (from 1)")->required();
    AddPositionOptions(*update, *updateOptions, false);
    update->callback([updateOptions] { RunUpdate(*updateOptions); });

    auto deleteOptions = std::make_shared<PointOptions>();
    CLI::App* remove = point->add_subcommand("delete", "delete a point; later points move down");
    AddAreaArgument(*remove, deleteOptions->area);
    AddGroupOption(*remove, deleteOptions->area);
    remove->add_option("-i,--index", deleteOptions->index, "point index (from 1)")->required();
    remove->callback([deleteOptions] { RunDelete(*deleteOptions); });

    for (bool useFlag : {true, false}) {
        auto options = std::make_shared<PointOptions>();
        CLI::App* flag = point->add_subcommand(useFlag ? "use" : "edit",
                                               useFlag ? "use a point in the fit (on) or keep it as a check point (off)"
                                                       : "unlock (on) or lock (off) a point against edits");
        AddAreaArgument(*flag, options->area);
        AddGroupOption(*flag, options->area);
        flag->add_option("-i,--index", options->index, "point index (from 1)")->required();
        flag->add_option("STATE", options->state, "on or off")->required();
        flag->callback([options, useFlag] { RunFlag(*options, useFlag); });
    }
}

}  // namespace morvane::tool
