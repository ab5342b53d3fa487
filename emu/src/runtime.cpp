// Emulated CUDA runtime: device selection, guarded device memory, streams as queues, execution
// faults that are reported at the next synchronising call and stay (sticky), stream capture,
// memory-pool support, injections, the launch log and the emulation modes.
#include "internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unordered_map>

namespace cuemu {
namespace {

constexpr size_t kAlign = 256;           // cudaMalloc's alignment guarantee
constexpr size_t kPoisonLimit = size_t(1) << 30;
constexpr unsigned char kPoison = 0xFF;  // fresh memory reads as NaN (double) or -1 (integer)
constexpr size_t kQuarantineBytes = size_t(1) << 30;  // freed mappings kept inaccessible

size_t page_size() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

size_t round_up(size_t v, size_t a) { return (v + a - 1) / a * a; }

// One device allocation: its own mapping [guard page | data pages | guard page]. The user range
// ends at a 256-byte boundary as close to the trailing guard as alignment allows, so overruns fault.
struct Allocation {
    char* map_base;
    size_t map_len;
    char* pages;
    size_t pages_len;
    char* user;
    size_t size;
    int device;
};

// ---------------------------------------------------------------------------------------------
// Streams: queues of operations. An operation runs after the operations before it on its stream
// and after its dependencies (the legacy stream's implicit ordering with blocking streams, event
// waits). With deferred streams nothing runs before a synchronising call or an event point needs
// it; otherwise every operation runs as soon as it is queued.
// ---------------------------------------------------------------------------------------------
struct Stream;

struct Op {
    enum class State : unsigned char { Queued, Running, Done };
    Stream* stream = nullptr;
    int device = 0;
    std::vector<std::shared_ptr<Op>> deps;
    // The effect; returns an execution fault (with the reason) or cudaSuccess.
    std::function<cudaError_t(std::string*)> run;
    bool always = false;  // bookkeeping (frees, markers): runs even on a faulted device
    State state = State::Queued;
};
using OpPtr = std::shared_ptr<Op>;

enum class StreamKind : unsigned char { Legacy, PerThread, Blocking, NonBlocking };

struct Stream {
    int device = 0;
    StreamKind kind = StreamKind::Blocking;
    std::deque<OpPtr> queue;  // queued or running, in order
    OpPtr tail;               // last operation queued (may be done)
    bool capturing = false;
    bool capture_invalid = false;
    std::vector<OpPtr> captured;

    bool blocking() const { return kind == StreamKind::Blocking || kind == StreamKind::PerThread; }
};

struct Event {
    int device = 0;
    OpPtr recorded;
};

struct DeviceState {
    Stream* legacy = nullptr;
    cudaError_t fault = cudaSuccess;  // execution fault of this device (first one wins)
    bool delivered = false;           // reported by a synchronising call: sticky from then on
    std::string reason;
    int captures = 0;                 // streams of this device being captured
    int blocking_captures = 0;        // ... of which blocking streams
};

struct Global {
    std::mutex mem_mu;                        // guards everything memory-related below
    std::map<uintptr_t, Allocation> allocs;   // keyed by user address
    size_t live_bytes = 0;
    int work_depth[kMaxDevices] = {};         // running kernels per device
    std::deque<std::pair<char*, size_t>> quarantine;
    size_t quarantine_bytes = 0;

    std::atomic<int> device_count{2};
    std::atomic<int> count_status{cudaSuccess};
    std::atomic<uint64_t> faults{0};
    std::atomic<uint64_t> generation{1};      // bumping it lazily resets every thread's counters

    std::mutex inj_mu;
    std::unordered_map<std::string, std::deque<cudaError_t>> injections;
    std::atomic<size_t> injection_count{0};   // lets the common no-injection path skip the lock

    std::mutex log_mu;
    std::deque<LaunchRecord> log;
    std::string last_failure;

    std::mutex q_mu;                          // guards streams, operations, events, device states
    std::condition_variable q_cv;
    DeviceState devices[kMaxDevices];
    std::unordered_map<uintptr_t, Stream*> created;  // handles of created streams
    std::vector<Stream*> streams;             // every live stream (legacy, per-thread, created)
    std::unordered_map<uintptr_t, Event*> events;
    std::atomic<size_t> queued{0};
    std::atomic<uint64_t> launches{0};

    std::mutex mode_mu;
    Modes modes;
    std::atomic<WaitProbe> probe{nullptr};

