// ExportedArea.h - how the exported area classes lend their fields to the
// area core for one call.
//
// CFile_Morvane and CDB_Morvane declare the same common fields under the
// same names in a packed layout callers compile in, so the core cannot keep
// a reference to them (a field may sit at any address).  A Bound copies them
// into an AreaState when a call starts, hands the core that state, and
// copies it back when the call ends.  ExportedFields, the classes' friend,
// is the one place that names their fields.
//
// MORVANE_DEFINE_AREA_CALLS(Class) defines every call the two classes share
// as a forward to the core; each class's own file defines only what differs
// (construction, the open, and the store the close saves to).
#ifndef MORVANE_AREA_EXPORTEDAREA_H
#define MORVANE_AREA_EXPORTEDAREA_H

#include "Area.h"

#include <cstdint>
#include <cstring>

class CRasteBaseArea;

namespace morvane {

struct ExportedFields {
    template <class Exported>
    static AreaState Lend(Exported& area) {
        AreaState state;
        state.groups = area.GroupList;
        state.open = area.OpenFlag;
        state.changed = area.ChangeFlag;
        state.groupBound = area.GCPGroupNum;
        state.current = area.CurGCPGroupNo;
        state.columns = area.RangeArg1;
        state.rows = area.RangeArg2;
        state.lastOpenFailed = area.LastOpenFailed;
        state.lastError = area.LastErrorText;
        state.lastErrorCapacity = sizeof area.LastErrorText;
        return state;
    }

    template <class Exported>
    static void TakeBack(Exported& area, const AreaState& state) {
        area.GroupList = state.groups;
        area.OpenFlag = state.open;
        area.ChangeFlag = state.changed;
        area.GCPGroupNum = state.groupBound;
        area.CurGCPGroupNo = state.current;
        area.RangeArg1 = state.columns;
        area.RangeArg2 = state.rows;
        area.LastOpenFailed = state.lastOpenFailed;
    }

    // The fields of a new object: closed, no groups, no reason.
    template <class Exported>
    static void Clear(Exported& area) {
        TakeBack(area, AreaState());
        area.LastErrorText[0] = '\0';
    }

    // What only the file area has: the path it saves to and the version of
    // the file (LoadedFileVersion, copied as bytes: it may sit at any
    // address).
    template <class Exported>
    static char* FileName(Exported& area) { return area.FileName; }
    template <class Exported>
    static void* FileVersionBytes(Exported& area) { return area.LoadedFileVersion; }

    // What only the database area has, read and written by value.
    template <class Exported>
    static CRasteBaseArea* Raster(const Exported& area) { return area.RasterArea; }
    template <class Exported>
    static std::int32_t RecordKey(const Exported& area) { return area.RecordKey; }
    template <class Exported>
    static std::uint64_t RecordVersion(const Exported& area) { return area.LoadedRecordVersion; }
    template <class Exported>
    static void SetRecord(Exported& area, CRasteBaseArea* raster, std::int32_t key, std::uint64_t version) {
        area.RasterArea = raster;
        area.RecordKey = key;
        area.LoadedRecordVersion = version;
    }
};

// The core over an exported object's fields for the length of one call.
template <class Exported>
class Bound {
public:
    explicit Bound(Exported& area) : area_(area), state_(ExportedFields::Lend(area)), core_(state_) {}
    ~Bound() { ExportedFields::TakeBack(area_, state_); }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    Area* operator->() { return &core_; }
    Area& core() { return core_; }
    AreaState& state() { return state_; }

private:
    Exported& area_;
    AreaState state_;
    Area core_;
};

// The exported results of the core's answers.
inline short Result(bool ok) { return ok ? 1 : 0; }

}  // namespace morvane

