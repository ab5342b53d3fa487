// Kernel execution for the emulator: launch-rule checks, then blocks in order, one cooperative fiber per thread.
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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace cuemu {
namespace detail {
__thread const ThreadCoords* current = nullptr;
}  // namespace detail

namespace {

constexpr size_t kStackBytes = 256 * 1024;       // per emulated thread; a guard page sits below
constexpr size_t kMaxDynamicShared = 48 * 1024;  // without opt-in, as on the real devices
constexpr unsigned kMaxThreadsPerBlock = 1024;

size_t page_size() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

[[noreturn]] void fatal(const char* msg) {
    std::fprintf(stderr, "cuemu: %s\n", msg);
    std::abort();
}

enum class State : unsigned char { Pending, Running, Waiting, Done };

struct Fiber {
    jmp_buf ctx;
    char* map = nullptr;  // guard page followed by the stack
    size_t map_len = 0;
    bool fresh = true;    // needs a new entry frame before it can be resumed
};

struct Slot {
    detail::ThreadCoords coords;
    Fiber* fiber = nullptr;
    const char* site_file = nullptr;
    int site_line = 0;
    State state = State::Pending;
};

// Everything one OS thread needs to run launches; fibers and buffers are reused across launches.
struct Scheduler {
    jmp_buf ctx;
    bool active = false;

    const char* kernel = "";
    void (*body)(void*) = nullptr;
    void* arg = nullptr;
    detail::BlockCoords block{};
    std::vector<Slot> slots;
    unsigned nthreads = 0;
    unsigned next = 0;     // first thread of the block not yet started
    unsigned done = 0;
    unsigned waiting = 0;
    Slot* running = nullptr;
    bool failed = false;
    std::string failure;

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
            munmap(f->map, f->map_len);
            delete f;
        }
        if (shm_map) munmap(shm_map, shm_map_len);
    }
};

thread_local Scheduler t_sched;

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
    if (_setjmp(s.ctx) != 0) return;
    if (!f->fresh) _longjmp(f->ctx, 1);
    f->fresh = false;
    s.booting = f;
    ucontext_t uc;
    if (getcontext(&uc) != 0) fatal("getcontext failed");
    uc.uc_stack.ss_sp = f->map + page_size();
    uc.uc_stack.ss_size = kStackBytes;
    uc.uc_link = nullptr;
    makecontext(&uc, fiber_main, 0);
    setcontext(&uc);
    fatal("setcontext failed");
}

__attribute__((noinline)) void yield(Scheduler& s, Fiber* self) {
    if (_setjmp(self->ctx) == 0) _longjmp(s.ctx, 1);
}

void fail(Scheduler& s, const std::string& why) {
    if (s.failed) return;
    s.failed = true;
    s.failure = why;
}

