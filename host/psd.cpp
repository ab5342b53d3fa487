// Host projection, violation and membership of the PSD cone by the Jacobi
// eigen-decomposition of the matrix brought to unit scale by a power of two (exact), so
// that the decomposition's 1e-12 stop is relative to the matrix's own size and the
// results scale with the input. In builds with host LAPACK, orders from the crossovers of
// host/psd_lapack.hpp up take the LAPACK paths at the same unit scale; inputs holding a NaN
// or an infinity, and the rare non-convergence of a LAPACK routine, stay with the Jacobi
// method, whose rules for them are the contract.
#include "host/psd.hpp"

#include <cmath>
#include <vector>

#include "host/psd_eigen.hpp"
#include "host/psd_svec.hpp"
#if defined(VELKORA_HOST_LAPACK)
#include "host/psd_lapack.hpp"
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
