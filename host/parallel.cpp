// The helper threads behind the parallel loops of host/parallel.hpp.
//
// Why not an OpenMP team: a team's fork and join are barriers of all its threads. On a
// machine whose cores are busy with other processes, a worker that the scheduler does not
// run in time holds the caller at the join for a time slice (milliseconds), and idle
// workers spin for a long while after each region, taking the cores that the caller and
// the other processes need. Here the caller never waits for a helper that has not started:
// the work is cut into chunks that every participant claims one at a time, the caller
// included, so a job whose helpers do not come in time is simply done by the caller; it
// waits only for chunks a helper has claimed and not finished. Idle helpers spin for a few
// microseconds and then sleep.
#include "host/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELKORA_SPIN_PAUSE() _mm_pause()
#else
#define VELKORA_SPIN_PAUSE() ((void)0)
#endif

namespace velkora::torv::cones::host {

namespace {

using Clock = std::chrono::steady_clock;

// How long an idle helper looks for the next job before it sleeps, and how long the caller
// spins on chunks still running in helpers before it yields its core to them.
constexpr auto kHelperSpin = std::chrono::microseconds(20);
constexpr auto kCallerSpin = std::chrono::microseconds(50);
// How long helpers_joining() stays false after jobs that found no helper.
constexpr auto kHelperRetry = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(20));

// The claim word: generation in the high 32 bits, next unclaimed chunk in the low 32 bits.
// A job's chunks are claimed by compare-and-swap on it; the caller closes the word (index
// kClosed) before it writes the next job's fields and opens it (index 0, next generation)
// after, so that a claim succeeds only against the job whose fields the claimant read.
constexpr std::uint64_t kIndexMask = 0xffffffffULL;
constexpr std::uint64_t kClosed = kIndexMask;

std::uint64_t generation_of(std::uint64_t word) { return word >> 32; }
std::uint64_t index_of(std::uint64_t word) { return word & kIndexMask; }

class Pool {
  public:
    // False when another job is running (a nested loop, or another thread of the process):
    // the caller then runs the loop by itself.
    bool try_run(u64 chunks, unsigned threads, ChunkTask task, void* ctx) {
        if (busy_.exchange(true)) return false;
        ensure_helpers(threads - 1);
        const std::uint64_t gen = generation_of(claim_.load()) + 1;
        claim_.store((gen - 1) << 32 | kClosed);  // no claim of the previous job from here on
        task_.store(task);
        ctx_.store(ctx);
        chunks_.store(chunks);
        participants_.store(threads);
        caller_cpu_.store(sched_getcpu());
        pending_.store(chunks);
        claim_.store(gen << 32);  // open
        if (sleepers_.load() > 0) {
            std::lock_guard<std::mutex> lock(sleep_mutex_);
            wake_.notify_all();
        }
        work(gen, task, ctx, chunks, false);
        wait_pending();
        unhelped_since_.store(helped_.exchange(false) ? 0 : Clock::now().time_since_epoch().count());
        busy_.store(false);
        return true;
    }

    // False for kHelperRetry after a job that found no helper (the other processors busy):
    // loops whose parallel form costs more work than their sequential one are then better
    // run by the caller alone.
    bool helpers_joining() const {
        const auto since = unhelped_since_.load();
        return since == 0 || Clock::now().time_since_epoch().count() - since > kHelperRetry.count();
    }

  private:
    // Claims and runs chunks of job `gen` until none is left (or the job is another).
    void work(std::uint64_t gen, ChunkTask task, void* ctx, u64 chunks, bool helper) {
        std::uint64_t word = claim_.load();
        for (;;) {
            if (generation_of(word) != gen || index_of(word) >= chunks) return;
            if (!claim_.compare_exchange_weak(word, word + 1)) continue;
            if (helper) helped_.store(true, std::memory_order_relaxed);
            task(ctx, index_of(word));
            pending_.fetch_sub(1);
            word = claim_.load();
        }
    }

    void wait_pending() {
        const auto start = Clock::now();
        unsigned spins = 0;
        while (pending_.load() != 0) {
            if (++spins % 64 == 0 && Clock::now() - start > kCallerSpin)
                sched_yield();  // a helper holding a chunk may be waiting for this core
            else
                VELKORA_SPIN_PAUSE();
        }
    }

