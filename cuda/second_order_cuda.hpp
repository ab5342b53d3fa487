// Device launchers of the second-order cone. Pointers are device memory on `device`; n >= 1
// is the cone dimension; NT matrices are n x n row-major, batch items back to back.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Device NT method used by soc_nt_scaling_cuda (the only one this build has).
inline constexpr const char* kSocDefaultNtMethod = "custom";

// Projection onto the cone (head and tail norm read first, then one kernel); `out` may be
// `x`. The kernel runs on `stream`; the scalars are read after the device is synchronised.
void soc_project_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean distance from x to the cone (synchronous).
double soc_violation_cuda(const double* x, std::uint64_t n, int device);
// x_0 >= ||x_bar|| - tol (synchronous).
bool soc_contains_cuda(const double* x, std::uint64_t n, double tol, int device);

// NT scaling matrices of a batch with the default method; asynchronous on `stream`.
void soc_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream);
// The same with the column kernels forced.
void soc_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
// Selects the device, then refuses: this build has no cuBLAS path.
void soc_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);

// Interior-point forms of `batch` items of dimension n (host/second_order_ipm.hpp gives the
// arithmetic; one block per item, sums in the host's order, so host and device agree bit for
// bit). The scalar results wait for all queued work and are synchronous; the others are
// asynchronous on `stream`. Items that are not interior get NaN where the host refuses.
bool soc_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
double soc_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device);
double soc_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
void soc_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream);
void soc_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, int device, StreamHandle stream);
void soc_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream);
void soc_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream);
// H (or H^-1) of each item from the stored state, items as consecutive diagonal blocks of
// the n*batch rows from row_offset (the caller has checked that indptr covers them).
void soc_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream);
void soc_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream);
// The sparse expansion into a CSR value array: cone rows from row_offset, extra rows from
// extra_offset (the caller has checked both ranges against indptr and each other).
void soc_expansion_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                            double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                            std::uint64_t row_offset, std::uint64_t extra_offset, bool inverse, int device,
                            StreamHandle stream);

}  // namespace velkora::torv::cones::device
