// The music measure's per-spectrum arithmetic (transform, whitening, the terms of
// its sums), in equivalent code paths: every path gives the same bits, because each
// computes the same independent butterflies and bins, several side by side, and
// takes each ordered sum in its order (several spectra's sums side by side).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace talvane {

// Spectra whose sums are taken side by side: the whitening of one needs the means
// left by the one before, but the sums of each spectrum are its own.
inline constexpr std::size_t kMusicBatch = 4;
// Each bin's row of the table the sums read: the whitened values (widened) of the
// two spectra before a batch, then of the batch's.
inline constexpr std::size_t kMusicRow = kMusicBatch + 2;

// The ordered sums of each spectrum of a batch, each over the bins in ascending order
// from 0.0: of W, U * V, U * U, V * V and max(0, W - W_last), where U = W - (the
// spectrum's mean of W) and V = W_older - (its mean), with W_last and W_older the
// spectra one and two before.
struct MusicSums {
    double white[kMusicBatch], dot[kMusicBatch], uu[kMusicBatch], vv[kMusicBatch], rise[kMusicBatch];
};

// A finite sample widened to double, anything else 0.0. The choice is made on the
// bits, so that the compiler need not branch and can widen many samples at once.
inline double finite_or_zero(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const std::uint32_t keep = (bits & 0x7f800000u) == 0x7f800000u ? 0u : 0xffffffffu;
    return static_cast<double>(std::bit_cast<float>(bits & keep));
}

struct MusicKernels {
    // The sums of `count` whole blocks of d samples each (finite_or_zero of each).
    void (*blocks)(const float* x, std::size_t count, std::uint64_t d, double* out);
    // The powers of bins first .. first + bins - 1 of the frame whose 256 blocks are
    // ring[next], ring[next + 1], ... (wrapping), oldest first.
    void (*powers)(const double* ring, std::uint32_t next, std::uint32_t first, std::uint32_t bins, double* p);
    // The whitened values of the powers p, updating the bins' means; with `sum` not
    // null, also their sum (widened), 0.0 plus each in bin order.
    void (*whiten)(const double* p, double* mean, float* white, std::uint32_t bins, double* sum);
    // For a spectrum alone, per bin: uv = U * V, uu = U * U, vv = V * V and up =
    // max(0, W - W_last), where U = white - m, V = older - m_older and W_last = last
    // (0.0 for spectra before the start).
    void (*terms)(const float* white, const float* last, const float* older, double m, double m_older,
                  std::uint32_t bins, double* uv, double* uu, double* vv, double* up);
    // The sums of a batch from its table (`bins` rows of kMusicRow) and the means
    // of the two spectra before it.
    void (*sums)(const double* table, std::uint32_t bins, double older_mean, double last_mean, MusicSums& out);
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
