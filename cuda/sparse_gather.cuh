// The device walks of the sparse H fill, shared by every gather kernel: a cone block's
// entries written into the value array of a CSR or COO matrix in device memory. The caller's
// entry functor gives H at block-local (r, c); the walks decide which stored positions belong
// to the block. Malformed structure never causes a write outside `values`: positions >= nnz
// are skipped, negative or out-of-block columns give 0.0, invalid row pointers skip the row.
#pragma once

#include <cstdint>

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

}  // namespace velkora::torv::cones::device
