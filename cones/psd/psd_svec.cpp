// Host svec/smat conversions of the PSD cone.
#include "cones/psd/psd_svec.hpp"

namespace velkora::torv::cones::host {

std::vector<double> psd_smat_host(const double* v, u64 n) {
    std::vector<double> M(n * n);
    psd_smat_fill(v, n, M.data());
    return M;
}

void psd_svec_host(const double* M, u64 n, double* out) { psd_svec_fill(M, n, out); }

}  // namespace velkora::torv::cones::host
