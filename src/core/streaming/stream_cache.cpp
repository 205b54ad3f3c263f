// The streaming gate's caches: sliding per-window values, ordered keys, bounded passes.
#include "streaming/stream_cache.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "analysis/energy.hpp"

namespace talvane {

namespace {

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// Ranks kept on each side of the floor's in a FloorHint.
constexpr std::size_t kHintMargin = 8;
// Below this many windows a selection over all of them costs as little as keeping
// keys ordered, and smoothing lanes would not meet inside the context.
constexpr std::size_t kMinKeyed = 64;
// Pending changes to the settled keys, at most: a few, and a share of the keys.
constexpr std::size_t kSettleMargin = 32;
constexpr std::size_t kSettleShare = 8;
// Changes fewer than the keys (or the pending changes) / this go in by a search
// and a block move each, more by a pass over all of them.
constexpr std::size_t kFewChanges = 16;
// A pass over all smoothed values, which gathers the few near the floor, costs
// about as much as keeping kPassShare key changes in order: the keys are kept only
// while a call changes fewer than that share of the values.
constexpr std::size_t kPassShare = 16;
// The keys held are those within a margin of ranks on each side of the floor's:
// at least kRangeLeast, and kRangeCalls times the windows a call changes, so that
// the floor stays among them for many calls; all keys when they are fewer than
// kRangeShare times the margin.
constexpr std::size_t kRangeLeast = 64;
constexpr std::size_t kRangeCalls = 4;
constexpr std::size_t kRangeShare = 4;
// Calls in a row with few changes before the keys are built (again): doubled each
// time built keys have to be dropped, so a stream that keeps losing them pays for
// building them ever more rarely.
constexpr std::uint32_t kFirstPatience = 2;
constexpr std::uint32_t kMostPatience = 64;
// Windows the smoothing lanes run at most; a lane that has not met by then goes on
// one window at a time in its own call.
constexpr std::size_t kLaneReach = 256;

std::uint32_t bits(float v) noexcept { return std::bit_cast<std::uint32_t>(v); }

// memmove with a count of 0 may see null pointers, which it must not be given.
template <class T>
void move_values(T* dst, const T* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(T));
}

// Whether a value is NaN, in one pass without an early exit, which vectorises
// (a bool accumulator would not).
bool any_nan(std::span<const float> values) noexcept {
    unsigned nan = 0;
    for (const float v : values) nan |= std::isnan(v) ? 1u : 0u;
    return nan != 0;
}

// Sorted keys below `key`: a binary search whose steps are conditional moves, not
// branches, since the keys' order gives the branch predictor nothing to go on.
std::size_t rank_below(std::span<const std::uint32_t> sorted, std::uint32_t key) noexcept {
    if (sorted.empty()) return 0;
    const std::uint32_t* base = sorted.data();
    std::size_t len = sorted.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        base = base[half] < key ? base + half : base;
        len -= half;
    }
    return static_cast<std::size_t>(base - sorted.data()) + (*base < key ? 1 : 0);
}

// The floor's keys (as select_ranked_keys finds them) and the keys `margin` ranks
// below lo and above hi, clipped to the keys.
struct Bracketed {
    RankedKeys floor;
    std::uint32_t below, above;
};

Bracketed select_with_bracket(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi,
                              std::size_t margin = kHintMargin) {
    Bracketed out{select_ranked_keys(keys, lo, hi), 0, 0};
    // select_ranked_keys left keys[lo] in place with nothing larger before it and
    // nothing smaller after it, so each neighbouring rank is found on its side alone.
    const auto lo_it = keys.begin() + static_cast<std::ptrdiff_t>(lo);
    const std::size_t below_rank = lo - std::min(lo, margin);
    const auto below_it = keys.begin() + static_cast<std::ptrdiff_t>(below_rank);
    std::nth_element(keys.begin(), below_it, lo_it);
    out.below = *below_it;
    const std::size_t above_rank = hi + std::min(keys.size() - 1 - hi, margin);
    if (above_rank == lo) {
        out.above = *lo_it;  // the floor is the largest key: there is nothing after it
    } else {
        const auto above_it = keys.begin() + static_cast<std::ptrdiff_t>(above_rank);
        std::nth_element(lo_it + 1, above_it, keys.end());
        out.above = *above_it;
    }
    return out;
}

// Energies of windows [first, n) of context + chunk into out, laid out from the
// context's first sample (first <= the context's complete windows), without building
// the combined buffer: windows inside the context or the chunk are read in place,
// and the one window across the join goes through a small copy in `join`. When the
// windows from the join on are few, their chains run side by side.
void tail_energies(std::vector<float>& out, std::vector<float>& join, std::span<const float> context,
                   std::span<const float> chunk, std::uint64_t w, std::uint64_t first) {
    const std::uint64_t c = context.size();
    const std::uint64_t total = c + chunk.size();
    const std::uint64_t n = window_count(total, w);
    out.resize(n - first);
    const std::uint64_t in_context = c / w;  // complete windows inside the context
    std::uint64_t t = first;
    if (t < in_context) {
        window_energies_range(context, w, t, in_context, out.data());
        t = in_context;
    }
    if (t == n) return;
    const float* starts[kSideBySide];
    std::uint64_t counts[kSideBySide];
    std::size_t few = 0;
    if (t * w < c) {
        const std::uint64_t len = std::min<std::uint64_t>(w, total - t * w);
        join.assign(context.begin() + static_cast<std::ptrdiff_t>(t * w), context.end());
        join.insert(join.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(len - join.size()));
        starts[few] = join.data();
        counts[few++] = len;
    }
    const std::uint64_t chunk_first = t + few;  // the first window inside the chunk
    if (n - chunk_first + few <= kSideBySide) {
        for (std::uint64_t u = chunk_first; u < n; ++u, ++few) {
            starts[few] = chunk.data() + (u * w - c);
            counts[few] = std::min<std::uint64_t>(w, total - u * w);
        }
        scattered_window_energies(std::span<const float* const>(starts, few), std::span<const std::uint64_t>(counts, few),
                                  out.data() + (t - first));
        return;
    }
    if (few > 0) scattered_window_energies(std::span<const float* const>(starts, 1), std::span<const std::uint64_t>(counts, 1),
                                           out.data() + (t - first));
    window_energies_range(chunk.subspan(chunk_first * w - c), w, 0, n - chunk_first, out.data() + (chunk_first - first));
}