    Global();
};

bool env_flag(const char* name, bool fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    return std::strcmp(v, "0") != 0;
}

unsigned long long env_number(const char* name, unsigned long long fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    return std::strtoull(v, nullptr, 0);
}

Global::Global() {
    const bool strict = env_flag("CUEMU_STRICT", false);
    modes.deferred = env_flag("CUEMU_DEFERRED", strict);
    modes.random_order = env_flag("CUEMU_RANDOM_ORDER", strict);
    modes.races = env_flag("CUEMU_RACES", strict);
    modes.perturb_math = env_flag("CUEMU_PERTURB_MATH", strict);
    modes.gil_probe = env_flag("CUEMU_GIL_PROBE", strict);
    modes.memory_pools = env_flag("CUEMU_MEMORY_POOLS", true);
    modes.seed = env_number("CUEMU_SEED", 1);
    modes.op_limit = env_number("CUEMU_OP_LIMIT", modes.op_limit);
}

// Never destroyed: capsule deleters may free device memory during interpreter shutdown, after
// static destructors would have run.
Global& g() {
    static Global* global = new Global;
    return *global;
}

struct ThreadState {
    uint64_t generation = 0;
    uint64_t set_device_calls = 0;
    cudaError_t last_error = cudaSuccess;
    int device = 0;  // current device survives reset(), like the real per-thread context
    bool race_exempt = false;
    Stream* per_thread[kMaxDevices] = {};  // per-thread default streams, made on first use
};
thread_local ThreadState t_state;

ThreadState& ts() {
    ThreadState& t = t_state;
    const uint64_t gen = g().generation.load(std::memory_order_relaxed);
    if (t.generation != gen) {
        t.generation = gen;
        t.set_device_calls = 0;
        t.last_error = cudaSuccess;
    }
    return t;
}

cudaError_t fail(cudaError_t status) {
    if (status != cudaSuccess) ts().last_error = status;
    return status;
}

void fatal(const char* what) {
    std::perror(what);
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// Device memory
// ---------------------------------------------------------------------------------------------
void protect(const Allocation& a, bool open) {
    if (mprotect(a.pages, a.pages_len, open ? (PROT_READ | PROT_WRITE) : PROT_NONE) != 0)
        fatal("cuemu: mprotect of device memory");
}

// Allocation whose mapping (guard pages included) contains address p. Caller holds mem_mu.
Allocation* mapping_of(uintptr_t p) {
    auto& m = g().allocs;
    auto it = m.upper_bound(p);
    if (it != m.end() && p >= reinterpret_cast<uintptr_t>(it->second.map_base)) return &it->second;
    if (it == m.begin()) return nullptr;
    --it;
    Allocation& a = it->second;
    return p < reinterpret_cast<uintptr_t>(a.map_base) + a.map_len ? &a : nullptr;
}

Allocation* mapping_of(const void* p) { return mapping_of(reinterpret_cast<uintptr_t>(p)); }

bool contains(const Allocation& a, const void* ptr, size_t n) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr), u = reinterpret_cast<uintptr_t>(a.user);
    return p >= u && p - u <= a.size && n <= a.size - (p - u);
}

// Whether a host-side range [p, p+n) starts or ends inside some device mapping.
bool touches_device(const void* p, size_t n) {
    const uintptr_t b = reinterpret_cast<uintptr_t>(p);
    return mapping_of(b) != nullptr || mapping_of(b + n - 1) != nullptr;
}

cudaError_t fault() {
    g().faults.fetch_add(1, std::memory_order_relaxed);
    return cudaErrorInvalidValue;
}

cudaError_t allocate(size_t size, int device, void** out) {
    const size_t page = page_size();
    if (size > (SIZE_MAX >> 2)) return cudaErrorMemoryAllocation;
    const size_t rounded = round_up(std::max<size_t>(size, 1), kAlign);
    const size_t pages_len = round_up(rounded, page);
    const size_t map_len = pages_len + 2 * page;
    void* m = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return cudaErrorMemoryAllocation;
    Allocation a;
    a.map_base = static_cast<char*>(m);
    a.map_len = map_len;
    a.pages = a.map_base + page;
    a.pages_len = pages_len;
    a.user = a.pages + pages_len - rounded;
    a.size = size;
    a.device = device;
    // Poison so kernels that rely on zeroed memory (which cudaMalloc does not give) show it.
    // Huge allocations (tests of 64-bit indexing over 2^32+ elements) stay lazily mapped:
    // only the pages a kernel touches are ever committed.
    if (rounded <= kPoisonLimit) std::memset(a.user, kPoison, rounded);
    std::lock_guard<std::mutex> lock(g().mem_mu);
    // One call closes guards and data together unless a kernel on this device is running now.
    const bool running = g().work_depth[device] != 0;
    if (mprotect(a.map_base, running ? page : map_len, PROT_NONE) != 0 ||
        (running && mprotect(a.pages + pages_len, page, PROT_NONE) != 0))
        fatal("cuemu: mprotect of device memory");
    g().allocs.emplace(reinterpret_cast<uintptr_t>(a.user), a);
    g().live_bytes += size;
    *out = a.user;
    return cudaSuccess;
}

// Freed memory is made inaccessible and kept mapped for a while (up to kQuarantineBytes of
// mappings), so that a late access faults instead of reaching a newer allocation.
cudaError_t release(void* p) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    auto it = g().allocs.find(reinterpret_cast<uintptr_t>(p));
    if (it == g().allocs.end()) return fault();
    const Allocation a = it->second;
    g().allocs.erase(it);
    g().live_bytes -= a.size;
    if (a.map_len > kQuarantineBytes) {
        if (munmap(a.map_base, a.map_len) != 0) fatal("cuemu: munmap of device memory");
        return cudaSuccess;
    }
    if (mprotect(a.map_base, a.map_len, PROT_NONE) != 0) fatal("cuemu: mprotect of freed device memory");
    g().quarantine.emplace_back(a.map_base, a.map_len);
    g().quarantine_bytes += a.map_len;
    while (g().quarantine_bytes > kQuarantineBytes) {
        auto [base, len] = g().quarantine.front();
        g().quarantine.pop_front();
        g().quarantine_bytes -= len;
        if (munmap(base, len) != 0) fatal("cuemu: munmap of device memory");
    }
    return cudaSuccess;
}

// Opens the given allocations for the duration of one host-side access, unless a kernel on their
// device already has them open. Caller holds mem_mu.
class HostAccess {
public:
    HostAccess(Allocation* a, Allocation* b) {
        if (a && g().work_depth[a->device] == 0) open_[0] = a;
        if (b && b != a && g().work_depth[b->device] == 0) open_[1] = b;
        for (Allocation* x : open_)
            if (x) protect(*x, true);
    }
    ~HostAccess() {
        for (Allocation* x : open_)
            if (x) protect(*x, false);
    }
    HostAccess(const HostAccess&) = delete;
    HostAccess& operator=(const HostAccess&) = delete;

private:
    Allocation* open_[2] = {nullptr, nullptr};
};

bool device_destination(cudaMemcpyKind kind, const Allocation* da) {
    return kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice || (kind == cudaMemcpyDefault && da);
}
bool device_source(cudaMemcpyKind kind, const Allocation* sa) {
    return kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice || (kind == cudaMemcpyDefault && sa);
}

// Range checks of a copy (caller holds mem_mu): a device side must lie inside one live
// allocation; a host side must not touch device memory (that would be a wrong copy kind).
bool copy_ranges_valid(void* dst, const void* src, size_t n, cudaMemcpyKind kind, Allocation** da,
                       Allocation** sa) {
    *da = mapping_of(dst);
    *sa = mapping_of(src);
    const bool dst_dev = device_destination(kind, *da), src_dev = device_source(kind, *sa);
    if (dst_dev ? !(*da && contains(**da, dst, n)) : touches_device(dst, n)) return false;
    if (src_dev ? !(*sa && contains(**sa, src, n)) : touches_device(src, n)) return false;
    if (!dst_dev) *da = nullptr;
    if (!src_dev) *sa = nullptr;
    return true;
}

