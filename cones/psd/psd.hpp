// Host projection onto the PSD cone, its violation measure and the membership test, on
// svec vectors of n(n+1)/2 entries (host memory) for any order n >= 1.
#pragma once

#include <cstdint>
#include <math.h>

#include "cones/psd/psd_eigen.hpp"
#include "cones/psd/psd_nt.hpp"
#include "cones/psd/psd_svec.hpp"
#include "cuda/device_api.hpp"
#include "host/double_limits.hpp"
#include "host/host_device.hpp"
#include "host/sparse_fill.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// out = svec(sum_a max(lambda_a, 0) v_a v_a^T) from the eigenpairs of smat(in), decomposed
// at unit scale (a power of two, exact) by the Jacobi method, or by LAPACK from the
// crossover order of psd_lapack.hpp up in builds with host LAPACK; n = 1: max(in, 0)
// with NaN copied through. The whole result is formed before out is written, so out may
// equal in.
void psd_project(const double* in, double* out, u64 n);
// sqrt(sum of lambda^2 over negative eigenvalues), without under- or overflow of the
// squares; n = 1: max(-x, 0). NaN eigenvalues add nothing.
double psd_violation(const double* x, u64 n);
// atol >= violation, false when an entry is NaN; the decomposition always runs in full
// for inputs without NaN.
bool psd_contains(const double* x, u64 n, double atol);

}  // namespace velkora::torv::cones::host

// Interior-point forms of the PSD cone on svec vectors (m = n(n+1)/2 entries per item):
// interior test, step to the boundary, smallest eigenvalue, NT scaling state and scaled
// point, products with W, Jordan product and solve, and H or H^-1 from the stored state.
// The VELKORA_HD routines work on one item with caller-supplied work (host or device
// memory) and are shared by the host loops and the device kernels; dense matrices are
// row-major n x n.
//
// Conventions: W z = W^-T s = lambda and W^T W = H^-1, H being the matrix of X -> Wnt X Wnt
// (Wnt S Wnt = Z, the scaling point of psd_nt.hpp, H s = z). In matrix form
//     W X = R^T X R,  W^T X = R X R^T,  W^-1 X = R^-T X R^-1,  W^-T X = R^-1 X R^-T,
// with R^T Z R = Lambda = R^-1 S R^-T diagonal. From the factor path of psd_nt.hpp
// (S = Ls Ls^T, Z = Lz Lz^T, B = Ls^T Lz = V diag(sigma) U^T by one-sided Jacobi, U
// orthogonal to working precision):
//     R^-T = Lz U diag(sigma)^(-1/2),     the factor that psd_nt.hpp calls R,
//     R    = Lz^-T U diag(sigma)^(1/2)    (= Ls V diag(sigma)^(-1/2), since Lz^T Ls = U sigma V^T),
// so R^T Z R = sigma^(1/2) U^T U sigma^(1/2) = diag(sigma) holds for any orthogonal U, R^-1 S
// R^-T = sigma^(-1/2) U^T B^T B U sigma^(-1/2) = diag(sigma) holds as accurately as U and
// sigma are the right singular pairs of B, and R R^T = Wnt^-1; Lambda = diag(sigma), lambda =
// svec(diag(sigma)). R comes from back substitution with Lz^T (no inverse is formed). The
// other form, Ls V diag(sigma)^(-1/2) with V = (B U) diag(sigma)^-1, misses W z = lambda by up
// to 6e3 times CVXOPT's residual on nearly singular pairs (the columns of B U belonging to
// small singular values carry errors relative to the large ones); the back substitution
// stays within a small factor of it.
//
// Scale: the factor path runs at unit scale, S' = 4^-ks S, Z' = 4^-kz Z (psd_nt_scale), and
// the state keeps the unit-scale factors with one exponent e = (ks - kz)/2: R = 2^e R',
// R^-T = 2^-e R'^-T, sigma = 2^(ks + kz) sigma'. Every routine scales its own input matrix
// to unit scale by a power of four and its result back by an exact power of two.
namespace velkora::torv::cones::host {

// ---------------------------------------------------------------------------------------
// Scaling state of one item (psd_state_size(n) = 2 n^2 + n + 1 doubles):
//   [0]                  e = (ks - kz)/2, an integer
//   [1, 1 + n)           sigma' (unit-scale singular values, raised to the smallest normal
//                        double when below it: psd_guarded_sigma)
//   [1 + n, + n^2)       P' = Lz' U               (R^-T = 2^-e P' diag(sigma')^(-1/2))
//   [1 + n + n^2, + n^2) Q' = Lz'^-T U diag(sigma') (R    = 2^e  Q' diag(sigma')^(-1/2))
// Wnt = 4^-e P' diag(sigma')^-1 P'^T is formed exactly as psd_nt.hpp forms it, so H
// from the state has the bits of _cpp_cuda's general-path H for the same pair; Wnt^-1 = R R^T
// = 4^e Q' diag(sigma')^-1 Q'^T.
// ---------------------------------------------------------------------------------------
VELKORA_HD inline u64 psd_state_size(u64 n) { return 2 * n * n + n + 1; }

struct PsdState {
    int e;
    const double* sigma;
    const double* P;
    const double* Q;
};

VELKORA_HD inline PsdState psd_state(const double* item, u64 n) {
    // A NaN exponent (a device item that was not interior) reads as 0; its NaN entries carry
    // through every result. Exponents of real states lie within +-600.
    const double e = item[0];
    const bool valid = fabs(e) <= 4096.0;
    return PsdState{valid ? static_cast<int>(e) : 0, item + 1, item + 1 + n, item + 1 + n + n * n};
}

// ---------------------------------------------------------------------------------------
// Interior test: the Cholesky factorisation of the matrix at unit scale (psd_cholesky_fill
// with the exponent psd_quarter_exponent of its entries) has every pivot positive and
// finite. This is the test of the NT factor path for a matrix in the role of s, so the
// verdicts agree with _cpp_cuda's NT refusal. L: n x n work (lower triangle written).
// ---------------------------------------------------------------------------------------
VELKORA_HD inline bool psd_unit_interior(const double* x, u64 n, double* L) {
    return psd_cholesky_fill(x, n, psd_quarter_exponent(x, psd_svec_length(n)), L);
}

// Dense 4^-k smat(v) into M.
VELKORA_HD inline void psd_unit_smat(const double* v, u64 n, int k, double* M) {
    psd_smat_fill(v, n, M);
    if (k == 0) return;
    const PsdPow2 unit(-2 * k);
    for (u64 e = 0; e < n * n; ++e) M[e] = unit(M[e]);
}

// svec of the lower triangle of C scaled by 2^shift into out.
VELKORA_HD inline void psd_svec_scaled(const double* C, u64 n, int shift, double* out) {
    const PsdPow2 back(shift);
    u64 k = 0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j, ++k) out[k] = back(j == i ? C[i * n + i] : C[i * n + j] * kPsdSqrt2);
}

