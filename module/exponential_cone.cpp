// ExponentialConeCpp: `blocks` consecutive exponential cones
// cl{(x, y, z) : y > 0, y exp(x/y) <= z}, three entries each, plugged into the shared
// class surface. Its scaling matrix is block diagonal with one PSB block per cone.
#include <stdexcept>

#include "cuda/exponential_cuda.hpp"
#include "cuda/hmatrix_cuda.hpp"
#include "host/exponential.hpp"
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

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
    static void hmatrix_csr_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::exp_hmatrix_csr_cuda(s, z, indptr, indices, values, nnz, rows(c), row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::exp_hmatrix_coo_cuda(s, z, row_idx, col_idx, values, nnz, rows(c), row_offset, dev, stream);
    }
};

}  // namespace

void register_exponential_cone(nb::module_& m) {
    auto cls = bind_cone_class<ExponentialFamily>(m);
    bind_shared_methods<ExponentialFamily>(cls);
    bind_sparse_methods<ExponentialFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
