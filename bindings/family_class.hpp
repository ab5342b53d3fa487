// The scaffolding of a class written once over a family description F, in both modules: the
// class itself, its constructor from one size argument, its read-only sizes, and the optional
// members of F with their defaults. F supplies Bound, python_name and construct(size), and
// ctor_arg with ctor_default_one (the constructor's argument name and whether it defaults
// to 1; "dim" without default from FamilyDefaults).
#pragma once

#include <new>

#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

// The members a family description may leave out, with their defaults: a family derives
// from this (or from its module's extension of it) and declares only what differs, its own
// member hiding the default.
struct FamilyDefaults {
    static constexpr const char* ctor_arg = "dim";
    static constexpr bool ctor_default_one = false;
};

// The class F::python_name (`extra`: its docstring, or nothing) with __init__(self, <arg>)
// (<arg> = 1 where it defaults to 1) constructing F::construct(<arg>).
template <class F, class... Extra>
nb::class_<typename F::Bound> bind_family_class(nb::module_& m, const Extra&... extra) {
    using B = typename F::Bound;
    nb::class_<B> cls(m, F::python_name, extra...);
    auto init = [](B* self, u64 size) { new (self) B(F::construct(size)); };
    if constexpr (F::ctor_default_one)
        cls.def("__init__", init, nb::arg(F::ctor_arg) = 1);
    else
        cls.def("__init__", init, nb::arg(F::ctor_arg));
    return cls;
}

// A read-only size `name` of the class: Get(c) (`extra`: its docstring, or nothing).
template <auto Get, class B, class... Extra>
void def_size(nb::class_<B>& cls, const char* name, const Extra&... extra) {
    cls.def_prop_ro(name, [](const B& c) { return Get(c); }, extra...);
}

}  // namespace velkora::torv::cones::cpp
