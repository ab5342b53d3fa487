// OpenMP fork-join loops shared by the host cone routines: one place for the
// "parallel above a size threshold, same body on the calling thread below" rule.
#pragma once

#include <omp.h>

#include <atomic>
#include <cmath>
#include <cstdint>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Size thresholds of the zero, nonnegative and second-order cone loops.
inline constexpr u64 kElementwiseThreshold = 8192;  // maps, reductions, scans: parallel when N > 8192
inline constexpr u64 kDiagonalThreshold = 2048;     // diagonal fill of a new n x n array: n > 2048
inline constexpr u64 kSocNtRowThreshold = 256;      // SOC dense NT rows: parallel when n >= 256

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

// Sum of term(i) over [0, count). The sequential sum runs in index order from 0.0. The
// parallel form gives each thread one static chunk and combines per-thread partial sums;
// inside its chunk a thread keeps eight interleaved partial sums (so the loop vectorises
// instead of waiting on one chain of additions). Its last bits may therefore differ from
// the sequential order, and depend on the number of threads.
template <class Term>
inline double parallel_sum(u64 count, bool parallel, Term&& term) {
    double sum = 0.0;
    if (!parallel) {
        for (u64 i = 0; i < count; ++i) sum += term(i);
        return sum;
    }
#pragma omp parallel reduction(+ : sum)
    {
        const u64 threads = static_cast<u64>(omp_get_num_threads());
        const u64 t = static_cast<u64>(omp_get_thread_num());
        const u64 base = count / threads, extra = count % threads;
        const u64 begin = t * base + (t < extra ? t : extra);
        const u64 end = begin + base + (t < extra ? 1 : 0);
        double lanes[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        u64 i = begin;
        for (; i + 8 <= end; i += 8)
            for (int k = 0; k < 8; ++k) lanes[k] += term(i + k);
        double tail = 0.0;
        for (; i < end; ++i) tail += term(i);
        sum += (((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]))) +
               tail;
    }
    return sum;
}

// True when fails(i) holds for some i. The sequential scan stops at the first failing
// entry. The parallel scan shares one flag that only goes false -> true; each thread tests
// its static chunk in runs of 256 entries (a run is one vectorisable or-reduction) and
// skips the remaining runs once it has seen the flag set.
template <class Fails>
inline bool parallel_any(u64 count, bool parallel, Fails&& fails) {
    if (!parallel) {
        for (u64 i = 0; i < count; ++i)
            if (fails(i)) return true;
        return false;
    }
    constexpr u64 kRun = 256;
    const u64 runs = (count + kRun - 1) / kRun;
    std::atomic<bool> found{false};
#pragma omp parallel for schedule(static)
    for (u64 r = 0; r < runs; ++r) {
        if (found.load(std::memory_order_relaxed)) continue;
        const u64 begin = r * kRun;
        const u64 end = begin + kRun < count ? begin + kRun : count;
        double hits = 0.0;  // counted in doubles (exact up to 2^53): the loop vectorises
        for (u64 i = begin; i < end; ++i) hits += fails(i) ? 1.0 : 0.0;
        if (hits != 0.0) found.store(true, std::memory_order_relaxed);
    }
    return found.load();
}

// Minimum of term(i) over [0, count): +infinity for an empty range, NaN when some term is
// NaN. The parallel form takes per-thread minima over static chunks and combines them; a
// minimum of the same values is the same whatever the order.
template <class Term>
inline double parallel_min(u64 count, bool parallel, Term&& term) {
    double low = HUGE_VAL;
    bool unordered = false;
    if (!parallel) {
        for (u64 i = 0; i < count; ++i) {
            const double v = term(i);
            if (v < low) low = v;
            unordered = unordered || v != v;
        }
    } else {
#pragma omp parallel for schedule(static) reduction(min : low) reduction(|| : unordered)
        for (u64 i = 0; i < count; ++i) {
            const double v = term(i);
            if (v < low) low = v;
            unordered = unordered || v != v;
        }
    }
    return unordered ? NAN : low;
}

}  // namespace velkora::torv::cones::host
