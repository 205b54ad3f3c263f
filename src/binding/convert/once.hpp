// OnceCell: a process-wide item made once, on first need, without a C++ lock.
#pragma once

#include "convert/ref.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "convert/boundary.hpp"

namespace talvane::py {

// The maker runs with the interpreter lock held and may call into Python, which can
// let other threads in; a thread that finds the item being made waits with the
// interpreter lock released, so the maker can finish. A maker that fails (throws)
// leaves the cell empty and the next caller tries again. Cells are constant-
// initialised globals: no function-local static guard is ever taken.
//
// A forked child inherits a cell that a thread of the parent was making, but not
// that thread: the cell records the process that started making it (pids are
// positive, so a busy word is never 0 or 1), and a child that finds another
// process there takes the cell over and makes the item itself instead of waiting
// for ever.
template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;

    template <class Make>
    T get(Make&& make) {
        if (word_.load(std::memory_order_acquire) == kReady) return value_;
        return get_slow(std::forward<Make>(make));
    }

    // The item if it was made, else T{}; never makes it.
    T peek() const noexcept {
        return word_.load(std::memory_order_acquire) == kReady ? value_ : T{};
    }

private:
    template <class Make>
    T get_slow(Make&& make) {
        const std::uint64_t mine = busy_word(this_process());
        for (;;) {
            std::uint64_t word = word_.load(std::memory_order_acquire);
            if (word == kReady) return value_;
            if (word == kEmpty) {
                if (!word_.compare_exchange_strong(word, mine, std::memory_order_acq_rel)) continue;
                owner_.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
                Reopen reopen{this};
                value_ = make();
                reopen.cell = nullptr;
                owner_.store(0, std::memory_order_relaxed);
                word_.store(kReady, std::memory_order_release);
                return value_;
            }
            if (word != mine) {
                // Being made in another process: this is a forked child, and the
                // maker is a thread it did not inherit.
                word_.compare_exchange_strong(word, kEmpty, std::memory_order_acq_rel);
                continue;
            }
            if (owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
                throw InternalFailure("a process-wide item was needed while it was being made");
            }
            // Polling rather than an atomic wait: it runs only while an item is
            // first made (an import, a type), and it needs nothing newer than the
            // oldest platforms the package is built for.
            Py_BEGIN_ALLOW_THREADS
            for (int round = 0; word_.load(std::memory_order_acquire) == mine; ++round) {
                if (round < 100) {
                    std::this_thread::yield();
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
            Py_END_ALLOW_THREADS
        }
    }

    // One word holds the state and, while the item is being made, the process
    // making it, so a reader never sees one without the other.
    static constexpr std::uint64_t kEmpty = 0, kReady = 1;
    static constexpr std::uint64_t busy_word(std::uint64_t process) noexcept { return process << 1; }

    static std::uint64_t this_process() noexcept {
#if defined(_WIN32)
        return static_cast<std::uint64_t>(_getpid());
#else
        return static_cast<std::uint64_t>(getpid());
#endif
    }

    // Puts a cell whose maker failed back to empty, which lets the waiters go on.
    struct Reopen {
        OnceCell* cell;
        ~Reopen() {
            if (cell == nullptr) return;
            cell->owner_.store(0, std::memory_order_relaxed);
            cell->word_.store(kEmpty, std::memory_order_release);
        }
    };

    std::atomic<std::uint64_t> word_{kEmpty};
    std::atomic<unsigned long> owner_{0};
    T value_{};
};

}  // namespace talvane::py