std::string coords_text(uint3 v) {
    return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

std::string block_text(const Scheduler& s) {
    return std::string("kernel ") + s.kernel + " block " + coords_text(s.block.index) + ": ";
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

// Entry of every fiber; never returns (its context has no successor).
void fiber_main() {
    Scheduler& s = t_sched;
    Fiber* const self = s.booting;
    for (;;) {
        while (s.next < s.nthreads && !s.failed) {
            Slot& t = s.slots[s.next++];
            t.fiber = self;
            t.state = State::Running;
            s.running = &t;
            detail::current = &t.coords;
            run_body(s);
            t.state = State::Done;
            ++s.done;
        }
        s.running = nullptr;
        detail::current = nullptr;
        s.idle.push_back(self);
        yield(s, self);
    }
}

bool same_site(const Slot& a, const Slot& b) {
    return a.site_line == b.site_line &&
           (a.site_file == b.site_file || std::strcmp(a.site_file, b.site_file) == 0);
}

std::string site_text(const Slot& t) { return std::string(t.site_file) + ":" + std::to_string(t.site_line); }

// Runs one block to completion; false (with s.failure set) on a barrier misuse or exception.
bool run_block(Scheduler& s) {
    s.next = s.done = s.waiting = 0;
    for (;;) {
        while (s.next < s.nthreads && !s.failed) resume(s, acquire(s));
        if (s.failed) return false;
        if (s.waiting == 0) return true;  // every thread finished
        // Every thread is now either waiting or finished; a barrier needs all of them at one site.
        if (s.done > 0) {
            for (unsigned i = 0; i < s.nthreads; ++i)
                if (s.slots[i].state == State::Done) {
                    for (unsigned j = 0; j < s.nthreads; ++j)
                        if (s.slots[j].state == State::Waiting) {
                            fail(s, block_text(s) + "thread " + coords_text(s.slots[i].coords.index) +
                                        " exited while " + std::to_string(s.waiting) +
                                        " thread(s) wait at the barrier at " + site_text(s.slots[j]));
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
        // Release in thread order; each runs to its next barrier or to its end.
        s.waiting = 0;
        for (unsigned i = 0; i < s.nthreads; ++i) {
            Slot& t = s.slots[i];
            t.state = State::Running;
            s.running = &t;
            detail::current = &t.coords;
            resume(s, t.fiber);
            if (s.failed) return false;
        }
    }
}

// Parked fibers of an abandoned block hold dead frames: restart them from scratch next time.
void abandon(Scheduler& s) {
    for (unsigned i = 0; i < s.nthreads; ++i) {
        Slot& t = s.slots[i];
        if (t.state == State::Waiting) {
            t.fiber->fresh = true;
            s.idle.push_back(t.fiber);
        }
        t.state = State::Pending;
    }
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

cudaError_t check_rules(dim3 grid, dim3 block, size_t shared) {
    if (!grid.x || !grid.y || !grid.z || !block.x || !block.y || !block.z) return cudaErrorInvalidConfiguration;
    if (block.x > 1024 || block.y > 1024 || block.z > 64) return cudaErrorInvalidConfiguration;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > kMaxThreadsPerBlock)
        return cudaErrorInvalidConfiguration;
    if (grid.x > 0x7fffffffu || grid.y > 65535u || grid.z > 65535u) return cudaErrorInvalidConfiguration;
    if (shared > kMaxDynamicShared) return cudaErrorInvalidValue;
    return cudaSuccess;
}

bool run_grid(Scheduler& s, const char* name, dim3 grid, dim3 block, size_t shared, void (*body)(void*),
              void* arg, int device) {
    s.active = true;
    s.kernel = name ? name : "";
    s.body = body;
    s.arg = arg;
    s.failed = false;
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
    prepare_shared(s, shared);

    internal::begin_device_work(device);
    bool ok = true;
    for (unsigned z = 0; ok && z < grid.z; ++z)
        for (unsigned y = 0; ok && y < grid.y; ++y)
            for (unsigned x = 0; ok && x < grid.x; ++x) {
                if (s.window_count != 0) {
                    const unsigned long long linear =
                        x + static_cast<unsigned long long>(grid.x) * (y + static_cast<unsigned long long>(grid.y) * z);
                    if (linear < s.window_first || linear - s.window_first >= s.window_count) continue;
                }
                s.block.index = uint3{x, y, z};
                std::memset(s.shm, 0xFF, shared);  // shared memory starts undefined in every block
                ok = run_block(s);
            }
    internal::end_device_work(device);

    if (!ok) {
        abandon(s);
        internal::note_launch_failure(s.failure);
    }
    s.active = false;
    s.running = nullptr;
    s.body = nullptr;
    s.arg = nullptr;
    detail::current = nullptr;
    return ok;
}

}  // namespace

void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream,
            void (*body)(void*), void* ctx) {
    Scheduler& s = t_sched;
    if (s.active) fatal("a kernel launched another kernel; device-side launches are not emulated");
    cudaError_t status = cudaSuccess;
    if (!internal::take_injection(kernel_name, &status)) {
        const int device = internal::current_device();
        status = internal::device_layer_status();
        if (status == cudaSuccess && device >= internal::device_count()) status = cudaErrorInvalidDevice;
        if (status == cudaSuccess) status = check_rules(grid, block, dynamic_shared_bytes);
        if (status == cudaSuccess && !run_grid(s, kernel_name, grid, block, dynamic_shared_bytes, body, ctx, device))
            status = cudaErrorLaunchFailure;
    }
    s.window_first = s.window_count = 0;
    if (status != cudaSuccess) internal::set_last_error(status);
    internal::record_launch(
        LaunchRecord{kernel_name ? kernel_name : "", grid, block, dynamic_shared_bytes, stream, status});
}

void run_only_blocks(unsigned long long first, unsigned long long count) {
    t_sched.window_first = first;
    t_sched.window_count = count;
}

void* dynamic_shared_memory() {
    Scheduler& s = t_sched;
    return s.active ? s.shm : nullptr;
}

void syncthreads(const char* file, int line) {
    Scheduler& s = t_sched;
    Slot* t = s.running;
    if (!t) fatal("__syncthreads() called outside a kernel");
    t->site_file = file ? file : "";
    t->site_line = line;
    t->state = State::Waiting;
    ++s.waiting;
    s.running = nullptr;
    detail::current = nullptr;
    yield(s, t->fiber);
    // Released: the scheduler has made this thread current again.
}

}  // namespace cuemu
