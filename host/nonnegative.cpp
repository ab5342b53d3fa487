// Host arithmetic of the nonnegative orthant.
#include "host/nonnegative.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/parallel.hpp"
#include "host/vector_loops.hpp"

namespace velkora::torv::cones::host {

namespace {
constexpr const char* kInteriorMessage = "nonnegative NT scaling requires strictly positive interior inputs";

// x_i > 0, written so that a NaN is not positive: a NaN is in no interior.
inline bool positive(double v) { return v > 0.0; }

// Some entry of s or z not positive (one vectorised scan of each).
inline bool outside_interior(const double* s, const double* z, u64 n) {
    return any_not_above(z, n, 0.0) || any_not_above(s, n, 0.0);
}

// Parallel from these sizes on (bench/bench_threads.py): the projection (a map), the sum of
// squares and the membership scan.
constexpr u64 kMapThreshold = u64(1) << 17;
constexpr u64 kNormThreshold = u64(1) << 16;
constexpr u64 kScanThreshold = u64(1) << 17;
}  // namespace

void nonnegative_project(const double* in, double* out, u64 n) {
    const bool stream = stream_output(n * sizeof(double));
    parallel_ranges(n, above(n, kMapThreshold), 1024,
                    [=](u64 begin, u64 end) { positive_part(in + begin, out + begin, end - begin, stream); });
}

double nonnegative_violation(const double* x, u64 n) {
    const double sum = blocked_sum(n, above(n, kNormThreshold),
                                   [=](u64 begin, u64 end) { return sum_negative_squares(x + begin, end - begin); });
    return std::sqrt(sum);
}

bool nonnegative_contains(const double* x, u64 n, double atol) {
    // Fails where x_i >= -atol does not hold: below the tolerance, or NaN.
    return !parallel_any_ranges(n, above(n, kScanThreshold),
                                [=](u64 begin, u64 end) { return any_below(x + begin, end - begin, -atol); });
}

void nonnegative_check_interior(const double* s, const double* z, u64 n) {
    if (outside_interior(s, z, n)) throw std::runtime_error(kInteriorMessage);
}

std::vector<double> nonnegative_nt_scaling(const double* s, const double* z, u64 n) {
    std::vector<double> h(n * n, 0.0);
    for (u64 i = 0; i < n; ++i) {
        if (!positive(z[i]) || !positive(s[i])) throw std::runtime_error(kInteriorMessage);
        h[i * (n + 1)] = z[i] / s[i];
    }
    return h;
}

void nonnegative_fill_diagonal(const double* s, const double* z, double* out, u64 n) {
    parallel_for(n, above(n, kDiagonalThreshold), [=](u64 i) { out[i * (n + 1)] = z[i] / s[i]; });
}

void nonnegative_nt_scaling_into(const double* s, const double* z, double* out, u64 n, u64 batch) {
    const u64 total = n * batch;
    if (outside_interior(s, z, total)) throw std::runtime_error(kInteriorMessage);
    const u64 block = n * n;
    if (batch * block == 0) return;
    std::memset(out, 0, batch * block * sizeof(double));
    parallel_for(batch, above(total, kElementwiseThreshold), [=](u64 b) {
        double* h = out + b * block;
        const double* sb = s + b * n;
        const double* zb = z + b * n;
        for (u64 i = 0; i < n; ++i) h[i * (n + 1)] = zb[i] / sb[i];
    });
}

void nonnegative_sparse_check(const double* s, const double* z, u64 n) {
    if (outside_interior(s, z, n)) throw std::runtime_error("nonnegative sparse H fill requires strictly positive inputs");
}

void NonnegativeSparseEntries::diagonal(u64 r, u64 count, double* out) const {
    quotients(z + r, s + r, out, count);
}

}  // namespace velkora::torv::cones::host
