// NonnegativeConeCpp: the nonnegative orthant's routines plugged into the shared class
// surface.
#include "cuda/hmatrix_cuda.hpp"
#include "cuda/nonnegative_cuda.hpp"
#include "host/nonnegative.hpp"
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

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
    static void hmatrix_csr_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::nonnegative_hmatrix_csr_cuda(s, z, indptr, indices, values, nnz, c.dim, row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* rows,
                                 const std::int64_t* cols, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::nonnegative_hmatrix_coo_cuda(s, z, rows, cols, values, nnz, c.dim, row_offset, dev, stream);
    }
};

}  // namespace

void register_nonnegative_cone(nb::module_& m) {
    auto cls = bind_cone_class<NonnegativeFamily>(m);
    bind_shared_methods<NonnegativeFamily>(cls);
    bind_sparse_methods<NonnegativeFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
