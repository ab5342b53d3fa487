// The sparse H fill on the device, shared by every fill kernel: a cone block's entries
// written into the value array of a CSR or COO matrix in device memory. The caller's entry
// functor gives H at block-local (r, c); the walks decide which stored positions belong to
// the block. Malformed structure never causes a write outside `values`: positions >= nnz are
// skipped, negative or out-of-block columns give 0.0, invalid row pointers skip the row.
// Below the walks: the launch of a fill kernel, and the gather of a block computed first as
// a dense d x d matrix in stream-ordered scratch.
#pragma once

#include <cstdint>
#include <utility>

#include "cuda/device_common.cuh"

namespace velkora::torv::cones::device {

// A caller's 64-bit index array (CSR row pointers and columns, COO rows and columns) as the
// gather kernels' long long.
static_assert(sizeof(long long) == sizeof(std::int64_t), "index arrays are 64-bit");
inline const long long* as_index(const std::int64_t* p) { return reinterpret_cast<const long long*>(p); }

// Local index of a global index inside [offset, offset + d); false when negative or
// outside. One unsigned comparison after the sign test, no wrapping sum.
__device__ __forceinline__ bool block_local(long long global, unsigned long long offset, unsigned long long d,
                                            unsigned long long& local) {
    if (global < 0) return false;
    local = static_cast<unsigned long long>(global) - offset;
    return static_cast<unsigned long long>(global) >= offset && local < d;
}

// The stored positions of global row `row`, strided over the block's threads up to
// min(end, nnz) so that a garbage end cannot keep them looping: values[k] =
// value(indices[k]) (the column as stored, possibly negative). A row whose pointers are
// negative or decreasing is skipped.
template <class Value>
__device__ __forceinline__ void csr_row_walk(const long long* indptr, const long long* indices, double* values,
                                             unsigned long long nnz, unsigned long long row, const Value& value) {
    const long long start = indptr[row];
    const long long end = indptr[row + 1];
    if (start < 0 || end < start) return;
    const unsigned long long stop = static_cast<unsigned long long>(end) < nnz ? static_cast<unsigned long long>(end) : nnz;
    for (unsigned long long k = static_cast<unsigned long long>(start) + threadIdx.x; k < stop; k += blockDim.x)
        values[k] = value(indices[k]);
}

// One block per local row r of the block [row_offset, row_offset + d).
template <class Entry>
__device__ __forceinline__ void csr_rows(const long long* indptr, const long long* indices, double* values,
                                         unsigned long long nnz, unsigned long long d, unsigned long long row_offset,
                                         const Entry& entry) {
    const unsigned long long r = blockIdx.x;
    csr_row_walk(indptr, indices, values, nnz, row_offset + r, [&](long long col) {
        unsigned long long c;
        return block_local(col, row_offset, d, c) ? entry(r, c) : 0.0;
    });
}

// One thread per stored position: other rows keep their values, negative indices clear.
template <class Entry>
__device__ __forceinline__ void coo_entries(const long long* row_indices, const long long* col_indices,
                                            double* values, unsigned long long nnz, unsigned long long d,
                                            unsigned long long row_offset, const Entry& entry) {
    const unsigned long long k = global_index();
    if (k >= nnz) return;
    const long long row = row_indices[k];
    const long long col = col_indices[k];
    if (row < 0 || col < 0) {
        values[k] = 0.0;
        return;
    }
    unsigned long long r, c;
    if (!block_local(row, row_offset, d, r)) return;
    values[k] = block_local(col, row_offset, d, c) ? entry(r, c) : 0.0;
}

// Launch of a fill kernel on `device` and `stream`: a CSR kernel runs one block per row of
// the block's `rows` rows, a COO kernel one thread per stored position; nothing is launched
// when there is nothing to fill.
template <class... Params, class... Args>
void launch_csr_fill(const char* name, void (*kernel)(Params...), std::uint64_t rows, int device,
                     StreamHandle stream, Args&&... args) {
    const DeviceGuard guard(device);
    if (rows == 0) return;
    launch_checked(name, kernel, grid_blocks(rows), dim3(kThreads), 0, to_stream(stream), std::forward<Args>(args)...);
}

template <class... Params, class... Args>
void launch_coo_fill(const char* name, void (*kernel)(Params...), std::uint64_t nnz, int device,
                     StreamHandle stream, Args&&... args) {
    const DeviceGuard guard(device);
    if (nnz == 0) return;
    launch_checked(name, kernel, grid_for(nnz), dim3(kThreads), 0, to_stream(stream), std::forward<Args>(args)...);
}

#define VELKORA_LAUNCH_CSR_FILL(kernel, rows, device, stream, ...) \
    ::velkora::torv::cones::device::launch_csr_fill(#kernel, kernel, rows, device, stream, __VA_ARGS__)
#define VELKORA_LAUNCH_COO_FILL(kernel, nnz, device, stream, ...) \
    ::velkora::torv::cones::device::launch_coo_fill(#kernel, kernel, nnz, device, stream, __VA_ARGS__)

// The stored positions of one fill: CSR (row pointers and columns) or COO (rows and columns).
struct FillStructure {
    bool csr;
    const std::int64_t* first;   // indptr or row_indices
    const std::int64_t* second;  // indices or col_indices
    double* values;
    std::uint64_t nnz;
    std::uint64_t row_offset;
};

// Fill of `st` from the d x d row-major matrix `dense` in device memory (queued on `stream`).
void gather_dense(const double* dense, const FillStructure& st, std::uint64_t d, cudaStream_t stream);

// A block computed as a d x d dense matrix first: `fill(scratch)` queues that on `stream`
// into stream-ordered scratch, then the gather reads it.
template <class Fill>
void fill_from_dense(const FillStructure& st, std::uint64_t d, int device, StreamHandle stream, Fill&& fill) {
    const DeviceGuard guard(device);
    if (d == 0 || (!st.csr && st.nnz == 0)) return;
    const cudaStream_t cs = to_stream(stream);
    StreamBuffer scratch(d * d, cs);
    fill(scratch.get());
    gather_dense(scratch.get(), st, d, cs);
    scratch.release();
}

}  // namespace velkora::torv::cones::device
