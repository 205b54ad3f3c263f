// What the plug-ins are called in each API, and how a port's name is shown.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "controls.hpp"

#if defined(_WIN32)
#define TALVANE_PLUGIN_EXPORT __declspec(dllexport)
#else
#define TALVANE_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

namespace talvane::plugin {

// By channel count less one: mono, then stereo.
inline constexpr std::array<const char*, 2> kUris{"urn:talvane-rs:gate:mono", "urn:talvane-rs:gate:stereo"};
inline constexpr std::array<unsigned long, 2> kLadspaIds{5841, 5842};
inline constexpr std::array<const char*, 2> kLabels{"talvane_gate_mono", "talvane_gate_stereo"};
inline constexpr std::array<const char*, 2> kNames{"Talvane voice gate (mono)", "Talvane voice gate (stereo)"};
inline constexpr const char* kMaker = "talvane_rs";
inline constexpr const char* kCopyright = "MIT";

// "Input", "Output"; with two channels "Input L", "Output R" and so on.
inline std::string audio_port_name(bool output, std::size_t channel, std::size_t channels) {
    std::string name = output ? "Output" : "Input";
    if (channels == 2) name += channel == 0 ? " L" : " R";
    return name;
}

// The symbol of an audio port: in, out; in_l, out_r with two channels.
inline std::string audio_port_symbol(bool output, std::size_t channel, std::size_t channels) {
    std::string symbol = output ? "out" : "in";
    if (channels == 2) symbol += channel == 0 ? "_l" : "_r";
    return symbol;
}

inline const char* unit_text(ControlUnit unit) {
    switch (unit) {
        case ControlUnit::db: return "dB";
        case ControlUnit::ms: return "ms";
        case ControlUnit::none:
        case ControlUnit::coef: break;
    }
    return "";
}

// A control's name with its unit, or its choices, for a host that shows only names:
// "Fade (ms)", "Band (0 off, 1 speech)".
inline std::string control_display_name(const ControlSpec& spec) {
    std::string name = spec.name;
    if (*unit_text(spec.unit) != '\0') return name + " (" + unit_text(spec.unit) + ")";
    if (spec.choices.empty()) return name;
    name += " (";
    for (const Choice& choice : spec.choices) {
        if (name.back() != '(') name += ", ";
        name += std::to_string(static_cast<int>(choice.value)) + " " + choice.label;
    }
    return name + ")";
}

}  // namespace talvane::plugin
