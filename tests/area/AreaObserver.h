// AreaObserver.h - what an area shows through its public calls, for the
// tests of both area classes: everything it reports at once (to check that a
// call changed nothing, or that two areas are alike), the group numbers it
// accepts, and the range it computes for a group of its own.
#ifndef MORVANE_TESTS_AREA_AREAOBSERVER_H
#define MORVANE_TESTS_AREA_AREAOBSERVER_H

#include "AreaTestKit.h"
#include "CtrlPntSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <vector>

namespace morvane::test {

// Everything readable through an area's calls, as numbers compared bit for
// bit: each call's answer, and what it gave when it answered 1.
struct Observation {
    std::vector<double> values;

    bool operator==(const Observation& other) const {
        return values.size() == other.values.size() &&
               std::memcmp(values.data(), other.values.data(), values.size() * sizeof(double)) == 0;
    }
    friend void PrintTo(const Observation& observation, std::ostream* out) {
        *out << observation.values.size() << " values:";
        const std::size_t shown = std::min<std::size_t>(observation.values.size(), 48);
        for (std::size_t i = 0; i < shown; ++i) *out << ' ' << observation.values[i];
        if (shown < observation.values.size()) *out << " ...";
    }
};

// The highest group number OpenGCPGroup accepts (0: none), which may lie
// beyond GetGCPGroupNum's count after deletions.  The group current before
// (if any) is current again afterwards.
template <class Area>
unsigned long GroupBound(Area& area) {
    unsigned long groups = 0, current = 0;
    area.GetGCPGroupNum(groups);
    const bool hasCurrent = area.GetCurGCPGroupNo(current) == 1;
    if (hasCurrent) area.CloseGCPGroup();
    // Capped, so that an area accepting every number cannot hang the test.
    const unsigned long cap = groups + 4096;
    unsigned long bound = 0;
    while (bound < cap && area.OpenGCPGroup(bound + 1) == 1) {
        area.CloseGCPGroup();
        ++bound;
    }
    if (hasCurrent) area.OpenGCPGroup(current);
    return bound;
}

// Everything the area reports: the group count and bound, the current group,
// the change flag, the prepared conversion, and for every group number
// accepted its points with their error context, flags and residuals, its
// type, range, fit figures and one conversion.  Reading every group needs
// each to be current in turn; the group current before (if any) is current
// again afterwards, so the observation changes nothing itself.
template <class Area>
Observation Observe(Area& area) {
    Observation observation;
    std::vector<double>& out = observation.values;
    auto put = [&out](long rc, std::initializer_list<double> values) {
        out.push_back(static_cast<double>(rc));
        if (rc == 1) out.insert(out.end(), values);
    };
    unsigned long groups = 0, current = 0;
    put(area.GetGCPGroupNum(groups), {static_cast<double>(groups)});
    const unsigned long bound = GroupBound(area);
    out.push_back(static_cast<double>(bound));
    const bool hasCurrent = area.GetCurGCPGroupNo(current) == 1;
    out.push_back(hasCurrent ? static_cast<double>(current) : -1.0);
    bool changed = false;
    double a = 0, b = 0, c = 0, d = 0;
    put(area.PointTransform(12.5, 34.25, a, b), {a, b});  // the prepared conversion
    if (hasCurrent) area.CloseGCPGroup();
    for (unsigned long g = 1; g <= bound; ++g) {
        if (area.OpenGCPGroup(g) != 1) {
            out.push_back(-2.0);
            continue;
        }
        put(area.GetChangeFlag(changed), {changed ? 1.0 : 0.0});
        unsigned long n = 0;
        put(area.GetGCPNum(n), {static_cast<double>(n)});
        short orient = -1, trans = -1;
        put(area.GetGCPGroupType(orient, trans), {static_cast<double>(orient), static_cast<double>(trans)});
        put(area.GetGCPCoordRect(a, b, c, d), {a, b, c, d});
        put(area.GetGCPRMSError(a, b), {a, b});
        put(area.PointTransform(321.5, 77.25, a, b, true), {a, b});
        for (unsigned long i = 1; i <= n; ++i) {
            _CtrlPntStrcT p;
            std::memset(&p, 0, sizeof p);
            if (area.GetOneGCP(i, &p) == 1) {
                double words[sizeof p / sizeof(double)];
                std::memcpy(words, &p, sizeof words);
                out.insert(out.end(), words, words + sizeof words / sizeof words[0]);
            }
            bool use = false, edit = false;
            put(area.GetOneGcpUseOnOff(i, use), {use ? 1.0 : 0.0});
            put(area.GetOneGCPEditOnOff(i, edit), {edit ? 1.0 : 0.0});
            put(area.GetOneGCPResidual(i, a, b, c, d), {a, b, c, d});
        }
        area.CloseGCPGroup();
    }
    if (hasCurrent) area.OpenGCPGroup(current);
    return observation;
}

// Whether the area holds groups (an area never opened, closed after use or
// left without groups by a failed open answers no).
template <class Area>
bool HoldsGroups(Area& area) {
    unsigned long groups = 0;
    return area.GetGCPGroupNum(groups) == 1;
}

using Range = std::array<double, 4>;  // minimum X, minimum Y, maximum X, maximum Y

// The points of the probe group: enough for an affine fit.
inline std::vector<_CtrlPntStrcT> ProbePoints() {
    std::vector<_CtrlPntStrcT> points;
    for (int i = 1; i <= 4; ++i) points.push_back(TestPoint(i));
    return points;
}

// The range an area computes from its range arguments: appends a group (the
// type of a new group: affine), adds the probe points to it and reads the
// range recomputed after the last one.  Then clears the change flag, so the
// close does not write the probe group -- nor any edit made before it.  The
// group current before (if any) is current again afterwards.  All NaN when
// the area holds no groups or a call is refused.
template <class Area>
Range ProbeRange(Area& area) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Range range{nan, nan, nan, nan};
    unsigned long groups = 0, current = 0;
    if (area.GetGCPGroupNum(groups) != 1) return range;
    const bool hasCurrent = area.GetCurGCPGroupNo(current) == 1;
    if (hasCurrent) area.CloseGCPGroup();
    if (area.CreateGCPGroup(groups + 1) == 1 && area.OpenGCPGroup(groups + 1) == 1) {
        std::vector<_CtrlPntStrcT> points = ProbePoints();
        bool added = true;
        for (std::size_t i = 0; i < points.size(); ++i)
            added = area.AddOneGCP(static_cast<unsigned long>(i + 1), &points[i]) == 1 && added;
        if (added) area.GetGCPCoordRect(range[0], range[1], range[2], range[3]);
        area.SetChangeFlag(false);
        area.CloseGCPGroup();
    }
    if (hasCurrent) area.OpenGCPGroup(current);
    return range;
}

// The range the probe group must get for range arguments (columns, rows):
// the raster frame mapped through the fit when both are positive, else the
// bounding box of the points' user coordinates -- computed by the
// control-point library directly.
inline Range ExpectedProbeRange(long columns, long rows) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Range range{nan, nan, nan, nan};
    CCtrlPntSet reference;
    EXPECT_EQ(reference.InitPntSet(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1), TM_OK);
    std::vector<_CtrlPntStrcT> points = ProbePoints();
    for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(reference.AddOneGcp(static_cast<unsigned long>(i + 1), &points[i]), TM_OK);
    EXPECT_EQ(reference.ComputeUserCoordRange(columns, rows), TM_OK);
    reference.GetUserCoordRange(&range[0], &range[1], &range[2], &range[3]);
    return range;
}

}  // namespace morvane::test

#endif
