// Second-order cone on the device: projection, violation, membership, and the
// Nesterov-Todd scaling matrices computed one (item, column) per block.
#include "cones/second_order/second_order.hpp"

#include <cstring>
#include <stdexcept>

#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"
#include "host/sparse_fill.hpp"

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
    block_partial(buf, v, BlockSum{}, partial);
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
    s_top = block_reduce(buf, s_top, BlockMax{});
    z_top = block_reduce(buf, z_top, BlockMax{});
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
    ss = block_reduce(buf, ss, BlockSum{});
    zz = block_reduce(buf, zz, BlockSum{});
    sz = block_reduce(buf, sz, BlockSum{});
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

// ||x_bar|| by the multi-pass reduction on `stream` (entry 0 excluded); 0 for a one-entry
// cone. A sum of squares out of range (host::soc_sum_sq_trusted) is summed again with the
// entries multiplied by 2^-shift, shift = +-host::kSocRescueShift (exact: a power of two).
double tail_norm(const double* x, unsigned long long n, cudaStream_t stream) {
    if (n < 2) return 0.0;
    const double sum = reduce_sum_sq(x, n, kSumSquaresAfterFirst, stream);
    if (host::soc_sum_sq_trusted(sum)) return sqrt(sum);
    const int shift = host::soc_rescue_shift(sum);
    const double factor = shift > 0 ? 1.0 / host::kSocRescueFactor : host::kSocRescueFactor;
    const double scaled = reduce_sum_sq(x, n, kSumScaledSquaresAfterFirst, stream, factor);
    return ldexp(sqrt(scaled), shift);
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
    auto distance_sq = [&](double scale) {
        return reduce_block_partials("soc_violation_kernel", soc_violation_kernel, Combine::kSum, x, n, t, scale);
    };
    const double sum = distance_sq(1.0);
    if (host::soc_sum_sq_trusted(sum)) return sqrt(sum);
    const int shift = host::soc_rescue_shift(sum);
    return ldexp(sqrt(distance_sq(ldexp(1.0, -shift))), shift);
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

// --- interior-point forms: one block of kThreads per item (blockIdx.x) -------------------

namespace {

static_assert(kThreads == host::kSocNtLanes, "the host sums in the order of these block sums");

// Sum of term(i) over i = 1 .. n-1 in lane order (the host's soc_lane_sum), returned to every
// thread. All threads of the block must call it; `buf` holds kThreads doubles.
template <class Term>
__device__ __forceinline__ double item_tail_sum(double* buf, unsigned long long n, const Term& term) {
    double acc = 0.0;
    for (unsigned long long i = 1 + threadIdx.x; i < n; i += blockDim.x) acc += term(i);
    block_reduce(buf, acc, BlockSum{});
    const double total = buf[0];
    __syncthreads();
    return total;
}

// Unit-scale exponent of an item (soc_quarter_exponent of its largest |x_i|), to every thread.
__device__ __forceinline__ int item_exponent(double* buf, const double* x, unsigned long long n) {
    double top = 0.0;
    for (unsigned long long i = threadIdx.x; i < n; i += blockDim.x) top = fmax(top, host::soc_scale_magnitude(x[i]));
    block_reduce(buf, top, BlockMax{});
    const double all = buf[0];
    __syncthreads();
    return host::soc_quarter_exponent(all);
}

struct ItemUnit {
    int e;
    host::SocPow2 factor;
    double head;
    double tail_sq;
};

__device__ __forceinline__ ItemUnit item_unit(double* buf, const double* x, unsigned long long n) {
    ItemUnit u;
    u.e = item_exponent(buf, x, n);
    u.factor = host::soc_pow2(-2 * u.e);
    u.head = host::soc_pow2_apply(u.factor, x[0]);
    const host::SocPow2 f = u.factor;
    u.tail_sq = item_tail_sum(buf, n, [&](unsigned long long i) {
        const double a = host::soc_pow2_apply(f, x[i]);
        return a * a;
    });
    return u;
}

}  // namespace

// flags[item] = 1.0 when the item is not strictly interior, else 0.0.
__global__ void soc_interior_kernel(const double* x, double* flags, unsigned long long n) {
    __shared__ double buf[kThreads];
    const double* xi = x + static_cast<unsigned long long>(blockIdx.x) * n;
    const ItemUnit u = item_unit(buf, xi, n);
    if (threadIdx.x == 0) flags[blockIdx.x] = host::soc_unit_interior(u.head, u.tail_sq) ? 0.0 : 1.0;
}

__global__ void soc_max_step_kernel(const double* x, const double* dx, double* steps, unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long off = static_cast<unsigned long long>(blockIdx.x) * n;
    const double* xi = x + off;
    const double* di = dx + off;
    const ItemUnit xu = item_unit(buf, xi, n);
    const int ed = item_exponent(buf, di, n);
    const host::SocPow2 df = host::soc_pow2(-2 * ed);
    const host::SocPow2 xf = xu.factor;
    const double dd = item_tail_sum(buf, n, [&](unsigned long long i) {
        const double a = host::soc_pow2_apply(df, di[i]);
        return a * a;
    });
    const double xd = item_tail_sum(buf, n, [&](unsigned long long i) {
        return host::soc_pow2_apply(xf, xi[i]) * host::soc_pow2_apply(df, di[i]);
    });
    if (threadIdx.x == 0)
        steps[blockIdx.x] =
            host::soc_step_from_sums(xu.head, host::soc_pow2_apply(df, di[0]), xu.tail_sq, dd, xd, xu.e, ed);
}

__global__ void soc_spectral_min_kernel(const double* x, double* values, unsigned long long n) {
    __shared__ double buf[kThreads];
    const ItemUnit u = item_unit(buf, x + static_cast<unsigned long long>(blockIdx.x) * n, n);
    if (threadIdx.x == 0) values[blockIdx.x] = host::soc_spectral_min_from_sums(u.head, u.tail_sq, u.e);
}

// The state (header and w) and lambda of each item; NaN throughout for a pair that is not
// interior.
__global__ void soc_nt_state_kernel(const double* s, const double* z, double* scaling, double* lam,
                                    unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long item = blockIdx.x;
    const double* si = s + item * n;
    const double* zi = z + item * n;
    double* state = scaling + item * host::soc_state_size(n);
    double* li = lam + item * n;
    const int es = item_exponent(buf, si, n);
    const int ez = item_exponent(buf, zi, n);
    const host::SocPow2 su = host::soc_pow2(-2 * es);
    const host::SocPow2 zu = host::soc_pow2(-2 * ez);
    const double ss = item_tail_sum(buf, n, [&](unsigned long long i) {
        const double a = host::soc_pow2_apply(su, si[i]);
        return a * a;
    });
    const double zz = item_tail_sum(buf, n, [&](unsigned long long i) {
        const double b = host::soc_pow2_apply(zu, zi[i]);
        return b * b;
    });
    const double sz = item_tail_sum(buf, n, [&](unsigned long long i) {
        return host::soc_pow2_apply(su, si[i]) * host::soc_pow2_apply(zu, zi[i]);
    });
    const double s0u = host::soc_pow2_apply(su, si[0]);
    const double z0u = host::soc_pow2_apply(zu, zi[0]);
    host::SocNtPoint p;
    const bool interior = host::soc_nt_point_scalars(s0u, ss, z0u, zz, sz, es, ez, p);
    const host::SocLambdaCoefs c = host::soc_lambda_coefs(p, s0u, z0u);
    for (unsigned long long i = threadIdx.x; i < n; i += blockDim.x) {
        const double w = host::soc_nt_point_entry(p, si[i], zi[i], i);
        const double l = i == 0 ? host::soc_pow2_apply(c.scale, c.head) : host::soc_lambda_tail(c, p, si[i], zi[i]);
        state[host::kSocStateHeader + i] = interior ? w : NAN;
        li[i] = interior ? l : NAN;
    }
    if (threadIdx.x == 0) host::soc_state_header(p, interior, state);
}

__global__ void soc_scale_kernel(const double* scaling, const double* x, double* out, unsigned long long n,
                                 bool inverse) {
    __shared__ double buf[kThreads];
    const unsigned long long item = blockIdx.x;
    const host::SocState st = host::soc_state(scaling + item * host::soc_state_size(n));
    const double* xi = x + item * n;
    double* oi = out + item * n;
    const double x0 = xi[0];  // read by every thread before the sum's barriers (out may be x)
    const double dot = item_tail_sum(buf, n, [&](unsigned long long i) { return st.w[i] * xi[i]; });
    const host::SocScaleCoefs c = host::soc_scale_coefs(st, x0, dot, inverse);
    for (unsigned long long i = threadIdx.x; i < n; i += blockDim.x)
        oi[i] = i == 0 ? host::soc_pow2_apply(c.scale, c.head) : host::soc_scale_tail(c, xi[i], st.w[i]);
}

__global__ void soc_jordan_product_kernel(const double* x, const double* y, double* out, unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long item = blockIdx.x;
    const double* xi = x + item * n;
    const double* yi = y + item * n;
    double* oi = out + item * n;
    const double x0 = xi[0], y0 = yi[0];
    const double dot = item_tail_sum(buf, n, [&](unsigned long long i) { return xi[i] * yi[i]; });
    for (unsigned long long i = threadIdx.x; i < n; i += blockDim.x)
        oi[i] = i == 0 ? x0 * y0 + dot : x0 * yi[i] + y0 * xi[i];
}

__global__ void soc_jordan_solve_kernel(const double* lam, const double* x, double* out, unsigned long long n) {
    __shared__ double buf[kThreads];
    const unsigned long long item = blockIdx.x;
    const double* li = lam + item * n;
    const double* xi = x + item * n;
    double* oi = out + item * n;
    const double x0 = xi[0];
    const ItemUnit u = item_unit(buf, li, n);
    const host::SocPow2 f = u.factor;
    const double lx = item_tail_sum(buf, n, [&](unsigned long long i) { return host::soc_pow2_apply(f, li[i]) * xi[i]; });
    const bool interior = host::soc_unit_interior(u.head, u.tail_sq);
    const host::SocSolveCoefs c = host::soc_solve_coefs(u.head, u.tail_sq, lx, x0, u.e);
    for (unsigned long long i = threadIdx.x; i < n; i += blockDim.x) {
        const double v = i == 0 ? host::soc_pow2_apply(c.scale, c.head) : host::soc_solve_tail(c, li[i], xi[i]);
        oi[i] = interior ? v : NAN;
    }
}

namespace {
// H(i, j) or H^-1(i, j) of item b from its stored state.
struct SocStateItemEntry {
    const double* scaling;
    unsigned long long n;
    bool inverse;
    __device__ __forceinline__ double operator()(unsigned long long b, unsigned long long i,
                                                 unsigned long long j) const {
        return host::soc_state_h_entry(host::soc_state(scaling + b * host::soc_state_size(n)), i, j, inverse);
    }
};
using SocStateBlocks = host::BatchedBlocks<SocStateItemEntry>;
constexpr unsigned kExpansionFields = 5;
}  // namespace

__global__ void soc_state_csr_kernel(const double* scaling, const long long* indptr, const long long* indices,
                                     double* values, unsigned long long nnz, unsigned long long n,
                                     unsigned long long batch, unsigned long long row_offset, bool inverse) {
    csr_rows(indptr, indices, values, nnz, n * batch, row_offset,
             SocStateBlocks{n, SocStateItemEntry{scaling, n, inverse}});
}

__global__ void soc_state_coo_kernel(const double* scaling, const long long* row_indices,
                                     const long long* col_indices, double* values, unsigned long long nnz,
                                     unsigned long long n, unsigned long long batch, unsigned long long row_offset,
                                     bool inverse) {
    coo_entries(row_indices, col_indices, values, nnz, n * batch, row_offset,
                SocStateBlocks{n, SocStateItemEntry{scaling, n, inverse}});
}

// The expansion scalars of each item (d0, d1, u0, u_coef, v_coef) into prep[5 item ..].
__global__ void soc_expansion_prep_kernel(const double* scaling, double* prep, unsigned long long n, bool inverse) {
    __shared__ double buf[kThreads];
    const unsigned long long item = blockIdx.x;
    const host::SocState st = host::soc_state(scaling + item * host::soc_state_size(n));
    const double tail_sq = item_tail_sum(buf, n, [&](unsigned long long i) { return st.w[i] * st.w[i]; });
    if (threadIdx.x == 0) {
        const host::SocExpansion x = host::soc_expansion(st, tail_sq, inverse);
        double* out = prep + kExpansionFields * item;
        out[0] = x.d0;
        out[1] = x.d1;
        out[2] = x.u0;
        out[3] = x.u_coef;
        out[4] = x.v_coef;
    }
}

// One block per row: the n*batch cone rows from row_offset, then the 2*batch extra rows.
__global__ void soc_expansion_csr_kernel(const double* scaling, const double* prep, const long long* indptr,
                                         const long long* indices, double* values, unsigned long long nnz,
                                         unsigned long long n, unsigned long long batch,
                                         unsigned long long row_offset, unsigned long long extra_offset) {
    const unsigned long long k = blockIdx.x;
    const unsigned long long cone_rows = n * batch;
    const unsigned long long row = k < cone_rows ? row_offset + k : extra_offset + (k - cone_rows);
    const host::SocExpansionIndex rix =
        host::soc_expansion_index(static_cast<long long>(row), n, batch, row_offset, extra_offset);
    const double* p = prep + kExpansionFields * rix.item;
    const host::SocExpansion x{p[0], p[1], p[2], p[3], p[4]};
    const double* w = scaling + rix.item * host::soc_state_size(n) + host::kSocStateHeader;
    csr_row_walk(indptr, indices, values, nnz, row, [&](long long col) {
        return host::soc_expansion_entry(x, w, rix,
                                         host::soc_expansion_index(col, n, batch, row_offset, extra_offset));
    });
}

bool soc_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return true;
    return combine_values(Combine::kMax, batch, [&](double* flags, cudaStream_t st) {
               VELKORA_LAUNCH(soc_interior_kernel, grid_blocks(batch), dim3(kThreads), 0, st, x, flags,
                              static_cast<unsigned long long>(n));
           }) == 0.0;
}

