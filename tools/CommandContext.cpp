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

void AppendRecords(AreaHandle& area, const std::vector<_CtrlPntStrcT>& records, Progress& progress,
                   const std::function<std::string(std::size_t)>& describe) {
    // All records in one call; the group keeps them as given, flags included.
    if (area.AddGCPs(records.data(), static_cast<unsigned long>(records.size())) == 1) {
        progress.Advance(records.size());
        return;
    }
    // Refused as a whole (nothing was added): one point at a time tells which
    // record is at fault, and keeps points whose only fault is that the
    // group's range cannot be recomputed with them yet.
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

void PrintJson(const nlohmann::json& value) {
    std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace morvane::tool
