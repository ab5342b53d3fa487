// The vectorised loops, written on Lanes (eight doubles acted on lane by lane), so that
// every variant computes the same bits.
#include "host/vector_loops.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace velkora::torv::cones::host {

namespace {

using Vec = Lanes;
constexpr u64 kLanes = kLaneCount;
constexpr u64 kPartials = 4 * kLanes;

#define VELKORA_INLINE VELKORA_LANES_INLINE

VELKORA_INLINE void load(const double* p, Vec& v) { load_lanes(p, v); }
VELKORA_INLINE void store(double* p, const Vec& v) { store_lanes(p, v); }

// The 32 partial sums of partial_sum combined: k + k+16, then k + k+8, ..., k + k+1.
VELKORA_INLINE double combine_partials(double* p) {
    for (u64 half = kPartials / 2; half > 0; half /= 2)
        for (u64 k = 0; k < half; ++k) p[k] = p[k] + p[k + half];
    return p[0];
}

// Sum of term(x_i): four vectors of partial sums over 32 entries at a time, then the
// remaining entries added one by one to partials 0, 1, ..., then combine_partials. Term
// has term(const Vec&, Vec&) and double term(double), the same arithmetic.
template <class Term>
VELKORA_INLINE double partial_sum(const double* x, u64 n, const Term& term) {
    if (n < kPartials) {
        // Partial k is 0.0 + term(x_k) for k < n and +0.0 beyond, and adding +0.0 leaves
        // every sum of that form unchanged (none is -0.0): combine_partials reduces to the
        // same pairing over the first m, the smallest power of two not below n.
        double p[kPartials];
        u64 m = 1;
        while (m < n) m *= 2;
        for (u64 k = 0; k < m; ++k) p[k] = k < n ? 0.0 + term(x[k]) : 0.0;
        for (u64 half = m / 2; half > 0; half /= 2)
            for (u64 k = 0; k < half; ++k) p[k] = p[k] + p[k + half];
        return p[0];
    }
    Vec a0 = {}, a1 = {}, a2 = {}, a3 = {};
    u64 i = 0;
    for (; i + kPartials <= n; i += kPartials) {
        Vec v0, v1, v2, v3, t0, t1, t2, t3;
        load(x + i, v0);
        load(x + i + kLanes, v1);
        load(x + i + 2 * kLanes, v2);
        load(x + i + 3 * kLanes, v3);
        term(v0, t0);
        term(v1, t1);
        term(v2, t2);
        term(v3, t3);
        a0 += t0;
        a1 += t1;
        a2 += t2;
        a3 += t3;
    }
    double p[kPartials];
    store(p, a0);
    store(p + kLanes, a1);
    store(p + 2 * kLanes, a2);
    store(p + 3 * kLanes, a3);
    for (u64 k = 0; i < n; ++i, ++k) p[k] += term(x[i]);
    return combine_partials(p);
}

// Whether fails(x_i) for some i: runs of 256 entries, each one or-reduction of the
// vector tests (stops after the first run that fails).
template <class Fails>
VELKORA_INLINE bool any_entry(const double* x, u64 n, const Fails& fails) {
    constexpr u64 kRun = 256;
    u64 i = 0;
    for (; i + kRun <= n; i += kRun) {
        Vec hits = {};
        for (u64 k = i; k < i + kRun; k += kLanes) {
            Vec v, h;
            load(x + k, v);
            fails(v, h);
            hits += h;
        }
        double lanes[kLanes];
        store(lanes, hits);
        double total = 0.0;
        for (u64 k = 0; k < kLanes; ++k) total += lanes[k];
        if (total != 0.0) return true;
    }
    for (; i < n; ++i)
        if (fails(x[i])) return true;
    return false;
}

// out_i = map(in_i), vectors of eight then one by one; in may equal out (each vector is
// read before it is written). The vector stores start at the first entry of `out` on a
// 64-byte boundary (a vector store across two cache lines costs two). With `stream` they
// are non-temporal: they bypass the caches and save the read of each output line that an
// ordinary store makes.
template <class Map>
VELKORA_INLINE void map_entries(const double* in, double* out, u64 n, const Map& map, bool stream) {
    u64 i = 0;
    for (; i < n && reinterpret_cast<std::uintptr_t>(out + i) % sizeof(Vec) != 0; ++i) out[i] = map(in[i]);
#if defined(__x86_64__)
    if (stream) {
        for (; i + kLanes <= n; i += kLanes) {
            Vec v, r;
            load(in + i, v);
            map(v, r);
            __m128d parts[4];
            std::memcpy(parts, &r, sizeof(Vec));
            for (int k = 0; k < 4; ++k) _mm_stream_pd(out + i + 2 * k, parts[k]);
        }
        _mm_sfence();
    }
#else
    (void)stream;
#endif
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        Vec v0, v1, r0, r1;
        load(in + i, v0);
        load(in + i + kLanes, v1);
        map(v0, r0);
        map(v1, r1);
        store(out + i, r0);
        store(out + i + kLanes, r1);
    }
    for (; i < n; ++i) out[i] = map(in[i]);
}

struct Square {
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const { r = v * v; }
    VELKORA_INLINE double operator()(double v) const { return v * v; }
};

struct ScaledSquare {
    double factor;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec s = v * factor;
        r = s * s;
    }
    VELKORA_INLINE double operator()(double v) const {
        const double s = v * factor;
        return s * s;
    }
};

