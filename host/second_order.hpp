// Host arithmetic of one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}: projection,
// violation, membership and the Nesterov-Todd scaling matrix from the normalised scaling point.
// All pointers are host memory; n >= 1 is the cone dimension; dense matrices are n x n
// row-major (entry (i, j) at i*n + j), batches are items back to back. The inline pieces
// marked VELKORA_HD are shared with the device kernels.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/double_limits.hpp"
#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// ---------------------------------------------------------------------------------------
// Sums of squares without spurious overflow or underflow.
// A plain sum of squares is kept when it is NaN or lies in [2^-900, DBL_MAX]: it did not
// overflow, and squares that underflowed (each below 2^-1022) cannot matter next to a sum of
// 2^-900 or more for any count below 2^100. Otherwise every term is multiplied by
// 2^-soc_rescue_shift(sum) before squaring and the root by 2^soc_rescue_shift(sum): for a
// sum beyond DBL_MAX the terms shrink by 2^-600 (a finite double becomes at most 2^424, and
// terms that now underflow are below 2^-1000 of the largest); for a sum below 2^-900 every
// term is below 2^-450 and grows by 2^600 (even 2^-1074 squares to a normal 2^-948). The
// result is then the root of the exact sum to within the rounding of the sum itself, and
// scaling all terms by a power of two scales it exactly, wherever it is representable.
// ---------------------------------------------------------------------------------------
inline constexpr int kSocRescueShift = 600;
inline constexpr double kSocRescueFactor = 0x1p600;  // 2^kSocRescueShift

VELKORA_HD inline bool soc_sum_sq_trusted(double sum) {
    return !(sum < 0x1p-900) && !(sum > kDoubleMax);
}

// Exponent of the factor 2^shift applied to the root of the rescaled sum.
VELKORA_HD inline int soc_rescue_shift(double sum) { return sum > 1.0 ? kSocRescueShift : -kSocRescueShift; }

// ||x_1..n-1||, rescued as above (0 when n = 1): the sums of squares are the deterministic
// block sums of host/parallel.hpp (32 partial sums per block), in parallel for long tails.
double soc_tail_norm(const double* x, u64 n);

// Head of the projection of a point strictly between the cone and its polar (|x_0| < t,
// t = ||x_bar|| > 0): (x_0 + t)*0.5, or x_0*0.5 + t*0.5 when the sum overflows.
VELKORA_HD inline double soc_projection_head(double x0, double t) {
    const double sum = x0 + t;
    return sum <= kDoubleMax ? sum * 0.5 : x0 * 0.5 + t * 0.5;
}

// Euclidean projection onto the cone. With t = x_0, r = ||x_bar||: x when t >= r, 0 when
// -t >= r, else a = soc_projection_head(t, r) at the head and x_k*(a/r) on the tail. `in`
// may equal `out`.
void soc_project(const double* in, double* out, u64 n);
// Distance from x to the cone, ||x - project(x)||, from x_0 and ||x_bar|| (one pass over x).
double soc_violation(const double* x, u64 n);
// x_0 >= ||x_bar|| - atol (NaN gives false).
bool soc_contains(const double* x, u64 n, double atol);

// ---------------------------------------------------------------------------------------
// Exact power-of-two scaling.
// ---------------------------------------------------------------------------------------

// The bits of a double and back (the device's reinterpretation intrinsics in device code).
VELKORA_HD inline std::uint64_t soc_double_bits(double v) {
#if defined(__CUDA_ARCH__)
    return static_cast<std::uint64_t>(__double_as_longlong(v));
#else
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
#endif
}
VELKORA_HD inline double soc_double_from_bits(std::uint64_t bits) {
#if defined(__CUDA_ARCH__)
    return __longlong_as_double(static_cast<long long>(bits));
#else
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
#endif
}

// Scale of a vector for the NT routines: |v| for a finite entry, +infinity otherwise, so that
// the maximum over a vector is infinite exactly when some entry is not finite.
VELKORA_HD inline double soc_scale_magnitude(double v) {
    const double m = fabs(v);
    return m <= kDoubleMax ? m : HUGE_VAL;
}

// Exponent a with 4^a <= top < 4^(a+1) (0 when top is 0, infinite or NaN). Dividing s and z
// by powers of four scales every square and square root of the NT computation by an exact
// power of two, so H(4^a s, 4^b z) = 4^(b-a) H(s, z) holds bit for bit whenever neither
// side over- or underflows.
VELKORA_HD inline int soc_quarter_exponent(double top) {
    if (!(top > 0.0) || !(top <= kDoubleMax)) return 0;
    // top = f 2^e, f in [0.5, 1): e from the exponent field of a normal top (as frexp gives
    // it, without the library call), from frexp for a subnormal one.
    const int field = static_cast<int>(soc_double_bits(top) >> 52);
    int e = field - 1022;
    if (field == 0) frexp(top, &e);
    const int k = e - 1;                        // floor(log2 top)
    return k >= 0 ? k / 2 : -((1 - k) / 2);     // floor(k / 2)
}

