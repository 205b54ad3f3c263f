// Compaction of the batch gate: kept samples in order, or the first half second.
#include "batch/compact.hpp"

#include <algorithm>

#include "analysis/keep_mask.hpp"

namespace talvane {

std::vector<float> compact_array_inner(const GateConfig& config, std::span<const float> samples,
                                       std::uint64_t sample_rate) {
    const std::size_t n = samples.size();
    if (n == 0) return {};
    const std::vector<std::uint8_t> mask = compute_keep_mask_inner(config, samples, sample_rate);
    std::vector<float> out;
    out.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (mask[k] != 0) out.push_back(samples[k]);
    }
    if (out.empty()) {
        const std::uint64_t head = std::min<std::uint64_t>(sample_rate / 2, n);
        out.assign(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(head));
    }
    return out;
}

}  // namespace talvane
