// The second-order cone's class in each extension module: SecondOrderConeCpp in _cpp_cuda, SecondOrderCone in _ipm_cones.
// Compiled into both modules; the module being built defines VELKORA_EXTENSION_CPP_CUDA or
// VELKORA_EXTENSION_IPM_CONES and compiles its own section only.

#if defined(VELKORA_EXTENSION_CPP_CUDA)
// SecondOrderConeCpp: one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}, its host and
// device routines plugged into the shared class surface, plus the device NT method choice.
#include <stdexcept>

#include "cones/second_order/second_order.hpp"
#include "extensions/cpp_cuda/cone_class.hpp"
#include "extensions/cpp_cuda/registration.hpp"

namespace velkora::torv::cones::cpp {

// One second-order cone {x : x_0 >= ||x_1..n-1||}.
struct BoundSecondOrderConeCpp {
    u64 dim;
};

namespace {

struct SecondOrderFamily : ConeFamilyDefaults {
    using Bound = BoundSecondOrderConeCpp;
    static constexpr const char* python_name = "SecondOrderConeCpp";
    static constexpr const char* cublas_host_message = "SOC cuBLAS NT scaling requires CUDA arrays";

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("second-order cone dim must be positive");
        return Bound{dim};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }

    static void project(const Bound& c, const double* in, double* out) { host::soc_project(in, out, c.dim); }
    static void project_cuda(const Bound& c, const double* in, double* out, int dev, StreamHandle stream) {
        device::soc_project_cuda(in, out, c.dim, dev, stream);
    }
    static double violation(const Bound& c, const double* x) { return host::soc_violation(x, c.dim); }
    static double violation_cuda(const Bound& c, const double* x, int dev) {
        return device::soc_violation_cuda(x, c.dim, dev);
    }
    static bool contains(const Bound& c, const double* x, double atol) { return host::soc_contains(x, c.dim, atol); }
    static bool contains_cuda(const Bound& c, const double* x, double atol, int dev) {
        return device::soc_contains_cuda(x, c.dim, atol, dev);
    }