// Multiplication by 2^shift, rounded once as ldexp(x, shift) rounds: by one product with
// the power of two when that is a normal double (a correctly rounded product of an exact
// power of two is the correctly rounded scaled value), by ldexp otherwise.
struct SocPow2 {
    double factor;  // 2^shift, or 0 when 2^shift is not a normal double
    int shift;
};

VELKORA_HD inline SocPow2 soc_pow2(int shift) {
    // A normal power of two written from its exponent field: the value ldexp(1.0, shift) gives.
    return SocPow2{shift >= -1022 && shift <= 1023
                       ? soc_double_from_bits(static_cast<std::uint64_t>(shift + 1023) << 52)
                       : 0.0,
                   shift};
}

VELKORA_HD inline double soc_pow2_apply(const SocPow2& p, double x) {
    return p.factor != 0.0 ? x * p.factor : ldexp(x, p.shift);
}

// ---------------------------------------------------------------------------------------
// Nesterov-Todd scaling point and matrix.
// With J = diag(1, -1, ..., -1) and ||x||_J = sqrt(x^T J x), the normalised points
// s~ = s/||s||_J and z~ = z/||z||_J, gamma = sqrt((1 + s~^T z~)/2) and
// w = (s~ + J z~)/(2 gamma) give w^T J w = 1 and (2 w w^T - J) z~ = s~; the NT matrix is
//   H = ||z||_J/||s||_J (2 (J w)(J w)^T - J),   H s = z,   H z^-1 = s^-1 (z^-1 = J z/(z^T J z)),
// symmetric and positive definite (eigenvalues ||z||_J/||s||_J times (w_0 +- ||w_bar||)^2
// and 1). Its entries are formed from w and one scalar without cancellation:
// H_00 = r(2 w_0^2 - 1) with w_0 >= 1, H_kk = r(2 w_k^2 + 1), off the diagonal +-2r w_i w_j.
// The only subtraction of nearly equal numbers is x_0 - ||x_bar|| of each input's own
// entries, whose accuracy is that of the data. Everything runs on the pair brought to unit
// scale by powers of four (s' = s/4^es, z' = z/4^ez, soc_quarter_exponent of the largest
// |entry|): their heads lie in [1, 4), so no intermediate overflows, and
// H = 4^(ez-es) H(s', z').
// ---------------------------------------------------------------------------------------

// The scalars of the scaling point of one pair. The companion quantities follow from them:
// eta^2 = ||s||_J/||z||_J = 4^(es-ez) s_jnorm/z_jnorm, so H = (2 (J w)(J w)^T - J)/eta^2 =
// (eta^2 (2 w w^T - J))^-1; W = eta (2 v v^T - J) with v = (w + e_0)/sqrt(2 (w_0 + 1)) (the
// Jordan square root of w) has W^T W = H^-1 and W z = W^-1 s = lambda, the scaled point; the
// normalised inputs are s~_i = soc_pow2_apply(s_unit, s_i)/s_jnorm and z~_i likewise.
struct SocNtPoint {
    SocPow2 s_unit;   // s' = s * 2^(-2 es)
    SocPow2 z_unit;   // z' = z * 2^(-2 ez)
    double s_jnorm;   // ||s'||_J
    double z_jnorm;   // ||z'||_J
    double gamma;     // sqrt((1 + s~^T z~)/2) >= 1
    double s_coef;    // 1/(2 gamma ||s'||_J): w = s_coef s' + z_coef J z'
    double z_coef;    // 1/(2 gamma ||z'||_J)
    double h_unit;    // r = ||z'||_J/||s'||_J, the factor of H(s', z')
    double h_twice;   // 2 r
    SocPow2 h_scale;  // H(s, z) = 2^(2 (ez - es)) H(s', z')
};

// ||x||_J of an interior x from its head and tail norm: sqrt(x_0 - t) sqrt(x_0 + t) (the
// product of square roots cannot overflow where x_0^2 - t^2 would), x_0 itself when t = 0.
VELKORA_HD inline double soc_jnorm(double x0, double t) { return t > 0.0 ? sqrt(x0 - t) * sqrt(x0 + t) : x0; }

// Strict interior of a unit-scaled vector from its head and tail sum of squares: finite
// head greater than the tail norm (a NaN anywhere fails).
VELKORA_HD inline bool soc_unit_interior(double x0u, double tail_sq) {
    return x0u > sqrt(tail_sq) && x0u <= kDoubleMax;
}

