// The music measure against a float64 model written from its definition, across
// chunkings, on golden bits, and on the inputs that could break its state.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "analysis/music_kernels.hpp"
#include "analysis/music_measure.hpp"
#include "checks.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

std::uint64_t window_of(std::uint64_t rate) { return (rate + 50) / 100; }

// Held sawtooth chords that decay and change every half second, under speech-like
// bursts (a 125 Hz pulse train and noise, in 4 Hz syllables) from 3 s to 6 s, over a
// faint noise floor. Integers only, so every platform gets the same floats.
std::vector<float> music_signal(std::uint64_t rate, std::uint64_t seconds) {
    static const std::int64_t notes[][3] = {{220, 277, 330}, {196, 247, 294}, {262, 330, 392}, {175, 220, 262}};
    std::vector<float> x(rate * seconds);
    std::uint32_t lcg = 12345;
    const auto noise = [&lcg] {
        lcg = lcg * 1664525u + 1013904223u;
        return static_cast<std::int64_t>(lcg >> 20) - 2048;  // -2048 .. 2047
    };
    const std::int64_t r = static_cast<std::int64_t>(rate), note_len = r / 2, syllable = r / 4;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(x.size()); ++i) {
        const std::int64_t t = i % note_len, second = i / r;
        std::int64_t v = noise() / 16;
        if (second < 5 || second >= 6) {
            for (std::int64_t f : notes[(i / note_len) % 4]) {
                const std::int64_t period = std::max<std::int64_t>(2, r / f);
                v += ((i % period) * 8192 / period - 4096) * (2 * note_len - t) / (2 * note_len);
            }
        }
        if (second >= 3 && second < 6) {
            const std::int64_t s = i % syllable, env = std::min(s, syllable - s) * 8 / syllable;  // 0..4
            const std::int64_t pulse = i % std::max<std::int64_t>(1, r / 125) < 3 ? 6000 : 0;
            v += env * (pulse + noise());
        }
        x[static_cast<std::size_t>(i)] = static_cast<float>(v) * 0x1p-16f;
    }
    return x;
}

// With the fastest path, or path `path` of music_paths().
std::vector<MusicValues> measured(std::uint64_t rate, const std::vector<float>& x, std::size_t path = SIZE_MAX) {
    MusicMeasure m(rate, window_of(rate));
    if (path != SIZE_MAX) m.use_path(path);
    std::vector<MusicValues> out(m.spectra_after(x.size()));
    out.resize(m.process(x, out));
    return out;
}

struct Model {
    double steadiness, novelty, factor;
};

// The definition in plain float64: a direct transform with the library's cosines,
// whitened values kept in double.
std::vector<Model> modelled(std::uint64_t rate, const std::vector<float>& x) {
    const double pi = 3.14159265358979323846;
    const std::uint64_t d = std::max<std::uint64_t>(1, rate / 8000), period = 2 * window_of(rate);
    const std::size_t k0 = (51200 * d + rate - 1) / rate, k1 = std::min<std::size_t>(128, 1024000 * d / rate);
    const std::size_t bins = k1 - k0 + 1;
    std::vector<double> blocks(x.size() / d, 0.0);
    for (std::size_t m = 0; m < blocks.size(); ++m) {
        for (std::size_t j = 0; j < d; ++j) blocks[m] += x[m * d + j];
    }
    std::vector<double> cosine(256), mean(bins), w(bins), last(bins, 0.0), older(bins, 0.0), s_hist, n_hist;
    for (std::size_t j = 0; j < 256; ++j) cosine[j] = std::cos(2 * pi * double(j) / 256);
    std::vector<Model> out;
    for (std::uint64_t end = period; end <= x.size(); end += period) {
        const std::size_t c = end / d;
        double sum = 0.0, rise = 0.0;
        for (std::size_t b = 0; b < bins; ++b) {
            double re = 0.0, im = 0.0;
            for (std::size_t n = 0; n < 256; ++n) {
                const double v = c + n >= 256 ? blocks[c + n - 256] * (0.5 - 0.5 * cosine[n]) : 0.0;
                re += v * cosine[(k0 + b) * n % 256];
                im -= v * cosine[((k0 + b) * n + 192) % 256];  // sin(a) = cos(a - pi / 2)
            }
            const double p = re * re + im * im;
            if (out.empty()) mean[b] = p;
            w[b] = p == 0 ? 0 : p >= 1e4 * mean[b] ? 1e4 : p / mean[b];
            mean[b] += (p - mean[b]) / 150;
            sum += w[b];
            rise += std::max(0.0, w[b] - last[b]);
        }
        double dot = 0, uu = 0, vv = 0, m_older = 0;
        for (double v : older) m_older += v / bins;
        for (std::size_t b = 0; b < bins; ++b) {
            const double u = w[b] - sum / bins, v = older[b] - m_older;
            dot += u * v, uu += u * u, vv += v * v;
        }
        s_hist.push_back(uu * vv > 0 ? dot / std::sqrt(uu * vv) : 0.0);
        n_hist.push_back(sum > 0 ? rise / sum : 0.0);
        double s = 0, nv = 0;
        for (std::size_t k = 0; k < 12 && k < s_hist.size(); ++k) s += s_hist[s_hist.size() - 1 - k] / 12;
        for (std::size_t k = 0; k < 4 && k < n_hist.size(); ++k) nv += n_hist[n_hist.size() - 1 - k] / 4;
        const double gs = std::clamp((s - 0.4) / 0.15, 0.0, 1.0), gn = std::clamp((0.45 - nv) / 0.1, 0.0, 1.0);
        out.push_back({s, nv, 1 + 2 * gs * gn});
        older = last;
        last = w;
    }
    return out;
}

