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

// One kernel per arrangement of zero stages, with the state in locals so that the
// compiler keeps it in registers: Pairs stages u - u[t-2], then Diffs stages
// u - u[t-1], then Sums stages u + u[t-1], then Sections pole sections. Each
// stage's delayed inputs are z[2k] (t-1) and z[2k+1] (t-2); section s keeps
// p[2s] (t-1) and p[2s+1] (t-2). Successive samples' sections are independent
// recurrences, so the processor overlaps them.
template <int Pairs, int Diffs, int Sums, int Sections>
void run(const float* in, float* out, std::size_t n, std::array<double, 8>& zs, std::array<double, 6>& ps,
         const std::array<BandFilter::Section, 3>& sec, double gain) {
    static_assert(2 * (Pairs + Diffs + Sums) <= 8 && Sections <= 3);
    double z[8], p[6], a1[3], a2[3];
    std::copy(zs.begin(), zs.end(), z);
    std::copy(ps.begin(), ps.end(), p);
    for (int s = 0; s < 3; ++s) {
        a1[s] = sec[s].a1;
        a2[s] = sec[s].a2;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double u = static_cast<double>(in[i]);
        for (int k = 0; k < Pairs; ++k) {
            const double v = u - z[2 * k + 1];
            z[2 * k + 1] = z[2 * k];
            z[2 * k] = u;
            u = v;
        }
        for (int k = Pairs; k < Pairs + Diffs; ++k) {
            const double v = u - z[2 * k];
            z[2 * k] = u;
            u = v;
        }
        for (int k = Pairs + Diffs; k < Pairs + Diffs + Sums; ++k) {
            const double v = u + z[2 * k];
            z[2 * k] = u;
            u = v;
        }
        for (int s = 0; s < Sections; ++s) {
            const double y = (u - a2[s] * p[2 * s + 1]) - a1[s] * p[2 * s];
            p[2 * s + 1] = p[2 * s];
            p[2 * s] = y;
            u = y;
        }
        out[i] = to_float32(gain * u);
    }
    std::copy(z, z + 8, zs.begin());
    std::copy(p, p + 6, ps.begin());
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
    }
    if (edges.high_hz) {
        const double k = edge_k(*edges.high_hz, sample_rate);
        const double kk = k * k;
        const double d0 = (1.0 + sqrt2 * k) + kk;
        add(section(k, sqrt2), kk / d0);
    }
    kind_ = edges.low_hz ? (edges.high_hz ? Kind::band_pass : Kind::high_pass)
                         : (edges.high_hz ? Kind::low_pass : Kind::none);
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
        switch (kind_) {
            case Kind::band_pass: run<2, 2, 0, 3>(src, dst, len, zeros_, poles_, sections_, gain_); break;
            case Kind::high_pass: run<0, 4, 0, 2>(src, dst, len, zeros_, poles_, sections_, gain_); break;
            case Kind::low_pass: run<0, 0, 2, 1>(src, dst, len, zeros_, poles_, sections_, gain_); break;
            case Kind::none: run<0, 0, 0, 0>(src, dst, len, zeros_, poles_, sections_, gain_); break;
        }
        phase_ = (phase_ + len) % kBandFlushEvery;
        i += len;
    }
}

void BandFilter::reset() noexcept {
    zeros_.fill(0.0);
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
