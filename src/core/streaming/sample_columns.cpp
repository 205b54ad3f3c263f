// Squared samples by window column: planned from a call's samples, transposed in at the commit, summed by groups.
#include "streaming/sample_columns.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/energy.hpp"

namespace talvane {

namespace {

constexpr std::uint64_t kGroup = SampleColumns::kGroupRows;

// Groups summed by one kernel call: as many as it keeps in registers.
constexpr std::size_t kBatch = 8;

std::uint64_t round_up(std::uint64_t v, std::uint64_t to) noexcept { return (v + to - 1) / to * to; }

// The RMS of a window from its sum of squares, as window_energies forms it.
float rms(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

// Stream positions [from, to) of combined (context, then chunk) copied into out.
void copy_positions(const Combined& combined, std::uint64_t from, std::uint64_t to, float* out) {
    const std::uint64_t join = combined.start + combined.context.size();
    if (from < join) {
        const std::uint64_t piece = std::min(to, join) - from;
        const float* x = combined.context.read(from - combined.start, piece);
        std::copy(x, x + piece, out);
        out += piece;
        from += piece;
    }
    if (from < to) std::copy(combined.chunk.data() + (from - join), combined.chunk.data() + (to - join), out);
}

}  // namespace

void plan_columns(ColumnsStep& step, const SampleColumns& held, bool same_stream, const Combined& combined,
                  std::uint64_t window, std::uint64_t origin, std::uint64_t next_first) {
    step.keeps = true;
    step.window = window;
    step.origin = origin;
    const std::uint64_t complete = (combined.end() - origin) / window;  // rows whose samples are all seen
    const std::uint64_t done = complete / kGroup * kGroup;
    // The first whole group whose samples the call still has, should the held rows
    // not go on.
    const std::uint64_t readable = round_up((std::max(combined.start, origin) - origin + window - 1) / window, kGroup);
    const bool goes_on = same_stream && held.window == window && held.origin == origin &&
                         origin + held.end * window >= combined.start;
    const std::uint64_t added = goes_on ? held.end : std::min(readable, done);
    step.end = std::max(added, done);
    const std::uint64_t needed = next_first > origin ? (next_first - origin) / window : 0;  // the next context's first row
    step.first = std::min(std::max(goes_on ? held.first : added, needed), step.end);
    // Whole groups before the first row kept are not added.
    step.added = std::max(added, step.first / kGroup * kGroup);
    step.goes_on = goes_on && step.added == added;
    const auto count = static_cast<std::size_t>((step.end - step.added) * window);
    if (step.samples.size() < count) step.samples.resize(count);
    copy_positions(combined, origin + step.added * window, origin + step.end * window, step.samples.data());
}

std::size_t column_rows(std::uint64_t window, std::uint64_t most) noexcept {
    return static_cast<std::size_t>(round_up(most / window + 2 * kGroup, kGroup));
}

void reserve_columns(SampleColumns& columns, const ColumnsStep& step, std::uint64_t most) {
    if (!step.keeps) return;
    const auto needed = static_cast<std::size_t>(step.end - step.first / kGroup * kGroup);  // whole groups
    if (columns.rows >= needed && columns.squares.size() / step.window >= columns.rows) return;
    // Twice what is needed while the context fills, but no more than a full one's.
    const std::size_t rows = std::max(needed, std::min(2 * needed, column_rows(step.window, most)));
    // A ring of another size lays rows elsewhere: the held ones the step goes on
    // from are moved over, column by column.
    std::vector<float> grown(rows * static_cast<std::size_t>(step.window));
    if (step.goes_on && columns.window == step.window && columns.origin == step.origin) {
        const std::uint64_t from = std::max(columns.first, step.first);
        for (std::uint64_t c = 0; c < step.window; ++c) {
            const float* old_column = columns.squares.data() + c * columns.rows;
            float* column = grown.data() + c * rows;
            for (std::uint64_t r = from; r < columns.end; ++r) column[r % rows] = old_column[r % columns.rows];
        }
    } else {
        columns.window = 0;  // nothing held goes on
    }
    columns.squares.swap(grown);
    columns.rows = rows;
}

void commit_columns(SampleColumns& columns, const ColumnsStep& step) noexcept {
    if (!step.keeps) {
        columns.forget();
        return;
    }
    const auto w = static_cast<std::size_t>(step.window);
    for (std::uint64_t r = step.added; r < step.end; r += kGroup) {
        lattice_squares(step.samples.data() + (r - step.added) * w, kGroup, step.window,
                        columns.squares.data() + r % columns.rows, columns.rows);
    }
    // The rows before the step's are held only if the held columns led up to them
    // and were not let go for a larger ring.
    const bool continues = step.goes_on && columns.window != 0;
    columns.window = step.window;
    columns.origin = step.origin;
    columns.first = continues ? step.first : std::max(step.first, step.added);
    columns.end = step.end;
}

bool column_group_held(const SampleColumns& columns, std::uint64_t start, std::size_t k) noexcept {
    const std::uint64_t w = columns.window, s = start + k * w;
    if (w == 0 || s < columns.origin) return false;
    const std::uint64_t r = (s - columns.origin) / w;
    const std::uint64_t reach = kGroup + ((s - columns.origin) % w != 0 ? 1 : 0);  // rows the group reads
    return r >= columns.first && r + reach <= columns.end && r % columns.rows + reach <= columns.rows;
}

void column_energies(const SampleColumns& columns, std::uint64_t start, std::span<const std::size_t> ks,
                     float* out) {
    if (ks.empty()) return;  // nothing to sum, whether or not columns are held
    const std::uint64_t w = columns.window;
    const std::uint64_t phase = (start - columns.origin) % w;
    std::size_t slots[kBatch];
    float sums[kBatch * kGroup];
    for (std::size_t first = 0; first < ks.size(); first += kBatch) {
        const std::size_t groups = std::min(kBatch, ks.size() - first);
        for (std::size_t i = 0; i < groups; ++i) {
            slots[i] = static_cast<std::size_t>(((start + ks[first + i] * w - columns.origin) / w) % columns.rows);
        }
        lattice_window_sums(columns.squares.data(), columns.rows, w, 1, phase, std::span(slots, groups), sums);
        for (std::size_t i = 0; i < groups; ++i) {
            for (std::size_t j = 0; j < kGroup; ++j) out[ks[first + i] + j] = rms(sums[i * kGroup + j], w);
        }
    }
}

}  // namespace talvane
