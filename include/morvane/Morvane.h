// Morvane.h - the two area classes through which an application keeps the
// ground control points of a raster.
//
// An area holds numbered groups of control points.  A caller opens the area
// from its store, opens one group at a time, edits its points and converts
// coordinates with it, and closes the area, which writes the groups back to
// the store when they changed:
//
//   CFile_Morvane  groups kept in a control-point file named by a path
//   CDB_Morvane    groups kept in one record of a raster database
//
//   CFile_Morvane area;
//   if (area.OpenGCPArea(columns, rows, "scan.gcp") != 1) ...;   // load
//   area.OpenGCPGroup(1);
//   area.PointTransform(pixel, line, x, y, true);                // convert
//   area.CloseGCPGroup();
//   if (area.CloseGCPArea() != 1) ...;  // save failed: groups kept, retry
//
// Rules every call follows (both classes alike)
//   * Results: 1 for success, 0 for failure (short; BeginTransform and the
//     four-argument PointTransform widen it to long).  A refused call
//     (wrong state, number or index out of range, a refusal of the
//     control-point library) changes nothing, with the one exception noted
//     at AddOneGCP.
//   * States.  Constructed: every call but the destructor returns 0.  Open:
//     after a successful OpenGCPArea; the group calls work.  Group open:
//     after OpenGCPGroup; the point and coordinate calls work on that
//     *current* group, and only one group is current at a time.  Closed
//     after use: after CloseGCPArea; calls return 0 except CloseGCPArea
//     (1) and OpenGCPArea, which opens again.
//   * Group numbers count from 1 to GetGCPGroupNum's count.  Point indices
//     count from 1 to GetGCPNum's count; index 0 is refused.
//   * Units and conventions are the control-point library's (CtrlPntSet.h):
//     pixel/line in pixels, user coordinates in map units, a range as
//     minimum X, minimum Y, maximum X, maximum Y.
//   * rangeArg1, rangeArg2 of OpenGCPArea: the raster's size in pixels
//     (columns, rows), each within a signed 32-bit value.  After every point
//     edit the current group's range is recomputed from them: the raster
//     frame mapped through the fit when both are positive, else the bounding
//     box of the used points' user coordinates.
//   * Write-back: CloseGCPArea (and a destructor, an assignment or a second
//     OpenGCPArea, which close first) saves the groups when they changed
//     since the open, i.e. an edit was accepted or SetChangeFlag(true) was
//     called after one, and SetChangeFlag(false) was not called since.  A
//     failed save returns 0 and keeps the area open with its groups, so the
//     caller can fix the cause and call CloseGCPArea again; only a
//     destructor drops groups whose save failed.  An area whose open failed
//     part-way is never written back.
//   * No lost updates: the save replaces the store only while it still
//     holds the version this open loaded (or this area's last save wrote).
//     If another writer saved in between, the close fails as above and
//     GetLastError says that another writer changed the area since it was
//     opened; retrying cannot succeed, so the caller opens the area again
//     and repeats the edit on the current version.
//   * Why: after a failed OpenGCPArea or CloseGCPArea, GetLastError() says
//     why in one line; the other calls report 0 only.
//   * Copies: copying an area that holds groups gives the copy a deep copy
//     of its own and the version it loaded; each object saves what it holds
//     at its own close, so the first of them to save wins and the other's
//     save then finds another writer's version.  A prepared transformation
//     is not copied.
//   * An area object is used by one thread at a time; separate objects
//     share nothing.
#ifndef MORVANE_MORVANE_H
#define MORVANE_MORVANE_H

#include "CtrlPntSet.h"
#include "Export.h"

#include <cstddef>
#include <cstdint>

class CGCPGroupList;
class CRasteBaseArea;
namespace morvane { struct ExportedFields; }

#pragma pack(push, 1)

