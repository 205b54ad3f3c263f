// Conversion of Python arguments into the gate's own types.
#include "convert/values.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "convert/boundary.hpp"
#include "convert/numpy_api.hpp"
#include "convert/once.hpp"

namespace talvane::py {

namespace {

// A list or tuple holds the items it reports, so its length is reserved in full.
// Any other sequence may claim far more items than it has: at most this much is
// reserved up front for it, and the vector grows as items arrive.
constexpr Py_ssize_t kMaxReserveClaimed = Py_ssize_t{1} << 20;  // floats

constinit OnceCell<PyObject*> sequence_cell;

// Replaces a pending exact TypeError with "argument '<name>': <message>", keeping
// its __cause__, then reports the failure.
[[noreturn]] void argument_failed(const char* name) {
    if (PyErr_Occurred() != PyExc_TypeError) throw ErrSet{};
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, v.get()));
    if (!message) throw ErrSet{};
    Ref replaced = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replaced) throw ErrSet{};
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(replaced.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replaced.get());
    throw ErrSet{};
}

// Looks the name up as an interned string. The interpreter's type attribute cache
// keeps a reference to the name object it was asked with, in a slot chosen by its
// address, so a fresh string per call would be kept there, one per slot it lands in.
Ref attribute(PyObject* o, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? Ref::steal(PyObject_GetAttr(o, key.get())) : Ref();
}

std::string qualname(PyObject* type) {
    Ref name = attribute(type, "__qualname__");
    const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8;
}

std::string type_qualname(PyObject* obj) {
    return qualname(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

[[noreturn]] void cannot_cast(PyObject* obj, const std::string& target, const char* name) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", type_qualname(obj).c_str(),
                 target.c_str());
    argument_failed(name);
}

std::string sequence_name() {
    PyObject* sequence = sequence_cell.get([] {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) throw ErrSet{};
        return must(PyObject_GetAttrString(abc.get(), "Sequence"));  // kept for the process
    });
    return qualname(sequence);
}

float narrow(double d) {
    // Rounds to nearest like the hardware; doubles at or past the midpoint above
    // FLT_MAX overflow to infinity, which a plain cast leaves undefined.
    if (std::fabs(d) >= 0x1.ffffffp127) return d > 0.0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(d);
}

bool is_numpy_bool_type(PyTypeObject* type) {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    Ref module = attribute(t, "__module__");
    Ref type_name = attribute(t, "__name__");
    if (!module || !type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           PyUnicode_Check(type_name.get()) &&
           (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0);
}

}  // namespace

std::vector<float> to_float_vector(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        argument_failed(name);
    }
    if (!PySequence_Check(obj)) cannot_cast(obj, sequence_name(), name);

    std::vector<float> out;
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) PyErr_Clear();
    const bool real_length = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    if (hint > 0) out.reserve(static_cast<std::size_t>(real_length ? hint : std::min(hint, kMaxReserveClaimed)));

    if (PyList_CheckExact(obj)) {
        // Same items as the list's iterator would give, without its overhead; the
        // size is read again each step since an item's __float__ may change it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            if (PyFloat_CheckExact(item.get())) {
                out.push_back(narrow(PyFloat_AS_DOUBLE(item.get())));
                continue;
            }
            double d = PyFloat_AsDouble(item.get());
            if (d == -1.0 && PyErr_Occurred()) argument_failed(name);
            out.push_back(narrow(d));
        }
        return out;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) argument_failed(name);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        double d = PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get()) : PyFloat_AsDouble(item.get());
        if (d == -1.0 && PyErr_Occurred()) argument_failed(name);
        out.push_back(narrow(d));
    }
    if (PyErr_Occurred()) argument_failed(name);
    return out;
}

float to_float(PyObject* obj, const char* name) {
    double d = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) argument_failed(name);
    return narrow(d);
}

std::optional<double> to_optional_double(PyObject* obj, const char* name) {
    if (obj == Py_None) return std::nullopt;
    double d = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) argument_failed(name);
    return d;
}

std::uint64_t to_unsigned(PyObject* obj, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) argument_failed(name);
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_failed(name);
    return value;
}

bool to_bool(PyObject* obj, const char* name) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool_type(type)) cannot_cast(obj, "bool", name);
    inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        argument_failed(name);
    }
    int truth = nb_bool(obj);
    if (truth < 0) argument_failed(name);
    return truth != 0;
}

namespace {

// The array-conversion rule: a one-dimensional ndarray whose dtype is float32.
void check_float_array(PyObject* obj, const char* name) {
    ensure_numpy();
    if (!PyArray_Check(obj)) cannot_cast(obj, qualname(reinterpret_cast<PyObject*>(&PyArray_Type)), name);
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    // Most float32 arrays share NumPy's own float32 descriptor: no need to ask then.
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyArray_NDIM(array) != 1 || (descr != float32_descr() && !PyArray_EquivTypes(descr, float32_descr()))) {
        cannot_cast(obj, qualname(reinterpret_cast<PyObject*>(&PyArray_Type)), name);
    }
}

}  // namespace

FloatArray to_float_array(PyObject* obj, const char* name) {
    check_float_array(obj, name);
    return FloatArray(Ref::borrow(obj), name);
}

