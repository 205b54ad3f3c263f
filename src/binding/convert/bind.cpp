// Argument binding with the interpreter's own wording for each mistake.
#include "convert/bind.hpp"

#include <string>

#include "convert/boundary.hpp"

namespace talvane::py {

namespace {

void bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     std::span<Ref> out) {
    const auto n_params = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > n_params) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (sig.all_required) {
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                         sig.function, n_params, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from 0 to %zd positional arguments but %zd %s given",
                         sig.function, n_params, nargs, verb);
        }
        throw ErrSet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
}

void bind_keyword(const Signature& sig, PyObject* name, PyObject* value, std::span<Ref> out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                         sig.params[i]);
            throw ErrSet{};
        }
        out[i] = Ref::borrow(value);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, name);
    throw ErrSet{};
}

void check_required(const Signature& sig, std::span<Ref> out) {
    if (!sig.all_required) return;
    std::size_t missing = 0;
    for (const Ref& r : out) missing += r ? 0 : 1;
    if (missing == 0) return;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i]) continue;
        if (listed > 0) names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
        names += std::string("'") + sig.params[i] + "'";
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.function, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    throw ErrSet{};
}

}  // namespace

void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<Ref> out) {
    nargs = PyVectorcall_NARGS(nargs);
    bind_positional(sig, args, nargs, out);
    const Py_ssize_t n_kw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<Ref> out) {
    bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(sig, name, value, out);
    }
    check_required(sig, out);
}

}  // namespace talvane::py
