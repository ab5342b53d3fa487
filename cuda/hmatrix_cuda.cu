// Sparse H gather kernels: NT scaling values written into the value array of a CSR or COO matrix.
#include "cuda/device_common.cuh"
