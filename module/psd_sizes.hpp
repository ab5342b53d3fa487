// Entry counts of the PSD cone's arrays, refused when they do not fit in 64 bits.
#pragma once

#include "module/views.hpp"

namespace velkora::torv::cones::cpp {

// dim(dim+1)/2 without wrapping: the even factor is halved first.
inline u64 psd_svec_count(u64 dim) {
    return dim % 2 == 0 ? checked_count({dim / 2, dim + 1}) : checked_count({dim, dim / 2 + 1});
}

}  // namespace velkora::torv::cones::cpp