cudaError_t check_copy(void* dst, const void* src, size_t n, cudaMemcpyKind kind) {
    if (static_cast<unsigned>(kind) > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (n == 0) return cudaSuccess;
    if (!dst || !src) return fault();
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation *da, *sa;
    return copy_ranges_valid(dst, src, n, kind, &da, &sa) ? cudaSuccess : fault();
}

cudaError_t copy(void* dst, const void* src, size_t n, cudaMemcpyKind kind) {
    if (static_cast<unsigned>(kind) > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (n == 0) return cudaSuccess;
    if (!dst || !src) return fault();
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation *da, *sa;
    if (!copy_ranges_valid(dst, src, n, kind, &da, &sa)) return fault();
    HostAccess access(da, sa);
    std::memmove(dst, src, n);
    return cudaSuccess;
}

cudaError_t check_fill(void* p, size_t n) {
    if (n == 0) return cudaSuccess;
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation* a = mapping_of(p);  // null p finds nothing: a fault
    return a && contains(*a, p, n) ? cudaSuccess : fault();
}

cudaError_t fill(void* p, int value, size_t n) {
    if (n == 0) return cudaSuccess;
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation* a = mapping_of(p);
    if (!a || !contains(*a, p, n)) return fault();
    HostAccess access(a, nullptr);
    std::memset(p, value, n);
    return cudaSuccess;
}

// Device of the live allocation containing p (or -1).
int device_of(const void* p) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    const Allocation* a = mapping_of(p);
    return a && contains(*a, p, 0) ? a->device : -1;
}

// ---------------------------------------------------------------------------------------------
// Queues (callers hold q_mu unless noted)
// ---------------------------------------------------------------------------------------------
Stream* make_stream(int device, StreamKind kind) {
    Stream* s = new Stream;
    s->device = device;
    s->kind = kind;
    g().streams.push_back(s);
    return s;
}

Stream* legacy_stream(int device) {
    DeviceState& d = g().devices[device];
    if (!d.legacy) d.legacy = make_stream(device, StreamKind::Legacy);
    return d.legacy;
}

// The stream a handle names on `device` (the caller's current device), or null for an unknown
// handle: 0 and cudaStreamLegacy are the legacy stream, cudaStreamPerThread the calling thread's.
Stream* resolve(cudaStream_t handle, int device) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if (v == 0 || v == 1) return legacy_stream(device);
    if (v == 2) {
        Stream*& s = ts().per_thread[device];
        if (!s) s = make_stream(device, StreamKind::PerThread);
        return s;
    }
    auto it = g().created.find(v);
    return it == g().created.end() ? nullptr : it->second;
}

bool pending(const OpPtr& op) { return op && op->state != Op::State::Done; }

void invalidate_captures(int device) {
    for (Stream* s : g().streams)
        if (s->device == device && s->capturing) s->capture_invalid = true;
}

// Refusal of queueing work on s while captures are in progress: the legacy stream would
// depend on a capturing blocking stream.
cudaError_t capture_conflict(const Stream* s) {
    if (s->kind == StreamKind::Legacy && g().devices[s->device].blocking_captures > 0) {
        invalidate_captures(s->device);
        return cudaErrorStreamCaptureImplicit;
    }
    return cudaSuccess;
}

// Refusal of a call that may synchronise the whole device while a capture is in progress on it.
cudaError_t unsafe_during_capture(int device) {
    if (g().devices[device].captures > 0) {
        invalidate_captures(device);
        return cudaErrorStreamCaptureUnsupported;
    }
    return cudaSuccess;
}

// Queues op on s with the legacy stream's implicit ordering: legacy work waits for what the
// blocking streams of the device have queued, blocking-stream work for the legacy stream's.
// Returns whether it was queued (false: recorded by a capture).
bool enqueue(Stream* s, const OpPtr& op) {
    op->stream = s;
    op->device = s->device;
    if (s->kind == StreamKind::Legacy) {
        for (Stream* o : g().streams)
            if (o != s && o->device == s->device && o->blocking() && !o->capturing && pending(o->tail))
                op->deps.push_back(o->tail);
    } else if (s->blocking()) {
        Stream* l = g().devices[s->device].legacy;
        if (l && pending(l->tail)) op->deps.push_back(l->tail);
    }
    if (s->capturing) {
        s->captured.push_back(op);
        return false;
    }
    s->queue.push_back(op);
    s->tail = op;
    g().queued.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void set_fault(int device, cudaError_t status, const std::string& reason, bool delivered) {
    DeviceState& d = g().devices[device];
    if (d.fault == cudaSuccess) {
        d.fault = status;
        d.reason = reason;
    }
    d.delivered = d.delivered || delivered;
}

// Runs queued operations until `target` is done: the head of its stream first, each after its
// dependencies. An operation running on another thread is waited for. Takes q_mu itself.
void run_until(const OpPtr& target) {
    std::unique_lock<std::mutex> lock(g().q_mu);
    while (target->state != Op::State::Done) {
        Stream* s = target->stream;
        OpPtr head = s->queue.front();
        if (head->state == Op::State::Running) {
            g().q_cv.wait(lock);
            continue;
        }
        OpPtr dep;
        for (const OpPtr& d : head->deps)
            if (pending(d)) {
                dep = d;
                break;
            }
        if (dep) {
            lock.unlock();
            run_until(dep);
            lock.lock();
            continue;
        }
        head->state = Op::State::Running;
        DeviceState& dev = g().devices[head->device];
        const bool skip = dev.fault != cudaSuccess && !head->always;  // a faulted device runs nothing
        auto run = std::move(head->run);
        lock.unlock();
        std::string reason;
        const cudaError_t status = skip || !run ? cudaSuccess : run(&reason);
        run = nullptr;  // the kernel's closure goes now, not with the last reference
        lock.lock();
        if (status != cudaSuccess) set_fault(head->device, status, reason, false);
        head->state = Op::State::Done;
        head->deps.clear();
        s->queue.pop_front();
        g().queued.fetch_sub(1, std::memory_order_relaxed);
        g().q_cv.notify_all();
    }
}

// Runs everything queued on the streams of `device` (-1: every device), in a seeded random
// order of streams when random orders are on.
void drain_streams(int device) {
    std::vector<OpPtr> tails;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        for (Stream* s : g().streams)
            if ((device < 0 || s->device == device) && pending(s->tail)) tails.push_back(s->tail);
    }
    const Modes m = internal::current_modes();
    if (m.random_order && tails.size() > 1) {
        std::mt19937_64 rng(m.seed ^ g().launches.load());
        std::shuffle(tails.begin(), tails.end(), rng);
    }
    for (const OpPtr& t : tails) run_until(t);
}

