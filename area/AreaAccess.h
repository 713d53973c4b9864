// AreaAccess.h - the code the two area classes share.
//
// CFile_Morvane and CDB_Morvane carry the same operations under the same
// rules but have no common base class in the exported header.  Each names
// AreaAccess its friend and forwards every common operation to the templates
// below, which work on the fields both classes have under the same names:
// GroupList, OpenFlag, ChangeFlag, GCPGroupNum, CurGCPGroupNo, RangeArg1,
// RangeArg2, LastOpenFailed and LastErrorText.  Only opening, loading
// (InitialGcpInfo) and saving (ReleaseGcpInfo) differ per class.
//
// LastErrorText: whoever makes OpenGCPArea or CloseGCPArea fail writes the
// reason with Fail or SetLastError at the place that knows it, so that the
// outer code only passes a 0 on; InitialGcpInfo and ReleaseGcpInfo do the
// same for their own failures.  The reasons are put together in the fixed
// buffer without allocating, so that even running out of memory is told.
//
// Results follow the exported header: 1 for success, 0 for failure, and a
// failed guard changes nothing.  "Open" means OpenFlag is set and a group list
// is held; an area closed after use (OpenFlag set, no list) refuses every
// operation but CloseGCPArea.
#ifndef MORVANE_AREA_AREAACCESS_H
#define MORVANE_AREA_AREAACCESS_H

#include "CtrlPntSet.h"
#include "GCPGroupList.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>

namespace morvane {

// Whether value fits the signed 32-bit field that stores it (record keys,
// range arguments): a wider value would silently name another one.
inline bool FitsInt32(long value) { return value >= INT32_MIN && value <= INT32_MAX; }

struct AreaAccess {
    // ---- lifetime ---------------------------------------------------------

    // A new, empty group list, or null when it cannot be allocated.
    static CGCPGroupList* NewGroupList() { return new (std::nothrow) CGCPGroupList; }

    // A deep copy of source's groups (null for a null source or when memory
    // runs out).  The copy's modify flag equals the source's, so the copy
    // makes the same write-back decision at close as its source would.
    static CGCPGroupList* CloneGroupList(CGCPGroupList* source);

    // Releases every group and the list itself, without saving.
    template <class Area>
    static void DiscardGroups(Area& area) {
        if (area.GroupList == nullptr) return;
        area.GroupList->ReleaseAllGroups();
        delete area.GroupList;
        area.GroupList = nullptr;
    }

    // True when closing the area would write its groups back: the caller or
    // an edit set ChangeFlag, the list changed since it was created, and the
    // last open read the whole store.
    template <class Area>
    static bool NeedsWriteBack(Area& area) {
        return area.GroupList != nullptr && area.ChangeFlag && area.GroupList->GetModifyFlag() > 0 &&
               !area.LastOpenFailed;
    }

    // CloseGCPArea of both classes.  A failed save returns 0 and keeps the
    // groups, so that the caller can retry once the cause is gone; the save
    // has left its reason.
    template <class Area>
    static short Close(Area& area) {
        if (!area.OpenFlag) return Fail(area, {"the area is not open"});
        if (area.GroupList != nullptr) {
            if (NeedsWriteBack(area) && area.ReleaseGcpInfo() == 0) return 0;
            DiscardGroups(area);
        }
        ClearLastError(area);
        return 1;
    }

    // What a destructor does: close, and release the groups even when their
    // save failed, since nobody is left to retry.
    template <class Area>
    static void Destroy(Area& area) {
        if (area.OpenFlag) Close(area);
        DiscardGroups(area);
    }

    // The start of every OpenGCPArea: an area still holding a list is closed
    // first under the normal write-back rule.  0 when that close fails; the
    // area then keeps its groups, the open must be refused, and the reason
    // says so in front of the save's own.
    template <class Area>
    static short CloseBeforeOpen(Area& area) {
        if (area.GroupList == nullptr || Close(area) == 1) return 1;
        char saveReason[sizeof area.LastErrorText];
        std::memcpy(saveReason, area.LastErrorText, sizeof saveReason);
        return Fail(area, {"not opened, since the groups held before cannot be saved: ", saveReason});
    }

