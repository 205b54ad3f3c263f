// Method table rows made from one description of each method: its class, name and
// parameters are written once, and the texts that name it are derived from them.
#pragma once

#include "convert/ref.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "convert/bind.hpp"
#include "convert/boundary.hpp"

namespace talvane::py {

// A string literal that can be a template argument and be joined at compile time.
template <std::size_t N>
struct Text {
    char chars[N] = {};
    constexpr Text() = default;
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, chars); }  // NOLINT: implicit on purpose
    static constexpr std::size_t length = N - 1;
};

template <std::size_t... N>
constexpr auto join(const Text<N>&... parts) {
    Text<(0 + ... + (N - 1)) + 1> out;
    std::size_t at = 0;
    ((std::copy_n(parts.chars, N - 1, out.chars + at), at += N - 1), ...);
    return out;
}

// A fast-call callable with all parameters required, positional or keyword: a
// method (Self "$self", Prefix "Type.") or a module function (Self "$module", no prefix).
template <Text Prefix, Text Self, Text Name, Text... Parameters>
struct FastCall {
    static constexpr std::size_t arity = sizeof...(Parameters);
    static constexpr auto place = join(Prefix, Name);            // failure reports
    static constexpr auto function = join(place, Text("()"));    // binding messages
    static constexpr auto doc = join(Name, Text("("), Self, join(Text(", "), Parameters)..., Text(")\n--\n\n"));
    static constexpr Params<arity> binding{function.chars, {Parameters.chars...}, true};
    static constexpr const char* name = Name.chars;
};

template <Text Type, Text Name, Text... Parameters>
using Method = FastCall<join(Type, Text(".")), Text("$self"), Name, Parameters...>;

template <Text Name, Text... Parameters>
using Function = FastCall<Text(""), Text("$module"), Name, Parameters...>;

// A method without arguments (the interpreter refuses any).
template <Text Type, Text Name>
struct NoArgs {
    static constexpr auto place = join(Type, Text("."), Name);
    static constexpr auto doc = join(Name, Text("($self)\n--\n\n"));
    static constexpr const char* name = Name.chars;
};

template <class F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// The work of a fast-call method once its arguments are bound to its parameters.
template <class M>
using Body = Ref (*)(PyObject* self, std::array<Ref, M::arity>& arg);

template <class M, Body<M> body>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary(M::place.chars, [&] {
        auto arg = bind(M::binding, args, nargs, kwnames);
        return body(self, arg);
    });
}

template <class M, Ref (*body)(PyObject* self)>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return boundary(M::place.chars, [&] { return body(self); });
}

// The table row of a fast-call method whose work (after binding) is `body`.
template <class M, Body<M> body>
constexpr PyMethodDef fast_method() {
    return {.ml_name = M::name, .ml_meth = as_cfunction(fast_entry<M, body>),
            .ml_flags = METH_FASTCALL | METH_KEYWORDS, .ml_doc = M::doc.chars};
}

template <class M, Ref (*body)(PyObject* self)>
constexpr PyMethodDef noargs_method() {
    return {.ml_name = M::name, .ml_meth = as_cfunction(noargs_entry<M, body>), .ml_flags = METH_NOARGS,
            .ml_doc = M::doc.chars};
}

constexpr PyMethodDef kEndOfMethods{.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr};

}  // namespace talvane::py
