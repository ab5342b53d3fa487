// PsdConeCpp: one cone of PSD matrices of order dim, carried as svec vectors of
// dim*(dim+1)/2 entries; host routines of any order, device routines as the kernels
// allow (projection, violation and membership of order 2, NT scaling up to order 32).
#include <cstring>
#include <stdexcept>

#include "cuda/hmatrix_cuda.hpp"
#include "cuda/psd_cuda.hpp"
#include "host/psd.hpp"
#include "host/psd_nt.hpp"
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/psd_sizes.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct PsdFamily : ConeFamilyDefaults {
    using Bound = BoundPsdConeCpp;
    static constexpr const char* python_name = "PsdConeCpp";
    static constexpr const char* cublas_host_message = "PSD cuBLAS NT scaling requires CUDA arrays";
    static constexpr const char* nt_what = "PSD NT scaling";
    static constexpr const char* sparse_what = "PSD NT scaling";

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("PSD cone dim must be positive");
        return Bound{dim, psd_svec_count(dim)};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.rows; }

    static void project(const Bound& c, const double* in, double* out) { host::psd_project(in, out, c.dim); }
    static void project_cuda(const Bound& c, const double* in, double* out, int dev, StreamHandle stream) {
        if (c.dim != 2) throw std::runtime_error("CUDA PSD projection currently supports dim=2");
        device::psd2_project_cuda(in, out, dev, stream);
    }
    static double violation(const Bound& c, const double* x) { return host::psd_violation(x, c.dim); }
    static double violation_cuda(const Bound& c, const double* x, int dev) {
        if (c.dim != 2) throw std::runtime_error("CUDA PSD violation currently supports dim=2");
        return device::psd2_violation_cuda(x, dev);
    }
    static bool contains(const Bound& c, const double* x, double atol) { return host::psd_contains(x, c.dim, atol); }
    static bool contains_cuda(const Bound& c, const double* x, double atol, int dev) {
        if (c.dim != 2) throw std::runtime_error("CUDA PSD membership currently supports dim=2");
        return device::psd2_contains_cuda(x, atol, dev);
    }

    // The list and array forms take the general factor path for every order.
    static std::vector<double> nt_list(const Bound& c, const double* s, const double* z) {
        return host::psd_nt_scaling_general(s, z, c.dim);
    }
    static OwnedMatrix nt_array(const Bound& c, const double* s, const double* z) {
        return dense_to_owned_array(host::psd_nt_scaling_general(s, z, c.dim), c.rows, "PSD NT scaling");
    }
    static void nt_into(const Bound& c, const double* s, const double* z, double* out, u64 batch) {
        host::psd_nt_scaling_batch_host(s, z, out, c.dim, batch);
    }
    static void nt_cuda(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                        StreamHandle stream) {
        device::psd_nt_scaling_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    static const char* default_method(const Bound& c) { return c.dim <= 2 ? "analytic" : "custom"; }
    static void nt_cuda_custom(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                               StreamHandle stream) {
        if (c.dim > device::kPsdGeneralMaxOrder)
            throw std::runtime_error("CUDA PSD custom NT scaling currently supports dim <= 32");
        device::psd_nt_scaling_custom_cuda(s, z, out, c.dim, batch, dev, stream);
    }
    static void nt_cuda_cublas(const Bound& c, const double* s, const double* z, double* out, u64 batch, int dev,
                               StreamHandle stream) {
        device::psd_nt_scaling_cublas_cuda(s, z, out, c.dim, batch, dev, stream);
    }

    // Sparse fill: the n x n scaling point W once, each entry of the m x m operator on demand.
    static auto sparse_entries(const Bound& c, const double* s, const double* z) {
        return [n = c.dim, W = host::psd_general_w(s, z, c.dim)](u64 r, u64 col) {
            return host::psd_operator_entry(W.data(), n, r, col);
        };
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::psd_hmatrix_csr_cuda(s, z, indptr, indices, values, nnz, c.dim, row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* s, const double* z, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 row_offset, int dev,
                                 StreamHandle stream) {
        device::psd_hmatrix_coo_cuda(s, z, row_idx, col_idx, values, nnz, c.dim, row_offset, dev, stream);
    }
};

}  // namespace

void register_psd_cone(nb::module_& m) {
    auto cls = bind_cone_class<PsdFamily>(m);
    bind_shared_methods<PsdFamily>(cls);
    bind_method_choice<PsdFamily>(cls);
    bind_sparse_methods<PsdFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
