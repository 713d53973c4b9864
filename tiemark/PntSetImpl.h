// PntSetImpl.h - the state behind one CCtrlPntSet.
//
// PntSetImpl holds a group's point records (1-based indices at the API, 0-based
// here), its orientation and transformation types, its user coordinate range
// and the cached fit of the transformation.  It reports refusals as TM_ERR_*
// codes and changes nothing on a refusal.  It may throw std::bad_alloc only
// before it has changed anything; CCtrlPntSet turns that into TM_ERR_MEMORY.
#ifndef MORVANE_TIEMARK_PNTSETIMPL_H
#define MORVANE_TIEMARK_PNTSETIMPL_H

#include <memory>
#include <vector>

#include "CrossValidation.h"
#include "CtrlPntSet.h"
#include "FitCache.h"
#include "PixelDuplicates.h"
#include "PreparedTransform.h"
#include "RobustFit.h"

namespace tiemark {

class PntSetImpl {
public:
    PntSetImpl(short orientType, short transType);

    static bool IsKnownTransType(short transType);
    static bool IsKnownOrientType(short orientType);

    // Empties the group and sets its types; the caller has validated them.
    void Reset(short orientType, short transType);
    // Deep copy of everything but the prepared transformation.
    void CopyFrom(const PntSetImpl& source);

    std::size_t Count() const { return Points.size(); }
    long Add(std::size_t index, const _CtrlPntStrcT& point);
    // Appends count records after the last point, all or none: on a refusal
    // *refused receives the 0-based position of the refused record and the
    // set is unchanged.  One growth of the storage, one pass over the used
    // box, one update of the fit for the whole block.
    long Append(const _CtrlPntStrcT* points, std::size_t count, std::size_t* refused);
    // Room for count records in all; nothing else changes.  Throws
    // std::bad_alloc.
    void Reserve(std::size_t count);
    // The records as stored (canonical, error context zero), Count() of them.
    const _CtrlPntStrcT* Stored() const { return Points.data(); }
    long Delete(std::size_t index);
    long Get(std::size_t index, _CtrlPntStrcT* point);
    long Update(std::size_t index, const _CtrlPntStrcT& point);
    long SetUse(std::size_t index, bool use);
    long GetUse(std::size_t index, bool* use) const;
    long SetEdit(std::size_t index, bool edit);
    long GetEdit(std::size_t index, bool* edit) const;

    short OrientType() const { return Orient; }
    short TransType() const { return Trans; }
    void SetTrans(short transType);
    void SetOrient(short orientType);

    void GetRange(double* minX, double* minY, double* maxX, double* maxY) const;
    void SetRange(double minX, double minY, double maxX, double maxY);
    long ComputeRange(long columns, long rows);

    long Convert(double* out1, double* out2, double in1, double in2, bool forward);
    long Residual(std::size_t index, double* userDX, double* userDY,
                  double* pixelDX, double* pixelDY);
    long RmsError(double* userRms, double* pixelRms);

    // Leave-one-out figures of point index (1-based) and their RMS.
    long LeaveOneOutOf(std::size_t index, LooPoint* figures);
    long PredictionRmsError(double* userRms, double* pixelRms);
    long FindOutliers(unsigned long* outliers, unsigned long* conflicts, double* robustScale);
    long ApplyOutliers(unsigned long* turnedOff, unsigned long* lockedLeft);
    long PositionErrorAt(double pixelX, double pixelY, TmPositionError* error);
    // Every type on a copy of the points, ranked by prediction RMS.
    void CompareTypes(TmTypeScore scores[6]) const;

    long Begin(bool forward, double tolerancePx = 0.0);
    // The prepared transformation, made when first asked for (throws
    // std::bad_alloc then); its address lasts as long as the set.
    PreparedTransform& Prepared() { return Need().Prep; }
    // The same, or null while none was ever made.
    PreparedTransform* PreparedIfMade() { return D ? &D->Prep : nullptr; }

    // Checks a record a caller hands in: finite coordinates, terminated name.
    static long ValidateRecord(const _CtrlPntStrcT& point);
    // The record as stored: flags as 0/1, reserved fields and the error context zero.
    static _CtrlPntStrcT Canonical(const _CtrlPntStrcT& point);

private:
    long UsedBoundingBox(double range[4]) const;
    // Keep the cached bounding box of the used points in step with an edit:
    // a point joining the used ones widens it; one leaving from its edge
    // makes it stale, to be recomputed at the next request.
    void JoinUsedBox(const _CtrlPntStrcT& p);
    void LeaveUsedBox(const _CtrlPntStrcT& p);
    void FillErrorContext(std::size_t index, _CtrlPntStrcT* point);
    // The leave-one-out figures of the current points and fit, made when
    // either changed since they were last made.
    long EnsureLeaveOneOut();
    void Touched() { ++Edits; }

    // What only a set with points needs: the normalisation sums, the index
    // of equal pixel positions, the fit and everything made from it.  Made
    // with the first point (or by the first request that needs it) and kept
    // from then on, so that an empty group, of which a hostile file may hold
    // millions, costs a hundred-odd bytes rather than the 4.5 KB of these.
    struct Derived {
        // The normalisation sums of the used points, kept by appends and
        // handed to the fit so that its refit skips a pass; any other change
        // of the used points makes them unknown until the next Reset.
        NormalisationSums Sums;
        bool SumsValid = true;
        // Equal pixel positions, kept up to date as points change.
        PixelDuplicates Duplicates;
        FitCache Fit;
        PreparedTransform Prep;
        std::vector<LooPoint> Loo;
        unsigned long long LooEdits = ~0ull, LooFit = ~0ull;
        // The last FindOutliers verdict, valid while Edits equals RobustEdits.
        std::vector<RobustVerdict> Robust;
        RobustSummary RobustTotals;
        unsigned long long RobustEdits = ~0ull;
    };
    // The derived state, made when missing; throws std::bad_alloc before
    // anything changed.
    Derived& Need() {
        if (!D) D = std::make_unique<Derived>();
        return *D;
    }
    // Back to what a new set derives: no fit, no sums, no duplicates.
    void ForgetDerived();

    std::vector<_CtrlPntStrcT> Points;
    std::size_t Used = 0;   // points whose use flag is on
    short Orient;
    short Trans;
    double Range[4];        // minX, minY, maxX, maxY
    mutable double UsedBox[4] = {0.0, 0.0, 0.0, 0.0};  // minX, minY, maxX, maxY
    mutable bool UsedBoxValid = true;
    unsigned long long Edits = 0;  // grows with every change of points, flags or types
    std::unique_ptr<Derived> D;    // null until the set first needs it
};

}  // namespace tiemark

#endif
