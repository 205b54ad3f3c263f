// Block copies into result buffers, with non-temporal stores for large ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "buffer.hpp"

#if defined(__SSE2__) || defined(_M_X64)  // MSVC names no SSE2 macro on x86-64
#include <emmintrin.h>
#define TALVANE_STREAM_STORES 1
#endif

namespace talvane {

// Results of many megabytes are written once and not read back by the call: plain
// stores would first read every destination line into the cache. Non-temporal
// stores skip that read; the values written are the same. Below this size the
// result is better left in the cache for the caller.
constexpr std::size_t kNonTemporalFrom = std::size_t{4} << 20;  // bytes of output

// Whether a result of this many floats is written with non-temporal stores.
inline bool bypass_cache(std::size_t count) { return count * sizeof(float) >= kNonTemporalFrom; }

// dst[i] = src[i] * scale for i < count, or a plain copy when scale is null;
// with non-temporal stores when bypass is set (then finish_bypass() afterwards).
inline void copy_scaled(float* dst, const float* src, std::size_t count, const float* scale, bool bypass) {
#if TALVANE_STREAM_STORES
    if (bypass) {
        std::size_t i = 0;
        for (; i < count && reinterpret_cast<std::uintptr_t>(dst + i) % 16 != 0; ++i) {
            dst[i] = scale != nullptr ? src[i] * *scale : src[i];
        }
        if (scale != nullptr) {
            const __m128 s = _mm_set1_ps(*scale);
            for (; i + 4 <= count; i += 4) _mm_stream_ps(dst + i, _mm_mul_ps(_mm_loadu_ps(src + i), s));
        } else {
            for (; i + 4 <= count; i += 4) _mm_stream_ps(dst + i, _mm_loadu_ps(src + i));
        }
        for (; i < count; ++i) dst[i] = scale != nullptr ? src[i] * *scale : src[i];
        return;
    }
#else
    (void)bypass;
#endif
    if (scale != nullptr) {
        for (std::size_t i = 0; i < count; ++i) dst[i] = src[i] * *scale;
    } else if (count != 0) {
        std::memcpy(dst, src, count * sizeof(float));
    }
}

// Orders the non-temporal stores before anything the caller does next.
inline void finish_bypass(bool bypass) {
#if TALVANE_STREAM_STORES
    if (bypass) _mm_sfence();
#else
    (void)bypass;
#endif
}

// A new buffer holding a copy of the samples: one block copy (the element-wise
// construction of a range would be far slower).
inline SampleBuffer copy_samples(std::span<const float> samples) {
    SampleBuffer out(samples.size());  // every element written below
    const bool bypass = bypass_cache(samples.size());
    copy_scaled(out.data(), samples.data(), samples.size(), nullptr, bypass);
    finish_bypass(bypass);
    return out;
}

}  // namespace talvane
