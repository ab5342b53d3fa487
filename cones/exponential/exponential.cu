// Exponential cones on the device: projection, violation, membership and the
// block-diagonal PSB scaling matrices, one thread per cone (per entry for the matrices).
// The per-cone arithmetic is the host's own (exponential_rules.hpp), so host and
// device make the same comparisons, NaN included. Then the interior-point forms
// (exponential.hpp): membership of K and K*, backtracking step, barrier values,
// shadow points, scaling states, products with H or H^-1, corrector and combined shift, one
// thread per cone; H or H^-1 fills from the states through the shared gather walks.
#include "cones/exponential/exponential.hpp"

#include "cones/exponential/exponential_rules.hpp"
#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"

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
    block_partial(buf, v, BlockSum{}, partial);
}

// One thread per cone: flag 1.0 when the cone fails the tolerance test (NaN fails),
// block maximum into partial[block].
__global__ void exp_contains_kernel(const double* in, double* partial, unsigned long long count, double tol) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    const double flag = (k < count && !expcone::member(in[3 * k], in[3 * k + 1], in[3 * k + 2], tol)) ? 1.0 : 0.0;
    block_partial(buf, flag, BlockMax{}, partial);
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

// --- interior-point forms: one thread per cone --------------------------------------------

namespace {
using ExpStateBlocks = host::BatchedBlocks<host::ExpStateEntry>;
}  // namespace

// Flag 1.0 where a cone is not strictly inside K (dual: K*); block maximum into partial.
__global__ void exp_ipm_interior_kernel(const double* x, double* partial, unsigned long long cones, bool dual) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    bool outside = false;
    if (k < cones) outside = dual ? !host::exp_dual_interior(x + 3 * k) : !host::exp_primal_interior(x + 3 * k);
    block_partial(buf, outside ? 1.0 : 0.0, BlockMax{}, partial);
}

// Per block: the minimum over its cones of the first accepted term of the backtracking sequence.
__global__ void exp_ipm_cone_step_kernel(const double* s, const double* ds, const double* z, const double* dz,
                                         double* partial, unsigned long long cones, double alpha0, double factor,
                                         double alpha_min) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    const unsigned long long o = 3 * k;
    const double step =
        k < cones ? host::exp_cone_step(s + o, ds + o, z + o, dz + o, alpha0, factor, alpha_min) : HUGE_VAL;
    block_partial(buf, step, BlockMinNanWins{}, partial);
}

// Flag 1.0 where a cone's trial points s + alpha ds, z + alpha dz are not inside.
__global__ void exp_ipm_trial_kernel(const double* s, double* partial, unsigned long long cones, const double* ds,
                                     const double* z, const double* dz, double alpha) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    const unsigned long long o = 3 * k;
    const bool outside = k < cones && !host::exp_trial_inside(s + o, ds + o, z + o, dz + o, alpha);
    block_partial(buf, outside ? 1.0 : 0.0, BlockMax{}, partial);
}

// Per block: the sum of its cones' barrier values (+inf for a cone that is not interior).
__global__ void exp_ipm_barrier_kernel(const double* x, double* partial, unsigned long long cones, bool dual) {
    __shared__ double buf[kThreads];
    const unsigned long long k = global_index();
    double v = 0.0;
    if (k < cones) {
        const double* c = x + 3 * k;
        if (dual)
            v = host::exp_dual_interior(c) ? host::exp_dual_barrier_value(host::exp_dual_shadow(c), c[2]) : HUGE_VAL;
        else
            v = host::exp_primal_interior(c) ? host::exp_barrier_value(host::exp_point(c)) : HUGE_VAL;
    }
    block_partial(buf, v, BlockSum{}, partial);
}

// grad f(s) per cone; NaN for a cone that is not interior.
__global__ void exp_ipm_gradient_kernel(const double* s, double* out, unsigned long long cones) {
    const unsigned long long k = global_index();
    if (k >= cones) return;
    const double* c = s + 3 * k;
    double g[3];
    const bool inside = host::exp_primal_interior(c);
    host::exp_barrier_gradient(host::exp_point(c), g);
    for (int i = 0; i < 3; ++i) out[3 * k + i] = inside ? g[i] : NAN;
}

// s~ = -grad f*(z) per cone; NaN for a cone that is not inside K*.
__global__ void exp_ipm_shadow_kernel(const double* z, double* out, unsigned long long cones) {
    const unsigned long long k = global_index();
    if (k >= cones) return;
    const double* c = z + 3 * k;
    const bool inside = host::exp_dual_interior(c);
    const host::ExpShadow sh = host::exp_dual_shadow(c);
    for (int i = 0; i < 3; ++i) out[3 * k + i] = inside ? sh.s[i] : NAN;
}

