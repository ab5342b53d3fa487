// Parallel loops shared by the host cone routines: one place for the "parallel above a
// size threshold, same body on the calling thread below" rule. A parallel loop is cut into
// chunks that the calling thread and helper threads (host/parallel.cpp) claim one at a
// time; the number of threads is OpenMP's setting (OMP_NUM_THREADS, omp_set_num_threads).
// Each routine picks its own threshold from measurements of its own loop
// (bench/bench_threads.py): the helpers cost a wake-up of some microseconds, which a loop
// must outweigh.
#pragma once

#include <omp.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;

// Shared size thresholds (the routines that measured better thresholds define their own
// next to their loops).
inline constexpr u64 kElementwiseThreshold = 8192;  // batch loops of one cheap operation per entry
inline constexpr u64 kDiagonalThreshold = 2048;     // diagonal fill of a new n x n array: n > 2048

// Whether a loop over `count` units goes parallel: above its threshold. A build configured
// with VELKORA_PARALLEL_ALWAYS (bench/bench_threads.py measures the thresholds with it)
// makes every loop parallel.
inline bool above(u64 count, u64 threshold) {
#ifdef VELKORA_PARALLEL_ALWAYS
    (void)threshold;
    return count > 1;
#else
    return count > threshold;
#endif
}

// Threads a parallel loop may use (at least 1).
unsigned loop_threads();

// task(ctx, c) for every c in [0, chunks), each exactly once, on the calling thread and up
// to threads - 1 helpers; returns when every chunk has run. The calling thread claims
// chunks like the helpers, so a helper that is late costs nothing but its share. A loop
// started while another runs (a nested loop, another thread) runs on its calling thread.
using ChunkTask = void (*)(void*, u64) noexcept;
void run_chunks(u64 chunks, unsigned threads, ChunkTask task, void* ctx);

// False for a while after parallel loops in which no helper took a chunk (every other
// processor busy): a loop whose parallel form does more work in all than its sequential
// form should then run sequentially.
bool helpers_joining();

// Chunks per thread of a parallel loop: a few, so that the caller can take over the share
// of a helper that starts late.
inline constexpr u64 kChunksPerThread = 4;

// range(begin, end) over consecutive ranges covering [0, count): one call of the whole
// range unless `parallel`, else ranges of at least `grain` entries (a multiple of `grain`
// except the last), run as chunks of run_chunks.
template <class Range>
inline void parallel_ranges(u64 count, bool parallel, u64 grain, Range&& range) {
    if (count == 0) return;
    const unsigned threads = parallel ? loop_threads() : 1u;
    if (threads <= 1 || count <= grain) {
        range(u64(0), count);
        return;
    }
    u64 size = (count + threads * kChunksPerThread - 1) / (threads * kChunksPerThread);
    size = (size + grain - 1) / grain * grain;
    struct Job {
        std::remove_reference_t<Range>* range;
        u64 count;
        u64 size;
    } job{&range, count, size};
    run_chunks((count + size - 1) / size, threads,
               [](void* ctx, u64 c) noexcept {
                   const Job& j = *static_cast<const Job*>(ctx);
                   const u64 begin = c * j.size;
                   (*j.range)(begin, begin + j.size < j.count ? begin + j.size : j.count);
               },
               &job);
}

// body(i) for i in [0, count).
template <class Body>
inline void parallel_for(u64 count, bool parallel, Body&& body) {
    parallel_ranges(count, parallel, 1, [&](u64 begin, u64 end) {
        for (u64 i = begin; i < end; ++i) body(i);
    });
}

// Block structure of the deterministic sums: blocks of kSumBlock entries (more for counts
// beyond kSumBlock * kSumMaxBlocks, so that there are at most kSumMaxBlocks; always a
// multiple of 32), the last one shorter.
inline constexpr u64 kSumBlock = 8192;
inline constexpr u64 kSumMaxBlocks = 4096;

inline u64 sum_block_size(u64 count) {
    const u64 spread = (count + kSumMaxBlocks - 1) / kSumMaxBlocks;
    return spread <= kSumBlock ? kSumBlock : (spread + 31) / 32 * 32;
}

// Sum over [0, count) as block_sum(begin, end) of each block of the block structure, the
// block sums added in block order from 0.0. The blocks are the same whether or not the
// loop is parallel and whatever the number of threads, so the result depends on the data
// alone.
template <class BlockSum>
inline double blocked_sum(u64 count, bool parallel, BlockSum&& block_sum) {
    if (count == 0) return 0.0;
    const u64 block = sum_block_size(count);
    const u64 blocks = (count + block - 1) / block;
    const unsigned threads = parallel ? loop_threads() : 1u;
    double sum = 0.0;
    if (threads <= 1 || blocks <= 1) {
        for (u64 b = 0; b < blocks; ++b) {
            const u64 begin = b * block;
            sum += block_sum(begin, begin + block < count ? begin + block : count);
        }
        return sum;
    }
    double partial[kSumMaxBlocks];
    parallel_ranges(blocks, true, 1, [&](u64 first, u64 last) {
        for (u64 b = first; b < last; ++b) {
            const u64 begin = b * block;
            partial[b] = block_sum(begin, begin + block < count ? begin + block : count);
        }
    });
    for (u64 b = 0; b < blocks; ++b) sum += partial[b];
    return sum;
}

// Sum of term(i) over [0, count). The sequential sum runs in index order from 0.0. The
// parallel form cuts [0, count) into chunks of kSumChunk terms (the number of threads does
// not matter); inside its chunk it keeps eight interleaved partial sums (so the loop
// vectorises instead of waiting on one chain of additions), and the chunk sums are added
// in chunk order. Its last bits may therefore differ from the sequential order.
inline constexpr u64 kSumChunk = 4096;

