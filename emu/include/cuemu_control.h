// Control and inspection API of the emulated CUDA runtime, for tests and the _cuemu helper module.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cuemu {

// Highest number of emulated devices that configure_devices accepts.
constexpr int kMaxDevices = 64;

// One launch attempt, refused or not.
struct LaunchRecord {
    std::string name;
    dim3 grid;
    dim3 block;
    size_t shared_bytes;
    cudaStream_t stream;
    cudaError_t status;  // what the launch left as last error (cudaSuccess if it ran cleanly)
};

// --- devices -------------------------------------------------------------------------------
// Device count reported by cudaGetDeviceCount and the status it returns. A non-success status
// (cudaErrorInsufficientDriver, cudaErrorNoDevice, ...) leaves the count unwritten and is also
// returned by cudaSetDevice, cudaGetDevice, cudaMalloc(Async), cudaDeviceSynchronize,
// cudaStreamSynchronize and launches.
// Throws std::invalid_argument if count is outside [0, kMaxDevices].
CUEMU_API void configure_devices(int count, cudaError_t count_status = cudaSuccess);
CUEMU_API int configured_device_count();
CUEMU_API cudaError_t configured_count_status();

// Number of cudaSetDevice calls made by the calling OS thread since the last reset().
CUEMU_API uint64_t set_device_calls();

// The calling thread's current device, read without counting a call or touching the error state.
CUEMU_API int current_device();

// Back to the initial state: 2 devices with success status, all counters zero, launch log empty,
// no pending injections, every thread's last error cleared, every device's fault cleared (a
// fresh device, as after a device reset), no capture in progress and the launch count (which
// with the seed makes the random orders) back to 0. Queued work is run first.
// Live allocations, streams and each thread's current device are left alone.
CUEMU_API void reset();

// --- strictness ----------------------------------------------------------------------------
// Emulation modes; each is read at process start from the environment variable named beside it
// (1 on, 0 off) and may be changed at run time. CUEMU_STRICT=1 turns on every mode marked
// [strict] at once (a single variable named after a mode still overrides it).
struct Modes {
    bool deferred = false;        // CUEMU_DEFERRED [strict]: streams are queues that run only at
                                  // synchronising calls and event points (else: at once)
    bool random_order = false;    // CUEMU_RANDOM_ORDER [strict]: blocks in a seeded random order,
                                  // threads switched at random memory accesses, not only barriers
    bool races = false;           // CUEMU_RACES [strict]: two blocks of one launch writing the same
                                  // device address, or one reading what another writes, is a fault
    bool perturb_math = false;    // CUEMU_PERTURB_MATH [strict]: exp, pow, atan2, sin, cos, sincos
                                  // and hypot in kernels are 1 or 2 ulp off the host's result
    bool gil_probe = false;       // CUEMU_GIL_PROBE [strict]: a blocking wait entered while the
                                  // calling thread holds the interpreter lock fails (a host
                                  // callback that needs the lock would never run)
    bool memory_pools = true;     // CUEMU_MEMORY_POOLS: cudaDevAttrMemoryPoolsSupported, else
                                  // cudaMallocAsync / cudaFreeAsync are not supported
    unsigned long long seed = 1;  // CUEMU_SEED: seed of the random orders
    unsigned long long op_limit = 1ull << 28;  // CUEMU_OP_LIMIT: memory accesses one emulated
                                  // thread may make before the watchdog fails its launch
};
CUEMU_API Modes modes();
CUEMU_API void set_modes(const Modes& m);

// Blocking-wait probe (installed by the test helper module, which knows the interpreter): called
// at the start of every blocking wait with the call's name while gil_probe is on; returning false
// (with a reason) fails the call with cudaErrorLaunchTimeout.
using WaitProbe = bool (*)(const char* call, std::string* reason);
CUEMU_API void set_wait_probe(WaitProbe probe);

// The calling thread's launches are exempt from race checks while `exempt` (for launches whose
// racing writes are accepted, such as a fill of a malformed sparse structure).
CUEMU_API void exempt_from_race_checks(bool exempt);

