// Argument conversion rules: float sequence, float32 array, unsigned, bool, float.
#pragma once

#include "convert/ref.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace talvane::py {

// Each conversion raises (ErrSet) with the argument's name in front of an exact
// TypeError ("argument 'data': ..."); other exception types pass unchanged.

// Any sequence but str; each item by the float rule, in iteration order.
std::vector<float> to_float_vector(PyObject* obj, const char* name);

// Exact float read directly, anything else through __float__/__index__; rounded to
// the nearest float32 (beyond its range: infinity).
float to_float(PyObject* obj, const char* name);

// int, int subclass or __index__, as an unsigned 64-bit word.
std::uint64_t to_unsigned(PyObject* obj, const char* name);

// True, False, or NumPy's boolean scalar.
bool to_bool(PyObject* obj, const char* name);

// A one-dimensional float32 array in native byte order, held for the call and
// read in place. Contiguity is checked by samples(), when the operation first
// reads the elements.
class FloatArray {
public:
    FloatArray(Ref array, const float* data, std::size_t size, bool contiguous, bool aligned)
        : array_(std::move(array)), data_(data), size_(size), contiguous_(contiguous), aligned_(aligned) {}

    // The elements; TypeError "The given array is not contiguous" (no argument prefix).
    std::span<const float> samples();

private:
    Ref array_;
    const float* data_;
    std::size_t size_;
    bool contiguous_;
    bool aligned_;
    std::vector<float> realigned_;  // only for contiguous arrays at an odd address
};

FloatArray to_float_array(PyObject* obj, const char* name);

}  // namespace talvane::py
