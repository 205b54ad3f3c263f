// Core checks without Python: every fast path against the plain one, bit for bit (the
// streaming core's in stream_checks.cpp).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "analysis/band_filter.hpp"
#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "analysis/noise_rule.hpp"
#include "batch/compact.hpp"
#include "batch/gain.hpp"
#include "checks.hpp"
#include "core_helpers.hpp"
#include "messages.hpp"
#include "streaming/live_stream.hpp"
#include "streaming/stream_state.hpp"

namespace {

using namespace talvane;

// Ordinary samples with, now and then, values whose squares are denormal or round
// to zero, denormals themselves, values whose squares overflow, infinities and NaN.
std::vector<float> edge_signal(std::mt19937_64& rng, std::size_t n) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float tiny[] = {1e-20f, -1e-22f, 3e-23f, 1e-39f, -std::numeric_limits<float>::denorm_min(), -0.0f};
    const float huge[] = {2e19f, -3e38f, kInf, -kInf, std::numeric_limits<float>::quiet_NaN()};
    std::uniform_int_distribution<int> pick(0, 511);
    std::vector<float> x = random_signal(rng, n);
    for (float& v : x) {
        const int k = pick(rng);
        if (k < 64) v = tiny[k % 6];
        if (k == 64) v = huge[pick(rng) % 5];
    }
    return x;
}

void energy_paths_agree(std::mt19937_64& shared_rng) {
    // Random lengths, then every window length up to 70 (vector blocks with and
    // without leftover samples) twice on edge values, drawn from a generator of
    // their own so that the checks after this one see the same inputs as before.
    std::mt19937_64 edge_rng(70);
    for (int round = 0; round < 340; ++round) {
        const bool edges = round >= 200;
        std::mt19937_64& rng = edges ? edge_rng : shared_rng;
        std::size_t n = 0;
        std::uint64_t w = static_cast<std::uint64_t>(round - 200) / 2 + 1;
        if (edges) {
            n = std::uniform_int_distribution<std::size_t>(0, 64 * w + 9)(rng);
        } else {
            n = std::uniform_int_distribution<std::size_t>(0, 20000)(rng);
            w = std::uniform_int_distribution<std::uint64_t>(1, 700)(rng);
        }
        const std::vector<float> x = edges ? edge_signal(rng, n) : random_signal(rng, n);
        const std::uint64_t windows = window_count(n, w);
        const std::uint64_t first = windows == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, windows)(rng);
        std::vector<float> expected(windows - first), got(windows - first);
        const auto paths = energy_paths();
        paths[0].run(x.data(), n, w, first, windows, expected.data());
        for (const EnergyPath& path : paths) {
            if (!path.available()) continue;
            std::fill(got.begin(), got.end(), -1.0f);
            path.run(x.data(), n, w, first, windows, got.data());
            CHECK(same_bits(expected, got), "energy path %s differs (n=%zu w=%llu)", path.name, n,
                  static_cast<unsigned long long>(w));
        }
        // A few of the windows, from anywhere, side by side.
        if (windows == first) continue;
        const float* starts[kSideBySide];
        std::uint64_t counts[kSideBySide];
        std::vector<float> few_expected, few_got(kSideBySide);
        const std::size_t few = 1 + rng() % kSideBySide;
        for (std::size_t i = 0; i < few; ++i) {
            const std::uint64_t t = std::uniform_int_distribution<std::uint64_t>(first, windows - 1)(rng);
            starts[i] = x.data() + t * w;
            counts[i] = std::min<std::uint64_t>(w, n - t * w);
            few_expected.push_back(expected[t - first]);
        }
        few_got.resize(few);
        scattered_window_energies(std::span<const float* const>(starts, few), std::span<const std::uint64_t>(counts, few),
                                  few_got.data());
        CHECK(same_bits(few_expected, few_got), "scattered window energies differ (n=%zu w=%llu)", n,
              static_cast<unsigned long long>(w));
    }
}

