// Device launchers of the sparse H fill: a cone's H block written into the value array
// of a caller's CSR or COO matrix in device memory. All pointers are device memory on
// `device`; index arrays hold signed 64-bit integers; work is queued on `stream`.
// The caller has checked that indptr covers rows row_offset .. row_offset + d.
#pragma once

#include <cstdint>

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

using u64 = std::uint64_t;

// The identity block; s and z are not tested, but a diagonal entry whose s_i or z_i is
// not finite is NaN. With s = z = nullptr (a stored zero-cone scaling) the plain identity.
void zero_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                           double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream);
void zero_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                           const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                           StreamHandle stream);
void nonnegative_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr,
                                  const std::int64_t* indices, double* values, u64 nnz, u64 d, u64 row_offset,
                                  int device, StreamHandle stream);
void nonnegative_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                                  const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset,
                                  int device, StreamHandle stream);

// d = 3 * (number of cones)
void exp_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream);
void exp_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                          StreamHandle stream);

// Dense gather of the d x d second-order NT matrix of the default device method.
void soc_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream);
void soc_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                          StreamHandle stream);

// n = PSD order (block of m = n(n+1)/2 rows): dense gather for n <= 2, W gather up to 32.
void psd_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 n, u64 row_offset, int device, StreamHandle stream);
void psd_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 n, u64 row_offset, int device,
                          StreamHandle stream);

}  // namespace velkora::torv::cones::device
