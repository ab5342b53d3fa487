// The dense gather of the sparse H fill: entries read from a d x d row-major matrix in device
// memory at the stored positions of a CSR (one block per row) or COO (one thread per stored
// position) structure.
#include "cuda/sparse_gather.cuh"

namespace velkora::torv::cones::device {

namespace {

struct DenseEntry {
    const double* dense;
    unsigned long long d;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return dense[r * d + c];
    }
};

}  // namespace

__global__ void dense_csr_gather_kernel(const double* dense, const long long* indptr, const long long* indices,
                                        double* values, unsigned long long nnz, unsigned long long d,
                                        unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, d, row_offset, DenseEntry{dense, d});
}

__global__ void dense_coo_gather_kernel(const double* dense, const long long* row_indices,
                                        const long long* col_indices, double* values, unsigned long long nnz,
                                        unsigned long long d, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, d, row_offset, DenseEntry{dense, d});
}

void gather_dense(const double* dense, const FillStructure& st, std::uint64_t d, cudaStream_t stream) {
    if (st.csr)
        VELKORA_LAUNCH(dense_csr_gather_kernel, grid_blocks(d), dim3(kThreads), 0, stream, dense, as_index(st.first),
                       as_index(st.second), st.values, st.nnz, d, st.row_offset);
    else
        VELKORA_LAUNCH(dense_coo_gather_kernel, grid_for(st.nnz), dim3(kThreads), 0, stream, dense,
                       as_index(st.first), as_index(st.second), st.values, st.nnz, d, st.row_offset);
}

}  // namespace velkora::torv::cones::device
