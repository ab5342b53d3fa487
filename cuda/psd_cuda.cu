// PSD cone on the device: order-2 projection and violation, the NT operators (1x1
// quotient, 2x2 closed form, and the general factor path for orders 3..32: one thread
// per item computes W in stream-ordered scratch, then one thread per operator entry
// expands it), the svec/smat conversions, and the interior-point forms of the companion
// module (one thread per item over host/psd_ipm.hpp, orders 1..32). The arithmetic is that of the host
// (host/psd_nt.hpp, host/psd_svec.hpp), compiled for the device.
#include "cuda/psd_cuda.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"
#include "host/psd_ipm.hpp"
#include "host/psd_nt.hpp"

namespace velkora::torv::cones::device {

namespace {

using host::kPsdSqrt2;

// Threads per block of the PSD element-wise kernels.
constexpr unsigned kPsdThreads = 128;

constexpr double kNaN = __builtin_nan("");

}  // namespace

// Closed-form eigen-split of the svec triple (a, sqrt(2) b, c): l+- = m +- r,
// m = (a + c)/2, r = sqrt((a - c)((a - c)/4) + b^2), computed on the triple brought to
// unit scale by a power of two (exact), so that the squares in r neither overflow nor
// underflow: a, b, c, l+ and l- are 2^-shift times those of the matrix.
struct Psd2Split {
    double a, b, c, lp, lm;
    int shift;
};

__device__ __forceinline__ Psd2Split psd2_split(const double* in) {
    Psd2Split e;
    e.shift = 2 * host::psd_quarter_exponent(in, 3);
    e.a = ldexp(in[0], -e.shift);
    e.b = ldexp(in[1], -e.shift) / kPsdSqrt2;
    e.c = ldexp(in[2], -e.shift);
    const double m = (e.a + e.c) * 0.5;
    const double r = sqrt((e.a - e.c) * ((e.a - e.c) * 0.25) + e.b * e.b);
    e.lp = m + r;
    e.lm = m - r;
    return e;
}

// Single thread: the projection l+ u u^T when l- < 0 < l+, with the eigenvector of l+
// taken from the row of A - l+ I that does not cancel: (l+ - c, b) when a >= c, else
// (b, l+ - a), normalised with hypot.
__global__ void psd2_project_kernel(const double* in, double* out) {
    if (global_index() != 0) return;
    const Psd2Split e = psd2_split(in);
    if (e.lm >= 0.0) {
        const double x0 = in[0], x1 = in[1], x2 = in[2];
        out[0] = x0;
        out[1] = x1;
        out[2] = x2;
    } else if (e.lp <= 0.0) {
        out[0] = 0.0;
        out[1] = 0.0;
        out[2] = 0.0;
    } else {
        const double v1 = e.a >= e.c ? e.lp - e.c : e.b;
        const double v2 = e.a >= e.c ? e.b : e.lp - e.a;
        const double h = hypot(v1, v2);
        double u1 = e.a >= e.c ? 1.0 : 0.0;
        double u2 = 1.0 - u1;
        if (h > 0.0) {
            u1 = v1 / h;
            u2 = v2 / h;
        }
        out[0] = ldexp((e.lp * u1) * u1, e.shift);
        out[1] = ldexp(((kPsdSqrt2 * e.lp) * u1) * u2, e.shift);
        out[2] = ldexp((e.lp * u2) * u2, e.shift);
    }
}

// Single thread: result[0] = |(min(l+, 0), min(l-, 0))| (NaN counts as 0), by hypot of
// the unit-scale eigenvalues scaled back, so that no square under- or overflows; NaN instead
// when `nan_entry_is_nan` and an entry is NaN (membership).
__global__ void psd2_violation_kernel(const double* in, double* result, int nan_entry_is_nan) {
    if (global_index() != 0) return;
    const Psd2Split e = psd2_split(in);
    const double np = e.lp < 0.0 ? e.lp : 0.0;
    const double nm = e.lm < 0.0 ? e.lm : 0.0;
    const bool nan_entry = isnan(in[0]) || isnan(in[1]) || isnan(in[2]);
    result[0] = nan_entry_is_nan && nan_entry ? kNaN : ldexp(hypot(np, nm), e.shift);
}

// One thread per item: H = z / s.
__global__ void psd1_nt_scaling_kernel(const double* s, const double* z, double* H, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b < batch) H[b] = z[b] / s[b];
}

