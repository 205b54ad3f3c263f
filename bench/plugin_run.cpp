// One mono plug-in instance's run() against the core's live call that Stream.process
// makes (plan_live, reserve_live, commit_live), on the same blocks, in turns.
//
//     plugin_run SIGNAL RATE BLOCK
//
// SIGNAL is raw float32 samples; every whole block of it is gated by both sides,
// each with its own state, under the plug-in's default controls (the speech band
// and the noise rule). The sides take turns every 100 blocks, the first of each
// pair alternating, each turn timed in CPU time of this thread. Prints the checksum
// of both outputs (equal, or the sides differ), then the median CPU nanoseconds per
// block of each side, their ratio, and the plug-in's CPU seconds per second of audio.
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "plugin_gate.hpp"
#include "streaming/live_stream.hpp"

namespace {

double cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// The median of the values after the first `skip`, or of all when too few are left.
double median_after(std::vector<double> v, std::size_t skip) {
    if (v.size() > skip + 1) v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(skip));
    return median(std::move(v));
}

constexpr std::size_t kTurn = 100;  // blocks per timed turn

struct PluginSide {
    talvane::plugin::PluginGate gate;
    std::vector<float> out;
    PluginSide(std::uint64_t rate, std::size_t block) : gate(rate, 1, block), out(block) {
        gate.connect_port(1, out.data());
        gate.activate();
    }
    double blocks(const float* x, std::size_t block, std::size_t count) {
        double sum = 0.0;
        for (std::size_t b = 0; b < count; ++b) {
            gate.connect_port(0, const_cast<float*>(x + b * block));  // as a host connects its buffer
            gate.run(block);
            sum += static_cast<double>(out[block - 1]);
        }
        return sum;
    }
};

struct CoreSide {
    talvane::GateConfig config;
    talvane::LiveState live;
    std::uint64_t rate;
    std::vector<float> out;
    // The plug-in's default controls as the core takes them: settings, band, rule and music.
    CoreSide(std::uint64_t rate_, std::size_t block) : rate(rate_), out(block) {
        std::array<float, talvane::plugin::kControlCount> defaults{};
        for (std::size_t id = 0; id < defaults.size(); ++id) defaults[id] = talvane::plugin::kControls[id].fallback;
        config = talvane::plugin::settings_from_controls(defaults, rate);
        if (talvane::plugin::speech_band(defaults)) live.band.emplace(*talvane::band_preset("speech", rate), rate);
        live.stream.rule = talvane::plugin::threshold_rule(defaults);
        talvane::set_music(live.stream.music, talvane::plugin::music_measure(defaults));
    }
    double blocks(const float* x, std::size_t block, std::size_t count) {
        double sum = 0.0;
        for (std::size_t b = 0; b < count; ++b) {
            const talvane::Frames frames{x + b * block, talvane::SampleType::f32, block, 1};
            talvane::LivePlan plan = talvane::plan_live(config, live, rate, frames, out.data());
            talvane::reserve_live(live, plan);
            talvane::commit_live(live, plan, frames);
            sum += static_cast<double>(out[block - 1]);
        }
        return sum;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SIGNAL RATE BLOCK\n", argv[0]);
        return 2;
    }
    std::vector<float> x;
    if (std::FILE* f = std::fopen(argv[1], "rb")) {
        float buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, sizeof(float), 4096, f)) > 0;) x.insert(x.end(), buffer, buffer + got);
        std::fclose(f);
    }
    const std::uint64_t rate = std::strtoull(argv[2], nullptr, 10);
    const std::size_t block = std::strtoull(argv[3], nullptr, 10);
    const std::size_t turns = block == 0 ? 0 : x.size() / block / kTurn;
    if (rate == 0 || turns < 2) {
        std::fprintf(stderr, "%s: too short for two turns of %zu blocks\n", argv[1], kTurn);
        return 2;
    }
    PluginSide plugin(rate, block);
    CoreSide core(rate, block);
    std::vector<double> plugin_ns, core_ns;
    double sums[2] = {0.0, 0.0};
    for (std::size_t t = 0; t < turns; ++t) {
        const float* at = x.data() + t * kTurn * block;
        for (int side = 0; side < 2; ++side) {
            const bool plugin_turn = (side == 0) == (t % 2 == 0);
            const double t0 = cpu_ns();
            sums[plugin_turn ? 0 : 1] += plugin_turn ? plugin.blocks(at, block, kTurn) : core.blocks(at, block, kTurn);
            (plugin_turn ? plugin_ns : core_ns).push_back((cpu_ns() - t0) / kTurn);
        }
    }
    // The first turns fill the context: only turns with a full one are counted.
    const std::size_t filling = static_cast<std::size_t>(3 * rate / block / kTurn + 1);
    const double p = median_after(plugin_ns, filling), c = median_after(core_ns, filling);
    std::printf("checksums %.17g %.17g\n", sums[0], sums[1]);
    std::printf("run() %.0f ns per block, core call %.0f ns, ratio %.3f, CPU %.4f %% of a core\n", p, c, p / c,
                100.0 * p / (1e9 * static_cast<double>(block) / static_cast<double>(rate)));
    return sums[0] == sums[1] ? 0 : 1;
}
