// The one class surface shared by all five cone classes, written once over a family
// description F. F supplies:
//   Bound, python_name, ctor_arg, ctor_default_one, construct(size), dim(c), rows(c)
// and, for bind_shared_methods, its routines (host pointers / device pointers):
//   project(c, in, out)                     project_cuda(c, in, out, device, stream)
//   violation(c, x)                         violation_cuda(c, x, device)
//   contains(c, x, atol)                    contains_cuda(c, x, atol, device)
//   nt_list(c, s, z) -> std::vector<double> nt_array(c, s, z) -> OwnedMatrix
//   nt_into(c, s, z, out, batch)            nt_cuda(c, s, z, out, batch, device, stream)
// and optionally nt_what, the label of a failed allocation of the dense NT results
// ("<nt_what> allocation failed"; "NT scaling" when absent).
// The methods build the views in parameter order, run the device checks, pass the
// availability gate when the deciding view is on CUDA, refuse outputs that share memory
// with an input (the rule of check_no_overlap), and route on the deciding view.
#pragma once

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "cuda/device_api.hpp"
#include "host/sparse_fill.hpp"
#include "module/results.hpp"
#include "module/views.hpp"

namespace velkora::torv::cones::cpp {

using device::StreamHandle;

// Allocation-failure labels of a family: F::nt_what / F::sparse_what when it has them.
template <class F, class = void>
struct NtWhat {
    static constexpr const char* value = "NT scaling";
};
template <class F>
struct NtWhat<F, std::void_t<decltype(F::nt_what)>> {
    static constexpr const char* value = F::nt_what;
};
template <class F, class = void>
struct SparseWhat {
    static constexpr const char* value = "sparse H fill";
};
template <class F>
struct SparseWhat<F, std::void_t<decltype(F::sparse_what)>> {
    static constexpr const char* value = F::sparse_what;
};

template <class F>
nb::class_<typename F::Bound> bind_cone_class(nb::module_& m) {
    using B = typename F::Bound;
    nb::class_<B> cls(m, F::python_name);
    auto init = [](B* self, u64 size) { new (self) B(F::construct(size)); };
    if constexpr (F::ctor_default_one)
        cls.def("__init__", init, nb::arg(F::ctor_arg) = 1);
    else
        cls.def("__init__", init, nb::arg(F::ctor_arg));
    cls.def_prop_ro("dim", [](const B& c) { return F::dim(c); });
    cls.def_prop_ro("rows", [](const B& c) { return F::rows(c); });
    return cls;
}

// Views s (n*batch), z (n*batch), output (n*n*batch); s/z then s/output device checks;
// a device-only method refuses host arrays with `host_refusal`; the availability gate;
// the output apart from s and z; routed on the output: host_nt(s, z, out) or
// device_nt(s, z, out, device).
template <class F, class HostNt, class DeviceNt>
void nt_scaling_checked(const typename F::Bound& c, const RoVector& s, const RoVector& z, const RwVector& output,
                        u64 batch, HostNt&& host_nt, DeviceNt&& device_nt, const char* host_refusal = nullptr) {
    const u64 n = F::rows(c);
    auto sv = vector_view(s, checked_count({n, batch}), "s");
    auto zv = vector_view(z, checked_count({n, batch}), "z");
    auto out = vector_view(output, checked_count({n, n, batch}), "output");
    check_inputs_same_device(sv, zv);
    const int device = check_input_output_device(sv, out);
    if (host_refusal != nullptr && !out.is_cuda()) throw std::runtime_error(host_refusal);
    const bool on_device = routes_to_device(out);
    check_no_overlap(out, sv, zv);
    if (on_device)
        device_nt(sv.data, zv.data, out.data, device);
    else
        host_nt(sv.data, zv.data, out.data);
}

template <class F>
void nt_scaling_dispatch(const typename F::Bound& c, const RoVector& s, const RoVector& z, const RwVector& output,
                         u64 batch, StreamHandle stream) {
    nt_scaling_checked<F>(
        c, s, z, output, batch,
        [&](const double* sd, const double* zd, double* hd) { F::nt_into(c, sd, zd, hd, batch); },
        [&](const double* sd, const double* zd, double* hd, int dev) { F::nt_cuda(c, sd, zd, hd, batch, dev, stream); });
}

// Methods 1-10 of every class: projection, violation, membership, unit vectors and
// the dense NT scaling matrix as list, array, into and batch.
template <class F>
void bind_shared_methods(nb::class_<typename F::Bound>& cls) {
    using B = typename F::Bound;
    using namespace nb::literals;

    cls.def(
        "project_into",
        [](const B& c, const RoVector& input, const RwVector& output, StreamHandle stream) {
            const u64 n = F::rows(c);
            auto in = vector_view(input, n, "input");
            auto out = vector_view(output, n, "output");
            const int device = check_input_output_device(in, out);
            const bool on_device = routes_to_device(in);
            check_in_place_or_no_overlap(out, in);
            if (on_device)
                F::project_cuda(c, in.data, out.data, device, stream);
            else
                F::project(c, in.data, out.data);
        },
        "input"_a.noconvert(), "output"_a.noconvert(), "stream"_a = 0);

    cls.def(
        "violation",
        [](const B& c, const RoVector& input) -> double {
            auto in = vector_view(input, F::rows(c), "input");
            if (routes_to_device(in)) return F::violation_cuda(c, in.data, in.device_id);
            return F::violation(c, in.data);
        },
        "input"_a.noconvert());

    cls.def(
        "contains",
        [](const B& c, const RoVector& input, double atol) -> bool {
            auto in = vector_view(input, F::rows(c), "input");
            // No tolerance test can be answered with a NaN tolerance.
            if (atol != atol) throw std::runtime_error("atol must not be NaN");
            if (routes_to_device(in)) return F::contains_cuda(c, in.data, atol, in.device_id);
            return F::contains(c, in.data, atol);
        },
        "input"_a.noconvert(), "atol"_a = 1e-8);

    cls.def(
        "unit_vector", [](const B& c, EntryIndex index) { return unit_vector_values(F::rows(c), index.value); },
        "index"_a);
    cls.def(
        "unit_vector_array",
        [](const B& c, EntryIndex index) { return unit_vector_new_array(F::rows(c), index.value); }, "index"_a);
    cls.def(
        "unit_vector_into",
        [](const B& c, EntryIndex index, const RwVector& output) {
            unit_vector_fill(output, F::rows(c), index.value);
        },
        "index"_a, "output"_a.noconvert());

    cls.def(
        "nt_scaling_matrix",
        [](const B& c, const RoVector& s, const RoVector& z) -> std::vector<double> {
            const u64 n = F::rows(c);
            auto sv = dense_input_view(s, n, "s");
            auto zv = dense_input_view(z, n, "z");
            return with_allocation_label(NtWhat<F>::value, [&] { return F::nt_list(c, sv.data, zv.data); });
        },
        "s"_a.noconvert(), "z"_a.noconvert());

    cls.def(
        "nt_scaling_matrix_array",
        [](const B& c, const RoVector& s, const RoVector& z) -> OwnedMatrix {
            const u64 n = F::rows(c);
            auto sv = dense_input_view(s, n, "s");
            auto zv = dense_input_view(z, n, "z");
            return with_allocation_label(NtWhat<F>::value, [&] { return F::nt_array(c, sv.data, zv.data); });
        },
        "s"_a.noconvert(), "z"_a.noconvert());

    cls.def(
        "nt_scaling_matrix_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& output, StreamHandle stream) {
            nt_scaling_dispatch<F>(c, s, z, output, 1, stream);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "output"_a.noconvert(), "stream"_a = 0);

    cls.def(
        "nt_scaling_matrix_batch_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& output, u64 batch, StreamHandle stream) {
            nt_scaling_dispatch<F>(c, s, z, output, batch, stream);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "output"_a.noconvert(), "batch"_a, "stream"_a = 0);
}

// The three extra NT methods of the classes whose device NT scaling has a choice of
// method (registered after method 10). F additionally supplies:
//   default_method(c) -> const char*        (the text the default device path uses)
//   nt_cuda_custom(c, s, z, out, batch, device, stream)
//   nt_cuda_cublas(c, s, z, out, batch, device, stream)
//   cublas_host_message                      (refusal of host arrays for the cuBLAS method)
template <class F>
void bind_method_choice(nb::class_<typename F::Bound>& cls) {
    using B = typename F::Bound;
    using namespace nb::literals;

    cls.def(
        "nt_scaling_matrix_default_method",
        [](const B& c, u64 /*batch: the choice does not depend on it*/) { return std::string(F::default_method(c)); },
        "batch"_a = 1);

    cls.def(
        "nt_scaling_matrix_batch_custom_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& output, u64 batch, StreamHandle stream) {
            nt_scaling_checked<F>(
                c, s, z, output, batch,
                [&](const double* sd, const double* zd, double* hd) { F::nt_into(c, sd, zd, hd, batch); },
                [&](const double* sd, const double* zd, double* hd, int dev) {
                    F::nt_cuda_custom(c, sd, zd, hd, batch, dev, stream);
                });
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "output"_a.noconvert(), "batch"_a, "stream"_a = 0);

    cls.def(
        "nt_scaling_matrix_batch_cublas_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& output, u64 batch, StreamHandle stream) {
            nt_scaling_checked<F>(
                c, s, z, output, batch, [](const double*, const double*, double*) { /* host arrays refused */ },
                [&](const double* sd, const double* zd, double* hd, int dev) {
                    F::nt_cuda_cublas(c, sd, zd, hd, batch, dev, stream);
                },
                F::cublas_host_message);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "output"_a.noconvert(), "batch"_a, "stream"_a = 0);
}

// The sparse H fill (methods 11 and 12, registered last). F additionally supplies:
//   sparse_entries(c, s, z) -> callable (r, c) -> double  (host: the cone's precondition
//                              and H preparation, done before anything is written)
//   optionally sparse_what, the label of a failed allocation of that preparation
//                              ("<sparse_what> allocation failed"; "sparse H fill" when absent)
//   hmatrix_csr_cuda(c, s, z, indptr, indices, values, nnz, row_offset, device, stream)
//   hmatrix_coo_cuda(c, s, z, row_indices, col_indices, values, nnz, row_offset, device, stream)
template <class F>
void bind_sparse_methods(nb::class_<typename F::Bound>& cls) {
    using B = typename F::Bound;
    using namespace nb::literals;

    cls.def(
        "hmatrix_csr_values_into",
        [](const B& c, const RoVector& s, const RoVector& z, const IndexVector& indptr, const IndexVector& indices,
           const RwVector& values, u64 row_offset, StreamHandle stream) {
            const u64 rows = F::rows(c);
            auto sv = vector_view(s, rows, "s");
            auto zv = vector_view(z, rows, "z");
            auto ptr = index_vector_view(indptr, "indptr");
            auto idx = index_vector_view(indices, "indices");
            auto vals = vector_view(values, idx.size, "values");
            check_inputs_same_device(sv, zv);
            const int device = check_input_output_device(sv, vals);
            check_index_device(sv, ptr, "first sparse index");
            check_index_device(sv, idx, "second sparse index");
            const bool on_device = routes_to_device(sv);
            // The kernels read indptr at row_offset .. row_offset + rows: its length is
            // known here, so a short one is refused before launching.
            if (on_device) host::check_csr_indptr_length(ptr.size, rows, row_offset);
            check_no_overlap(vals, sv, zv, ptr, idx);
            if (on_device) {
                F::hmatrix_csr_cuda(c, sv.data, zv.data, ptr.data, idx.data, vals.data, vals.size, row_offset, device,
                                    stream);
                return;
            }
            auto entry = with_allocation_label(SparseWhat<F>::value,
                                               [&] { return F::sparse_entries(c, sv.data, zv.data); });
            host::csr_fill(ptr.data, ptr.size, idx.data, vals.data, vals.size, rows, row_offset, entry);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "indptr"_a.noconvert(), "indices"_a.noconvert(),
        "values"_a.noconvert(), "row_offset"_a = 0, "stream"_a = 0);

    cls.def(
        "hmatrix_coo_values_into",
        [](const B& c, const RoVector& s, const RoVector& z, const IndexVector& row_indices,
           const IndexVector& col_indices, const RwVector& values, u64 row_offset, StreamHandle stream) {
            const u64 rows = F::rows(c);
            auto sv = vector_view(s, rows, "s");
            auto zv = vector_view(z, rows, "z");
            auto ri = index_vector_view(row_indices, "row_indices");
            auto ci = index_vector_view(col_indices, "col_indices");
            auto vals = vector_view(values, ri.size, "values");
            check_entry_count(ci.size, ri.size, "COO col_indices");
            check_inputs_same_device(sv, zv);
            const int device = check_input_output_device(sv, vals);
            check_index_device(sv, ri, "first sparse index");
            check_index_device(sv, ci, "second sparse index");
            const bool on_device = routes_to_device(sv);
            check_no_overlap(vals, sv, zv, ri, ci);
            if (on_device) {
                F::hmatrix_coo_cuda(c, sv.data, zv.data, ri.data, ci.data, vals.data, vals.size, row_offset, device,
                                    stream);
                return;
            }
            auto entry = with_allocation_label(SparseWhat<F>::value,
                                               [&] { return F::sparse_entries(c, sv.data, zv.data); });
            host::coo_fill(ri.data, ci.data, vals.data, vals.size, rows, row_offset, entry);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "row_indices"_a.noconvert(), "col_indices"_a.noconvert(),
        "values"_a.noconvert(), "row_offset"_a = 0, "stream"_a = 0);
}

}  // namespace velkora::torv::cones::cpp
