// Compaction: the kept samples joined end to end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"

namespace talvane {

// The samples whose keep flag is set, in order, bit for bit. When none is kept,
// the first min(floor(rate / 2), N) samples instead (empty for a rate of 0 or 1).
// Empty input gives an empty output without running the analysis; enabled,
// attenuation and fade_ms play no part.
SampleBuffer compact_array_inner(const GateConfig& config, std::span<const float> samples,
                                 std::uint64_t sample_rate);

}  // namespace talvane
