// The exponential cone's class in each extension module: ExponentialConeCpp in _cpp_cuda, ExponentialCone in _ipm_cones.
// Compiled into both modules; the module being built defines VELKORA_EXTENSION_CPP_CUDA or
// VELKORA_EXTENSION_IPM_CONES and compiles its own section only.

#if defined(VELKORA_EXTENSION_CPP_CUDA)
// ExponentialConeCpp: `blocks` consecutive exponential cones
// cl{(x, y, z) : y > 0, y exp(x/y) <= z}, three entries each, plugged into the shared
// class surface. Its scaling matrix is block diagonal with one PSB block per cone.
#include <stdexcept>

#include "cones/exponential/exponential.hpp"
#include "extensions/cpp_cuda/cone_class.hpp"
#include "extensions/cpp_cuda/registration.hpp"

namespace velkora::torv::cones::cpp {

// `blocks` consecutive exponential cones of three entries each.
struct BoundExponentialConeCpp {
    u64 blocks;
};

namespace {

struct ExponentialFamily : ConeFamilyDefaults {
    using Bound = BoundExponentialConeCpp;
    static constexpr const char* python_name = "ExponentialConeCpp";
    static constexpr const char* ctor_arg = "blocks";
    static constexpr bool ctor_default_one = true;
    static constexpr const char* nt_what = "exponential scaling";
    static constexpr const char* sparse_what = "exponential sparse H fill";

    static Bound construct(u64 blocks) {
        if (blocks == 0) throw std::runtime_error("exponential cone block count must be positive");
        checked_count({3, blocks});
        return Bound{blocks};
    }
    static u64 dim(const Bound&) { return 3; }
    static u64 rows(const Bound& c) { return 3 * c.blocks; }

    static void project(const Bound& c, const double* in, double* out) { host::exp_project(in, out, c.blocks); }
    static void project_cuda(const Bound& c, const double* in, double* out, int dev, StreamHandle stream) {
        device::exp_project_cuda(in, out, c.blocks, dev, stream);
    }
    static double violation(const Bound& c, const double* x) { return host::exp_violation(x, c.blocks); }
    static double violation_cuda(const Bound& c, const double* x, int dev) {
        return device::exp_violation_cuda(x, c.blocks, dev);
    }
    static bool contains(const Bound& c, const double* x, double atol) {
        return host::exp_contains(x, c.blocks, atol);
    }
    static bool contains_cuda(const Bound& c, const double* x, double atol, int dev) {
        return device::exp_contains_cuda(x, c.blocks, atol, dev);
    }

    static std::vector<double> nt_list(const Bound& c, const double* s, const double* z) {
        return host::exp_scaling_dense(s, z, c.blocks);
    }
    static OwnedMatrix nt_array(const Bound& c, const double* s, const double* z) {
        return dense_to_owned_array(host::exp_scaling_dense(s, z, c.blocks), rows(c), "exponential scaling");
    }
    static void nt_into(const Bound& c, const double* s, const double* z, double* out, u64 batch) {
        host::exp_scaling_batch(s, z, out, c.blocks, batch);
    }
    static void nt_cuda(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                        StreamHandle stream) {
        device::exp_nt_scaling_cuda(s, z, out, c.blocks, batch, dev, stream);
    }

