// Result conversion for Python: zeroed capsule-owned NumPy arrays, dense n x n results
// turned into arrays, identity matrices and unit vectors in their three forms.
#pragma once

#include <new>
#include <stdexcept>
#include <vector>

#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

using OwnedVector = nb::ndarray<nb::numpy, double, nb::ndim<1>, nb::c_contig>;
using OwnedMatrix = nb::ndarray<nb::numpy, double, nb::ndim<2>, nb::c_contig>;
using OwnedIndexVector = nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>, nb::c_contig>;

// calloc'd buffer of `count` doubles; "<what> allocation failed" on failure.
double* zeroed_doubles(u64 count, const char* what);

// Throws "<what> allocation failed".
[[noreturn]] void throw_allocation_failed(const char* what);

// make() with a failed allocation of its host temporaries (std::bad_alloc, or the
// std::length_error of a vector longer than it can hold) reported as
// "<what> allocation failed", like the result buffers of zeroed_doubles.
template <class Make>
auto with_allocation_label(const char* what, Make&& make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        throw_allocation_failed(what);
    } catch (const std::length_error&) {
        throw_allocation_failed(what);
    }
}

// Hand a zeroed_doubles buffer to NumPy: the array owns it through a capsule that
// frees it when the array dies (also on the failure path).
OwnedVector make_owned_array(double* buffer, u64 count);
OwnedMatrix make_owned_array(double* buffer, u64 rows, u64 cols);
// The same for int64 index arrays: a calloc'd buffer of `count` entries ("<what> allocation
// failed"), then owned by the array.
std::int64_t* zeroed_indices(u64 count, const char* what);
OwnedIndexVector make_owned_index_array(std::int64_t* buffer, u64 count);

// Copy of an n*n row-major result as an (n, n) array; refuses a result of another
// length with "<what> internal dense matrix size mismatch".
OwnedMatrix dense_to_owned_array(const std::vector<double>& dense, u64 n, const char* what);

std::vector<double> identity_values(u64 n);
OwnedMatrix identity_array(u64 n);

std::vector<double> unit_vector_values(u64 length, u64 index);
OwnedVector unit_vector_new_array(u64 length, u64 index);
// e_index into a host `output` of `length` entries; nothing written on refusal.
void unit_vector_fill(const RwVector& output, u64 length, u64 index);

}  // namespace velkora::torv::cones::cpp
