// What the streaming gate keeps from one analysis to the next, and why it is safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace talvane {

// Where the noise floor was found last time: the keys (totalOrder) of the values a
// few ranks below and above it. The next selection first searches only the values
// between them and falls back to all values when the ranks it needs are not there,
// so any hint gives the same floor.
struct FloorHint {
    bool valid = false;
    std::uint32_t below_key = 0, above_key = 0;
};

// Results of the last analysis that the next call may reuse. Derived data only:
// a call gives the same bits with or without them.
//
// The one invariant everything here rests on: when count > 0, the context starts
// exactly at window `first` of the last analysis, i.e. the samples the last call
// dropped from the front of context + chunk were a whole number of windows of
// window_len. Then the complete windows [0, count) of the context hold the same
// samples, aligned the same way, as the analysed windows [first, first + count):
// their energies are the same, and so is the smoothing over them once its running
// value meets the old one. commit() keeps the results only when that holds.
struct StreamCache {
    std::uint64_t window_len = 0;  // of the last analysis
    std::vector<float> energies;   // of the last analysis; reusable: [first, first + count)
    std::vector<float> smoothed;   // of the same windows
    std::size_t first = 0;
    std::size_t count = 0;
    FloorHint floor;

    // Nothing is reusable any more (a new stream, or a context emptied).
    void forget() noexcept { count = 0; }

    // Takes over the last analysis's energies and smoothed values (swapped in, so
    // the storage is reused) after `dropped` of its `total` samples were dropped
    // from the front; they are kept only when the invariant above holds.
    void commit(std::uint64_t window_len, std::vector<float>& analysed_energies,
                std::vector<float>& analysed_smoothed, std::uint64_t dropped, std::uint64_t total) noexcept;
};

// Energies of every window of context + chunk (laid out from the context's first
// sample) without building the combined buffer: the cache's windows are reused
// when use_cache is set and the window length matches, windows inside the context
// or the chunk are read in place, and the one window across the join goes through
// a small copy. `reused` is the number of leading windows taken from the cache.
std::vector<float> combined_energies(const StreamCache& cache, bool use_cache, std::span<const float> context,
                                     std::span<const float> chunk, std::uint64_t window_len, std::size_t& reused);

// The smoothed energies, given the smoothed values `known` of the same analysis's
// leading windows as computed last time (same energies, different start): the
// recurrence restarts at energies[0], and once its running value equals known[t]
// bit for bit, known[t + 1 ..] are the values it would give.
std::vector<float> resume_smoothing(std::span<const float> energies, float alpha, std::span<const float> known);

// The noise floor of the smoothed energies (as noise_floor gives it), searched
// first among the values the hint brackets; the hint is updated for the next call.
float hinted_noise_floor(std::span<const float> smoothed, float percentile, FloorHint& hint);

}  // namespace talvane
