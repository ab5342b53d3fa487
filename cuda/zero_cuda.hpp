// Device launchers of the zero cone {0}. Pointers are device memory on `device`.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// out = 0 by one cudaMemsetAsync of 8n bytes on `stream`; `in` is not read.
void zero_project_cuda(const double* in, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean norm of x (synchronous).
double zero_violation_cuda(const double* x, std::uint64_t n, int device);
// True unless some entry has |x_i| > tol or is NaN, as on the host (synchronous).
bool zero_contains_cuda(const double* x, std::uint64_t n, double tol, int device);
// `batch` identity matrices of order n into H (batch*n*n); s and z (batch*n) are not
// tested, but a diagonal entry whose s_i or z_i is not finite is NaN.
// Asynchronous on `stream`.
void zero_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                          int device, StreamHandle stream);

// Interior-point forms. zero_interior_cuda: norm of the n entries <= the NT scaling tolerance
// (NaN fails; synchronous). zero_copy_cuda: out = x by one cudaMemcpyAsync on `stream`
// (nothing when out == x).
bool zero_interior_cuda(const double* x, std::uint64_t n, int device);
void zero_copy_cuda(const double* x, double* out, std::uint64_t n, int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