    // Sparse fill: 9 values per cone prepared up front, 0 between different cones.
    static auto sparse_entries(const Bound& c, const double* s, const double* z) {
        return [m = host::exp_sparse_blocks(s, z, c.blocks)](u64 r, u64 col) {
            const u64 cone = r / 3;
            return col / 3 == cone ? m[9 * cone + 3 * (r % 3) + col % 3] : 0.0;
        };
    }
    // The device fill launchers, given the row count.
    static constexpr auto hmatrix_csr_cuda = &device::exp_hmatrix_csr_cuda;
    static constexpr auto hmatrix_coo_cuda = &device::exp_hmatrix_coo_cuda;
    static u64 fill_size(const Bound& c) { return rows(c); }
};

}  // namespace

void register_exponential_cone(nb::module_& m) {
    auto cls = bind_cone_class<ExponentialFamily>(m);
    bind_shared_methods<ExponentialFamily>(cls);
    bind_sparse_methods<ExponentialFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
#endif  // VELKORA_EXTENSION_CPP_CUDA

#if defined(VELKORA_EXTENSION_IPM_CONES)
// ExponentialCone: `blocks` exponential cones (x, y, z), three entries each, for a primal-dual
// method for nonsymmetric cones (exponential.hpp): membership of the cone and of its
// dual, backtracking step, barrier values and gradient, the shadow point s~ = -grad f*(z), the
// primal-dual scaling H (H s = z, H s~ = z~) with its central-path and dual-side forms stored as
// weighted rank-one terms of H and of H^-1, products with them, the third-order corrector and
// the s-space combined shift, and the H or H^-1 fills. A batch is `batch` items of `blocks`
// cones, i.e. blocks * batch consecutive cones. The symmetric-cone methods (NT scaling, W,
// Jordan algebra, spectral values) have no meaning for this cone and are not offered.
#include "cones/exponential/exponential.hpp"
#include "extensions/ipm_cones/ipm_class.hpp"

namespace velkora::torv::cones::cpp::ipm {

struct IpmExponentialCone {
    u64 blocks;
};

namespace {

struct ExponentialFamily : IpmFamilyDefaults {
    using Bound = IpmExponentialCone;
    static constexpr const char* python_name = "ExponentialCone";
    static constexpr const char* ctor_arg = "blocks";
    static constexpr bool ctor_default_one = true;
    static constexpr const char* class_doc =
        "Exponential cones K = cl{(x, y, z): y > 0, y exp(x/y) <= z}, blocks per item, three entries each; dual "
        "cone K* = {(u, v, w): (u - v, -u, w) in K}; barrier f(s) = -log(y log(z/y) - x) - log y - log z. "
        "Scaling H with H s = z (and H s~ = z~, z~ = -grad f(s), s~ = -grad f*(z)); state of a cone (28 entries): "
        "mode (0 primal-dual, 1 central-path BFGS, 2 dual-side), h[3], p[3][3], g[3], q[3][3], s~[3] with "
        "H = sum h_k p_k p_k^T and H^-1 = sum g_k q_k q_k^T.";
    static constexpr const char* hmatrix_doc =
        "H (or H^-1 with inverse=True) of each cone from the stored scaling into the values of a CSR matrix: cones "
        "as consecutive 3 x 3 diagonal blocks from row row_offset; other stored entries of those rows become 0.";

    static Bound construct(u64 blocks) {
        if (blocks == 0) throw std::runtime_error("exponential cone block count must be positive");
        checked_count({host::kExpStateSize, blocks});
        return Bound{blocks};
    }
    static u64 dim(const Bound&) { return 3; }
    static u64 rows(const Bound& c) { return 3 * c.blocks; }
    static u64 scaling_size(const Bound& c) { return host::kExpStateSize * c.blocks; }

    static auto h_block(const Bound&, const double* sc, u64, bool inverse) {
        return host::BatchedBlocks<host::ExpStateEntry>{3, host::ExpStateEntry{sc, inverse}};
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* sc, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::exp_ipm_hmatrix_csr_cuda(sc, indptr, indices, values, nnz, c.blocks * batch, row_offset, inverse, dev,
                                         stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* sc, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::exp_ipm_hmatrix_coo_cuda(sc, row_idx, col_idx, values, nnz, c.blocks * batch, row_offset, inverse,
                                         dev, stream);
    }
};

using B = IpmExponentialCone;

// Scalar arguments, tested after the views and device checks.
void check_finite_nonnegative(double v, const char* message) {
    if (!(v >= 0.0 && v <= host::kDoubleMax)) throw std::runtime_error(message);
}

void check_factor(double factor) {
    if (!(factor > 0.0 && factor < 1.0)) throw std::runtime_error("factor must lie strictly between 0 and 1");
}

void check_mu(double mu) {
    if (!(mu > 0.0 && mu <= host::kDoubleMax)) throw std::runtime_error("mu must be positive and finite");
}

void check_finite(double v, const char* message) {
    if (!(std::fabs(v) <= host::kDoubleMax)) throw std::runtime_error(message);
}

// The primal and dual forms of one test or sum over the cones of x: names[dual], computed by
// host_fn(x, cones, dual) or device_fn(x, cones, dual, device), documented by docs[dual].
template <class R, class Host, class Device>
void bind_primal_and_dual(nb::class_<B>& cls, const char* const (&names)[2], Host host_fn, Device device_fn,
                          const char* const (&docs)[2]) {
    using namespace nb::literals;
    for (bool dual : {false, true}) {
        cls.def(
            names[dual],
            [dual, host_fn, device_fn](const B& c, const RoVector& x, u64 batch) -> R {
                auto xv = vector_view(x, checked_count({3 * c.blocks, batch}), "x");
                const u64 cones = c.blocks * batch;
                if (routes_to_device(xv)) return device_fn(xv.data, cones, dual, xv.device_id);
                return host_fn(xv.data, cones, dual);
            },
            "x"_a.noconvert(), "batch"_a = 1, docs[dual]);
    }
}

void bind_membership(nb::class_<B>& cls) {
    using namespace nb::literals;
    bind_primal_and_dual<bool>(
        cls, {"interior", "dual_interior"}, host::exp_ipm_interior, device::exp_ipm_interior_cuda,
        {"True when every cone of x is strictly inside K (y > 0, z > 0, y log(z/y) - x > 0, finite; NaN "
         "is not), the test behind the refusals for s.",
         "True when every cone of x is strictly inside the dual cone K* (u < 0, w > 0, v - u - u log(w/-u) "
         "> 0, finite; NaN is not), the test behind the refusals for z."});

    cls.def(
        "backtrack_step",
        [](const B& c, const RoVector& s, const RoVector& ds, const RoVector& z, const RoVector& dz, double alpha0,
           double factor, u64 batch, double alpha_min) -> double {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto sv = vector_view(s, n, "s");
            auto dsv = vector_view(ds, n, "ds");
            auto zv = vector_view(z, n, "z");
            auto dzv = vector_view(dz, n, "dz");
            check_inputs_same_device(sv, dsv);
            check_inputs_same_device(sv, zv);
            check_inputs_same_device(sv, dzv);
            check_finite_nonnegative(alpha0, "alpha0 must be finite and nonnegative");
            check_factor(factor);
            check_finite_nonnegative(alpha_min, "alpha_min must be finite and nonnegative");
            const u64 cones = c.blocks * batch;
            if (routes_to_device(sv)) {
                return device::exp_ipm_step_cuda(sv.data, dsv.data, zv.data, dzv.data, cones, alpha0, factor,
                                                 alpha_min, sv.device_id);
            }
            return host::exp_ipm_step(sv.data, dsv.data, zv.data, dzv.data, cones, alpha0, factor, alpha_min);
        },
        "s"_a.noconvert(), "ds"_a.noconvert(), "z"_a.noconvert(), "dz"_a.noconvert(), "alpha0"_a, "factor"_a = 0.8,
        "batch"_a = 1, "alpha_min"_a = 0.0,
        "The first alpha of alpha0, alpha0 factor, alpha0 factor^2, ... (each the previous times factor, none "
        "below alpha_min, at most 1024 terms) with s + alpha ds in int K and z + alpha dz in int K* for every "
        "cone; 0.0 when there is none or s, z are not interior. One call does the whole backtracking.");

    bind_primal_and_dual<double>(
        cls, {"barrier", "dual_barrier"}, host::exp_ipm_barrier, device::exp_ipm_barrier_cuda,
        {"Sum over the cones of f(s) = -log(y log(z/y) - x) - log y - log z; +inf when a cone is not "
         "inside K.",
         "Sum over the cones of the conjugate barrier f*(z) = -3 - f(s~); +inf when a cone is not inside "
         "K* (proximity term: f(s) + f*(z) + 3 >= 0 per cone, 0 on the central path)."});
}

// out = op(x) per cone for the one-input forms (gradient, shadow point).
template <class Host, class Device>
void bind_pointwise(nb::class_<B>& cls, const char* name, const char* input, Host host_fn, Device device_fn,
                    const char* doc) {
    using namespace nb::literals;
    cls.def(
        name,
        [input, host_fn, device_fn](const B& c, const RoVector& x, const RwVector& out, u64 batch,
                                    StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto xv = vector_view(x, n, input);
            auto ov = vector_view(out, n, "out");
            const int device = check_input_output_device(xv, ov);
            check_in_place_or_no_overlap(ov, xv);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(xv)) {
                device_fn(xv.data, ov.data, cones, device, stream);
            } else {
                host_fn(xv.data, ov.data, cones);
            }
        },
        nb::arg(input).noconvert(), "out"_a.noconvert(), "batch"_a = 1, "stream"_a = 0, doc);
}

void bind_barrier_forms(nb::class_<B>& cls) {
    bind_pointwise(cls, "barrier_gradient_into", "s", host::exp_ipm_barrier_gradient,
                   device::exp_ipm_barrier_gradient_cuda,
                   "out = grad f(s) per cone (z~ = -grad f(s) is the dual shadow iterate); host arrays refuse cones "
                   "not inside K, device cones get NaN; out may be s.");
    bind_pointwise(cls, "dual_shadow_into", "z", host::exp_ipm_dual_shadow, device::exp_ipm_dual_shadow_cuda,
                   "out = s~ = -grad f*(z) per cone (the point of int K with -grad f(s~) = z, <s~, z> = 3), by a "
                   "fourth-order iteration for Wright's omega; host arrays refuse cones not inside K*, device cones "
                   "get NaN; out may be z.");
}

void bind_scaling(nb::class_<B>& cls) {
    using namespace nb::literals;
    cls.def(
        "scaling_into",
        [](const B& c, const RoVector& s, const RoVector& z, const RwVector& scaling, u64 batch, StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto sv = vector_view(s, n, "s");
            auto zv = vector_view(z, n, "z");
            auto sc = vector_view(scaling, checked_count({host::kExpStateSize * c.blocks, batch}), "scaling");
            check_inputs_same_device(sv, zv);
            const int device = check_input_output_device(sv, sc);
            check_no_overlap(sc, sv, zv);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(sv)) {
                device::exp_ipm_scaling_cuda(sv.data, zv.data, sc.data, cones, device, stream);
            } else {
                host::exp_ipm_scaling(sv.data, zv.data, sc.data, cones);
            }
        },
        "s"_a.noconvert(), "z"_a.noconvert(), "scaling"_a.noconvert(), "batch"_a = 1, "stream"_a = 0,
        "Primal-dual scaling state of each cone (H s = z, H s~ = z~; mode 0), or its central-path BFGS form where "
        "mu mu~ - 1 <= 1e-7 (mode 1; H s = z, H s~ = z~ to O(mu mu~ - 1)); host arrays refuse s not inside K or z "
        "not inside K*, device cones get NaN.");

    cls.def(
        "dual_scaling_into",
        [](const B& c, const RoVector& z, double mu, const RwVector& scaling, u64 batch, StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto zv = vector_view(z, n, "z");
            auto sc = vector_view(scaling, checked_count({host::kExpStateSize * c.blocks, batch}), "scaling");
            const int device = check_input_output_device(zv, sc);
            check_mu(mu);
            check_no_overlap(sc, zv);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(zv)) {
                device::exp_ipm_dual_scaling_cuda(zv.data, mu, sc.data, cones, device, stream);
            } else {
                host::exp_ipm_dual_scaling(zv.data, mu, sc.data, cones);
            }
        },
        "z"_a.noconvert(), "mu"_a, "scaling"_a.noconvert(), "batch"_a = 1, "stream"_a = 0,
        "Dual-side fallback state (mode 2): H^-1 = mu hess f*(z) = mu hess f(s~)^-1 (mu the solver's global "
        "mu); host arrays refuse z not inside K*, device cones get NaN.");

    cls.def(
        "hmatrix_product_into",
        [](const B& c, const RoVector& scaling, const RoVector& x, const RwVector& out, bool inverse, u64 batch,
           StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto p = scaling_product_views(scaling, x, out, checked_count({host::kExpStateSize * c.blocks, batch}), n);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(p.x)) {
                device::exp_ipm_apply_cuda(p.scaling.data, p.x.data, p.out.data, cones, inverse, p.device, stream);
            } else {
                host::exp_ipm_apply(p.scaling.data, p.x.data, p.out.data, cones, inverse);
            }
        },
        "scaling"_a.noconvert(), "x"_a.noconvert(), "out"_a.noconvert(), "inverse"_a = false, "batch"_a = 1,
        "stream"_a = 0, "out = H x (or H^-1 x) per cone from the stored scaling; out may be x.");
}

void bind_corrector(nb::class_<B>& cls) {
    using namespace nb::literals;
    cls.def(
        "corrector_into",
        [](const B& c, const RoVector& s, const RoVector& ds, const RoVector& dz, const RwVector& out, u64 batch,
           StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto sv = vector_view(s, n, "s");
            auto dsv = vector_view(ds, n, "ds");
            auto dzv = vector_view(dz, n, "dz");
            auto ov = vector_view(out, n, "out");
            check_inputs_same_device(sv, dsv);
            check_inputs_same_device(sv, dzv);
            const int device = check_input_output_device(sv, ov);
            check_in_place_or_no_overlap(ov, sv);
            check_in_place_or_no_overlap(ov, dsv);
            check_in_place_or_no_overlap(ov, dzv);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(sv)) {
                device::exp_ipm_corrector_cuda(sv.data, dsv.data, dzv.data, ov.data, cones, device, stream);
            } else {
                host::exp_ipm_corrector(sv.data, dsv.data, dzv.data, ov.data, cones);
            }
        },
        "s"_a.noconvert(), "ds"_a.noconvert(), "dz"_a.noconvert(), "out"_a.noconvert(), "batch"_a = 1,
        "stream"_a = 0,
        "out = eta = 1/2 f'''(s)[ds, hess f(s)^-1 dz] per cone (the third-order term of the combined step, "
        "d_z = z + sigma mu grad f(s) - eta; with f = -sum log this is Mehrotra's ds dz/s); host arrays refuse s "
        "not inside K, device cones get NaN; out may be any input.");

