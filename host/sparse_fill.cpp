// Checks of the sparse H fill's structural walk.
#include "host/sparse_fill.hpp"

#include <stdexcept>

namespace velkora::torv::cones::host {

void fail_sparse(const char* message) { throw std::runtime_error(message); }

void check_csr_indptr_length(u64 indptr_len, u64 rows, u64 row_offset) {
    if (indptr_len < rows || indptr_len - rows < 1 || row_offset > indptr_len - rows - 1)
        fail_sparse("CSR indptr is too short for the requested cone row range");
}

}  // namespace velkora::torv::cones::host
