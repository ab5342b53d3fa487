// The plain value objects behind the five Python cone classes: sizes only,
// trivially copyable, immutable after construction.
#pragma once

#include <cstdint>

namespace velkora::torv::cones::cpp {

struct BoundZeroConeCpp {
    std::uint64_t dim;
};

struct BoundNonnegativeConeCpp {
    std::uint64_t dim;
};

// One second-order cone {x : x_0 >= ||x_1..n-1||}.
struct BoundSecondOrderConeCpp {
    std::uint64_t dim;
};

// One PSD cone of matrix order `dim`, carried as svec vectors of `rows` entries.
struct BoundPsdConeCpp {
    std::uint64_t dim;
    std::uint64_t rows;
};

// `blocks` consecutive exponential cones of three entries each.
struct BoundExponentialConeCpp {
    std::uint64_t blocks;
};

}  // namespace velkora::torv::cones::cpp