// Agreement with the model. The transform's double rounding moves a power by a few
// 1e-16 of the frame's energy, the whitened values' float32 rounding by 6e-8 of
// themselves: a correlation or share of 122 such values moves by well under 1e-6,
// and the factor (slopes 2 / 0.15 and 2 / 0.10) by under 1e-4.
void music_agrees_with_model(std::uint64_t rate, const std::vector<float>& x, const std::vector<MusicValues>& got) {
    const std::vector<Model> want = modelled(rate, x);
    CHECK(got.size() == want.size() && got.size() == x.size() / (2 * window_of(rate)), "music spectra at %llu",
          static_cast<unsigned long long>(rate));
    double ds = 0, dn = 0, df = 0, low = 3, high = 1;
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        ds = std::max(ds, std::fabs(got[i].steadiness - want[i].steadiness));
        dn = std::max(dn, std::fabs(got[i].novelty - want[i].novelty));
        df = std::max(df, std::fabs(got[i].factor - want[i].factor));
        low = std::min<double>(low, got[i].factor), high = std::max<double>(high, got[i].factor);
    }
    std::printf("music measure at %llu Hz: model differences %.1e %.1e %.1e, factors %.3f..%.3f\n",
                static_cast<unsigned long long>(rate), ds, dn, df, low, high);
    CHECK(ds <= 1e-6 && dn <= 1e-6 && df <= 1e-4, "music measure differs from the model at %llu",
          static_cast<unsigned long long>(rate));
    // The signal takes the factor through both clamps.
    CHECK(low == 1.0 && high == 3.0, "music factors at %llu span %g..%g", static_cast<unsigned long long>(rate), low,
          high);
}

std::uint64_t fnv(const std::vector<MusicValues>& values, std::uint64_t h) {
    for (const MusicValues& v : values) {
        for (float f : {v.steadiness, v.novelty, v.factor}) {
            h = (h ^ std::bit_cast<std::uint32_t>(f)) * 0x100000001b3u;
        }
    }
    return h;
}

constexpr std::uint64_t kFnvStart = 0xcbf29ce484222325u;

bool same_values(const std::vector<MusicValues>& a, const std::vector<MusicValues>& b) {
    return a.size() == b.size() && fnv(a, kFnvStart) == fnv(b, kFnvStart);
}

// Random chunk lengths, 0 and 1 among them, give the bits of one call.
void music_chunks_agree(std::mt19937_64& rng, std::uint64_t rate, const std::vector<float>& x,
                        const std::vector<MusicValues>& whole) {
    MusicMeasure m(rate, window_of(rate));
    std::vector<MusicValues> got;
    for (std::size_t at = 0; at < x.size();) {
        const std::size_t kind = rng() % 4;
        std::size_t n = kind == 0 ? rng() % 2 : kind == 1 ? rng() % 700 : rng() % 30000;
        n = std::min(n, x.size() - at);
        std::vector<MusicValues> out(m.spectra_after(n));
        CHECK(m.process(std::span<const float>(x.data() + at, n), out) == out.size(), "music spectra per call");
        got.insert(got.end(), out.begin(), out.end());
        at += n;
    }
    CHECK(same_values(got, whole) && m.spectra() == whole.size(), "music chunks differ at %llu",
          static_cast<unsigned long long>(rate));
}