// Every lattice path against window_energies: blocks of 1 to 40 samples, windows
// of 1 to 20 blocks from any column of their first, groups anywhere, on edge
// values; a path squares the blocks by column and sums groups of neighbouring windows.
void lattice_paths_agree() {
    std::mt19937_64 rng(441);
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t g = std::uniform_int_distribution<std::uint64_t>(1, 40)(rng);
        const std::uint64_t period = std::uniform_int_distribution<std::uint64_t>(1, 20)(rng);
        const std::uint64_t blocks = period + kLatticeLanes + rng() % 40;  // a slot more for a phase
        const std::vector<float> x = edge_signal(rng, blocks * g);
        const std::uint64_t phase = rng() % 2 == 0 ? 0 : rng() % g;  // windows from a column within their first slot
        std::vector<std::size_t> starts(1 + rng() % 10);
        for (std::size_t& s : starts) s = rng() % (blocks - period - kLatticeLanes + (phase == 0 ? 2 : 1));
        for (const LatticePath& path : lattice_paths()) {
            if (!path.available()) continue;
            const std::size_t stride = blocks + rng() % 3;
            std::vector<float> squares(stride * g, -1.0f), sums(starts.size() * kLatticeLanes, -1.0f);
            path.squares(x.data(), blocks, g, squares.data(), stride);
            path.sums(squares.data(), stride, g, period, phase, starts, sums.data());
            for (std::size_t k = 0; k < starts.size(); ++k) {
                for (std::size_t j = 0; j < kLatticeLanes; ++j) {
                    const std::span<const float> window(x.data() + (starts[k] + j) * g + phase, period * g);
                    const float got = std::sqrt(sums[k * kLatticeLanes + j] / static_cast<float>(period * g));
                    CHECK(same_bits(window_energies(window, period * g), std::vector<float>{got}),
                          "lattice path %s differs (g=%llu period=%llu)", path.name,
                          static_cast<unsigned long long>(g), static_cast<unsigned long long>(period));
                }
            }
        }
    }
}

// Flags of windows [b, n) alone, as a recording of their own, are the true flags
// from b + cleaning_reach on, for every count from 0 to the largest word.
void cleaning_reach_bounds_the_passes(std::mt19937_64& rng) {
    const std::uint64_t counts[] = {0, 1, 2, 3, 4, 6, 9, std::numeric_limits<std::uint64_t>::max()};
    for (int round = 0; round < 4000; ++round) {
        GateConfig config;
        auto pick = [&] { return counts[std::uniform_int_distribution<int>(0, round % 50 == 0 ? 7 : 6)(rng)]; };
        config.min_voice_windows = pick();
        config.max_silence_gap_windows = pick();
        config.pad_voice_windows = pick();
        config.pass_windows = pick();
        std::vector<float> s(std::uniform_int_distribution<std::size_t>(1, 90)(rng));
        const int density = std::uniform_int_distribution<int>(1, 9)(rng);
        for (float& v : s) v = std::uniform_int_distribution<int>(0, 9)(rng) < density ? 1.0f : 0.0f;
        const std::vector<std::uint8_t> whole = keep_flags(config, s, 0.5f);
        const std::uint64_t reach = cleaning_reach(config);
        const std::size_t b = std::uniform_int_distribution<std::size_t>(0, s.size() - 1)(rng);
        const std::vector<std::uint8_t> part = keep_flags(config, std::span<const float>(s).subspan(b), 0.5f);
        bool same = true;
        for (std::size_t t = b; t < s.size(); ++t) {
            if (t - b >= reach) same = same && part[t - b] == whole[t];
        }
        CHECK(same, "flags past the reach differ (round %d)", round);
    }
}

