// Device launchers of a product of `count` exponential cones (x, y, z) stored as
// consecutive triples. Pointers are device memory on `device`.
#pragma once

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

// Projection of every cone, the host's rule and comparisons (NaN y gives
// (min(x, 0), 0, max(z, 0)) with NaN copied through); asynchronous on `stream`.
void exp_project_cuda(const double* in, double* out, std::uint64_t count, int device, StreamHandle stream);
// sqrt of the sum of the cones' squared distances (synchronous).
double exp_violation_cuda(const double* in, std::uint64_t count, int device);
// Every cone passes the host's tolerance test (synchronous).
bool exp_contains_cuda(const double* in, std::uint64_t count, double tol, int device);
// `batch` block-diagonal (3 count)^2 matrices into H, block k of item b the PSB update
// of I mapping s_k to z_k (pair balanced by a power of two); asynchronous on `stream`.
void exp_nt_scaling_cuda(const double* s, const double* z, double* H, std::uint64_t count, std::uint64_t batch,
                         int device, StreamHandle stream);

}  // namespace velkora::torv::cones::device
