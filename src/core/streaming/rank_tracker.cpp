// RankTracker: held keys around a rank, counts beyond them, one selection path.
#include "streaming/rank_tracker.hpp"

#include <algorithm>
#include <cassert>

#include "analysis/simd.hpp"

namespace talvane {

namespace {

constexpr std::uint32_t kLargestKey = 0xffffffffu;

// Bisections over held keys whose steps choose by a conditional move, not a
// branch: where a search lands among the held keys follows the audio, so a branch
// per step is mispredicted about every other time, each miss costing as much as
// some tens of comparisons. The index of the first key of keys[0, n) not below
// `key`, or above it when `past` is true (n may be 0).
template <bool past>
std::size_t bisect(const std::uint32_t* keys, std::size_t n, std::uint32_t key) noexcept {
    if (n == 0) return 0;
    const std::uint32_t* base = keys;
    while (n > 1) {
        const std::size_t half = n / 2;
        const bool right = past ? base[half] <= key : base[half] < key;
        base = right ? base + half : base;
        n -= half;
    }
    const bool right = past ? *base <= key : *base < key;
    return static_cast<std::size_t>(base - keys) + (right ? 1 : 0);
}
std::size_t lower_index(std::span<const std::uint32_t> keys, std::uint32_t key) noexcept {
    return bisect<false>(keys.data(), keys.size(), key);
}
std::size_t upper_index(std::span<const std::uint32_t> keys, std::uint32_t key) noexcept {
    return bisect<true>(keys.data(), keys.size(), key);
}

// The k-th smallest (from 0) of the union of two ascending runs, k < a.size() +
// b.size(): i keys from a and k + 1 - i from b are the k + 1 smallest when a[i - 1]
// <= b[k + 1 - i] and b[k - i] <= a[i]; i is found by bisection.
std::uint32_t kth_of_two(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b, std::size_t k) noexcept {
    std::size_t lo = k + 1 > b.size() ? k + 1 - b.size() : 0, hi = std::min(k + 1, a.size());
    while (lo < hi) {
        const std::size_t i = lo + (hi - lo) / 2, j = k + 1 - i;
        if (j > 0 && b[j - 1] > a[i]) {
            lo = i + 1;
        } else {
            hi = i;
        }
    }
    const std::size_t i = lo, j = k + 1 - lo;
    if (i == 0) return b[j - 1];
    if (j == 0) return a[i - 1];
    return std::max(a[i - 1], b[j - 1]);
}

// The keys of `loose` in [first, first + span] copied to `gathered` (room for all
// of loose), their count returned. Each key is written and kept by the count,
// without a branch on it; on x86 four keys at a time are tested first, and a group
// with none inside, by far the most common, is passed over whole.
std::size_t gather_inside(std::span<const std::uint32_t> loose, std::uint32_t first, std::uint32_t span,
                          std::uint32_t* gathered) noexcept {
    std::size_t at = 0, i = 0;
#if TALVANE_X86
    // Unsigned key - first <= span as a signed comparison, both sides flipped at the sign bit.
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i from = _mm_set1_epi32(static_cast<int>(first));
    const __m128i top = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(span)), sign);
    for (; i + 4 <= loose.size(); i += 4) {
        const __m128i keys = _mm_loadu_si128(reinterpret_cast<const __m128i*>(loose.data() + i));
        const __m128i offset = _mm_xor_si128(_mm_sub_epi32(keys, from), sign);
        if (_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(offset, top))) == 0xF) continue;
        for (std::size_t j = i; j < i + 4; ++j) {
            gathered[at] = loose[j];
            at += loose[j] - first <= span ? 1 : 0;
        }
    }
#endif
    for (; i < loose.size(); ++i) {
        gathered[at] = loose[i];
        at += loose[i] - first <= span ? 1 : 0;
    }
    return at;
}

}  // namespace

void RankTracker::clear() noexcept {
    hinted_ = false;
    borrows_ = false;
    keys_.clear();
    low_ = 0;
    high_ = kLargestKey;
    below_ = above_ = 0;
}

void RankTracker::assign(const RankTracker& other) {
    keys_.assign(other.keys_.begin(), other.keys_.end());
    low_ = other.low_;
    high_ = other.high_;
    below_ = other.below_;
    above_ = other.above_;
    margin_ = other.margin_;
    borrows_ = other.borrows_;
    hinted_ = other.hinted_;
    hint_ = other.hint_;
    hint_at_ = other.hint_at_;
}

