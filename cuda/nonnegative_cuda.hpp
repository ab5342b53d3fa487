// Device launchers of the nonnegative orthant. Pointers are device memory on `device`.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// out = max(in, 0) with +0.0 for every entry that is not > 0; asynchronous on `stream`.
void nonnegative_project_cuda(const double* in, double* out, std::uint64_t n, int device, StreamHandle stream);
// Euclidean norm of the negative part (synchronous).
double nonnegative_violation_cuda(const double* x, std::uint64_t n, int device);
// True unless some entry has -tol > x_i or is NaN, as on the host (synchronous).
bool nonnegative_contains_cuda(const double* x, std::uint64_t n, double tol, int device);
// batch diagonal matrices diag(z/s), item b at b*n*n (no value is tested: a NaN in s or z
// gives a NaN diagonal entry); asynchronous on `stream`.
void nonnegative_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t n, std::uint64_t batch,
                                 int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
