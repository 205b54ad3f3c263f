// Window energies: each window's sum is one chain in sample order; speed comes from
// running the chains of many windows side by side, never from splitting a chain.
#include "analysis/energy.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "analysis/simd.hpp"

namespace talvane {

namespace {

inline float rms(float sum, std::uint64_t count) {
    return std::sqrt(sum / static_cast<float>(count));
}

inline float window_sum(const float* p, std::uint64_t count) {
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < count; ++i) sum = sum + p[i] * p[i];
    return sum;
}

// Windows [first, last) one at a time; the last window may be short.
void one_by_one(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first, std::uint64_t last,
           float* out) {
    for (std::uint64_t t = first; t < last; ++t) {
        const std::uint64_t start = t * w;
        const std::uint64_t count = std::min<std::uint64_t>(w, n - start);
        out[t - first] = rms(window_sum(x + start, count), count);
    }
}

// Complete windows of [first, last) go kGroup at a time through `group`; the rest,
// the short last window included, one by one. When fewer than kGroup complete
// windows remain but the samples hold kGroup complete windows up to the last of
// them, those go through one more group that reaches back over windows already
// done (their sums come out the same and are not written again): a group takes
// about the time of one window summed alone, since the chains run side by side.
template <std::uint64_t kGroup, class Group>
void in_groups(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first, std::uint64_t last,
             float* out, Group group) {
    const std::uint64_t complete_end = std::min<std::uint64_t>(last, n / w);
    std::uint64_t t = first;
    for (; t + kGroup <= complete_end; t += kGroup) {
        float sums[kGroup];
        // A group two ahead is fetched while this one is summed; for long windows,
        // whose long runs the hardware follows well, one ahead or none.
        const std::uint64_t ahead = w <= 1024 ? 2 : (w <= 4096 ? 1 : 0);
        const float* next = ahead > 0 && t + (ahead + 1) * kGroup <= complete_end ? x + (t + ahead * kGroup) * w
                                                                                  : nullptr;
        group(x + t * w, w, next, sums);
        for (std::uint64_t i = 0; i < kGroup; ++i) out[t - first + i] = rms(sums[i], w);
    }
    if (t + 1 < complete_end && complete_end >= kGroup) {
        float sums[kGroup];
        const std::uint64_t start = complete_end - kGroup;
        group(x + start * w, w, nullptr, sums);
        for (; t < complete_end; ++t) out[t - first] = rms(sums[t - start], w);
    }
    one_by_one(x, n, w, t, last, out + (t - first));
}

// Eight scalar chains at once: portable, and already far from latency-bound.
void interleaved(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first,
                 std::uint64_t last, float* out) {
    in_groups<8>(x, n, w, first, last, out, [](const float* p, std::uint64_t len, const float*, float* sums) {
        float s[8] = {};
        for (std::uint64_t j = 0; j < len; ++j) {
            for (int i = 0; i < 8; ++i) {
                const float v = p[static_cast<std::uint64_t>(i) * len + j];
                s[i] = s[i] + v * v;
            }
        }
        std::copy(s, s + 8, sums);
    });
}

#if TALVANE_X86 || TALVANE_NEON
// Continues each window's chain over the samples a vector block left, from j on.
inline void finish_chains(const float* p, std::uint64_t len, std::uint64_t j, int windows, float* sums) {
    for (int i = 0; i < windows; ++i) {
        const float* q = p + static_cast<std::uint64_t>(i) * len;
        for (std::uint64_t k = j; k < len; ++k) sums[i] = sums[i] + q[k] * q[k];
    }
}

// Lane i of an accumulator follows window i. Blocks of consecutive samples are
// loaded from each window and transposed, so every lane still adds its window's
// squares one at a time in sample order.
// Eight or sixteen short streams at once are more than the hardware prefetcher
// follows well, so a later group's windows are fetched into L2 in software, one
// line per window every 16 samples, while this group is summed. Always inlined:
// GCC takes a function whose only effect is a prefetch for one without effects,
// and deletes its calls.
TALVANE_ALWAYS_INLINE void prefetch_group(const float* next, std::uint64_t len, int windows, std::uint64_t j) {
    if (next == nullptr || j % 16 != 0) return;
    for (int i = 0; i < windows; ++i) {
        const float* line = next + static_cast<std::uint64_t>(i) * len + j;
#if TALVANE_X86
        _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T1);
#else
        __builtin_prefetch(line, 0, 2);  // read, kept in L2
#endif
    }
}
#endif

#if TALVANE_NEON
inline void transpose4(float32x4_t& r0, float32x4_t& r1, float32x4_t& r2, float32x4_t& r3) {
    const float32x4_t t0 = vtrn1q_f32(r0, r1), t1 = vtrn2q_f32(r0, r1);
    const float32x4_t t2 = vtrn1q_f32(r2, r3), t3 = vtrn2q_f32(r2, r3);
    r0 = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
    r1 = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
    r2 = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
    r3 = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
}