// One thread per item: the 2x2 closed form of the host, operation for operation; a pair
// that is not strictly positive definite gives NaN entries.
__global__ void psd2_nt_scaling_kernel(const double* s, const double* z, double* H, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    double* h = H + 9 * b;
    if (!host::psd2_nt_scaling_fill(s + 3 * b, z + 3 * b, h))
        for (int k = 0; k < 9; ++k) h[k] = kNaN;
}

// One single-thread block per item: W_b (n x n at W + b n^2, symmetric by construction)
// by the factor path of the host, its work in `work` (host::psd_nt_work_doubles(n)
// doubles per item, laid out by host::psd_nt_work_at). A pair that is not strictly
// positive definite gives NaN entries.
__global__ void psd_general_w_kernel(const double* s, const double* z, double* W, double* work, unsigned long long n,
                                     unsigned long long batch) {
    const unsigned long long b = blockIdx.x;
    if (threadIdx.x != 0 || b >= batch) return;
    const unsigned long long nn = n * n;
    const unsigned long long m = host::psd_svec_length(n);
    const host::PsdNtWork w = host::psd_nt_work_at(work + b * host::psd_nt_work_doubles(n), n);
    double* Wb = W + b * nn;
    if (!host::psd_general_w_fill(s + b * m, z + b * m, n, Wb, w))
        for (unsigned long long e = 0; e < nn; ++e) Wb[e] = kNaN;
}

// One thread per entry of the m x m operators: H[b][row][col] from W_b, row and column
// decoded into svec pairs.
__global__ void psd_general_operator_from_w_kernel(const double* W, double* H, unsigned long long n,
                                                   unsigned long long batch) {
    const unsigned long long i = global_index();
    const unsigned long long m = host::psd_svec_length(n);
    if (i >= m * m * batch) return;
    const MatrixEntry e = matrix_entry(i, m);
    host::u64 p, q, r, t;
    host::psd_svec_decode(e.row, p, q);
    host::psd_svec_decode(e.col, r, t);
    H[i] = host::psd_operator_value(W + e.item * n * n, n, p, q, r, t);
}

// One thread per dense entry (i, j): v at svec position (max, min), / sqrt(2) off the
// diagonal.
__global__ void psd_smat_kernel(const double* v, double* M, unsigned long long n, unsigned long long batch) {
    const unsigned long long i = global_index();
    if (i >= n * n * batch) return;
    const MatrixEntry e = matrix_entry(i, n);
    const unsigned long long p = e.row > e.col ? e.row : e.col;
    const unsigned long long q = e.row > e.col ? e.col : e.row;
    double value = v[e.item * host::psd_svec_length(n) + host::psd_svec_index(p, q)];
    if (p != q) value = value / kPsdSqrt2;
    M[i] = value;
}

// One thread per svec entry: the lower-triangle entry (p, q) of M, * sqrt(2) off the
// diagonal; the upper triangle is not read.
__global__ void psd_svec_kernel(const double* M, double* v, unsigned long long n, unsigned long long batch) {
    const unsigned long long i = global_index();
    const unsigned long long m = host::psd_svec_length(n);
    if (i >= m * batch) return;
    unsigned long long item, k;
    div_mod(i, m, item, k);
    host::u64 p, q;
    host::psd_svec_decode(k, p, q);
    const double value = M[item * n * n + p * n + q];
    v[i] = p != q ? value * kPsdSqrt2 : value;
}

void psd_check_order(std::uint64_t n) {
    if (n > kPsdGeneralMaxOrder) throw std::runtime_error("CUDA PSD NT scaling currently supports dim <= 32");
}

