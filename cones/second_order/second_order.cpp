// Host arithmetic of the second-order cone: projection, violation, membership (with sums of
// squares rescued from overflow and underflow) and the Nesterov-Todd scaling matrix written
// from the normalised scaling point.
#include "cones/second_order/second_order.hpp"

#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "host/parallel.hpp"
#include "host/vector_loops.hpp"

namespace velkora::torv::cones::host {

namespace {

constexpr const char* kInteriorMessage = "SOC NT scaling requires strictly interior cone vectors";
constexpr const char* kSparseInteriorMessage = "SOC sparse H fill requires strictly interior cone vectors";

// Parallel from these sizes on (bench/bench_threads.py): the sums of squares, the maps of the
// projection (copy, clear, scale), and the rows of the NT matrix (from this many entries).
constexpr u64 kNormThreshold = u64(1) << 16;
constexpr u64 kMapThreshold = u64(1) << 17;
constexpr u64 kNtEntryThreshold = u64(1) << 17;
constexpr u64 kNtItemCost = 32;
constexpr u64 kMapGrain = 1024;
// Rows up to this length are written entry by entry: a call of the vectorised row loop costs
// more than it saves on so few entries.
constexpr u64 kNtShortRow = 8;

// ||x_0..count-1||: the plain sum of squares when it is trusted, else rescued
// (soc_sum_sq_trusted / soc_rescue_shift): one more pass with the entries scaled by a
// power of two. Both sums are the deterministic block sums of host/parallel.hpp.
double rescued_norm(const double* x, u64 count) {
    const bool parallel = above(count, kNormThreshold);
    const double sum =
        blocked_sum(count, parallel, [=](u64 begin, u64 end) { return sum_squares(x + begin, end - begin); });
    if (soc_sum_sq_trusted(sum)) return std::sqrt(sum);
    const int shift = soc_rescue_shift(sum);
    const double factor = std::ldexp(1.0, -shift);
    const double scaled = blocked_sum(
        count, parallel, [=](u64 begin, u64 end) { return sum_scaled_squares(x + begin, end - begin, factor); });
    return std::ldexp(std::sqrt(scaled), shift);
}

// sqrt(a^2 + b^2), with both scaled by the power of two of the rescue when the plain sum of
// the squares is not trusted (so that it scales exactly with a and b, like rescued_norm).
double rescued_pair_norm(double a, double b) {
    const double sum = a * a + b * b;
    if (soc_sum_sq_trusted(sum)) return std::sqrt(sum);
    const int shift = soc_rescue_shift(sum);
    const double factor = std::ldexp(1.0, -shift);
    const double sa = a * factor, sb = b * factor;
    return std::ldexp(std::sqrt(sa * sa + sb * sb), shift);
}

// Rows [0, n) of H from the scaling point, each row written contiguously; rows in parallel
// (whole rows per chunk) when H has more than kNtEntryThreshold entries and `allow_parallel`.
// Entry (i, j) is soc_nt_h_entry: the off-diagonal entries of row i >= 1 are the products
// ((w_i w_j) 2r) 4^(ez - es), written by one vectorised loop; entries (i, 0) and (i, i) are
// then written again by soc_nt_h_entry itself. Row 0 (whose entries are negated), every row
// when 4^(ez - es) is not a normal double, and short rows are soc_nt_h_entry entry by entry
// (the same bits).
void write_rows(const SocNtPoint& p, const double* w, double* H, u64 n, bool allow_parallel) {
    const bool products = p.h_scale.factor != 0.0;
    const bool stream = stream_output(n * n * sizeof(double));
    auto row = [=, &p](u64 i) {
        double* r = H + i * n;
        const double wi = w[i];
        if (products && i > 0 && n > kNtShortRow) {
            scaled_products(w, r, n, wi, p.h_twice, p.h_scale.factor, stream);
            r[0] = soc_nt_h_entry(p, wi, w[0], i, 0);
            r[i] = soc_nt_h_entry(p, wi, w[i], i, i);
        } else {
            for (u64 j = 0; j < n; ++j) r[j] = soc_nt_h_entry(p, wi, w[j], i, j);
        }
    };
    parallel_ranges(n, allow_parallel && above(n * n, kNtEntryThreshold), 1, [&](u64 begin, u64 end) {
        for (u64 i = begin; i < end; ++i) row(i);
    });
}

// ---------------------------------------------------------------------------------------
// Batches of small cones, eight items at a time (item k of a group in lane k): the same
// operations as soc_nt_point and soc_nt_h_entry, lane by lane, so the same bits. Groups in
// which some item's largest entry is subnormal, or whose H needs a power of two beyond the
// normal range, are left to the scalar routines. Written for each dimension N <= 9 (tails
// of at most 8 terms: at most 8 leaves in the sum tree).
// ---------------------------------------------------------------------------------------
constexpr u64 kSocSmallDim = 9;

// Entry-major lanes of a group: x[i] holds entry i of the eight items.
template <u64 N>
struct SmallVectors {
    Lanes x[N];
};

// Entries of `count` items (the other lanes hold the unit vector e_0), transposed. Each
// vector is built from its eight doubles in registers (a vector load of doubles just
// stored one by one would wait for the stores).
template <u64 N>
VELKORA_LANES_INLINE void gather_group(const double* v, u64 count, SmallVectors<N>& g) {
    double padded[N * kLaneCount];
    if (count < kLaneCount) {
        for (u64 e = 0; e < N * kLaneCount; ++e) padded[e] = e < count * N ? v[e] : (e % N == 0 ? 1.0 : 0.0);
        v = padded;
    }
    for (u64 i = 0; i < N; ++i)
        g.x[i] = Lanes{v[i], v[N + i], v[2 * N + i], v[3 * N + i], v[4 * N + i], v[5 * N + i], v[6 * N + i],
                       v[7 * N + i]};
}

VELKORA_LANES_INLINE void lanes_sqrt(const Lanes& v, Lanes& r) {
    for (u64 k = 0; k < kLaneCount; ++k) r[k] = std::sqrt(v[k]);
}

// The power of two 2^shift of each lane (every shift in the normal range).
VELKORA_LANES_INLINE void lanes_pow2(const LaneBits& shift, Lanes& r) {
    const LaneBits bits = (shift + 1023) << 52;
    std::memcpy(&r, &bits, sizeof(Lanes));
}

// Unit scale of one vector of the group: e = soc_quarter_exponent of the largest
// soc_scale_magnitude of its entries, and the factor 2^(-2 e); `odd` marks lanes whose
// largest entry is subnormal.
template <u64 N>
VELKORA_LANES_INLINE void unit_scale(const SmallVectors<N>& g, LaneBits& e, Lanes& factor, LaneBits& odd) {
    const Lanes inf = Lanes{} + HUGE_VAL;
    Lanes top = {};
    for (u64 i = 0; i < N; ++i) {
        const Lanes a = g.x[i] < 0.0 ? -g.x[i] : g.x[i];
        const Lanes m = a <= kDoubleMax ? a : inf;
        top = top < m ? m : top;
    }
    LaneBits bits;
    std::memcpy(&bits, &top, sizeof(Lanes));
    const LaneBits biased = (bits >> 52) & 0x7ff;
    const LaneBits none = (biased == 0) | (biased == 0x7ff);  // 0, subnormal, infinite or NaN
    e = none ? LaneBits{} : (biased - 1023) >> 1;               // floor(floor(log2 top) / 2)
    odd |= (biased == 0) & (top > 0.0);
    lanes_pow2(-2 * e, factor);
}

// The unit scale and the tail sums of the group in the order of soc_nt_tail_sums (leaf t
// holds 0.0 + the term of entry 1 + t; the leaves are combined by the tree t + t+h, h
// halving), and each lane's strict interior test.
struct SmallUnit {
    LaneBits es, ez, odd, interior;
    Lanes su, zu, s0u, z0u, ss, zz, sz, ts, tz;
};

template <u64 N>
VELKORA_LANES_INLINE void small_unit(const SmallVectors<N>& s, const SmallVectors<N>& z, SmallUnit& u) {
    u.odd = LaneBits{};
    unit_scale(s, u.es, u.su, u.odd);
    unit_scale(z, u.ez, u.zu, u.odd);
    u.s0u = s.x[0] * u.su;
    u.z0u = z.x[0] * u.zu;
    constexpr u64 terms = N - 1;
    constexpr u64 leaves = terms <= 1 ? 1 : terms <= 2 ? 2 : terms <= 4 ? 4 : 8;
    Lanes ss[leaves], zz[leaves], sz[leaves];
    for (u64 t = 0; t < leaves; ++t) {
        ss[t] = zz[t] = sz[t] = Lanes{};
        if (t < terms) {
            const Lanes a = s.x[1 + t] * u.su;
            const Lanes b = z.x[1 + t] * u.zu;
            ss[t] += a * a;
            zz[t] += b * b;
            sz[t] += a * b;
        }
    }
    for (u64 h = leaves / 2; h > 0; h /= 2)
        for (u64 t = 0; t < h; ++t) {
            ss[t] = ss[t] + ss[t + h];
            zz[t] = zz[t] + zz[t + h];
            sz[t] = sz[t] + sz[t + h];
        }
    u.ss = ss[0];
    u.zz = zz[0];
    u.sz = sz[0];
    lanes_sqrt(u.ss, u.ts);
    lanes_sqrt(u.zz, u.tz);
    u.interior = (u.s0u > u.ts) & (u.s0u <= kDoubleMax) & (u.z0u > u.tz) & (u.z0u <= kDoubleMax);
}

// Lanes [0, count) that pass `ok`, counted up to the first that does not.
VELKORA_LANES_INLINE u64 leading(const LaneBits& ok, u64 count) {
    u64 k = 0;
    while (k < count && ok[k] != 0) ++k;
    return k;
}

// soc_nt_unit_interior of one item, one item at a time (no transposition): the unit
// scale from the exponent bits of the largest entry, the tail sums in the same tree.
// Items whose largest entry is subnormal go to soc_nt_unit itself.
template <u64 N>
inline bool small_unit_interior(const double* x, bool& odd) {
    double top = 0.0;
    for (u64 i = 0; i < N; ++i) {
        const double m = soc_scale_magnitude(x[i]);
        top = top < m ? m : top;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &top, sizeof bits);
    const std::int64_t biased = static_cast<std::int64_t>(bits >> 52);
    if (biased == 0 && top > 0.0) odd = true;
    const std::int64_t e = biased == 0 || biased == 0x7ff ? 0 : (biased - 1023) >> 1;
    const std::uint64_t factor_bits = static_cast<std::uint64_t>(1023 - 2 * e) << 52;
    double factor;
    std::memcpy(&factor, &factor_bits, sizeof factor);
    constexpr u64 terms = N - 1;
    constexpr u64 leaves = terms <= 1 ? 1 : terms <= 2 ? 2 : terms <= 4 ? 4 : 8;
    double leaf[leaves];
    for (u64 t = 0; t < leaves; ++t) {
        leaf[t] = 0.0;
        if (t < terms) {
            const double a = x[1 + t] * factor;
            leaf[t] += a * a;
        }
    }
    for (u64 h = leaves / 2; h > 0; h /= 2)
        for (u64 t = 0; t < h; ++t) leaf[t] = leaf[t] + leaf[t + h];
    return soc_unit_interior(x[0] * factor, leaf[0]);
}

// The number of leading items of a group of `count` that are strictly interior.
template <u64 N>
inline u64 small_interior(const double* s, const double* z, u64 count) {
    for (u64 k = 0; k < count; ++k) {
        bool odd = false;
        const bool ok = small_unit_interior<N>(s + k * N, odd) && small_unit_interior<N>(z + k * N, odd);
        if (odd ? !soc_nt_unit_interior(soc_nt_unit(s + k * N, z + k * N, N)) : !ok) return k;
    }
    return count;
}

// H of the leading interior items of the group into H (N*N each); returns their number.
template <u64 N>
VELKORA_LANES_INLINE u64 small_group(const double* s, const double* z, double* H, u64 count) {
    SmallVectors<N> gs, gz;
    gather_group(s, count, gs);
    gather_group(z, count, gz);
    SmallUnit u;
    small_unit(gs, gz, u);
    // The power of two of H, 4^(ez - es), must be a normal double.
    const LaneBits shift = 2 * (u.ez - u.es);
    const LaneBits odd = u.odd | (shift < -1022) | (shift > 1023);
    if (leading(~odd, count) < count) {
        double w[N];
        for (u64 k = 0; k < count; ++k) {
            SocNtPoint p;
            if (!soc_nt_point(s + k * N, z + k * N, N, p, w)) return k;
            for (u64 i = 0; i < N; ++i)
                for (u64 j = 0; j < N; ++j) H[k * N * N + i * N + j] = soc_nt_h_entry(p, w[i], w[j], i, j);
        }
        return count;
    }
    const u64 good = leading(u.interior, count);
    Lanes hs;
    lanes_pow2(shift, hs);
    // soc_nt_point_scalars, lane by lane.
    Lanes a, b, c;
    lanes_sqrt(u.s0u - u.ts, a);
    lanes_sqrt(u.s0u + u.ts, b);
    const Lanes sj = u.ts > 0.0 ? a * b : u.s0u;
    lanes_sqrt(u.z0u - u.tz, a);
    lanes_sqrt(u.z0u + u.tz, b);
    const Lanes zj = u.tz > 0.0 ? a * b : u.z0u;
    Lanes d = ((u.s0u * u.z0u + u.sz) / sj) / zj;
    const Lanes one = Lanes{} + 1.0;
    d = d < 1.0 ? one : d;
    lanes_sqrt((1.0 + d) * 0.5, c);
    const Lanes s_coef = 1.0 / ((c + c) * sj);
    const Lanes z_coef = 1.0 / ((c + c) * zj);
    const Lanes h_unit = zj / sj;
    const Lanes h_twice = h_unit + h_unit;
    // w (soc_nt_point_entry), then H (soc_nt_h_entry), entry-major, then item by item.
    Lanes w[N];
    for (u64 i = 0; i < N; ++i) {
        const Lanes ws = (gs.x[i] * u.su) * s_coef;
        const Lanes wz = (gz.x[i] * u.zu) * z_coef;
        w[i] = i == 0 ? ws + wz : ws - wz;
    }
    alignas(64) double h[N * N][kLaneCount];
    for (u64 i = 0; i < N; ++i)
        for (u64 j = 0; j < N; ++j) {
            Lanes v = (w[i] * w[j]) * h_twice;
            if (i == j)
                v = i == 0 ? v - h_unit : v + h_unit;
            else if (i == 0 || j == 0)
                v = 0.0 - v;
            store_lanes(h[i * N + j], v * hs);
        }
    for (u64 k = 0; k < good; ++k)
        for (u64 e = 0; e < N * N; ++e) H[k * N * N + e] = h[e][k];
    return good;
}

#define VELKORA_SMALL_DIMS(CALL) \
    switch (n) {                 \
        case 1: return CALL(1);  \
        case 2: return CALL(2);  \
        case 3: return CALL(3);  \
        case 4: return CALL(4);  \
        case 5: return CALL(5);  \
        case 6: return CALL(6);  \
        case 7: return CALL(7);  \
        case 8: return CALL(8);  \
        default: return CALL(9); \
    }

// The number of leading items of `count` items that are strictly interior.
u64 soc_nt_small_interior(const double* s, const double* z, u64 n, u64 count) {
#define VELKORA_CALL(N) small_interior<N>(s, z, count)
    VELKORA_SMALL_DIMS(VELKORA_CALL)
#undef VELKORA_CALL
}

// H of the leading interior items of a group of `count` <= 8; returns their number.
VELKORA_VECTOR_CLONES u64 soc_nt_small_group(const double* s, const double* z, double* H, u64 n, u64 count) {
#define VELKORA_CALL(N) small_group<N>(s, z, H, count)
    VELKORA_SMALL_DIMS(VELKORA_CALL)
#undef VELKORA_CALL
}

#undef VELKORA_SMALL_DIMS

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

double soc_tail_norm(const double* x, u64 n) {
    if (n < 2) return 0.0;
    return rescued_norm(x + 1, n - 1);
}

void soc_project(const double* in, double* out, u64 n) {
    if (n == 0) return;
    const bool parallel = above(n, kMapThreshold);
    const bool stream = stream_output(n * sizeof(double));
    const double t = in[0];
    const double r = soc_tail_norm(in, n);
    if (t >= r) {
        if (in != out)
            parallel_ranges(n, parallel, kMapGrain,
                            [=](u64 begin, u64 end) { copy_entries(in + begin, out + begin, end - begin, stream); });
    } else if (-t >= r) {
        parallel_ranges(n, parallel, kMapGrain,
                        [=](u64 begin, u64 end) { fill_zero(out + begin, end - begin, stream); });
    } else {
        const double a = soc_projection_head(t, r);
        const double c = r > 0.0 ? a / r : 0.0;
        out[0] = a;  // written before the tail is read; the tail loop never reads entry 0
        parallel_ranges(n - 1, parallel, kMapGrain, [=](u64 begin, u64 end) {
            scaled_copy(in + 1 + begin, out + 1 + begin, end - begin, c, stream);
        });
    }
}

// From the head t and the tail norm r alone (one pass over x): 0 inside the cone (t >= r);
// ||x|| = sqrt(t^2 + r^2) in the polar cone (-t >= r); (r - t)/sqrt(2) in between, the
// distance to the projection (t + r)/2 (1, x_bar/r). With x non-finite the result is that
// of ||x - P(x)||: +inf when t = -inf and r is not NaN (the polar case), NaN otherwise.
double soc_violation(const double* x, u64 n) {
    if (n == 0) return 0.0;
    const double t = x[0];
    const double r = soc_tail_norm(x, n);
    if (!(std::fabs(t) <= kDoubleMax) || !(r <= kDoubleMax)) return t == -HUGE_VAL && r == r ? HUGE_VAL : NAN;
    if (t >= r) return 0.0;
    if (-t >= r) return rescued_pair_norm(t, r);
    constexpr double kHalfRoot = 0.7071067811865476;  // sqrt(1/2), rounded
    const double gap = r - t;
    // Near the top of the range r - t can overflow where its halves do not; the product
    // with 2 sqrt(1/2) (exactly twice kHalfRoot) is then the same number.
    return gap <= kDoubleMax ? gap * kHalfRoot : (r * 0.5 - t * 0.5) * (kHalfRoot * 2.0);
}

bool soc_contains(const double* x, u64 n, double atol) {
    const double r = soc_tail_norm(x, n);
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
    if (batch == 1) {
        soc_nt_scaling_into(s, z, H, n);
        return;
    }
    const u64 block = n * n;
    const bool small = n <= kSocSmallDim;
    // Items [begin, end) written in order up to the first that is not interior; returns the
    // number written.
    auto items = [=](u64 begin, u64 end) -> u64 {
        u64 b = begin;
        if (small) {
            while (b < end) {
                const u64 count = end - b < kLaneCount ? end - b : kLaneCount;
                const u64 done = soc_nt_small_group(s + b * n, z + b * n, H + b * block, n, count);
                b += done;
                if (done < count) break;
            }
            return b - begin;
        }
        PointScratch w(n);
        for (; b < end; ++b) {
            SocNtPoint p;
            if (!soc_nt_point(s + b * n, z + b * n, n, p, w.get())) break;
            write_rows(p, w.get(), H + b * block, n, false);
        }
        return b - begin;
    };
    // Each item costs its n*n entries and a set-up of about kNtItemCost entries' time.
    // The parallel form tests every item first (a fifth to a half of the work again): it is
    // taken only while helpers join in.
    if (!above(batch * (block + kNtItemCost), kNtEntryThreshold) || loop_threads() <= 1 || !helpers_joining()) {
        if (items(0, batch) < batch) throw std::runtime_error(kInteriorMessage);
        return;
    }
    // In parallel: the first item that is not interior, then every item before it.
    const u64 grain = small ? kLaneCount : 1;
    std::atomic<u64> first{batch};
    parallel_ranges(batch, true, grain, [&](u64 begin, u64 end) {
        for (u64 b = begin; b < end && b < first.load(std::memory_order_relaxed);) {
            const u64 count = small ? (end - b < kLaneCount ? end - b : kLaneCount) : 1;
            const u64 good = small ? soc_nt_small_interior(s + b * n, z + b * n, n, count)
                                   : (soc_nt_unit_interior(soc_nt_unit(s + b * n, z + b * n, n)) ? 1 : 0);
            if (good < count) {
                u64 seen = first.load();
                while (b + good < seen && !first.compare_exchange_weak(seen, b + good)) {
                }
                return;
            }
            b += count;
        }
    });
    const u64 valid = first.load();
    parallel_ranges(valid, true, grain, [&](u64 begin, u64 end) { items(begin, end); });
    if (valid < batch) throw std::runtime_error(kInteriorMessage);
}

SocNtEntries::SocNtEntries(const double* s, const double* z, u64 n) : w_(n) {
    require_point(s, z, n, point_, w_.data(), kSparseInteriorMessage);
}

}  // namespace velkora::torv::cones::host

// Interior-point forms of the second-order cone on the host: one item at a time from its
// unit-scaled sums (the formulas are in second_order.hpp); items in parallel when
// the batch holds more than the elementwise threshold of entries.
namespace velkora::torv::cones::host {

namespace {

constexpr const char* kSolveMessage = "SOC Jordan solve requires a strictly interior lam";

// Exponent e of the unit scale x' = x 4^-e (soc_quarter_exponent of the largest |x_i|; an
// entry that is not finite gives 0, as in the NT set-up).
int unit_exponent(const double* x, u64 n) {
    double top = 0.0;
    for (u64 i = 0; i < n; ++i) top = std::fmax(top, soc_scale_magnitude(x[i]));
    return soc_quarter_exponent(top);
}

// A vector at unit scale: exponent, factor, head and tail sum of squares.
struct Unit {
    int e;
    SocPow2 factor;
    double head;
    double tail_sq;
};

Unit unit(const double* x, u64 n) {
    Unit u;
    u.e = unit_exponent(x, n);
    u.factor = soc_pow2(-2 * u.e);
    u.head = soc_pow2_apply(u.factor, x[0]);
    const SocPow2 f = u.factor;
    u.tail_sq = soc_lane_sum(n, [&](u64 i) {
        const double a = soc_pow2_apply(f, x[i]);
        return a * a;
    });
    return u;
}

bool item_interior(const double* x, u64 n) {
    const Unit u = unit(x, n);
    return soc_unit_interior(u.head, u.tail_sq);
}

bool parallel_items(u64 n, u64 batch) { return above(n * batch, kElementwiseThreshold); }

bool all_interior(const double* x, u64 n, u64 batch) {
    return !parallel_any(batch, parallel_items(n, batch), [=](u64 b) { return !item_interior(x + b * n, n); });
}

double item_step(const double* x, const double* d, u64 n) {
    const Unit xu = unit(x, n);
    const int ed = unit_exponent(d, n);
    const SocPow2 df = soc_pow2(-2 * ed);
    const SocPow2 xf = xu.factor;
    const double dd = soc_lane_sum(n, [&](u64 i) {
        const double a = soc_pow2_apply(df, d[i]);
        return a * a;
    });
    const double xd = soc_lane_sum(n, [&](u64 i) { return soc_pow2_apply(xf, x[i]) * soc_pow2_apply(df, d[i]); });
    return soc_step_from_sums(xu.head, soc_pow2_apply(df, d[0]), xu.tail_sq, dd, xd, xu.e, ed);
}

}  // namespace

bool soc_interior(const double* x, u64 n, u64 batch) { return all_interior(x, n, batch); }

double soc_max_step(const double* x, const double* dx, u64 n, u64 batch, double alpha_max) {
    const double step = parallel_min(batch, parallel_items(n, batch),
                                     [=](u64 b) { return item_step(x + b * n, dx + b * n, n); });
    return step < alpha_max ? step : alpha_max;
}

double soc_spectral_min(const double* x, u64 n, u64 batch) {
    return parallel_min(batch, parallel_items(n, batch), [=](u64 b) {
        const Unit u = unit(x + b * n, n);
        return soc_spectral_min_from_sums(u.head, u.tail_sq, u.e);
    });
}

void soc_nt_scaling_state(const double* s, const double* z, double* scaling, double* lam, u64 n, u64 batch) {
    if (!all_interior(s, n, batch) || !all_interior(z, n, batch)) throw std::runtime_error(kInteriorMessage);
    const u64 size = soc_state_size(n);
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* sb = s + b * n;
        const double* zb = z + b * n;
        double* state = scaling + b * size;
        double* lb = lam + b * n;
        SocNtPoint p;
        const bool interior = soc_nt_point(sb, zb, n, p, state + kSocStateHeader);
        soc_state_header(p, interior, state);
        const SocLambdaCoefs c = soc_lambda_coefs(p, soc_pow2_apply(p.s_unit, sb[0]), soc_pow2_apply(p.z_unit, zb[0]));
        lb[0] = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) lb[i] = soc_lambda_tail(c, p, sb[i], zb[i]);
    });
}