void RankTracker::build(const ValueRuns& values, std::size_t rank, std::size_t margin,
                        std::vector<std::uint32_t>& scratch) {
    const std::size_t n = values.size();
    if (scratch.size() < n) scratch.resize(n);
    std::size_t at = 0;
    for (std::size_t r = 0; r < values.used; ++r) {
        for (const float v : values.runs[r]) scratch[at++] = total_order_key(v);
    }
    clear();
    margin_ = margin;
    if (n == 0) return;
    const auto begin = scratch.begin(), end = scratch.begin() + static_cast<std::ptrdiff_t>(n);
    const std::size_t first = rank > margin ? rank - margin : 0;
    const std::size_t last = std::min(n - 1, rank + std::min(margin, n));
    std::nth_element(begin, begin + static_cast<std::ptrdiff_t>(first), end);
    if (first > 0) low_ = scratch[first];
    std::nth_element(begin + static_cast<std::ptrdiff_t>(first), begin + static_cast<std::ptrdiff_t>(last), end);
    if (last < n - 1) high_ = scratch[last];
    // Ties at either end held whole: each key is held or counted on one side.
    for (auto it = begin; it != end; ++it) {
        const std::uint32_t key = *it;
        below_ += key < low_ ? 1 : 0;
        above_ += key > high_ ? 1 : 0;
        if (key >= low_ && key <= high_) keys_.push_back(key);
    }
    std::sort(keys_.begin(), keys_.end());
}

std::uint32_t RankTracker::key_reach(std::size_t margin) const noexcept {
    const std::size_t held = keys_.size();
    if (held < 2 || high_ <= low_ || high_ == kLargestKey) return 0;
    // Keys per unit of key in the held range; a window of twice the margin on each side.
    const double spread = static_cast<double>(high_ - low_) * static_cast<double>(2 * margin) /
                          static_cast<double>(held);
    return static_cast<std::uint32_t>(std::max(1.0, std::min(spread, 4294967295.0)));
}

bool RankTracker::build_within(const ValueRuns& values, std::uint32_t key, std::size_t margin, std::uint32_t reach,
                               std::vector<std::uint32_t>& scratch) {
    const std::uint32_t first = key > reach ? key - reach : 0;
    const std::uint32_t last = key < kLargestKey - reach ? key + reach : kLargestKey;
    const std::size_t n = values.size();
    if (scratch.size() < n) scratch.resize(n);
    std::size_t under = 0, inside = 0;
    for (std::size_t r = 0; r < values.used; ++r) {
        for (const float v : values.runs[r]) {
            const std::uint32_t k = total_order_key(v);
            under += k < first ? 1 : 0;
            if (k - first <= last - first) scratch[inside++] = k;
        }
    }
    std::sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(inside));
    const auto begin = scratch.begin();
    const std::span<const std::uint32_t> sorted(scratch.data(), inside);
    const std::size_t at = lower_index(sorted, key), past = upper_index(sorted, key);
    const std::size_t over = n - under - inside;
    if ((at < margin && under > 0) || (inside - past < margin && over > 0)) return false;
    // Trimmed to the margin, ties at the new ends held whole.
    std::size_t lo = at > margin ? at - margin : 0, hi = std::min(inside, past + margin);  // [lo, hi)
    while (lo > 0 && scratch[lo - 1] == scratch[lo]) --lo;
    while (hi < inside && scratch[hi] == scratch[hi - 1]) ++hi;
    keys_.assign(begin + static_cast<std::ptrdiff_t>(lo), begin + static_cast<std::ptrdiff_t>(hi));
    below_ = under + lo;
    above_ = over + (inside - hi);
    low_ = below_ > 0 ? keys_.front() : 0;
    high_ = above_ > 0 ? keys_.back() : kLargestKey;
    margin_ = margin;
    borrows_ = false;
    return !keys_.empty();
}

namespace {

// The keys of `values` in [low, high] into `out`, in order, and how many lie below
// low and above high.
struct Split {
    std::size_t inside = 0, below = 0, above = 0;
};
Split split_keys(const ValueRuns& values, std::uint32_t low, std::uint32_t high, std::uint32_t* out) noexcept {
    Split s;
    for (std::size_t r = 0; r < values.used; ++r) {
        for (const float v : values.runs[r]) {
            const std::uint32_t key = total_order_key(v);
            s.below += key < low ? 1 : 0;
            s.above += key > high ? 1 : 0;
            out[s.inside] = key;
            s.inside += key >= low && key <= high ? 1 : 0;
        }
    }
    std::sort(out, out + s.inside);
    return s;
}

}  // namespace

