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

#include "cuda/device_api.hpp"
#include "host/double_limits.hpp"
#include "host/host_device.hpp"
#include "host/sparse_fill.hpp"

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

// Interior-point forms of the second-order cone K = {x : x_0 >= ||x_bar||}: interior test,
// step to the boundary, smallest spectral value, NT scaling state and scaled point, products
// with W, Jordan product and solve, H or H^-1 from the stored state, and the sparse expansion
// of H^-1 (or H) for large cones. Everything is O(n) per item from the scaling point w of
// the NT section above (J = diag(1, -1, ..., -1), w^T J w = 1):
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
// interior; +inf when no boundary is met; 0 when the data hold NaN or d an infinite entry
// (x + alpha d then has a non-finite entry for every alpha > 0, and such a point is never
// inside). With
// det(x' + a d') = A a^2 + 2 B a + C, A = det d', B = x'^T J d', C = det x' > 0 (the
// determinants as products (h - t)(h + t)), the exit is the smallest positive root, taken
// from q = -(B + sign(B) sqrt(B^2 - A C)) as q/A or C/q (no cancellation); alpha =
// 4^(ex-ed) a.
VELKORA_HD inline double soc_step_from_sums(double x0u, double d0u, double xx, double dd, double xd, int ex,
                                            int ed) {
    if (!soc_unit_interior(x0u, xx)) return 0.0;
    if (!(fabs(d0u) <= kDoubleMax && dd <= kDoubleMax)) return 0.0;
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

// Device launchers of the second-order cone. Pointers are device memory on `device`; n >= 1
// is the cone dimension; NT matrices are n x n row-major, batch items back to back.
namespace velkora::torv::cones::device {

// Device NT method used by soc_nt_scaling_cuda (the only one this build has).
inline constexpr const char* kSocDefaultNtMethod = "custom";

// Projection onto the cone (head and tail norm read first, then one kernel); `out` may be
// `x`. The kernel runs on `stream`; the scalars are read after the device is synchronised.
void soc_project_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean distance from x to the cone (synchronous).
double soc_violation_cuda(const double* x, std::uint64_t n, int device);
// x_0 >= ||x_bar|| - tol (synchronous).
bool soc_contains_cuda(const double* x, std::uint64_t n, double tol, int device);

// NT scaling matrices of a batch with the default method; asynchronous on `stream`.
void soc_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream);
// The same with the column kernels forced.
void soc_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
// Selects the device, then refuses: this build has no cuBLAS path.
void soc_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);

// Interior-point forms of `batch` items of dimension n (the inline routines above give the
// arithmetic; one block per item, sums in the host's order, so host and device agree bit for
// bit). The scalar results wait for all queued work and are synchronous; the others are
// asynchronous on `stream`. Items that are not interior get NaN where the host refuses.
bool soc_interior_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
double soc_max_step_cuda(const double* x, const double* dx, std::uint64_t n, std::uint64_t batch, double alpha_max,
                         int device);
double soc_spectral_min_cuda(const double* x, std::uint64_t n, std::uint64_t batch, int device);
void soc_nt_scaling_state_cuda(const double* s, const double* z, double* scaling, double* lam, std::uint64_t n,
                               std::uint64_t batch, int device, StreamHandle stream);
void soc_scale_cuda(const double* scaling, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                    bool inverse, int device, StreamHandle stream);
void soc_jordan_product_cuda(const double* x, const double* y, double* out, std::uint64_t n, std::uint64_t batch,
                             int device, StreamHandle stream);
void soc_jordan_solve_cuda(const double* lam, const double* x, double* out, std::uint64_t n, std::uint64_t batch,
                           int device, StreamHandle stream);
// H (or H^-1) of each item from the stored state, items as consecutive diagonal blocks of
// the n*batch rows from row_offset (the caller has checked that indptr covers them).
void soc_state_hmatrix_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                                double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                                std::uint64_t row_offset, bool inverse, int device, StreamHandle stream);
void soc_state_hmatrix_coo_cuda(const double* scaling, const std::int64_t* row_indices,
                                const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t n,
                                std::uint64_t batch, std::uint64_t row_offset, bool inverse, int device,
                                StreamHandle stream);
// The sparse expansion into a CSR value array: cone rows from row_offset, extra rows from
// extra_offset (the caller has checked both ranges against indptr and each other).
void soc_expansion_csr_cuda(const double* scaling, const std::int64_t* indptr, const std::int64_t* indices,
                            double* values, std::uint64_t nnz, std::uint64_t n, std::uint64_t batch,
                            std::uint64_t row_offset, std::uint64_t extra_offset, bool inverse, int device,
                            StreamHandle stream);

// Sparse H fill (the caller has checked that indptr covers rows row_offset .. row_offset + d):
// the d x d NT matrix of the default device method, gathered at the stored positions.
void soc_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
    double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset, int device, StreamHandle stream);
void soc_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
    const std::int64_t* col_indices, double* values, std::uint64_t nnz, std::uint64_t d, std::uint64_t row_offset,
    int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
