// The structural walks of the sparse H fill: a cone's block H(r, c) written into the
// value array of a caller's CSR or COO matrix at the block's stored positions. Rows
// [row_offset, row_offset + R) are the cone's; stored entries of those rows outside
// the block's columns are cleared, other rows are never written. Host memory only.
#pragma once

#include <cstdint>

#include "host/host_device.hpp"

namespace velkora::torv::cones::host {

using u64 = std::uint64_t;
using i64 = std::int64_t;

[[noreturn]] void fail_sparse(const char* message);

// len(indptr) must cover rows row_offset .. row_offset + R (R + 1 pointers), tested
// without wrapping arithmetic for row_offset near 2^64.
void check_csr_indptr_length(u64 indptr_len, u64 rows, u64 row_offset);

// Local index of a signed global index inside [row_offset, row_offset + rows): returns
// false when outside. The sign has been tested by the caller.
inline bool local_index(i64 global, u64 row_offset, u64 rows, u64& local) {
    local = static_cast<u64>(global) - row_offset;  // wraps to a huge value below row_offset
    return static_cast<u64>(global) >= row_offset && local < rows;
}

// CSR walk over rows [row_offset, row_offset + rows), in order, with the structural
// checks: visit(p, r, col) for every stored position p of local row r, col its column
// (non-negative). A structural failure stops the walk there.
template <class Visit>
void csr_walk(const i64* indptr, u64 indptr_len, const i64* indices, u64 nnz, u64 rows, u64 row_offset,
              Visit&& visit) {
    check_csr_indptr_length(indptr_len, rows, row_offset);
    for (u64 r = 0; r < rows; ++r) {
        const i64 start = indptr[row_offset + r];
        if (start < 0) fail_sparse("CSR indptr must be nonnegative");
        const i64 end = indptr[row_offset + r + 1];
        if (end < 0) fail_sparse("CSR indptr must be nonnegative");
        if (end < start || static_cast<u64>(end) > nnz)
            fail_sparse("CSR indptr entries must be monotone and within values length");
        for (u64 p = static_cast<u64>(start); p < static_cast<u64>(end); ++p) {
            const i64 col = indices[p];
            if (col < 0) fail_sparse("CSR indices must be nonnegative");
            visit(p, r, col);
        }
    }
}

// COO walk, entries in order: visit(p, r, col) for entries of rows [row_offset, row_offset
// + rows) (local row r, non-negative column); entries of other rows are passed over (their
// column is not examined); a negative row is refused wherever it appears.
template <class Visit>
void coo_walk(const i64* row_indices, const i64* col_indices, u64 nnz, u64 rows, u64 row_offset, Visit&& visit) {
    for (u64 p = 0; p < nnz; ++p) {
        const i64 row = row_indices[p];
        if (row < 0) fail_sparse("COO row_indices must be nonnegative");
        u64 r;
        if (!local_index(row, row_offset, rows, r)) continue;
        const i64 col = col_indices[p];
        if (col < 0) fail_sparse("COO col_indices must be nonnegative");
        visit(p, r, col);
    }
}

// The fills: `entry(r, c)` gives H at local (r, c); stored positions of the block's rows
// outside its columns are cleared. Positions written before a structural failure keep
// their new values.
template <class Entry>
void csr_fill(const i64* indptr, u64 indptr_len, const i64* indices, double* values, u64 nnz, u64 rows,
              u64 row_offset, Entry&& entry) {
    csr_walk(indptr, indptr_len, indices, nnz, rows, row_offset, [&](u64 p, u64 r, i64 col) {
        u64 c;
        values[p] = local_index(col, row_offset, rows, c) ? entry(r, c) : 0.0;
    });
}

template <class Entry>
void coo_fill(const i64* row_indices, const i64* col_indices, double* values, u64 nnz, u64 rows, u64 row_offset,
              Entry&& entry) {
    coo_walk(row_indices, col_indices, nnz, rows, row_offset, [&](u64 p, u64 r, i64 col) {
        u64 c;
        values[p] = local_index(col, row_offset, rows, c) ? entry(r, c) : 0.0;
    });
}

// Entry (r, c) of `batch` items' n x n blocks laid out as consecutive diagonal blocks:
// item(b, i, j) inside item b's own block, 0.0 where r and c belong to different items.
template <class Item>
struct BatchedBlocks {
    u64 n;
    Item item;
    VELKORA_HD double operator()(u64 r, u64 c) const {
        const u64 b = r / n;
        if (c / n != b) return 0.0;
        return item(b, r - b * n, c - b * n);
    }
};

}  // namespace velkora::torv::cones::host
