// Device runtime layer: error reporting, the device guard, device availability,
// blocking waits, stream-ordered scratch and the multi-pass sum-of-squares and maximum
// reductions from which the scalar device operations get their results.
#include <atomic>
#include <stdexcept>
#include <string>

#include "cuda/device_common.cuh"

namespace velkora::torv::cones::device {

#if !defined(VELKORA_CUDA_EMULATION) && defined(CUDART_VERSION)
static_assert(CUDART_VERSION / 1000 == 13, "the runtime version text names CUDA 13");
#endif

const char* cuda_runtime_version_text() { return "cuda-runtime-13"; }

void throw_cuda_error(cudaError_t status, const char* what) {
    // A failing runtime call also leaves its status as the thread's last error; read it
    // here so that it is not reported again by the next launch check.
    cudaGetLastError();
    throw std::runtime_error(std::string(what) + " failed: " + cudaGetErrorString(status));
}

bool cuda_device_available() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
        cudaGetLastError();  // the failed query must not surface at a later launch check
        return false;
    }
    return count > 0;
}

DeviceGuard::DeviceGuard(int device) {
    // The runtime is asked (no driver call): another library may have made any device current.
    int current = -1;
    if (cudaGetDevice(&current) != cudaSuccess) {
        cudaGetLastError();
        current = -1;
    }
    if (current == device) return;
    check_cuda(cudaSetDevice(device), "cudaSetDevice");
    previous_ = current;
}

DeviceGuard::~DeviceGuard() {
    if (previous_ >= 0 && cudaSetDevice(previous_) != cudaSuccess) cudaGetLastError();
}

void wait_for_stream(cudaStream_t stream) {
    cudaError_t status;
    {
        const BlockingWait wait;
        status = cudaStreamSynchronize(stream);
    }
    check_cuda(status, "cudaStreamSynchronize");
}

namespace {

// Whether the current device has stream-ordered memory pools, asked once per device.
bool memory_pools_supported() {
    constexpr int kRemembered = 64;
    static std::atomic<signed char> known[kRemembered] = {};  // 0 not asked, 1 yes, -1 no
    int device = 0;
    check_cuda(cudaGetDevice(&device), "cudaGetDevice");
    const bool remembered = device >= 0 && device < kRemembered;
    if (remembered) {
        const signed char k = known[device].load(std::memory_order_relaxed);
        if (k != 0) return k > 0;
    }
    int value = 0;
    if (cudaDeviceGetAttribute(&value, cudaDevAttrMemoryPoolsSupported, device) != cudaSuccess) {
        cudaGetLastError();
        return false;  // not remembered: a failing query says nothing about the device
    }
    if (remembered) known[device].store(value != 0 ? 1 : -1, std::memory_order_relaxed);
    return value != 0;
}

// cudaFree waits for the whole device: a blocking wait.
cudaError_t free_blocking(void* p) {
    const BlockingWait wait;
    return cudaFree(p);
}

// Synchronisation status of a stream, waited for as a blocking wait.
cudaError_t stream_status(cudaStream_t stream) {
    const BlockingWait wait;
    return cudaStreamSynchronize(stream);
}

}  // namespace

StreamBuffer::StreamBuffer(unsigned long long count, cudaStream_t stream) : stream_(stream) {
    void* p = nullptr;
    pooled_ = memory_pools_supported();
    if (pooled_)
        check_cuda(cudaMallocAsync(&p, count * sizeof(double), stream), "cudaMallocAsync");
    else
        check_cuda(cudaMalloc(&p, count * sizeof(double)), "cudaMalloc");
    ptr_ = static_cast<double*>(p);
}

StreamBuffer::~StreamBuffer() {
    if (ptr_ == nullptr) return;
    if (pooled_) {
        if (cudaFreeAsync(ptr_, stream_) != cudaSuccess) cudaGetLastError();
    } else {
        stream_status(stream_);
        if (free_blocking(ptr_) != cudaSuccess) cudaGetLastError();
    }
}

void StreamBuffer::release() {
    double* p = ptr_;
    if (p == nullptr) return;
    if (pooled_) {
        // A failed free leaves the buffer owned: the destructor tries once more.
        check_cuda(cudaFreeAsync(p, stream_), "cudaFreeAsync");
        ptr_ = nullptr;
        return;
    }
    ptr_ = nullptr;
    // Not stream-ordered: what the stream queued on p finishes before p goes (freed even when
    // the wait reports a fault, which leaves nothing running).
    const cudaError_t waited = stream_status(stream_);
    const cudaError_t freed = free_blocking(p);
    check_cuda(waited, "cudaStreamSynchronize");
    check_cuda(freed, "cudaFree");
}

// First-pass transform of the sum: x*x, x*x of negative entries only (NaN adds 0),
// x*x except at global index 0, that with x first multiplied by `scale`, or x itself
// (partial sums). `scale` is read by kSumScaledSquaresAfterFirst only.
__global__ void reduce_sum_sq_kernel(const double* x, double* partial, unsigned long long n, int mode,
                                     double scale) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    double v = 0.0;
    if (i < n) {
        const double xi = x[i];
        switch (mode) {
            case kSumSquares: v = xi * xi; break;
            case kSumNegativeSquares: v = xi < 0.0 ? xi * xi : 0.0; break;
            case kSumSquaresAfterFirst: v = i == 0 ? 0.0 : xi * xi; break;
            case kSumPlain: v = xi; break;
            case kSumScaledSquaresAfterFirst: {
                const double y = xi * scale;
                v = i == 0 ? 0.0 : y * y;
                break;
            }
            default: v = 0.0; break;
        }
    }
    block_partial(buf, v, BlockSum{}, partial);
}

