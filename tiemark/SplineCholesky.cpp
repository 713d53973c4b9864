// SplineCholesky.cpp - blocked Cholesky with a vectorised trailing update.
#include "SplineCholesky.h"

#include "CpuDispatch.h"

#include <algorithm>
#include <cstring>
#include <vector>

// Four-lane vectors are passed between inlined helpers; GCC notes that
// their ABI differs with and without AVX, which does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tiemark {

namespace {

typedef double V4 __attribute__((vector_size(32)));

constexpr Eigen::Index kPanel = 128;   // columns factorised per step
constexpr Eigen::Index kRowChunk = 256;  // rows of the packed panel kept in cache

// C(i0.., j0..) -= A(i0..i0+7, :) B(j0..j0+3, :)^T for one 8 x 4 tile of a
// general (rows x cols) C; B is A itself for the Cholesky update.  The
// packed panel holds A in blocks of 8 rows, each stored k-major:
// packed[(i / 8) * 8 kb + 8 k + i % 8] = A(i, k).  Tile entries outside
// rows x cols of C are not written.
inline __attribute__((always_inline)) void GemmTile(const double* packedA, const double* packedB,
                                                    Eigen::Index kb, Eigen::Index i0, Eigen::Index j0,
                                                    double* c, Eigen::Index ldc, Eigen::Index rows,
                                                    Eigen::Index cols) {
    const double* pa = packedA + (i0 / 8) * 8 * kb;
    const double* pb = packedB + (j0 / 8) * 8 * kb + j0 % 8;
    V4 acc[4][2] = {};
    for (Eigen::Index k = 0; k < kb; ++k) {
        V4 a0, a1;
        std::memcpy(&a0, pa + 8 * k, sizeof a0);
        std::memcpy(&a1, pa + 8 * k + 4, sizeof a1);
        for (int t = 0; t < 4; ++t) {
            const double b = pb[8 * k + t];
            acc[t][0] += a0 * b;
            acc[t][1] += a1 * b;
        }
    }
    const Eigen::Index width = std::min<Eigen::Index>(4, cols - j0);
    if (i0 + 8 <= rows) {
        for (Eigen::Index t = 0; t < width; ++t) {
            double* col = c + (j0 + t) * ldc + i0;
            V4 c0, c1;
            std::memcpy(&c0, col, sizeof c0);
            std::memcpy(&c1, col + 4, sizeof c1);
            c0 -= acc[t][0];
            c1 -= acc[t][1];
            std::memcpy(col, &c0, sizeof c0);
            std::memcpy(col + 4, &c1, sizeof c1);
        }
    } else {
        for (Eigen::Index t = 0; t < width; ++t)
            for (Eigen::Index r = 0; i0 + r < rows; ++r) c[(j0 + t) * ldc + i0 + r] -= acc[t][r / 4][r % 4];
    }
}

// Lower triangle of C (rows x rows, leading dimension ldc) -= A A^T, A
// packed as above with kb columns.  Tiles on the diagonal also write
// entries above it: the strict upper triangle is scratch.
inline __attribute__((always_inline)) void UpdateBody(const double* packed, Eigen::Index kb,
                                                      double* c, Eigen::Index ldc,
                                                      Eigen::Index rows) {
    for (Eigen::Index chunk = 0; chunk < rows; chunk += kRowChunk) {
        const Eigen::Index chunkEnd = std::min(rows, chunk + kRowChunk);
        for (Eigen::Index j0 = 0; j0 < chunkEnd; j0 += 4) {
            const Eigen::Index first = std::max(chunk, j0 / 8 * 8);
            for (Eigen::Index i0 = first; i0 < chunkEnd; i0 += 8)
                GemmTile(packed, packed, kb, i0, j0, c, ldc, rows, rows);
        }
    }
}

void UpdateBaseline(const double* packed, Eigen::Index kb, double* c, Eigen::Index ldc, Eigen::Index rows) {
    UpdateBody(packed, kb, c, ldc, rows);
}

#if MORVANE_X86_DISPATCH
__attribute__((target("avx2,fma"))) void UpdateAvx2(const double* packed, Eigen::Index kb, double* c,
                                                    Eigen::Index ldc, Eigen::Index rows) {
    UpdateBody(packed, kb, c, ldc, rows);
}
#endif

using UpdateFn = void (*)(const double*, Eigen::Index, double*, Eigen::Index, Eigen::Index);

UpdateFn ChosenUpdate() {
    static const UpdateFn chosen = [] {
#if MORVANE_X86_DISPATCH
        if (CpuHasAvx2Fma()) return UpdateAvx2;
#endif
        return UpdateBaseline;
    }();
    return chosen;
}

void Pack(const Eigen::Ref<Eigen::MatrixXd>& a21, std::vector<double>& packed) {
    const Eigen::Index rows = a21.rows(), kb = a21.cols();
    const Eigen::Index blocks = (rows + 7) / 8;
    packed.assign(static_cast<std::size_t>(blocks * 8 * kb), 0.0);
    for (Eigen::Index k = 0; k < kb; ++k)
        for (Eigen::Index i = 0; i < rows; ++i)
            packed[static_cast<std::size_t>((i / 8) * 8 * kb + 8 * k + i % 8)] = a21(i, k);
}

// C (rows x cols, leading dimension ldc) -= A B^T, A (rows x kb) and B
// (cols x kb) packed as in GemmTile.
inline __attribute__((always_inline)) void GemmBody(const double* packedA, const double* packedB,
                                                    Eigen::Index kb, double* c, Eigen::Index ldc,
                                                    Eigen::Index rows, Eigen::Index cols) {
    for (Eigen::Index chunk = 0; chunk < rows; chunk += kRowChunk) {
        const Eigen::Index chunkEnd = std::min(rows, chunk + kRowChunk);
        for (Eigen::Index j0 = 0; j0 < cols; j0 += 4)
            for (Eigen::Index i0 = chunk; i0 < chunkEnd; i0 += 8)
                GemmTile(packedA, packedB, kb, i0, j0, c, ldc, chunkEnd, cols);
    }
}

void GemmBaseline(const double* packedA, const double* packedB, Eigen::Index kb, double* c, Eigen::Index ldc,
                  Eigen::Index rows, Eigen::Index cols) {
    GemmBody(packedA, packedB, kb, c, ldc, rows, cols);
}

#if MORVANE_X86_DISPATCH
__attribute__((target("avx2,fma"))) void GemmAvx2(const double* packedA, const double* packedB, Eigen::Index kb,
                                                  double* c, Eigen::Index ldc, Eigen::Index rows,
                                                  Eigen::Index cols) {
    GemmBody(packedA, packedB, kb, c, ldc, rows, cols);
}
#endif

using GemmFn = void (*)(const double*, const double*, Eigen::Index, double*, Eigen::Index, Eigen::Index,
                        Eigen::Index);

GemmFn ChosenGemm() {
    static const GemmFn chosen = [] {
#if MORVANE_X86_DISPATCH
        if (CpuHasAvx2Fma()) return GemmAvx2;
#endif
        return GemmBaseline;
    }();
    return chosen;
}

// Packs a (rows x kb) as GemmTile reads it, one column of a at a time.
void PackRows(const Eigen::Ref<const Eigen::MatrixXd>& a, std::vector<double>& packed, double scale = 1.0) {
    const Eigen::Index rows = a.rows(), kb = a.cols();
    packed.assign(static_cast<std::size_t>((rows + 7) / 8 * 8 * kb), 0.0);
    for (Eigen::Index k = 0; k < kb; ++k)
        for (Eigen::Index i = 0; i < rows; ++i)
            packed[static_cast<std::size_t>((i / 8) * 8 * kb + 8 * k + i % 8)] = scale * a(i, k);
}

// Packs b^T (b is kb x rows) as GemmTile reads it, one column of b at a time.
void PackRowsOfTranspose(const Eigen::Ref<const Eigen::MatrixXd>& b, std::vector<double>& packed) {
    const Eigen::Index rows = b.cols(), kb = b.rows();
    packed.assign(static_cast<std::size_t>((rows + 7) / 8 * 8 * kb), 0.0);
    for (Eigen::Index i = 0; i < rows; ++i) {
        double* out = packed.data() + (i / 8) * 8 * kb + i % 8;
        const double* in = b.col(i).data();
        for (Eigen::Index k = 0; k < kb; ++k) out[8 * k] = in[k];
    }
}

// s = -(lower triangle of s), mirrored into the upper triangle, in tiles
// so that the transposed writes stay within the cache.
void NegateAndMirror(Eigen::Ref<Eigen::MatrixXd> s) {
    constexpr Eigen::Index kTile = 32;
    const Eigen::Index m = s.rows();
    for (Eigen::Index c0 = 0; c0 < m; c0 += kTile)
        for (Eigen::Index r0 = c0; r0 < m; r0 += kTile) {
            const Eigen::Index cEnd = std::min(m, c0 + kTile), rEnd = std::min(m, r0 + kTile);
            for (Eigen::Index c = c0; c < cEnd; ++c)
                for (Eigen::Index r = std::max(r0, c); r < rEnd; ++r) s(c, r) = s(r, c) = -s(r, c);
        }
}

// Rows of L^-1 taken per step: the diagonal block's inverse is applied as a
// product (twice the flops of a triangular solve, at the kernel's speed).
constexpr Eigen::Index kInversePanel = 64;

// L L^T as a decomposition for Eigen's 1-norm condition estimator.
struct CholeskyView {
    using MatrixType = Eigen::MatrixXd;
    using Scalar = double;
    using RealScalar = double;
    const Eigen::Ref<const Eigen::MatrixXd>& l;
    Eigen::Index rows() const { return l.rows(); }
    Eigen::Index cols() const { return l.cols(); }
    Eigen::VectorXd solve(const Eigen::VectorXd& b) const {
        Eigen::VectorXd x = b;
        l.triangularView<Eigen::Lower>().solveInPlace(x);
        l.triangularView<Eigen::Lower>().transpose().solveInPlace(x);
        return x;
    }
    const CholeskyView& adjoint() const { return *this; }  // symmetric
};

}  // namespace