    void ensure_helpers(unsigned wanted) {
        while (helpers_.load() < wanted) {
            const unsigned index = helpers_.load() + 1;  // the caller is participant 0
            try {
                std::thread([this, index] { helper(index); }).detach();
            } catch (const std::system_error&) {
                return;  // run with the helpers there are
            }
            helpers_.store(index);
        }
    }

    // A helper: waits for a job it may join (its index below the job's participant count),
    // claims chunks until none is left, and waits again.
    void helper(unsigned index) {
        std::uint64_t done_gen = generation_of(claim_.load());
        for (;;) {
            std::uint64_t word = wait_for_job(done_gen);
            const std::uint64_t gen = generation_of(word);
            // The fields are read after the open claim word; a claim succeeds only while the
            // word still names this job, so a job replaced meanwhile is never run.
            const ChunkTask task = task_.load();
            void* const ctx = ctx_.load();
            const u64 chunks = chunks_.load();
            // A helper that the scheduler has put on the caller's own processor (the others
            // being busy) would only take turns with the caller: it leaves the job to it.
            if (index < participants_.load() && sched_getcpu() != caller_cpu_.load())
                work(gen, task, ctx, chunks, true);
            done_gen = gen;
        }
    }

    // The claim word of the first open job after `done_gen`: spins for a while, then sleeps.
    std::uint64_t wait_for_job(std::uint64_t done_gen) {
        const auto start = Clock::now();
        unsigned spins = 0;
        for (;;) {
            const std::uint64_t word = claim_.load();
            if (generation_of(word) != done_gen && index_of(word) != kClosed) return word;
            if (++spins % 64 == 0 && Clock::now() - start > kHelperSpin) break;
            VELKORA_SPIN_PAUSE();
        }
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        sleepers_.fetch_add(1);
        std::uint64_t word = claim_.load();
        while (generation_of(word) == done_gen || index_of(word) == kClosed) {
            wake_.wait(lock);
            word = claim_.load();
        }
        sleepers_.fetch_sub(1);
        return word;
    }

    std::atomic<bool> busy_{false};
    std::atomic<std::uint64_t> claim_{0};
    std::atomic<ChunkTask> task_{nullptr};
    std::atomic<void*> ctx_{nullptr};
    std::atomic<u64> chunks_{0};
    std::atomic<unsigned> participants_{0};
    std::atomic<int> caller_cpu_{-1};
    std::atomic<bool> helped_{false};
    std::atomic<Clock::rep> unhelped_since_{0};  // end of the last job if it found no helper, else 0
    std::atomic<u64> pending_{0};
    std::atomic<unsigned> helpers_{0};
    std::atomic<unsigned> sleepers_{0};
    std::mutex sleep_mutex_;
    std::condition_variable wake_;
};

// One pool per process, never destroyed (its helpers may still be waiting on it while the
// process exits). A child made by fork has none of the parent's threads: it starts a pool
// of its own on its first parallel loop.
std::atomic<Pool*> g_pool{nullptr};
std::once_flag g_fork_handler;

void forget_pool_in_child() { g_pool.store(nullptr); }

Pool* pool() {
    Pool* p = g_pool.load();
    if (p != nullptr) return p;
    std::call_once(g_fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    Pool* fresh = new (std::nothrow) Pool();
    if (fresh == nullptr) return nullptr;
    Pool* expected = nullptr;
    if (!g_pool.compare_exchange_strong(expected, fresh)) {
        delete fresh;
        return expected;
    }
    return fresh;
}

}  // namespace

unsigned loop_threads() {
    const int threads = omp_get_max_threads();
    return threads > 1 ? static_cast<unsigned>(threads) : 1u;
}

bool helpers_joining() {
    Pool* p = g_pool.load();
    return p == nullptr || p->helpers_joining();
}

void run_chunks(u64 chunks, unsigned threads, ChunkTask task, void* ctx) {
    if (chunks > 1 && threads > 1 && chunks < kClosed) {
        Pool* p = pool();
        if (p != nullptr && p->try_run(chunks, threads, task, ctx)) return;
    }
    for (u64 c = 0; c < chunks; ++c) task(ctx, c);
}

}  // namespace velkora::torv::cones::host