void RankTracker::change(const ValueRuns& leaving, const ValueRuns& entering, std::vector<std::uint32_t>& scratch) {
    const std::size_t room = leaving.size() + entering.size() + 1;
    if (scratch.size() < room) scratch.resize(room);
    std::uint32_t* gone = scratch.data();
    const Split out = split_keys(leaving, low_, high_, gone);
    std::uint32_t* come = gone + out.inside;
    const Split in = split_keys(entering, low_, high_, come);
    below_ = below_ - out.below + in.below;
    above_ = above_ - out.above + in.above;
    if ((out.inside + in.inside) * kFewChanges <= keys_.size()) {
        take_out_by_blocks(std::span<const std::uint32_t>(gone, out.inside));
        put_in_by_blocks(std::span<const std::uint32_t>(come, in.inside));
        return;
    }
    // Many: one pass takes one copy of each leaving key out, one merge from the back
    // puts the entering ones in, a cost in the held keys rather than a search per key.
    std::size_t kept = 0, g = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (g < out.inside && keys_[i] == gone[g]) {
            ++g;
        } else {
            keys_[kept++] = keys_[i];
        }
    }
    assert(g == out.inside && "a leaving key that is not held");
    std::size_t held = kept, coming = in.inside;
    keys_.resize(kept + coming);
    for (std::size_t at = kept + coming; coming > 0;) {
        keys_[--at] = held > 0 && keys_[held - 1] > come[coming - 1] ? keys_[--held] : come[--coming];
    }
}

void RankTracker::take_out_by_blocks(std::span<const std::uint32_t> gone) noexcept {
    // Each leaving key (ascending) is found after the one before it, and the held
    // keys between two of them move down in one block: each held key moves once.
    std::uint32_t* keys = keys_.data();
    const std::size_t n = keys_.size();
    std::size_t kept = 0, next = 0;  // keys [0, kept) final; [next, n) not yet looked at
    for (const std::uint32_t key : gone) {
        const std::size_t at = next + lower_index(std::span<const std::uint32_t>(keys + next, n - next), key);
        assert(at < n && keys[at] == key && "a leaving key that is not held");
        if (kept != next) std::copy(keys + next, keys + at, keys + kept);
        kept += at - next;
        next = at + 1;
    }
    if (kept != next) std::copy(keys + next, keys + n, keys + kept);
    keys_.resize(kept + (n - next));
}

void RankTracker::put_in_by_blocks(std::span<const std::uint32_t> come) {
    // From the largest entering key down: the held keys above it move up in one
    // block to their final place, then it goes in below them.
    std::size_t held = keys_.size(), end = held + come.size();
    keys_.resize(end);
    std::uint32_t* keys = keys_.data();
    for (std::size_t c = come.size(); c > 0; --c) {
        const std::uint32_t key = come[c - 1];
        const std::size_t at = upper_index(std::span<const std::uint32_t>(keys, held), key);
        if (end != held) std::copy_backward(keys + at, keys + held, keys + end);
        end -= held - at;
        keys[--end] = key;
        held = at;
    }
}

RankTracker::Held RankTracker::held_around(std::size_t at, std::size_t reach) const noexcept {
    // The held keys from reach before `at` to reach after it, widened over keys equal
    // to those at the two ends; past an end of the held keys, up to low or high
    // (every held key lies in [low, high]).
    assert(keys_.empty() || (low_ <= keys_.front() && keys_.back() <= high_));
    Held held{0, keys_.size(), low_, high_};
    if (at > reach) {
        held.from = at - reach;
        held.first = keys_[held.from];
        while (held.from > 0 && keys_[held.from - 1] == held.first) --held.from;
    }
    if (at + reach < keys_.size()) {
        held.to = at + reach + 1;
        held.last = keys_[at + reach];
        while (held.to < keys_.size() && keys_[held.to] == held.last) ++held.to;
    }
    return held;
}

