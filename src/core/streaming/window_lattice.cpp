// The window lattice: each window of every phase of an off-grid chunk length summed once.
#include "streaming/window_lattice.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "analysis/energy.hpp"

namespace talvane {

namespace {

// The RMS of a window from its sum of squares, as window_energies forms it.
float rms(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

// Context + chunk, the context's first sample at stream position `start`.
struct Combined {
    std::span<const float> context, chunk;
    std::uint64_t start;

    float at(std::uint64_t position) const noexcept {
        const std::uint64_t i = position - start;
        return i < context.size() ? context[i] : chunk[i - context.size()];
    }
};

// The squares of stream positions [from, to) of `combined` into columns of
// `stride` floats, block by block from slot 0 (a last block may be short): whole
// blocks on one side of the join are squared in place, a block across it and a
// short last one sample by sample. Gives the slots written whole; the short block,
// if any, is the next one.
std::uint64_t square_blocks(const Combined& combined, std::uint64_t from, std::uint64_t to, std::uint64_t g,
                            float* squares, std::uint64_t stride) {
    const std::uint64_t join = combined.start + combined.context.size();
    std::uint64_t slot = 0, at = from;
    auto by_sample = [&](std::uint64_t count) {
        for (std::uint64_t c = 0; c < count; ++c) {
            const float v = combined.at(at + c);
            squares[c * stride + slot] = v * v;
        }
    };
    if (at < join) {
        const std::uint64_t whole = (std::min(join, to) - at) / g;
        lattice_squares(combined.context.data() + (at - combined.start), whole, g, squares, stride);
        slot += whole;
        at += whole * g;
        if (at < join && at + g <= to) {  // the block across the join
            by_sample(g);
            ++slot;
            at += g;
        }
    }
    if (at >= join && at + g <= to) {
        const std::uint64_t whole = (to - at) / g;
        lattice_squares(combined.chunk.data() + (at - join), whole, g, squares + slot, stride);
        slot += whole;
        at += whole * g;
    }
    if (at < to) by_sample(to - at);
    return slot;
}

// Sums of the windows at blocks [first, first + lanes) (lanes >= 1) and, when
// `with_extra`, of the one at block extra >= first + lanes, over the samples of
// `combined` up to step.end (later ones count as 0.0f, which leaves every sum as it
// was: a sum of squares is never -0.0). step.sums[i] is that of block first + i;
// the extra one is step.sums[lanes].
void sum_windows(LatticeStep& step, const Combined& combined, std::uint64_t first, std::uint64_t lanes,
                 bool with_extra, std::uint64_t extra) {
    const std::uint64_t g = step.block, period = step.window_len / g;
    step.starts.clear();
    for (std::uint64_t s = 0; s < lanes; s += kLatticeLanes) step.starts.push_back(static_cast<std::size_t>(s));
    const std::uint64_t covered = step.starts.size() * kLatticeLanes;
    const bool own_group = with_extra && extra >= first + covered;
    if (own_group) {
        // The group that ends at the extra window, unless one already reaches it.
        step.starts.push_back(static_cast<std::size_t>(extra - first + 1 - kLatticeLanes));
    }
    const std::uint64_t slots = step.starts.back() + period + kLatticeLanes;  // read up to slots - 2
    // Samples of blocks [first, first + slots): those that exist squared by column,
    // the rest (past the chunk's end) zeros.
    const std::uint64_t from = step.offset + first * g;
    const std::uint64_t to = std::min(step.end, from + slots * g);
    const std::uint64_t stride = slots;
    if (step.squares.size() < stride * g) step.squares.resize(static_cast<std::size_t>(stride * g));
    const std::uint64_t whole = square_blocks(combined, from, to, g, step.squares.data(), stride);
    const std::uint64_t short_len = to - from - whole * g;  // samples of the short block
    for (std::uint64_t c = 0; c < g; ++c) {
        float* column = step.squares.data() + c * stride;
        std::fill(column + whole + (c < short_len ? 1 : 0), column + stride, 0.0f);
    }
    step.sums.resize(step.starts.size() * kLatticeLanes);
    lattice_window_sums(step.squares.data(), static_cast<std::size_t>(stride), g, period, step.starts,
                        step.sums.data());
    if (own_group) {
        step.sums[lanes] = step.sums.back();
    } else if (with_extra) {
        step.sums[lanes] = step.sums[extra - first];
    }
}

}  // namespace

void plan_lattice(LatticeStep& step, const WindowLattice& held, bool same_stream, std::span<const float> context,
                  std::span<const float> chunk, std::uint64_t grid_start, std::uint64_t window_len,
                  std::uint64_t dropped, std::uint64_t most_phases) {
    const std::uint64_t n = chunk.size(), w = window_len;
    step.kept = false;
    step.has_short = false;
    step.completed.clear();
    step.chunk_len = n;
    // Whole-window chunks (the common case) keep their grid: nothing to follow.
    if (!same_stream || n == 0 || w == 0 || n % w == 0 || context.size() < w || dropped == 0) return;
    const std::uint64_t g = std::gcd(n, w);
    const std::uint64_t period = w / g;
    if (period > most_phases) return;
    const std::uint64_t end0 = grid_start + context.size();
    const bool extends = held.window_len == w && held.chunk_len == n && held.end == end0 &&
                         grid_start % g == held.offset;
    if (!extends && held.last_chunk_len != n) return;
    step.kept = true;
    step.fresh = !extends;
    step.window_len = w;
    step.block = g;
    step.offset = grid_start % g;
    step.end = end0 + n;
    step.grid_start = grid_start;
    // The windows the chunk completes end in (end0, end]: blocks [b0 - P + 1, b1 - P],
    // b0 and b1 the whole blocks before end0 and end. The context holds a window, so
    // they all start in it or later.
    const std::uint64_t b0 = (end0 - step.offset) / g, b1 = (step.end - step.offset) / g;
    step.first = b0 + 1 - period;
    const std::uint64_t lanes = b1 - b0;
    // The call's last window, when short, starts at the last multiple of w from the
    // grid's start.
    const std::uint64_t total = context.size() + n;
    const std::uint64_t last_start = grid_start + (total - 1) / w * w;
    const bool short_last = total % w != 0;
    const std::uint64_t extra = short_last ? (last_start - step.offset) / g : 0;
    const Combined combined{context, chunk, grid_start};
    sum_windows(step, combined, step.first, lanes, short_last, extra);
    step.completed.resize(static_cast<std::size_t>(lanes));
    for (std::uint64_t i = 0; i < lanes; ++i) step.completed[i] = rms(step.sums[i], w);
    if (short_last) {
        step.has_short = true;
        step.short_energy = rms(step.sums[lanes], step.end - last_start);
    }
    // A phase comes back after P calls: the windows of the last P + 1 calls are kept.
    step.keep = (period + 1) * lanes;
}

bool lattice_energies(const WindowLattice& held, const LatticeStep& step, std::uint64_t total,
                      std::uint64_t first, std::vector<float>& out) {
    if (!step.kept) return false;
    const std::uint64_t w = step.window_len, g = step.block, period = w / g;
    const std::uint64_t n = total / w + (total % w != 0 ? 1 : 0);
    const std::uint64_t complete = total / w;
    const std::uint64_t base = (step.grid_start - step.offset) / g;  // block of the grid's first window
    const std::span<const float> kept = held.energies.view();
    const bool use_held = !step.fresh;
    out.resize(static_cast<std::size_t>(n - first));
    for (std::uint64_t k = first; k < complete; ++k) {
        const std::uint64_t b = base + k * period;
        if (b >= step.first && b - step.first < step.completed.size()) {
            out[k - first] = step.completed[b - step.first];
        } else if (use_held && b >= held.first && b - held.first < kept.size()) {
            out[k - first] = kept[b - held.first];
        } else {
            return false;
        }
    }
    if (complete < n && complete >= first) {
        if (!step.has_short) return false;
        out[complete - first] = step.short_energy;
    }
    return true;
}

void reserve_lattice(WindowLattice& held, const LatticeStep& step) {
    if (!step.kept) return;
    held.energies.reserve(static_cast<std::size_t>(step.keep), static_cast<std::size_t>(step.keep));
}

void commit_lattice(WindowLattice& held, const LatticeStep& step) noexcept {
    held.last_chunk_len = step.chunk_len;
    if (!step.kept) {
        held.window_len = 0;
        return;
    }
    const std::size_t old = step.fresh ? 0 : held.energies.size();
    const std::size_t keep = std::min<std::size_t>(old + step.completed.size(), static_cast<std::size_t>(step.keep));
    held.energies.replace(old, step.completed, keep);
    held.first = step.first + step.completed.size() - keep;
    held.window_len = step.window_len;
    held.block = step.block;
    held.chunk_len = step.chunk_len;
    held.offset = step.offset;
    held.end = step.end;
}

}  // namespace talvane
