// Host stand-in for the CUDA runtime header: lets kernel sources compile as plain C++ and run on the emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
// The C++ <math.h> wrapper also puts the float/long double overloads and isnan & co. into the
// global namespace, matching the unqualified calls that device code makes.
#include <math.h>

#ifndef VELKORA_CUDA_EMULATION
#define VELKORA_CUDA_EMULATION 1
#endif

#define CUEMU_API __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------------
// Language keywords
// ---------------------------------------------------------------------------------------------
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
// Static shared memory: every __shared__ variable of a shared object lives in its section
// cuemu_shared. Kernels run one at a time in the whole process (blocks one after another), so
// one static buffer per variable is exactly one per running block; the emulator poisons the
// whole section when each block starts, as shared memory starts undefined on the device.
#define __shared__ static __attribute__((section("cuemu_shared")))
// __FILE__/__LINE__ make every textual call site a distinct barrier.
#define __syncthreads() ::cuemu::syncthreads(__FILE__, __LINE__)

// ---------------------------------------------------------------------------------------------
// Vector types
// ---------------------------------------------------------------------------------------------
struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct alignas(16) double2 {
    double x, y;
};

inline double2 make_double2(double x, double y) { return double2{x, y}; }

// ---------------------------------------------------------------------------------------------
// Runtime types and constants (numeric values are those of the real runtime)
// ---------------------------------------------------------------------------------------------
enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchTimeout = 702,
    cudaErrorAssert = 710,
    cudaErrorMisalignedAddress = 716,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorStreamCaptureUnsupported = 900,
    cudaErrorStreamCaptureInvalidated = 901,
    cudaErrorStreamCaptureImplicit = 906,
    cudaErrorUnknown = 999
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4
};

typedef struct CUstream_st* cudaStream_t;
typedef struct CUevent_st* cudaEvent_t;
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)
#define cudaStreamDefault 0x0
#define cudaStreamNonBlocking 0x1

enum cudaDeviceAttr { cudaDevAttrMemoryPoolsSupported = 115 };

enum cudaStreamCaptureMode {
    cudaStreamCaptureModeGlobal = 0,
    cudaStreamCaptureModeThreadLocal = 1,
    cudaStreamCaptureModeRelaxed = 2
};

// ---------------------------------------------------------------------------------------------
// Runtime API (implemented in libcuemu)
// ---------------------------------------------------------------------------------------------
extern "C" {
CUEMU_API cudaError_t cudaGetDeviceCount(int* count);
CUEMU_API cudaError_t cudaSetDevice(int device);
CUEMU_API cudaError_t cudaGetDevice(int* device);
CUEMU_API cudaError_t cudaMalloc(void** devPtr, size_t size);
CUEMU_API cudaError_t cudaFree(void* devPtr);
CUEMU_API cudaError_t cudaMallocAsync(void** devPtr, size_t size, cudaStream_t stream);
CUEMU_API cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t stream);
CUEMU_API cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);
CUEMU_API cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                                      cudaStream_t stream);
CUEMU_API cudaError_t cudaMemset(void* devPtr, int value, size_t count);
CUEMU_API cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream);
CUEMU_API cudaError_t cudaDeviceSynchronize(void);
CUEMU_API cudaError_t cudaDeviceGetAttribute(int* value, enum cudaDeviceAttr attr, int device);
CUEMU_API cudaError_t cudaStreamCreate(cudaStream_t* stream);
CUEMU_API cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags);
CUEMU_API cudaError_t cudaStreamDestroy(cudaStream_t stream);
CUEMU_API cudaError_t cudaStreamSynchronize(cudaStream_t stream);
CUEMU_API cudaError_t cudaStreamQuery(cudaStream_t stream);
CUEMU_API cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags);
CUEMU_API cudaError_t cudaEventCreate(cudaEvent_t* event);
CUEMU_API cudaError_t cudaEventDestroy(cudaEvent_t event);
CUEMU_API cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream);
CUEMU_API cudaError_t cudaEventSynchronize(cudaEvent_t event);
CUEMU_API cudaError_t cudaEventQuery(cudaEvent_t event);
CUEMU_API cudaError_t cudaGetLastError(void);
CUEMU_API cudaError_t cudaPeekAtLastError(void);
CUEMU_API const char* cudaGetErrorString(cudaError_t error);
CUEMU_API const char* cudaGetErrorName(cudaError_t error);
}

// Typed conveniences that the real header also offers (T** does not convert to void**).
template <class T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
    return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <class T>
inline cudaError_t cudaMallocAsync(T** devPtr, size_t size, cudaStream_t stream) {
    return ::cudaMallocAsync(reinterpret_cast<void**>(devPtr), size, stream);
}

