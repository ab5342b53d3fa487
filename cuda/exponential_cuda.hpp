// Device launchers of a product of `count` exponential cones (x, y, z) stored as
// consecutive triples. Pointers are device memory on `device`.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Projection of every cone, the host's rule and comparisons (NaN y gives
// (min(x, 0), 0, max(z, 0)) with NaN copied through); asynchronous on `stream`.
void exp_project_cuda(const double* in, double* out, std::uint64_t count, int device, StreamHandle stream);
// sqrt of the sum of the cones' squared distances (synchronous).
double exp_violation_cuda(const double* in, std::uint64_t count, int device);
// Every cone passes the host's tolerance test (synchronous).
bool exp_contains_cuda(const double* in, std::uint64_t count, double tol, int device);
// `batch` block-diagonal (3 count)^2 matrices into H, block k of item b the PSB update
// of I mapping s_k to z_k (pair balanced by a power of two); asynchronous on `stream`.
void exp_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t count, std::uint64_t batch,
                         int device, StreamHandle stream);


// Interior-point forms over `cones` consecutive cones (host/exponential_ipm.hpp gives the
// arithmetic; states kExpStateSize doubles per cone). The scalar results are synchronous (work
// on other streams is waited for); the rest is asynchronous on `stream`. Cones that the host
// refuses get NaN.
bool exp_ipm_interior_cuda(const double* x, std::uint64_t cones, bool dual, int device);
double exp_ipm_step_cuda(const double* s, const double* ds, const double* z, const double* dz, std::uint64_t cones,
                         double alpha0, double factor, double alpha_min, int device);
double exp_ipm_barrier_cuda(const double* x, std::uint64_t cones, bool dual, int device);
void exp_ipm_barrier_gradient_cuda(const double* s, double* out, std::uint64_t cones, int device, StreamHandle stream);
void exp_ipm_dual_shadow_cuda(const double* z, double* out, std::uint64_t cones, int device, StreamHandle stream);
void exp_ipm_scaling_cuda(const double* s, const double* z, double* states, std::uint64_t cones, int device,
                          StreamHandle stream);
void exp_ipm_dual_scaling_cuda(const double* z, double mu, double* states, std::uint64_t cones, int device,
                               StreamHandle stream);
void exp_ipm_apply_cuda(const double* states, const double* x, double* out, std::uint64_t cones, bool inverse,
                        int device, StreamHandle stream);
void exp_ipm_corrector_cuda(const double* s, const double* ds, const double* dz, double* out, std::uint64_t cones,
                            int device, StreamHandle stream);
void exp_ipm_combined_shift_cuda(const double* states, const double* s, const double* ds, const double* dz,
                                 double* out, std::uint64_t cones, double sigma_mu, double correction, int device,
                                 StreamHandle stream);
// H (or H^-1) of each cone from its state as consecutive 3 x 3 diagonal blocks from row_offset.
void exp_ipm_hmatrix_csr_cuda(const double* states, const std::int64_t* indptr, const std::int64_t* indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream);
void exp_ipm_hmatrix_coo_cuda(const double* states, const std::int64_t* row_indices, const std::int64_t* col_indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