// Runs the smoothing of the cached windows side by side from several starts: lane
// 0 from window 0 (this call's start) until it meets the cached values, lane j
// from window j * step (the start of the call j calls later, if each drops step
// windows). The chains are independent, so together they take about the time of
// one. They stop once lane 0 has met and the last lane has met the one before it
// (each later call finds where its own lane met), or after `most` windows. Gives
// lane 0's meeting window, kNone when it did not meet.
std::size_t run_lanes(SmoothingAhead& made, std::span<const float> energies, std::span<const float> cached,
                      float alpha, std::size_t step, std::size_t most) {
    constexpr std::size_t kLanes = SmoothingAhead::kLanes;
    const std::size_t reach = std::min(energies.size(), most);
    const std::size_t lanes = std::min(kLanes, (reach - 1) / step + 1);  // lanes that start within reach
    const std::size_t last_start = (lanes - 1) * step;
    // Lane by lane, so that a later call reads its lane from consecutive floats.
    made.stride = reach;
    made.values.resize(kLanes * reach);
    float* values = made.values.data();
    float running[kLanes] = {};
    std::size_t first_met = kNone, started = 0, next_start = 0, window = 0;
    bool last_met = lanes == 1;
    while (window < reach) {
        const float energy = energies[window];
        if (window == next_start && started < lanes) {
            running[started++] = energy;  // as smooth_energies starts: at E[start]
            next_start += step;
        }
        for (std::size_t j = 0; j < kLanes; ++j) running[j] = smooth_step(running[j], alpha, energy);
        for (std::size_t j = 0; j < kLanes; ++j) values[j * reach + window] = running[j];
        if (first_met == kNone && bits(running[0]) == bits(cached[window])) first_met = window;
        if (!last_met && window >= last_start) last_met = bits(running[lanes - 1]) == bits(running[lanes - 2]);
        ++window;
        if (first_met != kNone && last_met) break;
    }
    made.length = window;
    made.step = lanes > 1 ? step : 0;
    made.next = 1;
    made.lanes = lanes;
    return first_met;
}

// The smoothed values of one analysis by where they come from: windows [0, meet)
// smoothed afresh, [meet, reused) the cache's, [reused, n) the new windows'.
struct Smoothed {
    std::span<const float> restarted, cached, tail;
    std::size_t meet, reused;

    std::size_t size() const noexcept { return reused + tail.size(); }
    float operator[](std::size_t t) const noexcept {
        return t < meet ? restarted[t] : t < reused ? cached[t] : tail[t - reused];
    }
};

}  // namespace

RankedKeys hinted_select(std::span<std::uint32_t> keys, std::size_t lo, std::size_t hi, FloorHint& hint) {
    std::size_t offset = 0;  // rank of the first key searched
    std::span<std::uint32_t> searched = keys;
    if (hint.valid) {
        // One pass counts the keys below the bracket and swaps those in it to the
        // front; when both ranks fall among them, only those are searched.
        std::size_t below = 0, inside = 0;
        for (std::size_t t = 0; t < keys.size(); ++t) {
            const std::uint32_t key = keys[t];
            below += key < hint.below_key ? 1 : 0;
            if (key >= hint.below_key && key <= hint.above_key) std::swap(keys[inside++], keys[t]);
        }
        if (lo >= below && hi - below < inside) {
            offset = below;
            searched = keys.first(inside);
        }
    }
    const Bracketed found = select_with_bracket(searched, lo - offset, hi - offset);
    hint = FloorHint{true, found.below, found.above};
    return found.floor;
}


void SettledKeys::clear() noexcept {
    std::vector<std::uint32_t> none;
    assign(none);
}

void SettledKeys::assign(std::vector<std::uint32_t>& sorted) noexcept {
    assign(sorted, 0, std::numeric_limits<std::uint32_t>::max(), 0);
}

void SettledKeys::assign(std::vector<std::uint32_t>& sorted, std::uint32_t low, std::uint32_t high,
                         std::size_t below) noexcept {
    sorted_.swap(sorted);
    sorted.clear();
    added_.clear();
    removed_.clear();
    low_ = low;
    high_ = high;
    below_ = below;
}

void SettledKeys::reserve(std::size_t changes) {
    added_.reserve(added_.size() + changes);
    removed_.reserve(removed_.size() + changes);
    sorted_.reserve(sorted_.size() + added_.size() + changes);
    moving_.reserve(changes);
}

namespace {

// Merges the ascending `more` into the ascending `keys`, from the back, in the room
// the capacity has.
void merge_into(std::vector<std::uint32_t>& keys, std::span<const std::uint32_t> more) noexcept {
    std::size_t held = keys.size(), coming = more.size();
    assert(held + coming <= keys.capacity() && "SettledKeys::change without room reserved");
    keys.resize(held + coming);
    for (std::size_t out = held + coming; coming > 0;) {
        keys[--out] = held > 0 && keys[held - 1] > more[coming - 1] ? keys[--held] : more[--coming];
    }
}

}  // namespace

namespace {

// Counts the keys of `keys` under low, moves those in [low, high] to the front in
// order and gives their number.
std::size_t keys_in_range(std::span<std::uint32_t> keys, std::uint32_t low, std::uint32_t high,
                          std::size_t& under) noexcept {
    std::size_t held = 0;
    for (const std::uint32_t key : keys) {
        under += key < low ? 1 : 0;
        keys[held] = key;
        held += key >= low && key <= high ? 1 : 0;
    }
    std::sort(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(held));
    return held;
}

}  // namespace

void SettledKeys::change(std::span<std::uint32_t> leaving_all, std::span<std::uint32_t> entering_all) noexcept {
    // Keys under low are counted, keys over high dropped; those in range are put in
    // order (a call's changes are few) for the merges below.
    std::size_t gone = 0, come = 0;
    const std::span<const std::uint32_t> leaving = leaving_all.first(keys_in_range(leaving_all, low_, high_, gone));
    const std::span<const std::uint32_t> entering = entering_all.first(keys_in_range(entering_all, low_, high_, come));
    below_ = below_ - gone + come;
    // A leaving key added since the last merge is taken back rather than removed, so
    // that removed_ only ever names keys of sorted_.
    if ((leaving.size() + entering.size()) * kFewChanges <= added_.size() + removed_.size()) {
        // Few changes against many pending: a search and a shift per key.
        for (const std::uint32_t key : leaving) {
            const auto it = std::lower_bound(added_.begin(), added_.end(), key);
            if (it != added_.end() && *it == key) {
                added_.erase(it);
            } else {
                assert(removed_.size() < removed_.capacity() && "SettledKeys::change without room reserved");
                removed_.insert(std::upper_bound(removed_.begin(), removed_.end(), key), key);
            }
        }
        for (const std::uint32_t key : entering) {
            assert(added_.size() < added_.capacity() && "SettledKeys::change without room reserved");
            added_.insert(std::upper_bound(added_.begin(), added_.end(), key), key);
        }
        return;
    }
    assert(leaving.size() <= moving_.capacity() && "SettledKeys::change without room reserved");
    moving_.clear();
    std::size_t kept = 0, next = 0;
    for (std::size_t i = 0; i < added_.size(); ++i) {
        const std::uint32_t key = added_[i];
        while (next < leaving.size() && leaving[next] < key) moving_.push_back(leaving[next++]);
        if (next < leaving.size() && leaving[next] == key) {
            ++next;
        } else {
            added_[kept++] = key;
        }
    }
    added_.resize(kept);
    for (; next < leaving.size(); ++next) moving_.push_back(leaving[next]);
    merge_into(removed_, moving_);
    merge_into(added_, entering);
}

