// A live stream of frames in the caller's sample type and channel count, gated by
// the streaming gate over one float32 decision signal: the frames scaled and
// mixed, read through the band filter when a band is set; the gain curve applied to
// every channel in the frames' own type; the onsets and offsets of the kept samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "analysis/band_filter.hpp"
#include "buffer.hpp"
#include "config.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

// The sample types a live stream takes. Integers are read as full scale 1.0.
enum class SampleType : std::uint8_t { f32, f64, i16, i32 };

// frames x channels samples of one type, frame after frame (channel c of frame f
// at f * channels + c), aligned and in native byte order; channels >= 1.
struct Frames {
    const void* data = nullptr;
    SampleType type = SampleType::f32;
    std::size_t frames = 0;
    std::size_t channels = 1;

    std::size_t samples() const noexcept { return frames * channels; }
};

// The float32 signal the decision is made on, one value per frame, into `out`
// (frames.frames long). Each sample becomes float32 first: a float64 rounded to
// the nearest, an int16 v as float32(v) * 2^-15 and an int32 v as float32(v) *
// 2^-31 (float32(v) rounded to the nearest, the scaling exact). Then the channels
// are summed in float32, in channel order from the first, and the sum divided by
// float32(channels); a single channel is taken as it is. NaN and infinities pass
// through as they are.
void decision_signal(const Frames& frames, std::span<float> out);

// The band filter over a decision signal, in place, with every NaN or infinite
// sample kept out of the filter's memory: the filter takes it as 0.0 and the
// signal keeps it where it was. The analysis then meets it as it does without a
// band, and the gate recovers once it has left the context; taken in, it would
// make every later output of the filter NaN until reset(). `finite` says the
// signal is known to hold only finite samples (it skips the look); `scratch` is
// working storage for the other case.
void band_decision_signal(BandFilter& filter, std::span<float> signal, bool finite, std::vector<float>& scratch);

// v rounded to the nearest integer, halves to even, and saturated to Int's range;
// NaN gives 0, and values past either end give that end (infinities included).
// Adding and taking away 1.5 * 2^52 rounds every |v| < 2^51 in the processor's
// default rounding, which rounds halves to even; larger values lie beyond every
// Int and are clamped whatever that leaves of them.
template <class Int>
inline Int round_saturate(double v) {
    constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max());
    constexpr double kRound = 0x1.8p52;
    double r = (v + kRound) - kRound;
    r = r == r ? r : 0.0;
    return static_cast<Int>(std::min(std::max(r, kLow), kHigh));
}

// The frames times the gain of their frame, into `out` (frames.samples() values of
// frames.type, the same layout): float32 as x * g in float32; float64 as x *
// double(g); int16 and int32 as double(x) * double(g), rounded half to even and
// saturated (round_saturate), never wrapped. gains holds frames.frames values.
void apply_frame_gains(const Frames& frames, std::span<const float> gains, void* out);

// A change of the keep decision: an onset at the first kept sample after a dropped
// one, an offset at the first dropped sample after a kept one.
struct KeepEvent {
    bool onset;
    std::uint64_t sample;  // counted from the stream's start
};

// The onsets and offsets of a chunk of chunk_len samples whose keep flags are
// those of the windows `flags` (window_len samples each; the first of them begins
// `offset` samples before the chunk), the chunk's first sample being sample `first`
// of the stream, appended to `out`. `kept` says whether the sample before the chunk
// was kept, and is left saying whether the chunk's last one is. One step per window.
void keep_events(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                 std::uint64_t chunk_len, std::uint64_t first, bool& kept, std::vector<KeepEvent>& out);

// A live stream's state: the streaming gate's over the decision signal, the band
// filter's when a band is set, the frames taken so far, whether the last was kept
// (a stream begins as dropped), and the channel count of its chunks.
struct LiveState {
    StreamState stream;
    std::optional<BandFilter> band;
    std::uint64_t position = 0;  // frames since the start or the last reset
    bool kept = false;
    std::size_t channels = 0;    // 0 until the first chunk fixes it
    SampleBuffer spare_signal;   // storage for the next decision signal, lent to each plan
    std::vector<KeepEvent> spare_events;  // storage for the next chunk's events, lent likewise
    std::vector<float> band_scratch;      // the band filter's copy of a signal with NaN or infinity
};

// Everything one chunk decided, computed without touching the state.
struct LivePlan {
    bool analysed = false;           // the gate ran: enabled, and frames to gate
    ChunkPlan chunk;                 // its output holds the gain curve
    SampleBuffer signal;             // the decision signal, unless it is the frames themselves
    std::optional<BandFilter> band;  // the filter after the chunk
    std::vector<KeepEvent> events;
    bool kept = false;
};

// Gates one chunk of frames at sample_rate, writing the output into `out`
// (frames.samples() values of frames.type): a copy when the gate is disabled,
// else the frames times the gain curve the streaming gate makes for the decision
// signal (the frames themselves for mono float32 without a band, so that output is
// what process_chunk gives). An empty chunk gives nothing and changes nothing but
// the channel count. Throws CheckFailed for threshold limits out of order. The
// state is only read, except that its spare buffers are lent to the plan
// (commit_live gives them back).
LivePlan plan_live(const GateConfig& config, LiveState& state, std::uint64_t sample_rate, const Frames& frames,
                   void* out);

// The decision signal the plan was made from (what the gate's context takes in).
std::span<const float> plan_decision(const LivePlan& plan, const Frames& frames);

// Makes the plan's decision signal its own copy, so that the frames may change
// before the commit. May throw std::bad_alloc; changes nothing else.
void keep_decision(LivePlan& plan, const Frames& frames);

// Makes room for the commit; may throw std::bad_alloc, changes no value.
void reserve_live(LiveState& state, LivePlan& plan);

// Room for chunks of at most max_frames frames at sample_rate with this config:
// after it, plan_live, reserve_live and commit_live for such a chunk allocate
// nothing (a real-time caller reserves once, before its first chunk). May throw
// std::bad_alloc; changes no value.
void reserve_live_stream(LiveState& state, const GateConfig& config, std::uint64_t sample_rate,
                         std::size_t max_frames);

// Writes the plan into the state. Needs reserve_live first; cannot fail. `frames`
// must be the frames the plan was made from, unchanged unless keep_decision ran.
void commit_live(LiveState& state, LivePlan& plan, const Frames& frames) noexcept;

// As new: no context, the band filter's state cleared, position 0, dropped, no
// channel count; the buffers keep their storage.
void reset_live(LiveState& state) noexcept;

}  // namespace talvane
