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
        const double a = (head + t) * 0.5;
        out[i] = i == 0 ? a : (t > 0.0 ? (a / t) * x[i] : 0.0);
    }
}

// Per block: sum over its entries of (x_i - p_i)^2, p the projection (x is only read).
__global__ void soc_violation_kernel(const double* x, double* partial, unsigned long long n, double tail_norm) {
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
            const double a = (head + t) * 0.5;
            p = i == 0 ? a : (a / t) * xi;
        }
        const double d = xi - p;
        v = d * d;
    }
    const double total = block_sum(buf, v);
    if (threadIdx.x == 0) partial[blockIdx.x] = total;
}

namespace {

// x^e for x = (x_0, x_bar), ||x_bar|| = r: head (l2^e + l1^e)*0.5, tail scale
// ((l1^e - l2^e)*0.5)/r (0 when r = 0), l1,2 = x_0 +- r.
__device__ __forceinline__ void jordan_power(double x0, double r, double e, double& head, double& scale) {
    const double p1 = pow(x0 + r, e);
    const double p2 = pow(x0 - r, e);
    head = (p2 + p1) * 0.5;
    scale = r > 0.0 ? ((p1 - p2) * 0.5) / r : 0.0;
}

// Quadratic representation of (h, u) with ||u||^2 = q: [[top, two_head u^T], [two_head u, beta I + 2 u u^T]].
struct QuadScalars {
    double top, beta, two_head;
};

__device__ __forceinline__ QuadScalars quad_scalars(double h, double q) {
    const double h2 = h * h;
    return QuadScalars{h2 + q, h2 - q, h * 2.0};
}

// Entries of P(x) w for x = (h, x_bar), given dot = x_bar . w_bar: head and tail entry k.
__device__ __forceinline__ double quad_head(const QuadScalars& p, double w0, double dot) {
    return p.top * w0 + dot * p.two_head;
}
__device__ __forceinline__ double quad_tail(const QuadScalars& p, double xk, double w0, double wk, double dot) {
    return ((xk * p.two_head) * w0 + p.beta * wk) + (xk + xk) * dot;
}

}  // namespace

