// Device runtime layer: error reporting, per-thread device selection, device
// availability, scratch buffers and the multi-pass sum-of-squares and maximum
// reductions from which the scalar device operations get their results.
#include <memory>
#include <stdexcept>
#include <string>

#include "cuda/device_common.cuh"
#include "host/second_order.hpp"

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

namespace {
// Ordinal this layer last selected on the calling host thread (-1: none yet).
thread_local int t_selected_device = -1;
}  // namespace

void ensure_device(int device) {
    // The runtime is asked too (no driver call), because another library in the
    // process may have made a different device current since our last selection.
    int current = -1;
    if (cudaGetDevice(&current) != cudaSuccess) {
        cudaGetLastError();
        current = -1;
    }
    if (t_selected_device == device && current == device) return;
    check_cuda(cudaSetDevice(device), "cudaSetDevice");
    t_selected_device = device;
}

void synchronize_device() { check_cuda(cudaDeviceSynchronize(), "cudaDeviceSynchronize"); }

DeviceBuffer::DeviceBuffer(unsigned long long count) {
    void* p = nullptr;
    check_cuda(cudaMalloc(&p, count * sizeof(double)), "cudaMalloc");
    ptr_ = static_cast<double*>(p);
}

DeviceBuffer::~DeviceBuffer() {
    if (ptr_ != nullptr) cudaFree(ptr_);
}

void DeviceBuffer::release() {
    double* p = ptr_;
    ptr_ = nullptr;
    if (p != nullptr) check_cuda(cudaFree(p), "cudaFree");
}

StreamBuffer::StreamBuffer(unsigned long long count, cudaStream_t stream) : stream_(stream) {
    void* p = nullptr;
    check_cuda(cudaMallocAsync(&p, count * sizeof(double), stream), "cudaMallocAsync");
    ptr_ = static_cast<double*>(p);
}

StreamBuffer::~StreamBuffer() {
    if (ptr_ != nullptr) cudaFreeAsync(ptr_, stream_);
}

void StreamBuffer::release() {
    double* p = ptr_;
    ptr_ = nullptr;
    if (p != nullptr) check_cuda(cudaFreeAsync(p, stream_), "cudaFreeAsync");
}

// First-pass transform of the sum: x*x, x*x of negative entries only (NaN adds 0),
// x*x except at global index 0 (the second-order tail), that with x first multiplied by
// 2^-600 or 2^600 (the tail's rescue from overflow or underflow), or x itself (partial sums).
__global__ void reduce_sum_sq_kernel(const double* x, double* partial, unsigned long long n, int mode) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    double v = 0.0;
    if (i < n) {
        const double xi = x[i];
        switch (mode) {
            case kSumSquares: v = xi * xi; break;
            case kSumNegativeSquares: v = xi < 0.0 ? xi * xi : 0.0; break;
            case kSumTailSquares: v = i == 0 ? 0.0 : xi * xi; break;
            case kSumPlain: v = xi; break;
            case kSumTailSquaresShrunk: {
                const double y = xi * (1.0 / host::kSocRescueFactor);
                v = i == 0 ? 0.0 : y * y;
                break;
            }
            case kSumTailSquaresGrown: {
                const double y = xi * host::kSocRescueFactor;
                v = i == 0 ? 0.0 : y * y;
                break;
            }
            default: v = 0.0; break;
        }
    }
    const double total = block_sum(buf, v);
    if (threadIdx.x == 0) partial[blockIdx.x] = total;
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
    const double top = block_max(buf, v);
    if (threadIdx.x == 0) partial[blockIdx.x] = top;
}

// Minimum of the elements (mode unused): threads past n contribute +infinity; NaN wins.
__global__ void reduce_min_kernel(const double* x, double* partial, unsigned long long n, int /*mode*/) {
    __shared__ double buf[kThreads];
    const unsigned long long i = global_index();
    const double low = block_min(buf, i < n ? x[i] : HUGE_VAL);
    if (threadIdx.x == 0) partial[blockIdx.x] = low;
}

namespace {

// Passes of 256 elements per block until one value is left; later passes use
// `later_mode` on the partials. Each pass's input partials are freed after the next
// launch; the last value comes back by a blocking copy, then the device is synchronised.
double multi_pass(const char* name, void (*kernel)(const double*, double*, unsigned long long, int),
                  const double* x, unsigned long long n, int first_mode, int later_mode, double empty = 0.0) {
    if (n == 0) return empty;
    std::unique_ptr<DeviceBuffer> input;
    const double* source = x;
    int mode = first_mode;
    for (;;) {
        const unsigned long long blocks = blocks_for(n);
        auto partial = std::make_unique<DeviceBuffer>(blocks);
        launch_checked(name, kernel, grid_for(n), dim3(kThreads), 0, nullptr, source, partial->get(), n, mode);
        if (input) input->release();
        input.reset();
        if (blocks == 1) {
            double value = 0.0;
            check_cuda(cudaMemcpy(&value, partial->get(), sizeof(double), cudaMemcpyDeviceToHost), "cudaMemcpy");
            partial->release();
            synchronize_device();
            return value;
        }
        input = std::move(partial);
        source = input->get();
        n = blocks;
        mode = later_mode;
    }
}

}  // namespace

double reduce_sum_sq(const double* x, unsigned long long n, int mode) {
    return multi_pass("reduce_sum_sq_kernel", reduce_sum_sq_kernel, x, n, mode, kSumPlain);
}

double reduce_max(const double* x, unsigned long long n, int mode) {
    return multi_pass("reduce_max_kernel", reduce_max_kernel, x, n, mode, kMaxAbs);
}

double reduce_min(const double* x, unsigned long long n) {
    return multi_pass("reduce_min_kernel", reduce_min_kernel, x, n, 0, 0, HUGE_VAL);
}

}  // namespace velkora::torv::cones::device