// The per-sample list path, array path and compaction, held to their plain forms.
void batch_paths_agree(std::mt19937_64& rng) {
    const float attenuations[] = {0.5f, 1.0f, 2.0f, 0.25f};
    for (int round = 0; round < 204; ++round) {
        // The last rounds are long enough for the streaming-store output path,
        // with window starts that are not 16-byte aligned (441 samples).
        const bool long_input = round >= 200;
        GateConfig config;
        config.window_ms = std::uniform_int_distribution<std::uint64_t>(1, 30)(rng);
        if (long_input) config.window_ms = 10;
        config.fade_ms = std::uniform_int_distribution<std::uint64_t>(0, 40)(rng);
        config.attenuation = attenuations[round % 4];
        config.pass_windows = round % 3;
        const std::uint64_t rate = long_input ? 44100 : (round % 2 == 0 ? 16000 : 8000);
        std::vector<float> x = random_signal(rng, long_input ? 1500000 + static_cast<std::size_t>(round)
                                                             : std::uniform_int_distribution<std::size_t>(0, 30000)(rng));
        for (float& v : x) {
            if (!std::isfinite(v)) v = 0.0f;  // the list path gives NaN there for attenuation 0
        }
        CHECK(same_bits(apply_array_inner(config, x, rate), apply_array_np_inner(config, x, rate)),
              "apply paths differ (round %d)", round);

        const FlagBuffer mask = compute_keep_mask_inner(config, x, rate);
        std::vector<float> kept;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (mask[i] != 0) kept.push_back(x[i]);
        }
        if (kept.empty()) kept.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(rate / 2, x.size())));
        CHECK(same_bits(kept, compact_array_inner(config, x, rate)), "compaction differs (round %d)", round);
    }
}

void ramp_rule_matches_literal(std::mt19937_64& rng) {
    const float values[] = {0.0f, 1.0f, 0.5f, -0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()};
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
        std::vector<float> g(n);
        std::uniform_int_distribution<int> pick(0, round % 6);
        for (float& v : g) v = values[pick(rng)];
        const std::uint64_t fade = std::uniform_int_distribution<std::uint64_t>(2, 12)(rng);
        const float entry_value = values[pick(rng)];
        const float* entry = round % 3 == 0 ? nullptr : &entry_value;
        const std::vector<float> expected = literal_ramps(g, fade, entry);
        std::vector<float> got(g);
        ramp_gains(got, fade, entry);
        bool same = expected.size() == got.size();
        for (std::size_t i = 0; same && i < n; ++i) {
            same = std::isnan(expected[i]) ? std::isnan(got[i])
                                           : std::bit_cast<std::uint32_t>(expected[i]) == std::bit_cast<std::uint32_t>(got[i]);
        }
        CHECK(same, "ramp rule differs (round %d)", round);
    }
}

// Shortest texts that the nearest decimal of each length alone would miss, and
// the extremes, through this platform's own printf and strtof.
void float_texts_are_shortest() {
    const struct {
        std::uint32_t bits;
        const char* text;
    } cases[] = {
        {0x0f800000u, "1.2621775e-29"},  // 2^-96
        {0x6b000000u, "1.5474251e26"},   // 2^87
        {0x6c800000u, "1.2379401e27"},   // 2^90
        {0x00000001u, "1e-45"},          {0x00000003u, "4e-45"},
        {0x7f7fffffu, "3.4028235e38"},   {0x3dcccccdu, "0.1"},
        {0x4ceb79a3u, "123456790.0"},    {0x38d1b716u, "9.999999e-5"},
        {0x5a0e1bcau, "1e16"},           {0x80000000u, "-0.0"},
    };
    for (const auto& c : cases) {
        const std::string text = format_float(std::bit_cast<float>(c.bits));
        CHECK(text == c.text, "format of %08x: %s, not %s", static_cast<unsigned>(c.bits), text.c_str(), c.text);
    }
}

// Golden input for the band filter: an exact sawtooth at 50 Hz (16 kHz) plus noise
// drawn from an integer generator, so every platform feeds the same bits.
std::vector<float> band_golden_input(std::size_t n) {
    std::vector<float> x(n);
    std::uint64_t state = 0x853c49e6748fea9bull;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const float noise = static_cast<float>(static_cast<std::int32_t>(state >> 40) - (1 << 23)) * 0x1p-23f;
        const float saw = static_cast<float>(i % 320) / 160.0f - 1.0f;
        x[i] = 0.3f * saw + 0.05f * noise + (i % 4000 < 2000 ? 0.2f * noise : 0.0f);
    }
    return x;
}

