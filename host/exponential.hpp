// Host arithmetic of a product of B exponential cones cl{(x, y, z) : y > 0,
// y exp(x/y) <= z}; cone k occupies entries 3k, 3k+1, 3k+2. All pointers are host
// memory. Loops over cones run in parallel when the cone count exceeds 4096.
#pragma once

#include <cstdint>
#include <vector>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Cone-count threshold of the parallel loops of this family.
inline constexpr u64 kExpConeThreshold = 4096;

// y exp(clamp(x/y, -745, 709)).
double exp_perspective(double x, double y);
// y > 0 and z > exp_perspective(x, y); false on NaN.
bool exp_strictly_interior(double x, double y, double z);

// Writes the projection of each of the B cones of in (3B) into out (3B); in may equal out.
void exp_project(const double* in, double* out, u64 blocks);
// sqrt(sum over cones of r_k^2), r_k the distance to the image without slack.
double exp_violation(const double* x, u64 blocks);
// Every cone passes the tolerance test; sequential, stops at the first failing cone.
bool exp_contains(const double* x, u64 blocks, double atol);

// (3B) x (3B) block-diagonal matrix, block k the PSB update of I with M s_k = z_k;
// refuses non-interior blocks ("exponential scaling requires strictly interior cone
// vectors") and blocks that are not finite ("exponential scaling source vector must
// have nonzero finite norm").
std::vector<double> exp_scaling_dense(const double* s, const double* z, u64 blocks);
// One 3x3 PSB block of the pair (u, v) (no interior test), in the batch order
// ((d_r u_c / b + [r = c]) + u_r d_c / b) - e u_r u_c / (b b) after balancing u and v by a
// power of two; written at m with rows `row_stride` apart. False when an entry is not finite.
bool exp_balanced_block(const double* u, const double* v, double* m, u64 row_stride);
// The same matrices for `batch` items (s, z: batch*3B; out: batch*9B^2), cleared first,
// then written block by block; a non-interior pair or a block that is not finite
// refuses with "exponential scaling requires strictly interior cone vectors" (out is
// then partly written). Allocates nothing.
void exp_scaling_batch(const double* s, const double* z, double* out, u64 blocks, u64 batch);

// The 3x3 blocks of the sparse H fill (9 per cone, row-major, cone k at 9k). Each cone's
// s and then z triple must pass the sparse interior test (x1 > 0: x2 > exp(x0/x1) x1, the
// ratio not clamped; otherwise x0 < 0, x1 = 0, x2 >= 0), and its block must be finite,
// else "exponential sparse H fill requires strictly interior inputs".
std::vector<double> exp_sparse_blocks(const double* s, const double* z, u64 blocks);

}  // namespace velkora::torv::cones::host
