// stream_view: what a streaming gate's (or a Stream's) last analysed call decided,
// as a small object read field by field (the scalars in O(1), the arrays in O(chunk)).
#include "stream_view.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>

#include "convert/borrow.hpp"
#include "convert/once.hpp"
#include "convert/results.hpp"
#include "method_table.hpp"
#include "objects.hpp"
#include "stream_object.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

// The streaming gate as this module meets it: the same object, whose class lives in
// talvane_rs._native and is looked up there at the first call.
constinit py::OnceCell<PyObject*> stream_class_cell;
constinit py::OnceCell<PyObject*> view_class_cell;

struct StreamReceiver : StreamingEnergyTalvaneObject {
    static PyTypeObject* type() noexcept { return reinterpret_cast<PyTypeObject*>(stream_class_cell.peek()); }
};

void load_stream_class() {
    stream_class_cell.get([] {
        py::Ref native = py::Ref::steal(PyImport_ImportModule("talvane_rs._native"));
        if (!native) throw py::ErrSet{};
        PyObject* cls = PyObject_GetAttrString(native.get(), "StreamingEnergyTalvane");  // kept for the process
        if (cls == nullptr) throw py::ErrSet{};
        return cls;
    });
}

// A snapshot of a CallView, its window flags held inline (ob_size of them). The
// three scalars read after every call are plain members.
struct StreamViewObject {
    PyObject_VAR_HEAD
    float floor;
    float threshold;
    float high;   // NaN under the gate's own rule
    float ratio;
    PyObject* clamped;  // a kept text or None; one reference owned
    PyObject* music;    // (steadiness, novelty, factor) per window, or None; one reference owned
    std::uint64_t window_len, offset, chunk_len, fade_len;
    float attenuation;
    bool has_entry;
    float entry_gain;
    std::uint8_t flags[1];

    std::span<const std::uint8_t> window_flags() const noexcept {
        return {flags, static_cast<std::size_t>(Py_SIZE(this))};
    }
};

StreamViewObject* view_of(PyObject* self) noexcept { return reinterpret_cast<StreamViewObject*>(self); }

// The texts of `clamped`, made once: read after every call, they should cost no
// new string each time.
constinit py::OnceCell<PyObject*> low_text, high_text;

py::Ref kept_text(py::OnceCell<PyObject*>& cell, const char* value) {
    return py::Ref::borrow(cell.get([value] {
        PyObject* text = PyUnicode_InternFromString(value);  // kept for the process
        if (text == nullptr) throw py::ErrSet{};
        return text;
    }));
}

py::Ref clamp_text(Clamp clamped) {
    switch (clamped) {
        case Clamp::low: return kept_text(low_text, "low");
        case Clamp::high: return kept_text(high_text, "high");
        case Clamp::none: break;
    }
    return py::none();
}

py::Ref make_view(const CallView& view) {
    py::Ref clamped = clamp_text(view.threshold.clamped);
    py::Ref music = view.music.empty() ? py::none() : py::music_arrays(view.music);
    auto* cls = reinterpret_cast<PyTypeObject*>(view_class_cell.peek());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    py::Ref self = py::Ref::steal(alloc(cls, static_cast<Py_ssize_t>(view.flags.size())));
    if (!self) throw py::ErrSet{};
    StreamViewObject* obj = view_of(self.get());
    obj->floor = view.floor;
    obj->threshold = view.threshold.value;
    obj->high = view.high;
    obj->ratio = view.ratio;
    obj->clamped = clamped.release();
    obj->music = music.release();
    obj->window_len = view.window_len;
    obj->offset = view.offset;
    obj->chunk_len = view.chunk_len;
    obj->fade_len = view.fade_len;
    obj->attenuation = view.attenuation;
    obj->has_entry = view.entry_gain.has_value();
    obj->entry_gain = view.entry_gain.value_or(0.0f);
    std::memcpy(obj->flags, view.flags.data(), view.flags.size());
    return self;
}

void view_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(view_of(self)->clamped);
    Py_XDECREF(view_of(self)->music);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

template <py::Ref (*body)(const StreamViewObject&)>
PyObject* getter(PyObject* self, void*) {
    return py::boundary("StreamView getter", [&] { return body(*view_of(self)); });
}