std::uint64_t fnv1a(std::span<const float> values) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (float v : values) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xffu;
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

std::uint64_t fnv1a_design(const BandFilter& f) {
    std::vector<float> halves;  // each double as two float-sized halves of its bits
    auto add = [&](double d) {
        const auto bits = std::bit_cast<std::uint64_t>(d);
        halves.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        halves.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32)));
    };
    for (const auto& s : f.sections()) {
        for (double c : {s.a1, s.a2, s.d1, s.d2, s.b1, s.b2}) add(c);
    }
    add(f.gain());
    return fnv1a(halves);
}

// The same bits on every platform: coefficients and outputs of a few bands against
// values recorded once; the aarch64 and Windows builds of this test check them too.
void band_filter_golden_bits() {
    constexpr auto none = std::nullopt;
    const struct {
        BandEdges edges;
        std::uint64_t rate;
        std::uint64_t design, output;
    } cases[] = {
        {{200.0, 4000.0}, 16000, 0x387392c4715eb6adull, 0xcde793dda6ad1513ull},
        {{200.0, 4000.0}, 48000, 0x6c654d7e5e92be77ull, 0xb135edc0c0c0f435ull},
        {{200.0, none}, 8000, 0x0a18423c4673b4a4ull, 0x9abae5028c281c24ull},
        {{none, 3000.0}, 44100, 0xddd52448fbd63226ull, 0xbf3a650faa244e14ull},
        {{20.0, none}, 192000, 0x0639d80117b662e0ull, 0xbd664c404c3084d2ull},
        {{20.0, 8000.0}, 192000, 0x423a580162e9081eull, 0x0ac3fac2f0e35875ull},
        {{7000.0, 7900.0}, 16000, 0x48e787667f198797ull, 0xc4281b0e78dbfa3full},
        {{none, none}, 16000, 0xaab1693229ba1db8ull, 0x0693232b7cbd3360ull},
    };
    const std::vector<float> x = band_golden_input(48000);
    for (const auto& c : cases) {
        BandFilter f(c.edges, c.rate);
        std::vector<float> y(x.size());
        f.process(x, y);
        const std::uint64_t design = fnv1a_design(f), output = fnv1a(y);
        CHECK(design == c.design, "band design at %llu Hz: %#llx", static_cast<unsigned long long>(c.rate),
              static_cast<unsigned long long>(design));
        CHECK(output == c.output, "band output at %llu Hz: %#llx", static_cast<unsigned long long>(c.rate),
              static_cast<unsigned long long>(output));
    }
    // The tangent itself, at a few points, to the bit.
    const struct {
        double x;
        std::uint64_t bits;
    } tangents[] = {{0.01, 0x3f847b0e05625f97ull}, {0.5, 0x3fe17b4f5bf3474aull},
                   {1.0, 0x3ff8eb245cbee3a5ull}, {1.4, 0x401731086dc00a37ull}};
    for (const auto& t : tangents) {
        const auto bits = std::bit_cast<std::uint64_t>(band_tan(t.x));
        CHECK(bits == t.bits, "band_tan(%g): %#llx", t.x, static_cast<unsigned long long>(bits));
    }
}

