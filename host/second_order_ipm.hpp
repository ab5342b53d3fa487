// Interior-point forms of the second-order cone K = {x : x_0 >= ||x_bar||}: interior test,
// step to the boundary, smallest spectral value, NT scaling state and scaled point, products
// with W, Jordan product and solve, H or H^-1 from the stored state, and the sparse expansion
// of H^-1 (or H) for large cones. Everything is O(n) per item from the scaling point w of
// host/second_order.hpp (J = diag(1, -1, ..., -1), w^T J w = 1):
//   W = eta (2 v v^T - J), v = (w + e_0)/sqrt(2 (w_0 + 1)) the Jordan square root of w,
//   W x    = eta   (w^T x,         x_bar + (x_0 + w_bar^T x_bar/(w_0 + 1)) w_bar),
//   W^-1 x = 1/eta (w_0 x_0 - w_bar^T x_bar, x_bar + (w_bar^T x_bar/(w_0 + 1) - x_0) w_bar),
//   W^T = W, W^T W = H^-1 = eta^2 (2 w w^T - J), H = (2 (J w)(J w)^T - J)/eta^2,
//   lambda = W z = W^-1 s = sqrt(||s||_J ||z||_J) (gamma, ((gamma + z~_0) s~_bar + (gamma + s~_0)
//   z~_bar)/(s~_0 + z~_0 + 2 gamma)) with s~ = s/||s||_J, z~ = z/||z||_J (no cancellation).
// Scale: every routine works on its vectors brought to unit scale by powers of four (the
// exponents of soc_quarter_exponent) and scales results back by exact powers of two, so
// nothing overflows or underflows in between. Sums over the tail are added in the order of
// the device kernels' block-wide sums (lane t of 256 takes i = 1 + t, 1 + t + 256, ...; then
// the tree), so host and device give the same bits. Host pointers unless marked VELKORA_HD.
#pragma once

#include <cmath>
#include <cstdint>

#include "host/host_device.hpp"
#include "host/second_order.hpp"
#include "host/sparse_fill.hpp"

