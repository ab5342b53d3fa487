// Interior-point forms of the second-order cone on the host: one item at a time from its
// unit-scaled sums (the formulas are in host/second_order_ipm.hpp); items in parallel when
// the batch holds more than the elementwise threshold of entries.
#include "host/second_order_ipm.hpp"

#include <stdexcept>
#include <vector>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {

constexpr const char* kInteriorMessage = "SOC NT scaling requires strictly interior cone vectors";
constexpr const char* kSolveMessage = "SOC Jordan solve requires a strictly interior lam";

// Exponent e of the unit scale x' = x 4^-e (soc_quarter_exponent of the largest |x_i|; an
// entry that is not finite gives 0, as in the NT set-up).
int unit_exponent(const double* x, u64 n) {
    double top = 0.0;
    for (u64 i = 0; i < n; ++i) top = std::fmax(top, soc_scale_magnitude(x[i]));
    return soc_quarter_exponent(top);
}

// A vector at unit scale: exponent, factor, head and tail sum of squares.
struct Unit {
    int e;
    SocPow2 factor;
    double head;
    double tail_sq;
};

Unit unit(const double* x, u64 n) {
    Unit u;
    u.e = unit_exponent(x, n);
    u.factor = soc_pow2(-2 * u.e);
    u.head = soc_pow2_apply(u.factor, x[0]);
    const SocPow2 f = u.factor;
    u.tail_sq = soc_lane_sum(n, [&](u64 i) {
        const double a = soc_pow2_apply(f, x[i]);
        return a * a;
    });
    return u;
}

bool item_interior(const double* x, u64 n) {
    const Unit u = unit(x, n);
    return soc_unit_interior(u.head, u.tail_sq);
}

bool parallel_items(u64 n, u64 batch) { return above(n * batch, kElementwiseThreshold); }

bool all_interior(const double* x, u64 n, u64 batch) {
    return !parallel_any(batch, parallel_items(n, batch), [=](u64 b) { return !item_interior(x + b * n, n); });
}

double item_step(const double* x, const double* d, u64 n) {
    const Unit xu = unit(x, n);
    const int ed = unit_exponent(d, n);
    const SocPow2 df = soc_pow2(-2 * ed);
    const SocPow2 xf = xu.factor;
    const double dd = soc_lane_sum(n, [&](u64 i) {
        const double a = soc_pow2_apply(df, d[i]);
        return a * a;
    });
    const double xd = soc_lane_sum(n, [&](u64 i) { return soc_pow2_apply(xf, x[i]) * soc_pow2_apply(df, d[i]); });
    return soc_step_from_sums(xu.head, soc_pow2_apply(df, d[0]), xu.tail_sq, dd, xd, xu.e, ed);
}

}  // namespace

bool soc_interior(const double* x, u64 n, u64 batch) { return all_interior(x, n, batch); }

double soc_max_step(const double* x, const double* dx, u64 n, u64 batch, double alpha_max) {
    const double step = parallel_min(batch, parallel_items(n, batch),
                                     [=](u64 b) { return item_step(x + b * n, dx + b * n, n); });
    return step < alpha_max ? step : alpha_max;
}

double soc_spectral_min(const double* x, u64 n, u64 batch) {
    return parallel_min(batch, parallel_items(n, batch), [=](u64 b) {
        const Unit u = unit(x + b * n, n);
        return soc_spectral_min_from_sums(u.head, u.tail_sq, u.e);
    });
}

void soc_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n, u64 batch) {
    if (!all_interior(s, n, batch) || !all_interior(z, n, batch)) throw std::runtime_error(kInteriorMessage);
    const u64 size = soc_state_size(n);
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* sb = s + b * n;
        const double* zb = z + b * n;
        double* state = scaling + b * size;
        double* lb = lam + b * n;
        SocNtPoint p;
        const bool interior = soc_nt_point(sb, zb, n, p, state + kSocStateHeader);
        soc_state_header(p, interior, state);
        const SocLambdaCoefs c = soc_lambda_coefs(p, soc_pow2_apply(p.s_unit, sb[0]), soc_pow2_apply(p.z_unit, zb[0]));
        lb[0] = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) lb[i] = soc_lambda_tail(c, p, sb[i], zb[i]);
    });
}

void soc_scale(const double* scaling, const double* x, double* out, u64 n, u64 batch, bool inverse) {
    const u64 size = soc_state_size(n);
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const SocState st = soc_state(scaling + b * size);
        const double* xb = x + b * n;
        double* ob = out + b * n;
        const double dot = soc_lane_sum(n, [&](u64 i) { return st.w[i] * xb[i]; });
        const SocScaleCoefs c = soc_scale_coefs(st, xb[0], dot, inverse);
        ob[0] = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) ob[i] = soc_scale_tail(c, xb[i], st.w[i]);
    });
}

