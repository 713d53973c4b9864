// GCPGroupList.cpp - the ordered, numbered list of control-point groups.
//
// The chain HeadNode -> NextNode -> ... holds the groups in order; Index holds
// the same nodes so that group n is Index[n - 1], found in constant time.  Both
// are changed together, in LinkNode, UnlinkNode and ReleaseAllGroups only.
//
// Operations on one group act on the stored set directly.  The control-point
// library leaves a set exactly as it was when it refuses a call, so acting in
// place gives the same result as copying the group out, editing the copy and
// copying it back, without paying for two copies of the group and a walk of
// the whole list.  For the same reason only the groups whose position a change
// moves are renumbered: an edit inside a group moves none, an insertion or
// removal at n moves n to the last.
#include "GCPGroupList.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

using NodeIndex = std::vector<GCPGroupNode*>;

// Group numbers are 32-bit values; 2^31 and more address nothing, even though
// unsigned long is wider here.
constexpr unsigned long kFirstInvalidGroupNo = 1UL << 31;

// Orientation and transformation type of a group the list creates itself.
constexpr short kNewGroupOrientType = TM_ORIENT_LINE_DOWN;
constexpr short kNewGroupTransType = TM_TRANS_POLY1;

// The node of group n, or null when n addresses no group.
GCPGroupNode* NodeAt(const NodeIndex& index, unsigned long n) {
    if (n == 0 || n >= kFirstInvalidGroupNo || n > index.size()) return nullptr;
    return index[n - 1];
}

// Whether a new group may be inserted as group n (1 to count + 1).
bool IsInsertPosition(const NodeIndex& index, unsigned long n) {
    return n != 0 && n < kFirstInvalidGroupNo && n <= index.size() + 1;
}

// Whether set is one of the stored sets.  A stored set carries its position
// as group number, so one look at that position tells.
bool IsStoredSet(const NodeIndex& index, const CCtrlPntSet* set) {
    const long no = set->GetGroupNo();
    if (no < 1 || static_cast<unsigned long>(no) > index.size()) return false;
    return &index[static_cast<unsigned long>(no) - 1]->GroupSet == set;
}

