// What the streaming gate keeps from one analysis to the next, and why it is safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/keep_mask.hpp"
#include "config.hpp"
#include "streaming/sliding_buffer.hpp"
#include "streaming/window_lattice.hpp"

namespace talvane {

// A multiset of 32-bit keys of which only those in a range [low, high] are held: a
// sorted array, plus the keys added and removed since it was last sorted; those
// below low are only counted, those above high neither held nor counted. The noise
// floor lies at one rank, near which a stream's keys change little from call to
// call: holding the keys around it alone keeps every change and merge as small as
// the range, whatever the number of keys. settle() merges the changes in once they
// are many, so a change costs a constant on average and a query a search plus a
// count over the changes. A cleared multiset's range is every key.
class SettledKeys {
public:
    std::span<const std::uint32_t> sorted() const noexcept { return sorted_; }
    std::span<const std::uint32_t> added() const noexcept { return added_; }
    std::span<const std::uint32_t> removed() const noexcept { return removed_; }  // each held in sorted()
    std::size_t size() const noexcept { return sorted_.size() + added_.size() - removed_.size(); }  // held
    std::uint32_t low() const noexcept { return low_; }
    std::uint32_t high() const noexcept { return high_; }
    std::size_t below() const noexcept { return below_; }  // keys under low, not held
    void clear() noexcept;
    // Becomes the ascending keys `sorted` (swapped in), every key held.
    void assign(std::vector<std::uint32_t>& sorted) noexcept;
    // Becomes the ascending keys `sorted` (swapped in), all in [low, high], with
    // `below` more keys under low.
    void assign(std::vector<std::uint32_t>& sorted, std::uint32_t low, std::uint32_t high, std::size_t below) noexcept;
    // Room for `changes` more keys taken out or put in and the merge after them.
    // May throw std::bad_alloc.
    void reserve(std::size_t changes);
    // Takes out one copy of each key of `leaving` (each in the multiset) and then
    // puts in the keys of `entering`, in any order: keys under low change the
    // count, keys over high nothing, the rest the keys held, in one merge over the
    // pending changes, not a search and a shift per key. Reorders both lists (those
    // held first, in order). Needs reserve for their total.
    void change(std::span<std::uint32_t> leaving, std::span<std::uint32_t> entering) noexcept;
    void settle() noexcept;  // merges the changes when they are many

private:
    std::vector<std::uint32_t> sorted_, added_, removed_;
    std::vector<std::uint32_t> moving_;  // working storage of change()
    std::uint32_t low_ = 0, high_ = 0xffffffffu;
    std::size_t below_ = 0;

    void settle_by_blocks() noexcept;
};

// Where the noise floor was found last time: the keys (totalOrder) of the values a
// few ranks below and above it. The next selection first searches only the values
// between them and falls back to all values when the ranks it needs are not there,
// so any hint gives the same floor.
struct FloorHint {
    bool valid = false;
    std::uint32_t below_key = 0, above_key = 0;
};

// The keys at ranks lo and hi (hi is lo or lo + 1) of all the keys, searched first
// among those the hint brackets; the hint is updated for the next call. Reorders keys.
RankedKeys hinted_select(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi, FloorHint& hint);

// A multiset of keys in parts: keys held as they are, in ascending order, and
// floats that each stand for their total_order_key (made as they are read).
struct KeyParts {
    std::span<const std::uint32_t> keys;
    std::array<std::span<const float>, 3> values{};

