// The structural walks of the sparse H fill: a cone's block H(r, c) written into the
// value array of a caller's CSR or COO matrix at the block's stored positions. Rows
// [row_offset, row_offset + R) are the cone's; stored entries of those rows outside
// the block's columns are cleared, other rows are never written. Host memory only.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "host/host_device.hpp"
#include "host/vector_loops.hpp"

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

// Local row r of the CSR walk below, with its structural checks.
template <class Visit>
inline void csr_row(const i64* indptr, const i64* indices, u64 nnz, u64 r, u64 row_offset, Visit& visit) {
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

// CSR walk over rows [row_offset, row_offset + rows), in order, with the structural
// checks: visit(p, r, col) for every stored position p of local row r, col its column
// (non-negative). A structural failure stops the walk there.
template <class Visit>
void csr_walk(const i64* indptr, u64 indptr_len, const i64* indices, u64 nnz, u64 rows, u64 row_offset,
              Visit&& visit) {
    check_csr_indptr_length(indptr_len, rows, row_offset);
    for (u64 r = 0; r < rows; ++r) csr_row(indptr, indices, nnz, r, row_offset, visit);
}

// The number of rows from local row r on (at most rows - r) that store exactly one entry,
// their own diagonal one, at consecutive positions from indptr[row_offset + r]: such rows
// pass every structural check, and the walk would write H(r', r') at each.
inline u64 csr_diagonal_stretch(const i64* indptr, const i64* indices, u64 nnz, u64 r, u64 rows, u64 row_offset) {
    const i64 first = indptr[row_offset + r];
    if (first < 0 || static_cast<u64>(first) >= nnz) return 0;
    const u64 p = static_cast<u64>(first);
    const u64 limit = rows - r < nnz - p ? rows - r : nnz - p;
    return diagonal_positions(indptr + row_offset + r + 1, indices + p, first, static_cast<i64>(row_offset + r), limit);
}

// Entries that know the diagonal of their block: entry.diagonal(r, count, out) writes
// H(r + k, r + k) to out[k] for k < count, the same values as entry(r + k, r + k).
template <class Entry, class = void>
struct HasDiagonal : std::false_type {};
template <class Entry>
struct HasDiagonal<Entry, std::void_t<decltype(std::declval<const Entry&>().diagonal(u64(0), u64(0),
                                                                                       static_cast<double*>(nullptr)))>>
    : std::true_type {};

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
// With an entry that knows its diagonal, the rows that store just their diagonal entry go
// by stretches (one call of entry.diagonal each) and the other rows by the walk, in row
// order: the same writes and the same failures as the walk alone.
template <class Entry>
void csr_fill(const i64* indptr, u64 indptr_len, const i64* indices, double* values, u64 nnz, u64 rows,
              u64 row_offset, Entry&& entry) {
    auto visit = [&](u64 p, u64 r, i64 col) {
        u64 c;
        values[p] = local_index(col, row_offset, rows, c) ? entry(r, c) : 0.0;
    };
    if constexpr (HasDiagonal<std::decay_t<Entry>>::value) {
        check_csr_indptr_length(indptr_len, rows, row_offset);
        for (u64 r = 0; r < rows;) {
            const u64 stretch = csr_diagonal_stretch(indptr, indices, nnz, r, rows, row_offset);
            if (stretch > 0) {
                entry.diagonal(r, stretch, values + indptr[row_offset + r]);
                r += stretch;
            } else {
                csr_row(indptr, indices, nnz, r++, row_offset, visit);
            }
        }
    } else {
        csr_walk(indptr, indptr_len, indices, nnz, rows, row_offset, visit);
    }
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
