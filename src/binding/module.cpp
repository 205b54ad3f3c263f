// PyInit__native, the two gate classes (specs, method tables, tp_new, tp_dealloc).
#include "objects.hpp"

#include <atomic>
#include <new>

#include "convert/bind.hpp"
#include "convert/boundary.hpp"
#include "convert/once.hpp"
#include "convert/values.hpp"

namespace talvane {

namespace {

using py::Ref;

constexpr std::array<const char*, 14> kConfigNames{
    "enabled", "window_ms", "base_thresh", "threshold_ratio", "max_thresh", "smooth_alpha",
    "min_voice_windows", "attenuation", "noise_floor_percentile", "max_silence_gap_windows",
    "fade_ms", "stream_context_ms", "pad_voice_windows", "pass_windows"};

constexpr py::Params<14> kNewEnergy{"EnergyTalvane.__new__()", kConfigNames, false};
constexpr py::Params<14> kNewStreaming{"StreamingEnergyTalvane.__new__()", kConfigNames, false};

constinit std::atomic<std::int64_t> first_interpreter{-1};
constinit py::OnceCell<PyObject*> module_cell;
constinit py::OnceCell<PyObject*> energy_type_cell;
constinit py::OnceCell<PyObject*> streaming_type_cell;

// Converts the given parameters in table order; absent ones keep their defaults.
GateConfig parse_config(const py::Params<14>& params, PyObject* args, PyObject* kwargs) {
    auto arg = py::bind(params, args, kwargs);
    GateConfig c;
    auto unsigned_param = [&](std::size_t i, std::uint64_t& field) {
        if (arg[i]) field = py::to_unsigned(arg[i].get(), kConfigNames[i]);
    };
    auto float_param = [&](std::size_t i, float& field) {
        if (arg[i]) field = py::to_float(arg[i].get(), kConfigNames[i]);
    };
    if (arg[0]) c.enabled = py::to_bool(arg[0].get(), kConfigNames[0]);
    unsigned_param(1, c.window_ms);
    float_param(2, c.base_thresh);
    float_param(3, c.threshold_ratio);
    float_param(4, c.max_thresh);
    float_param(5, c.smooth_alpha);
    unsigned_param(6, c.min_voice_windows);
    float_param(7, c.attenuation);
    float_param(8, c.noise_floor_percentile);
    unsigned_param(9, c.max_silence_gap_windows);
    unsigned_param(10, c.fade_ms);
    unsigned_param(11, c.stream_context_ms);
    unsigned_param(12, c.pad_voice_windows);
    unsigned_param(13, c.pass_windows);
    return c;
}

template <class Obj>
PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr bool kStreaming = std::is_same_v<Obj, StreamingEnergyTalvaneObject>;
    return py::boundary(kStreaming ? "StreamingEnergyTalvane.__new__" : "EnergyTalvane.__new__", [&] {
        // Every parameter is converted before anything is allocated.
        GateConfig config = parse_config(kStreaming ? kNewStreaming : kNewEnergy, args, kwargs);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref self = Ref::steal(alloc(type, 0));
        if (!self) throw py::ErrSet{};
        auto* obj = reinterpret_cast<Obj*>(self.get());
        new (&obj->borrow) std::atomic<std::intptr_t>(0);
        new (&obj->config) GateConfig(config);
        if constexpr (kStreaming) new (&obj->state) StreamState();
        return self;
    });
}

template <class Obj>
void gate_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<Obj*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (std::is_same_v<Obj, StreamingEnergyTalvaneObject>) obj->state.~StreamState();
    obj->config.~GateConfig();
    obj->borrow.~atomic();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

template <class F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef energy_methods[] = {
    {.ml_name = "compute_keep_mask", .ml_meth = as_cfunction(EnergyTalvane_compute_keep_mask),
     .ml_flags = kFastKeywords, .ml_doc = "compute_keep_mask($self, data, sample_rate)\n--\n\n"},
    {.ml_name = "compute_keep_mask_array", .ml_meth = as_cfunction(EnergyTalvane_compute_keep_mask_array),
     .ml_flags = kFastKeywords, .ml_doc = "compute_keep_mask_array($self, data, sample_rate)\n--\n\n"},
    {.ml_name = "apply_array", .ml_meth = as_cfunction(EnergyTalvane_apply_array),
     .ml_flags = kFastKeywords, .ml_doc = "apply_array($self, data, sample_rate)\n--\n\n"},
    {.ml_name = "apply_array_np", .ml_meth = as_cfunction(EnergyTalvane_apply_array_np),
     .ml_flags = kFastKeywords, .ml_doc = "apply_array_np($self, data, sample_rate)\n--\n\n"},
    {.ml_name = "compact_array", .ml_meth = as_cfunction(EnergyTalvane_compact_array),
     .ml_flags = kFastKeywords, .ml_doc = "compact_array($self, data, sample_rate)\n--\n\n"},
    {.ml_name = "compact_array_np", .ml_meth = as_cfunction(EnergyTalvane_compact_array_np),
     .ml_flags = kFastKeywords, .ml_doc = "compact_array_np($self, data, sample_rate)\n--\n\n"},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyMethodDef streaming_methods[] = {
    {.ml_name = "process_chunk", .ml_meth = as_cfunction(StreamingEnergyTalvane_process_chunk),
     .ml_flags = kFastKeywords, .ml_doc = "process_chunk($self, data, sample_rate, is_last)\n--\n\n"},
    {.ml_name = "reset", .ml_meth = as_cfunction(StreamingEnergyTalvane_reset), .ml_flags = METH_NOARGS,
     .ml_doc = "reset($self)\n--\n\n"},
    {.ml_name = "context_len", .ml_meth = as_cfunction(StreamingEnergyTalvane_context_len),
     .ml_flags = METH_NOARGS, .ml_doc = "context_len($self)\n--\n\n"},
    {.ml_name = "last_gain", .ml_meth = as_cfunction(StreamingEnergyTalvane_last_gain),
     .ml_flags = METH_NOARGS, .ml_doc = "last_gain($self)\n--\n\n"},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

#define TALVANE_PARAMS                                                                            \
    "(enabled=True, window_ms=10, base_thresh=0.008, threshold_ratio=2.0, max_thresh=0.035, "     \
    "smooth_alpha=0.2, min_voice_windows=5, attenuation=0.0, noise_floor_percentile=20.0, "       \
    "max_silence_gap_windows=8, fade_ms=5, stream_context_ms=3000, pad_voice_windows=2, "         \
    "pass_windows=0)\n--\n\n"

PyType_Slot energy_slots[] = {
    {Py_tp_doc, const_cast<char*>("EnergyTalvane" TALVANE_PARAMS)},
    {Py_tp_new, reinterpret_cast<void*>(gate_new<EnergyTalvaneObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc<EnergyTalvaneObject>)},
    {Py_tp_methods, energy_methods},
    {0, nullptr},
};

PyType_Slot streaming_slots[] = {
    {Py_tp_doc, const_cast<char*>("StreamingEnergyTalvane" TALVANE_PARAMS)},
    {Py_tp_new, reinterpret_cast<void*>(gate_new<StreamingEnergyTalvaneObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc<StreamingEnergyTalvaneObject>)},
    {Py_tp_methods, streaming_methods},
    {0, nullptr},
};

#undef TALVANE_PARAMS

PyType_Spec energy_spec = {
    .name = "builtins.EnergyTalvane",
    .basicsize = static_cast<int>(sizeof(EnergyTalvaneObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = energy_slots,
};

PyType_Spec streaming_spec = {
    .name = "builtins.StreamingEnergyTalvane",
    .basicsize = static_cast<int>(sizeof(StreamingEnergyTalvaneObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = streaming_slots,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    // 0, not -1: with -1 the interpreter would copy the module's dict and never
    // call PyInit__native again, so neither the one-module rule nor the refusal of
    // a second interpreter would hold.
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* class_object(py::OnceCell<PyObject*>& cell, PyType_Spec& spec) {
    return cell.get([&] {
        PyObject* type = PyType_FromSpec(&spec);  // kept for the process
        if (type == nullptr) throw py::ErrSet{};
        return type;
    });
}

void add_class(PyObject* module, const char* name, PyObject* type) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::ErrSet{};
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw py::ErrSet{};
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw py::ErrSet{};
    }
    Ref entry = Ref::steal(PyUnicode_FromString(name));
    if (!entry || PyList_Append(all.get(), entry.get()) < 0) throw py::ErrSet{};
    if (PyModule_AddObjectRef(module, name, type) < 0) throw py::ErrSet{};
}

PyObject* make_module() {
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) throw py::ErrSet{};
    add_class(module.get(), "EnergyTalvane", class_object(energy_type_cell, energy_spec));
    add_class(module.get(), "StreamingEnergyTalvane", class_object(streaming_type_cell, streaming_spec));
    return module.release();  // kept for the process
}

}  // namespace

PyTypeObject* EnergyTalvaneObject::type() noexcept {
    return reinterpret_cast<PyTypeObject*>(energy_type_cell.peek());
}

PyTypeObject* StreamingEnergyTalvaneObject::type() noexcept {
    return reinterpret_cast<PyTypeObject*>(streaming_type_cell.peek());
}

}  // namespace talvane

PyMODINIT_FUNC PyInit__native(void) {
    using namespace talvane;
    return py::boundary("PyInit__native", [] {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) throw py::ErrSet{};
        std::int64_t recorded = -1;
        // One atomic claim: two interpreters racing at the first import cannot both win.
        if (!first_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
            PyErr_SetString(PyExc_ImportError,
                            "talvane_rs._native does not support sub-interpreters: it was already "
                            "initialised in another interpreter of this process");
            throw py::ErrSet{};
        }
        return py::Ref::borrow(module_cell.get(make_module));
    });
}
