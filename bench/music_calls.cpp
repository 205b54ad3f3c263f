// The music measure, or the speech band filter beside it, over 30 s of a tone in noise
// in calls of one window (or, for the measure, in parts of 16384 samples as the batch
// analysis feeds it), for counting instructions per sample
// (bench/music_instructions.py runs it under callgrind, which collects only inside
// timed_calls).
//
//     music_calls RATE music|parts|band
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "analysis/band_filter.hpp"
#include "analysis/music_measure.hpp"

namespace {

constexpr std::size_t kPart = 16384;  // what the batch analysis hands the measure at once

__attribute__((noinline)) double timed_calls(std::uint64_t rate, const char* what, std::vector<float>& x) {
    const std::size_t w = static_cast<std::size_t>((rate + 50) / 100);
    double check = 0.0;
    if (std::strcmp(what, "band") != 0) {
        talvane::MusicMeasure m(rate, w);
        const std::size_t call = std::strcmp(what, "parts") == 0 ? kPart : w;
        std::vector<talvane::MusicValues> out(call / (2 * w) + 1);
        for (std::size_t at = 0; at + call <= x.size(); at += call) {
            const std::size_t n = m.process(std::span<const float>(x.data() + at, call), out);
            for (std::size_t i = 0; i < n; ++i) check += out[i].factor;
        }
    } else {
        talvane::BandFilter f(*talvane::band_preset("speech", rate), rate);  // what the measure is fed
        for (std::size_t at = 0; at + w <= x.size(); at += w) f.process({x.data() + at, w}, {x.data() + at, w});
        check = x.back();
    }
    return check;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::uint64_t rate = std::strtoull(argv[1], nullptr, 10);
    std::vector<float> x(static_cast<std::size_t>(rate) * 30);
    std::uint32_t lcg = 1;
    for (std::size_t i = 0; i < x.size(); ++i) {
        lcg = lcg * 1664525u + 1013904223u;
        x[i] = 0.3f * std::sin(0.05f * static_cast<float>(i % 1257)) + 1e-6f * static_cast<float>(lcg >> 16);
    }
    std::printf("%g\n", timed_calls(rate, argv[2], x));
}
