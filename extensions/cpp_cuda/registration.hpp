// Registration of the five cone classes and the module-level PSD functions, in the
// order the module exposes them.
#pragma once

#include <nanobind/nanobind.h>

namespace velkora::torv::cones::cpp {

void register_zero_cone(nanobind::module_& m);
void register_nonnegative_cone(nanobind::module_& m);
void register_second_order_cone(nanobind::module_& m);
void register_psd_cone(nanobind::module_& m);
void register_exponential_cone(nanobind::module_& m);

// psd_smat, psd_svec, psd_smat_into, psd_svec_into (after the classes).
void register_psd_functions(nanobind::module_& m);

}  // namespace velkora::torv::cones::cpp