    // Copy construction and assignment: every common field, with a deep copy
    // of the group list and no prepared transformation.
    template <class Area>
    static void CopyCommonFields(Area& to, const Area& from) {
        to.OpenFlag = from.OpenFlag;
        to.ChangeFlag = from.ChangeFlag;
        to.GCPGroupNum = from.GCPGroupNum;
        to.CurGCPGroupNo = from.CurGCPGroupNo;
        to.RangeArg1 = from.RangeArg1;
        to.RangeArg2 = from.RangeArg2;
        to.LastOpenFailed = from.LastOpenFailed;
        std::memcpy(to.LastErrorText, from.LastErrorText, sizeof to.LastErrorText);
    }

    template <class Area>
    static void InitCommonFields(Area& area) {
        area.GroupList = nullptr;
        area.OpenFlag = false;
        area.ChangeFlag = false;
        area.GCPGroupNum = 0;
        area.CurGCPGroupNo = 0;
        area.RangeArg1 = 0;
        area.RangeArg2 = 0;
        area.LastOpenFailed = false;
        ClearLastError(area);
    }

    // ---- the reason of the last failed open or close ------------------------

    // Decimal text of a number, made without allocating.
    class Number {
    public:
        explicit Number(long long value) {
            const char* end = std::to_chars(text_, text_ + sizeof text_, value).ptr;
            length_ = static_cast<std::size_t>(end - text_);
        }
        operator std::string_view() const { return std::string_view(text_, length_); }

    private:
        char text_[24];
        std::size_t length_;
    };

    // Sets the area's last error to the parts put together, cut to the
    // buffer, with line breaks turned into spaces (the reason is one line).
    // No part may point into the area's own text: it is overwritten.
    template <class Area>
    static void SetLastError(Area& area, std::initializer_list<std::string_view> parts) {
        char* out = area.LastErrorText;
        char* const end = area.LastErrorText + sizeof area.LastErrorText - 1;
        for (std::string_view part : parts) {
            for (char c : part) {
                if (out == end) break;
                *out++ = (c == '\n' || c == '\r') ? ' ' : c;
            }
        }
        *out = '\0';
    }

    // Sets the last error and returns 0, the result of a failed call.
    template <class Area>
    static short Fail(Area& area, std::initializer_list<std::string_view> parts) {
        SetLastError(area, parts);
        return 0;
    }

    template <class Area>
    static void ClearLastError(Area& area) {
        area.LastErrorText[0] = '\0';
    }

    // The range argument refusal of both classes' OpenGCPArea: 0 with the
    // reason when an argument does not fit its 32-bit field, else 1.
    template <class Area>
    static short CheckRangeArgs(Area& area, long rangeArg1, long rangeArg2) {
        const long args[2] = {rangeArg1, rangeArg2};
        for (int i = 0; i < 2; ++i) {
            if (args[i] < INT32_MIN || args[i] > INT32_MAX) {
                return Fail(area, {"range argument ", Number(i + 1), " (", Number(args[i]),
                                   ") does not fit in 32 bits"});
            }
        }
        return 1;
    }

    // ---- group operations -------------------------------------------------

    template <class Area>
    static short GetGCPGroupNum(Area& area, unsigned long& count) {
        if (!IsOpen(area)) return 0;
        unsigned long live = 0;
        area.GroupList->GetGroupNum(&live);
        count = live;
        return 1;
    }

    template <class Area>
    static short CreateGCPGroup(Area& area, unsigned long groupNo) {
        if (!IsOpen(area) || groupNo < 1) return 0;
        if (area.GroupList->CreateEmptyGroup(groupNo) < 1) return 0;
        RefreshChangeFlag(area);
        unsigned long live = 0;
        area.GroupList->GetGroupNum(&live);
        area.GCPGroupNum = static_cast<std::uint32_t>(live);
        return 1;
    }

