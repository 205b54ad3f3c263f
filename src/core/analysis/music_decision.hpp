// How the music measure enters the decision: each window takes the values of the
// last spectrum at or before its last sample, and its threshold is the rule's
// times that factor, never above the upper limit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/music_measure.hpp"

namespace talvane {

// What a window takes before the stream's first spectrum: no steadiness, no
// novelty, the rule's threshold as it is.
inline constexpr MusicValues kNoMusic{0.0f, 0.0f, 1.0f};

// The values of spectra[m - first] for the window ending at stream position `end`
// (one past its last sample), m = end / period being the last spectrum complete
// there (spectrum m is taken after sample m * period); kNoMusic for m = 0. The
// spectra held must include that one.
inline MusicValues window_music(std::span<const MusicValues> spectra, std::uint64_t first, std::uint64_t end,
                                std::uint64_t period) noexcept {
    const std::uint64_t m = end / period;
    return m == 0 ? kNoMusic : spectra[static_cast<std::size_t>(m - first)];
}

// The measure over one whole signal, taken in parts: the values of every
// spectrum, the first being spectrum 1.
struct MusicSpectra {
    MusicMeasure measure;
    std::vector<MusicValues> values;

    MusicSpectra(std::uint64_t sample_rate, std::uint64_t window_len) : measure(sample_rate, window_len) {}
    void take(std::span<const float> part);
    // One value per window of window_len over n samples (the last window may be short).
    std::vector<MusicValues> per_window(std::uint64_t window_len, std::uint64_t n) const;
};

// The window's threshold: threshold * factor in float32, lowered to max_thresh, so
// that a fixed threshold (both limits at one level) stays fixed. A factor of 1
// gives the threshold itself, NaN included.
inline float raised_threshold(float threshold, float factor, float max_thresh) {
    const float raised = threshold * factor;
    return raised > max_thresh ? max_thresh : raised;
}

}  // namespace talvane
