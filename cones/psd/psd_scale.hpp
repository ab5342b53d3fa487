// Unit scaling of the PSD cone's NT factor path and the scalar guards it shares with the
// LAPACK path (psd_lapack.cpp) and the device kernels: the power-of-two exponents
// that bring a pair to unit scale, exact multiplication by a power of two, the strict
// interior test of a Cholesky pivot and the guard of a singular value used as a divisor.
// A leaf: the factor path (psd_nt.hpp) and the LAPACK path both build on it.
#pragma once

#include <math.h>

#include <cstdint>

#include "host/double_limits.hpp"
#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Exponent k of the even power of two 4^k that brings the largest finite |v_i| of the
// `count` entries into [1, 4) (k = 0 for a zero or non-finite maximum). A symmetric matrix
// scaled by 4^-k has its square root scaled by exactly 2^-k, so the NT formulas can run at
// unit scale and be scaled back without rounding: their products of s- and z-sized
// matrices then neither overflow nor underflow for entries anywhere in the double range.
// psd_quarter_exponent_of takes that largest magnitude itself (NaN entries skipped: the
// maximum of any subsets' maxima, in any order, is the same).
VELKORA_HD inline double psd_largest_magnitude(double top, double v) {
    const double a = fabs(v);
    return a > top ? a : top;
}

VELKORA_HD inline int psd_quarter_exponent_of(double top) {
    if (!(top > 0.0) || top > kDoubleMax) return 0;
    int exponent = 0;
    frexp(top, &exponent);  // top in [2^(exponent-1), 2^exponent)
    const int t = exponent - 1;
    return t >= 0 ? t / 2 : -((1 - t) / 2);  // floor(t / 2)
}

VELKORA_HD inline int psd_quarter_exponent(const double* v, u64 count) {
    double top = 0.0;
    for (u64 e = 0; e < count; ++e) top = psd_largest_magnitude(top, v[e]);
    return psd_quarter_exponent_of(top);
}

// Unit scale of a pair: the factor path works on 4^-ks S and 4^-kz Z, with ks from s and
// kz from z (psd_quarter_exponent), kz raised by one when ks + kz is odd (Z's largest
// entry then lies in [1/4, 1)). Then, exactly: W = 2^(kz - ks) W', H = 4^(kz - ks) H',
// R = 2^((kz - ks)/2) R' and sigma = 2^(ks + kz) sigma' for the unit-scale W', H', R', sigma'.
struct PsdNtScale {
    int ks, kz;
};

VELKORA_HD inline PsdNtScale psd_nt_scale_of(int ks, int kz) {
    PsdNtScale scale{ks, kz};
    if ((scale.ks + scale.kz) % 2 != 0) scale.kz += 1;
    return scale;
}

VELKORA_HD inline PsdNtScale psd_nt_scale(const double* s, const double* z, u64 count) {
    return psd_nt_scale_of(psd_quarter_exponent(s, count), psd_quarter_exponent(z, count));
}

// Multiplication by 2^e with the result of ldexp(x, e) (exact, or one rounding into the
// subnormal range), by one multiplication when 2^e is a normal double (ldexp is a library
// call, many times the cost of a product).
struct PsdPow2 {
    int e;
    double factor;
    VELKORA_HD explicit PsdPow2(int exponent)
        : e(exponent), factor(exponent >= -1022 && exponent <= 1023 ? ldexp(1.0, exponent) : 0.0) {}
    VELKORA_HD double operator()(double x) const { return factor != 0.0 ? x * factor : ldexp(x, e); }
};

// Strict interior test of one Cholesky pivot: positive and finite (NaN and infinities fail).
VELKORA_HD inline bool psd_pivot_ok(double pivot) { return pivot > 0.0 && pivot <= kDoubleMax; }

// A singular value as a divisor: sigma itself, raised to the smallest normal double when
// it is not (it is positive for every positive definite pair, but could underflow for one
// conditioned beyond the double range), so that the scaling stays finite.
VELKORA_HD inline double psd_guarded_sigma(double sigma) {
    return sigma >= kDoubleMinNormal ? sigma : kDoubleMinNormal;
}

}  // namespace velkora::torv::cones::host
