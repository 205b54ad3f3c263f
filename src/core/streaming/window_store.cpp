// The window store: each window of every grid in use summed once, as its last sample arrives.
#include "streaming/window_store.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"

namespace talvane {

namespace {

// The RMS of a window from its sum of squares, as window_energies forms it.
float rms(float sum, std::uint64_t count) { return std::sqrt(sum / static_cast<float>(count)); }

float sample_at(const Combined& combined, std::uint64_t position) noexcept {
    const std::uint64_t i = position - combined.start;
    return i < combined.context.size() ? combined.context[i] : combined.chunk[i - combined.context.size()];
}

// The squares of stream positions [from, to) into columns of `stride` floats, block
// by block from slot 0 (a last block may be short): whole blocks on one side of the
// join squared in place, a block across it and a short last one sample by sample.
// Gives the slots written whole.
std::uint64_t square_blocks(const Combined& combined, std::uint64_t from, std::uint64_t to, std::uint64_t g,
                            float* squares, std::uint64_t stride) {
    const std::uint64_t join = combined.start + combined.context.size();
    std::uint64_t slot = 0, at = from;
    auto by_sample = [&](std::uint64_t count) {
        for (std::uint64_t c = 0; c < count; ++c) {
            const float v = sample_at(combined, at + c);
            squares[c * stride + slot] = v * v;
        }
    };
    if (at < join) {
        const std::uint64_t whole = (std::min(join, to) - at) / g;
        lattice_squares(combined.context.read(at - combined.start, whole * g), whole, g, squares, stride);
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

// Energies of `count` complete slots of a lattice with several phases, from slot
// `a` on, into out: side by side from squares stored by column, a piece at a time.
// Slots past the combined buffer's end keep what the working storage held (squares
// of earlier samples, or zeros): they reach only lanes past `count`, whose sums are
// dropped, so they are not cleared.
void sum_slots(StoreStep& step, const Combined& combined, const Lattice& lattice, std::uint64_t a, std::size_t count,
               float* out) {
    const std::uint64_t g = lattice.block, period = lattice.phases();
    const std::size_t piece_most = std::max<std::size_t>(kLatticeLanes, kPieceSamples / g);
    for (std::size_t done = 0; done < count;) {
        const std::size_t piece = std::min(count - done, piece_most);
        step.starts.clear();
        for (std::size_t s = 0; s < piece; s += kLatticeLanes) step.starts.push_back(s);
        const std::uint64_t slots = step.starts.back() + period + kLatticeLanes;  // read up to slots - 2
        const std::uint64_t from = lattice.offset + (a + done) * g;
        const std::uint64_t to = std::min(combined.end(), from + slots * g);
        if (step.squares.size() < slots * g) step.squares.resize(static_cast<std::size_t>(slots * g));
        square_blocks(combined, from, to, g, step.squares.data(), slots);
        if (step.sums.size() < step.starts.size() * kLatticeLanes) step.sums.resize(step.starts.size() * kLatticeLanes);
        lattice_window_sums(step.squares.data(), static_cast<std::size_t>(slots), g, period, 0, step.starts,
                            step.sums.data());
        for (std::size_t i = 0; i < piece; ++i) out[done + i] = rms(step.sums[i], lattice.window_len);
        done += piece;
    }
}

// A lone window shorter than this (in samples) is summed on its own chain, which
// costs fewer instructions than the vector kernels for many windows; a longer one
// through the kernels (measured: 160 samples cost about 3.8 instructions each
// alone against 6.5 through the kernels, 480 samples 3.6 against 2.7).
constexpr std::uint64_t kLoneWindowBelow = 320;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

// The windows [begin, end) of a grid whose window 0 is slot j0 of a lattice of
// `period` phases that lie among the slots [first, first + size).
struct Served {
    std::size_t begin = 0, end = 0;
};
Served served(std::uint64_t j0, std::uint64_t period, std::uint64_t first, std::uint64_t size,
              std::uint64_t complete) noexcept {
    if (size == 0 || first + size <= j0) return {};
    const std::uint64_t begin = first <= j0 ? 0 : ceil_div(first - j0, period);
    const std::uint64_t end = std::min(complete, ceil_div(first + size - j0, period));
    return begin < end ? Served{static_cast<std::size_t>(begin), static_cast<std::size_t>(end)} : Served{};
}

// Whether a lattice holds the grid laid from `start`, and the grid's first slot.
bool holds_grid(const Lattice& lattice, std::uint64_t window_len, std::uint64_t start, std::uint64_t& j0) noexcept {
    if (lattice.window_len != window_len || start < lattice.offset || (start - lattice.offset) % lattice.block != 0) {
        return false;
    }
    j0 = (start - lattice.offset) / lattice.block;
    return true;
}

}  // namespace

namespace {

// The `len` samples of context + chunk from `at` (in the context) up to past the
// join, copied into `join`.
const float* joined(const Combined& combined, std::uint64_t at, std::uint64_t len, std::vector<float>& join) {
    const std::span<const float> context = combined.context.span(at, combined.context.size() - at);
    const std::span<const float> chunk = combined.chunk;
    join.assign(context.begin(), context.end());
    join.insert(join.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(len - join.size()));
    return join.data();
}

}  // namespace

Combined Combined::from(std::uint64_t position) const noexcept {
    const std::uint64_t skip = position - start;
    if (skip <= context.size()) return Combined{context.subspan(skip), chunk, position};
    return Combined{{}, chunk.subspan(skip - context.size()), position};
}

void direct_energies(const Combined& combined, std::uint64_t w, std::uint64_t first, std::uint64_t last, float* out,
                     std::vector<float>& join) {
    const HeldSamples& context = combined.context;  // read only for windows that lie in it
    const std::span<const float> chunk = combined.chunk;
    const std::uint64_t c = context.size();
    const std::uint64_t total = c + chunk.size();
    const std::uint64_t in_context = c / w;  // complete windows inside the context
    std::uint64_t t = first;
    if (const std::uint64_t to = std::min(in_context, last); t < to) {
        window_energies_range(context.span(t * w, (to - t) * w), w, 0, to - t, out + t);
        t = to;
    }
    if (t == last) return;
    const float* starts[kSideBySide];
    std::uint64_t counts[kSideBySide];
    std::size_t few = 0;
    if (t * w < c) {  // the window across the join
        counts[few] = std::min<std::uint64_t>(w, total - t * w);
        starts[few++] = joined(combined, t * w, counts[0], join);
    }
    const std::uint64_t chunk_first = t + few;  // the first window inside the chunk
    const bool lone_short = last - chunk_first + few == 1 && w < kLoneWindowBelow;
    if ((few > 0 && last - chunk_first + few <= kSideBySide) || lone_short) {
        // The window across the join and a few after it: their chains run side by
        // side (a lone short window costs less so than through the kernels for many).
        for (std::uint64_t u = chunk_first; u < last; ++u, ++few) {
            starts[few] = chunk.data() + (u * w - c);
            counts[few] = std::min<std::uint64_t>(w, total - u * w);
        }
        scattered_window_energies(std::span<const float* const>(starts, few),
                                  std::span<const std::uint64_t>(counts, few), out + t);
        return;
    }
    if (few > 0) {
        scattered_window_energies(std::span<const float* const>(starts, 1), std::span<const std::uint64_t>(counts, 1),
                                  out + t);
    }
    window_energies_range(chunk.subspan(chunk_first * w - c), w, 0, last - chunk_first, out + chunk_first);
}

void plan_store(StoreStep& step, const WindowStore& store, bool same_stream, const Combined& combined,
                std::uint64_t w, std::uint64_t dropped, bool bounded) {
    const std::uint64_t n = combined.chunk.size(), c = combined.context.size();
    const std::uint64_t next = combined.start + dropped, end = combined.end();
    std::uint64_t g = w;
    // An off-grid length gets its lattice once it repeats (or starts the stream):
    // lengths that change every call would sum each window many times for nothing.
    const bool off_grid = n % w != 0;
    if (off_grid && (c == 0 || (same_stream && n == store.chunk_len))) {
        const std::uint64_t common = std::gcd(n, w);
        if (w / common <= kMaxPhases) g = common;
    }
    step.end = end;
    step.chunk_len = n;
    if (off_grid && g == w && bounded) {
        step.lattice = Lattice{};
        step.extends = false;
        step.first = step.keep_from = 0;
        step.count = 0;
        return;
    }
    step.lattice = Lattice{w, g, next % g};
    step.extends = same_stream && store.lattice == step.lattice && store.end == combined.start + c;
    step.keep_from = (next - step.lattice.offset) / g;
    const std::uint64_t complete_to = end >= w + step.lattice.offset ? (end - w - step.lattice.offset) / g + 1 : 0;
    const std::uint64_t held_end = step.extends ? store.first + store.energies.size() : 0;
    step.first = std::max(step.keep_from, held_end);
    step.count = complete_to > step.first ? static_cast<std::size_t>(complete_to - step.first) : 0;
    if (step.computed.size() < step.count) step.computed.resize(step.count);
    if (step.count == 0) return;
    if (g == w) {
        // One phase: the slots are the windows of one grid, read where they lie.
        const Combined grid = combined.from(step.lattice.offset + step.first * w);
        direct_energies(grid, w, 0, step.count, step.computed.data(), step.squares);
    } else {
        sum_slots(step, combined, step.lattice, step.first, step.count, step.computed.data());
    }
}

void reserve_store(WindowStore& store, const StoreStep& step, std::size_t most) {
    const auto keep = static_cast<std::size_t>(step.first + step.count - step.keep_from);
    store.energies.reserve(keep, std::max(most, keep));
}

void commit_store(WindowStore& store, const StoreStep& step) noexcept {
    const std::size_t old = step.extends ? store.energies.size() : 0;
    const auto keep = static_cast<std::size_t>(step.first + step.count - step.keep_from);
    store.energies.replace(old, std::span<const float>(step.computed.data(), step.count), keep);
    store.first = step.keep_from;
    store.lattice = step.lattice;
    store.end = step.end;
    store.chunk_len = step.chunk_len;
}

void reserve_store_step(StoreStep& step, std::uint64_t window_len, std::size_t slots) {
    const auto w = static_cast<std::size_t>(window_len);
    if (step.computed.size() < slots) step.computed.resize(slots);
    // The squares of a piece and of one window and a few blocks more (or the join of
    // a window when the lattice has one phase), and one sum per slot of a piece.
    const std::size_t squares = static_cast<std::size_t>(kPieceSamples) + 9 * w;
    if (step.squares.size() < squares) step.squares.resize(squares);
    const std::size_t sums = static_cast<std::size_t>(kPieceSamples) + kLatticeLanes;
    if (step.sums.size() < sums) step.sums.resize(sums);
    step.starts.reserve(sums / kLatticeLanes + 1);
}

namespace {

// The windows of the call's grid (window 0 at `start`) that a lattice's slots
// [first, first + count) hold, as a run of `e`: begin, end, the first one's
// energy and the stride. False when the lattice does not hold the grid.
bool serve(const Lattice& lattice, std::uint64_t w, std::uint64_t start, std::uint64_t first, std::uint64_t count,
           const float* slots, std::uint64_t complete, Served& run, const float*& at, std::size_t& stride) {
    std::uint64_t j0 = 0;
    if (!holds_grid(lattice, w, start, j0)) return false;
    stride = static_cast<std::size_t>(lattice.phases());
    run = served(j0, stride, first, count, complete);
    if (run.begin < run.end) at = slots + (j0 + run.begin * stride - first);
    return true;
}

}  // namespace

GridEnergies grid_energies(const WindowStore& store, const StoreStep& step, const Combined& combined,
                           std::uint64_t w, std::vector<float>& direct, std::vector<float>& join) {
    const std::uint64_t total = combined.context.size() + combined.chunk.size();
    const auto n = static_cast<std::size_t>(window_count(total, w));
    const std::uint64_t complete = total / w;
    GridEnergies e;
    Served held, computed;
    std::size_t held_stride = 1, computed_stride = 1;
    if (store.end == combined.start + combined.context.size()) {  // the store has seen up to the chunk
        serve(store.lattice, w, combined.start, store.first, store.energies.size(), store.energies.view().data(),
              complete, held, e.held, held_stride);
    }
    serve(step.lattice, w, combined.start, step.first, step.count, step.computed.data(), complete, computed,
          e.computed, computed_stride);
    // Two lattices of other strides are never both read: held windows come first,
    // and a computed run that does not extend the held one starts where it ends.
    if (held.begin < held.end && computed.begin < computed.end && held_stride != computed_stride) computed = {};
    e.held_begin = held.begin;
    e.held_end = held.end;
    e.computed_begin = computed.begin;
    e.computed_end = computed.end;
    e.stride = held.begin < held.end ? held_stride : computed_stride;
    if (direct.size() < n) direct.resize(n);
    e.direct = direct.data();
    // The windows neither serves are summed here, in the gaps between the two runs.
    Served runs[2] = {held, computed};
    if (runs[1].begin < runs[0].begin) std::swap(runs[0], runs[1]);
    std::size_t at = 0;
    for (const Served& r : runs) {
        if (r.begin >= r.end) continue;
        if (at < r.begin) direct_energies(combined, w, at, r.begin, direct.data(), join);
        at = std::max(at, r.end);
    }
    if (at < n) direct_energies(combined, w, at, n, direct.data(), join);
    return e;
}

}  // namespace talvane
