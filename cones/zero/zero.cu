// Zero cone on the device: projection by memset, violation (norm), membership by
// per-entry failure flags, and batches of identity NT scaling matrices.
#include "cones/zero/zero.hpp"

#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"

namespace velkora::torv::cones::device {

// Flag 1.0 where the host's membership test fails (|x_i| <= tol does not hold: NaN
// fails); each block writes the maximum of its flags to partial[block].
__global__ void zero_contains_kernel(const double* x, double* partial, unsigned long long n, double tol) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double flag = (i < n && !(fabs(x[i]) <= tol)) ? 1.0 : 0.0;
    block_partial(buf, flag, BlockMax{}, partial);
}

// One thread per entry of `batch` n x n matrices: 0.0 off the diagonal, and on it 1.0,
// or NaN where the item's s_i or z_i is not finite (zero_device_diagonal).
__global__ void zero_nt_scaling_kernel(const double* s, const double* z, double* H, unsigned long long n,
                                       unsigned long long batch) {
    const unsigned long long i = global_index();
    if (i >= n * n * batch) return;
    const MatrixEntry e = matrix_entry(i, n);
    const unsigned long long k = e.item * n + e.row;
    H[i] = e.row == e.col ? host::zero_device_diagonal(s[k], z[k]) : 0.0;
}

void zero_project_cuda(const double* /*in: not read*/, double* out, std::uint64_t n, int device,
                       StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    check_cuda(cudaMemsetAsync(out, 0, n * sizeof(double), to_stream(stream)), "cudaMemsetAsync");
}

double zero_violation_cuda(const double* x, std::uint64_t n, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return 0.0;
    return sqrt(reduce_sum_sq(x, n, kSumSquares));
}

bool zero_contains_cuda(const double* x, std::uint64_t n, double tol, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return true;
    return flags_all_clear("zero_contains_kernel", zero_contains_kernel, x, n, tol);
}

void zero_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                          int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long total = n * n * batch;
    if (total == 0) return;
    VELKORA_LAUNCH(zero_nt_scaling_kernel, grid_for(total), dim3(kThreads), 0, to_stream(stream), s, z, H, n,
                   batch);
}

bool zero_interior_cuda(const double* x, std::uint64_t n, int device) {
    return zero_violation_cuda(x, n, device) <= host::kZeroNormTolerance;
}

void zero_copy_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0 || x == out) return;
    check_cuda(cudaMemcpyAsync(out, x, n * sizeof(double), cudaMemcpyDeviceToDevice, to_stream(stream)),
               "cudaMemcpyAsync");
}

namespace {

// H at block-local (r, c) of the sparse fill.
struct ZeroHEntry {
    const double* s;
    const double* z;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        // Without s and z (a stored zero-cone scaling): the identity.
        return r != c ? 0.0 : s == nullptr ? 1.0 : host::zero_device_diagonal(s[r], z[r]);
    }
};

}  // namespace

__global__ void zero_hmatrix_csr_kernel(const double* s, const double* z, const long long* indptr,
                                  const long long* indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, d, row_offset, ZeroHEntry{s, z});
}

__global__ void zero_hmatrix_coo_kernel(const double* s, const double* z, const long long* row_indices,
                                  const long long* col_indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, d, row_offset, ZeroHEntry{s, z});
}

void zero_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream) {
    VELKORA_LAUNCH_CSR_FILL(zero_hmatrix_csr_kernel, d, device, stream, s, z, as_index(indptr), as_index(indices),
                            values, nnz, d, row_offset);
}

void zero_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream) {
    VELKORA_LAUNCH_COO_FILL(zero_hmatrix_coo_kernel, nnz, device, stream, s, z, as_index(row_indices),
                            as_index(col_indices), values, nnz, d, row_offset);
}

}  // namespace velkora::torv::cones::device
