// Per-cone exponential-cone arithmetic shared by the host routines and the device kernels.
// The cone is cl{(x, y, z) : y > 0, y exp(x/y) <= z}. Written once so that host and
// device make the same comparisons in the same order (NaN behaves alike on both sides);
// also the power-of-two balancing of a secant pair used by every scaling block.
// Included by host C++ and by the device sources (nvcc or the emulation build).
#pragma once

#include <cmath>

#include "host/double_limits.hpp"

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

// y > 0 and z > y exp(x/y), both strict; any NaN gives false.
VELKORA_EXPCONE_FN bool strictly_interior(double x, double y, double z) { return y > 0.0 && z > perspective(x, y); }

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
