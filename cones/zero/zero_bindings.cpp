// The zero cone's class in each extension module: ZeroConeCpp in _cpp_cuda, ZeroCone in _ipm_cones.
// Compiled into both modules; the module being built defines VELKORA_EXTENSION_CPP_CUDA or
// VELKORA_EXTENSION_IPM_CONES and compiles its own section only.

#if defined(VELKORA_EXTENSION_CPP_CUDA)
// ZeroConeCpp: the zero cone {0} (equality constraints) plugged into the shared class
// surface. Its NT scaling matrix is the identity for (near-)zero s and z.
#include "cones/zero/zero.hpp"
#include "extensions/cpp_cuda/cone_class.hpp"
#include "extensions/cpp_cuda/registration.hpp"

namespace velkora::torv::cones::cpp {

// The zero cone {0} of dimension dim.
struct BoundZeroConeCpp {
    u64 dim;
};

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
    // The device fill launchers, given the dimension.
    static constexpr auto hmatrix_csr_cuda = &device::zero_hmatrix_csr_cuda;
    static constexpr auto hmatrix_coo_cuda = &device::zero_hmatrix_coo_cuda;
    static u64 fill_size(const Bound& c) { return c.dim; }
};

}  // namespace

void register_zero_cone(nb::module_& m) {
    auto cls = bind_cone_class<ZeroFamily>(m);
    bind_shared_methods<ZeroFamily>(cls);
    bind_sparse_methods<ZeroFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp
#endif  // VELKORA_EXTENSION_CPP_CUDA

#if defined(VELKORA_EXTENSION_IPM_CONES)
// ZeroCone: the zero cone {0} of equality rows. Its one point is 0 and its algebra is
// trivial: W = I (no scaling state), the scaled point and every Jordan product and solve are
// 0, H = H^-1 = I. Equality rows never limit a step (max_step = alpha_max) and have no
// spectral values (spectral_min = +inf). The interior test is the NT scaling test of
// _cpp_cuda's zero cone: the batch's entries, taken as one vector, have norm <= 1e-10.
#include <cmath>
#include <cstring>

#include "cones/zero/zero.hpp"
#include "extensions/ipm_cones/ipm_class.hpp"

namespace velkora::torv::cones::cpp::ipm {

struct IpmZeroCone {
    u64 dim;
};

namespace {

constexpr const char* kInteriorMessage = "zero-cone NT scaling requires zero primal and dual vectors";

struct ZeroFamily : IpmFamilyDefaults {
    using Bound = IpmZeroCone;
    static constexpr const char* python_name = "ZeroCone";
    static constexpr const char* class_doc = "Zero cones {0} of dimension dim (equality rows).";

    static Bound construct(u64 dim) { return Bound{dim}; }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }
    static u64 scaling_size(const Bound&) { return 0; }

    static bool interior(const Bound& c, const double* x, u64 batch) {
        return host::zero_nt_interior(x, c.dim * batch);
    }
    static double max_step(const Bound&, const double*, const double*, u64, double alpha_max) { return alpha_max; }
    static double spectral_min(const Bound&, const double*, u64) { return HUGE_VAL; }
    static void nt_scaling(const Bound& c, const double* s, const double* z, double*, double* lam, u64 batch) {
        const u64 n = c.dim * batch;
        if (!host::zero_nt_interior(s, n) || !host::zero_nt_interior(z, n)) throw std::runtime_error(kInteriorMessage);
        host::zero_project(lam, n);
    }
    static void scale(const Bound& c, const double*, const double* x, double* out, bool, bool, u64 batch) {
        const u64 n = c.dim * batch;
        if (out != x && n != 0) std::memcpy(out, x, n * sizeof(double));
    }
    static void jordan_product(const Bound& c, const double*, const double*, double* out, u64 batch) {
        host::zero_project(out, c.dim * batch);
    }
    static void jordan_solve(const Bound& c, const double*, const double*, double* out, u64 batch) {
        host::zero_project(out, c.dim * batch);
    }
    static auto h_block(const Bound&, const double*, u64, bool) {
        return [](u64 r, u64 col) { return r == col ? 1.0 : 0.0; };
    }

    static bool interior_cuda(const Bound& c, const double* x, u64 batch, int dev) {
        return device::zero_interior_cuda(x, c.dim * batch, dev);
    }
    // Nothing to compute: no device work.
    static double max_step_cuda(const Bound&, const double*, const double*, u64, double alpha_max, int) {
        return alpha_max;
    }
    static double spectral_min_cuda(const Bound&, const double*, u64, int) { return HUGE_VAL; }
    // Device arrays are not tested (as every device scaling): lam = 0.
    static void nt_scaling_cuda(const Bound& c, const double*, const double*, double*, double* lam, u64 batch, int dev,
                                StreamHandle stream) {
        device::zero_project_cuda(nullptr, lam, c.dim * batch, dev, stream);
    }
    static void scale_cuda(const Bound& c, const double*, const double* x, double* out, bool, bool, u64 batch, int dev,
                           StreamHandle stream) {
        device::zero_copy_cuda(x, out, c.dim * batch, dev, stream);
    }
    static void jordan_product_cuda(const Bound& c, const double*, const double*, double* out, u64 batch, int dev,
                                    StreamHandle stream) {
        device::zero_project_cuda(nullptr, out, c.dim * batch, dev, stream);
    }
    static void jordan_solve_cuda(const Bound& c, const double*, const double*, double* out, u64 batch, int dev,
                                  StreamHandle stream) {
        device::zero_project_cuda(nullptr, out, c.dim * batch, dev, stream);
    }
    // The identity of order rows * batch is the batch's block-diagonal identity.
    static void hmatrix_csr_cuda(const Bound& c, const double*, const std::int64_t* indptr, const std::int64_t* indices,
                                 double* values, u64 nnz, u64 batch, u64 row_offset, bool, int dev,
                                 StreamHandle stream) {
        device::zero_hmatrix_csr_cuda(nullptr, nullptr, indptr, indices, values, nnz, c.dim * batch, row_offset, dev, stream);
    }
    static void hmatrix_coo_cuda(const Bound& c, const double*, const std::int64_t* row_idx,
                                 const std::int64_t* col_idx, double* values, u64 nnz, u64 batch, u64 row_offset, bool,
                                 int dev, StreamHandle stream) {
        device::zero_hmatrix_coo_cuda(nullptr, nullptr, row_idx, col_idx, values, nnz, c.dim * batch, row_offset, dev, stream);
    }
};

}  // namespace

void register_zero(nb::module_& m) {
    auto cls = bind_ipm_class<ZeroFamily>(m);
    bind_ipm_methods<ZeroFamily>(cls);
}

}  // namespace velkora::torv::cones::cpp::ipm
#endif  // VELKORA_EXTENSION_IPM_CONES
