// Host helpers shared by every cone family: the identity fill and the unit-vector index
// check of the dense results. Dense matrices are row-major n x n doubles, entry (i, j) at
// i*n + j.
#pragma once

#include <cstdint>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// 1.0 at every position i*(n+1) of a zeroed n x n buffer (parallel when n > 2048).
void fill_identity_diagonal(double* matrix, u64 n);

// Throws "unit vector index out of range" when index >= length.
void check_unit_index(u64 length, u64 index);

}  // namespace velkora::torv::cones::host
