// Pieces shared by the seven device sources: error checks, the device guard, the one
// launch-and-check helper, launch geometry, 64-bit thread indices, block-wide trees,
// stream-ordered scratch and the scalar results.
// Compiled by nvcc in the production build and by the host compiler (against the
// stand-in runtime of emu/) in the emulation build; kernel source is the same in both.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <tuple>
#include <type_traits>
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

// Makes `device` current for the calling host thread for the guard's lifetime: cudaSetDevice
// only when the thread's current device differs ("cudaSetDevice failed: ..." otherwise), and
// the previous device made current again on every exit path. The current device is shared
// with every other library of the process (array libraries allocate on it), so a call on
// another device must not leave it changed. Nested guards on the same device do nothing.
class DeviceGuard {
  public:
    explicit DeviceGuard(int device);
    ~DeviceGuard();
    DeviceGuard(const DeviceGuard&) = delete;
    DeviceGuard& operator=(const DeviceGuard&) = delete;

  private:
    int previous_ = -1;  // device to make current again; -1: nothing to restore
};

// Scope of one blocking wait: the layer above releases what it holds (the interpreter lock)
// until the scope ends.
class BlockingWait {
  public:
    BlockingWait() : token_(blocking_wait_begin()) {}
    ~BlockingWait() { blocking_wait_end(token_); }
    BlockingWait(const BlockingWait&) = delete;
    BlockingWait& operator=(const BlockingWait&) = delete;

  private:
    void* token_;
};

// Waits until the work queued on `stream` has finished (a blocking wait); a failure, for
// example a fault of earlier work on the device, is "cudaStreamSynchronize failed: ...".
void wait_for_stream(cudaStream_t stream);

// Stream of the scalar results (violation, membership): the legacy default stream. Its
// work follows what the caller queued on it and on every blocking stream of the device;
// work on a non-blocking stream must be finished (synchronised) by the caller first.
inline constexpr cudaStream_t kScalarStream = nullptr;

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
    // The arguments are copied, as a launch does: the kernel may run after this frame is gone.
    ::cuemu::launch(name, grid, block, shared_bytes, stream,
                    [kernel, params = std::tuple<std::decay_t<Params>...>(static_cast<Params>(args)...)]() {
                        std::apply(kernel, params);
                    });
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

// Operators of block_reduce: the value that element t of the tree takes from itself (a)
// and element t + s (b).
// Sum: a + b.
struct BlockSum {
    __device__ __forceinline__ double operator()(double a, double b) const { return a + b; }
};
// Maximum: b only when it is strictly greater, so an unordered (NaN) element is never taken
// from the upper half.
struct BlockMax {
    __device__ __forceinline__ double operator()(double a, double b) const { return b > a ? b : a; }
};
// Minimum in which NaN wins: b when it is smaller or NaN, so any NaN of the block reaches
// thread 0.
struct BlockMinNanWins {
    __device__ __forceinline__ double operator()(double a, double b) const { return b < a || b != b ? b : a; }
};

// Block-wide reduction by `op` over `buf` (blockDim.x doubles, a power of two) of each
// thread's value, as a tree: at strides s = blockDim.x / 2, ..., 1, element t < s becomes
// op(element t, element t + s). The result is returned to thread 0 (other threads get
// 0.0): a caller that needs it block-wide stores it in a shared scalar (or reads buf[0])
// and synchronises before reusing `buf`. All threads of the block must call it.
template <class Op>
__device__ __forceinline__ double block_reduce(double* buf, double value, Op op) {
    const unsigned t = threadIdx.x;
    buf[t] = value;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
        if (t < s) buf[t] = op(buf[t], buf[t + s]);
        __syncthreads();
    }
    return t == 0 ? buf[0] : 0.0;
}

