// The svec convention of the PSD cone, written down once for host and device: a
// symmetric n x n matrix is carried as its lower triangle row by row, (0,0), (1,0),
// (1,1), (2,0), ..., off-diagonal entries multiplied by sqrt(2). Dense matrices are
// row-major n x n doubles.
#pragma once

#include <math.h>

#include <cstdint>
#include <vector>

#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// The double nearest to sqrt(2); smat divides by it (no stored 1/sqrt(2)).
constexpr double kPsdSqrt2 = 1.4142135623730951;

// n(n+1)/2 (no overflow check: callers size-check n first).
VELKORA_HD inline u64 psd_svec_length(u64 n) { return n % 2 == 0 ? (n / 2) * (n + 1) : n * ((n + 1) / 2); }

// svec position of entry (i, j), j <= i: i(i+1)/2 + j.
VELKORA_HD inline u64 psd_svec_index(u64 i, u64 j) { return psd_svec_length(i) + j; }

// Row i >= column j of svec index k: the smallest i with i(i+1)/2 + i >= k. Same result
// as the subtraction loop (i = 0, j = k; while i < j: j -= i + 1, ++i), found from a
// floating-point estimate corrected by exact integer steps, so O(1).
VELKORA_HD inline void psd_svec_decode(u64 k, u64& i, u64& j) {
    u64 r = static_cast<u64>((sqrt(8.0 * static_cast<double>(k) + 1.0) - 1.0) * 0.5);
    while (r > 0 && psd_svec_length(r) > k) --r;
    while (psd_svec_length(r + 1) <= k) ++r;
    i = r;
    j = k - psd_svec_length(r);
}

// Dense n x n matrix M of svec v (host or device pointers, one thread): zero-filled,
// then filled in svec order, (i, j) and (j, i) from the same value v_k (/ sqrt(2) off
// the diagonal).
VELKORA_HD inline void psd_smat_fill(const double* v, u64 n, double* M) {
    for (u64 e = 0; e < n * n; ++e) M[e] = 0.0;
    u64 k = 0;
    for (u64 i = 0; i < n; ++i) {
        for (u64 j = 0; j <= i; ++j, ++k) {
            double e = v[k];
            if (j != i) e = e / kPsdSqrt2;
            M[i * n + j] = e;
            M[j * n + i] = e;
        }
    }
}

// svec of dense M into out (n(n+1)/2 entries): M[i][i], or M[i][j] * sqrt(2) for j < i.
// Reads the lower triangle only; the input is not symmetrised.
VELKORA_HD inline void psd_svec_fill(const double* M, u64 n, double* out) {
    u64 k = 0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j, ++k) out[k] = j == i ? M[i * n + i] : M[i * n + j] * kPsdSqrt2;
}

// Host forms: a new dense n x n matrix from svec v; svec of a host matrix into out.
std::vector<double> psd_smat_host(const double* v, u64 n);
void psd_svec_host(const double* M, u64 n, double* out);

}  // namespace velkora::torv::cones::host
