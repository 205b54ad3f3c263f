// Streaming gate: one chunk gated against a rolling context, state committed last.
#include "streaming/stream_state.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"

namespace talvane {

namespace {

// memmove with a count of 0 may see null pointers, which it must not be given.
void move_floats(float* dst, const float* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(float));
}

}  // namespace

std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate) {
    return std::max<std::uint64_t>(1, ms_to_samples(sample_rate, config.stream_context_ms));
}

ChunkPlan plan_chunk(const GateConfig& config, const StreamState& state,
                     std::span<const float> chunk, std::uint64_t sample_rate, bool is_last) {
    const bool same_stream = state.stream_rate.has_value() && *state.stream_rate == sample_rate;
    const std::size_t context_len = same_stream ? state.context.size() : 0;
    const std::size_t n = chunk.size();

    ChunkPlan plan;
    plan.stream_rate = sample_rate;
    plan.last_gain = same_stream ? state.last_gain : std::nullopt;
    plan.context = ContextPlan{context_len, false, context_len};

    if (n == 0) {
        // Nothing to gate.
    } else if (!config.enabled) {
        plan.output.assign(chunk.begin(), chunk.end());
    } else {
        std::vector<float> combined;
        combined.reserve(context_len + n);
        combined.insert(combined.end(), state.context.begin(),
                        state.context.begin() + static_cast<std::ptrdiff_t>(context_len));
        combined.insert(combined.end(), chunk.begin(), chunk.end());
        const KeepWindows windows = compute_keep_windows_inner(config, combined, sample_rate);
        combined = {};

        // Only the flags of the new samples are used; windows start at the
        // combined buffer's first sample.
        std::vector<float> gains(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint64_t window = (context_len + k) / windows.window_len;
            gains[k] = windows.flags[window] != 0 ? 1.0f : config.attenuation;
        }
        const std::uint64_t fade_len = fade_length(config, sample_rate);
        std::vector<float> curve;
        if (fade_len >= 2) {
            curve.resize(n);
            const float* entry = plan.last_gain.has_value() ? &*plan.last_gain : nullptr;
            ramp_gains(gains, fade_len, curve, entry);
        } else {
            curve = std::move(gains);
        }
        plan.output.resize(n);
        for (std::size_t k = 0; k < n; ++k) plan.output[k] = chunk[k] * curve[k];

        const std::uint64_t limit = context_limit(config, sample_rate);
        plan.context = ContextPlan{context_len, true,
                                   static_cast<std::size_t>(std::min<std::uint64_t>(context_len + n, limit))};
        plan.last_gain = curve[n - 1];
    }

    if (is_last) {
        plan.stream_rate.reset();
        plan.context = ContextPlan{};
        plan.last_gain.reset();
    }
    return plan;
}

void reserve_context(StreamState& state, const ChunkPlan& plan) {
    state.context.reserve(plan.context.keep);
}

void commit_chunk(StreamState& state, const ChunkPlan& plan, std::span<const float> chunk) noexcept {
    std::vector<float>& context = state.context;
    const ContextPlan& cp = plan.context;
    // Room for cp.keep samples was reserved, so resize never reallocates here.
    if (!cp.with_chunk) {
        move_floats(context.data(), context.data() + (cp.old_len - cp.keep), cp.keep);
        context.resize(cp.keep);
    } else if (cp.keep <= chunk.size()) {
        context.resize(cp.keep);
        move_floats(context.data(), chunk.data() + (chunk.size() - cp.keep), cp.keep);
    } else {
        const std::size_t from_old = cp.keep - chunk.size();
        move_floats(context.data(), context.data() + (cp.old_len - from_old), from_old);
        context.resize(cp.keep);
        move_floats(context.data() + from_old, chunk.data(), chunk.size());
    }
    state.stream_rate = plan.stream_rate;
    state.last_gain = plan.last_gain;
}

void reset_stream(StreamState& state) noexcept {
    state.stream_rate.reset();
    state.context.clear();
    state.last_gain.reset();
}

std::vector<float> process_chunk_inner(const GateConfig& config, StreamState& state,
                                       std::span<const float> chunk, std::uint64_t sample_rate,
                                       bool is_last) {
    ChunkPlan plan = plan_chunk(config, state, chunk, sample_rate, is_last);
    reserve_context(state, plan);
    commit_chunk(state, plan, chunk);
    return std::move(plan.output);
}

}  // namespace talvane
