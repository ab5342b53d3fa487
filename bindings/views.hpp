// Array arguments of the binding: the accepted ndarray kinds, the VectorView record
// built from each, the entry-count, device-kind and same-device checks, and the rule
// on arrays that share memory.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "bindings/argument_refusals.hpp"

namespace velkora::torv::cones::cpp {

namespace nb = nanobind;
using u64 = std::uint64_t;

// DLPack device types that survive the checks.
enum DeviceKind : std::int32_t { kDeviceCpu = 1, kDeviceCuda = 2 };

struct Placement {
    std::int32_t device_type;
    std::int32_t device_id;
    bool is_cuda() const { return device_type == kDeviceCuda; }
};

// An array whose data alone is its meaning: the ndarray parameter kind Base, taken by
// the binding exactly as Base is (same conversion rules, same signature text), except
// that arrays which carry part of their meaning beside their data are refused with the
// binding's TypeError. Those are NumPy masked arrays: the mask says which entries count,
// and the data under a masked entry is arbitrary.
//
// What the views read: first element, entry count and placement. An exact NumPy array
// that Base takes as it is (its element type, one dimension, contiguous, writable where
// Base is) is read from the array object itself and held for the call; anything else goes
// through Base's own import (DLPack or the buffer protocol), held in `imported`. Both give
// the same address and count for such an array; the direct read saves the DLPack export
// and import on every argument, which dominate the cost of a call on a small cone.
template <class Base>
struct PlainArray {
    using Scalar = typename Base::Scalar;
    Scalar* data = nullptr;
    u64 size = 0;
    Placement placement{kDeviceCpu, 0};
    Base imported;
    nb::object held;
};

// What an array parameter takes (every kind below is one-dimensional and C-contiguous):
// its element type and whether it must be writable: what the direct NumPy read accepts and
// what a refusal says the parameter takes (bindings/argument_refusals.hpp).
struct ArrayRequirement {
    nb::dlpack::dtype dtype;
    bool writable;
};
template <class Base>
struct ArrayRequirementOf;
template <class T>
struct ArrayRequirementOf<nb::ndarray<T, nb::ndim<1>, nb::c_contig>> {
    static constexpr ArrayRequirement value{nb::dtype<std::remove_const_t<T>>(), !std::is_const_v<T>};
};

// The direct reads of NumPy array objects behind the casters below (bindings/numpy_arrays.cpp).
//
// The first element and entry count of `object` when it is an exact NumPy array (not a
// subclass) that a parameter with `requirement` takes as it is: that element type (the
// NumPy type itself, native byte order), one dimension, contiguous or at most one entry,
// writable where required. False for anything else, with no Python error set and nothing
// imported.
bool read_numpy_array(PyObject* object, const ArrayRequirement& requirement, void** data, u64* size) noexcept;

// True for an instance of numpy.ma.MaskedArray (or a subclass); no import is triggered
// (an instance can only exist once numpy.ma is loaded), no Python error is left set.
bool is_masked_array(PyObject* object) noexcept;

// Parameter kinds: one dimension, C order, any device (checked by the views).
using RoVector = PlainArray<nb::ndarray<const double, nb::ndim<1>, nb::c_contig>>;
using RwVector = PlainArray<nb::ndarray<double, nb::ndim<1>, nb::c_contig>>;
using IndexVector = PlainArray<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig>>;

// An entry index parameter: an unsigned 64-bit integer converted as the binding converts
// integers (signature text "int"), except that a bool is refused with the binding's
// TypeError rather than read as 0 or 1.
struct EntryIndex {
    u64 value;
};

// One validated array argument: first element (host or device address), entry count,
// DLPack device type and ordinal.
template <class T>
struct VectorView : Placement {
    T* data;
    u64 size;
    const char* name;  // the parameter's name, for messages
};

// Product of expected-count factors; refuses a product that does not fit in 64 bits. A
// zero factor makes the product 0 whatever the others are (an empty batch of a large cone).
u64 checked_count(std::initializer_list<u64> factors);

// "<name> expected <expected> entries, got <actual>"
void check_entry_count(u64 actual, u64 expected, const char* name);
// "<name> must be on CPU or CUDA"
void check_device_kind(std::int32_t device_type, const char* name);
// "<name> must be 8-byte aligned": every routine reads and writes the entries as
// doubles or int64s, which a misaligned buffer (a byte-offset view) does not hold.
void check_alignment(const void* data, const char* name);

// The view of an array after the device-kind and alignment checks.
template <class Base>
VectorView<typename Base::Scalar> checked_view(const PlainArray<Base>& array, const char* name) {
    check_device_kind(array.placement.device_type, name);
    check_alignment(array.data, name);
    VectorView<typename Base::Scalar> view;
    view.device_type = array.placement.device_type;
    view.device_id = array.placement.device_id;
    view.data = array.data;
    view.size = array.size;
    view.name = name;
    return view;
}

// The entry count first, then checked_view.
template <class Base>
VectorView<typename Base::Scalar> vector_view(const PlainArray<Base>& array, u64 expected, const char* name) {
    check_entry_count(array.size, expected, name);
    return checked_view(array, name);
}

// Index vectors have no expected count: checked_view alone.
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
// Where a call whose views agree goes: true for CUDA views, after require_cuda_runtime;
// false for host views.
bool routes_to_device(const Placement& deciding);

// Bytes [first, end) of one view on its device, with the view's name.
struct ByteRange : Placement {
    std::uintptr_t first;
    std::uintptr_t end;
    const char* name;
};

template <class T>
ByteRange byte_range(const VectorView<T>& view) {
    ByteRange r;
    r.device_type = view.device_type;
    r.device_id = view.device_id;
    r.first = reinterpret_cast<std::uintptr_t>(view.data);
    // A claimed length that would run past the address space ends at its top.
    const std::uintptr_t room = (UINTPTR_MAX - r.first) / sizeof(T);
    r.end = view.size > room ? UINTPTR_MAX : r.first + view.size * sizeof(T);
    r.name = view.name;
    return r;
}

// Arrays that share memory. An output that shares a byte with an input (on the same
// device; an empty array shares nothing) would be written while the input is still
// read, so the call is refused with "<output> overlaps <input>", naming the first such
// input in parameter order. `in_place` allows an input that is the very array of the
// output (same first byte, same length): operations whose every output entry depends
// only on input entries read before it is written (projections) work in place.
void check_apart(const ByteRange& output, const ByteRange& input, bool in_place);

// The rule for every output of a call against all its inputs, after the view, device
// and availability checks and before any value is read or written.
template <class Out, class... In>
void check_no_overlap(const VectorView<Out>& output, const VectorView<In>&... inputs) {
    (check_apart(byte_range(output), byte_range(inputs), false), ...);
}

// The same for a projection, whose output may be its input.
template <class Out, class In>
void check_in_place_or_no_overlap(const VectorView<Out>& output, const VectorView<In>& input) {
    check_apart(byte_range(output), byte_range(input), true);
}

}  // namespace velkora::torv::cones::cpp

