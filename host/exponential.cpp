// Host arithmetic of the exponential cone family.
#include "host/exponential.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/dense_helpers.hpp"
#include "host/exponential_rules.hpp"
#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {
constexpr const char* kInteriorMessage = "exponential scaling requires strictly interior cone vectors";
constexpr const char* kWhat = "exponential scaling";

bool pair_interior(const double* u, const double* v) {
    return expcone::strictly_interior(u[0], u[1], u[2]) && expcone::strictly_interior(v[0], v[1], v[2]);
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

namespace {
bool sparse_interior(const double* x) {
    if (x[1] > 0.0) return x[2] > std::exp(x[0] / x[1]) * x[1];
    return x[0] < 0.0 && x[1] == 0.0 && x[2] >= 0.0;
}
}  // namespace

std::vector<double> exp_sparse_blocks(const double* s, const double* z, u64 blocks) {
    constexpr const char* message = "exponential sparse H fill requires strictly interior inputs";
    std::vector<double> m(9 * blocks);
    for (u64 k = 0; k < blocks; ++k) {
        if (!sparse_interior(s + 3 * k) || !sparse_interior(z + 3 * k)) throw std::runtime_error(message);
        if (!exp_balanced_block(s + 3 * k, z + 3 * k, m.data() + 9 * k, 3)) throw std::runtime_error(message);
    }
    return m;
}

}  // namespace velkora::torv::cones::host
