// Host arithmetic of the exponential cone family.
#include "cones/exponential/exponential.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cones/exponential/exponential_rules.hpp"
#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {
constexpr const char* kInteriorMessage = "exponential scaling requires strictly interior cone vectors";
constexpr const char* kWhat = "exponential scaling";

bool pair_interior(const double* u, const double* v) {
    return expcone::strictly_interior(u[0], u[1], u[2]) && expcone::strictly_interior(v[0], v[1], v[2]);
}

// The symmetric M with M u = v closest to I in the Frobenius sense:
//   M = I + (u d^T + d u^T)/b - e u u^T / b^2,  b = u.u, d = v - u, e = d.u,
// each entry formed as (((u_i d_j)/b + (u_j d_i)/b) - ((u_i e) u_j)/h) + I_ij with h = b*b.
// u and v are first scaled by one power of two so that max |u_i| lies in [1, 2) (exact:
// M is unchanged bit for bit whenever nothing over- or underflows), so pairs of extreme
// magnitude do not overflow b*b. Fails with what + " source vector must have nonzero
// finite norm" when b is not a positive finite number or an entry of M is not finite.
// Host memory; the result is n*n row-major (entry (i, j) at i*n + j).
std::vector<double> psb_identity_update(const double* u_in, const double* v_in, u64 n, const char* what) {
    const std::string refusal = std::string(what) + " source vector must have nonzero finite norm";
    // u and v balanced by one power of two (max |u_i| in [1, 2)): M is unchanged bit for
    // bit when nothing over- or underflows, and b*b stays finite for any finite u.
    const int shift = expcone::balance_exponent(u_in, n);
    std::vector<double> u(n), d(n);
    for (u64 k = 0; k < n; ++k) u[k] = std::ldexp(u_in[k], shift);

    double b = 0.0;
    for (u64 k = 0; k < n; ++k) b += u[k] * u[k];
    if (!(b > 0.0) || !std::isfinite(b)) throw std::runtime_error(refusal);

    std::vector<double> m(n * n, 0.0);
    for (u64 i = 0; i < n; ++i) m[i * (n + 1)] = 1.0;
    for (u64 k = 0; k < n; ++k) d[k] = std::ldexp(v_in[k], shift) - u[k];
    double e = 0.0;
    for (u64 k = 0; k < n; ++k) e += d[k] * u[k];
    const double h = b * b;
    bool finite = true;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            double& mij = m[i * n + j];
            mij = (((u[i] * d[j]) / b + (u[j] * d[i]) / b) - ((u[i] * e) * u[j]) / h) + mij;
            finite = finite && std::isfinite(mij);
        }
    // A v far larger than u can still overflow d (the true entries exceed the range).
    if (!finite) throw std::runtime_error(refusal);
    return m;
}
}  // namespace

double exp_perspective(double x, double y) { return expcone::perspective(x, y); }

bool exp_strictly_interior(double x, double y, double z) { return expcone::strictly_interior(x, y, z); }

void exp_project(const double* in, double* out, u64 blocks) {
    parallel_for(blocks, above(blocks, kExpConeThreshold), [=](u64 k) {
        const double* c = in + 3 * k;
        const double x = c[0], y = c[1], z = c[2];
        double* o = out + 3 * k;
        expcone::project_cone(x, y, z, o[0], o[1], o[2]);
    });
}

double exp_violation(const double* x, u64 blocks) {
    const double sum = parallel_sum(blocks, above(blocks, kExpConeThreshold), [=](u64 k) {
        const double* c = x + 3 * k;
        return expcone::violation_sq(c[0], c[1], c[2]);
    });
    return std::sqrt(sum);
}

bool exp_contains(const double* x, u64 blocks, double atol) {
    for (u64 k = 0; k < blocks; ++k) {
        const double* c = x + 3 * k;
        if (!expcone::member(c[0], c[1], c[2], atol)) return false;
    }
    return true;
}

std::vector<double> exp_scaling_dense(const double* s, const double* z, u64 blocks) {
    const u64 n = 3 * blocks;
    std::vector<double> h(n * n, 0.0);
    for (u64 k = 0; k < blocks; ++k) {
        const double* u = s + 3 * k;
        const double* v = z + 3 * k;
        if (!pair_interior(u, v)) throw std::runtime_error(kInteriorMessage);
        const std::vector<double> m = psb_identity_update(u, v, 3, kWhat);
        for (u64 r = 0; r < 3; ++r)
            for (u64 c = 0; c < 3; ++c) h[(3 * k + r) * n + 3 * k + c] = m[r * 3 + c];
    }
    return h;
}

