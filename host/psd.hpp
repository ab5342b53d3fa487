// Host projection onto the PSD cone, its violation measure and the membership test, on
// svec vectors of n(n+1)/2 entries (host memory) for any order n >= 1.
#pragma once

#include <cstdint>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// out = svec(sum_a max(lambda_a, 0) v_a v_a^T) from the eigenpairs of smat(in), decomposed
// at unit scale (a power of two, exact) by the Jacobi method, or by LAPACK from the
// crossover order of host/psd_lapack.hpp up in builds with host LAPACK; n = 1: max(in, 0)
// with NaN copied through. The whole result is formed before out is written, so out may
// equal in.
void psd_project(const double* in, double* out, u64 n);
// sqrt(sum of lambda^2 over negative eigenvalues), without under- or overflow of the
// squares; n = 1: max(-x, 0). NaN eigenvalues add nothing.
double psd_violation(const double* x, u64 n);
// atol >= violation, false when an entry is NaN; the decomposition always runs in full
// for inputs without NaN.
bool psd_contains(const double* x, u64 n, double atol);

}  // namespace velkora::torv::cones::host
