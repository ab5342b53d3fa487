// Host arithmetic of a product of B exponential cones cl{(x, y, z) : y > 0,
// y exp(x/y) <= z}; cone k occupies entries 3k, 3k+1, 3k+2. All pointers are host
// memory. Loops over cones run in parallel when the cone count exceeds 4096.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cones/exponential/exponential_rules.hpp"
#include "cuda/device_api.hpp"
#include "host/double_limits.hpp"
#include "host/host_device.hpp"
#include "host/sparse_fill.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Cone-count threshold of the parallel loops of this family.
inline constexpr u64 kExpConeThreshold = 4096;

// y exp(clamp(x/y, -745, 709)).
double exp_perspective(double x, double y);
// y > 0 and z > exp_perspective(x, y); false on NaN.
bool exp_strictly_interior(double x, double y, double z);

// Writes the projection of each of the B cones of in (3B) into out (3B); in may equal out.
void exp_project(const double* in, double* out, u64 blocks);
// sqrt(sum over cones of r_k^2), r_k the distance to the image without slack.
double exp_violation(const double* x, u64 blocks);
// Every cone passes the tolerance test; sequential, stops at the first failing cone.
bool exp_contains(const double* x, u64 blocks, double atol);

// (3B) x (3B) block-diagonal matrix, block k the PSB update of I with M s_k = z_k;
// refuses non-interior blocks ("exponential scaling requires strictly interior cone
// vectors") and blocks that are not finite ("exponential scaling source vector must
// have nonzero finite norm").
std::vector<double> exp_scaling_dense(const double* s, const double* z, u64 blocks);
// One 3x3 PSB block of the pair (u, v) (no interior test), in the batch order
// ((d_r u_c / b + [r = c]) + u_r d_c / b) - e u_r u_c / (b b) after balancing u and v by a
// power of two; written at m with rows `row_stride` apart. False when an entry is not finite.
bool exp_balanced_block(const double* u, const double* v, double* m, u64 row_stride);
// The same matrices for `batch` items (s, z: batch*3B; out: batch*9B^2), cleared first,
// then written block by block; a non-interior pair or a block that is not finite
// refuses with "exponential scaling requires strictly interior cone vectors" (out is
// then partly written). Allocates nothing.
void exp_scaling_batch(const double* s, const double* z, double* out, u64 blocks, u64 batch);

// The 3x3 blocks of the sparse H fill (9 per cone, row-major, cone k at 9k). Each cone's
// s and then z triple must pass the sparse interior test (x1 > 0: x2 > exp(x0/x1) x1, the
// ratio not clamped; otherwise x0 < 0, x1 = 0, x2 >= 0), and its block must be finite,
// else "exponential sparse H fill requires strictly interior inputs".
std::vector<double> exp_sparse_blocks(const double* s, const double* z, u64 blocks);

}  // namespace velkora::torv::cones::host

