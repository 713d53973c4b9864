// SetSnapshot.h - everything a caller can read back from a CCtrlPntSet, for
// checking that a refused call changed nothing.
#ifndef MORVANE_TESTS_TIEMARK_SETSNAPSHOT_H
#define MORVANE_TESTS_TIEMARK_SETSNAPSHOT_H

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "CtrlPntSet.h"

struct SetSnapshot {
    unsigned long count = 0;
    short orient = -1, trans = -1;
    double range[4] = {};
    std::vector<unsigned char> records;  // every point record, byte for byte
    std::vector<int> useFlags, editFlags;
    long fitStatus = -1;
    double probe[2] = {};  // a forward conversion, when a fit exists

    static SetSnapshot Of(CCtrlPntSet& set) {
        SetSnapshot s;
        set.GetGCPNum(&s.count);
        set.GetOrientType(&s.orient);
        set.GetTransType(&s.trans);
        set.GetUserCoordRange(&s.range[0], &s.range[1], &s.range[2], &s.range[3]);
        for (unsigned long i = 1; i <= s.count; ++i) {
            _CtrlPntStrcT p;
            std::memset(&p, 0xAB, sizeof(p));
            if (set.GetOneGCP(i, &p) != TM_OK) throw std::runtime_error("GetOneGCP failed");
            const auto* bytes = reinterpret_cast<const unsigned char*>(&p);
            s.records.insert(s.records.end(), bytes, bytes + sizeof(p));
            bool use = false, edit = false;
            set.GetOneGcpUseOnOff(i, &use);
            set.GetOneGCPEditOnOff(i, &edit);
            s.useFlags.push_back(use);
            s.editFlags.push_back(edit);
        }
        s.fitStatus = set.GetCoordinateA(&s.probe[0], &s.probe[1], 123.25, 456.5, true);
        return s;
    }

    bool operator==(const SetSnapshot& o) const {
        return count == o.count && orient == o.orient && trans == o.trans &&
               std::memcmp(range, o.range, sizeof(range)) == 0 && records == o.records &&
               useFlags == o.useFlags && editFlags == o.editFlags && fitStatus == o.fitStatus &&
               std::memcmp(probe, o.probe, sizeof(probe)) == 0;
    }
};

#endif