namespace {

enum class PsdMethod { kAnalytic, kCustom, kCublas };


// Stream-ordered scratch of `count` doubles, refusing a count whose byte size wraps.
unsigned long long scratch_count(std::initializer_list<unsigned long long> parts, unsigned long long batch) {
    unsigned long long per_item = 0;
    for (unsigned long long part : parts) per_item += part;
    if (batch != 0 && per_item > (~0ull / sizeof(double)) / batch)
        throw_cuda_error(cudaErrorMemoryAllocation, "cudaMallocAsync");
    return per_item * batch;
}

// psd_general_w_kernel over `batch` items into W with work at `work`.
void launch_general_w(const double* s, const double* z, double* W, double* work, std::uint64_t n, std::uint64_t batch,
                      cudaStream_t stream) {
    // One block per item: a batch beyond the grid's x limit is refused, never truncated.
    if (batch > 0x7fffffffull) throw_cuda_error(cudaErrorInvalidConfiguration, "psd_general_w_kernel");
    VELKORA_LAUNCH(psd_general_w_kernel, dim3(static_cast<unsigned>(batch)), dim3(1), 0, stream, s, z, W, work, n,
                   batch);
}

// Checks in order: device, empty work, order limit, closed forms (any method), cuBLAS
// refusal; then the general path with one scratch buffer (W of every item, then the
// work), released on every path.
void psd_nt_dispatch(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                     StreamHandle stream, PsdMethod method) {
    const DeviceGuard guard(device);
    if (batch == 0 || n == 0) return;
    psd_check_order(n);
    const cudaStream_t st = to_stream(stream);
    if (n == 1) {
        VELKORA_LAUNCH(psd1_nt_scaling_kernel, grid_for(batch, kPsdThreads), dim3(kPsdThreads), 0, st, s, z, H, batch);
        return;
    }
    if (n == 2) {
        VELKORA_LAUNCH(psd2_nt_scaling_kernel, grid_for(batch, kPsdThreads), dim3(kPsdThreads), 0, st, s, z, H, batch);
        return;
    }
    if (method == PsdMethod::kCublas)
        throw std::runtime_error("CUDA PSD cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON");
    const unsigned long long w_doubles = batch * n * n;
    StreamBuffer scratch(scratch_count({n * n, host::psd_nt_work_doubles(n)}, batch), st);
    launch_general_w(s, z, scratch.get(), scratch.get() + w_doubles, n, batch, st);
    const unsigned long long m = host::psd_svec_length(n);
    const unsigned long long total = m * m * batch;
    VELKORA_LAUNCH(psd_general_operator_from_w_kernel, grid_for(total, kPsdThreads), dim3(kPsdThreads), 0, st,
                   scratch.get(), H, n, batch);
    scratch.release();
}

}  // namespace

void psd2_project_cuda(const double* in, double* out, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    VELKORA_LAUNCH(psd2_project_kernel, dim3(1), dim3(1), 0, to_stream(stream), in, out);
}

namespace {

// The kernel's value on the scalar stream; with `nan_entry_is_nan` a NaN entry gives NaN.
double psd2_violation_value(const double* in, int device, int nan_entry_is_nan) {
    const DeviceGuard guard(device);
    StreamBuffer result(1, kScalarStream);
    VELKORA_LAUNCH(psd2_violation_kernel, dim3(1), dim3(1), 0, kScalarStream, in, result.get(), nan_entry_is_nan);
    return finish_scalar(result.get(), result, kScalarStream);
}

}  // namespace

double psd2_violation_cuda(const double* in, int device) { return psd2_violation_value(in, device, 0); }

// The violation counts NaN eigenvalues as 0, but a NaN entry is in no cone: the membership
// value is then NaN, which no tolerance reaches.
bool psd2_contains_cuda(const double* in, double tol, int device) { return tol >= psd2_violation_value(in, device, 1); }

void psd_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream) {
    psd_nt_dispatch(s, z, H, n, batch, device, stream, n <= 2 ? PsdMethod::kAnalytic : PsdMethod::kCustom);
}

void psd_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream) {
    psd_nt_dispatch(s, z, H, n, batch, device, stream, PsdMethod::kCustom);
}

void psd_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream) {
    psd_nt_dispatch(s, z, H, n, batch, device, stream, PsdMethod::kCublas);
}

