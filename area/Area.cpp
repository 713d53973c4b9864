// Area.cpp - the area core: opening, closing, groups, points and
// conversions under the rules of Morvane.h.
#include "Area.h"

#include "GCPGroupList.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace morvane {

namespace {

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

void FreeList(CGCPGroupList* list) {
    list->ReleaseAllGroups();
    delete list;
}

bool CopyGroups(CGCPGroupList& source, CGCPGroupList& copy) {
    unsigned long groups = 0;
    source.GetGroupNum(&groups);
    for (unsigned long k = 1; k <= groups; ++k) {
        CCtrlPntSet* set = source.PeekGroup(k);
        if (set == nullptr || copy.InsertGroup(k, set) < 1) return false;
    }
    // A list whose groups were all deleted still remembers that it changed;
    // inserting and removing one group gives the copy the same memory.
    if (groups == 0 && source.GetModifyFlag() > 0) {
        if (copy.CreateEmptyGroup(1) < 1 || copy.RemoveGroup(1) < 1) return false;
    }
    return true;
}

// A deep copy of source's groups; null for a null source or when memory
// runs out.  The copy's modify flag equals the source's, so the copy makes
// the same write-back decision at its close.
CGCPGroupList* CloneGroupList(CGCPGroupList* source) {
    if (source == nullptr) return nullptr;
    auto* copy = new (std::nothrow) CGCPGroupList;
    if (copy == nullptr) return nullptr;
    bool copied = false;
    try {
        copied = CopyGroups(*source, *copy);
    } catch (const std::bad_alloc&) {
        copied = false;
    }
    if (!copied) {
        FreeList(copy);
        return nullptr;
    }
    return copy;
}

// What a refusal of the control-point library means, for a person.
std::string_view ResultReason(long result) {
    switch (result) {
        case TM_ERR_ARGUMENT: return "a null array, or a name without its terminating zero";
        case TM_ERR_NOT_FINITE: return "a coordinate is not finite";
        case TM_ERR_MEMORY: return "out of memory, or more points than a group holds";
        case TM_ERR_INDEX: return "no such group";
        default: return "refused by the control-point library";
    }
}

}  // namespace

// ---- the reason of the last failure --------------------------------------

void Area::SetLastError(std::initializer_list<std::string_view> parts) {
    if (s_.lastError == nullptr || s_.lastErrorCapacity == 0) return;
    char* out = s_.lastError;
    char* const end = s_.lastError + s_.lastErrorCapacity - 1;
    for (std::string_view part : parts) {
        for (char c : part) {
            if (out == end) break;
            *out++ = (c == '\n' || c == '\r') ? ' ' : c;
        }
    }
    *out = '\0';
}

short Area::Report(const Status& status) {
    SetLastError({status.message()});
    return status.ok() ? 1 : 0;
}

// ---- the area --------------------------------------------------------------

Status Area::CheckRangeArgs(long columns, long rows) {
    const long args[2] = {columns, rows};
    for (int i = 0; i < 2; ++i) {
        if (args[i] < INT32_MIN || args[i] > INT32_MAX) {
            return Status::InvalidArgument("range argument " + std::to_string(i + 1) + " (" +
                                           std::to_string(args[i]) + ") does not fit in 32 bits");
        }
    }
    return Status::OK();
}

bool Area::NeedsWriteBack() const {
    return s_.groups != nullptr && s_.changed && s_.groups->GetModifyFlag() > 0 && !s_.lastOpenFailed;
}

void Area::DiscardGroups() {
    if (s_.groups == nullptr) return;
    FreeList(s_.groups);
    s_.groups = nullptr;
}

Status Area::Close(Store& store) {
    if (!s_.open) return Status::InvalidArgument("the area is not open");
    if (s_.groups != nullptr) {
        if (NeedsWriteBack()) {
            Status saved;
            try {
                saved = store.Save(*s_.groups);
            } catch (const std::bad_alloc&) {
                saved = Status::IOError("cannot save the groups: out of memory");
            }
            if (!saved.ok()) return saved;
        }
        DiscardGroups();
    }
    return Status::OK();
}

void Area::Destroy(Store& store) {
    if (s_.open) Close(store);
    DiscardGroups();
}

// An area still holding a list is closed first under the normal write-back
// rule; when that close fails the area keeps its groups and the open is
// refused, with the save's reason behind a word of why.
Status Area::CloseHeld(Store& store) {
    if (s_.groups == nullptr) return Status::OK();
    const Status closed = Close(store);
    if (closed.ok()) return closed;
    return Status::IOError("not opened, since the groups held before cannot be saved: " + closed.message());
}

