// Limits of the double format shared by the host and device arithmetic of every cone,
// spelled out as constants so that device code can use them (no <cfloat> or
// std::numeric_limits on the device side).
#pragma once

namespace velkora::torv::cones::host {

// Largest finite double (DBL_MAX): x <= kDoubleMax is false exactly for +infinity and NaN.
inline constexpr double kDoubleMax = 1.7976931348623157e308;
// Smallest positive normal double (DBL_MIN).
inline constexpr double kDoubleMinNormal = 2.2250738585072014e-308;
// Spacing of the doubles at 1.0 (DBL_EPSILON, 2^-52).
inline constexpr double kDoubleEpsilon = 2.220446049250313e-16;

}  // namespace velkora::torv::cones::host
