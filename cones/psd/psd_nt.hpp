// Nesterov-Todd scaling of the PSD cone: the scaling point W with W S W = Z and the
// operator H of X -> W X W in svec coordinates (H s = z), by the general factor path
// (any n), its 2x2 closed form and the 1x1 quotient. The inline pieces are shared by the
// host routines and the device kernels; dense matrices are row-major n x n. The unit
// scaling and the scalar guards, which the LAPACK path shares, are in psd_scale.hpp.
//
// The factor path never forms S^(1/2) Z S^(1/2), whose eigen-decomposition would square
// the conditioning of the pair. With S = Ls Ls^T, Z = Lz Lz^T (Cholesky) and the singular
// value decomposition B = Ls^T Lz = V diag(sigma) U^T, the factor
//     R = Lz U diag(sigma)^(-1/2)
// satisfies R^T S R = diag(sigma) = R^-1 Z R^-T, so W = R R^T solves W S W = Z:
//     R^T S R = sigma^(-1/2) U^T (B^T B) U sigma^(-1/2) = sigma,  B^T B = U sigma^2 U^T;
//     R^-1 Z R^-T = sigma^(1/2) U^T Lz^-1 (Lz Lz^T) Lz^-T U sigma^(1/2) = sigma;
//     W S W = R (R^T S R) R^T = R sigma R^T = Z.
// W is the unique positive definite solution, the one of every other NT formula; sigma is
// the NT scaled point (lambda = R^T S R = R^-1 Z R^-T, diagonal). W is formed as
// P diag(sigma)^-1 P^T with P = Lz U. Nothing is inverted: the singular vectors come from
// one-sided (Hestenes) Jacobi on the columns of B, with the rotations accumulated into U,
// which is thus orthogonal to working precision. The only refusal is a Cholesky pivot that
// is not positive and finite: it is the strict interior test of S and of Z.
#pragma once

#include <math.h>

#include <cstdint>
#include <vector>

#include "host/double_limits.hpp"
#include "host/host_device.hpp"
#include "cones/psd/psd_scale.hpp"
#include "cones/psd/psd_svec.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// The Cholesky sum of entry (i, j), j <= i, of the unit-scale matrix: a_ij - sum_{t<j} L[i][t]
// L[j][t], t ascending, with a_ij the svec entry `stored` times `unit` (divided by sqrt(2) off the
// diagonal) and row t of L at Li[t * stride_i], Lj[t * stride_j] (a factor may be kept by rows or
// by columns).
// (Index: the integer type of the caller's indices; the device's are 32-bit.)
template <class Index>
VELKORA_HD inline double psd_cholesky_sum(double stored, const PsdPow2& unit, bool diagonal, const double* Li,
                                          Index stride_i, const double* Lj, Index stride_j, Index j) {
    double sum = unit(stored);
    if (!diagonal) sum = sum / kPsdSqrt2;
    VELKORA_DEVICE_NO_UNROLL
    for (Index t = 0; t < j; ++t) sum -= Li[t * stride_i] * Lj[t * stride_j];
    return sum;
}

// Lower Cholesky factor L of 4^-k smat(v) into the lower triangle of L (n x n; the strict
// upper triangle is not written), row by row: L[i][j] = (a_ij - sum_{t<j} L[i][t] L[j][t]) /
// L[j][j], L[i][i] = sqrt(a_ii - sum_{t<i} L[i][t]^2). Returns false at the first pivot that
// is not positive and finite: the matrix is then not strictly positive definite (or holds
// a NaN or an infinity, which always reaches a later pivot). Every entry depends only on
// entries to its left and on the rows above, so any order that respects that (the device's
// column by column) gives the same bits.
VELKORA_HD inline bool psd_cholesky_fill(const double* v, u64 n, int k, double* L) {
    const PsdPow2 unit(-2 * k);
    for (u64 i = 0; i < n; ++i) {
        const double* row = v + psd_svec_length(i);
        double* Li = L + i * n;
        for (u64 j = 0; j <= i; ++j) {
            const double sum = psd_cholesky_sum<u64>(row[j], unit, j == i, Li, 1, L + j * n, 1, j);
            if (j == i) {
                if (!psd_pivot_ok(sum)) return false;
                Li[i] = sqrt(sum);
            } else {
                Li[j] = sum / L[j * n + j];
            }
        }
    }
    return true;
}