// Jacobi work over four arrays of a caller: A, V (n x n), row_max (n), row_arg (n).
VELKORA_HD inline JacobiWork psd_jacobi_work(double* A, double* V, double* row_max, unsigned* row_arg) {
    return JacobiWork{A, V, row_max, row_arg};
}

// ---------------------------------------------------------------------------------------
// Dense n x n kernels in row-axpy order: every result entry is summed over k ascending from
// 0.0, the order of the plain dot product, but the innermost loop runs along a row of the
// result, so the host compiler vectorises it without reassociating anything.
// ---------------------------------------------------------------------------------------

// C = A B.
VELKORA_HD inline void psd_matmul(const double* A, const double* B, u64 n, double* C) {
    for (u64 i = 0; i < n; ++i) {
        double* ci = C + i * n;
        for (u64 j = 0; j < n; ++j) ci[j] = 0.0;
        for (u64 k = 0; k < n; ++k) {
            const double a = A[i * n + k];
            const double* bk = B + k * n;
            for (u64 j = 0; j < n; ++j) ci[j] += a * bk[j];
        }
    }
}

// The lower triangle (j <= i) of C = A B; the strict upper triangle of C is not written.
VELKORA_HD inline void psd_matmul_lower(const double* A, const double* B, u64 n, double* C) {
    for (u64 i = 0; i < n; ++i) {
        double* ci = C + i * n;
        for (u64 j = 0; j <= i; ++j) ci[j] = 0.0;
        for (u64 k = 0; k < n; ++k) {
            const double a = A[i * n + k];
            const double* bk = B + k * n;
            for (u64 j = 0; j <= i; ++j) ci[j] += a * bk[j];
        }
    }
}

