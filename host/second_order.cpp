// Host arithmetic of the second-order cone: projection, violation, membership and the
// Nesterov-Todd scaling matrix built column by column from quadratic representations.
#include "host/second_order.hpp"

#include <omp.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {

constexpr const char* kInteriorMessage = "SOC NT scaling requires strictly interior cone vectors";

// Tail norm as the NT routines compute it: sum of squares in index order, then sqrt.
double sequential_tail_norm(const double* x, u64 n) { return soc_tail_norm(x, n, false); }

// Strict interior: x_0 > ||x_bar|| (NaN is not interior).
// An infinite head would pass x_0 > ||x_bar|| and fill H with NaN: it is not interior.
void require_interior(const double* x, u64 n, const char* message) {
    if (!(x[0] > sequential_tail_norm(x, n)) || !std::isfinite(x[0])) throw std::runtime_error(message);
}

// Column i of H = 2^shift Q_outer Q_mid Q_outer e_i into column i of the row-major H.
void nt_column(const SocQuadRep& outer, const SocQuadRep& mid_rep, int shift, u64 i, double* col, double* mid,
               double* res, double* H) {
    const u64 n = outer.n;
    soc_quad_column(outer, i, col);
    soc_quad_apply(mid_rep, col, mid);
    soc_quad_apply(outer, mid, res);
    for (u64 j = 0; j < n; ++j) H[j * n + i] = std::ldexp(res[j], shift);
}

// All n columns; from n >= 256 on a static schedule over the columns, each thread with its
// own three scratch vectors (allocated before the parallel region, so a failing allocation
// throws on the calling thread).
void nt_columns(const SocQuadRep& outer, const SocQuadRep& mid_rep, int shift, double* H, bool allow_parallel) {
    const u64 n = outer.n;
    if (n < kSocColumnThreshold || !allow_parallel) {
        std::vector<double> scratch(3 * n);
        for (u64 i = 0; i < n; ++i)
            nt_column(outer, mid_rep, shift, i, scratch.data(), scratch.data() + n, scratch.data() + 2 * n, H);
        return;
    }
    const int threads = omp_get_max_threads();
    std::vector<double> scratch(static_cast<u64>(threads) * 3 * n);
#pragma omp parallel num_threads(threads)
    {
        double* mine = scratch.data() + static_cast<u64>(omp_get_thread_num()) * 3 * n;
#pragma omp for schedule(static)
        for (u64 i = 0; i < n; ++i) nt_column(outer, mid_rep, shift, i, mine, mine + n, mine + 2 * n, H);
    }
}

}  // namespace

double soc_tail_norm(const double* x, u64 n, bool parallel) {
    if (n < 2) return 0.0;
    const double* tail = x + 1;
    return std::sqrt(parallel_sum(n - 1, parallel, [=](u64 k) { return tail[k] * tail[k]; }));
}

void soc_project(const double* in, double* out, u64 n) {
    if (n == 0) return;
    const bool parallel = n > kElementwiseThreshold;
    const double t = in[0];
    const double r = soc_tail_norm(in, n, parallel);
    if (t >= r) {
        if (in != out) parallel_for(n, parallel, [=](u64 i) { out[i] = in[i]; });
    } else if (-t >= r) {
        parallel_for(n, parallel, [=](u64 i) { out[i] = 0.0; });
    } else {
        const double a = (r + t) * 0.5;
        const double c = r > 0.0 ? a / r : 0.0;
        out[0] = a;  // written before the tail is read; the tail loop never reads entry 0
        parallel_for(n - 1, parallel, [=](u64 k) { out[k + 1] = in[k + 1] * c; });
    }
}

double soc_violation(const double* x, u64 n) {
    std::vector<double> p(n);
    soc_project(x, p.data(), n);
    const double* pd = p.data();
    const double sum = parallel_sum(n, n > kElementwiseThreshold, [=](u64 i) {
        const double d = x[i] - pd[i];
        return d * d;
    });
    return std::sqrt(sum);
}

bool soc_contains(const double* x, u64 n, double atol) {
    const double r = soc_tail_norm(x, n, n > kElementwiseThreshold);
    return x[0] >= r - atol;
}

SocQuadRep soc_quad_rep(const double* x, u64 n) {
    double t = 0.0;
    for (u64 k = 1; k < n; ++k) t += x[k] * x[k];
    const double h2 = x[0] * x[0];
    return SocQuadRep{x, n, h2 + t, h2 - t, x[0] * 2.0};
}

// w_0 = norm_sq*q_0 + t*twice_head,  w_k = ((x_k*twice_head)*q_0 + det*q_k) + (x_k + x_k)*t,
// t = sum_{k>=1} q_k*x_k.
void soc_quad_apply(const SocQuadRep& rep, const double* q, double* w) {
    const double* x = rep.x;
    double t = 0.0;
    for (u64 k = 1; k < rep.n; ++k) t += q[k] * x[k];
    w[0] = rep.norm_sq * q[0] + t * rep.twice_head;
    for (u64 k = 1; k < rep.n; ++k) w[k] = ((x[k] * rep.twice_head) * q[0] + rep.det * q[k]) + (x[k] + x[k]) * t;
}