    static std::vector<double> nt_list(const Bound& c, const double* s, const double* z) {
        return host::soc_nt_dense(s, z, c.dim);
    }
    static OwnedMatrix nt_array(const Bound& c, const double* s, const double* z) {
        return dense_to_owned_array(host::soc_nt_dense(s, z, c.dim), c.dim, "SOC NT scaling");
    }
    // One item per call of the single-cone routine, in order.
    static void nt_into(const Bound& c, const double* s, const double* z, double* out, u64 batch) {
        host::soc_nt_scaling_batch_into(s, z, out, c.dim, batch);
    }
    static void nt_cuda(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                        StreamHandle stream) {
        device::soc_nt_scaling_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    static const char* default_method(const Bound&) { return device::kSocDefaultNtMethod; }
    static void nt_cuda_custom(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                               StreamHandle stream) {
        device::soc_nt_scaling_custom_cuda(s, z, out, c.dim, batch, dev, stream);
    }
    static void nt_cuda_cublas(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                               StreamHandle stream) {
        device::soc_nt_scaling_cublas_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    // Sparse fill: the scaling point once (on the calling thread), then H(r, c) on demand.
    static host::SocNtEntries sparse_entries(const Bound& c, const double* s, const double* z) {
        return host::SocNtEntries(s, z, c.dim);
    }
    // The device fill launchers, given the dimension.
    static constexpr auto hmatrix_csr_cuda = &device::soc_hmatrix_csr_cuda;
    static constexpr auto hmatrix_coo_cuda = &device::soc_hmatrix_coo_cuda;
    static u64 fill_size(const Bound& c) { return c.dim; }
};

}  // namespace

void register_second_order_cone(nb::module_& m) {
    auto cls = bind_cone_class<SecondOrderFamily>(m);
    bind_shared_methods<SecondOrderFamily>(cls);
    bind_method_choice<SecondOrderFamily>(cls);
    bind_sparse_methods<SecondOrderFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
#endif  // VELKORA_EXTENSION_CPP_CUDA

#if defined(VELKORA_EXTENSION_IPM_CONES)
// SecondOrderCone: second-order cones {x : x_0 >= ||x_bar||} (second_order.hpp),
// everything O(n) per item from the NT scaling point, plus the sparse expansion of H^-1 (or
// H) for large cones: a diagonal and two rank-one terms carried as two extra KKT rows and
// columns per cone, 5n stored entries instead of n^2.
#include <nanobind/stl/tuple.h>

#include <limits>
#include <tuple>

#include "cones/second_order/second_order.hpp"
#include "extensions/ipm_cones/ipm_class.hpp"
#include "bindings/results.hpp"

namespace velkora::torv::cones::cpp::ipm {

struct IpmSecondOrderCone {
    u64 dim;
};

namespace {

// Dimension from which the expansion is recommended: from there on a KKT matrix with the
// expanded cone factors faster than one with the dense n x n block (bench/bench_ipm_cones.py
// measures both with qdldl and SciPy's sparse LU).
constexpr u64 kExpansionMinDim = 64;

struct SecondOrderFamily : IpmFamilyDefaults {
    using Bound = IpmSecondOrderCone;
    static constexpr const char* python_name = "SecondOrderCone";
    static constexpr const char* class_doc =
        "Second-order cones of dimension dim: x o y = (x^T y, x_0 y_bar + y_0 x_bar), W = eta (2 v v^T - J). "
        "Scaling state of an item (dim + 4 entries): e, r, q, sqrt(q), then the scaling point w (w^T J w = 1), "
        "with eta = 2^e sqrt(q), H^-1 = W^T W = 4^e q (2 w w^T - J), H = 4^-e r (2 (J w)(J w)^T - J).";

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("second-order cone dim must be positive");
        // The expansion's 5 dim entries per item (and so the state's dim + 4) fit in 64 bits.
        checked_count({host::soc_expansion_entries(1), dim});
        return Bound{dim};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }
    static u64 scaling_size(const Bound& c) { return host::soc_state_size(c.dim); }

    static bool interior(const Bound& c, const double* x, u64 batch) { return host::soc_interior(x, c.dim, batch); }
    static double max_step(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max) {
        return host::soc_max_step(x, dx, c.dim, batch, alpha_max);
    }
    static double spectral_min(const Bound& c, const double* x, u64 batch) {
        return host::soc_spectral_min(x, c.dim, batch);
    }
    static void nt_scaling(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch) {
        host::soc_nt_scaling_state(s, z, sc, lam, c.dim, batch);
    }
    static void scale(const Bound& c, const double* sc, const double* x, double* out, bool inverse, bool, u64 batch) {
        host::soc_scale(sc, x, out, c.dim, batch, inverse);  // W^T = W
    }
    static void jordan_product(const Bound& c, const double* x, const double* y, double* out, u64 batch) {
        host::soc_jordan_product(x, y, out, c.dim, batch);
    }
    static void jordan_solve(const Bound& c, const double* lam, const double* x, double* out, u64 batch) {
        host::soc_jordan_solve(lam, x, out, c.dim, batch);
    }
    static auto h_block(const Bound& c, const double* sc, u64, bool inverse) {
        const u64 n = c.dim;
        auto item = [sc, n, inverse](u64 b, u64 i, u64 j) {
            return host::soc_state_h_entry(host::soc_state(sc + b * host::soc_state_size(n)), i, j, inverse);
        };
        return host::BatchedBlocks<decltype(item)>{n, item};
    }

    static bool interior_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::soc_interior_cuda(x, c.dim, batch, dev);
    }
    static double max_step_cuda(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max,
                                int dev) {
        return device::soc_max_step_cuda(x, dx, c.dim, batch, alpha_max, dev);
    }
    static double spectral_min_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::soc_spectral_min_cuda(x, c.dim, batch, dev);
    }
    static void nt_scaling_cuda(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch,
                                int dev, StreamHandle stream) {
        device::soc_nt_scaling_state_cuda(s, z, sc, lam, c.dim, batch, dev, stream);
    }
    static void scale_cuda(const Bound& c, const double* sc, const double* x, double* out, bool inverse, bool,
                           u64 batch, int dev, StreamHandle stream) {
        device::soc_scale_cuda(sc, x, out, c.dim, batch, inverse, dev, stream);
    }
    static void jordan_product_cuda(const Bound& c, const double* x, const double* y, double* out, u64 batch, int dev,
                                    StreamHandle stream) {
        device::soc_jordan_product_cuda(x, y, out, c.dim, batch, dev, stream);
    }
    static void jordan_solve_cuda(const Bound& c, const double* lam, const double* x, double* out, u64 batch, int dev,
                                  StreamHandle stream) {
        device::soc_jordan_solve_cuda(lam, x, out, c.dim, batch, dev, stream);
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* sc, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::soc_state_hmatrix_csr_cuda(sc, indptr, indices, values, nnz, c.dim, batch, row_offset, inverse, dev,
                                           stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* sc, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::soc_state_hmatrix_coo_cuda(sc, row_idx, col_idx, values, nnz, c.dim, batch, row_offset, inverse, dev,
                                           stream);
    }
};

// The cone rows [row_offset, + n batch) and the extra rows [extra_offset, + 2 batch) must be
// representable and disjoint.
void check_expansion_rows(u64 n, u64 batch, u64 row_offset, u64 extra_offset) {
    const u64 cone_rows = checked_count({n, batch});
    const u64 extra_rows = checked_count({2, batch});
    if (row_offset > UINT64_MAX - cone_rows || extra_offset > UINT64_MAX - extra_rows)
        throw std::runtime_error("expansion row range overflows 64-bit unsigned arithmetic");
    if (cone_rows != 0 && row_offset < extra_offset + extra_rows && extra_offset < row_offset + cone_rows)
        throw std::runtime_error("expansion rows must not overlap the cone rows");
}

void bind_expansion(nb::class_<IpmSecondOrderCone>& cls) {
    using B = IpmSecondOrderCone;
    using namespace nb::literals;

    cls.def_prop_ro(
        "expansion_recommended", [](const B& c) { return c.dim >= kExpansionMinDim; },
        "True when the sparse expansion of H^-1 factors faster in a KKT matrix than the dense block (dim >= 64, "
        "measured).");

    cls.def(
        "expansion_pattern",
        [](const B& c, u64 extra_offset, u64 batch, u64 row_offset) {
            check_expansion_rows(c.dim, batch, row_offset, extra_offset);
            // The coordinates are int64: the last cone row and the last extra row must fit.
            constexpr u64 kLastIndex = static_cast<u64>(std::numeric_limits<std::int64_t>::max());
            if ((batch != 0 && row_offset + c.dim * batch - 1 > kLastIndex) ||
                (batch != 0 && extra_offset + 2 * batch - 1 > kLastIndex))
                throw std::runtime_error("expansion rows must lie below 2^63 (int64 coordinates)");
            const u64 count = checked_count({host::soc_expansion_entries(c.dim), batch});
            std::int64_t* rows = zeroed_indices(count, "expansion pattern");
            auto rows_array = make_owned_index_array(rows, count);
            std::int64_t* cols = zeroed_indices(count, "expansion pattern");
            auto cols_array = make_owned_index_array(cols, count);
            host::soc_expansion_pattern(c.dim, batch, row_offset, extra_offset, rows, cols);
            return std::make_tuple(rows_array, cols_array);
        },
        "extra_offset"_a, "batch"_a = 1, "row_offset"_a = 0,
        "(rows, cols): COO coordinates of the expansion's 5 dim entries per item (cone rows from row_offset, the "
        "u- and v-row of item b at extra_offset + 2b and + 2b + 1), for building the caller's structure.");

    cls.def(
        "expansion_csr_values_into",
        [](const B& c, const RoVector& scaling, const IndexVector& indptr, const IndexVector& indices,
           const RwVector& values, u64 extra_offset, u64 batch, u64 row_offset, bool inverse, StreamHandle stream) {
            const u64 n = c.dim;
            auto sc = vector_view(scaling, checked_count({host::soc_state_size(n), batch}), "scaling");
            auto t = sparse_target<SparseFormat::kCsr>(indptr, indices, values);
            const int device = check_target_device(sc, t);
            check_expansion_rows(n, batch, row_offset, extra_offset);
            check_target_apart(t, sc);
            if (routes_to_device(t.values)) {
                check_device_structure(t, n * batch, row_offset);
                check_device_structure(t, 2 * batch, extra_offset);
                device::soc_expansion_csr_cuda(sc.data, t.first.data, t.second.data, t.values.data, t.values.size, n,
                                               batch, row_offset, extra_offset, inverse, device, stream);
                return;
            }
            host::soc_expansion_csr_fill(sc.data, t.first.data, t.first.size, t.second.data, t.values.data,
                                         t.values.size, n, batch, row_offset, extra_offset, inverse);
        },
        "scaling"_a.noconvert(), "indptr"_a.noconvert(), "indices"_a.noconvert(), "values"_a.noconvert(),
        "extra_offset"_a, "batch"_a = 1, "row_offset"_a = 0, "inverse"_a = false, "stream"_a = 0,
        "The expansion [[D, u, v], [u^T, -1, 0], [v^T, 0, 1]] of H^-1 (inverse=True) or H, whose Schur complement "
        "on the cone rows is that matrix, into the values of a CSR matrix: cone rows from row_offset, the two "
        "extra rows of item b at extra_offset + 2b; other stored entries of those rows become 0.");
}

}  // namespace

void register_second_order(nb::module_& m) {
    auto cls = bind_ipm_class<SecondOrderFamily>(m);
    bind_ipm_methods<SecondOrderFamily>(cls);
    bind_expansion(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
#endif  // VELKORA_EXTENSION_IPM_CONES
