// PyInit__native, the two gate classes (specs, method tables, tp_new, tp_dealloc).
#include "objects.hpp"

#include <new>

#include "convert/bind.hpp"
#include "convert/gate_params.hpp"
#include "convert/boundary.hpp"
#include "convert/once.hpp"
#include "convert/values.hpp"
#include "module_once.hpp"

namespace talvane {

namespace {

using py::Ref;

// Every text that names a class, derived from its name.
template <class Obj>
struct ClassTexts {
    static constexpr auto qualified = py::join(py::Text("builtins."), Obj::kName);
    static constexpr auto doc = py::join(Obj::kName, py::kParameterSignature);
    static constexpr auto new_place = py::join(Obj::kName, py::Text(".__new__"));
    static constexpr auto new_function = py::join(new_place, py::Text("()"));
    static constexpr py::Params<kGateParameterCount> new_binding{new_function.chars, py::kConfigNames, false};
};

constinit py::ModuleOnce module_once;
constinit py::OnceCell<PyObject*> energy_type_cell;
constinit py::OnceCell<PyObject*> streaming_type_cell;

template <class Obj>
PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr bool kStreaming = std::is_same_v<Obj, StreamingEnergyTalvaneObject>;
    return py::boundary(ClassTexts<Obj>::new_place.chars, [&] {
        // Every parameter is converted before anything is allocated.
        GateConfig config = py::to_config(py::bind(ClassTexts<Obj>::new_binding, args, kwargs));
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

template <class Obj>
PyType_Slot class_slots[] = {
    {Py_tp_doc, const_cast<char*>(ClassTexts<Obj>::doc.chars)},
    {Py_tp_new, reinterpret_cast<void*>(gate_new<Obj>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc<Obj>)},
    {Py_tp_methods, std::is_same_v<Obj, EnergyTalvaneObject> ? energy_methods : streaming_methods},
    {0, nullptr},
};

template <class Obj>
PyType_Spec class_spec = {
    .name = ClassTexts<Obj>::qualified.chars,
    .basicsize = static_cast<int>(sizeof(Obj)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = class_slots<Obj>,
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

template <class Obj>
PyObject* class_object(py::OnceCell<PyObject*>& cell) {
    return cell.get([&] {
        PyObject* type = PyType_FromSpec(&class_spec<Obj>);  // kept for the process
        if (type == nullptr) throw py::ErrSet{};
        return type;
    });
}

template <class Obj>
void add_class(PyObject* module, py::OnceCell<PyObject*>& cell) {
    const char* name = Obj::kName.chars;
    PyObject* type = class_object<Obj>(cell);
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
    add_class<EnergyTalvaneObject>(module.get(), energy_type_cell);
    add_class<StreamingEnergyTalvaneObject>(module.get(), streaming_type_cell);
    return module.release();  // kept for the process
}

}  // namespace

const py::ModuleTexts py::kModuleTexts{
    .name = "talvane_rs._native",
    .internal_error_doc = "Raised when talvane_rs._native fails unexpectedly or a gate's threshold limits are "
                          "out of order. Derives from BaseException, so 'except Exception' does not catch it.",
};

PyTypeObject* EnergyTalvaneObject::type() noexcept {
    return reinterpret_cast<PyTypeObject*>(energy_type_cell.peek());
}

PyTypeObject* StreamingEnergyTalvaneObject::type() noexcept {
    return reinterpret_cast<PyTypeObject*>(streaming_type_cell.peek());
}

}  // namespace talvane

PyMODINIT_FUNC PyInit__native(void) {
    using namespace talvane;
    return py::boundary("PyInit__native", [] { return py::module_once(module_once, make_module); });
}
