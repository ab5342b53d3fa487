// Pieces shared by the seven device sources: error checks, device selection, the one
// launch-and-check helper, launch geometry, 64-bit thread indices and block-wide trees.
// Compiled by nvcc in the production build and by the host compiler (against the
// stand-in runtime of emu/) in the emulation build; kernel source is the same in both.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <utility>

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Throws std::runtime_error(what + " failed: " + cudaGetErrorString(status)).
[[noreturn]] void throw_cuda_error(cudaError_t status, const char* what);

inline void check_cuda(cudaError_t status, const char* what) {
    if (status != cudaSuccess) throw_cuda_error(status, what);
}

inline cudaStream_t to_stream(StreamHandle handle) {
    return reinterpret_cast<cudaStream_t>(static_cast<std::uintptr_t>(handle));
}

// Threads per block of the element-wise and reduction kernels.
constexpr unsigned kThreads = 256;

// `T* name` bound to the block's dynamic shared memory (the launch's shared-bytes argument):
// an extern __shared__ array under nvcc, the emulator's per-block buffer otherwise.
#ifdef VELKORA_CUDA_EMULATION
#define VELKORA_DYNAMIC_SHARED(T, name) T* name = static_cast<T*>(::cuemu::dynamic_shared_memory())
#else
#define VELKORA_DYNAMIC_SHARED(T, name) \
    extern __shared__ T name##_dyn[];     \
    T* name = name##_dyn
#endif

// ceil(work / threads) blocks; `threads` is a power of two.
inline unsigned long long blocks_for(unsigned long long work, unsigned threads = kThreads) {
    return (work + threads - 1) / threads;
}

// Launches `kernel` on (grid, block, shared bytes, stream) and turns a failing
// cudaGetLastError() into an exception that names the kernel. Every launch of the
// back end goes through here.
template <class... Params, class... Args>
void launch_checked(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shared_bytes,
                    cudaStream_t stream, Args&&... args) {
#ifdef VELKORA_CUDA_EMULATION
    auto body = [&]() { kernel(static_cast<Params>(args)...); };
    ::cuemu::launch(name, grid, block, shared_bytes, stream, body);
#else
    kernel<<<grid, block, shared_bytes, stream>>>(static_cast<Params>(args)...);
#endif
    check_cuda(cudaGetLastError(), name);
}

#define VELKORA_LAUNCH(kernel, grid, block, shared_bytes, stream, ...) \
    ::velkora::torv::cones::device::launch_checked(#kernel, kernel, grid, block, shared_bytes, stream, __VA_ARGS__)

// One-dimensional grid of `blocks` blocks, or over `work` items with kThreads per block. A block count that
// does not fit in 32 bits is saturated rather than truncated, so the runtime refuses the
// launch (reported under the kernel's name) instead of silently covering a prefix.
inline dim3 grid_blocks(unsigned long long blocks) {
    return dim3(blocks > 0xffffffffull ? 0xffffffffu : static_cast<unsigned>(blocks));
}

inline dim3 grid_for(unsigned long long work, unsigned threads = kThreads) {
    return grid_blocks(blocks_for(work, threads));
}

// Global thread index, block index widened before the multiply so that vectors of
// 2^32 entries or more are neither skipped nor written twice.
__device__ __forceinline__ unsigned long long global_index() {
    return static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x;
}

// Block-wide sum over `buf` (blockDim.x doubles, a power of two) of each thread's
// value. The total is returned to thread 0 (other threads get 0.0): a caller that needs
// it block-wide stores it in a shared scalar and synchronises before reusing `buf`.
// All threads of the block must call it.
__device__ __forceinline__ double block_sum(double* buf, double value) {
    const unsigned t = threadIdx.x;
    buf[t] = value;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
        if (t < s) buf[t] = buf[t] + buf[t + s];
        __syncthreads();
    }
    return t == 0 ? buf[0] : 0.0;
}

// Block-wide maximum: element t is replaced by element t + s only when the latter is
// strictly greater, so an unordered (NaN) element is never taken from the upper half.
// Result in thread 0 as for block_sum.
__device__ __forceinline__ double block_max(double* buf, double value) {
    const unsigned t = threadIdx.x;
    buf[t] = value;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
        if (t < s && buf[t + s] > buf[t]) buf[t] = buf[t + s];
        __syncthreads();
    }
    return t == 0 ? buf[0] : 0.0;
}

