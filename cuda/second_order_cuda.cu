// Second-order cone on the device: projection, violation, membership, and the
// Nesterov-Todd scaling matrices computed one (item, column) per block.
#include "cuda/second_order_cuda.hpp"

#include <cstring>
#include <stdexcept>

#include "cuda/device_common.cuh"
#include "host/second_order.hpp"

namespace velkora::torv::cones::device {

// out = projection of x onto the cone, one thread per entry. The head and the tail norm
// come by value: with out == x, thread 0's write of out[0] must not be seen by others.
__global__ void soc_project_kernel(const double* x, double* out, unsigned long long n, double head,
                                   double tail_norm) {
    const unsigned long long i = global_index();
    if (i >= n) return;
    const double t = tail_norm;
    if (head >= t) {
        out[i] = x[i];
    } else if (-head >= t) {
        out[i] = 0.0;
    } else {
        const double a = host::soc_projection_head(head, t);
        out[i] = i == 0 ? a : (t > 0.0 ? (a / t) * x[i] : 0.0);
    }
}

// Per block: sum over its entries of ((x_i - p_i) * scale)^2, p the projection (x is only
// read); `scale` is 1 or the power of two that rescues a sum out of range.
__global__ void soc_violation_kernel(const double* x, double* partial, unsigned long long n, double tail_norm,
                                     double scale) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    double v = 0.0;
    if (i < n) {
        const double head = x[0];
        const double t = tail_norm;
        const double xi = x[i];
        double p;
        if (head >= t) {
            p = xi;
        } else if (-head >= t) {
            p = 0.0;
        } else {
            const double a = host::soc_projection_head(head, t);
            p = i == 0 ? a : (a / t) * xi;
        }
        const double d = (xi - p) * scale;
        v = d * d;
    }
    const double total = block_sum(buf, v);
    if (threadIdx.x == 0) partial[blockIdx.x] = total;
}

// Block (j, k) writes row j of item k's NT matrix H = r (2 (J w)(J w)^T - J) (host/
// second_order.hpp), which is also its column j: H is symmetric bit for bit, and rows are
// stored contiguously. s, z and H point at item 0 of this launch's chunk (items on grid y).
// Block-wide maxima of |s_i| and |z_i| give the unit-scale exponents; block-wide sums of
// s'_i^2, z'_i^2 and s'_i z'_i over the tails of the unit-scaled pair give thread 0 the
// scaling point's scalars, published in shared memory by a barrier; then every thread
// forms w_j and, for its rows, w_row from s and z and writes the entry. No vector is stored.
// The inputs are not checked: a pair that is not interior gives meaningless entries.
__global__ void soc_nt_scaling_columns_kernel(const double* s, const double* z, double* H, unsigned long long n) {
    VELKORA_DYNAMIC_SHARED(double, buf);  // kThreads doubles: the block-wide sums and maxima
    __shared__ int s_exp;
    __shared__ int z_exp;
    __shared__ host::SocNtPoint point;

    const unsigned long long j = blockIdx.x;
    const unsigned long long k = blockIdx.y;
    const double* s_item = s + k * n;
    const double* z_item = z + k * n;
    double* Hk = H + k * n * n;
    const unsigned long long stride = blockDim.x;

    // 1. max |s_i| and max |z_i| (infinite when an entry is not finite) give the exponents.
    double s_top = 0.0;
    double z_top = 0.0;
    for (unsigned long long i = threadIdx.x; i < n; i += stride) {
        s_top = fmax(s_top, host::soc_scale_magnitude(s_item[i]));
        z_top = fmax(z_top, host::soc_scale_magnitude(z_item[i]));
    }
    s_top = block_max(buf, s_top);
    z_top = block_max(buf, z_top);
    if (threadIdx.x == 0) {
        s_exp = host::soc_quarter_exponent(s_top);
        z_exp = host::soc_quarter_exponent(z_top);
    }
    __syncthreads();
    const host::SocPow2 su = host::soc_pow2(-2 * s_exp);
    const host::SocPow2 zu = host::soc_pow2(-2 * z_exp);

    // 2. Tail sums of the unit-scaled pair; thread 0 turns them into the scaling point.
    double ss = 0.0;
    double zz = 0.0;
    double sz = 0.0;
    for (unsigned long long i = 1 + threadIdx.x; i < n; i += stride) {
        const double a = host::soc_pow2_apply(su, s_item[i]);
        const double b = host::soc_pow2_apply(zu, z_item[i]);
        ss += a * a;
        zz += b * b;
        sz += a * b;
    }
    static_assert(kThreads == host::kSocNtLanes, "the host set-up adds in the order of these block sums");
    ss = block_sum(buf, ss);
    zz = block_sum(buf, zz);
    sz = block_sum(buf, sz);
    if (threadIdx.x == 0)
        host::soc_nt_point_scalars(host::soc_pow2_apply(su, s_item[0]), ss, host::soc_pow2_apply(zu, z_item[0]), zz,
                                   sz, s_exp, z_exp, point);
    __syncthreads();

    // 3. Row j.
    const double wj = host::soc_nt_point_entry(point, s_item[j], z_item[j], j);
    for (unsigned long long row = threadIdx.x; row < n; row += stride) {
        const double wr = host::soc_nt_point_entry(point, s_item[row], z_item[row], row);
        Hk[j * n + row] = host::soc_nt_h_entry(point, wj, wr, j, row);
    }
}

