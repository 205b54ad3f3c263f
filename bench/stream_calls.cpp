// A stream of fixed-length chunks through the core alone, for counting the
// instructions of its calls once the context is full (bench/instructions.py runs
// it under callgrind, which collects only inside timed_calls).
//
//     stream_calls SIGNAL RATE CHUNK CONTEXT_MS CALLS
//
// SIGNAL is raw float32 samples, read from the start and long enough for the
// context and the calls. CHUNK is a length, or LOW-HIGH for lengths drawn
// uniformly from that range (seeded, the same every run). Prints the chunks' checksum, so that the calls are not
// optimised away and two builds can be compared, and the calls' median time in
// nanoseconds (in blocks of 100) on standard error, a rough figure for the
// machine's load.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "streaming/stream_state.hpp"

namespace {

// The calls counted: everything a call does in the core, output included.
__attribute__((noinline)) double timed_calls(const talvane::GateConfig& config, talvane::StreamState& state,
                                             std::span<const float> samples, std::span<const std::size_t> lengths,
                                             std::uint64_t rate) {
    double sum = 0.0;
    std::size_t at = 0;
    for (const std::size_t n : lengths) {
        const talvane::SampleBuffer out = talvane::process_chunk_inner(config, state, samples.subspan(at, n), rate, false);
        sum += static_cast<double>(out[n - 1]);
        at += n;
    }
    return sum;
}

}  // namespace

// The speech preset's analysis: the noise rule (where the core has it) and its
// parameters. False for a core without the rule.
template <class State>
bool speech_preset(talvane::GateConfig& config, State& state) {
    if constexpr (requires { state.rule; }) {
        state.rule = decltype(state.rule)::noise;
        config.threshold_ratio = 1.2f;
        config.base_thresh = 0.004f;
        config.max_thresh = std::numeric_limits<float>::infinity();
        config.min_voice_windows = 1;
        return true;
    }
    return false;
}

int main(int argc, char** argv) {
    if (argc != 6 && !(argc == 7 && std::string(argv[6]) == "speech")) {
        std::fprintf(stderr, "usage: %s SIGNAL RATE CHUNK CONTEXT_MS CALLS [speech]\n", argv[0]);
        return 2;
    }
    const std::uint64_t rate = std::strtoull(argv[2], nullptr, 10);
    const std::string spec = argv[3];
    const std::size_t dash = spec.find('-');
    const std::size_t low = std::strtoull(spec.c_str(), nullptr, 10);
    const std::size_t high = dash == std::string::npos ? low : std::strtoull(spec.c_str() + dash + 1, nullptr, 10);
    talvane::GateConfig config;
    config.stream_context_ms = std::strtoull(argv[4], nullptr, 10);
    const std::size_t calls = std::strtoull(argv[5], nullptr, 10);
    std::vector<float> signal;
    if (std::FILE* f = std::fopen(argv[1], "rb")) {
        float buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, sizeof(float), 4096, f)) > 0;) {
            signal.insert(signal.end(), buffer, buffer + got);
        }
        std::fclose(f);
    }
    const std::uint64_t limit = talvane::context_limit(config, rate);
    const std::size_t fill = (limit + low - 1) / std::max<std::size_t>(low, 1) + 64;  // full, and a few periods past
    std::mt19937_64 rng(2026);
    std::vector<std::size_t> lengths(fill + calls);
    for (std::size_t& n : lengths) n = std::uniform_int_distribution<std::size_t>(low, high)(rng);
    std::size_t needed = 0;
    for (const std::size_t n : lengths) needed += n;
    if (low == 0 || high < low || signal.size() < needed) {
        std::fprintf(stderr, "%s: need %zu samples, have %zu (or a bad chunk length)\n", argv[1], needed, signal.size());
        return 2;
    }
    talvane::StreamState state;
    if (argc == 7 && !speech_preset(config, state)) {
        std::fprintf(stderr, "%s: this core has no noise rule\n", argv[0]);
        return 2;
    }
    const std::span<const float> samples(signal);
    const std::span<const std::size_t> all(lengths);
    double sum = 0.0;
    std::size_t at = 0;
    for (std::size_t c = 0; c < fill; ++c) {
        sum += talvane::process_chunk_inner(config, state, samples.subspan(at, lengths[c]), rate, false)[0];
        at += lengths[c];
    }
    std::vector<double> blocks;
    for (std::size_t c = fill; c < fill + calls; c += 100) {
        const std::size_t n = std::min<std::size_t>(100, fill + calls - c);
        const auto t0 = std::chrono::steady_clock::now();
        sum += timed_calls(config, state, samples.subspan(at), all.subspan(c, n), rate);
        const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - t0;
        blocks.push_back(spent.count() / static_cast<double>(n));
        for (std::size_t i = c; i < c + n; ++i) at += lengths[i];
    }
    std::nth_element(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(blocks.size() / 2), blocks.end());
    std::printf("%.9g\n", sum);
    std::fprintf(stderr, "%.0f ns per call\n", blocks[blocks.size() / 2]);
    return 0;
}