void SettledKeys::settle() noexcept {
    // Merging costs a pass over the sorted keys, so it waits until the changes
    // are a share of them: a constant per change on average. A selection finds its
    // ranks among the pending changes by searches, so many of them cost it little.
    if (added_.size() + removed_.size() <= kSettleMargin + sorted_.size() / kSettleShare) return;
    assert(sorted_.size() + added_.size() <= sorted_.capacity() && "SettledKeys::settle without room reserved");
    if ((added_.size() + removed_.size()) * kFewChanges < sorted_.size()) {
        settle_by_blocks();
    } else {
        // Many changes: one pass drops the removed keys, one merges the added ones
        // in from the back, a step per key.
        std::size_t kept = 0, gone = 0;
        for (const std::uint32_t key : sorted_) {
            if (gone < removed_.size() && removed_[gone] == key) {
                ++gone;  // one copy of the key dropped
            } else {
                sorted_[kept++] = key;
            }
        }
        sorted_.resize(kept);
        merge_into(sorted_, added_);
    }
    added_.clear();
    removed_.clear();
}

void SettledKeys::settle_by_blocks() noexcept {
    // The keys between two changes move as one block, and each change is found by
    // a search: a merge costs a block copy of the keys after the first change and a
    // search per change, not a step per key.
    std::uint32_t* keys = sorted_.data();
    const std::size_t n = sorted_.size();
    std::size_t out = 0, in = 0;  // keys [0, out) are in place; [in, n) are still to move
    for (const std::uint32_t key : removed_) {
        const std::size_t at = in + rank_below(std::span<const std::uint32_t>(keys + in, n - in), key);
        if (out != in) move_values(keys + out, keys + in, at - in);
        out += at - in;
        in = at + 1;  // one copy of the key dropped
    }
    if (out != in) move_values(keys + out, keys + in, n - in);
    // Then the added keys from the largest down, into the room reserve() made; the
    // keys above each move up by the number of added keys not yet placed.
    std::size_t end = out + (n - in);  // keys [0, end) have not moved up yet
    sorted_.resize(end + added_.size());
    keys = sorted_.data();
    std::size_t top = sorted_.size();  // keys [top, size) are in place
    for (std::size_t j = added_.size(); j > 0; --j) {
        const std::size_t at = rank_below(std::span<const std::uint32_t>(keys, end), added_[j - 1]);
        top -= end - at;
        move_values(keys + top, keys + at, end - at);
        keys[--top] = added_[j - 1];
        end = at;
    }
}