bool CholeskyInPlace(Eigen::Ref<Eigen::MatrixXd> a) {
    const Eigen::Index n = a.rows();
    std::vector<double> packed;
    for (Eigen::Index k0 = 0; k0 < n; k0 += kPanel) {
        const Eigen::Index kb = std::min(kPanel, n - k0);
        Eigen::Ref<Eigen::MatrixXd> a11 = a.block(k0, k0, kb, kb);
        Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>, Eigen::Lower> llt(a11);
        if (llt.info() != Eigen::Success || !a11.diagonal().allFinite()) return false;
        const Eigen::Index rest = n - k0 - kb;
        if (rest == 0) break;
        Eigen::Ref<Eigen::MatrixXd> a21 = a.block(k0 + kb, k0, rest, kb);
        a11.triangularView<Eigen::Lower>().transpose().solveInPlace<Eigen::OnTheRight>(a21);
        Pack(a21, packed);
        ChosenUpdate()(packed.data(), kb, &a(k0 + kb, k0 + kb), a.outerStride(), rest);
    }
    return true;
}

double CholeskyRcond(const Eigen::Ref<const Eigen::MatrixXd>& l, double matrixNorm) {
    if (l.rows() == 0) return 1.0;
    if (!(matrixNorm > 0.0)) return 0.0;
    const double inverseNorm = Eigen::internal::rcond_invmatrix_L1_norm_estimate(CholeskyView{l});
    return inverseNorm > 0.0 ? (1.0 / inverseNorm) / matrixNorm : 0.0;
}

