// Host arithmetic of the zero cone.
#include "host/zero.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

void zero_project(double* out, u64 n) {
    if (n == 0) return;
    if (n <= kElementwiseThreshold) {
        std::memset(out, 0, n * sizeof(double));
        return;
    }
    parallel_for(n, true, [=](u64 i) { out[i] = 0.0; });
}

double zero_violation(const double* x, u64 n) {
    const double sum = parallel_sum(n, n > kElementwiseThreshold, [=](u64 i) { return x[i] * x[i]; });
    return std::sqrt(sum);
}

// The tests are written so that a NaN fails them: a NaN is in no cone.
bool zero_contains(const double* x, u64 n, double atol) {
    for (u64 i = 0; i < n; ++i)
        if (!(std::fabs(x[i]) <= atol)) return false;
    return true;
}

void zero_check_nt_inputs(const double* s, const double* z, u64 n) {
    if (!(zero_violation(s, n) <= kZeroNormTolerance) || !(zero_violation(z, n) <= kZeroNormTolerance))
        throw std::runtime_error("zero-cone NT scaling requires zero primal and dual vectors");
}

void zero_nt_scaling_into(const double* s, const double* z, double* out, u64 n, u64 batch) {
    const u64 total = n * batch;
    zero_check_nt_inputs(s, z, total);
    const u64 block = n * n;
    if (block * batch == 0) return;
    std::memset(out, 0, block * batch * sizeof(double));
    parallel_for(batch, total > kElementwiseThreshold, [=](u64 b) {
        double* h = out + b * block;
        for (u64 i = 0; i < n; ++i) h[i * (n + 1)] = 1.0;
    });
}

void zero_sparse_check(const double* s, const double* z, u64 n) {
    for (u64 i = 0; i < n; ++i)
        if (!(s[i] == 0.0 && z[i] == 0.0))
            throw std::runtime_error("zero-cone sparse H fill requires zero primal and dual inputs");
}

bool zero_nt_interior(const double* x, u64 n) { return zero_violation(x, n) <= kZeroNormTolerance; }

}  // namespace velkora::torv::cones::host
