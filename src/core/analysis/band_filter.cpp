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

// One section's coefficients, its outputs y[t-1], y[t-2], and what it keeps of its
// input: u[t-1] and the first difference (high-pass) or sum (low-pass) of u[t-1]
// and u[t-2], the same bits as computing it again from them.
struct SectionState {
    double a1, a2, y1, y2, u1, e1;
};

template <bool HighPass>
SectionState section_state(const BandFilter::Section& c, double y1, double y2, double u1, double u2) {
    return {c.a1, c.a2, y1, y2, u1, HighPass ? u1 - u2 : u1 + u2};
}

// One sample through one section: w = (u -+ u[t-1]) -+ (u[t-1] -+ u[t-2]), then
// the poles.
template <bool HighPass>
inline double section_step(double u, SectionState& s) {
    const double e = HighPass ? u - s.u1 : u + s.u1;
    const double w = HighPass ? e - s.e1 : e + s.e1;
    s.u1 = u;
    s.e1 = e;
    const double y = (w - s.a2 * s.y2) - s.a1 * s.y1;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// One kernel per arrangement of sections (HighPass high-pass sections, then
// LowPass low-pass ones), every value in a local so that the compiler keeps the
// state in registers. A section's input history is the previous section's output
// history. The recurrences of successive samples' sections are independent, so
// the processor overlaps them.
template <int HighPass, int LowPass>
void run(const float* in, float* out, std::size_t n, std::array<double, 2>& input, std::array<double, 6>& ps,
         const std::array<BandFilter::Section, 3>& sec, double gain) {
    static_assert((HighPass == 0 || HighPass == 2) && (LowPass == 0 || LowPass == 1));
    if constexpr (HighPass == 2) {
        SectionState s0 = section_state<true>(sec[0], ps[0], ps[1], input[0], input[1]);
        SectionState s1 = section_state<true>(sec[1], ps[2], ps[3], ps[0], ps[1]);
        SectionState s2 = section_state<false>(sec[2], ps[4], ps[5], ps[2], ps[3]);
        double x2 = input[1];
        for (std::size_t i = 0; i < n; ++i) {
            x2 = s0.u1;
            double u = section_step<true>(static_cast<double>(in[i]), s0);
            u = section_step<true>(u, s1);
            if constexpr (LowPass == 1) u = section_step<false>(u, s2);
            out[i] = to_float32(gain * u);
        }
        input = {s0.u1, x2};
        ps = {s0.y1, s0.y2, s1.y1, s1.y2, s2.y1, s2.y2};
    } else if constexpr (LowPass == 1) {
        SectionState s0 = section_state<false>(sec[0], ps[0], ps[1], input[0], input[1]);
        double x2 = input[1];
        for (std::size_t i = 0; i < n; ++i) {
            x2 = s0.u1;
            out[i] = to_float32(gain * section_step<false>(static_cast<double>(in[i]), s0));
        }
        input = {s0.u1, x2};
        ps = {s0.y1, s0.y2, 0.0, 0.0, 0.0, 0.0};
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = to_float32(static_cast<double>(in[i]));
    }
}

// The sections of a second-order Butterworth with damping c at K = tan(pi f / fs).
BandFilter::Section section(double k, double c) {
    const double kk = k * k;
    const double d0 = (1.0 + c * k) + kk;
    return {((kk - 1.0) * 2.0) / d0, ((1.0 - c * k) + kk) / d0};
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

double band_tan(double x) {
    const double xx = x * x;
    double t = 2.0 * kBandTanTerms - 1.0;
    for (int k = kBandTanTerms - 1; k >= 1; --k) t = (2.0 * k - 1.0) - xx / t;
    return x / t;
}

BandFilter::BandFilter(const BandEdges& edges, std::uint64_t sample_rate) {
    if (std::string error = band_edges_error(edges, sample_rate); !error.empty()) throw CheckFailed(error);
    const double sqrt2 = std::sqrt(2.0);
    bool first_gain = true;
    auto add = [&](Section s, double g) {
        sections_[n_sections_++] = s;
        gain_ = first_gain ? g : gain_ * g;
        first_gain = false;
    };
    if (edges.low_hz) {
        const double k = edge_k(*edges.low_hz, sample_rate);
        for (const double c : {std::sqrt(2.0 + sqrt2), std::sqrt(2.0 - sqrt2)}) {
            const double d0 = (1.0 + c * k) + k * k;
            add(section(k, c), 1.0 / d0);
        }
        high_pass_sections_ = 2;
    }
    if (edges.high_hz) {
        const double k = edge_k(*edges.high_hz, sample_rate);
        const double kk = k * k;
        const double d0 = (1.0 + sqrt2 * k) + kk;
        add(section(k, sqrt2), kk / d0);
    }
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
        const bool low_pass = n_sections_ > high_pass_sections_;
        if (high_pass_sections_ == 2) {
            if (low_pass) {
                run<2, 1>(src, dst, len, input_, poles_, sections_, gain_);
            } else {
                run<2, 0>(src, dst, len, input_, poles_, sections_, gain_);
            }
        } else if (low_pass) {
            run<0, 1>(src, dst, len, input_, poles_, sections_, gain_);
        } else {
            run<0, 0>(src, dst, len, input_, poles_, sections_, gain_);
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
