// Streaming gate: one chunk gated against a rolling context, state committed last.
#include "streaming/stream_state.hpp"

#include <algorithm>

#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "bulk_copy.hpp"
#include "streaming/stream_cache.hpp"

namespace talvane {

std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.stream_context_ms));
}

ChunkPlan plan_chunk(const GateConfig& config, StreamState& state,
                     std::span<const float> chunk, std::uint64_t sample_rate, bool is_last) {
    const bool same_stream = state.stream_rate.has_value() && *state.stream_rate == sample_rate;
    const std::span<const float> context = same_stream ? state.context.view() : std::span<const float>{};
    const std::size_t context_len = context.size();
    const std::size_t chunk_len = chunk.size();

    ChunkPlan plan;
    plan.stream_rate = sample_rate;
    plan.last_gain = same_stream ? state.last_gain : std::nullopt;
    plan.context = ContextPlan{context_len, false, context_len};

    if (chunk_len == 0) {
        // Nothing to gate.
    } else if (!config.enabled) {
        plan.output = copy_samples(chunk);
    } else {
        check_threshold_limits(config.base_thresh, config.max_thresh);
        const std::uint64_t limit = context_limit(config, sample_rate);
        const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(context_len + chunk_len, limit));
        plan.limit = limit;
        plan.analysis = state.spare ? std::move(state.spare) : std::make_unique<StreamAnalysis>();
        StreamAnalysis& analysis = *plan.analysis;
        analyse_stream(analysis, config, state.cache, same_stream, context, chunk, sample_rate,
                       context_len + chunk_len - keep);

        // Only the flags of the new samples are used. The output holds the gain
        // curve first, then the products.
        const std::uint64_t origin = context_len - analysis.first_flag * analysis.window_len;
        plan.output.resize(chunk_len);
        window_gain_curve(analysis.flags, analysis.window_len, config.attenuation, origin, chunk_len,
                          fade_length(config, sample_rate), plan.last_gain.has_value() ? &*plan.last_gain : nullptr,
                          0, plan.output);
        plan.last_gain = plan.output[chunk_len - 1];
        for (std::size_t k = 0; k < chunk_len; ++k) plan.output[k] = chunk[k] * plan.output[k];
        plan.context = ContextPlan{context_len, true, keep};
    }

    if (is_last) {
        plan.stream_rate.reset();
        plan.context = ContextPlan{};
        plan.last_gain.reset();
    }
    return plan;
}

void reserve_context(StreamState& state, const ChunkPlan& plan) {
    if (!plan.context.with_chunk) return;
    state.context.reserve(plan.context.keep, static_cast<std::size_t>(plan.limit));
    reserve_analysis(state.cache, *plan.analysis, plan.limit);
}

void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept {
    const ContextPlan& next = plan.context;
    if (next.with_chunk) {
        state.context.replace(next.old_len, chunk, next.keep);
        commit_analysis(state.cache, *plan.analysis);
        state.spare = std::move(plan.analysis);
    } else if (next.keep == 0) {
        state.context.clear();
        state.cache.forget();
    }
    state.stream_rate = plan.stream_rate;
    state.last_gain = plan.last_gain;
}

void reset_stream(StreamState& state) noexcept {
    state.stream_rate.reset();
    state.context.clear();
    state.cache.forget();
    state.last_gain.reset();
}

SampleBuffer process_chunk_inner(const GateConfig& config, StreamState& state,
                                 std::span<const float> chunk, std::uint64_t sample_rate, bool is_last) {
    ChunkPlan plan = plan_chunk(config, state, chunk, sample_rate, is_last);
    reserve_context(state, plan);
    commit_chunk(state, plan, chunk);
    return std::move(plan.output);
}

}  // namespace talvane
