// The band filter: its design from the edges, and the per-sample kernels.
#include "analysis/band_filter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

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

// Rounded to the nearest float32; past the largest float32 by half an ulp or more,
// infinity of that sign (a plain cast would leave that undefined).
inline float to_float32(double d) {
    if (std::fabs(d) >= 0x1.ffffffp127) return d > 0.0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(d);
}

// One section's coefficients and its outputs y[t-1], y[t-2].
struct SectionState {
    double a1, a2, y1, y2;
};

// One sample through one section's poles.
inline double poles_step(double w, SectionState& s) {
    const double y = (w - s.a2 * s.y2) - s.a1 * s.y1;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

enum class Zeros { high_pass, low_pass, band_pass };

// One kernel per arrangement, every value in a local so that the compiler keeps the
// state in registers. The zeros read the input's history x[t-1] .. x[t-4]; their
// inner bracket is carried from the sample that computed it (e1 at t-1, e2 at t-2),
// which gives the same bits as computing it again. The sections' recurrences of
// successive samples are independent, so the processor overlaps them.
template <Zeros kZeros>
void run(const float* in, float* out, std::size_t n, std::array<double, 4>& input, std::array<double, 4>& ps,
         const std::array<BandFilter::Section, 2>& sec, double gain) {
    constexpr bool kTwo = kZeros == Zeros::band_pass;
    SectionState s0{sec[0].a1, sec[0].a2, ps[0], ps[1]};
    SectionState s1{sec[1].a1, sec[1].a2, ps[2], ps[3]};
    double x1 = input[0], x2 = input[1], x3 = input[2], x4 = input[3];
    double e1, e2;
    if constexpr (kZeros == Zeros::band_pass) {
        e1 = x1 - x3;
        e2 = x2 - x4;
    } else if constexpr (kZeros == Zeros::high_pass) {
        e1 = x1 - x2;
        e2 = 0.0;
    } else {
        e1 = x1 + x2;
        e2 = 0.0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(in[i]);
        double w;
        if constexpr (kZeros == Zeros::band_pass) {
            const double e = x - x2;
            w = e - e2;
            e2 = e1;
            e1 = e;
        } else if constexpr (kZeros == Zeros::high_pass) {
            const double e = x - x1;
            w = e - e1;
            e1 = e;
        } else {
            const double e = x + x1;
            w = e + e1;
            e1 = e;
        }
        x4 = x3;
        x3 = x2;
        x2 = x1;
        x1 = x;
        double y = poles_step(w, s0);
        if constexpr (kTwo) y = poles_step(y, s1);
        out[i] = to_float32(gain * y);
    }
    input = {x1, x2, x3, x4};
    ps = {s0.y1, s0.y2, s1.y1, s1.y2};
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

BandFilter::BandFilter(const BandEdges& edges, std::uint64_t sample_rate) {
    if (std::string error = band_edges_error(edges, sample_rate); !error.empty()) throw CheckFailed(error);
    const double c = std::sqrt(2.0);
    auto add = [&](double k, bool high_pass) {
        const double kk = k * k;
        const double d0 = (1.0 + c * k) + kk;
        const double g = (high_pass ? 1.0 : kk) / d0;
        sections_[n_sections_] = {((kk - 1.0) * 2.0) / d0, ((1.0 - c * k) + kk) / d0};
        gain_ = n_sections_ == 0 ? g : gain_ * g;
        ++n_sections_;
    };
    if (edges.low_hz) add(edge_k(*edges.low_hz, sample_rate), true);
    if (edges.high_hz) add(edge_k(*edges.high_hz, sample_rate), false);
    has_low_ = edges.low_hz.has_value();
    has_high_ = edges.high_hz.has_value();
}

void BandFilter::process(std::span<const float> in, std::span<float> out) {
    const std::size_t n = std::min(in.size(), out.size());
    std::size_t i = 0;
    while (i < n) {
        if (phase_ == 0) {
            for (double& y : poles_) {
                if (std::fabs(y) < kBandFlushBelow) y = 0.0;
            }
        }
        const std::size_t len = static_cast<std::size_t>(
            std::min<std::uint64_t>(n - i, kBandFlushEvery - phase_));
        const float* src = in.data() + i;
        float* dst = out.data() + i;
        if (has_low_ && has_high_) {
            run<Zeros::band_pass>(src, dst, len, input_, poles_, sections_, gain_);
        } else if (has_low_) {
            run<Zeros::high_pass>(src, dst, len, input_, poles_, sections_, gain_);
        } else if (has_high_) {
            run<Zeros::low_pass>(src, dst, len, input_, poles_, sections_, gain_);
        } else {
            for (std::size_t j = 0; j < len; ++j) dst[j] = src[j];
        }
        phase_ = (phase_ + len) % kBandFlushEvery;
        i += len;
    }
}

void BandFilter::reset() noexcept {
    input_.fill(0.0);
    poles_.fill(0.0);
    phase_ = 0;
}

SampleBuffer band_filter(std::span<const float> samples, std::uint64_t sample_rate, const BandEdges& edges) {
    BandFilter filter(edges, sample_rate);
    SampleBuffer out(samples.size());
    filter.process(samples, out);
    return out;
}

}  // namespace talvane
