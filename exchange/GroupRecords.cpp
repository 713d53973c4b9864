#include "GroupRecords.h"

#include "LineAxis.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

namespace morvane::tool {

const char* const kTransTypeHelp =
    "poly1 (affine, 3 points), poly2 (6), poly3 (10), similarity (2), projective (4), tps (thin plate spline, 3)";
const short kAllTransTypes[6] = {TM_TRANS_SIMILARITY, TM_TRANS_POLY1, TM_TRANS_PROJECTIVE,
                                 TM_TRANS_POLY2,      TM_TRANS_POLY3, TM_TRANS_TPS};

const char* TransTypeName(short transType) {
    switch (transType) {
        case TM_TRANS_POLY1: return "poly1";
        case TM_TRANS_POLY2: return "poly2";
        case TM_TRANS_POLY3: return "poly3";
        case TM_TRANS_SIMILARITY: return "similarity";
        case TM_TRANS_PROJECTIVE: return "projective";
        case TM_TRANS_TPS: return "tps";
    }
    return "unknown";
}

std::optional<short> TransTypeByName(const std::string& name) {
    for (short type : kAllTransTypes) {
        if (EqualsNoCase(name, TransTypeName(type))) return type;
    }
    if (EqualsNoCase(name, "affine")) return TM_TRANS_POLY1;
    if (EqualsNoCase(name, "helmert")) return TM_TRANS_SIMILARITY;
    if (name.size() == 1 && name[0] >= '1' && name[0] <= '6') return static_cast<short>(name[0] - '0');
    return std::nullopt;
}

GcpRow RowFromRecord(const _CtrlPntStrcT& record, short orientType) {
    GcpRow row;
    row.name = std::string(record.Name, strnlen(record.Name, sizeof record.Name));
    row.id = record.Id;
    row.pixel = record.PixelX;
    row.line = StoredLineSign(orientType) * record.PixelY;
    if (row.line == 0.0) row.line = 0.0;
    row.x = record.UserX;
    row.y = record.UserY;
    row.z = record.UserZ;
    row.use = record.UseFlag != 0;
    row.edit = record.EditFlag != 0;
    return row;
}

_CtrlPntStrcT RecordFromRow(const GcpRow& row, short orientType) {
    if (row.name.size() >= sizeof(_CtrlPntStrcT::Name)) {
        throw Refusal(fmt::format("identifier \"{}\" is longer than {} bytes", row.name,
                                  sizeof(_CtrlPntStrcT::Name) - 1));
    }
    if (row.name.find('\0') != std::string::npos) throw Refusal("an identifier holds a zero byte");
    for (double value : {row.pixel, row.line, row.x, row.y, row.z}) {
        if (!std::isfinite(value)) throw Refusal("a coordinate is not a finite number");
    }
    const double line = StoredLineSign(orientType) * row.line;
    _CtrlPntStrcT record = TmMakePoint(row.pixel, line, row.x, row.y, row.z, nullptr);
    std::memcpy(record.Name, row.name.data(), row.name.size());
    record.Id = row.id;
    record.UseFlag = row.use ? 1 : 0;
    record.EditFlag = row.edit ? 1 : 0;
    return record;
}

std::optional<GcpResidual> ResidualOf(AreaHandle& area, unsigned long index, short orientType) {
    GcpResidual r;
    if (area.GetOneGCPResidual(index, r.x, r.y, r.pixel, r.line) != 1) return std::nullopt;
    r.line *= StoredLineSign(orientType);
    return r;
}

}  // namespace morvane::tool
