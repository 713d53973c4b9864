// SplineKernel.cpp - vectorised kernel sums and columns.
//
// The loops work on four centres at a time with GCC vector extensions; the
// compiler maps a four-lane vector to one AVX register or two SSE2 ones.
// The same body is compiled for the baseline x86-64, with AVX2 and FMA,
// and for AVX-512 on eight centres at a time (with its own logarithm), and
// a function pointer chosen at the first call picks one: the library stays
// portable and no build flag is needed.  Every call of one process runs the
// same copy, so the forward conversion and the backward iteration evaluate
// the same function.
#include "SplineKernel.h"

#include "CpuDispatch.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if MORVANE_X86_DISPATCH
#include <immintrin.h>
#endif

// Four-lane vectors are passed between inlined helpers; GCC notes that
// their ABI differs with and without AVX, which does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tiemark {

namespace {

typedef double V4 __attribute__((vector_size(32)));
typedef std::uint64_t U4 __attribute__((vector_size(32)));

// log(d2) at d2 = 0 would be -inf; any tiny positive floor keeps the
// gradient 0 there, as its limit is, and the kernel is set to 0 exactly.
constexpr double kTiny = std::numeric_limits<double>::min();

// Natural logarithm of positive normal numbers, four at a time.  x =
// 2^k m with m in [sqrt(2)/2, sqrt(2)), taken apart by integer operations
// on the bit pattern (no branch), then log(m) = log((1 + s) / (1 - s)) with
// s = (m - 1) / (m + 1), |s| < 0.1716, by the classic minimax series in s^2
// and k log 2 split into a high and a low part.  Error below 1 ulp.
inline __attribute__((always_inline)) V4 Log4(V4 x) {
    constexpr std::uint64_t kSqrtHalf = 0x3fe6a09e667f3bcdULL;  // bits of sqrt(2)/2
    constexpr std::uint64_t kMantissa = 0x000fffffffffffffULL;
    constexpr std::uint64_t kBias = 0x3ffULL << 52;
    constexpr std::uint64_t kTwo52 = 0x4330000000000000ULL;  // bits of 2^52
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;

    U4 bits;
    std::memcpy(&bits, &x, sizeof bits);
    // t's top 12 bits hold k + 1023 (mod 4096), its low 52 the mantissa of m.
    U4 t = bits - kSqrtHalf + kBias;
    U4 kBits = (t >> 52) | kTwo52;
    U4 mBits = (t & kMantissa) + kSqrtHalf;
    V4 k, m;
    std::memcpy(&k, &kBits, sizeof k);
    std::memcpy(&m, &mBits, sizeof m);
    k -= 4503599627370496.0 + 1023.0;  // 2^52 + bias

    V4 f = m - 1.0;
    V4 s = f / (2.0 + f);
    V4 z = s * s;
    V4 w = z * z;
    V4 t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    V4 t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    V4 r = t1 + t2;
    V4 hfsq = 0.5 * f * f;
    return k * kLn2Hi - ((hfsq - (s * (hfsq + r) + k * kLn2Lo)) - f);
}

#if MORVANE_X86_DISPATCH
typedef double V8 __attribute__((vector_size(64)));
typedef std::uint64_t U8 __attribute__((vector_size(64)));

// Natural logarithm of positive normal numbers, eight at a time, for
// AVX-512 (its two-register permute makes a 16-entry table one
// instruction, which spares Log4's division).  x = 2^k m with m in
// [0.75, 1.5), taken apart by integer operations as in Log4; the top four
// bits of m's mantissa pick a cell of width 1/16 (1/32 below 1) with
// centre c; with invc a 21-bit approximation of 1/c,
//   log x = k log 2 - log(invc) + log(1 + r),   r = m invc - 1,
// exactly for any invc, |r| < 1/31, and log(1 + r) by its Taylor series to
// r^10 (truncation below 3e-18).  Absolute error below about 5e-16 for
// |log x| < 3, and below one unit in the last place beyond.
// Cell j of the mantissa: centre c_j = 1 + (j + 1/2) / 16 for j < 8 (m in
// [1, 1.5)) and half that for j >= 8 (m in [0.75, 1)); InvC[j] = 1 / c_j
// rounded to 21 bits, LogC[j] = -log(InvC[j]) correctly rounded.  Literals
// rather than computed at load time, so that no order of static
// initialisation can see the table empty.
struct alignas(64) LogTable {
    double InvC[16], LogC[16];
};
constexpr LogTable kLogTable = {
    {0.9696969985961914, 0.9142856597900391, 0.8648648262023926, 0.8205127716064453,
     0.7804880142211914, 0.7441859245300293, 0.7111110687255859, 0.6808509826660156,
     1.3061223030090332, 1.2549018859863281, 1.2075471878051758, 1.1636362075805664,
     1.1228070259094238, 1.0847458839416504, 1.049180507659912, 1.0158729553222656},
    {0.030771628864431744, 0.08961221829433369, 0.14518205454798247, 0.19782580293456642,
     0.24783589568371575, 0.29546437680662246, 0.34092664657523974, 0.3844118181196287,
     -0.26706267349033, -0.22705739103069952, -0.1885911847087111, -0.1515497640167412,
     -0.11583182297570227, -0.08134575121265511, -0.04800939054969965, -0.015748297363492616}};

// The AVX-512 kernels' instruction sets, on every helper of theirs: Clang
// takes a specialisation for other sets as a second version of the function.
#define MORVANE_AVX512_HELPER __attribute__((target("avx512f,avx512dq,avx512vl,avx2,fma")))
// All lanes, written as a mask: the unmasked forms of some AVX-512
// operations trip a false uninitialised-value warning in GCC 12.
constexpr __mmask8 kAllLanes = 0xFF;
inline MORVANE_AVX512_HELPER V8 Log8(V8 x) {
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;
    // x = 2^k m, m in [0.75, 1.5): the processor's own exact split (two
    // operations where the bit arithmetic took six).  getexp gives the
    // exponent of the mantissa in [1, 2); a mantissa halved into [0.75, 1)
    // has one more.
    const V8 m = _mm512_maskz_getmant_pd(kAllLanes, x, _MM_MANT_NORM_p75_1p5, _MM_MANT_SIGN_src);
    const V8 e = _mm512_maskz_getexp_pd(kAllLanes, x);
    const V8 k = _mm512_mask_add_pd(e, _mm512_cmp_pd_mask(m, _mm512_set1_pd(1.0), _CMP_LT_OQ), e,
                                    _mm512_set1_pd(1.0));
    U8 mBits;
    std::memcpy(&mBits, &m, sizeof mBits);
    // The permute reads the low four bits of each index: the top four bits
    // of the mantissa, the fourth choosing the second half of the table.
    // Written with the intrinsic, a two-table permute that GCC and Clang
    // both take (GCC's generic shuffle compiled to this instruction).
    const __m512i cell = (__m512i)(mBits >> 48);
    V8 table[4];
    std::memcpy(table, &kLogTable, sizeof table);
    const V8 inv = _mm512_permutex2var_pd(table[0], cell, table[1]);
    const V8 logc = _mm512_permutex2var_pd(table[2], cell, table[3]);
    V8 r = m * inv - 1.0;
    // log(1 + r) = r - r^2 (1/2 - r/3 + r^2/4 - ... + r^8/10), the bracket by
    // Estrin's scheme: a short chain of dependent operations, so that
    // several centres' logarithms overlap.
    V8 r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
    V8 q01 = 1.0 / 2 - (1.0 / 3) * r, q23 = 1.0 / 4 - (1.0 / 5) * r;
    V8 q45 = 1.0 / 6 - (1.0 / 7) * r, q67 = 1.0 / 8 - (1.0 / 9) * r;
    V8 p = (q01 + q23 * r2) + (q45 + q67 * r2) * r4 + (1.0 / 10) * r8;
    // log 2 in two parts, the high one with trailing zeros so that k times
    // it is exact: the same accuracy whether or not the compiler fuses.
    return (k * kLn2Hi + logc) + (r - (r2 * p - k * kLn2Lo));
}
#endif

// The helpers, once per width.  Clang compiles every function for its own
// instruction sets and refuses to inline a helper that needs AVX-512 into
// one that does not (GCC only looks after inlining, into the flattened
// kernel), so the eight-lane copy is compiled for AVX-512 as a whole.
namespace lanes4 {

inline __attribute__((always_inline)) V4 Log(V4 x) { return Log4(x); }

#include "SplineKernelLanes.inc"

}  // namespace lanes4

#if MORVANE_X86_DISPATCH
namespace lanes8 {

inline MORVANE_AVX512_HELPER V8 Log(V8 x) { return Log8(x); }

#if defined(__clang__)
#pragma clang attribute push(MORVANE_AVX512_HELPER, apply_to = function)
#endif
#include "SplineKernelLanes.inc"
#if defined(__clang__)
#pragma clang attribute pop
#endif

// With AVX-512, from the processor's estimate (within 2^-14) and one
// Newton step.
template <>
inline MORVANE_AVX512_HELPER V8 Reciprocal(V8 x) {
    const V8 r = _mm512_maskz_rcp14_pd(kAllLanes, x);
    return r * (2.0 - x * r);
}

template <>
inline MORVANE_AVX512_HELPER V8 Floored(V8 d2) {
    return _mm512_maskz_max_pd(kAllLanes, d2, _mm512_set1_pd(kTiny));
}

}  // namespace lanes8
#endif

using SumFn = void (*)(const double*, const double*, const double*, const double*, std::size_t,
                       double, double, double*);
using BoundedFn = void (*)(const double*, const double*, const double*, const double*,
                           const double*, std::size_t, double, double, double*);
using ColumnFn = void (*)(const double*, const double*, std::size_t, double, double, double*);

#define MORVANE_SPLINE_KERNELS(SUFFIX, ATTR, NS, VEC)                                                    \
    ATTR void SumValue##SUFFIX(const double* cu, const double* cv, const double* wx,              \
                               const double* wy, std::size_t n, double u, double v, double* out) { \
        NS::SumBody<VEC, false>(cu, cv, wx, wy, nullptr, n, u, v, out);                                             \
    }                                                                                             \
    ATTR void SumGradient##SUFFIX(const double* cu, const double* cv, const double* wx,           \
                                  const double* wy, std::size_t n, double u, double v,            \
                                  double* out) {                                                  \
        NS::SumBody<VEC, true>(cu, cv, wx, wy, nullptr, n, u, v, out);                                            \
    }                                                                                             \
    ATTR void SumBounded##SUFFIX(const double* cu, const double* cv, const double* wx,            \
                                 const double* wy, const double* wabs, std::size_t n, double u,   \
                                 double v, double* out) {                                         \
        NS::SumBody<VEC, true, true>(cu, cv, wx, wy, wabs, n, u, v, out);                                      \
    }                                                                                             \
    ATTR void SumCurved##SUFFIX(const double* cu, const double* cv, const double* wx,             \
                                const double* wy, const double* wabs, std::size_t n, double u,    \
                                double v, double* out) {                                          \
        NS::SumBody<VEC, true, false, true>(cu, cv, wx, wy, wabs, n, u, v, out);                      \
    }                                                                                             \
    ATTR void Column##SUFFIX(const double* cu, const double* cv, std::size_t n, double u,         \
                             double v, double* out) {                                             \
        NS::ColumnBody<VEC>(cu, cv, n, u, v, out);                                                         \
    }