py::Ref window_len(const StreamViewObject& v) { return py::unsigned_int(v.window_len); }
py::Ref first_window_offset(const StreamViewObject& v) { return py::unsigned_int(v.offset); }
py::Ref chunk_len(const StreamViewObject& v) { return py::unsigned_int(v.chunk_len); }
py::Ref keep_windows(const StreamViewObject& v) {
    const std::span<const std::uint8_t> flags = v.window_flags();
    return py::bool_array(std::vector<std::uint8_t>(flags.begin(), flags.end()));
}
py::Ref keep(const StreamViewObject& v) {
    return py::bool_array(chunk_keep_mask(v.window_flags(), v.window_len, v.offset, v.chunk_len));
}
py::Ref gains(const StreamViewObject& v) {
    return py::float_array(chunk_gains(v.window_flags(), v.window_len, v.offset, v.chunk_len, v.fade_len,
                                       v.attenuation, v.has_entry ? &v.entry_gain : nullptr));
}

template <std::size_t item>
py::Ref music_item(const StreamViewObject& v) {
    if (v.music == Py_None) return py::none();
    return py::Ref::borrow(PyTuple_GET_ITEM(v.music, item));
}

PyMemberDef view_members[] = {
    {"noise_floor", T_FLOAT, offsetof(StreamViewObject, floor), READONLY,
     "The noise floor of the analysis of context + chunk."},
    {"threshold", T_FLOAT, offsetof(StreamViewObject, threshold), READONLY, "The voice threshold from that floor."},
    {"clamped", T_OBJECT, offsetof(StreamViewObject, clamped), READONLY,
     "'low', 'high' or None: the limit that set the threshold."},
    {"ratio", T_FLOAT, offsetof(StreamViewObject, ratio), READONLY, "What the floor was multiplied by."},
    {"high_percentile", T_FLOAT, offsetof(StreamViewObject, high), READONLY,
     "The high percentile the noise rule read (NaN under the gate's own rule)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef view_getset[] = {
    {"window_len", getter<window_len>, nullptr, "Analysis window length in samples.", nullptr},
    {"first_window_offset", getter<first_window_offset>, nullptr,
     "Samples of keep_windows[0]'s window that lie in the context, before the chunk.", nullptr},
    {"chunk_len", getter<chunk_len>, nullptr, "Samples in the chunk.", nullptr},
    {"keep_windows", getter<keep_windows>, nullptr,
     "Keep flag of each window holding chunk samples (bool array; the first may begin in the context).", nullptr},
    {"keep", getter<keep>, nullptr, "Keep flag of each chunk sample (bool array).", nullptr},
    {"gains", getter<gains>, nullptr, "The gains the chunk was multiplied by (float32 array).", nullptr},
    {"music_steadiness", getter<music_item<0>>, nullptr,
     "The music measure's averaged steadiness each window of keep_windows read (float32 array), or None "
     "without the measure.", nullptr},
    {"music_novelty", getter<music_item<1>>, nullptr, "Its averaged novelty, likewise.", nullptr},
    {"music_factor", getter<music_item<2>>, nullptr,
     "The factor each window's threshold was multiplied by (1 to 3), likewise.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a StreamingEnergyTalvane's last analysed call decided for its chunk: "
                                  "a snapshot, unchanged by later calls. Made by stream_view().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_members, view_members},
    {Py_tp_getset, view_getset},
    {0, nullptr},
};

PyType_Spec view_spec = {
    .name = "talvane_rs._analysis.StreamView",
    .basicsize = static_cast<int>(offsetof(StreamViewObject, flags)),
    .itemsize = 1,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = view_slots,
};

}  // namespace

py::Ref stream_view(PyObject*, std::array<py::Ref, 1>& arg) {
    PyObject* obj = arg[0].get();
    if (PyTypeObject* live = StreamObject::type(); live != nullptr && PyObject_TypeCheck(obj, live)) {
        py::SharedBorrow<StreamObject> stream(obj);
        const CallView& view = stream->live.stream.last_call;
        return view.present ? make_view(view) : py::none();
    }
    load_stream_class();
    py::SharedBorrow<StreamReceiver> gate(obj);
    const CallView& view = gate->state.last_call;
    if (!view.present) return py::none();
    return make_view(view);
}

void add_stream_view_class(PyObject* module) {
    PyObject* cls = view_class_cell.get([] {
        PyObject* type = PyType_FromSpec(&view_spec);  // kept for the process
        if (type == nullptr) throw py::ErrSet{};
        return type;
    });
    if (PyModule_AddObjectRef(module, "StreamView", cls) < 0) throw py::ErrSet{};
}

}  // namespace talvane
