// Sparse H gather kernels: a cone's H block written into the value array of a CSR or
// COO matrix on the device. Direct kernels compute each entry at its stored position
// (zero, nonnegative and exponential cones); gathers read it from a dense d x d matrix
// (second-order, PSD orders 1-2) or from the PSD scaling point W (orders 3-32).
// Malformed structure never causes a write outside `values`: positions >= nnz are
// skipped, negative or out-of-block columns give 0.0, invalid row pointers skip the row.
#include "cuda/hmatrix_cuda.hpp"

#include "cuda/device_common.cuh"
#include "cuda/sparse_gather.cuh"
#include "cuda/psd_cuda.hpp"
#include "cuda/second_order_cuda.hpp"
#include "host/exponential_rules.hpp"
#include "host/psd_nt.hpp"
#include "host/zero.hpp"

namespace velkora::torv::cones::device {

namespace {

constexpr int kKindZero = 0;
constexpr int kKindNonnegative = 1;
constexpr int kKindExponential = 2;

struct DirectEntry {
    int kind;
    const double* s;
    const double* z;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        switch (kind) {
            case kKindZero:  // without s and z (a stored zero-cone scaling): the identity
                return r != c ? 0.0 : s == nullptr ? 1.0 : host::zero_device_diagonal(s[r], z[r]);
            case kKindNonnegative: return r == c ? z[r] / s[r] : 0.0;
            case kKindExponential: {
                // Entries coupling two different cones are 0; c < d holds by construction.
                const unsigned long long cone = r / 3;
                if (c / 3 != cone) return 0.0;
                return expcone::device_block_entry(s + 3 * cone, z + 3 * cone, static_cast<unsigned>(r - 3 * cone),
                                                   static_cast<unsigned>(c - 3 * cone));
            }
            default: return 0.0;
        }
    }
};

// PSD operator entry of X -> W X W^T in svec coordinates, computed from the n x n W.
struct PsdWEntry {
    const double* W;
    unsigned long long n;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return host::psd_operator_entry(W, n, r, c);
    }
};

struct DenseEntry {
    const double* dense;
    unsigned long long d;
    __device__ __forceinline__ double operator()(unsigned long long r, unsigned long long c) const {
        return dense[r * d + c];
    }
};

}  // namespace

__global__ void direct_csr_kernel(int kind, const double* s, const double* z, const long long* indptr,
                                  const long long* indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, d, row_offset, DirectEntry{kind, s, z});
}

__global__ void direct_coo_kernel(int kind, const double* s, const double* z, const long long* row_indices,
                                  const long long* col_indices, double* values, unsigned long long nnz,
                                  unsigned long long d, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, d, row_offset, DirectEntry{kind, s, z});
}

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

__global__ void psd_w_csr_gather_kernel(const double* W, const long long* indptr, const long long* indices,
                                        double* values, unsigned long long nnz, unsigned long long m,
                                        unsigned long long n, unsigned long long row_offset) {
    csr_rows(indptr, indices, values, nnz, m, row_offset, PsdWEntry{W, n});
}

__global__ void psd_w_coo_gather_kernel(const double* W, const long long* row_indices, const long long* col_indices,
                                        double* values, unsigned long long nnz, unsigned long long m,
                                        unsigned long long n, unsigned long long row_offset) {
    coo_entries(row_indices, col_indices, values, nnz, m, row_offset, PsdWEntry{W, n});
}

