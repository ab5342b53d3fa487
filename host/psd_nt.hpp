// Nesterov-Todd scaling of the PSD cone: the scaling point W with W S W = Z and the
// operator H of X -> W X W in svec coordinates (H s = z), by the general eigen path
// (any n), the 2x2 closed form and the 1x1 quotient. The inline pieces are shared by
// the host routines and the device kernels; dense matrices are row-major n x n.
#pragma once

#include <math.h>

#include <cstdint>
#include <vector>

#include "host/host_device.hpp"
#include "host/psd_eigen.hpp"
#include "host/psd_svec.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// C = A B for n x n matrices, every entry accumulated from 0.0 with k ascending.
VELKORA_HD inline void psd_matmul(const double* A, const double* B, double* C, u64 n) {
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            double sum = 0.0;
            for (u64 k = 0; k < n; ++k) sum += A[i * n + k] * B[k * n + j];
            C[i * n + j] = sum;
        }
}

// Powers M^p1 into P1 and, when P2 is not null, M^p2 into P2, of the n x n matrix held
// in w.A (overwritten), from one Jacobi decomposition of M scaled by a power of two into
// [1, 2) (so the absolute stop acts at the matrix's own scale). P = sum_a (f(l_a) V[i][a])
// V[j][a] over a ascending, i, j in full. Returns false at the first eigenvalue l <= 0
// (NaN passes and yields NaN entries).
VELKORA_HD inline bool psd_powers(const JacobiWork& w, u64 n, double p1, double* P1, double p2, double* P2) {
    const int exponent = jacobi_eigen_scaled(w, n);
    for (u64 e = 0; e < n * n; ++e) P1[e] = 0.0;
    if (P2 != nullptr)
        for (u64 e = 0; e < n * n; ++e) P2[e] = 0.0;
    for (u64 a = 0; a < n; ++a) {
        const double lambda = ldexp(w.A[a * n + a], exponent);
        if (lambda <= 0.0) return false;
        const double f1 = pow(lambda, p1);
        const double f2 = P2 != nullptr ? pow(lambda, p2) : 0.0;
        for (u64 i = 0; i < n; ++i) {
            const double vi = w.V[i * n + a];
            const double g1 = f1 * vi;
            for (u64 j = 0; j < n; ++j) P1[i * n + j] += g1 * w.V[j * n + a];
            if (P2 != nullptr) {
                const double g2 = f2 * vi;
                for (u64 j = 0; j < n; ++j) P2[i * n + j] += g2 * w.V[j * n + a];
            }
        }
    }
    return true;
}

// Work of one general W computation: the decomposition work plus four n x n matrices.
struct PsdWWork {
    JacobiWork jacobi;
    double* Sh;  // S^(1/2)
    double* Si;  // S^(-1/2)
    double* X;   // Z, then R = (Sh Z Sh)^(1/2)
    double* Y;   // T = Sh Z, then U = Si R
};