// Every call both classes share, as forwards to the core.
#define MORVANE_DEFINE_AREA_CALLS(Class)                                                                    \
    short Class::GetGCPGroupNum(unsigned long& count) {                                                    \
        return morvane::Result(morvane::Bound<Class>(*this)->GroupCount(count));                            \
    }                                                                                                       \
    short Class::CreateGCPGroup(unsigned long groupNo) {                                                   \
        return morvane::Result(morvane::Bound<Class>(*this)->CreateGroup(groupNo));                         \
    }                                                                                                       \
    short Class::DeleteGCPGroup(unsigned long groupNo) {                                                   \
        return morvane::Result(morvane::Bound<Class>(*this)->DeleteGroup(groupNo));                         \
    }                                                                                                       \
    short Class::OpenGCPGroup(unsigned long groupNo) {                                                     \
        return morvane::Result(morvane::Bound<Class>(*this)->OpenGroup(groupNo));                           \
    }                                                                                                       \
    short Class::CloseGCPGroup() { return morvane::Result(morvane::Bound<Class>(*this)->CloseGroup()); }   \
    short Class::GetCurGCPGroupNo(unsigned long& groupNo) {                                                \
        return morvane::Result(morvane::Bound<Class>(*this)->CurrentGroup(groupNo));                        \
    }                                                                                                       \
    short Class::GetChangeFlag(bool& changed) {                                                            \
        return morvane::Result(morvane::Bound<Class>(*this)->GetChangeFlag(changed));                       \
    }                                                                                                       \
    short Class::SetChangeFlag(bool changed) {                                                             \
        return morvane::Result(morvane::Bound<Class>(*this)->SetChangeFlag(changed));                       \
    }                                                                                                       \
    short Class::GetGCPNum(unsigned long& count) {                                                         \
        return morvane::Result(morvane::Bound<Class>(*this)->PointCount(count));                            \
    }                                                                                                       \
    short Class::AddOneGCP(unsigned long index, _CtrlPntStrcT* point) {                                    \
        return morvane::Result(morvane::Bound<Class>(*this)->AddPoint(index, point));                       \
    }                                                                                                       \
    short Class::AddGCPs(const _CtrlPntStrcT* points, unsigned long count) {                               \
        morvane::Bound<Class> bound(*this);                                                                 \
        return bound->Report(bound->AddPoints(points, count));                                              \
    }                                                                                                       \
    short Class::DeleteOneGCP(unsigned long index) {                                                       \
        return morvane::Result(morvane::Bound<Class>(*this)->DeletePoint(index));                           \
    }                                                                                                       \
    short Class::GetOneGCP(unsigned long index, _CtrlPntStrcT* point) {                                    \
        return morvane::Result(morvane::Bound<Class>(*this)->GetPoint(index, point));                       \
    }                                                                                                       \
    short Class::UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point) {                                 \
        return morvane::Result(morvane::Bound<Class>(*this)->UpdatePoint(index, point));                    \
    }                                                                                                       \
    short Class::GetOneGCPEditOnOff(unsigned long index, bool& edit) {                                     \
        return morvane::Result(morvane::Bound<Class>(*this)->GetEditFlag(index, edit));                     \
    }                                                                                                       \
    short Class::SetOneGCPEditOnOff(unsigned long index, bool edit) {                                      \
        return morvane::Result(morvane::Bound<Class>(*this)->SetEditFlag(index, edit));                     \
    }                                                                                                       \
    short Class::GetOneGcpUseOnOff(unsigned long index, bool& use) {                                       \
        return morvane::Result(morvane::Bound<Class>(*this)->GetUseFlag(index, use));                       \
    }                                                                                                       \
    short Class::SetOneGcpUseOnOff(unsigned long index, bool use) {                                        \
        return morvane::Result(morvane::Bound<Class>(*this)->SetUseFlag(index, use));                       \
    }                                                                                                       \
    short Class::PointTransform(double in1, double in2, double& out1, double& out2, bool forward) {        \
        return morvane::Result(morvane::Bound<Class>(*this)->Convert(in1, in2, out1, out2, forward));       \
    }                                                                                                       \
    short Class::GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY) {                 \
        return morvane::Result(morvane::Bound<Class>(*this)->Range(minX, minY, maxX, maxY));                \
    }                                                                                                       \
    short Class::IsLinearConvert(bool& linear) {                                                           \
        return morvane::Result(morvane::Bound<Class>(*this)->IsLinear(linear));                             \
    }                                                                                                       \
    long Class::BeginTransform(bool forward) {                                                             \
        return morvane::Result(morvane::Bound<Class>(*this)->BeginTransform(forward));                      \
    }                                                                                                       \
    void Class::EndTransform() { morvane::Bound<Class>(*this)->EndTransform(); }                           \
    long Class::PointTransform(double in1, double in2, double& out1, double& out2) {                       \
        return morvane::Result(                                                                             \
            morvane::Area::ConvertPrepared(GroupList, OpenFlag, CurGCPGroupNo, in1, in2, out1, out2));      \
    }                                                                                                       \
    long Class::BatchTransform(const double* in, double* out, std::size_t count) {                         \
        return morvane::Result(                                                                             \
            morvane::Area::ConvertPreparedBatch(GroupList, OpenFlag, CurGCPGroupNo, in, out, count));       \
    }                                                                                                       \
    short Class::GetGCPGroupType(short& orientType, short& transType) {                                    \
        return morvane::Result(morvane::Bound<Class>(*this)->GroupType(orientType, transType));             \
    }                                                                                                       \
    short Class::SetGCPGroupType(short transType) {                                                        \
        return morvane::Result(morvane::Bound<Class>(*this)->SetGroupType(transType));                      \
    }                                                                                                       \
    short Class::GetOneGCPResidual(unsigned long index, double& userDX, double& userDY, double& pixelDX,   \
                                   double& pixelDY) {                                                       \
        return morvane::Result(                                                                             \
            morvane::Bound<Class>(*this)->Residual(index, userDX, userDY, pixelDX, pixelDY));               \
    }                                                                                                       \
    short Class::GetGCPRMSError(double& userRms, double& pixelRms) {                                       \
        return morvane::Result(morvane::Bound<Class>(*this)->Rms(userRms, pixelRms));                       \
    }                                                                                                       \
    const char* Class::GetLastError() const { return LastErrorText; }

#endif
