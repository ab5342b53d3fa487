// Interior-point forms of the PSD cone on the host: one item at a time by the shared
// routines of host/psd_ipm.hpp, each thread with its own work matrices; items in parallel
// once a batch holds enough O(n^3) work.
#include "host/psd_ipm.hpp"

#include <omp.h>

#include <stdexcept>
#include <vector>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {

constexpr const char* kInteriorMessage = "PSD NT scaling requires strictly positive definite matrices";
constexpr const char* kSolveMessage = "PSD Jordan solve requires a strictly positive definite lam";

// A batch goes parallel from two items when its work, batch n^3 times the routine's weight,
// reaches kPsdParallelWork units. The weights are measured single-thread costs (bench/
// bench_ipm_cones.py, OMP_NUM_THREADS=1) in units of about 0.4 ns per n^3; 2^16 units (about
// 25 us) is several times a fork-join on an idle two-core host, so a parallel batch gains
// from the start, while small batches of small orders stay on the calling thread.
constexpr u64 kPsdParallelWork = u64(1) << 16;

constexpr u64 kWeightNone = 0;          // O(n^2) per item (diagonal solves): parallel from 2^16 items
constexpr u64 kWeightProduct = 1;       // interior tests (Cholesky), Jordan product, H congruences
constexpr u64 kWeightCongruence = 2;    // products with W
constexpr u64 kWeightEigenvalues = 12;  // steps and spectral minima (tridiagonal QL)
constexpr u64 kWeightJacobi = 32;       // NT factor path (one-sided Jacobi SVD), general solves

bool parallel_items(u64 n, u64 batch, u64 weight) {
    if (batch < 2) return false;
    const double order = static_cast<double>(n);
    return batch >= kPsdParallelWork ||
           static_cast<double>(batch) * (order * order * order) * static_cast<double>(weight) >=
               static_cast<double>(kPsdParallelWork);
}

// body(b, doubles, indices) for every item b, with `doubles` doubles and `indices` unsigneds
// of work per thread, allocated before any fork (nothing throws inside a parallel region).
template <class Body>
void for_items(u64 n, u64 batch, u64 weight, u64 doubles, u64 indices, Body&& body) {
    const bool parallel = parallel_items(n, batch, weight);
    const int threads = parallel ? omp_get_max_threads() : 1;
    std::vector<double> work(static_cast<u64>(threads) * doubles);
    std::vector<unsigned> index_work(static_cast<u64>(threads) * indices);
    if (!parallel || threads == 1) {
        for (u64 b = 0; b < batch; ++b) body(b, work.data(), index_work.data());
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        const u64 t = static_cast<u64>(omp_get_thread_num());
        double* w = work.data() + t * doubles;
        unsigned* u = index_work.data() + t * indices;
#pragma omp for schedule(dynamic)
        for (u64 b = 0; b < batch; ++b) body(b, w, u);
    }
}

// Per-item values reduced as parallel_min does: the smallest, NaN when one is NaN.
double minimum(const std::vector<double>& values) {
    return parallel_min(values.size(), false, [&](u64 b) { return values[b]; });
}

bool any(const std::vector<char>& flags) {
    for (const char f : flags)
        if (f) return true;
    return false;
}

}  // namespace

bool psd_interior(const double* x, u64 n, u64 batch) {
    const u64 m = psd_svec_length(n);
    std::vector<char> out(batch);
    for_items(n, batch, kWeightProduct, n * n, 0,
              [&](u64 b, double* w, unsigned*) { out[b] = !psd_unit_interior(x + b * m, n, w); });
    return !any(out);
}

double psd_max_step(const double* x, const double* dx, u64 n, u64 batch, double alpha_max) {
    const u64 m = psd_svec_length(n);
    std::vector<double> steps(batch);
    for_items(n, batch, kWeightEigenvalues, psd_step_work_doubles(n), 0, [&](u64 b, double* w, unsigned*) {
        steps[b] = psd_step_item(x + b * m, dx + b * m, n, psd_step_work_at(w, n));
    });
    const double step = minimum(steps);
    return step < alpha_max ? step : alpha_max;
}