// Plane rotation (c, sn) that makes two columns x, y with alpha = |x|^2, beta = |y|^2,
// gamma = x.y orthogonal when x <- c x - sn y, y <- sn x + c y: t = sn/c is the smaller
// root of t^2 + 2 zeta t - 1 = 0, zeta = (beta - alpha) / (2 gamma), c = 1/sqrt(1 + t^2).
// Returns false when the rotation is the identity to working precision (t = 0).
VELKORA_HD inline bool psd_hestenes_rotation(double alpha, double beta, double gamma, double& c, double& sn) {
    const double zeta = (beta - alpha) / (2.0 * gamma);
    const double t = (zeta >= 0.0 ? 1.0 : -1.0) / (fabs(zeta) + sqrt(1.0 + zeta * zeta));
    if (!(t != 0.0)) return false;
    c = 1.0 / sqrt(1.0 + t * t);
    sn = c * t;
    return true;
}

// Euclidean norm of x (count entries); when the plain sum of squares is so small that
// squares below the normal range could matter, the entries are first divided by their
// largest magnitude.
template <class Index = u64>
VELKORA_HD inline double psd_norm2(const double* x, Index count) {
    double sum = 0.0;
    for (Index k = 0; k < count; ++k) sum += x[k] * x[k];
    if (sum >= 0x1p-968) return sqrt(sum);
    double top = 0.0;
    for (Index k = 0; k < count; ++k)
        if (fabs(x[k]) > top) top = fabs(x[k]);
    if (!(top > 0.0)) return 0.0;
    sum = 0.0;
    for (Index k = 0; k < count; ++k) sum += (x[k] / top) * (x[k] / top);
    return top * sqrt(sum);
}

// Work of one factorisation of order n (host or device memory): four n x n matrices and
// one n-vector, laid out by psd_nt_work_at in a block of psd_nt_work_doubles(n) doubles.
struct PsdNtWork {
    double* Ls;     // lower Cholesky factor of the unit-scale S, then P = Lz U
    double* Lz;     // lower Cholesky factor of the unit-scale Z
    double* Bt;     // row j = column j of B = Ls^T Lz, rotated into column j of B U
    double* Ut;     // row j = column j of U
    double* sigma;  // singular values of B
};

VELKORA_HD inline u64 psd_nt_work_doubles(u64 n) { return 4 * n * n + n; }

VELKORA_HD inline PsdNtWork psd_nt_work_at(double* base, u64 n) {
    const u64 nn = n * n;
    return PsdNtWork{base, base + nn, base + 2 * nn, base + 3 * nn, base + 4 * nn};
}

// Largest number of sweeps of the one-sided Jacobi method; convergence is quadratic and
// takes a handful of sweeps for the orders served here.
constexpr u64 kPsdHestenesSweeps = 60;

// Rounds of one sweep of the round-robin ordering of n columns (n rounded up to even, less
// one; 0 for n < 2: no pair).
template <class Index>
VELKORA_HD inline Index psd_round_robin_rounds(Index n) { return n < 2 ? 0 : n + (n & 1) - 1; }

// Pair k (0 <= k < (rounds + 1) / 2) of round r (0 <= r < rounds) of the round-robin ordering
// of n columns, as columns p < q. With N = n rounded up to even, column N - 1 stays in place
// and the others turn one place per round (the circle method): a round holds N/2 disjoint
// pairs, and every pair p < q meets exactly once in the N - 1 rounds of a sweep. For odd n,
// the partner of the fixed column N - 1 = n sits the round out (false).
template <class Index>
VELKORA_HD inline bool psd_round_robin_pair(Index n, Index r, Index k, Index& p, Index& q) {
    const Index rounds = psd_round_robin_rounds(n);
    Index a = r, b = rounds;
    if (k != 0) {
        a = r + k;
        if (a >= rounds) a -= rounds;
        b = r + rounds - k;
        if (b >= rounds) b -= rounds;
    }
    if (b >= n) return false;
    p = a < b ? a : b;
    q = a < b ? b : a;
    return true;
}

// Rows [0, split) and [split, n) of a column pair: the two halves whose dot products are
// summed separately, then added (the device gives each half to one lane).
template <class Index>
VELKORA_HD inline Index psd_hestenes_split(Index n) { return (n + 1) / 2; }

// |x|^2, |y|^2 and x.y over rows [from, to), rows ascending.
struct PsdColumnDots {
    double alpha, beta, gamma;
};