// C = A^T B.
VELKORA_HD inline void psd_matmul_tn(const double* A, const double* B, u64 n, double* C) {
    for (u64 e = 0; e < n * n; ++e) C[e] = 0.0;
    for (u64 k = 0; k < n; ++k) {
        const double* ak = A + k * n;
        const double* bk = B + k * n;
        for (u64 i = 0; i < n; ++i) {
            const double a = ak[i];
            double* ci = C + i * n;
            for (u64 j = 0; j < n; ++j) ci[j] += a * bk[j];
        }
    }
}

// The lower triangle (j <= i) of C = A B^T; the strict upper triangle of C is not written.
VELKORA_HD inline void psd_matmul_lower_nt(const double* A, const double* B, u64 n, double* C) {
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j) {
            double sum = 0.0;
            for (u64 k = 0; k < n; ++k) sum += A[i * n + k] * B[j * n + k];
            C[i * n + j] = sum;
        }
}

// T = A^T.
VELKORA_HD inline void psd_transpose(const double* A, u64 n, double* T) {
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) T[j * n + i] = A[i * n + j];
}

// B <- L^-1 B for lower-triangular L (its strict upper triangle is not read), by rows: row i
// = (row i - sum_{k<i} L[i][k] row k) / L[i][i].
VELKORA_HD inline void psd_lower_solve(const double* L, u64 n, double* B) {
    for (u64 i = 0; i < n; ++i) {
        double* bi = B + i * n;
        for (u64 k = 0; k < i; ++k) {
            const double a = L[i * n + k];
            const double* bk = B + k * n;
            for (u64 j = 0; j < n; ++j) bi[j] -= a * bk[j];
        }
        const double pivot = L[i * n + i];
        for (u64 j = 0; j < n; ++j) bi[j] = bi[j] / pivot;
    }
}

// ---------------------------------------------------------------------------------------
// Eigenvalues (without eigenvectors) of a symmetric matrix, for the step and the smallest
// eigenvalue: the matrix brought to unit scale by a power of two (power_of_two_exponent,
// exact), reduced to tridiagonal form by Householder reflections, then the implicit QL
// iteration with Wilkinson shifts. Both stages are backward stable, so every eigenvalue is
// within a small multiple of n eps |A| of the exact one, and the work is about 2 n^3 flops
// (the Jacobi decomposition, with vectors and a stop at 1e-12, costs tens of times more).
// Reflection k (x = A[k+1..][k], of norm |x|): beta = -sign(x_0) |x|, v = (1, x_1.. /
// (x_0 - beta)), tau = (beta - x_0)/beta, H = I - tau v v^T; the trailing block becomes
// A - v q^T - q v^T with p = tau A v, q = p - (tau/2)(v^T p) v (both triangles updated by
// the same expression, so it stays exactly symmetric). QL: a sub-diagonal entry e_m deflates
// when |e_m| + (|d_m| + |d_m+1|) == |d_m| + |d_m+1|; at most kPsdQlIterations sweeps per
// eigenvalue.
// ---------------------------------------------------------------------------------------
constexpr int kPsdQlIterations = 64;

struct PsdEigenvalueWork {
    double* d;  // n: the eigenvalues at unit scale (unsorted)
    double* e;  // n: the sub-diagonal, then QL work
    double* v;  // n: the reflection vector
    double* p;  // n: A v, then q
};

