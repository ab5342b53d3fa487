// Interior-point forms of the nonnegative orthant {x : x_i >= 0}: interior test, step to the
// boundary, smallest entry, NT scaling state, products with W, Jordan product and solve.
// The algebra is entrywise: x o y = x .* y, W = diag(d) with d = sqrt(s/z), so W z = W^-1 s
// = lambda = sqrt(s z) and W^T W = H^-1 = diag(s/z). The scaling state of an entry is d_i
// (scaling_size = n). Host pointers; a batch is its n*batch entries taken as one vector. The
// per-entry pieces marked VELKORA_HD are shared with the device kernels.
#pragma once

#include <cmath>
#include <cstdint>

#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Strict interior: x > 0 (NaN fails).
VELKORA_HD inline bool nonnegative_entry_interior(double x) { return x > 0.0; }

// Largest alpha >= 0 with x + alpha dx >= 0 for one entry of an interior x: -x/dx when
// dx < 0, +inf when dx >= 0; 0 when x is not interior or dx is NaN.
VELKORA_HD inline double nonnegative_entry_step(double x, double dx) {
    if (!(x > 0.0)) return 0.0;
    if (dx >= 0.0) return HUGE_VAL;
    return dx < 0.0 ? -x / dx : 0.0;
}

// d = sqrt(s)/sqrt(z) and lambda = sqrt(s) sqrt(z): square roots first (each taken once),
// so that neither s/z nor s z has to be representable.
struct NonnegativeStateEntry {
    double d;
    double lambda;
};

VELKORA_HD inline NonnegativeStateEntry nonnegative_state_entry(double s, double z) {
    const double rs = sqrt(s);
    const double rz = sqrt(z);
    return NonnegativeStateEntry{rs / rz, rs * rz};
}

// Diagonal entry of H = (W^T W)^-1 (1/d^2, as (1/d)/d so that d^2 need not be
// representable) or of H^-1 = W^T W (d^2) from the stored d.
VELKORA_HD inline double nonnegative_h_entry(double d, bool inverse) { return inverse ? d * d : (1.0 / d) / d; }

// Every x_i > 0 (parallel above the elementwise threshold).
bool nonnegative_interior(const double* x, u64 n);
// min over i of nonnegative_entry_step, then min with alpha_max (alpha_max for n = 0).
double nonnegative_max_step(const double* x, const double* dx, u64 n, double alpha_max);
// min_i x_i (+inf for n = 0, NaN when some x_i is NaN).
double nonnegative_spectral_min(const double* x, u64 n);
// d into `scaling` and lambda into `lam`; refuses with "nonnegative NT scaling requires strictly
// positive interior inputs" (before writing) unless every s_i > 0 and z_i > 0.
void nonnegative_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n);
// out = d .* x (W x = W^T x) or x ./ d (W^-1 x = W^-T x); out may be x.
void nonnegative_scale(const double* scaling, const double* x, double* out, u64 n, bool inverse);
// out = x .* y; out may be x or y.
void nonnegative_jordan_product(const double* x, const double* y, double* out, u64 n);
// out = x ./ lam; refuses with "nonnegative Jordan solve requires a strictly positive lam" (before
// writing) unless every lam_i > 0. out may be x or lam.
void nonnegative_jordan_solve(const double* lam, const double* x, double* out, u64 n);

}  // namespace velkora::torv::cones::host
