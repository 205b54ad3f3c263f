// Streaming gate: one chunk gated against a rolling context, state committed last.
#include "streaming/stream_state.hpp"

#include <algorithm>

#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "bulk_copy.hpp"
#include "streaming/stream_analysis.hpp"

namespace talvane {

std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.stream_context_ms));
}

namespace {

// The analysis of context + chunk into plan.analysis, with the caches' help when
// the call continues the stream.
void analyse_chunk(ChunkPlan& plan, const GateConfig& config, StreamState& state, bool same_stream,
                   HeldSamples context, std::span<const float> chunk, std::uint64_t sample_rate,
                   std::uint64_t dropped) {
    const std::uint64_t start = same_stream ? state.context_start : 0;
    const Combined combined{context, chunk, start};
    const std::uint64_t window_len = window_length(config, sample_rate);
    plan_music(plan.music, state.music, same_stream, sample_rate, window_len, context.size(), chunk,
               context.size() + chunk.size() - dropped, state.spare_music);
    analyse_stream(*plan.analysis, config, state.caches, same_stream, combined, window_len, dropped, state.rule,
                   plan.music.on ? &plan.music.lookup : nullptr);
    plan.next_context_start = start + dropped;
}

// The plan's output storage: a new buffer for the gated chunk (it becomes the
// caller's), the state's spare for a gain curve (given back by the commit).
void take_output(ChunkPlan& plan, StreamState& state, std::size_t chunk_len, ChunkOutput output) {
    if (output == ChunkOutput::gains) {
        plan.output = std::move(state.spare_gains);
        plan.lent_output = true;
    }
    plan.output.resize(chunk_len);  // every value written by the caller; left as it was within the room
}

}  // namespace

namespace {

// The analysis of context + chunk and the chunk's gains (and, for a gated output,
// the products): only the flags of the new samples are used, and the output holds
// the gain curve first.
void gate_chunk(ChunkPlan& plan, const GateConfig& config, StreamState& state, bool same_stream,
                HeldSamples context, std::span<const float> chunk, std::uint64_t sample_rate,
                ChunkOutput output) {
    const std::size_t context_len = context.size(), chunk_len = chunk.size();
    check_threshold_limits(config.base_thresh, config.max_thresh);
    const std::uint64_t limit = context_limit(config, sample_rate);
    const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(context_len + chunk_len, limit));
    plan.limit = limit;
    plan.analysis = state.spare ? std::move(state.spare) : std::make_unique<StreamAnalysis>();
    analyse_chunk(plan, config, state, same_stream, context, chunk, sample_rate, context_len + chunk_len - keep);
    const StreamAnalysis& analysis = *plan.analysis;
    const std::uint64_t origin = context_len - analysis.first_flag * analysis.window_len;
    plan.chunk_first = context_len / analysis.window_len - analysis.first_flag;
    plan.fade_len = fade_length(config, sample_rate);
    plan.entry_gain = plan.last_gain;
    plan.attenuation = config.attenuation;
    plan.analysed_context = context_len;
    if (output == ChunkOutput::gated) plan.output = unfilled_samples(chunk_len);  // every gain written below
    if (output == ChunkOutput::gains) take_output(plan, state, chunk_len, output);
    window_gain_curve(analysis.flag_span(), analysis.window_len, config.attenuation, origin, chunk_len, plan.fade_len,
                      plan.last_gain.has_value() ? &*plan.last_gain : nullptr, 0, plan.output);
    plan.last_gain = plan.output[chunk_len - 1];
    if (output == ChunkOutput::gated) {
        for (std::size_t k = 0; k < chunk_len; ++k) plan.output[k] = chunk[k] * plan.output[k];
    }
    plan.context = ContextPlan{context_len, true, keep};
}

}  // namespace

ChunkPlan plan_chunk(const GateConfig& config, StreamState& state, std::span<const float> chunk,
                     std::uint64_t sample_rate, bool is_last, ChunkOutput output) {
    const bool same_stream = state.stream_rate.has_value() && *state.stream_rate == sample_rate;
    const HeldSamples context = same_stream ? HeldSamples(state.context) : HeldSamples{};
    ChunkPlan plan;
    plan.stream_rate = sample_rate;
    plan.last_gain = same_stream ? state.last_gain : std::nullopt;
    plan.context = ContextPlan{context.size(), false, context.size()};
    plan.new_stream = !same_stream;
    if (chunk.empty()) {
        // Nothing to gate.
    } else if (!config.enabled) {
        plan.output = output == ChunkOutput::gains ? SampleBuffer(chunk.size(), 1.0f) : copy_samples(chunk);
    } else {
        gate_chunk(plan, config, state, same_stream, context, chunk, sample_rate, output);
    }
    if (is_last) {
        plan.stream_rate.reset();
        plan.context = ContextPlan{};
        plan.last_gain.reset();
    }
    return plan;
}

