// talvane_rs._analysis: every intermediate of one analysis, and the per-sample
// mask and gain curve computed from it when asked for; the band filter
// (band_methods.cpp), the stream view (stream_view_methods.cpp) and the Stream
// class (stream_methods.cpp) are added to it here.
#include "convert/ref.hpp"

#include <memory>
#include <string>

#include "analysis/keep_mask.hpp"
#include "band_methods.hpp"
#include "batch/gain.hpp"
#include "convert/gate_params.hpp"
#include "convert/results.hpp"
#include "convert/values.hpp"
#include "method_table.hpp"
#include "module_once.hpp"
#include "stream_object.hpp"
#include "stream_view.hpp"

namespace talvane {

namespace {

constexpr const char* kViewName = "talvane_rs._analysis.view";

// What the per-sample fields of an analysis are computed from.
struct ViewState {
    std::vector<std::uint8_t> keep;  // per window
    std::uint64_t window_len;
    std::size_t n_samples;
    std::uint64_t sample_rate;
    GateConfig config;
};

void free_view(PyObject* capsule) noexcept {
    delete static_cast<ViewState*>(PyCapsule_GetPointer(capsule, kViewName));
}

const ViewState& view_of(PyObject* obj) {
    if (!PyCapsule_IsValid(obj, kViewName)) {
        PyErr_SetString(PyExc_TypeError, "argument 'view': expected the view of an analysis");
        throw py::ErrSet{};
    }
    return *static_cast<const ViewState*>(PyCapsule_GetPointer(obj, kViewName));
}

py::Ref clamp_text(Clamp clamped) {
    switch (clamped) {
        case Clamp::low: return py::text("low");
        case Clamp::high: return py::text("high");
        case Clamp::none: break;
    }
    return py::none();
}

#define TALVANE_PARAMETER_ARGUMENT(kind, name, value) , #name
using Analyse = py::Function<"analyse", "data", "sample_rate" TALVANE_GATE_PARAMETERS(TALVANE_PARAMETER_ARGUMENT),
                             "low_hz", "high_hz", "rule", "music">;
#undef TALVANE_PARAMETER_ARGUMENT

// (window_len, energies, smoothed, noise_floor, threshold, clamped, voice,
// keep_windows, sample_rate, view, high, ratio, music): the view is an opaque
// holder for mask() and gains(); high (None under the ratio rule) and ratio are what
// the threshold rule read and multiplied the floor by. low_hz and high_hz (None: no
// such edge) read the data through the band filter. music (a bool) runs the music
// measure; its values per window come back as (steadiness, novelty, factor), else
// None.
py::Ref analyse(PyObject*, std::array<py::Ref, Analyse::arity>& arg) {
    py::AnySamples data(arg[0].get(), "data");
    const std::uint64_t rate = py::to_unsigned(arg[1].get(), "sample_rate");
    const GateConfig config = py::to_config(std::span<const py::Ref, kGateParameterCount>(arg.data() + 2, kGateParameterCount));
    const BandEdges edges{py::to_optional_double(arg[2 + kGateParameterCount].get(), "low_hz"),
                          py::to_optional_double(arg[3 + kGateParameterCount].get(), "high_hz")};
    const ThresholdRule rule = py::to_rule(arg[4 + kGateParameterCount].get());
    const bool music = py::to_bool(arg[5 + kGateParameterCount].get(), "music");
    const std::span<const float> samples = data.samples();
    // A new function: bad edges and limits out of order are the caller's error, not
    // an internal one.
    if (std::string error = band_edges_error(edges, rate); !error.empty()) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        throw py::ErrSet{};
    }
    if (!threshold_limits_in_order(config.base_thresh, config.max_thresh)) {
        PyErr_SetString(PyExc_ValueError, threshold_limits_message(config.base_thresh, config.max_thresh).c_str());
        throw py::ErrSet{};
    }
    const bool banded = edges.low_hz || edges.high_hz;
    AnalysisView view =
        analyse_inner(config, samples, rate, banded ? std::optional<BandEdges>(edges) : std::nullopt, rule, music);

