// Calls on grids that never come back: smoothed values bounded from prefix sums of squares, exact where it matters.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/keep_mask.hpp"
#include "config.hpp"
#include "streaming/sample_columns.hpp"
#include "streaming/sliding_buffer.hpp"
#include "streaming/window_store.hpp"

namespace talvane {

struct StreamAnalysis;
struct StreamCaches;

// Sums of squares of a stream's samples by position, kept only while its chunks lay
// grids that do not come back (a length off the grid with no lattice of its own):
// within[p - first] is the sum, in double, of the squares of the samples from the
// start of p's block up to p (excluded), blocks of `block` samples laid from
// `origin`; totals[b - first_block] is block b's sum so far. The square of a float32
// is exact in double, and each sum restarts at its block, so its rounding is
// relative to the block's energy, not to the stream's. Positions [first, end] are
// held. Derived data only, like every cache.
//
// Beside it, the bounds' chains: chain_lo[p - first] and chain_hi[p - first] are
// the smoothing (alpha `chain_alpha`) of the energy bounds of the windows of
// `chain_window` samples ending at p, p - W, p - 2W, ..., back to the first that
// starts at `chain_origin` or later, for every position p from chain_origin + W on
// (0 before).
// Each is a bound of the smoothed value of any grid's window ending at p once that
// grid's own smoothing of the bounds has met it (see analyse_bounded).
struct SquarePrefix {
    std::uint64_t block = 0;        // samples; 0: nothing held
    std::uint64_t origin = 0;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t first_block = 0;
    SlidingDoubles within, totals;
    std::uint64_t chain_window = 0;  // 0: no chains held
    std::uint64_t chain_origin = 0;
    std::uint64_t mean_chunk = 0;    // running mean of the chunk lengths (whether chains pay)
    float chain_alpha = 0.0f;
    SlidingBuffer chain_lo, chain_hi;
    SampleColumns columns;           // the exact sums' squares, by window column

    void forget() noexcept {
        block = chain_window = 0;
        columns.forget();
    }
};

// The prefix's part of one call: the values of the chunk's positions (or of the
// whole next context when the prefix is new), and the block totals they change.
struct PrefixStep {
    bool keeps = false;             // the stream holds a prefix after the call
    bool extends = false;           // the held prefix covers the context and goes on
    std::uint64_t block = 0, origin = 0;
    std::uint64_t tail_from = 0;    // tail[i] is position tail_from + i, up to end
    std::size_t tail_len = 0;       // values of tail in use (its storage only grows)
    std::uint64_t tail_block = 0;   // totals[i] is block tail_block + i
    std::uint64_t end = 0;
    std::uint64_t next_first = 0;   // positions before it are dropped
    std::vector<double> tail, totals;
    std::uint64_t chain_window = 0;  // the chains after the step; 0: none
    std::uint64_t chain_origin = 0;
    std::uint64_t mean_chunk = 0;
    std::uint64_t chain_from = 0;    // chain_lo[i] is position chain_from + i, up to end
    float chain_alpha = 0.0f;
    std::vector<float> chain_lo, chain_hi;
    ColumnsStep columns;
};

// Where a bounded call's selection of a rank starts: the value the rank gave last
// time and the relative band around it to gather in first.
struct RankHint {
    float value = 0.0f;
    float band = 0.0f;
};

// Working storage of a bounded call, reused from call to call.
struct BoundedCall {
    // Bounds of each window's smoothed value (low(k), high(k)): lo[k] and hi[k] for
    // windows k below own_to and from own_from on, the held chains' chain_lo[k *
    // stride] and chain_hi[k * stride] between.
    std::vector<float> lo, hi;
    std::size_t own_to = 0, own_from = 0, stride = 0;
    const float* chain_lo = nullptr;
    const float* chain_hi = nullptr;

    // k - own_to wraps for k below own_to: one comparison.
    bool own(std::size_t k) const noexcept { return k - own_to >= own_from - own_to; }
    float low(std::size_t k) const noexcept { return own(k) ? lo[k] : chain_lo[k * stride]; }
    float high(std::size_t k) const noexcept { return own(k) ? hi[k] : chain_hi[k * stride]; }
    std::vector<float> energies;        // exact energies, where computed
    std::vector<float> exact;           // exact smoothed values, where computed
    std::vector<std::uint8_t> known;    // kEnergyKnown, kValueKnown bits by window
    std::vector<std::uint32_t> picked;  // window indices
    std::vector<float> values;
    std::vector<float> join;
};

// Whether a stream under `config` with windows of window_len may take bounded
// calls: a smoothing whose step is monotone (alpha in [0, 1]) and windows short
// enough for the bound on a float32 sum to stay tight.
// Windows up to this long only: the bound on a float32 sum of L squares, about
// (L + 3) units of 2^-24, then stays below 2^-10 of it, so its first-order form holds.
constexpr std::uint64_t kLongestBoundedWindow = 8192;  // samples
inline bool bounded_applies(const GateConfig& config, std::uint64_t window_len) noexcept {
    return config.smooth_alpha >= 0.0f && config.smooth_alpha <= 1.0f && window_len <= kLongestBoundedWindow;
}

// Plans the prefix for a call over `combined` whose next context drops `dropped`
// samples: extends a held one that covers the context while the chunk is off the
// grid, starts one over the next context when `regime` (the store keeps nothing
// for this length), else forgets it; the chains (smoothing alpha) go on with it.
// Reads the prefix only. May throw std::bad_alloc.
void plan_regime_prefix(PrefixStep& step, const SquarePrefix& held, bool same_stream, const Combined& combined,
                        std::uint64_t window_len, std::uint64_t dropped, float alpha);
inline void plan_prefix(PrefixStep& step, const SquarePrefix& held, bool same_stream, bool regime,
                        const Combined& combined, std::uint64_t window_len, std::uint64_t dropped, float alpha) {
    step.keeps = step.extends = false;  // the common case, a grid that comes back, costs two stores
    if (regime) plan_regime_prefix(step, held, same_stream, combined, window_len, dropped, alpha);
}

// The call's analysis from bounds when the prefix covers its context and no run
// serves its grid: energies bounded from the prefix, smoothed bounds from the same
// float recursion run on each end, exact values only for the windows that can
// change the floor's ranks or a flag. Fills the analysis as analyse_stream does
// and gives true; false (nothing written) when the call is not one for it.
bool analyse_bounded(StreamAnalysis& a, const GateConfig& config, const StreamCaches& caches, const Combined& combined,
                     ThresholdRule rule);

// Room for what commit_prefix keeps, for a context of at most `limit` samples.
void reserve_kept_prefix(SquarePrefix& prefix, const PrefixStep& step, std::uint64_t limit);
inline void reserve_prefix(SquarePrefix& prefix, const PrefixStep& step, std::uint64_t limit) {
    if (step.keeps) reserve_kept_prefix(prefix, step, limit);
}

// Room in the step and the working storage for calls of at most max_chunk samples
// at a context of `limit` samples, so that such calls allocate nothing.
void reserve_bounded(SquarePrefix& prefix, PrefixStep& step, BoundedCall& call, std::uint64_t window_len,
                     std::uint64_t limit, std::size_t max_chunk);

// The prefix takes the step over. Needs reserve_prefix first; cannot fail.
void commit_kept_prefix(SquarePrefix& prefix, const PrefixStep& step) noexcept;
inline void commit_prefix(SquarePrefix& prefix, const PrefixStep& step) noexcept {
    if (step.keeps) {
        commit_kept_prefix(prefix, step);
    } else {
        prefix.forget();
    }
}

}  // namespace talvane