bool exp_balanced_block(const double* us, const double* vs, double* m, u64 row_stride) {
    const int shift = expcone::balance_exponent(us, 3);
    double u[3], d[3];
    for (int i = 0; i < 3; ++i) u[i] = std::ldexp(us[i], shift);
    for (int i = 0; i < 3; ++i) d[i] = std::ldexp(vs[i], shift) - u[i];
    const double b = ((0.0 + u[0] * u[0]) + u[1] * u[1]) + u[2] * u[2];
    const double e = ((0.0 + d[0] * u[0]) + d[1] * u[1]) + d[2] * u[2];
    bool finite = true;
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 3; ++c) {
            const double entry = expcone::psb_entry(u, d, b, e, r, c);
            m[r * row_stride + c] = entry;
            finite = finite && std::isfinite(entry);
        }
    return finite;
}

void exp_scaling_batch(const double* s, const double* z, double* out, u64 blocks, u64 batch) {
    const u64 n = 3 * blocks;
    const u64 matrix = n * n;
    const u64 cones = blocks * batch;
    if (cones == 0) return;
    std::memset(out, 0, matrix * batch * sizeof(double));
    // One flat index over every cone of every item; a cone that fails reports true and
    // the scan (sequential: stops; parallel: shared flag) makes the call refuse here.
    const bool failed = parallel_any(cones, above(cones, kExpConeThreshold), [=](u64 q) {
        const u64 t = q / blocks, k = q % blocks;
        const double* us = s + t * n + 3 * k;
        const double* vs = z + t * n + 3 * k;
        if (!pair_interior(us, vs)) return true;
        return !exp_balanced_block(us, vs, out + t * matrix + 3 * k * n + 3 * k, n);
    });
    if (failed) throw std::runtime_error(kInteriorMessage);
}

std::vector<double> exp_sparse_blocks(const double* s, const double* z, u64 blocks) {
    constexpr const char* message = "exponential sparse H fill requires strictly interior inputs";
    std::vector<double> m(9 * blocks);
    for (u64 k = 0; k < blocks; ++k) {
        if (!expcone::sparse_fill_interior(s + 3 * k) || !expcone::sparse_fill_interior(z + 3 * k))
            throw std::runtime_error(message);
        if (!exp_balanced_block(s + 3 * k, z + 3 * k, m.data() + 9 * k, 3)) throw std::runtime_error(message);
    }
    return m;
}

}  // namespace velkora::torv::cones::host

