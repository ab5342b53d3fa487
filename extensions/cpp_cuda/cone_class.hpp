// The one class surface shared by all five cone classes, written once over a family
// description F, which derives from ConeFamilyDefaults. F supplies:
//   Bound, python_name, construct(size), dim(c), rows(c), and where they differ from the
//   defaults ctor_arg with ctor_default_one (bindings/family_class.hpp)
// and, for bind_shared_methods, its routines (host pointers / device pointers):
//   project(c, in, out)                     project_cuda(c, in, out, device, stream)
//   violation(c, x)                         violation_cuda(c, x, device)
//   contains(c, x, atol)                    contains_cuda(c, x, atol, device)
//   nt_list(c, s, z) -> std::vector<double> nt_array(c, s, z) -> OwnedMatrix
//   nt_into(c, s, z, out, batch)            nt_cuda(c, s, z, out, batch, device, stream)
// and where it differs from the default, nt_what, the label of a failed allocation of the
// dense NT results ("<nt_what> allocation failed"; "NT scaling" by default).
// The methods build the views in parameter order, run the device checks, pass the
// availability gate when the deciding view is on CUDA, refuse outputs that share memory
// with an input (the rule of check_no_overlap), and route on the deciding view.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "cuda/device_api.hpp"
#include "bindings/family_class.hpp"
#include "bindings/results.hpp"
#include "bindings/sparse_arguments.hpp"
#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

using device::StreamHandle;

// The defaults of a cone family: the labels of a failed allocation of the dense NT results
// ("<nt_what> allocation failed") and of the sparse fill's preparation ("<sparse_what> ...").
struct ConeFamilyDefaults : FamilyDefaults {
    static constexpr const char* nt_what = "NT scaling";
    static constexpr const char* sparse_what = "sparse H fill";
};

template <class F>
nb::class_<typename F::Bound> bind_cone_class(nb::module_& m) {
    auto cls = bind_family_class<F>(m);
    def_size<&F::dim>(cls, "dim");
    def_size<&F::rows>(cls, "rows");
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

// The NT scaling into output: host F::nt_into, device DeviceNt (F::nt_cuda, or a method of
// the family's choice).
template <class F, auto DeviceNt = &F::nt_cuda>
void nt_scaling_dispatch(const typename F::Bound& c, const RoVector& s, const RoVector& z, const RwVector& output,
                         u64 batch, StreamHandle stream) {
    nt_scaling_checked<F>(
        c, s, z, output, batch,
        [&](const double* sd, const double* zd, double* hd) { F::nt_into(c, sd, zd, hd, batch); },
        [&](const double* sd, const double* zd, double* hd, int dev) { DeviceNt(c, sd, zd, hd, batch, dev, stream); });
}

// The dense NT scaling matrix of one s, z pair, produced in host memory by make(c, s, z) (a
// list or an array): host views s, z; a failed allocation is "<nt_what> allocation failed".
template <class F, class R, class B, class Make>
void def_dense_nt(nb::class_<B>& cls, const char* name, Make make) {
    using namespace nb::literals;
    cls.def(
        name,
        [make](const B& c, const RoVector& s, const RoVector& z) -> R {
            const u64 n = F::rows(c);
            auto sv = dense_input_view(s, n, "s");
            auto zv = dense_input_view(z, n, "z");
            return with_allocation_label(F::nt_what, [&] { return make(c, sv.data, zv.data); });
        },
        "s"_a.noconvert(), "z"_a.noconvert());
}

// The methods every class has: projection, violation, membership, unit vectors and
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

    def_dense_nt<F, std::vector<double>>(cls, "nt_scaling_matrix", &F::nt_list);
    def_dense_nt<F, OwnedMatrix>(cls, "nt_scaling_matrix_array", &F::nt_array);

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
// method (registered after the batch NT method). F additionally supplies:
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
            nt_scaling_dispatch<F, &F::nt_cuda_custom>(c, s, z, output, batch, stream);
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

// The sparse H fill of one format. F additionally supplies:
//   sparse_entries(c, s, z) -> callable (r, c) -> double  (host: the cone's precondition
//                              and H preparation, done before anything is written)
//   where it differs from the default, sparse_what, the label of a failed allocation of
//                              that preparation ("<sparse_what> allocation failed"; "sparse H
//                              fill" by default)
//   hmatrix_csr_cuda, hmatrix_coo_cuda: the device launchers (s, z, indptr or row indices,
//                              indices or column indices, values, nnz, fill_size(c), row_offset,
//                              device, stream)
//   fill_size(c)               the size the launchers take
// Views s, z, then the sparse matrix's; s/z, then the matrix's device checks; the availability
// gate; a device fill's structure test; the values apart from every other array; routed on s.
template <class F, SparseFormat Format>
void def_sparse_fill(nb::class_<typename F::Bound>& cls) {
    using B = typename F::Bound;
    using namespace nb::literals;

    cls.def(
        SparseNames<Format>::method,
        [](const B& c, const RoVector& s, const RoVector& z, const IndexVector& first, const IndexVector& second,
           const RwVector& values, u64 row_offset, StreamHandle stream) {
            const u64 rows = F::rows(c);
            auto sv = vector_view(s, rows, "s");
            auto zv = vector_view(z, rows, "z");
            auto t = sparse_target<Format>(first, second, values);
            check_inputs_same_device(sv, zv);
            const int device = check_target_device(sv, t);
            const bool on_device = routes_to_device(sv);
            if (on_device) check_device_structure(t, rows, row_offset);
            check_target_apart(t, sv, zv);
            if (on_device) {
                constexpr auto fill = Format == SparseFormat::kCsr ? F::hmatrix_csr_cuda : F::hmatrix_coo_cuda;
                fill(sv.data, zv.data, t.first.data, t.second.data, t.values.data, t.values.size, F::fill_size(c),
                     row_offset, device, stream);
                return;
            }
            auto entry = with_allocation_label(F::sparse_what,
                                               [&] { return F::sparse_entries(c, sv.data, zv.data); });
            host_fill(t, rows, row_offset, entry);
        },
        "s"_a.noconvert(), "z"_a.noconvert(), nb::arg(SparseNames<Format>::first).noconvert(),
        nb::arg(SparseNames<Format>::second).noconvert(), "values"_a.noconvert(), "row_offset"_a = 0,
        "stream"_a = 0);
}

// The sparse H fill into CSR, then COO values (registered last).
template <class F>
void bind_sparse_methods(nb::class_<typename F::Bound>& cls) {
    def_sparse_fill<F, SparseFormat::kCsr>(cls);
    def_sparse_fill<F, SparseFormat::kCoo>(cls);
}

}  // namespace velkora::torv::cones::cpp
