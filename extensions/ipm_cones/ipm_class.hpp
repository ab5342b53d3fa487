// The class surface of _ipm_cones, written once over a family description F: the cone
// arithmetic of an interior-point iteration beyond the NT matrix (interior test, step to the
// boundary, smallest spectral value, NT scaling state and scaled point, products with W,
// Jordan product and solve, H or H^-1 from the stored scaling). Every vector argument holds
// `batch` items of one cone back to back (item b at b * rows; scaling state at
// b * scaling_size). Methods build the views in parameter order, run the device checks, and
// route on the deciding view: CUDA views go to the device launchers after the availability
// gate, host views to the host routines. Nothing is written before every check has passed.
//
// F derives from IpmFamilyDefaults and supplies:
//   Bound, python_name, class_doc, construct(dim), dim(c), rows(c), scaling_size(c)
//   host (host pointers):                      device (device pointers on `device`):
//   interior(c, x, batch) -> bool              interior_cuda(c, x, batch, device)
//   max_step(c, x, dx, batch, amax) -> double  max_step_cuda(c, x, dx, batch, amax, device)
//   spectral_min(c, x, batch) -> double        spectral_min_cuda(c, x, batch, device)
//   nt_scaling(c, s, z, sc, lam, batch)        nt_scaling_cuda(c, s, z, sc, lam, batch, device, stream)
//   scale(c, sc, x, out, inv, tr, batch)       scale_cuda(c, sc, x, out, inv, tr, batch, device, stream)
//   jordan_product(c, x, y, out, batch)        jordan_product_cuda(c, x, y, out, batch, device, stream)
//   jordan_solve(c, lam, x, out, batch)        jordan_solve_cuda(c, lam, x, out, batch, device, stream)
//   h_block(c, sc, batch, inv) -> entry(r, col) over the batch's rows*batch block (host;
//                                              precondition and preparation, before any write)
//   hmatrix_csr_cuda(c, sc, indptr, indices, values, nnz, batch, row_offset, inv, device, stream)
//   hmatrix_coo_cuda(c, sc, rows, cols, values, nnz, batch, row_offset, inv, device, stream)
// The host routines that refuse (nt_scaling, jordan_solve) test every item before writing.
// Where they differ from the defaults, F also declares ctor_arg with ctor_default_one
// (bindings/family_class.hpp) and hmatrix_doc (the CSR H fill's docstring). A family whose
// arithmetic is not the symmetric-cone surface's binds bind_ipm_class and
// bind_hmatrix_methods with its own methods instead of bind_ipm_methods.
#pragma once

#include <cmath>
#include <limits>
#include <stdexcept>

#include "cuda/device_api.hpp"
#include "bindings/family_class.hpp"
#include "bindings/sparse_arguments.hpp"
#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp::ipm {

using device::StreamHandle;

// "alpha_max must be nonnegative" for a negative or NaN bound of the step.
inline void check_alpha_max(double alpha_max) {
    if (!(alpha_max >= 0.0)) throw std::runtime_error("alpha_max must be nonnegative");
}

// The defaults of a family of this module: the docstring of its CSR H fill.
struct IpmFamilyDefaults : FamilyDefaults {
    static constexpr const char* hmatrix_doc =
        "H (or H^-1 = W^T W with inverse=True) of each item from the stored scaling into the values of a CSR "
        "matrix: items as consecutive diagonal blocks from row row_offset; other stored entries of those rows "
        "become 0.";
};

template <class F>
nb::class_<typename F::Bound> bind_ipm_class(nb::module_& m) {
    auto cls = bind_family_class<F>(m, F::class_doc);
    def_size<&F::dim>(cls, "dim", "Cone dimension (the order for PSD cones).");
    def_size<&F::rows>(cls, "rows", "Entries of one item's vectors.");
    def_size<&F::scaling_size>(cls, "scaling_size", "Entries of one item's NT scaling state.");
    return cls;
}

