// Device launchers of the second-order cone. Pointers are device memory on `device`; n >= 1
// is the cone dimension; NT matrices are n x n row-major, batch items back to back.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Device NT method used by soc_nt_scaling_cuda (the only one this build has).
inline constexpr const char* kSocDefaultNtMethod = "custom";

// Projection onto the cone (head and tail norm read first, then one kernel); `out` may be
// `x`. The kernel runs on `stream`; the scalars are read after the device is synchronised.
void soc_project_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean distance from x to the cone (synchronous).
double soc_violation_cuda(const double* x, std::uint64_t n, int device);
// x_0 >= ||x_bar|| - tol (synchronous).
bool soc_contains_cuda(const double* x, std::uint64_t n, double tol, int device);

// NT scaling matrices of a batch with the default method; asynchronous on `stream`.
void soc_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch, int device,
                         StreamHandle stream);
// The same with the column kernels forced.
void soc_nt_scaling_custom_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);
// Selects the device, then refuses: this build has no cuBLAS path.
void soc_nt_scaling_cublas_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
