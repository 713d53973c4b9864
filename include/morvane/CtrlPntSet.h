// CtrlPntSet.h - the control-point library (Tiemark) as the system sees it.
//
// CCtrlPntSet is one group of ground control points: the points themselves,
// their use and edit flags, the group's orientation and transformation types,
// its user (map) coordinate range, and the coordinate transformation fitted to
// the points whose use flag is on.
//
// _CtrlPntStrcT is one control point: a 120-byte record that is stored byte for
// byte in control-point files and database records, so it holds no pointers or
// handles and every field sits at a fixed, documented offset (docs/point-record.md).
// All multi-byte fields are stored little-endian; the library is built for
// little-endian hosts only (checked below).
//
// Conventions
//   * Results of type long: 0 = success, anything else = the reason for the
//     refusal (TM_ERR_* below).  A refused call leaves the set exactly as it was.
//   * Point indices count from 1.
//   * Pixel/line coordinates are in pixels.  With orientation type 0 the line
//     axis points down: (0, 0) is the top-left corner of the top-left pixel and
//     (columns, rows) the bottom-right corner of the raster.  With orientation
//     type 1 the line axis points up: lines are stored negated, as the QGIS
//     georeferencer writes them, so the raster frame spans (0, 0) to
//     (columns, -rows).
//   * User coordinates are whatever map units the caller uses (metres, degrees).
//   * The direction flag of GetCoordinateA and BeginTransform: true converts
//     pixel/line to user coordinates (forward), false converts back.  The backward
//     direction is the exact inverse of the same fitted model.
//   * The four values of GetUserCoordRange / SetUserCoordRange are, in argument
//     order: minimum X, minimum Y, maximum X, maximum Y (user coordinates).
#ifndef MORVANE_CTRLPNTSET_H
#define MORVANE_CTRLPNTSET_H

#include "Export.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Records are stored as their bytes in memory (the group stream copies them
// whole), and the stored format is little-endian: x86-64 and 64-bit Arm are.
// (The compiler's macro, not C++20's std::endian: callers may use C++17.)
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the 120-byte point record is stored as it lies in memory, little-endian: big-endian hosts are not supported"
#endif

// Transformation type codes (second argument of InitPntSet).
enum : short {
    TM_TRANS_POLY1 = 1,       // polynomial of order 1 (affine), 3 points
    TM_TRANS_POLY2 = 2,       // polynomial of order 2, 6 points
    TM_TRANS_POLY3 = 3,       // polynomial of order 3, 10 points
    TM_TRANS_SIMILARITY = 4,  // Helmert: shift, rotation, one scale, 2 points
    TM_TRANS_PROJECTIVE = 5,  // 8-parameter homography, 4 points
    TM_TRANS_TPS = 6,         // thin plate spline, 3 points (not collinear)
};

// Orientation type codes (first argument of InitPntSet).
enum : short {
    TM_ORIENT_LINE_DOWN = 0,  // line grows downward (image rows); new groups
    TM_ORIENT_LINE_UP = 1,    // line grows upward: stored lines are negated rows
};

// Result codes of the library's long-valued calls.
enum : long {
    TM_OK = 0,
    TM_ERR_ARGUMENT = 1,     // null pointer or unknown type code
    TM_ERR_INDEX = 2,        // point index out of range
    TM_ERR_NOT_FINITE = 3,   // a coordinate is NaN or infinite
    TM_ERR_TOO_FEW = 4,      // fewer used points than the type needs
    TM_ERR_DEGENERATE = 5,   // points collinear, repeated, or badly conditioned
    TM_ERR_NO_CONVERGE = 6,  // backward conversion did not converge
    TM_ERR_STATE = 7,        // no prepared transformation, or one already prepared
    TM_ERR_MEMORY = 8,       // an allocation failed
    TM_ERR_OUTSIDE = 9,      // a conversion result would not be finite
};