// Interior-point arithmetic of the exponential cone for a primal-dual method for nonsymmetric
// cones, one cone (x, y, z) at a time, shared by the host loops (exponential.cpp) and
// the device kernels (exponential.cu) through VELKORA_HD inline routines.
//
// Cones (order x, y, z):
//   K  = cl{(x, y, z) : y > 0, y exp(x/y) <= z},
//   K* = cl{(u, v, w) : u < 0, -u exp(v/u) <= e w} = {(u, v, w) : (u - v, -u, w) in K}.
// Barrier of K (degree 3): f(s) = -log(psi) - log(y) - log(z), psi = y log(z/y) - x, r = log(z/y):
//   grad f = (1/psi, -(r - 1)/psi - 1/y, -(y/z)/psi - 1/z),
//   hess f = R^T R with the upper triangular factor (closed form, no cancellation)
//     R = [[-1/psi, (r - 1)/psi, (y/z)/psi], [0, n1, -1/(z psi n1)], [0, 0, sqrt((2/psi + 1/y)/y)/(z n1)]],
//     n1 = sqrt((1/psi + 1/y)/y); det hess f = (2y + psi)/(psi^3 y^2 z^2).
// Shadow iterates: z~ = -grad f(s) in int K*, s~ = -grad f*(z) in int K (f* the conjugate barrier).
// s~ solves -grad f(s~) = z: with a = -u, d = v/a + 1 + log(w/a) (> 0 exactly on int K*) and
// e > 0 the root of e + log1p(e) = d (e = omega(1 + d) - 1, omega Wright's omega, found by a
// scalar fourth-order iteration; never through Lambert W of exp(.), which overflows past 709),
//   s~ = (y (v/a + 1 - 2e), y, (1 + e)/(e w)), y = 1/(a e),  psi(s~) = 1/a,  log(z/y)(s~) = log1p(e) - log(w/a).
// f*(z) = -3 - f(s~) = -3 - 2 log a - 2 log e - log w + log1p(e).
//
// Scaling (H s = z, the module's convention): a symmetric positive definite H with H s = z and
// H s~ = z~, stored per cone as three weighted rank-one terms for H and three for H^-1:
//   H = sum_k h_k p_k p_k^T,  H^-1 = sum_k g_k q_k q_k^T  (q_k the dual basis of p_k scaled: no inversion).
// Primal-dual mode, mu = s.z/3, mu~ = s~.z~/3 (mu mu~ >= 1, = 1 exactly on the central path):
//   ds = s - (s.z/s~.z) s~, dz = z - (s.z/s.z~) z~ (then ds.z = dz.s = 0 to rounding), a = unit(s x s~),
//   b = unit(z x z~), t = mu det(hess f) |s x s~|^2 / |R s x R s~|^2 = mu / (a^T hess f^-1 a),
//   H = z z^T/s.z + dz dz^T/ds.dz + t a a^T,  H^-1 = s s^T/s.z + ds ds^T/ds.dz + b b^T/(t (a.b)^2).
//   By construction H s = z and H s~ = (s~.z/s.z~) z~; both dots are 3 up to the shadow points'
//   own rounding (which near the dual boundary is that of d).
// Central-path mode (mu mu~ - 1 <= 1e-7, where s and s~ are numerically parallel, or when a
// primal-dual coefficient is not positive and finite): the one-secant BFGS update
//   H = mu (hess f - z~ z~^T/3) + z z^T/s.z = mu (p1 p1^T + p2 p2^T) + z z^T/s.z,
// p1, p2 from the QR factor of M = (I - rho rho^T/rho.rho) R on the plane orthogonal to s
// (rho = R s), and H^-1 = s s^T/s.z + (q1 q1^T + q2 q2^T)/mu with q1, q2 the dual basis
// (H s = z exactly, H s~ = z~ to O(mu mu~ - 1)).
// Dual-side mode (a solver's fallback): H^-1 = mu hess f*(z) = mu hess f(s~)^-1, i.e. H = R~^T R~/mu
// (p_k the rows of R~ = R(s~)) and H^-1 = mu R~^-1 R~^-T (q_k the columns of R~^-1).
// Every mode stores s~ so that the s-space combined shift d_s = s - sigma mu s~ - H^-1 eta needs
// no product of H^-1 with a z-space vector other than eta (H^-1 z~ = s~ in the primal-dual mode,
// to O(mu mu~ - 1) in the central-path mode; the dual-side mode linearises s + mu grad f*(z) = 0,
// whose shift is the same expression).
namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// ---------------------------------------------------------------------------------------
// Scaling state of one cone (kExpStateSize doubles):
//   [0]       mode (kExpModePrimalDual, kExpModeCentral, kExpModeDualSide; NaN: not computed)
//   [1..3]    h_0, h_1, h_2          H    = sum_k h_k p_k p_k^T
//   [4..12]   p_0, p_1, p_2 (3 each)
//   [13..15]  g_0, g_1, g_2          H^-1 = sum_k g_k q_k q_k^T
//   [16..24]  q_0, q_1, q_2 (3 each)
//   [25..27]  s~ = -grad f*(z)
// ---------------------------------------------------------------------------------------
inline constexpr u64 kExpStateSize = 28;
inline constexpr u64 kExpStateH = 1;
inline constexpr u64 kExpStateP = 4;
inline constexpr u64 kExpStateG = 13;
inline constexpr u64 kExpStateQ = 16;
inline constexpr u64 kExpStateShadow = 25;

inline constexpr double kExpModePrimalDual = 0.0;
inline constexpr double kExpModeCentral = 1.0;
inline constexpr double kExpModeDualSide = 2.0;

// Below this value of mu mu~ - 1 the two secant pairs are numerically parallel.
inline constexpr double kExpCentralTol = 1e-7;