    std::size_t size() const noexcept {
        std::size_t n = keys.size();
        for (const std::span<const float> v : values) n += v.size();
        return n;
    }
};

// The keys at ranks lo and hi (hi is lo or lo + 1) of the multiset U = sorted +
// added - removed, where sorted is ascending and every removed key is one of sorted
// + added. Counting against a pivot (any key; the closer to the answer, the fewer
// keys are ordered) leaves a few ranks of sorted and the changes in their range to
// order, so the cost follows the number of changes and the pivot's distance, not
// the size of sorted. `rank` is where the pivot may lie in sorted (checked;
// searched for when wrong) and becomes where the lower key found lies, for the
// next call. `scratch` is working storage.
RankedKeys select_changed(std::span<const std::uint32_t> sorted, const KeyParts& removed, const KeyParts& added,
                          std::size_t lo, std::size_t hi, std::uint32_t pivot, std::size_t& rank,
                          std::vector<std::uint32_t>& scratch);

// The same when `sorted`, removed.keys and added.keys hold only the keys of U in
// [low, high] and `below` more lie under low (the parts' values may lie anywhere):
// the keys at ranks lo and hi of U when they lie in [low, high], nullopt when not.
std::optional<RankedKeys> select_in_bracket(std::span<const std::uint32_t> sorted, std::uint32_t low,
                                            std::uint32_t high, std::size_t below, const KeyParts& removed,
                                            const KeyParts& added, std::size_t lo, std::size_t hi,
                                            std::uint32_t pivot, std::size_t& rank,
                                            std::vector<std::uint32_t>& scratch);

// How many windows before a window the four cleaning passes can look back to
// decide its keep flag, saturated at the largest word: short-run removal looks
// min_voice_windows - 1 back (a run that long is kept whatever precedes it), gap
// filling max_silence_gap_windows (a gap that reaches further back is too long),
// padding pad_voice_windows, pass windows pass_windows. Each pass reads only what
// the one before it produced, so the reaches add up. Flags computed from the
// windows [b, n) alone, as a recording of their own, are the true flags from
// window b + reach on.
std::uint64_t cleaning_reach(const GateConfig& config);

// Smoothing runs made ahead, side by side, for the starts the next calls will have
// if each drops `step` windows: lane j starts j * step windows after the first
// window of the context that made them (lane 0 was that call's own run). The
// values are those any run from that start gives, so the call whose start lane j
// has uses it up to where it meets lane j - 1, whose values the cache then holds,
// and goes on from its last row if it has not met there.
struct SmoothingAhead {
    static constexpr std::size_t kLanes = 8;
    std::size_t step = 0;      // windows; 0 when nothing is held
    std::size_t next = 0;      // the lane of the next call
    std::size_t lanes = 0;     // lanes [next, lanes) are usable
    std::size_t length = 0;    // windows [0, length) were run
    std::size_t stride = 0;    // floats from one lane to the next in values
    std::vector<float> values;  // values[j * stride + t]: lane j at window t, from its start on
};

// Results of the last analysis that the next call reuses. Derived data only: a call
// gives the same bits with or without them, and forget() may be called at any time.
//
// The one invariant everything here rests on: when count > 0, the cache's windows
// [0, count) are whole windows of the stream laid from the position its owner
// names (a PhaseCache's start), and the last analysis that wrote them laid its
// windows on that same grid: the samples from its first to that position were a
// whole number of windows of window_len. A context that starts there has the same
// samples, aligned the same way, in its complete windows [0, count): their energies
// are the same, and so are their smoothed values from the point where the
// smoothing, restarted at the context's first window, meets the old values bit for
// bit (the same value and the same energies give the same values after it).
// commit_analysis keeps the results only when that holds.
//
// When keyed, `keys` holds the totalOrder keys of smoothed[unkeyed, count): the
// values expected to stay as they are. The front windows, which the restarted
// smoothing recomputes, are kept out, so that a call changes the keys by the few
// windows that cross that border and those appended, not by the whole front.
struct StreamCache {
    std::uint64_t window_len = 0;  // of the last analysis
    SlidingBuffer energies;        // of the context's complete windows
    SlidingBuffer smoothed;        // of the same windows, as the last analysis gave them
    std::size_t count = 0;         // those windows; 0 when nothing is reusable
    SettledKeys keys;
    bool keyed = false;
    std::size_t unkeyed = 0;       // windows [0, unkeyed) are not in keys
    bool floor_known = false;      // floor_key holds the last floor's lower key
    std::uint32_t floor_key = 0;
    std::size_t floor_rank = 0;    // where floor_key lay among the sorted keys, if still so
    bool has_nan = false;          // smoothed holds a NaN
    std::uint32_t quiet_calls = 0;  // calls in a row that changed few values, while not keyed
    std::uint32_t patience = 0;     // such calls needed before the keys are built (again)
    SmoothingAhead ahead;

    // Nothing is reusable any more (a new stream, or a context emptied).
    void forget() noexcept {
        count = 0;
        keyed = false;
        quiet_calls = 0;
        ahead.step = 0;
    }
};

// The windows whose keys a kUpdate call takes out of the cache's keys and puts in,
// the keys of the cached smoothed values of windows [leave_begin, leave_end) leave,
// then those of cached windows [enter_cached_begin, enter_cached_end) and of the
// call's new windows [enter_new_begin, enter_new_end) (counted from the context's
// first window) enter. Recorded once by the analysis, with those keys, so that what
// reserve_analysis makes room for and what commit_analysis does are the same
// changes.
struct KeyRanges {
    std::size_t leave_begin = 0, leave_end = 0;
    std::size_t enter_cached_begin = 0, enter_cached_end = 0;
    std::size_t enter_new_begin = 0, enter_new_end = 0;