MORVANE_SPLINE_KERNELS(Baseline, , lanes4, V4)
#if MORVANE_X86_DISPATCH
MORVANE_SPLINE_KERNELS(Avx2, __attribute__((target("avx2,fma"))), lanes4, V4)
MORVANE_SPLINE_KERNELS(Avx512, __attribute__((target("avx512f,avx512dq,avx512vl,avx2,fma"), flatten)), lanes8, V8)
#endif
#undef MORVANE_SPLINE_KERNELS

struct Kernels {
    SumFn value, gradient;
    BoundedFn bounded, curved;
    ColumnFn column;
};

constexpr Kernels kBaseline = {SumValueBaseline, SumGradientBaseline, SumBoundedBaseline,
                               SumCurvedBaseline, ColumnBaseline};
#if MORVANE_X86_DISPATCH
constexpr Kernels kAvx2 = {SumValueAvx2, SumGradientAvx2, SumBoundedAvx2, SumCurvedAvx2, ColumnAvx2};
constexpr Kernels kAvx512 = {SumValueAvx512, SumGradientAvx512, SumBoundedAvx512, SumCurvedAvx512,
                             ColumnAvx512};
#endif

Kernels Choose() {
#if MORVANE_X86_DISPATCH
    if (CpuHasAvx512()) return kAvx512;
    if (CpuHasAvx2Fma()) return kAvx2;
#endif
    return kBaseline;
}

