// PsdConeCpp: one cone of PSD matrices of order dim, carried as svec vectors of
// dim*(dim+1)/2 entries.
#include <stdexcept>

#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct PsdFamily {
    using Bound = BoundPsdConeCpp;
    static constexpr const char* python_name = "PsdConeCpp";
    static constexpr const char* ctor_arg = "dim";
    static constexpr bool ctor_default_one = false;

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("PSD cone dim must be positive");
        // dim*(dim+1)/2 without wrapping: halve the even factor first.
        const u64 rows = dim % 2 == 0 ? checked_count({dim / 2, dim + 1}) : checked_count({dim, dim / 2 + 1});
        return Bound{dim, rows};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.rows; }
};

}  // namespace

void register_psd_cone(nb::module_& m) { bind_cone_class<PsdFamily>(m); }

}  // namespace velkora::torv::cones::cpp
