// CtrlPntSet.cpp - the public face of the control-point library.
//
// Every call checks its arguments, forwards to PntSetImpl and turns a failed
// allocation into TM_ERR_MEMORY: nothing thrown leaves the library.  A set
// that was never changed has no PntSetImpl; it behaves as an empty affine
// group with orientation 0 and a zero range.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "CtrlPntSet.h"
#include "PntSetImpl.h"
#include "TransTypes.h"

using tiemark::PntSetImpl;

namespace {

// Runs f, mapping std::bad_alloc to TM_ERR_MEMORY.
template <class F>
long Guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return TM_ERR_MEMORY;
    } catch (...) {
        return TM_ERR_MEMORY;  // nothing else is thrown inside; never let one escape
    }
}

// Widened first, so that the test also compiles where unsigned long has 32
// bits (and can then never exceed the limit).
bool MorePointsThanASetHolds(std::uint64_t count) { return count > 0xFFFFFFFFull; }

}  // namespace

_CtrlPntStrcT TmMakePoint(double pixelX, double pixelY, double userX, double userY, double userZ,
                          const char* name) {
    _CtrlPntStrcT p;
    std::memset(&p, 0, sizeof(p));
    p.PixelX = pixelX;
    p.PixelY = pixelY;
    p.UserX = userX;
    p.UserY = userY;
    p.UserZ = userZ;
    if (name != nullptr) std::strncpy(p.Name, name, sizeof(p.Name) - 1);
    p.UseFlag = 1;
    p.EditFlag = 1;
    p.Err.Clear();
    return p;
}

namespace {
long RefuseUnprepared(const TmPointConverter*, double, double, double*, double*) { return TM_ERR_STATE; }
constexpr TmPointConverter kNothingPrepared{&RefuseUnprepared};
}  // namespace

CCtrlPntSet::CCtrlPntSet() noexcept : Impl(nullptr), Converter(&kNothingPrepared), GroupNo(0) {}

CCtrlPntSet::~CCtrlPntSet() { delete Impl; }

long CCtrlPntSet::InitPntSet(short orientType, short transType) {
    if (!PntSetImpl::IsKnownOrientType(orientType) || !PntSetImpl::IsKnownTransType(transType))
        return TM_ERR_ARGUMENT;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            if (orientType == TM_ORIENT_LINE_DOWN && transType == TM_TRANS_POLY1) return TM_OK;
            Impl = new PntSetImpl(orientType, transType);
            return TM_OK;
        }
        Impl->Reset(orientType, transType);
        return TM_OK;
    });
}

void CCtrlPntSet::SetGroupNo(long groupNo) { GroupNo = groupNo; }

long CCtrlPntSet::GetGroupNo() const { return GroupNo; }

long CCtrlPntSet::CopyPntSet(CCtrlPntSet* source) {
    if (source == nullptr) return TM_ERR_ARGUMENT;
    if (source == this) return TM_OK;
    return Guarded([&]() -> long {
        if (source->Impl == nullptr) {
            // An untouched source is an empty affine group; a prepared
            // transformation of this set survives, as with every edit.
            if (Impl != nullptr) Impl->Reset(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
        } else if (Impl == nullptr) {
            PntSetImpl* fresh = new PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
            try {
                fresh->CopyFrom(*source->Impl);
            } catch (...) {
                delete fresh;
                throw;
            }
            Impl = fresh;
        } else {
            Impl->CopyFrom(*source->Impl);
        }
        GroupNo = source->GroupNo;
        return TM_OK;
    });
}

long CCtrlPntSet::ReserveGCPs(unsigned long count) {
    if (MorePointsThanASetHolds(count)) return TM_ERR_MEMORY;
    if (count == 0) return TM_OK;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            // An untouched set is an empty affine group; so is this state.
            std::unique_ptr<PntSetImpl> fresh(new PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1));
            fresh->Reserve(count);
            Impl = fresh.release();
            return TM_OK;
        }
        Impl->Reserve(count);
        return TM_OK;
    });
}

void CCtrlPntSet::SwapPntSet(CCtrlPntSet* other) noexcept {
    if (other == nullptr || other == this) return;
    // The converter points into the state it belongs to, so it moves with it.
    std::swap(Impl, other->Impl);
    std::swap(Converter, other->Converter);
    std::swap(GroupNo, other->GroupNo);
}

void CCtrlPntSet::GetGCPNum(unsigned long* count) {
    if (count != nullptr) *count = Impl ? Impl->Count() : 0;
}

long CCtrlPntSet::AddOneGcp(unsigned long index, _CtrlPntStrcT* point) {
    if (point == nullptr) return TM_ERR_ARGUMENT;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            // Validate before allocating so that a refusal leaves the set untouched.
            if (index != 1) return TM_ERR_INDEX;
            if (long rc = PntSetImpl::ValidateRecord(*point); rc != TM_OK) return rc;
            Impl = new PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
        }
        return Impl->Add(index, *point);
    });
}

