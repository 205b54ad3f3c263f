// A live stream: decision signal, band, streaming gate, gains per channel, events.
#include "streaming/live_stream.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "analysis/keep_mask.hpp"

namespace talvane {

namespace {

std::size_t sample_size(SampleType type) noexcept {
    switch (type) {
        case SampleType::f32: return sizeof(float);
        case SampleType::f64: return sizeof(double);
        case SampleType::i16: return sizeof(std::int16_t);
        case SampleType::i32: return sizeof(std::int32_t);
    }
    return 0;
}

// One sample as float32, integers read as full scale 1.0.
inline float as_float32(float x) { return x; }
inline float as_float32(double x) { return static_cast<float>(x); }
inline float as_float32(std::int16_t x) { return static_cast<float>(x) * 0x1p-15f; }
inline float as_float32(std::int32_t x) { return static_cast<float>(x) * 0x1p-31f; }

template <class T>
void mix(const T* in, std::size_t frames, std::size_t channels, std::span<float> out) {
    if (channels == 1) {
        for (std::size_t f = 0; f < frames; ++f) out[f] = as_float32(in[f]);
        return;
    }
    const auto count = static_cast<float>(channels);
    for (std::size_t f = 0; f < frames; ++f) {
        const T* frame = in + f * channels;
        float sum = as_float32(frame[0]);
        for (std::size_t c = 1; c < channels; ++c) sum += as_float32(frame[c]);
        out[f] = sum / count;
    }
}

// The product of a sample and its gain in the sample's own type.
inline float gated(float x, float g) { return x * g; }
inline double gated(double x, float g) { return x * static_cast<double>(g); }
inline std::int16_t gated(std::int16_t x, float g) {
    return round_saturate<std::int16_t>(static_cast<double>(x) * static_cast<double>(g));
}
inline std::int32_t gated(std::int32_t x, float g) {
    return round_saturate<std::int32_t>(static_cast<double>(x) * static_cast<double>(g));
}

// Whether every gain is 1, or every gain is 0 (either sign), from one pass that
// vectorises: the flags are integers, not bools, for that.
struct Uniform {
    bool ones, zeros;
};
Uniform uniform_gains(std::span<const float> gains) noexcept {
    std::uint32_t not_one = 0, not_zero = 0;
    for (const float g : gains) {
        not_one |= g != 1.0f ? 1u : 0u;
        not_zero |= g != 0.0f ? 1u : 0u;
    }
    return {not_one == 0, not_zero == 0};
}

template <class T>
void apply(const T* in, std::size_t frames, std::size_t channels, std::span<const float> gains, T* out) {
    if constexpr (std::is_integral_v<T>) {
        // Most chunks are kept or dropped whole, and gains of 1 and 0 (either sign)
        // give every integer itself and 0. Floats are multiplied whatever the gain:
        // a NaN's payload, and the sign of x * 0, come from the product.
        const Uniform uniform = uniform_gains(gains);
        if (uniform.ones) {
            std::memcpy(out, in, frames * channels * sizeof(T));
            return;
        }
        if (uniform.zeros) {
            std::memset(out, 0, frames * channels * sizeof(T));
            return;
        }
    }
    if (channels == 1) {
        for (std::size_t f = 0; f < frames; ++f) out[f] = gated(in[f], gains[f]);
        return;
    }
    for (std::size_t f = 0; f < frames; ++f) {
        const float g = gains[f];
        for (std::size_t c = 0; c < channels; ++c) out[f * channels + c] = gated(in[f * channels + c], g);
    }
}

bool all_finite(std::span<const float> signal) noexcept {
    // One test per sample, without a branch and into an integer, so that the loop
    // vectorises; a NaN fails the comparison as an infinity does.
    std::uint32_t outside = 0;
    for (const float x : signal) outside |= std::fabs(x) <= FLT_MAX ? 0u : 1u;
    return outside == 0;
}

}  // namespace

void decision_signal(const Frames& frames, std::span<float> out) {
    const std::size_t n = frames.frames, channels = frames.channels;
    switch (frames.type) {
        case SampleType::f32: return mix(static_cast<const float*>(frames.data), n, channels, out);
        case SampleType::f64: return mix(static_cast<const double*>(frames.data), n, channels, out);
        case SampleType::i16: return mix(static_cast<const std::int16_t*>(frames.data), n, channels, out);
        case SampleType::i32: return mix(static_cast<const std::int32_t*>(frames.data), n, channels, out);
    }
}

void band_decision_signal(BandFilter& filter, std::span<float> signal, bool finite, std::vector<float>& scratch) {
    if (finite || all_finite(signal)) {
        filter.process(signal, signal);
        return;
    }
    // Rare: the filter takes a copy in which each non-finite sample is 0.0, filtered
    // in place, and its output is taken where the signal is finite.
    if (scratch.size() < signal.size()) scratch.resize(signal.size());
    const std::span<float> clean(scratch.data(), signal.size());
    for (std::size_t i = 0; i < signal.size(); ++i) clean[i] = std::fabs(signal[i]) <= FLT_MAX ? signal[i] : 0.0f;
    filter.process(clean, clean);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        if (std::fabs(signal[i]) <= FLT_MAX) signal[i] = clean[i];
    }
}

