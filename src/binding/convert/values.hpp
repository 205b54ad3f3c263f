// Argument conversion rules: float sequence, float32 array, unsigned, bool, float.
#pragma once

#include "convert/ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/band_filter.hpp"
#include "streaming/live_stream.hpp"

namespace talvane::py {

// Each conversion raises (ErrSet) with the argument's name in front of an exact
// TypeError ("argument 'data': ..."); other exception types pass unchanged.

// Any sequence but str; each item by the float rule, in iteration order.
std::vector<float> to_float_vector(PyObject* obj, const char* name);

// Exact float read directly, anything else through __float__/__index__; rounded to
// the nearest float32 (beyond its range: infinity).
float to_float(PyObject* obj, const char* name);

// None, or a number read as by the float rule but kept in double (a frequency, not a sample).
std::optional<double> to_optional_double(PyObject* obj, const char* name);

// The threshold rule named by a rule argument: None for the ratio rule, "noise" for the
// noise-relative one; another str is a ValueError, another type a TypeError.
ThresholdRule to_rule(PyObject* rule);

// int, int subclass or __index__, as an unsigned 64-bit word.
std::uint64_t to_unsigned(PyObject* obj, const char* name);

// True, False, or NumPy's boolean scalar.
bool to_bool(PyObject* obj, const char* name);

// A one-dimensional float32 array in native byte order, held for the call and
// read in place. Only the object is kept at conversion: Python code run by a later
// argument's conversion may resize it, reshape it or change its strides or dtype,
// so its shape, data and flags are read by samples(), after the last conversion.
class FloatArray {
public:
    FloatArray(Ref array, const char* name) : array_(std::move(array)), name_(name) {}

    // The elements as they are now. The array must still be a one-dimensional
    // float32 array (else the conversion's TypeError, with the argument's name) and
    // contiguous (else TypeError "The given array is not contiguous", no prefix).
    std::span<const float> samples();

private:
    Ref array_;
    const char* name_;
    std::vector<float> realigned_;  // only for contiguous arrays at an odd address
};

FloatArray to_float_array(PyObject* obj, const char* name);

// Audio given either way: a NumPy array by the array rule (read in place when the
// operation first reads it), anything else by the float-sequence rule. Loads NumPy.
class AnySamples {
public:
    AnySamples(PyObject* obj, const char* name);
    std::span<const float> samples();  // as FloatArray::samples() for an array

private:
    std::optional<FloatArray> array_;
    std::vector<float> converted_;
};

// A chunk of audio as the product API takes it: a NumPy array of float32, float64,
// int16 or int32 samples, one-dimensional (mono) or two-dimensional (frames x
// channels, at least one channel). Read in place when it is C-contiguous, aligned
// and in native byte order, else through one such copy. Refused with the texts of
// talvane_rs.samples.check: TypeError for anything but such an array or for
// another dtype, ValueError for another shape ("<name> must be ..., not ...").
struct AudioFrames {
    Frames frames;
    int ndim = 1;
    Ref array;  // what frames.data points into: the argument, or its copy
};

AudioFrames to_audio_frames(PyObject* obj, const char* name);

// A band as the product API takes it, resolved for sample_rate: None (no band:
// nullopt), a named band's name (fitted to the rate; an unknown name is a ValueError
// naming it) or a (low_hz, high_hz) pair, either edge None (anything else is a
// TypeError). Edges the rate cannot take are a ValueError naming the edge.
std::optional<BandEdges> to_band(PyObject* band, std::uint64_t sample_rate);

}  // namespace talvane::py