void psd_nt_w_cuda(const double* s, const double* z, double* W, std::uint64_t n, std::uint64_t batch, int device,
                   StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_check_order(n);
    if (n < 3) throw std::runtime_error("CUDA PSD W output is only used for dim >= 3");
    const cudaStream_t st = to_stream(stream);
    StreamBuffer work(scratch_count({host::psd_nt_work_doubles(n)}, batch), st);
    launch_general_w(s, z, W, work.get(), n, batch, st);
    work.release();
}

void psd_smat_cuda(const double* v, double* M, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long total = n * n * batch;
    if (total == 0) return;
    VELKORA_LAUNCH(psd_smat_kernel, grid_for(total, kPsdThreads), dim3(kPsdThreads), 0, to_stream(stream), v, M, n,
                   batch);
}

void psd_svec_cuda(const double* M, double* v, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long total = host::psd_svec_length(n) * batch;
    if (total == 0) return;
    VELKORA_LAUNCH(psd_svec_kernel, grid_for(total, kPsdThreads), dim3(kPsdThreads), 0, to_stream(stream), M, v, n,
                   batch);
}

// --- interior-point forms: one thread per item, work matrices in scratch ------------------

namespace {

// Threads per block of the one-thread-per-item kernels.
constexpr unsigned kPsdItemThreads = 32;

// Item b of a kernel's scratch, `doubles` per item.
__device__ __forceinline__ double* item_work(double* work, unsigned long long doubles, unsigned long long b) {
    return work + b * doubles;
}

// Jordan-solve work: A, V, X, Y (n x n), row_max (n), n unsigned row arguments.
__host__ __device__ inline unsigned long long solve_doubles(unsigned long long n) { return 4 * n * n + 2 * n; }

// Operator entry of item b from its congruence matrix G_b (n x n at G + b n^2).
struct PsdGramEntry {
    const double* G;
    unsigned long long n;
    __device__ __forceinline__ double operator()(unsigned long long b, unsigned long long i,
                                                 unsigned long long j) const {
        return host::psd_operator_entry(G + b * n * n, n, i, j);
    }
};
using PsdGramBlocks = host::BatchedBlocks<PsdGramEntry>;

const long long* as_index(const std::int64_t* p) { return reinterpret_cast<const long long*>(p); }

}  // namespace

// flags[b] = 1.0 when item b is not strictly interior, else 0.0.
__global__ void psd_interior_kernel(const double* x, double* flags, double* work, unsigned long long n,
                                    unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const bool inside = host::psd_unit_interior(x + b * host::psd_svec_length(n), n, item_work(work, n * n, b));
    flags[b] = inside ? 0.0 : 1.0;
}

__global__ void psd_max_step_kernel(const double* x, const double* dx, double* steps, double* work,
                                    unsigned long long n, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long m = host::psd_svec_length(n);
    steps[b] = host::psd_step_item(x + b * m, dx + b * m, n,
                                   host::psd_step_work_at(item_work(work, host::psd_step_work_doubles(n), b), n));
}

__global__ void psd_spectral_min_kernel(const double* x, double* values, double* work, unsigned long long n,
                                        unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    values[b] = host::psd_spectral_min_item(
        x + b * host::psd_svec_length(n), n,
        host::psd_step_work_at(item_work(work, host::psd_step_work_doubles(n), b), n));
}

// The state and lambda of each item; NaN throughout for a pair that is not interior.
__global__ void psd_nt_state_kernel(const double* s, const double* z, double* scaling, double* lam, double* work,
                                    unsigned long long n, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long m = host::psd_svec_length(n);
    double* state = scaling + b * host::psd_state_size(n);
    const host::PsdNtWork w = host::psd_nt_work_at(item_work(work, host::psd_nt_work_doubles(n), b), n);
    if (!host::psd_nt_state_item(s + b * m, z + b * m, n, state, lam + b * m, w))
        host::psd_nt_state_nan(n, state, lam + b * m);
}

__global__ void psd_scale_kernel(const double* scaling, const double* x, double* out, double* work,
                                 unsigned long long n, unsigned long long batch, bool inverse, bool transpose) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long m = host::psd_svec_length(n);
    const unsigned long long nn = n * n;
    double* w = item_work(work, 3 * nn + n, b);
    host::psd_scale_item(host::psd_state(scaling + b * host::psd_state_size(n), n), x + b * m, out + b * m, n,
                         inverse, transpose, host::PsdCongruenceWork{w, w + nn, w + 2 * nn, w + 3 * nn});
}