    std::size_t count() const noexcept {
        return (leave_end - leave_begin) + (enter_cached_end - enter_cached_begin) +
               (enter_new_end - enter_new_begin);
    }
};

// What one analysis of context + chunk found, and what the cache takes from it.
// Its buffers are reused from call to call.
struct StreamAnalysis {
    std::uint64_t window_len = 0;
    std::uint64_t dropped = 0;        // samples the next context drops from context + chunk
    std::uint64_t total = 0;          // samples of context + chunk
    std::size_t first_flag = 0;       // flags[0] is the flag of this window
    std::vector<std::uint8_t> flags;  // final keep flags of windows [first_flag, n)
    float floor = 0.0f;               // the noise floor, as noise_floor gives it
    Threshold threshold{};            // and the threshold from it

    std::size_t reused = 0;            // K: windows [0, K) came from the cache
    bool from_lattice = false;         // the energies of windows [K, n) came from the window lattice
    std::size_t meet = 0;              // windows [0, meet) were smoothed afresh; from there on
                                       // the cached values stand
    std::span<const float> restarted;  // smoothed values of windows [0, meet): a lane's, or own_restarted
    std::vector<float> own_restarted;
    std::vector<float> tail_energies;  // windows [K, n)
    std::vector<float> tail_smoothed;
    std::uint32_t floor_key = 0;       // the lower key of this floor
    std::size_t floor_rank = 0;        // its place among the settled keys' sorted ones
    FloorHint hint;                    // where this floor was found, for the next call
    bool has_nan = false;              // the smoothing was redone whole for a NaN

    // How the cache's keys follow (decided here, carried out by commit_analysis).
    enum class Keys { kDrop, kUpdate, kBuild } keys = Keys::kDrop;
    std::size_t settled_from = 0;      // the keys kept are of windows [settled_from, ...)
    KeyRanges key_ranges;              // kUpdate: the windows whose keys leave and enter
    std::vector<std::uint32_t> leaving, entering;  // kUpdate: those keys, ascending
    std::vector<std::uint32_t> built;  // kBuild: the sorted keys held, in [built_low, built_high]
    std::uint32_t built_low = 0, built_high = 0;
    std::size_t built_below = 0;       // kBuild: keys under built_low
    bool left_range = false;           // the floor lay outside the keys' range
    bool recentred = false;            // kBuild from a window of keys guessed from the old range
    bool quiet = false;                // few values changed: counts towards building the keys

    bool used_lane = false;            // the smoothing came from a lane made earlier
    SmoothingAhead made;               // lanes made by this call (step 0 when none)

    LatticeStep lattice;               // the window lattice's part of the call (planned first)

    std::vector<float> suffix;         // working storage
    std::vector<float> join;
    std::vector<std::uint32_t> scratch;
};

// The analysis of context + chunk (windows laid out from the context's first sample)
// with the cache's help, into `a`, for a cache that is to be read next by the call
// whose context starts `dropped` samples after this one's (the next call's, or the
// first later one on the same grid). use_cache is false when the cache does not
// hold windows of this context (a new stream, another grid).
// The energies of the windows the cache does not hold come from the window lattice
// and a.lattice (planned for this call) when they hold them all. `hint` is where the
// stream's last call found its floor (a.hint where this one does).
// Gives the keep flags of the windows from the reach of the cleaning passes before
// the chunk's first window to the end; every flag it gives is the one the full
// analysis gives. Does not check the threshold limits.
void analyse_stream(StreamAnalysis& a, const GateConfig& config, const StreamCache& cache, bool use_cache,
                    std::span<const float> context, std::span<const float> chunk, std::uint64_t sample_rate,
                    std::uint64_t dropped, const WindowLattice& lattice, const FloorHint& hint);

// Makes room for what commit_analysis adds, for a context of at most `limit`
// samples. May throw std::bad_alloc; changes no value.
void reserve_analysis(StreamCache& cache, const StreamAnalysis& a, std::uint64_t limit);

// Takes the analysis over once the context has dropped a.dropped samples: kept
// when the invariant above holds, forgotten otherwise. Needs reserve_analysis
// first; cannot fail.
void commit_analysis(StreamCache& cache, StreamAnalysis& a) noexcept;

}  // namespace talvane
