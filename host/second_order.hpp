// Host arithmetic of one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}: projection,
// violation, membership and the Nesterov-Todd scaling matrix from Jordan-algebra operations.
// All pointers are host memory; n >= 1 is the cone dimension; dense matrices are n x n
// row-major (entry (i, j) at i*n + j), batches are items back to back.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "host/host_device.hpp"

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

// Scale of a vector for the NT routines: |v| for a finite entry, +infinity otherwise, so that
// the maximum over a vector is infinite exactly when some entry is not finite.
VELKORA_HD inline double soc_scale_magnitude(double v) {
    const double m = fabs(v);
    return m <= 1.7976931348623157e308 ? m : HUGE_VAL;
}

// Exponent a with 4^a <= top < 4^(a+1) (0 when top is 0, infinite or NaN). H(4^a s, 4^b z) =
// 4^(b-a) H(s, z), and dividing s and z by powers of four scales every square, square root
// and power +-1/2 in the NT computation by an exact power of two, so the matrix of the scaled
// pair times 4^(b-a) equals the unscaled computation bit for bit whenever the latter neither
// overflows nor underflows, and stays accurate when it would.
VELKORA_HD inline int soc_quarter_exponent(double top) {
    if (!(top > 0.0) || !(top <= 1.7976931348623157e308)) return 0;
    int e = 0;
    frexp(top, &e);                             // top = f 2^e, f in [0.5, 1)
    const int k = e - 1;                        // floor(log2 top)
    return k >= 0 ? k / 2 : -((1 - k) / 2);     // floor(k / 2)
}

// The NT scaling matrix H = Q(s^-1/2) Q((Q(s^1/2) z)^1/2) Q(s^-1/2), symmetric, H s = z,
// written row-major into H (n*n). s and z are first brought to unit scale separately by powers
// of four (soc_quarter_exponent of their largest |entry|; none for a non-finite entry), the
// interior test and the matrix use the scaled pair, and H is multiplied back by 4^(b-a): no
// square of an entry is formed at the input's scale. Every refusal ("SOC NT scaling requires strictly interior
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