// The noise rule's threshold and ratio, and its two order statistics of a banded
// analysis, against bits recorded once: the aarch64 and Windows builds check them
// too (a square root or a quotient that rounded otherwise would show here).
void noise_rule_golden_bits() {
    GateConfig c{};
    c.base_thresh = 0.004f;
    c.max_thresh = std::numeric_limits<float>::infinity();
    c.threshold_ratio = 1.2f;
    const struct {
        float floor, high;
        std::uint32_t threshold, ratio;
    } cases[] = {
        {0x1.930bep-7f, 0x1.d2f1aap-2f, 0x3c9e47d1u, 0x3fc91158u},
        {0x1.16c2p-133f, 0x1p+0f, 0x3b83126fu, 0x47c35008u},  // a subnormal floor
        {0x1.47ae14p-6f, 0x1.581062p-6f, 0x3cc49ba6u, 0x3f99999au},  // threshold_ratio the larger
        {0x1.cac084p-9f, 0x1.99999ap-3f, 0x3bbe2b19u, 0x3fd43dd0u},
        {0x1.8p-1f, 0x1.3p+3f, 0x3f83db75u, 0x3fafcf47u},
    };
    for (const auto& k : cases) {
        const RuleThreshold r = noise_rule_threshold(c, k.floor, k.high);
        CHECK(std::bit_cast<std::uint32_t>(r.threshold.value) == k.threshold && std::bit_cast<std::uint32_t>(r.ratio) == k.ratio,
              "noise rule at floor %a, high %a: %a, ratio %a", static_cast<double>(k.floor), static_cast<double>(k.high),
              static_cast<double>(r.threshold.value), static_cast<double>(r.ratio));
    }
    const std::vector<float> x = band_golden_input(48000);
    std::vector<float> y(x.size());
    BandFilter f(BandEdges{200.0, 4000.0}, 16000);
    f.process(x, y);
    const RuleStats stats = rule_stats(smooth_energies(window_energies(y, 160), 0.2f), 20.0f);
    CHECK(std::bit_cast<std::uint32_t>(stats.floor) == 0x3d91aa00u && std::bit_cast<std::uint32_t>(stats.high) == 0x3deee41cu,
          "noise rule statistics: floor %a, high %a", static_cast<double>(stats.floor), static_cast<double>(stats.high));
}

// Any chunking on any path gives the bits of the whole; reset() starts over; after a burst and
// a long digital silence the output is +0.0 (the flush keeps the state out of
// subnormals).
void band_filter_chunks_agree(std::mt19937_64& rng) {
    const std::vector<float> x = band_golden_input(20000);
    const BandEdges bands[] = {{200.0, 4000.0}, {50.0, std::nullopt}, {std::nullopt, 1000.0}, {}};
    for (const BandEdges& band : bands) {
        BandFilter whole(band, 16000, 0);
        std::vector<float> expected(x.size());
        whole.process(x, expected);
        for (int round = 0; round < 20; ++round) {
            // Every path the processor runs, each in any chunking, gives the bits of the first.
            const std::size_t path = static_cast<std::size_t>(round) % band_paths().size();
            if (!band_paths()[path].available()) continue;
            BandFilter f(band, 16000, path);
            if (round % 2 == 1) {
                std::vector<float> junk(777);
                f.process(x, std::span<float>(junk).first(0));
                f.process(std::span<const float>(x).first(777), junk);
                f.reset();
            }
            std::vector<float> got(x.size());
            std::size_t at = 0;
            while (at < x.size()) {
                // Short and long calls take different loops on some paths: mixed in one stream.
                const std::size_t most = round % 3 == 0 ? 5 : round % 3 == 1 ? 300 : 3000;
                const std::size_t len = std::min(x.size() - at, std::uniform_int_distribution<std::size_t>(0, most)(rng));
                f.process(std::span<const float>(x).subspan(at, len), std::span<float>(got).subspan(at, len));
                at += len;
            }
            CHECK(same_bits(expected, got), "chunked band filter differs (round %d)", round);
        }
        std::vector<float> in_place(x);
        BandFilter again(band, 16000);
        again.process(in_place, in_place);
        CHECK(same_bits(expected, in_place), "band filter in place differs");
    }
    // Left alone, these states sink into subnormals and ring there, giving -0.0 outputs.
    for (const BandEdges& band : {BandEdges{std::nullopt, 7000.0}, BandEdges{200.0, 7000.0}}) {
        std::vector<float> burst(16000 * 5, 0.0f);
        for (std::size_t i = 0; i < 1600; ++i) burst[i] = (i % 7 < 3 ? 0.5f : -0.4f);
        BandFilter f(band, 16000);
        f.process(burst, burst);
        bool zeros = true;
        for (std::size_t i = burst.size() - 16000; i < burst.size(); ++i) {
            zeros = zeros && std::bit_cast<std::uint32_t>(burst[i]) == 0u;
        }
        CHECK(zeros, "band filter output after a long silence is not +0.0");
    }
}

