// A bounded call's exact values where they matter: ranks from bounds, exact smoothing from where the bounds meet.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "config.hpp"
#include "streaming/bounded_grid.hpp"
#include "streaming/window_store.hpp"

namespace talvane {

// What the parts of one bounded call share: its grid (n windows of window_len laid
// from combined's first sample), the smoothing, and call.lo[k] <= S[k] <= call.hi[k]
// for every window's smoothed value S[k].
struct BoundedGrid {
    BoundedCall& call;
    const Combined& combined;
    std::uint64_t window_len;
    std::size_t n;
    float alpha;
    const SampleColumns& columns;  // the exact sums' squares, where they hold a window

    float lo(std::size_t k) const noexcept { return call.low(k); }
    float hi(std::size_t k) const noexcept { return call.high(k); }
};

// Bits of BoundedCall::known.
constexpr std::uint8_t kEnergyKnown = 1;
constexpr std::uint8_t kValueKnown = 2;

// The exact smoothed values of windows `targets` (ascending) into call.exact. The
// recurrence is monotone in its running value, so runs of it over the exact
// energies from call.lo[j] and from call.hi[j] enclose the true one from window j
// on; where they are the same float, every start between them gives that value,
// and so does the true one, from there on. A target the two runs have not met by
// is run again from further back, from the first window at worst.
void resolve_exact(const BoundedGrid& g, std::span<const std::uint32_t> targets);

// The values at ranks lo and hi (hi is lo or lo + 1) of the windows' smoothed
// values, as a selection over all of them gives, and the relative band the
// selection gathered within. Windows whose bounds lie wholly below or above a
// bracket of the ranks are only counted; those that may lie in it get exact values.
// The bracket is sought first within `band` of `hint` (the rank's last value),
// widened when the ranks fall outside. A second rank is a second call.
struct BoundedRank {
    float low, high;
    float band;  // the band to start from next call
};
// Nothing when no bracket was found (bounds that are not numbers).
std::optional<BoundedRank> select_bounded_rank(const BoundedGrid& g, std::size_t lo, std::size_t hi, float hint,
                                               float band);

// The keep flags of windows [first_flag, n) into a.flags: each window's voice
// decision from its bounds where they lie on one side of the threshold, else from
// its exact value, then the cleaning passes.
void bounded_flags(StreamAnalysis& a, const BoundedGrid& g, const GateConfig& config, std::size_t chunk_first);

}  // namespace talvane
