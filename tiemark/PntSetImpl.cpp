// PntSetImpl.cpp - point storage, flags, range and the calls that need a fit.
#include "PntSetImpl.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "TransTypes.h"
#include "Uncertainty.h"

namespace tiemark {

namespace {

// Widens a box {min X, min Y, max X, max Y} of map positions by p's; a
// first point starts the box.
void GrowBox(double box[4], const _CtrlPntStrcT& p, bool first) {
    if (first) {
        box[0] = box[2] = p.UserX;
        box[1] = box[3] = p.UserY;
        return;
    }
    box[0] = std::min(box[0], p.UserX);
    box[1] = std::min(box[1], p.UserY);
    box[2] = std::max(box[2], p.UserX);
    box[3] = std::max(box[3], p.UserY);
}

bool AllFinite(const _CtrlPntStrcT& p) {
    return std::isfinite(p.PixelX) && std::isfinite(p.PixelY) && std::isfinite(p.UserX) &&
           std::isfinite(p.UserY) && std::isfinite(p.UserZ);
}

// Same pixel position, with -0.0 equal to 0.0.
bool SamePixel(const _CtrlPntStrcT& a, const _CtrlPntStrcT& b) {
    return a.PixelX == b.PixelX && a.PixelY == b.PixelY;
}

// Bytes of a name before its terminator; sizeof Name when it has none.
// Word at a time: this runs for every record a set takes in.
std::size_t NameLength(const char (&name)[32]) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    for (std::size_t w = 0; w < 4; ++w) {
        std::uint64_t v;
        std::memcpy(&v, name + 8 * w, sizeof v);
        // High bit set in each zero byte (and maybe in bytes above one, never below).
        const std::uint64_t zeros = (v - kOnes) & ~v & kHighs;
        if (zeros != 0) return 8 * w + static_cast<std::size_t>(std::countr_zero(zeros) >> 3);
    }
    return sizeof name;
}

// Asks the system for the memory of the untouched records [p, p + n) at
// once, for memory about to be written whole: a block of a million records
// is 120 MB, and taking it one page fault at a time costs about as much as
// copying the records into it.  Small pages, on purpose: large ones are made
// of whole free 2 MiB blocks, which a virtual machine's host may have taken
// back, and taking those back in cost the first open after an idle spell
// five to twenty times the later ones on a test machine.  Only a hint;
// systems without it (Linux before 5.14, others) fault the pages in as
// they are written.
void TakeMemoryNow(_CtrlPntStrcT* p, std::size_t n) {
#if defined(__linux__)
    constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, missing from older headers
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t end = begin + n * sizeof(_CtrlPntStrcT);
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1), last = end & ~(kPage - 1);
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite);
#else
    (void)p, (void)n;
#endif
}

// The record as stored, given the length of its name (below 32).
_CtrlPntStrcT CanonicalOf(const _CtrlPntStrcT& point, std::size_t nameLength) {
    _CtrlPntStrcT p;
    p.PixelX = point.PixelX;
    p.PixelY = point.PixelY;
    p.UserX = point.UserX;
    p.UserY = point.UserY;
    p.UserZ = point.UserZ;
    // The name a word at a time, its bytes after the terminator zeroed, so
    // that equal names give equal records.
    for (std::size_t w = 0; w < 4; ++w) {
        std::uint64_t v;
        std::memcpy(&v, point.Name + 8 * w, sizeof v);
        const std::size_t start = 8 * w;
        const std::size_t keep = nameLength > start ? std::min<std::size_t>(nameLength - start, 8) : 0;
        const std::uint64_t mask = keep == 8 ? ~0ull : (1ull << (8 * keep)) - 1;
        v &= mask;
        std::memcpy(p.Name + start, &v, sizeof v);
    }
    p.Id = point.Id;
    p.UseFlag = point.UseFlag ? 1 : 0;
    p.EditFlag = point.EditFlag ? 1 : 0;
    p.Reserved1 = 0;
    p.Reserved2 = 0.0;
    p.Err.Clear();
    return p;
}

bool FitFieldsEqual(const _CtrlPntStrcT& a, const _CtrlPntStrcT& b) {
    return std::memcmp(&a.PixelX, &b.PixelX, sizeof(double)) == 0 &&
           std::memcmp(&a.PixelY, &b.PixelY, sizeof(double)) == 0 &&
           std::memcmp(&a.UserX, &b.UserX, sizeof(double)) == 0 &&
           std::memcmp(&a.UserY, &b.UserY, sizeof(double)) == 0 && a.UseFlag == b.UseFlag;
}

}  // namespace

