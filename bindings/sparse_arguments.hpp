// The caller's sparse matrix of an H fill (hmatrix_csr_values_into, hmatrix_coo_values_into
// and fills of that kind), in both modules: its two index arrays and its values in CSR or COO
// form, their views in parameter order, their device checks against the deciding input, the
// rule on shared memory, and the host walks. What is filled and which kernels fill it on a
// device are the caller's.
#pragma once

#include <cstdint>

#include "host/sparse_fill.hpp"
#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

enum class SparseFormat { kCsr, kCoo };

// The fill method of a format and the names of its index parameters.
template <SparseFormat Format>
struct SparseNames;
template <>
struct SparseNames<SparseFormat::kCsr> {
    static constexpr const char* method = "hmatrix_csr_values_into";
    static constexpr const char* first = "indptr";
    static constexpr const char* second = "indices";
};
template <>
struct SparseNames<SparseFormat::kCoo> {
    static constexpr const char* method = "hmatrix_coo_values_into";
    static constexpr const char* first = "row_indices";
    static constexpr const char* second = "col_indices";
};

// CSR: first = indptr, second = column indices. COO: first = row indices, second = column
// indices. values: one entry per stored position.
template <SparseFormat Format>
struct SparseTarget {
    VectorView<const std::int64_t> first;
    VectorView<const std::int64_t> second;
    VectorView<double> values;
};

// The views in parameter order: the two index arrays, then values, as many as the CSR column
// indices or the COO row indices; COO column indices as many as its row indices ("COO
// col_indices expected <n> entries, got <m>").
template <SparseFormat Format>
SparseTarget<Format> sparse_target(const IndexVector& first, const IndexVector& second, const RwVector& values) {
    SparseTarget<Format> t;
    t.first = index_vector_view(first, SparseNames<Format>::first);
    t.second = index_vector_view(second, SparseNames<Format>::second);
    if constexpr (Format == SparseFormat::kCsr) {
        t.values = vector_view(values, t.second.size, "values");
    } else {
        t.values = vector_view(values, t.first.size, "values");
        check_entry_count(t.second.size, t.first.size, "COO col_indices");
    }
    return t;
}

// The target on the device of the call's deciding input: values first (its ordinal is
// returned), then the two index arrays.
template <SparseFormat Format>
int check_target_device(const Placement& input, const SparseTarget<Format>& t) {
    const int device = check_input_output_device(input, t.values);
    check_index_device(input, t.first, "first sparse index");
    check_index_device(input, t.second, "second sparse index");
    return device;
}

// The values apart from the call's inputs and from the index arrays (check_no_overlap).
template <SparseFormat Format, class... In>
void check_target_apart(const SparseTarget<Format>& t, const VectorView<In>&... inputs) {
    check_no_overlap(t.values, inputs..., t.first, t.second);
}

// Before a device fill of rows [row_offset, row_offset + rows): the kernels read a CSR indptr
// at those rows, whose length is known here, so a short one is refused before launching. A
// COO structure has nothing to test before the kernels.
template <SparseFormat Format>
void check_device_structure(const SparseTarget<Format>& t, u64 rows, u64 row_offset) {
    if constexpr (Format == SparseFormat::kCsr) host::check_csr_indptr_length(t.first.size, rows, row_offset);
}

// The structural walk of a host fill of rows [row_offset, row_offset + rows) alone, writing
// nothing: run first, it lets a refusal leave the values untouched.
template <SparseFormat Format>
void check_host_structure(const SparseTarget<Format>& t, u64 rows, u64 row_offset) {
    auto nothing = [](u64, u64, host::i64) {};
    if constexpr (Format == SparseFormat::kCsr)
        host::csr_walk(t.first.data, t.first.size, t.second.data, t.values.size, rows, row_offset, nothing);
    else
        host::coo_walk(t.first.data, t.second.data, t.values.size, rows, row_offset, nothing);
}

// The host fill of rows [row_offset, row_offset + rows) with entry(r, c) of the block.
template <SparseFormat Format, class Entry>
void host_fill(const SparseTarget<Format>& t, u64 rows, u64 row_offset, Entry& entry) {
    if constexpr (Format == SparseFormat::kCsr)
        host::csr_fill(t.first.data, t.first.size, t.second.data, t.values.data, t.values.size, rows, row_offset,
                       entry);
    else
        host::coo_fill(t.first.data, t.second.data, t.values.data, t.values.size, rows, row_offset, entry);
}

}  // namespace velkora::torv::cones::cpp