// i = 0: (norm_sq, x_k*twice_head); i >= 1: (x_i*twice_head, (x_k + x_k)*x_i) plus det at i.
void soc_quad_column(const SocQuadRep& rep, u64 i, double* col) {
    const double* x = rep.x;
    if (i == 0) {
        col[0] = rep.norm_sq;
        for (u64 k = 1; k < rep.n; ++k) col[k] = x[k] * rep.twice_head;
        return;
    }
    col[0] = x[i] * rep.twice_head;
    for (u64 k = 1; k < rep.n; ++k) col[k] = (x[k] + x[k]) * x[i];
    col[i] = rep.det + col[i];
}

namespace {

void spectral_power(const double* x, u64 n, double p, double* y, const char* message) {
    const double r = sequential_tail_norm(x, n);
    const double l1 = x[0] + r;
    const double l2 = x[0] - r;
    if (l1 <= 0.0 || l2 <= 0.0) throw std::runtime_error(message);
    const double p1 = std::pow(l1, p);
    const double p2 = std::pow(l2, p);
    for (u64 k = 0; k < n; ++k) y[k] = 0.0;
    y[0] = (p2 + p1) * 0.5;
    if (r > 0.0 && n >= 2) {
        const double c = ((p1 - p2) * 0.5) / r;
        for (u64 k = 1; k < n; ++k) y[k] = c * x[k];
    }
}

// y = x / 4^e with e = soc_quarter_exponent(max_k |x_k|) (y = x when an entry is not finite);
// returns e. Exact unless an entry far below the largest one underflows.
int unit_scale(const double* x, u64 n, double* y) {
    double top = 0.0;
    for (u64 k = 0; k < n; ++k) top = std::fmax(top, soc_scale_magnitude(x[k]));
    const int e = soc_quarter_exponent(top);
    for (u64 k = 0; k < n; ++k) y[k] = std::ldexp(x[k], -2 * e);
    return e;
}

// H = Q(a) Q(c) Q(a) with a = s^-1/2, c = u^1/2, u = Q(s^1/2) z. Q(s^-1/2) s = e, Q(c) e = u and
// Q(s^-1/2) u = z give H s = z; each factor is symmetric, so H is. u is interior exactly
// when z is (Q of an interior point maps the cone's interior onto itself). Computed for
// s / 4^es and z / 4^ez and multiplied by 4^(ez - es) = H(s, z) / H(s / 4^es, z / 4^ez).
// Every refusal (`message`) comes before H is touched.
void nt_scaling(const double* s, const double* z, double* H, u64 n, const char* message, bool allow_parallel) {
    std::vector<double> work(6 * n);
    double* ss = work.data();     // s / 4^es
    double* zs = ss + n;          // z / 4^ez
    double* a = zs + n;           // ss^-1/2
    double* b = a + n;            // ss^1/2
    double* u = b + n;            // Q(ss^1/2) zs
    double* c = u + n;            // u^1/2
    const int es = unit_scale(s, n, ss);
    const int ez = unit_scale(z, n, zs);
    require_interior(ss, n, message);
    require_interior(zs, n, message);
    spectral_power(ss, n, -0.5, a, message);
    spectral_power(ss, n, 0.5, b, message);
    soc_quad_apply(soc_quad_rep(b, n), zs, u);
    spectral_power(u, n, 0.5, c, message);
    nt_columns(soc_quad_rep(a, n), soc_quad_rep(c, n), 2 * (ez - es), H, allow_parallel);
}

}  // namespace

void soc_spectral_power(const double* x, u64 n, double p, double* y) { spectral_power(x, n, p, y, kInteriorMessage); }

void soc_nt_scaling_into(const double* s, const double* z, double* H, u64 n) {
    nt_scaling(s, z, H, n, kInteriorMessage, true);
}

std::vector<double> soc_sparse_dense(const double* s, const double* z, u64 n) {
    std::vector<double> h(n * n, 0.0);
    nt_scaling(s, z, h.data(), n, "SOC sparse H fill requires strictly interior cone vectors", false);
    return h;
}

std::vector<double> soc_nt_dense(const double* s, const double* z, u64 n) {
    std::vector<double> h(n * n, 0.0);
    soc_nt_scaling_into(s, z, h.data(), n);
    return h;
}

void soc_nt_scaling_batch_into(const double* s, const double* z, double* H, u64 n, u64 batch) {
    for (u64 b = 0; b < batch; ++b) soc_nt_scaling_into(s + b * n, z + b * n, H + b * n * n, n);
}

}  // namespace velkora::torv::cones::host
