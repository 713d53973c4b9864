// GroupListTestKit.h - builders and whole-list snapshots for the group list
// tests.
//
// A snapshot records everything a caller can observe of a list: the group
// count, the modify flag, and for every stored group its group number, types,
// point count, every point record byte for byte, both flags of every point and
// the user coordinate range (with the library's result for reading it).  Two
// snapshots compare equal only when nothing observable changed.
#ifndef MORVANE_TESTS_GROUPLIST_GROUPLISTTESTKIT_H
#define MORVANE_TESTS_GROUPLIST_GROUPLISTTESTKIT_H

#include "GCPGroupList.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

namespace grouplist_test {

// An affine map from pixel/line to user coordinates:
//   X = x0 + a * pixel + b * line,  Y = y0 + c * pixel + d * line.
struct AffineMap {
    double x0, a, b, y0, c, d;
    double X(double pixel, double line) const { return x0 + a * pixel + b * line; }
    double Y(double pixel, double line) const { return y0 + c * pixel + d * line; }
};

// The map used for the points of group tag t; different tags give different maps.
inline AffineMap MapForTag(int tag) {
    return AffineMap{1000.0 * tag, 2.0 + 0.25 * tag, 0.5, 5000.0 + 10.0 * tag, -0.3, 1.5 + 0.1 * tag};
}

// Pixel position of point i (from 1) of a group: spread out and not collinear.
inline void PixelOfPoint(unsigned long i, double* pixel, double* line) {
    *pixel = 10.0 + 37.0 * static_cast<double>(i) + 3.0 * static_cast<double>(i * i % 7);
    *line = 20.0 + 11.0 * static_cast<double>(i * i % 13) + 5.0 * static_cast<double>(i);
}

// Point i of the group tagged tag: Id tag * 1000 + i, name "T<tag>-<i>",
// user coordinates on the tag's map.
inline _CtrlPntStrcT PointOf(int tag, unsigned long i, const AffineMap& map) {
    double pixel = 0.0;
    double line = 0.0;
    PixelOfPoint(i, &pixel, &line);
    char name[32];
    std::snprintf(name, sizeof name, "T%d-%lu", tag, i);
    _CtrlPntStrcT point = TmMakePoint(pixel, line, map.X(pixel, line), map.Y(pixel, line),
                                      static_cast<double>(tag), name);
    point.Id = static_cast<std::int32_t>(tag * 1000 + static_cast<int>(i));
    return point;
}

inline _CtrlPntStrcT PointOf(int tag, unsigned long i) { return PointOf(tag, i, MapForTag(tag)); }

// Fills set with count points of the given tag (orientation 0, affine), and
// gives it a group number that no position will have.
inline void FillSet(CCtrlPntSet* set, int tag, unsigned long count) {
    set->InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
    for (unsigned long i = 1; i <= count; ++i) {
        _CtrlPntStrcT point = PointOf(tag, i);
        set->AddOneGcp(i, &point);
    }
    set->SetGroupNo(900 + tag);
}

// The tag of the group a set holds, read from its first point; -1 if empty.
inline int TagOfSet(CCtrlPntSet* set) {
    _CtrlPntStrcT point{};
    if (set->GetOneGCP(1, &point) != TM_OK) return -1;
    return point.Id / 1000;
}

// Whether two records hold the same point: everything but the error context,
// which the library fills in from its latest check when a point is read.
inline bool SamePoint(const _CtrlPntStrcT& a, const void* b) {
    return std::memcmp(&a, b, offsetof(_CtrlPntStrcT, Err)) == 0;
}

struct GroupSnapshot {
    long groupNo = 0;
    short orientType = -1;
    short transType = -1;
    unsigned long count = 0;
    std::vector<std::array<unsigned char, sizeof(_CtrlPntStrcT)>> records;
    std::vector<std::array<bool, 2>> flags;  // use, edit
    long rangeResult = -1;
    std::array<unsigned char, 4 * sizeof(double)> rangeBytes{};

