// Result buffers: large ones on huge pages, elements left unset until written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace talvane {

// A fresh buffer of many megabytes pays one page fault per 4 KiB page, which can
// cost more than filling it; large buffers are aligned to 2 MiB and advised onto
// huge pages. construct() without arguments leaves the element unset (no zero
// fill): code using these buffers writes every element it sizes.
template <class T>
struct BufferAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;      // bytes
    static constexpr std::size_t kHugeFrom = std::size_t{4} << 20;      // bytes

    BufferAllocator() noexcept = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeFrom) return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = nullptr;
        if (posix_memalign(&p, kHugePage, rounded) != 0) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugeFrom) {
            ::operator delete(p);
        } else {
            std::free(p);
        }
    }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const BufferAllocator<U>&) const noexcept { return true; }
};

using SampleBuffer = std::vector<float, BufferAllocator<float>>;        // audio results
using FlagBuffer = std::vector<std::uint8_t, BufferAllocator<std::uint8_t>>;  // 0 or 1 per sample

}  // namespace talvane
