// Grid runs: the smoothing restart and where it converges, the settled windows, commits.
#include "streaming/grid_run.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace talvane {

namespace {

// The front a run keeps out of its trackers only grows while calls leave it as it
// was; once it is more than twice this call's front and a few windows, the
// windows between go back into the trackers, since each call reads every loose one.
constexpr std::size_t kFrontGrowth = 2;
constexpr std::size_t kFrontSlack = 16;  // windows

std::uint32_t bits(float v) noexcept { return std::bit_cast<std::uint32_t>(v); }

// Whether a value is NaN, in one pass without an early exit, which vectorises.
bool any_nan(const float* values, std::size_t n) noexcept {
    unsigned nan = 0;
    for (std::size_t i = 0; i < n; ++i) nan |= std::isnan(values[i]) ? 1u : 0u;
    return nan != 0;
}

float* room(std::vector<float>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// The batch loop over every energy of the call, for the NaN rule.
void smooth_whole(StreamAnalysis& a, float alpha) {
    float* energies = room(a.all_energies, a.n);
    for (std::size_t k = 0; k < a.n; ++k) energies[k] = a.energies[k];
    smooth_energies_into(std::span<const float>(energies, a.n), alpha, std::span<float>(a.tail.data(), a.n));
    a.smoothed = CallSmoothed{0, 0, a.n, a.front.data(), nullptr, a.tail.data()};
}

// Lanes for this call (lane 0) and the grid's next calls, run side by side over the
// store's energies, from each lane's start until each has met the one before it
// (lane 0 the run): a lane that has met goes on with the values the calls before it
// leave. Gives the windows run; the lanes go to a.made.
std::size_t run_lanes(StreamAnalysis& a, const float* run_values, std::size_t step, std::size_t length, float alpha) {
    using L = SmoothingLanes;
    const GridEnergies& e = a.energies;
    SmoothingLanes& made = a.made;
    made.stride = length;
    made.values.resize(L::kLanes * length);
    float running[L::kLanes] = {};
    std::size_t k = 0, met = 0;  // lanes [0, met) have met
    unsigned nan = 0;
    while (k < length && met < L::kLanes) {
        const float energy = e.held[k * e.stride];
        if (k % step == 0 && k / step < L::kLanes) running[k / step] = energy;  // as the analysis starts
        // Every lane steps each window (those not started yet on a value never
        // read): the chains are independent, so they run side by side.
        for (std::size_t j = 0; j < L::kLanes; ++j) running[j] = smooth_step(running[j], alpha, energy);
        for (std::size_t j = 0; j < L::kLanes; ++j) made.values[j * length + k] = running[j];
        while (met < L::kLanes && k >= met * step &&
               bits(running[met]) == bits(met == 0 ? run_values[k] : running[met - 1])) {
            made.met[met++] = k;
        }
        ++k;
    }
    for (std::size_t j = met; j < L::kLanes; ++j) made.met[j] = k;
    // Lanes that met a NaN (a NaN energy, or a smoothing that makes one) are not
    // kept: the call's NaN rule redoes its smoothing whole in any case. A step
    // keeps a NaN running value NaN, so the lanes' last values show every NaN a
    // lane met after its start.
    for (std::size_t j = 0; j < L::kLanes; ++j) nan |= std::isnan(running[j]) ? 1u : 0u;
    if (nan != 0) return 0;
    made.origin = a.start;
    made.step = step;
    made.length = k;
    made.next = 1;
    return k;
}

// The restart this call may read: the run's lane that starts at the call's first
// window, or lanes run now for this call and the grid's next ones when the grid
// comes back a whole number of windows later (after as many calls as the lattice
// has phases, each dropping the chunk's length). Null when neither: the restart is
// then run alone.
const float* restart_lane(StreamAnalysis& a, const GridRun& run, std::size_t run_len, float alpha,
                          std::size_t& lane_len, std::size_t& met_at) {
    using L = SmoothingLanes;
    const SmoothingLanes& held = run.lanes;
    const std::uint64_t w = a.window_len;
    a.lanes = StreamAnalysis::Lanes::none;
    if (held.step > 0 && held.next < L::kLanes && a.start == held.origin + held.next * held.step * w) {
        const std::size_t from = held.next * held.step;
        lane_len = held.length > from ? held.length - from : 0;
        met_at = held.met[held.next] > from ? held.met[held.next] - from : 0;
        a.lanes = StreamAnalysis::Lanes::used;
        return held.values.data() + held.next * held.stride + from;
    }
    const std::uint64_t shift = a.dropped * a.store.lattice.phases();
    if (shift % w != 0 || shift == 0 || a.dropped != a.store.chunk_len || a.energies.held_begin != 0) return nullptr;
    const std::size_t step = static_cast<std::size_t>(shift / w);
    const std::size_t last = held.length + held.length / 4 + L::kLanes;
    const std::size_t length = std::min({std::max(L::kLeastRun, last), L::kReach, run_len, a.energies.held_end});
    if (length <= step) return nullptr;
    lane_len = run_lanes(a, run.smoothed.view().data() + a.offset_in_run, step, length, alpha);
    if (lane_len == 0) return nullptr;
    met_at = a.made.met[0];
    a.lanes = StreamAnalysis::Lanes::made;
    return a.made.values.data();
}

// The restart from the call's first window until it meets the run's values: read
// from `lane` as far as it reaches (its values then serve as the front in place),
// else run on into a.front. Gives the meeting window (or run_len) and whether it
// met; `restarted` is where the front's values lie, `running` the last value.
std::size_t restart(StreamAnalysis& a, const float* lane, std::size_t lane_len, std::size_t met_at,
                    const float* values, std::size_t run_len, float alpha, bool& met, const float*& restarted,
                    float& running) {
    std::size_t k = 0;
    met = false;
    restarted = lane;
    running = a.energies[0];  // as the analysis starts
    // Where the lane met the one before it is where it meets the run the call before
    // left, when that call read that lane: one comparison shows it. Any window where
    // the two agree serves as the meeting, since they agree from the first on.
    if (met_at < std::min(run_len, lane_len) && bits(lane[met_at]) == bits(values[met_at])) {
        met = true;
        return met_at;
    }
    for (const std::size_t to = std::min(run_len, lane_len); k < to; ++k) {
        if (bits(lane[k]) == bits(values[k])) {
            met = true;
            break;
        }
    }
    if (met) return k;
    float* front = a.front.data();
    if (k > 0) {
        std::copy(lane, lane + k, front);
        running = lane[k - 1];
    }
    restarted = front;
    for (; k < run_len; ++k) {
        running = smooth_step(running, alpha, a.energies[k]);
        if (bits(running) == bits(values[k])) {
            met = true;
            break;
        }
        front[k] = running;
    }
    return k;
}

}  // namespace

const GridRun* find_run(StreamAnalysis& a, const StreamCaches& caches) {
    a.run_read = StreamAnalysis::kNoRun;
    for (std::size_t i = 0; i < caches.runs.size(); ++i) {
        const GridRun& run = caches.runs[i];
        if (!run.live || a.start < run.start || (a.start - run.start) % a.window_len != 0) continue;
        const std::uint64_t d = (a.start - run.start) / a.window_len;
        if (d >= run.smoothed.size()) continue;
        a.run_read = i;
        a.offset_in_run = static_cast<std::size_t>(d);
        return &run;
    }
    return nullptr;
}

void smooth_call(StreamAnalysis& a, float alpha, const GridRun* run) {
    const std::size_t n = a.n;
    room(a.front, n);
    float* tail = room(a.tail, n);
    const std::size_t run_len = run != nullptr ? run->smoothed.size() - a.offset_in_run : 0;
    const float* values = run != nullptr ? run->smoothed.view().data() + a.offset_in_run : nullptr;
    std::size_t lane_len = 0, met_at = static_cast<std::size_t>(-1);
    const float* lane = run != nullptr ? restart_lane(a, *run, run_len, alpha, lane_len, met_at) : nullptr;
    bool met = false;
    const float* restarted = nullptr;
    float running = 0.0f;
    const std::size_t k = restart(a, lane, lane_len, met_at, values, run_len, alpha, met, restarted, running);
    const std::size_t run_end = met ? run_len : k;
    if (met) running = values[run_len - 1];
    for (std::size_t j = run_end; j < n; ++j) {
        running = smooth_step(running, alpha, a.energies[j]);
        tail[j - run_end] = running;
    }
    a.smoothed = CallSmoothed{k, run_end, n, restarted, values, tail};
    // A front read whole from a lane holds no NaN: lanes that met one are not kept.
    const bool from_lane = restarted == lane && lane != nullptr;
    a.has_nan = (!from_lane && any_nan(restarted, k)) || any_nan(tail, n - run_end);
    if (a.has_nan) smooth_whole(a, alpha);
}

void plan_run(StreamAnalysis& a, const StreamCaches& caches, const GridRun* run) {
    const std::uint64_t w = a.window_len;
    a.kept_from = static_cast<std::size_t>(std::min<std::uint64_t>(a.dropped / w + (a.dropped % w != 0), a.n));
    a.run_written = StreamAnalysis::kNoRun;
    // A run is kept for a grid that comes back: one on the store's lattice.
    const bool keeps = !a.has_nan && a.complete > a.kept_from && a.store.lattice.block != 0 &&
                       a.dropped % a.store.lattice.block == 0;
    if (!keeps) return;
    if (a.run_read != StreamAnalysis::kNoRun) {
        a.run_written = a.run_read;
    } else {
        std::size_t oldest = 0;
        for (std::size_t i = 0; i < caches.runs.size() && a.run_written == StreamAnalysis::kNoRun; ++i) {
            if (!caches.runs[i].live) a.run_written = i;
            if (caches.runs[i].last_call < caches.runs[oldest].last_call) oldest = i;
        }
        if (a.run_written == StreamAnalysis::kNoRun) a.run_written = oldest;
    }
    const std::size_t met = a.smoothed.meet < a.smoothed.run_end ? a.smoothed.meet : a.n;
    std::size_t settled = a.kept_from;
    if (run != nullptr && met < a.n) {
        const std::size_t d = a.offset_in_run;
        const std::size_t before = run->settled > d ? run->settled - d : 0;
        settled = std::max(before, met);
        if (before > kFrontGrowth * met + kFrontSlack) settled = met;
    }
    a.settled = std::min(std::max(settled, a.kept_from), a.complete);
}

RunChanges run_changes(const StreamAnalysis& a, const GridRun& run) {
    RunChanges c;
    const std::span<const float> values = run.smoothed.view();
    const std::size_t from = run.settled, to = a.offset_in_run + a.settled;
    if (from < to) c.leaving.add(values.subspan(from, std::min(to, values.size()) - from));
    if (to < from) c.entering.add(values.subspan(to, from - to));
    a.smoothed.append(std::max(a.smoothed.run_end, a.settled), a.complete, c.entering);
    c.count = c.leaving.size() + c.entering.size();
    return c;
}

void reserve_run(StreamCaches& caches, const StreamAnalysis& a, std::size_t most) {
    if (a.run_written == StreamAnalysis::kNoRun) return;
    const std::size_t keep = a.complete - a.kept_from;
    caches.runs[a.run_written].smoothed.reserve(keep, std::max(keep, most));
}

void commit_run(StreamCaches& caches, StreamAnalysis& a) noexcept {
    const std::uint64_t next = a.start + a.dropped, w = a.window_len;
    if (a.run_read != StreamAnalysis::kNoRun) caches.runs[a.run_read].last_call = caches.calls;
    if (a.run_written != StreamAnalysis::kNoRun) {
        GridRun& run = caches.runs[a.run_written];
        const std::size_t keep = a.complete - a.kept_from;
        const CallSmoothed& s = a.smoothed;
        if (a.run_written == a.run_read) {
            // The restarted front over the run's values, then the new windows after them.
            float* values = run.smoothed.data() + a.offset_in_run;
            std::copy(s.front, s.front + s.meet, values);
            run.smoothed.replace(run.smoothed.size(), std::span<const float>(s.tail, a.complete - s.run_end), keep);
        } else {
            run.smoothed.replace(0, std::span<const float>(s.tail + a.kept_from, keep), keep);
        }
        run.start = a.start + a.kept_from * w;
        run.settled = a.settled - a.kept_from;
        run.live = true;
        run.last_call = caches.calls;
        std::swap(run.ranks, a.next_ranks);
        // Lanes: one read moves the turn on, ones run replace those held.
        if (a.lanes == StreamAnalysis::Lanes::made) std::swap(run.lanes, a.made);
        if (a.lanes == StreamAnalysis::Lanes::used) ++run.lanes.next;
        if (a.lanes == StreamAnalysis::Lanes::none || a.run_written != a.run_read) run.lanes.step = 0;
    }
    for (GridRun& run : caches.runs) {
        if (run.live && run.start + run.smoothed.size() * w <= next) run.live = false;
    }
}

}  // namespace talvane