    // GCPGroupNum and CurGCPGroupNo stay as they were: callers rely on the
    // former bound and on the current number designating whichever group now
    // bears it.
    template <class Area>
    static short DeleteGCPGroup(Area& area, unsigned long groupNo) {
        if (!IsOpen(area) || groupNo < 1 || groupNo > area.GCPGroupNum) return 0;
        const short removed = area.GroupList->RemoveGroup(groupNo);
        RefreshChangeFlag(area);
        return removed;
    }

    template <class Area>
    static short OpenGCPGroup(Area& area, unsigned long groupNo) {
        if (!IsOpen(area) || groupNo < 1 || groupNo > area.GCPGroupNum) return 0;
        if (area.CurGCPGroupNo != 0) return 0;
        area.CurGCPGroupNo = static_cast<std::uint32_t>(groupNo);
        return 1;
    }

    template <class Area>
    static short CloseGCPGroup(Area& area) {
        if (!HasGroupOpen(area)) return 0;
        area.CurGCPGroupNo = 0;
        return 1;
    }

    template <class Area>
    static short GetCurGCPGroupNo(Area& area, unsigned long& groupNo) {
        if (!HasGroupOpen(area)) return 0;
        groupNo = area.CurGCPGroupNo;
        return 1;
    }

    template <class Area>
    static short GetChangeFlag(Area& area, bool& changed) {
        if (!HasGroupOpen(area)) return 0;
        changed = area.ChangeFlag;
        return 1;
    }

    template <class Area>
    static short SetChangeFlag(Area& area, bool changed) {
        if (!HasGroupOpen(area)) return 0;
        area.ChangeFlag = changed;
        return 1;
    }

    // ---- point operations on the current group ----------------------------

    template <class Area>
    static short GetGCPNum(Area& area, unsigned long& count) {
        if (!HasGroupOpen(area)) return 0;
        return area.GroupList->GetGroupGCPNum(area.CurGCPGroupNo, &count);
    }

    // No index bound: the library decides which insertion index it takes.
    template <class Area>
    static short AddOneGCP(Area& area, unsigned long index, _CtrlPntStrcT* point) {
        if (!HasGroupOpen(area)) return 0;
        if (area.GroupList->AddGroupGCP(area.CurGCPGroupNo, index, point) < 1) return 0;
        return AfterPointEdit(area);
    }

    // Many records appended to the current group, all or none: a refused
    // record, or a range that cannot be recomputed with them, leaves the
    // group, its range and ChangeFlag as they were.  The reason of a refusal
    // goes to the last error; success clears it.
    template <class Area>
    static short AddGCPs(Area& area, const _CtrlPntStrcT* points, unsigned long count) {
        if (!IsOpen(area)) return Fail(area, {"the area is not open"});
        if (area.CurGCPGroupNo == 0) return Fail(area, {"no group is open"});
        const unsigned long groupNo = area.CurGCPGroupNo;
        unsigned long before = 0;
        if (area.GroupList->GetGroupGCPNum(groupNo, &before) < 1) {
            return Fail(area, {"group ", Number(groupNo), " does not exist"});
        }
        if (count == 0) {  // nothing to add: nothing changes, not even the modify flag
            ClearLastError(area);
            return 1;
        }
        long result = TM_OK;
        unsigned long refused = 0;
        if (area.GroupList->AddGroupGCPs(groupNo, points, count, &result, &refused) < 1) {
            if (refused != 0) {
                return Fail(area, {"point ", Number(refused), " of ", Number(count),
                                   " is refused: ", ResultReason(result), "; none was added"});
            }
            return Fail(area, {"the points are refused: ", ResultReason(result)});
        }
        const bool changed = area.ChangeFlag;
        if (AfterPointEdit(area) == 0) {
            // Take the block out again, last point first (nothing renumbers).
            for (unsigned long i = before + count; i > before; --i) area.GroupList->DeleteGroupGCP(groupNo, i);
            area.ChangeFlag = changed;
            return Fail(area, {"the group's range cannot be recomputed with the ", Number(count),
                               " points (too few or degenerate for its type); none was added"});
        }
        ClearLastError(area);
        return 1;
    }