namespace {

// Sorted keys below va and at most vb, from ranks known to hold va and vb (or
// kNone): a few steps over copies of them, else a search.
std::size_t first_of(std::span<const std::uint32_t> sorted, std::uint32_t va, std::size_t at) noexcept {
    if (at == kNone) return rank_below(sorted, va);
    for (std::size_t steps = 0; at > 0 && sorted[at - 1] == va; --at) {
        if (++steps == 32) return rank_below(sorted, va);
    }
    return at;
}
std::size_t past_last(std::span<const std::uint32_t> sorted, std::uint32_t vb, std::size_t at) noexcept {
    if (vb == std::numeric_limits<std::uint32_t>::max()) return sorted.size();
    if (at == kNone) return rank_below(sorted, vb + 1);
    for (std::size_t steps = 0; at < sorted.size() && sorted[at] == vb; ++at) {
        if (++steps == 32) return rank_below(sorted, vb + 1);
    }
    return at;
}

// Keys of the parts below `key`; the values are counted in 32-bit blocks, so that
// the loop vectorises.
std::size_t count_below(const KeyParts& parts, std::uint32_t key) noexcept {
    std::size_t below = rank_below(parts.keys, key);
    for (const std::span<const float> values : parts.values) {
        for (std::size_t from = 0; from < values.size(); from += std::size_t{1} << 30) {
            const std::size_t to = std::min(values.size(), from + (std::size_t{1} << 30));
            std::uint32_t part = 0;
            for (std::size_t i = from; i < to; ++i) part += total_order_key(values[i]) < key ? 1u : 0u;
            below += part;
        }
    }
    return below;
}

// Keys of the parts below va, and those in [va, vb] written to `out` (room for all
// the parts' keys), the held keys in order and the values' in theirs. Gives the
// count below and the count written.
struct Gathered {
    std::size_t below, inside;
};
Gathered gather_range(const KeyParts& parts, std::uint32_t va, std::uint32_t vb, std::uint32_t* out) noexcept {
    const std::size_t first = rank_below(parts.keys, va);
    const std::size_t last = past_last(parts.keys, vb, kNone);
    Gathered g{first, last - first};
    move_values(out, parts.keys.data() + first, g.inside);
    const std::uint32_t span = vb - va;
    for (const std::span<const float> values : parts.values) {
        // No branch on the key: it is written in any case and kept by the count.
        for (const float v : values) {
            const std::uint32_t key = total_order_key(v);
            g.below += key < va ? 1 : 0;
            out[g.inside] = key;
            g.inside += key - va <= span ? 1 : 0;
        }
    }
    return g;
}

// The keys at ranks lo and hi of the values of `parts` (which holds no keys), from
// one pass that counts the values below the hint's range and gathers those in it,
// when the ranks lie there; else from all values. Either way the hint becomes the
// keys `margin` ranks below lo and above hi among those searched, so any hint gives
// the same keys.
RankedKeys hinted_select_values(const KeyParts& parts, std::size_t lo, std::size_t hi, std::size_t margin,
                                FloorHint& hint, std::vector<std::uint32_t>& scratch) {
    const std::size_t n = parts.size();
    if (scratch.size() < n) scratch.resize(n);
    std::size_t offset = 0, searched = 0;
    if (hint.valid) {
        const Gathered g = gather_range(parts, hint.below_key, hint.above_key, scratch.data());
        if (lo >= g.below && hi - g.below < g.inside) {
            offset = g.below;
            searched = g.inside;
        }
    }
    if (searched == 0) {
        for (const std::span<const float> values : parts.values) {
            for (const float v : values) scratch[searched++] = total_order_key(v);
        }
    }
    const Bracketed found =
        select_with_bracket(std::span<std::uint32_t>(scratch.data(), searched), lo - offset, hi - offset, margin);
    hint = FloorHint{true, found.below, found.above};
    return found.floor;
}

// Keys in order; an insertion sort is the fastest for a handful, which is what a
// call usually gathers (more when many changes are pending).
void sort_few(std::uint32_t* keys, std::size_t n) noexcept {
    if (n > 24) {
        std::sort(keys, keys + n);
        return;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint32_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
}

// The keys of U = sorted + added - removed in [va, vb]: the sorted ones, which are
// sorted[start, end), the added and removed ones, each in order, and how many keys
// of U lie below va and in the range, when `under` keys of U not in sorted lie
// below sorted's first.
struct RangeOfU {
    std::size_t start, end;
    std::span<const std::uint32_t> added, removed;
    std::size_t below, inside;

    // Whether the ranks lo and hi (>= lo) of U lie in the range.
    bool holds(std::size_t lo, std::size_t hi) const noexcept { return below <= lo && hi - below < inside; }
};
RangeOfU range_of_u(std::span<const std::uint32_t> sorted, std::size_t under, std::uint32_t va, std::uint32_t vb,
                    std::size_t va_at, std::size_t vb_at, const KeyParts& removed, const KeyParts& added,
                    std::vector<std::uint32_t>& scratch) {
    const std::size_t room = removed.size() + added.size();
    if (scratch.size() < room) scratch.resize(room);
    const Gathered r = gather_range(removed, va, vb, scratch.data());
    const Gathered a = gather_range(added, va, vb, scratch.data() + r.inside);
    sort_few(scratch.data(), r.inside);
    sort_few(scratch.data() + r.inside, a.inside);
    const std::size_t start = first_of(sorted, va, va_at);
    const std::size_t end = past_last(sorted, vb, vb_at);
    // Every removed key is one of sorted + added, so no count goes below zero.
    return RangeOfU{start, end, std::span<const std::uint32_t>(scratch.data() + r.inside, a.inside),
                    std::span<const std::uint32_t>(scratch.data(), r.inside), under + start + a.below - r.below,
                    (end - start) + a.inside - r.inside};
}

// The keys at ranks lo and hi of U, which the range holds: its sorted keys and
// added ones merged in order, one copy skipped for each removed key.
RankedKeys select_in_range(std::span<const std::uint32_t> sorted, const RangeOfU& range, std::size_t lo,
                           std::size_t hi) noexcept {
    const std::span<const std::uint32_t> added = range.added, gone = range.removed;
    std::size_t p = range.start, i = 0, g = 0;
    std::uint32_t low = 0;
    // The range holds rank hi, so the merge reaches it before either list ends.
    for (std::size_t rank = range.below;;) {
        const bool from_sorted = i == added.size() || (p < range.end && sorted[p] <= added[i]);
        const std::uint32_t key = from_sorted ? sorted[p++] : added[i++];
        while (g < gone.size() && gone[g] < key) ++g;
        if (g < gone.size() && gone[g] == key) {
            ++g;
            continue;
        }
        if (rank == lo) low = key;
        if (rank == hi) return RankedKeys{low, key};
        ++rank;
    }
}

}  // namespace

RankedKeys select_changed(std::span<const std::uint32_t> sorted, const KeyParts& removed, const KeyParts& added,
                          std::size_t lo, std::size_t hi, std::uint32_t pivot, std::size_t& rank,
                          std::vector<std::uint32_t>& scratch) {
    // Every key held: the ranks always lie in the range.
    return *select_in_bracket(sorted, 0, std::numeric_limits<std::uint32_t>::max(), 0, removed, added, lo, hi,
                              pivot, rank, scratch);
}

std::optional<RankedKeys> select_in_bracket(std::span<const std::uint32_t> sorted, std::uint32_t low,
                                            std::uint32_t high, std::size_t below, const KeyParts& removed,
                                            const KeyParts& added, std::size_t lo, std::size_t hi,
                                            std::uint32_t pivot, std::size_t& rank,
                                            std::vector<std::uint32_t>& scratch) {
    const std::size_t n = sorted.size();
    // Keys outside the range are not held, so the keys of U below a pivot outside it
    // are not known: the pivot is taken into the range.
    pivot = std::clamp(pivot, low, high);
    // The pivot's rank, from last time's when it still holds: a search over keys
    // that have left the processor's caches costs a miss per step.
    const bool known = rank <= n && (rank == 0 || sorted[rank - 1] < pivot) && (rank == n || sorted[rank] >= pivot);
    const std::size_t r0 = known ? rank : rank_below(sorted, pivot);
    auto found_in = [&](const RangeOfU& range) -> std::optional<RankedKeys> {
        if (!range.holds(lo, hi)) return std::nullopt;  // the ranks lie outside [low, high]
        const RankedKeys found = select_in_range(sorted, range, lo, hi);
        // The lower key's rank for the next call: among the range, or searched.
        std::size_t at = range.start;
        while (at < range.end && sorted[at] < found.low) ++at;
        rank = at < range.end || range.end == n ? at : rank_below(sorted, found.low);
        return found;
    };

    // First the keys within kWide ranks of sorted around the pivot: when the ranks
    // lo and hi of U fall among them, one pass over the changes finds them.
    constexpr std::size_t kWide = 4;
    const bool wide_below = r0 > kWide, wide_above = n > r0 + kWide;
    const RangeOfU near = range_of_u(sorted, below, wide_below ? sorted[r0 - kWide] : low,
                                     wide_above ? sorted[r0 + kWide] : high, wide_below ? r0 - kWide : 0,
                                     wide_above ? r0 + kWide : kNone, removed, added, scratch);
    if (near.holds(lo, hi)) return found_in(near);

    // Else a range found by counting, which holds both ranks when they lie in
    // [low, high]: at most lo keys of U below va, at least hi + 1 at or below vb. The
    // key of sorted at rank lo - below - added_below has at most lo keys of U below
    // it; past hi - q + |removed| keys of sorted from the pivot on, hi + 1 keys of U
    // are reached (q is U's keys below the pivot).
    const std::size_t added_below = count_below(added, pivot);
    const std::size_t q = below + r0 + added_below - count_below(removed, pivot);
    std::uint32_t va = low;
    std::size_t va_at = 0, last = 0;
    if (q <= lo) {
        va = pivot;
        va_at = r0;
        last = r0 + (hi - q) + removed.size();
    } else {
        if (lo >= below + added_below) {
            va_at = lo - below - added_below;
            va = sorted[va_at];
        }
        last = r0 + removed.size();
    }
    const std::uint32_t vb = last < n ? sorted[last] : high;
    return found_in(range_of_u(sorted, below, va, vb, va_at, last < n ? last : kNone, removed, added, scratch));
}

std::uint64_t cleaning_reach(const GateConfig& config) {
    auto add = [](std::uint64_t a, std::uint64_t b) { return a > kMaxWord - b ? kMaxWord : a + b; };
    std::uint64_t reach = config.min_voice_windows > 1 ? config.min_voice_windows - 1 : 0;
    reach = add(reach, config.max_silence_gap_windows);
    reach = add(reach, config.pad_voice_windows);
    return add(reach, config.pass_windows);
}

namespace {

// Lane runs go at least this many windows: with the default smoothing (alpha 0.2)
// a run has forgotten where it started, to float32's precision, after about that
// many (0.8^80 is about 2e-8, below 2^-24), so most lanes have met by then.
constexpr std::size_t kLeastLaneRun = 80;
// Past that, a run goes as far as the last one had to, a quarter more and a few
// windows more, so that a meeting point that drifts outward is still reached.
constexpr std::size_t kLaneRunGrowth = 4;   // the last run's length / this, added
constexpr std::size_t kLaneRunMargin = 8;   // windows
// A call keeps the keys only while it changes at most a quarter of them (and a
// few) beyond the windows it drops and appends: past that, a selection over all
// values costs little more than sorting and merging the changes.
constexpr std::size_t kKeyBudgetShare = 4;
constexpr std::size_t kKeyBudgetMargin = 8;  // keys
// The unkeyed front only grows while calls leave it as it was; once it exceeds
// twice this call's own front and a few windows, the windows between are put
// back into the keys, since each call reads every unkeyed value.
constexpr std::size_t kUnkeyedGrowth = 2;
constexpr std::size_t kUnkeyedMargin = 16;  // windows

// Where one call's windows lie, counted from the context's first sample.
struct CallWindows {
    bool reuse = false;           // the cache is of this stream and window length
    bool aligned = false;         // the next context drops whole windows
    std::size_t dropped = 0;      // windows the next context drops (when aligned)
    std::size_t chunk_first = 0;  // the window holding the chunk's first sample
    std::size_t complete = 0;     // windows [0, complete) are whole
    std::size_t reused = 0;       // windows [0, reused) come from the cache
};

// The windows whose smoothed values a call changes besides the restarted front:
// those its context drops and those it appends.
std::size_t call_changes(const CallWindows& call) {
    return call.dropped + (call.complete > call.reused ? call.complete - call.reused : 0);
}

CallWindows lay_windows(StreamAnalysis& a, std::uint64_t window_len, const StreamCache& cache, bool use_cache,
                        std::size_t context_len, std::uint64_t dropped) {
    CallWindows call;
    call.aligned = dropped % window_len == 0;
    call.dropped = static_cast<std::size_t>(dropped / window_len);
    call.chunk_first = static_cast<std::size_t>(context_len / window_len);
    call.complete = static_cast<std::size_t>(a.total / window_len);
    call.reuse = use_cache && cache.count > 0 && cache.window_len == window_len;
    call.reused = call.reuse ? std::min(cache.count, call.chunk_first) : 0;
    return call;
}

// The restarted smoothing from lane `ahead.next`, made by an earlier call, until
// it meets the lane before it, which the cache now holds. Gives the windows it
// covered; sets a.meet when it met within the lanes' length.
std::size_t take_lane(StreamAnalysis& a, const SmoothingAhead& ahead, std::size_t reused) {
    const std::size_t offset = ahead.next * ahead.step;
    const float* lane = ahead.values.data() + ahead.next * ahead.stride;
    const float* before = lane - ahead.stride;
    std::size_t at = offset;
    while (at < ahead.length && bits(lane[at]) != bits(before[at])) ++at;
    a.restarted = std::span<const float>(lane + offset, at - offset);
    a.used_lane = true;
    if (at == ahead.length) return at - offset;
    a.meet = at - offset;
    return reused;
}

// Lanes for this call and the next ones, run about as far as last time's had to;
// a lane cut short goes on in its own call. Gives the windows lane 0 covered.
std::size_t make_lanes(StreamAnalysis& a, const SmoothingAhead& ahead, const CallWindows& call,
                       std::span<const float> cached_energies, std::span<const float> cached_smoothed, float alpha) {
    const std::size_t last = ahead.length;
    const std::size_t most = std::min(
        kLaneReach, std::max(kLeastLaneRun, last + last / kLaneRunGrowth + kLaneRunMargin));
    const std::size_t met = run_lanes(a.made, cached_energies, cached_smoothed, alpha, call.dropped, most);
    const std::size_t covered = met != kNone ? met : a.made.length;
    a.restarted = std::span<const float>(a.made.values.data(), covered);
    if (met == kNone) return covered;
    a.meet = met;
    return call.reused;
}

// The smoothing restarted at the context's first window (its running value starts
// at E[0]) until it meets a cached value bit for bit; from there on the cached
// values stand. Sets a.restarted and a.meet; gives the running value after the
// last reused window (E[0] when none is reused).
float restart_smoothing(StreamAnalysis& a, const StreamCache& cache, const CallWindows& call,
                        std::span<const float> cached_energies, std::span<const float> cached_smoothed,
                        float alpha) {
    const std::size_t reused = call.reused;
    const SmoothingAhead& ahead = cache.ahead;
    a.own_restarted.clear();
    a.restarted = {};
    a.meet = reused;
    a.used_lane = false;
    a.made.step = 0;
    std::size_t smoothed = 0;  // windows of [0, reused) smoothed so far
    if (reused > 0 && ahead.step > 0 && ahead.next < ahead.lanes) {
        smoothed = take_lane(a, ahead, reused);
    } else if (reused >= kMinKeyed && call.aligned && call.dropped > 0) {
        smoothed = make_lanes(a, ahead, call, cached_energies, cached_smoothed, alpha);
    }
    // Lane 0 goes on one window at a time from where the lanes left it.
    if (smoothed < reused) a.own_restarted.assign(a.restarted.begin(), a.restarted.end());
    float running = reused > 0 ? cached_energies[0] : a.tail_energies[0];
    if (!a.restarted.empty()) running = a.restarted.back();
    for (; smoothed < reused; ++smoothed) {
        running = smooth_step(running, alpha, cached_energies[smoothed]);
        if (bits(running) == bits(cached_smoothed[smoothed])) {
            a.meet = smoothed;
            break;
        }
        a.own_restarted.push_back(running);
    }
    if (a.restarted.size() != a.meet) a.restarted = a.own_restarted;
    return a.meet < reused ? cached_smoothed[reused - 1] : running;
}

// The new windows smoothed on from `running`; a run that meets a NaN anywhere is
// redone whole by the analysis's own smoothing. An addition of two NaNs gives one
// of them, and which one depends on the order the compiled code adds in, which
// differs from loop to loop; the sign it leaves decides where the NaN sorts for
// the floor, so only the analysis's own loop gives its very bits.
void smooth_new_windows(StreamAnalysis& a, const CallWindows& call, std::span<const float> cached_energies,
                        float running, float alpha, bool cached_nan) {
    a.tail_smoothed.resize(a.tail_energies.size());
    bool nan = cached_nan;
    for (std::size_t i = 0; i < a.tail_energies.size(); ++i) {
        running = smooth_step(running, alpha, a.tail_energies[i]);
        a.tail_smoothed[i] = running;
        nan = nan || std::isnan(running);
    }
    nan = nan || any_nan(a.restarted);
    a.has_nan = nan;
    if (!nan) return;
    const auto reused = static_cast<std::ptrdiff_t>(call.reused);
    std::vector<float> energies(cached_energies.begin(), cached_energies.end());
    energies.insert(energies.end(), a.tail_energies.begin(), a.tail_energies.end());
    const std::vector<float> all = smooth_energies(energies, alpha);
    a.own_restarted.assign(all.begin(), all.begin() + reused);
    std::copy(all.begin() + reused, all.end(), a.tail_smoothed.begin());
    a.restarted = a.own_restarted;
    a.meet = call.reused;
    a.used_lane = false;
    a.made.step = 0;
}

// The windows kept out of the keys this call: those the cache left out and those
// smoothed afresh. Only meaningful when keyed.
std::size_t unkeyed_front(const StreamAnalysis& a, const StreamCache& cache) {
    return std::max(a.meet, cache.unkeyed);
}

// The noise floor: from the settled keys and the changes when they are few, else
// from all values. Sets a.floor_key, a.floor_rank and a.hint.
float stream_floor(StreamAnalysis& a, const GateConfig& config, const StreamCache& cache, const CallWindows& call,
                   const Smoothed& smoothed, bool keyed, const FloorHint& hint) {
    const std::size_t n = smoothed.size();
    a.hint = hint;
    a.left_range = false;
    if (n < 2) {
        const float floor = n == 1 ? smoothed[0] : 0.0f;
        a.floor_key = total_order_key(floor);
        return floor;
    }
    const FloorRanks ranks = floor_ranks(n, config.noise_floor_percentile);
    const std::size_t was_unkeyed = keyed ? cache.unkeyed : 0;
    const std::size_t unkeyed = keyed ? unkeyed_front(a, cache) : 0;
    const std::size_t read = unkeyed + (unkeyed - was_unkeyed) + (n - call.reused);
    RankedKeys found;
    // Each value read where it lies is counted and gathered once or twice, about
    // what a selection over all values costs per value.
    if (keyed && read <= n) {
        // Windows [was_unkeyed, unkeyed) leave the keys; windows [0, unkeyed) and the
        // new ones come in, read where they lie.
        const std::span<const float> cached = smoothed.cached;
        const KeyParts removed{cache.keys.removed(), {cached.subspan(was_unkeyed, unkeyed - was_unkeyed)}};
        const KeyParts added{cache.keys.added(),
                             {a.restarted, cached.subspan(a.meet, unkeyed - a.meet), a.tail_smoothed}};
        const std::span<const std::uint32_t> sorted = cache.keys.sorted();
        const std::uint32_t pivot = cache.floor_known ? cache.floor_key
                                    : sorted.empty()   ? 0
                                                       : sorted[std::min(ranks.lo, sorted.size() - 1)];
        a.floor_rank = cache.floor_rank;
        const SettledKeys& keys = cache.keys;
        const std::optional<RankedKeys> in_range = select_in_bracket(
            sorted, keys.low(), keys.high(), keys.below(), removed, added, ranks.lo, ranks.hi, pivot, a.floor_rank,
            a.scratch);
        if (in_range.has_value()) {
            a.floor_key = in_range->low;
            return interpolate_floor(from_total_order_key(in_range->low), from_total_order_key(in_range->high), ranks);
        }
        a.left_range = true;  // the floor left the keys' range: found among all values
    }
    // All values, read where they lie. The hint is the last call's, whichever its
    // grid: its floor lies a few ranks away, a few more when calls change many values.
    const KeyParts all{{}, {smoothed.restarted.first(smoothed.meet),
                            smoothed.cached.subspan(smoothed.meet, smoothed.reused - smoothed.meet), smoothed.tail}};
    found = hinted_select_values(all, ranks.lo, ranks.hi, kHintMargin + call_changes(call) / 4, a.hint, a.scratch);
    a.floor_rank = kNone;
    a.floor_key = found.low;
    return interpolate_floor(from_total_order_key(found.low), from_total_order_key(found.high), ranks);
}

// The keys' changes if the next keys are of windows [settled_from, ...): the
// unkeyed front's windows leave, and so do those up to settled_from, or those
// from settled_from to the front enter; the new whole windows enter.
KeyRanges key_ranges(const StreamAnalysis& a, const StreamCache& cache, const CallWindows& call,
                     std::size_t settled_from) {
    const std::size_t unkeyed = unkeyed_front(a, cache);
    KeyRanges r;
    r.leave_begin = cache.unkeyed;
    r.leave_end = std::max(unkeyed, std::min(settled_from, call.reused));
    r.enter_cached_begin = std::min(settled_from, unkeyed);
    r.enter_cached_end = unkeyed;
    r.enter_new_begin = std::max(call.reused, settled_from);
    r.enter_new_end = std::max(r.enter_new_begin, call.complete);
    return r;
}

// The keys of the windows `ranges` names: the cached values leave, the cached ones
// past the new front and the new windows' enter.
void record_key_changes(StreamAnalysis& a, const KeyRanges& ranges, const Smoothed& smoothed) {
    a.leaving.clear();
    for (std::size_t t = ranges.leave_begin; t < ranges.leave_end; ++t) {
        a.leaving.push_back(total_order_key(smoothed.cached[t]));
    }
    a.entering.clear();
    for (std::size_t t = ranges.enter_cached_begin; t < ranges.enter_cached_end; ++t) {
        a.entering.push_back(total_order_key(smoothed.cached[t]));
    }
    for (std::size_t t = ranges.enter_new_begin; t < ranges.enter_new_end; ++t) {
        a.entering.push_back(total_order_key(smoothed.tail[t - smoothed.reused]));
    }
}

// Whether the floor found among the keys lies within a quarter of `margin` ranks of
// an end of their range that is not an end of all keys.
bool near_range_end(const StreamAnalysis& a, const SettledKeys& keys, std::size_t margin) {
    if (a.floor_rank == kNone) return false;
    const std::size_t edge = margin / 4, held = keys.sorted().size();
    return (keys.low() > 0 && a.floor_rank < edge) ||
           (keys.high() < std::numeric_limits<std::uint32_t>::max() && held - std::min(held, a.floor_rank) < edge);
}

// The keys of `values` within `margin` ranks on each side of the floor's (ties at
// either end kept whole) into a.built, in order, with their range and the count
// below, from one pass over the values that gathers those in a window of keys
// guessed from the old range's density. False when the guess holds too few on a
// side that has more.
bool recentred_keys(StreamAnalysis& a, const KeyParts& values, const SettledKeys& old, std::size_t margin) {
    constexpr std::uint32_t kLargest = std::numeric_limits<std::uint32_t>::max();
    const std::size_t held = old.size();
    if (held < 2 || old.high() <= old.low() || old.high() == kLargest) return false;
    // Keys per unit of key in the old range; a window with about twice the margin on
    // each side of the floor.
    const double span = static_cast<double>(old.high() - old.low()) * static_cast<double>(2 * margin) /
                        static_cast<double>(held);
    const std::uint32_t f = a.floor_key;
    const auto reach = static_cast<std::uint32_t>(std::min(span, 4294967295.0));
    const std::uint32_t lo_key = f > reach ? f - reach : 0, hi_key = f < kLargest - reach ? f + reach : kLargest;
    std::vector<std::uint32_t>& keys = a.built;
    keys.resize(values.size());
    const Gathered g = gather_range(values, lo_key, hi_key, keys.data());
    keys.resize(g.inside);
    std::sort(keys.begin(), keys.end());
    const std::size_t above = values.size() - g.below - g.inside;  // keys past the window
    const std::size_t at = static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), f) - keys.begin());
    const std::size_t past = static_cast<std::size_t>(std::upper_bound(keys.begin(), keys.end(), f) - keys.begin());
    if ((at < margin / 2 && g.below > 0) || (keys.size() - past < margin / 2 && above > 0)) return false;
    // Trimmed to the margin, ties at the new ends kept whole.
    std::size_t first = at > margin ? at - margin : 0;
    std::size_t last = std::min(keys.size(), past + margin);  // one past
    while (first > 0 && keys[first - 1] == keys[first]) --first;
    while (last < keys.size() && keys[last] == keys[last - 1]) ++last;
    a.built_below = g.below + first;
    a.built_low = first > 0 ? keys[first] : g.below > 0 ? lo_key : 0;
    a.built_high = last < keys.size() ? keys[last - 1] : above > 0 ? hi_key : kLargest;
    keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(last), keys.end());
    keys.erase(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(first));
    return true;
}

