// OpenMP fork-join loops shared by the host cone routines: one place for the
// "parallel above a size threshold, same body on the calling thread below" rule.
#pragma once

#include <atomic>
#include <cstdint>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Size thresholds of the zero, nonnegative and second-order cone loops.
inline constexpr u64 kElementwiseThreshold = 8192;  // maps, reductions, scans: parallel when N > 8192
inline constexpr u64 kDiagonalThreshold = 2048;     // diagonal fill of a new n x n array: n > 2048
inline constexpr u64 kSocColumnThreshold = 256;     // SOC dense NT columns: parallel when n >= 256

// body(i) for i in [0, count); static schedule when `parallel`.
template <class Body>
inline void parallel_for(u64 count, bool parallel, Body&& body) {
    if (parallel) {
#pragma omp parallel for schedule(static)
        for (u64 i = 0; i < count; ++i) body(i);
    } else {
        for (u64 i = 0; i < count; ++i) body(i);
    }
}

// Sum of term(i) over [0, count). Sequential sums run in index order from 0.0; the
// parallel form combines per-thread partial sums, so its last bits may differ.
template <class Term>
inline double parallel_sum(u64 count, bool parallel, Term&& term) {
    double sum = 0.0;
    if (parallel) {
#pragma omp parallel for schedule(static) reduction(+ : sum)
        for (u64 i = 0; i < count; ++i) sum += term(i);
    } else {
        for (u64 i = 0; i < count; ++i) sum += term(i);
    }
    return sum;
}

// True when fails(i) holds for some i. The sequential scan stops at the first
// failing entry; the parallel scan shares one flag that only goes false -> true,
// and threads skip the test once they have seen it set.
template <class Fails>
inline bool parallel_any(u64 count, bool parallel, Fails&& fails) {
    if (!parallel) {
        for (u64 i = 0; i < count; ++i)
            if (fails(i)) return true;
        return false;
    }
    std::atomic<bool> found{false};
#pragma omp parallel for schedule(static)
    for (u64 i = 0; i < count; ++i) {
        if (found.load(std::memory_order_relaxed)) continue;
        if (fails(i)) found.store(true, std::memory_order_relaxed);
    }
    return found.load();
}

}  // namespace velkora::torv::cones::host
