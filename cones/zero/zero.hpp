// Host arithmetic of the zero cone {0} of dimension n (equality constraints). All
// pointers are host memory; batches are B items back to back.
#pragma once

#include <cstdint>

#include "cuda/device_api.hpp"
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

// Device launchers of the zero cone {0}. Pointers are device memory on `device`.
namespace velkora::torv::cones::device {

// out = 0 by one cudaMemsetAsync of 8n bytes on `stream`; `in` is not read.
void zero_project_cuda(const double* in, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean norm of x (synchronous).
double zero_violation_cuda(const double* x, std::uint64_t n, int device);
// True unless some entry has |x_i| > tol or is NaN, as on the host (synchronous).
bool zero_contains_cuda(const double* x, std::uint64_t n, double tol, int device);
// `batch` identity matrices of order n into H (batch*n*n); s and z (batch*n) are not
// tested, but a diagonal entry whose s_i or z_i is not finite is NaN.
// Asynchronous on `stream`.
void zero_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                          int device, StreamHandle stream);

// Interior-point forms. zero_interior_cuda: norm of the n entries <= the NT scaling tolerance
// (NaN fails; synchronous). zero_copy_cuda: out = x by one cudaMemcpyAsync on `stream`
// (nothing when out == x).
bool zero_interior_cuda(const double* x, std::uint64_t n, int device);
void zero_copy_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream);

// Sparse H fill (the caller has checked that indptr covers rows row_offset .. row_offset + d):
// the identity block; s and z are not tested, but a diagonal entry whose s_i or z_i is not
// finite is NaN. With s = z = nullptr (a stored zero-cone scaling) the plain identity.
void zero_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream);
void zero_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