// Check codes kept in a point's error context (CCtrlPntErr::Code).
enum : std::int32_t {
    TM_CHECK_NONE = 0,        // the point was never checked
    TM_CHECK_OK = 1,          // accepted, nothing to report
    TM_CHECK_DUPLICATE = 2,   // another point of the set had the same pixel position
    TM_CHECK_OUTLIER = 3,     // residual above three times the RMS of the fit
    TM_CHECK_ROBUST_OUTLIER = 4,  // marked by FindOutliers: far off the robust fit (residual and scale given)
    TM_CHECK_CONFLICT = 5,    // same pixel position as point Other but another user position, or the reverse
};

// The error context embedded in every point record (bytes 88 to 119): the
// outcome of the last check the library made on the point.  Plain data, so a
// record copied byte for byte into another process is the same record.
class CCtrlPntErr {
public:
    std::int32_t Code;      // TM_CHECK_* of the last check
    std::int32_t Other;     // index of the other point involved (duplicates), else 0
    double ResidualX;       // last fit residual, user units: fitted - stored
    double ResidualY;
    double Reserved;        // TM_CHECK_ROBUST_OUTLIER: the robust scale (user units); else 0

    void Clear() { Code = TM_CHECK_NONE; Other = 0; ResidualX = ResidualY = Reserved = 0.0; }
    std::int32_t GetCode() const { return Code; }
};

static_assert(sizeof(CCtrlPntErr) == 32);
static_assert(std::is_trivially_copyable_v<CCtrlPntErr>);
static_assert(std::is_standard_layout_v<CCtrlPntErr>);

// One control point, 120 bytes (layout documented in docs/point-record.md).
struct _CtrlPntStrcT {
    double PixelX;          //   0: pixel (column) position
    double PixelY;          //   8: line position, see the orientation type
    double UserX;           //  16: user (map) X
    double UserY;           //  24: user (map) Y
    double UserZ;           //  32: elevation, carried but not fitted
    char Name[32];          //  40: identifier, zero-terminated (up to 31 chars)
    std::int32_t Id;        //  72: numeric identifier chosen by the caller
    std::uint8_t UseFlag;   //  76: 1 = used in the fit, 0 = check point
    std::uint8_t EditFlag;  //  77: 1 = may be edited, 0 = locked
    std::uint16_t Reserved1;//  78: written as 0
    double Reserved2;       //  80: written as 0
    CCtrlPntErr Err;        //  88: error context of the last check
};

static_assert(sizeof(_CtrlPntStrcT) == 120);
static_assert(std::is_trivially_copyable_v<_CtrlPntStrcT>);
static_assert(std::is_standard_layout_v<_CtrlPntStrcT>);
static_assert(offsetof(_CtrlPntStrcT, PixelX) == 0);
static_assert(offsetof(_CtrlPntStrcT, PixelY) == 8);
static_assert(offsetof(_CtrlPntStrcT, UserX) == 16);
static_assert(offsetof(_CtrlPntStrcT, UserY) == 24);
static_assert(offsetof(_CtrlPntStrcT, UserZ) == 32);
static_assert(offsetof(_CtrlPntStrcT, Name) == 40);
static_assert(offsetof(_CtrlPntStrcT, Id) == 72);
static_assert(offsetof(_CtrlPntStrcT, UseFlag) == 76);
static_assert(offsetof(_CtrlPntStrcT, EditFlag) == 77);
static_assert(offsetof(_CtrlPntStrcT, Reserved1) == 78);
static_assert(offsetof(_CtrlPntStrcT, Reserved2) == 80);
static_assert(offsetof(_CtrlPntStrcT, Err) == 88);
static_assert(offsetof(CCtrlPntErr, Code) == 0);
static_assert(offsetof(CCtrlPntErr, Other) == 4);
static_assert(offsetof(CCtrlPntErr, ResidualX) == 8);
static_assert(offsetof(CCtrlPntErr, ResidualY) == 16);
static_assert(offsetof(CCtrlPntErr, Reserved) == 24);

