// Building Python results; arrays adopt the result buffer through a holder capsule.
#include "convert/results.hpp"

#include "convert/boundary.hpp"
#include "convert/numpy_api.hpp"

namespace talvane::py {

namespace {

template <class Buffer>
constexpr const char* kHolderName = nullptr;
template <>
constexpr const char* kHolderName<SampleBuffer> = "talvane_rs.float32_buffer";
template <>
constexpr const char* kHolderName<FlagBuffer> = "talvane_rs.bool_buffer";
template <>
constexpr const char* kHolderName<std::vector<float>> = "talvane_rs.float32_vector";
template <>
constexpr const char* kHolderName<std::vector<std::uint8_t>> = "talvane_rs.bool_vector";

template <class Buffer>
void free_holder(PyObject* capsule) noexcept {
    delete static_cast<Buffer*>(PyCapsule_GetPointer(capsule, kHolderName<Buffer>));
}

// The array's base: a capsule owning the buffer, freed when NumPy lets go of it.
template <class Buffer>
Ref wrap_buffer(Buffer&& values, PyArray_Descr* descr) {
    using T = typename Buffer::value_type;
    // NULL data would make NumPy allocate its own buffer, so an empty result
    // still gets storage.
    if (values.data() == nullptr) values.reserve(1);
    auto* owned = new Buffer(std::move(values));
    Ref holder = Ref::steal(PyCapsule_New(owned, kHolderName<Buffer>, free_holder<Buffer>));
    if (!holder) {
        delete owned;
        must(nullptr);
    }
    npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    Py_INCREF(descr);  // the call below steals it, even when it fails
    Ref array = Ref::steal(must(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, owned->data(),
                                                     NPY_ARRAY_WRITEABLE, nullptr)));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
        must(nullptr);
    }
    return array;
}

}  // namespace

Ref float_list(std::span<const float> values) {
    Ref list = Ref::steal(must(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = must(PyFloat_FromDouble(static_cast<double>(values[i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

Ref bool_list(std::span<const std::uint8_t> flags) {
    Ref list = Ref::steal(must(PyList_New(static_cast<Py_ssize_t>(flags.size()))));
    for (std::size_t i = 0; i < flags.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(flags[i] != 0 ? Py_True : Py_False));
    }
    return list;
}

Ref float_array(SampleBuffer&& values) {
    ensure_numpy();
    return wrap_buffer(std::move(values), float32_descr());
}

Ref bool_array(FlagBuffer&& flags) {
    ensure_numpy();
    return wrap_buffer(std::move(flags), bool_descr());
}

Ref float_array(std::vector<float>&& values) {
    ensure_numpy();
    return wrap_buffer(std::move(values), float32_descr());
}

Ref bool_array(std::vector<std::uint8_t>&& flags) {
    ensure_numpy();
    return wrap_buffer(std::move(flags), bool_descr());
}

Ref float_value(float value) { return Ref::steal(must(PyFloat_FromDouble(static_cast<double>(value)))); }

Ref text(const char* value) { return Ref::steal(must(PyUnicode_FromString(value))); }

Ref tuple(std::span<Ref> items) {
    Ref out = Ref::steal(must(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return out;
}

Ref unsigned_int(std::uint64_t value) { return Ref::steal(must(PyLong_FromUnsignedLongLong(value))); }

Ref optional_float(std::optional<float> value) { return value.has_value() ? float_value(*value) : none(); }

Ref none() { return Ref::borrow(Py_None); }

}  // namespace talvane::py
