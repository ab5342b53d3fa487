// ExponentialConeCpp: `blocks` consecutive exponential cones
// cl{(x, y, z) : y > 0, y exp(x/y) <= z}, three entries each.
#include <stdexcept>

#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct ExponentialFamily {
    using Bound = BoundExponentialConeCpp;
    static constexpr const char* python_name = "ExponentialConeCpp";
    static constexpr const char* ctor_arg = "blocks";
    static constexpr bool ctor_default_one = true;

    static Bound construct(u64 blocks) {
        if (blocks == 0) throw std::runtime_error("exponential cone block count must be positive");
        checked_count({3, blocks});
        return Bound{blocks};
    }
    static u64 dim(const Bound&) { return 3; }
    static u64 rows(const Bound& c) { return 3 * c.blocks; }
};

}  // namespace

void register_exponential_cone(nb::module_& m) { bind_cone_class<ExponentialFamily>(m); }

}  // namespace velkora::torv::cones::cpp
