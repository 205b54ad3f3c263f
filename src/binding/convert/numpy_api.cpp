// Lazy loading of NumPy's C API table and the descriptors the module reuses.
#define TALVANE_OWNS_NUMPY_API
#include "convert/numpy_api.hpp"

#include <string>

#include "convert/boundary.hpp"
#include "convert/once.hpp"

namespace talvane::py {

namespace {

constinit OnceCell<void**> api_cell;
constinit OnceCell<PyArray_Descr*> float32_cell;
constinit OnceCell<PyArray_Descr*> bool_cell;
constinit OnceCell<PyArray_Descr*> float64_cell, int16_cell, int32_cell;

[[noreturn]] void load_failed(const std::string& why) {
    throw InternalFailure("Failed to access NumPy array API capsule: " + why);
}

// The pending Python error as a failed load; an interrupt or exit met while
// loading (KeyboardInterrupt, SystemExit: not Exceptions) passes through as itself.
[[noreturn]] void python_load_failed() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrSet{};
    load_failed(take_error_text());
}

Ref import_or_fail(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) python_load_failed();
    return module;
}

Ref attr_or_fail(PyObject* o, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(o, name));
    if (!value) python_load_failed();
    return value;
}

// Mirrors the checks NumPy's own loader makes: capsule type, a table, ABI and
// feature versions, byte order. The table is published only when all pass.
void** load_table() {
    Ref numpy = import_or_fail("numpy");
    Ref version = attr_or_fail(numpy.get(), "__version__");
    Ref lib = import_or_fail("numpy.lib");
    Ref parser = attr_or_fail(lib.get(), "NumpyVersion");
    Ref parsed = Ref::steal(PyObject_CallOneArg(parser.get(), version.get()));
    if (!parsed) python_load_failed();
    Ref major_obj = attr_or_fail(parsed.get(), "major");
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) python_load_failed();

    Ref multiarray = import_or_fail(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    Ref capsule = attr_or_fail(multiarray.get(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(capsule.get())) load_failed("_ARRAY_API is not a PyCapsule object");
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        if (PyErr_Occurred()) load_failed(take_error_text());
        load_failed("_ARRAY_API is a NULL pointer");
    }

    // The macros below read the table through PyArray_API; set it for the checks
    // and take it back if one fails.
    PyArray_API = table;
    const unsigned int abi = PyArray_GetNDArrayCVersion();
    const int feature = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    const int endian = PyArray_GetEndianness();
    PyArray_API = nullptr;
    if (NPY_VERSION < abi) {
        load_failed("module compiled against ABI version " + std::to_string(NPY_VERSION) +
                    " but this NumPy has " + std::to_string(abi));
    }
    if (NPY_FEATURE_VERSION > feature) {
        load_failed("module compiled against C-API version " + std::to_string(NPY_FEATURE_VERSION) +
                    " but the running NumPy has " + std::to_string(feature));
    }
#if NPY_BYTE_ORDER == NPY_LITTLE_ENDIAN
    if (endian != NPY_CPU_LITTLE) load_failed("byte order differs from the one compiled for");
#else
    if (endian != NPY_CPU_BIG) load_failed("byte order differs from the one compiled for");
#endif
    PyArray_RUNTIME_VERSION = feature;
    PyArray_API = table;
    return table;
}

}  // namespace

void ensure_numpy() { api_cell.get(load_table); }

PyArray_Descr* float32_descr() {
    return float32_cell.get([] { return reinterpret_cast<PyArray_Descr*>(must(
                                     reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT)))); });
}

namespace {

PyArray_Descr* kept_descr(OnceCell<PyArray_Descr*>& cell, int type_num) {
    return cell.get([type_num] {
        return reinterpret_cast<PyArray_Descr*>(must(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num))));
    });
}

}  // namespace

PyArray_Descr* sample_descr(SampleType type) {
    switch (type) {
        case SampleType::f32: return float32_descr();
        case SampleType::f64: return kept_descr(float64_cell, NPY_FLOAT64);
        case SampleType::i16: return kept_descr(int16_cell, NPY_INT16);
        case SampleType::i32: return kept_descr(int32_cell, NPY_INT32);
    }
    throw InternalFailure("unknown sample type");
}

PyArray_Descr* bool_descr() {
    return bool_cell.get([] { return reinterpret_cast<PyArray_Descr*>(must(
                                  reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_BOOL)))); });
}

}  // namespace talvane::py