// ---------------------------------------------------------------------------------------
// Small 3-vector helpers (fixed evaluation order, shared by host and device).
// ---------------------------------------------------------------------------------------
VELKORA_HD inline double exp_dot3(const double* a, const double* b) {
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

VELKORA_HD inline void exp_cross3(const double* a, const double* b, double* c) {
    c[0] = a[1] * b[2] - a[2] * b[1];
    c[1] = a[2] * b[0] - a[0] * b[2];
    c[2] = a[0] * b[1] - a[1] * b[0];
}

VELKORA_HD inline bool exp_finite3(const double* a) { return expcone::finite3(a); }

// ---------------------------------------------------------------------------------------
// Membership.
// ---------------------------------------------------------------------------------------

// The log-form rules (exponential_rules.hpp, which also says why this module's membership
// is not the perspective test of the cone-arithmetic module).
VELKORA_HD inline double exp_log_ratio(double num, double den) { return expcone::log_ratio(num, den); }

// s = (x, y, z) strictly inside K: finite entries, y > 0, z > 0, y log(z/y) - x > 0 (NaN fails).
VELKORA_HD inline bool exp_primal_interior(const double* s) { return expcone::log_primal_interior(s); }

// z = (u, v, w) strictly inside K*: finite entries, u < 0, w > 0, v - u - u log(w/(-u)) > 0.
VELKORA_HD inline bool exp_dual_interior(const double* z) { return expcone::log_dual_interior(z); }

// ---------------------------------------------------------------------------------------
// Primal barrier and its derivatives at an interior s.
// ---------------------------------------------------------------------------------------
struct ExpPoint {
    double x, y, z;
    double r;    // log(z/y)
    double psi;  // y r - x > 0
};

VELKORA_HD inline ExpPoint exp_point(const double* s) {
    ExpPoint p;
    p.x = s[0];
    p.y = s[1];
    p.z = s[2];
    p.r = exp_log_ratio(p.z, p.y);
    p.psi = p.y * p.r - p.x;
    return p;
}

VELKORA_HD inline double exp_barrier_value(const ExpPoint& p) { return (-log(p.psi) - log(p.y)) - log(p.z); }

VELKORA_HD inline void exp_barrier_gradient(const ExpPoint& p, double* g) {
    const double ip = 1.0 / p.psi;
    g[0] = ip;
    g[1] = -(p.r - 1.0) * ip - 1.0 / p.y;
    g[2] = -(p.y / p.z) * ip - 1.0 / p.z;
}

// Upper triangular R with hess f = R^T R (see the top of this file).
struct ExpHessFactor {
    double r00, r01, r02, r11, r12, r22;
};

VELKORA_HD inline ExpHessFactor exp_hessian_factor(const ExpPoint& p) {
    const double ip = 1.0 / p.psi;
    const double iy = 1.0 / p.y;
    const double sy = sqrt(p.y);
    ExpHessFactor R;
    R.r00 = -ip;
    R.r01 = (p.r - 1.0) * ip;
    R.r02 = (p.y / p.z) * ip;
    R.r11 = sqrt(ip + iy) / sy;
    R.r12 = -(ip / p.z) / R.r11;
    R.r22 = (sqrt((ip + ip) + iy) / sy) / (p.z * R.r11);
    return R;
}

// out = R v.
VELKORA_HD inline void exp_factor_apply(const ExpHessFactor& R, const double* v, double* out) {
    const double v0 = v[0], v1 = v[1], v2 = v[2];
    out[0] = (R.r00 * v0 + R.r01 * v1) + R.r02 * v2;
    out[1] = R.r11 * v1 + R.r12 * v2;
    out[2] = R.r22 * v2;
}

// u = hess f^-1 b = R^-1 R^-T b by two triangular solves (b and u may alias).
VELKORA_HD inline void exp_hessian_solve(const ExpHessFactor& R, const double* b, double* u) {
    const double w0 = b[0] / R.r00;
    const double w1 = (b[1] - R.r01 * w0) / R.r11;
    const double w2 = ((b[2] - R.r02 * w0) - R.r12 * w1) / R.r22;
    const double u2 = w2 / R.r22;
    const double u1 = (w1 - R.r12 * u2) / R.r11;
    const double u0 = ((w0 - R.r01 * u1) - R.r02 * u2) / R.r00;
    u[0] = u0;
    u[1] = u1;
    u[2] = u2;
}

// out_i = sum_jk d^3 f/ds_i ds_j ds_k a_j b_k, from psi's derivatives psi' = (-1, r - 1, y/z),
// psi'' (nonzero on the (y, z) block [[-1/y, 1/z], [1/z, -y/z^2]]) and psi''' [a, b]:
//   f'''[a, b] = -psi'''[a, b]/psi + ((psi'' b)(psi'.a) + (psi'' a)(psi'.b) + psi' (a^T psi'' b))/psi^2
//                - 2 psi' (psi'.a)(psi'.b)/psi^3, plus -2 a_y b_y/y^3 and -2 a_z b_z/z^3.
VELKORA_HD inline void exp_third_derivative(const ExpPoint& p, const double* a, const double* b, double* out) {
    const double y = p.y, z = p.z, psi = p.psi;
    const double a0 = a[0], a1 = a[1], a2 = a[2], b0 = b[0], b1 = b[1], b2 = b[2];
    const double gp1 = p.r - 1.0, gp2 = y / z;
    const double zz = z * z;
    const double ga = (-a0 + gp1 * a1) + gp2 * a2;
    const double gb = (-b0 + gp1 * b1) + gp2 * b2;
    // psi'' a, psi'' b (first entry 0) and a^T psi'' b
    const double ha1 = -a1 / y + a2 / z, ha2 = a1 / z - (y / zz) * a2;
    const double hb1 = -b1 / y + b2 / z, hb2 = b1 / z - (y / zz) * b2;
    const double ahb = a1 * hb1 + a2 * hb2;
    const double t1 = (a1 * b1) / (y * y) - (a2 * b2) / zz;
    const double t2 = -(a1 * b2 + a2 * b1) / zz + ((y + y) * (a2 * b2)) / (zz * z);
    const double ip = 1.0 / psi;
    const double ip2 = ip * ip;
    const double cube = ((ga * gb) * (ip2 * ip)) * 2.0;
    out[0] = cube - ahb * ip2;
    out[1] = (((-t1 * ip + hb1 * ga * ip2) + ha1 * gb * ip2) + gp1 * ahb * ip2) - gp1 * cube;
    out[2] = (((-t2 * ip + hb2 * ga * ip2) + ha2 * gb * ip2) + gp2 * ahb * ip2) - gp2 * cube;
    out[1] += -2.0 * (a1 * b1) / (y * y * y);
    out[2] += -2.0 * (a2 * b2) / (zz * z);
}

// ---------------------------------------------------------------------------------------
// Conjugate barrier: the shadow point s~ = -grad f*(z) of an interior z.
// ---------------------------------------------------------------------------------------

// e > 0 with e + log1p(e) = d > 0 (omega = 1 + e is Wright's omega of 1 + d), to about one
// ulp. Start: the series d/2 + d^2/16 - d^3/192 for d < 2, else the asymptotic
// omega = zeta - log zeta + log(zeta)/zeta (zeta = 1 + d); then the fourth-order iteration of
// Fritsch, Shafer and Crowley written in e (no cancellation as d -> 0) and in ratios (no
// overflow for huge d): with r = d - e - log1p(e), w = 2 + e, rho = r/w, k = 2 + 4 rho/3,
//   e <- e + (1 + e) rho (k - rho/w)/(k - 2 rho/w),
// stopped once a correction is below 1e-5 e (the next error is then below 1e-20 e). One or two
// steps over d in 1e-300..1e300 (three at most where the start is poorest).
VELKORA_HD inline double exp_omega_minus_one(double d) {
    double e;
    if (d < 2.0) {
        e = d * (0.5 + d * (0.0625 - d / 192.0));
    } else {
        const double zeta = 1.0 + d;
        const double lz = log(zeta);
        e = ((zeta - lz) + lz / zeta) - 1.0;
    }
    for (int k = 0; k < 8; ++k) {
        const double r = (d - e) - log1p(e);
        const double w = 2.0 + e;
        const double rho = r / w;
        const double kk = 2.0 + (4.0 / 3.0) * rho;
        double next = e + ((1.0 + e) * rho) * ((kk - rho / w) / (kk - 2.0 * (rho / w)));
        if (next <= 0.0) next = 0.5 * e;
        const bool done = fabs(next - e) <= 1e-5 * next;
        e = next;
        if (done || !(e == e)) break;
    }
    return e;
}

// s~ with its psi and log(z/y) in closed form (psi(s~) = 1/a exactly, no cancellation), and
// log e, log1p e (e itself may exceed the double range where v/a does).
struct ExpShadow {
    double s[3];
    ExpPoint point;
    double a;  // -u
    double log_e;
    double log1p_e;
};

// From d = v/a + 1 + log(w/a) >= 2^64 on, the shadow is formed from b = a e, which stays in
// range where v/a and e overflow: b = a d - a log1p(e), with log1p(e) = log b - log a to
// within 1/e <= 2^-63 (fixed-point steps from b = a d, each contracting by 1/e, so two reach
// rounding); then s~ = (((v + a)/b - 2)/a, 1/b, (a/b + 1)/w).
inline constexpr double kExpShadowScaledFrom = 0x1p64;

VELKORA_HD inline ExpShadow exp_dual_shadow(const double* zd) {
    ExpShadow sh;
    const double u = zd[0], v = zd[1], w = zd[2];
    const double a = -u;
    const double lwa = exp_log_ratio(w, a);
    const double va = v / a;
    if (!(va <= kExpShadowScaledFrom)) {
        const double ad = (v + a) + a * lwa;
        const double la = log(a);
        double b = ad;
        for (int k = 0; k < 2; ++k) b = ad - a * (log(b) - la);
        const double le = log(b) - la;
        const double y = 1.0 / b;
        sh.s[0] = ((v + a) / b - 2.0) / a;
        sh.s[1] = y;
        sh.s[2] = (a / b + 1.0) / w;
        sh.log_e = le;
        sh.log1p_e = le;
    } else {
        const double d = (va + 1.0) + lwa;
        const double e = exp_omega_minus_one(d);
        const double y = 1.0 / (a * e);
        sh.s[0] = y * ((va + 1.0) - (e + e));
        sh.s[1] = y;
        const double ew = e * w;  // out of range only for w beyond 2^960
        sh.s[2] = ew <= kDoubleMax ? (1.0 + e) / ew : ((1.0 + e) / e) / w;
        sh.log_e = log(e);
        sh.log1p_e = log1p(e);
    }
    sh.point.x = sh.s[0];
    sh.point.y = sh.s[1];
    sh.point.z = sh.s[2];
    sh.point.psi = 1.0 / a;
    sh.point.r = sh.log1p_e - lwa;
    sh.a = a;
    return sh;
}

// f*(z) = -3 - f(s~) = -3 - 2 log a - 2 log e - log w + log1p(e) (each logarithm of a
// representable positive number, so nothing overflows on the way).
VELKORA_HD inline double exp_dual_barrier_value(const ExpShadow& sh, double w) {
    const double la = log(sh.a), le = sh.log_e;
    return (((-3.0 - (la + la)) - (le + le)) - log(w)) + sh.log1p_e;
}

// ---------------------------------------------------------------------------------------
// Scaling state.
// ---------------------------------------------------------------------------------------
VELKORA_HD inline void exp_state_put(double* state, double mode, const double* h, const double* p, const double* g,
                                     const double* q, const double* shadow) {
    state[0] = mode;
    for (int k = 0; k < 3; ++k) {
        state[kExpStateH + k] = h[k];
        state[kExpStateG + k] = g[k];
        state[kExpStateShadow + k] = shadow[k];
    }
    for (int k = 0; k < 9; ++k) {
        state[kExpStateP + k] = p[k];
        state[kExpStateQ + k] = q[k];
    }
}

VELKORA_HD inline void exp_state_nan(double* state) {
    for (u64 k = 0; k < kExpStateSize; ++k) state[k] = NAN;
}

VELKORA_HD inline bool exp_positive_finite(double v) { return v > 0.0 && v <= kDoubleMax; }

// The primal-dual terms (false when a coefficient is not positive and finite or a direction
// is degenerate; then nothing is written to h, p, g, q).
VELKORA_HD inline bool exp_pd_terms(const double* s, const double* z, const ExpPoint& ps, const ExpHessFactor& R,
                                    const double* st, const double* zt, double sz, double mu, double* h, double* p,
                                    double* g, double* q) {
    const double m1 = sz / exp_dot3(st, z);
    const double m2 = sz / exp_dot3(s, zt);
    double ds[3], dz[3];
    for (int i = 0; i < 3; ++i) {
        ds[i] = s[i] - m1 * st[i];
        dz[i] = z[i] - m2 * zt[i];
    }
    const double dsdz = exp_dot3(ds, dz);
    double a[3], b[3];
    exp_cross3(s, st, a);
    exp_cross3(z, zt, b);
    const double na2 = exp_dot3(a, a);
    const double nb2 = exp_dot3(b, b);
    double rs[3], rst[3], minors[3];
    exp_factor_apply(R, s, rs);
    exp_factor_apply(R, st, rst);
    exp_cross3(rs, rst, minors);
    const double g2 = exp_dot3(minors, minors);
    const double y = ps.y, zz = ps.z, psi = ps.psi;
    const double det = (2.0 * y + psi) / (((psi * psi) * psi) * ((y * y) * (zz * zz)));
    const double t = ((mu * det) * na2) / g2;
    const double na = sqrt(na2), nb = sqrt(nb2);
    for (int i = 0; i < 3; ++i) {
        a[i] = a[i] / na;
        b[i] = b[i] / nb;
    }
    const double ab = exp_dot3(a, b);
    const double c0 = 1.0 / sz, c1 = 1.0 / dsdz, c2 = 1.0 / (t * (ab * ab));
    if (!(exp_positive_finite(c0) && exp_positive_finite(c1) && exp_positive_finite(t) && exp_positive_finite(c2) &&
          na2 > 0.0 && nb2 > 0.0 && g2 > 0.0 && exp_finite3(a) && exp_finite3(b) && exp_finite3(dz) &&
          exp_finite3(ds)))
        return false;
    h[0] = c0;
    h[1] = c1;
    h[2] = t;
    g[0] = c0;
    g[1] = c1;
    g[2] = c2;
    for (int i = 0; i < 3; ++i) {
        p[i] = z[i];
        p[3 + i] = dz[i];
        p[6 + i] = a[i];
        q[i] = s[i];
        q[3 + i] = ds[i];
        q[6 + i] = b[i];
    }
    return true;
}

// The central-path (one-secant BFGS) terms.
VELKORA_HD inline void exp_central_terms(const double* s, const double* z, const ExpHessFactor& R, double sz,
                                         double mu, double* h, double* p, double* g, double* q) {
    double rho[3];
    exp_factor_apply(R, s, rho);
    const double rr = exp_dot3(rho, rho);
    // Orthonormal e1, e2 spanning the plane orthogonal to s (e1 from the axis least aligned with s).
    const double m0 = fabs(s[0]), m1 = fabs(s[1]), m2 = fabs(s[2]);
    const int k = (m0 <= m1 && m0 <= m2) ? 0 : (m1 <= m2 ? 1 : 2);
    double axis[3] = {0.0, 0.0, 0.0};
    axis[k] = 1.0;
    double e1[3], e2[3];
    exp_cross3(s, axis, e1);
    const double n1 = sqrt(exp_dot3(e1, e1));
    for (int i = 0; i < 3; ++i) e1[i] = e1[i] / n1;
    exp_cross3(s, e1, e2);
    const double n2 = sqrt(exp_dot3(e2, e2));
    for (int i = 0; i < 3; ++i) e2[i] = e2[i] / n2;
    // m_j = (I - rho rho^T/rr) R e_j and the QR factor [[r11, r12], [0, r22]] of [m_1 m_2].
    double c1[3], c2[3];
    exp_factor_apply(R, e1, c1);
    exp_factor_apply(R, e2, c2);
    const double f1 = exp_dot3(rho, c1) / rr, f2 = exp_dot3(rho, c2) / rr;
    for (int i = 0; i < 3; ++i) {
        c1[i] = c1[i] - rho[i] * f1;
        c2[i] = c2[i] - rho[i] * f2;
    }
    double cr[3];
    exp_cross3(c1, c2, cr);
    const double r11 = sqrt(exp_dot3(c1, c1));
    const double r12 = exp_dot3(c1, c2) / r11;
    const double r22 = sqrt(exp_dot3(cr, cr)) / r11;
    // Dual basis through P x = x - s (z.x)/sz, which maps onto the plane orthogonal to z.
    const double pz1 = exp_dot3(z, e1) / sz, pz2 = exp_dot3(z, e2) / sz;
    const double ratio = r12 / r11;
    const double c0 = 1.0 / sz, imu = 1.0 / mu;
    h[0] = c0;
    h[1] = mu;
    h[2] = mu;
    g[0] = c0;
    g[1] = imu;
    g[2] = imu;
    for (int i = 0; i < 3; ++i) {
        const double pe1 = e1[i] - s[i] * pz1;
        const double pe2 = e2[i] - s[i] * pz2;
        p[i] = z[i];
        p[3 + i] = r11 * e1[i] + r12 * e2[i];
        p[6 + i] = r22 * e2[i];
        q[i] = s[i];
        q[3 + i] = pe1 / r11;
        q[6 + i] = (pe2 - ratio * pe1) / r22;
    }
}

// The primal-dual scaling state of an interior pair (s in int K, z in int K*); NaN throughout
// (and false) otherwise.
VELKORA_HD inline bool exp_pd_state(const double* s_in, const double* z_in, double* state) {
    double s[3] = {s_in[0], s_in[1], s_in[2]};
    double z[3] = {z_in[0], z_in[1], z_in[2]};
    if (!(exp_primal_interior(s) && exp_dual_interior(z))) {
        exp_state_nan(state);
        return false;
    }
    const ExpPoint ps = exp_point(s);
    double zt[3];
    exp_barrier_gradient(ps, zt);
    for (int i = 0; i < 3; ++i) zt[i] = -zt[i];
    const ExpShadow sh = exp_dual_shadow(z);
    const double sz = exp_dot3(s, z);
    const double mu = sz / 3.0;
    const double mut = exp_dot3(sh.s, zt) / 3.0;
    const ExpHessFactor R = exp_hessian_factor(ps);
    double h[3], p[9], g[3], q[9];
    if (mu * mut - 1.0 > kExpCentralTol && exp_pd_terms(s, z, ps, R, sh.s, zt, sz, mu, h, p, g, q)) {
        exp_state_put(state, kExpModePrimalDual, h, p, g, q, sh.s);
        return true;
    }
    exp_central_terms(s, z, R, sz, mu, h, p, g, q);
    exp_state_put(state, kExpModeCentral, h, p, g, q, sh.s);
    return true;
}

// The dual-side state of an interior z and mu > 0: H^-1 = mu hess f(s~)^-1; NaN (false) when z
// is not interior.
VELKORA_HD inline bool exp_dual_side_state(const double* z_in, double mu, double* state) {
    double z[3] = {z_in[0], z_in[1], z_in[2]};
    if (!exp_dual_interior(z)) {
        exp_state_nan(state);
        return false;
    }
    const ExpShadow sh = exp_dual_shadow(z);
    const ExpHessFactor R = exp_hessian_factor(sh.point);
    const double hm = 1.0 / mu;
    const double h[3] = {hm, hm, hm};
    const double g[3] = {mu, mu, mu};
    // rows of R and the columns of R^-1 (back substitution)
    const double p[9] = {R.r00, R.r01, R.r02, 0.0, R.r11, R.r12, 0.0, 0.0, R.r22};
    const double c11 = 1.0 / R.r11, c22 = 1.0 / R.r22;
    const double c12 = -(R.r12 * c22) / R.r11;
    const double q[9] = {1.0 / R.r00,
                         0.0,
                         0.0,
                         -(R.r01 * c11) / R.r00,
                         c11,
                         0.0,
                         -(R.r01 * c12 + R.r02 * c22) / R.r00,
                         c12,
                         c22};
    exp_state_put(state, kExpModeDualSide, h, p, g, q, sh.s);
    return true;
}

// (H or H^-1)(i, j) from a stored state: sum_k w_k (v_k[i] v_k[j]), exactly symmetric.
VELKORA_HD inline double exp_state_entry(const double* state, u64 i, u64 j, bool inverse) {
    const double* w = state + (inverse ? kExpStateG : kExpStateH);
    const double* v = state + (inverse ? kExpStateQ : kExpStateP);
    return (w[0] * (v[i] * v[j]) + w[1] * (v[3 + i] * v[3 + j])) + w[2] * (v[6 + i] * v[6 + j]);
}

// Entry (i, j) of cone `cone`'s block from the states of consecutive cones: the item of the
// fills' BatchedBlocks (3 x 3 blocks), host and device alike.
struct ExpStateEntry {
    const double* states;
    bool inverse;
    VELKORA_HD double operator()(u64 cone, u64 i, u64 j) const {
        return exp_state_entry(states + kExpStateSize * cone, i, j, inverse);
    }
};

// out = H x or H^-1 x from a stored state (x and out may alias).
VELKORA_HD inline void exp_state_apply(const double* state, const double* x, double* out, bool inverse) {
    const double* w = state + (inverse ? kExpStateG : kExpStateH);
    const double* v = state + (inverse ? kExpStateQ : kExpStateP);
    const double xv[3] = {x[0], x[1], x[2]};
    const double c0 = w[0] * exp_dot3(v, xv), c1 = w[1] * exp_dot3(v + 3, xv), c2 = w[2] * exp_dot3(v + 6, xv);
    for (int i = 0; i < 3; ++i) out[i] = (c0 * v[i] + c1 * v[3 + i]) + c2 * v[6 + i];
}

// eta = 1/2 f'''(s)[ds, hess f(s)^-1 dz] at an interior s (inputs read before out is written).
VELKORA_HD inline void exp_corrector(const double* s, const double* ds, const double* dz, double* out) {
    const double sv[3] = {s[0], s[1], s[2]};
    const double dsv[3] = {ds[0], ds[1], ds[2]};
    double u[3] = {dz[0], dz[1], dz[2]};
    const ExpPoint p = exp_point(sv);
    exp_hessian_solve(exp_hessian_factor(p), u, u);
    double t[3];
    exp_third_derivative(p, dsv, u, t);
    for (int i = 0; i < 3; ++i) out[i] = 0.5 * t[i];
}

// d_s = (s - sigma_mu s~) - correction H^-1 eta, eta = exp_corrector(s, ds, dz); with
// correction = 0 the directions are not read. Inputs are read before out is written.
VELKORA_HD inline void exp_combined_shift(const double* state, const double* s, const double* ds, const double* dz,
                                          double sigma_mu, double correction, double* out) {
    const double* st = state + kExpStateShadow;
    double base[3];
    for (int i = 0; i < 3; ++i) base[i] = s[i] - sigma_mu * st[i];
    double hv[3] = {0.0, 0.0, 0.0};
    if (correction != 0.0) {
        double eta[3];
        exp_corrector(s, ds, dz, eta);
        exp_state_apply(state, eta, hv, true);
    }
    for (int i = 0; i < 3; ++i) out[i] = base[i] - correction * hv[i];
}

// ---------------------------------------------------------------------------------------
// Step length: backtracking along alpha0, alpha0 factor, alpha0 factor^2, ... (each term the
// previous one times factor).
// ---------------------------------------------------------------------------------------

// s + alpha ds in int K and z + alpha dz in int K*.
VELKORA_HD inline bool exp_trial_inside(const double* s, const double* ds, const double* z, const double* dz,
                                        double alpha) {
    const double ps[3] = {s[0] + alpha * ds[0], s[1] + alpha * ds[1], s[2] + alpha * ds[2]};
    const double pz[3] = {z[0] + alpha * dz[0], z[1] + alpha * dz[1], z[2] + alpha * dz[2]};
    return exp_primal_interior(ps) && exp_dual_interior(pz);
}

// The next term of the sequence, 0.0 once it falls below alpha_min or stops decreasing.
VELKORA_HD inline double exp_next_alpha(double alpha, double factor, double alpha_min) {
    const double next = alpha * factor;
    return (next < alpha && next >= alpha_min) ? next : 0.0;
}

// At most kExpBacktrackTerms terms are tried: a call raises alpha_min to the last of them
// (exp_backtrack_floor), so that it is bounded in passes whatever the factor (a factor just
// below 1 would otherwise shrink alpha by one ulp per pass).
inline constexpr int kExpBacktrackTerms = 1024;

// alpha_min raised to term kExpBacktrackTerms - 1 of the sequence; alpha_min itself when
// the sequence ends before that term.
VELKORA_HD inline double exp_backtrack_floor(double alpha0, double factor, double alpha_min) {
    double alpha = alpha0 >= alpha_min ? alpha0 : 0.0;
    for (int k = 1; k < kExpBacktrackTerms && alpha > 0.0; ++k) {
        const double next = exp_next_alpha(alpha, factor, alpha_min);
        if (next == 0.0) return alpha_min;
        alpha = next;
    }
    return alpha > alpha_min ? alpha : alpha_min;
}

// The first term >= alpha_min of the sequence at which this cone's trial points are inside;
// 0.0 when there is none or when s or z is not interior.
VELKORA_HD inline double exp_cone_step(const double* s, const double* ds, const double* z, const double* dz,
                                       double alpha0, double factor, double alpha_min) {
    if (!(exp_primal_interior(s) && exp_dual_interior(z))) return 0.0;
    double alpha = alpha0 >= alpha_min ? alpha0 : 0.0;
    while (alpha > 0.0) {
        if (exp_trial_inside(s, ds, z, dz, alpha)) return alpha;
        alpha = exp_next_alpha(alpha, factor, alpha_min);
    }
    return 0.0;
}

// ---------------------------------------------------------------------------------------
// Host routines over `cones` consecutive cones (3 entries each; state kExpStateSize each).
// Refusing routines test every cone before writing anything.
// ---------------------------------------------------------------------------------------
bool exp_ipm_interior(const double* x, u64 cones, bool dual);
// The largest term alpha of alpha0, alpha0 factor, ... (>= alpha_min, at most
// kExpBacktrackTerms terms) with every cone's s + alpha ds in int K and z + alpha dz in int K*;
// 0.0 when there is none or s, z are not interior.
double exp_ipm_step(const double* s, const double* ds, const double* z, const double* dz, u64 cones, double alpha0,
                    double factor, double alpha_min);
// Sum over the cones of f(s) (dual: f*(z)); +inf when a cone is not interior.
double exp_ipm_barrier(const double* x, u64 cones, bool dual);
// grad f(s); refuses with "exponential barrier requires strictly interior cone vectors".
void exp_ipm_barrier_gradient(const double* s, double* out, u64 cones);
// s~ = -grad f*(z); refuses with "exponential dual barrier requires z strictly inside the dual cone".
void exp_ipm_dual_shadow(const double* z, double* out, u64 cones);
// Refuses with "exponential primal-dual scaling requires s strictly inside the cone and z strictly
// inside the dual cone".
void exp_ipm_scaling(const double* s, const double* z, double* state, u64 cones);
// Refuses as exp_ipm_dual_shadow.
void exp_ipm_dual_scaling(const double* z, double mu, double* state, u64 cones);
void exp_ipm_apply(const double* state, const double* x, double* out, u64 cones, bool inverse);
// Refuses as exp_ipm_barrier_gradient.
void exp_ipm_corrector(const double* s, const double* ds, const double* dz, double* out, u64 cones);
// Refuses as exp_ipm_barrier_gradient.
void exp_ipm_combined_shift(const double* state, const double* s, const double* ds, const double* dz, double* out,
                            u64 cones, double sigma_mu, double correction);

}  // namespace velkora::torv::cones::host

