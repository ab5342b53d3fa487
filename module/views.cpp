// Checks of array arguments and of their placement.
#include "module/views.hpp"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cuda/device_api.hpp"

// The array object's own fields (data, dimensions, strides, flags, element type) only: no
// NumPy C-API function is called, so nothing needs importing.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

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

bool is_masked_array(PyObject* object) noexcept {
    // NumPy's own array type is a static type: the common case costs one flag test.
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE) == 0) return false;
    PyObject* name = PyUnicode_FromString("numpy.ma");
    PyObject* ma = name != nullptr ? PyImport_GetModule(name) : nullptr;
    Py_XDECREF(name);
    if (ma == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* masked = PyObject_GetAttrString(ma, "MaskedArray");
    Py_DECREF(ma);
    if (masked == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool result = PyType_Check(masked) && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(masked));
    Py_DECREF(masked);
    return result;
}

namespace {

// NumPy's array type and the element types a parameter takes, looked up once, the first
// time an object whose type calls itself "numpy.ndarray" arrives (NumPy is loaded then; it
// is never imported from here). Built-in NumPy element types are singletons: an array of
// native float64 entries points at the very descriptor numpy.dtype("float64") returns
// (an array holding an equal copy takes the general path).
struct NumpyTypes {
    PyTypeObject* ndarray = nullptr;
    PyObject* float64 = nullptr;
    PyObject* int64 = nullptr;
};
enum class Lookup { kNotYet, kDone, kFailed };
NumpyTypes numpy_types;
Lookup numpy_lookup = Lookup::kNotYet;

void look_up_numpy_types(PyTypeObject* candidate) noexcept {
    numpy_lookup = Lookup::kFailed;
    PyObject* name = PyUnicode_FromString("numpy");
    PyObject* module = name != nullptr ? PyImport_GetModule(name) : nullptr;
    Py_XDECREF(name);
    if (module == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* ndarray = PyObject_GetAttrString(module, "ndarray");
    PyObject* dtype = PyObject_GetAttrString(module, "dtype");
    PyObject* float64 = dtype != nullptr ? PyObject_CallFunction(dtype, "s", "float64") : nullptr;
    PyObject* int64 = dtype != nullptr ? PyObject_CallFunction(dtype, "s", "int64") : nullptr;
    Py_DECREF(module);
    Py_XDECREF(dtype);
    if (ndarray == reinterpret_cast<PyObject*>(candidate) && float64 != nullptr && int64 != nullptr) {
        // Kept for the life of the process, like NumPy's own singletons.
        numpy_types.ndarray = candidate;
        numpy_types.float64 = float64;
        numpy_types.int64 = int64;
        numpy_lookup = Lookup::kDone;
        Py_DECREF(ndarray);
        return;
    }
    PyErr_Clear();
    Py_XDECREF(ndarray);
    Py_XDECREF(float64);
    Py_XDECREF(int64);
}

}  // namespace

bool read_numpy_array(PyObject* object, const ArrayRequirement& requirement, void** data, u64* size) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if (numpy_lookup != Lookup::kDone) {
        if (numpy_lookup == Lookup::kFailed || std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
        look_up_numpy_types(type);
        if (numpy_lookup != Lookup::kDone) return false;
    }
    if (type != numpy_types.ndarray) return false;
    const auto* array = reinterpret_cast<const PyArrayObject_fields*>(object);
    PyObject* wanted = requirement.dtype == nb::dtype<double>()         ? numpy_types.float64
                       : requirement.dtype == nb::dtype<std::int64_t>() ? numpy_types.int64
                                                                        : nullptr;
    if (wanted == nullptr || reinterpret_cast<PyObject*>(array->descr) != wanted || array->nd != 1) return false;
    if (requirement.writable && (array->flags & NPY_ARRAY_WRITEABLE) == 0) return false;
    const npy_intp count = array->dimensions[0];
    if (count > 1 && array->strides[0] != static_cast<npy_intp>(requirement.dtype.bits / 8)) return false;
    *data = array->data;
    *size = static_cast<u64>(count);
    return true;
}

// --- The reason of a binding refusal, put first in its TypeError ---

namespace {

// The argument a caster refused last on this thread: the object (borrowed; only compared
// with the arguments of the failing call, which keep it alive) and what the parameter
// takes (nullptr: an entry index).
struct RefusedArgument {
    PyObject* object = nullptr;
    const ArrayRequirement* array = nullptr;
};
thread_local RefusedArgument last_refusal;

// DLPack managed tensors as the DLPack ABI lays them out: the unversioned one begins with
// its tensor, the versioned one has version, context, deleter and flags first.
struct DlpackVersioned {
    std::uint32_t major, minor;
    void* manager_ctx;
    void (*deleter)(void*);
    std::uint64_t flags;
    nb::dlpack::dltensor tensor;
};
constexpr std::uint64_t kDlpackReadOnly = 1;

std::string dtype_name(nb::dlpack::dtype t) {
    using code = nb::dlpack::dtype_code;
    const char* prefix = "";
    switch (static_cast<code>(t.code)) {
        case code::Int: prefix = "int"; break;
        case code::UInt: prefix = "uint"; break;
        case code::Float: prefix = "float"; break;
        case code::Bfloat: prefix = "bfloat"; break;
        case code::Complex: prefix = "complex"; break;
        case code::Bool: return "bool";
        default: return "an element type of DLPack code " + std::to_string(t.code);
    }
    std::string name = prefix + std::to_string(t.bits);
    if (t.lanes != 1) name += "x" + std::to_string(t.lanes);
    return name;
}

std::string requirement_text(const ArrayRequirement& r) {
    return std::string(r.writable ? "a writable " : "a ") + "1-D C-contiguous " + dtype_name(r.dtype) + " array";
}

// How a tensor differs from what the parameter takes ("" when it does not: then the
// refusal has a reason the metadata does not show, and the line says only what is taken).
std::string tensor_difference(const nb::dlpack::dltensor& t, bool read_only, const ArrayRequirement& r) {
    std::string got;
    auto add = [&got](const std::string& part) { got += (got.empty() ? "" : ", ") + part; };
    if (t.dtype != r.dtype) add(dtype_name(t.dtype));
    if (t.ndim != 1) {
        add("a " + std::to_string(t.ndim) + "-D array");
    } else if (t.shape[0] > 1 && t.strides != nullptr && t.strides[0] != 1) {
        add("a non-contiguous array (a step of " + std::to_string(t.strides[0]) + " entries)");
    }
    if (r.writable && read_only) add("a read-only array");
    return got;
}

// What the object is, as far as it differs from an array the parameter takes.
std::string refused_array_difference(PyObject* object, const ArrayRequirement& r) {
    if (is_masked_array(object)) return "a masked array: its mask says which entries count";
    if (PyCapsule_CheckExact(object)) {
        // Read in place: importing would consume the caller's capsule.
        if (PyCapsule_IsValid(object, "dltensor"))
            return tensor_difference(*static_cast<nb::dlpack::dltensor*>(PyCapsule_GetPointer(object, "dltensor")),
                                     false, r);
        if (PyCapsule_IsValid(object, "dltensor_versioned")) {
            auto* m = static_cast<DlpackVersioned*>(PyCapsule_GetPointer(object, "dltensor_versioned"));
            return tensor_difference(m->tensor, (m->flags & kDlpackReadOnly) != 0, r);
        }
        return "a capsule that holds no unused DLPack tensor";
    }
    nb::ndarray<nb::ro> any;
    if (!nb::try_cast(nb::handle(object), any, false)) return Py_TYPE(object)->tp_name;
    nb::ndarray<> writable;
    const bool read_only = r.writable && !nb::try_cast(nb::handle(object), writable, false);
    nb::dlpack::dltensor t{};
    t.ndim = static_cast<std::int32_t>(any.ndim());
    t.dtype = any.dtype();
    std::int64_t shape = any.ndim() == 1 ? any.shape(0) : 0, stride = any.ndim() == 1 ? any.stride(0) : 1;
    t.shape = &shape;
    t.strides = &stride;
    return tensor_difference(t, read_only, r);
}

// Parameter names of a function in order ("self" first for methods), from the signature
// nanobind renders: "def name(a: T, b: U = \0) -> R".
std::vector<std::string> parameter_names(PyObject* function) {
    std::vector<std::string> names;
    PyObject* signatures = PyObject_GetAttrString(function, "__nb_signature__");
    if (signatures == nullptr) {
        PyErr_Clear();
        return names;
    }
    PyObject* first = PyTuple_Check(signatures) && PyTuple_GET_SIZE(signatures) > 0 ? PyTuple_GET_ITEM(signatures, 0)
                                                                                    : nullptr;
    PyObject* text = first != nullptr && PyTuple_Check(first) && PyTuple_GET_SIZE(first) > 0
                         ? PyTuple_GET_ITEM(first, 0)
                         : nullptr;
    const char* sig = text != nullptr && PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (sig == nullptr) PyErr_Clear();
    const char* p = sig != nullptr ? std::strchr(sig, '(') : nullptr;
    if (p != nullptr) {
        int depth = 0;
        char quote = 0;
        std::string item;
        auto finish = [&] {
            std::size_t b = item.find_first_not_of(" *");
            std::size_t e = item.find_first_of(":= ", b == std::string::npos ? 0 : b);
            std::string name = b == std::string::npos ? "" : item.substr(b, e == std::string::npos ? e : e - b);
            if (!name.empty() && name != "/") names.push_back(name);
            item.clear();
        };
        for (++p; *p != '\0'; ++p) {
            const char ch = *p;
            if (quote != 0) {
                if (ch == quote) quote = 0;
            } else if (ch == '\'' || ch == '"') {
                quote = ch;
            } else if (ch == '[' || ch == '(' || ch == '{') {
                ++depth;
            } else if (ch == ']' || ch == '}' || (ch == ')' && depth > 0)) {
                --depth;
            } else if (ch == ')') {
                finish();
                break;
            } else if (ch == ',' && depth == 0) {
                finish();
                continue;
            }
            item += ch;
        }
    }
    Py_DECREF(signatures);
    return names;
}

// The parameter the refused object was passed for: a positional argument by position,
// a keyword argument by its keyword (the first in parameter order when the object was
// passed more than once).
std::string refused_parameter(PyObject* function, PyObject* object, PyObject* const* args, std::size_t nargs,
                              PyObject* kwnames) {
    const std::vector<std::string> names = parameter_names(function);
    for (std::size_t i = 0; i < nargs && i < names.size(); ++i)
        if (args[i] == object) return names[i];
    std::string found;
    std::size_t found_at = SIZE_MAX;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (args[nargs + static_cast<std::size_t>(j)] != object) continue;
        const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, j));
        if (key == nullptr) {
            PyErr_Clear();
            continue;
        }
        std::size_t at = SIZE_MAX - 1;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (names[k] == key) at = k;
        if (at < found_at) {
            found = key;
            found_at = at;
        }
    }
    return found;
}

