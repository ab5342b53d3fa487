// The nonnegative cone's class in each extension module: NonnegativeConeCpp in _cpp_cuda, NonnegativeCone in _ipm_cones.
// Compiled into both modules; the module being built defines VELKORA_EXTENSION_CPP_CUDA or
// VELKORA_EXTENSION_IPM_CONES and compiles its own section only.

#if defined(VELKORA_EXTENSION_CPP_CUDA)
// NonnegativeConeCpp: the nonnegative orthant's routines plugged into the shared class
// surface.
#include "cones/nonnegative/nonnegative.hpp"
#include "extensions/cpp_cuda/cone_class.hpp"
#include "extensions/cpp_cuda/registration.hpp"

namespace velkora::torv::cones::cpp {

// The nonnegative orthant of dimension dim.
struct BoundNonnegativeConeCpp {
    u64 dim;
};

namespace {

struct NonnegativeFamily : ConeFamilyDefaults {
    using Bound = BoundNonnegativeConeCpp;
    static constexpr const char* python_name = "NonnegativeConeCpp";
    static constexpr const char* nt_what = "nonnegative NT scaling";

    static Bound construct(u64 dim) { return Bound{dim}; }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }

    static void project(const Bound& c, const double* in, double* out) { host::nonnegative_project(in, out, c.dim); }
    static void project_cuda(const Bound& c, const double* in, double* out, int dev, StreamHandle stream) {
        device::nonnegative_project_cuda(in, out, c.dim, dev, stream);
    }
    static double violation(const Bound& c, const double* x) { return host::nonnegative_violation(x, c.dim); }
    static double violation_cuda(const Bound& c, const double* x, int dev) {
        return device::nonnegative_violation_cuda(x, c.dim, dev);
    }
    static bool contains(const Bound& c, const double* x, double atol) {
        return host::nonnegative_contains(x, c.dim, atol);
    }
    static bool contains_cuda(const Bound& c, const double* x, double atol, int dev) {
        return device::nonnegative_contains_cuda(x, c.dim, atol, dev);
    }

