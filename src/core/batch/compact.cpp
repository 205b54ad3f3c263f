// Compaction of the batch gate: kept samples in order, or the first half second.
#include "batch/compact.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/keep_mask.hpp"
#include "bulk_copy.hpp"

namespace talvane {

SampleBuffer compact_array_inner(const GateConfig& config, std::span<const float> samples,
                                 std::uint64_t sample_rate) {
    const std::size_t n = samples.size();
    if (n == 0) return {};
    // Every sample of a window shares its flag, so runs of kept windows are copied
    // whole; the result is the same as appending each kept sample in turn.
    const KeepWindows windows = compute_keep_windows_inner(config, samples, sample_rate);
    const std::uint64_t w = windows.window_len;
    const std::size_t n_windows = windows.flags.size();
    auto window_end = [&](std::size_t j) { return j + 1 == n_windows ? n : (j + 1) * w; };

    std::size_t kept = 0;
    for (std::size_t j = 0; j < n_windows; ++j) {
        if (windows.flags[j] != 0) kept += window_end(j) - j * w;
    }
    if (kept == 0) {
        const std::uint64_t head = std::min<std::uint64_t>(sample_rate / 2, n);
        return copy_samples(samples.first(static_cast<std::size_t>(head)));
    }
    SampleBuffer out(kept);  // every element written below
    float* dst = out.data();
    const bool bypass = bypass_cache(kept);
    for (std::size_t j = 0; j < n_windows;) {
        if (windows.flags[j] == 0) { ++j; continue; }
        const std::size_t first = j;
        while (j < n_windows && windows.flags[j] != 0) ++j;
        const std::size_t start = first * w, end = window_end(j - 1);
        copy_scaled(dst, samples.data() + start, end - start, nullptr, bypass);
        dst += end - start;
    }
    finish_bypass(bypass);
    return out;
}

}  // namespace talvane
