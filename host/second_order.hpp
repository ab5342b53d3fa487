// Host arithmetic of one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}: projection,
// violation, membership and the Nesterov-Todd scaling matrix from Jordan-algebra operations.
// All pointers are host memory; n >= 1 is the cone dimension; dense matrices are n x n
// row-major (entry (i, j) at i*n + j), batches are items back to back.
#pragma once

#include <cstdint>
#include <vector>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// ||x_1..n-1||: sqrt of the sum of squares of the tail (0 when n = 1). `parallel` selects
// the OpenMP reduction (per-thread partial sums); otherwise the sum runs in index order.
double soc_tail_norm(const double* x, u64 n, bool parallel);

// Euclidean projection onto the cone. With t = x_0, r = ||x_bar||: x when t >= r, 0 when
// -t >= r, else a = (r + t)*0.5 at the head and x_k*(a/r) on the tail. `in` may equal `out`.
void soc_project(const double* in, double* out, u64 n);
// Distance from x to the cone: ||x - project(x)|| (a temporary of n doubles).
double soc_violation(const double* x, u64 n);
// x_0 >= ||x_bar|| - atol (NaN gives false).
bool soc_contains(const double* x, u64 n, double atol);

// Quadratic representation Q(x) = 2 x x^T - det(x) J, J = diag(1, -1, ..., -1), kept as
// four numbers over a borrowed vector (never formed as a matrix):
// norm_sq = x_0*x_0 + t, det = x_0*x_0 - t, twice_head = x_0*2, t = sum_{k>=1} x_k*x_k.
struct SocQuadRep {
    const double* x;
    u64 n;
    double norm_sq;
    double det;
    double twice_head;
};

SocQuadRep soc_quad_rep(const double* x, u64 n);
// w = Q(x) q in O(n); w must not alias q.
void soc_quad_apply(const SocQuadRep& rep, const double* q, double* w);
// col = Q(x) e_i (column i) in O(n).
void soc_quad_column(const SocQuadRep& rep, u64 i, double* col);
// y = x^p in the Jordan algebra: head (l2^p + l1^p)*0.5, tail x_bar*((l1^p - l2^p)*0.5)/r,
// l1,2 = x_0 +- r. Fails with the interior message when l1 <= 0 or l2 <= 0.
void soc_spectral_power(const double* x, u64 n, double p, double* y);

// The NT scaling matrix H = Q(s^-1/2) Q((Q(s^1/2) z)^1/2) Q(s^-1/2), symmetric, H s = z,
// written row-major into H (n*n). Every refusal ("SOC NT scaling requires strictly interior
// cone vectors") comes before H is touched. Columns in parallel when n >= 256; O(n^2) work,
// O(n) scratch per thread.
void soc_nt_scaling_into(const double* s, const double* z, double* H, u64 n);
// The same matrix as a new vector of n*n values.
std::vector<double> soc_nt_dense(const double* s, const double* z, u64 n);
// The same matrix for the sparse H fill: every column on the calling thread, refusals
// read "SOC sparse H fill requires strictly interior cone vectors".
std::vector<double> soc_sparse_dense(const double* s, const double* z, u64 n);
// Items b = 0..batch-1 in order: H_b of (s[b*n..], z[b*n..]) into H[b*n*n..]. A failing item
// leaves the earlier items written and its own block untouched.
void soc_nt_scaling_batch_into(const double* s, const double* z, double* H, u64 n, u64 batch);

}  // namespace velkora::torv::cones::host
