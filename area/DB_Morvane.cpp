// DB_Morvane.cpp - construction, copying, closing and the common operations
// of the database-backed area.  Opening, loading and saving live in
// DB_MorvaneStore.cpp.
#include "Morvane.h"

#include "AreaAccess.h"

using morvane::AreaAccess;

CDB_Morvane::CDB_Morvane() : RasterArea(nullptr), RecordKey(0), LoadedRecordVersion(0) {
    AreaAccess::InitCommonFields(*this);
}

// The copy gets a deep copy of the groups of its own (see Morvane.h); when
// memory for it runs out, the copy is left closed after use, holding nothing.
CDB_Morvane::CDB_Morvane(const CDB_Morvane& other)
    : RasterArea(other.RasterArea), RecordKey(other.RecordKey),
      LoadedRecordVersion(other.LoadedRecordVersion) {
    AreaAccess::InitCommonFields(*this);
    AreaAccess::CopyCommonFields(*this, other);
    GroupList = AreaAccess::CloneGroupList(other.GroupList);
}

// The target's own groups end as at destruction: saved when the write-back
// rule says so, then released.  The source is copied first, so assigning an
// area to itself or to a copy of itself loses nothing.
CDB_Morvane& CDB_Morvane::operator=(const CDB_Morvane& other) {
    if (this == &other) return *this;
    CGCPGroupList* copy = AreaAccess::CloneGroupList(other.GroupList);
    AreaAccess::Destroy(*this);
    RasterArea = other.RasterArea;
    RecordKey = other.RecordKey;
    LoadedRecordVersion = other.LoadedRecordVersion;
    AreaAccess::CopyCommonFields(*this, other);
    GroupList = copy;
    return *this;
}

CDB_Morvane::~CDB_Morvane() { AreaAccess::Destroy(*this); }

short CDB_Morvane::CloseGCPArea() { return AreaAccess::Close(*this); }

short CDB_Morvane::GetGCPGroupNum(unsigned long& count) { return AreaAccess::GetGCPGroupNum(*this, count); }
short CDB_Morvane::CreateGCPGroup(unsigned long groupNo) { return AreaAccess::CreateGCPGroup(*this, groupNo); }
short CDB_Morvane::DeleteGCPGroup(unsigned long groupNo) { return AreaAccess::DeleteGCPGroup(*this, groupNo); }
short CDB_Morvane::OpenGCPGroup(unsigned long groupNo) { return AreaAccess::OpenGCPGroup(*this, groupNo); }
short CDB_Morvane::CloseGCPGroup() { return AreaAccess::CloseGCPGroup(*this); }
short CDB_Morvane::GetCurGCPGroupNo(unsigned long& groupNo) {
    return AreaAccess::GetCurGCPGroupNo(*this, groupNo);
}
short CDB_Morvane::GetChangeFlag(bool& changed) { return AreaAccess::GetChangeFlag(*this, changed); }
short CDB_Morvane::SetChangeFlag(bool changed) { return AreaAccess::SetChangeFlag(*this, changed); }

short CDB_Morvane::GetGCPNum(unsigned long& count) { return AreaAccess::GetGCPNum(*this, count); }
short CDB_Morvane::AddOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::AddOneGCP(*this, index, point);
}
short CDB_Morvane::AddGCPs(const _CtrlPntStrcT* points, unsigned long count) {
    return AreaAccess::AddGCPs(*this, points, count);
}
short CDB_Morvane::DeleteOneGCP(unsigned long index) { return AreaAccess::DeleteOneGCP(*this, index); }
short CDB_Morvane::GetOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::GetOneGCP(*this, index, point);
}
short CDB_Morvane::UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    return AreaAccess::UpdateOneGCP(*this, index, point);
}
short CDB_Morvane::GetOneGCPEditOnOff(unsigned long index, bool& edit) {
    return AreaAccess::GetOneGCPEditOnOff(*this, index, edit);
}
short CDB_Morvane::SetOneGCPEditOnOff(unsigned long index, bool edit) {
    return AreaAccess::SetOneGCPEditOnOff(*this, index, edit);
}
short CDB_Morvane::GetOneGcpUseOnOff(unsigned long index, bool& use) {
    return AreaAccess::GetOneGcpUseOnOff(*this, index, use);
}
short CDB_Morvane::SetOneGcpUseOnOff(unsigned long index, bool use) {
    return AreaAccess::SetOneGcpUseOnOff(*this, index, use);
}

short CDB_Morvane::PointTransform(double in1, double in2, double& out1, double& out2, bool forward) {
    return AreaAccess::PointTransform(*this, in1, in2, out1, out2, forward);
}
short CDB_Morvane::GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY) {
    return AreaAccess::GetGCPCoordRect(*this, minX, minY, maxX, maxY);
}
short CDB_Morvane::IsLinearConvert(bool& linear) { return AreaAccess::IsLinearConvert(*this, linear); }
long CDB_Morvane::BeginTransform(bool forward) { return AreaAccess::BeginTransform(*this, forward); }
void CDB_Morvane::EndTransform() { AreaAccess::EndTransform(*this); }
long CDB_Morvane::PointTransform(double in1, double in2, double& out1, double& out2) {
    return AreaAccess::PreparedTransform(*this, in1, in2, out1, out2);
}

short CDB_Morvane::GetGCPGroupType(short& orientType, short& transType) {
    return AreaAccess::GetGCPGroupType(*this, orientType, transType);
}
short CDB_Morvane::SetGCPGroupType(short transType) { return AreaAccess::SetGCPGroupType(*this, transType); }
short CDB_Morvane::GetOneGCPResidual(unsigned long index, double& userDX, double& userDY,
                                  double& pixelDX, double& pixelDY) {
    return AreaAccess::GetOneGCPResidual(*this, index, userDX, userDY, pixelDX, pixelDY);
}
short CDB_Morvane::GetGCPRMSError(double& userRms, double& pixelRms) {
    return AreaAccess::GetGCPRMSError(*this, userRms, pixelRms);
}
long CDB_Morvane::BatchTransform(const double* in, double* out, std::size_t count) {
    return AreaAccess::BatchTransform(*this, in, out, count);
}
