// Array arguments of the binding: the accepted ndarray kinds, the VectorView record
// built from each, and the entry-count, device-kind and same-device checks.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>

namespace velkora::torv::cones::cpp {

namespace nb = nanobind;
using u64 = std::uint64_t;

// Parameter kinds: one dimension, C order, any device (checked by the views).
using RoVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig>;
using RwVector = nb::ndarray<double, nb::ndim<1>, nb::c_contig>;
using IndexVector = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig>;

// DLPack device types that survive the checks.
enum DeviceKind : std::int32_t { kDeviceCpu = 1, kDeviceCuda = 2 };

struct Placement {
    std::int32_t device_type;
    std::int32_t device_id;
    bool is_cuda() const { return device_type == kDeviceCuda; }
};

// One validated array argument: first element (host or device address), entry count,
// DLPack device type and ordinal.
template <class T>
struct VectorView : Placement {
    T* data;
    u64 size;
};

// Product of expected-count factors; refuses a product that does not fit in 64 bits.
u64 checked_count(std::initializer_list<u64> factors);

// "<name> expected <expected> entries, got <actual>"
void check_entry_count(u64 actual, u64 expected, const char* name);
// "<name> must be on CPU or CUDA"
void check_device_kind(std::int32_t device_type, const char* name);

template <class T, class... Extra>
VectorView<T> vector_view(const nb::ndarray<T, Extra...>& array, u64 expected, const char* name) {
    check_entry_count(static_cast<u64>(array.shape(0)), expected, name);
    check_device_kind(array.device_type(), name);
    VectorView<T> view;
    view.device_type = array.device_type();
    view.device_id = array.device_id();
    view.data = array.data();
    view.size = static_cast<u64>(array.shape(0));
    return view;
}

// Index vectors have no expected count: only the device kind is checked.
VectorView<const std::int64_t> index_vector_view(const IndexVector& array, const char* name);

// Views whose result is produced in host memory: device arrays refused after the
// entry-count and kind checks, with "<name> must be a CPU vector for dense NT scaling"
// (inputs) or "... for dense helper output" (outputs).
VectorView<const double> dense_input_view(const RoVector& array, u64 expected, const char* name);
VectorView<double> dense_output_view(const RwVector& array, u64 expected, const char* name);

// "input vectors must live on the same device"
void check_inputs_same_device(const Placement& a, const Placement& b);
// "input and output must live on the same device"; returns the common ordinal.
int check_input_output_device(const Placement& input, const Placement& output);
// "<which> must live on the same device as the cone vectors" (sparse index arrays).
void check_index_device(const Placement& cone_vectors, const Placement& index, const char* which);
// "CUDA runtime is required for CUDA cone arrays" unless a CUDA device is usable
// (asked again on every call).
void require_cuda_runtime();

}  // namespace velkora::torv::cones::cpp
