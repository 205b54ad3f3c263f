// The band filter in talvane_rs._analysis: the BandFilter class (state carried from
// chunk to chunk) and the one-shot band_filter function.
#include "band_methods.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <string>

#include "analysis/band_filter.hpp"
#include "convert/bind.hpp"
#include "convert/borrow.hpp"
#include "convert/once.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"

namespace talvane {

namespace {

struct BandFilterObject {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;  // 0 free, n > 0 shared by n calls, -1 exclusive
    BandFilter filter;
    static PyTypeObject* type() noexcept;
    static constexpr py::Text kName = "BandFilter";
};

constinit py::OnceCell<PyObject*> band_type_cell;

PyTypeObject* BandFilterObject::type() noexcept {
    return reinterpret_cast<PyTypeObject*>(band_type_cell.peek());
}

BandEdges to_edges(PyObject* low, PyObject* high) {
    return {py::to_optional_double(low, "low_hz"), py::to_optional_double(high, "high_hz")};
}

// Edges this rate cannot take are the caller's error: ValueError naming the value.
void refuse_bad_edges(const BandEdges& edges, std::uint64_t sample_rate) {
    const std::string error = band_edges_error(edges, sample_rate);
    if (!error.empty()) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        throw py::ErrSet{};
    }
}

constexpr py::Params<3> kNewBinding{"BandFilter.__new__()", {"sample_rate", "low_hz", "high_hz"}, true};

PyObject* band_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("BandFilter.__new__", [&] {
        auto arg = py::bind(kNewBinding, args, kwargs);
        const std::uint64_t rate = py::to_unsigned(arg[0].get(), "sample_rate");
        const BandEdges edges = to_edges(arg[1].get(), arg[2].get());
        refuse_bad_edges(edges, rate);
        BandFilter filter(edges, rate);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        py::Ref self = py::Ref::steal(alloc(type, 0));
        if (!self) throw py::ErrSet{};
        auto* obj = reinterpret_cast<BandFilterObject*>(self.get());
        new (&obj->borrow) std::atomic<std::intptr_t>(0);
        new (&obj->filter) BandFilter(filter);
        return self;
    });
}

void band_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<BandFilterObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    obj->filter.~BandFilter();
    obj->borrow.~atomic();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

constexpr auto kType = BandFilterObject::kName;
using Process = py::Method<kType, "process", "chunk">;

// The chunk filtered on a copy of the state, which replaces the object's state only
// once the result exists: a failed call changes nothing.
py::Ref process(PyObject* self, std::array<py::Ref, 1>& arg) {
    py::ExclusiveBorrow<BandFilterObject> band(self);
    py::FloatArray data = py::to_float_array(arg[0].get(), "chunk");
    const std::span<const float> chunk = data.samples();
    BandFilter next = band->filter;
    SampleBuffer out(chunk.size());
    next.process(chunk, out);
    py::Ref result = py::float_array(std::move(out));
    band->filter = next;
    return result;
}

py::Ref reset(PyObject* self) {
    py::ExclusiveBorrow<BandFilterObject> band(self);
    band->filter.reset();
    return py::none();
}

PyMethodDef band_methods[] = {
    py::fast_method<Process, process>(),
    py::noargs_method<py::NoArgs<kType, "reset">, reset>(),
    py::kEndOfMethods,
};

PyType_Slot band_slots[] = {
    {Py_tp_doc, const_cast<char*>("BandFilter(sample_rate, low_hz, high_hz)\n--\n\n"
                                  "The band filter with its state; talvane_rs.BandFilter is its interface.")},
    {Py_tp_new, reinterpret_cast<void*>(band_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(band_dealloc)},
    {Py_tp_methods, band_methods},
    {0, nullptr},
};

PyType_Spec band_spec = {
    .name = "talvane_rs._analysis.BandFilter",
    .basicsize = static_cast<int>(sizeof(BandFilterObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = band_slots,
};

}  // namespace

py::Ref band_filter_function(PyObject*, std::array<py::Ref, BandFilterFunction::arity>& arg) {
    py::AnySamples data(arg[0].get(), "samples");
    const std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    const BandEdges edges = to_edges(arg[2].get(), arg[3].get());
    refuse_bad_edges(edges, rate);
    return py::float_array(band_filter(data.samples(), rate, edges));
}

void add_band_filter_class(PyObject* module) {
    PyObject* type = band_type_cell.get([] {
        PyObject* made = PyType_FromSpec(&band_spec);  // kept for the process
        if (made == nullptr) throw py::ErrSet{};
        return made;
    });
    if (PyModule_AddObjectRef(module, "BandFilter", type) < 0) throw py::ErrSet{};
}

}  // namespace talvane
