// SecondOrderConeCpp: one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}, its host and
// device routines plugged into the shared class surface, plus the device NT method choice.
#include <stdexcept>

#include "cuda/hmatrix_cuda.hpp"
#include "cuda/second_order_cuda.hpp"
#include "host/second_order.hpp"
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

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
    static void hmatrix_csr_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::soc_hmatrix_csr_cuda(s, z, indptr, indices, values, nnz, c.dim, row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::soc_hmatrix_coo_cuda(s, z, row_idx, col_idx, values, nnz, c.dim, row_offset, dev, stream);
    }
};

}  // namespace

void register_second_order_cone(nb::module_& m) {
    auto cls = bind_cone_class<SecondOrderFamily>(m);
    bind_shared_methods<SecondOrderFamily>(cls);
    bind_method_choice<SecondOrderFamily>(cls);
    bind_sparse_methods<SecondOrderFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