long CCtrlPntSet::AddGCPs(const _CtrlPntStrcT* points, unsigned long count, unsigned long* refused) {
    if (refused != nullptr) *refused = 0;
    if (count == 0) return TM_OK;
    if (points == nullptr) return TM_ERR_ARGUMENT;
    std::size_t bad = 0;
    const long rc = Guarded([&]() -> long {
        if (Impl == nullptr) {
            // The first points of an untouched set go into a fresh state that
            // is kept only when they are accepted: a refusal leaves no trace.
            std::unique_ptr<PntSetImpl> fresh(new PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1));
            if (long appended = fresh->Append(points, count, &bad); appended != TM_OK) return appended;
            Impl = fresh.release();
            return TM_OK;
        }
        return Impl->Append(points, count, &bad);
    });
    if (rc != TM_OK && rc != TM_ERR_MEMORY && refused != nullptr) *refused = static_cast<unsigned long>(bad + 1);
    return rc;
}

const _CtrlPntStrcT* CCtrlPntSet::PeekStoredGCPs(unsigned long* count) const {
    const std::size_t n = Impl ? Impl->Count() : 0;
    if (count != nullptr) *count = static_cast<unsigned long>(n);
    return n == 0 ? nullptr : Impl->Stored();
}

long CCtrlPntSet::DeleteOneGCP(unsigned long index) {
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long { return Impl->Delete(index); });
}

long CCtrlPntSet::GetOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    if (point == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long { return Impl->Get(index, point); });
}

long CCtrlPntSet::UpdateOneGCP(unsigned long index, _CtrlPntStrcT* point) {
    if (point == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long { return Impl->Update(index, *point); });
}

long CCtrlPntSet::SetOneGcpUseOnOff(unsigned long index, bool use) {
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long { return Impl->SetUse(index, use); });
}

long CCtrlPntSet::GetOneGcpUseOnOff(unsigned long index, bool* use) {
    if (use == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Impl->GetUse(index, use);
}

long CCtrlPntSet::SetOneGCPEditOnOff(unsigned long index, bool edit) {
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Impl->SetEdit(index, edit);
}

long CCtrlPntSet::GetOneGCPEditOnOff(unsigned long index, bool* edit) {
    if (edit == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Impl->GetEdit(index, edit);
}

void CCtrlPntSet::GetOrientType(short* orientType) {
    if (orientType != nullptr) *orientType = Impl ? Impl->OrientType() : static_cast<short>(TM_ORIENT_LINE_DOWN);
}

void CCtrlPntSet::GetTransType(short* transType) {
    if (transType != nullptr) *transType = Impl ? Impl->TransType() : static_cast<short>(TM_TRANS_POLY1);
}

long CCtrlPntSet::GetUserCoordRange(double* minX, double* minY, double* maxX, double* maxY) {
    if (!minX || !minY || !maxX || !maxY) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) {
        *minX = *minY = *maxX = *maxY = 0.0;
        return TM_OK;
    }
    Impl->GetRange(minX, minY, maxX, maxY);
    return TM_OK;
}

long CCtrlPntSet::SetUserCoordRange(double minX, double minY, double maxX, double maxY) {
    if (!std::isfinite(minX) || !std::isfinite(minY) || !std::isfinite(maxX) || !std::isfinite(maxY))
        return TM_ERR_NOT_FINITE;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            if (minX == 0.0 && minY == 0.0 && maxX == 0.0 && maxY == 0.0) return TM_OK;
            Impl = new PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1);
        }
        Impl->SetRange(minX, minY, maxX, maxY);
        return TM_OK;
    });
}

long CCtrlPntSet::ComputeUserCoordRange(long columns, long rows) {
    if (Impl == nullptr) return TM_OK;  // no points: the range stays all zeros
    return Guarded([&]() -> long { return Impl->ComputeRange(columns, rows); });
}

long CCtrlPntSet::GetCoordinateA(double* out1, double* out2, double in1, double in2, bool forward) {
    if (out1 == nullptr || out2 == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long { return Impl->Convert(out1, out2, in1, in2, forward); });
}

long CCtrlPntSet::IsLinearConvert(bool& linear) {
    short type = TM_TRANS_POLY1;
    GetTransType(&type);
    linear = type == TM_TRANS_POLY1 || type == TM_TRANS_SIMILARITY;
    return TM_OK;
}

long CCtrlPntSet::BeginTransform(bool forward) {
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long {
        // Impl lives as long as the set once made, and its prepared state with it.
        Converter = &Impl->Prepared();
        return Impl->Begin(forward);
    });
}

long CCtrlPntSet::BeginTransform(bool forward, double tolerancePx) {
    if (!(std::isfinite(tolerancePx) && tolerancePx >= 0.0)) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long {
        Converter = &Impl->Prepared();
        return Impl->Begin(forward, tolerancePx);
    });
}

