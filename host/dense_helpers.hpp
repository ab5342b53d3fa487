// Host helpers shared by every cone family: identity and unit-vector fills and the
// symmetric rank-two (PSB) update of the identity used by the exponential cone.
// Dense matrices are row-major n x n doubles, entry (i, j) at i*n + j.
#pragma once

#include <cstdint>
#include <vector>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// 1.0 at every position i*(n+1) of a zeroed n x n buffer (parallel when n > 2048).
void fill_identity_diagonal(double* matrix, u64 n);

// Throws "unit vector index out of range" when index >= length.
void check_unit_index(u64 length, u64 index);

// The symmetric M with M u = v closest to I in the Frobenius sense:
//   M = I + (u d^T + d u^T)/b - e u u^T / b^2,  b = u.u, d = v - u, e = d.u,
// each entry formed as (((u_i d_j)/b + (u_j d_i)/b) - ((u_i e) u_j)/h) + I_ij with h = b*b.
// u and v are first scaled by one power of two so that max |u_i| lies in [1, 2) (exact:
// M is unchanged bit for bit whenever nothing over- or underflows), so pairs of extreme
// magnitude do not overflow b*b. Fails with what + " source vector must have nonzero
// finite norm" when b is not a positive finite number or an entry of M is not finite.
// Host memory; the result is n*n row-major.
std::vector<double> psb_identity_update(const double* u, const double* v, u64 n, const char* what);

}  // namespace velkora::torv::cones::host
