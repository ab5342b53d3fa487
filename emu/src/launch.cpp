// Kernel execution for the emulator: the blocks of a queued kernel, one cooperative fiber per thread;
// in plain order blocks and threads run in index order, in random order (a seeded permutation of the
// blocks, threads drawn at random and switched out at random memory accesses) any interleaving a GPU
// could produce between barriers may show. Also the memory-access hooks (watchdog, race checks).
//
// Fibers are started with makecontext and afterwards switched with _setjmp/_longjmp, which (unlike
// swapcontext) makes no signal-mask system call. A fiber is a worker: it keeps taking not-yet-started
// threads of the block and only hands control back when its thread waits at a barrier or no work is
// left, so a block that never synchronizes costs two switches in total, not two per thread.

// The fortified longjmp refuses to jump to another stack, which is exactly what fibers do.
#undef _FORTIFY_SOURCE

#include "internal.h"

#include <setjmp.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define CUEMU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CUEMU_ASAN 1
#endif
#endif
#ifdef CUEMU_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace cuemu {
namespace detail {
__thread const ThreadCoords* current = nullptr;
}  // namespace detail

namespace {

constexpr size_t kStackBytes = 256 * 1024;       // per emulated thread; a guard page sits below
constexpr size_t kMaxDynamicShared = 48 * 1024;  // without opt-in, as on the real devices

size_t page_size() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

[[noreturn]] void fatal(const char* msg) {
    std::fprintf(stderr, "cuemu: %s\n", msg);
    std::abort();
}

// Stack switches told to AddressSanitizer (no-ops in other builds): before leaving a stack,
// start(save slot of the stack we leave, bottom and size of the stack we enter); first thing
// after arriving, finish(the fake stack saved when this stack was left, where to store the
// bounds of the stack we came from).
inline void switch_start([[maybe_unused]] void** save, [[maybe_unused]] const void* bottom,
                         [[maybe_unused]] size_t size) {
#ifdef CUEMU_ASAN
    __sanitizer_start_switch_fiber(save, bottom, size);
#endif
}

inline void switch_finish([[maybe_unused]] void* save, [[maybe_unused]] const void** bottom_old,
                          [[maybe_unused]] size_t* size_old) {
#ifdef CUEMU_ASAN
    __sanitizer_finish_switch_fiber(save, bottom_old, size_old);
#endif
}

// Frames abandoned on a fiber stack (a failed block) leave their redzones poisoned; a stack
// that starts over, or is unmapped, is cleared first.
inline void unpoison([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef CUEMU_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
}

enum class State : unsigned char { Pending, Running, Runnable, Waiting, Done };

struct Fiber {
    jmp_buf ctx;
    char* map = nullptr;  // guard page followed by the stack
    size_t map_len = 0;
    bool fresh = true;    // needs a new entry frame before it can be resumed
    void* fake_stack = nullptr;  // AddressSanitizer's save slot while the fiber is parked

    char* stack() const { return map + page_size(); }
};

struct Slot {
    detail::ThreadCoords coords;
    Fiber* fiber = nullptr;
    const char* site_file = nullptr;
    int site_line = 0;
    State state = State::Pending;
    unsigned long long ops = 0;  // memory accesses so far (the watchdog's count)
    // Warp barrier (__syncwarp and the shuffles): waiting at one, with this mask; for a shuffle
    // the value offered to the other lanes, the lane read from (-1: none) and what it received.
    bool at_warp = false;
    unsigned warp_mask = 0;
    unsigned long long offer = 0, received = 0;
    int source = -1;
};

// What the blocks of one launch did to one 8-byte granule of device memory (race checks).
struct Shadow {
    unsigned long long writer = 0;  // block (linear index + 1) that wrote it; 0: none
    unsigned long long reader = 0;  // a block that read it; 0: none
    unsigned char wmask = 0;        // bytes written by `writer`
    unsigned char rmask = 0;        // bytes read by any block
    bool readers = false;           // read by more than one block
};

// Everything one OS thread needs to run kernels; fibers and buffers are reused across launches.
struct Scheduler {
    jmp_buf ctx;
    bool active = false;
    // The launching OS thread's own stack, as AddressSanitizer reports it on a switch.
    const void* home_bottom = nullptr;
    size_t home_size = 0;
    void* home_fake_stack = nullptr;

    const char* kernel = "";
    void (*body)(void*) = nullptr;
    void* arg = nullptr;
    detail::BlockCoords block{};
    std::vector<Slot> slots;
    unsigned nthreads = 0;
    unsigned next = 0;     // plain order: first thread of the block not yet started
    unsigned done = 0;
    unsigned waiting = 0;       // at a block barrier
    unsigned warp_waiting = 0;  // at a warp barrier
    Slot* running = nullptr;
    bool failed = false;
    cudaError_t status = cudaErrorLaunchFailure;
    std::string failure;

    // Modes of the launch being run.
    bool random = false;   // random block order and thread switches
    bool races = false;
    bool perturb = false;
    unsigned long long op_limit = ~0ull;
    uint64_t rng = 0;
    std::vector<unsigned> pending;  // random order: threads not started yet
    std::vector<Slot*> runnable;    // random order: switched-out threads and released waiters
    Slot* assigned = nullptr;       // random order: the thread a fresh fiber starts with
    unsigned long long block_id = 0;
    std::unordered_map<uintptr_t, Shadow> shadow;
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;  // device allocations, sorted

    // Block window of the next launch on this thread (count 0: every block runs).
    unsigned long long window_first = 0;
    unsigned long long window_count = 0;

    std::vector<Fiber*> all;
    std::vector<Fiber*> idle;
    Fiber* booting = nullptr;

    // Dynamic shared memory: the buffer ends right at a guard page, so overruns fault.
    char* shm_map = nullptr;
    size_t shm_map_len = 0;
    char* shm = nullptr;

    Scheduler() = default;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    ~Scheduler() {
        for (Fiber* f : all) {
            unpoison(f->stack(), kStackBytes);
            munmap(f->map, f->map_len);
            delete f;
        }
        if (shm_map) munmap(shm_map, shm_map_len);
    }
};

thread_local Scheduler t_sched;

// Kernels run one at a time in the process: static shared memory and the race shadow are single.
std::mutex& exec_mutex() {
    static std::mutex* mu = new std::mutex;
    return *mu;
}

// Static shared memory sections of the loaded shared objects.
std::mutex& sections_mutex() {
    static std::mutex* mu = new std::mutex;
    return *mu;
}
std::vector<std::pair<char*, char*>>& sections() {
    static auto* list = new std::vector<std::pair<char*, char*>>;
    return *list;
}

uint64_t next_random(Scheduler& s) {  // splitmix64
    uint64_t z = (s.rng += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

void fiber_main();

Fiber* new_fiber(Scheduler& s) {
    const size_t page = page_size();
    const size_t len = kStackBytes + page;
    void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                   -1, 0);
    if (m == MAP_FAILED) fatal("cannot map a fiber stack");
    if (mprotect(m, page, PROT_NONE) != 0) fatal("cannot protect a fiber stack guard page");
    Fiber* f = new Fiber;
    f->map = static_cast<char*>(m);
    f->map_len = len;
    s.all.push_back(f);
    s.idle.reserve(s.all.size());  // idle fibers push themselves back without allocating
    return f;
}

Fiber* acquire(Scheduler& s) {
    if (s.idle.empty()) return new_fiber(s);
    Fiber* f = s.idle.back();
    s.idle.pop_back();
    return f;
}

// Switches from the scheduler into f and returns when f switches back. Kept out of line so no
// caller local lives across the double return of _setjmp.
__attribute__((noinline)) void resume(Scheduler& s, Fiber* f) {
    switch_start(&s.home_fake_stack, f->stack(), kStackBytes);
    if (_setjmp(s.ctx) != 0) {
        switch_finish(s.home_fake_stack, nullptr, nullptr);
        return;
    }
    if (!f->fresh) _longjmp(f->ctx, 1);
    f->fresh = false;
    f->fake_stack = nullptr;
    unpoison(f->stack(), kStackBytes);
    s.booting = f;
    ucontext_t uc;
    if (getcontext(&uc) != 0) fatal("getcontext failed");
    uc.uc_stack.ss_sp = f->stack();
    uc.uc_stack.ss_size = kStackBytes;
    uc.uc_link = nullptr;
    makecontext(&uc, fiber_main, 0);
    setcontext(&uc);
    fatal("setcontext failed");
}

__attribute__((noinline)) void yield(Scheduler& s, Fiber* self) {
    switch_start(&self->fake_stack, s.home_bottom, s.home_size);
    if (_setjmp(self->ctx) == 0) _longjmp(s.ctx, 1);
    switch_finish(self->fake_stack, &s.home_bottom, &s.home_size);
}

void fail(Scheduler& s, const std::string& why, cudaError_t status = cudaErrorLaunchFailure) {
    if (s.failed) return;
    s.failed = true;
    s.failure = why;
    s.status = status;
}

std::string coords_text(uint3 v) {
    return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

std::string block_text(const Scheduler& s) {
    return std::string("kernel ") + s.kernel + " block " + coords_text(s.block.index) + ": ";
}

std::string thread_text(const Scheduler& s, const Slot& t) {
    return block_text(s) + "thread " + coords_text(t.coords.index) + ": ";
}

void run_body(Scheduler& s) {
    try {
        s.body(s.arg);
    } catch (const std::exception& e) {
        fail(s, block_text(s) + "exception escaped the kernel: " + e.what());
    } catch (...) {
        fail(s, block_text(s) + "unknown exception escaped the kernel");
    }
}

// The thread that runs next on a fresh or finishing fiber: in plain order the next one of the
// block, in random order the one the scheduler assigned.
Slot* take_thread(Scheduler& s) {
    if (s.failed) return nullptr;
    if (s.random) {
        Slot* t = s.assigned;
        s.assigned = nullptr;
        return t;
    }
    return s.next < s.nthreads ? &s.slots[s.next++] : nullptr;
}

// Entry of every fiber; never returns (its context has no successor).
void fiber_main() {
    Scheduler& s = t_sched;
    Fiber* const self = s.booting;
    switch_finish(nullptr, &s.home_bottom, &s.home_size);
    for (;;) {
        while (Slot* t = take_thread(s)) {
            t->fiber = self;
            t->state = State::Running;
            t->ops = 0;
            t->at_warp = false;
            s.running = t;
            detail::current = &t->coords;
            run_body(s);
            t->state = State::Done;
            ++s.done;
        }
        s.running = nullptr;
        detail::current = nullptr;
        s.idle.push_back(self);
        yield(s, self);
    }
}

// Parks the running thread t and returns to the scheduler (a barrier, a random switch, or for
// good when the launch has failed); returns when the scheduler resumes it.
void park(Scheduler& s, Slot* t, State state) {
    t->state = state;
    if (state == State::Runnable) s.runnable.push_back(t);
    s.running = nullptr;
    detail::current = nullptr;
    yield(s, t->fiber);
}

// Ends the launch from inside a running thread: it is parked and never resumed.
[[noreturn]] void kill_thread(Scheduler& s, Slot* t, const std::string& why, cudaError_t status) {
    fail(s, why, status);
    park(s, t, State::Waiting);
    fatal("a thread of a failed launch was resumed");
}

bool same_site(const Slot& a, const Slot& b) {
    return a.site_line == b.site_line &&
           (a.site_file == b.site_file || std::strcmp(a.site_file, b.site_file) == 0);
}

std::string site_text(const Slot& t) { return std::string(t.site_file) + ":" + std::to_string(t.site_line); }

// Every thread is waiting or finished: a barrier needs all of them at one site. Releases them
// (true), or fails the launch.
bool release_barrier(Scheduler& s) {
    if (s.done > 0) {
        for (unsigned i = 0; i < s.nthreads; ++i)
            if (s.slots[i].state == State::Done) {
                for (unsigned j = 0; j < s.nthreads; ++j)
                    if (s.slots[j].state == State::Waiting) {
                        fail(s, block_text(s) + "thread " + coords_text(s.slots[i].coords.index) + " exited while " +
                                    std::to_string(s.waiting) + " thread(s) wait at the barrier at " +
                                    site_text(s.slots[j]));
                        return false;
                    }
            }
    }
    for (unsigned i = 1; i < s.nthreads; ++i)
        if (!same_site(s.slots[i], s.slots[0])) {
            fail(s, block_text(s) + "threads wait at different barriers: thread " +
                        coords_text(s.slots[0].coords.index) + " at " + site_text(s.slots[0]) + ", thread " +
                        coords_text(s.slots[i].coords.index) + " at " + site_text(s.slots[i]));
            return false;
        }
    s.waiting = 0;
    return true;
}

// Lanes that wait at a warp barrier nobody else can reach any more (no thread is left to run):
// the launch fails naming the first of them.
bool warp_deadlock(Scheduler& s) {
    if (s.warp_waiting == 0) return false;
    for (unsigned i = 0; i < s.nthreads; ++i) {
        const Slot& t = s.slots[i];
        if (t.state != State::Waiting || !t.at_warp) continue;
        char mask[16];
        std::snprintf(mask, sizeof mask, "%#010x", t.warp_mask);
        fail(s, thread_text(s, t) + "waits at the warp barrier at " + site_text(t) + " (mask " + mask +
                    ") for lanes that never arrive there");
        break;
    }
    return true;
}

// Every thread of the next block starts not yet started (a warp barrier looks at its lanes' states).
void restart_slots(Scheduler& s) {
    for (unsigned i = 0; i < s.nthreads; ++i) {
        s.slots[i].state = State::Pending;
        s.slots[i].at_warp = false;
    }
}

// Plain order: threads in order, each to its end or its next barrier; threads released from a
// warp barrier run next, in the order they were released.
bool run_block_in_order(Scheduler& s) {
    s.next = s.done = s.waiting = s.warp_waiting = 0;
    restart_slots(s);
    s.runnable.clear();
    size_t head = 0;
    for (;;) {
        while (s.next < s.nthreads && !s.failed) resume(s, acquire(s));
        if (s.failed) return false;
        if (head < s.runnable.size()) {
            Slot* t = s.runnable[head++];
            t->state = State::Running;
            s.running = t;
            detail::current = &t->coords;
            resume(s, t->fiber);
            continue;
        }
        s.runnable.clear();
        head = 0;
        if (warp_deadlock(s)) return false;
        if (s.waiting == 0) return true;  // every thread finished
        if (!release_barrier(s)) return false;
        // Release in thread order; each runs to its next barrier or to its end.
        for (unsigned i = 0; i < s.nthreads; ++i) {
            s.slots[i].state = State::Runnable;
            s.runnable.push_back(&s.slots[i]);
        }
    }
}

// Random order: the next thread to run is drawn from those not started, switched out at a
// memory access, or released from a barrier.
bool run_block_randomly(Scheduler& s) {
    s.done = s.waiting = s.warp_waiting = 0;
    restart_slots(s);
    s.pending.resize(s.nthreads);
    for (unsigned i = 0; i < s.nthreads; ++i) s.pending[i] = i;
    s.runnable.clear();
    for (;;) {
        if (s.failed) return false;
        const size_t choices = s.pending.size() + s.runnable.size();
        if (choices == 0) {
            if (warp_deadlock(s)) return false;
            if (s.waiting == 0) return true;
            if (!release_barrier(s)) return false;
            for (unsigned i = 0; i < s.nthreads; ++i)
                if (s.slots[i].state == State::Waiting) {
                    s.slots[i].state = State::Runnable;
                    s.runnable.push_back(&s.slots[i]);
                }
            continue;
        }
        const size_t k = next_random(s) % choices;
        if (k < s.pending.size()) {
            s.assigned = &s.slots[s.pending[k]];
            s.pending[k] = s.pending.back();
            s.pending.pop_back();
            resume(s, acquire(s));
        } else {
            Slot* t = s.runnable[k - s.pending.size()];
            s.runnable[k - s.pending.size()] = s.runnable.back();
            s.runnable.pop_back();
            t->state = State::Running;
            s.running = t;
            detail::current = &t->coords;
            resume(s, t->fiber);
        }
    }
}

// Parked fibers of an abandoned block hold dead frames: restart them from scratch next time.
void abandon(Scheduler& s) {
    for (unsigned i = 0; i < s.nthreads; ++i) {
        Slot& t = s.slots[i];
        if (t.state == State::Waiting || t.state == State::Runnable) {
            t.fiber->fresh = true;
            s.idle.push_back(t.fiber);
        }
        t.state = State::Pending;
        t.at_warp = false;
    }
    s.runnable.clear();
    s.pending.clear();
    s.assigned = nullptr;
}

void prepare_shared(Scheduler& s, size_t bytes) {
    if (!s.shm_map) {
        const size_t page = page_size();
        const size_t len = (kMaxDynamicShared + page - 1) / page * page;
        void* m = mmap(nullptr, len + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) fatal("cannot map dynamic shared memory");
        s.shm_map = static_cast<char*>(m);
        s.shm_map_len = len + page;
        if (mprotect(s.shm_map + len, page, PROT_NONE) != 0) fatal("cannot protect the shared memory guard");
    }
    const size_t rounded = (bytes + 15) / 16 * 16;  // keep 16-byte alignment for double2
    s.shm = s.shm_map + (s.shm_map_len - page_size()) - rounded;
}

// Shared memory starts undefined in every block: static and dynamic shared memory are poisoned
// (doubles read as NaN, integers as -1).
void poison_shared(Scheduler& s, const std::vector<std::pair<char*, char*>>& statics, size_t dynamic) {
    for (const auto& [begin, end] : statics) std::memset(begin, 0xFF, static_cast<size_t>(end - begin));
    std::memset(s.shm, 0xFF, dynamic);
}

unsigned long long gcd(unsigned long long a, unsigned long long b) {
    while (b) {
        const unsigned long long r = a % b;
        a = b;
        b = r;
    }
    return a;
}

bool run_grid(Scheduler& s, const internal::KernelTask& task) {
    const dim3 grid = task.grid, block = task.block;
    s.active = true;
    s.kernel = task.name.c_str();
    s.body = task.body;
    s.arg = task.ctx;
    s.failed = false;
    s.status = cudaErrorLaunchFailure;
    s.failure.clear();
    s.nthreads = block.x * block.y * block.z;
    if (s.slots.size() < s.nthreads) s.slots.resize(s.nthreads);
    s.block.dim = block;
    s.block.grid = grid;
    for (unsigned i = 0; i < s.nthreads; ++i) {
        Slot& t = s.slots[i];
        t.coords.index = uint3{i % block.x, (i / block.x) % block.y, i / (block.x * block.y)};
        t.coords.block = &s.block;
        t.state = State::Pending;
    }
    prepare_shared(s, task.shared_bytes);
    std::vector<std::pair<char*, char*>> statics;
    {
        std::lock_guard<std::mutex> lock(sections_mutex());
        statics = sections();
    }

    // Blocks to run: the window (or all), visited as first + (a*i + c) mod count with a coprime
    // to count in random order, a = 1 and c = 0 in plain order.
    const unsigned long long total = static_cast<unsigned long long>(grid.x) * grid.y * grid.z;
    unsigned long long first = 0, count = total;
    if (task.window_count != 0) {
        first = task.window_first < total ? task.window_first : total;
        count = total - first < task.window_count ? total - first : task.window_count;
    }
    unsigned long long a = 1, c = 0;
    if (s.random && count > 1) {
        a = next_random(s) % count;
        while (a == 0 || gcd(a, count) != 1) a = (a + 1) % count;
        c = next_random(s) % count;
    }

    internal::begin_device_work(task.device);
    bool ok = true;
    for (unsigned long long i = 0; ok && i < count; ++i) {
        const unsigned long long linear =
            first + static_cast<unsigned long long>((static_cast<unsigned __int128>(a) * i + c) % count);
        s.block.index = uint3{static_cast<unsigned>(linear % grid.x), static_cast<unsigned>((linear / grid.x) % grid.y),
                              static_cast<unsigned>(linear / (static_cast<unsigned long long>(grid.x) * grid.y))};
        s.block_id = linear + 1;
        poison_shared(s, statics, task.shared_bytes);
        ok = s.random ? run_block_randomly(s) : run_block_in_order(s);
    }
    internal::end_device_work(task.device);

    if (!ok) abandon(s);
    s.active = false;
    s.running = nullptr;
    s.body = nullptr;
    s.arg = nullptr;
    s.shadow.clear();
    s.ranges.clear();
    detail::current = nullptr;
    return ok;
}

// --- memory-access hooks -----------------------------------------------------------------------
// The device sources of the emulation build are compiled with the compiler's thread-sanitizer
// instrumentation, whose calls land here instead of in a sanitizer runtime: every load and store
// of a kernel that may touch memory other than its own stack. Outside kernels they return at once.

bool in_device_memory(const Scheduler& s, uintptr_t a) {
    auto it = std::upper_bound(s.ranges.begin(), s.ranges.end(), std::make_pair(a, ~uintptr_t(0)));
    if (it == s.ranges.begin()) return false;
    --it;
    return a < it->second;
}

std::string block_name(const Scheduler& s, unsigned long long id) {
    const unsigned long long linear = id - 1;
    const dim3 grid = s.block.grid;
    return "block " + coords_text(uint3{static_cast<unsigned>(linear % grid.x),
                                        static_cast<unsigned>((linear / grid.x) % grid.y),
                                        static_cast<unsigned>(linear / (static_cast<unsigned long long>(grid.x) * grid.y))});
}

// Blocks of one launch may share device memory only by reading what nobody writes.
void track(Scheduler& s, Slot* t, uintptr_t a, size_t size, bool write) {
    if (!in_device_memory(s, a)) return;
    const unsigned long long b = s.block_id;
    const uintptr_t last = a + size - 1;
    for (uintptr_t gr = a >> 3; gr <= (last >> 3); ++gr) {
        const uintptr_t lo = std::max(a, gr << 3), hi = std::min(last, (gr << 3) | 7);
        const unsigned char mask = static_cast<unsigned char>(((1u << (hi - lo + 1)) - 1) << (lo & 7));
        Shadow& sh = s.shadow[gr];
        const char* conflict = nullptr;
        unsigned long long other = 0;
        if (write) {
            if (sh.writer && sh.writer != b && (sh.wmask & mask)) {
                conflict = "writes device memory that another block of the launch writes";
                other = sh.writer;
            } else if (sh.reader && (sh.reader != b || sh.readers) && (sh.rmask & mask)) {
                conflict = "writes device memory that another block of the launch reads";
                other = sh.reader != b ? sh.reader : 0;
            }
            if (sh.writer != b) sh.wmask = 0;
            sh.writer = b;
            sh.wmask |= mask;
        } else {
            if (sh.writer && sh.writer != b && (sh.wmask & mask)) {
                conflict = "reads device memory that another block of the launch writes";
                other = sh.writer;
            }
            if (!sh.reader) sh.reader = b;
            else if (sh.reader != b) sh.readers = true;
            sh.rmask |= mask;
        }
        if (conflict) {
            char addr[32];
            std::snprintf(addr, sizeof addr, "%#lx", static_cast<unsigned long>(gr << 3));
            kill_thread(s, t,
                        thread_text(s, *t) + conflict + " (granule " + addr + (other ? ", " + block_name(s, other) : "") +
                            ")",
                        cudaErrorLaunchFailure);
        }
    }
}

[[maybe_unused]] inline void on_access(const void* p, size_t size, bool write) {
    if (detail::current == nullptr) return;
    Scheduler& s = t_sched;
    Slot* t = s.running;
    if (!t) return;
    if (++t->ops > s.op_limit)
        kill_thread(s, t,
                    thread_text(s, *t) + "made more than " + std::to_string(s.op_limit) +
                        " memory accesses (watchdog; CUEMU_OP_LIMIT)",
                    cudaErrorLaunchTimeout);
    if (s.races) track(s, t, reinterpret_cast<uintptr_t>(p), size, write);
    if (s.random && (next_random(s) & 7) == 0) {
        park(s, t, State::Runnable);  // another thread of the block may run first
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Internal entry points
// ---------------------------------------------------------------------------------------------
namespace internal {

cudaError_t execute_kernel(KernelTask& task, std::string* reason) {
    if (task.injected != cudaSuccess) {
        *reason = "kernel " + task.name + ": injected " + cudaGetErrorName(task.injected);
        note_launch_failure(*reason);
        return task.injected;
    }
    std::lock_guard<std::mutex> lock(exec_mutex());
    Scheduler& s = t_sched;
    if (s.active) fatal("kernel execution re-entered on one thread");
    const Modes m = current_modes();
    s.random = m.random_order;
    s.perturb = m.perturb_math;
    s.op_limit = m.op_limit;
    s.races = task.race_checks;
    s.rng = m.seed * 0x100000001b3ull + task.sequence;
    if (s.races) s.ranges = allocation_ranges();
    if (run_grid(s, task)) return cudaSuccess;
    *reason = s.failure;
    note_launch_failure(s.failure);
    return s.status;
}

std::pair<unsigned long long, unsigned long long> take_block_window() {
    Scheduler& s = t_sched;
    const auto w = std::make_pair(s.window_first, s.window_count);
    s.window_first = s.window_count = 0;
    return w;
}

bool perturbing_math() { return detail::current != nullptr && t_sched.perturb; }

}  // namespace internal

void run_only_blocks(unsigned long long first, unsigned long long count) {
    t_sched.window_first = first;
    t_sched.window_count = count;
}

void* dynamic_shared_memory() {
    Scheduler& s = t_sched;
    return s.active ? s.shm : nullptr;
}

int register_shared_section(char* begin, char* end) {
    if (!begin || !end || end <= begin) return 0;
    std::lock_guard<std::mutex> lock(sections_mutex());
    auto& list = sections();
    if (std::find(list.begin(), list.end(), std::make_pair(begin, end)) == list.end()) list.emplace_back(begin, end);
    return 0;
}

void syncthreads(const char* file, int line) {
    Scheduler& s = t_sched;
    Slot* t = s.running;
    if (!t) fatal("__syncthreads() called outside a kernel");
    t->site_file = file ? file : "";
    t->site_line = line;
    ++s.waiting;
    park(s, t, State::Waiting);
    // Released: the scheduler has made this thread current again.
}

namespace {

constexpr unsigned kWarpSize = 32;

std::string site_of(const char* file, int line) { return std::string(file ? file : "") + ":" + std::to_string(line); }

// The running thread t waits at the warp barrier at (file, line) with `mask` (lanes of its own
// warp: the 32 consecutive threads of the block that hold it) until every lane named there has
// arrived at the same site with the same mask; the last to arrive releases them all (and hands
// each shuffling lane the value offered by the lane it reads). As on the device, the mask must
// name the caller; a named lane that has exited, or that the block does not have, is a fault.
void warp_barrier(Scheduler& s, Slot* t, unsigned mask, const char* file, int line) {
    const unsigned index = static_cast<unsigned>(t - s.slots.data());
    const unsigned lane = index % kWarpSize, base = index - lane;
    const std::string where = thread_text(s, *t) + "warp barrier at " + site_of(file, line) + ": ";
    if (!((mask >> lane) & 1u)) kill_thread(s, t, where + "its mask does not name the calling lane", cudaErrorLaunchFailure);
    t->site_file = file ? file : "";
    t->site_line = line;
    t->warp_mask = mask;
    t->at_warp = true;
    t->state = State::Waiting;
    ++s.warp_waiting;
    bool complete = true;
    for (unsigned b = 0; b < kWarpSize; ++b) {
        if (!((mask >> b) & 1u)) continue;
        if (base + b >= s.nthreads)
            kill_thread(s, t, where + "its mask names lane " + std::to_string(b) + ", which the block does not have",
                        cudaErrorLaunchFailure);
        const Slot& o = s.slots[base + b];
        if (o.state == State::Done)
            kill_thread(s, t, where + "lane " + std::to_string(b) + " of its mask has exited", cudaErrorLaunchFailure);
        if (!(o.state == State::Waiting && o.at_warp && o.warp_mask == mask && same_site(o, *t))) complete = false;
    }
    if (!complete) {
        park(s, t, State::Waiting);
        return;  // released by the last lane to arrive
    }
    for (unsigned b = 0; b < kWarpSize; ++b) {
        if (!((mask >> b) & 1u)) continue;
        Slot& o = s.slots[base + b];
        if (o.source >= 0) {
            if (!((mask >> o.source) & 1u))
                kill_thread(s, t,
                            thread_text(s, o) + "shuffle at " + site_of(file, line) + " reads lane " +
                                std::to_string(o.source) + ", which its mask does not name",
                            cudaErrorLaunchFailure);
            o.received = s.slots[base + static_cast<unsigned>(o.source)].offer;
        }
    }
    for (unsigned b = 0; b < kWarpSize; ++b) {
        if (!((mask >> b) & 1u)) continue;
        Slot& o = s.slots[base + b];
        o.at_warp = false;
        --s.warp_waiting;
        if (&o != t) {
            o.state = State::Runnable;
            s.runnable.push_back(&o);
        }
    }
    t->state = State::Running;
    if (s.random) park(s, t, State::Runnable);  // any released lane may run first
}

}  // namespace

void syncwarp(unsigned mask, const char* file, int line) {
    Scheduler& s = t_sched;
    Slot* t = s.running;
    if (!t) fatal("__syncwarp() called outside a kernel");
    t->source = -1;
    warp_barrier(s, t, mask, file, line);
}

unsigned long long shuffle(unsigned mask, unsigned long long value, int selector, int width, bool xor_lanes,
                           const char* file, int line) {
    Scheduler& s = t_sched;
    Slot* t = s.running;
    if (!t) fatal("a warp shuffle called outside a kernel");
    if (width < 1 || width > static_cast<int>(kWarpSize) || (width & (width - 1)) != 0)
        kill_thread(s, t, thread_text(s, *t) + "shuffle at " + site_of(file, line) + ": width " +
                              std::to_string(width) + " is not a power of two up to 32",
                    cudaErrorLaunchFailure);
    const unsigned lane = static_cast<unsigned>(t - s.slots.data()) % kWarpSize;
    const unsigned w = static_cast<unsigned>(width), segment = lane & ~(w - 1);
    unsigned source;
    if (xor_lanes) {
        source = lane ^ static_cast<unsigned>(selector);
        if (source >= segment + w) source = lane;  // a later segment: the caller's own value
    } else {
        source = segment + (static_cast<unsigned>(selector) & (w - 1));
    }
    t->offer = value;
    t->source = static_cast<int>(source);
    warp_barrier(s, t, mask, file, line);
    t->source = -1;
    return t->received;
}

}  // namespace cuemu

// Thread-sanitizer instrumentation entry points (see on_access). The sanitizer build declares
// them itself (its device code is not instrumented: AddressSanitizer excludes it), so there
// they are left out.
#ifndef CUEMU_ASAN
extern "C" {
#define CUEMU_ACCESS_HOOKS(n)                                                                    \
    CUEMU_API void __tsan_read##n(void* p) { cuemu::on_access(p, n, false); }                   \
    CUEMU_API void __tsan_write##n(void* p) { cuemu::on_access(p, n, true); }                   \
    CUEMU_API void __tsan_unaligned_read##n(void* p) { cuemu::on_access(p, n, false); }         \
    CUEMU_API void __tsan_unaligned_write##n(void* p) { cuemu::on_access(p, n, true); }         \
    CUEMU_API void __tsan_volatile_read##n(void* p) { cuemu::on_access(p, n, false); }          \
    CUEMU_API void __tsan_volatile_write##n(void* p) { cuemu::on_access(p, n, true); }
CUEMU_ACCESS_HOOKS(1)
CUEMU_ACCESS_HOOKS(2)
CUEMU_ACCESS_HOOKS(4)
CUEMU_ACCESS_HOOKS(8)
CUEMU_ACCESS_HOOKS(16)
#undef CUEMU_ACCESS_HOOKS
CUEMU_API void __tsan_read_range(void* p, unsigned long n) {
    if (n) cuemu::on_access(p, n, false);
}
CUEMU_API void __tsan_write_range(void* p, unsigned long n) {
    if (n) cuemu::on_access(p, n, true);
}
CUEMU_API void __tsan_init() {}
CUEMU_API void __tsan_func_entry(void*) {}
CUEMU_API void __tsan_func_exit() {}
CUEMU_API void __tsan_vptr_update(void**, void*) {}
CUEMU_API void __tsan_vptr_read(void**) {}
}

// Atomic operations of instrumented code (the instrumentation routes them here too); every one
// is sequentially consistent, which is at least as strong as what was asked.
extern "C" {
#define CUEMU_ATOMIC_HOOKS(bits, T)                                                                          \
    CUEMU_API T __tsan_atomic##bits##_load(const volatile T* a, int) { return __atomic_load_n(a, __ATOMIC_SEQ_CST); } \
    CUEMU_API void __tsan_atomic##bits##_store(volatile T* a, T v, int) { __atomic_store_n(a, v, __ATOMIC_SEQ_CST); } \
    CUEMU_API T __tsan_atomic##bits##_exchange(volatile T* a, T v, int) {                                   \
        return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST);                                                  \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_fetch_add(volatile T* a, T v, int) {                                  \
        return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_fetch_sub(volatile T* a, T v, int) {                                  \
        return __atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_fetch_and(volatile T* a, T v, int) {                                  \
        return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_fetch_or(volatile T* a, T v, int) {                                   \
        return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST);                                                    \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_fetch_xor(volatile T* a, T v, int) {                                  \
        return __atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST);                                                   \
    }                                                                                                        \
    CUEMU_API int __tsan_atomic##bits##_compare_exchange_strong(volatile T* a, T* c, T v, int, int) {       \
        return __atomic_compare_exchange_n(a, c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);              \
    }                                                                                                        \
    CUEMU_API int __tsan_atomic##bits##_compare_exchange_weak(volatile T* a, T* c, T v, int, int) {         \
        return __atomic_compare_exchange_n(a, c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);              \
    }                                                                                                        \
    CUEMU_API T __tsan_atomic##bits##_compare_exchange_val(volatile T* a, T c, T v, int, int) {             \
        __atomic_compare_exchange_n(a, &c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);                    \
        return c;                                                                                            \
    }
CUEMU_ATOMIC_HOOKS(8, unsigned char)
CUEMU_ATOMIC_HOOKS(16, unsigned short)
CUEMU_ATOMIC_HOOKS(32, unsigned int)
CUEMU_ATOMIC_HOOKS(64, unsigned long long)
#undef CUEMU_ATOMIC_HOOKS
CUEMU_API void __tsan_atomic_thread_fence(int) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
CUEMU_API void __tsan_atomic_signal_fence(int) { __atomic_signal_fence(__ATOMIC_SEQ_CST); }
}
#endif  // CUEMU_ASAN
