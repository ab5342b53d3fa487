// Device launchers of the nonnegative orthant. Pointers are device memory on `device`.
#pragma once

#include "cuda/device_api.hpp"

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

// Interior-point forms (host/nonnegative_ipm.hpp gives the arithmetic); n counts all entries
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

}  // namespace velkora::torv::cones::device
