// InverseCells.h - a piecewise cubic table of the exact inverse of a model.
//
// The frame is a rectangle of (s, t), the affine estimate of the pixel
// position (s, t) = Inv * ((x, y) - Centre) in normalised units: the box of
// (s, t) over the boundary of the points' pixel extent taken through the
// forward model, widened by kMargin of its larger side.  Conversions stay
// where the points are, so the cells are spent there only.  It is cut into
// square cells, n along its larger side.  At every cell corner the
// exact inverse (Newton iteration on the forward model) and its gradient
// (the inverse Jacobian) are computed once; each cell holds, for pixel x and
// pixel y, the cubic in the cell's local coordinates (a, b) in [0, 1)^2 that
// fits those twelve values and slopes by least squares.
//
// Built with verification (polynomials), each cell's cubic is compared with
// the exact inverse at its corners and at five interior check points (the
// misfit of the forward model there, taken back through the inverse
// Jacobian); a cell is marked verified when the largest error times
// kSafety stays within kTolerancePx pixels.  Lookup() answers only from
// verified cells, so every answer it gives is within that tolerance of the
// exact inverse; elsewhere (outside the frame, unverified cells) the caller
// iterates from Seed().  The error of a cubic fitted to a smooth map on a
// cell of width h shrinks as h^4: Build picks n from the error a coarse
// probe grid shows, and keeps the probe (as seeds) when its median cell
// would need more than kMaxCells per side.
//
// Build makes the probe only.  The finer table it picks is laid out but
// left empty: each of its cells is built and checked the first time a
// conversion falls into it, from corners seeded by the probe, so that
// preparing costs a probe's sixty-odd cells whatever the tolerance asks
// for, and a caller converting a few points, or points in a corner of the
// frame, builds only the cells it uses.  A cell is the same, bit for bit,
// whenever and on whichever thread it is built; lookups may run on several
// threads at once (a cell is claimed by the first, the others wait for it).
//
// Built without verification (the thin plate spline), the cells serve only
// as seeds for Newton iteration, kSplineSeedCells per side: fine enough that
// one step from most seeds, corrected for the spline's curvature, is
// provably within the tolerance (PreparedTransform::SplineCurvedStep).
//
// Built with a looser tolerance (a caller that accepts, say, 1e-3 px for
// bulk work), the same check runs against that tolerance, for the spline
// too: its cells are then checked at their corners and on a 4 x 4 grid of
// interior points (the spline bends on the scale of its point spacing, so
// five points would say too little), and the spline's table is refined
// from a probe of kSplineCells per side towards kMaxCheckedSplineCells.
// Cells near a spline centre, where the kernel's second derivative has its
// logarithmic singularity, fail at any width worth having and keep Newton.
#ifndef MORVANE_TIEMARK_INVERSECELLS_H
#define MORVANE_TIEMARK_INVERSECELLS_H

#include <cmath>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "CpuDispatch.h"
#include "Model.h"

#if MORVANE_X86_DISPATCH
#include <immintrin.h>
// Code compiled for AVX2 and FMA, beside the baseline code of the same file.
#define MORVANE_CELLS_FMA __attribute__((target("avx2,fma")))
// And code for AVX-512 (eight lanes of 64 bits), for FindRunAvx512.
#define MORVANE_CELLS_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx2,fma,prfchw")))
#endif