// Makes a cleared point record: everything zero, use and edit flags on.
TIEMARK_API _CtrlPntStrcT TmMakePoint(double pixelX, double pixelY, double userX, double userY,
                          double userZ = 0.0, const char* name = nullptr);

// Leave-one-out figures of one point (CCtrlPntSet::GetLooResidual).
struct TmLooFigures {
    // The residual the point would have if the group were fitted without it
    // (for a check point: its ordinary residual, the fit never saw it).
    double UserDX, UserDY;    // user units: predicted minus stored
    double PixelDX, PixelDY;  // pixels: stored user position taken back, minus stored pixel
    // How much of its own fitted value the point fixes: 0 (none) to 1 (the
    // fit passes through it whatever its value).  Polynomials: the diagonal
    // of the hat matrix; similarity and projective: the mean of the point's
    // two diagonal entries; spline: 1.  Check points: the same measure at
    // their position, which may exceed 1 outside the points.
    double Leverage;
    // Least-squares types: Cook's distance, how far the whole fit moves
    // without the point in units of its own uncertainty (above about 1
    // deserves a look).  Spline: the point's squared leave-one-out residual
    // over the mean of them all (1 is typical).  Check points: 0.
    double Influence;
};

// One transformation type fitted to a group's points (CompareTransTypes).
struct TmTypeScore {
    short TransType;           // TM_TRANS_*
    long Status;               // TM_OK, or why this type gives no fit (then the figures are 0)
    unsigned long Parameters;  // fitted parameters, both axes (spline: 2 (N + 3) for N used points)
    double FitRms;             // RMS of the used points' residuals, user units
    double PredictionRms;      // RMS of their leave-one-out residuals, user units
    double CheckRms;           // RMS of the check points' residuals, user units (0 without any)
    unsigned long CheckCount;  // check points
};

// The predicted standard error of a converted position (GetPositionError):
// the one-sigma ellipse of the user position the fit gives for a pixel
// position, in user units.
struct TmPositionError {
    double SemiMajor;  // user units
    double SemiMinor;  // user units
    double Angle;      // radians, from the user X axis counter-clockwise to the major axis, (-pi/2, pi/2]
    double Radial;     // root of the summed variances, sqrt(SemiMajor^2 + SemiMinor^2), user units
};

namespace tiemark { class PntSetImpl; }

// What a set's BeginTransform prepared; its contents are the library's own.
struct TmPointConverter;

// One group of control points and the transformation fitted to them.
class TIEMARK_API CCtrlPntSet {
public:
    CCtrlPntSet() noexcept;
    ~CCtrlPntSet();
    CCtrlPntSet(const CCtrlPntSet&) = delete;             // copy with CopyPntSet
    CCtrlPntSet& operator=(const CCtrlPntSet&) = delete;

    // Resets the set to an empty group of the given types (group number
    // kept).  orientType: TM_ORIENT_*; transType: TM_TRANS_*.  Returns
    // TM_ERR_ARGUMENT for an unknown code (set unchanged).
    long InitPntSet(short orientType, short transType);
    void SetGroupNo(long groupNo);
    // Makes this set a deep copy of *source (points, flags, types, range,
    // group number); the source's prepared transformation is not copied,
    // this set's own stays prepared.  Returns
    // TM_ERR_ARGUMENT for a null source, TM_ERR_MEMORY when the copy cannot
    // be allocated (this set unchanged in both cases).
    long CopyPntSet(CCtrlPntSet* source);