// Eight windows as two vectors of four: two independent chains of adds.
void neon_group(const float* p, std::uint64_t len, const float* next, float* sums) {
    float32x4_t acc_a = vdupq_n_f32(0.0f), acc_b = vdupq_n_f32(0.0f);
    const float* a[4] = {p, p + len, p + 2 * len, p + 3 * len};
    const float* b[4] = {p + 4 * len, p + 5 * len, p + 6 * len, p + 7 * len};
    std::uint64_t j = 0;
    for (; j + 4 <= len; j += 4) {
        prefetch_group(next, len, 8, j);
        float32x4_t a0 = vld1q_f32(a[0] + j), a1 = vld1q_f32(a[1] + j);
        float32x4_t a2 = vld1q_f32(a[2] + j), a3 = vld1q_f32(a[3] + j);
        float32x4_t b0 = vld1q_f32(b[0] + j), b1 = vld1q_f32(b[1] + j);
        float32x4_t b2 = vld1q_f32(b[2] + j), b3 = vld1q_f32(b[3] + j);
        transpose4(a0, a1, a2, a3);
        transpose4(b0, b1, b2, b3);
        acc_a = vaddq_f32(acc_a, vmulq_f32(a0, a0));
        acc_b = vaddq_f32(acc_b, vmulq_f32(b0, b0));
        acc_a = vaddq_f32(acc_a, vmulq_f32(a1, a1));
        acc_b = vaddq_f32(acc_b, vmulq_f32(b1, b1));
        acc_a = vaddq_f32(acc_a, vmulq_f32(a2, a2));
        acc_b = vaddq_f32(acc_b, vmulq_f32(b2, b2));
        acc_a = vaddq_f32(acc_a, vmulq_f32(a3, a3));
        acc_b = vaddq_f32(acc_b, vmulq_f32(b3, b3));
    }
    vst1q_f32(sums, acc_a);
    vst1q_f32(sums + 4, acc_b);
    finish_chains(p, len, j, 8, sums);
}

void neon(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first, std::uint64_t last,
          float* out) {
    in_groups<8>(x, n, w, first, last, out, neon_group);
}
#endif

#if TALVANE_X86

void sse2_group(const float* p, std::uint64_t len, const float* next, float* sums) {
    __m128 acc_a = _mm_setzero_ps(), acc_b = _mm_setzero_ps();
    const float* a[4] = {p, p + len, p + 2 * len, p + 3 * len};
    const float* b[4] = {p + 4 * len, p + 5 * len, p + 6 * len, p + 7 * len};
    std::uint64_t j = 0;
    for (; j + 4 <= len; j += 4) {
        prefetch_group(next, len, 8, j);
        __m128 a0 = _mm_loadu_ps(a[0] + j), a1 = _mm_loadu_ps(a[1] + j);
        __m128 a2 = _mm_loadu_ps(a[2] + j), a3 = _mm_loadu_ps(a[3] + j);
        __m128 b0 = _mm_loadu_ps(b[0] + j), b1 = _mm_loadu_ps(b[1] + j);
        __m128 b2 = _mm_loadu_ps(b[2] + j), b3 = _mm_loadu_ps(b[3] + j);
        _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
        _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
        acc_a = _mm_add_ps(acc_a, _mm_mul_ps(a0, a0));
        acc_b = _mm_add_ps(acc_b, _mm_mul_ps(b0, b0));
        acc_a = _mm_add_ps(acc_a, _mm_mul_ps(a1, a1));
        acc_b = _mm_add_ps(acc_b, _mm_mul_ps(b1, b1));
        acc_a = _mm_add_ps(acc_a, _mm_mul_ps(a2, a2));
        acc_b = _mm_add_ps(acc_b, _mm_mul_ps(b2, b2));
        acc_a = _mm_add_ps(acc_a, _mm_mul_ps(a3, a3));
        acc_b = _mm_add_ps(acc_b, _mm_mul_ps(b3, b3));
    }
    _mm_storeu_ps(sums, acc_a);
    _mm_storeu_ps(sums + 4, acc_b);
    finish_chains(p, len, j, 8, sums);
}

void sse2(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first, std::uint64_t last,
          float* out) {
    in_groups<8>(x, n, w, first, last, out, sse2_group);
}

TALVANE_AVX2 inline __m256 add_squares(__m256 acc, __m256 r0, __m256 r1, __m256 r2, __m256 r3, __m256 r4,
                                       __m256 r5, __m256 r6, __m256 r7) {
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r0, r0));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r1, r1));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r2, r2));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r3, r3));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r4, r4));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r5, r5));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r6, r6));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(r7, r7));
    return acc;
}