// The sparse H fill of a batch from the stored scaling in one format: rows*batch rows from
// row_offset, the items as consecutive diagonal blocks. Views scaling, then the sparse
// matrix's; the matrix's device checks; the values apart from every other array; routed on
// the values. Host: the structure is walked once to check it, then again to write, so a
// refusal leaves `values` untouched.
template <class F, SparseFormat Format>
void def_hmatrix_fill(nb::class_<typename F::Bound>& cls, const char* doc) {
    using B = typename F::Bound;
    using namespace nb::literals;

    cls.def(
        SparseNames<Format>::method,
        [](const B& c, const RoVector& scaling, const IndexVector& first, const IndexVector& second,
           const RwVector& values, u64 batch, u64 row_offset, bool inverse, StreamHandle stream) {
            const u64 rows = checked_count({F::rows(c), batch});
            auto sc = vector_view(scaling, checked_count({F::scaling_size(c), batch}), "scaling");
            auto t = sparse_target<Format>(first, second, values);
            const int device = check_target_device(sc, t);
            check_target_apart(t, sc);
            if (routes_to_device(t.values)) {
                check_device_structure(t, rows, row_offset);
                constexpr auto fill = Format == SparseFormat::kCsr ? &F::hmatrix_csr_cuda : &F::hmatrix_coo_cuda;
                fill(c, sc.data, t.first.data, t.second.data, t.values.data, t.values.size, batch, row_offset, inverse,
                     device, stream);
                return;
            }
            auto entry = F::h_block(c, sc.data, batch, inverse);
            check_host_structure(t, rows, row_offset);
            host_fill(t, rows, row_offset, entry);
        },
        "scaling"_a.noconvert(), nb::arg(SparseNames<Format>::first).noconvert(),
        nb::arg(SparseNames<Format>::second).noconvert(), "values"_a.noconvert(), "batch"_a = 1, "row_offset"_a = 0,
        "inverse"_a = false, "stream"_a = 0, doc);
}

template <class F>
void bind_hmatrix_methods(nb::class_<typename F::Bound>& cls) {
    def_hmatrix_fill<F, SparseFormat::kCsr>(cls, F::hmatrix_doc);
    def_hmatrix_fill<F, SparseFormat::kCoo>(
        cls, "As hmatrix_csr_values_into for a COO matrix; entries of other rows keep their values.");
}

// A value over the items of x (a test or a bound of them all): the views, then the host
// routine host(c, x, batch) or the device one cuda(c, x, batch, device).
template <class F, class R, class B, class Host, class Cuda>
void def_items_value(nb::class_<B>& cls, const char* name, Host host, Cuda cuda, const char* doc) {
    using namespace nb::literals;
    cls.def(
        name,
        [host, cuda](const B& c, const RoVector& x, u64 batch) -> R {
            auto xv = vector_view(x, checked_count({F::rows(c), batch}), "x");
            if (routes_to_device(xv)) {
                return cuda(c, xv.data, batch, xv.device_id);
            }
            return host(c, xv.data, batch);
        },
        "x"_a.noconvert(), "batch"_a = 1, doc);
}

// The arrays of a product with the stored scaling, out = op(x) per item: the views scaling
// (scaling_entries), x and out (n each) in parameter order, scaling and x on one device, out on
// theirs (`device`), out apart from scaling (it may be x).
struct ScalingProduct {
    VectorView<const double> scaling;
    VectorView<const double> x;
    VectorView<double> out;
    int device;
};

inline ScalingProduct scaling_product_views(const RoVector& scaling, const RoVector& x, const RwVector& out,
                                            u64 scaling_entries, u64 n) {
    ScalingProduct p;
    p.scaling = vector_view(scaling, scaling_entries, "scaling");
    p.x = vector_view(x, n, "x");
    p.out = vector_view(out, n, "out");
    check_inputs_same_device(p.scaling, p.x);
    p.device = check_input_output_device(p.x, p.out);
    check_no_overlap(p.out, p.scaling);
    check_in_place_or_no_overlap(p.out, p.x);
    return p;
}

// A Jordan-algebra method out = op(a, b) of two item vectors: the views in parameter order, both
// inputs on one device, the output on theirs, then the host routine or the device launcher.
template <class F, class B, class Host, class Cuda>
void def_jordan_into(nb::class_<B>& cls, const char* name, const char* a_name, const char* b_name, Host host,
                     Cuda cuda, const char* doc) {
    using namespace nb::literals;
    cls.def(
        name,
        [host, cuda, a_name, b_name](const B& c, const RoVector& a, const RoVector& b, const RwVector& out, u64 batch,
                                     StreamHandle stream) {
            const u64 n = checked_count({F::rows(c), batch});
            auto av = vector_view(a, n, a_name);
            auto bv = vector_view(b, n, b_name);
            auto ov = vector_view(out, n, "out");
            check_inputs_same_device(av, bv);
            const int device = check_input_output_device(bv, ov);
            check_in_place_or_no_overlap(ov, av);
            check_in_place_or_no_overlap(ov, bv);
            if (routes_to_device(bv)) {
                cuda(c, av.data, bv.data, ov.data, batch, device, stream);
            } else {
                host(c, av.data, bv.data, ov.data, batch);
            }
        },
        nb::arg(a_name).noconvert(), nb::arg(b_name).noconvert(), "out"_a.noconvert(), "batch"_a = 1,
        "stream"_a = 0, doc);
}