__global__ void psd_jordan_product_kernel(const double* x, const double* y, double* out, double* work,
                                          unsigned long long n, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long m = host::psd_svec_length(n);
    const unsigned long long nn = n * n;
    double* w = item_work(work, 3 * nn, b);
    host::psd_jordan_product_item(x + b * m, y + b * m, out + b * m, n, w, w + nn, w + 2 * nn);
}

// out = NaN for an item whose lam is not strictly interior.
__global__ void psd_jordan_solve_kernel(const double* lam, const double* x, double* out, double* work,
                                        unsigned long long n, unsigned long long batch) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long m = host::psd_svec_length(n);
    const unsigned long long nn = n * n;
    double* w = item_work(work, solve_doubles(n), b);
    if (!host::psd_solve_interior(lam + b * m, n, w)) {
        for (unsigned long long k = 0; k < m; ++k) out[b * m + k] = NAN;
        return;
    }
    const host::PsdSolveWork sw{w, w + nn, w + 2 * nn, w + 3 * nn, w + 4 * nn,
                                reinterpret_cast<unsigned*>(w + 4 * nn + n)};
    host::psd_jordan_solve_item(lam + b * m, x + b * m, out + b * m, n, sw);
}

// G_b (n x n at G + b n^2) of each item: Wnt for H, Wnt^-1 for H^-1.
__global__ void psd_state_gram_kernel(const double* scaling, double* G, double* work, unsigned long long n,
                                      unsigned long long batch, bool inverse) {
    const unsigned long long b = global_index();
    if (b >= batch) return;
    const unsigned long long nn = n * n;
    host::psd_state_gram(host::psd_state(scaling + b * host::psd_state_size(n), n), n, inverse,
                         item_work(work, nn, b), G + b * nn);
}

__global__ void psd_state_csr_kernel(const double* G, const long long* indptr, const long long* indices,
                                     double* values, unsigned long long nnz, unsigned long long n,
                                     unsigned long long batch, unsigned long long row_offset) {
    const unsigned long long m = host::psd_svec_length(n);
    csr_rows(indptr, indices, values, nnz, m * batch, row_offset, PsdGramBlocks{m, PsdGramEntry{G, n}});
}

__global__ void psd_state_coo_kernel(const double* G, const long long* row_indices, const long long* col_indices,
                                     double* values, unsigned long long nnz, unsigned long long n,
                                     unsigned long long batch, unsigned long long row_offset) {
    const unsigned long long m = host::psd_svec_length(n);
    coo_entries(row_indices, col_indices, values, nnz, m * batch, row_offset, PsdGramBlocks{m, PsdGramEntry{G, n}});
}

namespace {

// "CUDA PSD <what> currently supports dim <= 32" for orders above the one-thread-per-item limit.
void psd_ipm_check_order(std::uint64_t n, const char* what) {
    if (n > kPsdGeneralMaxOrder)
        throw std::runtime_error(std::string("CUDA PSD ") + what + " currently supports dim <= " +
                                 std::to_string(kPsdGeneralMaxOrder));
}

dim3 item_grid(std::uint64_t batch) { return grid_for(batch, kPsdItemThreads); }

// One value per item by `kernel` (inputs..., values, work, n, batch) on the scalar stream, with
// `doubles` of stream-ordered work per item; the values combined by `how` (maximum or
// minimum) into a finished scalar.
template <class... Params, class... Args>
double item_values(const char* name, void (*kernel)(Params...), Combine how, std::uint64_t doubles, std::uint64_t n,
                   std::uint64_t batch, Args... inputs) {
    StreamBuffer work(scratch_count({doubles}, batch), kScalarStream);
    const double value = combine_values(how, batch, [&](double* values, cudaStream_t st) {
        launch_checked(name, kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, inputs..., values, work.get(),
                       static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch));
    });
    work.release();
    return value;
}

}  // namespace