namespace tiemark {

// A polynomial of order 2 or 3 (Model's coefficient order) and its partial
// derivatives at (u, v).
template <int Order>
inline void PolyWithGradient(const double* c, double u, double v, double* f, double* fu, double* fv) {
    if constexpr (Order == 2) {
        *f = c[0] + u * (c[1] + c[3] * u + c[4] * v) + v * (c[2] + c[5] * v);
        *fu = c[1] + 2.0 * c[3] * u + c[4] * v;
        *fv = c[2] + c[4] * u + 2.0 * c[5] * v;
    } else {
        const double uu = u * u, uv = u * v, vv = v * v;
        *f = c[0] + u * (c[1] + u * (c[3] + c[6] * u + c[7] * v) + v * (c[4] + c[8] * v)) +
             v * (c[2] + v * (c[5] + c[9] * v));
        *fu = c[1] + 2.0 * c[3] * u + c[4] * v + 3.0 * c[6] * uu + 2.0 * c[7] * uv + c[8] * vv;
        *fv = c[2] + c[4] * u + 2.0 * c[5] * v + c[7] * uu + 2.0 * c[8] * uv + 3.0 * c[9] * vv;
    }
}

class InverseCells {
public:
    // Widening of the frame on every side, as a fraction of its larger side.
    static constexpr double kMargin = 0.05;
    // Largest error, in pixels, that a verified cell may have.
    static constexpr double kTolerancePx = 1e-6;
    // Factor between the error seen at a cell's check points and kTolerancePx.
    static constexpr double kSafety = 4.0;
    // Cells per side: the probe grid, and the most Build uses.
    static constexpr int kProbeCells = 8;
    static constexpr int kMaxCells = 64;
    static constexpr int kSplineCells = 16;
    // Seed cells per side of the spline's exact inverse.  The seeds' error
    // shrinks as the fourth power of the cell width, the error left by the
    // first step as the third power of the seeds': with 1,000 points, 48
    // cells let about 93 % of conversions stop after one pass over the
    // centres (32 cells: 74 %), for 2,401 corners solved at preparation,
    // about half the fit's cost.
    static constexpr int kSplineSeedCells = 48;
    // The most cells per side a checked spline table uses: each cell costs
    // about twenty evaluations of the spline to build and check.
    static constexpr int kMaxCheckedSplineCells = 192;

    // Builds the table for m (order 2 or 3 polynomial, or thin plate spline;
    // Inv and Centre set).  verify: check every cell and allow Lookup;
    // otherwise seeds only, on kSplineSeedCells cells per side.  tolerancePx:
    // the largest error, in pixels, a verified cell may have; kTolerancePx
    // or more (smaller values count as kTolerancePx).  May throw
    // std::bad_alloc before changing anything.
    void Build(const Model& m, bool verify, double tolerancePx = kTolerancePx);
    void Clear();
    bool Empty() const { return Ns == 0; }
    // Cells along the frame's larger side.
    int CellsPerSide() const { return Ns > Nt ? Ns : Nt; }
    // Number of verified cells among those built so far.
    int VerifiedCells() const;

    InverseCells() = default;
    // A copy has the cells built so far (a cell being built is left to the
    // copy to build again).
    InverseCells(const InverseCells& other) { CopyFrom(other); }
    InverseCells& operator=(const InverseCells& other) {
        if (this != &other) CopyFrom(other);
        return *this;
    }
    InverseCells(InverseCells&&) noexcept = default;
    InverseCells& operator=(InverseCells&&) noexcept = default;
    // The tolerance, in pixels, the verified cells were checked for.
    double CheckedTolerancePx() const { return TolerancePx; }

