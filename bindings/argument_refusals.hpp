// The binding's refusal of an argument, told in its TypeError. nanobind refuses an
// argument by failing the call's overload resolution; its TypeError lists the accepted
// signatures but not which argument failed or why. The casters of PlainArray and
// EntryIndex (bindings/views.hpp) record the object they refused (on the calling thread), and
// every function of the module is called through a wrapper that, when the call fails with
// that TypeError, puts one line first: "<parameter> must be <what it takes> (got <what it
// got>)", e.g. "input must be a 1-D C-contiguous float64 array (got float32)". The type,
// the signature table and the signatures themselves are unchanged; successful calls pay
// one indirect call.
#pragma once

#include <nanobind/nanobind.h>

namespace velkora::torv::cones::cpp {

struct ArrayRequirement;

void note_refused_array(PyObject* object, const ArrayRequirement& requirement) noexcept;
void note_refused_entry_index(PyObject* object) noexcept;
// Installs the wrapper on every function and method of the module and of its classes
// (called once, after everything is registered).
void explain_argument_refusals(nanobind::module_& module);

}  // namespace velkora::torv::cones::cpp
