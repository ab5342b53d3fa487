// Nonnegative orthant on the device: projection (four-wide, two-wide and scalar
// kernels), violation, membership and the diagonal NT scaling matrices.
#include "cones/nonnegative/nonnegative.hpp"

#include <cstdint>

#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"

namespace velkora::torv::cones::device {

// Four doubles with 32-byte alignment, for one 32-byte load and store per thread.
struct alignas(32) double4_32a {
    double x, y, z, w;
};

// Entries that are not > 0 (negatives, -0.0, NaN) become +0.0, as on the host.
__device__ __forceinline__ double positive_part(double v) { return v > 0.0 ? v : 0.0; }

__global__ void nonnegative_kernel(const double* in, double* out, unsigned long long n) {
    const unsigned long long i = global_index();
    if (i < n) out[i] = positive_part(in[i]);
}

__global__ void nonnegative2_kernel(const double2* in, double2* out, unsigned long long pairs) {
    const unsigned long long i = global_index();
    if (i < pairs) {
        const double2 v = in[i];
        out[i] = make_double2(positive_part(v.x), positive_part(v.y));
    }
}

__global__ void nonnegative4_kernel(const double4_32a* in, double4_32a* out, unsigned long long quads) {
    const unsigned long long i = global_index();
    if (i < quads) {
        const double4_32a v = in[i];
        double4_32a r;
        r.x = positive_part(v.x);
        r.y = positive_part(v.y);
        r.z = positive_part(v.z);
        r.w = positive_part(v.w);
        out[i] = r;
    }
}

// Flag 1.0 where the host's membership test fails (x >= -tol does not hold: NaN fails).
__global__ void nonnegative_contains_kernel(const double* x, double* partial, unsigned long long n, double tol) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double flag = (i < n && !(x[i] >= -tol)) ? 1.0 : 0.0;
    block_partial(buf, flag, BlockMax{}, partial);
}

// One thread per entry of the batch of n x n matrices: z/s on the diagonal, 0 elsewhere.
__global__ void nonnegative_nt_scaling_kernel(const double* s, const double* z, double* H, unsigned long long n,
                                              unsigned long long batch) {
    const unsigned long long i = global_index();
    if (i >= n * n * batch) return;
    const MatrixEntry e = matrix_entry(i, n);
    const unsigned long long k = e.item * n + e.row;
    H[i] = e.row == e.col ? z[k] / s[k] : 0.0;
}

void nonnegative_project_cuda(const double* in, double* out, std::uint64_t n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    const cudaStream_t st = to_stream(stream);
    const auto in_addr = reinterpret_cast<std::uintptr_t>(in);
    const auto out_addr = reinterpret_cast<std::uintptr_t>(out);
    if (n % 4 == 0 && in_addr % 32 == 0 && out_addr % 32 == 0) {
        const unsigned long long quads = n / 4;
        VELKORA_LAUNCH(nonnegative4_kernel, grid_for(quads), dim3(kThreads), 0, st,
                       reinterpret_cast<const double4_32a*>(in), reinterpret_cast<double4_32a*>(out), quads);
    } else if (n % 2 == 0 && in_addr % 16 == 0 && out_addr % 16 == 0) {
        const unsigned long long pairs = n / 2;
        VELKORA_LAUNCH(nonnegative2_kernel, grid_for(pairs), dim3(kThreads), 0, st,
                       reinterpret_cast<const double2*>(in), reinterpret_cast<double2*>(out), pairs);
    } else {
        VELKORA_LAUNCH(nonnegative_kernel, grid_for(n), dim3(kThreads), 0, st, in, out, n);
    }
}

double nonnegative_violation_cuda(const double* x, std::uint64_t n, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return 0.0;
    return sqrt(reduce_sum_sq(x, n, kSumNegativeSquares));
}

bool nonnegative_contains_cuda(const double* x, std::uint64_t n, double tol, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return true;
    return flags_all_clear("nonnegative_contains_kernel", nonnegative_contains_kernel, x, n, tol);
}

void nonnegative_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                 int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long total = n * n * batch;
    if (total == 0) return;
    VELKORA_LAUNCH(nonnegative_nt_scaling_kernel, grid_for(total), dim3(kThreads), 0, to_stream(stream), s, z, H, n,
                   batch);
}

// --- interior-point forms ---------------------------------------------------------------

// Flag 1.0 where an entry is not strictly interior (x > 0 fails, NaN included).
__global__ void nonnegative_interior_kernel(const double* x, double* partial, unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double flag = (i < n && !host::nonnegative_entry_interior(x[i])) ? 1.0 : 0.0;
    block_partial(buf, flag, BlockMax{}, partial);
}

// Per block: the minimum of the entries' steps (+inf past n).
__global__ void nonnegative_max_step_kernel(const double* x, const double* dx, double* partial,
                                            unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double step = i < n ? host::nonnegative_entry_step(x[i], dx[i]) : HUGE_VAL;
    block_partial(buf, step, BlockMinNanWins{}, partial);
}

__global__ void nonnegative_nt_state_kernel(const double* s, const double* z, double* scaling, double* lam,
                                            unsigned long long n) {
    const unsigned long long i = global_index();
    if (i >= n) return;
    const double si = s[i], zi = z[i];
    const bool inside = host::nonnegative_entry_interior(si) && host::nonnegative_entry_interior(zi);
    const host::NonnegativeStateEntry e = host::nonnegative_state_entry(si, zi);
    scaling[i] = inside ? e.d : NAN;
    lam[i] = inside ? e.lambda : NAN;
}