namespace {

void direct_csr(int kind, const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    if (d == 0) return;
    VELKORA_LAUNCH(direct_csr_kernel, grid_blocks(d), dim3(kThreads), 0, to_stream(stream), kind, s, z,
                   as_index(indptr), as_index(indices), values, nnz, d, row_offset);
}

void direct_coo(int kind, const double* s, const double* z, const std::int64_t* row_indices,
                const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                StreamHandle stream) {
    const DeviceGuard guard(device);
    if (nnz == 0) return;
    VELKORA_LAUNCH(direct_coo_kernel, grid_for(nnz), dim3(kThreads), 0, to_stream(stream), kind, s, z,
                   as_index(row_indices), as_index(col_indices), values, nnz, d, row_offset);
}

// The CSR or COO gather of one sparse structure, reading `source` (d x d dense H or the
// PSD W) from stream-ordered scratch of `scratch_doubles` filled by `fill(scratch)`.
struct Structure {
    bool csr;
    const std::int64_t* first;   // indptr or row_indices
    const std::int64_t* second;  // indices or col_indices
    double* values;
    u64 nnz;
    u64 row_offset;
};

template <class Fill, class Gather>
void scratch_gather(u64 scratch_doubles, cudaStream_t stream, Fill&& fill, Gather&& gather) {
    StreamBuffer scratch(scratch_doubles, stream);
    fill(scratch.get());
    gather(scratch.get());
    scratch.release();
}

// Dense gather: d blocks (CSR) or one thread per stored position (COO).
template <class Fill>
void dense_gather(const Structure& st, u64 d, int device, StreamHandle stream, Fill&& fill) {
    const DeviceGuard guard(device);
    if (d == 0 || (!st.csr && st.nnz == 0)) return;
    const cudaStream_t cs = to_stream(stream);
    scratch_gather(d * d, cs, fill, [&](const double* dense) {
        if (st.csr)
            VELKORA_LAUNCH(dense_csr_gather_kernel, grid_blocks(d), dim3(kThreads), 0, cs, dense, as_index(st.first),
                           as_index(st.second), st.values, st.nnz, d, st.row_offset);
        else
            VELKORA_LAUNCH(dense_coo_gather_kernel, grid_for(st.nnz), dim3(kThreads), 0, cs, dense, as_index(st.first),
                           as_index(st.second), st.values, st.nnz, d, st.row_offset);
    });
}

// PSD: orders 1 and 2 gather the dense m x m H; orders 3..32 keep only W in scratch and
// compute each operator entry on demand. The order limit is checked before any scratch
// is allocated.
void psd_gather(const double* s, const double* z, const Structure& st, u64 n, int device, StreamHandle stream) {
    const DeviceGuard guard(device);
    psd_check_order(n);
    const u64 m = n * (n + 1) / 2;
    if (n <= 2) {
        dense_gather(st, m, device, stream,
                     [&](double* dense) { psd_nt_scaling_cuda(s, z, dense, n, 1, device, stream); });
        return;
    }
    if (!st.csr && st.nnz == 0) return;
    const cudaStream_t cs = to_stream(stream);
    scratch_gather(n * n, cs, [&](double* W) { psd_nt_w_cuda(s, z, W, n, 1, device, stream); },
                   [&](const double* W) {
                       if (st.csr)
                           VELKORA_LAUNCH(psd_w_csr_gather_kernel, grid_blocks(m), dim3(kThreads), 0, cs, W,
                                          as_index(st.first), as_index(st.second), st.values, st.nnz, m, n, st.row_offset);
                       else
                           VELKORA_LAUNCH(psd_w_coo_gather_kernel, grid_for(st.nnz), dim3(kThreads), 0, cs, W,
                                          as_index(st.first), as_index(st.second), st.values, st.nnz, m, n, st.row_offset);
                   });
}

}  // namespace

void soc_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream) {
    dense_gather(Structure{true, indptr, indices, values, nnz, row_offset}, d, device, stream,
                 [&](double* dense) { soc_nt_scaling_cuda(s, z, dense, d, 1, device, stream); });
}

void soc_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                          StreamHandle stream) {
    dense_gather(Structure{false, row_indices, col_indices, values, nnz, row_offset}, d, device, stream,
                 [&](double* dense) { soc_nt_scaling_cuda(s, z, dense, d, 1, device, stream); });
}

void psd_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 n, u64 row_offset, int device, StreamHandle stream) {
    psd_gather(s, z, Structure{true, indptr, indices, values, nnz, row_offset}, n, device, stream);
}

void psd_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 n, u64 row_offset, int device,
                          StreamHandle stream) {
    psd_gather(s, z, Structure{false, row_indices, col_indices, values, nnz, row_offset}, n, device, stream);
}

void zero_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                           double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream) {
    direct_csr(kKindZero, s, z, indptr, indices, values, nnz, d, row_offset, device, stream);
}

void zero_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                           const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                           StreamHandle stream) {
    direct_coo(kKindZero, s, z, row_indices, col_indices, values, nnz, d, row_offset, device, stream);
}

void nonnegative_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr,
                                  const std::int64_t* indices, double* values, u64 nnz, u64 d, u64 row_offset,
                                  int device, StreamHandle stream) {
    direct_csr(kKindNonnegative, s, z, indptr, indices, values, nnz, d, row_offset, device, stream);
}

void nonnegative_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                                  const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset,
                                  int device, StreamHandle stream) {
    direct_coo(kKindNonnegative, s, z, row_indices, col_indices, values, nnz, d, row_offset, device, stream);
}

void exp_hmatrix_csr_cuda(const double* s, const double* z, const std::int64_t* indptr, const std::int64_t* indices,
                          double* values, u64 nnz, u64 d, u64 row_offset, int device, StreamHandle stream) {
    direct_csr(kKindExponential, s, z, indptr, indices, values, nnz, d, row_offset, device, stream);
}

void exp_hmatrix_coo_cuda(const double* s, const double* z, const std::int64_t* row_indices,
                          const std::int64_t* col_indices, double* values, u64 nnz, u64 d, u64 row_offset, int device,
                          StreamHandle stream) {
    direct_coo(kKindExponential, s, z, row_indices, col_indices, values, nnz, d, row_offset, device, stream);
}

}  // namespace velkora::torv::cones::device
