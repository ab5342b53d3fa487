// Host arithmetic of the nonnegative orthant.
#include "cones/nonnegative/nonnegative.hpp"

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

// Interior-point forms of the nonnegative orthant: entrywise loops, parallel above the
// elementwise threshold.
namespace velkora::torv::cones::host {

namespace {

// These loops do one or two flops per entry: measured on a two-core host (bench/
// bench_ipm_cones.py sizes 10^4 .. 10^6), a fork-join costs more than it saves below about
// 2^18 entries, well above the projection's threshold.
constexpr u64 kIpmElementwiseThreshold = u64(1) << 18;

bool parallel(u64 n) { return above(n, kIpmElementwiseThreshold); }

bool all_positive(const double* x, u64 n) {
    return !parallel_any(n, parallel(n), [=](u64 i) { return !nonnegative_entry_interior(x[i]); });
}

}  // namespace

bool nonnegative_interior(const double* x, u64 n) { return all_positive(x, n); }

double nonnegative_max_step(const double* x, const double* dx, u64 n, double alpha_max) {
    const double step =
        parallel_min(n, parallel(n), [=](u64 i) { return nonnegative_entry_step(x[i], dx[i]); });
    return step < alpha_max ? step : alpha_max;
}

double nonnegative_spectral_min(const double* x, u64 n) {
    return parallel_min(n, parallel(n), [=](u64 i) { return x[i]; });
}

void nonnegative_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n) {
    const bool refused = parallel_any(n, parallel(n), [=](u64 i) {
        return !nonnegative_entry_interior(s[i]) || !nonnegative_entry_interior(z[i]);
    });
    if (refused) throw std::runtime_error("nonnegative NT scaling requires strictly positive interior inputs");
    parallel_for(n, parallel(n), [=](u64 i) {
        const NonnegativeStateEntry e = nonnegative_state_entry(s[i], z[i]);
        scaling[i] = e.d;
        lam[i] = e.lambda;
    });
}

void nonnegative_scale(const double* scaling, const double* x, double* out, u64 n, bool inverse) {
    if (inverse)
        parallel_for(n, parallel(n), [=](u64 i) { out[i] = x[i] / scaling[i]; });
    else
        parallel_for(n, parallel(n), [=](u64 i) { out[i] = scaling[i] * x[i]; });
}

void nonnegative_jordan_product(const double* x, const double* y, double* out, u64 n) {
    parallel_for(n, parallel(n), [=](u64 i) { out[i] = x[i] * y[i]; });
}

void nonnegative_jordan_solve(const double* lam, const double* x, double* out, u64 n) {
    if (!all_positive(lam, n)) throw std::runtime_error("nonnegative Jordan solve requires a strictly positive lam");
    parallel_for(n, parallel(n), [=](u64 i) { out[i] = x[i] / lam[i]; });
}

}  // namespace velkora::torv::cones::host