// ---------------------------------------------------------------------------------------------
// Emulated execution
// ---------------------------------------------------------------------------------------------
namespace cuemu {
namespace detail {

// Member names differ from the builtin variable names so the macros below never rewrite them.
struct BlockCoords {
    uint3 index;
    dim3 dim;
    dim3 grid;
};

struct ThreadCoords {
    uint3 index;
    const BlockCoords* block;
};

// Points at the record of the emulated thread that is running on this OS thread; the scheduler
// switches it with every fiber switch. Null outside a launch.
CUEMU_API extern __thread const ThreadCoords* current;

}  // namespace detail

// Queues a kernel on `stream`: every thread of a block is a cooperative fiber calling body(ctx).
// The launch takes ownership of ctx and calls destroy(ctx) once the kernel has run (or at once when
// the launch is refused). A refused launch (configuration, stream handle, device) sets the calling
// thread's last error; a fault while the kernel runs is reported by the next synchronising call.
CUEMU_API void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes,
                      cudaStream_t stream, void (*body)(void*), void* ctx, void (*destroy)(void*));

// The kernel body is copied: it may run after the launching frame is gone (queued streams).
template <class F>
inline void launch(const char* name, dim3 g, dim3 b, size_t sh, cudaStream_t st, F f) {
    launch(name, g, b, sh, st, [](void* p) { (*static_cast<F*>(p))(); }, new F(static_cast<F&&>(f)),
           [](void* p) { delete static_cast<F*>(p); });
}

// Records the bounds of a shared object's cuemu_shared section (see __shared__); returns 0.
CUEMU_API int register_shared_section(char* begin, char* end);

// The current block's dynamic shared buffer (dynamic_shared_bytes long); null outside a launch.
CUEMU_API void* dynamic_shared_memory();

// Block-wide barrier identified by its call site; use __syncthreads().
CUEMU_API void syncthreads(const char* file, int line);

// Warp barrier identified by its call site: the lanes named in `mask` (of the caller's warp, 32
// consecutive threads of the block) wait for one another there; use __syncwarp().
CUEMU_API void syncwarp(unsigned mask, const char* file, int line);

// Warp barrier that also exchanges a 64-bit value: returns the value offered by lane `selector`
// of the caller's width-lane segment, or by lane (own lane ^ selector) with `xor_lanes` (the
// caller's own value when that lane lies in a later segment); use __shfl_sync, __shfl_xor_sync.
CUEMU_API unsigned long long shuffle(unsigned mask, unsigned long long value, int selector, int width,
                                     bool xor_lanes, const char* file, int line);

namespace detail {
template <class T>
inline unsigned long long to_bits(T v) {
    static_assert(sizeof(T) <= sizeof(unsigned long long), "shuffles exchange at most 8 bytes");
    unsigned long long bits = 0;
    __builtin_memcpy(&bits, &v, sizeof(T));
    return bits;
}
template <class T>
inline T from_bits(unsigned long long bits) {
    T v;
    __builtin_memcpy(&v, &bits, sizeof(T));
    return v;
}
}  // namespace detail

}  // namespace cuemu

// Warp intrinsics; the call site (the default arguments, filled in where they are called) names
// the barrier.
inline void __syncwarp(unsigned mask = 0xffffffffu, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    ::cuemu::syncwarp(mask, file, line);
}
template <class T>
inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = 32, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE()) {
    return ::cuemu::detail::from_bits<T>(
        ::cuemu::shuffle(mask, ::cuemu::detail::to_bits(var), src_lane, width, false, file, line));
}
template <class T>
inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = 32, const char* file = __builtin_FILE(),
                         int line = __builtin_LINE()) {
    return ::cuemu::detail::from_bits<T>(
        ::cuemu::shuffle(mask, ::cuemu::detail::to_bits(var), lane_mask, width, true, file, line));
}

// Every translation unit that includes this header registers its shared object's static shared
// memory (null bounds when the object has none).
extern "C" char __start_cuemu_shared[] __attribute__((weak, visibility("hidden")));
extern "C" char __stop_cuemu_shared[] __attribute__((weak, visibility("hidden")));
namespace {
[[maybe_unused]] const int cuemu_shared_section_registered =
    ::cuemu::register_shared_section(__start_cuemu_shared, __stop_cuemu_shared);
}  // namespace

#define threadIdx (::cuemu::detail::current->index)
#define blockIdx (::cuemu::detail::current->block->index)
#define blockDim (::cuemu::detail::current->block->dim)
#define gridDim (::cuemu::detail::current->block->grid)
