// The music measure's per-spectrum arithmetic (transform, whitening, the terms of
// its sums), in equivalent code paths: every path gives the same bits, because each
// computes the same independent butterflies and bins, several side by side, and
// leaves every ordered sum to the measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace talvane {

struct MusicKernels {
    // The powers of bins first .. first + bins - 1 of the frame whose 256 blocks are
    // ring[next], ring[next + 1], ... (wrapping), oldest first.
    void (*powers)(const double* ring, std::uint32_t next, std::uint32_t first, std::uint32_t bins, double* p);
    // The whitened values of the powers p, updating the bins' means.
    void (*whiten)(const double* p, double* mean, float* white, std::uint32_t bins);
    // Per bin: uv = U * V, uu = U * U, vv = V * V and up = max(0, W - W_last), where
    // U = white - m, V = older - m_older (0.0 without `older`), W_last = last (0.0
    // without `last`).
    void (*terms)(const float* white, const float* last, const float* older, double m, double m_older,
                  std::uint32_t bins, double* uv, double* uu, double* vv, double* up);
};

// A path and whether this processor runs it.
struct MusicPath {
    const char* name;
    bool (*available)();
    MusicKernels kernels;
};

// One bin at a time first, then two, then (x86-64 with AVX2) four.
std::span<const MusicPath> music_paths();
// The fastest path this processor runs.
const MusicKernels& music_kernels();

}  // namespace talvane
