// One module object per process, made in the first interpreter and refused in any other.
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <cstdint>
#include <string>

#include "convert/boundary.hpp"
#include "convert/once.hpp"

namespace talvane::py {

// Per extension module: the interpreter that first initialised it and the module
// object, both kept for the process.
struct ModuleOnce {
    std::atomic<std::int64_t> first_interpreter{-1};
    OnceCell<PyObject*> module;
};

// The body of PyInit_<name>: claims the module for this interpreter with one
// atomic compare-and-swap (two interpreters racing at the first import cannot both
// win), then returns the one module object, made by `make` the first time.
// A failed make leaves nothing kept, so a later import tries again.
template <class Make>
Ref module_once(ModuleOnce& once, Make&& make) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw ErrSet{};
    std::int64_t recorded = -1;
    if (!once.first_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
        const std::string message = std::string(kModuleTexts.name) +
                                    " does not support sub-interpreters: it was already initialised in "
                                    "another interpreter of this process";
        PyErr_SetString(PyExc_ImportError, message.c_str());
        throw ErrSet{};
    }
    return Ref::borrow(once.module.get(std::forward<Make>(make)));
}

}  // namespace talvane::py
