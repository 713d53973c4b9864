// Morvane.h - the two area classes through which an application keeps the
// ground control points of a raster.
//
// An area holds numbered groups of control points (1 to N).  A caller opens
// the area from its store, opens one group at a time, edits its points and
// converts coordinates with it, and closes the area, which writes the groups
// back to the store when they changed.
//
//   CFile_Morvane  groups kept in a control-point file named by a path
//   CDB_Morvane    groups kept in one record of a Lodestor raster database
//
// Both classes offer the same operations under the same rules.  Operations
// return 1 for success and 0 for failure (16-bit short; BeginTransform and
// the four-argument PointTransform widen it to long).  Units and conventions
// of points and coordinates are those of the control-point library
// (CtrlPntSet.h): pixel/line in pixels, user coordinates in map units, the
// range as minimum X, minimum Y, maximum X, maximum Y.
//
// Copies: copying an area that holds groups gives the copy a deep copy of
// its own; each object saves what it holds at its own close (the later save
// wins), and neither can release the other's groups.  A prepared
// transformation is not copied.
#ifndef MORVANE_AREA_MORVANE_H
#define MORVANE_AREA_MORVANE_H

#include "CtrlPntSet.h"

#include <cstddef>
#include <cstdint>

class CGCPGroupList;
class CRasteBaseArea;
namespace morvane { struct AreaAccess; }

#pragma pack(push, 1)

class CFile_Morvane {
public:
    CFile_Morvane();
    CFile_Morvane(const CFile_Morvane& other);
    CFile_Morvane& operator=(const CFile_Morvane& other);
    virtual ~CFile_Morvane();

    short OpenGCPArea(long rangeArg1, long rangeArg2, const char* path);
    short CloseGCPArea();

    short GetGCPGroupNum(unsigned long& count);
    short CreateGCPGroup(unsigned long groupNo);
    short DeleteGCPGroup(unsigned long groupNo);
    short OpenGCPGroup(unsigned long groupNo);
    short CloseGCPGroup();
    short GetCurGCPGroupNo(unsigned long& groupNo);
    short GetChangeFlag(bool& changed);
    short SetChangeFlag(bool changed);

    short GetGCPNum(unsigned long& count);
    short AddOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short DeleteOneGCP(unsigned long index);
    short GetOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short GetOneGCPEditOnOff(unsigned long index, bool& edit);
    short SetOneGCPEditOnOff(unsigned long index, bool edit);
    short GetOneGcpUseOnOff(unsigned long index, bool& use);
    short SetOneGcpUseOnOff(unsigned long index, bool use);

    short PointTransform(double in1, double in2, double& out1, double& out2, bool forward);
    short GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY);
    short IsLinearConvert(bool& linear);
    long BeginTransform(bool forward);
    void EndTransform();
    long PointTransform(double in1, double in2, double& out1, double& out2);

    // ---- additions of ours (current group) ----
    short GetGCPGroupType(short& orientType, short& transType);
    short SetGCPGroupType(short transType);
    short GetOneGCPResidual(unsigned long index, double& userDX, double& userDY,
                            double& pixelDX, double& pixelDY);
    short GetGCPRMSError(double& userRms, double& pixelRms);
    // Converts count interleaved pairs through the prepared transformation.
    long BatchTransform(const double* in, double* out, std::size_t count);

    // ---- additions of ours (why an open or close failed) ----
    // The reason the last OpenGCPArea or CloseGCPArea of this object failed:
    // one line for a person, e.g. "/d/a.gcp: no such control-point file",
    // "/d/a.gcp: not a control-point file (it does not start with
    // GCPFILE67)", "/d/a.gcp: damaged control-point file: it ends inside
    // group 3 of 5" or "cannot create /d/a.gcp.tmp-4711-0: Permission
    // denied".  Returns "" when the last of those two calls succeeded or
    // neither was made yet; other operations leave it as it is, and a copy
    // or assignment takes the source's.  Never null; the text stays valid and
    // unchanged until the next OpenGCPArea, CloseGCPArea or assignment of
    // this object, and holds at most kLastErrorCapacity - 1 bytes (a longer
    // reason is cut).
    const char* GetLastError() const;
    static constexpr std::size_t kLastErrorCapacity = 512;

