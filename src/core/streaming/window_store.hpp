// The window store: the energies of a stream's windows by stream position, each summed once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "streaming/sample_ring.hpp"
#include "streaming/sliding_buffer.hpp"

namespace talvane {

// Windows of window_len samples whose starts lie every `block` samples from
// `offset` (offset < block, block divides window_len): slot j is the window at
// stream position offset + j * block. A stream whose chunks are whole windows lays
// one grid, and its lattice has block = window_len. Chunks of N samples that are not
// move the grid by N each call once the context is full, so every grid they lay
// starts on the lattice of block gcd(N, window_len); its P = window_len / block
// phases each come back every P calls.
struct Lattice {
    std::uint64_t window_len = 0;  // 0: no lattice
    std::uint64_t block = 0;       // samples
    std::uint64_t offset = 0;      // samples

    std::uint64_t phases() const noexcept { return block == 0 ? 1 : window_len / block; }
    bool operator==(const Lattice&) const = default;
};

// Phases a lattice may have: a length whose grid returns only after more calls than
// this is served without a lattice of its own (its windows would be summed many
// times over for grids that return too rarely to use them, and the store would
// hold window_len / block energies per window of context).
constexpr std::uint64_t kMaxPhases = 16;

// Slots summed at a time from squares stored by column when a lattice of several
// phases is new: the squares of about this many samples (and of one window more)
// are held at once, whatever the number of slots it sums.
constexpr std::uint64_t kPieceSamples = 8192;

// The store. It holds the energies of the slots [first, first + size) of its
// lattice, every slot complete at `end`, and every complete slot from `first` on:
// slot first + size is not complete at `end`. Derived data only: a call gives the
// same bits with or without it, and forget() may be called at any time.
struct WindowStore {
    Lattice lattice;               // window_len 0: nothing held
    std::uint64_t first = 0;       // energies[i] is that of slot first + i
    std::uint64_t end = 0;         // stream position after the last sample seen
    std::uint64_t chunk_len = 0;   // the last call's chunk length
    SlidingBuffer energies;

    void forget() noexcept {
        lattice = Lattice{};
        chunk_len = 0;
    }
};

// The store's part of one call: the lattice it follows after the call, the slots
// the call sums (those its chunk completes, or every slot from the next context's
// start when the lattice is new) and those it drops. Its buffers are reused.
struct StoreStep {
    Lattice lattice;               // after the call; window_len 0: the store forgets
    bool extends = false;          // what the store holds is kept
    std::uint64_t first = 0;       // computed[i] is the energy of slot first + i
    std::vector<float> computed;
    std::size_t count = 0;         // slots computed
    std::uint64_t keep_from = 0;   // slots before this one are dropped
    std::uint64_t end = 0;
    std::uint64_t chunk_len = 0;
    std::vector<float> squares;    // working storage of the lattice sums
    std::vector<std::size_t> starts;
    std::vector<float> sums;
};

// Context + chunk, the context's first sample at stream position `start`.
struct Combined {
    HeldSamples context;
    std::span<const float> chunk;
    std::uint64_t start;

    std::uint64_t end() const noexcept { return start + context.size() + chunk.size(); }
    // The samples from stream position `from` on, as a context and a chunk.
    Combined from(std::uint64_t position) const noexcept;
};

// Plans the store for a call over `combined` (on the same stream as the store when
// same_stream) that leaves the next context `dropped` samples later. The lattice
// after the call follows the chunk length: gcd(N, window_len) when that gives at most
// kMaxPhases phases and the length is the last call's (or the stream's first),
// else window_len; its offset puts the next context's grid on it. With `bounded`,
// a length off the grid that gets no lattice of its own gets none at all (window_len
// 0): its grids are bounded from the stream's prefix of squares instead, and the
// store keeps nothing. Reads the store, writes only `step`. May throw std::bad_alloc.
void plan_store(StoreStep& step, const WindowStore& store, bool same_stream, const Combined& combined,
                std::uint64_t window_len, std::uint64_t dropped, bool bounded);

// Room for what commit_store keeps. May throw std::bad_alloc; changes no value.
// `most` is the largest number of slots a full context holds.
void reserve_store(WindowStore& store, const StoreStep& step, std::size_t most);

// Takes the step over. Needs reserve_store first; cannot fail.
void commit_store(WindowStore& store, const StoreStep& step) noexcept;

// Room in the step's working storage for calls that sum up to `slots` slots of
// windows of window_len, so that planning them allocates nothing.
void reserve_store_step(StoreStep& step, std::uint64_t window_len, std::size_t slots);

// The energies of a call's grid (window k starts at the combined buffer's first
// sample + k * window_len): windows [held_begin, held_end) read from a lattice's
// slots every `stride` floats from `held`, windows [computed_begin, computed_end)
// likewise from `computed`, every other window from direct[k].
struct GridEnergies {
    const float* held = nullptr;
    std::size_t held_begin = 0, held_end = 0;
    const float* computed = nullptr;
    std::size_t computed_begin = 0, computed_end = 0;
    std::size_t stride = 1;
    const float* direct = nullptr;

    float operator[](std::size_t k) const noexcept {
        if (k - held_begin < held_end - held_begin) return held[(k - held_begin) * stride];
        if (k - computed_begin < computed_end - computed_begin) return computed[(k - computed_begin) * stride];
        return direct[k];
    }
};

// The energies of every window of the call's grid (n of them): from the store as
// it was, from the step, and the rest summed into `direct` (room for n floats),
// with `join` as working storage. Every value is the bits window_energies gives.
GridEnergies grid_energies(const WindowStore& store, const StoreStep& step, const Combined& combined,
                           std::uint64_t window_len, std::vector<float>& direct, std::vector<float>& join);

// Energies of windows [first, last) of the grid laid from combined's first sample,
// into out[first, last): windows inside the context or the chunk read in place,
// the one across the join through a copy in `join`.
void direct_energies(const Combined& combined, std::uint64_t window_len, std::uint64_t first, std::uint64_t last,
                     float* out, std::vector<float>& join);

}  // namespace talvane