// Device launchers of a product of `count` exponential cones (x, y, z) stored as
// consecutive triples. Pointers are device memory on `device`.
namespace velkora::torv::cones::device {

// Projection of every cone, the host's rule and comparisons (NaN y gives
// (min(x, 0), 0, max(z, 0)) with NaN copied through); asynchronous on `stream`.
void exp_project_cuda(const double* in, double* out, std::uint64_t count, int device, StreamHandle stream);
// sqrt of the sum of the cones' squared distances (synchronous).
double exp_violation_cuda(const double* in, std::uint64_t count, int device);
// Every cone passes the host's tolerance test (synchronous).
bool exp_contains_cuda(const double* in, std::uint64_t count, double tol, int device);
// `batch` block-diagonal (3 count)^2 matrices into H, block k of item b the PSB update
// of I mapping s_k to z_k (pair balanced by a power of two); asynchronous on `stream`.
void exp_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t count, std::uint64_t batch,
                         int device, StreamHandle stream);

// Interior-point forms over `cones` consecutive cones (the inline routines above give the
// arithmetic; states kExpStateSize doubles per cone). The scalar results are synchronous (work
// on other streams is waited for); the rest is asynchronous on `stream`. Cones that the host
// refuses get NaN.
bool exp_ipm_interior_cuda(const double* x, std::uint64_t cones, bool dual, int device);
double exp_ipm_step_cuda(const double* s, const double* ds, const double* z, const double* dz, std::uint64_t cones,
                         double alpha0, double factor, double alpha_min, int device);