// After a failed call: when the pending error is the binding's TypeError of a refused
// argument that a caster of ours recorded, put the reason first.
void explain_refusal(PyObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const RefusedArgument refused = last_refusal;
    last_refusal = RefusedArgument{};
    if (refused.object == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* message = PyObject_Str(error);
    const char* old_text = message != nullptr ? PyUnicode_AsUTF8(message) : nullptr;
    std::string line;
    if (old_text != nullptr && std::strstr(old_text, "(): incompatible function arguments") != nullptr) {
        // nanobind's extended call ABI may carry a flag in the bit below the offset flag.
        const std::size_t nargs =
            static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) & ~(PY_VECTORCALL_ARGUMENTS_OFFSET >> 1);
        const std::string name = refused_parameter(function, refused.object, args, nargs, kwnames);
        if (!name.empty()) {
            if (refused.array == nullptr) {
                line = name + " must be an integer, not a bool";
            } else {
                const std::string got = refused_array_difference(refused.object, *refused.array);
                line = name + " must be " + requirement_text(*refused.array);
                if (!got.empty()) line += " (got " + got + ")";
            }
        }
    }
    if (PyErr_Occurred()) PyErr_Clear();  // nothing above may replace the call's own error
    if (line.empty()) {
        Py_XDECREF(message);
        PyErr_SetRaisedException(error);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s\n%s", line.c_str(), old_text);
    Py_XDECREF(message);
    Py_DECREF(error);
}

// Every nanobind function object holds the pointer its calls go through (the vectorcall
// slot, at the offset its type publishes). nanobind chooses among a few call paths; each
// original path gets one wrapper instance.
constexpr int kCallPaths = 8;
vectorcallfunc original_call[kCallPaths];

template <int Path>
PyObject* call_explaining_refusals(PyObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    last_refusal = RefusedArgument{};  // a record left by an earlier call that succeeded names nothing here
    PyObject* result = original_call[Path](function, args, nargsf, kwnames);
    if (result == nullptr) explain_refusal(function, args, nargsf, kwnames);
    return result;
}

template <int... Paths>
constexpr std::array<vectorcallfunc, kCallPaths> wrappers(std::integer_sequence<int, Paths...>) {
    return {&call_explaining_refusals<Paths>...};
}
constexpr std::array<vectorcallfunc, kCallPaths> kWrappers = wrappers(std::make_integer_sequence<int, kCallPaths>());

bool is_binding_function(PyObject* object) {
    const char* type = Py_TYPE(object)->tp_name;
    return Py_TYPE(object)->tp_vectorcall_offset > 0 &&
           (std::strcmp(type, "nanobind.nb_func") == 0 || std::strcmp(type, "nanobind.nb_method") == 0 ||
            std::strcmp(type, "nb_func") == 0 || std::strcmp(type, "nb_method") == 0);
}

void wrap_calls(PyObject* function) {
    auto* slot = reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(function) +
                                                   Py_TYPE(function)->tp_vectorcall_offset);
    const vectorcallfunc original = *slot;
    for (int path = 0; path < kCallPaths; ++path) {
        if (original == kWrappers[static_cast<std::size_t>(path)]) return;  // wrapped already
        if (original_call[path] == nullptr) original_call[path] = original;
        if (original_call[path] == original) {
            *slot = kWrappers[static_cast<std::size_t>(path)];
            return;
        }
    }
    // More call paths than wrappers: this function keeps nanobind's message as it is.
}

void wrap_namespace(PyObject* dict) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (is_binding_function(value)) {
            wrap_calls(value);
        } else if (PyType_Check(value)) {
            PyObject* members = PyType_GetDict(reinterpret_cast<PyTypeObject*>(value));
            if (members != nullptr) {
                wrap_namespace(members);
                Py_DECREF(members);
            }
        }
    }
}

}  // namespace

void note_refused_array(PyObject* object, const ArrayRequirement& requirement) noexcept {
    last_refusal = RefusedArgument{object, &requirement};
}

void note_refused_entry_index(PyObject* object) noexcept { last_refusal = RefusedArgument{object, nullptr}; }

void explain_argument_refusals(nb::module_& module) { wrap_namespace(PyModule_GetDict(module.ptr())); }

}  // namespace velkora::torv::cones::cpp
