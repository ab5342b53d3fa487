// PSD cone on the device: order-2 projection and violation, the NT operators (1x1
// quotient, 2x2 closed form, and the general factor path for orders 3..32: one thread
// per item computes W in stream-ordered scratch, then one thread per operator entry
// expands it), and the svec/smat conversions. The arithmetic is that of the host
// (host/psd_nt.hpp, host/psd_svec.hpp), compiled for the device.
#include "cuda/psd_cuda.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

#include "cuda/device_common.cuh"
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

}  // namespace velkora::torv::cones::device