class MORVANE_API CFile_Morvane {
public:
    CFile_Morvane();
    CFile_Morvane(const CFile_Morvane& other);
    CFile_Morvane& operator=(const CFile_Morvane& other);
    virtual ~CFile_Morvane();

    // ---- the area ---------------------------------------------------------

    // Opens the control-point file at path and loads all its groups.
    //   rangeArg1, rangeArg2: the raster's columns and rows (see above).
    //   path: a file that exists and starts with the control-point magic;
    //     at most 259 bytes, passed to the platform unchanged.
    // An area still holding groups is closed first; if that save fails the
    // open is refused and the area keeps its groups.  Returns 0 for a null,
    // empty or too long path, range arguments beyond 32 bits, a missing,
    // unreadable or damaged file; nothing is written in any case.
    short OpenGCPArea(long rangeArg1, long rangeArg2, const char* path);
    // Saves the groups if they changed (see "Write-back") and releases them.
    // The file is replaced atomically: a reader sees the old or the new
    // file, never a mix, and a failed save leaves the old file.  Returns 0
    // when the area was never opened or the save failed (groups kept).
    // The file is replaced only while it is still the file this open loaded
    // (or this area's last save wrote), or when no file is there any more;
    // when another writer replaced or changed it meanwhile, the close
    // returns 0, keeps the groups, writes nothing and GetLastError says
    // that another writer changed the file since the area was opened
    // (see "No lost updates" above).
    short CloseGCPArea();

    // ---- groups (area open) ---------------------------------------------

    // The number of groups now in the area.
    short GetGCPGroupNum(unsigned long& count);
    // Inserts an empty group as number groupNo (1 to count + 1); the groups
    // from groupNo on move up by one.  New groups: orientation 0, type 1.
    short CreateGCPGroup(unsigned long groupNo);
    // Removes group groupNo (1 to the count at open or last create); the
    // groups after it move down by one.  The current group number is not
    // adjusted: it designates whichever group now bears it.
    short DeleteGCPGroup(unsigned long groupNo);
    // Makes group groupNo the current group.  Refused while another group
    // is current (close it first).
    short OpenGCPGroup(unsigned long groupNo);
    // Ends work on the current group; no group is current afterwards.
    short CloseGCPGroup();
    // The current group's number (refused when none is current).
    short GetCurGCPGroupNo(unsigned long& groupNo);
    // Whether the close will write the groups back; with a group current.
    // SetChangeFlag(false) cancels the write-back of the edits made so far,
    // SetChangeFlag(true) asks for it (it has no effect on an area that
    // holds no group).
    short GetChangeFlag(bool& changed);
    short SetChangeFlag(bool changed);

    // ---- points of the current group ----------------------------------

