// The floor tracker: the ordered keys of a multiset of smoothed energies around one rank.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/keep_mask.hpp"

namespace talvane {

// A few runs of floats, read where they lie, each value standing for its
// total_order_key. At most kMaxRuns runs; empty runs are not kept.
struct ValueRuns {
    static constexpr std::size_t kMaxRuns = 4;
    std::array<std::span<const float>, kMaxRuns> runs{};
    std::size_t used = 0;

    void add(std::span<const float> run) noexcept {
        if (!run.empty()) runs[used++] = run;
    }
    std::size_t size() const noexcept {
        std::size_t n = 0;
        for (std::size_t r = 0; r < used; ++r) n += runs[r].size();
        return n;
    }
};

// The keys of a multiset of values around one rank: those in [low, high] held in
// ascending order, those below low and above high only counted. A rank near the
// one the keys were built around lies among the held keys, and a change of a value
// far from it costs a comparison, whatever the number of values: the tracker's
// cost follows the changes, not the multiset. One instance follows one rank (the
// noise floor's); a statistic at another rank is another instance.
//
// Invariant: every key of the multiset is either held (low <= key <= high, all
// copies of it) or counted in below (key < low) or above (key > high).
class RankTracker {
public:
    std::span<const std::uint32_t> held() const noexcept { return keys_; }
    std::uint32_t low() const noexcept { return low_; }
    std::uint32_t high() const noexcept { return high_; }
    std::size_t below() const noexcept { return below_; }
    std::size_t above() const noexcept { return above_; }
    std::size_t size() const noexcept { return below_ + keys_.size() + above_; }

    // Empty, every key range held.
    void clear() noexcept;

    // Room for `keys` held keys. May throw std::bad_alloc; changes no value.
    void reserve(std::size_t keys) { keys_.reserve(keys); }

    // Becomes the multiset of `values`, holding the keys within `margin` ranks of
    // rank `rank` (< values.size()) on each side, ties at either end held whole.
    // `scratch` is working storage. Allocates only when its room is short.
    void build(const ValueRuns& values, std::size_t rank, std::size_t margin, std::vector<std::uint32_t>& scratch);

    // The same around the rank of `key` among `values`, from one pass that gathers
    // the keys in a window around it sized from `like`'s density of held keys (a
    // tracker of about the same values), and a sort of those alone: no selection
    // over all keys. False (the tracker then unspecified) when the window holds too
    // few keys on a side that has more; build() is the way then.
    bool build_near(const ValueRuns& values, std::uint32_t key, std::size_t margin, const RankTracker& like,
                    std::vector<std::uint32_t>& scratch) {
        const std::uint32_t reach = like.key_reach(margin);
        return reach > 0 && build_within(values, key, margin, reach, scratch);
    }
    // The same with the window's half-width in keys given.
    bool build_within(const ValueRuns& values, std::uint32_t key, std::size_t margin, std::uint32_t reach,
                      std::vector<std::uint32_t>& scratch);
    // The keys' spread that holds about twice `margin` held keys, from the held
    // keys' density; 0 when it is not known (too few held, or no finite range).
    std::uint32_t key_reach(std::size_t margin) const noexcept;
    // The lower key the last selection found, if any: where the next one starts.
    bool hinted() const noexcept { return hinted_; }
    std::uint32_t hint() const noexcept { return hint_; }

    // Becomes a copy of `other`. Allocates only when the room is short.
    void assign(const RankTracker& other);

    // Takes one copy of each leaving value's key out (each is in the multiset), then
    // puts the entering ones in, with `scratch` as working storage. Allocates only
    // when the room (of the held keys, or of scratch for all the changes) is short.
    void change(const ValueRuns& leaving, const ValueRuns& entering, std::vector<std::uint32_t>& scratch);

    // The keys at ranks lo and hi (hi is lo or lo + 1) of the multiset together
    // with the `loose` values, when both lie among the held keys and the loose
    // values between low and high; nullopt when they lie outside. `scratch` is
    // working storage (room for twice the loose values: then nothing is allocated).
    // The selection tries the held keys within kNarrow of the last one it found
    // first (the hint), then kWiden times as many, up to kWider, then all held keys.
    std::optional<RankedKeys> select(const ValueRuns& loose, std::size_t lo, std::size_t hi,
                                     std::vector<std::uint32_t>& scratch);
    // The same with the loose values' keys given (in any order), and room for as many
    // keys again in `gathered`: the keys of one call's loose values serve every
    // tracker of the call.
    std::optional<RankedKeys> select_keys(std::span<const std::uint32_t> loose_keys, std::size_t lo, std::size_t hi,
                                          std::uint32_t* gathered);

