// Exponential cones on the device: projection, violation, membership and the
// block-diagonal PSB scaling matrices, one thread per cone (per entry for the matrices).
// The per-cone arithmetic is the host's own (host/exponential_rules.hpp), so host and
// device make the same comparisons, NaN included.
#include "cuda/exponential_cuda.hpp"

#include "cuda/device_common.cuh"
#include "host/exponential_rules.hpp"

namespace velkora::torv::cones::device {

// One thread per cone k < count: out cone k = projection of in cone k (in may equal out).
__global__ void exp_project_kernel(const double* in, double* out, unsigned long long count) {
    const unsigned long long k = global_index();
    if (k >= count) return;
    const double x = in[3 * k], y = in[3 * k + 1], z = in[3 * k + 2];
    double px, py, pz;
    expcone::project_cone(x, y, z, px, py, pz);
    out[3 * k] = px;
    out[3 * k + 1] = py;
    out[3 * k + 2] = pz;
}

// One thread per cone: squared distance to the image; block sums into partial[block].
__global__ void exp_violation_kernel(const double* in, double* partial, unsigned long long count) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    const double v = k < count ? expcone::violation_sq(in[3 * k], in[3 * k + 1], in[3 * k + 2]) : 0.0;
    const double total = block_sum(buf, v);
    if (threadIdx.x == 0) partial[blockIdx.x] = total;
}

// One thread per cone: flag 1.0 when the cone fails the tolerance test (NaN fails),
// block maximum into partial[block].
__global__ void exp_contains_kernel(const double* in, double* partial, unsigned long long count, double tol) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    const double flag = (k < count && !expcone::member(in[3 * k], in[3 * k + 1], in[3 * k + 2], tol)) ? 1.0 : 0.0;
    const double top = block_max(buf, flag);
    if (threadIdx.x == 0) partial[blockIdx.x] = top;
}

// One thread per entry of `batch` (3 count) x (3 count) matrices. Entries between
// different cones are 0; inside cone k of item b, with the pair (s_k, z_k) balanced by
// a power of two (max |s_i| in [1, 2)), d = z - s, sigma = s.s (fused multiply-adds
// from 0, components 0, 1, 2) and tau = d.s, entry (r, c) is
// [r = c] + d_r s_c / sigma + s_r d_c / sigma - tau s_r s_c / sigma^2.
__global__ void exp_nt_scaling_kernel(const double* s, const double* z, double* H, unsigned long long count,
                                      unsigned long long batch) {
    const unsigned long long d = 3 * count;
    const unsigned long long i = global_index();
    if (i >= d * d * batch) return;
    const MatrixEntry e = matrix_entry(i, d);
    const unsigned long long cone = e.row / 3;
    if (cone != e.col / 3) {
        H[i] = 0.0;
        return;
    }
    const unsigned long long base = e.item * d + 3 * cone;
    H[i] = expcone::device_block_entry(s + base, z + base, static_cast<unsigned>(e.row - 3 * cone),
                                       static_cast<unsigned>(e.col - 3 * cone));
}

void exp_project_cuda(const double* in, double* out, std::uint64_t count, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (count == 0) return;
    VELKORA_LAUNCH(exp_project_kernel, grid_for(count), dim3(kThreads), 0, to_stream(stream), in, out, count);
}

double exp_violation_cuda(const double* in, std::uint64_t count, int device) {
    const DeviceGuard guard(device);
    if (count == 0) return 0.0;
    return sqrt(reduce_block_partials("exp_violation_kernel", exp_violation_kernel, Combine::kSum, in, count));
}

bool exp_contains_cuda(const double* in, std::uint64_t count, double tol, int device) {
    const DeviceGuard guard(device);
    if (count == 0) return true;
    return flags_all_clear("exp_contains_kernel", exp_contains_kernel, in, count, tol);
}

void exp_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t count, std::uint64_t batch,
                         int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long d = 3 * count;
    const unsigned long long total = d * d * batch;
    if (total == 0) return;
    VELKORA_LAUNCH(exp_nt_scaling_kernel, grid_for(total), dim3(kThreads), 0, to_stream(stream), s, z, H, count,
                   batch);
}

}  // namespace velkora::torv::cones::device