void soc_scale(const double* scaling, const double* x, double* out, u64 n, u64 batch, bool inverse) {
    const u64 size = soc_state_size(n);
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const SocState st = soc_state(scaling + b * size);
        const double* xb = x + b * n;
        double* ob = out + b * n;
        const double dot = soc_lane_sum(n, [&](u64 i) { return st.w[i] * xb[i]; });
        const SocScaleCoefs c = soc_scale_coefs(st, xb[0], dot, inverse);
        ob[0] = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) ob[i] = soc_scale_tail(c, xb[i], st.w[i]);
    });
}

void soc_jordan_product(const double* x, const double* y, double* out, u64 n, u64 batch) {
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* xb = x + b * n;
        const double* yb = y + b * n;
        double* ob = out + b * n;
        const double x0 = xb[0], y0 = yb[0];
        const double dot = soc_lane_sum(n, [&](u64 i) { return xb[i] * yb[i]; });
        ob[0] = x0 * y0 + dot;
        for (u64 i = 1; i < n; ++i) ob[i] = x0 * yb[i] + y0 * xb[i];
    });
}

void soc_jordan_solve(const double* lam, const double* x, double* out, u64 n, u64 batch) {
    // Each lam item at unit scale once: the test of every item, then the solves from it.
    std::vector<Unit> units(batch);
    const bool refused = parallel_any(batch, parallel_items(n, batch), [&](u64 b) {
        units[b] = unit(lam + b * n, n);
        return !soc_unit_interior(units[b].head, units[b].tail_sq);
    });
    if (refused) throw std::runtime_error(kSolveMessage);
    const Unit* us = units.data();
    parallel_for(batch, parallel_items(n, batch), [=](u64 b) {
        const double* lb = lam + b * n;
        const double* xb = x + b * n;
        double* ob = out + b * n;
        const Unit& u = us[b];
        const SocPow2 f = u.factor;
        const double lx = soc_lane_sum(n, [&](u64 i) { return soc_pow2_apply(f, lb[i]) * xb[i]; });
        const SocSolveCoefs c = soc_solve_coefs(u.head, u.tail_sq, lx, xb[0], u.e);
        const double head = soc_pow2_apply(c.scale, c.head);
        for (u64 i = 1; i < n; ++i) ob[i] = soc_solve_tail(c, lb[i], xb[i]);
        ob[0] = head;
    });
}