    // A tracker whose range is every key (so none is only counted, and every loose
    // key falls inside) serves every rank of its multiset: another rank's tracker
    // then borrows its keys, holding none of its own, and selects among them with
    // its own hint. Small contexts are the common case: with a 3 s context both the
    // floor's and the high rank's trackers held every key, each copied and changed
    // on every call.
    bool holds_all() const noexcept { return low_ == 0 && high_ == 0xffffffffu; }
    bool borrows() const noexcept { return borrows_; }
    // Becomes a borrowing tracker: no keys, the hint of `hint_from`.
    void borrow(const RankTracker& hint_from) noexcept;
    // select_keys among the keys of `owner` (which holds every key of the multiset
    // when this tracker borrows), from and into this tracker's hint.
    std::optional<RankedKeys> select_keys_in(const RankTracker& owner, std::span<const std::uint32_t> loose_keys,
                                             std::size_t lo, std::size_t hi, std::uint32_t* gathered);
    // Held keys on each side of the hint at the first try: a whole-window call moves
    // the rank by about one, and each loose key inside the range is gathered and
    // sorted (the floor's range is the densest: a 10 ms call at 16 kHz with a 3 s
    // context gathered 19 at 4). Then 4 and 16: off-grid calls move it further.
    static constexpr std::size_t kNarrow = 1;
    static constexpr std::size_t kWiden = 4;
    static constexpr std::size_t kWider = 16;
    // Changes fewer than the held keys / this go in by a search each and block
    // moves of the keys between them, more by one pass over the held keys (a search
    // and a block cost some tens of instructions, a key of the pass about ten).
    static constexpr std::size_t kFewChanges = 8;

    // The rebuild policy: whether the tracker is to be built again around `key`.
    // So it is when the key lies within a quarter of the margin it was built with
    // of an end beyond which keys are only counted (the rank may soon leave the held
    // keys), or when more than kHeldShare such margins' worth of keys are held (a
    // tracker built over few values holds them all, and every key held costs its
    // share of each change and each copy).
    bool needs_rebuild(std::uint32_t key) const noexcept;
    static constexpr std::size_t kEdgeShare = 4;
    static constexpr std::size_t kHeldShare = 4;

    // The margin of ranks held on each side for a stream whose calls change about
    // `changes` values: at least kLeastMargin, and kMarginCalls calls' worth, so that
    // a rank moving with the changes stays inside for a few calls. Every held key
    // costs each change pass; a rebuild costs a pass over all values. Measured in
    // instructions per call (3 s and 30 s contexts, on and off the grid): 2 calls
    // beat 4 wherever calls change many values (off the grid); 1 call, or a least
    // margin of 32, lose on 100-sample and 30 s rows.
    static constexpr std::size_t kLeastMargin = 64;
    static constexpr std::size_t kMarginCalls = 2;
    static std::size_t margin_for(std::size_t changes) noexcept {
        return changes > kLeastMargin / kMarginCalls ? kMarginCalls * changes : kLeastMargin;
    }

private:
    std::vector<std::uint32_t> keys_;
    std::uint32_t low_ = 0, high_ = 0xffffffffu;
    std::size_t below_ = 0, above_ = 0;
    std::size_t margin_ = kLeastMargin;  // that of the last build
    bool borrows_ = false;      // holds no keys: selects among another tracker's
    bool hinted_ = false;
    std::uint32_t hint_ = 0;    // the lower key the last selection found
    std::size_t hint_at_ = 0;  // where it searched from then: near the hint's place

    // The selection among the held keys [from, to), which are those in [first, last].
    struct Held {
        std::size_t from, to;
        std::uint32_t first, last;
    };
    Held held_around(std::size_t at, std::size_t reach) const noexcept;
    // The number of held keys below `hint`, stepping from `from` (at most kHintSteps
    // steps: a call changes few keys near it) before a bisection.
    std::size_t hint_index(std::size_t from, std::uint32_t hint) const noexcept;
    static constexpr std::size_t kHintSteps = 4;
    // The changes of change() by a search each: `gone` and `come` ascending, each
    // gone key held.
    void take_out_by_blocks(std::span<const std::uint32_t> gone) noexcept;
    void put_in_by_blocks(std::span<const std::uint32_t> come);
    std::optional<RankedKeys> select_between(std::span<const std::uint32_t> loose, std::size_t lo, std::size_t hi,
                                             const Held& held, std::uint32_t* gathered) const;
};

}  // namespace talvane