__global__ void exp_ipm_scaling_kernel(const double* s, const double* z, double* states, unsigned long long cones) {
    const unsigned long long k = global_index();
    if (k < cones) host::exp_pd_state(s + 3 * k, z + 3 * k, states + host::kExpStateSize * k);
}

__global__ void exp_ipm_dual_scaling_kernel(const double* z, double mu, double* states, unsigned long long cones) {
    const unsigned long long k = global_index();
    if (k < cones) host::exp_dual_side_state(z + 3 * k, mu, states + host::kExpStateSize * k);
}

__global__ void exp_ipm_apply_kernel(const double* states, const double* x, double* out, unsigned long long cones,
                                     bool inverse) {
    const unsigned long long k = global_index();
    if (k < cones) host::exp_state_apply(states + host::kExpStateSize * k, x + 3 * k, out + 3 * k, inverse);
}

// eta per cone; NaN for a cone whose s is not interior.
__global__ void exp_ipm_corrector_kernel(const double* s, const double* ds, const double* dz, double* out,
                                         unsigned long long cones) {
    const unsigned long long k = global_index();
    if (k >= cones) return;
    const unsigned long long o = 3 * k;
    const bool inside = host::exp_primal_interior(s + o);
    double eta[3];
    host::exp_corrector(s + o, ds + o, dz + o, eta);
    for (int i = 0; i < 3; ++i) out[o + i] = inside ? eta[i] : NAN;
}

// d_s per cone; NaN for a cone whose s is not interior when the correction is used.
__global__ void exp_ipm_shift_kernel(const double* states, const double* s, const double* ds, const double* dz,
                                     double* out, unsigned long long cones, double sigma_mu, double correction) {
    const unsigned long long k = global_index();
    if (k >= cones) return;
    const unsigned long long o = 3 * k;
    const bool usable = correction == 0.0 || host::exp_primal_interior(s + o);
    double d[3];
    host::exp_combined_shift(states + host::kExpStateSize * k, s + o, ds + o, dz + o, sigma_mu, correction, d);
    for (int i = 0; i < 3; ++i) out[o + i] = usable ? d[i] : NAN;
}

__global__ void exp_ipm_csr_kernel(const double* states, const long long* indptr, const long long* indices,
                                   double* values, unsigned long long nnz, unsigned long long cones,
                                   unsigned long long row_offset, bool inverse) {
    csr_rows(indptr, indices, values, nnz, 3 * cones, row_offset,
             ExpStateBlocks{3, host::ExpStateEntry{states, inverse}});
}

__global__ void exp_ipm_coo_kernel(const double* states, const long long* row_indices, const long long* col_indices,
                                   double* values, unsigned long long nnz, unsigned long long cones,
                                   unsigned long long row_offset, bool inverse) {
    coo_entries(row_indices, col_indices, values, nnz, 3 * cones, row_offset,
                ExpStateBlocks{3, host::ExpStateEntry{states, inverse}});
}

bool exp_ipm_interior_cuda(const double* x, std::uint64_t cones, bool dual, int device) {
    const DeviceGuard guard(device);
    if (cones == 0) return true;
    return flags_all_clear("exp_ipm_interior_kernel", exp_ipm_interior_kernel, x, cones, dual);
}

double exp_ipm_step_cuda(const double* s, const double* ds, const double* z, const double* dz, std::uint64_t cones,
                         double alpha0, double factor, double alpha_min, int device) {
    const DeviceGuard guard(device);
    if (cones == 0) return alpha0 >= alpha_min ? alpha0 : 0.0;
    alpha_min = host::exp_backtrack_floor(alpha0, factor, alpha_min);
    double alpha = combine_values(Combine::kMin, blocks_for(cones), [&](double* partials, cudaStream_t st) {
        VELKORA_LAUNCH(exp_ipm_cone_step_kernel, grid_for(cones), dim3(kThreads), 0, st, s, ds, z, dz, partials,
                       static_cast<unsigned long long>(cones), alpha0, factor, alpha_min);
    });
    // The host's continuation: the check at the smallest first accepted term, then the next terms.
    while (alpha > 0.0) {
        if (flags_all_clear("exp_ipm_trial_kernel", exp_ipm_trial_kernel, s, cones, ds, z, dz, alpha)) return alpha;
        alpha = host::exp_next_alpha(alpha, factor, alpha_min);
    }
    return 0.0;
}

