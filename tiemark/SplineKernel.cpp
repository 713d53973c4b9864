// SplineKernel.cpp - vectorised kernel sums and columns.
//
// The loops work on four centres at a time with GCC vector extensions; the
// compiler maps a four-lane vector to one AVX register or two SSE2 ones.
// The same body is compiled twice, once for the baseline x86-64 and once
// with AVX2 and FMA, and a function pointer chosen at the first call picks
// one: the library stays portable and no build flag is needed.
#include "SplineKernel.h"

#include "CpuDispatch.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

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

inline __attribute__((always_inline)) V4 Load4(const double* p) {
    V4 out;
    std::memcpy(&out, p, sizeof out);
    return out;
}

// The last n % 4 entries, padded with `fill`.
inline __attribute__((always_inline)) V4 LoadTail(const double* p, std::size_t count, double fill) {
    V4 out = {fill, fill, fill, fill};
    for (std::size_t i = 0; i < count; ++i) out[i] = p[i];
    return out;
}

inline __attribute__((always_inline)) double Total(V4 x) { return (x[0] + x[1]) + (x[2] + x[3]); }

struct Sums {
    V4 x{}, y{}, g0{}, g1{}, g2{}, g3{};
};

template <bool kGradient>
inline __attribute__((always_inline)) void Accumulate(V4 du, V4 dv, V4 wx, V4 wy, Sums& s) {
    V4 d2 = du * du + dv * dv;
    // A NaN distance fails the comparison and stays NaN.
    V4 safe = d2 < kTiny ? kTiny : d2;
    V4 logd2 = Log4(safe);
    V4 phi = d2 == 0.0 ? 0.0 : 0.5 * d2 * logd2;
    s.x += phi * wx;
    s.y += phi * wy;
    if constexpr (kGradient) {
        V4 dphi = logd2 + 1.0;  // d phi / du = (u - u_i)(log d2 + 1)
        V4 gu = du * dphi, gv = dv * dphi;
        s.g0 += gu * wx;
        s.g1 += gv * wx;
        s.g2 += gu * wy;
        s.g3 += gv * wy;
    }
}

template <bool kGradient>
inline __attribute__((always_inline)) void SumBody(const double* cu, const double* cv,
                                                   const double* wx, const double* wy,
                                                   std::size_t n, double u, double v,
                                                   double out[6]) {
    Sums s;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        Accumulate<kGradient>(u - Load4(cu + i), v - Load4(cv + i), Load4(wx + i), Load4(wy + i),
                              s);
    if (i < n) {
        // Padding lanes sit on (u, v) with zero weight: they add nothing.
        const std::size_t rest = n - i;
        Accumulate<kGradient>(u - LoadTail(cu + i, rest, u), v - LoadTail(cv + i, rest, v),
                              LoadTail(wx + i, rest, 0.0), LoadTail(wy + i, rest, 0.0), s);
    }
    out[0] = Total(s.x), out[1] = Total(s.y);
    if constexpr (kGradient) out[2] = Total(s.g0), out[3] = Total(s.g1), out[4] = Total(s.g2),
                             out[5] = Total(s.g3);
}

inline __attribute__((always_inline)) void Phi4(V4 du, V4 dv, double* out) {
    V4 d2 = du * du + dv * dv;
    V4 safe = d2 < kTiny ? kTiny : d2;
    V4 phi = d2 == 0.0 ? 0.0 : 0.5 * d2 * Log4(safe);
    std::memcpy(out, &phi, sizeof phi);
}

inline __attribute__((always_inline)) void ColumnBody(const double* cu, const double* cv,
                                                      std::size_t n, double u, double v,
                                                      double* out) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) Phi4(u - Load4(cu + i), v - Load4(cv + i), out + i);
    if (i < n) {
        const std::size_t rest = n - i;
        double tail[4];
        Phi4(u - LoadTail(cu + i, rest, u), v - LoadTail(cv + i, rest, v), tail);
        for (std::size_t k = 0; k < rest; ++k) out[i + k] = tail[k];
    }
}

using SumFn = void (*)(const double*, const double*, const double*, const double*, std::size_t,
                       double, double, double*);
using ColumnFn = void (*)(const double*, const double*, std::size_t, double, double, double*);

#define MORVANE_SPLINE_KERNELS(SUFFIX, ATTR)                                                      \
    ATTR void SumValue##SUFFIX(const double* cu, const double* cv, const double* wx,              \
                               const double* wy, std::size_t n, double u, double v, double* out) { \
        SumBody<false>(cu, cv, wx, wy, n, u, v, out);                                             \
    }                                                                                             \
    ATTR void SumGradient##SUFFIX(const double* cu, const double* cv, const double* wx,           \
                                  const double* wy, std::size_t n, double u, double v,            \
                                  double* out) {                                                  \
        SumBody<true>(cu, cv, wx, wy, n, u, v, out);                                              \
    }                                                                                             \
    ATTR void Column##SUFFIX(const double* cu, const double* cv, std::size_t n, double u,         \
                             double v, double* out) {                                             \
        ColumnBody(cu, cv, n, u, v, out);                                                         \
    }

MORVANE_SPLINE_KERNELS(Baseline, )
#if MORVANE_X86_DISPATCH
MORVANE_SPLINE_KERNELS(Avx2, __attribute__((target("avx2,fma"))))
#endif
#undef MORVANE_SPLINE_KERNELS

struct Kernels {
    bool avx2;
    SumFn value, gradient;
    ColumnFn column;
};

Kernels Choose() {
#if MORVANE_X86_DISPATCH
    if (CpuHasAvx2Fma()) return {true, SumValueAvx2, SumGradientAvx2, ColumnAvx2};
#endif
    return {false, SumValueBaseline, SumGradientBaseline, ColumnBaseline};
}

const Kernels& Chosen() {
    static const Kernels kernels = Choose();
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

void SplineKernelColumn(const double* cu, const double* cv, std::size_t n, double u, double v,
                        double* out) {
    Chosen().column(cu, cv, n, u, v, out);
}

}  // namespace tiemark
