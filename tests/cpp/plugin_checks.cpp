// The plug-in instance against the live stream it wraps, its controls as the host
// may set them, and run() calls that allocate nothing after activate().
#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <bit>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "analysis/music_decision.hpp"
#include "checks.hpp"
#include "plugin_gate.hpp"

namespace talvane {

namespace {

using plugin::ControlId;
using plugin::PluginGate;

// One instance with its ports: the controls at their defaults unless changed.
struct Rig {
    PluginGate gate;
    std::vector<float> in, out;  // channel after channel, `most` frames each
    std::array<float, plugin::kControlCount> controls{};
    std::array<float, plugin::kMeterCount> meters{};
    std::size_t channels, most;

    Rig(std::uint64_t rate, std::size_t channels_, std::size_t most_, std::size_t host_max = 0)
        : gate(rate, channels_, host_max), in(channels_ * most_), out(channels_ * most_), channels(channels_),
          most(most_) {
        for (std::size_t id = 0; id < plugin::kControlCount; ++id) controls[id] = plugin::kControls[id].fallback;
        for (std::size_t c = 0; c < channels; ++c) {
            gate.connect_port(c, in.data() + c * most);
            gate.connect_port(channels + c, out.data() + c * most);
        }
        for (std::size_t id = 0; id < plugin::kControlCount; ++id) gate.connect_port(2 * channels + id, &controls[id]);
        for (std::size_t id = 0; id < plugin::kMeterCount; ++id) {
            gate.connect_port(2 * channels + plugin::kControlCount + id, &meters[id]);
        }
        gate.activate();
    }