// The eigenvalues of the symmetric n x n matrix A (full storage, overwritten) into w.d at
// unit scale; returns the exponent x: eigenvalue k is 2^x w.d[k].
VELKORA_HD inline int psd_eigenvalues(double* A, u64 n, const PsdEigenvalueWork& w) {
    const int exponent = power_of_two_exponent(A, n);
    if (exponent != 0) {
        const PsdPow2 unit(-exponent);
        for (u64 k = 0; k < n * n; ++k) A[k] = unit(A[k]);
    }
    for (u64 k = 0; k + 2 < n; ++k) {
        const u64 r = n - k - 1;
        double* v = w.v;
        for (u64 i = 0; i < r; ++i) v[i] = A[(k + 1 + i) * n + k];
        w.d[k] = A[k * n + k];
        const double x0 = v[0];
        const double tail = psd_norm2(v + 1, r - 1);
        if (!(tail != 0.0)) {  // nothing to annihilate (or NaN: carried on)
            w.e[k] = x0;
            continue;
        }
        const double norm = hypot(x0, tail);
        const double beta = x0 >= 0.0 ? -norm : norm;
        const double tau = (beta - x0) / beta;
        const double head = x0 - beta;
        v[0] = 1.0;
        for (u64 i = 1; i < r; ++i) v[i] = v[i] / head;
        w.e[k] = beta;
        double* B = A + (k + 1) * n + (k + 1);  // trailing block, row stride n
        double* p = w.p;
        for (u64 i = 0; i < r; ++i) p[i] = 0.0;
        for (u64 j = 0; j < r; ++j) {
            const double a = v[j];
            const double* bj = B + j * n;
            for (u64 i = 0; i < r; ++i) p[i] += a * bj[i];
        }
        double vp = 0.0;
        for (u64 i = 0; i < r; ++i) {
            p[i] = tau * p[i];
            vp += v[i] * p[i];
        }
        const double half = 0.5 * tau * vp;
        for (u64 i = 0; i < r; ++i) p[i] -= half * v[i];
        for (u64 i = 0; i < r; ++i) {
            double* bi = B + i * n;
            const double vi = v[i], qi = p[i];
            for (u64 j = 0; j < r; ++j) bi[j] -= vi * p[j] + qi * v[j];
        }
    }
    if (n >= 2) {
        w.d[n - 2] = A[(n - 2) * n + (n - 2)];
        w.e[n - 2] = A[(n - 1) * n + (n - 2)];
    }
    if (n >= 1) {
        w.d[n - 1] = A[(n - 1) * n + (n - 1)];
        w.e[n - 1] = 0.0;
    }
    double* d = w.d;
    double* e = w.e;
    for (u64 l = 0; l < n; ++l) {
        for (int iteration = 0; iteration < kPsdQlIterations; ++iteration) {
            u64 m = l;
            for (; m + 1 < n; ++m) {
                const double dd = fabs(d[m]) + fabs(d[m + 1]);
                if (fabs(e[m]) + dd == dd) break;
            }
            if (m == l) break;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
            double s = 1.0, c = 1.0, p = 0.0;
            bool split = false;
            for (u64 i = m; i-- > l;) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = hypot(f, g);
                e[i + 1] = r;
                if (r == 0.0) {  // the rotation underflowed: the matrix splits at i
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    split = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
            }
            if (split) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    return exponent;
}

// Smallest of the n values 2^exponent d[k]; NaN when one is NaN.
VELKORA_HD inline double psd_smallest(const double* d, u64 n, int exponent) {
    double low = HUGE_VAL;
    for (u64 k = 0; k < n; ++k) {
        if (d[k] != d[k]) return NAN;
        if (d[k] < low) low = d[k];
    }
    return PsdPow2(exponent)(low);
}

// ---------------------------------------------------------------------------------------
// Step to the boundary. With X = L L^T, X + alpha D is positive semidefinite exactly while
// I + alpha M is, M = L^-1 D L^-T: the exit is alpha = -1/lambda_min(M) when lambda_min(M) < 0
// (+inf otherwise). L comes from the interior test at unit scale (X' = 4^-kx X, L' = 2^-kx L),
// D' = 4^-kd D, M' = L'^-1 D' L'^-T by two triangular solves (no inverse formed): Y = L'^-1 D',
// then M' = L'^-1 Y^T (D symmetric), its lower triangle mirrored; lambda'_min = 2^em d_min
// (psd_eigenvalues); alpha = 2^(2 (kx - kd) - em) (-1/d_min). Returns 0 when X is not
// interior, D holds an entry that is not finite, or the eigenvalue is NaN. Work: L, A, B
// (n x n each) and the eigenvalue work (4 n).
// ---------------------------------------------------------------------------------------
struct PsdStepWork {
    double* L;
    double* A;
    double* B;
    PsdEigenvalueWork eig;
};

VELKORA_HD inline u64 psd_step_work_doubles(u64 n) { return 3 * n * n + 4 * n; }

VELKORA_HD inline PsdStepWork psd_step_work_at(double* base, u64 n) {
    const u64 nn = n * n;
    double* v = base + 3 * nn;
    return PsdStepWork{base, base + nn, base + 2 * nn, PsdEigenvalueWork{v, v + n, v + 2 * n, v + 3 * n}};
}

VELKORA_HD inline double psd_step_item(const double* x, const double* dx, u64 n, const PsdStepWork& w) {
    const u64 m = psd_svec_length(n);
    const int kx = psd_quarter_exponent(x, m);
    if (!psd_cholesky_fill(x, n, kx, w.L)) return 0.0;
    for (u64 e = 0; e < m; ++e)
        if (!(fabs(dx[e]) <= kDoubleMax)) return 0.0;
    const int kd = psd_quarter_exponent(dx, m);
    psd_unit_smat(dx, n, kd, w.A);
    psd_lower_solve(w.L, n, w.A);  // Y = L'^-1 D'
    psd_transpose(w.A, n, w.B);
    psd_lower_solve(w.L, n, w.B);  // M' = L'^-1 Y^T
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < i; ++j) w.B[j * n + i] = w.B[i * n + j];
    const int em = psd_eigenvalues(w.B, n, w.eig);
    const double low = psd_smallest(w.eig.d, n, 0);
    if (low != low) return 0.0;
    if (!(low < 0.0)) return HUGE_VAL;
    return PsdPow2(2 * (kx - kd) - em)(-1.0 / low);
}

// Smallest eigenvalue of smat(x) (psd_eigenvalues); NaN when an entry of x is not finite.
// Work: psd_step_work_doubles(n) (A and the eigenvalue work).
VELKORA_HD inline double psd_spectral_min_item(const double* x, u64 n, const PsdStepWork& w) {
    const u64 m = psd_svec_length(n);
    for (u64 e = 0; e < m; ++e)
        if (!(fabs(x[e]) <= kDoubleMax)) return NAN;
    psd_smat_fill(x, n, w.A);
    const int ex = psd_eigenvalues(w.A, n, w.eig);
    return psd_smallest(w.eig.d, n, ex);
}

// ---------------------------------------------------------------------------------------
// NT scaling state and scaled point of one pair: psd_nt_factor_unit leaves P' in w.Ls, U in
// w.Ut (by rows) and Lz' in w.Lz; Q' by back substitution with Lz'^T, row i = (row i of U -
// sum_{k>i} Lz'[k][i] row k) / Lz'[i][i], then column j times sigma'_j. lambda =
// svec(diag(2^(ks + kz) sigma')). Returns false (state and lam untouched) when the pair is not
// strictly interior. Work: psd_nt_work_doubles(n) doubles (psd_nt_work_at).
// ---------------------------------------------------------------------------------------
VELKORA_HD inline bool psd_nt_state_item(const double* s, const double* z, u64 n, double* state, double* lam,
                                         const PsdNtWork& w) {
    const PsdNtScale scale = psd_nt_scale(s, z, psd_svec_length(n));
    if (!psd_nt_factor_unit(s, z, n, scale, w)) return false;
    double* sigma = state + 1;
    double* P = state + 1 + n;
    double* Q = P + n * n;
    state[0] = static_cast<double>((scale.ks - scale.kz) / 2);
    for (u64 j = 0; j < n; ++j) sigma[j] = psd_guarded_sigma(w.sigma[j]);
    for (u64 e = 0; e < n * n; ++e) P[e] = w.Ls[e];
    for (u64 i = n; i-- > 0;) {
        double* qi = Q + i * n;
        for (u64 j = 0; j < n; ++j) qi[j] = w.Ut[j * n + i];  // row i of U
        for (u64 k = i + 1; k < n; ++k) {
            const double a = w.Lz[k * n + i];
            const double* qk = Q + k * n;
            for (u64 j = 0; j < n; ++j) qi[j] -= a * qk[j];
        }
        const double pivot = w.Lz[i * n + i];
        for (u64 j = 0; j < n; ++j) qi[j] = qi[j] / pivot;
    }
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) Q[i * n + j] = Q[i * n + j] * sigma[j];
    const PsdPow2 back(scale.ks + scale.kz);
    const u64 m = psd_svec_length(n);
    for (u64 k = 0; k < m; ++k) lam[k] = 0.0;
    for (u64 j = 0; j < n; ++j) lam[psd_svec_index(j, j)] = back(sigma[j]);
    return true;
}