// Makes room for one more node, so that the insertion itself cannot fail.
bool ReserveSlot(NodeIndex& index) {
    if (index.size() < index.capacity()) return true;
    try {
        index.reserve(index.empty() ? 8 : 2 * index.capacity());
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

// Writes their positions into groups first to last (clipped to the list) as
// group numbers; a renumbering of a non-empty list sets the modify flag.
void Renumber(const NodeIndex& index, unsigned long first, unsigned long last,
              short& modifyFlag) {
    if (last > index.size()) last = index.size();
    for (unsigned long k = first; k <= last; ++k) {
        index[k - 1]->GroupSet.SetGroupNo(static_cast<long>(k));
    }
    if (!index.empty()) modifyFlag = 1;
}

// Links node in as group n.  n is an insert position and a slot is reserved.
void LinkNode(GCPGroupNode*& head, NodeIndex& index, unsigned long n, GCPGroupNode* node) {
    node->NextNode = n <= index.size() ? index[n - 1] : nullptr;
    if (n > 1) {
        index[n - 2]->NextNode = node;
    } else {
        head = node;
    }
    index.insert(index.begin() + static_cast<std::ptrdiff_t>(n - 1), node);
}

// Takes group n (which exists) out of the chain and returns its node.
GCPGroupNode* UnlinkNode(GCPGroupNode*& head, NodeIndex& index, unsigned long n) {
    GCPGroupNode* node = index[n - 1];
    if (n > 1) {
        index[n - 2]->NextNode = node->NextNode;
    } else {
        head = node->NextNode;
    }
    node->NextNode = nullptr;
    index.erase(index.begin() + static_cast<std::ptrdiff_t>(n - 1));
    return node;
}

// Result of an edit made in place on group n.  A refused library call left the
// group as it was.  A stored-back copy would renumber the list; an edit in
// place moves no group, so only group n is written and the modify flag set.
short EditOutcome(long libraryResult, const NodeIndex& index, unsigned long n,
                  short& modifyFlag) {
    if (libraryResult != TM_OK) return 0;
    Renumber(index, n, n, modifyFlag);
    return 1;
}

std::unique_ptr<GCPGroupNode> AllocateNode() {
    return std::unique_ptr<GCPGroupNode>(new (std::nothrow) GCPGroupNode);
}

// Links a filled node in as group n and renumbers the groups it moved.  On
// failure the node is freed and the list is as it was.
bool InsertNode(GCPGroupNode*& head, NodeIndex& index, unsigned long n,
                std::unique_ptr<GCPGroupNode> node, short& modifyFlag) {
    if (!ReserveSlot(index)) return false;
    LinkNode(head, index, n, node.release());
    Renumber(index, n, index.size(), modifyFlag);
    return true;
}

}  // namespace

CGCPGroupList::CGCPGroupList()
    : HeadNode(nullptr), GroupNum(0), ModifyFlag(0), TransformSet(nullptr) {}

CGCPGroupList::~CGCPGroupList() {
    // A prepared transformation is released without EndTransform: the set's
    // destructor frees whatever BeginTransform prepared.
    delete TransformSet;
    TransformSet = nullptr;
    // Owners are meant to call ReleaseAllGroups first; groups still held are
    // freed here so that a forgotten call leaks nothing.
    ReleaseAllGroups();
}

// ---- the list of groups ----------------------------------------------------

short CGCPGroupList::GetGroupNum(unsigned long* count) {
    if (count == nullptr) return 0;
    *count = static_cast<unsigned long>(GroupNum);
    return 1;
}

short CGCPGroupList::GetModifyFlag() { return ModifyFlag; }

short CGCPGroupList::InsertGroup(unsigned long n, CCtrlPntSet* set) {
    if (set == nullptr || !IsInsertPosition(Index, n)) return 0;
    std::unique_ptr<GCPGroupNode> node = AllocateNode();
    if (!node) return 0;
    if (node->GroupSet.CopyPntSet(set) != TM_OK) return 0;
    if (!InsertNode(HeadNode, Index, n, std::move(node), ModifyFlag)) return 0;
    GroupNum = static_cast<long>(Index.size());
    return 1;
}

short CGCPGroupList::AdoptGroup(unsigned long n, CCtrlPntSet* set) {
    if (set == nullptr || !IsInsertPosition(Index, n)) return 0;
    if (set == TransformSet || IsStoredSet(Index, set)) return 0;
    std::unique_ptr<GCPGroupNode> node = AllocateNode();
    // The slot first: once the points have moved, the insertion must not fail.
    if (!node || !ReserveSlot(Index)) return 0;
    node->GroupSet.SwapPntSet(set);
    InsertNode(HeadNode, Index, n, std::move(node), ModifyFlag);
    GroupNum = static_cast<long>(Index.size());
    return 1;
}

short CGCPGroupList::RemoveGroup(unsigned long n) {
    if (NodeAt(Index, n) == nullptr) return 0;
    delete UnlinkNode(HeadNode, Index, n);
    GroupNum = static_cast<long>(Index.size());
    Renumber(Index, n, Index.size(), ModifyFlag);
    return 1;
}

short CGCPGroupList::CopyGroupOut(unsigned long n, CCtrlPntSet* set) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr || set == nullptr) return 0;
    if (set == &node->GroupSet) return 1;  // already holds the group
    // Stored and prepared sets are only read through the pointers PeekGroup
    // and PreparedSet hand out; writing a group over one of them would break
    // the numbering or the snapshot.
    if (set == TransformSet || IsStoredSet(Index, set)) return 0;
    return set->CopyPntSet(&node->GroupSet) == TM_OK ? 1 : 0;
}

short CGCPGroupList::CopyGroupIn(unsigned long n, CCtrlPntSet* set) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr || set == nullptr) return 0;
    if (set != &node->GroupSet && node->GroupSet.CopyPntSet(set) != TM_OK) return 0;
    // The copy carries the caller's group number; only group n can be off.
    Renumber(Index, n, n, ModifyFlag);
    return 1;
}

short CGCPGroupList::RenumberGroups() {
    if (Index.empty()) return 0;
    Renumber(Index, 1, Index.size(), ModifyFlag);
    return 1;
}

short CGCPGroupList::CreateEmptyGroup(unsigned long n) {
    if (!IsInsertPosition(Index, n)) return 0;
    std::unique_ptr<GCPGroupNode> node = AllocateNode();
    if (!node) return 0;
    if (node->GroupSet.InitPntSet(kNewGroupOrientType, kNewGroupTransType) != TM_OK) return 0;
    if (!InsertNode(HeadNode, Index, n, std::move(node), ModifyFlag)) return 0;
    GroupNum = static_cast<long>(Index.size());
    return 1;
}

void CGCPGroupList::ReleaseAllGroups() {
    GCPGroupNode* node = HeadNode;
    HeadNode = nullptr;
    while (node != nullptr) {
        GCPGroupNode* next = node->NextNode;
        delete node;
        node = next;
    }
    NodeIndex().swap(Index);  // frees the index's storage too
    // The count follows the chain, so that the list stays consistent (and
    // empty) should it be used after the release.
    GroupNum = 0;
}

// ---- operations inside group n -----------------------------------------------

short CGCPGroupList::GetGroupGCPNum(unsigned long n, unsigned long* count) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr || count == nullptr) return 0;
    node->GroupSet.GetGCPNum(count);
    return 1;
}