// Keys built (kBuild) from windows [front, complete): those within `margin` ranks
// of the floor's on each side, in order, with the count of those below; all of
// them when they are few. With `old` keys held in a range, a window around the
// floor guessed from them is tried first, which costs one pass over the values;
// else two selections over all keys.
void build_keys(StreamAnalysis& a, const CallWindows& call, const Smoothed& smoothed, std::size_t front,
                std::size_t margin, const SettledKeys* old) {
    a.keys = StreamAnalysis::Keys::kBuild;
    a.settled_from = front;
    a.recentred = false;
    std::vector<std::uint32_t>& keys = a.built;
    a.built_low = 0;
    a.built_high = std::numeric_limits<std::uint32_t>::max();
    a.built_below = 0;
    const std::size_t n = call.complete - front;
    if (n > kRangeShare * margin && old != nullptr) {
        // Windows [front, complete) where they lie: front is past the restarted ones.
        const std::size_t split = std::max(front, std::min(smoothed.reused, call.complete));
        const KeyParts values{{}, {smoothed.cached.subspan(front, split - front),
                                   smoothed.tail.subspan(split - smoothed.reused, call.complete - split)}};
        a.recentred = recentred_keys(a, values, *old, margin);
        if (a.recentred) return;
        a.built_low = 0;
        a.built_high = std::numeric_limits<std::uint32_t>::max();
        a.built_below = 0;
    }
    keys.clear();
    for (std::size_t t = front; t < call.complete; ++t) keys.push_back(total_order_key(smoothed[t]));
    if (n > kRangeShare * margin) {
        std::size_t at = 0;  // the floor's rank among the keys
        for (const std::uint32_t key : keys) at += key < a.floor_key ? 1 : 0;
        const std::size_t lo = at > margin ? at - margin : 0, hi = std::min(n - 1, at + margin);
        const auto lo_it = keys.begin() + static_cast<std::ptrdiff_t>(lo);
        std::nth_element(keys.begin(), lo_it, keys.end());
        if (lo > 0) a.built_low = *lo_it;
        if (hi < n - 1) {
            const auto hi_it = keys.begin() + static_cast<std::ptrdiff_t>(hi);
            std::nth_element(lo_it, hi_it, keys.end());
            a.built_high = *hi_it;
        }
        std::size_t kept = 0;
        for (const std::uint32_t key : keys) {
            a.built_below += key < a.built_low ? 1 : 0;
            keys[kept] = key;
            kept += key >= a.built_low && key <= a.built_high ? 1 : 0;
        }
        keys.resize(kept);
    }
    std::sort(keys.begin(), keys.end());
}

