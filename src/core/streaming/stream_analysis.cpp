// The streaming analysis: lay windows, take energies, smooth, rank, threshold, flags.
#include "streaming/stream_analysis.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <limits>

#include "analysis/energy.hpp"
#include "analysis/noise_rule.hpp"
#include "streaming/grid_run.hpp"

namespace talvane {

namespace {

constexpr std::uint64_t kMaxWord = std::numeric_limits<std::uint64_t>::max();

// Ranks held on each side of the rank when a selection runs over every value: a
// few, for the next such selection to gather only the keys near them (a call that
// keeps no run moves the floor by a few ranks).
constexpr std::size_t kWholeMargin = 8;

// The keys at ranks lo and hi of every value of the call, through the working
// tracker: first built from one pass that gathers the keys near where `guide` (the
// run's tracker, or the working tracker as the last such selection left it) found
// its rank, then, when the ranks lie outside, from a selection over all keys.
RankedKeys select_all(StreamAnalysis& a, RankId id, std::size_t lo, std::size_t hi, const RankTracker* guide) {
    ValueRuns all;
    a.smoothed.append(0, a.n, all);
    RankTracker& whole = a.whole[id];
    const RankTracker& near = guide != nullptr ? *guide : whole;
    const std::uint32_t reach = near.hinted() ? near.key_reach(kWholeMargin) : 0;
    if (reach > 0 && whole.build_within(all, near.hint(), kWholeMargin, reach, a.scratch)) {
        const std::optional<RankedKeys> found = whole.select(ValueRuns{}, lo, hi, a.scratch);
        if (found.has_value()) return *found;
    }
    whole.build(all, lo, kWholeMargin, a.scratch);
    return *whole.select(ValueRuns{}, lo, hi, a.scratch);
}

// The loose values of a call: those outside the trackers' multiset.
ValueRuns loose_values(const StreamAnalysis& a) {
    ValueRuns loose;
    a.smoothed.append(0, a.settled, loose);
    a.smoothed.append(a.complete, a.n, loose);
    return loose;
}

// Their keys, made at the first tracker's selection of the call and read by the others.
std::span<const std::uint32_t> loose_keys(StreamAnalysis& a) {
    const ValueRuns loose = loose_values(a);
    const std::size_t n = loose.size();
    if (!a.loose_keyed) {
        if (a.loose_keys.size() < n) a.loose_keys.resize(n);
        std::uint32_t* keys = a.loose_keys.data();
        for (std::size_t r = 0, at = 0; r < loose.used; ++r) {
            for (const float v : loose.runs[r]) keys[at++] = total_order_key(v);
        }
        a.loose_keyed = true;
    }
    return {a.loose_keys.data(), n};
}

// The next tracker of rank `id` built from the settled values around `key`: the
// run's multiset after this call, its held keys centred on the rank found.
void rebuild_tracker(StreamAnalysis& a, RankId id, std::uint32_t key, std::size_t changes, const GridRun* run) {
    ValueRuns settled;
    a.smoothed.append(a.settled, a.complete, settled);
    const std::size_t margin = RankTracker::margin_for(changes);
    if (run != nullptr && a.next_ranks[id].build_near(settled, key, margin, run->ranks[id], a.scratch)) return;
    std::size_t rank = 0;
    for (std::size_t r = 0; r < settled.used; ++r) {
        for (const float v : settled.runs[r]) rank += total_order_key(v) < key ? 1 : 0;
    }
    if (settled.size() == 0) {
        a.next_ranks[id].clear();
        return;
    }
    a.next_ranks[id].build(settled, std::min(rank, settled.size() - 1), margin, a.scratch);
}

// The keys at ranks lo and hi for tracked rank `id`: from the run's tracker moved
// on by this call's changes (`changes_of_run`, given when the call continues a
// run), else from all values; the next tracker is built again when the rank left
// its held keys or nears an end. A rank after the floor's borrows the floor's
// tracker, which this call has moved on already, while that one holds every key.
RankedKeys select_rank(StreamAnalysis& a, const GridRun* run, const RunChanges* changes_of_run, RankId id,
                       std::size_t lo, std::size_t hi) {
    const bool keeps = a.run_written != StreamAnalysis::kNoRun;
    const RankTracker& first = a.next_ranks[kFloorRank];  // this call's, selected from already
    if (changes_of_run != nullptr && id != kFloorRank && first.holds_all()) {
        // The floor's tracker holds every key: this rank selects among them.
        RankTracker& next = a.next_ranks[id];
        next.borrow(run->ranks[id]);
        const std::span<const std::uint32_t> loose = loose_keys(a);
        if (a.scratch.size() < loose.size() + 1) a.scratch.resize(loose.size() + 1);
        const std::optional<RankedKeys> found = next.select_keys_in(first, loose, lo, hi, a.scratch.data());
        assert(found.has_value() && "a tracker that holds every key holds every rank");
        return *found;
    }
    if (changes_of_run != nullptr && !run->ranks[id].borrows()) {
        const RunChanges& changes = *changes_of_run;
        RankTracker& next = a.next_ranks[id];
        next.assign(run->ranks[id]);
        next.change(changes.leaving, changes.entering, a.scratch);
        const std::span<const std::uint32_t> loose = loose_keys(a);
        if (a.scratch.size() < loose.size() + 1) a.scratch.resize(loose.size() + 1);
        const std::optional<RankedKeys> found = next.select_keys(loose, lo, hi, a.scratch.data());
        a.tracked = found.has_value();
        if (found.has_value() && !next.needs_rebuild(found->low)) return *found;
        const RankedKeys keys = found.has_value() ? *found : select_all(a, id, lo, hi, &run->ranks[id]);
        rebuild_tracker(a, id, keys.low, changes.count, run);
        a.rebuilt = true;
        return keys;
    }
    // A new run, or a rank whose tracker borrowed the floor's keys and no longer can.
    const RankedKeys keys = select_all(a, id, lo, hi, nullptr);
    // A new run changes by about the windows dropped and appended between two
    // calls on its grid, as many calls apart as the lattice has phases.
    const std::size_t visit = static_cast<std::size_t>(a.store.lattice.phases()) * a.kept_from + 1;
    if (keeps) rebuild_tracker(a, id, keys.low, 2 * visit, nullptr);
    return keys;
}

// The noise floor (and every tracked rank) of the call's smoothed energies.
void rank_values(StreamAnalysis& a, const GateConfig& config, const GridRun* run) {
    if (a.n < 2) {
        a.floor = a.high = a.n == 1 ? a.smoothed[0] : 0.0f;
        for (std::size_t id = 0; id < a.ranks; ++id) {
            a.ranked[id] = RankedKeys{total_order_key(a.floor), total_order_key(a.floor)};
            if (a.run_written != StreamAnalysis::kNoRun) rebuild_tracker(a, static_cast<RankId>(id), 0, 1, nullptr);
        }
        return;
    }
    a.tracked = a.rebuilt = false;
    a.loose_keyed = false;
    // The windows that leave and enter the run's multiset, the same for every tracker.
    RunChanges changes;
    const bool continues = run != nullptr && a.run_written != StreamAnalysis::kNoRun;
    if (continues) changes = run_changes(a, *run);
    for (std::size_t id = 0; id < a.ranks; ++id) {
        const float percentile = rank_percentile(config, static_cast<RankId>(id));
        StreamAnalysis::RankPlace& place = a.places[id];
        const bool same = std::bit_cast<std::uint32_t>(place.percentile) == std::bit_cast<std::uint32_t>(percentile);
        if (place.n != a.n || !same) {
            place = {a.n, percentile, floor_ranks(a.n, percentile)};
        }
        const FloorRanks& ranks = place.ranks;
        a.ranked[id] = select_rank(a, run, continues ? &changes : nullptr, static_cast<RankId>(id), ranks.lo, ranks.hi);
        const float value = interpolate_floor(from_total_order_key(a.ranked[id].low),
                                              from_total_order_key(a.ranked[id].high), ranks);
        (id == kFloorRank ? a.floor : a.high) = value;
    }
}

// Each cleaned window's music values and threshold: window t ends at
// min((t + 1) * W, total) samples after the context's start.
std::span<const float> music_thresholds(StreamAnalysis& a, const GateConfig& config, const MusicLookup& music) {
    if (a.music.size() < a.flag_count) a.music.resize(a.flag_count);
    if (a.thresholds.size() < a.flag_count) a.thresholds.resize(a.flag_count);
    if (a.flag_count == 0) return {};
    // Every window but the last is whole.
    const std::size_t whole = a.flag_count - 1;
    music.at_every((a.first_flag + 1) * a.window_len, a.window_len, whole, a.music.data());
    a.music[whole] = music.at(std::min<std::uint64_t>(a.n * a.window_len, a.total));
    for (std::size_t i = 0; i < a.flag_count; ++i) {
        a.thresholds[i] = raised_threshold(a.threshold.value, a.music[i].factor, config.max_thresh);
    }
    return {a.thresholds.data(), a.flag_count};
}

// Voice decision and the four cleaning passes over the windows within their reach
// of the chunk's first window.
void clean_flags(StreamAnalysis& a, const GateConfig& config, std::size_t chunk_first, const MusicLookup* music) {
    set_flag_range(a, config, chunk_first);
    for (std::size_t t = a.first_flag; t < a.n; ++t) a.suffix[t - a.first_flag] = a.smoothed[t];
    const std::span<const float> smoothed(a.suffix.data(), a.flag_count);
    const std::span<std::uint8_t> flags(a.flags.data(), a.flag_count);
    a.with_music = music != nullptr;
    if (music != nullptr) {
        keep_flags_into(config, smoothed, music_thresholds(a, config, *music), a.cleaning, flags);
    } else {
        keep_flags_into(config, smoothed, a.threshold.value, a.cleaning, flags);
    }
}

}  // namespace

void set_flag_range(StreamAnalysis& a, const GateConfig& config, std::size_t chunk_first) {
    const std::uint64_t reach = cleaning_reach(config);
    a.first_flag = chunk_first > reach ? static_cast<std::size_t>(chunk_first - reach) : 0;
    a.flag_count = a.n - a.first_flag;
    if (a.suffix.size() < a.flag_count) a.suffix.resize(a.flag_count);
    if (a.flags.size() < a.flag_count) a.flags.resize(a.flag_count);
    if (a.cleaning.capacity() < a.flag_count / 2 + 2) a.cleaning.reserve(a.flag_count / 2 + 2);
}

float rank_percentile(const GateConfig& config, RankId id) {
    switch (id) {
        case kHighRank: return kRuleHighPercentile;
        case kFloorRank:
        case kRankCount: break;
    }
    return config.noise_floor_percentile;
}

void set_threshold(StreamAnalysis& a, const GateConfig& config, ThresholdRule rule) {
    if (rule == ThresholdRule::noise) {
        const RuleThreshold t = noise_rule_threshold(config, a.floor, a.high);
        a.threshold = t.threshold;
        a.ratio = t.ratio;
    } else {
        a.threshold = threshold_for(config, a.floor);
        a.ratio = config.threshold_ratio;
    }
}

void CallSmoothed::append(std::size_t a, std::size_t b, ValueRuns& out) const noexcept {
    if (a >= b) return;
    if (a < meet) out.add(std::span<const float>(front + a, std::min(b, meet) - a));
    const std::size_t r0 = std::max(a, meet), r1 = std::min(b, run_end);
    if (r0 < r1) out.add(std::span<const float>(run + r0, r1 - r0));
    const std::size_t t0 = std::max(a, run_end);
    if (t0 < b) out.add(std::span<const float>(tail + (t0 - run_end), b - t0));
}

std::uint64_t cleaning_reach(const GateConfig& config) {
    auto add = [](std::uint64_t a, std::uint64_t b) { return a > kMaxWord - b ? kMaxWord : a + b; };
    std::uint64_t reach = config.min_voice_windows > 1 ? config.min_voice_windows - 1 : 0;
    reach = add(reach, config.max_silence_gap_windows);
    reach = add(reach, config.pad_voice_windows);
    return add(reach, config.pass_windows);
}

void analyse_stream(StreamAnalysis& a, const GateConfig& config, const StreamCaches& caches, bool same_stream,
                    const Combined& combined, std::uint64_t window_len, std::uint64_t dropped, ThresholdRule rule,
                    const MusicLookup* music) {
    // Lay windows: window k covers [start + k * W, start + (k + 1) * W) of the stream.
    a.window_len = window_len;
    a.total = combined.context.size() + combined.chunk.size();
    a.start = combined.start;
    a.dropped = dropped;
    a.n = static_cast<std::size_t>(window_count(a.total, window_len));
    a.complete = static_cast<std::size_t>(a.total / window_len);
    // Take energies: from the store, as it was and as this call extends it.
    const WindowStore none;
    const WindowStore& store = same_stream ? caches.store : none;
    plan_store(a.store, store, same_stream, combined, window_len, dropped,
               bounded_applies(config, window_len) && music == nullptr);
    // A grid that does not come back soon enough to reuse anything: from bounds.
    const bool regime = a.store.lattice.window_len == 0;
    plan_prefix(a.prefix, caches.prefix, same_stream, regime, combined, window_len, dropped, config.smooth_alpha);
    a.bounded = false;
    a.with_music = false;
    a.ranks = rule == ThresholdRule::noise ? 2 : 1;
    a.high = std::numeric_limits<float>::quiet_NaN();
    if (regime && analyse_bounded(a, config, caches, combined, rule)) {
        a.run_read = a.run_written = StreamAnalysis::kNoRun;
        a.has_nan = a.tracked = a.rebuilt = false;
        a.lanes = StreamAnalysis::Lanes::none;
        a.smoothed = CallSmoothed{};
        a.energies = GridEnergies{};
        return;
    }
    a.energies = grid_energies(store, a.store, combined, window_len, a.direct, a.join);
    // Smooth, continuing the run of this grid when one is kept.
    const GridRun* run = same_stream ? find_run(a, caches) : nullptr;
    smooth_call(a, config.smooth_alpha, run);
    plan_run(a, caches, run);
    // Floor, threshold, flags.
    rank_values(a, config, a.smoothed.meet < a.smoothed.run_end ? run : nullptr);
    set_threshold(a, config, rule);
    clean_flags(a, config, static_cast<std::size_t>(combined.context.size() / window_len), music);
}

void reserve_analysis(StreamCaches& caches, StreamAnalysis& a, std::uint64_t limit) {
    const auto windows = static_cast<std::size_t>(limit / a.window_len + 2);  // of a full context
    reserve_store(caches.store, a.store, windows * static_cast<std::size_t>(a.store.lattice.phases()));
    reserve_run(caches, a, windows);
    reserve_prefix(caches.prefix, a.prefix, limit);
}

void commit_analysis(StreamCaches& caches, StreamAnalysis& a) noexcept {
    ++caches.calls;
    commit_store(caches.store, a.store);
    commit_run(caches, a);
    commit_prefix(caches.prefix, a.prefix);
    if (a.bounded) caches.hints = a.hints;
    // Without a lattice the grids do not come back: no run would be found again.
    if (a.store.lattice.window_len == 0) {
        for (GridRun& run : caches.runs) run.live = false;
    }
}

void reserve_caches(StreamCaches& caches, StreamAnalysis& a, std::uint64_t window_len, std::uint64_t limit,
                    std::size_t max_chunk, std::size_t ranks) {
    const auto n = static_cast<std::size_t>(window_count(limit + max_chunk, window_len) + 1);
    const std::size_t slots = static_cast<std::size_t>(kMaxPhases) * n;
    const auto w = static_cast<std::size_t>(window_len);
    caches.store.energies.reserve(slots, slots);
    constexpr std::size_t kLaneValues = SmoothingLanes::kLanes * SmoothingLanes::kReach;
    for (GridRun& run : caches.runs) {
        run.smoothed.reserve(n, n);
        for (std::size_t id = 0; id < ranks; ++id) run.ranks[id].reserve(n);
        run.lanes.values.reserve(kLaneValues);
    }
    a.made.values.reserve(kLaneValues);
    for (std::vector<float>* v : {&a.direct, &a.all_energies, &a.front, &a.tail, &a.suffix, &a.thresholds}) {
        if (v->size() < n) v->resize(n);
    }
    if (a.flags.size() < n) a.flags.resize(n);
    if (a.music.size() < n) a.music.resize(n);
    if (a.scratch.size() < 2 * n + 1) a.scratch.resize(2 * n + 1);
    a.cleaning.reserve(n / 2 + 2);
    if (a.loose_keys.size() < n) a.loose_keys.resize(n);
    for (std::size_t id = 0; id < ranks; ++id) {
        a.next_ranks[id].reserve(n);
        a.whole[id].reserve(n);
    }
    a.join.reserve(w);
    reserve_store_step(a.store, window_len, slots);
    reserve_bounded(caches.prefix, a.prefix, a.bounded_call, window_len, limit, max_chunk);
}

}  // namespace talvane
