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

// Deliberately wrong kernels, one per strict mode, each fine under the plain emulation.

// Thread 0 publishes x[block] in shared memory and nobody waits for it (the barrier is
// missing): right when threads run in index order, wrong when another thread runs first.
__global__ void cuemu_missing_barrier(const double* x, double* out) {
    __shared__ double value;
    if (threadIdx.x == 0) value = x[blockIdx.x];
    out[static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x] = value;
}

// Every block takes the next ticket of a counter in global memory (no atomics): the tickets
// show the order in which blocks ran, and blocks read and write the same address.
__global__ void cuemu_block_tickets(double* counter, double* ticket) {
    if (threadIdx.x != 0) return;
    const double t = counter[0];
    counter[0] = t + 1.0;
    ticket[blockIdx.x] = t;
}

// mode 0: block b writes a[b] (no sharing); 1: every block writes a[0]; 2: block b reads
// a[b + 1], which block b + 1 writes.
__global__ void cuemu_sharing(int mode, double* a) {
    if (threadIdx.x != 0) return;
    const unsigned b = blockIdx.x;
    switch (mode) {
        case 1: a[0] = b; break;
        case 2: a[b] = b + 1 < gridDim.x ? a[b + 1] + 1.0 : 0.0; break;
        default: a[b] = b; break;
    }
}

// What each thread finds in static shared memory before anything is written there.
__global__ void cuemu_shared_first(double* out) {
    __shared__ double fresh[64];
    const unsigned t = threadIdx.x;
    out[static_cast<int64_t>(blockIdx.x) * blockDim.x + t] = fresh[t % 64];
    __syncthreads();
    fresh[t % 64] = 1.0;  // a block that sees this value saw the previous block's memory
}

// Spins while flag[0] == 0: a kernel that never ends unless the watchdog stops it.
__global__ void cuemu_spin(const double* flag, double* out) {
    double n = 0.0;
    while (*static_cast<const volatile double*>(flag) == 0.0) n += 1.0;
    out[0] = n;
}

// out[i] = f(x[i], y[i]) for f in exp, pow, atan2, sin, cos, hypot, sincos (sin + cos).
__global__ void cuemu_math(int f, const double* x, const double* y, double* out, int64_t n) {
    const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const double a = x[i], b = y[i];
    double r = 0.0;
    switch (f) {
        case 0: r = exp(a); break;
        case 1: r = pow(a, b); break;
        case 2: r = atan2(a, b); break;
        case 3: r = sin(a); break;
        case 4: r = cos(a); break;
        case 5: r = hypot(a, b); break;
        default: r = sin(a) + cos(a); break;
    }
    out[i] = r;
}

// Warp intrinsics by mode. 0 (valid): the lanes of each width-lane segment form a team (mask of
// the segment); out[2i] = the team's sum of x by an xor butterfly of shuffles, out[2i + 1] = x of
// the team's last lane by an indexed shuffle, after a __syncwarp. Misuse (each fails the launch):
// 1 lane 0 syncs with a mask that leaves it out; 2 lane 0 exits while the others sync with the
// full mask; 3 even and odd lanes sync at two different sites; 4 lanes 0..15 read lanes 16..31
// with a mask of lanes 0..15 only.
__global__ void cuemu_warp(int mode, const double* x, double* out, int width) {
    const unsigned t = threadIdx.x, lane = t % 32;
    const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + t;
    switch (mode) {
        case 1:
            __syncwarp(lane == 0 ? 0xfffffffeu : 0xffffffffu);
            return;
        case 2:
            if (lane == 0) return;
            __syncwarp();
            return;
        case 3:
            if (lane % 2) {
                __syncwarp();
            } else {
                __syncwarp();
            }
            return;
        case 4:
            out[i] = __shfl_xor_sync(lane < 16 ? 0x0000ffffu : 0xffff0000u, x[i], 16);
            return;
        default:
            break;
    }
    const unsigned w = static_cast<unsigned>(width);
    const unsigned team = w == 32 ? 0xffffffffu : ((1u << w) - 1u) << (lane & ~(w - 1));
    double sum = x[i];
    for (int offset = width / 2; offset > 0; offset /= 2) sum += __shfl_xor_sync(team, sum, offset, width);
    __syncwarp(team);
    out[2 * i] = sum;
    out[2 * i + 1] = __shfl_sync(team, x[i], width - 1, width);
}

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

bool instrumented() {
#ifdef __SANITIZE_THREAD__
    return true;
#else
    return false;
#endif
}

cudaError_t missing_barrier(const double* x, double* out, unsigned blocks, unsigned threads) {
    auto k = [=] { cuemu_missing_barrier(x, out); };
    cuemu::launch("cuemu_missing_barrier", dim3(blocks), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t block_tickets(double* counter, double* ticket, unsigned blocks) {
    auto k = [=] { cuemu_block_tickets(counter, ticket); };
    cuemu::launch("cuemu_block_tickets", dim3(blocks), dim3(32), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t sharing(int mode, double* a, unsigned blocks) {
    auto k = [=] { cuemu_sharing(mode, a); };
    cuemu::launch("cuemu_sharing", dim3(blocks), dim3(4), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t shared_first(double* out, unsigned blocks, unsigned threads) {
    auto k = [=] { cuemu_shared_first(out); };
    cuemu::launch("cuemu_shared_first", dim3(blocks), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t spin(const double* flag, double* out) {
    auto k = [=] { cuemu_spin(flag, out); };
    cuemu::launch("cuemu_spin", dim3(1), dim3(1), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t warp(int mode, const double* x, double* out, int64_t n, unsigned threads, int width) {
    auto k = [=] { cuemu_warp(mode, x, out, width); };
    cuemu::launch("cuemu_warp", dim3(blocks_for(n, threads)), dim3(threads), 0, nullptr, k);
    return cudaGetLastError();
}

cudaError_t math(int f, const double* x, const double* y, double* out, int64_t n) {
    auto k = [=] { cuemu_math(f, x, y, out, n); };
    cuemu::launch("cuemu_math", dim3(blocks_for(n, 64)), dim3(64), 0, nullptr, k);
    return cudaGetLastError();
}

}  // namespace cuemu_selftest