// NaN state and lambda (a device pair that is not interior).
VELKORA_HD inline void psd_nt_state_nan(u64 n, double* state, double* lam) {
    for (u64 e = 0; e < psd_state_size(n); ++e) state[e] = NAN;
    for (u64 k = 0; k < psd_svec_length(n); ++k) lam[k] = NAN;
}

// ---------------------------------------------------------------------------------------
// Products with W from the state: with F = Q' (W, W^T) or P' (W^-1, W^-T), r_j = sqrt(sigma'_j)
// and the unit-scale X' = 4^-kx smat(x):
//   W x    = 4^(kx+e)  svec(diag(r)^-1 Q'^T X' Q' diag(r)^-1)
//   W^T x  = 4^(kx+e)  svec(Q' (diag(r)^-1 X' diag(r)^-1) Q'^T)
//   W^-T x = 4^(kx-e)  svec(diag(r)^-1 P'^T X' P' diag(r)^-1)
//   W^-1 x = 4^(kx-e)  svec(P' (diag(r)^-1 X' diag(r)^-1) P'^T)
// (F^T X F when inverse == transpose). x is read completely before out is written, so out
// may be x. Work: X, Y, T (n x n each) and r (n).
// ---------------------------------------------------------------------------------------
struct PsdCongruenceWork {
    double* X;
    double* Y;
    double* T;
    double* r;
};