double soc_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return alpha_max;
    const double step = combine_values(Combine::kMin, batch, [&](double* steps, cudaStream_t st) {
        VELKORA_LAUNCH(soc_max_step_kernel, grid_blocks(batch), dim3(kThreads), 0, st, x, dx, steps,
                       static_cast<unsigned long long>(n));
    });
    return step < alpha_max ? step : alpha_max;
}

double soc_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return HUGE_VAL;
    return combine_values(Combine::kMin, batch, [&](double* values, cudaStream_t st) {
        VELKORA_LAUNCH(soc_spectral_min_kernel, grid_blocks(batch), dim3(kThreads), 0, st, x, values,
                       static_cast<unsigned long long>(n));
    });
}

void soc_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    VELKORA_LAUNCH(soc_nt_state_kernel, grid_blocks(batch), dim3(kThreads), 0, to_stream(stream), s, z, scaling, lam,
                   static_cast<unsigned long long>(n));
}

void soc_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    VELKORA_LAUNCH(soc_scale_kernel, grid_blocks(batch), dim3(kThreads), 0, to_stream(stream), scaling, x, out,
                   static_cast<unsigned long long>(n), inverse);
}

void soc_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    VELKORA_LAUNCH(soc_jordan_product_kernel, grid_blocks(batch), dim3(kThreads), 0, to_stream(stream), x, y, out,
                   static_cast<unsigned long long>(n));
}

