// Stream: the class an application holds per live stream (construction, process,
// reset, the context manager, what the last call decided) and its Event.
#include "stream_object.hpp"

#include <new>
#include <span>

#include "analysis/keep_mask.hpp"
#include "convert/bind.hpp"
#include "convert/borrow.hpp"
#include "convert/gate_params.hpp"
#include "convert/once.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "lent_buffers.hpp"
#include "stream_arguments.hpp"

namespace talvane {

namespace {

constinit py::OnceCell<PyObject*> stream_type_cell;
constinit py::OnceCell<PyObject*> event_type_cell;
// Texts read after many calls, made once.
constinit py::OnceCell<PyObject*> onset_text, offset_text, low_text, high_text, no_events;

PyObject* kept_text(py::OnceCell<PyObject*>& cell, const char* value) {
    return cell.get([value] {
        PyObject* text = PyUnicode_InternFromString(value);  // kept for the process
        if (text == nullptr) throw py::ErrSet{};
        return text;
    });
}

py::Ref empty_tuple() {
    return py::Ref::borrow(no_events.get([] { return py::must(PyTuple_New(0)); }));  // kept for the process
}

// ---- construction

constexpr py::Params<stream_args::kNames.size()> kNewBinding{"Stream()", stream_args::kNames, false};

constexpr auto kStreamDoc = py::join(
    py::Text("Stream(sample_rate, *, band=None, on_event=None"), py::detail::kSignatureEntries,
    py::Text(", rule=None, music=None, preset=None)\n--\n\n"
             "The streaming gate for one live stream, gated with no delay.\n\n"
             "process(chunk) takes a NumPy array of float32, float64, int16 or int32 samples, mono "
             "(one-dimensional) or frames x channels, and returns a new array of the same dtype and shape. "
             "The decision is made on the float32 mean of the channels (integers read as full scale 1.0), "
             "read through the band filter when band is set ('speech', or (low_hz, high_hz) with either edge "
             "None); its gain curve multiplies every channel (integers in double, rounded half to even and "
             "saturated). After each call: noise_floor, threshold, clamped and gain (None before the first "
             "analysed call), position (frames since the start or the last reset()) and events, the chunk's "
             "Event(kind, sample, time) tuples ('onset' at each first kept sample after a dropped one, "
             "'offset' at each first dropped one after a kept one). on_event, if given, is called with each "
             "event in order within the call; it must not call the stream, and if it raises, process() "
             "raises and the stream is as before the call. The gate parameters are those of "
             "StreamingEnergyTalvane; NaN levels and threshold limits out of order are ValueErrors. rule "
             "'noise' has the threshold follow the noise as analyse's rule='noise' does (None: the gate's own "
             "rule); ratio and high_percentile give what it used. music=True raises the threshold where the "
             "background's spectrum is steady and not new, as analyse's music=True does. preset ('speech', "
             "'speech-music' or 'classic') gives every "
             "argument not given its preset's value. "
             "Use as a context manager: leaving it resets the stream."));

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Stream.__new__", [&] {
        using namespace stream_args;
        auto arg = py::bind(kNewBinding, args, kwargs);
        take_preset(arg);
        check_positional(args, static_cast<bool>(arg[0]));
        const std::uint64_t rate = positive_rate(arg[0].get());
        const std::optional<BandEdges> band = arg[1] ? py::to_band(arg[1].get(), rate) : std::nullopt;
        PyObject* on_event = arg[2] && arg[2].get() != Py_None ? arg[2].get() : nullptr;
        if (on_event != nullptr && !PyCallable_Check(on_event)) {
            PyErr_Format(PyExc_TypeError, "on_event must be callable or None, not %R", on_event);
            throw py::ErrSet{};
        }
        const GateConfig config =
            py::to_config(std::span<const py::Ref, kGateParameterCount>(arg.data() + kFirstParameter, kGateParameterCount));
        refuse_bad_levels(config);
        const ThresholdRule rule = arg[kRule] ? py::to_rule(arg[kRule].get()) : ThresholdRule::ratio;
        LiveState live;
        live.stream.rule = rule;
        live.stream.music.on = arg[kMusic] && arg[kMusic].get() != Py_None && py::to_bool(arg[kMusic].get(), "music");
        if (band && (band->low_hz || band->high_hz)) live.band.emplace(*band, rate);
        py::Ref events = empty_tuple();

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        py::Ref self = py::Ref::steal(alloc(type, 0));
        if (!self) throw py::ErrSet{};
        auto* obj = reinterpret_cast<StreamObject*>(self.get());
        new (&obj->borrow) std::atomic<std::intptr_t>(0);
        new (&obj->config) GateConfig(config);
        obj->sample_rate = rate;
        new (&obj->band) std::optional<BandEdges>(band);
        new (&obj->live) LiveState(std::move(live));
        new (&obj->on_event) py::Ref(py::Ref::borrow(on_event));
        new (&obj->events) py::Ref(std::move(events));
        return self;
    });
}