double exp_ipm_barrier_cuda(const double* x, std::uint64_t cones, bool dual, int device);
void exp_ipm_barrier_gradient_cuda(const double* s, double* out, std::uint64_t cones, int device, StreamHandle stream);
void exp_ipm_dual_shadow_cuda(const double* z, double* out, std::uint64_t cones, int device, StreamHandle stream);
void exp_ipm_scaling_cuda(const double* s, const double* z, double* states, std::uint64_t cones, int device,
                          StreamHandle stream);
void exp_ipm_dual_scaling_cuda(const double* z, double mu, double* states, std::uint64_t cones, int device,
                               StreamHandle stream);
void exp_ipm_apply_cuda(const double* states, const double* x, double* out, std::uint64_t cones, bool inverse,
                        int device, StreamHandle stream);
void exp_ipm_corrector_cuda(const double* s, const double* ds, const double* dz, double* out, std::uint64_t cones,
                            int device, StreamHandle stream);
void exp_ipm_combined_shift_cuda(const double* states, const double* s, const double* ds, const double* dz,
                                 double* out, std::uint64_t cones, double sigma_mu, double correction, int device,
                                 StreamHandle stream);
// H (or H^-1) of each cone from its state as consecutive 3 x 3 diagonal blocks from row_offset.
void exp_ipm_hmatrix_csr_cuda(const double* states, const std::int64_t* indptr, const std::int64_t* indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream);
void exp_ipm_hmatrix_coo_cuda(const double* states, const std::int64_t* row_indices, const std::int64_t* col_indices,
                              double* values, std::uint64_t nnz, std::uint64_t cones, std::uint64_t row_offset,
                              bool inverse, int device, StreamHandle stream);

// Sparse H fill of d = 3 * (number of cones) rows (the caller has checked that indptr covers
// them): each cone's 3 x 3 NT block, 0 between cones.
void exp_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream);
void exp_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