    // Gates frames [first, first + n) of x (frames x channels, interleaved) and
    // appends the output, interleaved, to y.
    void run(const std::vector<float>& x, std::size_t first, std::size_t n, std::vector<float>& y) {
        for (std::size_t f = 0; f < n; ++f) {
            for (std::size_t c = 0; c < channels; ++c) in[c * most + f] = x[(first + f) * channels + c];
        }
        gate.run(n);
        for (std::size_t f = 0; f < n; ++f) {
            for (std::size_t c = 0; c < channels; ++c) y.push_back(out[c * most + f]);
        }
    }
};

// The live stream the plug-in stands for, over the same pieces.
std::vector<float> live_reference(const GateConfig& config, bool speech, ThresholdRule rule, bool music,
                                  std::uint64_t rate, std::size_t channels, const std::vector<float>& x,
                                  const std::vector<std::size_t>& pieces) {
    LiveState live;
    live.stream.rule = rule;
    set_music(live.stream.music, music);
    if (speech) live.band.emplace(*band_preset("speech", rate), rate);
    std::vector<float> y(x.size());
    std::size_t at = 0;
    for (const std::size_t n : pieces) {
        const Frames frames{x.data() + at * channels, SampleType::f32, n, channels};
        LivePlan plan = plan_live(config, live, rate, frames, y.data() + at * channels);
        reserve_live(live, plan);
        commit_live(live, plan, frames);
        at += n;
    }
    return y;
}

// Stretches of a third of a second (frames x channels), each at a level of its
// own, of noise or of a held chord over faint noise: long enough that the gate
// keeps some and drops some under either rule, and that the music measure finds
// the chords steady.
std::vector<float> stretches(std::mt19937_64& rng, std::size_t frames, std::size_t channels, std::uint64_t rate) {
    static constexpr float kLevels[] = {0.3f, 0.002f, 0.02f, 0.05f};
    static constexpr double kRoots[] = {220.0, 293.7, 329.6, 392.0};  // Hz
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x(frames * channels);
    float level = kLevels[0];
    double root = 0.0;  // 0: a stretch of noise
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (i % (rate / 3 * channels) == 0) {
            level = kLevels[rng() % std::size(kLevels)];
            root = rng() % 2 == 0 ? 0.0 : kRoots[rng() % std::size(kRoots)];
        }
        const double t = static_cast<double>(i / channels) / static_cast<double>(rate);
        double chord = 0.0;
        for (const double step : {1.0, 1.26, 1.5}) chord += std::sin(2.0 * std::numbers::pi * root * step * t);
        x[i] = level * (root == 0.0 ? noise(rng) : 0.5f * static_cast<float>(chord) + 0.05f * noise(rng));
    }
    return x;
}

// Blocks past the largest piece are gated in pieces: the host's maximum when it
// announces one, else kMaxPiece. Out-of-order limits take the upper one for both,
// NaN a control's default and values past a range its end.
void plugin_matches_live_stream(std::mt19937_64& rng) {
    struct Case {
        std::uint64_t rate;
        std::size_t channels, host_max, block;
        bool speech, reversed;
        ThresholdRule rule;
        bool music;
    };
    constexpr ThresholdRule ratio = ThresholdRule::ratio, noise = ThresholdRule::noise;
    const Case cases[] = {
        {48000, 1, 0, 20000, false, false, ratio, true},  {44100, 2, 0, 9000, true, false, noise, true},
        {16000, 1, 512, 1500, true, true, noise, false},  {44100, 1, 0, 1, false, true, ratio, false},
    };
    for (const Case& c : cases) {
        const std::size_t frames = 6 * c.rate;
        const std::vector<float> x = stretches(rng, frames, c.channels, c.rate);
        Rig rig(c.rate, c.channels, c.block, c.host_max);
        rig.controls[plugin::kBand] = c.speech ? 1.0f : 0.0f;
        rig.controls[plugin::kRule] = c.rule == noise ? 1.0f : 0.0f;
        rig.controls[plugin::kMusic] = c.music ? 1.0f : 0.0f;
        rig.controls[plugin::kFade] = std::numeric_limits<float>::quiet_NaN();
        if (c.reversed) {
            rig.controls[plugin::kPadVoice] = 1e9f;
            rig.controls[plugin::kBaseThresh] = -20.0f;
            rig.controls[plugin::kMaxThresh] = -35.0f;
        }
        std::vector<float> got;
        std::vector<std::size_t> pieces;
        const std::size_t piece = c.host_max != 0 ? c.host_max : plugin::kMaxPiece;
        for (std::size_t at = 0; at < frames; at += c.block) {
            const std::size_t n = std::min(c.block, frames - at);
            rig.run(x, at, n, got);
            for (std::size_t done = 0; done < n; done += piece) pieces.push_back(std::min(piece, n - done));
        }
        // The same controls as a host careful of ranges and order would set them.
        std::array<float, plugin::kControlCount> clean = rig.controls;
        clean[plugin::kFade] = plugin::kControls[plugin::kFade].fallback;
        if (c.reversed) {
            clean[plugin::kPadVoice] = plugin::kControls[plugin::kPadVoice].max;
            clean[plugin::kBaseThresh] = clean[plugin::kMaxThresh];
        }
        const GateConfig config = plugin::settings_from_controls(clean, c.rate);
        const auto want = live_reference(config, c.speech, c.rule, c.music, c.rate, c.channels, x, pieces);
        CHECK(same_bits(got, want), "plug-in differs from the live stream (%llu Hz, %zu channels, blocks of %zu)",
              static_cast<unsigned long long>(c.rate), c.channels, c.block);
    }
}

// The music measure switched on in a running stream, as the plug-in's control does
// it, begins with that block: each window reads the last spectrum that a measure
// started there has taken by the window's end, with a context held from before the
// switch and after it has moved past the switch. Switched off and on, it begins anew.
void music_switch_begins_at_its_block(std::mt19937_64& rng) {
    const std::uint64_t rate = 44100;
    const std::size_t block = 1000;
    GateConfig config;
    config.stream_context_ms = 1000;
    const std::uint64_t w = window_length(config, rate);
    const std::vector<float> x = stretches(rng, 8 * rate, 1, rate);
    std::vector<float> y(x.size());
    LiveState live;
    MusicSpectra spectra(rate, w);  // the measure since the last switch
    std::uint64_t since = 0, calls = 0, misread = 0;
    for (std::size_t at = 0; at + block <= x.size(); at += block) {
        const bool on = at >= 3 * rate && !(at >= 5 * rate && at < 5 * rate + 4 * block);
        if (on && !live.stream.music.on) {
            spectra = MusicSpectra(rate, w);
            since = at;
        }
        set_music(live.stream.music, on);
        const Frames frames{x.data() + at, SampleType::f32, block, 1};
        LivePlan plan = plan_live(config, live, rate, frames, y.data() + at);
        reserve_live(live, plan);
        commit_live(live, plan, frames);
        if (!on) continue;
        spectra.take({x.data() + at, block});
        const CallView& view = live.stream.last_call;
        const std::uint64_t period = spectra.measure.period();
        for (std::size_t i = 0; i < view.music.size(); ++i) {
            const std::uint64_t end = std::min<std::uint64_t>(at - view.offset + (i + 1) * w, at + block) - since;
            const MusicValues want = end < period ? kNoMusic : spectra.values[end / period - 1];
            using Bits = std::array<std::uint32_t, 3>;
            misread += std::bit_cast<Bits>(view.music[i]) != std::bit_cast<Bits>(want);
        }
        calls += !view.music.empty();
    }
    CHECK(misread == 0 && calls > 0, "%llu windows read another spectrum than the measure's since the switch",
          static_cast<unsigned long long>(misread));
}

// The bypass ramps from the gate's last gain to 1 over the fade, and leaving it
// ramps from 1 to the gate's gain: the entry ramp of the gain rule, from the gain
// the output had. The gate here drops everything (both limits at 0 dBFS), which
// the meters show (the floor of all frequencies).
void bypass_ramps(std::mt19937_64& rng) {
    const std::size_t block = 1024, fade = 240;  // 5 ms at 48 kHz
    Rig rig(48000, 1, block);
    rig.controls[plugin::kBand] = 0.0f;
    rig.controls[plugin::kBaseThresh] = rig.controls[plugin::kMaxThresh] = 0.0f;
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::vector<float> x(4 * block);
    for (float& v : x) v = noise(rng);
    std::vector<float> y;
    const float closed = 0.0f, open = 1.0f;
    std::array<std::array<float, plugin::kMeterCount>, 4> meters{};
    for (int b = 0; b < 4; ++b) {
        rig.controls[plugin::kEnabled] = b == 2 ? 0.0f : 1.0f;
        rig.run(x, b * block, block, y);
        meters[b] = rig.meters;
    }
    // Closed, with the threshold at its limit of 0 dBFS over a floor near -40 dBFS;
    // the bypass's gain is 1.
    const auto& closed_meters = meters[1];
    CHECK(closed_meters[plugin::kGateOpen] == 0.0f && closed_meters[plugin::kGain] == 0.0f &&
              closed_meters[plugin::kThreshold] == 0.0f && closed_meters[plugin::kFloor] > -45.0f &&
              closed_meters[plugin::kFloor] < -35.0f && meters[2][plugin::kGain] == 1.0f,
          "meters: gate %g, gain %g, floor %g dB, threshold %g dB", static_cast<double>(closed_meters[0]),
          static_cast<double>(closed_meters[1]), static_cast<double>(closed_meters[2]),
          static_cast<double>(closed_meters[3]));
    const std::vector<float> ones(block, 1.0f), zeros(block, 0.0f);
    const std::vector<float> into = literal_ramps(ones, fade, &closed), out_of = literal_ramps(zeros, fade, &open);
    bool ramps = true;
    for (std::size_t k = 0; k < block; ++k) {
        ramps &= y[k + block] == 0.0f && y[k + 2 * block] == x[k + 2 * block] * into[k];
        ramps &= y[k + 3 * block] == x[k + 3 * block] * out_of[k];
    }
    CHECK(ramps, "the bypass's ramps");
}

// Lengths a host might use: runs of one length (one frame at a time, powers of two,
// a rate's 10 ms, past the largest piece), then lengths that change every call.
std::size_t next_length(std::mt19937_64& rng, std::uint64_t call, std::uint64_t rate) {
    static constexpr std::size_t kRuns[] = {1, 64, 512, 441, 480, 4096, 9000, 2};
    static constexpr std::uint64_t kRunCalls = 2000;
    const std::uint64_t run = call / kRunCalls;
    if (run % 2 == 0) return kRuns[(run / 2) % std::size(kRuns)];
    return rate == 44100 ? 1 + rng() % 1024 : 1 + rng() % 700;
}

// A control changed now and then, as a host's automation would: the band, the
// context, the bypass, the rule, the music measure, the limits out of order, a NaN.
void turn_a_control(std::mt19937_64& rng, std::array<float, plugin::kControlCount>& controls) {
    switch (rng() % 8) {
        case 0: controls[plugin::kBand] = 1.0f - controls[plugin::kBand]; break;
        case 6: controls[plugin::kRule] = 1.0f - controls[plugin::kRule]; break;
        case 7: controls[plugin::kMusic] = 1.0f - controls[plugin::kMusic]; break;
        case 1: controls[plugin::kContext] = static_cast<float>(100 + rng() % 20000); break;
        case 2: controls[plugin::kEnabled] = 1.0f - controls[plugin::kEnabled]; break;
        case 3: controls[plugin::kBaseThresh] = -static_cast<float>(rng() % 90); break;
        case 4: controls[plugin::kMinVoice] = std::numeric_limits<float>::quiet_NaN(); break;
        default: controls[plugin::kAttenuation] = -static_cast<float>(rng() % 100); break;
    }
}

// After activate(), `calls` run() calls in all (a quarter each at 44.1 and 48 kHz,
// mono and stereo in place) of changing lengths and controls allocate nothing, and the output stays finite
// where the input is.
void plugin_runs_allocate_nothing(std::mt19937_64& rng, std::uint64_t calls) {
    const std::size_t most = 9000;
    for (const std::uint64_t rate : {44100u, 48000u}) {
        for (const std::size_t channels : {1u, 2u}) {
            Rig rig(rate, channels, most);
            if (channels == 2) {  // in place: the outputs are the inputs
                rig.gate.connect_port(2, rig.in.data());
                rig.gate.connect_port(3, rig.in.data() + most);
            }
            std::normal_distribution<float> noise(0.0f, 0.05f);
            for (float& v : rig.in) v = noise(rng) * (rng() % 3 == 0 ? 4.0f : 0.1f);
            const std::vector<float> source = rig.in;
            std::uint64_t made = 0, broken = 0;
            for (std::uint64_t call = 0; call < calls / 4; ++call) {
                const std::size_t n = next_length(rng, call, rate);
                if (call % 5000 == 4999) turn_a_control(rng, rig.controls);
                if (channels == 2) std::copy(source.begin(), source.end(), rig.in.begin());
                const std::uint64_t before = allocations();
                count_allocations(true);
                rig.gate.run(n);
                count_allocations(false);
                made += allocations() - before;
                const float* y = channels == 2 ? rig.in.data() : rig.out.data();
                broken += !std::isfinite(y[n - 1]);
            }
            CHECK(made == 0 && broken == 0, "%llu allocations, %llu non-finite outputs in run() (%llu Hz, %zu channels)",
                  static_cast<unsigned long long>(made), static_cast<unsigned long long>(broken),
                  static_cast<unsigned long long>(rate), channels);
        }
    }
}

}  // namespace

void plugin_checks(std::mt19937_64& rng, std::uint64_t calls) {
    plugin_matches_live_stream(rng);
    music_switch_begins_at_its_block(rng);
    bypass_ramps(rng);
    plugin_runs_allocate_nothing(rng, calls);
}

}  // namespace talvane