template <class Index>
VELKORA_HD inline PsdColumnDots psd_column_dots(const double* x, const double* y, Index from, Index to) {
    PsdColumnDots d{0.0, 0.0, 0.0};
    VELKORA_DEVICE_NO_UNROLL
    for (Index k = from; k < to; ++k) {
        d.alpha += x[k] * x[k];
        d.beta += y[k] * y[k];
        d.gamma += x[k] * y[k];
    }
    return d;
}

// Whether columns with these dot products are rotated, and by which (c, sn): not when they are
// orthogonal to `tol` relative to their norms, nor when the rotation is the identity.
VELKORA_HD inline bool psd_hestenes_decide(const PsdColumnDots& d, double tol, double& c, double& sn) {
    if (!(fabs(d.gamma) > tol * (sqrt(d.alpha) * sqrt(d.beta)))) return false;
    return psd_hestenes_rotation(d.alpha, d.beta, d.gamma, c, sn);
}

// x <- c x - sn y, y <- sn x + c y over rows [from, to).
template <class Index>
VELKORA_HD inline void psd_rotate_columns(double* x, double* y, double c, double sn, Index from, Index to) {
    VELKORA_DEVICE_NO_UNROLL
    for (Index k = from; k < to; ++k) {
        const double a = x[k], b = y[k];
        x[k] = c * a - sn * b;
        y[k] = sn * a + c * b;
    }
}

// Singular value decomposition B = V diag(sigma) U^T of the n x n matrix B held by columns
// in the rows of Bt, by one-sided Jacobi: sweeps over the column pairs p < q in round-robin
// order rotate columns p, q of B (and of U, started at the identity) until every pair is
// orthogonal to n eps relative to its norms; then sigma_j = |column j of B U| and column j of
// U its right singular vector. Rotations are exactly orthogonal in form, so U stays
// orthogonal to working precision whatever the conditioning of B. The pairs of a round are
// disjoint, so the device rotates them at once with the same bits; each pair's dot products
// are the sums of its two row halves (psd_hestenes_split).
VELKORA_HD inline void psd_hestenes_svd(double* Bt, double* Ut, double* sigma, u64 n) {
    for (u64 e = 0; e < n * n; ++e) Ut[e] = 0.0;
    for (u64 i = 0; i < n; ++i) Ut[i * n + i] = 1.0;
    const double tol = kDoubleEpsilon * static_cast<double>(n);
    const u64 rounds = psd_round_robin_rounds(n), pairs = (rounds + 1) / 2, split = psd_hestenes_split(n);
    for (u64 sweep = 0; sweep < kPsdHestenesSweeps; ++sweep) {
        bool rotated = false;
        for (u64 r = 0; r < rounds; ++r)
            for (u64 k = 0; k < pairs; ++k) {
                u64 p, q;
                if (!psd_round_robin_pair(n, r, k, p, q)) continue;
                double* bp = Bt + p * n;
                double* bq = Bt + q * n;
                const PsdColumnDots lo = psd_column_dots<u64>(bp, bq, 0, split);
                const PsdColumnDots hi = psd_column_dots<u64>(bp, bq, split, n);
                const PsdColumnDots d{lo.alpha + hi.alpha, lo.beta + hi.beta, lo.gamma + hi.gamma};
                double c, sn;
                if (!psd_hestenes_decide(d, tol, c, sn)) continue;
                psd_rotate_columns<u64>(bp, bq, c, sn, 0, n);
                psd_rotate_columns<u64>(Ut + p * n, Ut + q * n, c, sn, 0, n);
                rotated = true;
            }
        if (!rotated) break;
    }
    for (u64 j = 0; j < n; ++j) sigma[j] = psd_norm2(Bt + j * n, n);
}

// sum_{k in [from, to)} x[k sx] y[k sy], from 0.0 with k ascending (the order of every
// product of the factor path, on the host and the device).
template <class Index>
VELKORA_HD inline double psd_dot(const double* x, Index sx, const double* y, Index sy, Index from, Index to) {
    double sum = 0.0;
    VELKORA_DEVICE_NO_UNROLL
    for (Index k = from; k < to; ++k) sum += x[k * sx] * y[k * sy];
    return sum;
}