__global__ void nonnegative_scale_kernel(const double* scaling, const double* x, double* out, unsigned long long n,
                                         bool inverse) {
    const unsigned long long i = global_index();
    if (i >= n) return;
    out[i] = inverse ? x[i] / scaling[i] : scaling[i] * x[i];
}

__global__ void nonnegative_jordan_product_kernel(const double* x, const double* y, double* out,
                                                  unsigned long long n) {
    const unsigned long long i = global_index();
    if (i < n) out[i] = x[i] * y[i];
}

__global__ void nonnegative_jordan_solve_kernel(const double* lam, const double* x, double* out,
                                                unsigned long long n) {
    const unsigned long long i = global_index();
    if (i >= n) return;
    const double l = lam[i];
    out[i] = host::nonnegative_entry_interior(l) ? x[i] / l : NAN;
}

namespace {
struct NonnegativeScalingEntry {
    const double* d;
    bool inverse;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return r == c ? host::nonnegative_h_entry(d[r], inverse) : 0.0;
    }
};
}  // namespace

__global__ void nonnegative_scaling_csr_kernel(const double* scaling, const long long* indptr,
                                               const long long* indices, double* values, unsigned long long nnz,
                                               unsigned long long n, unsigned long long row_offset, bool inverse) {
    csr_rows(indptr, indices, values, nnz, n, row_offset, NonnegativeScalingEntry{scaling, inverse});
}

__global__ void nonnegative_scaling_coo_kernel(const double* scaling, const long long* row_indices,
                                               const long long* col_indices, double* values, unsigned long long nnz,
                                               unsigned long long n, unsigned long long row_offset, bool inverse) {
    coo_entries(row_indices, col_indices, values, nnz, n, row_offset, NonnegativeScalingEntry{scaling, inverse});
}

bool nonnegative_interior_cuda(const double* x, std::uint64_t n, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return true;
    return flags_all_clear("nonnegative_interior_kernel", nonnegative_interior_kernel, x, n);
}

double nonnegative_max_step_cuda(const double* x, const double* dx, std::uint64_t n, double alpha_max, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return alpha_max;
    const double step = combine_values(Combine::kMin, blocks_for(n), [&](double* partials, cudaStream_t st) {
        VELKORA_LAUNCH(nonnegative_max_step_kernel, grid_for(n), dim3(kThreads), 0, st, x, dx, partials, n);
    });
    return step < alpha_max ? step : alpha_max;
}

double nonnegative_spectral_min_cuda(const double* x, std::uint64_t n, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return HUGE_VAL;
    return reduce_min(x, n);
}

void nonnegative_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam,
                                       std::uint64_t n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    VELKORA_LAUNCH(nonnegative_nt_state_kernel, grid_for(n), dim3(kThreads), 0, to_stream(stream), s, z, scaling, lam,
                   n);
}

void nonnegative_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, bool inverse,
                            int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    VELKORA_LAUNCH(nonnegative_scale_kernel, grid_for(n), dim3(kThreads), 0, to_stream(stream), scaling, x, out, n,
                   inverse);
}

void nonnegative_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, int device,
                                     StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    VELKORA_LAUNCH(nonnegative_jordan_product_kernel, grid_for(n), dim3(kThreads), 0, to_stream(stream), x, y, out,
                   n);
}

void nonnegative_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, int device,
                                   StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    VELKORA_LAUNCH(nonnegative_jordan_solve_kernel, grid_for(n), dim3(kThreads), 0, to_stream(stream), lam, x, out,
                   n);
}

void nonnegative_scaling_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr,
                                          const std::int64_t* indices, double* values, std::uint64_t nnz,
                                          std::uint64_t n, std::uint64_t row_offset, bool inverse, int device,
                                          StreamHandle stream) {
    VELKORA_LAUNCH_CSR_FILL(nonnegative_scaling_csr_kernel, n, device, stream, scaling, as_index(indptr),
                            as_index(indices), values, nnz, n, row_offset, inverse);
}

void nonnegative_scaling_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                          const std::int64_t* col_indices, double* values, std::uint64_t nnz,
                                          std::uint64_t n, std::uint64_t row_offset, bool inverse, int device,
                                          StreamHandle stream) {
    VELKORA_LAUNCH_COO_FILL(nonnegative_scaling_coo_kernel, nnz, device, stream, scaling, as_index(row_indices),
                            as_index(col_indices), values, nnz, n, row_offset, inverse);
}

namespace {

// H at block-local (r, c) of the sparse fill.
struct NonnegativeHEntry {
    const double* s;
    const double* z;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return r == c ? z[r] / s[r] : 0.0;
    }
};

}  // namespace

__global__ void nonnegative_hmatrix_csr_kernel(const double* s, const double* z, const long long* indptr,
                                  const long long* indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, d, row_offset, NonnegativeHEntry{s, z});
}

__global__ void nonnegative_hmatrix_coo_kernel(const double* s, const double* z, const long long* row_indices,
                                  const long long* col_indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, d, row_offset, NonnegativeHEntry{s, z});
}

void nonnegative_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream) {
    VELKORA_LAUNCH_CSR_FILL(nonnegative_hmatrix_csr_kernel, d, device, stream, s, z, as_index(indptr), as_index(indices),
                            values, nnz, d, row_offset);
}

void nonnegative_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream) {
    VELKORA_LAUNCH_COO_FILL(nonnegative_hmatrix_coo_kernel, nnz, device, stream, s, z, as_index(row_indices),
                            as_index(col_indices), values, nnz, d, row_offset);
}

}  // namespace velkora::torv::cones::device
