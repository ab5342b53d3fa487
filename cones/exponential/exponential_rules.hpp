// Per-cone exponential-cone arithmetic shared by the host routines and the device kernels.
// The cone is cl{(x, y, z) : y > 0, y exp(x/y) <= z}. Written once so that host and
// device make the same comparisons in the same order (NaN behaves alike on both sides);
// also the power-of-two balancing of a secant pair used by every scaling block.
// Included by host C++ and by the device sources (nvcc or the emulation build).
//
// Interior rules. This header owns every test of "strictly inside" that the two modules
// make for this cone; there are three, and they are kept apart on purpose:
//   strictly_interior     z > y exp(clamp(x/y)), y > 0. The PSB scaling refusal of the
//                         cone-arithmetic module (dense and batch forms). Its clamp is part
//                         of that module's fixed behaviour: above x/y = 709 it compares with
//                         y exp(709) (so it accepts points outside the cone whose z lies
//                         between y exp(709) and y exp(x/y)), below x/y = -745 with
//                         y exp(-745) (so it refuses interior points whose z lies between
//                         y exp(x/y) and y exp(-745)); where exp(x/y) is subnormal (x/y below
//                         about -708.4) the product carries the subnormal's absolute rounding.
//   sparse_fill_interior  z > exp(x/y) y for y > 0, unclamped; for y <= 0 the face
//                         x < 0, y = 0, z >= 0 of the closure is accepted. The same module's
//                         sparse H fill, whose PSB block needs only u.u > 0, not a barrier.
//                         Without the clamp exp(x/y) overflows to inf above x/y = 709.78,
//                         so every such point is refused (also interior ones with y < 1),
//                         and rounds to 0 below x/y = -745.13, so every such point with
//                         z > 0 is accepted (also outside ones with y > 1).
//   log_primal_interior   y log(z/y) - x > 0 with finite entries, y > 0, z > 0 (and
//                         log_dual_interior for the dual cone). The interior-point module's
//                         membership: exactly the domain of its barrier -log(y log(z/y) - x)
//                         - log y - log z, on which the gradient, the shadow points and the
//                         step search evaluate psi = y log(z/y) - x; a point that the
//                         perspective form accepted with psi <= 0 would make the barrier
//                         NaN or infinite. log(z/y) never overflows, so this form needs no clamp and is
//                         right at every ratio x/y; both forms are limited only by the
//                         rounding of x/y or of log(z/y), about (1 + |x/y|) ulps of z.
// Away from those bands the three agree. The boundary sweep in the tests pins down the
// exact set on which each pair differs.
#pragma once

#include <cmath>

#include "host/double_limits.hpp"
#include "host/host_device.hpp"

#ifdef __CUDACC__
#define VELKORA_EXPCONE_FN __host__ __device__ __forceinline__
#else
#define VELKORA_EXPCONE_FN inline
#endif