void soc_jordan_product(const double* x, const double* y, double* out, u64 n, u64 batch) {
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* xb = x + b * n;
        const double* yb = y + b * n;
        double* ob = out + b * n;
        const double x0 = xb[0], y0 = yb[0];
        const double dot = soc_lane_sum(n, [&](u64 i) { return xb[i] * yb[i]; });
        ob[0] = x0 * y0 + dot;
        for (u64 i = 1; i < n; ++i) ob[i] = x0 * yb[i] + y0 * xb[i];
    });
}

void soc_jordan_solve(const double* lam, const double* x, double* out, u64 n, u64 batch) {
    // Each lam item at unit scale once: the test of every item, then the solves from it.
    std::vector<Unit> units(batch);
    const bool refused = parallel_any(batch, parallel_items(n, batch), [&](u64 b) {
        units[b] = unit(lam + b * n, n);
        return !soc_unit_interior(units[b].head, units[b].tail_sq);
    });
    if (refused) throw std::runtime_error(kSolveMessage);
    const Unit* us = units.data();
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* lb = lam + b * n;
        const double* xb = x + b * n;
        double* ob = out + b * n;
        const Unit& u = us[b];
        const SocPow2 f = u.factor;
        const double lx = soc_lane_sum(n, [&](u64 i) { return soc_pow2_apply(f, lb[i]) * xb[i]; });
        const SocSolveCoefs c = soc_solve_coefs(u.head, u.tail_sq, lx, xb[0], u.e);
        const double head = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) ob[i] = soc_solve_tail(c, lb[i], xb[i]);
        ob[0] = head;
    });
}

void soc_state_tail_squares(const double* scaling, u64 n, u64 batch, double* tail_sq) {
    const u64 size = soc_state_size(n);
    for (u64 b = 0; b < batch; ++b) {
        const double* w = scaling + b * size + kSocStateHeader;
        tail_sq[b] = soc_lane_sum(n, [&](u64 i) { return w[i] * w[i]; });
    }
}

void soc_expansion_csr_fill(const double* scaling, const i64* indptr, u64 indptr_len, const i64* indices,
                            double* values, u64 nnz, u64 n, u64 batch, u64 row_offset, u64 extra_offset,
                            bool inverse) {
    const u64 size = soc_state_size(n);
    std::vector<double> tail_sq(batch);
    soc_state_tail_squares(scaling, n, batch, tail_sq.data());
    std::vector<SocExpansion> items(batch);
    for (u64 b = 0; b < batch; ++b) items[b] = soc_expansion(soc_state(scaling + b * size), tail_sq[b], inverse);
    const u64 cone_rows = n * batch;
    const u64 extra_rows = 2 * batch;
    auto nothing = [](u64, u64, i64) {};
    csr_walk(indptr, indptr_len, indices, nnz, cone_rows, row_offset, nothing);
    csr_walk(indptr, indptr_len, indices, nnz, extra_rows, extra_offset, nothing);
    auto writer = [&](u64 first) {
        return [&, first](u64 p, u64 r, i64 col) {
            const SocExpansionIndex row =
                soc_expansion_index(static_cast<long long>(first + r), n, batch, row_offset, extra_offset);
            const SocExpansionIndex c = soc_expansion_index(col, n, batch, row_offset, extra_offset);
            const double* w = scaling + row.item * size + kSocStateHeader;
            values[p] = soc_expansion_entry(items[row.item], w, row, c);
        };
    };
    csr_walk(indptr, indptr_len, indices, nnz, cone_rows, row_offset, writer(row_offset));
    csr_walk(indptr, indptr_len, indices, nnz, extra_rows, extra_offset, writer(extra_offset));
}

void soc_expansion_pattern(u64 n, u64 batch, u64 row_offset, u64 extra_offset, i64* rows, i64* cols) {
    u64 k = 0;
    auto put = [&](u64 r, u64 c) {
        rows[k] = static_cast<i64>(r);
        cols[k] = static_cast<i64>(c);
        ++k;
    };
    for (u64 b = 0; b < batch; ++b) {
        const u64 first = row_offset + b * n;
        const u64 u_row = extra_offset + 2 * b;
        const u64 v_row = u_row + 1;
        for (u64 i = 0; i < n; ++i) put(first + i, first + i);
        for (u64 i = 0; i < n; ++i) {
            put(first + i, u_row);
            put(u_row, first + i);
        }
        for (u64 i = 1; i < n; ++i) {
            put(first + i, v_row);
            put(v_row, first + i);
        }
        put(u_row, u_row);
        put(v_row, v_row);
    }
}

}  // namespace velkora::torv::cones::host
