// The plug-ins' ports: one table of controls and one of meters, from which the
// LADSPA descriptors, the LV2 .ttl files and the gate's settings are all made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "analysis/keep_mask.hpp"
#include "config.hpp"

namespace talvane::plugin {

// How a control reads: a switch, a whole number, one of named values, or a real number.
enum class ControlKind : std::uint8_t { toggle, integer, choice, real };

// The unit a host shows beside the value.
enum class ControlUnit : std::uint8_t { none, db, ms, coef };

// One named value of a choice control.
struct Choice {
    float value;
    const char* label;
};

// A control port: its LV2 symbol (also its LADSPA name's key), the name a host
// shows, and its range and default in the unit shown. A value outside the range is
// clamped into it and NaN is taken as the default (controls.cpp).
struct ControlSpec {
    const char* symbol;
    const char* name;
    ControlKind kind;
    ControlUnit unit;
    float min, fallback, max;  // fallback: the default
    std::span<const Choice> choices;
    const char* comment;
};

// The band the analysis reads: off, or the speech band.
inline constexpr std::array<Choice, 2> kBandChoices{{{0.0f, "off"}, {1.0f, "speech"}}};
// The threshold's rule: the floor times the ratio, or the rule that follows the noise.
inline constexpr std::array<Choice, 2> kRuleChoices{{{0.0f, "ratio"}, {1.0f, "noise"}}};

// Levels the presets use, in dB as a float holds them, with the level each stands
// for: 20 log10 of the level to nine digits. Such a value gives its level exactly,
// where 10^(dB/20) would miss some of them by a bit (controls.cpp).
struct ExactLevel {
    float db;
    float level;
};
inline constexpr std::array<ExactLevel, 3> kExactLevels{{
    {-47.95880017f, 0.004f},  // the speech preset's lower limit
    {-41.93820026f, 0.008f},  // the classic lower limit (the core's default)
    {-29.11863911f, 0.035f},  // the classic upper limit (the core's default)
}};
inline constexpr float kSpeechBaseThreshDb = kExactLevels[0].db;
// The bottom of the attenuation's range silences dropped audio (a gain of 0); the
// top of the upper limit's range is no upper limit at all.
inline constexpr float kSilenceDb = -90.0f;
inline constexpr float kNoLimitDb = 0.0f;

enum ControlId : std::size_t {
    kEnabled,
    kBaseThresh,
    kMaxThresh,
    kThresholdRatio,
    kAttenuation,
    kFade,
    kMinVoice,
    kMaxSilenceGap,
    kPadVoice,
    kPass,
    kContext,
    kBand,
    kRule,
    kMusic,
    kControlCount
};

inline constexpr std::array<ControlSpec, kControlCount> kControls{{
    {"enabled", "Enabled", ControlKind::toggle, ControlUnit::none, 0.0f, 1.0f, 1.0f, {},
     "Off passes the audio through unchanged (the gate's bypass)."},
    {"base_thresh_db", "Threshold lower limit", ControlKind::real, ControlUnit::db, -80.0f, kSpeechBaseThreshDb, 0.0f,
     {}, "The voice threshold never goes below this level (dBFS, RMS of full scale 1.0)."},
    {"max_thresh_db", "Threshold upper limit", ControlKind::real, ControlUnit::db, -80.0f, kNoLimitDb, kNoLimitDb,
     {}, "The voice threshold never goes above this level (dBFS); 0 dB: no upper limit. A lower limit above it "
         "is taken as equal to it."},
    {"threshold_ratio", "Threshold ratio", ControlKind::real, ControlUnit::coef, 0.0f, 1.2f, 20.0f, {},
     "The threshold is the noise floor times this, within the limits (the noise rule's least ratio)."},
    {"attenuation_db", "Attenuation", ControlKind::real, ControlUnit::db, kSilenceDb, kSilenceDb, 0.0f, {},
     "Gain of dropped audio; at -90 dB dropped audio is silenced."},
    {"fade_ms", "Fade", ControlKind::integer, ControlUnit::ms, 0.0f, 5.0f, 1000.0f, {},
     "Length of each gain ramp, whole ms."},
    {"min_voice_ms", "Minimum voice", ControlKind::integer, ControlUnit::ms, 0.0f, 10.0f, 1000.0f, {},
     "Voice shorter than this is dropped (rounded to whole 10 ms windows)."},
    {"max_silence_gap_ms", "Hold across pauses", ControlKind::integer, ControlUnit::ms, 0.0f, 80.0f, 2000.0f, {},
     "Pauses between voice up to this long are kept (rounded to whole windows)."},
    {"pad_voice_ms", "Pad", ControlKind::integer, ControlUnit::ms, 0.0f, 20.0f, 500.0f, {},
     "Kept on each side of voice (rounded to whole windows)."},
    {"pass_ms", "Pass", ControlKind::integer, ControlUnit::ms, 0.0f, 0.0f, 500.0f, {},
     "The start of every dropped stretch is kept anyway (rounded to whole windows)."},
    {"stream_context_ms", "Context", ControlKind::integer, ControlUnit::ms, 100.0f, 3000.0f, 10000.0f, {},
     "Past audio the gate analyses with each block to find the noise floor."},
    {"band", "Band", ControlKind::choice, ControlUnit::none, 0.0f, 1.0f, 1.0f, kBandChoices,
     "The frequencies the decision reads (off: all; speech: about 200-4000 Hz); the output keeps all."},
    {"rule", "Threshold rule", ControlKind::choice, ControlUnit::none, 0.0f, 1.0f, 1.0f, kRuleChoices,
     "ratio: the floor times the ratio; noise: the ratio rises where loud audio stands far above the floor, "
     "so that the threshold follows the noise with no upper limit. Both within the limits."},
    {"music", "Music", ControlKind::toggle, ControlUnit::none, 0.0f, 0.0f, 1.0f, {},
     "On: the threshold rises, up to 3 times, where the background's spectrum is steady and not new (music), "
     "and stays where it looks like speech; never above the upper limit."},
}};

// The presets, as LV2 hosts offer them: every control's value but the bypass's.
// The defaults are the speech preset; speech-music is speech with the music
// measure; classic is the gate's original settings.
struct PresetSpec {
    const char* name;
    std::array<float, kControlCount> values;
};

inline constexpr std::array<float, kControlCount> kSpeechValues{
    1.0f, kSpeechBaseThreshDb, kNoLimitDb, 1.2f, kSilenceDb, 5.0f, 10.0f, 80.0f, 20.0f, 0.0f, 3000.0f, 1.0f, 1.0f,
    0.0f};

// A preset's values with the music measure on.
constexpr std::array<float, kControlCount> with_music(std::array<float, kControlCount> values) {
    values[kMusic] = 1.0f;
    return values;
}

inline constexpr std::array<PresetSpec, 3> kPresets{{
    {"speech", kSpeechValues},
    {"speech-music", with_music(kSpeechValues)},
    {"classic", {1.0f, kExactLevels[1].db, kExactLevels[2].db, 2.0f, kSilenceDb, 5.0f, 50.0f, 80.0f, 20.0f, 0.0f,
                 3000.0f, 0.0f, 0.0f, 0.0f}},
}};

// Output ports for a host's meters (LV2 only).
struct MeterSpec {
    const char* symbol;
    const char* name;
    ControlKind kind;
    ControlUnit unit;
    float min, max;
    const char* comment;
};

// The floor of the level meters: what a level of 0 (or below this) shows.
inline constexpr float kMeterFloorDb = -120.0f;

enum MeterId : std::size_t { kGateOpen, kGain, kFloor, kThreshold, kMeterCount };

inline constexpr std::array<MeterSpec, kMeterCount> kMeters{{
    {"gate", "Gate open", ControlKind::toggle, ControlUnit::none, 0.0f, 1.0f,
     "1 while the last sample of the block was kept as voice."},
    {"gain", "Gain", ControlKind::real, ControlUnit::coef, 0.0f, 1.0f, "The gain applied to the block's last sample."},
    {"floor_db", "Noise floor", ControlKind::real, ControlUnit::db, kMeterFloorDb, 0.0f,
     "The noise floor of the last analysis (dBFS)."},
    {"threshold_db", "Threshold", ControlKind::real, ControlUnit::db, kMeterFloorDb, 0.0f,
     "The voice threshold of the last analysis (dBFS)."},
}};

// The window every plug-in uses (the core's default, so that the ms controls
// round to the same windows at every common rate).
inline constexpr std::uint64_t kWindowMs = GateConfig{}.window_ms;

// A control's value as the gate takes it: NaN gives the default, and the value is
// clamped to the range; whole-number kinds are then rounded, halves away from zero.
float control_value(ControlId id, float raw) noexcept;

// The gate's settings from the controls' values (kControlCount of them, each as
// control_value leaves it) at sample_rate:
// - a level in dB is 10^(dB/20) in double, rounded to float; a dB of kExactLevels
//   gives its level exactly; attenuation at kSilenceDb is 0, an upper limit at
//   kNoLimitDb is infinite;
// - a lower threshold limit above the upper one is lowered to it;
// - a time in ms for a count of windows is round(ms * rate / 1000 / window_len),
//   halves up, in double, with the window of kWindowMs ms at this rate.
// The parameters without a control keep the core's defaults.
GateConfig settings_from_controls(std::span<const float, kControlCount> values, std::uint64_t sample_rate) noexcept;

// The band's choice: whether the decision reads the speech band.
bool speech_band(std::span<const float, kControlCount> values) noexcept;

// The rule's choice.
ThresholdRule threshold_rule(std::span<const float, kControlCount> values) noexcept;

// Whether the music measure raises the threshold.
bool music_measure(std::span<const float, kControlCount> values) noexcept;

}  // namespace talvane::plugin