long CCtrlPntSet::PointTransform(double* out1, double* out2, double in1, double in2) {
#if defined(TIEMARK_INLINE_POLYNOMIALS)
    // The polynomials here, without a second call.
    if (Converter->InlineOrder != 0) return tiemark::EvalPolynomialPair(*Converter, in1, in2, out1, out2);
#endif
    return Converter->Convert(Converter, in1, in2, out1, out2);
}

void CCtrlPntSet::EndTransform() {
    if (Impl == nullptr) return;
    if (tiemark::PreparedTransform* prepared = Impl->PreparedIfMade()) prepared->Release();
}

long CCtrlPntSet::SetTransType(short transType) {
    if (!PntSetImpl::IsKnownTransType(transType)) return TM_ERR_ARGUMENT;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            if (transType == TM_TRANS_POLY1) return TM_OK;
            Impl = new PntSetImpl(TM_ORIENT_LINE_DOWN, transType);
            return TM_OK;
        }
        Impl->SetTrans(transType);
        return TM_OK;
    });
}

long CCtrlPntSet::SetOrientType(short orientType) {
    if (!PntSetImpl::IsKnownOrientType(orientType)) return TM_ERR_ARGUMENT;
    return Guarded([&]() -> long {
        if (Impl == nullptr) {
            if (orientType == TM_ORIENT_LINE_DOWN) return TM_OK;
            Impl = new PntSetImpl(orientType, TM_TRANS_POLY1);
            return TM_OK;
        }
        Impl->SetOrient(orientType);
        return TM_OK;
    });
}

unsigned long CCtrlPntSet::MinPointsForType(short transType) {
    const tiemark::TransTypeShape* shape = tiemark::ShapeOf(transType);
    return shape != nullptr ? shape->minPoints : 0;
}

long CCtrlPntSet::GetResidual(unsigned long index, double* userDX, double* userDY, double* pixelDX,
                              double* pixelDY) {
    if (!userDX || !userDY || !pixelDX || !pixelDY) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long { return Impl->Residual(index, userDX, userDY, pixelDX, pixelDY); });
}

long CCtrlPntSet::GetRMSError(double* userRms, double* pixelRms) {
    if (!userRms || !pixelRms) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long { return Impl->RmsError(userRms, pixelRms); });
}

long CCtrlPntSet::BatchTransform(const double* in, double* out, std::size_t count) {
    if (Impl == nullptr) return TM_ERR_STATE;
    tiemark::PreparedTransform* prepared = Impl->PreparedIfMade();  // null: never prepared
    if (count == 0) return prepared != nullptr && prepared->Active() ? TM_OK : TM_ERR_STATE;
    if (in == nullptr || out == nullptr) return TM_ERR_ARGUMENT;
    return prepared != nullptr ? prepared->Batch(in, out, count) : TM_ERR_STATE;
}

long CCtrlPntSet::GetLooResidual(unsigned long index, TmLooFigures* figures) {
    if (figures == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_INDEX;
    return Guarded([&]() -> long {
        tiemark::LooPoint loo;
        if (long rc = Impl->LeaveOneOutOf(index, &loo); rc != TM_OK) return rc;
        if (loo.Status != TM_OK) return loo.Status;
        figures->UserDX = loo.User[0];
        figures->UserDY = loo.User[1];
        figures->PixelDX = loo.Pixel[0];
        figures->PixelDY = loo.Pixel[1];
        figures->Leverage = loo.Leverage;
        figures->Influence = loo.Influence;
        return TM_OK;
    });
}

long CCtrlPntSet::GetPredictionRMS(double* userRms, double* pixelRms) {
    if (!userRms || !pixelRms) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long { return Impl->PredictionRmsError(userRms, pixelRms); });
}

long CCtrlPntSet::CompareTransTypes(TmTypeScore* scores, unsigned long* count) {
    if (scores == nullptr || count == nullptr) return TM_ERR_ARGUMENT;
    return Guarded([&]() -> long {
        TmTypeScore out[6];
        if (Impl == nullptr) {
            PntSetImpl(TM_ORIENT_LINE_DOWN, TM_TRANS_POLY1).CompareTypes(out);
        } else {
            Impl->CompareTypes(out);
        }
        std::copy(out, out + 6, scores);
        *count = 6;
        return TM_OK;
    });
}

long CCtrlPntSet::GetPositionError(double pixelX, double pixelY, TmPositionError* error) {
    if (error == nullptr) return TM_ERR_ARGUMENT;
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long { return Impl->PositionErrorAt(pixelX, pixelY, error); });
}

long CCtrlPntSet::FindOutliers(unsigned long* outliers, unsigned long* conflicts, double* robustScale) {
    if (Impl == nullptr) return TM_ERR_TOO_FEW;
    return Guarded([&]() -> long { return Impl->FindOutliers(outliers, conflicts, robustScale); });
}

long CCtrlPntSet::ApplyOutliers(unsigned long* turnedOff, unsigned long* lockedLeft) {
    if (Impl == nullptr) return TM_ERR_STATE;
    return Guarded([&]() -> long { return Impl->ApplyOutliers(turnedOff, lockedLeft); });
}
