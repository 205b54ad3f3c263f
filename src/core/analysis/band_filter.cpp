// The band filter: its design from the edges, and its stages as loops over segments.
#include "analysis/band_filter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "analysis/band_fused.hpp"
#include "analysis/energy.hpp"
#include "analysis/simd.hpp"
#include "messages.hpp"

namespace talvane {

namespace {

// Shortest text that reads back as the same double, with ".0" on a whole number.
std::string format_hz(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string out(text, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

std::string edge_error(const char* name, double hz, std::uint64_t sample_rate) {
    const std::string what = std::string("band edge ") + name + " = " + format_hz(hz) + " Hz";
    if (std::isnan(hz)) return what + " is not a number";
    if (!(hz > 0.0)) return what + " is not above 0 Hz";
    const double nyquist = static_cast<double>(sample_rate) / 2.0;
    if (!(hz < nyquist)) {
        return what + " is not below the Nyquist frequency, " + format_hz(nyquist) + " Hz at sample_rate " +
               std::to_string(sample_rate);
    }
    return {};
}

enum class Zeros { high_pass, low_pass, band_pass };

// Each stage is a loop of its own over a buffer that holds the stage's history and
// then a segment of at most kBandFlushEvery samples, so every value is the formula
// of the definition with its operands read back from memory. The compiler runs each
// loop on vector registers, side by side over successive samples, which the poles
// allow since y reads outputs 4 and 8 samples back. A loop over y waits for the
// output 4 samples back at every step, so with two sections the second runs one
// segment behind the first, in the same loop: the two waits overlap. Always inlined,
// so that each path compiles the loops for its own processor.
constexpr std::size_t kSegment = kBandFlushEvery;

template <std::size_t kHistory>
struct Buffer {
    double at[kHistory + kSegment];
    double* now() noexcept { return at + kHistory; }  // now()[i] is sample i of the segment
};

template <std::size_t kHistory>
TALVANE_ALWAYS_INLINE void load_history(Buffer<kHistory>& b, const std::array<double, kHistory>& history) {
    std::copy(history.begin(), history.end(), b.at);
}

// The last kHistory values, the segment's own or, for a short segment, its history's.
template <std::size_t kHistory>
TALVANE_ALWAYS_INLINE void keep_history(const Buffer<kHistory>& b, std::size_t n,
                                        std::array<double, kHistory>& history) {
    std::copy(b.at + n, b.at + n + kHistory, history.begin());
}

template <std::size_t kHistory>
TALVANE_ALWAYS_INLINE void flush(std::array<double, kHistory>& history) {
    for (double& value : history) value = std::fabs(value) < kBandFlushBelow ? 0.0 : value;
}

// The input a few pages ahead is fetched while a segment is filtered: the hardware
// follows the stream within a page, but each new page would start with misses, and
// a segment takes long enough to hide them. Prefetches past the end of the input
// are harmless (they never fault).
constexpr std::size_t kFloatsPerLine = 16;
constexpr std::size_t kPrefetchAhead = 1024;  // floats: 4 KiB
TALVANE_ALWAYS_INLINE void prefetch(const float* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif TALVANE_X86
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
#endif
}

// Steps 1 and 2 up to v: x, the zeros w and the first section's v over n samples.
template <Zeros kZeros>
TALVANE_ALWAYS_INLINE void zeros_and_v(const float* in, std::size_t n, Buffer<4>& x, Buffer<2>& w, Buffer<4>& v,
                                       BandFilter::State& state, const BandFilter::Section& c) {
    load_history(x, state.x);
    load_history(w, state.w);
    load_history(v, state.v[0]);
    double* xx = x.now();
    double* ww = w.now();
    double* vv = v.now();
    for (std::size_t i = 0; i < n; i += kFloatsPerLine) prefetch(in + i + kPrefetchAhead);
    for (std::size_t i = 0; i < n; ++i) xx[i] = static_cast<double>(in[i]);
    // Signed indices: i - 2 reaches back into the history, before the segment.
    const auto count = static_cast<std::ptrdiff_t>(n);
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        if constexpr (kZeros == Zeros::band_pass) {
            ww[i] = (xx[i] - xx[i - 2]) - (xx[i - 2] - xx[i - 4]);
        } else if constexpr (kZeros == Zeros::high_pass) {
            ww[i] = (xx[i] - xx[i - 1]) - (xx[i - 1] - xx[i - 2]);
        } else {
            ww[i] = (xx[i] + xx[i - 1]) + (xx[i - 1] + xx[i - 2]);
        }
    }
    for (std::ptrdiff_t i = 0; i < count; ++i) vv[i] = (ww[i] - c.a1 * ww[i - 1]) + c.a2 * ww[i - 2];
    keep_history(x, n, state.x);
    keep_history(w, n, state.w);
    keep_history(v, n, state.v[0]);
}

TALVANE_ALWAYS_INLINE double pole_step(const double* v, const double* y, std::size_t at,
                                       const BandFilter::Section& c) {
    const auto i = static_cast<std::ptrdiff_t>(at);  // i - 8 reaches back into the history
    return (((v[i] - c.d1 * v[i - 2]) + c.d2 * v[i - 4]) - c.b2 * y[i - 8]) - c.b1 * y[i - 4];
}

// IEEE narrowing: rounded to the nearest float32, infinity past its range.
TALVANE_ALWAYS_INLINE float output(double gain, double y) { return static_cast<float>(gain * y); }

// The segments of one call with a single section.
template <Zeros kZeros>
TALVANE_ALWAYS_INLINE void run_one(const float* in, float* out, std::size_t n, BandFilter::State& state,
                                   std::uint64_t& phase, const BandFilter& filter) {
    const BandFilter::Section& c = filter.sections()[0];
    const double gain = filter.gain();
    Buffer<4> x, v;
    Buffer<2> w;
    Buffer<8> y;
    for (std::size_t at = 0; at < n;) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(n - at, kSegment - phase));
        if (phase == 0) {
            flush(state.v[0]);
            flush(state.y[0]);
        }
        zeros_and_v<kZeros>(in + at, len, x, w, v, state, c);
        load_history(y, state.y[0]);
        const double* vv = v.now();
        double* yy = y.now();
        for (std::size_t i = 0; i < len; ++i) {
            yy[i] = pole_step(vv, yy, i, c);
            out[at + i] = output(gain, yy[i]);
        }
        keep_history(y, len, state.y[0]);
        phase = (phase + len) % kSegment;
        at += len;
    }
}

// The segments of one call with two sections: in each round the first section
// takes a segment while the second takes the one before it, whose v the round
// before computed from the first section's y.
TALVANE_ALWAYS_INLINE void run_two(const float* in, float* out, std::size_t n, BandFilter::State& state,
                                   std::uint64_t& phase, const BandFilter& filter) {
    const BandFilter::Section& c1 = filter.sections()[0];
    const BandFilter::Section& c2 = filter.sections()[1];
    const double gain = filter.gain();
    Buffer<4> x, v1, v2;
    Buffer<2> w;
    Buffer<8> y1, y2;
    std::size_t behind = 0;  // samples of the segment the second section has still to take
    float* behind_out = out;
    for (std::size_t at = 0; at < n;) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(n - at, kSegment - phase));
        const bool flush_point = phase == 0;
        if (flush_point) {
            flush(state.v[0]);
            flush(state.y[0]);
        }
        zeros_and_v<Zeros::band_pass>(in + at, len, x, w, v1, state, c1);
        load_history(y1, state.y[0]);
        const double* vv1 = v1.now();
        const double* vv2 = v2.now();
        double* yy1 = y1.now();
        double* yy2 = y2.now();
        const std::size_t both = std::min(len, behind);
        for (std::size_t i = 0; i < both; ++i) {
            yy1[i] = pole_step(vv1, yy1, i, c1);
            yy2[i] = pole_step(vv2, yy2, i, c2);
        }
        for (std::size_t i = both; i < len; ++i) yy1[i] = pole_step(vv1, yy1, i, c1);
        for (std::size_t i = both; i < behind; ++i) yy2[i] = pole_step(vv2, yy2, i, c2);
        for (std::size_t i = 0; i < behind; ++i) behind_out[i] = output(gain, yy2[i]);
        keep_history(y1, len, state.y[0]);
        if (behind > 0) {
            keep_history(v2, behind, state.v[1]);
            keep_history(y2, behind, state.y[1]);
        }
        // The second section's v for this segment, from the first's y and its history.
        if (flush_point) {
            flush(state.v[1]);
            flush(state.y[1]);
        }
        load_history(v2, state.v[1]);
        load_history(y2, state.y[1]);
        double* v2_now = v2.now();
        for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(len); ++i) {
            v2_now[i] = (yy1[i] - c2.a1 * yy1[i - 1]) + c2.a2 * yy1[i - 2];
        }
        behind = len;
        behind_out = out + at;
        phase = (phase + len) % kSegment;
        at += len;
    }
    const double* vv2 = v2.now();
    double* yy2 = y2.now();
    for (std::size_t i = 0; i < behind; ++i) yy2[i] = pole_step(vv2, yy2, i, c2);
    for (std::size_t i = 0; i < behind; ++i) behind_out[i] = output(gain, yy2[i]);
    if (behind > 0) {
        keep_history(v2, behind, state.v[1]);
        keep_history(y2, behind, state.y[1]);
    }
}

