// AreaInspector.h - read access to an area's private fields, for tests.
//
// The area classes name morvane::AreaInspector a friend; nothing in the
// library defines or uses it.
#ifndef MORVANE_TESTS_AREAINSPECTOR_H
#define MORVANE_TESTS_AREAINSPECTOR_H

#include "GCPGroupList.h"
#include "Morvane.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace morvane {

// The common fields of an area, read together.
struct InspectedState {
    bool open = false;
    bool changed = false;
    bool lastOpenFailed = false;
    bool holdsList = false;
    std::uint32_t groupNum = 0;
    std::uint32_t curGroupNo = 0;
    std::int32_t rangeArg1 = 0;
    std::int32_t rangeArg2 = 0;
    bool operator==(const InspectedState&) const = default;
};

struct AreaInspector {
    template <class Area>
    static InspectedState StateOf(const Area& area) {
        InspectedState state;
        state.open = area.OpenFlag;
        state.changed = area.ChangeFlag;
        state.lastOpenFailed = area.LastOpenFailed;
        state.holdsList = area.GroupList != nullptr;
        state.groupNum = area.GCPGroupNum;
        state.curGroupNo = area.CurGCPGroupNo;
        state.rangeArg1 = area.RangeArg1;
        state.rangeArg2 = area.RangeArg2;
        return state;
    }

    // The group list an area holds (null when none).
    template <class Area>
    static CGCPGroupList* ListOf(Area& area) {
        return area.GroupList;
    }

    // The path a file area saves to.
    template <class Area>
    static std::string FileNameOf(const Area& area) {
        return std::string(area.FileName, strnlen(area.FileName, sizeof area.FileName));
    }
};

}  // namespace morvane

#endif