VELKORA_HD inline void psd_scale_item(const PsdState& st, const double* x, double* out, u64 n, bool inverse,
                                      bool transpose, const PsdCongruenceWork& w) {
    const int kx = psd_quarter_exponent(x, psd_svec_length(n));
    psd_unit_smat(x, n, kx, w.X);
    const double* F = inverse ? st.P : st.Q;
    for (u64 j = 0; j < n; ++j) w.r[j] = sqrt(st.sigma[j]);
    const double* r = w.r;
    psd_transpose(F, n, w.T);
    if (inverse == transpose) {
        psd_matmul(w.X, F, n, w.Y);        // X' F
        psd_matmul_lower(w.T, w.Y, n, w.X);  // F^T X' F
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j <= i; ++j) w.X[i * n + j] = w.X[i * n + j] / r[i] / r[j];
    } else {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) w.X[i * n + j] = w.X[i * n + j] / r[i] / r[j];
        psd_matmul(F, w.X, n, w.Y);        // F X~
        psd_matmul_lower(w.Y, w.T, n, w.X);  // F X~ F^T
    }
    psd_svec_scaled(w.X, n, 2 * (kx + (inverse ? -st.e : st.e)), out);
}

// ---------------------------------------------------------------------------------------
// Jordan product svec((X Y + Y X)/2): with C = X Y, (Y X)[i][j] = C[j][i] for symmetric X
// and Y, so entry (i, j), j <= i, is 0.5 (C[i][j] + C[j][i]). Both inputs are read before out
// is written. Work: X, Y, C (n x n).
// ---------------------------------------------------------------------------------------
VELKORA_HD inline void psd_jordan_product_item(const double* x, const double* y, double* out, u64 n, double* X,
                                               double* Y, double* C) {
    psd_smat_fill(x, n, X);
    psd_smat_fill(y, n, Y);
    psd_matmul(X, Y, n, C);
    u64 k = 0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j, ++k) {
            const double v = 0.5 * (C[i * n + j] + C[j * n + i]);
            out[k] = j == i ? v : v * kPsdSqrt2;
        }
}

// ---------------------------------------------------------------------------------------
// Jordan solve: U with (Lambda U + U Lambda)/2 = X. Lambda must be strictly interior (the
// Cholesky test at unit scale).
// A diagonal Lambda (every off-diagonal svec entry 0; the NT scaled point is one) has
// U[i][j] = X[i][j] / ((l_i + l_j)/2), entrywise in svec, the half sums formed as
// 0.5 l_i + 0.5 l_j (no overflow); its Cholesky test reduces to the pivots 4^-k l_i
// (every product with an off-diagonal zero is zero), tested without the factorisation.
// Otherwise Lambda = 2^el Q diag(l') Q^T by the Jacobi decomposition at unit scale, and the
// solve of Lambda' U' + U' Lambda' = 2 X is S(X) = Q ((Q^T X Q) ./ h) Q^T, h_ij = 0.5 l'_i +
// 0.5 l'_j; U = 2^-el U'. The decomposition is exact only to its rotations' rounding and
// remainder, which the division by h amplifies by up to the condition of Lambda; so one step of
// refinement follows: U' = U1 + S(R), U1 = S(X), with the residual R = X - (Lambda' U1 + U1
// Lambda')/2 formed from lam itself. Its error is the square of the first solve's.
// ---------------------------------------------------------------------------------------
VELKORA_HD inline bool psd_is_diagonal(const double* v, u64 n) {
    u64 k = 0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j, ++k)
            if (j != i && v[k] != 0.0) return false;
    return true;
}

// Strict interior test of a diagonal svec (psd_is_diagonal): the Cholesky test's verdict.
VELKORA_HD inline bool psd_diagonal_interior(const double* v, u64 n) {
    const PsdPow2 unit(-2 * psd_quarter_exponent(v, psd_svec_length(n)));
    for (u64 i = 0; i < n; ++i)
        if (!psd_pivot_ok(unit(v[psd_svec_index(i, i)]))) return false;
    return true;
}