double exp_ipm_barrier_cuda(const double* x, std::uint64_t cones, bool dual, int device) {
    const DeviceGuard guard(device);
    if (cones == 0) return 0.0;
    return combine_values(Combine::kSum, blocks_for(cones), [&](double* partials, cudaStream_t st) {
        VELKORA_LAUNCH(exp_ipm_barrier_kernel, grid_for(cones), dim3(kThreads), 0, st, x, partials,
                       static_cast<unsigned long long>(cones), dual);
    });
}

void exp_ipm_barrier_gradient_cuda(const double* s, double* out, std::uint64_t cones, int device,
                                   StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_gradient_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), s, out,
                   static_cast<unsigned long long>(cones));
}

void exp_ipm_dual_shadow_cuda(const double* z, double* out, std::uint64_t cones, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_shadow_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), z, out,
                   static_cast<unsigned long long>(cones));
}

void exp_ipm_scaling_cuda(const double* s, const double* z, double* states, std::uint64_t cones, int device,
                          StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_scaling_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), s, z, states,
                   static_cast<unsigned long long>(cones));
}

void exp_ipm_dual_scaling_cuda(const double* z, double mu, double* states, std::uint64_t cones, int device,
                               StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_dual_scaling_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), z, mu, states,
                   static_cast<unsigned long long>(cones));
}

void exp_ipm_apply_cuda(const double* states, const double* x, double* out, std::uint64_t cones, bool inverse,
                        int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_apply_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), states, x, out,
                   static_cast<unsigned long long>(cones), inverse);
}

void exp_ipm_corrector_cuda(const double* s, const double* ds, const double* dz, double* out, std::uint64_t cones,
                            int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_corrector_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), s, ds, dz, out,
                   static_cast<unsigned long long>(cones));
}

void exp_ipm_combined_shift_cuda(const double* states, const double* s, const double* ds, const double* dz,
                                 double* out, std::uint64_t cones, double sigma_mu, double correction, int device,
                                 StreamHandle stream) {
    const DeviceGuard guard(device);
    if (cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_shift_kernel, grid_for(cones), dim3(kThreads), 0, to_stream(stream), states, s, ds, dz, out,
                   static_cast<unsigned long long>(cones), sigma_mu, correction);
}

void exp_ipm_hmatrix_csr_cuda(const double* states, const std::int64_t* indptr, const std::int64_t* indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    const unsigned long long rows = 3 * cones;
    if (rows == 0) return;
    VELKORA_LAUNCH(exp_ipm_csr_kernel, grid_blocks(rows), dim3(kThreads), 0, to_stream(stream), states,
                   as_index(indptr), as_index(indices), values, nnz, static_cast<unsigned long long>(cones),
                   row_offset, inverse);
}

void exp_ipm_hmatrix_coo_cuda(const double* states, const std::int64_t* row_indices, const std::int64_t* col_indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (nnz == 0 || cones == 0) return;
    VELKORA_LAUNCH(exp_ipm_coo_kernel, grid_for(nnz), dim3(kThreads), 0, to_stream(stream), states,
                   as_index(row_indices), as_index(col_indices), values, nnz,
                   static_cast<unsigned long long>(cones), row_offset, inverse);
}

namespace {

// H at block-local (r, c) of the sparse fill.
struct ExponentialHEntry {
    const double* s;
    const double* z;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        // Entries coupling two different cones are 0; c < d holds by construction.
        const unsigned long long cone = r / 3;
        if (c / 3 != cone) return 0.0;
        return expcone::device_block_entry(s + 3 * cone, z + 3 * cone, static_cast<unsigned>(r - 3 * cone),
                                           static_cast<unsigned>(c - 3 * cone));
    }
};

}  // namespace

__global__ void exp_hmatrix_csr_kernel(const double* s, const double* z, const long long* indptr,
                                  const long long* indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, d, row_offset, ExponentialHEntry{s, z});
}

__global__ void exp_hmatrix_coo_kernel(const double* s, const double* z, const long long* row_indices,
                                  const long long* col_indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, d, row_offset, ExponentialHEntry{s, z});
}

void exp_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream) {
    VELKORA_LAUNCH_CSR_FILL(exp_hmatrix_csr_kernel, d, device, stream, s, z, as_index(indptr), as_index(indices),
                            values, nnz, d, row_offset);
}

void exp_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream) {
    VELKORA_LAUNCH_COO_FILL(exp_hmatrix_coo_kernel, nnz, device, stream, s, z, as_index(row_indices),
                            as_index(col_indices), values, nnz, d, row_offset);
}

}  // namespace velkora::torv::cones::device
