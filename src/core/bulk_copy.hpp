// Copies into large result buffers with streaming (non-temporal) stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace talvane {

// Results of many megabytes are written once and not read back by the call: plain
// stores would first read every destination line into the cache. Streaming stores
// skip that read; the values written are the same. Below this size the result is
// better left in the cache for the caller.
constexpr std::size_t kStreamFrom = std::size_t{4} << 20;  // bytes of output

// dst[i] = src[i] * scale for i < count, or a plain copy when scale is null.
inline void write_out(float* dst, const float* src, std::size_t count, const float* scale, bool stream) {
#if defined(__SSE2__)
    if (stream) {
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
#endif
    if (scale != nullptr) {
        for (std::size_t i = 0; i < count; ++i) dst[i] = src[i] * *scale;
    } else if (count != 0) {
        std::memcpy(dst, src, count * sizeof(float));
    }
}

// Orders the streaming stores before anything the caller does next.
inline void finish_writes(bool stream) {
#if defined(__SSE2__)
    if (stream) _mm_sfence();
#else
    (void)stream;
#endif
}

// A new buffer holding a copy of the samples: one block copy (the element-wise
// construction of a range would be far slower).
inline SampleBuffer copy_samples(std::span<const float> samples) {
    SampleBuffer out(samples.size());
    const bool stream = samples.size() * sizeof(float) >= kStreamFrom;
    write_out(out.data(), samples.data(), samples.size(), nullptr, stream);
    finish_writes(stream);
    return out;
}

}  // namespace talvane
