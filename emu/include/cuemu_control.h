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
// no pending injections, no pending launch failure, every thread's last error cleared.
// Live allocations and each thread's current device are left alone.
CUEMU_API void reset();

// --- launches ------------------------------------------------------------------------------
// The most recent launch attempts (at most kLaunchLogCapacity), oldest first.
constexpr size_t kLaunchLogCapacity = 1u << 16;
CUEMU_API std::vector<LaunchRecord> launch_log();
CUEMU_API void clear_launch_log();
// Why the last failed launch (cudaErrorLaunchFailure) failed; empty if none since reset().
CUEMU_API std::string last_launch_failure();

// --- memory --------------------------------------------------------------------------------
CUEMU_API size_t live_allocations();
CUEMU_API size_t live_bytes();
// Count of invalid frees (unknown pointer, double free) and copies/sets outside live allocations.
CUEMU_API uint64_t fault_count();
// Whether p points into (or one past the end of) a live device allocation.
CUEMU_API bool is_device_pointer(const void* p);
// Device ordinal of the live allocation containing p, or -1.
CUEMU_API int pointer_device(const void* p);

// Test-helper memory functions. They check ranges and count faults like the runtime calls, but
// never consult the current device, the set-device counters, the last error or the injections.
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
CUEMU_API void fail_next(const std::string& what, cudaError_t status);

// The next launch on the calling thread runs only the blocks whose linear index lies in
// [first, first + count): grids of 2^24+ blocks (2^32+ elements) can then be tested by
// their last blocks alone. The window is cleared by that launch.
CUEMU_API void run_only_blocks(unsigned long long first, unsigned long long count);
CUEMU_API void clear_injections();
CUEMU_API size_t pending_injections();

}  // namespace cuemu
