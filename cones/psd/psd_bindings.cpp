// The PSD cone's class in each extension module: PsdConeCpp in _cpp_cuda, PsdCone in _ipm_cones.
// Compiled into both modules; the module being built defines VELKORA_EXTENSION_CPP_CUDA or
// VELKORA_EXTENSION_IPM_CONES and compiles its own section only.

#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

// Entry count of an order-dim svec vector, dim(dim+1)/2, refused when it does not fit in
// 64 bits (the even factor is halved first).
inline u64 psd_svec_count(u64 dim) {
    return dim % 2 == 0 ? checked_count({dim / 2, dim + 1}) : checked_count({dim, dim / 2 + 1});
}

}  // namespace velkora::torv::cones::cpp

#if defined(VELKORA_EXTENSION_CPP_CUDA)
// PsdConeCpp: one cone of PSD matrices of order dim, carried as svec vectors of
// dim*(dim+1)/2 entries; host routines of any order, device routines as the kernels
// allow (projection, violation and membership of order 2, NT scaling up to order 32).
#include <cstring>
#include <stdexcept>

#include "cones/psd/psd.hpp"
#include "cones/psd/psd_nt.hpp"
#include "extensions/cpp_cuda/cone_class.hpp"
#include "extensions/cpp_cuda/registration.hpp"

namespace velkora::torv::cones::cpp {

// One PSD cone of matrix order `dim`, carried as svec vectors of `rows` entries.
struct BoundPsdConeCpp {
    u64 dim;
    u64 rows;
};

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
    // The device fill launchers, given the order.
    static constexpr auto hmatrix_csr_cuda = &device::psd_hmatrix_csr_cuda;
    static constexpr auto hmatrix_coo_cuda = &device::psd_hmatrix_coo_cuda;
    static u64 fill_size(const Bound& c) { return c.dim; }
};

}  // namespace

void register_psd_cone(nb::module_& m) {
    auto cls = bind_cone_class<PsdFamily>(m);
    bind_shared_methods<PsdFamily>(cls);
    bind_method_choice<PsdFamily>(cls);
    bind_sparse_methods<PsdFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp

// Module-level PSD conversions between svec vectors and dense row-major matrices:
// psd_smat / psd_svec (host arrays, new results) and psd_smat_into / psd_svec_into
// (host or device arrays, caller's output).
#include <cstring>
#include <vector>

namespace velkora::torv::cones::cpp {

using device::StreamHandle;

namespace {

// (dim, dim) array of smat(svec); host svec only.
OwnedMatrix psd_smat(const RoVector& svec, u64 dim) {
    auto v = dense_input_view(svec, psd_svec_count(dim), "svec");
    return with_allocation_label(
        "PSD smat", [&] { return dense_to_owned_array(host::psd_smat_host(v.data, dim), dim, "PSD smat"); });
}

// svec of the lower triangle of a host row-major dim x dim matrix, as a new array.
OwnedVector psd_svec(const RoVector& matrix, u64 dim) {
    const u64 count = checked_count({dim, dim});
    auto mv = dense_input_view(matrix, count, "matrix");
    const u64 m = psd_svec_count(dim);
    std::vector<double> packed = with_allocation_label("PSD svec", [&] {
        std::vector<double> copy(mv.data, mv.data + count);
        std::vector<double> result(m);
        host::psd_svec_host(copy.data(), dim, result.data());
        return result;
    });
    double* buffer = zeroed_doubles(m, "PSD svec");
    if (m != 0) std::memcpy(buffer, packed.data(), m * sizeof(double));
    return make_owned_array(buffer, m);
}

// Full dense matrix (both triangles) of svec into output, on the svec's device.
void psd_smat_into(const RoVector& svec, const RwVector& output, u64 dim, StreamHandle stream) {
    auto v = vector_view(svec, psd_svec_count(dim), "svec");
    auto out = vector_view(output, checked_count({dim, dim}), "output");
    const int device = check_input_output_device(v, out);
    const bool on_device = routes_to_device(out);
    check_no_overlap(out, v);
    if (on_device) {
        device::psd_smat_cuda(v.data, out.data, dim, 1, device, stream);
        return;
    }
    // The output shares no memory with the svec (checked above): expanded straight in.
    host::psd_smat_fill(v.data, dim, out.data);
}

// svec of the lower triangle of matrix into output, on the matrix's device.
void psd_svec_into(const RoVector& matrix, const RwVector& output, u64 dim, StreamHandle stream) {
    const u64 count = checked_count({dim, dim});
    auto mv = vector_view(matrix, count, "matrix");
    auto out = vector_view(output, psd_svec_count(dim), "output");
    const int device = check_input_output_device(mv, out);
    const bool on_device = routes_to_device(out);
    check_no_overlap(out, mv);
    if (on_device) {
        device::psd_svec_cuda(mv.data, out.data, dim, 1, device, stream);
        return;
    }
    // The output shares no memory with the matrix (checked above): packed straight in.
    host::psd_svec_host(mv.data, dim, out.data);
}

}  // namespace

void register_psd_functions(nb::module_& m) {
    using namespace nb::literals;
    m.def("psd_smat", &psd_smat, "svec"_a.noconvert(), "dim"_a);
    m.def("psd_svec", &psd_svec, "matrix"_a.noconvert(), "dim"_a);
    m.def("psd_smat_into", &psd_smat_into, "svec"_a.noconvert(), "output"_a.noconvert(), "dim"_a, "stream"_a = 0);
    m.def("psd_svec_into", &psd_svec_into, "matrix"_a.noconvert(), "output"_a.noconvert(), "dim"_a, "stream"_a = 0);
}

}  // namespace velkora::torv::cones::cpp
#endif  // VELKORA_EXTENSION_CPP_CUDA

#if defined(VELKORA_EXTENSION_IPM_CONES)
// PsdCone: cones of positive semidefinite matrices of order dim on svec vectors (host/
// psd_ipm.hpp): the NT scaling state is the factor pair R, R^-T at unit scale, W x = R^T X R;
// every product is an O(n^3) congruence per item. Device arrays: orders up to 32.
#include <memory>
#include <vector>

#include "cones/psd/psd.hpp"
#include "extensions/ipm_cones/ipm_class.hpp"

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
#endif  // VELKORA_EXTENSION_IPM_CONES
