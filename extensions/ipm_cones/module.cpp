// Module entry of _ipm_cones: the cone arithmetic of a primal-dual interior-point iteration
// beyond the NT matrix of _cpp_cuda, one class per cone family. Import touches no device
// and reserves no memory.
#include <nanobind/nanobind.h>

#include "bindings/argument_refusals.hpp"

// The families, in the order the module exposes them. Adding a family is its folder
// cones/<family>/ (its bindings file defining register_<family>(module) in this module's
// section) and one line here.
#define VELKORA_IPM_FAMILIES(X) \
    X(zero)                     \
    X(nonnegative)              \
    X(second_order)             \
    X(psd)                      \
    X(exponential)

namespace velkora::torv::cones::cpp::ipm {
#define VELKORA_IPM_DECLARE(family) void register_##family(nanobind::module_& m);
VELKORA_IPM_FAMILIES(VELKORA_IPM_DECLARE)
#undef VELKORA_IPM_DECLARE
// The sparse LDLᵀ of the solver's KKT systems (sparse_ldl_bindings.cpp).
void register_sparse_ldl(nanobind::module_& m);
}  // namespace velkora::torv::cones::cpp::ipm

NB_MODULE(_ipm_cones, m) {
    m.doc() =
        "Interior-point cone arithmetic companion of _cpp_cuda: NT scaling state and scaled point, products "
        "with W, Jordan products and solves, step lengths and H or H^-1 from the stored scaling, for batches of "
        "equal cones on host (OpenMP) or CUDA device arrays; for exponential cones the barrier forms, primal-dual "
        "scaling and corrector of a method for nonsymmetric cones; and the sparse LDL^T of the KKT systems.";
#define VELKORA_IPM_REGISTER(family) velkora::torv::cones::cpp::ipm::register_##family(m);
    VELKORA_IPM_FAMILIES(VELKORA_IPM_REGISTER)
#undef VELKORA_IPM_REGISTER
    velkora::torv::cones::cpp::ipm::register_sparse_ldl(m);
    velkora::torv::cones::cpp::explain_argument_refusals(m);
}