// --- streams and capture -------------------------------------------------------------------
// Runs every queued operation of every device (what the device does eventually by itself).
CUEMU_API void drain();
// Operations queued and not yet run, over all streams.
CUEMU_API size_t queued_operations();
// Starts a capture of `stream` in global mode: work queued on it is recorded, not run; while
// any capture is in progress on its device, cudaMalloc, cudaFree, cudaMemcpy, cudaMemset and
// cudaDeviceSynchronize fail with cudaErrorStreamCaptureUnsupported, and work on the legacy
// stream fails with cudaErrorStreamCaptureImplicit when the capturing stream is a blocking one;
// either failure invalidates the capture. Returns the status (invalid handle, already capturing).
CUEMU_API cudaError_t begin_capture(cudaStream_t stream);
// Ends the capture and queues what was recorded on the stream (as one launch of the graph);
// cudaErrorStreamCaptureInvalidated if the capture was invalidated.
CUEMU_API cudaError_t end_capture(cudaStream_t stream);
// Fault of a device: the execution error waiting to be reported, or reported and sticky
// (cudaSuccess if none), and why it happened.
CUEMU_API cudaError_t device_fault(int device);
CUEMU_API std::string device_fault_reason(int device);

// --- launches ------------------------------------------------------------------------------
// The most recent launch attempts (at most kLaunchLogCapacity), oldest first.
constexpr size_t kLaunchLogCapacity = 1u << 16;
CUEMU_API std::vector<LaunchRecord> launch_log();
CUEMU_API void clear_launch_log();
// Why the last failed kernel (cudaErrorLaunchFailure) failed; empty if none since reset().
CUEMU_API std::string last_launch_failure();

// --- memory --------------------------------------------------------------------------------
CUEMU_API size_t live_allocations();
CUEMU_API size_t live_bytes();
// Count of invalid frees (unknown pointer, double free) and copies/sets outside live allocations.
// Freed memory stays mapped without access for a while, so a late access faults rather than
// reaching a newer allocation at the same address.
CUEMU_API uint64_t fault_count();
// Whether p points into (or one past the end of) a live device allocation.
CUEMU_API bool is_device_pointer(const void* p);
// Device ordinal of the live allocation containing p, or -1.
CUEMU_API int pointer_device(const void* p);

// Test-helper memory functions (what a framework's own allocator and copies do). They check ranges
// and count faults like the runtime calls, but never consult the current device, the set-device
// counters, the last error, faults or the injections. Copies are ordered like work on the legacy
// stream of the memory's device (queued work of blocking streams runs first); a free runs all
// queued work of the memory's device first.
// raw_allocate returns null if device is outside [0, kMaxDevices) or memory is exhausted.
CUEMU_API void* raw_allocate(size_t bytes, int device);
CUEMU_API cudaError_t raw_free(void* p);
CUEMU_API cudaError_t raw_memcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
CUEMU_API cudaError_t raw_memset(void* p, int value, size_t bytes);

// --- failure injection ---------------------------------------------------------------------
// The next call named `what` fails once with `status`. Names are runtime function names
// ("cudaMalloc", "cudaMallocAsync", "cudaFree", "cudaFreeAsync", "cudaMemcpy", "cudaMemcpyAsync",
// "cudaMemset", "cudaMemsetAsync", "cudaDeviceSynchronize", "cudaStreamSynchronize",
// "cudaSetDevice", "cudaGetDevice", "cudaGetDeviceCount") or kernel names given to launch().
// Repeated calls queue up: each injection fires once, in order.
// An execution fault status (cudaErrorIllegalAddress, cudaErrorLaunchFailure and the other 7xx
// faults of a running kernel, see is_execution_fault) injected into a kernel lets the launch
// succeed; the kernel then faults when it runs, which the next synchronising call reports and
// every later call on that device repeats (sticky). Injected into a runtime call, such a status
// is returned by it and is sticky from then on. Any other status fails the launch itself
// (reported by cudaGetLastError after it) or the call, once.
CUEMU_API void fail_next(const std::string& what, cudaError_t status);

// The next launch on the calling thread runs only the blocks whose linear index lies in
// [first, first + count): grids of 2^24+ blocks (2^32+ elements) can then be tested by
// their last blocks alone. The window is cleared by that launch.
CUEMU_API void run_only_blocks(unsigned long long first, unsigned long long count);
CUEMU_API void clear_injections();
CUEMU_API size_t pending_injections();
CUEMU_API bool is_execution_fault(cudaError_t status);

}  // namespace cuemu
