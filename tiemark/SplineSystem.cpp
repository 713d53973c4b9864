// SplineSystem.cpp - base factorisation and bordered extensions.
#include "SplineSystem.h"

#include <algorithm>
#include <cmath>

#include "SplineCholesky.h"
#include "SplineKernel.h"

namespace tiemark {

namespace {

// 1-norm of the symmetric matrix whose lower triangle `a` holds.
double LowerOneNorm(const Eigen::Ref<const Eigen::MatrixXd>& a) {
    const Eigen::Index n = a.rows();
    Eigen::VectorXd columnSums = Eigen::VectorXd::Zero(n);
    for (Eigen::Index c = 0; c < n; ++c) {
        const auto below = a.col(c).tail(n - c - 1).cwiseAbs();
        columnSums[c] += std::fabs(a(c, c)) + below.sum();
        columnSums.tail(n - c - 1) += below;
    }
    return n > 0 ? columnSums.maxCoeff() : 0.0;
}

}  // namespace

bool SplineSystem::Factor(const std::vector<double>& cu, const std::vector<double>& cv, double minRcond) {
    const Eigen::Index n = static_cast<Eigen::Index>(cu.size());
    if (n < 3 || cv.size() != cu.size()) return false;
    const Eigen::Index m = n - 3;

    // P = Q [R; 0]; the affine part must have full rank.
    Eigen::Matrix<double, Eigen::Dynamic, 3> p(n, 3);
    p.col(0).setOnes();
    p.col(1) = Eigen::Map<const Eigen::VectorXd>(cu.data(), n);
    p.col(2) = Eigen::Map<const Eigen::VectorXd>(cv.data(), n);
    Eigen::HouseholderQR<Eigen::Matrix<double, Eigen::Dynamic, 3>> qr(p);
    const Eigen::Vector3d rDiagonal = qr.matrixQR().diagonal().cwiseAbs();
    if (!rDiagonal.allFinite() || !(rDiagonal.minCoeff() > minRcond * rDiagonal.maxCoeff()))
        return false;

    // Lower triangle of K, one column at a time (phi(0) = 0 on the diagonal).
    Eigen::MatrixXd b(n, n);
    for (Eigen::Index c = 0; c < n; ++c) {
        b(c, c) = 0.0;
        SplineKernelColumn(cu.data() + c + 1, cv.data() + c + 1, static_cast<std::size_t>(n - c - 1),
                           cu[static_cast<std::size_t>(c)], cv[static_cast<std::size_t>(c)],
                           &b(c + 1 < n ? c + 1 : c, c));
    }
    // The scale of K against which the Cholesky pivots are judged.
    const double kernelNorm = LowerOneNorm(b);
    // B = Q^T K Q = H_2 H_1 H_0 K H_0 H_1 H_2.  With H = I - tau v v^T and
    // p = tau K v:  H K H = K - v z^T - z v^T,  z = p - (tau/2)(v^T p) v,
    // a symmetric rank-2 update of the trailing block; H_k acts on rows and
    // columns k.. only, so the first k columns see just H_k from the left.
    for (Eigen::Index k = 0; k < 3; ++k) {
        const Eigen::Index len = n - k;
        Eigen::VectorXd v(len);
        v[0] = 1.0;
        v.tail(len - 1) = qr.matrixQR().col(k).tail(len - 1);
        const double tau = qr.hCoeffs()[k];
        auto block = b.bottomRightCorner(len, len);
        Eigen::VectorXd pk = tau * (block.selfadjointView<Eigen::Lower>() * v);
        Eigen::VectorXd zk = pk - (0.5 * tau * v.dot(pk)) * v;
        block.selfadjointView<Eigen::Lower>().rankUpdate(v, zk, -1.0);
        if (k > 0) {
            auto left = b.block(k, 0, len, k);  // rows H_k mixes, left of the block
            left -= (tau * v) * (v.transpose() * left);
        }
    }
    // Cholesky factor of the trailing block Q2^T K Q2, in place.
    if (m > 0) {
        Eigen::Ref<Eigen::MatrixXd> trailing = b.bottomRightCorner(m, m);
        const double trailingNorm = LowerOneNorm(trailing);
        if (!CholeskyInPlace(trailing)) return false;
        // The condition estimate is unreliable once a pivot is (nearly)
        // zero (repeated centres), so the pivots are checked first, against
        // the scale of K: the trailing block alone may be that small.
        const Eigen::VectorXd pivots = trailing.diagonal().array().square();
        if (!pivots.allFinite() || !(pivots.minCoeff() > minRcond * kernelNorm)) return false;
        if (!(CholeskyRcond(trailing, trailingNorm) >= minRcond)) return false;
    }
    // Only the lower triangle of B is ever written: the entries above the
    // diagonal of its first columns hold whatever the allocation held, and
    // a NaN pattern there once refused a sound system.
    for (Eigen::Index k = 0; k < 3; ++k)
        if (!b.col(k).tail(n - k).allFinite()) return false;
    Reduced = std::move(b);
    AffineQR = std::move(qr);
    BaseU = cu;
    BaseV = cv;
    ExtU.clear(), ExtV.clear(), Columns.clear(), Ys.clear(), Pivots.clear();
    return true;
}

Eigen::VectorXd SplineSystem::Column(double u, double v, std::size_t borders) const {
    const std::size_t n = BaseU.size();
    Eigen::VectorXd c(static_cast<Eigen::Index>(n + 3 + borders));
    SplineKernelColumn(BaseU.data(), BaseV.data(), n, u, v, c.data());
    c[static_cast<Eigen::Index>(n)] = 1.0;
    c[static_cast<Eigen::Index>(n + 1)] = u;
    c[static_cast<Eigen::Index>(n + 2)] = v;
    SplineKernelColumn(ExtU.data(), ExtV.data(), borders, u, v, c.data() + n + 3);
    return c;
}

void SplineSystem::SolveBase(Eigen::Ref<Eigen::VectorXd> z) const {
    // [K P; P^T 0] [w; a] = [f; h].  In the rotated frame w' = Q^T w:
    //   P^T w = h              ->  w'_1 = R^-T h
    //   rows 4..N of Q^T(...)  ->  L L^T w'_2 = f'_2 - B21 w'_1
    //   rows 1..3              ->  R a = f'_1 - B11 w'_1 - B21^T w'_2
    const Eigen::Index n = static_cast<Eigen::Index>(BaseU.size());
    const Eigen::Index m = n - 3;
    const auto r = AffineQR.matrixQR().topRows<3>().triangularView<Eigen::Upper>();
    const Eigen::Vector3d w1 = r.transpose().solve(Eigen::Vector3d(z.segment<3>(n)));
    Eigen::VectorXd f = z.head(n);
    f.applyOnTheLeft(AffineQR.householderQ().adjoint());
    const auto b21 = Reduced.block(3, 0, m, 3);
    Eigen::VectorXd w(n);
    w.head<3>() = w1;
    w.tail(m) = f.tail(m) - b21 * w1;
    const auto l = Reduced.bottomRightCorner(m, m).triangularView<Eigen::Lower>();
    l.solveInPlace(w.tail(m));
    l.transpose().solveInPlace(w.tail(m));
    const Eigen::Matrix3d b11 = Reduced.topLeftCorner<3, 3>().selfadjointView<Eigen::Lower>();
    const Eigen::Vector3d affine = r.solve(Eigen::Vector3d(f.head<3>() - b11 * w1 - b21.transpose() * w.tail(m)));
    w.applyOnTheLeft(AffineQR.householderQ());
    z.head(n) = w;
    z.segment<3>(n) = affine;
}

void SplineSystem::ApplyQTransposeOnTheRight(Eigen::MatrixXd* w) const {
    // Q = H_0 H_1 H_2 = I - V T V^T (V: the reflectors' vectors, unit on
    // the diagonal; T upper triangular), so W Q^T = W - (W V) T^T V^T: one
    // pass over W for W V and one for the rank-3 update, where applying the
    // reflectors one by one takes two passes each.
    const Eigen::Index n = static_cast<Eigen::Index>(BaseU.size());
    const auto& qr = AffineQR.matrixQR();
    const auto& tau = AffineQR.hCoeffs();
    Eigen::MatrixX3d v = Eigen::MatrixX3d::Zero(n, 3);
    for (Eigen::Index k = 0; k < 3; ++k) {
        v(k, k) = 1.0;
        v.col(k).tail(n - k - 1) = qr.col(k).tail(n - k - 1);
    }
    const Eigen::Matrix3d gram = v.transpose() * v;
    Eigen::Matrix3d t = Eigen::Matrix3d::Zero();
    for (Eigen::Index k = 0; k < 3; ++k) {
        t(k, k) = tau[k];
        if (k == 0) continue;
        // Column k of T: -tau_k T(0..k, 0..k) V(:, 0..k)^T v_k.
        const Eigen::VectorXd head = t.topLeftCorner(k, k).triangularView<Eigen::Upper>() *
                                     gram.col(k).head(k);
        t.col(k).head(k) = -tau[k] * head;
    }
    // Column by column, by hand: a general product would first copy W
    // into its packed layout, a third pass of its own.
    Eigen::MatrixX3d wv = Eigen::MatrixX3d::Zero(w->rows(), 3);
    for (Eigen::Index j = 0; j < n; ++j) {
        const auto column = w->col(j);
        for (Eigen::Index k = 0; k < 3; ++k)
            if (v(j, k) != 0.0) wv.col(k) += v(j, k) * column;
    }
    const Eigen::MatrixX3d y = wv * t.transpose();
    for (Eigen::Index j = 0; j < n; ++j)
        w->col(j) -= y.col(0) * v(j, 0) + y.col(1) * v(j, 1) + y.col(2) * v(j, 2);
}

void SplineSystem::BaseInverse(Eigen::MatrixXd* rotated, Eigen::Matrix3Xd* affine) const {
    // For b = [e_i; 0] the steps of SolveBase give column i of M^-1:
    //   kernel rows  Q2 S Q2^T e_i,           S = (L L^T)^-1,
    //   affine rows  R^-1 (Q1^T e_i - B21^T S Q2^T e_i).
    // With W = S Q2^T = [0 S] Q^T (m x N, S symmetric): the kernel column
    // is Q [0; W e_i] and the affine block is R^-1 (Q1^T - B21^T W).
    const Eigen::Index n = static_cast<Eigen::Index>(BaseU.size());
    const Eigen::Index m = n - 3;
    Eigen::MatrixXd& w = *rotated;
    w.resize(m, n);
    w.leftCols<3>().setZero();
    InverseFromCholesky(Reduced.bottomRightCorner(m, m), w.rightCols(m));
    ApplyQTransposeOnTheRight(&w);
    Eigen::MatrixX3d q1 = Eigen::MatrixX3d::Zero(n, 3);
    q1.topRows<3>().setIdentity();
    q1.applyOnTheLeft(AffineQR.householderQ());
    const auto b21 = Reduced.block(3, 0, m, 3);
    const Eigen::Matrix3Xd unscaled = q1.transpose() - b21.transpose() * w;
    *affine = AffineQR.matrixQR().topRows<3>().triangularView<Eigen::Upper>().solve(unscaled);
}

void SplineSystem::KernelInverseColumn(const Eigen::MatrixXd& rotated, Eigen::Index i,
                                       Eigen::VectorXd* column) const {
    const Eigen::Index n = static_cast<Eigen::Index>(BaseU.size());
    column->resize(n);
    column->head<3>().setZero();
    column->tail(n - 3) = rotated.col(i);
    // Q = H_0 H_1 H_2, H_k = I - tau_k v_k v_k^T with v_k = (1, essential)
    // from row k on: applied by hand, Eigen's sequence costs twice as much
    // on a single vector.
    // The dot product goes through Eigen's vectorised reduction: a plain
    // loop is one chain of dependent additions, which held each column to
    // the latency of an addition per entry.
    const auto& qr = AffineQR.matrixQR();
    double* x = column->data();
    for (Eigen::Index k = 2; k >= 0; --k) {
        const Eigen::Index tail = n - k - 1;
        const auto essential = qr.col(k).tail(tail);
        Eigen::Map<Eigen::VectorXd> below(x + k + 1, tail);
        const double scaled = AffineQR.hCoeffs()[k] * (x[k] + essential.dot(below));
        x[k] -= scaled;
        below -= scaled * essential;
    }
}

Eigen::VectorXd SplineSystem::Solve(const Eigen::VectorXd& b, std::size_t borders) const {
    const Eigen::Index base = static_cast<Eigen::Index>(BaseU.size() + 3);
    Eigen::VectorXd z(b.size());
    z.head(base) = b.head(base);
    SolveBase(z.head(base));
    // Each border j: zeta = (c_j . w - beta_j) / s_j, then w -= y_j zeta.
    for (std::size_t j = 0; j < borders; ++j) {
        const Eigen::Index len = base + static_cast<Eigen::Index>(j);
        double zeta = (Columns[j].dot(z.head(len)) - b[len]) / Pivots[j];
        z.head(len) -= Ys[j] * zeta;
        z[len] = zeta;
    }
    return z;
}

bool SplineSystem::Append(double u, double v, std::size_t borders, double minPivot) {
    Eigen::VectorXd c = Column(u, v, borders);
    Eigen::VectorXd y = Solve(c, borders);
    double s = c.dot(y);
    if (!(std::fabs(s) >= minPivot) || !y.allFinite()) return false;
    // Reserve first, so that a failed allocation leaves the system as it was.
    ExtU.reserve(borders + 1), ExtV.reserve(borders + 1), Columns.reserve(borders + 1);
    Ys.reserve(borders + 1), Pivots.reserve(borders + 1);
    // Drop borders beyond `borders`, left by an owner that has gone.
    ExtU.resize(borders), ExtV.resize(borders), Columns.resize(borders), Ys.resize(borders),
        Pivots.resize(borders);
    ExtU.push_back(u);
    ExtV.push_back(v);
    Columns.push_back(std::move(c));
    Ys.push_back(std::move(y));
    Pivots.push_back(s);
    return true;
}

Eigen::MatrixX2d SplineSystem::ExtendSolution(const Eigen::MatrixX2d& z, double x, double y,
                                              std::size_t borders) const {
    const std::size_t j = borders - 1;
    const Eigen::Index len = z.rows();
    Eigen::MatrixX2d out(len + 1, 2);
    const double rhs[2] = {x, y};
    for (int k = 0; k < 2; ++k) {
        double zeta = (Columns[j].dot(z.col(k)) - rhs[k]) / Pivots[j];
        out.col(k).head(len) = z.col(k) - Ys[j] * zeta;
        out(len, k) = zeta;
    }
    return out;
}

}  // namespace tiemark