    // Pixel position of user (X, Y) from a verified cell, building the cell
    // first when no conversion has needed it yet; false when (X, Y) is
    // outside the frame, in a cell that failed its check, or not finite.
    // m: the model the table was built for.
    bool Lookup(const Model& m, double X, double Y, double* pixelX, double* pixelY) const {
        return Find(X, Y, pixelX, pixelY) || (BuildCellAt(m, X, Y) && Find(X, Y, pixelX, pixelY));
    }
    // The same from the cells built so far only: false also where the cell
    // of (X, Y) is not built yet.  Calls nothing, for the fast paths.  The
    // pixel position it gives is always finite (a verified cell's
    // coefficients are bounded), so callers need not check it.
    bool Find(double X, double Y, double* pixelX, double* pixelY) const {
        const Pair f = FramePosition(X, Y);
        // Both inside [0, Side) (false for not-a-number too), tested at once.
        const Mask inside = (f >= Pair{0.0, 0.0}) & (f < LoadPair(Side));
        if ((inside[0] & inside[1]) == 0) return false;
        // In range now, so the conversion is defined; truncation is the floor.
        const IntPair ik = __builtin_convertvector(f, IntPair);
        const std::size_t cell = static_cast<std::size_t>(ik[1]) * Ns + ik[0];
        if (State[cell].load(std::memory_order_acquire) != kVerified) return false;
        const Pair ab = f - __builtin_convertvector(ik, Pair);
        EvalCell(Coef.get() + cell * kCoefPerCell, ab[0], ab[1], pixelX, pixelY);
        return true;
    }
#if MORVANE_X86_DISPATCH
    // Find for code compiled for AVX2 and FMA (inlined there only): every
    // product and the sum it joins are one rounding, written out as
    // explicit fused multiply-adds so that this and FindRunFused give
    // the same bits; the cell's corner by truncation (for 0 <= s < 2^31
    // the floor the runs take, and s - trunc(s) is s - floor(s); at s = -0
    // the local position's zero may differ in sign, which the cubic, whose
    // zero coefficients are +0, cannot tell), the range test by one mask.
    [[gnu::always_inline]] MORVANE_CELLS_FMA bool FindFused(double X, double Y, double* pixelX,
                                                            double* pixelY) const {
        const __m128d f = FramePositionFused(_mm_set1_pd(X - UserXc), _mm_set1_pd(Y - UserYc));
        const __m128d inside = _mm_and_pd(_mm_cmpge_pd(f, _mm_setzero_pd()), _mm_cmplt_pd(f, _mm_loadu_pd(Side)));
        if (_mm_movemask_pd(inside) != 3) return false;
        // In range, so truncation is the floor and fits 32 bits; the cell's
        // number in integers, off the chain that the local position and
        // the cubic wait on.
        const __m128i corner32 = _mm_cvttpd_epi32(f);
        const __m128d corner = _mm_cvtepi32_pd(corner32);
        const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(corner32));
        const std::size_t cell = static_cast<std::size_t>(both >> 32) * static_cast<std::size_t>(Ns) + (both & 0xffffffffu);
        if (State[cell].load(std::memory_order_acquire) != kVerified) return false;
        const __m128d ab = _mm_sub_pd(f, corner);
        const __m128d r =
            CubicPairFused(Coef.get() + cell * kCoefPerCell, _mm_movedup_pd(ab), _mm_unpackhi_pd(ab, ab));
        _mm_storel_pd(pixelX, r);
        _mm_storeh_pd(pixelY, r);
        return true;
    }
    // Lookup for code compiled for AVX2 and FMA, through FindFused.
    // The cell to build is found from the same fused frame position, so a
    // point on a cell's edge builds the cell FindFused then reads.
    MORVANE_CELLS_FMA bool LookupFused(const Model& m, double X, double Y, double* pixelX, double* pixelY) const;
    // FindFused for the points of in (count interleaved pairs) into out
    // (which may be in), in the same order, the same bits: stops at a point
    // it does not answer, or within the last four points, and returns how
    // many points it converted (the rest of out is untouched).
    MORVANE_CELLS_FMA std::size_t FindRunFused(const double* in, double* out, std::size_t count) const;
    // FindRunFused for processors with AVX-512 (CpuHasAvx512()): the same
    // contract and the same bits, in steps of eight points, and the cubics
    // of four points evaluated side by side and stored at once.
    MORVANE_CELLS_AVX512 std::size_t FindRunAvx512(const double* in, double* out, std::size_t count) const;
#endif
    // Builds the cell of user (X, Y) if it is not built yet; whether that
    // cell is verified.  m: the model the table was built for.
    bool BuildCellAt(const Model& m, double X, double Y) const;

