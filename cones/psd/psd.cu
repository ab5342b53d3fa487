// PSD cone on the device: order-2 projection and violation, the NT operators (1x1
// quotient, 2x2 closed form, and the general factor path for orders 3..32: a team of lanes
// per item computes W with its work in shared memory, then one thread per operator entry
// expands it), the svec/smat conversions, and the interior-point forms of the companion
// module (one thread per item over psd.hpp, orders 1..32, work matrices in
// stream-ordered scratch). The arithmetic is that of the host
// (psd_nt.hpp, psd_scale.hpp, psd_svec.hpp), compiled for the device.
#include "cones/psd/psd.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "cones/psd/psd_nt.hpp"
#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"

namespace velkora::torv::cones::device {

namespace {

using host::kPsdSqrt2;

// Threads per block of the PSD element-wise kernels.
constexpr unsigned kPsdThreads = 128;

constexpr double kNaN = __builtin_nan("");

// Work of the general scaling point: one team of lanes per item, a power of two at least n
// (at least 4: a team holds the two lanes of every column pair of a round), at most a warp;
// its two n x stride matrices in shared memory, the row stride odd so that lanes walking down
// a column meet distinct banks.
constexpr unsigned kWarpLanes = 32;

__host__ __device__ inline unsigned psd_team_lanes(unsigned long long n) {
    unsigned lanes = 4;
    while (lanes < n) lanes *= 2;
    return lanes;
}

__host__ __device__ inline unsigned long long psd_team_stride(unsigned long long n) { return (n + 1) | 1; }

__host__ __device__ inline unsigned long long psd_team_doubles(unsigned long long n) {
    return 2 * n * psd_team_stride(n);
}

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

// W_b (n x n at W + b n^2, symmetric) of every item b by the factor path of the host
// (host::psd_general_w_fill), one team of psd_team_lanes(n) lanes per item, blockDim.x /
// lanes items per block, the item's work in psd_team_doubles(n) doubles of dynamic shared
// memory. Every entry is the host's, operation for operation: the team only distributes
// independent entries, rows and column pairs over its lanes. A pair with a non-finite entry
// gives NaN entries at once; one that is not strictly positive definite gives NaN entries at
// its first failing pivot, before any sweep.
//
// Shared work of an item (stride t = psd_team_stride(n), rows of t doubles):
//   A  (n x t): raw entries, then the Cholesky factors side by side: row j holds Ls[j][0..j]
//      in slots 0..j and column j of Lz (Lz[j..n-1][j]) in slots j+1..n; then U^T (row j =
//      column j of U), then Q = P diag(sigma)^-1.
//   Bt (n x t): B^T = Lz^T Ls (row j = column j of B), rotated into (B U)^T; then Lz by rows,
//      turned row by row into P = Lz U.
// While the sweeps run, Lz waits in the item's own W (the lower triangle), which is written
// last.
// Lanes: Cholesky column j, lane i computes entry (i, j) of both factors; the products give
// lane a column, row or entry each; a round of the sweep gives each disjoint column pair two
// lanes, one per half of the rows, whose dot products meet through one shuffle.
// The scaling point of one item by its team (lane `lane` of `lanes`, their warp mask `mask`),
// the work at A (psd_team_doubles(n) doubles of shared memory), into Wi.
__device__ void psd_team_w(const double* si, const double* zi, double* Wi, unsigned n, double* A, unsigned lane,
                           unsigned lanes, unsigned mask) {
    const unsigned t = static_cast<unsigned>(psd_team_stride(n)), m = n * (n + 1) / 2;
    double* Bt = A + n * t;
    const bool row_lane = lane < n;

    // Entries into A (S by rows, Z by columns), their largest magnitudes and finiteness.
    double top_s = 0.0, top_z = 0.0;
    int finite = 1;
    for (unsigned i = 0; i < n; ++i)
        for (unsigned j = lane; j <= i; j += lanes) {
            const double a = si[i * (i + 1) / 2 + j], b = zi[i * (i + 1) / 2 + j];
            top_s = host::psd_largest_magnitude(top_s, a);
            top_z = host::psd_largest_magnitude(top_z, b);
            if (!(fabs(a) <= host::kDoubleMax && fabs(b) <= host::kDoubleMax)) finite = 0;
            A[i * t + j] = a;
            A[j * t + i + 1] = b;
        }
    for (unsigned offset = lanes / 2; offset > 0; offset /= 2) {
        top_s = host::psd_largest_magnitude(top_s, __shfl_xor_sync(mask, top_s, offset, lanes));
        top_z = host::psd_largest_magnitude(top_z, __shfl_xor_sync(mask, top_z, offset, lanes));
        finite &= __shfl_xor_sync(mask, finite, offset, lanes);
    }
    bool interior = finite != 0;
    const host::PsdNtScale scale =
        host::psd_nt_scale_of(host::psd_quarter_exponent_of(top_s), host::psd_quarter_exponent_of(top_z));
    __syncwarp(mask);

    // Both Cholesky factors, column by column; the pivots reach every lane by shuffles.
    const host::PsdPow2 unit_s(-2 * scale.ks), unit_z(-2 * scale.kz);
    for (unsigned j = 0; interior && j < n; ++j) {
        double sum_s = 0.0, sum_z = 0.0;
        if (lane >= j && row_lane) {
            sum_s = host::psd_cholesky_sum(A[lane * t + j], unit_s, lane == j, A + lane * t, 1u, A + j * t, 1u, j);
            sum_z = host::psd_cholesky_sum(A[j * t + lane + 1], unit_z, lane == j, A + lane + 1, t, A + j + 1, t, j);
        }
        const double pivot_s = __shfl_sync(mask, sum_s, static_cast<int>(j), lanes);
        const double pivot_z = __shfl_sync(mask, sum_z, static_cast<int>(j), lanes);
        interior = host::psd_pivot_ok(pivot_s) && host::psd_pivot_ok(pivot_z);
        if (!interior) break;
        const double ds = sqrt(pivot_s), dz = sqrt(pivot_z);
        if (lane == j) {
            A[j * t + j] = ds;
            A[j * t + j + 1] = dz;
        } else if (lane > j && row_lane) {
            A[lane * t + j] = sum_s / ds;
            A[j * t + lane + 1] = sum_z / dz;
        }
        __syncwarp(mask);
    }
    if (!interior) {
        for (unsigned e = lane; e < n * n; e += lanes) Wi[e] = kNaN;
        return;
    }

    // Bt[b][a] = sum_{i >= max(a, b)} Ls[i][a] Lz[i][b] (lane a); Lz to W; U = I over A.
    if (row_lane)
        for (unsigned b = 0; b < n; ++b)
            Bt[b * t + lane] = host::psd_dot(A + lane, t, A + b * t + 1, 1u, lane > b ? lane : b, n);
    for (unsigned i = 0; i < n; ++i)
        if (lane <= i) Wi[i * n + lane] = A[lane * t + i + 1];
    __syncwarp(mask);
    for (unsigned j = 0; j < n; ++j)
        if (row_lane) A[j * t + lane] = lane == j ? 1.0 : 0.0;
    __syncwarp(mask);

    // One-sided Jacobi: in round r, lanes 2k and 2k + 1 take pair k, rows below and from the split.
    const double tol = host::kDoubleEpsilon * static_cast<double>(n);
    const unsigned rounds = host::psd_round_robin_rounds(n), pairs = (rounds + 1) / 2;
    const unsigned split = host::psd_hestenes_split(n), pair = lane / 2, half = lane % 2;
    const unsigned from = half ? split : 0, to = half ? n : split;
    for (unsigned sweep = 0; sweep < host::kPsdHestenesSweeps; ++sweep) {
        int rotated = 0;
        for (unsigned r = 0; r < rounds; ++r) {
            unsigned p = 0, q = 0;
            const bool active = pair < pairs && host::psd_round_robin_pair(n, r, pair, p, q);
            host::PsdColumnDots mine{0.0, 0.0, 0.0};
            if (active) mine = host::psd_column_dots(Bt + p * t, Bt + q * t, from, to);
            host::PsdColumnDots other;
            other.alpha = __shfl_xor_sync(mask, mine.alpha, 1, lanes);
            other.beta = __shfl_xor_sync(mask, mine.beta, 1, lanes);
            other.gamma = __shfl_xor_sync(mask, mine.gamma, 1, lanes);
            const host::PsdColumnDots& lo = half ? other : mine;
            const host::PsdColumnDots& hi = half ? mine : other;
            const host::PsdColumnDots d{lo.alpha + hi.alpha, lo.beta + hi.beta, lo.gamma + hi.gamma};
            double c, sn;
            if (active && host::psd_hestenes_decide(d, tol, c, sn)) {
                host::psd_rotate_columns(Bt + p * t, Bt + q * t, c, sn, from, to);
                host::psd_rotate_columns(A + p * t, A + q * t, c, sn, from, to);
                rotated = 1;
            }
            __syncwarp(mask);
        }
        for (unsigned offset = lanes / 2; offset > 0; offset /= 2)
            rotated |= __shfl_xor_sync(mask, rotated, offset, lanes);
        if (!rotated) break;
    }

    // sigma_j = |column j of B U| (lane j keeps its divisor); Lz back from W into Bt; P = Lz U
    // row by row over it; Q = P diag(sigma)^-1 over U; W = 2^(kz - ks) Q P^T.
    const double d = row_lane ? host::psd_guarded_sigma(host::psd_norm2(Bt + lane * t, n)) : 1.0;
    __syncwarp(mask);
    for (unsigned i = 0; i < n; ++i)
        if (lane <= i) Bt[i * t + lane] = Wi[i * n + lane];
    __syncwarp(mask);
    for (unsigned i = 0; i < n; ++i) {
        const double v = row_lane ? host::psd_dot(Bt + i * t, 1u, A + lane * t, 1u, 0u, i + 1) : 0.0;
        __syncwarp(mask);  // row i of Lz read by every lane
        if (row_lane) Bt[i * t + lane] = v;
    }
    __syncwarp(mask);
    for (unsigned i = 0; i < n; ++i)
        if (row_lane) A[i * t + lane] = Bt[i * t + lane] / d;
    __syncwarp(mask);
    const host::PsdPow2 back(scale.kz - scale.ks);
    for (unsigned e = lane; e < m; e += lanes) {
        host::u64 i, l;
        host::psd_svec_decode(e, i, l);
        const unsigned a = static_cast<unsigned>(i), b = static_cast<unsigned>(l);
        const double w = back(host::psd_dot(A + a * t, 1u, Bt + b * t, 1u, 0u, n));
        Wi[a * n + b] = w;
        Wi[b * n + a] = w;
    }
}

__global__ void psd_general_w_kernel(const double* s, const double* z, double* W, unsigned long long n,
                                     unsigned long long batch) {
    VELKORA_DYNAMIC_SHARED(double, shared);
    const unsigned lanes = psd_team_lanes(n);
    const unsigned team = threadIdx.x / lanes, lane = threadIdx.x % lanes;
    const unsigned long long item = static_cast<unsigned long long>(blockIdx.x) * (blockDim.x / lanes) + team;
    if (item >= batch) return;  // the whole team
    const unsigned warp_lane = threadIdx.x % kWarpLanes;
    const unsigned mask = lanes == kWarpLanes ? 0xffffffffu : ((1u << lanes) - 1u) << (warp_lane & ~(lanes - 1u));
    const unsigned long long m = host::psd_svec_length(n);
    psd_team_w(s + item * m, z + item * m, W + item * n * n, static_cast<unsigned>(n), shared + team * psd_team_doubles(n),
               lane, lanes, mask);
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

// Geometry of psd_general_w_kernel at order n: whole warps of teams (psd_team_lanes), up to
// kPsdTeamWarps warps per block while the block's shared memory stays within
// kPsdTeamBlockBytes (one warp whatever its size: 16.5 KiB per item at order 32), so that
// small orders fill an SM with few blocks and large ones keep a fine granularity; far below
// the 48 KiB a block may take without opting in.
constexpr unsigned kPsdTeamWarps = 4;
constexpr unsigned long long kPsdTeamBlockBytes = 16384;

struct PsdTeamGeometry {
    unsigned items;       // items per block
    unsigned threads;     // threads per block
    std::size_t shared;   // dynamic shared bytes per block
};

PsdTeamGeometry psd_team_geometry(std::uint64_t n) {
    const unsigned per_warp = kWarpLanes / psd_team_lanes(n);
    const unsigned long long warp_bytes = per_warp * psd_team_doubles(n) * sizeof(double);
    unsigned warps = static_cast<unsigned>(kPsdTeamBlockBytes / warp_bytes);
    warps = warps < 1 ? 1 : warps > kPsdTeamWarps ? kPsdTeamWarps : warps;
    return {warps * per_warp, warps * kWarpLanes, static_cast<std::size_t>(warps * warp_bytes)};
}

// Largest grid x of a launch.
constexpr unsigned long long kMaxGridX = 0x7fffffffull;

// psd_general_w_kernel over `batch` items into W, in chunks of at most kMaxGridX blocks (one
// launch per chunk).
void launch_general_w(const double* s, const double* z, double* W, std::uint64_t n, std::uint64_t batch,
                      cudaStream_t stream) {
    const PsdTeamGeometry g = psd_team_geometry(n);
    const unsigned long long m = host::psd_svec_length(n), chunk = kMaxGridX * g.items;
    for (unsigned long long first = 0; first < batch; first += chunk) {
        const unsigned long long count = batch - first < chunk ? batch - first : chunk;
        VELKORA_LAUNCH(psd_general_w_kernel, grid_blocks((count + g.items - 1) / g.items), dim3(g.threads), g.shared,
                       stream, s + first * m, z + first * m, W + first * n * n, n, count);
    }
}

// Checks in order: device, empty work, order limit, closed forms (any method), cuBLAS
// refusal; then the general path with one scratch buffer (W of every item), released on
// every path.
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
    StreamBuffer scratch(scratch_count({n * n}, batch), st);
    launch_general_w(s, z, scratch.get(), n, batch, st);
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
    launch_general_w(s, z, W, n, batch, to_stream(stream));
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

namespace {

// PSD operator entry of X -> W X W^T in svec coordinates, computed from the n x n W.
struct PsdWEntry {
    const double* W;
    unsigned long long n;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return host::psd_operator_entry(W, n, r, c);
    }
};

}  // namespace

__global__ void psd_w_csr_gather_kernel(const double* W, const long long* indptr, const long long* indices,
                                        double* values, unsigned long long nnz, unsigned long long m,
                                        unsigned long long n, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, m, row_offset, PsdWEntry{W, n});
}

__global__ void psd_w_coo_gather_kernel(const double* W, const long long* row_indices, const long long* col_indices,
                                        double* values, unsigned long long nnz, unsigned long long m,
                                        unsigned long long n, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, m, row_offset, PsdWEntry{W, n});
}

