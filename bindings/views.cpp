// Checks of array arguments and of their placement: entry counts, device kinds, alignment,
// same-device rules, the route of a call and the rule on arrays that share memory.
#include "bindings/views.hpp"

#include <stdexcept>
#include <string>

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::cpp {

u64 checked_count(std::initializer_list<u64> factors) {
    u64 product = 1;
    bool overflow = false;
    for (u64 f : factors) {
        if (f == 0) return 0;
        overflow |= __builtin_mul_overflow(product, f, &product);
    }
    if (overflow) throw std::runtime_error("expected entry count overflows 64-bit unsigned arithmetic");
    return product;
}

void check_entry_count(u64 actual, u64 expected, const char* name) {
    if (actual != expected)
        throw std::runtime_error(std::string(name) + " expected " + std::to_string(expected) + " entries, got " +
                                 std::to_string(actual));
}

void check_device_kind(std::int32_t device_type, const char* name) {
    if (device_type != kDeviceCpu && device_type != kDeviceCuda)
        throw std::runtime_error(std::string(name) + " must be on CPU or CUDA");
}

void check_alignment(const void* data, const char* name) {
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) != 0)
        throw std::runtime_error(std::string(name) + " must be 8-byte aligned");
}

VectorView<const std::int64_t> index_vector_view(const IndexVector& array, const char* name) {
    return checked_view(array, name);
}

VectorView<const double> dense_input_view(const RoVector& array, u64 expected, const char* name) {
    auto view = vector_view(array, expected, name);
    if (view.is_cuda()) throw std::runtime_error(std::string(name) + " must be a CPU vector for dense NT scaling");
    return view;
}

VectorView<double> dense_output_view(const RwVector& array, u64 expected, const char* name) {
    auto view = vector_view(array, expected, name);
    if (view.is_cuda()) throw std::runtime_error(std::string(name) + " must be a CPU vector for dense helper output");
    return view;
}

static bool same_device(const Placement& a, const Placement& b) {
    return a.device_type == b.device_type && a.device_id == b.device_id;
}

void check_inputs_same_device(const Placement& a, const Placement& b) {
    if (!same_device(a, b)) throw std::runtime_error("input vectors must live on the same device");
}

int check_input_output_device(const Placement& input, const Placement& output) {
    if (!same_device(input, output)) throw std::runtime_error("input and output must live on the same device");
    return input.device_id;
}

void check_index_device(const Placement& cone_vectors, const Placement& index, const char* which) {
    if (!same_device(cone_vectors, index))
        throw std::runtime_error(std::string(which) + " must live on the same device as the cone vectors");
}

void require_cuda_runtime() {
    if (!device::cuda_device_available()) throw std::runtime_error("CUDA runtime is required for CUDA cone arrays");
}

bool routes_to_device(const Placement& deciding) {
    if (!deciding.is_cuda()) return false;
    require_cuda_runtime();
    return true;
}

void check_apart(const ByteRange& output, const ByteRange& input, bool in_place) {
    if (!same_device(output, input)) return;
    if (output.first >= output.end || input.first >= input.end) return;  // empty
    if (output.first >= input.end || input.first >= output.end) return;  // disjoint
    if (in_place && output.first == input.first && output.end == input.end) return;
    throw std::runtime_error(std::string(output.name) + " overlaps " + input.name);
}

}  // namespace velkora::torv::cones::cpp