// Block (j, k) writes column j of item k's NT matrix H = P(c) P(b) P(c), with c = s^-1/2,
// a = s^1/2, y = P(a) z and b = y^1/2. s, z and H point at item 0 of this launch's chunk
// (items on grid y). The matrix is computed for s / 4^es and z / 4^ez (es, ez from the largest
// |entry| of each, soc_quarter_exponent) and written times 4^(ez - es), which is H(s, z); no
// square is formed at the input's scale. Every block-wide sum or maximum lands in its own
// shared scalar, published by a barrier before anyone reads it or the tree buffer is reused.
// Tail entries of y, v = P(c) e_j and u = P(b) v are recomputed per thread from s and z; no
// vector is stored.
__global__ void soc_nt_scaling_columns_kernel(const double* s, const double* z, double* H, unsigned long long n) {
    VELKORA_DYNAMIC_SHARED(double, buf);  // kThreads doubles: the block-wide sums and maxima
    __shared__ double s_top;
    __shared__ int s_exp;
    __shared__ int z_exp;
    __shared__ double a_scale;
    __shared__ double c_scale;
    __shared__ double b_scale;
    __shared__ double a_dot_z;
    __shared__ double bv;
    __shared__ double cu;
    __shared__ QuadScalars pa;
    __shared__ QuadScalars pc;
    __shared__ QuadScalars pb;

    const unsigned long long j = blockIdx.x;
    const unsigned long long k = blockIdx.y;
    const double* s_item = s + k * n;
    const double* z_item = z + k * n;
    double* Hk = H + k * n * n;
    const unsigned long long first = 1 + threadIdx.x;
    const unsigned long long stride = blockDim.x;

    // 0. max |s_i| and max |z_i| (infinite when an entry is not finite) give the exponents.
    double top = 0.0;
    for (unsigned long long i = threadIdx.x; i < n; i += stride)
        top = fmax(top, host::soc_scale_magnitude(s_item[i]));
    top = block_max(buf, top);
    if (threadIdx.x == 0) s_top = top;
    __syncthreads();
    top = 0.0;
    for (unsigned long long i = threadIdx.x; i < n; i += stride)
        top = fmax(top, host::soc_scale_magnitude(z_item[i]));
    top = block_max(buf, top);
    if (threadIdx.x == 0) {
        s_exp = host::soc_quarter_exponent(s_top);
        z_exp = host::soc_quarter_exponent(top);
    }
    __syncthreads();
    const int s_shift = -2 * s_exp;
    const int z_shift = -2 * z_exp;
    const int h_shift = 2 * (z_exp - s_exp);
    // The scaled pair s / 4^es, z / 4^ez, read entry by entry.
    auto S = [&](unsigned long long i) { return ldexp(s_item[i], s_shift); };
    auto Z = [&](unsigned long long i) { return ldexp(z_item[i], z_shift); };

    // 1. ||s_bar||^2; a = s^1/2, c = s^-1/2 and their quadratic representations.
    double acc = 0.0;
    for (unsigned long long i = first; i < n; i += stride) acc += S(i) * S(i);
    double sum = block_sum(buf, acc);
    if (threadIdx.x == 0) {
        const double ts = sqrt(sum);
        double a_head, c_head, as, cs;
        jordan_power(S(0), ts, 0.5, a_head, as);
        jordan_power(S(0), ts, -0.5, c_head, cs);
        a_scale = as;
        c_scale = cs;
        pa = quad_scalars(a_head, (as * as) * sum);
        pc = quad_scalars(c_head, (cs * cs) * sum);
    }
    __syncthreads();

    // 2. a_bar . z_bar, then ||y_bar||^2 for y = P(a) z.
    acc = 0.0;
    for (unsigned long long i = first; i < n; i += stride) acc += S(i) * Z(i);
    sum = block_sum(buf, acc);
    if (threadIdx.x == 0) a_dot_z = a_scale * sum;
    __syncthreads();
    const double z0 = Z(0);
    acc = 0.0;
    for (unsigned long long i = first; i < n; i += stride) {
        const double yi = quad_tail(pa, a_scale * S(i), z0, Z(i), a_dot_z);
        acc += yi * yi;
    }
    sum = block_sum(buf, acc);

    // 3. b = y^1/2 and its quadratic representation.
    if (threadIdx.x == 0) {
        const double y0 = quad_head(pa, z0, a_dot_z);
        const double ty = sqrt(sum);
        double b_head, bs;
        jordan_power(y0, ty, 0.5, b_head, bs);
        b_scale = bs;
        pb = quad_scalars(b_head, (bs * bs) * sum);
    }
    __syncthreads();

    // 4. v = P(c) e_j; b_bar . v_bar gives u = P(b) v.
    const double cj = j == 0 ? 0.0 : c_scale * S(j);
    const double v0 = j == 0 ? pc.top : cj * pc.two_head;
    auto v_tail = [&](unsigned long long i, double ci) {
        if (j == 0) return ci * pc.two_head;
        const double off = (ci + ci) * cj;
        return i == j ? pc.beta + off : off;
    };
    auto y_tail = [&](unsigned long long i) { return quad_tail(pa, a_scale * S(i), z0, Z(i), a_dot_z); };
    acc = 0.0;
    for (unsigned long long i = first; i < n; i += stride) acc += (b_scale * y_tail(i)) * v_tail(i, c_scale * S(i));
    sum = block_sum(buf, acc);
    if (threadIdx.x == 0) bv = sum;
    __syncthreads();
    const double u0 = quad_head(pb, v0, bv);

    // 5. c_bar . u_bar, then column j of P(c) u.
    acc = 0.0;
    for (unsigned long long i = first; i < n; i += stride) {
        const double ci = c_scale * S(i);
        acc += ci * quad_tail(pb, b_scale * y_tail(i), v0, v_tail(i, ci), bv);
    }
    sum = block_sum(buf, acc);
    if (threadIdx.x == 0) cu = sum;
    __syncthreads();
    for (unsigned long long row = threadIdx.x; row < n; row += stride) {
        double value;
        if (row == 0) {
            value = quad_head(pc, u0, cu);
        } else {
            const double ci = c_scale * S(row);
            const double ui = quad_tail(pb, b_scale * y_tail(row), v0, v_tail(row, ci), bv);
            value = quad_tail(pc, ci, u0, ui, cu);
        }
        Hk[row * n + j] = ldexp(value, h_shift);
    }
}

namespace {

// Grid dimension y (and z) may not exceed 65 535 blocks.
constexpr unsigned long long kMaxGridY = 65535;

// ||x_bar|| by the multi-pass reduction on `stream` (entry 0 excluded); 0 for a one-entry cone.
double tail_norm(const double* x, unsigned long long n, cudaStream_t stream) {
    return n >= 2 ? sqrt(reduce_sum_sq(x, n, kSumTailSquares, stream)) : 0.0;
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
    const DeviceGuard guard(device);
    if (std::strcmp(method, "cublas") == 0)
        throw std::runtime_error("CUDA SOC cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON");
    if (n == 0 || batch == 0) return;
    launch_columns(s, z, H, n, batch, to_stream(stream));
}

}  // namespace

void soc_project_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (n == 0) return;
    // The head and the tail norm come back on the caller's stream, after its earlier work.
    const cudaStream_t st = to_stream(stream);
    const double head = read_device_double(x, st);
    const double t = tail_norm(x, n, st);
    VELKORA_LAUNCH(soc_project_kernel, grid_for(n), dim3(kThreads), 0, st, x, out, n, head, t);
}

double soc_violation_cuda(const double* x, std::uint64_t n, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return 0.0;
    const double t = tail_norm(x, n, kScalarStream);
    return sqrt(reduce_block_partials("soc_violation_kernel", soc_violation_kernel, Combine::kSum, x, n, t));
}

bool soc_contains_cuda(const double* x, std::uint64_t n, double tol, int device) {
    const DeviceGuard guard(device);
    if (n == 0) return true;
    const double head = read_device_double(x, kScalarStream);
    const double t = tail_norm(x, n, kScalarStream);
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