double psd_spectral_min(const double* x, u64 n, u64 batch) {
    const u64 m = psd_svec_length(n);
    std::vector<double> values(batch);
    for_items(n, batch, kWeightEigenvalues, psd_step_work_doubles(n), 0, [&](u64 b, double* w, unsigned*) {
        values[b] = psd_spectral_min_item(x + b * m, n, psd_step_work_at(w, n));
    });
    return minimum(values);
}

void psd_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n, u64 batch) {
    const u64 m = psd_svec_length(n);
    // The factor path's own test, item by item, before anything is written.
    std::vector<char> refused(batch);
    for_items(n, batch, kWeightProduct, n * n, 0, [&](u64 b, double* w, unsigned*) {
        const PsdNtScale scale = psd_nt_scale(s + b * m, z + b * m, m);
        refused[b] = !psd_cholesky_fill(s + b * m, n, scale.ks, w) || !psd_cholesky_fill(z + b * m, n, scale.kz, w);
    });
    if (any(refused)) throw std::runtime_error(kInteriorMessage);
    const u64 size = psd_state_size(n);
    for_items(n, batch, kWeightJacobi, psd_nt_work_doubles(n), 0, [&](u64 b, double* w, unsigned*) {
        psd_nt_state_item(s + b * m, z + b * m, n, scaling + b * size, lam + b * m, psd_nt_work_at(w, n));
    });
}

void psd_scale(const double* scaling, const double* x, double* out, u64 n, u64 batch, bool inverse, bool transpose) {
    const u64 m = psd_svec_length(n);
    const u64 size = psd_state_size(n);
    const u64 nn = n * n;
    for_items(n, batch, kWeightCongruence, 3 * nn + n, 0, [&](u64 b, double* w, unsigned*) {
        psd_scale_item(psd_state(scaling + b * size, n), x + b * m, out + b * m, n, inverse, transpose,
                       PsdCongruenceWork{w, w + nn, w + 2 * nn, w + 3 * nn});
    });
}

void psd_jordan_product(const double* x, const double* y, double* out, u64 n, u64 batch) {
    const u64 m = psd_svec_length(n);
    const u64 nn = n * n;
    for_items(n, batch, kWeightProduct, 3 * nn, 0, [&](u64 b, double* w, unsigned*) {
        psd_jordan_product_item(x + b * m, y + b * m, out + b * m, n, w, w + nn, w + 2 * nn);
    });
}

void psd_jordan_solve(const double* lam, const double* x, double* out, u64 n, u64 batch) {
    const u64 m = psd_svec_length(n);
    std::vector<char> refused(batch), general(batch);
    for_items(n, batch, kWeightNone, n * n, 0, [&](u64 b, double* w, unsigned*) {
        general[b] = !psd_is_diagonal(lam + b * m, n);
        refused[b] = !psd_solve_interior(lam + b * m, n, w);
    });
    if (any(refused)) throw std::runtime_error(kSolveMessage);
    const u64 nn = n * n;
    const u64 weight = any(general) ? kWeightJacobi : kWeightNone;
    for_items(n, batch, weight, 4 * nn + n, n, [&](u64 b, double* w, unsigned* u) {
        psd_jordan_solve_item(lam + b * m, x + b * m, out + b * m, n,
                              PsdSolveWork{w, w + nn, w + 2 * nn, w + 3 * nn, w + 4 * nn, u});
    });
}

void psd_state_grams(const double* scaling, u64 n, u64 batch, bool inverse, double* G) {
    const u64 size = psd_state_size(n);
    const u64 nn = n * n;
    for_items(n, batch, kWeightProduct, nn, 0, [&](u64 b, double* w, unsigned*) {
        psd_state_gram(psd_state(scaling + b * size, n), n, inverse, w, G + b * nn);
    });
}

}  // namespace velkora::torv::cones::host
