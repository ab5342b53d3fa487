// Module-level PSD conversions between svec vectors and dense row-major matrices:
// psd_smat / psd_svec (host arrays, new results) and psd_smat_into / psd_svec_into
// (host or device arrays, caller's output).
#include <cstring>
#include <vector>

#include "cuda/psd_cuda.hpp"
#include "host/psd_svec.hpp"
#include "module/psd_sizes.hpp"
#include "module/registration.hpp"
#include "module/results.hpp"

namespace velkora::torv::cones::cpp {

using device::StreamHandle;

namespace {

// (dim, dim) array of smat(svec); host svec only.
OwnedMatrix psd_smat(const RoVector& svec, u64 dim) {
    auto v = dense_input_view(svec, psd_svec_count(dim), "svec");
    return with_allocation_label(
        "PSD smat", [&] { return dense_to_owned_array(host::psd_smat_host(v.data, dim), dim, "PSD smat"); });
}

// svec of the lower triangle of a host row-major dim x dim matrix, as a new array.
OwnedVector psd_svec(const RoVector& matrix, u64 dim) {
    const u64 count = checked_count({dim, dim});
    auto mv = dense_input_view(matrix, count, "matrix");
    const u64 m = psd_svec_count(dim);
    std::vector<double> packed = with_allocation_label("PSD svec", [&] {
        std::vector<double> copy(mv.data, mv.data + count);
        std::vector<double> result(m);
        host::psd_svec_host(copy.data(), dim, result.data());
        return result;
    });
    double* buffer = zeroed_doubles(m, "PSD svec");
    if (m != 0) std::memcpy(buffer, packed.data(), m * sizeof(double));
    return make_owned_array(buffer, m);
}

// Full dense matrix (both triangles) of svec into output, on the svec's device.
void psd_smat_into(const RoVector& svec, const RwVector& output, u64 dim, StreamHandle stream) {
    auto v = vector_view(svec, psd_svec_count(dim), "svec");
    auto out = vector_view(output, checked_count({dim, dim}), "output");
    const int device = check_input_output_device(v, out);
    const bool on_device = routes_to_device(out);
    check_no_overlap(out, v);
    if (on_device) {
        device::psd_smat_cuda(v.data, out.data, dim, 1, device, stream);
        return;
    }
    // The output shares no memory with the svec (checked above): expanded straight in.
    host::psd_smat_fill(v.data, dim, out.data);
}

// svec of the lower triangle of matrix into output, on the matrix's device.
void psd_svec_into(const RoVector& matrix, const RwVector& output, u64 dim, StreamHandle stream) {
    const u64 count = checked_count({dim, dim});
    auto mv = vector_view(matrix, count, "matrix");
    auto out = vector_view(output, psd_svec_count(dim), "output");
    const int device = check_input_output_device(mv, out);
    const bool on_device = routes_to_device(out);
    check_no_overlap(out, mv);
    if (on_device) {
        device::psd_svec_cuda(mv.data, out.data, dim, 1, device, stream);
        return;
    }
    // The output shares no memory with the matrix (checked above): packed straight in.
    host::psd_svec_host(mv.data, dim, out.data);
}

}  // namespace

void register_psd_functions(nb::module_& m) {
    using namespace nb::literals;
    m.def("psd_smat", &psd_smat, "svec"_a.noconvert(), "dim"_a);
    m.def("psd_svec", &psd_svec, "matrix"_a.noconvert(), "dim"_a);
    m.def("psd_smat_into", &psd_smat_into, "svec"_a.noconvert(), "output"_a.noconvert(), "dim"_a, "stream"_a = 0);
    m.def("psd_svec_into", &psd_svec_into, "matrix"_a.noconvert(), "output"_a.noconvert(), "dim"_a, "stream"_a = 0);
}

}  // namespace velkora::torv::cones::cpp
