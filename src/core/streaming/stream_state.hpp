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
#include "streaming/stream_cache.hpp"
#include "streaming/window_lattice.hpp"

namespace talvane {

// A stream cache for the analyses whose context starts `start` samples into the
// stream. Chunks that are not whole windows move the windows' grid against the
// stream by the chunk length each call, so the grid a call lays returns only every
// W / gcd(N, W) calls (W the window length, N the chunk length): one cache per
// such phase, each taken up again by the call that lays its grid next.
struct PhaseCache {
    std::uint64_t start = 0;      // samples of the stream before the cached windows
    std::uint64_t last_call = 0;  // the stream's call that last read or wrote it
    StreamCache cache;
};

// Phase caches kept at most: chunk lengths whose grid returns only after more calls
// than this are gated without reuse (a grid that returns rarely would have left
// most of its windows behind it by then).
constexpr std::size_t kMaxPhases = 16;
// A phase cache unused for this many calls is dropped and its memory given back.
constexpr std::uint64_t kPhaseIdleCalls = 2 * kMaxPhases;

// The phase caches, the first held in the stream's own state: a stream on the
// window grid has that one alone, and reads it with the rest of its state rather
// than from a block of its own. Indices are kept when caches are added; erase_if
// may reorder them.
class PhaseCaches {
public:
    template <class Cache, class Owner>
    class Iterator {
    public:
        Iterator(Owner* owner, std::size_t at) noexcept : owner_(owner), at_(at) {}
        Cache& operator*() const noexcept { return (*owner_)[at_]; }
        Iterator& operator++() noexcept { return ++at_, *this; }
        bool operator!=(const Iterator& other) const noexcept { return at_ != other.at_; }

    private:
        Owner* owner_;
        std::size_t at_;
    };

    std::size_t size() const noexcept { return size_; }
    PhaseCache& operator[](std::size_t i) noexcept { return i == 0 ? first_ : more_[i - 1]; }
    const PhaseCache& operator[](std::size_t i) const noexcept { return i == 0 ? first_ : more_[i - 1]; }
    Iterator<PhaseCache, PhaseCaches> begin() noexcept { return {this, 0}; }
    Iterator<PhaseCache, PhaseCaches> end() noexcept { return {this, size_}; }
    Iterator<const PhaseCache, const PhaseCaches> begin() const noexcept { return {this, 0}; }
    Iterator<const PhaseCache, const PhaseCaches> end() const noexcept { return {this, size_}; }
    // A new empty cache at index size() - 1. May throw std::bad_alloc.
    void add();
    // Drops the caches pred holds for, giving their memory back.
    template <class Pred>
    void erase_if(Pred pred) noexcept {
        for (std::size_t i = size_; i-- > 0;) {
            if (!pred((*this)[i])) continue;
            if (i + 1 != size_) std::swap((*this)[i], (*this)[size_ - 1]);
            if (size_ > 1) {
                more_.pop_back();
            } else {
                first_ = PhaseCache{};
            }
            --size_;
        }
    }

private:
    PhaseCache first_;
    std::vector<PhaseCache> more_;
    std::size_t size_ = 0;
};

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
    std::uint64_t window_len = 0;
    std::uint64_t offset = 0;       // samples of the first window before the chunk
    std::uint64_t chunk_len = 0;
    std::uint64_t fade_len = 0;
    float attenuation = 0.0f;
    std::optional<float> entry_gain;  // the gain the chunk's entry ramp started from
    ViewFlags flags;                  // one per window, the chunk's first window first
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
    SlidingBuffer context;                     // newest input samples, oldest first
    std::optional<float> last_gain;            // gain of the last gated sample
    // Derived data only: the same bits come out with or without it.
    std::uint64_t context_start = 0;           // samples of the stream before the context's first
    std::uint64_t calls = 0;                   // analyses run for this stream
    PhaseCaches phases;                        // at most kMaxPhases
    WindowLattice lattice;                     // energies for the phases of an off-grid length
    FloorHint floor_hint;                      // where the last call found its floor
    std::unique_ptr<StreamAnalysis> spare;     // working buffers lent to each plan
    // The last call that ran the analysis, until the next one or a reset; it
    // outlives the end of the stream (is_last).
    CallView last_call;

    // The phase cache whose windows start at `start`, or null.
    const PhaseCache* phase_at(std::uint64_t start) const noexcept;
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
    // The phase cache the analysis read (kNoPhase: none), the one its results go
    // to (kNoPhase: none are kept) and the stream position its windows then start at.
    static constexpr std::size_t kNoPhase = static_cast<std::size_t>(-1);
    std::size_t phase_read = kNoPhase;
    bool keeps_phase = false;            // the results are kept for a later call
    std::size_t phase_written = kNoPhase;  // chosen by reserve_context
    std::uint64_t phase_start = 0;
    std::uint64_t next_context_start = 0;  // samples of the stream before the next context
    bool new_stream = false;               // the call starts a new stream
    std::uint64_t chunk_first = 0;         // the chunk's first window, among the analysis's flags
    std::uint64_t fade_len = 0;
    std::optional<float> entry_gain;       // the last gain the chunk's ramps started from
    float attenuation = 0.0f;
    std::uint64_t analysed_context = 0;    // samples of context the analysis ran over
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
// only read here, except that its spare working buffers are lent to the plan
// (commit_chunk gives them back).
ChunkPlan plan_chunk(const GateConfig& config, StreamState& state, std::span<const float> chunk,
                     std::uint64_t sample_rate, bool is_last, ChunkOutput output = ChunkOutput::gated);

// Where the cache of an analysis over `total` samples, whose context then drops
// `dropped` of them, is taken up again, if each later call brings `chunk_len`
// samples and drops as many: the samples from this analysis's first to the first of
// the next analysis laid on the same grid, a whole number of windows of
// `window_len`. None (nullopt) when that is more than kMaxPhases calls away or
// leaves no window of this analysis in its context.
std::optional<std::uint64_t> phase_advance(std::uint64_t total, std::uint64_t dropped, std::uint64_t chunk_len,
                                           std::uint64_t window_len);

// Makes room for the planned context; may throw std::bad_alloc, changes no value
// (it may add an empty phase cache, which holds nothing).
void reserve_context(StreamState& state, ChunkPlan& plan);

// Writes the plan into the state in place. Needs reserve_context first; cannot fail.
// `chunk` must be the chunk the plan was made from.
void commit_chunk(StreamState& state, ChunkPlan& plan, std::span<const float> chunk) noexcept;

// Idle again, with no last call; the context keeps its storage.
void reset_stream(StreamState& state) noexcept;

// plan_chunk, reserve_context and commit_chunk in one; returns the output.
SampleBuffer process_chunk_inner(const GateConfig& config, StreamState& state,
                                 std::span<const float> chunk, std::uint64_t sample_rate, bool is_last);

}  // namespace talvane