void InverseFromCholesky(const Eigen::Ref<const Eigen::MatrixXd>& l, Eigen::Ref<Eigen::MatrixXd> s) {
    const Eigen::Index m = l.rows();
    // X = L^-1 by block rows, top down.  Block row K of X is L_KK^-1 times
    // block row K of I - sum_{J<K} L_KJ X_J; once it is known, it leaves its
    // share in every later block row (a product through the kernel), and its
    // Gram matrix X_K^T X_K joins -S = -(X^T X) (a symmetric update through
    // the factorisation's kernel).  Each part costs m^3 / 3 flops.  Both
    // live in s: -S in the leading rows, which X no longer needs once
    // packed, the sums of the later block rows of X below them.
    s.setZero();
    std::vector<double> packedA, packedB;
    Eigen::MatrixXd diagonalInverse, row;
    for (Eigen::Index k0 = 0; k0 < m; k0 += kInversePanel) {
        const Eigen::Index kb = std::min(kInversePanel, m - k0), end = k0 + kb;
        diagonalInverse.setIdentity(kb, kb);
        l.block(k0, k0, kb, kb).triangularView<Eigen::Lower>().solveInPlace(diagonalInverse);
        // X_K = L_KK^-1 [T_K, I]: the left part as -(-L_KK^-1) T_K.
        row = s.block(k0, 0, kb, k0);
        s.block(k0, 0, kb, end).setZero();
        if (k0 > 0) {
            PackRows(diagonalInverse, packedA, -1.0);
            PackRowsOfTranspose(row, packedB);
            ChosenGemm()(packedA.data(), packedB.data(), kb, &s(k0, 0), s.outerStride(), kb, k0);
        }
        s.block(k0, k0, kb, kb) = diagonalInverse.triangularView<Eigen::Lower>();
        PackRowsOfTranspose(s.block(k0, 0, kb, end), packedB);
        // Its rows now belong to -S: -S(0..end, 0..end) -= X_K^T X_K.
        s.block(k0, 0, kb, end).setZero();
        ChosenUpdate()(packedB.data(), kb, &s(0, 0), s.outerStride(), end);
        // T_I -= L_IK X_K for the block rows below.
        const Eigen::Index rest = m - end;
        if (rest == 0) break;
        PackRows(l.block(end, k0, rest, kb), packedA);
        ChosenGemm()(packedA.data(), packedB.data(), kb, &s(end, 0), s.outerStride(), rest, end);
    }
    NegateAndMirror(s);  // both triangles, the sign put right
}

}  // namespace tiemark