// First-pass transform of the maximum: |x|, or the negative part -x of x < 0. A NaN
// becomes +inf in both: the block tree never takes an unordered value from its upper
// half, so a NaN kept as it is could be lost, and a maximum that feeds a membership
// test must fail on it.
__global__ void reduce_max_kernel(const double* x, double* partial, unsigned long long n, int mode) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    double v = 0.0;
    if (i < n) {
        const double xi = x[i];
        switch (mode) {
            case kMaxAbs: v = xi != xi ? HUGE_VAL : fabs(xi); break;
            case kMaxNegativePart: v = xi != xi ? HUGE_VAL : (xi < 0.0 ? -xi : 0.0); break;
            default: v = 0.0; break;
        }
    }
    block_partial(buf, v, BlockMax{}, partial);
}

// Minimum of the elements (mode unused): threads past n contribute +infinity; NaN wins.
__global__ void reduce_min_kernel(const double* x, double* partial, unsigned long long n, int /*mode*/) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    block_partial(buf, i < n ? x[i] : HUGE_VAL, BlockMinNanWins{}, partial);
}

namespace {

// A kernel of one reduction pass: (x, partial, n, mode, extra...).
template <class... Extra>
using ReduceKernel = void (*)(const double*, double*, unsigned long long, int, Extra...);

// Passes of 256 elements per block from `source` (n values) until one value is left, each
// pass writing its partials just after the previous pass's in `scratch`; later passes use
// `later_mode`, every pass the kernel's further arguments `extra`. Returns the device
// address of the last value.
template <class... Extra>
const double* run_passes(const char* name, ReduceKernel<Extra...> kernel, const double* source, unsigned long long n,
                         int first_mode, int later_mode, double* scratch, cudaStream_t stream, Extra... extra) {
    int mode = first_mode;
    for (;;) {
        const unsigned long long blocks = blocks_for(n);
        launch_checked(name, kernel, grid_for(n), dim3(kThreads), 0, stream, source, scratch, n, mode, extra...);
        if (blocks == 1) return scratch;
        source = scratch;
        scratch += blocks;
        n = blocks;
        mode = later_mode;
    }
}

// Scratch doubles of the passes over n values: ceil(n/256) + ceil(ceil(n/256)/256) + ... + 1.
unsigned long long passes_scratch(unsigned long long n) {
    unsigned long long total = 0;
    do {
        n = blocks_for(n);
        total += n;
    } while (n > 1);
    return total;
}

// The passes over n values as a finished scalar; `empty` for n = 0 (no call).
template <class... Extra>
double reduce(const char* name, ReduceKernel<Extra...> kernel, const double* x, unsigned long long n, int first_mode,
              int later_mode, cudaStream_t stream, double empty, Extra... extra) {
    if (n == 0) return empty;
    StreamBuffer scratch(passes_scratch(n), stream);
    const double* value = run_passes(name, kernel, x, n, first_mode, later_mode, scratch.get(), stream, extra...);
    return finish_scalar(value, scratch, stream);
}

}  // namespace

double reduce_sum_sq(const double* x, unsigned long long n, int mode, cudaStream_t stream, double scale) {
    return reduce("reduce_sum_sq_kernel", reduce_sum_sq_kernel, x, n, mode, kSumPlain, stream, 0.0, scale);
}

double reduce_max(const double* x, unsigned long long n, int mode, cudaStream_t stream) {
    return reduce("reduce_max_kernel", reduce_max_kernel, x, n, mode, kMaxAbs, stream, 0.0);
}

unsigned long long partials_scratch(unsigned long long blocks) { return blocks + passes_scratch(blocks); }

const double* combine_partials(Combine how, double* partials, unsigned long long blocks, cudaStream_t stream) {
    // The partial sums are added as they are; the partial maxima are non-negative, so the
    // absolute value leaves them unchanged.
    if (how == Combine::kSum)
        return run_passes("reduce_sum_sq_kernel", reduce_sum_sq_kernel, partials, blocks, kSumPlain, kSumPlain,
                          partials + blocks, stream, 1.0);
    if (how == Combine::kMin)
        return run_passes("reduce_min_kernel", reduce_min_kernel, partials, blocks, 0, 0, partials + blocks, stream);
    return run_passes("reduce_max_kernel", reduce_max_kernel, partials, blocks, kMaxAbs, kMaxAbs, partials + blocks,
                      stream);
}

double finish_scalar(const double* value, StreamBuffer& scratch, cudaStream_t stream) {
    double host = 0.0;
    cudaError_t status;
    {
        const BlockingWait wait;  // a copy into pageable host memory returns when it is done
        status = cudaMemcpyAsync(&host, value, sizeof(double), cudaMemcpyDeviceToHost, stream);
    }
    check_cuda(status, "cudaMemcpyAsync");
    scratch.release();
    wait_for_stream(stream);
    return host;
}

double read_device_double(const double* p, cudaStream_t stream) {
    double host = 0.0;
    cudaError_t status;
    {
        const BlockingWait wait;
        status = cudaMemcpyAsync(&host, p, sizeof(double), cudaMemcpyDeviceToHost, stream);
    }
    check_cuda(status, "cudaMemcpyAsync");
    wait_for_stream(stream);
    return host;
}

double reduce_min(const double* x, unsigned long long n, cudaStream_t stream) {
    return reduce("reduce_min_kernel", reduce_min_kernel, x, n, 0, 0, stream, HUGE_VAL);
}

}  // namespace velkora::torv::cones::device