namespace velkora::torv::cones::host {

// ---------------------------------------------------------------------------------------
// Scaling state of one item: kSocStateHeader scalars, then w (n entries).
//   [0] e = es - ez (an integer): eta = 2^e sqrt(q)
//   [1] r = ||z'||_J/||s'||_J:   H    = 4^-e r (2 (J w)(J w)^T - J)
//   [2] q = ||s'||_J/||z'||_J:   H^-1 = 4^e  q (2 w w^T - J)
//   [3] sqrt(q)
// ---------------------------------------------------------------------------------------
inline constexpr u64 kSocStateHeader = 4;

VELKORA_HD inline u64 soc_state_size(u64 n) { return n + kSocStateHeader; }

// The header of an interior pair's scaling point p; NaN everywhere for a pair that is not
// interior (device kernels, which do not refuse).
VELKORA_HD inline void soc_state_header(const SocNtPoint& p, bool interior, double* header) {
    const double q = p.s_jnorm / p.z_jnorm;
    header[0] = interior ? static_cast<double>((p.z_unit.shift - p.s_unit.shift) / 2) : NAN;
    header[1] = interior ? p.h_unit : NAN;
    header[2] = interior ? q : NAN;
    header[3] = interior ? sqrt(q) : NAN;
}

// The stored state of one item, read back.
struct SocState {
    int e;
    double r, q, eta;
    const double* w;
};

VELKORA_HD inline SocState soc_state(const double* item) {
    const double e = item[0];
    // A NaN header (a device item that was not interior) reads as e = 0; its NaN scalars
    // carry through every result. Exponents of real states lie within +-1100.
    const bool valid = fabs(e) <= 4096.0;
    return SocState{valid ? static_cast<int>(e) : 0, item[1], item[2], item[3], item + kSocStateHeader};
}

// H(i, j) or H^-1(i, j) from the stored state. H(i, j) is soc_nt_h_entry of the same scalars
// (the bits of _cpp_cuda's NT matrix for the same pair); H^-1(i, j) = 4^e ((w_i w_j) 2q - q at
// (0, 0), + q at (k, k)).
VELKORA_HD inline double soc_state_h_entry(const SocState& st, u64 i, u64 j, bool inverse) {
    if (!inverse) {
        SocNtPoint p;
        p.h_unit = st.r;
        p.h_twice = st.r + st.r;
        p.h_scale = soc_pow2(-2 * st.e);
        return soc_nt_h_entry(p, st.w[i], st.w[j], i, j);
    }
    double v = (st.w[i] * st.w[j]) * (st.q + st.q);
    if (i == j) v = i == 0 ? v - st.q : v + st.q;
    return soc_pow2_apply(soc_pow2(2 * st.e), v);
}

// ---------------------------------------------------------------------------------------
// Scaled point.
// ---------------------------------------------------------------------------------------
struct SocLambdaCoefs {
    double head;   // lambda_0 before the power of two
    double s_coef;  // lambda_i = 2^(es+ez) (s_coef s'_i + z_coef z'_i), i >= 1
    double z_coef;
    SocPow2 scale;  // 2^(es + ez)
};

VELKORA_HD inline SocLambdaCoefs soc_lambda_coefs(const SocNtPoint& p, double s0u, double z0u) {
    const double st0 = s0u / p.s_jnorm;
    const double zt0 = z0u / p.z_jnorm;
    const double denom = (st0 + zt0) + (p.gamma + p.gamma);
    const double root = sqrt(p.s_jnorm) * sqrt(p.z_jnorm);
    SocLambdaCoefs c;
    c.head = p.gamma * root;
    c.s_coef = ((p.gamma + zt0) / denom) * (root / p.s_jnorm);
    c.z_coef = ((p.gamma + st0) / denom) * (root / p.z_jnorm);
    c.scale = soc_pow2(-(p.s_unit.shift + p.z_unit.shift) / 2);
    return c;
}

// lambda_i from the raw s_i, z_i (i >= 1).
VELKORA_HD inline double soc_lambda_tail(const SocLambdaCoefs& c, const SocNtPoint& p, double s_i, double z_i) {
    return soc_pow2_apply(c.scale, c.s_coef * soc_pow2_apply(p.s_unit, s_i) + c.z_coef * soc_pow2_apply(p.z_unit, z_i));
}

// ---------------------------------------------------------------------------------------
// Products with W from the stored state and dot = w_bar^T x_bar.
// ---------------------------------------------------------------------------------------
struct SocScaleCoefs {
    double head;  // out_0 before the power of two
    double coef;  // out_i = (x_i + coef w_i) * eta (or / eta), then the power of two
    double eta;
    bool inverse;
    SocPow2 scale;  // 2^e, or 2^-e for the inverse
};

VELKORA_HD inline SocScaleCoefs soc_scale_coefs(const SocState& st, double x0, double dot, bool inverse) {
    const double w0 = st.w[0];
    const double ratio = dot / (w0 + 1.0);
    SocScaleCoefs c;
    c.eta = st.eta;
    c.inverse = inverse;
    if (inverse) {
        c.head = (w0 * x0 - dot) / st.eta;
        c.coef = ratio - x0;
        c.scale = soc_pow2(-st.e);
    } else {
        c.head = (w0 * x0 + dot) * st.eta;
        c.coef = x0 + ratio;
        c.scale = soc_pow2(st.e);
    }
    return c;
}

VELKORA_HD inline double soc_scale_tail(const SocScaleCoefs& c, double x_i, double w_i) {
    const double v = x_i + c.coef * w_i;
    return soc_pow2_apply(c.scale, c.inverse ? v / c.eta : v * c.eta);
}

// ---------------------------------------------------------------------------------------
// Interior test, step and spectral value from unit-scaled heads and tail sums.
// ---------------------------------------------------------------------------------------

// Largest alpha >= 0 with x + alpha d in K, from the unit-scaled pair x' = x 4^-ex,
// d' = d 4^-ed: x0u, d0u the heads, xx, dd, xd the tail sums x'x', d'd', x'd'. 0 unless x is
// interior; +inf when no boundary is met; 0 when the data hold NaN. With
// det(x' + a d') = A a^2 + 2 B a + C, A = det d', B = x'^T J d', C = det x' > 0 (the
// determinants as products (h - t)(h + t)), the exit is the smallest positive root, taken
// from q = -(B + sign(B) sqrt(B^2 - A C)) as q/A or C/q (no cancellation); alpha =
// 4^(ex-ed) a.
VELKORA_HD inline double soc_step_from_sums(double x0u, double d0u, double xx, double dd, double xd, int ex,
                                            int ed) {
    if (!soc_unit_interior(x0u, xx)) return 0.0;
    const double tx = sqrt(xx);
    const double td = sqrt(dd);
    if (d0u >= td) return HUGE_VAL;  // d in K: x + alpha d stays in K
    const double a = (d0u - td) * (d0u + td);
    const double b = x0u * d0u - xd;
    const double c = (x0u - tx) * (x0u + tx);
    if (a != a || b != b) return 0.0;
    double step = HUGE_VAL;
    if (a == 0.0) {
        if (b < 0.0) step = -c / (b + b);
    } else {
        // Real roots always: A < 0 gives B^2 - A C > 0, and A > 0 here means d in -int K,
        // whose path must cross the boundary (a double root when d is a multiple of -x), so a
        // negative computed discriminant is rounding and counts as 0.
        const double disc = fmax(b * b - a * c, 0.0);
        const double root = sqrt(disc);
        const double q = -(b + (b < 0.0 ? -root : root));
        const double r1 = q / a;
        const double r2 = c / q;
        if (r1 > 0.0 && r1 < step) step = r1;
        if (r2 > 0.0 && r2 < step) step = r2;
    }
    if (step != step) return 0.0;
    return soc_pow2_apply(soc_pow2(2 * (ex - ed)), step);
}

// x_0 - ||x_bar|| from the unit-scaled head and tail sum, scaled back by 4^ex.
VELKORA_HD inline double soc_spectral_min_from_sums(double x0u, double xx, int ex) {
    return soc_pow2_apply(soc_pow2(2 * ex), x0u - sqrt(xx));
}

// Jordan solve lam o u = x from the unit-scaled lam' = lam 4^-el: head l0u, tail sums
// ll = lam'^T lam' and lx = lam'_bar^T x_bar (x unscaled). U0 = (l0u x_0 - lx)/det lam',
// u_0 = 4^-el U0, u_i = 4^-el (x_i - U0 lam'_i)/l0u. The caller tests soc_unit_interior.
struct SocSolveCoefs {
    double head;  // U0
    double l0u;
    SocPow2 scale;  // 4^-el, for lam' and for u
};

VELKORA_HD inline SocSolveCoefs soc_solve_coefs(double l0u, double ll, double lx, double x0, int el) {
    const double t = sqrt(ll);
    SocSolveCoefs c;
    c.head = (l0u * x0 - lx) / ((l0u - t) * (l0u + t));
    c.l0u = l0u;
    c.scale = soc_pow2(-2 * el);
    return c;
}

VELKORA_HD inline double soc_solve_tail(const SocSolveCoefs& c, double lam_i, double x_i) {
    return soc_pow2_apply(c.scale, (x_i - c.head * soc_pow2_apply(c.scale, lam_i)) / c.l0u);
}

// ---------------------------------------------------------------------------------------
// Sparse expansion of H^-1 (or H) for large cones. With M = 2 w w^T - J, t = ||w_bar|| and
// w_0 = sqrt(1 + t^2):
//   M = D + u u^T - v v^T,  D = diag((w_0 - t)^2, 1, ..., 1),
//   u = (sqrt(2 w_0 t), sqrt(2 w_0/t) w_bar),  v = (0, sqrt(2/(t (w_0 + t))) w_bar)
// (t = 0: u = v = 0, D = I), with (w_0 - t) = 1/(w_0 + t) and every square root taken of a
// product of positive numbers, so nothing cancels. H^-1 = 4^e q M and H = 4^-e r M(J w)
// (w_bar negated). In the block
//   [[D~, u~, v~], [u~^T, -1, 0], [v~^T, 0, +1]]   (D~ = 4^e q D, u~ = 2^e sqrt(q) u, ...)
// eliminating the two extra rows gives D~ + u~ u~^T - v~ v~^T = H^-1: its Schur complement is
// the cone's block. A solver that puts -H^-1 in its KKT matrix negates the whole block: the
// u-row's +1 then joins the positive (primal) side and the v-row's -1 the negative side,
// whose block [[-D~, -v~], [-v~^T, -1]] is negative definite because D - v v^T has the
// eigenvalues (w_0 - t)^2 > 0 and 1: the augmented KKT matrix stays quasi-definite.
// ---------------------------------------------------------------------------------------
struct SocExpansion {
    double d0;      // D~_00
    double d1;      // D~_kk, k >= 1
    double u0;      // u~_0
    double u_coef;  // u~_k = u_coef w_k
    double v_coef;  // v~_k = v_coef w_k (v~_0 = 0)
};

// From the stored state and t^2 = w_bar^T w_bar.
VELKORA_HD inline SocExpansion soc_expansion(const SocState& st, double tail_sq, bool inverse) {
    const double w0 = st.w[0];
    const double t = sqrt(tail_sq);
    const double g = 1.0 / (w0 + t);  // w_0 - t
    const double factor = inverse ? st.q : st.r;
    const double root = inverse ? st.eta : sqrt(st.r);
    const SocPow2 diag_scale = soc_pow2(inverse ? 2 * st.e : -2 * st.e);
    const SocPow2 col_scale = soc_pow2(inverse ? st.e : -st.e);
    const double sign = inverse ? 1.0 : -1.0;  // H: w_bar -> -w_bar
    SocExpansion x;
    x.d0 = soc_pow2_apply(diag_scale, (g * g) * factor);
    x.d1 = soc_pow2_apply(diag_scale, factor);
    if (t > 0.0) {
        x.u0 = soc_pow2_apply(col_scale, sqrt((w0 + w0) * t) * root);
        x.u_coef = soc_pow2_apply(col_scale, sign * (sqrt((w0 + w0) / t) * root));
        x.v_coef = soc_pow2_apply(col_scale, sign * (sqrt(2.0 / (t * (w0 + t))) * root));
    } else {
        x.u0 = 0.0;
        x.u_coef = 0.0;
        x.v_coef = 0.0;
    }
    return x;
}

// Stored entries of one item's expansion: 5n (diagonal n, u column and row 2n, v column and
// row over the tail 2(n - 1) since v_0 = 0, the two extra diagonal entries).
VELKORA_HD inline u64 soc_expansion_entries(u64 n) { return 5 * n; }

// Entry of the augmented block of `batch` items: cone rows [row_offset, row_offset + n batch)
// (item b's at row_offset + b n) and extra rows [extra_offset, extra_offset + 2 batch) (item
// b's u-row at extra_offset + 2b, v-row at + 1); `kind` of a global index: 0 outside, 1 cone
// row/column (local index k), 2 extra (local index k). Entries between different items, and
// columns outside both ranges, are 0.
struct SocExpansionIndex {
    int kind;
    u64 item;
    u64 local;  // index inside the item: 0..n-1 for cone, 0 (u) or 1 (v) for extra
};

VELKORA_HD inline SocExpansionIndex soc_expansion_index(long long global, u64 n, u64 batch, u64 row_offset,
                                                        u64 extra_offset) {
    SocExpansionIndex ix{0, 0, 0};
    if (global < 0) return ix;
    const u64 g = static_cast<u64>(global);
    if (g >= row_offset && g - row_offset < n * batch) {
        ix.kind = 1;
        ix.item = (g - row_offset) / n;
        ix.local = (g - row_offset) - ix.item * n;
    } else if (g >= extra_offset && g - extra_offset < 2 * batch) {
        ix.kind = 2;
        ix.item = (g - extra_offset) / 2;
        ix.local = (g - extra_offset) - 2 * ix.item;
    }
    return ix;
}

// Value at (row, col) of the augmented block; `x` is the row item's expansion and w its
// scaling point.
VELKORA_HD inline double soc_expansion_entry(const SocExpansion& x, const double* w, const SocExpansionIndex& row,
                                             const SocExpansionIndex& col) {
    if (row.kind == 0 || col.kind == 0 || row.item != col.item) return 0.0;
    if (row.kind == 1 && col.kind == 1) return row.local == col.local ? (row.local == 0 ? x.d0 : x.d1) : 0.0;
    if (row.kind == 2 && col.kind == 2) return row.local == col.local ? (row.local == 0 ? -1.0 : 1.0) : 0.0;
    const SocExpansionIndex& cone = row.kind == 1 ? row : col;
    const SocExpansionIndex& extra = row.kind == 2 ? row : col;
    if (extra.local == 0) return cone.local == 0 ? x.u0 : x.u_coef * w[cone.local];
    return cone.local == 0 ? 0.0 : x.v_coef * w[cone.local];
}

// ---------------------------------------------------------------------------------------
// Host routines over a batch of items of dimension n (>= 1).
// ---------------------------------------------------------------------------------------
bool soc_interior(const double* x, u64 n, u64 batch);
// The sparse expansion into a caller's CSR values: cone rows [row_offset, + n batch) and the
// extra rows [extra_offset, + 2 batch) (soc_expansion_index), the structure walked and checked
// first (the messages of the sparse H fill), then written. The ranges must not overlap.
void soc_expansion_csr_fill(const double* scaling, const i64* indptr, u64 indptr_len, const i64* indices,
                            double* values, u64 nnz, u64 n, u64 batch, u64 row_offset, u64 extra_offset,
                            bool inverse);
// COO coordinates of the expansion's stored entries (soc_expansion_entries(n) per item): per
// item the cone diagonal, then (cone k, u-row) and (u-row, cone k) for k = 0..n-1, then
// (cone k, v-row) and (v-row, cone k) for k = 1..n-1, then (u, u) and (v, v).
void soc_expansion_pattern(u64 n, u64 batch, u64 row_offset, u64 extra_offset, i64* rows, i64* cols);
double soc_max_step(const double* x, const double* dx, u64 n, u64 batch, double alpha_max);
double soc_spectral_min(const double* x, u64 n, u64 batch);
// Refuses with "SOC NT scaling requires strictly interior cone vectors" (before writing).
void soc_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n, u64 batch);
void soc_scale(const double* scaling, const double* x, double* out, u64 n, u64 batch, bool inverse);
void soc_jordan_product(const double* x, const double* y, double* out, u64 n, u64 batch);
// Refuses with "SOC Jordan solve requires a strictly interior lam" (before writing).
void soc_jordan_solve(const double* lam, const double* x, double* out, u64 n, u64 batch);
// t^2 = w_bar^T w_bar of each item's stored w, in the device order, into tail_sq (batch).
void soc_state_tail_squares(const double* scaling, u64 n, u64 batch, double* tail_sq);

