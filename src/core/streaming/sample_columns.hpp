// A stream's squared samples stored by window column, so a grid's windows are summed exactly side by side.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "streaming/window_store.hpp"

namespace talvane {

// Rows of a window's length laid from `origin`: row r holds stream positions
// [origin + r * W, origin + (r + 1) * W). squares[c * rows + r % rows] is the
// square of the sample in column c of row r, for the rows [first, end) held, in a
// ring of `rows`. A window of any grid is columns [phase, W) of one row and [0,
// phase) of the next, and the same column of neighbouring rows lies side by side,
// so eight windows of a grid are summed with a vector add a sample, without the
// transposes a sum from the samples needs; each lane adds its window's squares one
// at a time in sample order, as window_energies does, so the sums are the same bits.
// Rows are added eight at a time (a group), once all their samples are seen.
// Derived data only, like every cache; kept beside a stream's prefix of squares.
struct SampleColumns {
    std::uint64_t window = 0;  // W; 0: nothing held
    std::uint64_t origin = 0;
    std::uint64_t first = 0, end = 0;  // rows held
    std::size_t rows = 0;              // the ring's size, a multiple of kGroupRows
    std::vector<float> squares;

    static constexpr std::uint64_t kGroupRows = 8;
    void forget() noexcept { window = 0; }
};

// The columns' part of one call: the groups of rows it completes, as samples.
struct ColumnsStep {
    bool keeps = false;
    bool goes_on = false;         // the held rows lead up to `added`
    std::uint64_t window = 0, origin = 0, first = 0, end = 0;  // after the step
    std::uint64_t added = 0;      // the first row in `samples` (rows [added, end))
    std::vector<float> samples;   // row by row
};

// Plans the columns for a call over `combined` whose next context starts at
// next_first: they go on from the held ones (same window and origin, and the rows
// the call needs still there) or start at origin's first group within the next
// context, and take the groups of rows the call completes. May throw std::bad_alloc.
void plan_columns(ColumnsStep& step, const SampleColumns& held, bool same_stream, const Combined& combined,
                  std::uint64_t window, std::uint64_t origin, std::uint64_t next_first);

// The ring's size for rows of W covering `most` samples of stream.
std::size_t column_rows(std::uint64_t window, std::uint64_t most) noexcept;

// Room for what commit_columns keeps, a context of at most `most` samples.
void reserve_columns(SampleColumns& columns, const ColumnsStep& step, std::uint64_t most);

// The columns take the step over (or are forgotten). Needs reserve_columns first;
// cannot fail.
void commit_columns(SampleColumns& columns, const ColumnsStep& step) noexcept;

// The energies of windows [k, k + 8 * groups) of the grid of windows of W from
// stream position `start` into out, groups of eight windows from `ks` (each a
// window index, its group within the columns: see column_group_held).
void column_energies(const SampleColumns& columns, std::uint64_t start, std::span<const std::size_t> ks,
                     float* out);

// Whether the eight windows from window k of that grid lie in rows the columns hold,
// side by side in the ring.
bool column_group_held(const SampleColumns& columns, std::uint64_t start, std::size_t k) noexcept;

}  // namespace talvane
