// Host projection, violation and membership of the PSD cone by the Jacobi
// eigen-decomposition of the matrix brought to unit scale by a power of two (exact), so
// that the decomposition's 1e-12 stop is relative to the matrix's own size and the
// results scale with the input. In builds with host LAPACK, orders from the crossovers of
// psd_lapack.hpp up take the LAPACK paths at the same unit scale; inputs holding a NaN
// or an infinity, and the rare non-convergence of a LAPACK routine, stay with the Jacobi
// method, whose rules for them are the contract.
#include "cones/psd/psd.hpp"

#include <cmath>
#include <omp.h>
#include <stdexcept>
#include <vector>

#include "cones/psd/psd_eigen.hpp"
#include "cones/psd/psd_svec.hpp"
#include "host/parallel.hpp"

#if defined(VELKORA_HOST_LAPACK)
#include "cones/psd/psd_lapack.hpp"
#endif

namespace velkora::torv::cones::host {

namespace {
// 0 when 0 > x, else x: NaN is kept.
inline double clip_at_zero(double x) { return 0.0 > x ? 0.0 : x; }
}  // namespace

void psd_project(const double* in, double* out, u64 n) {
    if (n == 1) {
        out[0] = clip_at_zero(in[0]);
        return;
    }
#if defined(VELKORA_HOST_LAPACK)
    if (psd_lapack_order(n, kPsdLapackProjectionFrom) && psd_project_lapack(in, out, n)) return;
#endif
    std::vector<double> A = psd_smat_host(in, n), V;
    const int exponent = psd_jacobi_eigen_scaled(A, V, n);
    // Only the lower triangle of R feeds the svec, so only it is accumulated, at unit
    // scale, and scaled back once (one rounding for entries below the normal range).
    std::vector<double> R(n * n, 0.0);
    for (u64 a = 0; a < n; ++a) {
        const double lambda = clip_at_zero(A[a * n + a]);
        for (u64 i = 0; i < n; ++i) {
            const double li = lambda * V[i * n + a];
            for (u64 j = 0; j <= i; ++j) R[i * n + j] += li * V[j * n + a];
        }
    }
    if (exponent != 0)
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j <= i; ++j) R[i * n + j] = std::ldexp(R[i * n + j], exponent);
    psd_svec_fill(R.data(), n, out);
}

double psd_violation(const double* x, u64 n) {
    if (n == 1) return clip_at_zero(-x[0]);
#if defined(VELKORA_HOST_LAPACK)
    double result = 0.0;
    if (psd_lapack_order(n, kPsdLapackViolationFrom) && psd_violation_lapack(x, n, result)) return result;
#endif
    std::vector<double> A = psd_smat_host(x, n), V;
    const int exponent = psd_jacobi_eigen_scaled(A, V, n);
    // Norm of the negative unit-scale eigenvalues by hypot, so that no square under- or
    // overflows, then scaled back.
    double norm = 0.0;
    for (u64 k = 0; k < n; ++k) {
        const double lambda = A[k * n + k];
        if (lambda < 0.0) norm = std::hypot(norm, lambda);
    }
    return std::ldexp(norm, exponent);
}

bool psd_contains(const double* x, u64 n, double atol) {
    // A NaN entry is in no cone, but the violation skips NaN eigenvalues (and the
    // decomposition may not even meet a NaN placed off the diagonal): test the entries.
    const u64 m = psd_svec_length(n);
    for (u64 k = 0; k < m; ++k)
        if (std::isnan(x[k])) return false;
    return atol >= psd_violation(x, n);
}

}  // namespace velkora::torv::cones::host

// Interior-point forms of the PSD cone on the host: one item at a time by the shared
// routines of psd.hpp, each thread with its own work matrices; items in parallel
// once a batch holds enough O(n^3) work.
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
