// Conversion of the fourteen gate parameters into a GateConfig.
#include "convert/gate_params.hpp"

#include "convert/values.hpp"

namespace talvane::py {

GateConfig to_config(std::span<const Ref, 14> args) {
    GateConfig c;
    auto count = [&](std::size_t i, std::uint64_t& field) {
        if (args[i]) field = to_unsigned(args[i].get(), kConfigNames[i]);
    };
    auto level = [&](std::size_t i, float& field) {
        if (args[i]) field = to_float(args[i].get(), kConfigNames[i]);
    };
    if (args[0]) c.enabled = to_bool(args[0].get(), kConfigNames[0]);
    count(1, c.window_ms);
    level(2, c.base_thresh);
    level(3, c.threshold_ratio);
    level(4, c.max_thresh);
    level(5, c.smooth_alpha);
    count(6, c.min_voice_windows);
    level(7, c.attenuation);
    level(8, c.noise_floor_percentile);
    count(9, c.max_silence_gap_windows);
    count(10, c.fade_ms);
    count(11, c.stream_context_ms);
    count(12, c.pad_voice_windows);
    count(13, c.pass_windows);
    return c;
}

}  // namespace talvane::py