Status Area::Open(Store& store, long columns, long rows, FailedLoad failed) {
    if (Status checked = CheckRangeArgs(columns, rows); !checked.ok()) return checked;
    if (Status closed = CloseHeld(store); !closed.ok()) return closed;
    s_.groups = new (std::nothrow) CGCPGroupList;
    if (s_.groups == nullptr) return Status::IOError("out of memory");
    s_.open = true;
    s_.lastOpenFailed = true;
    std::uint32_t groupCount = s_.groupBound;
    Status loaded;
    try {
        loaded = store.Load(*s_.groups, &groupCount);
    } catch (const std::bad_alloc&) {
        loaded = Status::IOError("out of memory while reading");
    }
    s_.groupBound = groupCount;
    if (!loaded.ok()) {
        if (failed == FailedLoad::kDropGroups) DiscardGroups();
        return loaded;
    }
    s_.columns = static_cast<std::int32_t>(columns);
    s_.rows = static_cast<std::int32_t>(rows);
    s_.lastOpenFailed = false;
    return Status::OK();
}

void Area::AssignFrom(const AreaState& source, Store& store) {
    CGCPGroupList* copy = CloneGroupList(source.groups);
    if (&source != &s_) Destroy(store);
    char* const lastError = s_.lastError;
    const std::size_t capacity = s_.lastErrorCapacity;
    if (lastError != nullptr && source.lastError != nullptr && lastError != source.lastError) {
        std::memcpy(lastError, source.lastError, std::min(capacity, source.lastErrorCapacity));
        lastError[capacity - 1] = '\0';
    }
    s_ = source;
    s_.groups = copy;
    s_.lastError = lastError;
    s_.lastErrorCapacity = capacity;
}

// ---- groups ------------------------------------------------------------------

bool Area::GroupCount(unsigned long& count) const {
    if (!IsOpen()) return false;
    unsigned long live = 0;
    s_.groups->GetGroupNum(&live);
    count = live;
    return true;
}

bool Area::CreateGroup(unsigned long groupNo) {
    if (!IsOpen() || groupNo < 1) return false;
    if (s_.groups->CreateEmptyGroup(groupNo) < 1) return false;
    RefreshChangeFlag();
    unsigned long live = 0;
    s_.groups->GetGroupNum(&live);
    s_.groupBound = static_cast<std::uint32_t>(live);
    return true;
}

// The bound and the current number stay as they were: callers rely on the
// former, and on the current number designating whichever group now bears
// it.
bool Area::DeleteGroup(unsigned long groupNo) {
    if (!IsOpen() || groupNo < 1 || groupNo > s_.groupBound) return false;
    if (s_.groups->RemoveGroup(groupNo) < 1) return false;
    RefreshChangeFlag();
    return true;
}

bool Area::OpenGroup(unsigned long groupNo) {
    if (!IsOpen() || groupNo < 1 || groupNo > s_.groupBound || s_.current != 0) return false;
    s_.current = static_cast<std::uint32_t>(groupNo);
    return true;
}

bool Area::CloseGroup() {
    if (!HasGroupOpen()) return false;
    s_.current = 0;
    return true;
}

bool Area::CurrentGroup(unsigned long& groupNo) const {
    if (!HasGroupOpen()) return false;
    groupNo = s_.current;
    return true;
}

bool Area::GetChangeFlag(bool& changed) const {
    if (!HasGroupOpen()) return false;
    changed = s_.changed;
    return true;
}

bool Area::SetChangeFlag(bool changed) {
    if (!HasGroupOpen()) return false;
    s_.changed = changed;
    return true;
}

void Area::RefreshChangeFlag() { s_.changed = s_.groups->GetModifyFlag() > 0; }

// ---- points --------------------------------------------------------------------

bool Area::PointCount(unsigned long& count) const {
    return HasGroupOpen() && s_.groups->GetGroupGCPNum(s_.current, &count) > 0;
}

bool Area::IsPointIndex(unsigned long index) const {
    unsigned long count = 0;
    return index >= 1 && s_.groups->GetGroupGCPNum(s_.current, &count) > 0 && index <= count;
}

bool Area::AfterPointEdit() {
    const short result = s_.groups->ComputeGroupCoordRange(s_.current, s_.columns, s_.rows);
    RefreshChangeFlag();
    return result > 0;
}

// No index bound here: the library decides which insertion index it takes.
bool Area::AddPoint(unsigned long index, _CtrlPntStrcT* point) {
    if (!HasGroupOpen()) return false;
    if (s_.groups->AddGroupGCP(s_.current, index, point) < 1) return false;
    return AfterPointEdit();
}

