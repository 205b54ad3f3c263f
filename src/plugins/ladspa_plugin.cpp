// The LADSPA library: a mono and a stereo descriptor over PluginGate.
#include <ladspa.h>

#include <array>
#include <memory>
#include <new>
#include <string>

#include "plugin_gate.hpp"
#include "plugin_names.hpp"

namespace talvane::plugin {

namespace {

// LADSPA can state a default only at an end of the range, 0, 1, 100 or 440 (or at
// a quarter, half or three quarters of it): the defaults of the table that are one
// of those are stated, the others left to the host (docs/plugins.md).
LADSPA_PortRangeHintDescriptor default_hint(const ControlSpec& spec) {
    if (spec.kind == ControlKind::toggle) return spec.fallback != 0.0f ? LADSPA_HINT_DEFAULT_1 : LADSPA_HINT_DEFAULT_0;
    if (spec.fallback == spec.min) return LADSPA_HINT_DEFAULT_MINIMUM;
    if (spec.fallback == spec.max) return LADSPA_HINT_DEFAULT_MAXIMUM;
    if (spec.fallback == 0.0f) return LADSPA_HINT_DEFAULT_0;
    if (spec.fallback == 1.0f) return LADSPA_HINT_DEFAULT_1;
    if (spec.fallback == 100.0f) return LADSPA_HINT_DEFAULT_100;
    return LADSPA_HINT_DEFAULT_NONE;
}

LADSPA_PortRangeHint range_hint(const ControlSpec& spec) {
    if (spec.kind == ControlKind::toggle) return {LADSPA_HINT_TOGGLED | default_hint(spec), 0.0f, 0.0f};
    LADSPA_PortRangeHintDescriptor hint = LADSPA_HINT_BOUNDED_BELOW | LADSPA_HINT_BOUNDED_ABOVE | default_hint(spec);
    if (spec.kind != ControlKind::real) hint |= LADSPA_HINT_INTEGER;
    return {hint, spec.min, spec.max};
}

// One variant's descriptor and the arrays it points into, made once.
struct Variant {
    LADSPA_Descriptor descriptor{};
    std::array<std::string, 2 * kMaxChannels + kControlCount> names;
    std::array<const char*, 2 * kMaxChannels + kControlCount> name_ptrs{};
    std::array<LADSPA_PortDescriptor, 2 * kMaxChannels + kControlCount> ports{};
    std::array<LADSPA_PortRangeHint, 2 * kMaxChannels + kControlCount> hints{};
};

LADSPA_Handle instantiate(const LADSPA_Descriptor* descriptor, unsigned long sample_rate) {
    try {
        const std::size_t channels = descriptor->UniqueID == kLadspaIds[1] ? 2 : 1;
        return new PluginGate(sample_rate, channels, 0);
    } catch (...) {
        return nullptr;  // a rate of 0, or no memory: the host is told it failed
    }
}

void connect_port(LADSPA_Handle handle, unsigned long port, LADSPA_Data* data) {
    static_cast<PluginGate*>(handle)->connect_port(port, data);
}

void activate(LADSPA_Handle handle) {
    try {
        static_cast<PluginGate*>(handle)->activate();
    } catch (...) {
        // Out of memory: LADSPA gives activate no way to fail, and run() then
        // passes the audio through unchanged.
    }
}

void run(LADSPA_Handle handle, unsigned long frames) { static_cast<PluginGate*>(handle)->run(frames); }

void cleanup(LADSPA_Handle handle) { delete static_cast<PluginGate*>(handle); }

void describe_audio(Variant& v, std::size_t channels) {
    for (std::size_t c = 0; c < channels; ++c) {
        v.names[c] = audio_port_name(false, c, channels);
        v.names[channels + c] = audio_port_name(true, c, channels);
        v.ports[c] = LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO;
        v.ports[channels + c] = LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO;
    }
}

std::unique_ptr<Variant> make_variant(std::size_t channels) {
    auto v = std::make_unique<Variant>();
    describe_audio(*v, channels);
    for (std::size_t id = 0; id < kControlCount; ++id) {
        const std::size_t port = 2 * channels + id;
        v->names[port] = control_display_name(kControls[id]);
        v->ports[port] = LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL;
        v->hints[port] = range_hint(kControls[id]);
    }
    const std::size_t count = 2 * channels + kControlCount;
    for (std::size_t p = 0; p < count; ++p) v->name_ptrs[p] = v->names[p].c_str();
    LADSPA_Descriptor& d = v->descriptor;
    d.UniqueID = kLadspaIds[channels - 1];
    d.Label = kLabels[channels - 1];
    d.Properties = LADSPA_PROPERTY_HARD_RT_CAPABLE;
    d.Name = kNames[channels - 1];
    d.Maker = kMaker;
    d.Copyright = kCopyright;
    d.PortCount = count;
    d.PortDescriptors = v->ports.data();
    d.PortNames = v->name_ptrs.data();
    d.PortRangeHints = v->hints.data();
    d.instantiate = instantiate;
    d.connect_port = connect_port;
    d.activate = activate;
    d.run = run;
    d.cleanup = cleanup;
    return v;
}

}  // namespace

}  // namespace talvane::plugin

extern "C" TALVANE_PLUGIN_EXPORT const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    using namespace talvane::plugin;
    try {
        // Made at the first call (a thread-safe static), kept for the library's life;
        // should that fail for want of memory, the next call tries again.
        static const std::array<std::unique_ptr<Variant>, kMaxChannels> variants{make_variant(1), make_variant(2)};
        return index < variants.size() ? &variants[index]->descriptor : nullptr;
    } catch (...) {
        return nullptr;
    }
}