// Sum over i = 1 .. n-1 of term(i) in the device kernels' order: lane t accumulates, from
// 0.0, the terms i = 1 + t, 1 + t + 256, ...; then lane t + s is added to lane t for
// s = 128, 64, ..., 1 (the block-wide tree). Lanes that hold no term are +0.0 and adding them
// changes nothing, so only the first `lanes` take part (the smallest power of two not below
// min(n - 1, 256)). The terms are visited in index order, 256 lanes at a time.
template <class Term>
double soc_lane_sum(u64 n, Term&& term) {
    if (n < 2) return 0.0;
    const u64 terms = n - 1;
    u64 lanes = 1;
    while (lanes < kSocNtLanes && lanes < terms) lanes <<= 1;
    double acc[kSocNtLanes];
    for (u64 t = 0; t < lanes; ++t) acc[t] = 0.0;
    for (u64 base = 1; base < n; base += kSocNtLanes) {
        const u64 count = n - base < kSocNtLanes ? n - base : kSocNtLanes;
        for (u64 t = 0; t < count; ++t) acc[t] += term(base + t);
    }
    for (u64 s = lanes / 2; s > 0; s >>= 1)
        for (u64 t = 0; t < s; ++t) acc[t] = acc[t] + acc[t + s];
    return acc[0];
}

}  // namespace velkora::torv::cones::host