namespace {

// Grid dimension y (and z) may not exceed 65 535 blocks.
constexpr unsigned long long kMaxGridY = 65535;

// ||x_bar|| by the multi-pass reduction (entry 0 excluded); 0 for a one-entry cone. A sum
// of squares out of range is summed again with the entries rescaled (host::soc_sum_sq_trusted).
double tail_norm(const double* x, unsigned long long n) {
    if (n < 2) return 0.0;
    const double sum = reduce_sum_sq(x, n, kSumTailSquares);
    if (host::soc_sum_sq_trusted(sum)) return sqrt(sum);
    const int shift = host::soc_rescue_shift(sum);
    const double scaled = reduce_sum_sq(x, n, shift > 0 ? kSumTailSquaresShrunk : kSumTailSquaresGrown);
    return ldexp(sqrt(scaled), shift);
}

// The head, copied back after the device has finished all queued work.
double read_head(const double* x) {
    double head = 0.0;
    check_cuda(cudaMemcpy(&head, x, sizeof(double), cudaMemcpyDeviceToHost), "cudaMemcpy");
    return head;
}

// Columns on grid x, items on grid y in chunks of at most 65 535 (one launch per chunk).
void launch_columns(const double* s, const double* z, double* H, unsigned long long n, unsigned long long batch,
                    cudaStream_t stream) {
    for (unsigned long long item = 0; item < batch; item += kMaxGridY) {
        const unsigned long long chunk = batch - item < kMaxGridY ? batch - item : kMaxGridY;
        const dim3 grid(static_cast<unsigned>(n), static_cast<unsigned>(chunk), 1);
        VELKORA_LAUNCH(soc_nt_scaling_columns_kernel, grid, dim3(kThreads), kThreads * sizeof(double), stream,
                       s + item * n, z + item * n, H + item * n * n, n);
    }
}

void soc_nt_dispatch(const char* method, const double* s, const double* z, double* H, std::uint64_t n,
                     std::uint64_t batch, int device, StreamHandle stream) {
    ensure_device(device);
    if (std::strcmp(method, "cublas") == 0)
        throw std::runtime_error("CUDA SOC cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON");
    if (n == 0 || batch == 0) return;
    launch_columns(s, z, H, n, batch, to_stream(stream));
}

}  // namespace

void soc_project_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream) {
    ensure_device(device);
    if (n == 0) return;
    synchronize_device();
    const double head = read_head(x);
    const double t = tail_norm(x, n);
    VELKORA_LAUNCH(soc_project_kernel, grid_for(n), dim3(kThreads), 0, to_stream(stream), x, out, n, head, t);
}

double soc_violation_cuda(const double* x, std::uint64_t n, int device) {
    ensure_device(device);
    if (n == 0) return 0.0;
    synchronize_device();
    const double t = tail_norm(x, n);
    const unsigned long long blocks = blocks_for(n);
    DeviceBuffer partial(blocks);
    auto distance_sq = [&](double scale) {
        VELKORA_LAUNCH(soc_violation_kernel, grid_for(n), dim3(kThreads), 0, nullptr, x, partial.get(), n, t, scale);
        return reduce_sum_sq(partial.get(), blocks, kSumPlain);
    };
    const double sum = distance_sq(1.0);
    double distance = sqrt(sum);
    if (!host::soc_sum_sq_trusted(sum)) {
        const int shift = host::soc_rescue_shift(sum);
        distance = ldexp(sqrt(distance_sq(ldexp(1.0, -shift))), shift);
    }
    partial.release();
    synchronize_device();
    return distance;
}

bool soc_contains_cuda(const double* x, std::uint64_t n, double tol, int device) {
    ensure_device(device);
    if (n == 0) return true;
    synchronize_device();
    const double head = read_head(x);
    const double t = tail_norm(x, n);
    return head >= t - tol;
}

void soc_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream) {
    soc_nt_dispatch(kSocDefaultNtMethod, s, z, H, n, batch, device, stream);
}

void soc_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream) {
    soc_nt_dispatch("custom", s, z, H, n, batch, device, stream);
}

void soc_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream) {
    soc_nt_dispatch("cublas", s, z, H, n, batch, device, stream);
}

}  // namespace velkora::torv::cones::device