// Queues op and, unless streams are deferred, runs it at once.
void submit(Stream* s, const OpPtr& op) {
    bool queued;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        queued = enqueue(s, op);
    }
    if (queued && !internal::current_modes().deferred) run_until(op);
}

// The sticky fault of a device once reported; every call on the device returns it.
cudaError_t sticky(int device) {
    std::lock_guard<std::mutex> lock(g().q_mu);
    const DeviceState& d = g().devices[device];
    return d.delivered ? d.fault : cudaSuccess;
}

// A synchronising call reports the device's fault (and makes it sticky).
cudaError_t deliver(int device) {
    std::lock_guard<std::mutex> lock(g().q_mu);
    DeviceState& d = g().devices[device];
    if (d.fault == cudaSuccess) return cudaSuccess;
    d.delivered = true;
    return d.fault;
}

// An injected status: returned by the call; an execution fault also becomes the device's
// sticky fault.
cudaError_t injected(cudaError_t status) {
    if (is_execution_fault(status)) {
        std::lock_guard<std::mutex> lock(g().q_mu);
        set_fault(ts().device, status, "injected", true);
    }
    return fail(status);
}

// Start of a blocking wait: the probe may refuse it (see Modes::gil_probe).
cudaError_t probe_wait(const char* call) {
    WaitProbe probe = g().probe.load();
    if (!probe || !internal::current_modes().gil_probe) return cudaSuccess;
    std::string reason;
    if (probe(call, &reason)) return cudaSuccess;
    internal::note_launch_failure(reason);
    return cudaErrorLaunchTimeout;
}

int current_device_checked(cudaError_t* st) {
    *st = internal::device_layer_status();
    const int dev = ts().device;
    if (*st == cudaSuccess && dev >= internal::device_count()) *st = cudaErrorInvalidDevice;
    return dev;
}

cudaError_t device_malloc(const char* name, void** p, size_t size, cudaStream_t handle, bool async) {
    if (!p) return fail(cudaErrorInvalidValue);
    *p = nullptr;
    cudaError_t st;
    if (internal::take_injection(name, &st)) return injected(st);
    const int dev = current_device_checked(&st);
    if (st != cudaSuccess) return fail(st);
    if (async && !internal::current_modes().memory_pools) return fail(cudaErrorNotSupported);
    int target = dev;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        const DeviceState& d = g().devices[dev];
        if (d.delivered) return fail(d.fault);
        if (async) {
            Stream* s = resolve(handle, dev);
            if (!s) return fail(cudaErrorInvalidResourceHandle);
            if ((st = capture_conflict(s)) != cudaSuccess) return fail(st);
            target = s->device;
        } else if ((st = unsafe_during_capture(dev)) != cudaSuccess) {
            return fail(st);
        }
    }
    if (size == 0) return cudaSuccess;  // the real runtime hands out a null pointer here
    return fail(allocate(size, target, p));
}

struct Resolved {
    Stream* stream = nullptr;
    cudaError_t status = cudaSuccess;
};

// Stream of an asynchronous call on the current device, with the sticky-fault and capture checks.
Resolved resolve_for_work(cudaStream_t handle) {
    Resolved r;
    const int dev = current_device_checked(&r.status);
    if (r.status != cudaSuccess) return r;
    std::lock_guard<std::mutex> lock(g().q_mu);
    if (g().devices[dev].delivered) {
        r.status = g().devices[dev].fault;
        return r;
    }
    r.stream = resolve(handle, dev);
    if (!r.stream) {
        r.status = cudaErrorInvalidResourceHandle;
        return r;
    }
    r.status = capture_conflict(r.stream);
    if (r.status != cudaSuccess) r.stream = nullptr;
    return r;
}

OpPtr copy_op(void* dst, const void* src, size_t n, cudaMemcpyKind kind, const char* name) {
    auto op = std::make_shared<Op>();
    op->run = [=](std::string* reason) {
        if (copy(dst, src, n, kind) == cudaSuccess) return cudaSuccess;
        *reason = std::string(name) + ": the range is no longer inside a live allocation when the copy runs";
        return cudaErrorIllegalAddress;
    };
    return op;
}

OpPtr fill_op(void* p, int value, size_t n, const char* name) {
    auto op = std::make_shared<Op>();
    op->run = [=](std::string* reason) {
        if (fill(p, value, n) == cudaSuccess) return cudaSuccess;
        *reason = std::string(name) + ": the range is no longer inside a live allocation when the set runs";
        return cudaErrorIllegalAddress;
    };
    return op;
}

// cudaMemcpy / cudaMemset: legacy-stream work that the call waits for.
cudaError_t blocking_legacy_work(const char* name, const OpPtr& op, int dev) {
    cudaError_t st;
    if ((st = probe_wait(name)) != cudaSuccess) return fail(st);
    bool queued;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        queued = enqueue(legacy_stream(dev), op);
    }
    if (queued) run_until(op);
    return fail(deliver(dev));
}

// Synchronous calls share their first checks: injection, sticky fault, captures.
cudaError_t sync_call_checks(const char* name, int* dev) {
    cudaError_t st;
    if (internal::take_injection(name, &st)) return injected(st);
    *dev = ts().device;
    if (*dev >= kMaxDevices) return cudaErrorInvalidDevice;
    std::lock_guard<std::mutex> lock(g().q_mu);
    if (g().devices[*dev].delivered) return g().devices[*dev].fault;
    return unsafe_during_capture(*dev);
}

// A marker operation on the legacy stream of `device`: what test-helper copies are ordered by.
void wait_like_legacy_work(int device) {
    if (device < 0) return;
    auto op = std::make_shared<Op>();
    op->always = true;
    bool queued;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        Stream* l = legacy_stream(device);
        const bool was = l->capturing;
        l->capturing = false;  // helpers ignore captures
        queued = enqueue(l, op);
        l->capturing = was;
    }
    if (queued) run_until(op);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Internal hooks