    auto state = std::make_unique<ViewState>(
        ViewState{view.decision.keep, view.window_len, samples.size(), rate, config});
    py::Ref holder = py::Ref::steal(py::must(PyCapsule_New(state.get(), kViewName, free_view)));
    state.release();  // the capsule owns it now
    const bool read_high = rule == ThresholdRule::noise;
    py::Ref music_values = music ? py::music_arrays(view.music) : py::none();
    std::array<py::Ref, 13> items{
        py::unsigned_int(view.window_len),
        py::float_array(std::move(view.energies)),
        py::float_array(std::move(view.decision.smoothed)),
        py::float_value(view.decision.floor),
        py::float_value(view.decision.threshold.value),
        clamp_text(view.decision.threshold.clamped),
        py::bool_array(std::move(view.voice)),
        py::bool_array(std::move(view.decision.keep)),
        py::unsigned_int(rate),
        std::move(holder),
        read_high ? py::float_value(view.decision.high) : py::none(),
        py::float_value(view.decision.ratio),
        std::move(music_values),
    };
    return py::tuple(items);
}

using Mask = py::Function<"mask", "view">;

py::Ref mask(PyObject*, std::array<py::Ref, 1>& arg) {
    const ViewState& view = view_of(arg[0].get());
    return py::bool_array(expand_flags(view.keep, view.window_len, view.n_samples));
}

using Gains = py::Function<"gains", "view">;

py::Ref gains(PyObject*, std::array<py::Ref, 1>& arg) {
    const ViewState& view = view_of(arg[0].get());
    return py::float_array(gain_curve(view.config, view.keep, view.window_len, view.n_samples, view.sample_rate));
}

using GainsPart = py::Function<"gains_part", "view", "start", "stop">;

// Samples [start, stop) of the gain curve, clipped as a slice is.
py::Ref gains_part(PyObject*, std::array<py::Ref, 3>& arg) {
    const ViewState& view = view_of(arg[0].get());
    const std::uint64_t start = py::to_unsigned(arg[1].get(), "start");
    const std::uint64_t stop = py::to_unsigned(arg[2].get(), "stop");
    return py::float_array(
        gain_curve_part(view.config, view.keep, view.window_len, view.n_samples, view.sample_rate, start, stop));
}

using Runs = py::Function<"runs", "view">;

// The kept runs as a list of (start, end) pairs of sample indices.
py::Ref runs(PyObject*, std::array<py::Ref, 1>& arg) {
    const ViewState& view = view_of(arg[0].get());
    const std::vector<SampleRun> found = kept_runs(view.keep, view.window_len, view.n_samples);
    py::Ref list = py::Ref::steal(py::must(PyList_New(static_cast<Py_ssize_t>(found.size()))));
    for (std::size_t i = 0; i < found.size(); ++i) {
        std::array<py::Ref, 2> pair{py::unsigned_int(found[i].start), py::unsigned_int(found[i].end)};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::tuple(pair).release());
    }
    return list;
}

PyMethodDef analysis_functions[] = {
    py::fast_method<Analyse, analyse>(),
    py::fast_method<Mask, mask>(),
    py::fast_method<Gains, gains>(),
    py::fast_method<GainsPart, gains_part>(),
    py::fast_method<Runs, runs>(),
    py::fast_method<BandFilterFunction, band_filter_function>(),
    py::fast_method<StreamViewFunction, stream_view>(),
    py::kEndOfMethods,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_analysis",
    .m_doc = "Every intermediate of the gate's analysis; talvane_rs.analyse is its interface.",
    .m_size = 0,  // as _native: one module object per process
    .m_methods = analysis_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

constinit py::ModuleOnce module_once;

}  // namespace

const py::ModuleTexts py::kModuleTexts{
    .name = "talvane_rs._analysis",
    .internal_error_doc = "Raised when talvane_rs._analysis fails unexpectedly. Derives from BaseException, "
                          "so 'except Exception' does not catch it.",
};

}  // namespace talvane

PyMODINIT_FUNC PyInit__analysis(void) {
    using namespace talvane;
    return py::boundary("PyInit__analysis", [] {
        return py::module_once(module_once, [] {
            py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
            if (!module) throw py::ErrSet{};
            add_band_filter_class(module.get());
            add_stream_view_class(module.get());
            add_stream_class(module.get());
            return module.release();  // kept for the process
        });
    });
}
