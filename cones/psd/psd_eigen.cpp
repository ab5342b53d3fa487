// Host entry of the Jacobi eigen-decomposition.
#include "cones/psd/psd_eigen.hpp"

namespace velkora::torv::cones::host {

int psd_jacobi_eigen_scaled(std::vector<double>& A, std::vector<double>& V, u64 n) {
    V.resize(n * n);
    std::vector<double> row_max(n);
    std::vector<unsigned> row_arg(n);
    return jacobi_eigen_scaled(JacobiWork{A.data(), V.data(), row_max.data(), row_arg.data()}, n);
}

}  // namespace velkora::torv::cones::host
