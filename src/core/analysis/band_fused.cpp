// The band-pass filter on AVX2 in three passes over each segment.
#include "analysis/band_fused.hpp"

#include <algorithm>
#include <cmath>

namespace talvane {

#if TALVANE_BAND_FUSED
namespace {

constexpr std::size_t kStep = 4;  // samples a step: four doubles in a register

struct Coefficients {
    __m256d a1, a2, d1, d2, b1, b2;
};

TALVANE_AVX2 TALVANE_ALWAYS_INLINE Coefficients broadcast(const BandFilter::Section& c) {
    return {_mm256_set1_pd(c.a1), _mm256_set1_pd(c.a2), _mm256_set1_pd(c.d1),
            _mm256_set1_pd(c.d2), _mm256_set1_pd(c.b1), _mm256_set1_pd(c.b2)};
}

// Lane j of back2(before, now) is the value two samples before lane j of `now`,
// `before` holding the four samples before now's: [before2, before3, now0, now1].
TALVANE_AVX2 TALVANE_ALWAYS_INLINE __m256d back2(__m256d before, __m256d now) {
    return _mm256_permute2f128_pd(before, now, 0x21);
}
// The same one sample back, from back2's result: [before3, now0, now1, now2].
TALVANE_AVX2 TALVANE_ALWAYS_INLINE __m256d back1(__m256d two_back, __m256d now) {
    return _mm256_shuffle_pd(two_back, now, 0x5);
}

// A section's earlier values: v[t-4..t-1], y[t-8..t-5] and y[t-4..t-1].
struct SectionRegisters {
    __m256d v, y_low, y_high;
};

// A section's v for one step from its input u (u_before: the four inputs before).
TALVANE_AVX2 TALVANE_ALWAYS_INLINE __m256d v_step(const Coefficients& c, __m256d u, __m256d u_before) {
    const __m256d u2 = back2(u_before, u), u1 = back1(u2, u);
    return _mm256_add_pd(_mm256_sub_pd(u, _mm256_mul_pd(c.a1, u1)), _mm256_mul_pd(c.a2, u2));
}

// A section's y for one step from its v, the registers moved on by the step.
TALVANE_AVX2 TALVANE_ALWAYS_INLINE __m256d y_step(const Coefficients& c, __m256d v, SectionRegisters& s) {
    const __m256d v2 = back2(s.v, v);
    __m256d y = _mm256_sub_pd(v, _mm256_mul_pd(c.d1, v2));
    y = _mm256_add_pd(y, _mm256_mul_pd(c.d2, s.v));
    y = _mm256_sub_pd(y, _mm256_mul_pd(c.b2, s.y_low));
    y = _mm256_sub_pd(y, _mm256_mul_pd(c.b1, s.y_high));
    s.v = v, s.y_low = s.y_high, s.y_high = y;
    return y;
}

// The whole steps over [0, count) of a segment, count a multiple of kStep, with the
// histories read from and written back to the state.
TALVANE_AVX2 void fused_steps(const float* in, float* out, std::size_t count, BandFilter::State& state,
                              const BandFilter& filter) {
    const Coefficients c1 = broadcast(filter.sections()[0]), c2 = broadcast(filter.sections()[1]);
    const __m256d gain = _mm256_set1_pd(filter.gain());
    __m256d x_before = _mm256_loadu_pd(state.x.data());
    __m256d w_before = _mm256_set_pd(state.w[1], state.w[0], 0.0, 0.0);  // lanes 0 and 1 are never read
    SectionRegisters s1{_mm256_loadu_pd(state.v[0].data()), _mm256_loadu_pd(state.y[0].data()),
                        _mm256_loadu_pd(state.y[0].data() + 4)};
    SectionRegisters s2{_mm256_loadu_pd(state.v[1].data()), _mm256_loadu_pd(state.y[1].data()),
                        _mm256_loadu_pd(state.y[1].data() + 4)};
    // Three passes over the segment, each a few stages whose chain of operations in
    // one step is short, so that the processor runs several steps at once: the
    // zeros and the first section's v; the first section's y and the second's v;
    // the second section's y and the output. The values between passes stay in v.
    alignas(32) double v[kBandFlushEvery];
    for (std::size_t i = 0; i < count; i += kStep) {
        const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(in + i));
        const __m256d x2 = back2(x_before, x);
        const __m256d w = _mm256_sub_pd(_mm256_sub_pd(x, x2), _mm256_sub_pd(x2, x_before));
        _mm256_store_pd(v + i, v_step(c1, w, w_before));
        x_before = x, w_before = w;
    }
    for (std::size_t i = 0; i < count; i += kStep) {
        const __m256d y1_before = s1.y_high;
        _mm256_store_pd(v + i, v_step(c2, y_step(c1, _mm256_load_pd(v + i), s1), y1_before));
    }
    for (std::size_t i = 0; i < count; i += kStep) {
        const __m256d y2 = y_step(c2, _mm256_load_pd(v + i), s2);
        _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_mul_pd(gain, y2)));
    }
    alignas(32) double w_last[kStep];
    _mm256_store_pd(w_last, w_before);
    _mm256_storeu_pd(state.x.data(), x_before);
    state.w = {w_last[2], w_last[3]};
    const SectionRegisters* sections[2] = {&s1, &s2};
    for (std::size_t k = 0; k < 2; ++k) {
        _mm256_storeu_pd(state.v[k].data(), sections[k]->v);
        _mm256_storeu_pd(state.y[k].data(), sections[k]->y_low);
        _mm256_storeu_pd(state.y[k].data() + 4, sections[k]->y_high);
    }
}