    bool operator==(const GroupSnapshot&) const = default;
};

inline GroupSnapshot SnapshotSet(CCtrlPntSet* set) {
    GroupSnapshot snap;
    snap.groupNo = set->GetGroupNo();
    set->GetOrientType(&snap.orientType);
    set->GetTransType(&snap.transType);
    set->GetGCPNum(&snap.count);
    for (unsigned long i = 1; i <= snap.count; ++i) {
        _CtrlPntStrcT point;
        std::memset(&point, 0xA5, sizeof point);
        set->GetOneGCP(i, &point);
        std::array<unsigned char, sizeof(_CtrlPntStrcT)> bytes;
        std::memcpy(bytes.data(), &point, sizeof point);
        snap.records.push_back(bytes);
        bool use = false;
        bool edit = false;
        set->GetOneGcpUseOnOff(i, &use);
        set->GetOneGCPEditOnOff(i, &edit);
        snap.flags.push_back({use, edit});
    }
    double range[4] = {0.0, 0.0, 0.0, 0.0};
    snap.rangeResult = set->GetUserCoordRange(&range[0], &range[1], &range[2], &range[3]);
    std::memcpy(snap.rangeBytes.data(), range, sizeof range);
    return snap;
}

struct ListSnapshot {
    unsigned long groupNum = 0;
    short modifyFlag = -1;
    bool prepared = false;
    std::vector<GroupSnapshot> groups;

    bool operator==(const ListSnapshot&) const = default;
};

inline ListSnapshot SnapshotList(CGCPGroupList& list) {
    ListSnapshot snap;
    list.GetGroupNum(&snap.groupNum);
    snap.modifyFlag = list.GetModifyFlag();
    snap.prepared = list.PreparedSet() != nullptr;
    for (unsigned long n = 1; n <= snap.groupNum; ++n) {
        CCtrlPntSet* set = list.PeekGroup(n);
        if (set == nullptr) break;  // shows up as a count mismatch
        snap.groups.push_back(SnapshotSet(set));
    }
    return snap;
}

inline std::ostream& operator<<(std::ostream& os, const GroupSnapshot& g) {
    return os << "{no " << g.groupNo << ", types " << g.orientType << "/" << g.transType << ", "
              << g.count << " points, range result " << g.rangeResult << "}";
}

inline std::ostream& operator<<(std::ostream& os, const ListSnapshot& s) {
    os << "{" << s.groupNum << " groups, flag " << s.modifyFlag
       << (s.prepared ? ", prepared" : "") << ":";
    for (const GroupSnapshot& g : s.groups) os << " " << g;
    return os << "}";
}

// Appends groups tagged 1, 2, 3 (P, Q, R) with 3, 4 and 5 points.
inline void FillPQR(CGCPGroupList& list) {
    for (int tag = 1; tag <= 3; ++tag) {
        CCtrlPntSet set;
        FillSet(&set, tag, static_cast<unsigned long>(tag) + 2);
        unsigned long count = 0;
        list.GetGroupNum(&count);
        list.InsertGroup(count + 1, &set);
    }
}

// Tags of the stored groups in order.
inline std::vector<int> TagsOf(CGCPGroupList& list) {
    std::vector<int> tags;
    unsigned long count = 0;
    list.GetGroupNum(&count);
    for (unsigned long n = 1; n <= count; ++n) {
        CCtrlPntSet* set = list.PeekGroup(n);
        tags.push_back(set == nullptr ? -2 : TagOfSet(set));
    }
    return tags;
}

// Whether every stored group carries its position as group number.
inline bool NumberedByPosition(CGCPGroupList& list) {
    unsigned long count = 0;
    list.GetGroupNum(&count);
    for (unsigned long n = 1; n <= count; ++n) {
        CCtrlPntSet* set = list.PeekGroup(n);
        if (set == nullptr || set->GetGroupNo() != static_cast<long>(n)) return false;
    }
    return list.PeekGroup(count + 1) == nullptr;
}

}  // namespace grouplist_test

#endif
