// Host arithmetic of the zero cone {0} of dimension n (equality constraints). All
// pointers are host memory; batches are B items back to back.
#pragma once

#include <cstdint>

#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Diagonal entry of H as the device paths form it (they test no values): 1.0 when s_i
// and z_i are finite, NaN when either is NaN or infinite (x - x is +0 for finite x and
// NaN otherwise), so that a non-finite input shows in the output rather than vanishing
// behind a finite identity.
VELKORA_HD inline double zero_device_diagonal(double s, double z) { return 1.0 + ((s - s) + (z - z)); }

// A vector counts as zero for NT scaling when its Euclidean norm is at most this.
inline constexpr double kZeroNormTolerance = 1e-10;

// out = 0 (all n entries); the input is never read. One memset up to 8192 entries,
// a parallel clear in static chunks above.
void zero_project(double* out, u64 n);
// Euclidean norm sqrt(sum x_i^2); sequential index-order sum up to 8192 entries,
// per-thread partial sums above.
double zero_violation(const double* x, u64 n);
// False at the first i (in index order, one thread) with |x_i| > atol or x_i NaN.
bool zero_contains(const double* x, u64 n, double atol);
// Refuses with "zero-cone NT scaling requires zero primal and dual vectors" unless the
// norm of the n entries of s, and then of z, is <= 1e-10 (a NaN norm is refused).
void zero_check_nt_inputs(const double* s, const double* z, u64 n);
// B identity matrices of order n into out (B*n*n): the norm test runs once over all
// B*n entries of s and then of z before out is touched.
void zero_nt_scaling_into(const double* s, const double* z, double* out, u64 n, u64 batch);

// Precondition of the sparse H fill: every s_i and z_i exactly 0.0 (either sign; NaN
// fails), else "zero-cone sparse H fill requires zero primal and dual inputs".
void zero_sparse_check(const double* s, const double* z, u64 n);

// The interior test of the interior-point forms: the n entries taken as one vector have
// norm <= kZeroNormTolerance (the NT scaling test, except that a NaN norm fails).
bool zero_nt_interior(const double* x, u64 n);

}  // namespace velkora::torv::cones::host
