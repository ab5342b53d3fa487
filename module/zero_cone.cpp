// ZeroConeCpp: the zero cone {0} (equality constraints).
#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct ZeroFamily {
    using Bound = BoundZeroConeCpp;
    static constexpr const char* python_name = "ZeroConeCpp";
    static constexpr const char* ctor_arg = "dim";
    static constexpr bool ctor_default_one = false;

    static Bound construct(u64 dim) { return Bound{dim}; }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }
};

}  // namespace

void register_zero_cone(nb::module_& m) { bind_cone_class<ZeroFamily>(m); }

}  // namespace velkora::torv::cones::cpp