// How the cache's keys follow this call. Only a trim by whole windows keeps
// anything. A change costs little but a selection over all keys not much more per
// window, so the keys are kept only while a call changes few of them.
void plan_keys(StreamAnalysis& a, const StreamCache& cache, const CallWindows& call, const Smoothed& smoothed,
               bool keyed) {
    a.keys = StreamAnalysis::Keys::kDrop;
    a.quiet = false;
    const std::size_t n = smoothed.size();
    if (!call.aligned || n < kPassShare * call_changes(call)) return;
    const std::size_t kept = call.complete - call.dropped;  // the next cache's windows
    // The windows the call drops and appends change the keys in any case; the
    // budget is for the changes beyond those.
    const std::size_t budget = kept / kKeyBudgetShare + kKeyBudgetMargin + 2 * call.dropped;
    const std::size_t front = std::max(call.dropped, a.meet);
    // Ranks held on each side of the floor: enough for the changes of several calls.
    const std::size_t margin = std::max(kRangeLeast, kRangeCalls * call_changes(call));
    if (keyed) {
        // Windows stay out of the keys while they were out or were smoothed afresh;
        // when that leaves many more out than this call's front, those between are
        // put back, if the budget allows.
        const std::size_t unkeyed = unkeyed_front(a, cache);
        std::size_t from = std::max(call.dropped, unkeyed);
        if (unkeyed > kUnkeyedGrowth * front + kUnkeyedMargin && key_ranges(a, cache, call, front).count() <= budget) {
            from = front;
        }
        const KeyRanges ranges = key_ranges(a, cache, call, from);
        if (ranges.count() <= budget && !a.left_range && !near_range_end(a, cache.keys, margin)) {
            a.keys = StreamAnalysis::Keys::kUpdate;
            a.settled_from = from;
            a.key_ranges = ranges;
            record_key_changes(a, ranges, smoothed);
            return;
        }
        if (ranges.count() <= budget) {
            // The floor left the keys' range or nears its end: built again around it.
            build_keys(a, call, smoothed, front, margin, &cache.keys);
            return;
        }
    }
    const std::size_t appended = call.complete > std::max(call.reused, front) ? call.complete - std::max(call.reused, front) : 0;
    a.quiet = a.meet < call.reused && n >= kMinKeyed && 2 * (a.meet + (n - call.reused)) <= n &&
              call.dropped + appended <= budget;
    const std::uint32_t patience = cache.patience > 0 ? cache.patience : kFirstPatience;
    if (a.quiet && !keyed && cache.quiet_calls + 1 >= patience) build_keys(a, call, smoothed, front, margin, nullptr);
}

}  // namespace

