// Module entry of _cpp_cuda: docstring, capability functions, then the cone classes
// in their fixed order. Import touches no device and reserves no memory.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "cuda/device_api.hpp"
#include "extensions/cpp_cuda/registration.hpp"
#include "bindings/argument_refusals.hpp"

namespace nb = nanobind;
namespace cones = velkora::torv::cones;

namespace {
// This build links no cuBLAS or cuSOLVER; host BLAS/LAPACK (OpenBLAS, for the PSD cone)
// when configured with VELKORA_HOST_LAPACK.
bool capability_absent() { return false; }
#if defined(VELKORA_HOST_LAPACK)
constexpr bool kHostBlas = true;
constexpr const char* kHostBlasBackend = "openblas";
#else
constexpr bool kHostBlas = false;
constexpr const char* kHostBlasBackend = "none";
#endif
bool host_blas_present() { return kHostBlas; }
}  // namespace

NB_MODULE(_cpp_cuda, m) {
    m.doc() = "nanobind C++/CUDA cone classes for velkora.torv.cones.cpp";

    m.def("has_cuda", &cones::device::cuda_device_available);
    m.def("cuda_runtime_version", []() { return std::string(cones::device::cuda_runtime_version_text()); });
    m.def("has_host_blas", &host_blas_present);
    m.def("has_cublas", &capability_absent);
    m.def("has_cusolver", &capability_absent);
    m.def("host_blas_backend", []() { return std::string(kHostBlasBackend); });

    cones::cpp::register_zero_cone(m);
    cones::cpp::register_nonnegative_cone(m);
    cones::cpp::register_second_order_cone(m);
    cones::cpp::register_psd_cone(m);
    cones::cpp::register_exponential_cone(m);
    cones::cpp::register_psd_functions(m);
    cones::cpp::explain_argument_refusals(m);
}