void soc_state_tail_squares(const double* scaling, u64 n, u64 batch, double* tail_sq) {
    const u64 size = soc_state_size(n);
    for (u64 b = 0; b < batch; ++b) {
        const double* w = scaling + b * size + kSocStateHeader;
        tail_sq[b] = soc_lane_sum(n, [&](u64 i) { return w[i] * w[i]; });
    }
}

void soc_expansion_csr_fill(const double* scaling, const i64* indptr, u64 indptr_len, const i64* indices,
                            double* values, u64 nnz, u64 n, u64 batch, u64 row_offset, u64 extra_offset,
                            bool inverse) {
    const u64 size = soc_state_size(n);
    std::vector<double> tail_sq(batch);
    soc_state_tail_squares(scaling, n, batch, tail_sq.data());
    std::vector<SocExpansion> items(batch);
    for (u64 b = 0; b < batch; ++b) items[b] = soc_expansion(soc_state(scaling + b * size), tail_sq[b], inverse);
    const u64 cone_rows = n * batch;
    const u64 extra_rows = 2 * batch;
    auto nothing = [](u64, u64, i64) {};
    csr_walk(indptr, indptr_len, indices, nnz, cone_rows, row_offset, nothing);
    csr_walk(indptr, indptr_len, indices, nnz, extra_rows, extra_offset, nothing);
    auto writer = [&](u64 first) {
        return [&, first](u64 p, u64 r, i64 col) {
            const SocExpansionIndex row =
                soc_expansion_index(static_cast<long long>(first + r), n, batch, row_offset, extra_offset);
            const SocExpansionIndex c = soc_expansion_index(col, n, batch, row_offset, extra_offset);
            const double* w = scaling + row.item * size + kSocStateHeader;
            values[p] = soc_expansion_entry(items[row.item], w, row, c);
        };
    };
    csr_walk(indptr, indptr_len, indices, nnz, cone_rows, row_offset, writer(row_offset));
    csr_walk(indptr, indptr_len, indices, nnz, extra_rows, extra_offset, writer(extra_offset));
}

void soc_expansion_pattern(u64 n, u64 batch, u64 row_offset, u64 extra_offset, i64* rows, i64* cols) {
    u64 k = 0;
    auto put = [&](u64 r, u64 c) {
        rows[k] = static_cast<i64>(r);
        cols[k] = static_cast<i64>(c);
        ++k;
    };
    for (u64 b = 0; b < batch; ++b) {
        const u64 first = row_offset + b * n;
        const u64 u_row = extra_offset + 2 * b;
        const u64 v_row = u_row + 1;
        for (u64 i = 0; i < n; ++i) put(first + i, first + i);
        for (u64 i = 0; i < n; ++i) {
            put(first + i, u_row);
            put(u_row, first + i);
        }
        for (u64 i = 1; i < n; ++i) {
            put(first + i, v_row);
            put(v_row, first + i);
        }
        put(u_row, u_row);
        put(v_row, v_row);
    }
}

}  // namespace velkora::torv::cones::host
