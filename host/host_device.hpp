// Marks arithmetic compiled both for the host and, by nvcc, for the device, so that the
// host routines and the device kernels run literally the same code.
#pragma once

#if defined(__CUDACC__)
#define VELKORA_HD __host__ __device__
#else
#define VELKORA_HD
#endif

// Before a loop of the shared arithmetic whose unrolling buys the device nothing but
// registers (loops over a row or column of a small matrix in shared memory).
#if defined(__CUDA_ARCH__)
#define VELKORA_DEVICE_NO_UNROLL _Pragma("unroll 1")
#else
#define VELKORA_DEVICE_NO_UNROLL
#endif
