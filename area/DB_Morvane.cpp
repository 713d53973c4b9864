// DB_Morvane.cpp - the database-backed area: the area core (Area.h) over
// the class's own fields, with its groups kept in one record of a raster
// database (DatabaseStore.h).
#include "Morvane.h"

#include "DatabaseStore.h"
#include "ExportedArea.h"

#include <string>

using morvane::Bound;
using morvane::ExportedFields;

namespace {

// Runs call(core, store) on the area over its record, and keeps the record
// version the store ends with.
template <class Call>
auto WithStore(CDB_Morvane& area, Call call) {
    morvane::DatabaseStore store(ExportedFields::Raster(area), ExportedFields::RecordKey(area),
                                 ExportedFields::RecordVersion(area));
    struct KeepVersion {
        CDB_Morvane& area;
        morvane::DatabaseStore& store;
        ~KeepVersion() {
            ExportedFields::SetRecord(area, ExportedFields::Raster(area), ExportedFields::RecordKey(area),
                                      store.version());
        }
    } keep{area, store};
    Bound<CDB_Morvane> bound(area);
    return call(bound.core(), store);
}

}  // namespace

CDB_Morvane::CDB_Morvane() : RasterArea(nullptr), RecordKey(0), LoadedRecordVersion(0) {
    ExportedFields::Clear(*this);
}

// The copy gets a deep copy of the groups of its own (see Morvane.h).
CDB_Morvane::CDB_Morvane(const CDB_Morvane& other) : CDB_Morvane() { *this = other; }

// The target's own groups end as at destruction, then it takes the
// source's state and record.
CDB_Morvane& CDB_Morvane::operator=(const CDB_Morvane& other) {
    if (this == &other) return *this;
    const morvane::AreaState source = ExportedFields::Lend(const_cast<CDB_Morvane&>(other));
    WithStore(*this, [&source](morvane::Area& core, morvane::Store& store) {
        core.AssignFrom(source, store);
        return 0;
    });
    ExportedFields::SetRecord(*this, other.RasterArea, other.RecordKey, other.LoadedRecordVersion);
    return *this;
}

CDB_Morvane::~CDB_Morvane() {
    WithStore(*this, [](morvane::Area& core, morvane::Store& store) {
        core.Destroy(store);
        return 0;
    });
}

// Refusals that change nothing come first: a key that does not fit its
// 32-bit field (it would name another record), range arguments likewise,
// and an area whose groups cannot be closed (their save failed).  The area
// then takes the new raster area and key; a failed load leaves it open
// without a list, with the former range arguments.
short CDB_Morvane::OpenGCPArea(CRasteBaseArea* area, long recordKey, long rangeArg1, long rangeArg2) {
    if (recordKey < INT32_MIN || recordKey > INT32_MAX) {
        return Bound<CDB_Morvane>(*this)->Report(morvane::Status::InvalidArgument(
            "record key " + std::to_string(recordKey) + " does not fit in 32 bits"));
    }
    if (morvane::Status checked = morvane::Area::CheckRangeArgs(rangeArg1, rangeArg2); !checked.ok()) {
        return Bound<CDB_Morvane>(*this)->Report(checked);
    }
    // The groups held before are saved to their own record, then the new
    // record is loaded.
    if (WithStore(*this, [](morvane::Area& core, morvane::Store& store) {
            return core.Report(core.CloseHeld(store));
        }) == 0) {
        return 0;
    }
    ExportedFields::SetRecord(*this, area, static_cast<std::int32_t>(recordKey), 0);
    return WithStore(*this, [rangeArg1, rangeArg2](morvane::Area& core, morvane::Store& store) {
        return core.Report(core.Open(store, rangeArg1, rangeArg2, morvane::FailedLoad::kDropGroups));
    });
}

short CDB_Morvane::CloseGCPArea() {
    return WithStore(*this, [](morvane::Area& core, morvane::Store& store) { return core.Report(core.Close(store)); });
}

MORVANE_DEFINE_AREA_CALLS(CDB_Morvane)