void band_edges_are_checked() {
    const struct {
        BandEdges edges;
        std::uint64_t rate;
        const char* error;
    } cases[] = {
        {{200.0, 4000.0}, 16000, ""},
        {{200.0, 4000.0}, 8000, "band edge high_hz = 4000.0 Hz is not below the Nyquist frequency, 4000.0 Hz at sample_rate 8000"},
        {{0.0, std::nullopt}, 16000, "band edge low_hz = 0.0 Hz is not above 0 Hz"},
        {{-5.5, std::nullopt}, 16000, "band edge low_hz = -5.5 Hz is not above 0 Hz"},
        {{std::nullopt, std::numeric_limits<double>::quiet_NaN()}, 16000, "band edge high_hz = nan Hz is not a number"},
        {{std::nullopt, std::numeric_limits<double>::infinity()}, 16000, "band edge high_hz = inf Hz is not below the Nyquist frequency, 8000.0 Hz at sample_rate 16000"},
        {{3000.0, 300.0}, 16000, "band edges out of order: low_hz = 3000.0 Hz is not below high_hz = 300.0 Hz"},
        {{300.0, 300.0}, 16000, "band edges out of order: low_hz = 300.0 Hz is not below high_hz = 300.0 Hz"},
        {{1e-3, std::nullopt}, 0, "band edge low_hz = 0.001 Hz is not below the Nyquist frequency, 0.0 Hz at sample_rate 0"},
        {{}, 0, ""},
    };
    for (const auto& c : cases) {
        const std::string error = band_edges_error(c.edges, c.rate);
        CHECK(error == c.error, "band error: %s", error.c_str());
        bool threw = false;
        try {
            BandFilter f(c.edges, c.rate);
        } catch (const CheckFailed& e) {
            threw = e.what() == error;
        }
        CHECK(threw == !error.empty(), "band filter constructor for: %s", c.error);
    }
}

void integers_round_half_to_even_and_saturate() {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double v;
        std::int16_t i16;
        std::int32_t i32;
    } cases[] = {
        {0.5, 0, 0},       {1.5, 2, 2},         {2.5, 2, 2},          {-0.5, 0, 0},    {-1.5, -2, -2},
        {-2.4999, -2, -2}, {32767.5, 32767, 32768}, {-32768.5, -32768, -32768}, {40000.7, 32767, 40001},
        {-2147483648.5, -32768, -2147483648}, {2147483647.5, 32767, 2147483647}, {1e300, 32767, 2147483647},
        {inf, 32767, 2147483647}, {-inf, -32768, -2147483648}, {nan, 0, 0},
    };
    for (const auto& c : cases) {
        CHECK(round_saturate<std::int16_t>(c.v) == c.i16, "int16 of %.17g", c.v);
        CHECK(round_saturate<std::int32_t>(c.v) == c.i32, "int32 of %.17g", c.v);
    }
    // Presets drop an edge at or above 0.9 of the Nyquist frequency.
    const auto speech = [](std::uint64_t rate) { return band_preset("speech", rate).value(); };
    CHECK(speech(16000).low_hz == 200.0 && speech(16000).high_hz == 4000.0, "speech at 16 kHz");
    CHECK(speech(8000).low_hz == 200.0 && !speech(8000).high_hz, "speech at 8 kHz");
    CHECK(!speech(444).low_hz && !speech(444).high_hz && speech(445).low_hz == 200.0, "speech edge limit");
    CHECK(!band_preset("voice", 16000), "unknown preset");
}

