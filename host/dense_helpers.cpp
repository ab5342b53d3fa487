// Dense helpers shared by every cone family: the identity fill and the unit-vector index check.
#include "host/dense_helpers.hpp"

#include <stdexcept>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

void fill_identity_diagonal(double* matrix, u64 n) {
    parallel_for(n, above(n, kDiagonalThreshold), [=](u64 i) { matrix[i * (n + 1)] = 1.0; });
}

void check_unit_index(u64 length, u64 index) {
    if (index >= length) throw std::runtime_error("unit vector index out of range");
}

}  // namespace velkora::torv::cones::host
