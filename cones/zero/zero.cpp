// Host arithmetic of the zero cone.
#include "cones/zero/zero.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/parallel.hpp"
#include "host/vector_loops.hpp"

namespace velkora::torv::cones::host {

namespace {
// Parallel from these sizes on (bench/bench_threads.py): clearing memory, and summing squares.
constexpr u64 kClearThreshold = u64(1) << 18;
constexpr u64 kNormThreshold = u64(1) << 16;
}  // namespace

void zero_project(double* out, u64 n) {
    const bool stream = stream_output(n * sizeof(double));
    parallel_ranges(n, above(n, kClearThreshold), 1024, [=](u64 begin, u64 end) { fill_zero(out + begin, end - begin, stream); });
}

double zero_violation(const double* x, u64 n) {
    const double sum =
        blocked_sum(n, above(n, kNormThreshold), [=](u64 begin, u64 end) { return sum_squares(x + begin, end - begin); });
    return std::sqrt(sum);
}

// The test is written so that a NaN fails it: a NaN is in no cone.
bool zero_contains(const double* x, u64 n, double atol) { return !any_abs_above(x, n, atol); }

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
    parallel_for(batch, above(total, kElementwiseThreshold), [=](u64 b) {
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
