// The analysis of one streaming call as a short pipeline over the window store and the runs.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/keep_mask.hpp"
#include "config.hpp"
#include "streaming/bounded_grid.hpp"
#include "streaming/music_track.hpp"
#include "streaming/rank_tracker.hpp"
#include "streaming/sliding_buffer.hpp"
#include "streaming/window_store.hpp"

namespace talvane {

// The ranks the trackers follow, each with one RankTracker per run: the noise
// floor's, and the noise rule's high percentile (followed only under that rule).
// A statistic at another rank is one more entry here, its percentile in
// rank_percentile (stream_analysis.cpp) and its use in the pipeline.
enum RankId : std::size_t { kFloorRank, kHighRank, kRankCount };

// The percentile rank `id` follows.
float rank_percentile(const GateConfig& config, RankId id);

// The threshold (and the ratio it took) from the call's floor, and its high
// percentile under the noise rule.
void set_threshold(StreamAnalysis& a, const GateConfig& config, ThresholdRule rule);

// Restarts of the smoothing made ahead, side by side: lane j starts j * step windows
// after `origin`, where the call j calls later will start when each call drops
// `step` windows. A lane is only a restart from a stream position over the
// stream's energies, so any call that starts there may read it in place of its own.
struct SmoothingLanes {
    static constexpr std::size_t kLanes = 8;
    static constexpr std::size_t kReach = 256;  // windows a lane runs at most
    // Lanes run at least this far: with the default smoothing (alpha 0.2) a restart
    // has forgotten where it started, to float32's precision, after about that many
    // windows (0.8^80 is about 2e-8, below 2^-24); past it, as far as the last
    // lanes had to and a quarter more, so that a meeting that drifts is still reached.
    static constexpr std::size_t kLeastRun = 96;
    std::uint64_t origin = 0;   // stream position of lane 0's first window
    std::size_t step = 0;       // windows; 0 when none is held
    std::size_t length = 0;     // windows [0, length) of lane 0's grid were run
    std::size_t stride = 0;     // floats from one lane to the next
    std::size_t next = 0;       // the lane of the next call
    std::vector<float> values;  // values[j * stride + k]: lane j at window k, for k >= j * step
    // Where lane j met the lane before it (lane 0 the run), in lane 0's windows; the
    // lane's call checks that window first. `length` when it did not meet.
    std::array<std::size_t, kLanes> met{};
};

// One grid's smoothing run: the smoothed energies of its complete windows as the
// last analysis on that grid gave them, and the trackers of their keys. Values
// hold no NaN. Window k starts at stream position start + k * window_len. Any run
// that meets these values bit for bit goes on with them, wherever it started, since
// the same value and the same energies give the same values after it.
struct GridRun {
    bool live = false;
    std::uint64_t start = 0;         // stream position of window 0
    SlidingBuffer smoothed;          // windows [0, size)
    std::size_t settled = 0;         // windows [settled, size) are the trackers' multiset
    std::array<RankTracker, kRankCount> ranks;
    SmoothingLanes lanes;            // restarts of the next calls on this grid
    std::uint64_t last_call = 0;     // the stream's call that last read or wrote it
};

// Runs kept at most: one per phase of the store's lattice.
constexpr std::size_t kMaxRuns = kMaxPhases;

// What a stream keeps from call to call besides its context. Derived data only:
// a call gives the same bits with or without it, and forget() may run at any time.
struct StreamCaches {
    WindowStore store;
    std::array<GridRun, kMaxRuns> runs;
    SquarePrefix prefix;             // held only while the chunks lay grids that do not come back
    std::array<RankHint, kRankCount> hints;  // where bounded calls' selections start
    std::uint64_t calls = 0;         // analyses run for this stream

    void forget() noexcept {
        store.forget();
        for (GridRun& run : runs) run.live = false;
        prefix.forget();
    }
};

// The smoothed energies of one call's n windows by where they come from: windows
// [0, meet) smoothed afresh into front, [meet, run_end) the run's values, [run_end,
// n) smoothed on into tail.
struct CallSmoothed {
    std::size_t meet = 0, run_end = 0, n = 0;
    const float* front = nullptr;
    const float* run = nullptr;   // run[k] is window k's value
    const float* tail = nullptr;  // tail[k - run_end]

