// What the C++ test's files share: the check counter, bit comparisons, signals, the literal ramp rule.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace talvane {

inline int failure_count = 0;
inline int check_count = 0;

#define CHECK(cond, ...)                                              \
    do {                                                              \
        ++::talvane::check_count;                                     \
        if (!(cond)) {                                                \
            ++::talvane::failure_count;                               \
            std::fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
            std::fprintf(stderr, __VA_ARGS__);                        \
            std::fprintf(stderr, "\n");                               \
        }                                                             \
    } while (0)

template <class A, class B>
bool same_bits(const A& a, const B& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
    }
    return true;
}

// Noise whose level jumps every 997 samples between loud and quiet, now and then
// an infinity or a NaN.
inline std::vector<float> random_signal(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::uniform_int_distribution<int> kind(0, 9);
    std::vector<float> x(n);
    float level = 0.01f;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 997 == 0) level = kind(rng) < 4 ? 0.3f : 0.005f;
        x[i] = noise(rng) * level * 100.0f;
    }
    if (n > 10 && kind(rng) == 0) x[n / 2] = std::numeric_limits<float>::infinity();
    if (n > 10 && kind(rng) == 1) x[n / 3] = std::numeric_limits<float>::quiet_NaN();
    return x;
}

// The ramp rule as stated: a copy of the gains, every ramp written in full, in order.
inline std::vector<float> literal_ramps(const std::vector<float>& g, std::uint64_t fade, const float* entry) {
    std::vector<float> r(g);
    const std::size_t n = g.size();
    if (n > 0 && entry != nullptr && *entry != g[0]) {
        const std::uint64_t len = std::min<std::uint64_t>(n, fade);
        for (std::uint64_t k = 1; k <= len; ++k) {
            r[k - 1] = *entry + (g[0] - *entry) * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (g[i] == g[i - 1]) continue;
        const std::uint64_t len = std::min<std::uint64_t>(fade, n - i);
        const float delta = g[i] - g[i - 1];
        for (std::uint64_t k = 1; k <= len; ++k) {
            r[i + k - 1] = g[i - 1] + delta * (static_cast<float>(k) / static_cast<float>(len));
        }
    }
    return r;
}

// The streaming core's checks (stream_checks.cpp) and the allocation count
// (alloc_count.cpp: every operator new, and on glibc every malloc, while counting).
void streaming_checks(std::mt19937_64& rng);
// The plug-in instance (plugin_checks.cpp), with `calls` run() calls in all
// counted for allocations.
void plugin_checks(std::mt19937_64& rng, std::uint64_t calls);
// The music measure (music_checks.cpp).
void music_checks(std::mt19937_64& rng);
void live_calls_allocate_nothing();
std::uint64_t allocations();
void count_allocations(bool on);

}  // namespace talvane
