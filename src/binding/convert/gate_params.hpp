// The fourteen gate parameters: their names, in order, and their conversion.
#pragma once

#include "convert/ref.hpp"

#include <array>
#include <span>

#include "config.hpp"

namespace talvane::py {

inline constexpr std::array<const char*, 14> kConfigNames{
    "enabled", "window_ms", "base_thresh", "threshold_ratio", "max_thresh", "smooth_alpha",
    "min_voice_windows", "attenuation", "noise_floor_percentile", "max_silence_gap_windows",
    "fade_ms", "stream_context_ms", "pad_voice_windows", "pass_windows"};

// Converts the given parameters one after another in that order (enabled by the
// bool rule, counts as unsigned words, levels as float32); an empty Ref keeps the
// default. The first failing conversion raises with its parameter's name.
GateConfig to_config(std::span<const Ref, 14> args);

}  // namespace talvane::py