// Lengths in samples and a percentile's ranks come from the whole part of a double
// and its fraction; held to the library's round, floor and ceil on ties, on
// fractions just off a tie, near 2^52 and 2^64, and at random.
void lengths_and_ranks_match_the_library(std::mt19937_64& rng) {
    const auto plain_samples = [](std::uint64_t rate, std::uint64_t ms) {
        return saturate_to_u64(std::round(static_cast<double>(rate) * static_cast<double>(ms) / 1000.0));
    };
    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    const std::pair<std::uint64_t, std::uint64_t> edges[] = {
        {0, 0}, {1, 500}, {1, 499}, {1, 501}, {3, 500}, {16000, 10}, {44100, 5}, {44100, 15}, {1, 1500},
        {big, 1}, {big, 1000}, {big, big}, {1ull << 52, 1000}, {(1ull << 53) + 1, 999}, {1ull << 63, 1999},
        {4503599627370497ull, 500}, {9007199254740993ull, 1},
    };
    for (const auto& [rate, ms] : edges) {
        CHECK(ms_to_samples(rate, ms) == plain_samples(rate, ms), "ms_to_samples(%llu, %llu)",
              static_cast<unsigned long long>(rate), static_cast<unsigned long long>(ms));
    }
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t rate = rng() >> (rng() % 64), ms = rng() >> (rng() % 64);
        CHECK(ms_to_samples(rate, ms) == plain_samples(rate, ms), "ms_to_samples(%llu, %llu)",
              static_cast<unsigned long long>(rate), static_cast<unsigned long long>(ms));
    }
    const float percentiles[] = {0.0f, 5.0f, 20.0f, 50.0f, 95.0f, 99.9f, 100.0f, -1.0f, 101.0f,
                                 std::numeric_limits<float>::quiet_NaN(), 1e-30f};
    for (int i = 0; i < 20000; ++i) {
        const std::size_t most = i % 2 == 0 ? 5000 : std::numeric_limits<std::size_t>::max() - 2;
        const std::size_t n = 2 + (rng() >> (rng() % 64)) % most;
        const float p = i % 3 == 0 ? percentiles[rng() % std::size(percentiles)]
                                   : static_cast<float>(rng() % 100001) / 1000.0f;
        float q = p;
        q = q < 0.0f ? 0.0f : q > 100.0f ? 100.0f : q;
        const double position = static_cast<double>(n - 1) * static_cast<double>(q) / 100.0;
        const FloorRanks r = floor_ranks(n, p);
        CHECK(r.lo == std::min<std::uint64_t>(saturate_to_u64(std::floor(position)), n - 1) &&
                  r.hi == std::min<std::uint64_t>(saturate_to_u64(std::ceil(position)), n - 1),
              "floor_ranks(%zu, %.9g)", n, static_cast<double>(p));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937_64 rng(20261208);
    for (const EnergyPath& path : energy_paths()) {
        std::printf("energy path %-12s %s\n", path.name, path.available() ? "checked" : "not available here");
    }
    energy_paths_agree(rng);
    for (const LatticePath& path : lattice_paths()) {
        std::printf("lattice path %-12s %s\n", path.name, path.available() ? "checked" : "not available here");
    }
    lattice_paths_agree();
    ramp_rule_matches_literal(rng);
    cleaning_reach_bounds_the_passes(rng);
    batch_paths_agree(rng);
    streaming_checks(rng);
    float_texts_are_shortest();
    band_filter_golden_bits();
    noise_rule_golden_bits();
    band_filter_chunks_agree(rng);
    band_edges_are_checked();
    integers_round_half_to_even_and_saturate();
    lengths_and_ranks_match_the_library(rng);
    music_checks(rng);
    // run() calls for the plug-in's allocation count: a million, or the first argument.
    plugin_checks(rng, argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000);
    std::printf("%d passed, %d failed\n", check_count - failure_count, failure_count);
    return failure_count == 0 ? 0 : 1;
}
