#include "CommandContext.h"

#include "Progress.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace morvane::tool {

const char* const kTransTypeHelp =
    "poly1 (affine, 3 points), poly2 (6), poly3 (10), similarity (2), projective (4), tps (thin plate spline, 3)";
const short kAllTransTypes[6] = {TM_TRANS_SIMILARITY, TM_TRANS_POLY1, TM_TRANS_PROJECTIVE,
                                 TM_TRANS_POLY2,      TM_TRANS_POLY3, TM_TRANS_TPS};

RasterSize ParseRasterSize(const std::string& text) {
    if (text.empty()) return {};
    std::size_t x = text.find_first_of("xX");
    auto number = [&](std::string_view s) {
        long value = -1;
        auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (error != std::errc() || end != s.data() + s.size() || value < 0 || value > 2147483647L) {
            throw std::invalid_argument(fmt::format("--size \"{}\": expected COLSxROWS, e.g. 4000x3000", text));
        }
        return value;
    };
    if (x == std::string::npos) number("-");
    std::string_view all(text);
    return {number(all.substr(0, x)), number(all.substr(x + 1))};
}

std::unique_ptr<AreaHandle> OpenArea(const AreaOptions& options, OpenMode mode) {
    AreaAddress address = ParseAreaAddress(options.area);
    RasterSize size = ParseRasterSize(options.size);
    return OpenAreaHandle(address, mode, size.columns, size.rows);
}

unsigned long GroupCount(AreaHandle& area) {
    unsigned long count = 0;
    if (area.GetGCPGroupNum(count) != 1) throw Refusal("cannot read the group count");
    return count;
}

GroupScope::GroupScope(AreaHandle& area, unsigned long group) : area_(area) {
    unsigned long count = GroupCount(area);
    if (group < 1 || group > count) {
        throw Refusal(count == 0 ? fmt::format("group {}: the area holds no groups", group)
                                 : fmt::format("group {}: no such group (the area holds groups 1 to {})", group,
                                               count));
    }
    if (area.OpenGCPGroup(group) != 1) throw Refusal(fmt::format("group {}: cannot be opened", group));
}

GroupScope::~GroupScope() { area_.CloseGCPGroup(); }

unsigned long PointCount(AreaHandle& area) {
    unsigned long count = 0;
    if (area.GetGCPNum(count) != 1) throw Refusal("cannot read the point count");
    return count;
}

std::vector<_CtrlPntStrcT> ReadPoints(AreaHandle& area) {
    unsigned long count = PointCount(area);
    std::vector<_CtrlPntStrcT> points(count);
    for (unsigned long i = 1; i <= count; ++i) {
        if (area.GetOneGCP(i, &points[i - 1]) != 1) throw Refusal(fmt::format("point {}: cannot be read", i));
    }
    return points;
}

GroupType ReadGroupType(AreaHandle& area) {
    GroupType type;
    if (area.GetGCPGroupType(type.orient, type.trans) != 1) throw Refusal("cannot read the group's type");
    return type;
}

const char* TransTypeName(short transType) {
    switch (transType) {
        case TM_TRANS_POLY1: return "poly1";
        case TM_TRANS_POLY2: return "poly2";
        case TM_TRANS_POLY3: return "poly3";
        case TM_TRANS_SIMILARITY: return "similarity";
        case TM_TRANS_PROJECTIVE: return "projective";
        case TM_TRANS_TPS: return "tps";
    }
    return "unknown";
}

std::optional<short> TransTypeByName(const std::string& name) {
    for (short type : kAllTransTypes) {
        if (EqualsNoCase(name, TransTypeName(type))) return type;
    }
    if (EqualsNoCase(name, "affine")) return TM_TRANS_POLY1;
    if (EqualsNoCase(name, "helmert")) return TM_TRANS_SIMILARITY;
    if (name.size() == 1 && name[0] >= '1' && name[0] <= '6') return static_cast<short>(name[0] - '0');
    return std::nullopt;
}

GcpRow RowFromRecord(const _CtrlPntStrcT& record, short orientType) {
    GcpRow row;
    row.name = std::string(record.Name, strnlen(record.Name, sizeof record.Name));
    row.id = record.Id;
    row.pixel = record.PixelX;
    row.line = orientType == TM_ORIENT_LINE_UP ? -record.PixelY : record.PixelY;
    if (row.line == 0.0) row.line = 0.0;
    row.x = record.UserX;
    row.y = record.UserY;
    row.z = record.UserZ;
    row.use = record.UseFlag != 0;
    row.edit = record.EditFlag != 0;
    return row;
}

_CtrlPntStrcT RecordFromRow(const GcpRow& row, short orientType) {
    if (row.name.size() >= sizeof(_CtrlPntStrcT::Name)) {
        throw Refusal(fmt::format("identifier \"{}\" is longer than {} bytes", row.name,
                                  sizeof(_CtrlPntStrcT::Name) - 1));
    }
    if (row.name.find('\0') != std::string::npos) throw Refusal("an identifier holds a zero byte");
    for (double value : {row.pixel, row.line, row.x, row.y, row.z}) {
        if (!std::isfinite(value)) throw Refusal("a coordinate is not a finite number");
    }
    double line = orientType == TM_ORIENT_LINE_UP ? -row.line : row.line;
    _CtrlPntStrcT record = TmMakePoint(row.pixel, line, row.x, row.y, row.z, nullptr);
    std::memcpy(record.Name, row.name.data(), row.name.size());
    record.Id = row.id;
    record.UseFlag = row.use ? 1 : 0;
    record.EditFlag = row.edit ? 1 : 0;
    return record;
}

void AppendRecords(AreaHandle& area, const std::vector<_CtrlPntStrcT>& records, Progress& progress,
                   const std::function<std::string(std::size_t)>& describe) {
    unsigned long first = PointCount(area) + 1;
    for (std::size_t i = 0; i < records.size(); ++i) {
        _CtrlPntStrcT record = records[i];
        unsigned long index = first + static_cast<unsigned long>(i);
        area.AddOneGCP(index, &record);
        // AddOneGCP also fails when only the range update after it fails; the
        // point count tells whether the point went in.
        unsigned long count = 0;
        if (area.GetGCPNum(count) != 1 || count != index) throw Refusal(describe(i) + ": refused by the group");
        progress.Advance(1);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        unsigned long index = first + static_cast<unsigned long>(i);
        _CtrlPntStrcT stored{};
        if (area.GetOneGCP(index, &stored) != 1) throw Refusal(describe(i) + ": cannot be read back");
        if (stored.UseFlag != records[i].UseFlag) area.SetOneGcpUseOnOff(index, records[i].UseFlag != 0);
        if (stored.EditFlag != records[i].EditFlag) area.SetOneGCPEditOnOff(index, records[i].EditFlag != 0);
    }
}

std::optional<GcpResidual> ResidualOf(AreaHandle& area, unsigned long index, short orientType) {
    GcpResidual r;
    if (area.GetOneGCPResidual(index, r.x, r.y, r.pixel, r.line) != 1) return std::nullopt;
    if (orientType == TM_ORIENT_LINE_UP) r.line = -r.line;
    return r;
}

void PrintJson(const nlohmann::json& value) {
    std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace morvane::tool
