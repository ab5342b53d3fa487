// ZeroConeCpp: the zero cone {0} (equality constraints) plugged into the shared class
// surface. Its NT scaling matrix is the identity for (near-)zero s and z.
#include "cuda/hmatrix_cuda.hpp"
#include "cuda/zero_cuda.hpp"
#include "host/zero.hpp"
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct ZeroFamily : ConeFamilyDefaults {
    using Bound = BoundZeroConeCpp;
    static constexpr const char* python_name = "ZeroConeCpp";
    static constexpr const char* nt_what = "identity matrix";

    static Bound construct(u64 dim) { return Bound{dim}; }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }

    static void project(const Bound& c, const double*, double* out) { host::zero_project(out, c.dim); }
    static void project_cuda(const Bound& c, const double* in, double* out, int dev, StreamHandle stream) {
        device::zero_project_cuda(in, out, c.dim, dev, stream);
    }
    static double violation(const Bound& c, const double* x) { return host::zero_violation(x, c.dim); }
    static double violation_cuda(const Bound& c, const double* x, int dev) {
        return device::zero_violation_cuda(x, c.dim, dev);
    }
    static bool contains(const Bound& c, const double* x, double atol) { return host::zero_contains(x, c.dim, atol); }
    static bool contains_cuda(const Bound& c, const double* x, double atol, int dev) {
        return device::zero_contains_cuda(x, c.dim, atol, dev);
    }

    static std::vector<double> nt_list(const Bound& c, const double* s, const double* z) {
        host::zero_check_nt_inputs(s, z, c.dim);
        return identity_values(c.dim);
    }
    static OwnedMatrix nt_array(const Bound& c, const double* s, const double* z) {
        host::zero_check_nt_inputs(s, z, c.dim);
        return identity_array(c.dim);
    }
    static void nt_into(const Bound& c, const double* s, const double* z, double* out, u64 batch) {
        host::zero_nt_scaling_into(s, z, out, c.dim, batch);
    }
    // The device path writes identities without testing s or z (non-finite entries show
    // as NaN on the diagonal).
    static void nt_cuda(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                        StreamHandle stream) {
        device::zero_nt_scaling_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    // Sparse fill: the identity block, after the exact-zero test of s and z.
    static auto sparse_entries(const Bound& c, const double* s, const double* z) {
        host::zero_sparse_check(s, z, c.dim);
        return [](u64 r, u64 col) { return r == col ? 1.0 : 0.0; };
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::zero_hmatrix_csr_cuda(s, z, indptr, indices, values, nnz, c.dim, row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::zero_hmatrix_coo_cuda(s, z, row_idx, col_idx, values, nnz, c.dim, row_offset, dev, stream);
    }
};

}  // namespace

void register_zero_cone(nb::module_& m) {
    auto cls = bind_cone_class<ZeroFamily>(m);
    bind_shared_methods<ZeroFamily>(cls);
    bind_sparse_methods<ZeroFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