void stream_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<StreamObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    obj->events.~Ref();
    obj->on_event.~Ref();
    obj->live.~LiveState();
    obj->band.~optional();
    obj->config.~GateConfig();
    obj->borrow.~atomic();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// The callback may hold the stream (a bound method of its owner): a cycle the
// collector must see. The events hold only texts and numbers.
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<StreamObject*>(self)->on_event.get());
    return 0;
}

int stream_clear(PyObject* self) {
    // Emptied before the reference goes, as the swap leaves it.
    py::Ref gone = std::move(reinterpret_cast<StreamObject*>(self)->on_event);
    return 0;
}

// ---- process

// A new channel count is refused until reset(); a first chunk fixes it.
void refuse_other_channels(const StreamObject& stream, const Frames& frames) {
    const std::size_t had = stream.live.channels;
    if (had == 0 || had == frames.channels) return;
    PyErr_Format(PyExc_ValueError,
                 "chunk has %zu channel%s, but this stream has had %zu since its start or its last reset()",
                 frames.channels, frames.channels == 1 ? "" : "s", had);
    throw py::ErrSet{};
}

py::Ref make_events(std::span<const KeepEvent> events, std::uint64_t sample_rate) {
    if (events.empty()) return empty_tuple();
    py::Ref out = py::Ref::steal(py::must(PyTuple_New(static_cast<Py_ssize_t>(events.size()))));
    PyObject* event_type = event_type_cell.peek();
    for (std::size_t i = 0; i < events.size(); ++i) {
        PyObject* text = events[i].onset ? kept_text(onset_text, "onset") : kept_text(offset_text, "offset");
        py::Ref kind = py::Ref::borrow(text);
        py::Ref sample = py::unsigned_int(events[i].sample);
        // Seconds: the sample's index over the rate, in double.
        py::Ref time = py::Ref::steal(py::must(
            PyFloat_FromDouble(static_cast<double>(events[i].sample) / static_cast<double>(sample_rate))));
        PyObject* fields[3] = {kind.get(), sample.get(), time.get()};
        py::Ref event = py::Ref::steal(py::must(PyObject_Vectorcall(event_type, fields, 3, nullptr)));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), event.release());
    }
    return out;
}

void call_on_event(PyObject* on_event, PyObject* events) {
    py::Ref callback = py::Ref::borrow(on_event);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(events); ++i) {
        py::Ref done = py::Ref::steal(PyObject_CallOneArg(callback.get(), PyTuple_GET_ITEM(events, i)));
        if (!done) throw py::ErrSet{};
    }
}

constexpr auto kType = StreamObject::kName;
using Process = py::Method<kType, "process", "chunk">;

// The output exists, and the callbacks have returned, before the state changes.
py::Ref process(PyObject* self, std::array<py::Ref, 1>& arg) {
    py::ExclusiveBorrow<StreamObject> stream(self);
    const py::AudioFrames chunk = py::to_audio_frames(arg[0].get(), "chunk");
    refuse_other_channels(*stream, chunk.frames);
    void* out = nullptr;
    py::Ref result = py::frames_array_like(chunk, out);
    LiveState& live = stream->live;
    LentBuffers buffers(live.stream);
    LivePlan plan = plan_live(stream->config, live, stream->sample_rate, chunk.frames, out);
    reserve_live(live, plan);
    py::Ref events = make_events(plan.events, stream->sample_rate);
    if (stream->on_event && !plan.events.empty()) {
        keep_decision(plan, chunk.frames);  // the callback may change the chunk's samples
        call_on_event(stream->on_event.get(), events.get());
    }
    commit_live(live, plan, chunk.frames);
    stream->events = std::move(events);  // the last call's tuple goes with `events`
    return result;
}

py::Ref reset(PyObject* self) {
    py::ExclusiveBorrow<StreamObject> stream(self);
    py::Ref events = empty_tuple();
    reset_live(stream->live);
    stream->events = std::move(events);
    return py::none();
}

py::Ref stream_enter(PyObject* self) { return py::Ref::borrow(self); }

using Exit = py::Method<kType, "__exit__", "exc_type", "exc_value", "traceback">;

py::Ref stream_exit(PyObject* self, std::array<py::Ref, 3>&) { return reset(self); }

PyMethodDef stream_methods[] = {
    py::fast_method<Process, process>(),
    py::noargs_method<py::NoArgs<kType, "reset">, reset>(),
    py::noargs_method<py::NoArgs<kType, "__enter__">, stream_enter>(),
    py::fast_method<Exit, stream_exit>(),
    py::kEndOfMethods,
};

// ---- what the last call decided

template <py::Ref (*body)(const StreamObject&)>
PyObject* getter(PyObject* self, void*) {
    return py::boundary("Stream getter", [&] {
        py::SharedBorrow<StreamObject> stream(self);
        return body(*stream);
    });
}

const CallView* last_call(const StreamObject& s) {
    return s.live.stream.last_call.present ? &s.live.stream.last_call : nullptr;
}

py::Ref noise_floor_of(const StreamObject& s) {
    const CallView* view = last_call(s);
    return view ? py::float_value(view->floor) : py::none();
}

py::Ref threshold_of(const StreamObject& s) {
    const CallView* view = last_call(s);
    return view ? py::float_value(view->threshold.value) : py::none();
}

