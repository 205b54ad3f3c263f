// A grid's smoothing run from call to call: where a restart meets it, what it keeps.
#pragma once

#include <cstddef>

#include "streaming/stream_analysis.hpp"

namespace talvane {

// The live run of the call's grid (its window offset_in_run is the call's window
// 0), recorded in a.run_read; null when none is kept.
const GridRun* find_run(StreamAnalysis& a, const StreamCaches& caches);

// The smoothing of the call's windows (a.smoothed), the one path for all of them.
// The running value starts at E[0], as the analysis starts it. With a run, the
// restart converges at the first window where its running value equals the run's,
// bit for bit: from there on the run's values stand, and the windows after the
// run's are smoothed on from its last value. A restart that never meets has
// recomputed every window of the run. The NaN rule: a call whose computed values
// hold a NaN is smoothed whole again by smooth_energies_into, the batch loop, since
// the sign of a NaN made by an addition of two NaNs follows the compiled code's
// operand order, and the sign decides where the NaN sorts; such a call keeps no run.
void smooth_call(StreamAnalysis& a, float alpha, const GridRun* run);

// Whether this call leaves a run for its grid, in which slot (the one read, a free
// one, or the one used longest ago), and which windows are then the trackers'
// multiset: from the windows the next context drops on, past the front this call
// smoothed afresh. Sets a.kept_from, a.settled and a.run_written.
void plan_run(StreamAnalysis& a, const StreamCaches& caches, const GridRun* run);

// The changes that move a run's trackers to the call's multiset: the run's values
// of windows that leave it, and those of windows that enter it.
struct RunChanges {
    ValueRuns leaving, entering;
    std::size_t count = 0;
};
RunChanges run_changes(const StreamAnalysis& a, const GridRun& run);

// Room for the run commit_run writes. May throw std::bad_alloc; changes no value.
void reserve_run(StreamCaches& caches, const StreamAnalysis& a, std::size_t most);

// Writes the planned run and its trackers, and retires runs whose windows the next
// context no longer holds. Needs reserve_run first; cannot fail.
void commit_run(StreamCaches& caches, StreamAnalysis& a) noexcept;

}  // namespace talvane