    static std::vector<double> nt_list(const Bound& c, const double* s, const double* z) {
        return host::nonnegative_nt_scaling(s, z, c.dim);
    }
    // Every index is tested before the n*n buffer is allocated; only the diagonal is
    // computed.
    static OwnedMatrix nt_array(const Bound& c, const double* s, const double* z) {
        host::nonnegative_check_interior(s, z, c.dim);
        double* buffer = zeroed_doubles(checked_count({c.dim, c.dim}), "nonnegative NT scaling");
        host::nonnegative_fill_diagonal(s, z, buffer, c.dim);
        return make_owned_array(buffer, c.dim, c.dim);
    }
    static void nt_into(const Bound& c, const double* s, const double* z, double* out, u64 batch) {
        host::nonnegative_nt_scaling_into(s, z, out, c.dim, batch);
    }
    static void nt_cuda(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                        StreamHandle stream) {
        device::nonnegative_nt_scaling_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    // Sparse fill: H(r, c) = z_r / s_r on the diagonal, computed at the stored positions.
    static auto sparse_entries(const Bound& c, const double* s, const double* z) {
        host::nonnegative_sparse_check(s, z, c.dim);
        return host::NonnegativeSparseEntries{s, z};
    }
    // The device fill launchers, given the dimension.
    static constexpr auto hmatrix_csr_cuda = &device::nonnegative_hmatrix_csr_cuda;
    static constexpr auto hmatrix_coo_cuda = &device::nonnegative_hmatrix_coo_cuda;
    static u64 fill_size(const Bound& c) { return c.dim; }
};

}  // namespace

void register_nonnegative_cone(nb::module_& m) {
    auto cls = bind_cone_class<NonnegativeFamily>(m);
    bind_shared_methods<NonnegativeFamily>(cls);
    bind_sparse_methods<NonnegativeFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
#endif  // VELKORA_EXTENSION_CPP_CUDA

#if defined(VELKORA_EXTENSION_IPM_CONES)
// NonnegativeCone: the nonnegative orthant, entrywise (nonnegative.hpp). The scaling
// state of an item is d = sqrt(s/z) (scaling_size = dim); a batch is its entries taken as one
// vector.
#include "cones/nonnegative/nonnegative.hpp"
#include "extensions/ipm_cones/ipm_class.hpp"

namespace velkora::torv::cones::cpp::ipm {

struct IpmNonnegativeCone {
    u64 dim;
};

namespace {

struct NonnegativeFamily : IpmFamilyDefaults {
    using Bound = IpmNonnegativeCone;
    static constexpr const char* python_name = "NonnegativeCone";
    static constexpr const char* class_doc =
        "Nonnegative orthants of dimension dim: x o y = x .* y, W = diag(sqrt(s/z)) (scaling state: that "
        "diagonal).";

    static Bound construct(u64 dim) { return Bound{dim}; }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }
    static u64 scaling_size(const Bound& c) { return c.dim; }

    static bool interior(const Bound& c, const double* x, u64 batch) {
        return host::nonnegative_interior(x, c.dim * batch);
    }
    static double max_step(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max) {
        return host::nonnegative_max_step(x, dx, c.dim * batch, alpha_max);
    }
    static double spectral_min(const Bound& c, const double* x, u64 batch) {
        return host::nonnegative_spectral_min(x, c.dim * batch);
    }
    static void nt_scaling(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch) {
        host::nonnegative_nt_scaling_state(s, z, sc, lam, c.dim * batch);
    }
    static void scale(const Bound& c, const double* sc, const double* x, double* out, bool inverse, bool, u64 batch) {
        host::nonnegative_scale(sc, x, out, c.dim * batch, inverse);
    }
    static void jordan_product(const Bound& c, const double* x, const double* y, double* out, u64 batch) {
        host::nonnegative_jordan_product(x, y, out, c.dim * batch);
    }
    static void jordan_solve(const Bound& c, const double* lam, const double* x, double* out, u64 batch) {
        host::nonnegative_jordan_solve(lam, x, out, c.dim * batch);
    }
    static auto h_block(const Bound&, const double* sc, u64, bool inverse) {
        return [sc, inverse](u64 r, u64 col) { return r == col ? host::nonnegative_h_entry(sc[r], inverse) : 0.0; };
    }

    static bool interior_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::nonnegative_interior_cuda(x, c.dim * batch, dev);
    }
    static double max_step_cuda(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max,
                                int dev) {
        return device::nonnegative_max_step_cuda(x, dx, c.dim * batch, alpha_max, dev);
    }
    static double spectral_min_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::nonnegative_spectral_min_cuda(x, c.dim * batch, dev);
    }
    static void nt_scaling_cuda(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch,
                                int dev, StreamHandle stream) {
        device::nonnegative_nt_scaling_state_cuda(s, z, sc, lam, c.dim * batch, dev, stream);
    }
    static void scale_cuda(const Bound& c, const double* sc, const double* x, double* out, bool inverse, bool,
                           u64 batch, int dev, StreamHandle stream) {
        device::nonnegative_scale_cuda(sc, x, out, c.dim * batch, inverse, dev, stream);
    }
    static void jordan_product_cuda(const Bound& c, const double* x, const double* y, double* out, u64 batch, int dev,
                                    StreamHandle stream) {
        device::nonnegative_jordan_product_cuda(x, y, out, c.dim * batch, dev, stream);
    }
    static void jordan_solve_cuda(const Bound& c, const double* lam, const double* x, double* out, u64 batch, int dev,
                                  StreamHandle stream) {
        device::nonnegative_jordan_solve_cuda(lam, x, out, c.dim * batch, dev, stream);
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* sc, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::nonnegative_scaling_hmatrix_csr_cuda(sc, indptr, indices, values, nnz, c.dim * batch, row_offset,
                                                     inverse, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* sc, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::nonnegative_scaling_hmatrix_coo_cuda(sc, row_idx, col_idx, values, nnz, c.dim * batch, row_offset,
                                                     inverse, dev, stream);
    }
};

}  // namespace

void register_nonnegative(nb::module_& m) {
    auto cls = bind_ipm_class<NonnegativeFamily>(m);
    bind_ipm_methods<NonnegativeFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
#endif  // VELKORA_EXTENSION_IPM_CONES
