// Host arithmetic of the nonnegative orthant {x : x_i >= 0}. All pointers are host
// memory; n is the cone dimension, batches are B items back to back.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cuda/device_api.hpp"
#include "host/double_limits.hpp"
#include "host/host_device.hpp"

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

// Interior-point forms of the nonnegative orthant {x : x_i >= 0}: interior test, step to the
// boundary, smallest entry, NT scaling state, products with W, Jordan product and solve.
// The algebra is entrywise: x o y = x .* y, W = diag(d) with d = sqrt(s/z), so W z = W^-1 s
// = lambda = sqrt(s z) and W^T W = H^-1 = diag(s/z). The scaling state of an entry is d_i
// (scaling_size = n). Host pointers; a batch is its n*batch entries taken as one vector. The
// per-entry pieces marked VELKORA_HD are shared with the device kernels.
namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Strict interior: 0 < x < +inf (NaN fails; an infinite entry is in no cone's interior).
VELKORA_HD inline bool nonnegative_entry_interior(double x) { return x > 0.0 && x <= kDoubleMax; }

// Largest alpha >= 0 with x + alpha dx in the interior's closure for one entry: -x/dx when
// dx < 0, +inf when dx >= 0; 0 when x is not interior or dx is not finite (x + alpha dx is
// then NaN or infinite for every alpha > 0).
VELKORA_HD inline double nonnegative_entry_step(double x, double dx) {
    if (!nonnegative_entry_interior(x) || !(fabs(dx) <= kDoubleMax)) return 0.0;
    return dx >= 0.0 ? HUGE_VAL : -x / dx;
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

// Device launchers of the nonnegative orthant. Pointers are device memory on `device`.
namespace velkora::torv::cones::device {

// out = max(in, 0) with +0.0 for every entry that is not > 0; asynchronous on `stream`.
void nonnegative_project_cuda(const double* in, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean norm of the negative part (synchronous).
double nonnegative_violation_cuda(const double* x, std::uint64_t n, int device);
// True unless some entry has -tol > x_i or is NaN, as on the host (synchronous).
bool nonnegative_contains_cuda(const double* x, std::uint64_t n, double tol, int device);
// batch diagonal matrices diag(z/s), item b at b*n*n (no value is tested: a NaN in s or z
// gives a NaN diagonal entry); asynchronous on `stream`.
void nonnegative_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                 int device, StreamHandle stream);

// Interior-point forms (the inline routines above give the arithmetic); n counts all entries
// of a batch. The scalar results wait for all queued work and are synchronous; the others are
// asynchronous on `stream`.
bool nonnegative_interior_cuda(const double* x, std::uint64_t n, int device);
double nonnegative_max_step_cuda(const double* x, const double* dx, std::uint64_t n, double alpha_max, int device);
double nonnegative_spectral_min_cuda(const double* x, std::uint64_t n, int device);
// d and lambda; entries where s or z is not > 0 get NaN in both.
void nonnegative_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam,
                                       std::uint64_t n, int device, StreamHandle stream);
void nonnegative_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, bool inverse,
                            int device, StreamHandle stream);
void nonnegative_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, int device,
                                     StreamHandle stream);
// out = x / lam; entries where lam is not > 0 get NaN.
void nonnegative_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, int device,
                                   StreamHandle stream);
// H (or H^-1) = diag from the stored d into a CSR / COO value array: the block of the n rows
// from row_offset (the caller has checked that indptr covers them).
void nonnegative_scaling_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr,
                                          const std::int64_t* indices, double* values, std::uint64_t nnz,
                                          std::uint64_t n, std::uint64_t row_offset, bool inverse, int device,
                                          StreamHandle stream);
void nonnegative_scaling_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                          const std::int64_t* col_indices, double* values, std::uint64_t nnz,
                                          std::uint64_t n, std::uint64_t row_offset, bool inverse, int device,
                                          StreamHandle stream);

// Sparse H fill (the caller has checked that indptr covers rows row_offset .. row_offset + d):
// diag(z / s).
void nonnegative_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream);
void nonnegative_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