    // A seed for Newton iteration at user (X, Y), in normalised pixel units:
    // the nearest cell's cubic (extrapolated outside the frame), or the
    // affine estimate where that cell has none.  A table built on demand
    // seeds from its probe always, so that a conversion's result does not
    // depend on which cells earlier ones built.
    void Seed(double X, double Y, double* u, double* v) const {
        if (Probe != nullptr) return Probe->Seed(X, Y, u, v);
        const Pair f = FramePosition(X, Y);
        const double fs = f[0], ft = f[1];
        // The cell index by truncation, clamped (std::floor is a library
        // call on the baseline x86-64).
        const int i = fs > 0.0 ? (fs < Side[0] ? static_cast<int>(fs) : Ns - 1) : 0;
        const int k = ft > 0.0 ? (ft < Side[1] ? static_cast<int>(ft) : Nt - 1) : 0;
        double px, py;
        EvalCell(Coef.get() + (static_cast<std::size_t>(k) * Ns + i) * kCoefPerCell, fs - i, ft - k, &px, &py);
        if (std::isfinite(px) && std::isfinite(py)) {
            *u = (px - PixelX0) / PixelScale;
            *v = (py - PixelY0) / PixelScale;
        } else {
            *u = SLo + fs * H;
            *v = TLo + ft * H;
        }
    }