    float operator[](std::size_t k) const noexcept {
        return k < meet ? front[k] : k < run_end ? run[k] : tail[k - run_end];
    }
    // Windows [a, b) as runs of floats where they lie, appended to `out`.
    void append(std::size_t a, std::size_t b, ValueRuns& out) const noexcept;
};

// One call's analysis and everything it plans for the caches. Its buffers are
// reused from call to call (lent by the stream), so a call whose lengths are
// within those seen before allocates nothing.
struct StreamAnalysis {
    static constexpr std::size_t kNoRun = static_cast<std::size_t>(-1);
    // The analysis: the keep flags of windows [first_flag, n), with their floor.
    std::uint64_t window_len = 0;
    std::uint64_t total = 0;          // samples of context + chunk
    std::uint64_t start = 0;          // stream position of the context's first sample
    std::uint64_t dropped = 0;        // samples the next context drops
    std::size_t n = 0;                // windows
    std::size_t first_flag = 0;
    std::size_t flag_count = 0;
    std::vector<std::uint8_t> flags;  // [0, flag_count) are windows [first_flag, n)
    std::vector<MusicValues> music;   // likewise, with the music measure (what each window read)
    bool with_music = false;          // music holds this call's values
    float floor = 0.0f;
    Threshold threshold{};
    float high = 0.0f;                // the noise rule's high percentile (NaN under the ratio rule)
    float ratio = 0.0f;               // what the floor was multiplied by
    std::size_t ranks = 1;            // ranks followed: the floor's, and the high one under the noise rule
    std::array<RankedKeys, kRankCount> ranked{};
    // Each rank's place among the n values, kept from call to call: a full context
    // has the same n every call, and the place costs a double division.
    struct RankPlace {
        std::size_t n = 0;  // 0: not worked out
        float percentile = 0.0f;
        FloorRanks ranks{};
    };
    std::array<RankPlace, kRankCount> places{};
    bool has_nan = false;             // smoothed whole by the batch loop: a NaN met
    bool tracked = false;             // the floor came from the run's tracker, with no selection over all
    bool rebuilt = false;             // the next tracker was built anew around the floor
    bool bounded = false;             // analysed from bounds (bounded_grid.hpp)

    // The plan for the caches.
    StoreStep store;
    std::size_t run_read = kNoRun, run_written = kNoRun;
    std::size_t offset_in_run = 0;    // d: the run's window d is this call's window 0
    std::size_t kept_from = 0;        // K0: windows before it leave the run
    std::size_t settled = 0;          // windows [settled, complete) are the trackers'
    std::size_t complete = 0;
    std::array<RankTracker, kRankCount> next_ranks;
    enum class Lanes { none, used, made } lanes = Lanes::none;
    SmoothingLanes made;              // lanes this call ran for the next calls
    PrefixStep prefix;
    std::array<RankHint, kRankCount> hints;  // after a bounded call

    // Working storage.
    GridEnergies energies;
    CallSmoothed smoothed;
    std::vector<float> direct, join, all_energies, front, tail, suffix, thresholds;
    std::vector<std::uint32_t> scratch;
    std::vector<std::uint32_t> loose_keys;  // the loose values' keys, made once a call for every tracker
    bool loose_keyed = false;                // loose_keys holds this call's
    std::vector<WindowRun> cleaning;
    std::array<RankTracker, kRankCount> whole;  // a rank's selection over every value goes through its own
    BoundedCall bounded_call;

    std::span<const std::uint8_t> flag_span() const noexcept { return {flags.data(), flag_count}; }
};

// How many windows before a window the four cleaning passes can look back to
// decide its keep flag, saturated at the largest word: short-run removal looks
// min_voice_windows - 1 back, gap filling max_silence_gap_windows, padding
// pad_voice_windows, pass windows pass_windows; each pass reads only what the one
// before produced, so the reaches add up. Flags computed from windows [b, n) alone
// are the true flags from window b + reach on.
std::uint64_t cleaning_reach(const GateConfig& config);

// The windows a call cleans: from the cleaning's reach before the chunk's first
// window (first_flag) to the end (flag_count), with room for their flags, the
// values they are decided on, and the cleaning's runs.
void set_flag_range(StreamAnalysis& a, const GateConfig& config, std::size_t chunk_first);

// The analysis of `combined` (context + chunk, windows of window_len laid from the
// context's first sample) into `a`, with the caches' help when same_stream; the next context
// drops `dropped` samples. Gives the keep flags of the windows from the cleaning
// passes' reach before the chunk's first window to the end, each the flag the full
// analysis gives, and the floor and threshold it gives. Reads the caches only.
// Does not check the threshold limits. The threshold follows `rule`: the noise
// rule's high percentile comes from a second tracker of the same runs. With
// `music`, each window's threshold is raised by the factor of the spectrum it reads
// (music_decision.hpp), and the calls are never analysed from bounds.
void analyse_stream(StreamAnalysis& a, const GateConfig& config, const StreamCaches& caches, bool same_stream,
                    const Combined& combined, std::uint64_t window_len, std::uint64_t dropped,
                    ThresholdRule rule = ThresholdRule::ratio, const MusicLookup* music = nullptr);

// Room for what commit_analysis keeps, for a context of at most `limit` samples.
// May throw std::bad_alloc; changes no value.
void reserve_analysis(StreamCaches& caches, StreamAnalysis& a, std::uint64_t limit);

// The caches take the analysis over. Needs reserve_analysis first; cannot fail.
void commit_analysis(StreamCaches& caches, StreamAnalysis& a) noexcept;

// Room for calls of at most max_chunk samples at a context of `limit` samples with
// windows of window_len following `ranks` ranks, so that such calls allocate nothing.
void reserve_caches(StreamCaches& caches, StreamAnalysis& a, std::uint64_t window_len, std::uint64_t limit,
                    std::size_t max_chunk, std::size_t ranks = 1);

}  // namespace talvane