private:
    friend struct morvane::AreaAccess;
    short InitialGcpInfo(void* source);
    short ReleaseGcpInfo();
    short LoadFile(const char* path);

    CGCPGroupList* GroupList;
    bool OpenFlag;
    bool ChangeFlag;
    std::uint32_t GCPGroupNum;
    std::uint32_t CurGCPGroupNo;
    char FileName[260];
    std::int32_t RangeArg1;
    std::int32_t RangeArg2;
    bool LastOpenFailed;   // the last open stopped part-way: never write back
    char LastErrorText[kLastErrorCapacity];  // GetLastError
};

class CDB_Morvane {
public:
    CDB_Morvane();
    CDB_Morvane(const CDB_Morvane& other);
    CDB_Morvane& operator=(const CDB_Morvane& other);
    virtual ~CDB_Morvane();

    short OpenGCPArea(CRasteBaseArea* area, long recordKey, long rangeArg1, long rangeArg2);
    short CloseGCPArea();

    short GetGCPGroupNum(unsigned long& count);
    short CreateGCPGroup(unsigned long groupNo);
    short DeleteGCPGroup(unsigned long groupNo);
    short OpenGCPGroup(unsigned long groupNo);
    short CloseGCPGroup();
    short GetCurGCPGroupNo(unsigned long& groupNo);
    short GetChangeFlag(bool& changed);
    short SetChangeFlag(bool changed);

    short GetGCPNum(unsigned long& count);
    short AddOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short DeleteOneGCP(unsigned long index);
    short GetOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point);
    short GetOneGCPEditOnOff(unsigned long index, bool& edit);
    short SetOneGCPEditOnOff(unsigned long index, bool edit);
    short GetOneGcpUseOnOff(unsigned long index, bool& use);
    short SetOneGcpUseOnOff(unsigned long index, bool use);

    short PointTransform(double in1, double in2, double& out1, double& out2, bool forward);
    short GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY);
    short IsLinearConvert(bool& linear);
    long BeginTransform(bool forward);
    void EndTransform();
    long PointTransform(double in1, double in2, double& out1, double& out2);

    // ---- additions of ours (current group) ----
    short GetGCPGroupType(short& orientType, short& transType);
    short SetGCPGroupType(short transType);
    short GetOneGCPResidual(unsigned long index, double& userDX, double& userDY,
                            double& pixelDX, double& pixelDY);
    short GetGCPRMSError(double& userRms, double& pixelRms);
    long BatchTransform(const double* in, double* out, std::size_t count);

    // ---- additions of ours (why an open or close failed) ----
    // The reason the last OpenGCPArea or CloseGCPArea of this object failed:
    // one line for a person, e.g. "the raster database refused the read of
    // record 7", "record 7 is damaged: it ends inside group 3 of 5" or
    // "range argument 2 (4294967296) does not fit in 32 bits".  The raster
    // database's own LastError() may say more about a refused read or write.
    // Returns "" when the last of those two calls succeeded or neither was
    // made yet; other operations leave it as it is, and a copy or assignment
    // takes the source's.  Never null; the text stays valid and unchanged
    // until the next OpenGCPArea, CloseGCPArea or assignment of this object,
    // and holds at most kLastErrorCapacity - 1 bytes (a longer reason is cut).
    const char* GetLastError() const;
    static constexpr std::size_t kLastErrorCapacity = 512;

private:
    friend struct morvane::AreaAccess;
    short InitialGcpInfo();
    short ReleaseGcpInfo();

    CGCPGroupList* GroupList;
    CRasteBaseArea* RasterArea;
    std::int32_t RecordKey;
    bool OpenFlag;
    bool ChangeFlag;
    std::uint32_t GCPGroupNum;
    std::uint32_t CurGCPGroupNo;
    std::int32_t RangeArg1;
    std::int32_t RangeArg2;
    bool LastOpenFailed;
    char LastErrorText[kLastErrorCapacity];  // GetLastError
};

#pragma pack(pop)

#endif