// The NT factors of one pair at unit scale (psd_nt_scale): P' = Lz' U (n x n, row-major,
// into w.Ls) and sigma' (into w.sigma), for S' = 4^-ks smat(s), Z' = 4^-kz smat(z) (m =
// n(n+1)/2 entries each). The factor is R' = P' diag(sigma')^(-1/2), with R'^T S' R' =
// diag(sigma') = R'^-1 Z' R'^-T, and W' = R' R'^T = P' diag(sigma')^-1 P'^T. Returns false,
// with the work undefined, unless both Cholesky factorisations succeed (the pair is then
// not strictly interior); no other quantity refuses the pair.
VELKORA_HD inline bool psd_nt_factor_unit(const double* s, const double* z, u64 n, PsdNtScale scale,
                                          const PsdNtWork& w) {
    if (!psd_cholesky_fill(s, n, scale.ks, w.Ls)) return false;
    if (!psd_cholesky_fill(z, n, scale.kz, w.Lz)) return false;
    // Bt[b][a] = B[a][b] = sum_i Ls[i][a] Lz[i][b], i >= max(a, b) (lower triangles only).
    for (u64 b = 0; b < n; ++b)
        for (u64 a = 0; a < n; ++a) w.Bt[b * n + a] = psd_dot<u64>(w.Ls + a, n, w.Lz + b, n, a > b ? a : b, n);
    psd_hestenes_svd(w.Bt, w.Ut, w.sigma, n);
    // P[i][j] = sum_{k <= i} Lz[i][k] U[k][j], into the factor of S.
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) w.Ls[i * n + j] = psd_dot<u64>(w.Lz + i * n, 1, w.Ut + j * n, 1, 0, i + 1);
    return true;
}

// W = P diag(sigma)^-1 P^T (n x n, symmetric: the lower triangle computed as sum_j (P[i][j] /
// sigma_j) P[l][j], the upper mirrored) of one pair into W, at the pair's own scale: W =
// 2^(kz - ks) W'. Returns false when the pair is not strictly interior
// (psd_nt_factor_unit); W is then untouched.
VELKORA_HD inline bool psd_general_w_fill(const double* s, const double* z, u64 n, double* W, const PsdNtWork& w) {
    const PsdNtScale scale = psd_nt_scale(s, z, psd_svec_length(n));
    if (!psd_nt_factor_unit(s, z, n, scale, w)) return false;
    double* Q = w.Bt;  // P diag(sigma)^-1
    for (u64 j = 0; j < n; ++j) {
        const double d = psd_guarded_sigma(w.sigma[j]);
        for (u64 i = 0; i < n; ++i) Q[i * n + j] = w.Ls[i * n + j] / d;
    }
    const PsdPow2 back(scale.kz - scale.ks);
    for (u64 i = 0; i < n; ++i)
        for (u64 l = 0; l <= i; ++l) {
            const double sum = back(psd_dot<u64>(Q + i * n, 1, w.Ls + l * n, 1, 0, n));
            W[i * n + l] = sum;
            W[l * n + i] = sum;
        }
    return true;
}

// H entry for output svec pair (a, b), a >= b, and input svec pair (c, d), c >= d: the
// (a, b) svec entry of W E W, E the symmetric matrix whose svec is the unit vector of
// (c, d). x = W[a][c] W[b][c] when c = d, else (W[b][d] W[a][c] + W[a][d] W[b][c]) /
// sqrt(2); times sqrt(2) when a != b.
VELKORA_HD inline double psd_operator_value(const double* W, u64 n, u64 a, u64 b, u64 c, u64 d) {
    const double x =
        c == d ? W[a * n + c] * W[b * n + c] : (W[b * n + d] * W[a * n + c] + W[a * n + d] * W[b * n + c]) / kPsdSqrt2;
    return a == b ? x : x * kPsdSqrt2;
}

// H[r][c] by svec indices (decoded into pairs).
VELKORA_HD inline double psd_operator_entry(const double* W, u64 n, u64 r, u64 c) {
    u64 a, b, c1, d;
    psd_svec_decode(r, a, b);
    psd_svec_decode(c, c1, d);
    return psd_operator_value(W, n, a, b, c1, d);
}

