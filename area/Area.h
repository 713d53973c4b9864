// Area.h - the one core under both exported area classes.
//
// CFile_Morvane and CDB_Morvane keep their state in fields the exported
// header declares (and whose layout callers compile in).  For each call the
// class lends those fields to an Area as an AreaState (ExportedArea.h), the
// Area carries the call out under the rules of Morvane.h, and the class
// takes the state back.  Only where the groups are kept differs: that is the
// Store (Store.h) the open and the close are given.
//
// Results: the plain calls answer true or false; the calls that can fail
// for a reason a person must read (open, close, a block append) answer a
// Status, whose message the exported class keeps for GetLastError.  A
// refused call changes nothing.
#ifndef MORVANE_AREA_AREA_H
#define MORVANE_AREA_AREA_H

#include "CtrlPntSet.h"
#include "GCPGroupList.h"
#include "Status.h"
#include "Store.h"

#include <cstddef>
#include <cstdint>
#include <string_view>


namespace morvane {

// The state an area keeps between calls.  "Open" means open is set and a
// group list is held; an area closed after use (open set, no list) refuses
// every call but the close.
struct AreaState {
    CGCPGroupList* groups = nullptr;
    bool open = false;
    // Whether the close writes the groups back (with the list's own modify
    // flag and a complete load).
    bool changed = false;
    // The group count at the open or the last group creation: the bound of
    // the group numbers that delete and open take.
    std::uint32_t groupBound = 0;
    std::uint32_t current = 0;  // the current group, 0 for none
    // The raster's size in pixels, from which a group's range is recomputed.
    std::int32_t columns = 0, rows = 0;
    bool lastOpenFailed = false;  // the last open stopped part-way: never write back
    // The reason of the last failed open, close or block append:
    // lastErrorCapacity bytes, always terminated.
    char* lastError = nullptr;
    std::size_t lastErrorCapacity = 0;
};

// What an open keeps when its load fails part-way.
enum class FailedLoad {
    kKeepGroupsRead,  // the groups read before the failure stay, never written back
    kDropGroups,      // the area stays open without a list: only the close works
};

class Area {
public:
    explicit Area(AreaState& state) : s_(state) {}

    // ---- the area ------------------------------------------------------

    // Refuses range arguments that do not fit their 32-bit fields.
    static Status CheckRangeArgs(long columns, long rows);
    // The open after the caller's own checks: closes an area still holding
    // groups (refused, groups kept, when their save fails), then loads the
    // groups from store into a new list.  From the new list on the area is
    // open whatever follows; failed says what stays of a failed load.
    Status Open(Store& store, long columns, long rows, FailedLoad failed);
    // The start of every open: an area still holding groups is closed under
    // the write-back rule; when that save fails the area keeps its groups
    // and the open must be refused (the reason says so).
    Status CloseHeld(Store& store);
    // Saves the groups when the write-back rule says so (Morvane.h) and
    // releases them.  A failed save keeps them for another try.
    Status Close(Store& store);
    // The destructor's close: releases the groups even when their save
    // failed, since nobody is left to retry.
    void Destroy(Store& store);
    // Releases every group without saving.
    void DiscardGroups();
    // Copy construction and assignment: ends this area's own groups as a
    // destruction would (saved to store when the write-back rule says so),
    // then takes source's state with a deep copy of its groups, or none when
    // memory runs out (this area is then closed after use).  source's
    // groups are copied first, so taking a copy of itself loses nothing.
    void AssignFrom(const AreaState& source, Store& store);
    bool NeedsWriteBack() const;

    // ---- groups (area open) --------------------------------------------

    bool GroupCount(unsigned long& count) const;
    bool CreateGroup(unsigned long groupNo);
    bool DeleteGroup(unsigned long groupNo);
    bool OpenGroup(unsigned long groupNo);
    bool CloseGroup();
    bool CurrentGroup(unsigned long& groupNo) const;
    bool GetChangeFlag(bool& changed) const;
    bool SetChangeFlag(bool changed);

    // ---- points of the current group -----------------------------------

    bool PointCount(unsigned long& count) const;
    // Insertion index 1 to count + 1 (the library checks it).  True when the
    // point was added and the range recomputed; false also when it was added
    // but the range could not be recomputed (Morvane.h).
    bool AddPoint(unsigned long index, _CtrlPntStrcT* point);
    // count records appended, all or none.
    Status AddPoints(const _CtrlPntStrcT* points, unsigned long count);
    bool DeletePoint(unsigned long index);
    bool GetPoint(unsigned long index, _CtrlPntStrcT* point) const;
    bool UpdatePoint(unsigned long index, _CtrlPntStrcT* point);
    bool GetEditFlag(unsigned long index, bool& edit) const;
    bool SetEditFlag(unsigned long index, bool edit);
    bool GetUseFlag(unsigned long index, bool& use) const;
    bool SetUseFlag(unsigned long index, bool use);

    // ---- conversions with the current group ----------------------------

    bool Convert(double in1, double in2, double& out1, double& out2, bool forward) const;
    bool Range(double& minX, double& minY, double& maxX, double& maxY) const;
    bool IsLinear(bool& linear) const;
    bool BeginTransform(bool forward);
    void EndTransform();
    // The hot calls of bulk conversion, through the set BeginTransform
    // prepared (whichever group is current now).  They take the three
    // fields they read rather than a whole AreaState: a conversion costs a
    // few nanoseconds, and copying the state in would add half as much.
    static bool ConvertPrepared(CGCPGroupList* groups, bool open, std::uint32_t current, double in1,
                                double in2, double& out1, double& out2) {
        if (!open || groups == nullptr || current == 0) return false;
        CCtrlPntSet* prepared = groups->PreparedSet();
        return prepared != nullptr && prepared->PointTransform(&out1, &out2, in1, in2) == TM_OK;
    }
    static bool ConvertPreparedBatch(CGCPGroupList* groups, bool open, std::uint32_t current, const double* in,
                                     double* out, std::size_t count) {
        if (!open || groups == nullptr || current == 0) return false;
        if (count != 0 && (in == nullptr || out == nullptr)) return false;
        CCtrlPntSet* prepared = groups->PreparedSet();
        return prepared != nullptr && prepared->BatchTransform(in, out, count) == TM_OK;
    }

    // ---- type and fit of the current group -----------------------------

    bool GroupType(short& orientType, short& transType) const;
    bool SetGroupType(short transType);
    bool Residual(unsigned long index, double& userDX, double& userDY, double& pixelDX, double& pixelDY) const;
    bool Rms(double& userRms, double& pixelRms) const;

    // ---- the reason of the last failed open, close or append -----------

    // Keeps status's message (cut to the buffer, one line) and answers 1 for
    // success (clearing the reason) or 0: the exported result.
    short Report(const Status& status);
    // The message put together from parts, without allocating, so that even
    // running out of memory can be told.
    void SetLastError(std::initializer_list<std::string_view> parts);

private:
    bool IsOpen() const { return s_.open && s_.groups != nullptr; }
    bool HasGroupOpen() const { return IsOpen() && s_.current != 0; }
    // A point index of the current group: 1 to its count.
    bool IsPointIndex(unsigned long index) const;
    void RefreshChangeFlag();
    // After an accepted edit: the current group's range recomputed from the
    // raster's size, the change flag refreshed; the recomputation's result.
    bool AfterPointEdit();

    AreaState& s_;
};

}  // namespace morvane

#endif
