// Streaming gate: one chunk gated against a rolling context, state committed last.
#include "streaming/stream_state.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "bulk_copy.hpp"
#include "streaming/stream_cache.hpp"

namespace talvane {

namespace {

// memmove with a count of 0 may see null pointers, which it must not be given.
void move_floats(float* dst, const float* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(float));
}

}  // namespace

void ContextBuffer::reserve(std::size_t keep) {
    // With room for half as much again, the samples are moved back to the front at
    // most once per keep / 2 appended: a constant cost per appended sample. Growth
    // doubles that room, so a filling context is reallocated only a few times.
    if (storage_.size() - storage_.size() / 3 >= keep) return;
    std::vector<float> grown(keep > storage_.max_size() / 3 ? keep : 3 * keep);
    move_floats(grown.data(), storage_.data() + start_, size_);
    storage_.swap(grown);
    start_ = 0;
}

void ContextBuffer::replace(std::size_t old_len, std::span<const float> chunk, std::size_t keep) noexcept {
    const std::size_t from_chunk = std::min(keep, chunk.size());
    const std::size_t from_old = keep - from_chunk;  // <= old_len
    const float* chunk_tail = chunk.data() + (chunk.size() - from_chunk);
    const std::size_t old_end = start_ + old_len;
    if (old_end + from_chunk <= storage_.size()) {
        move_floats(storage_.data() + old_end, chunk_tail, from_chunk);
        start_ = old_end - from_old;
    } else {
        move_floats(storage_.data(), storage_.data() + (old_end - from_old), from_old);
        move_floats(storage_.data() + from_old, chunk_tail, from_chunk);
        start_ = 0;
    }
    size_ = keep;
}

std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.stream_context_ms));
}

ChunkPlan plan_chunk(const GateConfig& config, const StreamState& state,
                     std::span<const float> chunk, std::uint64_t sample_rate, bool is_last) {
    const bool same_stream = state.stream_rate.has_value() && *state.stream_rate == sample_rate;
    const std::span<const float> context = same_stream ? state.context.view() : std::span<const float>{};
    const std::size_t c = context.size();
    const std::size_t n = chunk.size();

    ChunkPlan plan;
    plan.stream_rate = sample_rate;
    plan.last_gain = same_stream ? state.last_gain : std::nullopt;
    plan.context = ContextPlan{c, false, c};

    if (n == 0) {
        // Nothing to gate.
    } else if (!config.enabled) {
        plan.output = copy_samples(chunk);
    } else {
        check_threshold_limits(config.base_thresh, config.max_thresh);
        const std::uint64_t w = window_length(config, sample_rate);
        plan.window_len = w;
        std::size_t reused = 0;
        plan.energies = combined_energies(state.cache, same_stream, context, chunk, w, reused);
        const std::span<const float> known =
            reused > 0 ? std::span<const float>(state.cache.smoothed).subspan(state.cache.first, reused)
                       : std::span<const float>{};
        plan.smoothed = resume_smoothing(plan.energies, config.smooth_alpha, known);
        plan.floor = state.cache.floor;
        const float floor = hinted_noise_floor(plan.smoothed, config.noise_floor_percentile, plan.floor);
        const std::vector<std::uint8_t> flags = keep_flags(config, plan.smoothed, clamp_threshold(config, floor));

        // Only the flags of the new samples are used. The output holds the gain
        // curve first, then the products.
        plan.output.resize(n);
        fill_window_gains(flags, w, config.attenuation, c, plan.output);
        const std::uint64_t fade_len = fade_length(config, sample_rate);
        if (fade_len >= 2) {
            ramp_gains(plan.output, fade_len, plan.last_gain.has_value() ? &*plan.last_gain : nullptr);
        }
        plan.last_gain = plan.output[n - 1];
        for (std::size_t k = 0; k < n; ++k) plan.output[k] = chunk[k] * plan.output[k];

        const std::uint64_t limit = context_limit(config, sample_rate);
        plan.context = ContextPlan{c, true, static_cast<std::size_t>(std::min<std::uint64_t>(c + n, limit))};
    }

    if (is_last) {
        plan.stream_rate.reset();
        plan.context = ContextPlan{};
        plan.last_gain.reset();
    }
    return plan;
}

void reserve_context(StreamState& state, const ChunkPlan& plan) {
    if (plan.context.with_chunk) state.context.reserve(plan.context.keep);
}

void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept {
    const ContextPlan& cp = plan.context;
    if (cp.with_chunk) {
        state.context.replace(cp.old_len, chunk, cp.keep);
        state.cache.floor = plan.floor;
        const std::uint64_t total = cp.old_len + chunk.size();
        state.cache.commit(plan.window_len, plan.energies, plan.smoothed, total - cp.keep, total);
    } else if (cp.keep == 0) {
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
