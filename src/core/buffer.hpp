// Result buffers: zeroed without a fill pass, large ones on huge pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace talvane {

// Result buffers. allocate() returns zeroed storage unless `zeroed` is off (calloc
// for large sizes, which maps fresh pages the kernel has already cleared, so no
// fill pass is made; operator new and a fill for small ones, which the allocator's
// per-thread cache serves faster than calloc, and which compilers do not merge
// back into calloc as they do malloc followed by a fill),
// and construct() without arguments leaves an element as it is, so sizing a
// buffer costs nothing. What that leaves in the elements is only promised by
// zeroed_samples() and zeroed_flags(): a buffer resized again inside capacity it
// once used keeps what was there. Code that sizes a buffer any other way writes
// every element. Large buffers are advised onto huge pages: a fresh buffer of many
// megabytes otherwise pays one page fault per 4 KiB page.
// calloc is free only on fresh pages: a block the C library hands out again (glibc
// serves blocks of up to 32 MiB from its heap once it has freed a mapped one of
// that size) is cleared with a pass of its own, so a buffer whose maker writes
// every element anyway is better allocated with `zeroed` off (unfilled_flags()).
template <class T>
struct BufferAllocator {
    using value_type = T;
    // Storage from any instance is freed the same way, whatever `zeroed` says.
    using is_always_equal = std::true_type;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;  // bytes
    static constexpr std::size_t kHugeFrom = std::size_t{4} << 20;  // bytes
    static constexpr std::size_t kFilledBelow = std::size_t{1} << 10;  // bytes

    bool zeroed = true;  // whether allocate() clears the storage

    BufferAllocator() noexcept = default;
    explicit BufferAllocator(bool zero) noexcept : zeroed(zero) {}
    template <class U>
    BufferAllocator(const BufferAllocator<U>& other) noexcept : zeroed(other.zeroed) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kFilledBelow) {
            void* p = ::operator new(bytes == 0 ? 1 : bytes);
            if (zeroed) std::memset(p, 0, bytes);
            return static_cast<T*>(p);
        }
        void* p = zeroed ? std::calloc(n, sizeof(T)) : std::malloc(bytes);
        if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kHugeFrom) {
            // Advice only, on the whole huge pages inside the block; failure changes nothing.
            const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) / kHugePage * kHugePage;
            const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) / kHugePage * kHugePage;
            if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        }
#endif
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kFilledBelow) {
            ::operator delete(p);
        } else {
            std::free(p);
        }
    }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;  // left as allocated
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

// A new buffer of n zeros: fresh storage from allocate(), never reused storage,
// so the zeros cost no pass over the buffer.
inline SampleBuffer zeroed_samples(std::size_t n) { return SampleBuffer(n); }
inline FlagBuffer zeroed_flags(std::size_t n) { return FlagBuffer(n); }

// A new buffer of n flags or samples left as allocated, for a maker that writes
// every one: no clearing pass, even where the C library reuses a freed block.
inline FlagBuffer unfilled_flags(std::size_t n) { return FlagBuffer(n, BufferAllocator<std::uint8_t>(false)); }
inline SampleBuffer unfilled_samples(std::size_t n) { return SampleBuffer(n, BufferAllocator<float>(false)); }

}  // namespace talvane