// W = S^(-1/2) (S^(1/2) Z S^(1/2))^(1/2) S^(-1/2) with S = smat(s), Z = smat(z), into W
// (n x n, not symmetrised). S is decomposed once for both of its powers; M = T Sh is
// decomposed as computed (no symmetrisation). Returns false when S or M has an
// eigenvalue <= 0.
VELKORA_HD inline bool psd_general_w_fill(const double* s, const double* z, u64 n, double* W, const PsdWWork& w) {
    psd_smat_fill(s, n, w.jacobi.A);
    if (!psd_powers(w.jacobi, n, 0.5, w.Sh, -0.5, w.Si)) return false;
    psd_smat_fill(z, n, w.X);
    psd_matmul(w.Sh, w.X, w.Y, n);         // T = Sh Z
    psd_matmul(w.Y, w.Sh, w.jacobi.A, n);  // M = T Sh
    if (!psd_powers(w.jacobi, n, 0.5, w.X, 0.0, nullptr)) return false;
    psd_matmul(w.Si, w.X, w.Y, n);  // U = Si R
    psd_matmul(w.Y, w.Si, W, n);    // W = U Si
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

// Exponents of the 2x2 closed form.
enum class HalfPower { kSqrt, kInverseSqrt };

// [[a, b], [b, c]]^p for p = 1/2 or -1/2 as (P00, P01, P11) = (alpha a + beta, alpha b,
// alpha c + beta), with l1,2 = mean +- r, alpha the divided difference of f in a form free
// of the cancellation l1 - l2 (1/(sqrt l1 + sqrt l2) for p = 1/2, -1/(sqrt l1 sqrt l2
// (sqrt l1 + sqrt l2)) for p = -1/2) and beta = f(l1) - alpha l1; r = 0 gives f(l1) I.
// Returns false when l1 <= 0 or l2 <= 0.
VELKORA_HD inline bool sym2_matrix_power(double a, double b, double c, HalfPower p, double* out) {
    const double mean = (a + c) * 0.5;
    const double disc = ((a - c) * 0.25) * (a - c) + b * b;
    const double r = sqrt(disc);
    const double l1 = r + mean;
    const double l2 = mean - r;
    if (l1 <= 0.0 || l2 <= 0.0) return false;
    const double f1 = pow(l1, p == HalfPower::kSqrt ? 0.5 : -0.5);
    if (r == 0.0) {
        out[0] = f1;
        out[1] = 0.0;
        out[2] = f1;
        return true;
    }
    const double r1 = sqrt(l1), r2 = sqrt(l2);
    const double alpha = p == HalfPower::kSqrt ? 1.0 / (r1 + r2) : -1.0 / ((r1 * r2) * (r1 + r2));
    const double beta = f1 - alpha * l1;
    out[0] = alpha * a + beta;
    out[1] = alpha * b;
    out[2] = alpha * c + beta;
    return true;
}

// Full 2x2 product C = A B (row-major), entries accumulated from 0.0.
VELKORA_HD inline void mat2_product(const double* A, const double* B, double* C) { psd_matmul(A, B, C, 2); }

// The nine entries (row-major 3x3) of H for an order-2 pair (s, z) by the closed form:
// Sh, Si = S^(+-1/2); M = (Sh Z) Sh; R = M^(1/2) with M's off-diagonal averaged;
// W = (Si R) Si; w = (W01 + W10)/2; H = (W00^2, (W00 r2) w, w^2; (W00 r2) w, W11 W00 + w^2,
// (w r2) W11; w^2, (w r2) W11, W11^2), r2 = sqrt(2). Returns false when S or M is not
// positive definite (H untouched).
VELKORA_HD inline bool psd2_nt_scaling_fill(const double* s, const double* z, double* H) {
    double sh[3], si[3], rr[3];
    const double s01 = s[1] / kPsdSqrt2;
    if (!sym2_matrix_power(s[0], s01, s[2], HalfPower::kSqrt, sh)) return false;
    if (!sym2_matrix_power(s[0], s01, s[2], HalfPower::kInverseSqrt, si)) return false;
    const double z01 = z[1] / kPsdSqrt2;
    const double Sh[4] = {sh[0], sh[1], sh[1], sh[2]};
    const double Si[4] = {si[0], si[1], si[1], si[2]};
    const double Z[4] = {z[0], z01, z01, z[2]};
    double T[4], M[4];
    mat2_product(Sh, Z, T);
    mat2_product(T, Sh, M);
    if (!sym2_matrix_power(M[0], (M[1] + M[2]) * 0.5, M[3], HalfPower::kSqrt, rr)) return false;
    const double R[4] = {rr[0], rr[1], rr[1], rr[2]};
    double U[4], W[4];
    mat2_product(Si, R, U);
    mat2_product(U, Si, W);
    const double w = (W[1] + W[2]) * 0.5;
    const double w00 = W[0], w11 = W[3];
    H[0] = w00 * w00;
    H[1] = (w00 * kPsdSqrt2) * w;
    H[2] = w * w;
    H[3] = (w00 * kPsdSqrt2) * w;
    H[4] = w11 * w00 + w * w;
    H[5] = (w * kPsdSqrt2) * w11;
    H[6] = w * w;
    H[7] = (w * kPsdSqrt2) * w11;
    H[8] = w11 * w11;
    return true;
}

// ---- Host routines (sequential; failures throw std::runtime_error) ----

// M^p of the symmetric n x n matrix M by the scaled decomposition; fails with
// name + " requires strictly positive definite matrices".
std::vector<double> psd_matrix_power(const double* M, u64 n, double p, const char* name);

// Host buffers for psd_general_w_fill at order n.
class PsdWHostWork {
  public:
    explicit PsdWHostWork(u64 n);
    const PsdWWork& view() const { return view_; }

  private:
    JacobiHostWork jacobi_;
    std::vector<double> buffers_;
    PsdWWork view_;
};

// The n x n scaling point W of one item (s, z: n(n+1)/2 entries each) into W; fails with
// "PSD NT scaling requires strictly positive definite matrices". `work` is reused.
void psd_general_w_into(const double* s, const double* z, u64 n, double* W, const PsdWHostWork& work);
std::vector<double> psd_general_w(const double* s, const double* z, u64 n);

// H (m x m, m = n(n+1)/2) of X -> W X W into out, every entry psd_operator_value.
void psd_operator_from_w_into(const double* W, u64 n, double* out);
std::vector<double> psd_operator_from_w(const double* W, u64 n);

// H of one pair by the general path (any n).
std::vector<double> psd_nt_scaling_general(const double* s, const double* z, u64 n);

// H (nine entries) of one order-2 pair by the closed form; fails with
// "PSD NT scaling requires strictly positive definite inputs".
void psd2_nt_scaling_host(const double* s, const double* z, double* H);

// `batch` operators into out (item t at t m^2): n = 1 quotient z/s (out cleared first),
// n = 2 closed form, n >= 3 general path. Items run in order; a failure leaves the
// earlier items written.
void psd_nt_scaling_batch_host(const double* s, const double* z, double* out, u64 n, u64 batch);

}  // namespace velkora::torv::cones::host
