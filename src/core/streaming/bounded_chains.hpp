// The bounds' chains: smoothed energy bounds by stream position, which spare a bounded call bounding every window.
#pragma once

#include <cstdint>

#include "streaming/bounded_grid.hpp"
#include "streaming/prefix_bounds.hpp"

namespace talvane {

// Whether a stream keeps the chains, from its context and its chunks' running mean
// length: they cost each call a step per sample of its chunk (vector bounds and
// smoothing, and their share of the chains' moves in storage, about 14
// instructions) and a head of its own bounds until they meet (about 4,000), and
// spare it bounding and smoothing every window of its context itself (about 30
// instructions each), so they pay for long contexts and short chunks: at 44.1 kHz
// with 10 ms windows, 512-sample chunks from a context of about 3.7 s, 1,024-sample
// ones from about 6 s. Chains held are kept until they cost twice what they spare,
// since starting them again goes over the whole context.
bool chains_pay(const Combined& combined, std::uint64_t w, std::uint64_t mean_chunk, bool held) noexcept;

// The running mean of the chunk lengths, over about the last eight calls.
std::uint64_t next_mean_chunk(std::uint64_t mean, std::uint64_t chunk) noexcept;

// The chains at positions [chain_from, end] into the step. They go on from the held
// ones when those are this smoothing's over windows of w (chain_from is then the
// step's first position); else they start again at the held prefix's first position,
// over the whole context (once), or at a new prefix's origin. A chain's first window
// starts at its own energy, as the analysis does.
void extend_chains(PrefixStep& step, const SquarePrefix& held, bool covers, std::uint64_t w, float alpha);

// The call's bounds from the chains. The call smooths its own bounds from its first
// window (the analysis's start) until each equals the held chain at that window's
// end, bit for bit. From there on its smoothing of the bounds and the chain's take
// the same energies' bounds (the same prefix values, the same operations) through
// the same steps, so they stay equal: the chain's values are the call's bounds. The
// windows ending in the step's positions are copied from its chains, the last (maybe
// short) one is bounded and smoothed on. False when the chains are not met within
// kLongestHead windows, before the step's positions; the call then bounds every
// window itself.
bool chain_bounds(const PrefixReader& r, const Combined& combined, std::uint64_t w, std::size_t n, float alpha,
                  BoundedCall& c);

}  // namespace talvane
