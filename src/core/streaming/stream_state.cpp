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

void PhaseCaches::add() {
    if (size_ > 0) more_.emplace_back();
    ++size_;
}

const PhaseCache* StreamState::phase_at(std::uint64_t start) const noexcept {
    for (const PhaseCache& phase : phases) {
        if (phase.start == start && phase.cache.count > 0) return &phase;
    }
    return nullptr;
}

std::optional<std::uint64_t> phase_advance(std::uint64_t total, std::uint64_t dropped, std::uint64_t chunk_len,
                                           std::uint64_t window_len) {
    // The k-th call from now lays its windows from dropped + (k - 1) * chunk_len.
    std::uint64_t advance = dropped;
    for (std::size_t calls = 1; calls <= kMaxPhases && advance < total; ++calls) {
        if (advance % window_len == 0) return advance;
        if (chunk_len >= total - advance) break;
        advance += chunk_len;
    }
    return std::nullopt;
}

namespace {

// The analysis of context + chunk into plan.analysis, with the cache of this call's
// grid if an earlier call left one; its results are planned to be kept for the next
// call that lays the same grid.
void analyse_on_grid(ChunkPlan& plan, const GateConfig& config, const StreamState& state, bool same_stream,
                     std::span<const float> context, std::span<const float> chunk, std::uint64_t sample_rate,
                     std::uint64_t dropped) {
    const std::uint64_t start = same_stream ? state.context_start : 0;
    const PhaseCache* read = same_stream ? state.phase_at(start) : nullptr;
    const std::uint64_t total = context.size() + chunk.size();
    const std::uint64_t window_len = window_length(config, sample_rate);
    const std::optional<std::uint64_t> advance = phase_advance(total, dropped, chunk.size(), window_len);
    const StreamCache none;
    plan_lattice(plan.analysis->lattice, state.lattice, same_stream, context, chunk, start, window_len, dropped,
                 kMaxPhases);
    analyse_stream(*plan.analysis, config, read != nullptr ? read->cache : none, read != nullptr, context, chunk,
                   sample_rate, advance.value_or(dropped), state.lattice, state.floor_hint);
    plan.phase_read = ChunkPlan::kNoPhase;
    for (std::size_t p = 0; read != nullptr && p < state.phases.size(); ++p) {
        if (&state.phases[p] == read) plan.phase_read = p;
    }
    plan.keeps_phase = advance.has_value();
    plan.phase_start = start + advance.value_or(0);
    plan.next_context_start = start + dropped;
}

}  // namespace

ChunkPlan plan_chunk(const GateConfig& config, StreamState& state, std::span<const float> chunk,
                     std::uint64_t sample_rate, bool is_last, ChunkOutput output) {
    const bool same_stream = state.stream_rate.has_value() && *state.stream_rate == sample_rate;
    const std::span<const float> context = same_stream ? state.context.view() : std::span<const float>{};
    const std::size_t context_len = context.size();
    const std::size_t chunk_len = chunk.size();

    ChunkPlan plan;
    plan.stream_rate = sample_rate;
    plan.last_gain = same_stream ? state.last_gain : std::nullopt;
    plan.context = ContextPlan{context_len, false, context_len};
    plan.new_stream = !same_stream;

    if (chunk_len == 0) {
        // Nothing to gate.
    } else if (!config.enabled) {
        plan.output = output == ChunkOutput::gains ? SampleBuffer(chunk_len, 1.0f) : copy_samples(chunk);
    } else {
        check_threshold_limits(config.base_thresh, config.max_thresh);
        const std::uint64_t limit = context_limit(config, sample_rate);
        const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(context_len + chunk_len, limit));
        const std::uint64_t dropped = context_len + chunk_len - keep;
        plan.limit = limit;
        plan.analysis = state.spare ? std::move(state.spare) : std::make_unique<StreamAnalysis>();
        analyse_on_grid(plan, config, state, same_stream, context, chunk, sample_rate, dropped);
        const StreamAnalysis& analysis = *plan.analysis;

        // Only the flags of the new samples are used. The output holds the gain
        // curve first, then the products.
        const std::uint64_t origin = context_len - analysis.first_flag * analysis.window_len;
        plan.chunk_first = context_len / analysis.window_len - analysis.first_flag;
        plan.fade_len = fade_length(config, sample_rate);
        plan.entry_gain = plan.last_gain;
        plan.attenuation = config.attenuation;
        plan.analysed_context = context_len;
        plan.output = unfilled_samples(chunk_len);  // every gain written below
        window_gain_curve(analysis.flags, analysis.window_len, config.attenuation, origin, chunk_len, plan.fade_len,
                          plan.last_gain.has_value() ? &*plan.last_gain : nullptr, 0, plan.output);
        plan.last_gain = plan.output[chunk_len - 1];
        if (output == ChunkOutput::gated) {
            for (std::size_t k = 0; k < chunk_len; ++k) plan.output[k] = chunk[k] * plan.output[k];
        }
        plan.context = ContextPlan{context_len, true, keep};
    }

    if (is_last) {
        plan.stream_rate.reset();
        plan.context = ContextPlan{};
        plan.last_gain.reset();
    }
    return plan;
}