// Inputs that must not break the state, and rates without bins.
void music_edges() {
    const auto finite = [](const std::vector<MusicValues>& v) {
        return std::all_of(v.begin(), v.end(), [](const MusicValues& m) {
            return std::isfinite(m.steadiness) && std::isfinite(m.novelty) && m.factor >= 1.0f && m.factor <= 3.0f;
        });
    };
    // Non-finite samples count as 0.0; huge finite ones neither overflow nor poison.
    std::vector<float> x = music_signal(16000, 4), zeroed = x;
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (std::size_t i = 1000; i < x.size(); i += 7919) x[i] = bad[i % 3], zeroed[i] = 0.0f;
    CHECK(same_values(measured(16000, x), measured(16000, zeroed)), "non-finite samples are not taken as 0");
    for (std::size_t i = 16000; i < 20000; ++i) x[i] = i % 2 ? 3e38f : -3e38f;
    CHECK(finite(measured(16000, x)), "huge samples break the music measure");
    // Digital silence long enough for the means to reach the floor (25 minutes at
    // 1 kHz), then sound: no infinity or NaN.
    std::vector<float> quiet = music_signal(1000, 2);
    quiet.resize(quiet.size() + 1500000, 0.0f);
    const std::vector<float> again = music_signal(1000, 2);
    quiet.insert(quiet.end(), again.begin(), again.end());
    const std::vector<MusicValues> after = measured(1000, quiet);
    CHECK(finite(after) && after.back().novelty > 0.0f, "sound after a long silence");
    // No bin: every factor 1.
    for (const auto& [rate, w] : {std::pair<std::uint64_t, std::uint64_t>{399, 4}, {0, 0}, {1, 1}}) {
        MusicMeasure m(rate, w);
        const std::vector<float> y = music_signal(8000, 1);
        std::vector<MusicValues> out(m.spectra_after(y.size()));
        m.process(y, out);
        CHECK(!out.empty() && std::all_of(out.begin(), out.end(), [](const MusicValues& v) { return v.factor == 1.0f; }),
              "music factor without bins at %llu", static_cast<unsigned long long>(rate));
    }
    // Counts near 2^64 do not wrap.
    MusicMeasure m(16000, 1);
    MusicValues one[1];
    m.process(std::vector<float>{0.5f}, one);
    CHECK(m.spectra_after(UINT64_MAX) == (UINT64_MAX >> 1) + 1, "music spectra_after wraps");
    CHECK(MusicMeasure(16000, UINT64_MAX).spectra_after(UINT64_MAX) == 1 && MusicMeasure(16000, UINT64_MAX).period() == UINT64_MAX,
          "music period wraps");
}

// A stream whose first calls gate nothing (disabled, or empty chunks) measures
// the later ones at its own rate, as a stream begun with them does.
void music_after_idle_calls() {
    const std::uint64_t rate = 48000;
    const std::vector<float> x = music_signal(rate, 2);
    GateConfig on, off;
    off.enabled = false;
    StreamState idle, fresh;
    idle.music.on = fresh.music.on = true;
    process_chunk_inner(off, idle, std::span<const float>(x.data(), 480), rate, false);
    process_chunk_inner(on, idle, std::span<const float>(), rate, false);
    for (std::size_t at = 0; at < x.size(); at += 4800) {
        const std::span<const float> chunk(x.data() + at, std::min<std::size_t>(4800, x.size() - at));
        process_chunk_inner(on, idle, chunk, rate, false);
        process_chunk_inner(on, fresh, chunk, rate, false);
        CHECK(same_values(idle.last_call.music, fresh.last_call.music), "music after idle calls at %zu", at);
    }
}

}  // namespace

void music_checks(std::mt19937_64& rng) {
    std::uint64_t h = kFnvStart;
    for (std::uint64_t rate : {8000, 16000, 44100, 48000}) {
        const std::vector<float> x = music_signal(rate, 8);
        const std::vector<MusicValues> whole = measured(rate, x);
        music_agrees_with_model(rate, x, whole);
        for (std::size_t p = 0; p < music_paths().size(); ++p) {
            CHECK(!music_paths()[p].available() || same_values(measured(rate, x, p), whole),
                  "music path %s differs at %llu", music_paths()[p].name, static_cast<unsigned long long>(rate));
        }
        h = fnv(whole, h);
        if (rate == 16000 || rate == 44100) music_chunks_agree(rng, rate, x, whole);
    }
    CHECK(h == 0x6e6666bb9ff6b713u, "music measure golden bits: %016llx", static_cast<unsigned long long>(h));
    music_edges();
    music_after_idle_calls();
}

}  // namespace talvane