template <class F>
void bind_ipm_methods(nb::class_<typename F::Bound>& cls) {
    using B = typename F::Bound;
    using namespace nb::literals;

    def_items_value<F, bool>(
        cls, "interior", &F::interior, &F::interior_cuda,
        "True when every item is strictly interior, by the test behind the NT scaling refusal (NaN and "
        "infinite entries are not interior).");

    cls.def(
        "max_step",
        [](const B& c, const RoVector& x, const RoVector& dx, u64 batch, double alpha_max) -> double {
            const u64 n = checked_count({F::rows(c), batch});
            auto xv = vector_view(x, n, "x");
            auto dv = vector_view(dx, n, "dx");
            check_inputs_same_device(xv, dv);
            check_alpha_max(alpha_max);
            if (routes_to_device(xv)) {
                return F::max_step_cuda(c, xv.data, dv.data, batch, alpha_max, xv.device_id);
            }
            return F::max_step(c, xv.data, dv.data, batch, alpha_max);
        },
        "x"_a.noconvert(), "dx"_a.noconvert(), "batch"_a = 1,
        "alpha_max"_a = std::numeric_limits<double>::infinity(),
        "Largest alpha in [0, alpha_max] with x + alpha dx in the closed cone for every item; 0.0 when some "
        "item of x is not interior or an entry of dx is not finite (x + alpha dx is then never finite).");

    def_items_value<F, double>(cls, "spectral_min", &F::spectral_min, &F::spectral_min_cuda,
                               "Smallest spectral value over the items (+inf when there is none; NaN propagates).");

    cls.def(
        "nt_scaling_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& scaling, const RwVector& lam, u64 batch,
           StreamHandle stream) {
            const u64 n = checked_count({F::rows(c), batch});
            auto sv = vector_view(s, n, "s");
            auto zv = vector_view(z, n, "z");
            auto sc = vector_view(scaling, checked_count({F::scaling_size(c), batch}), "scaling");
            auto lv = vector_view(lam, n, "lam");
            check_inputs_same_device(sv, zv);
            const int device = check_input_output_device(sv, sc);
            check_input_output_device(sv, lv);
            check_no_overlap(sc, sv, zv, lv);
            check_no_overlap(lv, sv, zv);
            if (routes_to_device(sv)) {
                F::nt_scaling_cuda(c, sv.data, zv.data, sc.data, lv.data, batch, device, stream);
            } else {
                F::nt_scaling(c, sv.data, zv.data, sc.data, lv.data, batch);
            }
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "scaling"_a.noconvert(), "lam"_a.noconvert(), "batch"_a = 1,
        "stream"_a = 0,
        "NT scaling state of each item into scaling and lam = W z = W^-T s (W^T W = H^-1); host arrays refuse "
        "non-interior items, device items that are not interior get NaN.");

    cls.def(
        "scale_into",
        [](const B& c, const RoVector& scaling, const RoVector& x, const RwVector& out, bool inverse, bool transpose,
           u64 batch, StreamHandle stream) {
            const u64 n = checked_count({F::rows(c), batch});
            auto p = scaling_product_views(scaling, x, out, checked_count({F::scaling_size(c), batch}), n);
            if (routes_to_device(p.x)) {
                F::scale_cuda(c, p.scaling.data, p.x.data, p.out.data, inverse, transpose, batch, p.device, stream);
            } else {
                F::scale(c, p.scaling.data, p.x.data, p.out.data, inverse, transpose, batch);
            }
        },
        "scaling"_a.noconvert(), "x"_a.noconvert(), "out"_a.noconvert(), "inverse"_a = false, "transpose"_a = false,
        "batch"_a = 1, "stream"_a = 0,
        "out = W x, W^T x, W^-1 x or W^-T x per item from the stored scaling; out may be x.");

    def_jordan_into<F>(cls, "jordan_product_into", "x", "y", &F::jordan_product, &F::jordan_product_cuda,
                       "out = x o y (Jordan product) per item; out may be x or y.");
    def_jordan_into<F>(cls, "jordan_solve_into", "lam", "x", &F::jordan_solve, &F::jordan_solve_cuda,
                       "out = u with lam o u = x per item (lam strictly interior: host arrays refuse others, device "
                       "items get NaN); out may be x or lam.");

    bind_hmatrix_methods<F>(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