template <Zeros kZeros>
TALVANE_ALWAYS_INLINE void run(const float* in, float* out, std::size_t n, BandFilter::State& state,
                               std::uint64_t& phase, const BandFilter& filter) {
    if constexpr (kZeros == Zeros::band_pass) {
        run_two(in, out, n, state, phase, filter);
    } else {
        run_one<kZeros>(in, out, n, state, phase, filter);
    }
}

template <Zeros kZeros>
void portable_run(const float* in, float* out, std::size_t n, BandFilter::State& state, std::uint64_t& phase,
                  const BandFilter& filter) {
    run<kZeros>(in, out, n, state, phase, filter);
}

#if TALVANE_X86
template <Zeros kZeros>
TALVANE_AVX2 void avx2_run(const float* in, float* out, std::size_t n, BandFilter::State& state,
                           std::uint64_t& phase, const BandFilter& filter) {
    run<kZeros>(in, out, n, state, phase, filter);
}

#if TALVANE_BAND_FUSED
// A call shorter than this runs the band pass in three passes (band_fused.hpp):
// there, the stage loops spend much of their time entering and leaving loops (a
// 10 ms call at 16 kHz takes 0.2 us against 0.28). Longer calls keep the stage
// loops, which overlap the second section with the first's next segment and
// measured a few per cent faster on long recordings.
constexpr std::size_t kThreePassesBelow = 1024;

