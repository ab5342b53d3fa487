// Emulated CUDA runtime: device selection, guarded device memory, error state, injections, launch log.
#include "internal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace cuemu {
namespace {

constexpr size_t kAlign = 256;           // cudaMalloc's alignment guarantee
constexpr size_t kPoisonLimit = size_t(1) << 30;
constexpr unsigned char kPoison = 0xFF;  // fresh memory reads as NaN (double) or -1 (integer)

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

struct Global {
    std::mutex mem_mu;                        // guards everything memory-related below
    std::map<uintptr_t, Allocation> allocs;   // keyed by user address
    size_t live_bytes = 0;
    int work_depth[kMaxDevices] = {};         // running kernels per device (several host threads)

    std::atomic<int> device_count{2};
    std::atomic<int> count_status{cudaSuccess};
    std::atomic<uint64_t> faults{0};
    std::atomic<uint64_t> generation{1};      // bumping it lazily resets every thread's counters
    std::atomic<int> pending_async{cudaSuccess};

    std::mutex inj_mu;
    std::unordered_map<std::string, std::deque<cudaError_t>> injections;
    std::atomic<size_t> injection_count{0};   // lets the common no-injection path skip the lock

    std::mutex log_mu;
    std::deque<LaunchRecord> log;
    std::string last_failure;
};

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

cudaError_t release(void* p) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    auto it = g().allocs.find(reinterpret_cast<uintptr_t>(p));
    if (it == g().allocs.end()) return fault();
    const Allocation a = it->second;
    g().allocs.erase(it);
    g().live_bytes -= a.size;
    if (munmap(a.map_base, a.map_len) != 0) fatal("cuemu: munmap of device memory");
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

cudaError_t copy(void* dst, const void* src, size_t n, cudaMemcpyKind kind) {
    if (static_cast<unsigned>(kind) > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (n == 0) return cudaSuccess;
    if (!dst || !src) return fault();
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation* da = mapping_of(dst);
    Allocation* sa = mapping_of(src);
    const bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice ||
                         (kind == cudaMemcpyDefault && da);
    const bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice ||
                         (kind == cudaMemcpyDefault && sa);
    // A device side must lie inside one live allocation; a host side must not touch device memory
    // (that would be a wrong copy kind, and the access would fault anyway).
    if (dst_dev ? !(da && contains(*da, dst, n)) : touches_device(dst, n)) return fault();
    if (src_dev ? !(sa && contains(*sa, src, n)) : touches_device(src, n)) return fault();
    HostAccess access(dst_dev ? da : nullptr, src_dev ? sa : nullptr);
    std::memmove(dst, src, n);
    return cudaSuccess;
}

cudaError_t fill(void* p, int value, size_t n) {
    if (n == 0) return cudaSuccess;
    std::lock_guard<std::mutex> lock(g().mem_mu);
    Allocation* a = mapping_of(p);  // null p finds nothing: a fault
    if (!a || !contains(*a, p, n)) return fault();
    HostAccess access(a, nullptr);
    std::memset(p, value, n);
    return cudaSuccess;
}

cudaError_t device_malloc(const char* name, void** p, size_t size) {
    if (!p) return fail(cudaErrorInvalidValue);
    *p = nullptr;
    cudaError_t st;
    if (internal::take_injection(name, &st)) return fail(st);
    if ((st = internal::device_layer_status()) != cudaSuccess) return fail(st);
    const int dev = ts().device;
    if (dev >= internal::device_count()) return fail(cudaErrorInvalidDevice);
    if (size == 0) return cudaSuccess;  // the real runtime hands out a null pointer here
    return fail(allocate(size, dev, p));
}

cudaError_t device_free(const char* name, void* p) {
    cudaError_t st;
    if (internal::take_injection(name, &st)) return fail(st);
    if (!p) return cudaSuccess;
    return fail(release(p));
}

cudaError_t synchronize(const char* name) {
    cudaError_t st;
    if (internal::take_injection(name, &st)) return fail(st);
    if ((st = internal::device_layer_status()) != cudaSuccess) return fail(st);
    // A launch failure is also reported by the next synchronization, as for asynchronous errors.
    return fail(static_cast<cudaError_t>(g().pending_async.exchange(cudaSuccess)));
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

void record_launch(LaunchRecord record) {
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().log.push_back(std::move(record));
    if (g().log.size() > kLaunchLogCapacity) g().log.pop_front();
}

void note_launch_failure(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(g().log_mu);
        g().last_failure = reason;
    }
    g().pending_async.store(cudaErrorLaunchFailure);
}

}  // namespace internal

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
    configure_devices(2, cudaSuccess);
    g().faults.store(0);
    g().generation.fetch_add(1);
    g().pending_async.store(cudaSuccess);
    clear_injections();
    std::lock_guard<std::mutex> lock(g().log_mu);
    g().log.clear();
    g().last_failure.clear();
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

bool is_device_pointer(const void* p) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    const Allocation* a = mapping_of(p);
    return a && contains(*a, p, 0);
}

