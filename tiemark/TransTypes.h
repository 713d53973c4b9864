// TransTypes.h - what each transformation type needs, in one table.
#ifndef MORVANE_TIEMARK_TRANSTYPES_H
#define MORVANE_TIEMARK_TRANSTYPES_H

#include "CtrlPntSet.h"

namespace tiemark {

struct TransTypeShape {
    short type;               // TM_TRANS_*
    unsigned long minPoints;  // used points the fit needs
    int unknowns;             // unknowns of the least-squares system; 0 for the spline
    int termsPerAxis;         // polynomial terms per output axis (3: the affine part)
};

inline constexpr TransTypeShape kTransTypeShapes[] = {
    {TM_TRANS_POLY1, 3, 3, 3},       {TM_TRANS_POLY2, 6, 6, 6},
    {TM_TRANS_POLY3, 10, 10, 10},    {TM_TRANS_SIMILARITY, 2, 4, 3},
    {TM_TRANS_PROJECTIVE, 4, 8, 3},  {TM_TRANS_TPS, 3, 0, 3},
};

// The row of type, or null for an unknown code.
constexpr const TransTypeShape* ShapeOf(short type) {
    for (const TransTypeShape& shape : kTransTypeShapes) {
        if (shape.type == type) return &shape;
    }
    return nullptr;
}

}  // namespace tiemark

#endif
