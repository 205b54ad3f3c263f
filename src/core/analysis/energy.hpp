// Window energies (RMS per window) with several equivalent code paths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace talvane {

// Per-window RMS; window t covers samples [t*window_len, min(N, (t+1)*window_len)).
// Float32 throughout: squares summed in sample order from 0.0f; the last, shorter
// window divides by its own length. Empty input gives an empty vector. Uses the
// fastest path this processor runs; every path gives the same bits.
std::vector<float> window_energies(std::span<const float> samples, std::uint64_t window_len);

// Same, for windows [first, last) only, written to out[0 .. last - first).
void window_energies_range(std::span<const float> samples, std::uint64_t window_len,
                           std::uint64_t first, std::uint64_t last, float* out);

// Energies of a few windows that need not lie in one run of samples: window i is
// the counts[i] >= 1 samples from starts[i], and out[i] its RMS as window_energies
// gives it. Their chains run side by side, so a few cost about as much as one.
// At most kSideBySide windows.
constexpr std::size_t kSideBySide = 8;
void scattered_window_energies(std::span<const float* const> starts, std::span<const std::uint64_t> counts,
                               float* out);

// One implementation of window_energies_range; `available` tells whether this
// processor can run it. Listed so that tests can hold every path to the first,
// which sums one window at a time.
struct EnergyPath {
    const char* name;
    bool (*available)();
    void (*run)(const float* samples, std::uint64_t n_samples, std::uint64_t window_len,
                std::uint64_t first, std::uint64_t last, float* out);
};
std::span<const EnergyPath> energy_paths();  // one window at a time first

// Windows whose starts lie on a lattice of blocks of `block` samples, each window
// `period` blocks long, summed side by side without transposing them one by one:
// the squares are stored by column, squares[c * stride + s] being the square of the
// c-th sample of the block in slot s, so the squares that neighbouring windows add
// at one step lie next to each other.
//
// lattice_squares writes the squares of `blocks` consecutive blocks of samples
// (blocks * block floats from `samples`) into slots [0, blocks) of each column.
// lattice_window_sums gives, for each group start s in `starts`, the sums of the
// kLatticeLanes windows starting at column `phase` of slots s, s + 1, ...:
// sums[k * kLatticeLanes + j] for the window of period * block samples from column
// phase of slot starts[k] + j, each 0.0f plus its squares one at a time in sample
// order (block by block, column by column), as window_energies sums them. It reads
// slots up to starts[k] + period + kLatticeLanes - 2 of every column, and one more
// of the first `phase` columns.
constexpr std::size_t kLatticeLanes = 8;
struct LatticePath {
    const char* name;
    bool (*available)();
    void (*squares)(const float* samples, std::uint64_t blocks, std::uint64_t block, float* squares,
                    std::size_t stride);
    void (*sums)(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                 std::uint64_t phase, std::span<const std::size_t> starts, float* sums);
};
std::span<const LatticePath> lattice_paths();  // a portable path first
void lattice_squares(const float* samples, std::uint64_t blocks, std::uint64_t block, float* squares,
                     std::size_t stride);
void lattice_window_sums(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                         std::uint64_t phase, std::span<const std::size_t> starts, float* sums);

// Whether this processor runs AVX2 code (x86-64 only; false elsewhere). Other
// kernels choose their fastest path with it.
bool processor_has_avx2();

}  // namespace talvane