void reserve_context(StreamState& state, ChunkPlan& plan) {
    if (plan.analysis) state.last_call.flags.reserve(plan.analysis->flags.size() - plan.chunk_first);
    if (!plan.context.with_chunk) return;
    state.context.reserve(plan.context.keep, static_cast<std::size_t>(plan.limit));
    reserve_lattice(state.lattice, plan.analysis->lattice);
    if (!plan.keeps_phase) return;
    // The cache read takes the results; else a new one, or the one unused longest.
    std::size_t target = plan.phase_read;
    if (target == ChunkPlan::kNoPhase) {
        if (state.phases.size() < kMaxPhases) {
            state.phases.add();
            target = state.phases.size() - 1;
        } else {
            target = 0;
            for (std::size_t p = 1; p < state.phases.size(); ++p) {
                if (state.phases[p].last_call < state.phases[target].last_call) target = p;
            }
        }
    }
    reserve_analysis(state.phases[target].cache, *plan.analysis, plan.limit);
    plan.phase_written = target;
}

namespace {

void forget_phases(StreamState& state) noexcept {
    for (PhaseCache& phase : state.phases) phase.cache.forget();
    state.lattice.forget();
}

// Gives back the memory of the phase caches no call has used for a while.
void drop_idle_phases(StreamState& state) noexcept {
    const std::uint64_t now = state.calls;
    state.phases.erase_if([now](const PhaseCache& phase) { return now - phase.last_call > kPhaseIdleCalls; });
}

}  // namespace

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
    view.window_len = analysis.window_len;
    view.offset = plan.analysed_context % analysis.window_len;
    view.chunk_len = chunk.size();
    view.fade_len = plan.fade_len;
    view.attenuation = plan.attenuation;
    view.entry_gain = plan.entry_gain;
    view.flags.assign(analysis.flags.data() + plan.chunk_first,
                      analysis.flags.data() + analysis.flags.size());  // within the room reserved
}

}  // namespace

void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept {
    const ContextPlan& next = plan.context;
    if (plan.new_stream) {
        forget_phases(state);
        state.context_start = 0;
    }
    if (plan.analysis) keep_call_view(state.last_call, plan, chunk);
    if (next.with_chunk) {
        state.context.replace(next.old_len, chunk, next.keep);
        commit_lattice(state.lattice, plan.analysis->lattice);
        state.floor_hint = plan.analysis->hint;
        ++state.calls;
        if (plan.phase_written != ChunkPlan::kNoPhase) {
            // One cache per start: an older one for the same start (left by a call
            // whose next length was guessed otherwise) gives way.
            for (PhaseCache& other : state.phases) {
                if (other.start == plan.phase_start) other.cache.forget();
            }
            PhaseCache& phase = state.phases[plan.phase_written];
            commit_analysis(phase.cache, *plan.analysis);
            phase.start = plan.phase_start;
            phase.last_call = state.calls;
        }
        if (plan.phase_read != ChunkPlan::kNoPhase && plan.phase_read != plan.phase_written) {
            state.phases[plan.phase_read].cache.forget();  // its grid does not return
        }
        state.context_start = plan.next_context_start;
        drop_idle_phases(state);
        state.spare = std::move(plan.analysis);
    } else if (next.keep == 0) {
        state.context.clear();
        forget_phases(state);
        state.context_start = 0;
    }
    state.stream_rate = plan.stream_rate;
    state.last_gain = plan.last_gain;
}

void reset_stream(StreamState& state) noexcept {
    state.last_call.present = false;
    state.stream_rate.reset();
    state.context.clear();
    forget_phases(state);
    state.context_start = 0;
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