int pointer_device(const void* p) {
    std::lock_guard<std::mutex> lock(g().mem_mu);
    const Allocation* a = mapping_of(p);
    return a && contains(*a, p, 0) ? a->device : -1;
}

void* raw_allocate(size_t bytes, int device) {
    if (device < 0 || device >= kMaxDevices) return nullptr;
    void* p = nullptr;
    return allocate(bytes, device, &p) == cudaSuccess ? p : nullptr;
}

cudaError_t raw_free(void* p) { return p ? release(p) : cudaSuccess; }
cudaError_t raw_memcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    return copy(dst, src, bytes, kind);
}
cudaError_t raw_memset(void* p, int value, size_t bytes) { return fill(p, value, bytes); }

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

cudaError_t cudaMalloc(void** devPtr, size_t size) { return cuemu::device_malloc("cudaMalloc", devPtr, size); }

cudaError_t cudaMallocAsync(void** devPtr, size_t size, cudaStream_t) {
    return cuemu::device_malloc("cudaMallocAsync", devPtr, size);
}

cudaError_t cudaFree(void* devPtr) { return cuemu::device_free("cudaFree", devPtr); }

cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t) { return cuemu::device_free("cudaFreeAsync", devPtr); }

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    cudaError_t st;
    if (take_injection("cudaMemcpy", &st)) return fail(st);
    return fail(cuemu::copy(dst, src, count, kind));
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t) {
    cudaError_t st;
    if (take_injection("cudaMemcpyAsync", &st)) return fail(st);
    return fail(cuemu::copy(dst, src, count, kind));
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    cudaError_t st;
    if (take_injection("cudaMemset", &st)) return fail(st);
    return fail(cuemu::fill(devPtr, value, count));
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t) {
    cudaError_t st;
    if (take_injection("cudaMemsetAsync", &st)) return fail(st);
    return fail(cuemu::fill(devPtr, value, count));
}

cudaError_t cudaDeviceSynchronize(void) { return cuemu::synchronize("cudaDeviceSynchronize"); }

cudaError_t cudaStreamSynchronize(cudaStream_t) { return cuemu::synchronize("cudaStreamSynchronize"); }

cudaError_t cudaGetLastError(void) {
    cuemu::ThreadState& t = cuemu::ts();
    const cudaError_t e = t.last_error;
    t.last_error = cudaSuccess;
    // Observing the error once is enough; a later synchronize must not report it again.
    if (e == cudaErrorLaunchFailure) cuemu::g().pending_async.store(cudaSuccess);
    return e;
}

cudaError_t cudaPeekAtLastError(void) { return cuemu::ts().last_error; }

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
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorNotSupported: return "operation not supported";
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
        case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
        case cudaErrorNotSupported: return "cudaErrorNotSupported";
        case cudaErrorUnknown: return "cudaErrorUnknown";
    }
    return "cudaErrorUnknown";
}

}  // extern "C"