template <class Term>
inline double parallel_sum(u64 count, bool parallel, Term&& term) {
    if (!parallel) {
        double sum = 0.0;
        for (u64 i = 0; i < count; ++i) sum += term(i);
        return sum;
    }
    auto chunk_sum = [&](u64 begin, u64 end) {
        double lanes[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        u64 i = begin;
        for (; i + 8 <= end; i += 8)
            for (int k = 0; k < 8; ++k) lanes[k] += term(i + k);
        double tail = 0.0;
        for (; i < end; ++i) tail += term(i);
        return (((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]))) +
               tail;
    };
    const u64 chunks = (count + kSumChunk - 1) / kSumChunk;
    double sum = 0.0;
    if (chunks <= kSumMaxBlocks) {
        double partial[kSumMaxBlocks];
        parallel_ranges(chunks, true, 1, [&](u64 first, u64 last) {
            for (u64 c = first; c < last; ++c)
                partial[c] = chunk_sum(c * kSumChunk, c + 1 < chunks ? (c + 1) * kSumChunk : count);
        });
        for (u64 c = 0; c < chunks; ++c) sum += partial[c];
        return sum;
    }
    // Beyond kSumMaxBlocks chunks: groups of chunks, each group's chunk sums added in order.
    const u64 per_group = (chunks + kSumMaxBlocks - 1) / kSumMaxBlocks;
    const u64 groups = (chunks + per_group - 1) / per_group;
    double partial[kSumMaxBlocks];
    parallel_ranges(groups, true, 1, [&](u64 first, u64 last) {
        for (u64 g = first; g < last; ++g) {
            double group = 0.0;
            const u64 end_chunk = (g + 1) * per_group < chunks ? (g + 1) * per_group : chunks;
            for (u64 c = g * per_group; c < end_chunk; ++c)
                group += chunk_sum(c * kSumChunk, c + 1 < chunks ? (c + 1) * kSumChunk : count);
            partial[g] = group;
        }
    });
    for (u64 g = 0; g < groups; ++g) sum += partial[g];
    return sum;
}

// True when fails(i) holds for some i. The sequential scan stops at the first failing
// entry. The parallel scan shares one flag that only goes false -> true; each chunk tests
// its entries in runs of 256 (a run is one vectorisable or-reduction) and skips the
// remaining runs once it has seen the flag set.
template <class Fails>
inline bool parallel_any(u64 count, bool parallel, Fails&& fails) {
    if (!parallel) {
        for (u64 i = 0; i < count; ++i)
            if (fails(i)) return true;
        return false;
    }
    constexpr u64 kRun = 256;
    std::atomic<bool> found{false};
    parallel_ranges(count, true, kRun, [&](u64 begin, u64 end) {
        for (u64 run = begin; run < end; run += kRun) {
            if (found.load(std::memory_order_relaxed)) return;
            const u64 stop = run + kRun < end ? run + kRun : end;
            double hits = 0.0;  // counted in doubles (exact up to 2^53): the loop vectorises
            for (u64 i = run; i < stop; ++i) hits += fails(i) ? 1.0 : 0.0;
            if (hits != 0.0) found.store(true, std::memory_order_relaxed);
        }
    });
    return found.load();
}

// True when range_fails(begin, end) holds for some range of [0, count): one call of the
// whole range unless `parallel`; else chunks of runs of kAnyRun entries, one call per run,
// with one shared flag that only goes false -> true and makes the remaining runs skip.
inline constexpr u64 kAnyRun = 8192;

template <class RangeFails>
inline bool parallel_any_ranges(u64 count, bool parallel, RangeFails&& range_fails) {
    if (!parallel) return range_fails(u64(0), count);
    std::atomic<bool> found{false};
    parallel_ranges(count, true, kAnyRun, [&](u64 begin, u64 end) {
        for (u64 run = begin; run < end; run += kAnyRun) {
            if (found.load(std::memory_order_relaxed)) return;
            if (range_fails(run, run + kAnyRun < end ? run + kAnyRun : end)) found.store(true, std::memory_order_relaxed);
        }
    });
    return found.load();
}

// Minimum of term(i) over [0, count): +infinity for an empty range, NaN when some term is
// NaN. The parallel form takes minima over chunks and combines them; a minimum of the same
// values is the same whatever the order.
template <class Term>
inline double parallel_min(u64 count, bool parallel, Term&& term) {
    struct Low {
        double low = HUGE_VAL;
        bool unordered = false;
    };
    auto range_min = [&](u64 begin, u64 end) {
        Low r;
        for (u64 i = begin; i < end; ++i) {
            const double v = term(i);
            if (v < r.low) r.low = v;
            r.unordered = r.unordered || v != v;
        }
        return r;
    };
    Low all;
    if (!parallel) {
        all = range_min(0, count);
    } else {
        std::atomic<bool> unordered{false};
        std::atomic<double> low{HUGE_VAL};
        parallel_ranges(count, true, 1, [&](u64 begin, u64 end) {
            const Low r = range_min(begin, end);
            if (r.unordered) unordered.store(true);
            double seen = low.load();
            while (r.low < seen && !low.compare_exchange_weak(seen, r.low)) {
            }
        });
        all.low = low.load();
        all.unordered = unordered.load();
    }
    return all.unordered ? NAN : all.low;
}

}  // namespace velkora::torv::cones::host