// Sixteen windows: two independent 8-lane chains hide the latency of the adds.
TALVANE_AVX2 void avx2_group(const float* p, std::uint64_t len, const float* next, float* sums) {
    __m256 acc[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    std::uint64_t j = 0;
    for (; j + 8 <= len; j += 8) {
        prefetch_group(next, len, 16, j);
        for (int g = 0; g < 2; ++g) {
            const float* q = p + static_cast<std::uint64_t>(8 * g) * len + j;
            __m256 r0 = _mm256_loadu_ps(q), r1 = _mm256_loadu_ps(q + len);
            __m256 r2 = _mm256_loadu_ps(q + 2 * len), r3 = _mm256_loadu_ps(q + 3 * len);
            __m256 r4 = _mm256_loadu_ps(q + 4 * len), r5 = _mm256_loadu_ps(q + 5 * len);
            __m256 r6 = _mm256_loadu_ps(q + 6 * len), r7 = _mm256_loadu_ps(q + 7 * len);
            transpose8(r0, r1, r2, r3, r4, r5, r6, r7);
            acc[g] = add_squares(acc[g], r0, r1, r2, r3, r4, r5, r6, r7);
        }
    }
    _mm256_storeu_ps(sums, acc[0]);
    _mm256_storeu_ps(sums + 8, acc[1]);
    finish_chains(p, len, j, 16, sums);
}

TALVANE_AVX2 void avx2(const float* x, std::uint64_t n, std::uint64_t w, std::uint64_t first, std::uint64_t last,
                       float* out) {
    in_groups<16>(x, n, w, first, last, out, avx2_group);
}
#endif

bool on_every_processor() { return true; }

constexpr EnergyPath kPaths[] = {
    {"one_by_one", on_every_processor, one_by_one},
    {"interleaved", on_every_processor, interleaved},
#if TALVANE_X86
    {"sse2", on_every_processor, sse2},
    {"avx2", processor_has_avx2, avx2},
#endif
#if TALVANE_NEON
    {"neon", on_every_processor, neon},
#endif
};

using Run = void (*)(const float*, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, float*);

Run best_path() {
    Run best = interleaved;
    for (const EnergyPath& path : kPaths) {
        if (path.available()) best = path.run;
    }
    return best;
}

}  // namespace

std::span<const EnergyPath> energy_paths() { return kPaths; }

void window_energies_range(std::span<const float> samples, std::uint64_t window_len,
                           std::uint64_t first, std::uint64_t last, float* out) {
    best_path()(samples.data(), samples.size(), window_len, first, last, out);
}

namespace {

// Windows [0, kWindows) of scattered_window_energies side by side, each for as
// long as it has samples (the last window of a recording may be short).
template <std::size_t kWindows>
void side_by_side(const float* const* starts, const std::uint64_t* counts, float* out) {
    float sums[kWindows] = {};
    std::uint64_t longest = 0;
    for (std::size_t i = 0; i < kWindows; ++i) longest = std::max(longest, counts[i]);
    for (std::uint64_t j = 0; j < longest; ++j) {
        for (std::size_t i = 0; i < kWindows; ++i) {
            if (j < counts[i]) sums[i] = sums[i] + starts[i][j] * starts[i][j];
        }
    }
    for (std::size_t i = 0; i < kWindows; ++i) out[i] = rms(sums[i], counts[i]);
}

template <std::size_t... kWindows>
void side_by_side_of(std::size_t windows, const float* const* starts, const std::uint64_t* counts, float* out,
                     std::index_sequence<kWindows...>) {
    ((windows == kWindows + 1 ? side_by_side<kWindows + 1>(starts, counts, out) : void()), ...);
}

}  // namespace

void scattered_window_energies(std::span<const float* const> starts, std::span<const std::uint64_t> counts,
                               float* out) {
    const std::size_t windows = std::min(starts.size(), kSideBySide);
    if (windows == 1) {
        out[0] = rms(window_sum(starts[0], counts[0]), counts[0]);
        return;
    }
    side_by_side_of(windows, starts.data(), counts.data(), out, std::make_index_sequence<kSideBySide>{});
}

std::vector<float> window_energies(std::span<const float> samples, std::uint64_t window_len) {
    const std::uint64_t n = samples.size();
    const std::uint64_t n_windows = n / window_len + (n % window_len != 0 ? 1 : 0);
    std::vector<float> energies(n_windows);
    window_energies_range(samples, window_len, 0, n_windows, energies.data());
    return energies;
}

#if TALVANE_X86
#if defined(_MSC_VER)
// AVX2 in the processor, and the YMM state saved by the system (XCR0 bits 1-2).
bool processor_has_avx2() {
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    constexpr int kXsaveEnabled = 1 << 27, kAvx = 1 << 28;
    if ((info[2] & (kXsaveEnabled | kAvx)) != (kXsaveEnabled | kAvx) || (_xgetbv(0) & 6) != 6) return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
}
#else
bool processor_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif
#else
bool processor_has_avx2() { return false; }
#endif


}  // namespace talvane
