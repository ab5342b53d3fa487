// Host arithmetic of the second-order cone: projection, violation, membership (with sums of
// squares rescued from overflow and underflow) and the Nesterov-Todd scaling matrix written
// from the normalised scaling point.
#include "host/second_order.hpp"

#include <cmath>
#include <stdexcept>

#include "host/parallel.hpp"

namespace velkora::torv::cones::host {

namespace {

constexpr const char* kInteriorMessage = "SOC NT scaling requires strictly interior cone vectors";
constexpr const char* kSparseInteriorMessage = "SOC sparse H fill requires strictly interior cone vectors";

// sqrt(sum of term(i)^2 over [0, count)), the plain sum when it is trusted, else rescued
// (soc_sum_sq_trusted / soc_rescue_shift): one more pass with the terms scaled by a power of two.
template <class Term>
double rescued_norm(u64 count, bool parallel, Term term) {
    const double sum = parallel_sum(count, parallel, [&](u64 i) {
        const double v = term(i);
        return v * v;
    });
    if (soc_sum_sq_trusted(sum)) return std::sqrt(sum);
    const int shift = soc_rescue_shift(sum);
    const double factor = std::ldexp(1.0, -shift);
    const double scaled = parallel_sum(count, parallel, [&](u64 i) {
        const double v = term(i) * factor;
        return v * v;
    });
    return std::ldexp(std::sqrt(scaled), shift);
}

// Rows [0, n) of H from the scaling point, each row written contiguously; rows in parallel
// (static schedule) from n >= 256 on when `allow_parallel`.
void write_rows(const SocNtPoint& p, const double* w, double* H, u64 n, bool allow_parallel) {
    parallel_for(n, allow_parallel && n >= kSocNtRowThreshold, [=, &p](u64 i) {
        double* row = H + i * n;
        const double wi = w[i];
        for (u64 j = 0; j < n; ++j) row[j] = soc_nt_h_entry(p, wi, w[j], i, j);
    });
}

// The scaling point into w (n doubles); refuses with `message` unless the pair is interior.
void require_point(const double* s, const double* z, u64 n, SocNtPoint& p, double* w, const char* message) {
    if (!soc_nt_point(s, z, n, p, w)) throw std::runtime_error(message);
}

// Scratch for the scaling point: on the stack up to 32 entries, else one heap vector.
class PointScratch {
  public:
    explicit PointScratch(u64 n) {
        if (n > kStack) heap_.resize(n);
    }
    double* get() { return heap_.empty() ? stack_ : heap_.data(); }

  private:
    static constexpr u64 kStack = 32;
    double stack_[kStack];
    std::vector<double> heap_;
};

}  // namespace

double soc_tail_norm(const double* x, u64 n, bool parallel) {
    if (n < 2) return 0.0;
    const double* tail = x + 1;
    return rescued_norm(n - 1, parallel, [=](u64 k) { return tail[k]; });
}

void soc_project(const double* in, double* out, u64 n) {
    if (n == 0) return;
    const bool parallel = n > kElementwiseThreshold;
    const double t = in[0];
    const double r = soc_tail_norm(in, n, parallel);
    if (t >= r) {
        if (in != out) parallel_for(n, parallel, [=](u64 i) { out[i] = in[i]; });
    } else if (-t >= r) {
        parallel_for(n, parallel, [=](u64 i) { out[i] = 0.0; });
    } else {
        const double a = soc_projection_head(t, r);
        const double c = r > 0.0 ? a / r : 0.0;
        out[0] = a;  // written before the tail is read; the tail loop never reads entry 0
        parallel_for(n - 1, parallel, [=](u64 k) { out[k + 1] = in[k + 1] * c; });
    }
}

double soc_violation(const double* x, u64 n) {
    std::vector<double> p(n);
    soc_project(x, p.data(), n);
    const double* pd = p.data();
    return rescued_norm(n, n > kElementwiseThreshold, [=](u64 i) { return x[i] - pd[i]; });
}

bool soc_contains(const double* x, u64 n, double atol) {
    const double r = soc_tail_norm(x, n, n > kElementwiseThreshold);
    return x[0] >= r - atol;
}

void soc_nt_scaling_into(const double* s, const double* z, double* H, u64 n) {
    PointScratch w(n);
    SocNtPoint p;
    require_point(s, z, n, p, w.get(), kInteriorMessage);
    write_rows(p, w.get(), H, n, true);
}

std::vector<double> soc_nt_dense(const double* s, const double* z, u64 n) {
    std::vector<double> h(n * n);
    soc_nt_scaling_into(s, z, h.data(), n);
    return h;
}

void soc_nt_scaling_batch_into(const double* s, const double* z, double* H, u64 n, u64 batch) {
    if (batch == 0) return;
    PointScratch w(n);
    for (u64 b = 0; b < batch; ++b) {
        SocNtPoint p;
        require_point(s + b * n, z + b * n, n, p, w.get(), kInteriorMessage);
        write_rows(p, w.get(), H + b * n * n, n, true);
    }
}

SocNtEntries::SocNtEntries(const double* s, const double* z, u64 n) : w_(n) {
    require_point(s, z, n, point_, w_.data(), kSparseInteriorMessage);
}

}  // namespace velkora::torv::cones::host