    // The number of points, used or not.
    void GetGCPNum(unsigned long* count);
    // Inserts *point before index (1 to count + 1; count + 1 appends).  The
    // record's coordinates must be finite (TM_ERR_NOT_FINITE); its error
    // context is ignored and filled when the point is next read.
    long AddOneGcp(unsigned long index, _CtrlPntStrcT* point);
    // Removes point index (1 to count); later points move down by one.
    long DeleteOneGCP(unsigned long index);
    // Copies point index (1 to count) into *point, with its error context
    // brought up to date: duplicate pixel position, residual under the
    // current fit, outlier (residual above three times the RMS).
    long GetOneGCP(unsigned long index, _CtrlPntStrcT* point);
    // Replaces point index (1 to count) by *point (finite coordinates).
    long UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point);
    // Use flag of point index (1 to count): true = fitted, false = check point.
    long SetOneGcpUseOnOff(unsigned long index, bool use);
    long GetOneGcpUseOnOff(unsigned long index, bool* use);
    // Edit flag of point index (1 to count): stored for the caller, who
    // decides what a locked point means.
    long SetOneGCPEditOnOff(unsigned long index, bool edit);
    long GetOneGCPEditOnOff(unsigned long index, bool* edit);

    void GetOrientType(short* orientType);
    void GetTransType(short* transType);

    // The user coordinate range: minimum X, minimum Y, maximum X, maximum Y.
    // SetUserCoordRange refuses non-finite values and does not check order.
    long GetUserCoordRange(double* minX, double* minY, double* maxX, double* maxY);
    long SetUserCoordRange(double minX, double minY, double maxX, double maxY);
    // Recomputes the range.  columns, rows: the raster's size in pixels.
    // Both positive and enough used points: the bounding box of the raster
    // frame mapped forward (exact for the polynomials).  Otherwise the
    // bounding box of the used points' user coordinates, or (0, 0, 0, 0)
    // without used points.  TM_ERR_DEGENERATE leaves the range unchanged.
    long ComputeUserCoordRange(long columns, long rows);

    // Converts one position with the fitted model: forward = true takes
    // pixel/line (in1, in2) to user X/Y (*out1, *out2), false the exact
    // inverse of the same model.  Fits first when the points changed.
    // TM_ERR_TOO_FEW / TM_ERR_DEGENERATE when no fit can be made,
    // TM_ERR_NOT_FINITE for a non-finite input, TM_ERR_OUTSIDE when the
    // result would not be finite, TM_ERR_NO_CONVERGE when the inverse of a
    // non-linear type does not converge there; outputs unchanged then.
    long GetCoordinateA(double* out1, double* out2, double in1, double in2, bool forward);
    // True for the linear types (affine, similarity).
    long IsLinearConvert(bool& linear);

    // Prepares one direction for many PointTransform calls: fits if needed
    // and keeps what each conversion needs.  Same refusals as GetCoordinateA.
    long BeginTransform(bool forward);
    // Converts one position through the direction BeginTransform prepared:
    // forward = pixel/line (in1, in2) to user X/Y (*out1, *out2), backward
    // the reverse.  No allocation and no refit; the prepared state is a
    // snapshot, later edits of the group do not change it.
    // Accuracy against GetCoordinateA, which evaluates the same fitted
    // model: the prepared coefficients have the normalisation folded in,
    // so forward results and the closed-form backward ones (affine,
    // similarity, projective) agree with it to rounding, not to the bit:
    // within 1e-9 relative.  Backward results of
    // orders 2 and 3 and of the thin plate spline lie within 1e-6 px of the
    // exact inverse (BeginTransform(forward, tolerancePx) may allow more).
    // PointTransform and BatchTransform give the same bits for the same input.
    // Returns TM_OK; TM_ERR_STATE when nothing is prepared; TM_ERR_ARGUMENT
    // for a null output; else the refusals of GetCoordinateA (outputs
    // unchanged then).
    long PointTransform(double* out1, double* out2, double in1, double in2);
    // Releases what BeginTransform prepared; harmless when nothing is.
    void EndTransform();

    // ---- additions of ours ----------------------------------------------
    long GetGroupNo() const;
    // Changes the transformation type and keeps the points.
    long SetTransType(short transType);
    long SetOrientType(short orientType);
    // Minimum number of used points the type needs; 0 for an unknown code.
    static unsigned long MinPointsForType(short transType);
    // Residual of point index under the current fit: user units (fitted minus
    // stored user coordinates) and pixels (backward conversion of the stored
    // user coordinates minus the stored pixel position).  Check points (use
    // flag off) get residuals too.
    long GetResidual(unsigned long index, double* userDX, double* userDY,
                     double* pixelDX, double* pixelDY);
    // Root mean square of the residual vectors over the used points.
    long GetRMSError(double* userRms, double* pixelRms);
    // Leave-one-out figures of point index (1 to count), exact for every
    // type (the pixel residual too: the exact inverse, through the fit
    // without the point, of its stored user position, the spline's
    // included).  Computed for all points at once when the
    // points or the fit changed, then read in O(1).  TM_ERR_TOO_FEW when
    // the fit without a used point could not be made (the group has just
    // the minimum number of points), TM_ERR_DEGENERATE when that fit would
    // be degenerate; *figures unchanged then.
    long GetLooResidual(unsigned long index, TmLooFigures* figures);
    // Prediction RMS: the root mean square of the leave-one-out residual
    // vectors over the used points, user units and pixels.  The honest
    // figure to compare types with (the spline's fit RMS is always 0).
    // Same refusals as GetLooResidual.
    long GetPredictionRMS(double* userRms, double* pixelRms);
    // Predicted standard error of the user position the fit gives for the
    // pixel/line position (pixelX, pixelY), anywhere on or off the raster.
    // Least-squares types: from the covariance of the fitted parameters,
    // the noise estimated from the residuals (so a group with just the
    // minimum of points has none: TM_ERR_TOO_FEW).  Spline: an empirical
    // estimate from the leave-one-out residuals of the nearest used points
    // (docs/tiemark.md).  Same refusals as GetCoordinateA.
    long GetPositionError(double pixelX, double pixelY, TmPositionError* error);
    // Looks for points that do not belong, and deletes nothing.  Points at
    // one pixel position with different user positions (or the reverse)
    // are conflicts, found without a fit.  Then a robust fit of the group's
    // type (least median of squares from minimal samples with a fixed seed,
    // then Tukey-weighted least squares; for the spline, the robust
    // polynomial of the highest order its points allow) marks as outliers
    // the used points farther off than 5 robust scales.  The marks go into the points' error context
    // (GetOneGCP): TM_CHECK_ROBUST_OUTLIER with the robust fit's residual
    // in ResidualX/Y and the robust scale in Reserved, TM_CHECK_CONFLICT
    // with the other point in Other; they last until the points change (or
    // ApplyOutliers, below).  Use flags are not touched.  Outputs (each may
    // be null): the number of outliers and of conflicting points, and the
    // robust scale in user units.  TM_ERR_TOO_FEW / TM_ERR_DEGENERATE when
    // the used points allow no fit.
    long FindOutliers(unsigned long* outliers, unsigned long* conflicts, double* robustScale);
    // Applies the last FindOutliers verdict: the outliers' use flags go off,
    // so they stay in the group as check points, their marks kept.  Locked
    // points (edit flag off) are left as they are and counted apart.
    // TM_ERR_STATE when there is no verdict for the current points.
    long ApplyOutliers(unsigned long* turnedOff, unsigned long* lockedLeft);
    // Fits every transformation type the used points suffice for and ranks
    // them by prediction RMS, best first; types with too few points or no
    // fit follow, in type order.  scores must hold 6 entries; *count
    // receives how many were written (always 6).  The set itself, its type
    // included, is not changed.
    long CompareTransTypes(TmTypeScore* scores, unsigned long* count);
    // Prepares one direction as BeginTransform(forward) does, for bulk work
    // that accepts a stated error in the backward direction (a raster warp
    // that interpolates between conversions anyway).
    //   forward: true for pixel/line to user, false for user to pixel/line.
    //   tolerancePx: pixels, 0 or more and finite: every backward result of
    //     PointTransform / BatchTransform lies within this distance of the
    //     exact inverse.  Up to 1e-6 (the backward conversion's own
    //     accuracy) the results are exactly those of BeginTransform(forward);
    //     the forward direction is exact whatever the tolerance.  A larger
    //     tolerance lets the tabulated inverse answer directly where it is
    //     checked to hold it (the thin plate spline's included), at a cost
    //     paid as conversions reach each cell of the table (for a spline of
    //     1,000 points at 0.0125 px, about 0.65 s once the whole frame is
    //     covered, each conversion then 0.7 us against 6 us on average):
    //     worth it from some hundred thousand conversions on.
    // Returns TM_OK, TM_ERR_ARGUMENT for a negative or non-finite tolerance
    // (nothing prepared), else the refusals of BeginTransform(forward).
    long BeginTransform(bool forward, double tolerancePx);
    // Converts count points through the prepared transformation; in and out
    // hold interleaved pairs and may be the same array (not partly
    // overlapping).  TM_ERR_NOT_FINITE for a non-finite input: converting in
    // place, before anything is written; into another array, when the
    // conversion comes to it (out then holds partial results).  Other
    // refusals as PointTransform's, out holding partial results.
    long BatchTransform(const double* in, double* out, std::size_t count);
    // Appends count records after the last point, all or none: every record
    // is checked (as AddOneGcp checks one) before anything changes, and one
    // refused record refuses the call with the set unchanged.  The records
    // are stored as AddOneGcp stores them (flags 0/1, error context ignored).
    // For many points this is much cheaper than one AddOneGcp each: the
    // storage grows once and the fit, where one is cached, is updated once
    // for the whole block (or refitted at the next use).
    //   points: count records; may be null when count is 0.
    //   count: 0 to 2^32 - 1 minus the points already held.
    //   refused (may be null): the 1-based position in points of the record
    //     that was refused; 0 on success and when the refusal concerns the
    //     call as a whole.
    // Returns TM_OK (also for count 0), TM_ERR_NOT_FINITE (a coordinate of
    // record *refused is not finite), TM_ERR_ARGUMENT (null points, or the
    // name of record *refused has no terminator), TM_ERR_MEMORY (no memory,
    // or the set would exceed 2^32 - 1 points).
    long AddGCPs(const _CtrlPntStrcT* points, unsigned long count, unsigned long* refused = nullptr);
    // Makes room for count points in all, so that appends up to that many
    // allocate nothing more: a reader that knows how many records follow
    // takes the memory once instead of growing into it.  The memory is taken
    // from the system at once, so ask for what is about to be filled.
    // Points, fit and prepared transformation are unchanged.
    //   count: points the set is to hold; at most 2^32 - 1.
    // Returns TM_OK (also when the room is there already), TM_ERR_MEMORY
    // (no memory, or count above 2^32 - 1; the set unchanged).
    long ReserveGCPs(unsigned long count);
    // Exchanges everything two sets hold (points, flags, types, range, group
    // number, fit and prepared transformation) without copying a point.
    // Takes constant time and cannot fail; a null other or other == this
    // changes nothing.
    void SwapPntSet(CCtrlPntSet* other) noexcept;
    // The points as stored, for writers that copy them out as they are:
    // *count receives the number of points and the result points at that
    // many records, in index order, each with its error context zero (it is
    // filled only by GetOneGCP).  Null when there are none.  Valid until the
    // set next changes; read only.
    const _CtrlPntStrcT* PeekStoredGCPs(unsigned long* count) const;

private:
    tiemark::PntSetImpl* Impl;  // null while the set is empty and untouched
    // What PointTransform converts with: the prepared transformation of
    // Impl (whose address lasts as long as the set), or one that refuses
    // with TM_ERR_STATE while there is no Impl.
    const TmPointConverter* Converter;
    long GroupNo;
};

#endif
