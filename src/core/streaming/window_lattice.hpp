// The energies of every window that the grids of one off-grid chunk length lay.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "streaming/sliding_buffer.hpp"

namespace talvane {

// Chunks of N samples that are not whole windows of W move the windows' grid by N
// each call once the context is full, so every call's grid starts on the lattice
// of stream positions offset + b * g, g = gcd(N, W), and so does every window of
// every such grid: a window starts at every block of g samples, and P = W / g of
// them cover each sample, one for each phase of the grid. A phase comes back every
// P calls and needs the windows completed since; the lattice sums each window once,
// when its last sample arrives, and keeps its energy for whichever phase comes
// next. The sums of the windows completed in one call run side by side from the
// squares stored by column (lattice_window_sums), so that they take about the time
// of one window summed alone. Derived data only: a call gives the same bits with
// or without it.
struct WindowLattice {
    std::uint64_t window_len = 0;  // W; 0 when nothing is held
    std::uint64_t block = 0;       // g, samples
    std::uint64_t chunk_len = 0;   // N
    std::uint64_t offset = 0;      // block b starts at stream position offset + b * block
    std::uint64_t end = 0;         // stream position after the last sample seen
    std::uint64_t first = 0;       // energies[i] is the energy of the window at block first + i
    SlidingBuffer energies;        // of consecutive windows, all complete
    std::uint64_t last_chunk_len = 0;  // the length of the last chunk analysed

    void forget() noexcept {
        window_len = 0;
        last_chunk_len = 0;
    }
};

// The lattice's part of one call: the windows its chunk completes and the call's
// own last window when it is short. Its buffers are reused from call to call.
struct LatticeStep {
    bool kept = false;           // the lattice follows this call
    bool fresh = false;          // and starts over with it (nothing held before is used)
    std::uint64_t window_len = 0, block = 0, chunk_len = 0, offset = 0, end = 0;
    std::uint64_t first = 0;     // completed[i]: the energy of the window at block first + i
    std::vector<float> completed;
    std::uint64_t keep = 0;      // windows the lattice holds after this call, at most
    bool has_short = false;      // short_energy is that of the call's last window, which is short
    float short_energy = 0.0f;
    std::uint64_t grid_start = 0;  // the stream position of the call's first window
    std::vector<float> squares;  // working storage: the squares summed, by column
    std::vector<std::size_t> starts;
    std::vector<float> sums;
};

// Plans the lattice for a call over context + chunk whose windows are laid from
// stream position `grid_start` (the context's first sample), with windows of
// `window_len` samples, on a stream that continues the lattice's (same_stream):
// the lattice follows the call when the chunk's grid returns within `most_phases`
// calls, the context holds a whole window and drops samples (so the grid moves),
// and the chunk has the length of the last one. Reads `held`, writes only `step`.
void plan_lattice(LatticeStep& step, const WindowLattice& held, bool same_stream, std::span<const float> context,
                  std::span<const float> chunk, std::uint64_t grid_start, std::uint64_t window_len,
                  std::uint64_t dropped, std::uint64_t most_phases);

// The energies of windows [first, n) of the call's grid (window k starts at
// grid_start + k * window_len; n windows cover the `total` samples of context +
// chunk), into out[0, n - first), when the lattice and the step hold every one.
// False (and out unspecified) otherwise.
bool lattice_energies(const WindowLattice& held, const LatticeStep& step, std::uint64_t total,
                      std::uint64_t first, std::vector<float>& out);

// Makes room for what commit_lattice keeps. May throw std::bad_alloc; changes no value.
void reserve_lattice(WindowLattice& held, const LatticeStep& step);

// Takes the step over (the lattice forgets itself when the step does not keep it)
// and records the chunk length. Needs reserve_lattice first; cannot fail.
void commit_lattice(WindowLattice& held, const LatticeStep& step) noexcept;

}  // namespace talvane