// The nine entries (row-major 3x3) of H for an order-2 pair (s, z): the factor path in
// closed form. At unit scale: the 2x2 Cholesky factors (p0, 0; p1, p2) of S' and (q0, 0;
// q1, q2) of Z', B = Ls^T Lz, one Hestenes rotation (c, sn) of B's two columns (which
// makes them orthogonal), sigma_j = |column j of B U|, P = Lz U with U = (c, sn; -sn, c),
// W' = P diag(sigma)^-1 P^T = (w00, w, w11), each entry sum_j (P[i][j] / sigma_j) P[l][j].
// Then H' = (w00^2, (w00 r2) w, w^2; (w00 r2) w, w11 w00 + w^2, (w r2) w11; w^2, (w r2) w11,
// w11^2), r2 = sqrt(2), and H = 4^(kz - ks) H'. Returns false when S or Z is not strictly
// positive definite (H untouched).
VELKORA_HD inline bool psd2_nt_scaling_fill(const double* s, const double* z, double* H) {
    const PsdNtScale scale = psd_nt_scale(s, z, 3);
    double ls[4], lz[4];  // rows (l00, l01 unused, l10, l11)
    if (!psd_cholesky_fill(s, 2, scale.ks, ls)) return false;
    if (!psd_cholesky_fill(z, 2, scale.kz, lz)) return false;
    const double p0 = ls[0], p1 = ls[2], p2 = ls[3];
    const double q0 = lz[0], q1 = lz[2], q2 = lz[3];
    double b0[2] = {p0 * q0 + p1 * q1, p2 * q1};  // column 0 of B
    double b1[2] = {p1 * q2, p2 * q2};            // column 1 of B
    double c = 1.0, sn = 0.0;
    const double alpha = b0[0] * b0[0] + b0[1] * b0[1];
    const double beta = b1[0] * b1[0] + b1[1] * b1[1];
    const double gamma = b0[0] * b1[0] + b0[1] * b1[1];
    if (gamma != 0.0 && psd_hestenes_rotation(alpha, beta, gamma, c, sn)) {
        for (int k = 0; k < 2; ++k) {
            const double x = b0[k], y = b1[k];
            b0[k] = c * x - sn * y;
            b1[k] = sn * x + c * y;
        }
    }
    const double d0 = psd_guarded_sigma(psd_norm2(b0, 2));
    const double d1 = psd_guarded_sigma(psd_norm2(b1, 2));
    // P = Lz U = (q0 c, q0 sn; q1 c - q2 sn, q1 sn + q2 c), W' = P diag(sigma)^-1 P^T.
    const double P00 = q0 * c, P01 = q0 * sn;
    const double P10 = q1 * c - q2 * sn, P11 = q1 * sn + q2 * c;
    const double Q10 = P10 / d0, Q11 = P11 / d1;
    const double w00 = (P00 / d0) * P00 + (P01 / d1) * P01;
    const double w = Q10 * P00 + Q11 * P01;
    const double w11 = Q10 * P10 + Q11 * P11;
    H[0] = w00 * w00;
    H[1] = (w00 * kPsdSqrt2) * w;
    H[2] = w * w;
    H[3] = (w00 * kPsdSqrt2) * w;
    H[4] = w11 * w00 + w * w;
    H[5] = (w * kPsdSqrt2) * w11;
    H[6] = w * w;
    H[7] = (w * kPsdSqrt2) * w11;
    H[8] = w11 * w11;
    const PsdPow2 back(2 * (scale.kz - scale.ks));
    for (int e = 0; e < 9; ++e) H[e] = back(H[e]);
    return true;
}

// ---- Host routines (sequential; failures throw std::runtime_error) ----
// The front of the host NT scaling: in builds with host LAPACK, the scaling point of orders
// from kPsdLapackNtFrom up comes from the same factor path written with LAPACK routines
// (psd_lapack.hpp, which builds on the unit scaling of psd_scale.hpp, not on this
// header).

// The n x n scaling point W of one pair (s, z: n(n+1)/2 entries each); fails with
// "PSD NT scaling requires strictly positive definite matrices".
std::vector<double> psd_general_w(const double* s, const double* z, u64 n);

// H (m x m, m = n(n+1)/2) of X -> W X W into out, every entry psd_operator_value.
void psd_operator_from_w_into(const double* W, u64 n, double* out);
std::vector<double> psd_operator_from_w(const double* W, u64 n);

// H of one pair by the general path (any n).
std::vector<double> psd_nt_scaling_general(const double* s, const double* z, u64 n);

// H (nine entries) of one order-2 pair by the closed form; fails with
// "PSD NT scaling requires strictly positive definite inputs".
void psd2_nt_scaling_host(const double* s, const double* z, double* H);

// `batch` operators into out (item t at t m^2): n = 1 quotient z/s (out cleared first; s
// and z must be positive and finite), n = 2 closed form, n >= 3 general path. Items run in
// order; a failure leaves the earlier items written.
void psd_nt_scaling_batch_host(const double* s, const double* z, double* out, u64 n, u64 batch);

}  // namespace velkora::torv::cones::host
