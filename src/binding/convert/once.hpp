// OnceCell: a process-wide item made once, on first need, without a C++ lock.
#pragma once

#include "convert/ref.hpp"

#include <atomic>

#include "convert/boundary.hpp"

namespace talvane::py {

// The maker runs with the interpreter lock held and may call into Python, which can
// let other threads in; a thread that finds the item being made waits with the
// interpreter lock released, so the maker can finish. A maker that fails (throws)
// leaves the cell empty and the next caller tries again. Cells are constant-
// initialised globals: no function-local static guard is ever taken.
template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;

    template <class Make>
    T get(Make&& make) {
        for (;;) {
            int state = state_.load(std::memory_order_acquire);
            if (state == kReady) return value_;
            if (state == kEmpty) {
                int expected = kEmpty;
                if (!state_.compare_exchange_strong(expected, kBusy, std::memory_order_acq_rel)) continue;
                owner_.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
                Reopen reopen{this};
                value_ = make();
                reopen.cell = nullptr;
                owner_.store(0, std::memory_order_relaxed);
                state_.store(kReady, std::memory_order_release);
                state_.notify_all();
                return value_;
            }
            if (owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
                throw InternalFailure("a process-wide item was needed while it was being made");
            }
            Py_BEGIN_ALLOW_THREADS
            state_.wait(kBusy, std::memory_order_acquire);
            Py_END_ALLOW_THREADS
        }
    }

    // The item if it was made, else T{}; never makes it.
    T peek() const noexcept {
        return state_.load(std::memory_order_acquire) == kReady ? value_ : T{};
    }

private:
    static constexpr int kEmpty = 0, kBusy = 1, kReady = 2;

    // Puts a cell whose maker failed back to empty and wakes the waiters.
    struct Reopen {
        OnceCell* cell;
        ~Reopen() {
            if (cell == nullptr) return;
            cell->owner_.store(0, std::memory_order_relaxed);
            cell->state_.store(kEmpty, std::memory_order_release);
            cell->state_.notify_all();
        }
    };

    std::atomic<int> state_{kEmpty};
    std::atomic<unsigned long> owner_{0};
    T value_{};
};

}  // namespace talvane::py
