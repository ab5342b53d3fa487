// Direct reads of NumPy array objects for the array casters: the masked-array test and the
// first element and entry count of an exact NumPy array that a parameter takes as it is.
#include <cstring>

#include "bindings/views.hpp"

// The array object's own fields (data, dimensions, strides, flags, element type) only: no
// NumPy C-API function is called, so nothing needs importing.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

namespace velkora::torv::cones::cpp {

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

}  // namespace velkora::torv::cones::cpp