namespace {

// Orders 1 and 2 gather the dense m x m H; orders 3..32 keep only W in scratch and compute
// each operator entry on demand. The order limit is checked before any scratch is allocated.
void psd_fill(const double* s, const double* z, const FillStructure& st, std::uint64_t n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    psd_check_order(n);
    const std::uint64_t m = n * (n + 1) / 2;
    if (n <= 2) {
        fill_from_dense(st, m, device, stream,
                        [&](double* dense) { psd_nt_scaling_cuda(s, z, dense, n, 1, device, stream); });
        return;
    }
    if (!st.csr && st.nnz == 0) return;
    const cudaStream_t cs = to_stream(stream);
    StreamBuffer W(n * n, cs);
    psd_nt_w_cuda(s, z, W.get(), n, 1, device, stream);
    if (st.csr)
        VELKORA_LAUNCH(psd_w_csr_gather_kernel, grid_blocks(m), dim3(kThreads), 0, cs, W.get(), as_index(st.first),
                       as_index(st.second), st.values, st.nnz, m, n, st.row_offset);
    else
        VELKORA_LAUNCH(psd_w_coo_gather_kernel, grid_for(st.nnz), dim3(kThreads), 0, cs, W.get(), as_index(st.first),
                       as_index(st.second), st.values, st.nnz, m, n, st.row_offset);
    W.release();
}

}  // namespace

void psd_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t row_offset, int device, StreamHandle stream) {
    psd_fill(s, z, FillStructure{true, indptr, indices, values, nnz, row_offset}, n, device, stream);
}

void psd_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t row_offset,
    int device, StreamHandle stream) {
    psd_fill(s, z, FillStructure{false, row_indices, col_indices, values, nnz, row_offset}, n, device, stream);
}

}  // namespace velkora::torv::cones::device
