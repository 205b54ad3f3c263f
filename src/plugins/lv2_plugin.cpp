// The LV2 plug-ins: a mono and a stereo descriptor over PluginGate; the largest
// block is read from the host's options.
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

#include "plugin_gate.hpp"
#include "plugin_names.hpp"

namespace talvane::plugin {

namespace {

const LV2_Feature* find_feature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, uri) == 0) return *features;
    }
    return nullptr;
}

// The host's largest block: its maxBlockLength option (an atom:Int), else 0 (none
// announced). Other options and types are ignored.
std::size_t max_block(const LV2_Feature* const* features) {
    const LV2_Feature* map_feature = find_feature(features, LV2_URID__map);
    const LV2_Feature* options_feature = find_feature(features, LV2_OPTIONS__options);
    if (map_feature == nullptr || options_feature == nullptr) return 0;
    auto* map = static_cast<LV2_URID_Map*>(map_feature->data);
    const LV2_URID max_length = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID int_type = map->map(map->handle, "http://lv2plug.in/ns/ext/atom#Int");
    for (auto* o = static_cast<const LV2_Options_Option*>(options_feature->data); o->key != 0; ++o) {
        if (o->key != max_length || o->type != int_type || o->size != sizeof(std::int32_t)) continue;
        std::int32_t value = 0;
        std::memcpy(&value, o->value, sizeof value);
        return value > 0 ? static_cast<std::size_t>(value) : 0;
    }
    return 0;
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double sample_rate, const char*,
                       const LV2_Feature* const* features) {
    try {
        const std::size_t channels = std::strcmp(descriptor->URI, kUris[1]) == 0 ? 2 : 1;
        // LV2 gives the rate as a double; the gate counts whole hertz.
        const double rate = sample_rate >= 1.0 && sample_rate < 0x1p63 ? sample_rate + 0.5 : 0.0;
        return new PluginGate(static_cast<std::uint64_t>(rate), channels, max_block(features));
    } catch (...) {
        return nullptr;  // a rate below 1 Hz, or no memory: the host is told it failed
    }
}

void connect_port(LV2_Handle handle, std::uint32_t port, void* data) {
    static_cast<PluginGate*>(handle)->connect_port(port, data);
}

void activate(LV2_Handle handle) {
    try {
        static_cast<PluginGate*>(handle)->activate();
    } catch (...) {
        // Out of memory: LV2 gives activate no way to fail, and run() then passes
        // the audio through unchanged.
    }
}

void run(LV2_Handle handle, std::uint32_t frames) { static_cast<PluginGate*>(handle)->run(frames); }

void cleanup(LV2_Handle handle) { delete static_cast<PluginGate*>(handle); }

const void* extension_data(const char*) { return nullptr; }

constexpr LV2_Descriptor kDescriptors[] = {
    {kUris[0], instantiate, connect_port, activate, run, nullptr, cleanup, extension_data},
    {kUris[1], instantiate, connect_port, activate, run, nullptr, cleanup, extension_data},
};

}  // namespace

}  // namespace talvane::plugin

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    using talvane::plugin::kDescriptors;
    return index < std::size(kDescriptors) ? &kDescriptors[index] : nullptr;
}