// A refused record, or a range that cannot be recomputed with the block,
// leaves the group, its range and the change flag as they were.
Status Area::AddPoints(const _CtrlPntStrcT* points, unsigned long count) {
    if (!IsOpen()) return Status::InvalidArgument("the area is not open");
    if (s_.current == 0) return Status::InvalidArgument("no group is open");
    const unsigned long groupNo = s_.current;
    unsigned long before = 0;
    if (s_.groups->GetGroupGCPNum(groupNo, &before) < 1) {
        return Status::InvalidArgument("group " + std::to_string(groupNo) + " does not exist");
    }
    if (count == 0) return Status::OK();  // nothing changes, not even the modify flag
    long result = TM_OK;
    unsigned long refused = 0;
    if (s_.groups->AddGroupGCPs(groupNo, points, count, &result, &refused) < 1) {
        if (refused != 0) {
            return Status::InvalidArgument("point " + std::to_string(refused) + " of " + std::to_string(count) +
                                           " is refused: " + std::string(ResultReason(result)) +
                                           "; none was added");
        }
        return Status::InvalidArgument("the points are refused: " + std::string(ResultReason(result)));
    }
    const bool changed = s_.changed;
    if (!AfterPointEdit()) {
        // Take the block out again, last point first (nothing renumbers).
        for (unsigned long i = before + count; i > before; --i) s_.groups->DeleteGroupGCP(groupNo, i);
        s_.changed = changed;
        return Status::InvalidArgument("the group's range cannot be recomputed with the " + std::to_string(count) +
                                       " points (too few or degenerate for its type); none was added");
    }
    return Status::OK();
}

bool Area::DeletePoint(unsigned long index) {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    if (s_.groups->DeleteGroupGCP(s_.current, index) < 1) return false;
    return AfterPointEdit();
}

bool Area::GetPoint(unsigned long index, _CtrlPntStrcT* point) const {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    return s_.groups->GetGroupGCP(s_.current, index, point) > 0;
}

bool Area::UpdatePoint(unsigned long index, _CtrlPntStrcT* point) {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    if (s_.groups->UpdateGroupGCP(s_.current, index, point) < 1) return false;
    return AfterPointEdit();
}

bool Area::GetEditFlag(unsigned long index, bool& edit) const {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    return s_.groups->GetGroupGCPEdit(s_.current, index, &edit) > 0;
}

// Flags do not move a point, so the range is not recomputed.
bool Area::SetEditFlag(unsigned long index, bool edit) {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    if (s_.groups->SetGroupGCPEdit(s_.current, index, edit) < 1) return false;
    RefreshChangeFlag();
    return true;
}

bool Area::GetUseFlag(unsigned long index, bool& use) const {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    return s_.groups->GetGroupGCPUse(s_.current, index, &use) > 0;
}

bool Area::SetUseFlag(unsigned long index, bool use) {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    if (s_.groups->SetGroupGCPUse(s_.current, index, use) < 1) return false;
    RefreshChangeFlag();
    return true;
}

// ---- conversions ---------------------------------------------------------------

bool Area::Convert(double in1, double in2, double& out1, double& out2, bool forward) const {
    return HasGroupOpen() && s_.groups->GroupPointTransform(s_.current, in1, in2, &out1, &out2, forward) > 0;
}

bool Area::Range(double& minX, double& minY, double& maxX, double& maxY) const {
    return HasGroupOpen() && s_.groups->GetGroupCoordRange(s_.current, &minX, &minY, &maxX, &maxY) > 0;
}

bool Area::IsLinear(bool& linear) const {
    return HasGroupOpen() && s_.groups->IsGroupLinear(s_.current, linear) > 0;
}

bool Area::BeginTransform(bool forward) {
    return HasGroupOpen() && s_.groups->BeginGroupTransform(s_.current, forward) > 0;
}

void Area::EndTransform() {
    if (HasGroupOpen()) s_.groups->EndGroupTransform();
}

// ---- type and fit ----------------------------------------------------------------

bool Area::GroupType(short& orientType, short& transType) const {
    if (!HasGroupOpen()) return false;
    CCtrlPntSet* set = s_.groups->PeekGroup(s_.current);
    if (set == nullptr) return false;
    set->GetOrientType(&orientType);
    set->GetTransType(&transType);
    return true;
}

// A new type changes the fitted model, so the range is recomputed as after
// a point edit.
bool Area::SetGroupType(short transType) {
    if (!HasGroupOpen()) return false;
    if (s_.groups->SetGroupTransType(s_.current, transType) < 1) return false;
    return AfterPointEdit();
}

// Read from the stored group itself: a read leaves its points as they are
// (at most it fills the group's fit cache).
bool Area::Residual(unsigned long index, double& userDX, double& userDY, double& pixelDX,
                    double& pixelDY) const {
    if (!HasGroupOpen() || !IsPointIndex(index)) return false;
    CCtrlPntSet* group = s_.groups->PeekGroup(s_.current);
    return group != nullptr && group->GetResidual(index, &userDX, &userDY, &pixelDX, &pixelDY) == TM_OK;
}

bool Area::Rms(double& userRms, double& pixelRms) const {
    if (!HasGroupOpen()) return false;
    CCtrlPntSet* group = s_.groups->PeekGroup(s_.current);
    return group != nullptr && group->GetRMSError(&userRms, &pixelRms) == TM_OK;
}

}  // namespace morvane
