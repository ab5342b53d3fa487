// Device launchers of the PSD cone (plain C++ declarations). Pointers are device memory
// on `device`; svec vectors have m = n(n+1)/2 entries, dense matrices n*n, operators
// m*m, batches back to back. Asynchronous on `stream` unless a scalar is returned.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Largest order served by the general (one thread per item) NT path.
constexpr std::uint64_t kPsdGeneralMaxOrder = 32;

// Refuses orders above the device limit: "CUDA PSD NT scaling currently supports dim <= 32".
void psd_check_order(std::uint64_t n);

// Order-2 projection of one svec triple (closed-form eigen-split).
void psd2_project_cuda(const double* in, double* out, int device, StreamHandle stream);
// Order-2 violation sqrt(min(l+, 0)^2 + min(l-, 0)^2) (synchronous, default stream).
double psd2_violation_cuda(const double* in, int device);
// tol >= the order-2 violation, false when an entry is NaN (synchronous).
bool psd2_contains_cuda(const double* in, double tol, int device);

// NT operators H (m x m per item) with the default method ("analytic" for n <= 2,
// "custom" above), the "custom" method and the "cublas" method (refused for n >= 3 in
// this build). n > 32 is refused before any allocation.
void psd_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream);
void psd_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
void psd_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
// Only the n x n scaling points W (item b at b*n*n, symmetric) for 3 <= n <= 32.
void psd_nt_w_cuda(const double* s, const double* z, double* W, std::uint64_t n, std::uint64_t batch, int device,
                   StreamHandle stream);

// Dense matrices from svec vectors and svec vectors from the lower triangles of dense
// matrices, `batch` items.
void psd_smat_cuda(const double* v, double* M, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream);
void psd_svec_cuda(const double* M, double* v, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream);

// Interior-point forms of `batch` items of order n (host/psd_ipm.hpp gives the arithmetic;
// one thread per item, its work matrices in scratch; the same code as the host, so host and
// device agree bit for bit). Orders above kPsdGeneralMaxOrder are refused after device
// selection ("CUDA PSD <operation> currently supports dim <= 32"; the NT state with the text
// of psd_check_order). The scalar results wait for all queued work and are synchronous; the
// others are asynchronous on `stream`, their scratch stream-ordered. Items that are not
// interior get NaN where the host refuses.
bool psd_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
double psd_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device);
double psd_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
void psd_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream);
void psd_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, bool transpose, int device, StreamHandle stream);
void psd_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream);
void psd_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream);
// H (or H^-1) of each item from the stored state, items as consecutive diagonal blocks of the
// m*batch rows from row_offset (the caller has checked that indptr covers them).
void psd_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream);
void psd_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream);

}  // namespace velkora::torv::cones::device
