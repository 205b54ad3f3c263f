// Streaming gate: one chunk gated against a rolling context, state committed last.
#include "streaming/stream_state.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "bulk_copy.hpp"

namespace talvane {

namespace {

// memmove with a count of 0 may see null pointers, which it must not be given.
void move_floats(float* dst, const float* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(float));
}

// Energies of every window of context + chunk, the combined buffer never being
// built: cached windows are reused, windows inside the context or the chunk are
// read in place, and the one window across the join goes through a small copy.
std::vector<float> combined_energies(const EnergyCache& cache, bool use_cache, std::span<const float> context,
                                     std::span<const float> chunk, std::uint64_t w, std::size_t& reused) {
    const std::uint64_t c = context.size();
    const std::uint64_t total = c + chunk.size();
    const std::uint64_t n_windows = window_count(total, w);
    std::vector<float> energies(n_windows);

    const std::uint64_t in_context = c / w;  // complete windows inside the context
    std::uint64_t t = 0;
    if (use_cache && cache.window_len == w) {
        t = std::min<std::uint64_t>(cache.count, in_context);
        std::copy_n(cache.energies.begin() + static_cast<std::ptrdiff_t>(cache.first), t, energies.begin());
    }
    reused = t;
    if (t < in_context) {
        window_energies_range(context, w, t, in_context, energies.data() + t);
        t = in_context;
    }
    if (t < n_windows && t * w < c) {
        const std::uint64_t len = std::min<std::uint64_t>(w, total - t * w);
        std::vector<float> join(context.begin() + static_cast<std::ptrdiff_t>(t * w), context.end());
        join.insert(join.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(len - join.size()));
        window_energies_range(join, len, 0, 1, energies.data() + t);
        ++t;
    }
    if (t < n_windows) {
        window_energies_range(chunk.subspan(t * w - c), w, 0, n_windows - t, energies.data() + t);
    }
    return energies;
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
        AnalysisMemo memo;
        memo.floor = state.cache.floor;
        if (reused > 0) memo.known_smoothed = std::span(state.cache.smoothed).subspan(state.cache.first, reused);
        const std::vector<std::uint8_t> flags = flags_from_energies(config, plan.energies, &memo);
        plan.floor = memo.floor;
        plan.smoothed = std::move(memo.smoothed);

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
    EnergyCache& cache = state.cache;
    if (cp.with_chunk) {
        state.context.replace(cp.old_len, chunk, cp.keep);
        cache.floor = plan.floor;
        // The context now starts `dropped` samples into the analysed buffer; its
        // complete windows line up with the analysed ones when that is a whole
        // number of windows.
        const std::uint64_t w = plan.window_len;
        const std::uint64_t total = cp.old_len + chunk.size();
        const std::uint64_t dropped = total - cp.keep;
        cache.count = 0;
        if (dropped % w == 0) {
            cache.window_len = w;
            cache.energies.swap(plan.energies);
            cache.smoothed.swap(plan.smoothed);
            cache.first = dropped / w;
            cache.count = total / w - cache.first;
        }
    } else if (cp.keep == 0) {
        state.context.clear();
        cache.count = 0;
    }
    state.stream_rate = plan.stream_rate;
    state.last_gain = plan.last_gain;
}

void reset_stream(StreamState& state) noexcept {
    state.stream_rate.reset();
    state.context.clear();
    state.cache.count = 0;
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