void analyse_stream(StreamAnalysis& a, const GateConfig& config, const StreamCache& cache, bool use_cache,
                    std::span<const float> context, std::span<const float> chunk, std::uint64_t sample_rate,
                    std::uint64_t dropped, const WindowLattice& lattice, const FloorHint& hint) {
    const std::uint64_t window_len = window_length(config, sample_rate);
    a.window_len = window_len;
    a.dropped = dropped;
    a.total = context.size() + chunk.size();
    const CallWindows call = lay_windows(a, window_len, cache, use_cache, context.size(), dropped);
    a.reused = call.reused;

    // Energies: the cache's for the reused windows, computed for the rest.
    a.from_lattice = lattice_energies(lattice, a.lattice, a.total, call.reused, a.tail_energies);
    if (!a.from_lattice) {
        tail_energies(a.tail_energies, a.join, context, chunk, window_len, call.reused);
    }
    const std::span<const float> cached_energies = cache.energies.view().first(call.reused);
    const std::span<const float> cached_smoothed = cache.smoothed.view().first(call.reused);

    const float alpha = config.smooth_alpha;
    const float running = restart_smoothing(a, cache, call, cached_energies, cached_smoothed, alpha);
    smooth_new_windows(a, call, cached_energies, running, alpha, call.reuse && cache.has_nan);
    const Smoothed smoothed{a.restarted, cached_smoothed, a.tail_smoothed, a.meet, call.reused};
    const bool keyed = call.reused > 0 && cache.keyed && a.meet < call.reused;

    a.floor = stream_floor(a, config, cache, call, smoothed, keyed, hint);
    a.threshold = threshold_for(config, a.floor);
    const float threshold = a.threshold.value;

    // Cleaning: only windows within the passes' reach of the chunk's first window
    // can change the chunk's flags.
    const std::uint64_t reach = cleaning_reach(config);
    a.first_flag = call.chunk_first > reach ? static_cast<std::size_t>(call.chunk_first - reach) : 0;
    a.suffix.resize(smoothed.size() - a.first_flag);
    for (std::size_t t = a.first_flag; t < smoothed.size(); ++t) a.suffix[t - a.first_flag] = smoothed[t];
    a.flags = keep_flags(config, a.suffix, threshold);

    plan_keys(a, cache, call, smoothed, keyed);
}

