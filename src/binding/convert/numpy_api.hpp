// NumPy's C API, loaded from its capsule on first need. Include this, never NumPy directly.
#pragma once

#include "convert/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL talvane_rs_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest NumPy the module loads with, whatever NumPy's headers built it: the
// floor that pyproject.toml declares. API newer than it does not compile.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#ifndef TALVANE_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "streaming/live_stream.hpp"

namespace talvane::py {

// Loads the function table once per process; a failed load is tried again at the
// next call. Failure: InternalFailure whose text begins
// "Failed to access NumPy array API capsule".
void ensure_numpy();

// Descriptors kept for the whole process (borrowed; NumPy loaded first).
PyArray_Descr* float32_descr();
PyArray_Descr* bool_descr();
PyArray_Descr* sample_descr(SampleType type);  // float32, float64, int16 or int32, native byte order

}  // namespace talvane::py
