// Streaming gate state and the chunk step: plan aside, then commit.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "config.hpp"
#include "streaming/sliding_buffer.hpp"
#include "streaming/sample_ring.hpp"
#include "streaming/stream_analysis.hpp"

namespace talvane {

// A call view's window flags: in the view itself when they are few, as they are for
// chunks of a few windows, else in a block of their own.
class ViewFlags {
public:
    const std::uint8_t* data() const noexcept { return size_ <= kHeld ? held_.data() : more_.data(); }
    std::size_t size() const noexcept { return size_; }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size_; }
    // Room for n flags. May throw std::bad_alloc.
    void reserve(std::size_t n) {
        if (n > kHeld) more_.reserve(n);
    }
    // Becomes the flags [first, last), within the room reserved.
    void assign(const std::uint8_t* first, const std::uint8_t* last) noexcept {
        size_ = static_cast<std::size_t>(last - first);
        if (size_ <= kHeld) {
            std::copy(first, last, held_.begin());
        } else {
            more_.assign(first, last);
        }
    }

private:
    static constexpr std::size_t kHeld = 32;
    std::array<std::uint8_t, kHeld> held_{};
    std::vector<std::uint8_t> more_;
    std::size_t size_ = 0;
};

// What the last call that ran the analysis decided for its chunk: the floor and
// threshold of the analysis of context + chunk, the keep flags of the windows that
// hold the chunk's samples (the first of them may begin in the context, `offset`
// samples before the chunk), and what the chunk's gain curve is made from.
struct CallView {
    bool present = false;
    float floor = 0.0f;
    Threshold threshold{};
    float high = 0.0f;   // what the noise rule read (NaN under the ratio rule)
    float ratio = 0.0f;  // what the floor was multiplied by
    std::uint64_t window_len = 0;
    std::uint64_t offset = 0;       // samples of the first window before the chunk
    std::uint64_t chunk_len = 0;
    std::uint64_t fade_len = 0;
    float attenuation = 0.0f;
    std::optional<float> entry_gain;  // the gain the chunk's entry ramp started from
    ViewFlags flags;                  // one per window, the chunk's first window first
    std::vector<MusicValues> music;   // likewise, with the music measure; else empty
};

// The chunk's keep flag per sample from the flags of the windows holding it:
// sample k lies in window (offset + k) / window_len.
FlagBuffer chunk_keep_mask(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                           std::uint64_t chunk_len);

// The gains a chunk was multiplied by, from the same flags: 1.0 or attenuation per
// window, the entry ramp from entry_gain (when given) and the ramps after every
// change of flag inside the chunk, when fade_len >= 2.
SampleBuffer chunk_gains(std::span<const std::uint8_t> flags, std::uint64_t window_len, std::uint64_t offset,
                         std::uint64_t chunk_len, std::uint64_t fade_len, float attenuation, const float* entry_gain);

// Idle when stream_rate is absent; then context is empty and last_gain absent.
struct StreamState {
    std::optional<std::uint64_t> stream_rate;  // Hz of the stream in progress
    SampleRing context;                        // newest input samples, oldest first
    std::optional<float> last_gain;            // gain of the last gated sample
    // Derived data only: the same bits come out with or without it.
    std::uint64_t context_start = 0;           // samples of the stream before the context's first
    StreamCaches caches;                       // the window store and the grids' runs
    std::unique_ptr<StreamAnalysis> spare;     // working buffers lent to each plan
    SampleBuffer spare_gains;                  // storage of a plan's gain curve (ChunkOutput::gains)
    // The last call that ran the analysis, until the next one or a reset; it
    // outlives the end of the stream (is_last).
    CallView last_call;
    // How the threshold follows the floor: chosen when the stream is made, kept
    // through resets (the ratio rule for the native classes).
    ThresholdRule rule = ThresholdRule::ratio;
    // The music measure over the samples the context takes, when the stream was
    // made with it (music.on, kept through resets).
    MusicTrack music;
    std::vector<MusicValues> spare_music;  // storage of a plan's fresh spectra
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
    bool lent_output = false;              // output is the state's spare_gains, given back by the commit
    std::uint64_t next_context_start = 0;  // samples of the stream before the next context
    bool new_stream = false;               // the call starts a new stream
    std::uint64_t chunk_first = 0;         // the chunk's first window, among the analysis's flags
    std::uint64_t fade_len = 0;
    std::optional<float> entry_gain;       // the last gain the chunk's ramps started from
    float attenuation = 0.0f;
    std::uint64_t analysed_context = 0;    // samples of context the analysis ran over
    MusicStep music;                       // the music measure over the chunk, when on
};

// Context limit in samples: round(rate * stream_context_ms / 1000), at least 1.
std::uint64_t context_limit(const GateConfig& config, std::uint64_t sample_rate);

// What a plan's output holds: the gated chunk, or the gain curve it is made with
// (all ones for a disabled gate), for callers that apply it to other samples.
enum class ChunkOutput { gated, gains };

// Gates one chunk against the state: a new rate starts a new stream; an empty chunk
// gives an empty output and a disabled gate a copy, both leaving context and
// last_gain as they are; otherwise the analysis runs over context + chunk (windows
// laid out from the context's first sample), the new samples take their windows'
// gains with the entry ramp from last_gain and the transition ramps, and the
// context keeps the newest context_limit samples. is_last ends the stream (idle)
// after gating. Throws CheckFailed for threshold limits out of order. The state is
// only read here, except that its spare working buffers (and, for gains, its spare
// gain storage) are lent to the plan (commit_chunk gives them back).
ChunkPlan plan_chunk(const GateConfig& config, StreamState& state, std::span<const float> chunk,
                     std::uint64_t sample_rate, bool is_last, ChunkOutput output = ChunkOutput::gated);

// Makes room for the planned context and caches; may throw std::bad_alloc, changes
// no value.
void reserve_context(StreamState& state, ChunkPlan& plan);

// Writes the plan into the state in place. Needs reserve_context first; cannot fail.
// `chunk` must be the chunk the plan was made from.
void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept;

// Idle again, with no last call; the context keeps its storage.
void reset_stream(StreamState& state) noexcept;

// Room for calls of at most max_chunk samples at sample_rate with this config: after
// it, plan_chunk (ChunkOutput::gains), reserve_context and commit_chunk for such a
// call allocate nothing. May throw std::bad_alloc; changes no value.
void reserve_stream(StreamState& state, const GateConfig& config, std::uint64_t sample_rate, std::size_t max_chunk);

// plan_chunk, reserve_context and commit_chunk in one; returns the output.
SampleBuffer process_chunk_inner(const GateConfig& config, StreamState& state,
                                 std::span<const float> chunk, std::uint64_t sample_rate, bool is_last);

}  // namespace talvane