namespace nanobind::detail {

// PlainArray<Base>: an exact NumPy array read directly; otherwise Base's own caster after
// the refusal of masked arrays. A refused object is recorded for the TypeError's first line.
template <class Base>
struct type_caster<velkora::torv::cones::cpp::PlainArray<Base>> {
    NB_TYPE_CASTER(velkora::torv::cones::cpp::PlainArray<Base>, make_caster<Base>::Name)

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        namespace v = velkora::torv::cones::cpp;
        using Scalar = typename Base::Scalar;
        void* data = nullptr;
        v::u64 size = 0;
        if (v::read_numpy_array(src.ptr(), v::ArrayRequirementOf<Base>::value, &data, &size)) {
            value.data = static_cast<Scalar*>(data);
            value.size = size;
            value.placement = {v::kDeviceCpu, 0};
            value.held = borrow(src);
            return true;
        }
        if (!v::is_masked_array(src.ptr())) {
            make_caster<Base> inner;
            if (inner.from_python(src, flags, cleanup)) {
                Base& array = inner.value;
                value.data = array.data();
                value.size = static_cast<v::u64>(array.shape(0));
                value.placement = {array.device_type(), array.device_id()};
                value.imported = std::move(array);
                return true;
            }
        }
        v::note_refused_array(src.ptr(), v::ArrayRequirementOf<Base>::value);
        return false;
    }
};

// EntryIndex: the unsigned 64-bit caster after the refusal of bools.
template <>
struct type_caster<velkora::torv::cones::cpp::EntryIndex> {
    NB_TYPE_CASTER(velkora::torv::cones::cpp::EntryIndex, make_caster<std::uint64_t>::Name)

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        if (PyBool_Check(src.ptr())) {
            velkora::torv::cones::cpp::note_refused_entry_index(src.ptr());
            return false;
        }
        make_caster<std::uint64_t> inner;
        if (!inner.from_python(src, flags, cleanup)) return false;
        value.value = inner.value;
        return true;
    }
};

}  // namespace nanobind::detail
