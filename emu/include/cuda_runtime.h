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
// All fibers of a block run on one OS thread and blocks run one after another, so a per-OS-thread
// static is exactly one buffer per running block.
#define __shared__ static thread_local
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
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
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
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)

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
CUEMU_API cudaError_t cudaStreamSynchronize(cudaStream_t stream);
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

// Runs a kernel synchronously: every block in order, every thread of a block as a cooperative
// fiber calling body(ctx). Refused or failed launches set the calling thread's last error.
CUEMU_API void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes,
                      cudaStream_t stream, void (*body)(void*), void* ctx);

template <class F>
inline void launch(const char* name, dim3 g, dim3 b, size_t sh, cudaStream_t st, F& f) {
    launch(name, g, b, sh, st, [](void* p) { (*static_cast<F*>(p))(); },
           const_cast<void*>(static_cast<const void*>(&f)));
}

// The current block's dynamic shared buffer (dynamic_shared_bytes long); null outside a launch.
CUEMU_API void* dynamic_shared_memory();

// Block-wide barrier identified by its call site; use __syncthreads().
CUEMU_API void syncthreads(const char* file, int line);

}  // namespace cuemu

#define threadIdx (::cuemu::detail::current->index)
#define blockIdx (::cuemu::detail::current->block->index)
#define blockDim (::cuemu::detail::current->block->dim)
#define gridDim (::cuemu::detail::current->block->grid)