bool psd_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return true;
    psd_ipm_check_order(n, "interior test");
    return item_values("psd_interior_kernel", psd_interior_kernel, Combine::kMax, n * n, n, batch, x) == 0.0;
}

double psd_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return alpha_max;
    psd_ipm_check_order(n, "max step");
    const double step = item_values("psd_max_step_kernel", psd_max_step_kernel, Combine::kMin,
                                    host::psd_step_work_doubles(n), n, batch, x, dx);
    return step < alpha_max ? step : alpha_max;
}

double psd_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device) {
    const DeviceGuard guard(device);
    if (batch == 0) return HUGE_VAL;
    psd_ipm_check_order(n, "spectral minimum");
    return item_values("psd_spectral_min_kernel", psd_spectral_min_kernel, Combine::kMin,
                       host::psd_step_work_doubles(n), n, batch, x);
}

void psd_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_check_order(n);
    const cudaStream_t st = to_stream(stream);
    StreamBuffer work(scratch_count({host::psd_nt_work_doubles(n)}, batch), st);
    VELKORA_LAUNCH(psd_nt_state_kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, s, z, scaling, lam,
                   work.get(), static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch));
    work.release();
}

void psd_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, bool transpose, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_ipm_check_order(n, "scaling products");
    const cudaStream_t st = to_stream(stream);
    StreamBuffer work(scratch_count({3 * n * n + n}, batch), st);
    VELKORA_LAUNCH(psd_scale_kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, scaling, x, out, work.get(),
                   static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch), inverse, transpose);
    work.release();
}

void psd_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_ipm_check_order(n, "Jordan product");
    const cudaStream_t st = to_stream(stream);
    StreamBuffer work(scratch_count({3 * n * n}, batch), st);
    VELKORA_LAUNCH(psd_jordan_product_kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, x, y, out, work.get(),
                   static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch));
    work.release();
}

void psd_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_ipm_check_order(n, "Jordan solve");
    const cudaStream_t st = to_stream(stream);
    StreamBuffer work(scratch_count({solve_doubles(n)}, batch), st);
    VELKORA_LAUNCH(psd_jordan_solve_kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, lam, x, out, work.get(),
                   static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch));
    work.release();
}

namespace {

// The congruence matrices of every item into scratch, then `gather` over them; one scratch
// buffer (the batch's G, then the per-item work) released on every path.
template <class Gather>
void state_gather(const double* scaling, std::uint64_t n, std::uint64_t batch, bool inverse, int device,
                  StreamHandle stream, const Gather& gather) {
    const DeviceGuard guard(device);
    if (batch == 0) return;
    psd_ipm_check_order(n, "H fill");
    const cudaStream_t st = to_stream(stream);
    StreamBuffer scratch(scratch_count({n * n, n * n}, batch), st);
    double* G = scratch.get();
    VELKORA_LAUNCH(psd_state_gram_kernel, item_grid(batch), dim3(kPsdItemThreads), 0, st, scaling, G,
                   G + batch * n * n, static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch),
                   inverse);
    gather(G, st);
    scratch.release();
}

}  // namespace

void psd_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream) {
    state_gather(scaling, n, batch, inverse, device, stream, [&](const double* G, cudaStream_t st) {
        const unsigned long long rows = host::psd_svec_length(n) * batch;
        VELKORA_LAUNCH(psd_state_csr_kernel, grid_blocks(rows), dim3(kThreads), 0, st, G, as_index(indptr),
                       as_index(indices), values, static_cast<unsigned long long>(nnz),
                       static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch),
                       static_cast<unsigned long long>(row_offset));
    });
}

void psd_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream) {
    if (nnz == 0) return;
    state_gather(scaling, n, batch, inverse, device, stream, [&](const double* G, cudaStream_t st) {
        VELKORA_LAUNCH(psd_state_coo_kernel, grid_for(nnz), dim3(kThreads), 0, st, G, as_index(row_indices),
                       as_index(col_indices), values, static_cast<unsigned long long>(nnz),
                       static_cast<unsigned long long>(n), static_cast<unsigned long long>(batch),
                       static_cast<unsigned long long>(row_offset));
    });
}

}  // namespace velkora::torv::cones::device
