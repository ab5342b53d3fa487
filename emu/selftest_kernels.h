// Host launchers of the emulator's self-test kernels; each returns cudaGetLastError() after its launch.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace cuemu_selftest {

// out[b] = sum of x over block b's chunk, by a shared-memory tree (threads: power of two <= 256).
cudaError_t tree_sum(const double* x, int64_t n, double* out, unsigned threads);
// Each block rotates its chunk left by `rounds` places through shared memory (n % threads == 0).
cudaError_t rotate(const double* x, double* out, int64_t n, unsigned threads, int rounds);
// order[(b*rounds + r)*threads + t] = ticket drawn by thread t of block b in round r.
cudaError_t phases(int64_t* order, unsigned blocks, unsigned threads, int rounds);
// Barrier scenarios by mode: 0 every thread at one barrier (valid); 1 only the first half arrives;
// 2 odd and even threads at two different barriers; 3 thread 0 exits first; 4 the last thread exits
// after the others arrived; 5 thread 0 passes the barrier twice in a loop, the others once.
// marks[b] = 1 once block b starts.
// With read_error false the launch result is left for cudaPeekAtLastError / synchronize to report.
cudaError_t divergent(int mode, double* marks, unsigned blocks, unsigned threads, bool read_error);
// ~88 KiB of locals per thread, live across a barrier.
cudaError_t big_stack(const double* x, int64_t n, double* out, unsigned threads);
// Block-wise reversal through dynamic shared memory; first[i] = what thread i saw there before writing.
cudaError_t dyn_reverse(const double* x, double* out, double* first, int64_t n, unsigned threads,
                        size_t shared_bytes);
// 12 values per thread: blockIdx, threadIdx, blockDim, gridDim.
cudaError_t coords(int64_t* out, dim3 grid, dim3 block);
// counter[0] += 1 per thread, launched under the given name and configuration.
cudaError_t count(double* counter, dim3 grid, dim3 block, size_t shared, cudaStream_t stream, const char* name);
// One thread stores p[index] = value.
cudaError_t poke(double* p, int64_t index, double value);
constexpr int kDivergentModes = 6;

// Deliberately wrong kernels, each fine under the plain emulation and caught by one strict mode.
// out[b*threads + t] = x[b] published by thread 0 without a barrier (random thread order).
cudaError_t missing_barrier(const double* x, double* out, unsigned blocks, unsigned threads);
// ticket[b] = the counter's value when block b ran; counter[0] += 1 per block (block order, races).
cudaError_t block_tickets(double* counter, double* ticket, unsigned blocks);
// Sharing of device memory between blocks: 0 none, 1 all write a[0], 2 block b reads a[b+1] (races).
cudaError_t sharing(int mode, double* a, unsigned blocks);
// out[b*threads + t] = static shared memory before it is written (then every block writes it).
cudaError_t shared_first(double* out, unsigned blocks, unsigned threads);
// Spins while flag[0] == 0 (the watchdog); out[0] = iterations.
cudaError_t spin(const double* flag, double* out);
// out[i] = f(x[i], y[i]): 0 exp, 1 pow, 2 atan2, 3 sin, 4 cos, 5 hypot, 6 sin + cos (perturbed math).
cudaError_t math(int f, const double* x, const double* y, double* out, int64_t n);
constexpr int kMathFunctions = 7;
// Warp intrinsics (n % threads == 0): mode 0, per team of `width` lanes, out[2i] = the team's sum of
// x (xor butterfly of shuffles) and out[2i + 1] = x of the team's last lane; modes 1-4 misuse
// __syncwarp and the shuffles (see the kernel), each an execution fault.
cudaError_t warp(int mode, const double* x, double* out, int64_t n, unsigned threads, int width);
constexpr int kWarpModes = 5;
// Whether these kernels were compiled with the memory-access hooks (watchdog, races, switches).
bool instrumented();

}  // namespace cuemu_selftest