void reserve_analysis(StreamCache& cache, const StreamAnalysis& a, std::uint64_t limit) {
    if (a.dropped % a.window_len != 0) return;
    const auto kept = static_cast<std::size_t>(a.total / a.window_len - a.dropped / a.window_len);
    const auto most = static_cast<std::size_t>(limit / a.window_len);  // whole windows of a full context
    cache.energies.reserve(kept, most);
    cache.smoothed.reserve(kept, most);
    if (a.keys == StreamAnalysis::Keys::kUpdate) cache.keys.reserve(a.key_ranges.count());
}

namespace {

void commit_keys(StreamCache& cache, StreamAnalysis& a, std::size_t dropped) noexcept {
    const bool keyed_before = cache.keyed;
    switch (a.keys) {
        case StreamAnalysis::Keys::kUpdate:
            assert(a.leaving.size() + a.entering.size() == a.key_ranges.count() &&
                   "key changes differ from those reserved");
            cache.keys.change(a.leaving, a.entering);
            cache.keys.settle();
            cache.keyed = true;
            break;
        case StreamAnalysis::Keys::kBuild:
            cache.keys.assign(a.built, a.built_low, a.built_high, a.built_below);
            cache.keyed = true;
            break;
        case StreamAnalysis::Keys::kDrop:
            cache.keyed = false;
            break;
    }
    if (a.reused == 0) {
        cache.patience = kFirstPatience;  // a new run of windows
    } else if (keyed_before && !cache.keyed) {
        cache.patience = std::min(2 * std::max(cache.patience, kFirstPatience), kMostPatience);
    }
    cache.quiet_calls = cache.keyed ? 0 : a.quiet ? cache.quiet_calls + 1 : 0;
    cache.unkeyed = cache.keyed ? a.settled_from - dropped : 0;
}

}  // namespace

void commit_analysis(StreamCache& cache, StreamAnalysis& a) noexcept {
    const std::uint64_t w = a.window_len;
    // Where the floor lay is a good guess whatever the windows: kept in any case.
    cache.floor_known = true;
    cache.floor_key = a.floor_key;
    cache.floor_rank = a.floor_rank;
    if (a.dropped % w != 0) {
        cache.forget();
        return;
    }
    const auto dropped = static_cast<std::size_t>(a.dropped / w);
    const auto complete = static_cast<std::size_t>(a.total / w);
    commit_keys(cache, a, dropped);

    // Lanes: one used moves the turn on, ones made replace those held; either is
    // kept only while every call drops the lanes' step.
    if (a.used_lane) {
        ++cache.ahead.next;
    } else if (a.made.step > 0) {
        std::swap(cache.ahead, a.made);
    } else {
        cache.ahead.step = 0;
    }
    if (cache.ahead.step != dropped) cache.ahead.step = 0;

    // Values: the restarted front over the cached one, then the front dropped and
    // the whole new windows appended.
    float* smoothed = cache.smoothed.data();
    for (std::size_t t = dropped; t < a.meet; ++t) smoothed[t] = a.restarted[t];
    const std::size_t appended = complete - a.reused;
    const std::size_t kept = complete - dropped;
    cache.energies.replace(a.reused, std::span<const float>(a.tail_energies).first(appended), kept);
    cache.smoothed.replace(a.reused, std::span<const float>(a.tail_smoothed).first(appended), kept);
    cache.count = kept;
    cache.window_len = w;
    cache.has_nan = a.has_nan && any_nan(cache.smoothed.view());
}

}  // namespace talvane
