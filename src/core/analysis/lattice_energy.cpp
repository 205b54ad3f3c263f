// Lattice sums: window sums for windows whose starts lie on a lattice of blocks,
// from squares laid out by column so that groups of windows add side by side.
#include <algorithm>
#include <span>

#include "analysis/energy.hpp"
#include "analysis/simd.hpp"

namespace talvane {

namespace {

bool on_every_processor() { return true; }

// Lattice sums: groups of kLatticeLanes windows, their chains independent, so a few
// groups side by side take about the time of one.
void portable_squares(const float* samples, std::uint64_t blocks, std::uint64_t block, float* squares,
                      std::size_t stride) {
    for (std::uint64_t b = 0; b < blocks; ++b) {
        const float* row = samples + b * block;
        for (std::uint64_t c = 0; c < block; ++c) squares[c * stride + b] = row[c] * row[c];
    }
}

// A window from column `phase` of its first slot takes columns [phase, block) of
// slot 0, every column of slots 1 to period - 1, and columns [0, phase) of slot
// period: the columns of slot a, in order, are [first_column(a), block) for a below
// period, then [0, phase) of slot period.
inline std::uint64_t first_column(std::uint64_t a, std::uint64_t phase) noexcept { return a == 0 ? phase : 0; }

void portable_sums(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                   std::uint64_t phase, std::span<const std::size_t> starts, float* sums) {
    constexpr std::size_t kBatch = 4;  // groups summed together
    for (std::size_t first = 0; first < starts.size(); first += kBatch) {
        const std::size_t groups = std::min(kBatch, starts.size() - first);
        float acc[kBatch][kLatticeLanes] = {};
        auto add = [&](std::uint64_t a, std::uint64_t from, std::uint64_t to) {
            for (std::uint64_t c = from; c < to; ++c) {
                const float* column = squares + c * stride + a;
                for (std::size_t k = 0; k < groups; ++k) {
                    const float* q = column + starts[first + k];
                    for (std::size_t j = 0; j < kLatticeLanes; ++j) acc[k][j] = acc[k][j] + q[j];
                }
            }
        };
        for (std::uint64_t a = 0; a < period; ++a) add(a, first_column(a, phase), block);
        add(period, 0, phase);
        for (std::size_t k = 0; k < groups; ++k) std::copy(acc[k], acc[k] + kLatticeLanes, sums + (first + k) * kLatticeLanes);
    }
}

#if TALVANE_X86
// Tiles of 8 blocks by 8 columns squared and transposed in registers; the blocks
// and columns a tile leaves over, one by one.
TALVANE_AVX2 void avx2_squares(const float* samples, std::uint64_t blocks, std::uint64_t block, float* squares,
                               std::size_t stride) {
    const std::uint64_t tiled_blocks = blocks / 8 * 8, tiled_columns = block / 8 * 8;
    for (std::uint64_t b = 0; b < tiled_blocks; b += 8) {
        for (std::uint64_t c = 0; c < tiled_columns; c += 8) {
            __m256 r[8];
            for (std::uint64_t i = 0; i < 8; ++i) {
                r[i] = _mm256_loadu_ps(samples + (b + i) * block + c);
                r[i] = _mm256_mul_ps(r[i], r[i]);
            }
            transpose8(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
            for (std::uint64_t k = 0; k < 8; ++k) _mm256_storeu_ps(squares + (c + k) * stride + b, r[k]);
        }
        for (std::uint64_t i = 0; i < 8; ++i) {
            const float* row = samples + (b + i) * block;
            for (std::uint64_t c = tiled_columns; c < block; ++c) squares[c * stride + b + i] = row[c] * row[c];
        }
    }
    portable_squares(samples + tiled_blocks * block, blocks - tiled_blocks, block, squares + tiled_blocks, stride);
}

// kGroups groups at once, a register each; the count fixed so the loop over them unrolls.
template <std::size_t kGroups, bool kPhased>
TALVANE_AVX2 void avx2_sums_of(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                               std::uint64_t phase, const std::size_t* starts, float* sums) {
    __m256 acc[kGroups];
    for (std::size_t k = 0; k < kGroups; ++k) acc[k] = _mm256_setzero_ps();
    for (std::uint64_t a = 0; a < period; ++a) {
        // From column 0 but where a phase starts the first slot: the loop the
        // lattice's own windows take stays as plain as it was. Unrolled: with few
        // groups the loop's own steps outnumber the adds. Each lane still adds its
        // columns one by one in order.
#pragma GCC unroll 8
        for (std::uint64_t c = kPhased ? first_column(a, phase) : 0; c < block; ++c) {
            const float* column = squares + c * stride + a;
            for (std::size_t k = 0; k < kGroups; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_loadu_ps(column + starts[k]));
        }
    }
    if constexpr (kPhased) {
#pragma GCC unroll 8
        for (std::uint64_t c = 0; c < phase; ++c) {  // the next slot's first columns
            const float* column = squares + c * stride + period;
            for (std::size_t k = 0; k < kGroups; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_loadu_ps(column + starts[k]));
        }
    }
    for (std::size_t k = 0; k < kGroups; ++k) _mm256_storeu_ps(sums + k * kLatticeLanes, acc[k]);
}

TALVANE_AVX2 void avx2_sums(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                            std::uint64_t phase, std::span<const std::size_t> starts, float* sums) {
    using Sums = void (*)(const float*, std::size_t, std::uint64_t, std::uint64_t, std::uint64_t, const std::size_t*,
                          float*);
    // Static: a local table would be written to the stack on every call.
    static constexpr Sums kBy[] = {avx2_sums_of<1, false>, avx2_sums_of<2, false>, avx2_sums_of<3, false>,
                                   avx2_sums_of<4, false>, avx2_sums_of<5, false>, avx2_sums_of<6, false>,
                                   avx2_sums_of<7, false>, avx2_sums_of<8, false>};
    static constexpr Sums kPhasedBy[] = {avx2_sums_of<1, true>, avx2_sums_of<2, true>, avx2_sums_of<3, true>,
                                         avx2_sums_of<4, true>, avx2_sums_of<5, true>, avx2_sums_of<6, true>,
                                         avx2_sums_of<7, true>, avx2_sums_of<8, true>};
    constexpr std::size_t kBatch = std::size(kBy);
    const Sums* by = phase == 0 ? kBy : kPhasedBy;
    for (std::size_t first = 0; first < starts.size(); first += kBatch) {
        const std::size_t groups = std::min(kBatch, starts.size() - first);
        by[groups - 1](squares, stride, block, period, phase, starts.data() + first, sums + first * kLatticeLanes);
    }
}
#endif

constexpr LatticePath kLatticePaths[] = {
    {"portable", on_every_processor, portable_squares, portable_sums},
#if TALVANE_X86
    {"avx2", processor_has_avx2, avx2_squares, avx2_sums},
#endif
};

const LatticePath& best_lattice_path() {
    const LatticePath* best = &kLatticePaths[0];
    for (const LatticePath& path : kLatticePaths) {
        if (path.available()) best = &path;
    }
    return *best;
}

}  // namespace

std::span<const LatticePath> lattice_paths() { return kLatticePaths; }

void lattice_squares(const float* samples, std::uint64_t blocks, std::uint64_t block, float* squares,
                     std::size_t stride) {
    best_lattice_path().squares(samples, blocks, block, squares, stride);
}

void lattice_window_sums(const float* squares, std::size_t stride, std::uint64_t block, std::uint64_t period,
                         std::uint64_t phase, std::span<const std::size_t> starts, float* sums) {
    best_lattice_path().sums(squares, stride, block, period, phase, starts, sums);
}

}  // namespace talvane
