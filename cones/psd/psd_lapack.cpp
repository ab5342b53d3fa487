// LAPACK paths of the PSD cone: projection and violation by tridiagonal reduction (dsytrd)
// with divide and conquer (dstedc) or root-free QR (dsterf), the NT scaling point by
// Cholesky (dpotrf), triangular products (dtrmm), the singular value decomposition (dgesvd
// or dgesdd) and a symmetric rank-k product (dsyrk). Matrices are held column-major for the library;
// the symmetric ones read the same either way, and a column-major upper triangle is the
// row-major lower triangle that svec reads.
#include "cones/psd/psd_lapack.hpp"

#include <math.h>

#include <algorithm>

#include "host/double_limits.hpp"
#include "cones/psd/psd_eigen.hpp"
#include "cones/psd/psd_scale.hpp"
#include "cones/psd/psd_svec.hpp"

// The wheel's headers declare every routine with the library's symbol prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#include <cblas.h>
#include <lapack.h>

namespace velkora::torv::cones::host {

namespace {

// The library single-threaded for the lifetime of the object (the previous thread count
// restored after). At these orders its worker threads gain nothing: measured on two cores,
// two threads made the reductions and decompositions of order 50 to 100 several times
// slower, and they would compete with the module's own OpenMP loops. Setting and restoring
// costs a few nanoseconds. (The count is the library's, shared by every user of this copy
// of it in the process; calls hold the interpreter lock.)
class OpenBlasOneThread {
  public:
    OpenBlasOneThread() : previous_(scipy_openblas_get_num_threads()) {
        if (previous_ != 1) scipy_openblas_set_num_threads(1);
    }
    ~OpenBlasOneThread() {
        if (previous_ != 1) scipy_openblas_set_num_threads(previous_);
    }
    OpenBlasOneThread(const OpenBlasOneThread&) = delete;
    OpenBlasOneThread& operator=(const OpenBlasOneThread&) = delete;

