// Marks arithmetic compiled both for the host and, by nvcc, for the device, so that the
// host routines and the device kernels run literally the same code.
#pragma once

#if defined(__CUDACC__)
#define VELKORA_HD __host__ __device__
#else
#define VELKORA_HD
#endif
