// Shared dense helpers of the host cone arithmetic.
#include "host/dense_helpers.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

void fill_identity_diagonal(double* matrix, u64 n) {
    parallel_for(n, n > kDiagonalThreshold, [=](u64 i) { matrix[i * (n + 1)] = 1.0; });
}

void check_unit_index(u64 length, u64 index) {
    if (index >= length) throw std::runtime_error("unit vector index out of range");
}

std::vector<double> psb_identity_update(const double* u, const double* v, u64 n, const char* what) {
    double b = 0.0;
    for (u64 k = 0; k < n; ++k) b += u[k] * u[k];
    if (!(b > 0.0) || !std::isfinite(b))
        throw std::runtime_error(std::string(what) + " source vector must have nonzero finite norm");

    std::vector<double> m(n * n, 0.0);
    for (u64 i = 0; i < n; ++i) m[i * (n + 1)] = 1.0;
    std::vector<double> d(n);
    for (u64 k = 0; k < n; ++k) d[k] = v[k] - u[k];
    double e = 0.0;
    for (u64 k = 0; k < n; ++k) e += d[k] * u[k];
    const double h = b * b;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j)
            m[i * n + j] = (((u[i] * d[j]) / b + (u[j] * d[i]) / b) - ((u[i] * e) * u[j]) / h) + m[i * n + j];
    return m;
}

}  // namespace velkora::torv::cones::host