short CGCPGroupList::AddGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point) {
    if (GCPGroupNode* node = NodeAt(Index, n)) {
        return EditOutcome(node->GroupSet.AddOneGcp(index, point), Index, n, ModifyFlag);
    }
    // One past the last group: a new last group holding the point alone.
    if (n != Index.size() + 1 || !IsInsertPosition(Index, n)) return 0;
    std::unique_ptr<GCPGroupNode> node = AllocateNode();
    if (!node) return 0;
    if (node->GroupSet.InitPntSet(kNewGroupOrientType, kNewGroupTransType) != TM_OK) return 0;
    if (node->GroupSet.AddOneGcp(index, point) != TM_OK) return 0;
    if (!InsertNode(HeadNode, Index, n, std::move(node), ModifyFlag)) return 0;
    GroupNum = static_cast<long>(Index.size());
    return 1;
}

short CGCPGroupList::DeleteGroupGCP(unsigned long n, unsigned long index) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.DeleteOneGCP(index), Index, n, ModifyFlag);
}

short CGCPGroupList::GetGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.GetOneGCP(index, point) == TM_OK ? 1 : 0;
}

short CGCPGroupList::UpdateGroupGCP(unsigned long n, unsigned long index, _CtrlPntStrcT* point) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.UpdateOneGCP(index, point), Index, n, ModifyFlag);
}

short CGCPGroupList::SetGroupGCPUse(unsigned long n, unsigned long index, bool use) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.SetOneGcpUseOnOff(index, use), Index, n, ModifyFlag);
}

short CGCPGroupList::GetGroupGCPUse(unsigned long n, unsigned long index, bool* use) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.GetOneGcpUseOnOff(index, use) == TM_OK ? 1 : 0;
}

short CGCPGroupList::SetGroupGCPEdit(unsigned long n, unsigned long index, bool edit) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.SetOneGCPEditOnOff(index, edit), Index, n, ModifyFlag);
}

short CGCPGroupList::GetGroupGCPEdit(unsigned long n, unsigned long index, bool* edit) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.GetOneGCPEditOnOff(index, edit) == TM_OK ? 1 : 0;
}

short CGCPGroupList::GroupPointTransform(unsigned long n, double in1, double in2, double* out1,
                                         double* out2, bool forward) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.GetCoordinateA(out1, out2, in1, in2, forward) == TM_OK ? 1 : 0;
}

short CGCPGroupList::GetGroupCoordRange(unsigned long n, double* v1, double* v2, double* v3,
                                        double* v4) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.GetUserCoordRange(v1, v2, v3, v4) == TM_OK ? 1 : 0;
}

short CGCPGroupList::IsGroupLinear(unsigned long n, bool& linear) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return node->GroupSet.IsLinearConvert(linear) == TM_OK ? 1 : 0;
}

// ---- the prepared transformation ----------------------------------------------

short CGCPGroupList::BeginGroupTransform(unsigned long n, bool forward) {
    if (TransformSet != nullptr) return 0;
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    // A snapshot of the group, not tied to it afterwards.  On any failure it
    // is freed without EndTransform.
    std::unique_ptr<CCtrlPntSet> snapshot(new (std::nothrow) CCtrlPntSet);
    if (!snapshot) return 0;
    if (snapshot->CopyPntSet(&node->GroupSet) != TM_OK) return 0;
    if (snapshot->BeginTransform(forward) != TM_OK) return 0;
    TransformSet = snapshot.release();
    return 1;
}

void CGCPGroupList::EndGroupTransform() {
    if (TransformSet == nullptr) return;
    TransformSet->EndTransform();
    delete TransformSet;
    TransformSet = nullptr;
}

short CGCPGroupList::TransformPoint(double in1, double in2, double* out1, double* out2) {
    if (TransformSet == nullptr) return 0;
    return TransformSet->PointTransform(out1, out2, in1, in2) == TM_OK ? 1 : 0;
}

// ---- additions of ours -----------------------------------------------------------

short CGCPGroupList::ComputeGroupCoordRange(unsigned long n, long columns, long rows) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.ComputeUserCoordRange(columns, rows), Index, n, ModifyFlag);
}

short CGCPGroupList::AddGroupGCPs(unsigned long n, const _CtrlPntStrcT* points, unsigned long count,
                                  long* result, unsigned long* refused) {
    *refused = 0;
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) {
        *result = TM_ERR_INDEX;
        return 0;
    }
    *result = node->GroupSet.AddGCPs(points, count, refused);
    return EditOutcome(*result, Index, n, ModifyFlag);
}

short CGCPGroupList::SetGroupTransType(unsigned long n, short transType) {
    GCPGroupNode* node = NodeAt(Index, n);
    if (node == nullptr) return 0;
    return EditOutcome(node->GroupSet.SetTransType(transType), Index, n, ModifyFlag);
}

CCtrlPntSet* CGCPGroupList::PeekGroup(unsigned long n) {
    GCPGroupNode* node = NodeAt(Index, n);
    return node == nullptr ? nullptr : &node->GroupSet;
}
