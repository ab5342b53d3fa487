// LAPACK paths of the PSD cone (host memory only), compiled in builds with host LAPACK
// (VELKORA_HOST_LAPACK): from the crossover orders below up, the projection, violation and
// membership decompose the unit-scale matrix by tridiagonal reduction instead of the
// Jacobi method, and the NT scaling point comes from LAPACK's Cholesky factorisations,
// triangular products and singular value decomposition instead of the inline factor path.
// Below the crossovers (and in builds without host LAPACK) the inline routines run, the
// ones the device kernels share.
//
// Threads: every routine here runs the library single-threaded, like the rest of the PSD
// host code: at these orders the library's threads gain nothing measurable, and they must
// not oversubscribe the cores that the module's OpenMP loops use.
#pragma once

#include <cstdint>
#include <vector>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Orders from which the LAPACK paths take over: where they became the faster ones in the
// single-threaded comparison of both paths on this project's machines.
constexpr u64 kPsdLapackViolationFrom = 5;   // violation and membership
constexpr u64 kPsdLapackProjectionFrom = 8;  // projection
constexpr u64 kPsdLapackNtFrom = 11;         // NT scaling point
// Order from which the NT path's singular value decomposition is divide and conquer
// (dgesdd) rather than QR iteration on the bidiagonal form (dgesvd).
constexpr u64 kPsdLapackSvdDivideFrom = 40;
// Largest order given to the library, whose sizes and indices are 32-bit integers: every
// workspace (at most about 5 n^2 doubles, dgesdd's) stays below 2^31 entries. Larger
// orders, far beyond any practical PSD block, keep the inline paths.
constexpr u64 kPsdLapackMaxOrder = 16384;

// Whether the LAPACK path serves order n of an operation whose crossover is `from`.
constexpr bool psd_lapack_order(u64 n, u64 from) { return n >= from && n <= kPsdLapackMaxOrder; }

// out = svec of the projection of smat(in) onto the PSD cone (n(n+1)/2 entries each; out
// may equal in). Returns false, with out untouched, when the input holds a NaN or an
// infinity or a LAPACK routine fails to converge: the Jacobi path then decides.
bool psd_project_lapack(const double* in, double* out, u64 n);

// The square root of the sum of the squared negative eigenvalues of smat(x) into result;
// false (result untouched) in the cases of psd_project_lapack.
bool psd_violation_lapack(const double* x, u64 n, double& result);

// Work of the NT path at order n, sized once and reused across the items of a batch.
class PsdNtLapackWork {
  public:
    explicit PsdNtLapackWork(u64 n);
    // Scaling point W (n x n, row-major, symmetric) of the pair (s, z) into W. Returns
    // kRefused when S or Z is not strictly positive definite (a Cholesky pivot that is
    // not positive and finite, or a NaN or infinity anywhere in s or z), kFailed when the
    // singular value decomposition does not converge; W is untouched in both cases.
    enum Outcome { kDone, kRefused, kFailed };
    Outcome scaling_point(const double* s, const double* z, double* W);

  private:
    int n_;
    bool divide_;                 // dgesdd
    std::vector<double> buffer_;  // Ls, Lz, B, Ut (n x n each), sigma (n), then the SVD's work
    std::vector<int> iwork_;      // dgesdd's
};

}  // namespace velkora::torv::cones::host