// Set once at the first call; only tests change it afterwards.
Kernels& Chosen() {
    static Kernels kernels = Choose();
    return kernels;
}

}  // namespace

double SplineKernel(double d2) { return d2 > 0.0 ? 0.5 * d2 * std::log(d2) : 0.0; }

void SplineKernelSum(const double* cu, const double* cv, const double* wx, const double* wy,
                     std::size_t n, double u, double v, double* sumX, double* sumY, double grad[4]) {
    double out[6];
    if (grad == nullptr) {
        Chosen().value(cu, cv, wx, wy, n, u, v, out);
    } else {
        Chosen().gradient(cu, cv, wx, wy, n, u, v, out);
        grad[0] = out[2], grad[1] = out[3], grad[2] = out[4], grad[3] = out[5];
    }
    *sumX = out[0];
    *sumY = out[1];
}

void SplineKernelSumBounded(const double* cu, const double* cv, const double* wx,
                            const double* wy, const double* wabs, std::size_t n, double u,
                            double v, double* sumX, double* sumY, double grad[4],
                            double* curvature, double* nearest2) {
    double out[8];
    Chosen().bounded(cu, cv, wx, wy, wabs, n, u, v, out);
    *sumX = out[0], *sumY = out[1];
    grad[0] = out[2], grad[1] = out[3], grad[2] = out[4], grad[3] = out[5];
    *curvature = out[6], *nearest2 = out[7];
}

