// OurSets.h - the comparison's control points as groups of our control-point
// library (CCtrlPntSet), with the same line-down orientation GDAL uses.
#ifndef MORVANE_BENCH_GDAL_OURSETS_H
#define MORVANE_BENCH_GDAL_OURSETS_H

#include <CtrlPntSet.h>

#include <vector>

#include "GcpSets.h"

namespace gdalcmp {

// The points as 120-byte records, made once so that building a group copies
// ready records, as GDAL's transformer copies a ready GCP list.
std::vector<_CtrlPntStrcT> ToRecords(const std::vector<Gcp>& gcps);

// Makes set an empty group of the given type and appends every record, all
// of them used.  Returns 0, or the first refusal.
long FillSet(CCtrlPntSet& set, short type, std::vector<_CtrlPntStrcT>& records);

// The same group made with one AddGCPs call for the whole array.
long FillSetFromArray(CCtrlPntSet& set, short type, const std::vector<_CtrlPntStrcT>& records);

// A readable name for a result code of the library ("TM_ERR_DEGENERATE").
const char* ResultName(long code);

}  // namespace gdalcmp

#endif
