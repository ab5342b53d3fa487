// Self-test kernels of the emulator, written in CUDA style against the stand-in runtime header.
#include "selftest_kernels.h"

namespace {

constexpr int kLocalDoubles = 11264;  // 88 KiB of locals per thread

__global__ void cuemu_tree_sum(const double* __restrict__ x, int64_t n, double* __restrict__ out) {
    __shared__ double buf[256];
    const unsigned t = threadIdx.x;
    const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + t;
    buf[t] = i < n ? x[i] : 0.0;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
        if (t < s) buf[t] += buf[t + s];
        __syncthreads();
    }
    if (t == 0) out[blockIdx.x] = buf[0];
}

__global__ void cuemu_rotate(const double* __restrict__ x, double* __restrict__ out, int rounds) {
    __shared__ double buf[1024];
    const unsigned t = threadIdx.x, b = blockDim.x;
    const int64_t i = static_cast<int64_t>(blockIdx.x) * b + t;
    double v = x[i];
    for (int r = 0; r < rounds; ++r) {
        buf[t] = v;
        __syncthreads();
        v = buf[(t + 1) % b];
        __syncthreads();  // nobody overwrites buf before every neighbour has read it
    }
    out[i] = v;
}

// The ticket counter is updated without atomics on purpose: emulated threads are cooperative,
// so the tickets show exactly in which order threads passed through each phase.
__global__ void cuemu_phases(int64_t* order, int rounds) {
    __shared__ int64_t ticket;
    if (threadIdx.x == 0) ticket = 0;
    __syncthreads();
    for (int r = 0; r < rounds; ++r) {
        order[(static_cast<int64_t>(blockIdx.x) * rounds + r) * blockDim.x + threadIdx.x] = ticket++;
        __syncthreads();
    }
}

__global__ void cuemu_divergent(int mode, double* marks) {
    const unsigned t = threadIdx.x;
    if (t == 0) marks[blockIdx.x] = 1.0;
    switch (mode) {
        case 0:
            __syncthreads();
            break;
        case 1:
            if (t < blockDim.x / 2) __syncthreads();
            break;
        case 2:
            if (t % 2) {
                __syncthreads();
            } else {
                __syncthreads();
            }
            break;
        case 3:
            if (t == 0) return;
            __syncthreads();
            break;
        case 4:
            if (t == blockDim.x - 1) return;
            __syncthreads();
            break;
        case 5:
            for (unsigned k = 0; k < 1 + (t == 0 ? 1u : 0u); ++k) __syncthreads();
            break;
        default:
            break;
    }
}

__global__ void cuemu_big_stack(const double* __restrict__ x, int64_t n, double* __restrict__ out) {
    double local[kLocalDoubles];
    const int64_t gid = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    for (int i = 0; i < kLocalDoubles; ++i) local[i] = x[(i + gid) % n];
    __syncthreads();  // every thread of the block is now parked with its array alive
    double acc = 0.0;
    for (int i = 0; i < kLocalDoubles; ++i) acc += local[i] * static_cast<double>(i % 7 + 1);
    out[gid] = acc;
}

__global__ void cuemu_dyn_reverse(const double* __restrict__ x, double* __restrict__ out, double* __restrict__ first) {
    double* dyn = static_cast<double*>(cuemu::dynamic_shared_memory());
    const unsigned t = threadIdx.x, b = blockDim.x;
    const int64_t i = static_cast<int64_t>(blockIdx.x) * b + t;
    first[i] = dyn[t];  // each thread reads its own slot before writing it
    dyn[t] = x[i];
    __syncthreads();
    out[i] = dyn[b - 1 - t];
}

__global__ void cuemu_coords(int64_t* out) {
    const int64_t block = (static_cast<int64_t>(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    const int64_t per_block = static_cast<int64_t>(blockDim.x) * blockDim.y * blockDim.z;
    const int64_t thread = (static_cast<int64_t>(threadIdx.z) * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    int64_t* o = out + (block * per_block + thread) * 12;
    const unsigned v[12] = {blockIdx.x,  blockIdx.y,  blockIdx.z,  threadIdx.x, threadIdx.y, threadIdx.z,
                            blockDim.x,  blockDim.y,  blockDim.z,  gridDim.x,   gridDim.y,   gridDim.z};
    for (int k = 0; k < 12; ++k) o[k] = v[k];
}

__global__ void cuemu_count(double* counter) { counter[0] += 1.0; }

__global__ void cuemu_poke(double* p, int64_t index, double value) { p[index] = value; }

unsigned blocks_for(int64_t n, unsigned threads) {
    return static_cast<unsigned>((n + threads - 1) / threads);
}

}  // namespace

namespace cuemu_selftest {

cudaError_t tree_sum(const double* x, int64_t n, double* out, unsigned threads) {
    auto k = [=] { cuemu_tree_sum(x, n, out); };
    cuemu::launch("cuemu_tree_sum", dim3(blocks_for(n, threads)), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t rotate(const double* x, double* out, int64_t n, unsigned threads, int rounds) {
    auto k = [=] { cuemu_rotate(x, out, rounds); };
    cuemu::launch("cuemu_rotate", dim3(blocks_for(n, threads)), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t phases(int64_t* order, unsigned blocks, unsigned threads, int rounds) {
    auto k = [=] { cuemu_phases(order, rounds); };
    cuemu::launch("cuemu_phases", dim3(blocks), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t divergent(int mode, double* marks, unsigned blocks, unsigned threads, bool read_error) {
    auto k = [=] { cuemu_divergent(mode, marks); };
    cuemu::launch("cuemu_divergent", dim3(blocks), dim3(threads), 0, nullptr, k);
    return read_error ? cudaGetLastError() : cudaSuccess;
}

cudaError_t big_stack(const double* x, int64_t n, double* out, unsigned threads) {
    auto k = [=] { cuemu_big_stack(x, n, out); };
    cuemu::launch("cuemu_big_stack", dim3(blocks_for(n, threads)), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t dyn_reverse(const double* x, double* out, double* first, int64_t n, unsigned threads,
                        size_t shared_bytes) {
    auto k = [=] { cuemu_dyn_reverse(x, out, first); };
    cuemu::launch("cuemu_dyn_reverse", dim3(blocks_for(n, threads)), dim3(threads), shared_bytes, nullptr, k);
    return cudaGetLastError();
}

cudaError_t coords(int64_t* out, dim3 grid, dim3 block) {
    auto k = [=] { cuemu_coords(out); };
    cuemu::launch("cuemu_coords", grid, block, 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t count(double* counter, dim3 grid, dim3 block, size_t shared, cudaStream_t stream, const char* name) {
    auto k = [=] { cuemu_count(counter); };
    cuemu::launch(name, grid, block, shared, stream, k);
    return cudaGetLastError();
}

cudaError_t poke(double* p, int64_t index, double value) {
    auto k = [=] { cuemu_poke(p, index, value); };
    cuemu::launch("cuemu_poke", dim3(1), dim3(1), 0, nullptr, k);
    return cudaGetLastError();
}

}  // namespace cuemu_selftest