// Select, then square: branch-free, and equal bit for bit to squaring only the negative
// entries (NaN and +-0 give +0).
struct NegativeSquare {
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec zero = {};
        const Vec m = v < zero ? v : zero;
        r = m * m;
    }
    VELKORA_INLINE double operator()(double v) const {
        const double m = v < 0.0 ? v : 0.0;
        return m * m;
    }
};

// 1.0 where the test fails, else 0.0.
struct AbsAbove {
    double bound;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec zero = {}, one = zero + 1.0;
        const Vec magnitude = v < zero ? -v : v;
        r = magnitude <= bound ? zero : one;
    }
    VELKORA_INLINE bool operator()(double v) const { return !(__builtin_fabs(v) <= bound); }
};

struct Below {
    double bound;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec zero = {}, one = zero + 1.0;
        r = v >= bound ? zero : one;
    }
    VELKORA_INLINE bool operator()(double v) const { return !(v >= bound); }
};

struct NotAbove {
    double bound;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec zero = {}, one = zero + 1.0;
        r = v > bound ? zero : one;
    }
    VELKORA_INLINE bool operator()(double v) const { return !(v > bound); }
};

struct PositivePart {
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const {
        const Vec zero = {};
        r = v > zero ? v : zero;
    }
    VELKORA_INLINE double operator()(double v) const { return v > 0.0 ? v : 0.0; }
};

struct Scale {
    double factor;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const { r = v * factor; }
    VELKORA_INLINE double operator()(double v) const { return v * factor; }
};

// Bit for bit (a signalling NaN stays one).
struct Copy {
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const { r = v; }
    VELKORA_INLINE double operator()(double v) const { return v; }
};

struct Zero {
    VELKORA_INLINE void operator()(const Vec&, Vec& r) const { r = Vec{}; }
    VELKORA_INLINE double operator()(double) const { return 0.0; }
};

struct TripleProduct {
    double a, b, c;
    VELKORA_INLINE void operator()(const Vec& v, Vec& r) const { r = ((a * v) * b) * c; }
    VELKORA_INLINE double operator()(double v) const { return ((a * v) * b) * c; }
};

}  // namespace

VELKORA_VECTOR_CLONES double sum_squares(const double* x, u64 n) { return partial_sum(x, n, Square{}); }

VELKORA_VECTOR_CLONES double sum_scaled_squares(const double* x, u64 n, double factor) {
    return partial_sum(x, n, ScaledSquare{factor});
}

VELKORA_VECTOR_CLONES double sum_negative_squares(const double* x, u64 n) {
    return partial_sum(x, n, NegativeSquare{});
}

VELKORA_VECTOR_CLONES bool any_abs_above(const double* x, u64 n, double bound) {
    return any_entry(x, n, AbsAbove{bound});
}

VELKORA_VECTOR_CLONES bool any_below(const double* x, u64 n, double bound) { return any_entry(x, n, Below{bound}); }

VELKORA_VECTOR_CLONES bool any_not_above(const double* x, u64 n, double bound) {
    return any_entry(x, n, NotAbove{bound});
}

VELKORA_VECTOR_CLONES void positive_part(const double* in, double* out, u64 n, bool stream) {
    map_entries(in, out, n, PositivePart{}, stream);
}

VELKORA_VECTOR_CLONES u64 diagonal_positions(const std::int64_t* next, const std::int64_t* cols, std::int64_t position,
                                             std::int64_t row, u64 limit) {
    // Runs of 32: the exclusive-or of each entry with its expected value, or-reduced (zero
    // when the whole run matches), a loop the compiler vectorises.
    constexpr u64 kRun = 32;
    u64 k = 0;
    for (; k + kRun <= limit; k += kRun) {
        const std::int64_t p = position + 1 + static_cast<std::int64_t>(k);
        const std::int64_t g = row + static_cast<std::int64_t>(k);
        std::int64_t off = 0;
        for (u64 l = 0; l < kRun; ++l) {
            const std::int64_t at = static_cast<std::int64_t>(l);
            off |= (next[k + l] ^ (p + at)) | (cols[k + l] ^ (g + at));
        }
        if (off != 0) break;
    }
    for (; k < limit; ++k) {
        const std::int64_t at = static_cast<std::int64_t>(k);
        if (next[k] != position + 1 + at || cols[k] != row + at) break;
    }
    return k;
}

VELKORA_VECTOR_CLONES void quotients(const double* num, const double* den, double* out, u64 n) {
    u64 i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Vec a, b;
        load(num + i, a);
        load(den + i, b);
        store(out + i, a / b);
    }
    for (; i < n; ++i) out[i] = num[i] / den[i];
}

VELKORA_VECTOR_CLONES void scaled_copy(const double* in, double* out, u64 n, double factor, bool stream) {
    map_entries(in, out, n, Scale{factor}, stream);
}

VELKORA_VECTOR_CLONES void scaled_products(const double* in, double* out, u64 n, double a, double b, double c,
                                             bool stream) {
    map_entries(in, out, n, TripleProduct{a, b, c}, stream);
}

bool stream_output(u64 bytes) { return bytes > kStreamBytes; }

VELKORA_VECTOR_CLONES void copy_entries(const double* in, double* out, u64 n, bool stream) {
    if (!stream) {
        std::memcpy(out, in, n * sizeof(double));
        return;
    }
    map_entries(in, out, n, Copy{}, true);
}

VELKORA_VECTOR_CLONES void fill_zero(double* out, u64 n, bool stream) {
    if (!stream) {
        std::memset(out, 0, n * sizeof(double));
        return;
    }
    map_entries(out, out, n, Zero{}, true);
}

}  // namespace velkora::torv::cones::host