    // The number of points of the current group.
    short GetGCPNum(unsigned long& count);
    // Inserts *point before point index (1 to count + 1; count + 1 appends).
    // The control-point library refuses non-finite coordinates.  After the
    // insertion the group's range is recomputed: when that fails (too few
    // or degenerate points for the type) the call returns 0 although the
    // point was added and stays -- compare GetGCPNum before and after.  The
    // same holds for DeleteOneGCP and UpdateOneGCP.
    short AddOneGCP(unsigned long index, _CtrlPntStrcT* point);
    // Removes point index (1 to count).
    short DeleteOneGCP(unsigned long index);
    // Copies point index (1 to count) into *point, including its error
    // context: the outcome of the last check on the point (CtrlPntSet.h).
    short GetOneGCP(unsigned long index, _CtrlPntStrcT* point);
    // Replaces point index (1 to count) by *point.
    short UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point);
    // The edit flag of point index (1 to count): a caller's lock, kept and
    // stored; the library itself does not enforce it.
    short GetOneGCPEditOnOff(unsigned long index, bool& edit);
    short SetOneGCPEditOnOff(unsigned long index, bool edit);
    // The use flag of point index (1 to count): true = used in the fit,
    // false = a check point (kept, given residuals, not fitted).
    short GetOneGcpUseOnOff(unsigned long index, bool& use);
    short SetOneGcpUseOnOff(unsigned long index, bool use);

    // ---- coordinates with the current group ---------------------------

    // Converts one position: forward = true takes pixel/line (in1, in2) to
    // user X/Y (out1, out2), false the exact inverse.  0 when the group has
    // too few used points for its type, they are degenerate, or the result
    // would not be finite; out1, out2 are then unchanged.
    short PointTransform(double in1, double in2, double& out1, double& out2, bool forward);
    // The current group's user coordinate range (minimum X, minimum Y,
    // maximum X, maximum Y), as last recomputed.
    short GetGCPCoordRect(double& minX, double& minY, double& maxX, double& maxY);
    // Whether the group's type is linear (affine or similarity).
    short IsLinearConvert(bool& linear);
    // Prepares the current group's transformation in one direction for many
    // conversions (forward as above).  It stays prepared, whichever group is
    // current later, until EndTransform, the next BeginTransform or the
    // close.  Returns 1 or 0 (too few or degenerate points).
    long BeginTransform(bool forward);
    // Releases the prepared transformation (a group must be current).
    void EndTransform();
    // Converts one position through the prepared transformation; 0 when none
    // is prepared, no group is current or the result would not be finite.
    long PointTransform(double in1, double in2, double& out1, double& out2);

    // ---- additions of ours (current group) ----

    // orientType: TM_ORIENT_* (line axis down or up); transType: TM_TRANS_*.
    short GetGCPGroupType(short& orientType, short& transType);
    // Changes the transformation type (TM_TRANS_*) and keeps the points; the
    // range is recomputed as after a point edit (same 0 rule as AddOneGCP).
    short SetGCPGroupType(short transType);
    // Residual of point index (1 to count) under the current fit: user units
    // (fitted minus stored user X/Y) and pixels (backward conversion of the
    // stored user coordinates minus the stored pixel/line).  Check points
    // get residuals too.  0 when the group cannot be fitted.
    short GetOneGCPResidual(unsigned long index, double& userDX, double& userDY,
                            double& pixelDX, double& pixelDY);
    // Root mean square of the used points' residual vectors, in user units
    // and in pixels.  0 when the group cannot be fitted.
    short GetGCPRMSError(double& userRms, double& pixelRms);
    // Converts count positions through the prepared transformation.
    //   in, out: count interleaved (x, y) pairs each; may be the same array;
    //     null only when count is 0.
    // Returns 0 when no transformation is prepared, an input is not finite
    // or a conversion fails; after a failure the content of out is not to
    // be used.  A non-finite input is refused before anything is written
    // when out is in (the input stays as it was); into another array the
    // pairs before it may have been converted.
    long BatchTransform(const double* in, double* out, std::size_t count);
    // Appends count records after the last point of the current group, all
    // or none: each record is checked as AddOneGCP checks one, and after
    // the append the range is recomputed as after AddOneGCP.  When a record
    // is refused, or the range cannot be recomputed with the new points,
    // the group, its range and the change flag stay as they were, the call
    // returns 0 and GetLastError says why ("point 17 of 500 is refused: a
    // coordinate is not finite; none was added").  Much cheaper than one
    // AddOneGCP per point: the group grows once and its range is
    // recomputed once.
    //   points: count records (null only when count is 0).
    //   count: 0 (nothing happens, 1) to 2^32 - 1 minus the group's points.
    // Returns 1 with GetLastError cleared, or 0.
    short AddGCPs(const _CtrlPntStrcT* points, unsigned long count);

    // ---- additions of ours (why an open or close failed) ----
    // The reason the last OpenGCPArea or CloseGCPArea (or AddGCPs) of this object failed:
    // one line for a person, e.g. "/d/a.gcp: no such control-point file",
    // "/d/a.gcp: not a control-point file (it does not start with
    // GCPFILE67)", "/d/a.gcp: damaged control-point file: it ends inside
    // group 3 of 5" or "cannot create /d/a.gcp.tmp-4711-0: Permission
    // denied".  Returns "" when the last of those calls succeeded or
    // neither was made yet; other operations leave it as it is, and a copy
    // or assignment takes the source's.  Never null; the text stays valid and
    // unchanged until the next OpenGCPArea, CloseGCPArea or assignment of
    // this object, and holds at most kLastErrorCapacity - 1 bytes (a longer
    // reason is cut).
    const char* GetLastError() const;
    static constexpr std::size_t kLastErrorCapacity = 512;