namespace velkora::torv::cones::expcone {

// Allowance of the projection's "already on or inside the cone" test.
constexpr double kProjectionSlack = 1e-8;

// Argument of exp clamped to [-745, 709]: 709 when t > 709, -745 when t < -745; NaN stays.
VELKORA_EXPCONE_FN double clamp_exponent(double t) { return t > 709.0 ? 709.0 : (t < -745.0 ? -745.0 : t); }

// y exp(clamp(x/y)): quotient, clamp, exp, product, in that order.
VELKORA_EXPCONE_FN double perspective(double x, double y) { return y * std::exp(clamp_exponent(x / y)); }

// y > 0 and z > y exp(clamp(x/y)), both strict; any NaN gives false.
VELKORA_EXPCONE_FN bool strictly_interior(double x, double y, double z) { return y > 0.0 && z > perspective(x, y); }

// The sparse fill's test of a triple t = (x, y, z): with y > 0, z > exp(x/y) y (the ratio is
// not clamped); otherwise x < 0, y = 0 and z >= 0. Any NaN gives false.
VELKORA_EXPCONE_FN bool sparse_fill_interior(const double* t) {
    if (t[1] > 0.0) return t[2] > std::exp(t[0] / t[1]) * t[1];
    return t[0] < 0.0 && t[1] == 0.0 && t[2] >= 0.0;
}

// All three entries finite (NaN fails).
VELKORA_HD inline bool finite3(const double* a) {
    return fabs(a[0]) <= host::kDoubleMax && fabs(a[1]) <= host::kDoubleMax && fabs(a[2]) <= host::kDoubleMax;
}

// log(num/den) for positive num, den: log1p((num - den)/den) when num/den lies in (0.5, 2)
// (num - den is exact there), log(num/den) while the ratio is a normal number, log num - log den
// when it would over- or underflow.
VELKORA_HD inline double log_ratio(double num, double den) {
    const double q = num / den;
    if (q > 0.5 && q < 2.0) return log1p((num - den) / den);
    if (q > 1e-300 && q < 1e300) return log(q);
    return log(num) - log(den);
}

// s = (x, y, z) strictly inside the cone in log form: finite entries, y > 0, z > 0,
// y log(z/y) - x > 0 (NaN fails).
VELKORA_HD inline bool log_primal_interior(const double* s) {
    if (!(s[1] > 0.0 && s[2] > 0.0 && finite3(s))) return false;
    return s[1] * log_ratio(s[2], s[1]) - s[0] > 0.0;
}

// z = (u, v, w) strictly inside the dual cone cl{u < 0, -u exp(v/u) <= e w}: finite entries,
// u < 0, w > 0, v - u - u log(w/(-u)) > 0.
VELKORA_HD inline bool log_dual_interior(const double* z) {
    if (!(z[0] < 0.0 && z[2] > 0.0 && finite3(z))) return false;
    return (z[1] - z[0]) - z[0] * log_ratio(z[2], -z[0]) > 0.0;
}

// min(v, 0) and max(v, 0) by comparison: 0 only when the comparison with 0 holds, so a
// NaN is copied through (unlike fmin/fmax, which drop it).
VELKORA_EXPCONE_FN double min_zero(double v) { return 0.0 < v ? 0.0 : v; }
VELKORA_EXPCONE_FN double max_zero(double v) { return 0.0 > v ? 0.0 : v; }

// Projection of one cone (x, y, z) -> (px, py, pz). With y > 0, x and y are kept and z
// rises to E = y exp(x/y) unless the point already passes the slack test; otherwise
// (y <= 0 or NaN) the result is (min(x, 0), 0, max(z, 0)). All inputs are read first.
VELKORA_EXPCONE_FN void project_cone(double x, double y, double z, double& px, double& py, double& pz) {
    if (y > 0.0) {
        const double e = perspective(x, y);
        const double eps = kProjectionSlack;
        const bool keep = (y > eps && z + eps >= e) || (y <= eps && x <= eps && z >= -eps);
        px = x;
        py = y;
        pz = keep ? z : (e > z ? e : z);
    } else {
        px = min_zero(x);
        py = 0.0;
        pz = max_zero(z);
    }
}

// Squared distance r^2 of one cone to its image without the slack: with y > 0,
// r = E - z when that is > 0 (a NaN difference counts as 0), else
// r = sqrt(max(x, 0)^2 + y^2 + min(z, 0)^2) (a NaN entry gives NaN).
VELKORA_EXPCONE_FN double violation_sq(double x, double y, double z) {
    double r;
    if (y > 0.0) {
        const double diff = perspective(x, y) - z;
        r = diff > 0.0 ? diff : 0.0;
    } else {
        const double a = max_zero(x), c = min_zero(z);
        r = std::sqrt((a * a + y * y) + c * c);
    }
    return r * r;
}

// Membership of one cone with tolerance atol: if y > atol, y exp(x/y) <= z + atol;
// otherwise x <= atol, |y| <= atol and z >= -atol. Any comparison with NaN fails.
VELKORA_EXPCONE_FN bool member(double x, double y, double z, double atol) {
    if (y > atol) return perspective(x, y) <= z + atol;
    return x <= atol && std::fabs(y) <= atol && z >= -atol;
}

// Power of two k such that max_i |u_i| * 2^k lies in [1, 2); 0 when that maximum is 0
// or not finite (then nothing is scaled and the norm test refuses the pair). Scaling
// u and v by 2^k leaves the PSB block unchanged bit for bit as long as nothing
// over- or underflows, and keeps b = u.u in [1, 4n) so that b*b neither overflows
// nor underflows.
VELKORA_EXPCONE_FN int balance_exponent(const double* u, unsigned long long n) {
    double top = 0.0;
    for (unsigned long long k = 0; k < n; ++k) {
        const double a = std::fabs(u[k]);
        if (a > top) top = a;
    }
    if (!(top > 0.0) || !(top <= host::kDoubleMax)) return 0;
    int e = 0;
    std::frexp(top, &e);  // top = f 2^e with f in [0.5, 1)
    return 1 - e;
}

// One entry (r, c) of the 3x3 PSB block from the balanced pair: u the source, d = v - u,
// b = u.u, e = d.u: ((d_r u_c / b + [r = c]) + u_r d_c / b) - ((e u_r) u_c) / (b b).
VELKORA_EXPCONE_FN double psb_entry(const double* u, const double* d, double b, double e, unsigned r,
                                     unsigned c) {
    const double delta = r == c ? 1.0 : 0.0;
    return ((d[r] * u[c] / b + delta) + u[r] * d[c] / b) - ((e * u[r]) * u[c]) / (b * b);
}

// Entry (r, c) of the 3x3 block of one cone pair (s, z) as the device forms it for the
// dense matrices and the sparse gather alike: balanced by a power of two, sigma = s.s
// accumulated with fused multiply-adds, tau = delta.s in component order.
VELKORA_EXPCONE_FN double device_block_entry(const double* s, const double* z, unsigned r, unsigned c) {
    const int shift = balance_exponent(s, 3);
    double u[3], delta[3];
    for (int k = 0; k < 3; ++k) u[k] = std::ldexp(s[k], shift);
    for (int k = 0; k < 3; ++k) delta[k] = std::ldexp(z[k], shift) - u[k];
    double sigma = 0.0;
    for (int k = 0; k < 3; ++k) sigma = std::fma(u[k], u[k], sigma);
    const double tau = ((0.0 + delta[0] * u[0]) + delta[1] * u[1]) + delta[2] * u[2];
    return psb_entry(u, delta, sigma, tau, r, c);
}

}  // namespace velkora::torv::cones::expcone