std::span<const float> FloatArray::samples() {
    check_float_array(array_.get(), name_);
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    const auto size = static_cast<std::size_t>(PyArray_DIM(array, 0));
    if ((PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) == 0) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        throw ErrSet{};
    }
    const auto* data = static_cast<const float*>(PyArray_DATA(array));
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0 || size == 0) return {data, size};
    // A float read through a misaligned pointer is undefined behaviour; such
    // arrays (views at an odd byte offset) are read through one aligned copy.
    realigned_.resize(size);
    std::memcpy(realigned_.data(), data, size * sizeof(float));
    return realigned_;
}

AnySamples::AnySamples(PyObject* obj, const char* name) {
    ensure_numpy();
    if (PyArray_Check(obj)) {
        array_.emplace(to_float_array(obj, name));
    } else {
        converted_ = to_float_vector(obj, name);
    }
}

namespace {

constexpr const char* kAccepted =
    "a NumPy array of float32, float64, int16 or int32 samples, one-dimensional (mono) or two-dimensional "
    "(frames x channels)";

// The sample type of an array's dtype, by kind and size (so that int32 is found
// whichever C type NumPy names it by), or nullopt for any other dtype.
std::optional<SampleType> sample_type_of(PyArray_Descr* descr) {
    const npy_intp size = PyDataType_ELSIZE(descr);
    if (descr->kind == 'f' && size == 4) return SampleType::f32;
    if (descr->kind == 'f' && size == 8) return SampleType::f64;
    if (descr->kind == 'i' && size == 2) return SampleType::i16;
    if (descr->kind == 'i' && size == 4) return SampleType::i32;
    return std::nullopt;
}

std::string shape_text(PyArrayObject* array) {
    std::string text;
    for (int d = 0; d < PyArray_NDIM(array); ++d) {
        if (d > 0) text += 'x';
        text += std::to_string(PyArray_DIM(array, d));
    }
    return text.empty() ? "0-dimensional" : text;
}

}  // namespace

AudioFrames to_audio_frames(PyObject* obj, const char* name) {
    ensure_numpy();
    if (!PyArray_Check(obj)) {
        Ref type_name = attribute(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
        if (!type_name) throw ErrSet{};
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %S", name, kAccepted, type_name.get());
        throw ErrSet{};
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const std::optional<SampleType> type = sample_type_of(PyArray_DESCR(array));
    if (!type) {
        PyErr_Format(PyExc_TypeError, "%s must be %s, not an array of %S", name, kAccepted,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        throw ErrSet{};
    }
    const int ndim = PyArray_NDIM(array);
    if (ndim < 1 || ndim > 2 || (ndim == 2 && PyArray_DIM(array, 1) == 0)) {
        PyErr_Format(PyExc_ValueError, "%s must be %s, not an array of shape %s", name, kAccepted,
                     shape_text(array).c_str());
        throw ErrSet{};
    }
    AudioFrames out;
    out.ndim = ndim;
    if (PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array)) {
        out.array = Ref::borrow(obj);
    } else {
        PyArray_Descr* native = sample_descr(*type);
        Py_INCREF(native);  // the call below steals it, even when it fails
        out.array = Ref::steal(PyArray_FromAny(obj, native, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
        if (!out.array) throw ErrSet{};
        array = reinterpret_cast<PyArrayObject*>(out.array.get());
    }
    out.frames.data = PyArray_DATA(array);
    out.frames.type = *type;
    out.frames.frames = static_cast<std::size_t>(PyArray_DIM(array, 0));
    out.frames.channels = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(array, 1)) : 1;
    return out;
}

std::optional<BandEdges> to_band(PyObject* band, std::uint64_t sample_rate) {
    if (band == Py_None) return std::nullopt;
    std::optional<BandEdges> edges;
    if (PyUnicode_Check(band)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(band, &length);
        if (text == nullptr) throw ErrSet{};
        edges = band_preset(std::string_view(text, static_cast<std::size_t>(length)), sample_rate);
        if (!edges) {
            std::string names;
            for (const BandPreset& preset : kBandPresets) {
                if (!names.empty()) names += ", ";
                names.append("'").append(preset.name).append("'");
            }
            PyErr_Format(PyExc_ValueError, "unknown band %R: a named band (%s) or a (low_hz, high_hz) pair", band,
                         names.c_str());
            throw ErrSet{};
        }
    } else {
        // Any iterable of two items, as unpacking takes it.
        Ref pair = Ref::steal(PySequence_Tuple(band));
        if (!pair && !PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrSet{};
        if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "band must be a band name or a (low_hz, high_hz) pair, not %R", band);
            throw ErrSet{};
        }
        edges = BandEdges{to_optional_double(PyTuple_GET_ITEM(pair.get(), 0), "low_hz"),
                          to_optional_double(PyTuple_GET_ITEM(pair.get(), 1), "high_hz")};
    }
    const std::string error = band_edges_error(*edges, sample_rate);
    if (!error.empty()) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        throw ErrSet{};
    }
    return edges;
}

std::span<const float> AnySamples::samples() { return array_ ? array_->samples() : std::span<const float>(converted_); }

ThresholdRule to_rule(PyObject* rule) {
    if (rule == Py_None) return ThresholdRule::ratio;
    if (PyUnicode_Check(rule) && PyUnicode_CompareWithASCIIString(rule, "noise") == 0) return ThresholdRule::noise;
    if (PyUnicode_Check(rule)) {
        PyErr_Format(PyExc_ValueError, "unknown threshold rule %R: None (the gate's own) or 'noise'", rule);
    } else {
        PyErr_Format(PyExc_TypeError, "argument 'rule': expected None or a str, got %.200s", Py_TYPE(rule)->tp_name);
    }
    throw ErrSet{};
}

}  // namespace talvane::py
