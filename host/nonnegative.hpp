// Host arithmetic of the nonnegative orthant {x : x_i >= 0}. All pointers are host
// memory; n is the cone dimension, batches are B items back to back.
#pragma once

#include <cstdint>
#include <vector>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// out_i = in_i when in_i > 0, else +0.0 (so -0.0 and NaN become +0.0); in may equal out.
void nonnegative_project(const double* in, double* out, u64 n);
// Euclidean norm of the negative part; NaN entries add nothing.
double nonnegative_violation(const double* x, u64 n);
// True unless some entry has -atol > x_i or is NaN (atol used as given).
bool nonnegative_contains(const double* x, u64 n, double atol);

// diag(z/s) as n*n row-major values; fails at the first i with z_i or s_i not > 0
// (NaN included).
std::vector<double> nonnegative_nt_scaling(const double* s, const double* z, u64 n);
// Interior test of the dense NT forms: z_i tested before s_i at each index.
void nonnegative_check_interior(const double* s, const double* z, u64 n);
// Diagonal z_i/s_i into a zeroed n x n buffer (parallel when n > 2048).
void nonnegative_fill_diagonal(const double* s, const double* z, double* out, u64 n);
// Batched H into out (B*n*n): every s_i, z_i is tested before out is touched.
void nonnegative_nt_scaling_into(const double* s, const double* z, double* out, u64 n, u64 batch);

// Precondition of the sparse H fill: every s_i > 0 and z_i > 0 (NaN fails), else
// "nonnegative sparse H fill requires strictly positive inputs".
void nonnegative_sparse_check(const double* s, const double* z, u64 n);

// The entries of H = diag(z / s) for the sparse fill, the diagonal also by stretches.
struct NonnegativeSparseEntries {
    const double* s;
    const double* z;
    double operator()(u64 r, u64 c) const { return r == c ? z[r] / s[r] : 0.0; }
    // out[k] = z[r + k] / s[r + k] for k < count.
    void diagonal(u64 r, u64 count, double* out) const;
};

}  // namespace velkora::torv::cones::host