// ---------------------------------------------------------------------------------------------
namespace internal {

void set_last_error(cudaError_t status) { fail(status); }

bool take_injection(const char* name, cudaError_t* status) {
    Global& s = g();
    if (s.injection_count.load(std::memory_order_acquire) == 0 || !name) return false;
    std::lock_guard<std::mutex> lock(s.inj_mu);
    auto it = s.injections.find(name);
    if (it == s.injections.end()) return false;
    *status = it->second.front();
    it->second.pop_front();
    if (it->second.empty()) s.injections.erase(it);
    s.injection_count.fetch_sub(1, std::memory_order_release);
    return true;
}

cudaError_t device_layer_status() { return static_cast<cudaError_t>(g().count_status.load()); }
int device_count() { return g().device_count.load(); }
int current_device() { return ts().device; }

Modes current_modes() {
    std::lock_guard<std::mutex> lock(g().mode_mu);
    return g().modes;
}

void begin_device_work(int device) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    if (g().work_depth[device]++ != 0) return;
    for (auto& kv : g().allocs)
        if (kv.second.device == device) protect(kv.second, true);
}

void end_device_work(int device) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    if (--g().work_depth[device] != 0) return;
    for (auto& kv : g().allocs)
        if (kv.second.device == device) protect(kv.second, false);
}

std::vector<std::pair<uintptr_t, uintptr_t>> allocation_ranges() {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    std::vector<std::pair<uintptr_t, uintptr_t>> out;
    out.reserve(g().allocs.size());
    for (const auto& kv : g().allocs) out.emplace_back(kv.first, kv.first + kv.second.size);
    return out;
}

void record_launch(LaunchRecord record) {
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().log.push_back(std::move(record));
    if (g().log.size() > kLaunchLogCapacity) g().log.pop_front();
}

void note_launch_failure(const std::string& reason) {
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().last_failure = reason;
}

bool race_checks_exempt() { return ts().race_exempt; }

}  // namespace internal

// ---------------------------------------------------------------------------------------------
// Launch: checked now, queued, run when its stream runs
// ---------------------------------------------------------------------------------------------
namespace {

cudaError_t check_rules(dim3 grid, dim3 block, size_t shared) {
    if (!grid.x || !grid.y || !grid.z || !block.x || !block.y || !block.z) return cudaErrorInvalidConfiguration;
    if (block.x > 1024 || block.y > 1024 || block.z > 64) return cudaErrorInvalidConfiguration;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > 1024) return cudaErrorInvalidConfiguration;
    if (grid.x > 0x7fffffffu || grid.y > 65535u || grid.z > 65535u) return cudaErrorInvalidConfiguration;
    if (shared > 48 * 1024) return cudaErrorInvalidValue;  // without opt-in, as on the real devices
    return cudaSuccess;
}

}  // namespace

void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream,
            void (*body)(void*), void* ctx, void (*destroy)(void*)) {
    if (detail::current != nullptr) {
        std::fprintf(stderr, "cuemu: a kernel launched another kernel; device-side launches are not emulated\n");
        std::abort();
    }
    auto task = std::make_shared<internal::KernelTask>();
    task->name = kernel_name ? kernel_name : "";
    task->grid = grid;
    task->block = block;
    task->shared_bytes = dynamic_shared_bytes;
    task->body = body;
    task->ctx = ctx;
    task->destroy = destroy;
    const auto window = internal::take_block_window();
    task->window_first = window.first;
    task->window_count = window.second;

    cudaError_t status = cudaSuccess;
    if (internal::take_injection(kernel_name, &status) && !is_execution_fault(status)) {
        // refused at launch
    } else {
        task->injected = status;
        status = cudaSuccess;
        const int device = current_device_checked(&status);
        if (status == cudaSuccess) status = sticky(device);
        if (status == cudaSuccess) status = check_rules(grid, block, dynamic_shared_bytes);
        Stream* s = nullptr;
        if (status == cudaSuccess) {
            std::lock_guard<std::mutex> lock(g().q_mu);
            s = resolve(stream, device);
            // A kernel runs on the current device: a stream of another device is refused.
            if (!s || s->device != device) status = cudaErrorInvalidResourceHandle;
            else status = capture_conflict(s);
        }
        if (status == cudaSuccess) {
            const Modes m = internal::current_modes();
            task->device = device;
            task->race_checks = m.races && !internal::race_checks_exempt();
            task->sequence = g().launches.fetch_add(1);
            auto op = std::make_shared<Op>();
            op->run = [task](std::string* reason) { return internal::execute_kernel(*task, reason); };
            internal::record_launch(LaunchRecord{task->name, grid, block, dynamic_shared_bytes, stream, cudaSuccess});
            submit(s, op);
            return;
        }
    }
    internal::set_last_error(status);
    internal::record_launch(LaunchRecord{task->name, grid, block, dynamic_shared_bytes, stream, status});
}

// ---------------------------------------------------------------------------------------------
// Control API
// ---------------------------------------------------------------------------------------------
void configure_devices(int count, cudaError_t count_status) {
    if (count < 0 || count > kMaxDevices) throw std::invalid_argument("cuemu: device count out of range");
    g().device_count.store(count);
    g().count_status.store(count_status);
}

int configured_device_count() { return g().device_count.load(); }
cudaError_t configured_count_status() { return static_cast<cudaError_t>(g().count_status.load()); }
uint64_t set_device_calls() { return ts().set_device_calls; }
int current_device() { return ts().device; }

void reset() {
    drain();
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        for (Stream* s : g().streams)
            if (s->capturing) {
                s->capturing = false;
                for (const OpPtr& op : s->captured) {
                    s->queue.push_back(op);
                    s->tail = op;
                    g().queued.fetch_add(1);
                }
                s->captured.clear();
            }
    }
    drain();
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        for (DeviceState& d : g().devices) {
            d.fault = cudaSuccess;
            d.delivered = false;
            d.reason.clear();
            d.captures = d.blocking_captures = 0;
        }
    }
    configure_devices(2, cudaSuccess);
    g().faults.store(0);
    g().launches.store(0);  // the random orders start over
    g().generation.fetch_add(1);
    clear_injections();
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().log.clear();
    g().last_failure.clear();
}

Modes modes() { return internal::current_modes(); }

void set_modes(const Modes& m) {
    std::lock_guard<std::mutex> lock(g().mode_mu);
    g().modes = m;
}

void set_wait_probe(WaitProbe probe) { g().probe.store(probe); }

void exempt_from_race_checks(bool exempt) { ts().race_exempt = exempt; }

void drain() { drain_streams(-1); }

size_t queued_operations() { return g().queued.load(); }

