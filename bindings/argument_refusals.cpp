// The reason of a binding refusal, put first in its TypeError: the casters' record of the
// refused argument, the text of what the parameter takes and what it got, and the wrapper
// around the call slot of every nanobind function object of a module, which finds the
// refused parameter's name in the signature text nanobind renders.
#include "bindings/argument_refusals.hpp"

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bindings/views.hpp"

namespace velkora::torv::cones::cpp {

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