    // What a refusal of the control-point library means, for a person.
    static std::string_view ResultReason(long result) {
        switch (result) {
            case TM_ERR_ARGUMENT: return "a null array, or a name without its terminating zero";
            case TM_ERR_NOT_FINITE: return "a coordinate is not finite";
            case TM_ERR_MEMORY: return "out of memory, or more points than a group holds";
            case TM_ERR_INDEX: return "no such group";
            default: return "refused by the control-point library";
        }
    }

    template <class Area>
    static short DeleteOneGCP(Area& area, unsigned long index) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        if (area.GroupList->DeleteGroupGCP(area.CurGCPGroupNo, index) < 1) return 0;
        return AfterPointEdit(area);
    }

    template <class Area>
    static short GetOneGCP(Area& area, unsigned long index, _CtrlPntStrcT* point) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        return area.GroupList->GetGroupGCP(area.CurGCPGroupNo, index, point);
    }

    template <class Area>
    static short UpdateOneGCP(Area& area, unsigned long index, _CtrlPntStrcT* point) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        if (area.GroupList->UpdateGroupGCP(area.CurGCPGroupNo, index, point) < 1) return 0;
        return AfterPointEdit(area);
    }

    template <class Area>
    static short GetOneGCPEditOnOff(Area& area, unsigned long index, bool& edit) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        return area.GroupList->GetGroupGCPEdit(area.CurGCPGroupNo, index, &edit);
    }

    // Flags do not move a point, so the range is not recomputed.
    template <class Area>
    static short SetOneGCPEditOnOff(Area& area, unsigned long index, bool edit) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        const short result = area.GroupList->SetGroupGCPEdit(area.CurGCPGroupNo, index, edit);
        RefreshChangeFlag(area);
        return result;
    }

    template <class Area>
    static short GetOneGcpUseOnOff(Area& area, unsigned long index, bool& use) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        return area.GroupList->GetGroupGCPUse(area.CurGCPGroupNo, index, &use);
    }

    template <class Area>
    static short SetOneGcpUseOnOff(Area& area, unsigned long index, bool use) {
        if (!HasGroupOpen(area) || !WithinPointCount(area, index)) return 0;
        const short result = area.GroupList->SetGroupGCPUse(area.CurGCPGroupNo, index, use);
        RefreshChangeFlag(area);
        return result;
    }

    // ---- coordinate operations on the current group -----------------------

    template <class Area>
    static short PointTransform(Area& area, double in1, double in2, double& out1, double& out2,
                                bool forward) {
        if (!HasGroupOpen(area)) return 0;
        return area.GroupList->GroupPointTransform(area.CurGCPGroupNo, in1, in2, &out1, &out2,
                                                   forward);
    }

    template <class Area>
    static short GetGCPCoordRect(Area& area, double& minX, double& minY, double& maxX,
                                 double& maxY) {
        if (!HasGroupOpen(area)) return 0;
        return area.GroupList->GetGroupCoordRange(area.CurGCPGroupNo, &minX, &minY, &maxX, &maxY);
    }

    template <class Area>
    static short IsLinearConvert(Area& area, bool& linear) {
        if (!HasGroupOpen(area)) return 0;
        return area.GroupList->IsGroupLinear(area.CurGCPGroupNo, linear);
    }

    template <class Area>
    static long BeginTransform(Area& area, bool forward) {
        if (!HasGroupOpen(area)) return 0;
        return area.GroupList->BeginGroupTransform(area.CurGCPGroupNo, forward);
    }

    template <class Area>
    static void EndTransform(Area& area) {
        if (!HasGroupOpen(area)) return;
        area.GroupList->EndGroupTransform();
    }

    // Converts with the set prepared by BeginTransform, whichever group is
    // current now.  This is the hot path of bulk conversion, so it calls the
    // prepared set directly (as the list's TransformPoint would) rather than
    // through one more out-of-line call.
    template <class Area>
    static long PreparedTransform(Area& area, double in1, double in2, double& out1,
                                  double& out2) {
        if (!HasGroupOpen(area)) return 0;
        CCtrlPntSet* prepared = area.GroupList->PreparedSet();
        if (prepared == nullptr) return 0;
        return prepared->PointTransform(&out1, &out2, in1, in2) == TM_OK ? 1 : 0;
    }

    template <class Area>
    static long BatchTransform(Area& area, const double* in, double* out, std::size_t count) {
        if (!HasGroupOpen(area)) return 0;
        if (count != 0 && (in == nullptr || out == nullptr)) return 0;
        CCtrlPntSet* prepared = area.GroupList->PreparedSet();
        if (prepared == nullptr) return 0;
        return prepared->BatchTransform(in, out, count) == TM_OK ? 1 : 0;
    }

    // ---- additions: group type and fit quality ----------------------------

    template <class Area>
    static short GetGCPGroupType(Area& area, short& orientType, short& transType) {
        if (!HasGroupOpen(area)) return 0;
        CCtrlPntSet* set = area.GroupList->PeekGroup(area.CurGCPGroupNo);
        if (set == nullptr) return 0;
        set->GetOrientType(&orientType);
        set->GetTransType(&transType);
        return 1;
    }

    // A new type changes the fitted model, so the range is recomputed as
    // after a point edit, and the result is that of the recomputation.
    template <class Area>
    static short SetGCPGroupType(Area& area, short transType) {
        if (!HasGroupOpen(area)) return 0;
        if (area.GroupList->SetGroupTransType(area.CurGCPGroupNo, transType) < 1) return 0;
        return AfterPointEdit(area);
    }

    template <class Area>
    static short GetOneGCPResidual(Area& area, unsigned long index, double& userDX,
                                   double& userDY, double& pixelDX, double& pixelDY) {
        if (!HasGroupOpen(area) || index < 1 || !WithinPointCount(area, index)) return 0;
        return CurrentGroupResidual(area.GroupList, area.CurGCPGroupNo, index, userDX, userDY,
                                    pixelDX, pixelDY);
    }

    template <class Area>
    static short GetGCPRMSError(Area& area, double& userRms, double& pixelRms) {
        if (!HasGroupOpen(area)) return 0;
        return CurrentGroupRms(area.GroupList, area.CurGCPGroupNo, userRms, pixelRms);
    }

