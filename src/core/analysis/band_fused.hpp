// The band-pass filter (both edges) on AVX2 in three passes, for short calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/band_filter.hpp"
#include "analysis/simd.hpp"

// Not on Windows: GCC there keeps the stack 16-byte aligned and does not realign it
// for 32-byte values, so a register it spills to the stack could fault; the stage
// loops serve every call there.
#if TALVANE_X86 && !defined(_WIN32)
#define TALVANE_BAND_FUSED 1
#else
#define TALVANE_BAND_FUSED 0
#endif

namespace talvane {

#if TALVANE_BAND_FUSED
// BandFilter's stages for two sections, the same bits as the stage loops, in three
// passes over each segment instead of six, four samples a step, each stage's
// earlier values kept in registers (the outputs 4 and 8 samples back, which the
// poles read, are whole registers of the steps before). A call's samples past the
// last whole step before a flush point, or the call's end, take one step each.
void band_pass_fused_avx2(const float* in, float* out, std::size_t n, BandFilter::State& state,
                          std::uint64_t& phase, const BandFilter& filter);
#endif

}  // namespace talvane
