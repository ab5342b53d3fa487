// PsdCone: cones of positive semidefinite matrices of order dim on svec vectors (host/
// psd_ipm.hpp): the NT scaling state is the factor pair R, R^-T at unit scale, W x = R^T X R;
// every product is an O(n^3) congruence per item. Device arrays: orders up to 32.
#include <memory>
#include <vector>

#include "cuda/psd_cuda.hpp"
#include "host/psd_ipm.hpp"
#include "module/ipm/ipm_class.hpp"
#include "module/psd_sizes.hpp"

namespace velkora::torv::cones::cpp::ipm {

struct IpmPsdCone {
    u64 dim;
    u64 rows;
    u64 scaling_size;
};

namespace {

struct PsdFamily : IpmFamilyDefaults {
    using Bound = IpmPsdCone;
    static constexpr const char* python_name = "PsdCone";
    static constexpr const char* class_doc =
        "PSD cones of order dim on svec vectors (lower triangle row by row, off-diagonal entries times sqrt(2)): "
        "x o y = svec((X Y + Y X)/2), W X = R^T X R with R^T Z R = R^-1 S R^-T = diag(lambda), W^T W = H^-1. "
        "Scaling state of an item (2 dim^2 + dim + 1 entries): e, then at unit scale sigma (dim) and P, Q (dim x "
        "dim, row-major), with R = 2^e Q diag(sigma)^-1/2 and R^-T = 2^-e P diag(sigma)^-1/2.";

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("PSD cone dim must be positive");
        const u64 rows = psd_svec_count(dim);
        const u64 squares = checked_count({2, dim, dim});
        if (squares > UINT64_MAX - dim - 1)
            throw std::runtime_error("expected entry count overflows 64-bit unsigned arithmetic");
        return Bound{dim, rows, squares + dim + 1};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.rows; }
    static u64 scaling_size(const Bound& c) { return c.scaling_size; }

    static bool interior(const Bound& c, const double* x, u64 batch) { return host::psd_interior(x, c.dim, batch); }
    static double max_step(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max) {
        return host::psd_max_step(x, dx, c.dim, batch, alpha_max);
    }
    static double spectral_min(const Bound& c, const double* x, u64 batch) {
        return host::psd_spectral_min(x, c.dim, batch);
    }
    static void nt_scaling(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch) {
        host::psd_nt_scaling_state(s, z, sc, lam, c.dim, batch);
    }
    static void scale(const Bound& c, const double* sc, const double* x, double* out, bool inverse, bool transpose,
                      u64 batch) {
        host::psd_scale(sc, x, out, c.dim, batch, inverse, transpose);
    }
    static void jordan_product(const Bound& c, const double* x, const double* y, double* out, u64 batch) {
        host::psd_jordan_product(x, y, out, c.dim, batch);
    }
    static void jordan_solve(const Bound& c, const double* lam, const double* x, double* out, u64 batch) {
        host::psd_jordan_solve(lam, x, out, c.dim, batch);
    }
    // The congruence matrix of every item first (n^2 each), then each operator entry on demand.
    static auto h_block(const Bound& c, const double* sc, u64 batch, bool inverse) {
        const u64 n = c.dim;
        auto grams = std::make_shared<std::vector<double>>(checked_count({n, n, batch}));
        host::psd_state_grams(sc, n, batch, inverse, grams->data());
        auto item = [n, grams](u64 b, u64 i, u64 j) {
            return host::psd_operator_entry(grams->data() + b * n * n, n, i, j);
        };
        return host::BatchedBlocks<decltype(item)>{c.rows, item};
    }

    static bool interior_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::psd_interior_cuda(x, c.dim, batch, dev);
    }
    static double max_step_cuda(const Bound& c, const double* x, const double* dx, u64 batch, double alpha_max,
                                int dev) {
        return device::psd_max_step_cuda(x, dx, c.dim, batch, alpha_max, dev);
    }
    static double spectral_min_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::psd_spectral_min_cuda(x, c.dim, batch, dev);
    }
    static void nt_scaling_cuda(const Bound& c, const double* s, const double* z, double* sc, double* lam, u64 batch,
                                int dev, StreamHandle stream) {
        device::psd_nt_scaling_state_cuda(s, z, sc, lam, c.dim, batch, dev, stream);
    }
    static void scale_cuda(const Bound& c, const double* sc, const double* x, double* out, bool inverse,
                           bool transpose, u64 batch, int dev, StreamHandle stream) {
        device::psd_scale_cuda(sc, x, out, c.dim, batch, inverse, transpose, dev, stream);
    }
    static void jordan_product_cuda(const Bound& c, const double* x, const double* y, double* out, u64 batch, int dev,
                                    StreamHandle stream) {
        device::psd_jordan_product_cuda(x, y, out, c.dim, batch, dev, stream);
    }
    static void jordan_solve_cuda(const Bound& c, const double* lam, const double* x, double* out, u64 batch, int dev,
                                  StreamHandle stream) {
        device::psd_jordan_solve_cuda(lam, x, out, c.dim, batch, dev, stream);
    }
    static void hmatrix_csr_cuda(const Bound& c, const double* sc, const std::int64_t* indptr,
                                 const std::int64_t* indices, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::psd_state_hmatrix_csr_cuda(sc, indptr, indices, values, nnz, c.dim, batch, row_offset, inverse, dev,
                                           stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double* sc, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 batch, u64 row_offset,
                                 bool inverse, int dev, StreamHandle stream) {
        device::psd_state_hmatrix_coo_cuda(sc, row_idx, col_idx, values, nnz, c.dim, batch, row_offset, inverse, dev,
                                           stream);
    }
};

}  // namespace

void register_psd(nb::module_& m) {
    auto cls = bind_ipm_class<PsdFamily>(m);
    bind_ipm_methods<PsdFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