std::optional<RankedKeys> RankTracker::select_between(std::span<const std::uint32_t> loose, std::size_t lo,
                                                      std::size_t hi, const Held& held,
                                                      std::uint32_t* gathered) const {
    // The loose keys below `first` and those up to `last` counted in one pass that
    // vectorises (32-bit counts: a call has far fewer than 2^32 windows). Most
    // calls find few loose keys in [first, last], or none: only then are they
    // gathered.
    const std::uint32_t first = held.first, last = held.last;
    std::uint32_t under = 0, upto = 0;
    for (const std::uint32_t key : loose) {
        under += key < first ? 1u : 0u;
        upto += key <= last ? 1u : 0u;
    }
    const std::size_t inside = upto - under;
    // Held keys in [first, last]; those below it are held too, or counted in below_.
    const std::size_t from = held.from, to = held.to;
    const std::size_t base = below_ + from + under;  // the rank of the first key in [first, last]
    if (lo < base || hi - base >= (to - from) + inside) return std::nullopt;
    if (inside > 0) gather_inside(loose, first, last - first, gathered);
    std::sort(gathered, gathered + inside);
    const std::span<const std::uint32_t> keys(keys_.data() + from, to - from), extra(gathered, inside);
    const std::uint32_t low = kth_of_two(keys, extra, lo - base);
    return RankedKeys{low, hi == lo ? low : kth_of_two(keys, extra, hi - base)};
}

std::optional<RankedKeys> RankTracker::select(const ValueRuns& loose, std::size_t lo, std::size_t hi,
                                              std::vector<std::uint32_t>& scratch) {
    // The loose values' keys once, then the gathered ones after them.
    const std::size_t n = loose.size();
    if (scratch.size() < 2 * n + 1) scratch.resize(2 * n + 1);  // a gathered key is written before it is counted
    std::uint32_t* keys = scratch.data();
    for (std::size_t r = 0, at = 0; r < loose.used; ++r) {
        for (const float v : loose.runs[r]) keys[at++] = total_order_key(v);
    }
    return select_keys(std::span<const std::uint32_t>(keys, n), lo, hi, keys + n);
}

void RankTracker::borrow(const RankTracker& hint_from) noexcept {
    const bool hinted = hint_from.hinted_;
    const std::uint32_t hint = hint_from.hint_;
    const std::size_t hint_at = hint_from.hint_at_;
    clear();
    borrows_ = true;
    hinted_ = hinted;
    hint_ = hint;
    hint_at_ = hint_at;
}

std::optional<RankedKeys> RankTracker::select_keys(std::span<const std::uint32_t> loose_keys, std::size_t lo,
                                                   std::size_t hi, std::uint32_t* gathered) {
    return select_keys_in(*this, loose_keys, lo, hi, gathered);
}

std::optional<RankedKeys> RankTracker::select_keys_in(const RankTracker& owner,
                                                      std::span<const std::uint32_t> loose_keys, std::size_t lo,
                                                      std::size_t hi, std::uint32_t* gathered) {
    std::optional<RankedKeys> found;
    // First the few held keys around where the last selection found its rank, which
    // a call moves little: the pass over the loose keys gathers only a few of them.
    // Then a few times wider, for a rank that moved more (a run's next call on an
    // off-grid length comes several calls later).
    const std::size_t at = owner.hint_index(hint_at_, hint_);
    for (std::size_t reach = kNarrow; hinted_ && !owner.keys_.empty() && !found.has_value() && reach <= kWider;
         reach *= kWiden) {
        found = owner.select_between(loose_keys, lo, hi, owner.held_around(at, reach), gathered);
    }
    if (!found.has_value()) {
        found = owner.select_between(loose_keys, lo, hi, Held{0, owner.keys_.size(), owner.low_, owner.high_},
                                     gathered);
    }
    if (found.has_value()) {
        hinted_ = true;
        hint_ = found->low;
        hint_at_ = at;
    }
    return found;
}

std::size_t RankTracker::hint_index(std::size_t from, std::uint32_t hint) const noexcept {
    // The hint's place moves by about the keys changed since it was found, and the
    // next hint lies a few ranks from it: a few steps from the place last found,
    // else a bisection.
    const std::size_t n = keys_.size();
    std::size_t at = std::min(from, n);
    for (std::size_t step = 0; step < kHintSteps; ++step) {
        if (at > 0 && keys_[at - 1] >= hint) {
            --at;
        } else if (at < n && keys_[at] < hint) {
            ++at;
        } else {
            return at;
        }
    }
    return lower_index(keys_, hint);
}

bool RankTracker::needs_rebuild(std::uint32_t key) const noexcept {
    const std::size_t edge = margin_ / kEdgeShare;
    if (keys_.size() > kHeldShare * (2 * margin_ + 1)) return true;
    // The number of held keys below `key` is under edge when the edge-th key is not
    // below it, and over size - edge when the one at size - edge is: two reads, no search.
    const std::size_t n = keys_.size();
    const bool near_low = edge > n || (edge > 0 && keys_[edge - 1] >= key);
    const bool near_high = edge > n || (edge > 0 && keys_[n - edge] < key);
    return (below_ > 0 && near_low) || (above_ > 0 && near_high);
}

}  // namespace talvane