// Interior-point arithmetic of the exponential cone on the host: the per-cone routines of
// exponential.hpp over consecutive cones, in parallel above measured cone counts.
namespace velkora::torv::cones::host {

namespace {

constexpr const char* kBarrierMessage = "exponential barrier requires strictly interior cone vectors";
constexpr const char* kDualMessage = "exponential dual barrier requires z strictly inside the dual cone";
constexpr const char* kScalingMessage =
    "exponential primal-dual scaling requires s strictly inside the cone and z strictly inside the dual cone";

// Cone counts above which the loops run in parallel, measured with two threads (per-cone
// cost: scaling 0.23 us, shadow point 0.12 us, corrector 0.08 us, step search 0.06 us, barrier
// values 0.03 us, membership 0.009 us, products 0.005 us; a fork-join costs about 1-2 us): the
// costly loops gain from about 64 cones, the cheap ones from about 512.
constexpr u64 kCheapThreshold = 1024;
constexpr u64 kCostlyThreshold = 128;

bool cheap_parallel(u64 cones) { return cones > kCheapThreshold; }
bool costly_parallel(u64 cones) { return cones > kCostlyThreshold; }

bool cone_inside(const double* x, bool dual) { return dual ? exp_dual_interior(x) : exp_primal_interior(x); }

bool any_outside(const double* x, u64 cones, bool dual) {
    return parallel_any(cones, cheap_parallel(cones), [=](u64 k) { return !cone_inside(x + 3 * k, dual); });
}

}  // namespace

bool exp_ipm_interior(const double* x, u64 cones, bool dual) { return !any_outside(x, cones, dual); }

double exp_ipm_step(const double* s, const double* ds, const double* z, const double* dz, u64 cones, double alpha0,
                    double factor, double alpha_min) {
    // Each cone's admissible steps form an interval from 0 (int K and int K* are convex), so the
    // first term accepted by every cone is the smallest of the cones' first accepted terms;
    // the check at that term (and the continuation) keeps the answer exact also where rounding
    // makes a membership verdict non-monotone along the ray.
    if (cones == 0) return alpha0 >= alpha_min ? alpha0 : 0.0;
    alpha_min = exp_backtrack_floor(alpha0, factor, alpha_min);
    double alpha = parallel_min(cones, costly_parallel(cones), [=](u64 k) {
        const u64 o = 3 * k;
        return exp_cone_step(s + o, ds + o, z + o, dz + o, alpha0, factor, alpha_min);
    });
    while (alpha > 0.0) {
        const double a = alpha;
        const bool rejected = parallel_any(cones, cheap_parallel(cones), [=](u64 k) {
            const u64 o = 3 * k;
            return !exp_trial_inside(s + o, ds + o, z + o, dz + o, a);
        });
        if (!rejected) return alpha;
        alpha = exp_next_alpha(alpha, factor, alpha_min);
    }
    return 0.0;
}

double exp_ipm_barrier(const double* x, u64 cones, bool dual) {
    return parallel_sum(cones, costly_parallel(cones), [=](u64 k) {
        const double* c = x + 3 * k;
        if (!cone_inside(c, dual)) return HUGE_VAL;
        return dual ? exp_dual_barrier_value(exp_dual_shadow(c), c[2]) : exp_barrier_value(exp_point(c));
    });
}

void exp_ipm_barrier_gradient(const double* s, double* out, u64 cones) {
    if (any_outside(s, cones, false)) throw std::runtime_error(kBarrierMessage);
    parallel_for(cones, costly_parallel(cones),
                 [=](u64 k) { exp_barrier_gradient(exp_point(s + 3 * k), out + 3 * k); });
}

void exp_ipm_dual_shadow(const double* z, double* out, u64 cones) {
    if (any_outside(z, cones, true)) throw std::runtime_error(kDualMessage);
    parallel_for(cones, costly_parallel(cones), [=](u64 k) {
        const ExpShadow sh = exp_dual_shadow(z + 3 * k);
        for (int i = 0; i < 3; ++i) out[3 * k + i] = sh.s[i];
    });
}

void exp_ipm_scaling(const double* s, const double* z, double* state, u64 cones) {
    if (any_outside(s, cones, false) || any_outside(z, cones, true)) throw std::runtime_error(kScalingMessage);
    parallel_for(cones, costly_parallel(cones),
                 [=](u64 k) { exp_pd_state(s + 3 * k, z + 3 * k, state + kExpStateSize * k); });
}

void exp_ipm_dual_scaling(const double* z, double mu, double* state, u64 cones) {
    if (any_outside(z, cones, true)) throw std::runtime_error(kDualMessage);
    parallel_for(cones, costly_parallel(cones),
                 [=](u64 k) { exp_dual_side_state(z + 3 * k, mu, state + kExpStateSize * k); });
}

void exp_ipm_apply(const double* state, const double* x, double* out, u64 cones, bool inverse) {
    parallel_for(cones, cheap_parallel(cones),
                 [=](u64 k) { exp_state_apply(state + kExpStateSize * k, x + 3 * k, out + 3 * k, inverse); });
}

void exp_ipm_corrector(const double* s, const double* ds, const double* dz, double* out, u64 cones) {
    if (any_outside(s, cones, false)) throw std::runtime_error(kBarrierMessage);
    parallel_for(cones, costly_parallel(cones),
                 [=](u64 k) { exp_corrector(s + 3 * k, ds + 3 * k, dz + 3 * k, out + 3 * k); });
}

void exp_ipm_combined_shift(const double* state, const double* s, const double* ds, const double* dz, double* out,
                            u64 cones, double sigma_mu, double correction) {
    if (correction != 0.0 && any_outside(s, cones, false)) throw std::runtime_error(kBarrierMessage);
    parallel_for(cones, costly_parallel(cones), [=](u64 k) {
        const u64 o = 3 * k;
        exp_combined_shift(state + kExpStateSize * k, s + o, ds + o, dz + o, sigma_mu, correction, out + o);
    });
}

}  // namespace velkora::torv::cones::host