cudaError_t begin_capture(cudaStream_t handle) {
    std::lock_guard<std::mutex> lock(g().q_mu);
    Stream* s = resolve(handle, ts().device);
    if (!s || s->kind == StreamKind::Legacy) return cudaErrorInvalidResourceHandle;
    if (s->capturing) return cudaErrorStreamCaptureUnsupported;
    s->capturing = true;
    s->capture_invalid = false;
    DeviceState& d = g().devices[s->device];
    ++d.captures;
    if (s->blocking()) ++d.blocking_captures;
    return cudaSuccess;
}

cudaError_t end_capture(cudaStream_t handle) {
    bool invalid;
    OpPtr last;
    {
        std::lock_guard<std::mutex> lock(g().q_mu);
        Stream* s = resolve(handle, ts().device);
        if (!s || !s->capturing) return cudaErrorInvalidResourceHandle;
        s->capturing = false;
        DeviceState& d = g().devices[s->device];
        --d.captures;
        if (s->blocking()) --d.blocking_captures;
        for (const OpPtr& op : s->captured) {
            s->queue.push_back(op);
            s->tail = op;
            g().queued.fetch_add(1);
        }
        s->captured.clear();
        invalid = s->capture_invalid;
        last = s->tail;
    }
    if (last && !internal::current_modes().deferred) run_until(last);
    return invalid ? cudaErrorStreamCaptureInvalidated : cudaSuccess;
}

cudaError_t device_fault(int device) {
    if (device < 0 || device >= kMaxDevices) return cudaSuccess;
    std::lock_guard<std::mutex> lock(g().q_mu);
    return g().devices[device].fault;
}

std::string device_fault_reason(int device) {
    if (device < 0 || device >= kMaxDevices) return "";
    std::lock_guard<std::mutex> lock(g().q_mu);
    return g().devices[device].reason;
}

std::vector<LaunchRecord> launch_log() {
    std::lock_guard<std::mutex> lock(g().log_mu);
    return std::vector<LaunchRecord>(g().log.begin(), g().log.end());
}

void clear_launch_log() {
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().log.clear();
}

std::string last_launch_failure() {
    std::lock_guard<std::mutex> lock(g().log_mu);
    return g().last_failure;
}

size_t live_allocations() {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    return g().allocs.size();
}

size_t live_bytes() {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    return g().live_bytes;
}

uint64_t fault_count() { return g().faults.load(); }

bool is_device_pointer(const void* p) { return device_of(p) >= 0; }

int pointer_device(const void* p) { return device_of(p); }

void* raw_allocate(size_t bytes, int device) {
    if (device < 0 || device >= kMaxDevices) return nullptr;
    void* p = nullptr;
    return allocate(bytes, device, &p) == cudaSuccess ? p : nullptr;
}

cudaError_t raw_free(void* p) {
    if (!p) return cudaSuccess;
    const int dev = device_of(p);
    if (dev >= 0) drain_streams(dev);
    return release(p);
}

cudaError_t raw_memcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    wait_like_legacy_work(device_of(dst));
    wait_like_legacy_work(device_of(src));
    return copy(dst, src, bytes, kind);
}

cudaError_t raw_memset(void* p, int value, size_t bytes) {
    wait_like_legacy_work(device_of(p));
    return fill(p, value, bytes);
}

void fail_next(const std::string& what, cudaError_t status) {
    std::lock_guard<std::mutex> lock(g().inj_mu);
    g().injections[what].push_back(status);
    g().injection_count.fetch_add(1, std::memory_order_release);
}

void clear_injections() {
    std::lock_guard<std::mutex> lock(g().inj_mu);
    g().injections.clear();
    g().injection_count.store(0);
}

size_t pending_injections() { return g().injection_count.load(); }

bool is_execution_fault(cudaError_t status) {
    switch (status) {
        case cudaErrorIllegalAddress:
        case cudaErrorLaunchTimeout:
        case cudaErrorAssert:
        case cudaErrorMisalignedAddress:
        case cudaErrorLaunchFailure: return true;
        default: return false;
    }
}

}  // namespace cuemu

// ---------------------------------------------------------------------------------------------
// Runtime API
// ---------------------------------------------------------------------------------------------
using cuemu::fail;
using cuemu::internal::take_injection;

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
    cudaError_t st;
    if (take_injection("cudaGetDeviceCount", &st)) return fail(st);
    if (!count) return fail(cudaErrorInvalidValue);
    // Without a driver or device the count stays unwritten, so callers must check the status.
    if ((st = cuemu::internal::device_layer_status()) != cudaSuccess) return fail(st);
    *count = cuemu::internal::device_count();
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    cuemu::ThreadState& t = cuemu::ts();
    ++t.set_device_calls;
    cudaError_t st;
    if (take_injection("cudaSetDevice", &st)) return fail(st);
    if ((st = cuemu::internal::device_layer_status()) != cudaSuccess) return fail(st);
    if (device < 0 || device >= cuemu::internal::device_count()) return fail(cudaErrorInvalidDevice);
    t.device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    cudaError_t st;
    if (take_injection("cudaGetDevice", &st)) return fail(st);
    if (!device) return fail(cudaErrorInvalidValue);
    if ((st = cuemu::internal::device_layer_status()) != cudaSuccess) return fail(st);
    *device = cuemu::ts().device;
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    cudaError_t st;
    if (take_injection("cudaDeviceGetAttribute", &st)) return fail(st);
    if (!value) return fail(cudaErrorInvalidValue);
    if ((st = cuemu::internal::device_layer_status()) != cudaSuccess) return fail(st);
    if (device < 0 || device >= cuemu::internal::device_count()) return fail(cudaErrorInvalidDevice);
    if (attr != cudaDevAttrMemoryPoolsSupported) return fail(cudaErrorInvalidValue);
    *value = cuemu::internal::current_modes().memory_pools ? 1 : 0;
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    return cuemu::device_malloc("cudaMalloc", devPtr, size, nullptr, false);
}

cudaError_t cudaMallocAsync(void** devPtr, size_t size, cudaStream_t stream) {
    return cuemu::device_malloc("cudaMallocAsync", devPtr, size, stream, true);
}

