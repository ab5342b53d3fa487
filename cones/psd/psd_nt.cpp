// Host NT scaling of the PSD cone: the scaling point W, the svec operator H and the batch
// routine with its 1x1, 2x2 and general paths.
#include "cones/psd/psd_nt.hpp"

#include <cstring>
#include <memory>
#include <stdexcept>

#if defined(VELKORA_HOST_LAPACK)
#include "cones/psd/psd_lapack.hpp"
#endif

namespace velkora::torv::cones::host {

namespace {
constexpr const char* kMatricesMessage = "PSD NT scaling requires strictly positive definite matrices";
constexpr const char* kInputsMessage = "PSD NT scaling requires strictly positive definite inputs";

// Work of the general path at order n, sized once per call and reused for every item of a
// batch: the LAPACK path's from kPsdLapackNtFrom up (builds with host LAPACK), else the
// inline factor path's, which is also the fallback should the library's singular value
// decomposition not converge.
class GeneralWork {
  public:
    explicit GeneralWork(u64 n) : n_(n) {
#if defined(VELKORA_HOST_LAPACK)
        if (psd_lapack_order(n, kPsdLapackNtFrom)) {
            lapack_ = std::make_unique<PsdNtLapackWork>(n);
            return;
        }
#endif
        inline_.resize(psd_nt_work_doubles(n));
    }

    // W of one pair into W (n x n), or the refusal.
    void scaling_point(const double* s, const double* z, double* W) {
#if defined(VELKORA_HOST_LAPACK)
        if (lapack_) {
            const PsdNtLapackWork::Outcome outcome = lapack_->scaling_point(s, z, W);
            if (outcome == PsdNtLapackWork::kDone) return;
            if (outcome == PsdNtLapackWork::kRefused) throw std::runtime_error(kMatricesMessage);
            if (inline_.empty()) inline_.resize(psd_nt_work_doubles(n_));
        }
#endif
        if (!psd_general_w_fill(s, z, n_, W, psd_nt_work_at(inline_.data(), n_)))
            throw std::runtime_error(kMatricesMessage);
    }

  private:
    u64 n_;
    std::vector<double> inline_;
#if defined(VELKORA_HOST_LAPACK)
    std::unique_ptr<PsdNtLapackWork> lapack_;
#endif
};
}  // namespace

std::vector<double> psd_general_w(const double* s, const double* z, u64 n) {
    GeneralWork work(n);
    std::vector<double> W(n * n);
    work.scaling_point(s, z, W.data());
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
    GeneralWork work(n);
    std::vector<double> W(n * n);
    for (u64 t = 0; t < batch; ++t) {
        work.scaling_point(s + t * m, z + t * m, W.data());
        psd_operator_from_w_into(W.data(), n, out + t * m * m);
    }
}

}  // namespace velkora::torv::cones::host
