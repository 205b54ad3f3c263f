// Argument binding: positional and keyword arguments matched to a parameter list.
#pragma once

#include "convert/ref.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace talvane::py {

struct Signature {
    const char* function;                  // "EnergyTalvane.apply_array()" in messages
    std::span<const char* const> params;   // every parameter is positional-or-keyword
    bool all_required;                     // methods: all required; constructors: none
};

// Fills out[i] with a new reference to the argument of params[i], or leaves it
// empty when the parameter was not given. Raises TypeError (ErrSet) for too many
// positional arguments, a repeated or unknown keyword, or missing required ones.
void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<Ref> out);
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<Ref> out);

template <std::size_t N>
struct Params {
    const char* function;
    std::array<const char*, N> names;
    bool all_required;
    Signature signature() const { return {function, names, all_required}; }
};

template <std::size_t N>
std::array<Ref, N> bind(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<Ref, N> out;
    bind_fast(params.signature(), args, nargs, kwnames, out);
    return out;
}

template <std::size_t N>
std::array<Ref, N> bind(const Params<N>& params, PyObject* args, PyObject* kwargs) {
    std::array<Ref, N> out;
    bind_tuple(params.signature(), args, kwargs, out);
    return out;
}

}  // namespace talvane::py