// One pass of a multi-block reduction: the block's values reduced by `op`, the result
// written by thread 0 to partial[blockIdx.x]. All threads of the block must call it.
template <class Op>
__device__ __forceinline__ void block_partial(double* buf, double value, Op op, double* partial) {
    const double result = block_reduce(buf, value, op);
    if (threadIdx.x == 0) partial[blockIdx.x] = result;
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
// The squares after the first entry leave out global index 0; their scaled form multiplies
// each entry by the caller's factor before squaring (a power of two that brings a sum of
// squares that overflows or underflows back into range).
enum SumMode : int {
    kSumSquares = 0,
    kSumNegativeSquares = 1,
    kSumSquaresAfterFirst = 2,
    kSumPlain = 3,
    kSumScaledSquaresAfterFirst = 4
};
enum MaxMode : int { kMaxAbs = 0, kMaxNegativePart = 1 };

// Stream-ordered scratch of doubles on the current device: cudaMallocAsync on
// construction, cudaFreeAsync on release or destruction (also when an exception leaves the
// scope). On a device without memory pools (cudaDevAttrMemoryPoolsSupported 0, checked once
// per device) cudaMalloc instead, and the release waits for the stream before cudaFree, so
// work queued on the stream never meets freed memory; such a release is a blocking wait.
class StreamBuffer {
  public:
    StreamBuffer(unsigned long long count, cudaStream_t stream);
    ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;
    double* get() const { return ptr_; }
    // Frees now (stream-ordered) and reports a failure (the destructor cannot throw).
    void release();

  private:
    double* ptr_ = nullptr;
    cudaStream_t stream_;
    bool pooled_ = true;
};

// Scalar results. Every one is computed on a stream (kScalarStream for violation and
// membership) in one stream-ordered scratch buffer, copied back and waited for on that
// stream only: no device-wide synchronisation and no cudaMalloc, so they neither wait for
// unrelated streams nor disturb another thread's graph capture.

// Multi-pass reductions over n device doubles on `stream` (256 per block and pass; later
// passes add the partial sums, or take the maximum of the partial maxima). n = 0 returns
// 0.0 with no call. `scale` is the factor of kSumScaledSquaresAfterFirst.
double reduce_sum_sq(const double* x, unsigned long long n, int mode, cudaStream_t stream = kScalarStream,
                     double scale = 1.0);
double reduce_max(const double* x, unsigned long long n, int mode, cudaStream_t stream = kScalarStream);
// Minimum over n device doubles (NaN when one is NaN; +infinity for n = 0, with no call),
// by the same passes.
double reduce_min(const double* x, unsigned long long n, cudaStream_t stream = kScalarStream);

// The double at device address p once the work queued on `stream` before it has finished.
double read_device_double(const double* p, cudaStream_t stream);

enum class Combine { kSum, kMax, kMin };

// Scratch doubles for the partials of `blocks` blocks and every pass that reduces them.
unsigned long long partials_scratch(unsigned long long blocks);

// Passes reducing the `blocks` partials at `partials` (followed by room for the passes, see
// partials_scratch) to one value; its device address.
const double* combine_partials(Combine how, double* partials, unsigned long long blocks, cudaStream_t stream);

// The double at device address `value`, copied to the host after the scratch that holds it
// has been released (stream-ordered) and the stream has finished.
double finish_scalar(const double* value, StreamBuffer& scratch, cudaStream_t stream);

// `count` values written on the scalar stream by `launch(values, stream)` into scratch, combined
// (sum, maximum or minimum) and returned as a finished scalar. count > 0.
template <class Launch>
double combine_values(Combine how, unsigned long long count, Launch&& launch) {
    StreamBuffer scratch(partials_scratch(count), kScalarStream);
    launch(scratch.get(), kScalarStream);
    return finish_scalar(combine_partials(how, scratch.get(), count, kScalarStream), scratch, kScalarStream);
}

// A per-block kernel over `count` items on the scalar stream: `kernel(x, partial, count,
// args...)` writes, per block of 256 items, one partial (a sum or a maximum); the partials
// are combined and the finished scalar returned. count > 0.
template <class... Params, class... Args>
double reduce_block_partials(const char* name, void (*kernel)(Params...), Combine how, const double* x,
                             unsigned long long count, Args&&... args) {
    return combine_values(how, blocks_for(count), [&](double* partials, cudaStream_t stream) {
        launch_checked(name, kernel, grid_for(count), dim3(kThreads), 0, stream, x, partials, count,
                       std::forward<Args>(args)...);
    });
}

// Per-element membership on the device, with the host's answer: `kernel` writes, per
// block of 256 elements, the maximum of flags that are 1.0 where the host's test fails
// for that element and 0.0 elsewhere; the vector is a member exactly when the maximum
// of the partials is 0. On the scalar stream; count > 0.
template <class... Params, class... Args>
bool flags_all_clear(const char* name, void (*kernel)(Params...), const double* x, unsigned long long count,
                     Args&&... args) {
    return reduce_block_partials(name, kernel, Combine::kMax, x, count, std::forward<Args>(args)...) == 0.0;
}

}  // namespace velkora::torv::cones::device
