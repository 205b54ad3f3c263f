// Streaming gate state and the chunk step: plan aside, then commit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"
#include "streaming/stream_cache.hpp"

namespace talvane {

// Idle when stream_rate is absent; then context is empty and last_gain absent.
struct StreamState {
    std::optional<std::uint64_t> stream_rate;  // Hz of the stream in progress
    SlidingBuffer context;                     // newest input samples, oldest first
    std::optional<float> last_gain;            // gain of the last gated sample
    StreamCache cache;                         // derived data only
    std::unique_ptr<StreamAnalysis> spare;     // working buffers lent to each plan
};

// The new context is the last `keep` samples of context[0, old_len) followed by
// the chunk when with_chunk is set.
struct ContextPlan {
    std::size_t old_len = 0;
    bool with_chunk = false;
    std::size_t keep = 0;
};

// Everything one chunk call decided, computed without touching the state.
struct ChunkPlan {
    SampleBuffer output;
    std::optional<std::uint64_t> stream_rate;
    ContextPlan context;
    std::optional<float> last_gain;
    std::uint64_t limit = 0;        // context limit in samples
    std::unique_ptr<StreamAnalysis> analysis;  // null when no analysis ran
};

// Context limit in samples: round(rate * stream_context_ms / 1000), at least 1.
std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate);

// Gates one chunk against the state: a new rate starts a new stream; an empty chunk
// gives an empty output and a disabled gate a copy, both leaving context and
// last_gain as they are; otherwise the analysis runs over context + chunk (windows
// laid out from the context's first sample), the new samples take their windows'
// gains with the entry ramp from last_gain and the transition ramps, and the
// context keeps the newest context_limit samples. is_last ends the stream (idle)
// after gating. Throws CheckFailed for threshold limits out of order. The state is
// only read here, except that its spare working buffers are lent to the plan
// (commit_chunk gives them back).
ChunkPlan plan_chunk(const GateConfig& config, StreamState& state,
                     std::span<const float> chunk, std::uint64_t sample_rate, bool is_last);

// Makes room for the planned context; may throw std::bad_alloc, changes no value.
void reserve_context(StreamState& state, const ChunkPlan& plan);

// Writes the plan into the state in place. Needs reserve_context first; cannot fail.
// `chunk` must be the chunk the plan was made from.
void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept;

// Idle again; the context keeps its storage.
void reset_stream(StreamState& state) noexcept;

// plan_chunk, reserve_context and commit_chunk in one; returns the output.
SampleBuffer process_chunk_inner(const GateConfig& config, StreamState& state,
                                 std::span<const float> chunk, std::uint64_t sample_rate, bool is_last);

}  // namespace talvane
