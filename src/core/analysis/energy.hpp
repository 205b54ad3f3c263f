// Window energies (RMS per window) with several equivalent code paths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace talvane {

// Per-window RMS; window t covers samples [t*window_len, min(N, (t+1)*window_len)).
// Float32 throughout: squares summed in sample order from 0.0f; the last, shorter
// window divides by its own length. Empty input gives an empty vector. Uses the
// fastest path this processor runs; every path gives the same bits.
std::vector<float> window_energies(std::span<const float> samples, std::uint64_t window_len);

// Same, for windows [first, last) only, written to out[0 .. last - first).
void window_energies_range(std::span<const float> samples, std::uint64_t window_len,
                           std::uint64_t first, std::uint64_t last, float* out);

// Energies of a few windows that need not lie in one run of samples: window i is
// the counts[i] >= 1 samples from starts[i], and out[i] its RMS as window_energies
// gives it. Their chains run side by side, so a few cost about as much as one.
// At most kSideBySide windows.
constexpr std::size_t kSideBySide = 8;
void scattered_window_energies(std::span<const float* const> starts, std::span<const std::uint64_t> counts,
                               float* out);

// One implementation of window_energies_range; `available` tells whether this
// processor can run it. Listed so that tests can hold every path to the first,
// which sums one window at a time.
struct EnergyPath {
    const char* name;
    bool (*available)();
    void (*run)(const float* samples, std::uint64_t n_samples, std::uint64_t window_len,
                std::uint64_t first, std::uint64_t last, float* out);
};
std::span<const EnergyPath> energy_paths();  // one window at a time first

}  // namespace talvane