// Fills p from the unit-scaled pair's heads s0, z0, the sums of squares of their tails and
// the sum of s'_k z'_k over the tails (k >= 1), with the exponents es, ez. Returns whether
// both are strictly interior as computed from their entries: finite head greater than the
// tail norm (a NaN anywhere fails). The fields are filled in either case (with NaN or
// meaningless values for a pair that is not interior). No overflow is possible: the heads
// are in [1, 4), so the tail sums stay below 16 n, and a gap x_0 - t of at least half an
// ulp of x_0 keeps ||x'||_J above 2^-27. s~^T z~ >= 1 holds for any interior pair (reverse
// Cauchy-Schwarz inequality of the Lorentz form); a computed value below 1, which only
// rounding can produce, is raised to 1, so gamma is always a finite number >= 1.
VELKORA_HD inline bool soc_nt_point_scalars(double s0, double s_tail_sq, double z0, double z_tail_sq,
                                            double tail_dot, int es, int ez, SocNtPoint& p) {
    const double ts = sqrt(s_tail_sq);
    const double tz = sqrt(z_tail_sq);
    const bool interior = soc_unit_interior(s0, s_tail_sq) && soc_unit_interior(z0, z_tail_sq);
    p.s_unit = soc_pow2(-2 * es);
    p.z_unit = soc_pow2(-2 * ez);
    p.s_jnorm = soc_jnorm(s0, ts);
    p.z_jnorm = soc_jnorm(z0, tz);
    double d = ((s0 * z0 + tail_dot) / p.s_jnorm) / p.z_jnorm;  // s~^T z~
    if (d < 1.0) d = 1.0;
    p.gamma = sqrt((1.0 + d) * 0.5);
    p.s_coef = 1.0 / ((p.gamma + p.gamma) * p.s_jnorm);
    p.z_coef = 1.0 / ((p.gamma + p.gamma) * p.z_jnorm);
    p.h_unit = p.z_jnorm / p.s_jnorm;
    p.h_twice = p.h_unit + p.h_unit;
    p.h_scale = soc_pow2(2 * (ez - es));
    return interior;
}

// Entry i of the scaling point w from the raw entries s_i and z_i:
// s_coef s'_0 + z_coef z'_0 at the head, s_coef s'_i - z_coef z'_i on the tail.
VELKORA_HD inline double soc_nt_point_entry(const SocNtPoint& p, double s_i, double z_i, u64 i) {
    const double a = soc_pow2_apply(p.s_unit, s_i) * p.s_coef;
    const double b = soc_pow2_apply(p.z_unit, z_i) * p.z_coef;
    return i == 0 ? a + b : a - b;
}

// H(i, j) from w_i and w_j: (w_i w_j) 2r, negated (as 0 - v, so that a zero stays +0) when
// exactly one of i, j is 0, minus r at (0, 0) and plus r at (k, k), k >= 1; then times
// 4^(ez - es). Symmetric in (i, j) bit for bit.
VELKORA_HD inline double soc_nt_h_entry(const SocNtPoint& p, double w_i, double w_j, u64 i, u64 j) {
    double v = (w_i * w_j) * p.h_twice;
    if (i == j)
        v = i == 0 ? v - p.h_unit : v + p.h_unit;
    else if (i == 0 || j == 0)
        v = 0.0 - v;
    return soc_pow2_apply(p.h_scale, v);
}

// Threads of the device kernel's block-wide sums.
inline constexpr unsigned kSocNtLanes = 256;

// The tail sums of the unit-scaled pair: s'_i^2, z'_i^2 and s'_i z'_i over i = 1 .. n-1.
struct SocTailSums {
    double ss;
    double zz;
    double sz;
};

// The tail sums added in the order of the device kernel's block-wide sums, so that host and
// device get the same bits: lane t < 256 accumulates, from 0.0, the terms i = 1 + t,
// 1 + t + 256, ... in turn; then lane t + h is added to lane t for h = 128, 64, ..., 1. Here
// the lanes are visited in the bit-reversed order of that tree (lane 0, 128, 64, 192, ...)
// and combined pairwise on a small stack, which forms the same sums. A lane that holds no
// term is +0.0 and adding it changes nothing, so only the first 2^b lanes take part, 2^b the
// smallest power of two not below min(n - 1, 256).
VELKORA_HD inline SocTailSums soc_nt_tail_sums(const double* s, const double* z, u64 n, const SocPow2& su,
                                               const SocPow2& zu) {
    const u64 terms = n > 0 ? n - 1 : 0;
    unsigned bits = 0;
    while ((1u << bits) < kSocNtLanes && (u64(1) << bits) < terms) ++bits;
    SocTailSums stack[9];
    unsigned level[9];
    int top = 0;
    for (unsigned k = 0; k < (1u << bits); ++k) {
        unsigned lane = 0;
        for (unsigned b = 0; b < bits; ++b) lane |= ((k >> b) & 1u) << (bits - 1 - b);
        SocTailSums leaf{0.0, 0.0, 0.0};
        for (u64 i = 1 + lane; i < n; i += kSocNtLanes) {
            const double a = soc_pow2_apply(su, s[i]);
            const double b = soc_pow2_apply(zu, z[i]);
            leaf.ss += a * a;
            leaf.zz += b * b;
            leaf.sz += a * b;
        }
        stack[top] = leaf;
        level[top] = 0;
        ++top;
        while (top >= 2 && level[top - 1] == level[top - 2]) {
            SocTailSums& left = stack[top - 2];
            const SocTailSums& right = stack[top - 1];
            left.ss = left.ss + right.ss;
            left.zz = left.zz + right.zz;
            left.sz = left.sz + right.sz;
            ++level[top - 2];
            --top;
        }
    }
    return stack[0];
}

