// The device math library as the emulated kernels see it. The modules of the emulation build are
// linked with --wrap for exp, pow, atan2, sin, cos, sincos and hypot, so every call lands here.
// Outside kernels, or unless Modes::perturb_math is on, the host library's result is returned.
// Inside kernels with perturbation, a finite non-zero result moves 1 or 2 ulp up or down (chosen
// by a hash of the arguments, never 0 ulp), within the documented error of the device library;
// the cases it defines exactly (exp(0) = 1, pow(x, 0) = pow(1, y) = 1, sin(0) = 0, cos(0) = 1,
// zero or infinite arguments of atan2 and hypot, any NaN or infinity) stay exact. Host and device
// results of one formula therefore differ by a few ulp, as they can on a GPU.
#include "internal.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

uint64_t bits(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// r moved by 1 or 2 ulp; never across zero, to infinity or (bounded) beyond +-1.
double perturb(double r, uint64_t key, bool bounded) {
    if (!std::isfinite(r) || r == 0.0) return r;
    const uint64_t h = mix(key + 0x9e3779b97f4a7c15ull);
    const int steps = (h & 1) ? 1 : 2;
    const double toward = (h & 2) ? INFINITY : -INFINITY;
    double v = r;
    for (int i = 0; i < steps; ++i) {
        const double n = std::nextafter(v, toward);
        if (!std::isfinite(n) || n == 0.0 || std::signbit(n) != std::signbit(r) || (bounded && std::fabs(n) > 1.0))
            break;
        v = n;
    }
    return v;
}

bool active() { return cuemu::internal::perturbing_math(); }

}  // namespace

extern "C" {

CUEMU_API double __wrap_exp(double x) {
    const double r = exp(x);
    return active() && x != 0.0 ? perturb(r, bits(x) * 3, false) : r;
}

CUEMU_API double __wrap_pow(double x, double y) {
    const double r = pow(x, y);
    return active() && y != 0.0 && x != 1.0 ? perturb(r, bits(x) * 5 ^ bits(y), false) : r;
}

CUEMU_API double __wrap_atan2(double y, double x) {
    const double r = atan2(y, x);
    const bool exact = y == 0.0 || x == 0.0 || std::isinf(x) || std::isinf(y);
    return active() && !exact ? perturb(r, bits(y) * 7 ^ bits(x), false) : r;
}

CUEMU_API double __wrap_sin(double x) {
    const double r = sin(x);
    return active() ? perturb(r, bits(x) * 11, true) : r;
}

CUEMU_API double __wrap_cos(double x) {
    const double r = cos(x);
    return active() && x != 0.0 ? perturb(r, bits(x) * 13, true) : r;
}

CUEMU_API void __wrap_sincos(double x, double* s, double* c) {
    *s = __wrap_sin(x);
    *c = __wrap_cos(x);
}

CUEMU_API double __wrap_hypot(double x, double y) {
    const double r = hypot(x, y);
    const bool exact = x == 0.0 || y == 0.0 || std::isinf(x) || std::isinf(y);
    return active() && !exact ? perturb(r, bits(x) * 17 ^ bits(y), false) : r;
}

}  // extern "C"