void reserve_context(StreamState& state, ChunkPlan& plan) {
    if (plan.analysis) {
        state.last_call.flags.reserve(plan.analysis->flag_count - plan.chunk_first);
        if (plan.music.on) state.last_call.music.reserve(plan.analysis->flag_count - plan.chunk_first);
        reserve_music(state.music, plan.music, plan.limit);
    }
    if (!plan.context.with_chunk) return;
    state.context.reserve(plan.context.keep, static_cast<std::size_t>(plan.limit));
    reserve_analysis(state.caches, *plan.analysis, plan.limit);
}

void reserve_stream(StreamState& state, const GateConfig& config, std::uint64_t sample_rate, std::size_t max_chunk) {
    const std::uint64_t limit = context_limit(config, sample_rate);
    state.context.reserve(static_cast<std::size_t>(limit), static_cast<std::size_t>(limit));
    if (!state.spare) state.spare = std::make_unique<StreamAnalysis>();
    const std::uint64_t w = window_length(config, sample_rate);
    reserve_caches(state.caches, *state.spare, w, limit, max_chunk, state.rule == ThresholdRule::noise ? 2 : 1);
    state.last_call.flags.reserve(static_cast<std::size_t>(window_count(limit + max_chunk, w)));
    if (state.music.on) state.last_call.music.reserve(static_cast<std::size_t>(window_count(limit + max_chunk, w)));
    reserve_music_stream(state.music, state.spare_music, sample_rate, w, limit, max_chunk);
    if (state.spare_gains.capacity() < max_chunk) state.spare_gains.reserve(max_chunk);
}

FlagBuffer chunk_keep_mask(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                           std::uint64_t chunk_len) {
    FlagBuffer mask(static_cast<std::size_t>(chunk_len));
    for (std::uint64_t k = 0; k < chunk_len; ++k) mask[k] = flags[(offset + k) / window_len];
    return mask;
}

SampleBuffer chunk_gains(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                         std::uint64_t chunk_len, std::uint64_t fade_len, float attenuation, const float* entry_gain) {
    SampleBuffer gains(static_cast<std::size_t>(chunk_len));
    window_gain_curve(flags, window_len, attenuation, offset, chunk_len, fade_len, entry_gain, 0, gains);
    return gains;
}

namespace {

// The chunk's part of the analysis, kept until the next call that runs one. Needs
// the flags' room reserved.
void keep_call_view(CallView& view, const ChunkPlan& plan, std::span<const float> chunk) noexcept {
    const StreamAnalysis& analysis = *plan.analysis;
    view.present = true;
    view.floor = analysis.floor;
    view.threshold = analysis.threshold;
    view.high = analysis.high;
    view.ratio = analysis.ratio;
    view.window_len = analysis.window_len;
    view.offset = plan.analysed_context % analysis.window_len;
    view.chunk_len = chunk.size();
    view.fade_len = plan.fade_len;
    view.attenuation = plan.attenuation;
    view.entry_gain = plan.entry_gain;
    const std::span<const std::uint8_t> flags = analysis.flag_span().subspan(plan.chunk_first);
    view.flags.assign(flags.data(), flags.data() + flags.size());  // within the room reserved
    view.music.clear();
    if (analysis.with_music) {
        const auto music = std::span<const MusicValues>(analysis.music).subspan(plan.chunk_first, flags.size());
        view.music.assign(music.begin(), music.end());  // within the room reserved
    }
}

}  // namespace

void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept {
    const ContextPlan& next = plan.context;
    if (plan.new_stream) {
        state.caches.forget();
        state.context_start = 0;
        reset_music(state.music);
    }
    if (plan.analysis) commit_music(state.music, plan.music, state.spare_music);
    if (plan.analysis) keep_call_view(state.last_call, plan, chunk);
    if (next.with_chunk) {
        state.context.replace(next.old_len, chunk, next.keep);
        commit_analysis(state.caches, *plan.analysis);
        state.context_start = plan.next_context_start;
    } else if (next.keep == 0) {
        state.context.clear();
        state.caches.forget();
        state.context_start = 0;
        reset_music(state.music);
    }
    if (plan.analysis) state.spare = std::move(plan.analysis);
    if (plan.lent_output) state.spare_gains = std::move(plan.output);
    state.stream_rate = plan.stream_rate;
    state.last_gain = plan.last_gain;
}

void reset_stream(StreamState& state) noexcept {
    state.last_call.present = false;
    state.stream_rate.reset();
    state.context.clear();
    state.caches.forget();
    state.context_start = 0;
    state.last_gain.reset();
    reset_music(state.music);
}

SampleBuffer process_chunk_inner(const GateConfig& config, StreamState& state,
                                 std::span<const float> chunk, std::uint64_t sample_rate, bool is_last) {
    ChunkPlan plan = plan_chunk(config, state, chunk, sample_rate, is_last);
    reserve_context(state, plan);
    commit_chunk(state, plan, chunk);
    return std::move(plan.output);
}

}  // namespace talvane
