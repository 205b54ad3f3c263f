// Stream()'s arguments before the object exists (stream_arguments.hpp).
#include "stream_arguments.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "analysis/keep_mask.hpp"
#include "convert/values.hpp"
#include "messages.hpp"

namespace talvane::stream_args {

namespace {

[[noreturn]] void value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw py::ErrSet{};
}

}  // namespace

std::uint64_t positive_rate(PyObject* obj) {
    py::Ref index = py::Ref::steal(PyNumber_Index(obj));
    if (index) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw py::ErrSet{};
        if (overflow < 0 || (overflow == 0 && value < 1)) {
            PyErr_Format(PyExc_ValueError, "sample_rate must be at least 1 Hz, not %S", index.get());
            throw py::ErrSet{};
        }
    }
    return py::to_unsigned(obj, "sample_rate");
}

void refuse_bad_levels(const GateConfig& config) {
#define TALVANE_NAN_CHECK_flag(name)
#define TALVANE_NAN_CHECK_count(name)
#define TALVANE_NAN_CHECK_level(name) \
    if (std::isnan(config.name)) value_error(#name " must be a number, not NaN");
#define TALVANE_NAN_CHECK(kind, name, value) TALVANE_NAN_CHECK_##kind(name)
    TALVANE_GATE_PARAMETERS(TALVANE_NAN_CHECK)
#undef TALVANE_NAN_CHECK
#undef TALVANE_NAN_CHECK_level
#undef TALVANE_NAN_CHECK_count
#undef TALVANE_NAN_CHECK_flag
    if (!threshold_limits_in_order(config.base_thresh, config.max_thresh)) {
        value_error(threshold_limits_message(config.base_thresh, config.max_thresh));
    }
}

void check_positional(PyObject* args, bool has_rate) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > 1) {
        PyErr_Format(PyExc_TypeError, "Stream() takes 1 positional argument but %zd were given", given);
        throw py::ErrSet{};
    }
    if (!has_rate) {
        PyErr_SetString(PyExc_TypeError, "Stream() missing 1 required positional argument: 'sample_rate'");
        throw py::ErrSet{};
    }
}

void take_preset(std::span<py::Ref, kNames.size()> arg) {
    if (!arg[kPreset] || arg[kPreset].get() == Py_None) return;
    py::Ref params = py::Ref::steal(PyImport_ImportModule("talvane_rs.params"));
    if (!params) throw py::ErrSet{};
    py::Ref values = py::Ref::steal(PyObject_CallMethod(params.get(), "stream_preset", "O", arg[kPreset].get()));
    if (!values) throw py::ErrSet{};  // ValueError for a name that is no preset
    if (!PyTuple_Check(values.get()) || PyTuple_GET_SIZE(values.get()) != 3 + kGateParameterCount) {
        throw std::logic_error("stream_preset gave no tuple of band, the parameters, rule and music");
    }
    const auto take = [&](std::size_t index, Py_ssize_t item) {
        if (!arg[index]) arg[index] = py::Ref::borrow(PyTuple_GET_ITEM(values.get(), item));
    };
    take(1, 0);
    for (std::size_t i = 0; i < kGateParameterCount; ++i) take(kFirstParameter + i, static_cast<Py_ssize_t>(1 + i));
    take(kRule, 1 + kGateParameterCount);
    take(kMusic, 2 + kGateParameterCount);
}

}  // namespace talvane::stream_args
