#include "ReferenceFit.h"

#include <cmath>

namespace gdalcmp {

namespace {
constexpr int kTpsType = 6;
}

ReferenceFit::ReferenceFit(const std::vector<Gcp>& gcps, int type) : type_(type) {
    const std::size_t n = gcps.size();
    for (const Gcp& g : gcps) {
        centreU_ += g.pixel;
        centreV_ += g.line;
        centreX_ += g.x;
        centreY_ += g.y;
    }
    centreU_ /= n;
    centreV_ /= n;
    centreX_ /= n;
    centreY_ /= n;
    Real spread = 0;
    for (const Gcp& g : gcps)
        spread = std::max({spread, std::fabs(g.pixel - centreU_), std::fabs(g.line - centreV_)});
    scale_ = spread > 0 ? 1 / spread : 1;

    Vector targetX(n), targetY(n);
    for (std::size_t i = 0; i < n; ++i) {
        targetX(i) = gcps[i].x - centreX_;
        targetY(i) = gcps[i].y - centreY_;
        if (type_ == kTpsType) {
            nodesU_.push_back((gcps[i].pixel - centreU_) * scale_);
            nodesV_.push_back((gcps[i].line - centreV_) * scale_);
        }
    }

    if (type_ == kTpsType) {
        // [K P; P' 0] [w; a] = [values; 0], K the kernel between centres,
        // P the rows (1, u, v).
        const Eigen::Index size = static_cast<Eigen::Index>(n) + 3;
        Matrix system = Matrix::Zero(size, size);
        for (std::size_t i = 0; i < n; ++i) {
            const Vector row = Basis(nodesU_[i], nodesV_[i]);
            system.row(static_cast<Eigen::Index>(i)) = row.transpose();
            system.col(static_cast<Eigen::Index>(i)).tail(3) = row.tail(3);
        }
        Matrix rhs = Matrix::Zero(size, 2);
        rhs.col(0).head(n) = targetX;
        rhs.col(1).head(n) = targetY;
        const Matrix solution = system.partialPivLu().solve(rhs);
        coefX_ = solution.col(0);
        coefY_ = solution.col(1);
        return;
    }

    Matrix design(static_cast<Eigen::Index>(n), Basis(0, 0).size());
    for (std::size_t i = 0; i < n; ++i)
        design.row(static_cast<Eigen::Index>(i)) =
            Basis((gcps[i].pixel - centreU_) * scale_, (gcps[i].line - centreV_) * scale_)
                .transpose();
    const Eigen::ColPivHouseholderQR<Matrix> qr(design);
    coefX_ = qr.solve(targetX);
    coefY_ = qr.solve(targetY);
}

ReferenceFit::Real ReferenceFit::Kernel(Real squaredDistance) {
    // r^2 log r, written on the squared distance; zero at the centre itself.
    return squaredDistance > 0 ? Real(0.5) * squaredDistance * std::log(squaredDistance) : 0;
}

ReferenceFit::Vector ReferenceFit::Basis(Real u, Real v) const {
    if (type_ == kTpsType) {
        const std::size_t n = nodesU_.size();
        Vector basis(static_cast<Eigen::Index>(n) + 3);
        for (std::size_t i = 0; i < n; ++i) {
            const Real du = u - nodesU_[i], dv = v - nodesV_[i];
            basis(static_cast<Eigen::Index>(i)) = Kernel(du * du + dv * dv);
        }
        basis.tail(3) << 1, u, v;
        return basis;
    }
    // Monomials u^a v^b with a + b <= order, by increasing degree.
    std::vector<Real> terms;
    for (int degree = 0; degree <= type_; ++degree)
        for (int b = 0; b <= degree; ++b)
            terms.push_back(std::pow(u, degree - b) * std::pow(v, b));
    return Eigen::Map<Vector>(terms.data(), static_cast<Eigen::Index>(terms.size()));
}

void ReferenceFit::Forward(double pixel, double line, double* x, double* y) const {
    const Vector basis = Basis((pixel - centreU_) * scale_, (line - centreV_) * scale_);
    *x = static_cast<double>(centreX_ + basis.dot(coefX_));
    *y = static_cast<double>(centreY_ + basis.dot(coefY_));
}

}  // namespace gdalcmp
