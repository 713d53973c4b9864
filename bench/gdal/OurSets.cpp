#include "OurSets.h"

namespace gdalcmp {

std::vector<_CtrlPntStrcT> ToRecords(const std::vector<Gcp>& gcps) {
    std::vector<_CtrlPntStrcT> records;
    records.reserve(gcps.size());
    for (const Gcp& g : gcps) records.push_back(TmMakePoint(g.pixel, g.line, g.x, g.y));
    return records;
}

long FillSet(CCtrlPntSet& set, short type, std::vector<_CtrlPntStrcT>& records) {
    if (long rc = set.InitPntSet(TM_ORIENT_LINE_DOWN, type)) return rc;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (long rc = set.AddOneGcp(static_cast<unsigned long>(i + 1), &records[i])) return rc;
    return TM_OK;
}

long FillSetFromArray(CCtrlPntSet& set, short type, const std::vector<_CtrlPntStrcT>& records) {
    if (long rc = set.InitPntSet(TM_ORIENT_LINE_DOWN, type)) return rc;
    return set.AddGCPs(records.data(), static_cast<unsigned long>(records.size()));
}

const char* ResultName(long code) {
    switch (code) {
        case TM_OK: return "TM_OK";
        case TM_ERR_ARGUMENT: return "TM_ERR_ARGUMENT";
        case TM_ERR_INDEX: return "TM_ERR_INDEX";
        case TM_ERR_NOT_FINITE: return "TM_ERR_NOT_FINITE";
        case TM_ERR_TOO_FEW: return "TM_ERR_TOO_FEW";
        case TM_ERR_DEGENERATE: return "TM_ERR_DEGENERATE";
        case TM_ERR_NO_CONVERGE: return "TM_ERR_NO_CONVERGE";
        case TM_ERR_STATE: return "TM_ERR_STATE";
        case TM_ERR_MEMORY: return "TM_ERR_MEMORY";
        case TM_ERR_OUTSIDE: return "TM_ERR_OUTSIDE";
        default: return "unknown code";
    }
}

}  // namespace gdalcmp