private:
    template <class Area>
    static bool IsOpen(const Area& area) {
        return area.OpenFlag && area.GroupList != nullptr;
    }

    template <class Area>
    static bool HasGroupOpen(const Area& area) {
        return IsOpen(area) && area.CurGCPGroupNo != 0;
    }

    template <class Area>
    static void RefreshChangeFlag(Area& area) {
        area.ChangeFlag = area.GroupList->GetModifyFlag() > 0;
    }

    // The index bound of the point operations: index 0 passes and is left to
    // the library; a missing group counts as having no points.
    template <class Area>
    static bool WithinPointCount(Area& area, unsigned long index) {
        unsigned long count = 0;
        area.GroupList->GetGroupGCPNum(area.CurGCPGroupNo, &count);
        return index <= count;
    }

    // After an accepted edit: recompute the current group's range from the
    // range arguments of the open, refresh ChangeFlag, report the
    // recomputation.
    template <class Area>
    static short AfterPointEdit(Area& area) {
        const short result = area.GroupList->ComputeGroupCoordRange(area.CurGCPGroupNo,
                                                                    area.RangeArg1, area.RangeArg2);
        RefreshChangeFlag(area);
        return result;
    }

    static short CurrentGroupResidual(CGCPGroupList* list, unsigned long groupNo,
                                      unsigned long index, double& userDX, double& userDY,
                                      double& pixelDX, double& pixelDY);
    static short CurrentGroupRms(CGCPGroupList* list, unsigned long groupNo, double& userRms,
                                 double& pixelRms);
};

}  // namespace morvane

#endif