// The pair at unit scale: the exponents from the largest |entry| of s and of z, their
// factors, the heads and the tail sums (soc_nt_tail_sums; they cannot overflow, and squares
// that underflow are below 2^-1000 of the head's).
struct SocNtUnit {
    int es;
    int ez;
    SocPow2 su;
    SocPow2 zu;
    double s0u;
    double z0u;
    SocTailSums t;
};

VELKORA_HD inline SocNtUnit soc_nt_unit(const double* s, const double* z, u64 n) {
    double s_top = 0.0;
    double z_top = 0.0;
    for (u64 i = 0; i < n; ++i) {
        // The magnitudes are never NaN, so the larger one is what fmax would return.
        const double ms = soc_scale_magnitude(s[i]);
        const double mz = soc_scale_magnitude(z[i]);
        s_top = ms > s_top ? ms : s_top;
        z_top = mz > z_top ? mz : z_top;
    }
    SocNtUnit u;
    u.es = soc_quarter_exponent(s_top);
    u.ez = soc_quarter_exponent(z_top);
    u.su = soc_pow2(-2 * u.es);
    u.zu = soc_pow2(-2 * u.ez);
    u.s0u = soc_pow2_apply(u.su, s[0]);
    u.z0u = soc_pow2_apply(u.zu, z[0]);
    u.t = soc_nt_tail_sums(s, z, n, u.su, u.zu);
    return u;
}

// Whether the pair is strictly interior, as the scaling point decides it.
VELKORA_HD inline bool soc_nt_unit_interior(const SocNtUnit& u) {
    return soc_unit_interior(u.s0u, u.t.ss) && soc_unit_interior(u.z0u, u.t.zz);
}

// The whole O(n) set-up on one thread: soc_nt_unit, the scalars, and w into w[0..n).
// Returns whether the pair is strictly interior (w and p are filled in either case). The
// same bits as the device kernel.
VELKORA_HD inline bool soc_nt_point(const double* s, const double* z, u64 n, SocNtPoint& p, double* w) {
    const SocNtUnit u = soc_nt_unit(s, z, n);
    const bool interior = soc_nt_point_scalars(u.s0u, u.t.ss, u.z0u, u.t.zz, u.t.sz, u.es, u.ez, p);
    for (u64 i = 0; i < n; ++i) w[i] = soc_nt_point_entry(p, s[i], z[i], i);
    return interior;
}

// The NT scaling matrix written row-major into H (n*n), rows in parallel when n >= 256.
// Fails with "SOC NT scaling requires strictly interior cone vectors" (before H is touched)
// unless s and z are strictly interior as computed from their entries.
void soc_nt_scaling_into(const double* s, const double* z, double* H, u64 n);
// The same matrix as a new vector of n*n values.
std::vector<double> soc_nt_dense(const double* s, const double* z, u64 n);
// Items b = 0..batch-1: H_b of (s[b*n..], z[b*n..]) into H[b*n*n..], allocating nothing. A
// failing item leaves the earlier items written and its own and the later blocks untouched.
// Small cones (n <= 9) are computed eight at a time, one item per vector lane; large
// batches run in parallel, after a first parallel pass that finds the first failing item.
void soc_nt_scaling_batch_into(const double* s, const double* z, double* H, u64 n, u64 batch);

// H(r, c) on demand for the sparse H fill: the scaling point (O(n) memory) and
// soc_nt_h_entry, the same values as the dense forms. Built on the calling thread; refusals
// read "SOC sparse H fill requires strictly interior cone vectors".
class SocNtEntries {
  public:
    SocNtEntries(const double* s, const double* z, u64 n);
    double operator()(u64 r, u64 c) const { return soc_nt_h_entry(point_, w_[r], w_[c], r, c); }

  private:
    SocNtPoint point_;
    std::vector<double> w_;
};

}  // namespace velkora::torv::cones::host
