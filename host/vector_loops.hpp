// Straight loops over host arrays of doubles, vectorised for the processor the module runs
// on: each is compiled for AVX-512, for AVX2 and for the x86-64 baseline, and the dynamic
// loader picks the variant once, when the module is loaded (GCC function multi-versioning).
// Every variant gives the same bits: maps act entry by entry, and the sums keep 32 partial
// sums (entry i of the range adds to partial i mod 32, in index order) that are combined at
// the end in a fixed tree (partial k + partial k+16, then k + k+8, ... down to one), the
// same whatever the vector width. Such a sum differs in its last bits from a sum in index
// order; its error bound is that of the 32 sums of n/32 terms each plus five additions.
#pragma once

#include <cstdint>
#include <cstring>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Attribute of a vectorised loop: the instruction sets of its variants.
#if defined(__x86_64__) && !defined(__CUDACC__) && !defined(__clang__)
#define VELKORA_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VELKORA_VECTOR_CLONES
#endif

// The lanes of the vectorised loops: GCC's generic vector of eight doubles (64 bytes),
// whose operations act lane by lane (one AVX-512 instruction, two AVX2 or four SSE2 ones).
// Pieces of a loop take and give such vectors by reference: a vector passed by value would
// change the calling convention between the variants.
#ifndef __CUDACC__
typedef double Lanes __attribute__((vector_size(64)));
typedef std::int64_t LaneBits __attribute__((vector_size(64)));
inline constexpr u64 kLaneCount = 8;
#define VELKORA_LANES_INLINE __attribute__((always_inline)) inline

VELKORA_LANES_INLINE void load_lanes(const double* p, Lanes& v) { std::memcpy(&v, p, sizeof(Lanes)); }
VELKORA_LANES_INLINE void store_lanes(double* p, const Lanes& v) { std::memcpy(p, &v, sizeof(Lanes)); }
#endif

// sum of x_i^2.
double sum_squares(const double* x, u64 n);
// sum of (x_i * factor)^2.
double sum_scaled_squares(const double* x, u64 n, double factor);
// sum of min(x_i, 0)^2 (x_i < 0 ? x_i : 0, so NaN adds 0).
double sum_negative_squares(const double* x, u64 n);

// Some entry with !(|x_i| <= bound) (NaN counts).
bool any_abs_above(const double* x, u64 n, double bound);
// Some entry with !(x_i >= bound) (NaN counts).
bool any_below(const double* x, u64 n, double bound);
// Some entry with !(x_i > bound) (NaN counts).
bool any_not_above(const double* x, u64 n, double bound);

// The number of leading k < limit with next[k] == position + 1 + k and cols[k] == row + k
// (a stretch of CSR rows that each store only their diagonal entry, read in vectors).
u64 diagonal_positions(const std::int64_t* next, const std::int64_t* cols, std::int64_t position, std::int64_t row,
                       u64 limit);

// Whether the maps of a call writing `bytes` of output should use non-temporal stores
// (`stream` below): for outputs beyond kStreamBytes (measured: below, ordinary stores win,
// the output still fits in the caches; above, writing around the caches saves reading
// every output line first and runs up to twice as fast).
inline constexpr u64 kStreamBytes = u64(12) << 20;
bool stream_output(u64 bytes);

// The maps: in may equal out.
// out = in, bit for bit (in and out do not overlap).
void copy_entries(const double* in, double* out, u64 n, bool stream);
// out = +0.0.
void fill_zero(double* out, u64 n, bool stream);
// out_i = in_i > 0 ? in_i : +0.0.
void positive_part(const double* in, double* out, u64 n, bool stream);
// out_i = num_i / den_i (out apart from num and den).
void quotients(const double* num, const double* den, double* out, u64 n);
// out_i = in_i * factor.
void scaled_copy(const double* in, double* out, u64 n, double factor, bool stream);
// out_i = ((a * in_i) * b) * c (a row of a scaled outer product).
void scaled_products(const double* in, double* out, u64 n, double a, double b, double c, bool stream);

}  // namespace velkora::torv::cones::host
