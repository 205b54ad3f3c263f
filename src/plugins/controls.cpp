// The controls' values as the gate's settings.
#include "controls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/keep_mask.hpp"

namespace talvane::plugin {

namespace {

// A level in dB as an amplitude ratio, in double and rounded once to float, or
// exactly the level of kExactLevels that the dB stands for.
float level_from_db(float db) noexcept {
    for (const ExactLevel& exact : kExactLevels) {
        if (db == exact.db) return exact.level;
    }
    return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0));  // double: one rounding
}

// A duration in ms as whole windows of window_len samples at sample_rate, halves up.
std::uint64_t windows_from_ms(float ms, std::uint64_t sample_rate, std::uint64_t window_len) noexcept {
    // Double on purpose, as the command line turns a duration into windows.
    const double windows = static_cast<double>(ms) * static_cast<double>(sample_rate) / 1000.0 /
                           static_cast<double>(window_len);
    return saturate_to_u64(std::floor(windows + 0.5));
}

std::uint64_t whole(float value) noexcept { return saturate_to_u64(static_cast<double>(value)); }

}  // namespace

float control_value(ControlId id, float raw) noexcept {
    const ControlSpec& spec = kControls[id];
    if (std::isnan(raw)) return spec.fallback;
    const float clamped = std::clamp(raw, spec.min, spec.max);
    if (spec.kind == ControlKind::real) return clamped;
    if (spec.kind == ControlKind::toggle) return clamped >= 0.5f ? 1.0f : 0.0f;
    return std::round(clamped);  // halves away from zero
}

GateConfig settings_from_controls(std::span<const float, kControlCount> values, std::uint64_t sample_rate) noexcept {
    GateConfig config;
    config.window_ms = kWindowMs;
    config.enabled = values[kEnabled] != 0.0f;
    config.base_thresh = level_from_db(values[kBaseThresh]);
    config.max_thresh = values[kMaxThresh] >= kNoLimitDb ? std::numeric_limits<float>::infinity()
                                                         : level_from_db(values[kMaxThresh]);
    config.base_thresh = std::min(config.base_thresh, config.max_thresh);
    config.threshold_ratio = values[kThresholdRatio];
    config.attenuation =
        values[kAttenuation] <= kSilenceDb ? 0.0f : level_from_db(values[kAttenuation]);
    config.fade_ms = whole(values[kFade]);
    const std::uint64_t window_len = window_length(config, sample_rate);
    config.min_voice_windows = windows_from_ms(values[kMinVoice], sample_rate, window_len);
    config.max_silence_gap_windows = windows_from_ms(values[kMaxSilenceGap], sample_rate, window_len);
    config.pad_voice_windows = windows_from_ms(values[kPadVoice], sample_rate, window_len);
    config.pass_windows = windows_from_ms(values[kPass], sample_rate, window_len);
    config.stream_context_ms = whole(values[kContext]);
    return config;
}

bool speech_band(std::span<const float, kControlCount> values) noexcept { return values[kBand] == 1.0f; }

ThresholdRule threshold_rule(std::span<const float, kControlCount> values) noexcept {
    return values[kRule] == 1.0f ? ThresholdRule::noise : ThresholdRule::ratio;
}

bool music_measure(std::span<const float, kControlCount> values) noexcept { return values[kMusic] == 1.0f; }

}  // namespace talvane::plugin
