// Host NT scaling of the PSD cone: the scaling point W, the svec operator H and the batch
// routine with its 1x1, 2x2 and general paths.
#include "host/psd_nt.hpp"

#include <cstring>
#include <stdexcept>

namespace velkora::torv::cones::host {

namespace {
constexpr const char* kMatricesMessage = "PSD NT scaling requires strictly positive definite matrices";
constexpr const char* kInputsMessage = "PSD NT scaling requires strictly positive definite inputs";
}  // namespace

void psd_general_w_into(const double* s, const double* z, u64 n, double* W, const PsdNtHostWork& work) {
    if (!psd_general_w_fill(s, z, n, W, work.view())) throw std::runtime_error(kMatricesMessage);
}

std::vector<double> psd_general_w(const double* s, const double* z, u64 n) {
    PsdNtHostWork work(n);
    std::vector<double> W(n * n);
    psd_general_w_into(s, z, n, W.data(), work);
    return W;
}

void psd_operator_from_w_into(const double* W, u64 n, double* out) {
    const u64 m = psd_svec_length(n);
    u64 r = 0;
    for (u64 a = 0; a < n; ++a)
        for (u64 b = 0; b <= a; ++b, ++r) {
            double* row = out + r * m;
            u64 col = 0;
            for (u64 c = 0; c < n; ++c)
                for (u64 d = 0; d <= c; ++d, ++col) row[col] = psd_operator_value(W, n, a, b, c, d);
        }
}

std::vector<double> psd_operator_from_w(const double* W, u64 n) {
    const u64 m = psd_svec_length(n);
    std::vector<double> H(m * m);
    psd_operator_from_w_into(W, n, H.data());
    return H;
}

std::vector<double> psd_nt_scaling_general(const double* s, const double* z, u64 n) {
    return psd_operator_from_w(psd_general_w(s, z, n).data(), n);
}

void psd2_nt_scaling_host(const double* s, const double* z, double* H) {
    double h[9];
    if (!psd2_nt_scaling_fill(s, z, h)) throw std::runtime_error(kInputsMessage);
    std::memcpy(H, h, sizeof(h));
}

void psd_nt_scaling_batch_host(const double* s, const double* z, double* out, u64 n, u64 batch) {
    if (batch == 0) return;
    if (n == 1) {
        std::memset(out, 0, batch * sizeof(double));
        for (u64 t = 0; t < batch; ++t) {
            if (!psd_pivot_ok(s[t]) || !psd_pivot_ok(z[t])) throw std::runtime_error(kInputsMessage);
            out[t] = z[t] / s[t];
        }
        return;
    }
    if (n == 2) {
        for (u64 t = 0; t < batch; ++t) psd2_nt_scaling_host(s + 3 * t, z + 3 * t, out + 9 * t);
        return;
    }
    // W of an item is complete (or has failed) before any entry of its H is written.
    const u64 m = psd_svec_length(n);
    PsdNtHostWork work(n);
    std::vector<double> W(n * n);
    for (u64 t = 0; t < batch; ++t) {
        psd_general_w_into(s + t * m, z + t * m, n, W.data(), work);
        psd_operator_from_w_into(W.data(), n, out + t * m * m);
    }
}

}  // namespace velkora::torv::cones::host
