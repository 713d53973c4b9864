// GCPGroupList.h - the ordered, numbered list of control-point groups of one
// open area.
//
// Groups are addressed by position: group n is the n-th group counted from 1.
// After every change the list writes each group's position into its set as
// the set's group number.  The modify flag is 0 at construction and becomes 1
// at the first renumbering of a non-empty list; it is never cleared.
//
// Group numbers are unsigned long (64 bits here); 0, 2^31 and more, and every
// value above the group count address nothing.  Operations return 1 for
// success and 0 for failure; a failure changes nothing.
//
// The list keeps one prepared transformation at a time: a snapshot of a group
// taken by BeginGroupTransform, unaffected by later edits of that group.
#ifndef MORVANE_GROUPLIST_GCPGROUPLIST_H
#define MORVANE_GROUPLIST_GCPGROUPLIST_H

#include "CtrlPntSet.h"

#include <vector>

struct GCPGroupNode {
    CCtrlPntSet GroupSet;
    GCPGroupNode* NextNode = nullptr;
};

class CGCPGroupList {
public:
    CGCPGroupList();
    virtual ~CGCPGroupList();
    CGCPGroupList(const CGCPGroupList&) = delete;
    CGCPGroupList& operator=(const CGCPGroupList&) = delete;

    // ---- the list of groups ----
    short GetGroupNum(unsigned long* count);
    short GetModifyFlag();
    short InsertGroup(unsigned long n, CCtrlPntSet* set);
    short RemoveGroup(unsigned long n);
    short CopyGroupOut(unsigned long n, CCtrlPntSet* set);
    short CopyGroupIn(unsigned long n, CCtrlPntSet* set);
    short RenumberGroups();
    short CreateEmptyGroup(unsigned long n);
    void ReleaseAllGroups();

    // ---- operations inside group n ----
    short GetGroupGCPNum(unsigned long n, unsigned long* count);
    short AddGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point);
    short DeleteGroupGCP(unsigned long n, unsigned long index);
    short GetGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point);
    short UpdateGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point);
    short SetGroupGCPUse(unsigned long n, unsigned long index, bool use);
    short GetGroupGCPUse(unsigned long n, unsigned long index, bool* use);
    short SetGroupGCPEdit(unsigned long n, unsigned long index, bool edit);
    short GetGroupGCPEdit(unsigned long n, unsigned long index, bool* edit);
    short GroupPointTransform(unsigned long n, double in1, double in2, double* out1,
                              double* out2, bool forward);
    short GetGroupCoordRange(unsigned long n, double* v1, double* v2, double* v3, double* v4);
    short IsGroupLinear(unsigned long n, bool& linear);

    // ---- the prepared transformation ----
    short BeginGroupTransform(unsigned long n, bool forward);
    void EndGroupTransform();
    short TransformPoint(double in1, double in2, double* out1, double* out2);

    // ---- additions of ours ----
    // Recomputes group n's user coordinate range in place (raster size in
    // pixels); sets the modify flag like a copy back would.
    short ComputeGroupCoordRange(unsigned long n, long columns, long rows);
    // Appends count records to group n, all or none (CCtrlPntSet::AddGCPs);
    // *result receives the library's result and *refused the 1-based
    // position of a refused record (0 for none).  0 when group n does not
    // exist or the library refused.
    short AddGroupGCPs(unsigned long n, const _CtrlPntStrcT* points, unsigned long count,
                       long* result, unsigned long* refused);
    // Inserts *set as group n like InsertGroup, but takes its points instead
    // of copying them: *set is left an empty, untouched set.  For readers
    // that build a group only to hand it over.  0 (set unchanged) when n is
    // not 1 to count + 1, set is null, stored in this list or prepared, or
    // no memory is left.
    short AdoptGroup(unsigned long n, CCtrlPntSet* set);
    // Changes group n's transformation type, keeping its points.
    short SetGroupTransType(unsigned long n, short transType);
    // The stored set of group n, for readers such as the stream writer that
    // must not pay for a copy; null when group n does not exist.  Callers only
    // read through it.
    CCtrlPntSet* PeekGroup(unsigned long n);
    // The prepared set, for batch conversion; null when none is prepared.
    CCtrlPntSet* PreparedSet() { return TransformSet; }

private:
    GCPGroupNode* HeadNode;
    long GroupNum;
    short ModifyFlag;
    CCtrlPntSet* TransformSet;
    // Node of group k at Index[k - 1], kept beside the chain so that a group is
    // found in constant time.
    std::vector<GCPGroupNode*> Index;
};

#endif