// Appends `value` to a history, dropping its oldest.
template <std::size_t kSize>
void push(std::array<double, kSize>& history, double value) {
    for (std::size_t i = 0; i + 1 < kSize; ++i) history[i] = history[i + 1];
    history[kSize - 1] = value;
}

// One section for one sample, on the state's arrays: u with its two inputs before.
double section_sample(const BandFilter::Section& c, double u, double u1, double u2, std::array<double, 4>& v,
                      std::array<double, 8>& y) {
    const double vv = (u - c.a1 * u1) + c.a2 * u2;
    const double yy = (((vv - c.d1 * v[2]) + c.d2 * v[0]) - c.b2 * y[0]) - c.b1 * y[4];
    push(v, vv);
    push(y, yy);
    return yy;
}

// One sample through every stage, on the state's arrays.
float one_sample(float in, BandFilter::State& s, const BandFilter& filter) {
    const double x = static_cast<double>(in);
    const double w = (x - s.x[2]) - (s.x[2] - s.x[0]);
    push(s.x, x);
    const double u1 = s.w[1], u2 = s.w[0];
    push(s.w, w);
    const double y1_1 = s.y[0][7], y1_2 = s.y[0][6];  // the first section's outputs before this one
    const double y1 = section_sample(filter.sections()[0], w, u1, u2, s.v[0], s.y[0]);
    const double y2 = section_sample(filter.sections()[1], y1, y1_1, y1_2, s.v[1], s.y[1]);
    return static_cast<float>(filter.gain() * y2);
}

void flush(std::span<double> history) {
    for (double& value : history) value = std::fabs(value) < kBandFlushBelow ? 0.0 : value;
}

}  // namespace

TALVANE_AVX2 void band_pass_fused_avx2(const float* in, float* out, std::size_t n, BandFilter::State& state,
                                       std::uint64_t& phase, const BandFilter& filter) {
    for (std::size_t at = 0; at < n;) {
        const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(n - at, kBandFlushEvery - phase));
        if (phase == 0) {
            for (std::size_t k = 0; k < 2; ++k) flush(state.v[k]), flush(state.y[k]);
        }
        const std::size_t whole = len - len % kStep;
        if (whole > 0) fused_steps(in + at, out + at, whole, state, filter);
        for (std::size_t i = whole; i < len; ++i) out[at + i] = one_sample(in[at + i], state, filter);
        phase = (phase + len) % kBandFlushEvery;
        at += len;
    }
}
#endif

}  // namespace talvane
