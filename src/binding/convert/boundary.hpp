// The boundary every entry point goes through: no C++ exception reaches Python.
#pragma once

#include "convert/ref.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace talvane::py {

// What failure texts call the extension module; each module defines it.
struct ModuleTexts {
    const char* name;                // "talvane_rs._native"
    const char* internal_error_doc;  // the doc of its internal-error exception
};
extern const ModuleTexts kModuleTexts;

// Thrown after a CPython call failed with the Python error left set.
struct ErrSet {};

// An unexpected failure of the module itself; raised as the internal-error exception.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// For calls that should not fail: returns o, or turns the pending Python error
// into an InternalFailure carrying its text.
PyObject* must(PyObject* o);

// "TypeName: message" of the pending Python error, which is cleared.
std::string take_error_text();

// The internal-error exception type (base BaseException), made on first need.
PyObject* internal_error_type();

namespace detail {
// Turns the exception in flight into a Python error; always returns nullptr.
PyObject* fail(const char* place) noexcept;
}  // namespace detail

// Runs body (which returns a Ref) for the entry point named by place; any failure
// becomes a Python exception and NULL.
template <class Body>
PyObject* boundary(const char* place, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)().release();
    } catch (...) {
        return detail::fail(place);
    }
}

}  // namespace talvane::py
