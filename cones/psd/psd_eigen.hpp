// Classical Jacobi eigen-decomposition of a symmetric n x n matrix (row-major), the one
// behind the PSD projection, violation and membership (below the LAPACK crossovers in
// builds with host LAPACK; inline, so device code may share it). Each step rotates away
// the largest entry of the strict upper triangle (first in row-by-row scan order on ties)
// until that entry is below 1e-12, with a budget of 32 n^2 rotations; the PSD routines
// first bring the matrix to unit scale by a power of two (jacobi_eigen_scaled), so that the
// stop is relative to the matrix's own size. The pivot search keeps per-row maxima, so a
// rotation costs O(n) amortised instead of a scan of the whole triangle, while choosing
// exactly the pivots of the full scan.
#pragma once

#include <math.h>

#include <cstdint>
#include <vector>

#include "host/double_limits.hpp"
#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

constexpr double kJacobiTolerance = 1e-12;

// Caller-owned work of one decomposition (host or device memory): A and V are n x n,
// row_max and row_arg have n entries. row_max[i] is the largest |A[i][j]|, j > i (0.0 if
// none is > 0) and row_arg[i] the first column holding it (n when row_max[i] is 0).
struct JacobiWork {
    double* A;
    double* V;
    double* row_max;
    unsigned* row_arg;
};

// Row i of the strict upper triangle scanned from scratch (strict comparison from 0.0,
// so NaN entries are never taken).
VELKORA_HD inline void jacobi_scan_row(const JacobiWork& w, u64 n, u64 i) {
    double best = 0.0;
    unsigned arg = static_cast<unsigned>(n);
    for (u64 j = i + 1; j < n; ++j) {
        const double v = fabs(w.A[i * n + j]);
        if (v > best) {
            best = v;
            arg = static_cast<unsigned>(j);
        }
    }
    w.row_max[i] = best;
    w.row_arg[i] = arg;
}

// Row k after a rotation that changed only its upper-triangle entries in the columns
// c1 < c2 (c2 = n: one column). The unchanged entries are bounded by the old maximum,
// and those before the old first maximum are strictly below it; so unless the old
// maximum itself shrank (then the row is rescanned), the new first maximum is the old
// one or one of the changed entries, the earlier column winning a tie.
VELKORA_HD inline void jacobi_update_row(const JacobiWork& w, u64 n, u64 k, u64 c1, u64 c2) {
    const double* row = w.A + k * n;
    double best = w.row_max[k];
    u64 arg = w.row_arg[k];
    if (arg < n && (arg == c1 || arg == c2)) {
        const double v = fabs(row[arg]);
        if (!(v >= best)) {
            jacobi_scan_row(w, n, k);
            return;
        }
        best = v;
    }
    const u64 cols[2] = {c1, c2};
    for (int t = 0; t < 2; ++t) {
        const u64 c = cols[t];
        if (c >= n || c == arg) continue;
        const double v = fabs(row[c]);
        if (v > best || (v == best && v > 0.0 && c < arg)) {
            best = v;
            arg = c;
        }
    }
    w.row_max[k] = best;
    w.row_arg[k] = static_cast<unsigned>(arg);
}

// The decomposition in place: on return A[k][k] is the k-th eigenvalue (unsorted) and
// column k of V its unit eigenvector. Each rotation: theta = atan2(2 A[p][q], A[q][q] -
// A[p][p]), c = cos(theta/2), s = sin(theta/2); rows p, q of A, then columns p, q of A,
// then columns p, q of V, each pair (a, b) -> (a c - b s, b c + a s). Never fails.
VELKORA_HD inline void jacobi_eigen(const JacobiWork& w, u64 n) {
    double* A = w.A;
    double* V = w.V;
    for (u64 e = 0; e < n * n; ++e) V[e] = 0.0;
    for (u64 i = 0; i < n; ++i) V[i * n + i] = 1.0;
    if (n <= 1) return;
    for (u64 i = 0; i < n; ++i) jacobi_scan_row(w, n, i);

    const u64 budget = 32 * n * n;
    for (u64 rotation = 0; rotation < budget; ++rotation) {
        // The first row whose maximum beats all earlier rows holds the first maximum of
        // the whole scan.
        double best = 0.0;
        u64 p = 0, q = 1;
        for (u64 i = 0; i + 1 < n; ++i) {
            if (w.row_max[i] > best) {
                best = w.row_max[i];
                p = i;
                q = w.row_arg[i];
            }
        }
        if (best < kJacobiTolerance) return;

        const double theta = atan2(2.0 * A[p * n + q], A[q * n + q] - A[p * n + p]);
        const double c = cos(theta * 0.5);
        const double s = sin(theta * 0.5);
        for (u64 k = 0; k < n; ++k) {
            const double a = A[p * n + k], b = A[q * n + k];
            A[p * n + k] = a * c - b * s;
            A[q * n + k] = b * c + a * s;
        }
        for (u64 k = 0; k < n; ++k) {
            const double a = A[k * n + p], b = A[k * n + q];
            A[k * n + p] = a * c - b * s;
            A[k * n + q] = b * c + a * s;
        }
        for (u64 k = 0; k < n; ++k) {
            const double a = V[k * n + p], b = V[k * n + q];
            V[k * n + p] = a * c - b * s;
            V[k * n + q] = b * c + a * s;
        }

        // Upper-triangle entries that moved: rows p and q entirely, (k, p) for k < p
        // and (k, q) for k < q.
        jacobi_scan_row(w, n, p);
        jacobi_scan_row(w, n, q);
        for (u64 k = 0; k < p; ++k) jacobi_update_row(w, n, k, p, q);
        for (u64 k = p + 1; k < q; ++k) jacobi_update_row(w, n, k, q, n);
    }
}

// Power of two 2^-e that brings the largest finite |entry| of the n x n matrix M into
// [1, 2); returns e (0 for a zero or non-finite maximum). Scaling by it and scaling the
// eigenvalues back by 2^e are exact in floating point.
VELKORA_HD inline int power_of_two_exponent(const double* M, u64 n) {
    double top = 0.0;
    for (u64 e = 0; e < n * n; ++e) {
        const double v = fabs(M[e]);
        if (v > top) top = v;
    }
    if (!(top > 0.0) || top > kDoubleMax) return 0;  // zero or infinite
    int exponent = 0;
    frexp(top, &exponent);  // top = f 2^exponent, f in [0.5, 1)
    return exponent - 1;
}

// jacobi_eigen of the n x n matrix already in w.A after scaling it into [1, 2); the
// eigenvalue of index k is ldexp(w.A[k][k], returned exponent).
VELKORA_HD inline int jacobi_eigen_scaled(const JacobiWork& w, u64 n) {
    const int exponent = power_of_two_exponent(w.A, n);
    if (exponent != 0)
        for (u64 e = 0; e < n * n; ++e) w.A[e] = ldexp(w.A[e], -exponent);
    jacobi_eigen(w, n);
    return exponent;
}

// Host form of jacobi_eigen_scaled: A (n*n, overwritten: the unit-scale eigenvalues on its
// diagonal) and V (resized to n*n, eigenvectors in its columns); returns the exponent e
// with eigenvalue k = ldexp(A[k][k], e).
int psd_jacobi_eigen_scaled(std::vector<double>& A, std::vector<double>& V, u64 n);

}  // namespace velkora::torv::cones::host