PntSetImpl::PntSetImpl(short orientType, short transType)
    : Orient(orientType), Trans(transType), Range{0.0, 0.0, 0.0, 0.0} {}

bool PntSetImpl::IsKnownTransType(short transType) {
    return transType >= TM_TRANS_POLY1 && transType <= TM_TRANS_TPS;
}

bool PntSetImpl::IsKnownOrientType(short orientType) {
    return orientType == TM_ORIENT_LINE_DOWN || orientType == TM_ORIENT_LINE_UP;
}

void PntSetImpl::ForgetDerived() {
    if (!D) return;
    D->Fit.Invalidate();
    D->Duplicates.Clear();
    D->Sums = NormalisationSums();
    D->SumsValid = true;
}

void PntSetImpl::Reset(short orientType, short transType) {
    Touched();
    Points.clear();
    Used = 0;
    Orient = orientType;
    Trans = transType;
    std::fill(Range, Range + 4, 0.0);
    std::fill(UsedBox, UsedBox + 4, 0.0);
    UsedBoxValid = true;
    ForgetDerived();
}

void PntSetImpl::CopyFrom(const PntSetImpl& source) {
    if (this == &source) return;
    Touched();
    // Build every allocated part first so that a failed allocation leaves *this as it was.
    std::vector<_CtrlPntStrcT> points;
    points.reserve(source.Points.size());
    TakeMemoryNow(points.data(), points.capacity());
    points.assign(source.Points.begin(), source.Points.end());
    if (source.D) {
        Derived& d = Need();
        FitCache fit(source.D->Fit);
        Points.swap(points);
        d.Fit.Swap(fit);
        // Rebuilt when first read: no dearer than the copy itself.
        d.Duplicates.Clear();
        d.Sums = source.D->Sums;
        d.SumsValid = source.D->SumsValid;
    } else {
        Points.swap(points);
        ForgetDerived();
    }
    Used = source.Used;
    Orient = source.Orient;
    Trans = source.Trans;
    std::copy(source.Range, source.Range + 4, Range);
    std::copy(source.UsedBox, source.UsedBox + 4, UsedBox);
    UsedBoxValid = source.UsedBoxValid;
}

long PntSetImpl::ValidateRecord(const _CtrlPntStrcT& point) {
    if (!AllFinite(point)) return TM_ERR_NOT_FINITE;
    if (NameLength(point.Name) == sizeof(point.Name)) return TM_ERR_ARGUMENT;
    return TM_OK;
}

_CtrlPntStrcT PntSetImpl::Canonical(const _CtrlPntStrcT& point) {
    return CanonicalOf(point, NameLength(point.Name));
}

long PntSetImpl::Add(std::size_t index, const _CtrlPntStrcT& point) {
    if (index < 1 || index > Points.size() + 1) return TM_ERR_INDEX;
    if (long rc = ValidateRecord(point); rc != TM_OK) return rc;
    _CtrlPntStrcT p = Canonical(point);
    if (Points.size() >= 0xFFFFFFFFu) return TM_ERR_MEMORY;
    // Allocate first: the fit update below does not allocate, so after these
    // lines nothing can fail.
    Derived& d = Need();
    if (Points.size() == Points.capacity()) Points.reserve(Points.size() * 2 + 8);
    Points.insert(Points.begin() + static_cast<std::ptrdiff_t>(index - 1), p);
    Touched();
    d.Duplicates.Inserted(index - 1);
    if (p.UseFlag) {
        ++Used;
        d.SumsValid = false;
        JoinUsedBox(p);
        d.Fit.PointAdded(p, Trans);
    }
    return TM_OK;
}

void PntSetImpl::Reserve(std::size_t count) {
    if (count <= Points.capacity()) return;
    const std::size_t held = Points.size();
    Points.reserve(count);
    TakeMemoryNow(Points.data() + held, Points.capacity() - held);
}

