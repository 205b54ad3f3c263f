// Helpers that only the C++ test and the fuzzer use, built on the core's own rules.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "streaming/sample_ring.hpp"

namespace talvane {

// A ring's values, oldest first, read as they lie (no read the ring counts).
inline std::vector<float> held_values(const SampleRing& ring) {
    std::vector<float> values;
    for (const std::span<const float> piece : ring.pieces()) values.insert(values.end(), piece.begin(), piece.end());
    return values;
}

// The gain ramp rule, in place: the raw gains become the ramped curve. After every
// change of gain at i >= 1 (gains[i] != gains[i-1] as floats, so NaN always
// differs), L = min(fade_len, N - i) samples get old + (new - old) * (k / L),
// k = 1..L, in float32 in that order; a later ramp overwrites an earlier one. With
// entry_gain given and differing from gains[0], an entry ramp of min(N, fade_len)
// samples first leads from it to gains[0] the same way. Meant for fade_len >= 2.
inline void ramp_gains(std::span<float> gains, std::uint64_t fade_len, const float* entry_gain = nullptr) {
    const std::size_t n = gains.size();
    if (n == 0) return;
    // Ramps read the raw gains on both sides of each change, so the changes are
    // recorded before any gain is overwritten.
    std::vector<GainChange> changes;
    if (entry_gain != nullptr && *entry_gain != gains[0]) changes.push_back({0, *entry_gain, gains[0]});
    for (std::size_t p = 1; p < n; ++p) {
        if (gains[p] != gains[p - 1]) changes.push_back({p, gains[p - 1], gains[p]});
    }
    write_ramps(std::span<const GainChange>(changes), n, fade_len,
                [&](std::uint64_t p, float gain) { gains[p] = gain; });
}

}  // namespace talvane
