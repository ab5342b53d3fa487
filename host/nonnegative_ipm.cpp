// Interior-point forms of the nonnegative orthant: entrywise loops, parallel above the
// elementwise threshold.
#include "host/nonnegative_ipm.hpp"

#include <stdexcept>

#include "host/parallel.hpp"

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
