// SplineSystem.cpp - base factorisation and bordered extensions.
#include "SplineSystem.h"

#include <cmath>

#include "SplineKernel.h"

namespace tiemark {

bool SplineSystem::Factor(const std::vector<double>& cu, const std::vector<double>& cv, double minRcond) {
    const Eigen::Index n = static_cast<Eigen::Index>(cu.size());
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n + 3, n + 3);
    for (Eigen::Index r = 0; r < n; ++r) {
        for (Eigen::Index c = 0; c < r; ++c) {
            double du = cu[r] - cu[c], dv = cv[r] - cv[c];
            a(r, c) = a(c, r) = SplineKernel(du * du + dv * dv);
        }
        a(r, n) = a(n, r) = 1.0;
        a(r, n + 1) = a(n + 1, r) = cu[r];
        a(r, n + 2) = a(n + 2, r) = cv[r];
    }
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
    // The condition estimate is unreliable once a pivot is exactly zero
    // (repeated centres), so the pivots are checked first.
    const Eigen::VectorXd pivots = lu.matrixLU().diagonal().cwiseAbs();
    if (!pivots.allFinite() || !(pivots.minCoeff() > minRcond * pivots.maxCoeff())) return false;
    if (!(lu.rcond() >= minRcond)) return false;
    Base = std::move(lu);
    BaseU = cu;
    BaseV = cv;
    ExtU.clear(), ExtV.clear(), Columns.clear(), Ys.clear(), Pivots.clear();
    return true;
}

Eigen::VectorXd SplineSystem::Column(double u, double v, std::size_t borders) const {
    const std::size_t n = BaseU.size();
    Eigen::VectorXd c(static_cast<Eigen::Index>(n + 3 + borders));
    for (std::size_t i = 0; i < n; ++i) {
        double du = u - BaseU[i], dv = v - BaseV[i];
        c[static_cast<Eigen::Index>(i)] = SplineKernel(du * du + dv * dv);
    }
    c[static_cast<Eigen::Index>(n)] = 1.0;
    c[static_cast<Eigen::Index>(n + 1)] = u;
    c[static_cast<Eigen::Index>(n + 2)] = v;
    for (std::size_t j = 0; j < borders; ++j) {
        double du = u - ExtU[j], dv = v - ExtV[j];
        c[static_cast<Eigen::Index>(n + 3 + j)] = SplineKernel(du * du + dv * dv);
    }
    return c;
}

Eigen::VectorXd SplineSystem::Solve(const Eigen::VectorXd& b, std::size_t borders) const {
    const Eigen::Index base = static_cast<Eigen::Index>(BaseU.size() + 3);
    Eigen::VectorXd z(b.size());
    z.head(base) = Base.solve(b.head(base));
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