TALVANE_AVX2 void avx2_band_pass(const float* in, float* out, std::size_t n, BandFilter::State& state,
                                 std::uint64_t& phase, const BandFilter& filter) {
    if (n < kThreePassesBelow) return band_pass_fused_avx2(in, out, n, state, phase, filter);
    run<Zeros::band_pass>(in, out, n, state, phase, filter);
}
#endif
#endif

bool on_every_processor() { return true; }

constexpr BandPath kPaths[] = {
    {"portable", on_every_processor},
#if TALVANE_X86
    {"avx2", processor_has_avx2},
#endif
};

template <Zeros kZeros>
BandFilter::Run run_of(std::size_t path) {
#if TALVANE_X86
    if (path == 1) {
#if TALVANE_BAND_FUSED
        if constexpr (kZeros == Zeros::band_pass) return avx2_band_pass;
#endif
        return avx2_run<kZeros>;
    }
#endif
    (void)path;
    return portable_run<kZeros>;
}

std::size_t fastest_path() {
    std::size_t best = 0;
    for (std::size_t i = 0; i < std::size(kPaths); ++i) {
        if (kPaths[i].available()) best = i;
    }
    return best;
}


double edge_k(double hz, std::uint64_t sample_rate) {
    return band_tan(kBandPi * (hz / static_cast<double>(sample_rate)));
}

}  // namespace