void apply_frame_gains(const Frames& frames, std::span<const float> gains, void* out) {
    const std::size_t n = frames.frames, channels = frames.channels;
    switch (frames.type) {
        case SampleType::f32:
            return apply(static_cast<const float*>(frames.data), n, channels, gains, static_cast<float*>(out));
        case SampleType::f64:
            return apply(static_cast<const double*>(frames.data), n, channels, gains, static_cast<double*>(out));
        case SampleType::i16:
            return apply(static_cast<const std::int16_t*>(frames.data), n, channels, gains,
                         static_cast<std::int16_t*>(out));
        case SampleType::i32:
            return apply(static_cast<const std::int32_t*>(frames.data), n, channels, gains,
                         static_cast<std::int32_t*>(out));
    }
}

void keep_events(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                 std::uint64_t chunk_len, std::uint64_t first, bool& kept, std::vector<KeepEvent>& out) {
    for (std::size_t t = 0; t < flags.size(); ++t) {
        const bool flag = flags[t] != 0;
        if (flag == kept) continue;
        // Window t (t >= 1) begins inside the chunk, so t * window_len fits a word.
        const std::uint64_t at = t == 0 ? 0 : t * window_len - offset;
        if (at >= chunk_len) break;
        out.push_back({flag, first + at});
        kept = flag;
    }
}

LivePlan plan_live(const GateConfig& config, LiveState& state, std::uint64_t sample_rate, const Frames& frames,
                   void* out) {
    LivePlan plan;
    plan.kept = state.kept;
    const std::size_t n = frames.frames;
    if (n == 0) return plan;
    if (!config.enabled) {
        std::memcpy(out, frames.data, frames.samples() * sample_size(frames.type));
        return plan;
    }
    const bool direct = frames.type == SampleType::f32 && frames.channels == 1 && !state.band;
    if (!direct) {
        plan.signal = std::move(state.spare_signal);
        plan.signal.resize(n);  // every value written below
        decision_signal(frames, plan.signal);
        if (state.band) {
            plan.band = *state.band;
            // Integer samples are finite, and so is the mean of a channel's.
            const bool integers = frames.type == SampleType::i16 || frames.type == SampleType::i32;
            band_decision_signal(*plan.band, plan.signal, integers, state.band_scratch);
        }
    }
    plan.chunk = plan_chunk(config, state.stream, plan_decision(plan, frames), sample_rate, false,
                            ChunkOutput::gains);
    plan.analysed = true;
    apply_frame_gains(frames, plan.chunk.output, out);

    // The chunk's flags, as the view of the call keeps them.
    const StreamAnalysis& analysis = *plan.chunk.analysis;
    const auto flags = analysis.flag_span().subspan(plan.chunk.chunk_first);
    plan.events = std::move(state.spare_events);
    plan.events.clear();
    keep_events(flags, analysis.window_len, plan.chunk.analysed_context % analysis.window_len, n, state.position,
                plan.kept, plan.events);
    return plan;
}

std::span<const float> plan_decision(const LivePlan& plan, const Frames& frames) {
    if (!plan.signal.empty() || frames.frames == 0) return plan.signal;
    return {static_cast<const float*>(frames.data), frames.frames};
}

void keep_decision(LivePlan& plan, const Frames& frames) {
    if (!plan.signal.empty() || !plan.analysed) return;
    const std::span<const float> decision = plan_decision(plan, frames);
    plan.signal.assign(decision.begin(), decision.end());
}

void reserve_live(LiveState& state, LivePlan& plan) {
    if (plan.analysed) reserve_context(state.stream, plan.chunk);
}

void commit_live(LiveState& state, LivePlan& plan, const Frames& frames) noexcept {
    if (plan.analysed) {
        commit_chunk(state.stream, plan.chunk, plan_decision(plan, frames));
        if (plan.band) state.band = *plan.band;
        state.kept = plan.kept;
        if (!plan.signal.empty()) state.spare_signal = std::move(plan.signal);
        state.spare_events = std::move(plan.events);
    }
    state.position += frames.frames;
    state.channels = frames.channels;
}

void reserve_live_stream(LiveState& state, const GateConfig& config, std::uint64_t sample_rate,
                         std::size_t max_frames) {
    reserve_stream(state.stream, config, sample_rate, max_frames);
    if (state.spare_signal.capacity() < max_frames) state.spare_signal.reserve(max_frames);
    // One event per window of the chunk at most, and one at its first sample.
    const std::size_t windows = static_cast<std::size_t>(max_frames / window_length(config, sample_rate)) + 2;
    state.spare_events.reserve(windows);
    if (state.band_scratch.size() < max_frames) state.band_scratch.resize(max_frames);
}

void reset_live(LiveState& state) noexcept {
    reset_stream(state.stream);
    if (state.band) state.band->reset();
    state.position = 0;
    state.kept = false;
    state.channels = 0;
}

}  // namespace talvane
