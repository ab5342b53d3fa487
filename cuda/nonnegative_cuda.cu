// Nonnegative orthant on the device: projection (four-wide, two-wide and scalar
// kernels), violation, membership and the diagonal NT scaling matrices.
#include "cuda/nonnegative_cuda.hpp"

#include <cstdint>

#include "cuda/device_common.cuh"

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

// Flag 1.0 where the host's membership test fails (-tol > x; NaN never fails).
__global__ void nonnegative_contains_kernel(const double* x, double* partial, unsigned long long n, double tol) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double flag = (i < n && -tol > x[i]) ? 1.0 : 0.0;
    const double top = block_max(buf, flag);
    if (threadIdx.x == 0) partial[blockIdx.x] = top;
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

}  // namespace velkora::torv::cones::device