  private:
    int previous_;
};

bool all_finite(const double* v, u64 count) {
    for (u64 k = 0; k < count; ++k)
        if (!(fabs(v[k]) <= kDoubleMax)) return false;
    return true;
}

// Optimal workspace of a routine, from its workspace query (the first entry of work).
int queried(double value) { return static_cast<int>(value) > 1 ? static_cast<int>(value) : 1; }

void scale_all(double* M, u64 count, int exponent) {
    if (exponent == 0) return;
    const PsdPow2 unit(exponent);
    for (u64 e = 0; e < count; ++e) M[e] = unit(M[e]);
}

// ---- projection and violation --------------------------------------------------------

// Optimal workspace of dsytrd at order n (its workspace query).
int tridiagonal_lwork(int n) {
    double query = 0.0, dummy = 0.0;
    int minus_one = -1, info = 0;
    LAPACK_dsytrd_base("L", &n, &dummy, &n, &dummy, &dummy, &dummy, &query, &minus_one, &info, 1);
    return queried(query);
}

// A = 2^-k smat(x) (n x n) reduced to the tridiagonal matrix (d, e) by dsytrd, the
// reflectors left in A and tau; returns k (power_of_two_exponent: the largest |entry| of
// the unit-scale matrix lies in [1, 2), and every eigenvalue of smat(x) is 2^k times one
// of it, exactly).
int unit_tridiagonal(const double* x, int n, double* A, double* d, double* e, double* tau, double* work,
                     int lwork) {
    const u64 nn = static_cast<u64>(n) * static_cast<u64>(n);
    psd_smat_fill(x, static_cast<u64>(n), A);
    const int exponent = power_of_two_exponent(A, static_cast<u64>(n));
    scale_all(A, nn, -exponent);
    int info = 0;
    LAPACK_dsytrd_base("L", &n, A, &n, d, e, tau, work, &lwork, &info, 1);
    return exponent;
}

}  // namespace

// The eigen-decomposition of the tridiagonal matrix by divide and conquer (dstedc, the
// eigenvalues ascending), and only the smaller side of the spectrum carried back to the
// matrix (dormtr): the k positive pairs give R = Y Y^T with Y = V+ diag(lambda+)^(1/2),
// or the k negative ones R = A + Y Y^T with Y = V- diag(-lambda-)^(1/2) (dsyrk), so a
// positive definite A is its own projection. R is formed at unit scale and scaled back.
bool psd_project_lapack(const double* in, double* out, u64 n) {
    if (!all_finite(in, psd_svec_length(n))) return false;
    OpenBlasOneThread one_thread;
    int ni = static_cast<int>(n), info = 0;
    double query = 0.0;
    int minus_one = -1;
    LAPACK_dormtr_base("L", "L", "N", &ni, &ni, &query, &ni, &query, &query, &ni, &query, &minus_one, &info, 1, 1,
                       1);
    int lwork = std::max({1 + 4 * ni + ni * ni, tridiagonal_lwork(ni), queried(query)});
    int liwork = 3 + 5 * ni;
    std::vector<double> buffer(2 * n * n + 3 * n + static_cast<u64>(lwork));
    std::vector<int> iwork(static_cast<u64>(liwork));
    double* A = buffer.data();
    double* Z = A + n * n;
    double* d = Z + n * n;
    double* e = d + n;
    double* tau = e + n;
    double* work = tau + n;
    const int exponent = unit_tridiagonal(in, ni, A, d, e, tau, work, lwork);
    LAPACK_dstedc_base("I", &ni, d, e, Z, &ni, work, &lwork, iwork.data(), &liwork, &info, 1);
    if (info != 0) return false;

    int negative = 0, positive = 0;
    for (u64 k = 0; k < n; ++k) {
        negative += d[k] < 0.0;
        positive += d[k] > 0.0;
    }
    const bool keep_positive = positive <= negative;
    const int count = keep_positive ? positive : negative;
    const u64 first = keep_positive ? n - static_cast<u64>(positive) : 0;
    double* Y = Z + first * n;  // the count eigenvectors of the tridiagonal matrix kept
    if (count > 0) {
        LAPACK_dormtr_base("L", "L", "N", &ni, &count, A, &ni, tau, Y, &ni, work, &lwork, &info, 1, 1, 1);
        for (int j = 0; j < count; ++j) {
            const double lambda = d[first + static_cast<u64>(j)];
            const double root = sqrt(keep_positive ? lambda : -lambda);
            double* column = Y + static_cast<u64>(j) * n;
            for (u64 i = 0; i < n; ++i) column[i] *= root;
        }
    }
    double* R = A;  // the reflectors are used up
    if (keep_positive) {
        std::fill(R, R + n * n, 0.0);
    } else {
        psd_smat_fill(in, n, R);
        scale_all(R, n * n, -exponent);
    }
    if (count > 0)
        scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, ni, count, 1.0, Y, ni, keep_positive ? 0.0 : 1.0,
                          R, ni);
    const PsdPow2 back(exponent);
    u64 k = 0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j, ++k) {
            const double r = back(R[i * n + j]);  // column-major upper = row-major lower
            out[k] = j == i ? r : r * kPsdSqrt2;
        }
    return true;
}

// The eigenvalues of the tridiagonal matrix by root-free QR (dsterf); the norm of the
// negative ones by hypot (no square under- or overflows), scaled back.
bool psd_violation_lapack(const double* x, u64 n, double& result) {
    if (!all_finite(x, psd_svec_length(n))) return false;
    OpenBlasOneThread one_thread;
    int ni = static_cast<int>(n), info = 0;
    const int lwork = tridiagonal_lwork(ni);
    std::vector<double> buffer(n * n + 3 * n + static_cast<u64>(lwork));
    double* A = buffer.data();
    double* d = A + n * n;
    double* e = d + n;
    double* tau = e + n;
    const int exponent = unit_tridiagonal(x, ni, A, d, e, tau, tau + n, lwork);
    LAPACK_dsterf(&ni, d, e, &info);
    if (info != 0) return false;
    double norm = 0.0;
    for (u64 k = 0; k < n; ++k)
        if (d[k] < 0.0) norm = hypot(norm, d[k]);
    result = ldexp(norm, exponent);
    return true;
}

// ---- NT scaling point ----------------------------------------------------------------

PsdNtLapackWork::PsdNtLapackWork(u64 n) : n_(static_cast<int>(n)), divide_(n >= kPsdLapackSvdDivideFrom) {
    double query = 0.0, dummy = 0.0;
    int minus_one = -1, one = 1, info = 0;
    if (divide_) {
        iwork_.resize(8 * n);
        LAPACK_dgesdd_base("O", &n_, &n_, &dummy, &n_, &dummy, &dummy, &one, &dummy, &n_, &query, &minus_one,
                           iwork_.data(), &info, 1);
    } else {
        LAPACK_dgesvd_base("N", "O", &n_, &n_, &dummy, &n_, &dummy, &dummy, &one, &dummy, &one, &query, &minus_one,
                           &info, 1, 1);
    }
    buffer_.resize(4 * n * n + n + static_cast<u64>(queried(query)));
}