// Interior test of lam for the solve (L: n x n work, used only for a non-diagonal lam).
VELKORA_HD inline bool psd_solve_interior(const double* lam, u64 n, double* L) {
    return psd_is_diagonal(lam, n) ? psd_diagonal_interior(lam, n) : psd_unit_interior(lam, n, L);
}

struct PsdSolveWork {
    double* A;
    double* V;
    double* X;
    double* Y;
    double* row_max;  // n; the diagonal of a diagonal lam
    unsigned* row_arg;
};

// The solve of an interior lam; out may be lam or x (both are read before out is written).
VELKORA_HD inline void psd_jordan_solve_item(const double* lam, const double* x, double* out, u64 n,
                                             const PsdSolveWork& w) {
    if (psd_is_diagonal(lam, n)) {
        double* l = w.row_max;
        for (u64 i = 0; i < n; ++i) l[i] = lam[psd_svec_index(i, i)];
        u64 k = 0;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j <= i; ++j, ++k) out[k] = x[k] / (0.5 * l[i] + 0.5 * l[j]);
        return;
    }
    psd_smat_fill(lam, n, w.A);
    psd_smat_fill(x, n, w.X);
    const int el = jacobi_eigen_scaled(psd_jacobi_work(w.A, w.V, w.row_max, w.row_arg), n);
    double* l = w.row_max;  // the unit-scale eigenvalues
    for (u64 i = 0; i < n; ++i) l[i] = w.A[i * n + i];
    // S(X) of the matrix in X, its lower triangle into `to` (X and Y overwritten).
    auto solve = [&](double* to) {
        psd_matmul(w.X, w.V, n, w.Y);     // X V
        psd_matmul_tn(w.V, w.Y, n, w.X);  // Q^T X Q
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) w.X[i * n + j] = w.X[i * n + j] / (0.5 * l[i] + 0.5 * l[j]);
        psd_matmul(w.V, w.X, n, w.Y);          // Q Xh
        psd_matmul_lower_nt(w.Y, w.V, n, to);  // Q Xh Q^T
    };
    solve(w.A);  // U1, mirrored
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < i; ++j) w.A[j * n + i] = w.A[i * n + j];
    psd_smat_fill(lam, n, w.Y);
    const PsdPow2 unit(-el);
    for (u64 e = 0; e < n * n; ++e) w.Y[e] = unit(w.Y[e]);  // Lambda'
    psd_smat_fill(x, n, w.X);
    for (u64 i = 0; i < n; ++i)  // R in X, entry by entry (R_ij reads X_ij only)
        for (u64 j = 0; j < n; ++j) {
            double lu = 0.0, ul = 0.0;
            for (u64 k = 0; k < n; ++k) {
                lu += w.Y[i * n + k] * w.A[k * n + j];
                ul += w.A[i * n + k] * w.Y[k * n + j];
            }
            w.X[i * n + j] = w.X[i * n + j] - 0.5 * (lu + ul);
        }
    solve(w.X);  // S(R)
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j) w.X[i * n + j] += w.A[i * n + j];
    psd_svec_scaled(w.X, n, -el, out);
}

