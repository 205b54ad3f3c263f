// Receiver borrowing: an atomic counter per gate object, shared or exclusive.
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <cstdint>

#include "convert/boundary.hpp"

namespace talvane::py {

namespace detail {

template <class Obj>
Obj* receiver(PyObject* self) {
    PyTypeObject* type = Obj::type();
    if (type == nullptr || !PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "descriptor requires a '%s' object but received a '%s'", Obj::kName.chars,
                     Py_TYPE(self)->tp_name);
        throw ErrSet{};
    }
    return reinterpret_cast<Obj*>(self);
}

}  // namespace detail

// Held for reading; fails while an exclusive holder has the object.
template <class Obj>
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) : obj_(detail::receiver<Obj>(self)) {
        std::intptr_t seen = obj_->borrow.load(std::memory_order_relaxed);
        do {
            if (seen == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw ErrSet{};
            }
        } while (!obj_->borrow.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                     std::memory_order_relaxed));
    }
    ~SharedBorrow() { obj_->borrow.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const Obj* operator->() const noexcept { return obj_; }
    const Obj& operator*() const noexcept { return *obj_; }

private:
    Obj* obj_;
};

// Held for writing; fails while anyone holds the object.
template <class Obj>
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self) : obj_(detail::receiver<Obj>(self)) {
        std::intptr_t expected = 0;
        if (!obj_->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw ErrSet{};
        }
    }
    ~ExclusiveBorrow() { obj_->borrow.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    Obj* operator->() const noexcept { return obj_; }
    Obj& operator*() const noexcept { return *obj_; }

private:
    Obj* obj_;
};

}  // namespace talvane::py