void soc_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    VELKORA_LAUNCH(soc_jordan_solve_kernel, grid_blocks(batch), dim3(kThreads), 0, to_stream(stream), lam, x, out,
                   static_cast<unsigned long long>(n));
}

void soc_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long rows = n * batch;
    if (rows == 0) return;
    VELKORA_LAUNCH(soc_state_csr_kernel, grid_blocks(rows), dim3(kThreads), 0, to_stream(stream), scaling,
                   as_index(indptr), as_index(indices), values, nnz, static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(batch), row_offset, inverse);
}

void soc_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream) {
    const DeviceGuard guard(device);
    if (nnz == 0 || n * batch == 0) return;
    VELKORA_LAUNCH(soc_state_coo_kernel, grid_for(nnz), dim3(kThreads), 0, to_stream(stream), scaling,
                   as_index(row_indices), as_index(col_indices), values, nnz, static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(batch), row_offset, inverse);
}

void soc_expansion_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                            double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                            std::uint64_t row_offset, std::uint64_t extra_offset, bool inverse, int device,
                            StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    const cudaStream_t cs = to_stream(stream);
    StreamBuffer prep(kExpansionFields * batch, cs);
    VELKORA_LAUNCH(soc_expansion_prep_kernel, grid_blocks(batch), dim3(kThreads), 0, cs, scaling, prep.get(),
                   static_cast<unsigned long long>(n), inverse);
    VELKORA_LAUNCH(soc_expansion_csr_kernel, grid_blocks(n * batch + 2 * batch), dim3(kThreads), 0, cs, scaling,
                   prep.get(), as_index(indptr), as_index(indices), values, nnz, static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(batch), row_offset, extra_offset);
    prep.release();
}

void soc_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream) {
    fill_from_dense(FillStructure{true, indptr, indices, values, nnz, row_offset}, d, device, stream,
                    [&](double* dense) { soc_nt_scaling_cuda(s, z, dense, d, 1, device, stream); });
}

void soc_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream) {
    fill_from_dense(FillStructure{false, row_indices, col_indices, values, nnz, row_offset}, d, device, stream,
                    [&](double* dense) { soc_nt_scaling_cuda(s, z, dense, d, 1, device, stream); });
}

}  // namespace velkora::torv::cones::device
