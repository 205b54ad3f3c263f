// py::Ref, the only type that owns a Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace talvane::py {

class Ref {  // one strong reference or none; move-only
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }  // o is a new reference
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return Ref(o); }
    Ref(Ref&& r) noexcept : obj_(std::exchange(r.obj_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept { std::swap(obj_, r.obj_); return *this; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace talvane::py
