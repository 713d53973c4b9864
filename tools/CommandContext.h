// CommandContext.h - what the commands share: options every command takes,
// opening an area and a group, moving points between area records and the
// exchange table, names of the transformation types, and output.
#ifndef MORVANE_TOOLS_COMMANDCONTEXT_H
#define MORVANE_TOOLS_COMMANDCONTEXT_H

#include "AreaHandle.h"
#include "GcpTable.h"
#include "GroupRecords.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvane::tool {

// Options shared by the commands that work on one area.
struct AreaOptions {
    std::string area;          // the AREA argument
    std::string size;          // COLSxROWS, "" = 0x0
    unsigned long group = 0;   // -g
    bool json = false;
};

struct RasterSize {
    long columns = 0;
    long rows = 0;
};

// "COLSxROWS", both whole numbers >= 0; throws std::invalid_argument.
RasterSize ParseRasterSize(const std::string& text);

std::unique_ptr<AreaHandle> OpenArea(const AreaOptions& options, OpenMode mode);

// Opens group n of the area for the lifetime of the object; refuses a
// group number that names no group.
class GroupScope {
public:
    GroupScope(AreaHandle& area, unsigned long group);
    ~GroupScope();
    GroupScope(const GroupScope&) = delete;
    GroupScope& operator=(const GroupScope&) = delete;

private:
    AreaHandle& area_;
};

unsigned long GroupCount(AreaHandle& area);
unsigned long PointCount(AreaHandle& area);   // of the open group
std::vector<_CtrlPntStrcT> ReadPoints(AreaHandle& area);

struct GroupType {
    short orient = 0;
    short trans = 0;
};
GroupType ReadGroupType(AreaHandle& area);

// Appends records to the open group with one AddGCPs call, advancing
// progress; when the group refuses them as a whole, one AddOneGCP each.
// Flags travel in the records; on the one-by-one path any the group did not
// take from them are set afterwards.  Throws Refusal naming the first record the group refuses
// (describe(i) names record i for the message).
class Progress;
void AppendRecords(AreaHandle& area, const std::vector<_CtrlPntStrcT>& records, Progress& progress,
                   const std::function<std::string(std::size_t)>& describe);

void PrintJson(const nlohmann::json& value);

}  // namespace morvane::tool

#endif
