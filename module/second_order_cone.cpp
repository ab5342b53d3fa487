// SecondOrderConeCpp: one second-order (Lorentz) cone {x : x_0 >= ||x_1..n-1||}.
#include <stdexcept>

#include "module/bound_types.hpp"
#include "module/cone_class.hpp"
#include "module/registration.hpp"

namespace velkora::torv::cones::cpp {

namespace {

struct SecondOrderFamily {
    using Bound = BoundSecondOrderConeCpp;
    static constexpr const char* python_name = "SecondOrderConeCpp";
    static constexpr const char* ctor_arg = "dim";
    static constexpr bool ctor_default_one = false;

    static Bound construct(u64 dim) {
        if (dim == 0) throw std::runtime_error("second-order cone dim must be positive");
        return Bound{dim};
    }
    static u64 dim(const Bound& c) { return c.dim; }
    static u64 rows(const Bound& c) { return c.dim; }
};

}  // namespace

void register_second_order_cone(nb::module_& m) { bind_cone_class<SecondOrderFamily>(m); }

}  // namespace velkora::torv::cones::cpp