    cls.def(
        "combined_shift_into",
        [](const B& c, const RoVector& scaling, const RoVector& s, const RoVector& ds, const RoVector& dz,
           const RwVector& out, double sigma_mu, double correction, u64 batch, StreamHandle stream) {
            const u64 n = checked_count({3 * c.blocks, batch});
            auto sc = vector_view(scaling, checked_count({host::kExpStateSize * c.blocks, batch}), "scaling");
            auto sv = vector_view(s, n, "s");
            auto dsv = vector_view(ds, n, "ds");
            auto dzv = vector_view(dz, n, "dz");
            auto ov = vector_view(out, n, "out");
            check_inputs_same_device(sc, sv);
            check_inputs_same_device(sc, dsv);
            check_inputs_same_device(sc, dzv);
            const int device = check_input_output_device(sv, ov);
            check_finite_nonnegative(sigma_mu, "sigma_mu must be finite and nonnegative");
            check_finite(correction, "correction must be finite");
            check_no_overlap(ov, sc);
            check_in_place_or_no_overlap(ov, sv);
            check_in_place_or_no_overlap(ov, dsv);
            check_in_place_or_no_overlap(ov, dzv);
            const u64 cones = c.blocks * batch;
            if (routes_to_device(sv)) {
                device::exp_ipm_combined_shift_cuda(sc.data, sv.data, dsv.data, dzv.data, ov.data, cones, sigma_mu,
                                                    correction, device, stream);
            } else {
                host::exp_ipm_combined_shift(sc.data, sv.data, dsv.data, dzv.data, ov.data, cones, sigma_mu,
                                             correction);
            }
        },
        "scaling"_a.noconvert(), "s"_a.noconvert(), "ds"_a.noconvert(), "dz"_a.noconvert(), "out"_a.noconvert(),
        "sigma_mu"_a, "correction"_a = 1.0, "batch"_a = 1, "stream"_a = 0,
        "out = d_s = s - sigma_mu s~ - correction H^-1 eta per cone (s~ and H^-1 from the stored scaling, eta = "
        "corrector of the affine directions ds, dz, not read when correction = 0): the exact s-space right-hand "
        "side of ds + H^-1 dz = -d_s (the affine one is d_s = s); host arrays refuse s not inside K when "
        "correction != 0, device cones get NaN; out may be any input.");
}

}  // namespace

void register_exponential(nb::module_& m) {
    auto cls = bind_ipm_class<ExponentialFamily>(m);
    cls.def_prop_ro("blocks", [](const B& c) { return c.blocks; }, "Cones per item.");
    bind_membership(cls);
    bind_barrier_forms(cls);
    bind_scaling(cls);
    bind_corrector(cls);
    bind_hmatrix_methods<ExponentialFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
#endif  // VELKORA_EXTENSION_IPM_CONES