private:
    // The area core works on these fields (area/ExportedArea.h).
    friend struct morvane::ExportedFields;

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
    // The version of the file that the last open loaded or the last save
    // wrote (device, inode, size, modification and change time in
    // nanoseconds): the save replaces the file only while it is that one.
    std::uint64_t LoadedFileVersion[5];
};

// The same calls as CFile_Morvane, under the same rules, for groups kept in
// one record of a raster database (Lodestor.h, RasteBaseArea.h).  Only the
// open and the close differ; see CFile_Morvane for every other call.
class MORVANE_API CDB_Morvane {
public:
    CDB_Morvane();
    CDB_Morvane(const CDB_Morvane& other);
    CDB_Morvane& operator=(const CDB_Morvane& other);
    virtual ~CDB_Morvane();

    // Loads the groups kept in record recordKey of the raster area.
    //   area: an open CRasteBaseArea; the caller keeps it open until this
    //     area is closed or destroyed (the close writes through it).
    //   recordKey: any non-zero key of 32 bits, -2^31 to 2^31 - 1; negative
    //     keys are records like any other (the raster database keeps signed
    //     keys, and the tool's addresses take them).  A key that holds no
    //     record yet opens an area without groups, and the record is created
    //     by the first save.
    //   rangeArg1, rangeArg2: the raster's columns and rows (see Morvane.h).
    // Returns 0 for a key or range argument beyond 32 bits, key 0, a record
    // the database cannot read or that ends inside a group (the area is then
    // left open without groups: only CloseGCPArea works), or when an area
    // still holding groups cannot save them first.  Nothing is written.
    short OpenGCPArea(CRasteBaseArea* area, long recordKey, long rangeArg1, long rangeArg2);
    // Saves the groups if they changed, replacing the record in one write
    // (readers see the old or the new record), and releases them.  Returns 0
    // when the area was never opened or the database refused the write
    // (groups kept for a retry).
    // The record is replaced only while it is still the version this open
    // loaded (a key without a record: only while it still holds none), or
    // the version this area's last save wrote.  When another writer saved
    // meanwhile, the close returns 0, keeps the groups, writes nothing and
    // GetLastError says so; closing again gives the same answer, so the
    // caller drops the groups (SetChangeFlag(false), or the destructor) and
    // opens the area again to repeat the edit on the current version.
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
    short AddGCPs(const _CtrlPntStrcT* points, unsigned long count);

    // ---- additions of ours (why an open or close failed) ----
    // The reason the last OpenGCPArea or CloseGCPArea (or AddGCPs) of this object failed:
    // one line for a person, e.g. "the raster database refused the read of
    // record 7", "record 7 is damaged: it ends inside group 3 of 5" or
    // "range argument 2 (4294967296) does not fit in 32 bits".  The raster
    // database's own LastError() may say more about a refused read or write.
    // Same lifetime and rules as CFile_Morvane::GetLastError.
    const char* GetLastError() const;
    static constexpr std::size_t kLastErrorCapacity = 512;

private:
    // The area core works on these fields (area/ExportedArea.h).
    friend struct morvane::ExportedFields;

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
    // The version of the record that the last open loaded (0: the key held
    // no record) or that the last save wrote: the save writes only over it.
    std::uint64_t LoadedRecordVersion;
};

#pragma pack(pop)

#endif
