// The music measure of a stream: its state after the samples the context has
// taken, and the values of the spectra that the context's windows read.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/music_decision.hpp"
#include "streaming/sliding_buffer.hpp"

namespace talvane {

// The spectra a call's windows read: those the stream kept (spectra first, first +
// 1, ...) followed by those the call's chunk completes. A window reads the last
// spectrum complete at its end, which the two hold from the context's start on.
struct MusicLookup {
    std::span<const MusicValues> held;
    std::uint64_t first = 1;     // the spectrum held[0] is
    std::span<const MusicValues> fresh;  // spectra first + held.size(), ...
    std::uint64_t period = 1;    // samples per spectrum
    std::uint64_t origin = 0;    // stream position of the call's first sample (the context's)
    std::uint64_t start = 0;     // stream position of the measure's first sample

    // The values of the window ending `end` samples after the context's start:
    // spectrum m is taken after start + m * period. kNoMusic for a window ending
    // before the first spectrum, and for a spectrum not held (which a track kept in
    // step never asks for).
    MusicValues at(std::uint64_t end) const noexcept {
        const std::uint64_t position = origin + end;
        if (position < start) return kNoMusic;
        return spectrum((position - start) / period);
    }
    // at(first_end), at(first_end + step), ... for `count` windows into `out`: one
    // division for them all, the spectrum's number moved on by the remainder.
    void at_every(std::uint64_t first_end, std::uint64_t step, std::size_t count, MusicValues* out) const noexcept {
        std::uint64_t position = origin + first_end;
        std::size_t i = 0;
        for (; i < count && position < start; ++i, position += step) out[i] = kNoMusic;
        if (i == count) return;
        std::uint64_t m = (position - start) / period, past = (position - start) % period;
        for (; i < count; ++i) {
            out[i] = spectrum(m);
            for (past += step; past >= period; past -= period) ++m;
        }
    }
    // Spectrum m's values, kNoMusic when it is not held.
    MusicValues spectrum(std::uint64_t m) const noexcept {
        if (m < first || m - first >= held.size() + fresh.size()) return kNoMusic;
        const auto k = static_cast<std::size_t>(m - first);
        return k < held.size() ? held[k] : fresh[k - held.size()];
    }
};

// A stream's measure between calls: off unless the stream was made with it.
struct MusicTrack {
    bool on = false;                 // chosen when the stream is made, kept through resets
    // The measure after the `seen` samples the context has taken is
    // measures[current]; a plan brings the other one level with it and runs the
    // chunk through it, and the commit makes it current (nothing copied then).
    std::array<MusicMeasure, 2> measures;
    std::uint8_t current = 0;
    // The other measure is the current one before the last committed chunk (what
    // that commit left), so bringing it level copies only what the chunk changed;
    // else (a plan ran through it and was not committed, a reset) it is copied whole.
    bool other_behind = false;
    std::uint64_t seen = 0;          // stream position after the context's last sample
    std::uint64_t start = 0;         // stream position of the measure's first sample: 0, or
                                     // the chunk after a switch with a context held
    Sliding<MusicValues> spectra;    // spectra [first, first + size)
    std::uint64_t first = 1;
};

// What one chunk does to the track, computed without touching its state: the
// measure after the chunk is in the track's other slot.
struct MusicStep {
    bool on = false;
    bool restart = false;             // the chunk starts the track anew (a new stream)
    std::uint8_t slot = 0;            // the track's slot that holds the measure after the chunk
    std::vector<MusicValues> fresh;   // the spectra the chunk completes; storage lent by the track
    std::uint64_t seen = 0;
    std::uint64_t drop = 0;           // spectra the track lets go of at the commit
    MusicLookup lookup;
};

// The step for a chunk of the stream (a new one when !same_stream) at sample_rate,
// the context holding context_len samples before it; `keep` samples of context +
// chunk make the next context. `spare` lends its storage to the step's fresh
// values. Writes only the track's slot that is not current. May throw
// std::bad_alloc.
void plan_music(MusicStep& step, MusicTrack& track, bool same_stream, std::uint64_t sample_rate,
                std::uint64_t window_len, std::uint64_t context_len, std::span<const float> chunk, std::uint64_t keep,
                std::vector<MusicValues>& spare);

// Room for the commit; may throw std::bad_alloc, changes no value.
void reserve_music(MusicTrack& track, const MusicStep& step, std::uint64_t limit);

// Room for chunks of at most max_chunk samples at a context of `limit` samples.
void reserve_music_stream(MusicTrack& track, std::vector<MusicValues>& spare, std::uint64_t sample_rate,
                          std::uint64_t window_len, std::uint64_t limit, std::size_t max_chunk);

// The track takes the step over (its fresh storage given back into `spare`).
// Needs reserve_music first; cannot fail.
void commit_music(MusicTrack& track, MusicStep& step, std::vector<MusicValues>& spare) noexcept;

// As new, still on or off; the storage stays.
void reset_music(MusicTrack& track) noexcept;

// Turns the measure on or off; a change starts the track anew (cannot fail).
inline void set_music(MusicTrack& track, bool on) noexcept {
    if (track.on != on) reset_music(track);
    track.on = on;
}

}  // namespace talvane
