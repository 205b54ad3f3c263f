// Building Python results; arrays adopt the result buffer through a holder object.
#include "convert/results.hpp"

#include <array>

#include <new>
#include <variant>

#include "convert/boundary.hpp"
#include "convert/numpy_api.hpp"
#include "convert/once.hpp"
#include "convert/values.hpp"

namespace talvane::py {

namespace {

// The base of every array result: owns the result buffer, in place, and frees it
// when NumPy lets go of the array. One small object per result, with no separate
// allocation for the buffer's bookkeeping.
using HeldBuffer = std::variant<SampleBuffer, FlagBuffer, std::vector<float>, std::vector<std::uint8_t>>;

struct ArrayHolder {
    PyObject_HEAD
    HeldBuffer buffer;
};

void holder_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ArrayHolder*>(self)->buffer.~variant();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* holder_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'talvane_rs.ArrayHolder' instances");
    return nullptr;
}

PyType_Slot holder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(holder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    .name = "talvane_rs.ArrayHolder",
    .basicsize = static_cast<int>(sizeof(ArrayHolder)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = holder_slots,
};

constinit OnceCell<PyObject*> holder_type_cell;

PyTypeObject* holder_type() {
    return reinterpret_cast<PyTypeObject*>(holder_type_cell.get([] {
        return must(PyType_FromSpec(&holder_spec));  // kept for the process
    }));
}

// The array's base: a holder that owns the buffer, freed when NumPy lets go of it.
template <class Buffer>
Ref wrap_buffer(Buffer&& values, PyArray_Descr* descr) {
    using T = typename Buffer::value_type;
    // NULL data would make NumPy allocate its own buffer, so an empty result
    // still gets storage.
    if (values.data() == nullptr) values.reserve(1);
    PyTypeObject* type = holder_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref holder = Ref::steal(must(alloc(type, 0)));
    // Constructed right away: from here on the holder's dealloc frees the buffer.
    auto* slot = new (&reinterpret_cast<ArrayHolder*>(holder.get())->buffer)
        HeldBuffer(std::in_place_type<Buffer>, std::move(values));
    Buffer* owned = &std::get<Buffer>(*slot);
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

Ref music_arrays(std::span<const MusicValues> values) {
    std::vector<float> steadiness(values.size()), novelty(values.size()), factor(values.size());
    for (std::size_t t = 0; t < values.size(); ++t) {
        steadiness[t] = values[t].steadiness;
        novelty[t] = values[t].novelty;
        factor[t] = values[t].factor;
    }
    std::array<Ref, 3> items{float_array(std::move(steadiness)), float_array(std::move(novelty)),
                             float_array(std::move(factor))};
    return tuple(items);
}

Ref frames_array_like(const AudioFrames& like, void*& data) {
    ensure_numpy();
    PyArray_Descr* descr = sample_descr(like.frames.type);
    npy_intp dims[2] = {static_cast<npy_intp>(like.frames.frames), static_cast<npy_intp>(like.frames.channels)};
    Py_INCREF(descr);  // the call below steals it, even when it fails
    Ref array = Ref::steal(must(PyArray_NewFromDescr(&PyArray_Type, descr, like.ndim, dims, nullptr, nullptr, 0,
                                                     nullptr)));
    data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    return array;
}

}  // namespace talvane::py