namespace {

// Lower Cholesky factor of 4^-k smat(v) (column-major, strict upper triangle zeroed);
// false unless every pivot is positive and finite (the library's own test may let a NaN
// pivot through, the diagonal test does not).
bool unit_cholesky(const double* v, int n_int, int k, double* L) {
    const u64 n = static_cast<u64>(n_int);
    psd_smat_fill(v, n, L);
    scale_all(L, n * n, -2 * k);
    int info = 0;
    LAPACK_dpotrf_base("L", &n_int, L, &n_int, &info, 1);
    if (info != 0) return false;
    for (u64 j = 0; j < n; ++j) {
        if (!psd_pivot_ok(L[j * n + j])) return false;
        for (u64 i = 0; i < j; ++i) L[j * n + i] = 0.0;  // (i, j) above the diagonal
    }
    return true;
}

}  // namespace

// The factor path of psd_nt.hpp with library routines, at the pair's unit scale:
// B = Ls^T Lz, B = V diag(sigma) U^T (dgesvd with the right singular vectors only, or
// dgesdd from kPsdLapackSvdDivideFrom on), P^T = U^T Lz^T, then
// W' = P diag(sigma)^-1 P^T = Q^T Q with Q = diag(sigma)^(-1/2) P^T, and W = 2^(kz - ks) W'.
PsdNtLapackWork::Outcome PsdNtLapackWork::scaling_point(const double* s, const double* z, double* W) {
    const u64 n = static_cast<u64>(n_);
    const u64 m = psd_svec_length(n);
    if (!all_finite(s, m) || !all_finite(z, m)) return kRefused;
    const PsdNtScale scale = psd_nt_scale(s, z, m);
    double* Ls = buffer_.data();
    double* Lz = Ls + n * n;
    double* B = Lz + n * n;
    double* Ut = B + n * n;
    double* sigma = Ut + n * n;
    double* work = sigma + n;
    int lwork = static_cast<int>(buffer_.size() - 4 * n * n - n), info = 0;
    OpenBlasOneThread one_thread;
    if (!unit_cholesky(s, n_, scale.ks, Ls)) return kRefused;
    if (!unit_cholesky(z, n_, scale.kz, Lz)) return kRefused;
    std::copy(Lz, Lz + n * n, B);
    scipy_cblas_dtrmm(CblasColMajor, CblasLeft, CblasLower, CblasTrans, CblasNonUnit, n_, n_, 1.0, Ls, n_, B, n_);
    // U^T (the right singular vectors as rows) into Ut: over B itself for dgesvd.
    double dummy = 0.0;
    int one = 1;
    if (divide_) {
        LAPACK_dgesdd_base("O", &n_, &n_, B, &n_, sigma, &dummy, &one, Ut, &n_, work, &lwork, iwork_.data(), &info,
                           1);
    } else {
        LAPACK_dgesvd_base("N", "O", &n_, &n_, B, &n_, sigma, &dummy, &one, &dummy, &one, work, &lwork, &info, 1, 1);
        Ut = B;
    }
    if (info != 0) return kFailed;
    scipy_cblas_dtrmm(CblasColMajor, CblasRight, CblasLower, CblasTrans, CblasNonUnit, n_, n_, 1.0, Lz, n_, Ut, n_);
    for (u64 j = 0; j < n; ++j) {
        const double f = 1.0 / sqrt(psd_guarded_sigma(sigma[j]));
        for (u64 c = 0; c < n; ++c) Ut[c * n + j] *= f;  // row j of P^T
    }
    scipy_cblas_dsyrk(CblasColMajor, CblasUpper, CblasTrans, n_, n_, 1.0, Ut, n_, 0.0, W, n_);
    const PsdPow2 back(scale.kz - scale.ks);
    for (u64 i = 0; i < n; ++i)
        for (u64 l = 0; l <= i; ++l) {
            const double w = back(W[i * n + l]);  // column-major upper = row-major lower
            W[i * n + l] = w;
            W[l * n + i] = w;
        }
    return kDone;
}

}  // namespace velkora::torv::cones::host
