// GateConfig: the fourteen construction parameters shared by both gate classes.
#pragma once

#include <cstdint>

namespace talvane {

// Stored exactly as converted: nothing is range-checked, clamped or derived here.
// Counts are unsigned machine words, levels 32-bit floats.
struct GateConfig {
    bool enabled = true;
    std::uint64_t window_ms = 10;
    float base_thresh = 0.008f;                // RMS units
    float threshold_ratio = 2.0f;
    float max_thresh = 0.035f;                 // RMS units
    float smooth_alpha = 0.2f;
    std::uint64_t min_voice_windows = 5;
    float attenuation = 0.0f;                  // linear gain of dropped audio
    float noise_floor_percentile = 20.0f;
    std::uint64_t max_silence_gap_windows = 8;
    std::uint64_t fade_ms = 5;
    std::uint64_t stream_context_ms = 3000;
    std::uint64_t pad_voice_windows = 2;
    std::uint64_t pass_windows = 0;
};

}  // namespace talvane