    // Terms of a cubic above the constant, nested so that each costs one
    // multiply-add.
    static double Cubic(const double* c, double a, double b) {
        return a * (c[1] + a * (c[3] + c[6] * a + c[7] * b) + b * (c[4] + c[8] * b)) +
               b * (c[2] + b * (c[5] + c[9] * b));
    }
    // Pixel position at local (a, b) of a stored cell, whose coefficients
    // are pairs (pixel x, pixel y) kept by SlotOf: both cubics evaluate
    // side by side, written out as pairs so that every caller compiles to
    // the same operations (the batch and one-point conversions agree to the
    // bit whatever the compiler's vectoriser does with either).
    static void EvalCell(const double* c, double a, double b, double* pixelX, double* pixelY) {
        auto k = [c](int term) { return LoadPair(c + 2 * SlotOf(term)); };
        const Pair r = k(0) + a * (k(1) + a * (k(3) + k(6) * a + k(7) * b) + b * (k(4) + k(8) * b)) +
                       b * (k(2) + b * (k(5) + k(9) * b));
        *pixelX = r[0];
        *pixelY = r[1];
    }

private:
    // Two lanes, written out so that every caller compiles a lookup to the
    // same operations (see EvalCell).
    typedef double Pair __attribute__((vector_size(16)));
    typedef std::int64_t Mask __attribute__((vector_size(16)));
    typedef std::int32_t IntPair __attribute__((vector_size(8)));
    static Pair LoadPair(const double* p) {
        Pair pair;
        std::memcpy(&pair, p, sizeof pair);
        return pair;
    }
    // (s, t) of user (X, Y) in cell units, from the frame's low corner.
    Pair FramePosition(double X, double Y) const {
        return LoadPair(Off) + LoadPair(AlongX) * (X - UserXc) + LoadPair(AlongY) * (Y - UserYc);
    }
#if MORVANE_X86_DISPATCH
    // FramePosition with fused multiply-adds, from the offsets X - UserXc
    // and Y - UserYc in both lanes of dx and dy.
    [[gnu::always_inline]] MORVANE_CELLS_FMA __m128d FramePositionFused(__m128d dx, __m128d dy) const {
        return _mm_fmadd_pd(_mm_loadu_pd(AlongY), dy, _mm_fmadd_pd(_mm_loadu_pd(AlongX), dx, _mm_loadu_pd(Off)));
    }
    // The pixel position (x, y) at local (a, b) from the cell whose
    // coefficients start at c, a and b in both lanes: the cubic of
    // EvalCell, ordered as four polynomials in a and then one in b,
    //   q0 = k0 + a (k1 + a (k3 + a k6)),  q1 = k2 + a (k4 + a k7),
    //   q2 = k5 + a k8,  q3 = k9,  result q0 + b (q1 + b (q2 + b q3)),
    // each product and the sum it joins one rounding: nine multiply-adds,
    // at most four of them in a chain, and the q's are the rows of the
    // eight-lane evaluation (CubicRowsAvx512).  The terms are loaded where
    // used, so that they stay memory operands.
    [[gnu::always_inline]] MORVANE_CELLS_FMA static __m128d CubicPairFused(const double* c, __m128d a, __m128d b) {
        auto k = [c](int term) { return _mm_loadu_pd(c + 2 * SlotOf(term)); };
        const __m128d q0 = _mm_fmadd_pd(_mm_fmadd_pd(_mm_fmadd_pd(k(6), a, k(3)), a, k(1)), a, k(0));
        const __m128d q1 = _mm_fmadd_pd(_mm_fmadd_pd(k(7), a, k(4)), a, k(2));
        const __m128d q2 = _mm_fmadd_pd(k(8), a, k(5));
        return _mm_fmadd_pd(_mm_fmadd_pd(_mm_fmadd_pd(k(9), b, q2), b, q1), b, q0);
    }
    // q0 to q3 of CubicPairFused, one pair (x, y) each, for the cell at c
    // and local a in all lanes.  Each row is one multiply-add chain of three
    // steps; a q with fewer terms joins its chain late, from lanes held at
    // zero (exact: a >= 0 and no stored coefficient is -0), so every lane
    // gets the bits of CubicPairFused's own chain for it.
    // The lanes beyond a row's pairs are the next row's or padding, left
    // out by the masks.
    [[gnu::always_inline]] MORVANE_CELLS_AVX512 static __m512d CubicRowsAvx512(const double* c, __m512d a) {
        const __m512d top = _mm512_zextpd128_pd512(_mm_load_pd(c + 20));                  // k6, 0, 0, 0
        const __m512d r1 = _mm512_mask_fmadd_pd(top, 0x0F, a, _mm512_load_pd(c + 16));  // + k3 k7
        const __m512d r2 = _mm512_mask_fmadd_pd(r1, 0x3F, a, _mm512_load_pd(c + 8));    // + k1 k4 k8
        return _mm512_fmadd_pd(r2, a, _mm512_load_pd(c));                             // + k0 k2 k5 k9
    }
#endif
    // Where term r (Model's order) of a cell's cubics is kept, in pairs
    // (pixel x, pixel y): the rows of CubicRowsAvx512 from the last,
    // 0 2 5 9 | 1 4 8 - | 3 7 | 6 -, each row starting a 64-byte line (the
    // cells are, see kCoefPerCell), so that no row's load spans two lines.
    static constexpr int SlotOf(int term) {
        constexpr int kSlot[10] = {0, 4, 1, 8, 5, 2, 10, 9, 6, 3};
        return kSlot[term];
    }
    // The two cubics' coefficients in pairs by SlotOf, and two pairs of
    // zeros: 192 bytes, three whole lines of 64 bytes, the table aligned to 64.
    static constexpr int kCoefPerCell = 24;
    static constexpr std::size_t kCoefAlignment = 64;
    struct AlignedDelete {
        void operator()(double* p) const { ::operator delete[](p, std::align_val_t{kCoefAlignment}); }
    };
    // A cell's state.  Only a table built on demand has cells not built or
    // being built; a probe's cells are all built with it.
    enum : std::uint8_t { kNotBuilt = 0, kVerified = 1, kFailed = 2, kBuilding = 3 };
    // Exact inverse at a corner: normalised (u, v) and its slopes along the
    // local a and b, per unit of a and b; ok false where it could not be had.
    struct Corner {
        double u, v, ua, ub, va, vb;
        bool ok;
    };
    // The frame's box in (s, t): {s low, t low, s high, t high}.
    template <class Eval>
    void FrameBox(const Model& m, const Eval& eval, double box[4]) const;
    // Builds the cells of width h over box (n along its larger side);
    // returns the largest error seen (normalised units), and the median
    // cell's in *median when asked.
    template <class Eval>
    double BuildGrid(const Model& m, const Eval& eval, const double box[4], int n, bool verify,
                     double* median = nullptr);
    template <class Eval>
    void SolveCorners(const Model& m, const Eval& eval, std::vector<Corner>& corners) const;
    // The exact inverse at corner (i, k) by Newton iteration from the seed
    // (u, v), normalised units; the damped iteration where that fails.
    template <class Eval>
    void SolveCorner(const Model& m, const Eval& eval, int i, int k, double u, double v, Corner& c) const;
    // Builds and checks cell (i, k) of a table built on demand, its corners
    // seeded from the probe; true when it passes.  Claims the cell first:
    // where another thread is building it, waits for that one instead.
    bool BuildOnDemand(const Model& m, int i, int k) const;
    // BuildCellAt for the cell at frame position (s, t), in cell units.
    bool BuildCellAtPosition(const Model& m, double s, double t) const;
    template <class Eval>
    bool BuildCell(const Model& m, const Eval& eval, int i, int k, double* coef) const;
    bool BuildCellAny(const Model& m, int i, int k, double* coef) const;
    bool BuildCellPortable(const Model& m, int i, int k, double* coef) const;
    bool BuildCellAvx2Fma(const Model& m, int i, int k, double* coef) const;
    // Allocates Ns * Nt cells, none built.  May throw std::bad_alloc.
    void AllocateCells();
    void CopyFrom(const InverseCells& other);
    template <class Eval>
    double FitCell(const Model& m, const Eval& eval, const Corner* c[4], int i, int k,
                   bool verify, double* coef) const;
    // Squared error (normalised units) of the spline cell (i, k) with cubics
    // cu, cv at local (a, b).
    double SplineCheckError2(const Model& m, const double* cu, const double* cv, int i, int k, double a,
                             double b) const;
    // (s, t) of local (a, b) in cell (i, k), and the user position it stands for.
    void FramePoint(const Model& m, int i, int k, double a, double b, double* x, double* y) const;
    void SetFrame(const Model& m, const double box[4], int n);
    // Build's body, and its copies for the baseline and for AVX2 with FMA.
    void BuildAny(const Model& m, bool verify);
    void BuildPortable(const Model& m, bool verify);
    void BuildAvx2Fma(const Model& m, bool verify);
    // Cells per side for a checked table, from the probe's errors (normalised
    // units): 0 when the probe is to stay as it is.
    int RefinedCells(const Model& m, double worst, double median, double tolerance) const;

    int Ns = 0, Nt = 0;                 // cells along s and along t
    // Pairs (along s, along t), read as one vector by FramePosition and Find.
    double Side[2] = {};                // Ns and Nt as doubles
    double Off[2] = {};                 // cell units of (s, t) = 0
    double AlongX[2] = {}, AlongY[2] = {};  // cell units per user unit of X, of Y
    double SLo = 0.0, TLo = 0.0, H = 0.0;  // frame's low corner, cell width
    double UserXc = 0.0, UserYc = 0.0;  // user position of (s, t) = 0
    double L[4] = {};                   // (s, t) -> normalised user offsets
    double PixelX0 = 0.0, PixelY0 = 0.0, PixelScale = 1.0;
    double TolerancePx = kTolerancePx;  // what a verified cell was checked for
    // kCoefPerCell a cell; a cell's coefficients are written only while it
    // is being built, before its state says so (release / acquire).
    std::unique_ptr<double[], AlignedDelete> Coef;
    std::unique_ptr<std::atomic<std::uint8_t>[]> State;
    // A table built on demand: the probe it was refined from (seeds for
    // its corners and for Newton iteration where a cell is not built).
    std::shared_ptr<const InverseCells> Probe;
};

}  // namespace tiemark

#endif