// cudaFree waits for all work of the device before the memory goes.
cudaError_t cudaFree(void* devPtr) {
    cudaError_t st;
    if (take_injection("cudaFree", &st)) return cuemu::injected(st);
    if (!devPtr) return cudaSuccess;
    const int dev = cuemu::ts().device;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        if ((st = cuemu::unsafe_during_capture(dev)) != cudaSuccess) return fail(st);
    }
    if ((st = cuemu::probe_wait("cudaFree")) != cudaSuccess) return fail(st);
    const int owner = cuemu::device_of(devPtr);
    cuemu::drain_streams(owner >= 0 ? owner : dev);
    const cudaError_t freed = cuemu::release(devPtr);
    st = cuemu::deliver(owner >= 0 ? owner : dev);
    return fail(st != cudaSuccess ? st : freed);
}

cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t stream) {
    cudaError_t st;
    if (take_injection("cudaFreeAsync", &st)) return cuemu::injected(st);
    if (!devPtr) return cudaSuccess;
    if (!cuemu::internal::current_modes().memory_pools) return fail(cudaErrorNotSupported);
    const cuemu::Resolved r = cuemu::resolve_for_work(stream);
    if (r.status != cudaSuccess) {
        // On a faulted device the memory goes with the device: released, and the fault returned.
        if (cuemu::is_execution_fault(r.status)) cuemu::release(devPtr);
        return fail(r.status);
    }
    {
        std::lock_guard<std::mutex> lock(cuemu::g().mem_mu);
        if (cuemu::g().allocs.count(reinterpret_cast<uintptr_t>(devPtr)) == 0) return fail(cuemu::fault());
    }
    auto op = std::make_shared<cuemu::Op>();
    op->always = true;
    op->run = [devPtr](std::string*) {
        cuemu::release(devPtr);  // a second free of the same pointer counts as a fault
        return cudaSuccess;
    };
    cuemu::submit(r.stream, op);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    int dev = 0;
    cudaError_t st = cuemu::sync_call_checks("cudaMemcpy", &dev);
    if (st != cudaSuccess) return fail(st);
    if ((st = cuemu::check_copy(dst, src, count, kind)) != cudaSuccess || count == 0) return fail(st);
    return cuemu::blocking_legacy_work("cudaMemcpy", cuemu::copy_op(dst, src, count, kind, "cudaMemcpy"), dev);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    cudaError_t st;
    if (take_injection("cudaMemcpyAsync", &st)) return cuemu::injected(st);
    const cuemu::Resolved r = cuemu::resolve_for_work(stream);
    if (r.status != cudaSuccess) return fail(r.status);
    if ((st = cuemu::check_copy(dst, src, count, kind)) != cudaSuccess || count == 0) return fail(st);
    // A copy into host memory returns only when done on the real runtime (pageable memory): a
    // blocking wait.
    if (cuemu::device_of(dst) < 0 && (st = cuemu::probe_wait("cudaMemcpyAsync")) != cudaSuccess) return fail(st);
    cuemu::submit(r.stream, cuemu::copy_op(dst, src, count, kind, "cudaMemcpyAsync"));
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    int dev = 0;
    cudaError_t st = cuemu::sync_call_checks("cudaMemset", &dev);
    if (st != cudaSuccess) return fail(st);
    if ((st = cuemu::check_fill(devPtr, count)) != cudaSuccess || count == 0) return fail(st);
    return cuemu::blocking_legacy_work("cudaMemset", cuemu::fill_op(devPtr, value, count, "cudaMemset"), dev);
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
    cudaError_t st;
    if (take_injection("cudaMemsetAsync", &st)) return cuemu::injected(st);
    const cuemu::Resolved r = cuemu::resolve_for_work(stream);
    if (r.status != cudaSuccess) return fail(r.status);
    if ((st = cuemu::check_fill(devPtr, count)) != cudaSuccess || count == 0) return fail(st);
    cuemu::submit(r.stream, cuemu::fill_op(devPtr, value, count, "cudaMemsetAsync"));
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
    int dev = 0;
    cudaError_t st = cuemu::sync_call_checks("cudaDeviceSynchronize", &dev);
    if (st != cudaSuccess) return fail(st);
    if ((st = cuemu::internal::device_layer_status()) != cudaSuccess) return fail(st);
    if ((st = cuemu::probe_wait("cudaDeviceSynchronize")) != cudaSuccess) return fail(st);
    cuemu::drain_streams(dev);
    return fail(cuemu::deliver(dev));
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamDefault); }

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (!stream || flags > cudaStreamNonBlocking) return fail(cudaErrorInvalidValue);
    cudaError_t st;
    const int dev = cuemu::current_device_checked(&st);
    if (st != cudaSuccess) return fail(st);
    std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
    if (cuemu::g().devices[dev].delivered) return fail(cuemu::g().devices[dev].fault);
    cuemu::Stream* s = cuemu::make_stream(
        dev, flags == cudaStreamNonBlocking ? cuemu::StreamKind::NonBlocking : cuemu::StreamKind::Blocking);
    cuemu::g().created[reinterpret_cast<uintptr_t>(s)] = s;
    *stream = reinterpret_cast<cudaStream_t>(s);
    return cudaSuccess;
}

// The stream's queued work still runs (here, before it goes).
cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    cuemu::OpPtr tail;
    cuemu::Stream* s;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        auto it = cuemu::g().created.find(reinterpret_cast<uintptr_t>(stream));
        if (it == cuemu::g().created.end()) return fail(cudaErrorInvalidResourceHandle);
        s = it->second;
        if (s->capturing) return fail(cudaErrorStreamCaptureUnsupported);
        cuemu::g().created.erase(it);
        tail = s->tail;
    }
    if (cuemu::pending(tail)) cuemu::run_until(tail);
    std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
    auto& all = cuemu::g().streams;
    all.erase(std::remove(all.begin(), all.end(), s), all.end());
    delete s;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    cudaError_t st;
    if (take_injection("cudaStreamSynchronize", &st)) return cuemu::injected(st);
    const int dev = cuemu::current_device_checked(&st);
    if (st != cudaSuccess) return fail(st);
    cuemu::OpPtr tail;
    int owner;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        cuemu::Stream* s = cuemu::resolve(stream, dev);
        if (!s) return fail(cudaErrorInvalidResourceHandle);
        owner = s->device;
        if (cuemu::g().devices[owner].delivered) return fail(cuemu::g().devices[owner].fault);
        if (s->capturing) {
            cuemu::invalidate_captures(owner);
            return fail(cudaErrorStreamCaptureUnsupported);
        }
        if ((st = cuemu::capture_conflict(s)) != cudaSuccess) return fail(st);
        tail = s->tail;
    }
    if ((st = cuemu::probe_wait("cudaStreamSynchronize")) != cudaSuccess) return fail(st);
    if (cuemu::pending(tail)) cuemu::run_until(tail);
    return fail(cuemu::deliver(owner));
}