// Block-wide minimum in which NaN wins: element t is replaced by element t + s when the
// latter is smaller or NaN, so any NaN of the block reaches thread 0. Result in thread 0
// as for block_sum.
__device__ __forceinline__ double block_min(double* buf, double value) {
    const unsigned t = threadIdx.x;
    buf[t] = value;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
        if (t < s && (buf[t + s] < buf[t] || buf[t + s] != buf[t + s])) buf[t] = buf[t + s];
        __syncthreads();
    }
    return t == 0 ? buf[0] : 0.0;
}

// Position of dense-matrix entry i in a batch of d x d matrices: item, row, column.
// Divisions run in 32-bit arithmetic when both operands fit, 64-bit otherwise.
struct MatrixEntry {
    unsigned long long item, row, col;
};

__device__ __forceinline__ void div_mod(unsigned long long a, unsigned long long b, unsigned long long& q,
                                        unsigned long long& r) {
    if (a <= 0xffffffffull && b <= 0xffffffffull) {
        const unsigned a32 = static_cast<unsigned>(a), b32 = static_cast<unsigned>(b);
        q = a32 / b32;
        r = a32 % b32;
    } else {
        q = a / b;
        r = a % b;
    }
}

__device__ __forceinline__ MatrixEntry matrix_entry(unsigned long long i, unsigned long long d) {
    MatrixEntry e;
    unsigned long long local;
    div_mod(i, d * d, e.item, local);
    div_mod(local, d, e.row, e.col);
    return e;
}

// Reduction modes of reduce_sum_sq / reduce_max (per-element transform of the first pass).
// The shrunk and grown tail squares multiply each tail entry by 2^-600 or 2^600
// (host::kSocRescueShift) before squaring: the second-order tail norm's second pass when the
// plain sum of squares overflows or underflows.
enum SumMode : int {
    kSumSquares = 0,
    kSumNegativeSquares = 1,
    kSumTailSquares = 2,
    kSumPlain = 3,
    kSumTailSquaresShrunk = 4,
    kSumTailSquaresGrown = 5
};
enum MaxMode : int { kMaxAbs = 0, kMaxNegativePart = 1 };

// Multi-pass reductions over n device doubles on the legacy default stream; they end
// with a blocking copy and a device synchronisation. n = 0 returns 0.0 with no call.
double reduce_sum_sq(const double* x, unsigned long long n, int mode);
double reduce_max(const double* x, unsigned long long n, int mode);
// Minimum over n device doubles (NaN when one is NaN; +infinity for n = 0, with no call),
// by the same passes.
double reduce_min(const double* x, unsigned long long n);

// Waits for all work queued on the current device (so scalar results never read
// data still pending on a caller's stream).
void synchronize_device();

// Per-element membership on the device, with the host's answer: `kernel` writes, per
// block of 256 elements, the maximum of flags that are 1.0 where the host's test fails
// for that element and 0.0 elsewhere; the partials are reduced by maximum and the
// vector is a member exactly when that maximum is 0. Work queued on other streams is
// waited for first. Runs on the legacy default stream; count > 0.
template <class... Params, class... Args>
bool flags_all_clear(const char* name, void (*kernel)(Params...), const double* x, unsigned long long count,
                     Args&&... args);

// RAII owner of a cudaMalloc'd device buffer of doubles: released on every path.
class DeviceBuffer {
  public:
    explicit DeviceBuffer(unsigned long long count);
    ~DeviceBuffer();
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    double* get() const { return ptr_; }
    // Frees now and reports a failing cudaFree (the destructor cannot throw).
    void release();

  private:
    double* ptr_ = nullptr;
};

// Stream-ordered scratch: cudaMallocAsync on construction, cudaFreeAsync on release or
// destruction (also when an exception leaves the scope).
class StreamBuffer {
  public:
    StreamBuffer(unsigned long long count, cudaStream_t stream);
    ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;
    double* get() const { return ptr_; }
    void release();

  private:
    double* ptr_ = nullptr;
    cudaStream_t stream_;
};

template <class... Params, class... Args>
bool flags_all_clear(const char* name, void (*kernel)(Params...), const double* x, unsigned long long count,
                     Args&&... args) {
    synchronize_device();
    const unsigned long long blocks = blocks_for(count);
    DeviceBuffer partial(blocks);
    launch_checked(name, kernel, grid_for(count), dim3(kThreads), 0, nullptr, x, partial.get(), count,
                   std::forward<Args>(args)...);
    const double worst = reduce_max(partial.get(), blocks, kMaxAbs);
    partial.release();
    return worst == 0.0;
}

}  // namespace velkora::torv::cones::device