py::Ref ratio_of(const StreamObject& s) {
    const CallView* view = last_call(s);
    return view ? py::float_value(view->ratio) : py::none();
}

// None before the first analysed call and under the gate's own rule.
py::Ref high_of(const StreamObject& s) {
    const CallView* view = last_call(s);
    return view && s.live.stream.rule == ThresholdRule::noise ? py::float_value(view->high) : py::none();
}

py::Ref clamped_of(const StreamObject& s) {
    const CallView* view = last_call(s);
    if (view == nullptr) return py::none();
    switch (view->threshold.clamped) {
        case Clamp::low: return py::Ref::borrow(kept_text(low_text, "low"));
        case Clamp::high: return py::Ref::borrow(kept_text(high_text, "high"));
        case Clamp::none: break;
    }
    return py::none();
}

py::Ref gain_of(const StreamObject& s) { return py::optional_float(s.live.stream.last_gain); }
py::Ref position_of(const StreamObject& s) { return py::unsigned_int(s.live.position); }
py::Ref events_of(const StreamObject& s) { return py::Ref::borrow(s.events.get()); }
py::Ref sample_rate_of(const StreamObject& s) { return py::unsigned_int(s.sample_rate); }

py::Ref band_of(const StreamObject& s) {
    if (!s.band) return py::none();
    auto edge = [](const std::optional<double>& hz) {
        return hz ? py::Ref::steal(py::must(PyFloat_FromDouble(*hz))) : py::none();
    };
    std::array<py::Ref, 2> edges{edge(s.band->low_hz), edge(s.band->high_hz)};
    return py::tuple(edges);
}

PyGetSetDef stream_getset[] = {
    {"noise_floor", getter<noise_floor_of>, nullptr,
     "The noise floor of the last analysed call (RMS of full scale 1.0), or None.", nullptr},
    {"threshold", getter<threshold_of>, nullptr, "The voice threshold of the last analysed call, or None.", nullptr},
    {"clamped", getter<clamped_of>, nullptr,
     "'low' or 'high' when a limit set the last analysed call's threshold; else None.", nullptr},
    {"ratio", getter<ratio_of>, nullptr, "What the last analysed call's floor was multiplied by, or None.", nullptr},
    {"high_percentile", getter<high_of>, nullptr,
     "The high percentile the noise rule read in the last analysed call; None under the gate's own rule.", nullptr},
    {"gain", getter<gain_of>, nullptr, "The gain applied to the last sample gated, or None.", nullptr},
    {"position", getter<position_of>, nullptr, "Frames taken since the start or the last reset().", nullptr},
    {"events", getter<events_of>, nullptr, "The last call's Event tuples, in order.", nullptr},
    {"sample_rate", getter<sample_rate_of>, nullptr, "The stream's sample rate in Hz.", nullptr},
    {"band", getter<band_of>, nullptr,
     "The band's edges (low_hz, high_hz) as resolved for the rate (an edge None: not filtered), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStreamDoc.chars)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    .name = "talvane_rs._analysis.Stream",
    .basicsize = static_cast<int>(sizeof(StreamObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = stream_slots,
};

// Event: a named tuple made by collections.namedtuple, so that it is one in every way.
PyObject* make_event_type() {
    py::Ref collections = py::Ref::steal(PyImport_ImportModule("collections"));
    if (!collections) throw py::ErrSet{};
    py::Ref factory = py::Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
    if (!factory) throw py::ErrSet{};
    py::Ref args = py::Ref::steal(Py_BuildValue("(s(sss))", "Event", "kind", "sample", "time"));
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{ss}", "module", "talvane_rs"));
    if (!args || !kwargs) throw py::ErrSet{};
    PyObject* type = PyObject_Call(factory.get(), args.get(), kwargs.get());  // kept for the process
    if (type == nullptr) throw py::ErrSet{};
    py::Ref doc = py::Ref::steal(PyUnicode_FromString(
        "Event(kind, sample, time): a change of a Stream's keep decision. kind is 'onset' (the first kept "
        "sample after a dropped one) or 'offset' (the first dropped sample after a kept one); sample counts "
        "frames from the stream's start or its last reset(); time is sample / sample_rate in seconds."));
    if (!doc || PyObject_SetAttrString(type, "__doc__", doc.get()) < 0) throw py::ErrSet{};
    return type;
}

}  // namespace

PyTypeObject* StreamObject::type() noexcept { return reinterpret_cast<PyTypeObject*>(stream_type_cell.peek()); }

void add_stream_class(PyObject* module) {
    PyObject* event = event_type_cell.get(make_event_type);
    PyObject* type = stream_type_cell.get([] {
        PyObject* made = PyType_FromSpec(&stream_spec);  // kept for the process
        if (made == nullptr) throw py::ErrSet{};
        return made;
    });
    if (PyModule_AddObjectRef(module, "Event", event) < 0) throw py::ErrSet{};
    if (PyModule_AddObjectRef(module, "Stream", type) < 0) throw py::ErrSet{};
}

}  // namespace talvane