// Queued work makes progress when queried, so a polling loop ends.
cudaError_t cudaStreamQuery(cudaStream_t stream) {
    cudaError_t st;
    const int dev = cuemu::current_device_checked(&st);
    if (st != cudaSuccess) return fail(st);
    cuemu::OpPtr tail;
    int owner;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        cuemu::Stream* s = cuemu::resolve(stream, dev);
        if (!s) return fail(cudaErrorInvalidResourceHandle);
        if (s->capturing) return fail(cudaErrorStreamCaptureUnsupported);
        owner = s->device;
        tail = s->tail;
    }
    if (cuemu::pending(tail)) cuemu::run_until(tail);
    return fail(cuemu::deliver(owner));
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    if (!event) return fail(cudaErrorInvalidValue);
    auto* e = new cuemu::Event;
    e->device = cuemu::ts().device;
    std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
    cuemu::g().events[reinterpret_cast<uintptr_t>(e)] = e;
    *event = reinterpret_cast<cudaEvent_t>(e);
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
    auto it = cuemu::g().events.find(reinterpret_cast<uintptr_t>(event));
    if (it == cuemu::g().events.end()) return fail(cudaErrorInvalidResourceHandle);
    delete it->second;
    cuemu::g().events.erase(it);
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    const cuemu::Resolved r = cuemu::resolve_for_work(stream);
    if (r.status != cudaSuccess) return fail(r.status);
    auto op = std::make_shared<cuemu::Op>();
    op->always = true;
    bool queued;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        auto it = cuemu::g().events.find(reinterpret_cast<uintptr_t>(event));
        if (it == cuemu::g().events.end()) return fail(cudaErrorInvalidResourceHandle);
        it->second->recorded = op;
        it->second->device = r.stream->device;
        queued = cuemu::enqueue(r.stream, op);
    }
    if (queued && !cuemu::internal::current_modes().deferred) cuemu::run_until(op);
    return cudaSuccess;
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int) {
    const cuemu::Resolved r = cuemu::resolve_for_work(stream);
    if (r.status != cudaSuccess) return fail(r.status);
    auto op = std::make_shared<cuemu::Op>();
    op->always = true;
    bool queued;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        auto it = cuemu::g().events.find(reinterpret_cast<uintptr_t>(event));
        if (it == cuemu::g().events.end()) return fail(cudaErrorInvalidResourceHandle);
        if (cuemu::pending(it->second->recorded)) op->deps.push_back(it->second->recorded);
        queued = cuemu::enqueue(r.stream, op);
    }
    if (queued && !cuemu::internal::current_modes().deferred) cuemu::run_until(op);
    return cudaSuccess;
}

static cudaError_t event_wait(cudaEvent_t event, const char* name) {
    cuemu::OpPtr recorded;
    int dev = 0;
    {
        std::lock_guard<std::mutex> lock(cuemu::g().q_mu);
        auto it = cuemu::g().events.find(reinterpret_cast<uintptr_t>(event));
        if (it == cuemu::g().events.end()) return fail(cudaErrorInvalidResourceHandle);
        recorded = it->second->recorded;
        dev = it->second->device;
        if (cuemu::g().devices[dev].delivered) return fail(cuemu::g().devices[dev].fault);
    }
    cudaError_t st;
    if (name && (st = cuemu::probe_wait(name)) != cudaSuccess) return fail(st);
    if (cuemu::pending(recorded)) cuemu::run_until(recorded);
    return fail(cuemu::deliver(dev));
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) { return event_wait(event, "cudaEventSynchronize"); }

cudaError_t cudaEventQuery(cudaEvent_t event) { return event_wait(event, nullptr); }

// The last error of the calling thread, cleared by reading; a reported fault of the current
// device is sticky and is returned every time.
cudaError_t cudaGetLastError(void) {
    cuemu::ThreadState& t = cuemu::ts();
    const cudaError_t e = t.last_error;
    t.last_error = cudaSuccess;
    if (t.device < cuemu::kMaxDevices) {
        const cudaError_t s = cuemu::sticky(t.device);
        if (s != cudaSuccess) return s;
    }
    return e;
}

cudaError_t cudaPeekAtLastError(void) {
    cuemu::ThreadState& t = cuemu::ts();
    if (t.device < cuemu::kMaxDevices) {
        const cudaError_t s = cuemu::sticky(t.device);
        if (s != cudaSuccess) return s;
    }
    return t.last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorNotReady: return "device not ready";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorLaunchTimeout: return "the launch timed out and was terminated";
        case cudaErrorAssert: return "device-side assert triggered";
        case cudaErrorMisalignedAddress: return "misaligned address";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorNotSupported: return "operation not supported";
        case cudaErrorStreamCaptureUnsupported: return "operation not permitted when stream is capturing";
        case cudaErrorStreamCaptureInvalidated: return "operation failed due to a previous error during capture";
        case cudaErrorStreamCaptureImplicit:
            return "operation would make the legacy stream depend on a capturing blocking stream";
        case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "cudaSuccess";
        case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
        case cudaErrorInitializationError: return "cudaErrorInitializationError";
        case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
        case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
        case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
        case cudaErrorInsufficientDriver: return "cudaErrorInsufficientDriver";
        case cudaErrorNoDevice: return "cudaErrorNoDevice";
        case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
        case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
        case cudaErrorNotReady: return "cudaErrorNotReady";
        case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
        case cudaErrorLaunchOutOfResources: return "cudaErrorLaunchOutOfResources";
        case cudaErrorLaunchTimeout: return "cudaErrorLaunchTimeout";
        case cudaErrorAssert: return "cudaErrorAssert";
        case cudaErrorMisalignedAddress: return "cudaErrorMisalignedAddress";
        case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
        case cudaErrorNotSupported: return "cudaErrorNotSupported";
        case cudaErrorStreamCaptureUnsupported: return "cudaErrorStreamCaptureUnsupported";
        case cudaErrorStreamCaptureInvalidated: return "cudaErrorStreamCaptureInvalidated";
        case cudaErrorStreamCaptureImplicit: return "cudaErrorStreamCaptureImplicit";
        case cudaErrorUnknown: return "cudaErrorUnknown";
    }
    return "cudaErrorUnknown";
}

}  // extern "C"
