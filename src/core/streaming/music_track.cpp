// A stream's music measure: planned per chunk aside, committed with the context.
#include "streaming/music_track.hpp"

#include <algorithm>
#include <cassert>

namespace talvane {

void plan_music(MusicStep& step, MusicTrack& track, bool same_stream, std::uint64_t sample_rate,
                std::uint64_t window_len, std::uint64_t context_len, std::span<const float> chunk, std::uint64_t keep,
                std::vector<MusicValues>& spare) {
    step.on = track.on;
    if (!step.on) return;
    // A track that has taken nothing yet (only empty or disabled chunks before) is
    // begun here too: its measure must be made for this rate and window.
    const bool fresh_stream = !same_stream || track.seen < context_len || track.seen == 0;
    step.restart = fresh_stream;
    step.slot = static_cast<std::uint8_t>(1 - track.current);
    MusicMeasure& measure = track.measures[step.slot];
    if (fresh_stream) {
        measure = MusicMeasure(sample_rate, window_len);
    } else if (track.other_behind) {
        measure.catch_up(track.measures[track.current]);
        assert(measure.same_state(track.measures[track.current]) && "the measures a call apart");
    } else {
        measure = track.measures[track.current];
    }
    track.other_behind = false;  // the chunk goes through it now
    const std::span<const MusicValues> held =
        fresh_stream ? std::span<const MusicValues>{} : track.spectra.view();
    const std::uint64_t first = fresh_stream ? 1 : track.first;
    const std::uint64_t seen = fresh_stream ? context_len : track.seen;
    // Started anew over a context (switched on mid-stream), the measure begins with
    // the chunk: its spectra fall after the chunk's first sample, not the context's.
    const std::uint64_t start = fresh_stream ? context_len : track.start;
    step.fresh = std::move(spare);
    step.fresh.resize(static_cast<std::size_t>(measure.spectra_after(chunk.size())));
    step.fresh.resize(measure.process(chunk, step.fresh));
    step.seen = seen + chunk.size();
    // The next call's windows end after its context's first sample: the spectra
    // before the one complete there are read no more.
    const std::uint64_t period = measure.period();
    const std::uint64_t next_first = step.seen - keep;
    const std::uint64_t needed = std::max<std::uint64_t>(1, next_first > start ? (next_first - start) / period : 0);
    step.drop = std::min<std::uint64_t>(needed > first ? needed - first : 0, held.size() + step.fresh.size());
    step.lookup = MusicLookup{held, first, step.fresh, period, seen - context_len, start};
}

void reserve_music(MusicTrack& track, const MusicStep& step, std::uint64_t limit) {
    if (!step.on) return;
    const std::size_t kept = step.lookup.held.size() + step.fresh.size() - static_cast<std::size_t>(step.drop);
    track.spectra.reserve(kept, static_cast<std::size_t>(limit / step.lookup.period + 2));
}

void reserve_music_stream(MusicTrack& track, std::vector<MusicValues>& spare, std::uint64_t sample_rate,
                          std::uint64_t window_len, std::uint64_t limit, std::size_t max_chunk) {
    if (!track.on) return;
    const MusicMeasure measure(sample_rate, window_len);
    const auto most = static_cast<std::size_t>((limit + max_chunk) / measure.period() + 2);
    track.spectra.reserve(most, most);
    spare.reserve(static_cast<std::size_t>(max_chunk / measure.period() + 1));
}

void commit_music(MusicTrack& track, MusicStep& step, std::vector<MusicValues>& spare) noexcept {
    if (!step.on) return;
    if (step.restart) track.spectra.clear();  // a new stream: nothing held was read
    const std::size_t old_len = track.spectra.size();
    const std::size_t keep = old_len + step.fresh.size() - static_cast<std::size_t>(step.drop);
    track.spectra.replace(old_len, step.fresh, keep);
    track.first = step.lookup.first + step.drop;
    track.start = step.lookup.start;
    track.current = step.slot;
    track.other_behind = !step.restart;
    track.seen = step.seen;
    spare = std::move(step.fresh);
}

void reset_music(MusicTrack& track) noexcept {
    track.measures[track.current] = MusicMeasure();
    track.other_behind = false;
    track.seen = 0;
    track.start = 0;
    track.spectra.clear();
    track.first = 1;
}

}  // namespace talvane