std::string band_edges_error(const BandEdges& edges, std::uint64_t sample_rate) {
    if (edges.low_hz) {
        if (std::string e = edge_error("low_hz", *edges.low_hz, sample_rate); !e.empty()) return e;
    }
    if (edges.high_hz) {
        if (std::string e = edge_error("high_hz", *edges.high_hz, sample_rate); !e.empty()) return e;
    }
    if (edges.low_hz && edges.high_hz && !(*edges.low_hz < *edges.high_hz)) {
        return "band edges out of order: low_hz = " + format_hz(*edges.low_hz) + " Hz is not below high_hz = " +
               format_hz(*edges.high_hz) + " Hz";
    }
    return {};
}

std::optional<BandEdges> band_preset(std::string_view name, std::uint64_t sample_rate) {
    const double limit = kBandPresetEdgeLimit * static_cast<double>(sample_rate) / 2.0;
    for (const BandPreset& preset : kBandPresets) {
        if (name != preset.name) continue;
        auto fitted = [limit](double hz) { return hz < limit ? std::optional<double>(hz) : std::nullopt; };
        return BandEdges{fitted(preset.low_hz), fitted(preset.high_hz)};
    }
    return std::nullopt;
}

double band_tan(double x) {
    const double xx = x * x;
    double t = 2.0 * kBandTanTerms - 1.0;
    for (int k = kBandTanTerms - 1; k >= 1; --k) t = (2.0 * k - 1.0) - xx / t;
    return x / t;
}

std::span<const BandPath> band_paths() { return kPaths; }

BandFilter::BandFilter(const BandEdges& edges, std::uint64_t sample_rate)
    : BandFilter(edges, sample_rate, fastest_path()) {}

BandFilter::BandFilter(const BandEdges& edges, std::uint64_t sample_rate, std::size_t path) {
    if (std::string error = band_edges_error(edges, sample_rate); !error.empty()) throw CheckFailed(error);
    if (path >= std::size(kPaths) || !kPaths[path].available()) throw CheckFailed("band filter path not available");
    const double c = std::sqrt(2.0);
    auto add = [&](double k, bool high_pass) {
        const double kk = k * k;
        const double d0 = (1.0 + c * k) + kk;
        const double g = (high_pass ? 1.0 : kk) / d0;
        const double a1 = ((kk - 1.0) * 2.0) / d0, a2 = ((1.0 - c * k) + kk) / d0;
        const double d1 = (2.0 * a2) - (a1 * a1), d2 = a2 * a2;
        sections_[n_sections_] = {a1, a2, d1, d2, (2.0 * d2) - (d1 * d1), d2 * d2};
        gain_ = n_sections_ == 0 ? g : gain_ * g;
        ++n_sections_;
    };
    if (edges.low_hz) add(edge_k(*edges.low_hz, sample_rate), true);
    if (edges.high_hz) add(edge_k(*edges.high_hz, sample_rate), false);
    if (edges.low_hz && edges.high_hz) {
        run_ = run_of<Zeros::band_pass>(path);
    } else if (edges.low_hz) {
        run_ = run_of<Zeros::high_pass>(path);
    } else if (edges.high_hz) {
        run_ = run_of<Zeros::low_pass>(path);
    }
}

void BandFilter::process(std::span<const float> in, std::span<float> out) {
    const std::size_t n = std::min(in.size(), out.size());
    if (run_ != nullptr) {
        run_(in.data(), out.data(), n, state_, phase_, *this);
    } else if (out.data() != in.data()) {
        std::copy_n(in.data(), n, out.data());
    }
}

void BandFilter::reset() noexcept {
    state_ = State{};
    phase_ = 0;
}

SampleBuffer band_filter(std::span<const float> samples, std::uint64_t sample_rate, const BandEdges& edges) {
    BandFilter filter(edges, sample_rate);
    SampleBuffer out(samples.size());
    filter.process(samples, out);
    return out;
}

}  // namespace talvane