void SplineKernelSumCurved(const double* cu, const double* cv, const double* wx, const double* wy,
                           const double* wabs, double sumWx, double sumWy, std::size_t n, double u,
                           double v, double* sumX, double* sumY, double grad[4], double hess[6],
                           double* nearest2, double* spread) {
    double out[14];
    Chosen().curved(cu, cv, wx, wy, wabs, n, u, v, out);
    *sumX = out[0], *sumY = out[1];
    for (int k = 0; k < 4; ++k) grad[k] = out[2 + k];
    *nearest2 = out[6];
    const double sums[2] = {sumWx, sumWy};
    for (int o = 0; o < 2; ++o) {
        const double a = out[7 + 3 * o], b = out[8 + 3 * o], c = out[9 + 3 * o];
        hess[3 * o] = a + 2.0 * b;
        hess[3 * o + 1] = 2.0 * c;
        hess[3 * o + 2] = a + 2.0 * (sums[o] - b);
    }
    *spread = out[13];
}

void SplineKernelColumn(const double* cu, const double* cv, std::size_t n, double u, double v,
                        double* out) {
    Chosen().column(cu, cv, n, u, v, out);
}

bool SplineKernelUsePathForTesting(SplineKernelPath path) {
    switch (path) {
    case SplineKernelPath::Chosen:
        Chosen() = Choose();
        return true;
    case SplineKernelPath::Baseline:
        Chosen() = kBaseline;
        return true;
#if MORVANE_X86_DISPATCH
    case SplineKernelPath::Avx2:
        if (!CpuHasAvx2Fma()) return false;
        Chosen() = kAvx2;
        return true;
    case SplineKernelPath::Avx512:
        if (!CpuHasAvx512()) return false;
        Chosen() = kAvx512;
        return true;
#endif
    default:
        return false;
    }
}

}  // namespace tiemark