long PntSetImpl::Append(const _CtrlPntStrcT* points, std::size_t count, std::size_t* refused) {
    // The count first, so that an impossible one is refused before any
    // record is read.
    const std::size_t first = Points.size();
    if (count > 0xFFFFFFFFu - first) return TM_ERR_MEMORY;
    if (count == 0) return TM_OK;
    Derived& d = Need();
    // One growth for the block, with room to spare for appends that follow
    // it; the last allocation, so after it nothing can fail.
    if (Points.capacity() - first < count) {
        Points.reserve(first + std::max(count, first));
        TakeMemoryNow(Points.data() + first, count);
    }
    // One pass checks, stores and sums each record; a refusal takes the
    // records stored so far out again, which leaves the points as they were.
    double box[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t joined = 0;
    NormalisationSums sums = d.Sums;
    for (std::size_t i = 0; i < count; ++i) {
        const _CtrlPntStrcT& in = points[i];
        const std::size_t nameLength = NameLength(in.Name);
        const long rc = !AllFinite(in) ? TM_ERR_NOT_FINITE
                        : nameLength == sizeof in.Name ? TM_ERR_ARGUMENT : TM_OK;
        if (rc != TM_OK) {
            Points.resize(first);
            *refused = i;
            return rc;
        }
        const _CtrlPntStrcT& p = Points.emplace_back(CanonicalOf(in, nameLength));
        if (!p.UseFlag) continue;
        sums.Add(p);
        GrowBox(box, p, joined++ == 0);
    }
    Touched();
    d.Duplicates.Inserted(first);  // past the covered points: taken in at the next read
    if (joined == 0) return TM_OK;
    if (UsedBoxValid) {
        if (Used == 0) std::copy(box, box + 4, UsedBox);
        UsedBox[0] = std::min(UsedBox[0], box[0]);
        UsedBox[1] = std::min(UsedBox[1], box[1]);
        UsedBox[2] = std::max(UsedBox[2], box[2]);
        UsedBox[3] = std::max(UsedBox[3], box[3]);
    }
    Used += joined;
    d.Sums = sums;
    d.Fit.PointsAppended(Points.data() + first, count, joined, Trans);
    if (d.SumsValid) d.Fit.KnowSums(d.Sums);
    return TM_OK;
}

long PntSetImpl::Delete(std::size_t index) {
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    Touched();
    Derived& d = Need();  // there since the first point
    const _CtrlPntStrcT removed = Points[index - 1];
    bool used = removed.UseFlag != 0;
    Points.erase(Points.begin() + static_cast<std::ptrdiff_t>(index - 1));
    d.Duplicates.Erased(index - 1, removed, Points.size());
    if (used) {
        --Used;
        d.SumsValid = false;
        LeaveUsedBox(removed);
        d.Fit.Invalidate();
    }
    return TM_OK;
}

long PntSetImpl::Get(std::size_t index, _CtrlPntStrcT* point) {
    if (point == nullptr) return TM_ERR_ARGUMENT;
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    _CtrlPntStrcT p = Points[index - 1];
    FillErrorContext(index - 1, &p);
    *point = p;
    return TM_OK;
}

long PntSetImpl::Update(std::size_t index, const _CtrlPntStrcT& point) {
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    if (long rc = ValidateRecord(point); rc != TM_OK) return rc;
    Touched();
    _CtrlPntStrcT p = Canonical(point);
    Derived& d = Need();  // there since the first point
    _CtrlPntStrcT& slot = Points[index - 1];
    bool fitChanged = !FitFieldsEqual(slot, p);
    bool pixelChanged = !SamePixel(slot, p);
    if (slot.UseFlag) {
        --Used;
        LeaveUsedBox(slot);
    }
    if (p.UseFlag) {
        ++Used;
        JoinUsedBox(p);
    }
    if (pixelChanged) d.Duplicates.Moved(index - 1, slot, p);
    slot = p;
    if (fitChanged) {
        d.SumsValid = false;
        d.Fit.Invalidate();
    }
    return TM_OK;
}

long PntSetImpl::SetUse(std::size_t index, bool use) {
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    _CtrlPntStrcT& slot = Points[index - 1];
    std::uint8_t flag = use ? 1 : 0;
    if (slot.UseFlag == flag) return TM_OK;
    Derived& d = Need();  // there since the first point
    Touched();
    slot.UseFlag = flag;
    d.SumsValid = false;
    if (use) {
        ++Used;
        JoinUsedBox(slot);
        d.Fit.PointAdded(slot, Trans);
    } else {
        --Used;
        LeaveUsedBox(slot);
        d.Fit.Invalidate();
    }
    return TM_OK;
}

long PntSetImpl::GetUse(std::size_t index, bool* use) const {
    if (use == nullptr) return TM_ERR_ARGUMENT;
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    *use = Points[index - 1].UseFlag != 0;
    return TM_OK;
}

long PntSetImpl::SetEdit(std::size_t index, bool edit) {
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    Points[index - 1].EditFlag = edit ? 1 : 0;
    return TM_OK;
}

long PntSetImpl::GetEdit(std::size_t index, bool* edit) const {
    if (edit == nullptr) return TM_ERR_ARGUMENT;
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    *edit = Points[index - 1].EditFlag != 0;
    return TM_OK;
}

void PntSetImpl::SetTrans(short transType) {
    if (transType == Trans) return;
    Touched();
    Trans = transType;
    if (D) D->Fit.Invalidate();
}

void PntSetImpl::SetOrient(short orientType) {
    Touched();
    Orient = orientType;
}

void PntSetImpl::GetRange(double* minX, double* minY, double* maxX, double* maxY) const {
    *minX = Range[0];
    *minY = Range[1];
    *maxX = Range[2];
    *maxY = Range[3];
}

void PntSetImpl::SetRange(double minX, double minY, double maxX, double maxY) {
    Range[0] = minX;
    Range[1] = minY;
    Range[2] = maxX;
    Range[3] = maxY;
}

void PntSetImpl::JoinUsedBox(const _CtrlPntStrcT& p) {
    if (!UsedBoxValid) return;
    GrowBox(UsedBox, p, Used == 1);  // Used == 1: p is the only used point
}

void PntSetImpl::LeaveUsedBox(const _CtrlPntStrcT& p) {
    if (Used == 0) {
        std::fill(UsedBox, UsedBox + 4, 0.0);
        UsedBoxValid = true;
        return;
    }
    const bool onEdge = p.UserX == UsedBox[0] || p.UserY == UsedBox[1] ||
                        p.UserX == UsedBox[2] || p.UserY == UsedBox[3];
    if (onEdge) UsedBoxValid = false;
}

long PntSetImpl::UsedBoundingBox(double range[4]) const {
    if (!UsedBoxValid) {
        bool any = false;
        double box[4] = {0.0, 0.0, 0.0, 0.0};
        for (const _CtrlPntStrcT& p : Points) {
            if (!p.UseFlag) continue;
            if (!any) {
                box[0] = box[2] = p.UserX;
                box[1] = box[3] = p.UserY;
                any = true;
                continue;
            }
            box[0] = std::min(box[0], p.UserX);
            box[1] = std::min(box[1], p.UserY);
            box[2] = std::max(box[2], p.UserX);
            box[3] = std::max(box[3], p.UserY);
        }
        std::copy(box, box + 4, UsedBox);
        UsedBoxValid = true;
    }
    std::copy(UsedBox, UsedBox + 4, range);
    return TM_OK;
}

long PntSetImpl::ComputeRange(long columns, long rows) {
    double range[4];
    if (columns <= 0 || rows <= 0 || Used < CCtrlPntSet::MinPointsForType(Trans)) {
        UsedBoundingBox(range);
    } else {
        FitCache& fit = Need().Fit;
        if (long rc = fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
        double frameBottom = Orient == TM_ORIENT_LINE_UP ? -static_cast<double>(rows)
                                                          : static_cast<double>(rows);
        if (long rc = fit.Current().FrameRange(0.0, 0.0, static_cast<double>(columns), frameBottom, range);
            rc != TM_OK)
            return rc;
    }
    std::copy(range, range + 4, Range);
    return TM_OK;
}

long PntSetImpl::Convert(double* out1, double* out2, double in1, double in2, bool forward) {
    if (out1 == nullptr || out2 == nullptr) return TM_ERR_ARGUMENT;
    if (!std::isfinite(in1) || !std::isfinite(in2)) return TM_ERR_NOT_FINITE;
    FitCache& fit = Need().Fit;
    if (long rc = fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    double a, b;
    long rc = forward ? fit.Current().Forward(in1, in2, &a, &b) : fit.Current().Backward(in1, in2, &a, &b);
    if (rc != TM_OK) return rc;
    *out1 = a;
    *out2 = b;
    return TM_OK;
}

long PntSetImpl::Residual(std::size_t index, double* userDX, double* userDY, double* pixelDX,
                          double* pixelDY) {
    if (!userDX || !userDY || !pixelDX || !pixelDY) return TM_ERR_ARGUMENT;
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    FitCache& fit = Need().Fit;
    if (long rc = fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    const _CtrlPntStrcT& p = Points[index - 1];
    double r[4];
    if (long rc = fit.Current().PointResidual(p, r); rc != TM_OK) return rc;
    *userDX = r[0];
    *userDY = r[1];
    *pixelDX = r[2];
    *pixelDY = r[3];
    return TM_OK;
}

long PntSetImpl::RmsError(double* userRms, double* pixelRms) {
    if (!userRms || !pixelRms) return TM_ERR_ARGUMENT;
    FitCache& fit = Need().Fit;
    if (long rc = fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    double rms[2];
    if (long rc = fit.Rms(Points, rms); rc != TM_OK) return rc;
    *userRms = rms[0];
    *pixelRms = rms[1];
    return TM_OK;
}

long PntSetImpl::EnsureLeaveOneOut() {
    Derived& d = Need();
    if (long rc = d.Fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    if (d.LooEdits == Edits && d.LooFit == d.Fit.CurrentRevision()) return TM_OK;
    std::vector<LooPoint> loo;
    if (long rc = LeaveOneOut(d.Fit, Points, &loo); rc != TM_OK) return rc;
    d.Loo.swap(loo);
    d.LooEdits = Edits;
    d.LooFit = d.Fit.CurrentRevision();
    return TM_OK;
}

long PntSetImpl::LeaveOneOutOf(std::size_t index, LooPoint* figures) {
    if (figures == nullptr) return TM_ERR_ARGUMENT;
    if (index < 1 || index > Points.size()) return TM_ERR_INDEX;
    if (long rc = EnsureLeaveOneOut(); rc != TM_OK) return rc;
    *figures = D->Loo[index - 1];
    return TM_OK;
}

long PntSetImpl::PredictionRmsError(double* userRms, double* pixelRms) {
    if (!userRms || !pixelRms) return TM_ERR_ARGUMENT;
    if (long rc = EnsureLeaveOneOut(); rc != TM_OK) return rc;
    double rms[2];
    if (long rc = PredictionRms(Points, D->Loo, rms); rc != TM_OK) return rc;
    *userRms = rms[0];
    *pixelRms = rms[1];
    return TM_OK;
}

long PntSetImpl::FindOutliers(unsigned long* outliers, unsigned long* conflicts, double* robustScale) {
    std::vector<RobustVerdict> verdicts;
    RobustSummary summary;
    Derived& d = Need();
    if (long rc = RobustCheck(Points, Trans, Orient, &verdicts, &summary); rc != TM_OK) return rc;
    d.Robust.swap(verdicts);
    d.RobustTotals = summary;
    d.RobustEdits = Edits;
    std::size_t conflicting = 0;
    for (const RobustVerdict& v : d.Robust) conflicting += v.Conflict != 0 ? 1 : 0;
    if (outliers) *outliers = static_cast<unsigned long>(summary.Outliers);
    if (conflicts) *conflicts = static_cast<unsigned long>(conflicting);
    if (robustScale) *robustScale = summary.Scale;
    return TM_OK;
}

long PntSetImpl::ApplyOutliers(unsigned long* turnedOff, unsigned long* lockedLeft) {
    if (!D || D->RobustEdits != Edits) return TM_ERR_STATE;
    Derived& d = *D;
    unsigned long off = 0, locked = 0;
    for (std::size_t i = 0; i < Points.size(); ++i) {
        if (!d.Robust[i].Outlier || !Points[i].UseFlag) continue;
        if (!Points[i].EditFlag) {
            ++locked;
            continue;
        }
        SetUse(i + 1, false);
        ++off;
    }
    d.RobustEdits = Edits;  // the marks stay with the points they were made for
    if (turnedOff) *turnedOff = off;
    if (lockedLeft) *lockedLeft = locked;
    return TM_OK;
}

long PntSetImpl::PositionErrorAt(double pixelX, double pixelY, TmPositionError* error) {
    if (error == nullptr) return TM_ERR_ARGUMENT;
    if (!std::isfinite(pixelX) || !std::isfinite(pixelY)) return TM_ERR_NOT_FINITE;
    Derived& d = Need();
    if (long rc = d.Fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    if (Trans == TM_TRANS_TPS)
        if (long rc = EnsureLeaveOneOut(); rc != TM_OK) return rc;
    PositionError e;
    if (long rc = PredictPositionError(d.Fit, Points, d.Loo, pixelX, pixelY, &e); rc != TM_OK) return rc;
    EllipseOf(e.Cov, &error->SemiMajor, &error->SemiMinor, &error->Angle);
    error->Radial = std::sqrt(std::max(0.0, e.Cov[0] + e.Cov[2]));
    return TM_OK;
}

void PntSetImpl::CompareTypes(TmTypeScore scores[6]) const {
    static constexpr short kTypes[6] = {TM_TRANS_SIMILARITY, TM_TRANS_POLY1, TM_TRANS_PROJECTIVE,
                                        TM_TRANS_POLY2,      TM_TRANS_POLY3, TM_TRANS_TPS};
    PntSetImpl scratch(Orient, Trans);
    scratch.CopyFrom(*this);
    for (int k = 0; k < 6; ++k) {
        TmTypeScore& s = scores[k];
        s = TmTypeScore{kTypes[k], TM_OK, 0, 0.0, 0.0, 0.0, 0};
        const TransTypeShape* shape = ShapeOf(s.TransType);
        s.Parameters = s.TransType == TM_TRANS_TPS ? 2 * (Used + 3)
                                                   : static_cast<unsigned long>(shape->unknowns) * (shape->termsPerAxis == shape->unknowns ? 2 : 1);
        scratch.SetTrans(s.TransType);
        double fit[2], prediction[2];
        if ((s.Status = scratch.RmsError(&fit[0], &fit[1])) != TM_OK) continue;
        if ((s.Status = scratch.PredictionRmsError(&prediction[0], &prediction[1])) != TM_OK) continue;
        s.FitRms = fit[0];
        s.PredictionRms = prediction[0];
        double sum = 0.0;
        for (std::size_t i = 0; i < Points.size(); ++i) {
            if (Points[i].UseFlag) continue;
            const LooPoint& o = scratch.D->Loo[i];
            if (o.Status != TM_OK) continue;
            sum += o.User[0] * o.User[0] + o.User[1] * o.User[1];
            ++s.CheckCount;
        }
        s.CheckRms = s.CheckCount > 0 ? std::sqrt(sum / static_cast<double>(s.CheckCount)) : 0.0;
    }
    std::stable_sort(scores, scores + 6, [](const TmTypeScore& a, const TmTypeScore& b) {
        if ((a.Status == TM_OK) != (b.Status == TM_OK)) return a.Status == TM_OK;
        return a.Status == TM_OK && a.PredictionRms < b.PredictionRms;
    });
}

long PntSetImpl::Begin(bool forward, double tolerancePx) {
    Derived& d = Need();
    if (d.Prep.Active()) return TM_ERR_STATE;
    if (long rc = d.Fit.Ensure(Points, Trans, Orient); rc != TM_OK) return rc;
    return d.Prep.Prepare(d.Fit.Current(), forward, tolerancePx);
}

void PntSetImpl::FillErrorContext(std::size_t index, _CtrlPntStrcT* point) {
    Derived& d = Need();  // there since the first point
    d.Duplicates.Sync(Points);
    point->Err.Clear();
    point->Err.Code = TM_CHECK_OK;
    if (d.RobustEdits == Edits) {
        const RobustVerdict& v = d.Robust[index];
        if (v.Conflict != 0) {
            point->Err.Code = TM_CHECK_CONFLICT;
            point->Err.Other = static_cast<std::int32_t>(v.Conflict);
            return;
        }
        if (v.Outlier) {
            point->Err.Code = TM_CHECK_ROBUST_OUTLIER;
            point->Err.ResidualX = v.Residual[0];
            point->Err.ResidualY = v.Residual[1];
            point->Err.Reserved = d.RobustTotals.Scale;
            return;
        }
    }
    if (std::uint32_t other = d.Duplicates.OtherOf(index); other != 0) {
        point->Err.Code = TM_CHECK_DUPLICATE;
        point->Err.Other = static_cast<std::int32_t>(other);
        return;
    }
    if (d.Fit.Ensure(Points, Trans, Orient) != TM_OK) return;
    double r[4];
    if (d.Fit.Current().PointResidual(Points[index], r) != TM_OK) return;
    point->Err.ResidualX = r[0];
    point->Err.ResidualY = r[1];
    if (d.Fit.IsOutlier(Points, r[0], r[1])) point->Err.Code = TM_CHECK_OUTLIER;
}

}  // namespace tiemark
