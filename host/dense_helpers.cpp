// Shared dense helpers of the host cone arithmetic.
#include "host/dense_helpers.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "host/exponential_rules.hpp"
#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

void fill_identity_diagonal(double* matrix, u64 n) {
    parallel_for(n, above(n, kDiagonalThreshold), [=](u64 i) { matrix[i * (n + 1)] = 1.0; });
}

void check_unit_index(u64 length, u64 index) {
    if (index >= length) throw std::runtime_error("unit vector index out of range");
}

std::vector<double> psb_identity_update(const double* u_in, const double* v_in, u64 n, const char* what) {
    const std::string refusal = std::string(what) + " source vector must have nonzero finite norm";
    // u and v balanced by one power of two (max |u_i| in [1, 2)): M is unchanged bit for
    // bit when nothing over- or underflows, and b*b stays finite for any finite u.
    const int shift = expcone::balance_exponent(u_in, n);
    std::vector<double> u(n), d(n);
    for (u64 k = 0; k < n; ++k) u[k] = std::ldexp(u_in[k], shift);

    double b = 0.0;
    for (u64 k = 0; k < n; ++k) b += u[k] * u[k];
    if (!(b > 0.0) || !std::isfinite(b)) throw std::runtime_error(refusal);

    std::vector<double> m(n * n, 0.0);
    for (u64 i = 0; i < n; ++i) m[i * (n + 1)] = 1.0;
    for (u64 k = 0; k < n; ++k) d[k] = std::ldexp(v_in[k], shift) - u[k];
    double e = 0.0;
    for (u64 k = 0; k < n; ++k) e += d[k] * u[k];
    const double h = b * b;
    bool finite = true;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            double& mij = m[i * n + j];
            mij = (((u[i] * d[j]) / b + (u[j] * d[i]) / b) - ((u[i] * e) * u[j]) / h) + mij;
            finite = finite && std::isfinite(mij);
        }
    // A v far larger than u can still overflow d (the true entries exceed the range).
    if (!finite) throw std::runtime_error(refusal);
    return m;
}

}  // namespace velkora::torv::cones::host
