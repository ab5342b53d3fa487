// Capsule-owned result arrays and the unit-vector and identity helpers.
#include "bindings/results.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "host/dense_helpers.hpp"

namespace velkora::torv::cones::cpp {

void throw_allocation_failed(const char* what) { throw std::runtime_error(std::string(what) + " allocation failed"); }

double* zeroed_doubles(u64 count, const char* what) {
    // calloc(0, ...) may legitimately return null; ask for one element instead.
    void* p = std::calloc(count == 0 ? 1 : count, sizeof(double));
    if (p == nullptr) throw_allocation_failed(what);
    return static_cast<double*>(p);
}

std::int64_t* zeroed_indices(u64 count, const char* what) {
    void* p = std::calloc(count == 0 ? 1 : count, sizeof(std::int64_t));
    if (p == nullptr) throw_allocation_failed(what);
    return static_cast<std::int64_t*>(p);
}

static nb::capsule owning_capsule(void* buffer) {
    try {
        return nb::capsule(buffer, [](void* p) noexcept { std::free(p); });
    } catch (...) {
        std::free(buffer);
        throw;
    }
}

OwnedVector make_owned_array(double* buffer, u64 count) {
    nb::capsule owner = owning_capsule(buffer);
    return OwnedVector(buffer, {static_cast<size_t>(count)}, owner);
}

OwnedIndexVector make_owned_index_array(std::int64_t* buffer, u64 count) {
    nb::capsule owner = owning_capsule(buffer);
    return OwnedIndexVector(buffer, {static_cast<size_t>(count)}, owner);
}

OwnedMatrix make_owned_array(double* buffer, u64 rows, u64 cols) {
    nb::capsule owner = owning_capsule(buffer);
    return OwnedMatrix(buffer, {static_cast<size_t>(rows), static_cast<size_t>(cols)}, owner);
}

OwnedMatrix dense_to_owned_array(const std::vector<double>& dense, u64 n, const char* what) {
    if (dense.size() != checked_count({n, n}))
        throw std::runtime_error(std::string(what) + " internal dense matrix size mismatch");
    double* buffer = zeroed_doubles(dense.size(), what);
    if (!dense.empty()) std::memcpy(buffer, dense.data(), dense.size() * sizeof(double));
    return make_owned_array(buffer, n, n);
}

std::vector<double> identity_values(u64 n) {
    std::vector<double> values(checked_count({n, n}), 0.0);
    for (u64 i = 0; i < n; ++i) values[i * (n + 1)] = 1.0;
    return values;
}

OwnedMatrix identity_array(u64 n) {
    double* buffer = zeroed_doubles(checked_count({n, n}), "identity matrix");
    host::fill_identity_diagonal(buffer, n);
    return make_owned_array(buffer, n, n);
}

std::vector<double> unit_vector_values(u64 length, u64 index) {
    host::check_unit_index(length, index);
    std::vector<double> values = with_allocation_label("unit vector", [&] { return std::vector<double>(length, 0.0); });
    values[index] = 1.0;
    return values;
}

OwnedVector unit_vector_new_array(u64 length, u64 index) {
    host::check_unit_index(length, index);
    double* buffer = zeroed_doubles(length, "unit vector");
    buffer[index] = 1.0;
    return make_owned_array(buffer, length);
}

void unit_vector_fill(const RwVector& output, u64 length, u64 index) {
    auto out = dense_output_view(output, length, "output");
    host::check_unit_index(length, index);
    std::memset(out.data, 0, length * sizeof(double));
    out.data[index] = 1.0;
}

}  // namespace velkora::torv::cones::cpp
