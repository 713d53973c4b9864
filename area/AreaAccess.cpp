// AreaAccess.cpp - the shared area code that needs no template.
#include "AreaAccess.h"

namespace morvane {

namespace {

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

}  // namespace

CGCPGroupList* AreaAccess::CloneGroupList(CGCPGroupList* source) {
    if (source == nullptr) return nullptr;
    CGCPGroupList* copy = NewGroupList();
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

// Residuals and the RMS error are computed on a copy of the group, so that
// whatever the library caches or records while fitting never reaches the
// stored group behind the list's back.
// Residuals are read from the stored group itself: a read leaves its points
// as they are (at most it fills the group's fit cache), and a copy per call
// would make listing the residuals of a group cost O(points^2).
short AreaAccess::CurrentGroupResidual(CGCPGroupList* list, unsigned long groupNo,
                                       unsigned long index, double& userDX, double& userDY,
                                       double& pixelDX, double& pixelDY) {
    CCtrlPntSet* group = list->PeekGroup(groupNo);
    if (group == nullptr) return 0;
    return group->GetResidual(index, &userDX, &userDY, &pixelDX, &pixelDY) == TM_OK ? 1 : 0;
}

short AreaAccess::CurrentGroupRms(CGCPGroupList* list, unsigned long groupNo, double& userRms,
                                  double& pixelRms) {
    CCtrlPntSet* group = list->PeekGroup(groupNo);
    if (group == nullptr) return 0;
    return group->GetRMSError(&userRms, &pixelRms) == TM_OK ? 1 : 0;
}

}  // namespace morvane