// ---------------------------------------------------------------------------------------
// H or H^-1 from the state: the n x n matrix G of the congruence (H: X -> G X G), then its
// operator entries by psd_operator_entry. G = 2^k F diag(sigma')^-1 F^T with (F, k) = (P',
// -2e) for H (G = Wnt) and (Q', 2e) for H^-1 (G = Wnt^-1 = R R^T), formed as in
// psd_nt.hpp: T = F diag(sigma')^-1 first, then the lower triangle sum_j T[i][j] F[l][j]
// scaled by 2^k and mirrored. Work T: n x n.
// ---------------------------------------------------------------------------------------
VELKORA_HD inline void psd_state_gram(const PsdState& st, u64 n, bool inverse, double* T, double* G) {
    const double* F = inverse ? st.Q : st.P;
    for (u64 j = 0; j < n; ++j) {
        const double d = psd_guarded_sigma(st.sigma[j]);
        for (u64 i = 0; i < n; ++i) T[i * n + j] = F[i * n + j] / d;
    }
    const PsdPow2 back(inverse ? 2 * st.e : -2 * st.e);
    for (u64 i = 0; i < n; ++i) {
        const double* ti = T + i * n;
        for (u64 l = 0; l <= i; ++l) {
            const double* fl = F + l * n;
            double sum = 0.0;
            for (u64 j = 0; j < n; ++j) sum += ti[j] * fl[j];
            sum = back(sum);
            G[i * n + l] = sum;
            G[l * n + i] = sum;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Host routines over a batch of items of order n >= 1 (host pointers). Items run in
// parallel (OpenMP) when the batch's work pays for a fork-join.
// ---------------------------------------------------------------------------------------
bool psd_interior(const double* x, u64 n, u64 batch);
// min over items of psd_step_item, then min with alpha_max.
double psd_max_step(const double* x, const double* dx, u64 n, u64 batch, double alpha_max);
// +inf for an empty batch; NaN when an item's value is NaN.
double psd_spectral_min(const double* x, u64 n, u64 batch);
// Refuses with "PSD NT scaling requires strictly positive definite matrices" (every item
// tested before anything is written).
void psd_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n, u64 batch);
void psd_scale(const double* scaling, const double* x, double* out, u64 n, u64 batch, bool inverse, bool transpose);
void psd_jordan_product(const double* x, const double* y, double* out, u64 n, u64 batch);
// Refuses with "PSD Jordan solve requires a strictly positive definite lam" (before writing).
void psd_jordan_solve(const double* lam, const double* x, double* out, u64 n, u64 batch);
// The n x n matrices G of every item (psd_state_gram) into G (batch n^2).
void psd_state_grams(const double* scaling, u64 n, u64 batch, bool inverse, double* G);

}  // namespace velkora::torv::cones::host

// Device launchers of the PSD cone (plain C++ declarations). Pointers are device memory
// on `device`; svec vectors have m = n(n+1)/2 entries, dense matrices n*n, operators
// m*m, batches back to back. Asynchronous on `stream` unless a scalar is returned.
namespace velkora::torv::cones::device {

// Largest order served by the general NT path (a team of at most a warp's lanes per item).
constexpr std::uint64_t kPsdGeneralMaxOrder = 32;

// Refuses orders above the device limit: "CUDA PSD NT scaling currently supports dim <= 32".
void psd_check_order(std::uint64_t n);

// Order-2 projection of one svec triple (closed-form eigen-split).
void psd2_project_cuda(const double* in, double* out, int device, StreamHandle stream);
// Order-2 violation sqrt(min(l+, 0)^2 + min(l-, 0)^2) (synchronous, default stream).
double psd2_violation_cuda(const double* in, int device);
// tol >= the order-2 violation, false when an entry is NaN (synchronous).
bool psd2_contains_cuda(const double* in, double tol, int device);

// NT operators H (m x m per item) with the default method ("analytic" for n <= 2,
// "custom" above), the "custom" method and the "cublas" method (refused for n >= 3 in
// this build). n > 32 is refused before any allocation.
void psd_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream);
void psd_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
void psd_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
// Only the n x n scaling points W (item b at b*n*n, symmetric) for 3 <= n <= 32.
void psd_nt_w_cuda(const double* s, const double* z, double* W, std::uint64_t n, std::uint64_t batch, int device,
                   StreamHandle stream);

// Dense matrices from svec vectors and svec vectors from the lower triangles of dense
// matrices, `batch` items.
void psd_smat_cuda(const double* v, double* M, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream);
void psd_svec_cuda(const double* M, double* v, std::uint64_t n, std::uint64_t batch, int device, StreamHandle stream);

// Interior-point forms of `batch` items of order n (the inline routines above give the arithmetic;
// one thread per item, its work matrices in scratch; the same code as the host, so host and
// device agree bit for bit). Orders above kPsdGeneralMaxOrder are refused after device
// selection ("CUDA PSD <operation> currently supports dim <= 32"; the NT state with the text
// of psd_check_order). The scalar results wait for all queued work and are synchronous; the
// others are asynchronous on `stream`, their scratch stream-ordered. Items that are not
// interior get NaN where the host refuses.
bool psd_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
double psd_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device);
double psd_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
void psd_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream);
void psd_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, bool transpose, int device, StreamHandle stream);
void psd_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream);
void psd_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream);
// H (or H^-1) of each item from the stored state, items as consecutive diagonal blocks of the
// m*batch rows from row_offset (the caller has checked that indptr covers them).
void psd_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream);
void psd_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream);

// Sparse H fill of the m = n(n+1)/2 rows of order n (the caller has checked that indptr covers
// them): orders 1 and 2 gather the dense m x m H, orders 3..32 compute each entry from W.
void psd_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t row_offset, int device, StreamHandle stream);
void psd_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t row_offset,
    int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
