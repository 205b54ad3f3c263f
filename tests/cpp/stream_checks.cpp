// The streaming core against the plain way: every call, the store, the runs and their trackers.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "analysis/energy.hpp"
#include "analysis/keep_mask.hpp"
#include "batch/gain.hpp"
#include "checks.hpp"
#include "core_helpers.hpp"
#include "messages.hpp"
#include "streaming/stream_state.hpp"

namespace talvane {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Bit for bit, except that a NaN matches any NaN: the sign of a NaN made in
// arithmetic depends on which operand the compiled code takes first.
bool same(float a, float b) {
    return std::isnan(a) ? std::isnan(b) : std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// The keep mask of the analysis of `samples` under `rule`.
FlagBuffer rule_mask(const GateConfig& config, std::span<const float> samples, std::uint64_t rate,
                     ThresholdRule rule) {
    if (rule == ThresholdRule::ratio) return compute_keep_mask_inner(config, samples, rate);
    const AnalysisView view = analyse_inner(config, samples, rate, std::nullopt, rule);
    return expand_flags(view.decision.keep, view.window_len, samples.size());
}

// A chunk gated the plain way: the analysis over a fresh combined buffer.
SampleBuffer plain_chunk(const GateConfig& config, std::vector<float>& context, std::optional<float>& last_gain,
                         std::span<const float> chunk, std::uint64_t rate, ThresholdRule rule) {
    std::vector<float> combined(context);
    combined.insert(combined.end(), chunk.begin(), chunk.end());
    const FlagBuffer mask = rule_mask(config, combined, rate, rule);
    std::vector<float> gains(chunk.size());
    for (std::size_t k = 0; k < chunk.size(); ++k) {
        gains[k] = mask[context.size() + k] != 0 ? 1.0f : config.attenuation;
    }
    const std::uint64_t fade = fade_length(config, rate);
    const std::vector<float> curve = fade >= 2 ? literal_ramps(gains, fade, last_gain ? &*last_gain : nullptr) : gains;
    SampleBuffer out(chunk.size());
    for (std::size_t k = 0; k < chunk.size(); ++k) out[k] = chunk[k] * curve[k];
    const std::size_t keep = std::min<std::size_t>(combined.size(), context_limit(config, rate));
    context.assign(combined.end() - static_cast<std::ptrdiff_t>(keep), combined.end());
    last_gain = curve.back();
    return out;
}

// The store holds the energies of the stream's windows where its slots say.
bool store_holds(const WindowStore& store, std::span<const float> history) {
    if (store.lattice.window_len == 0) return true;
    const std::span<const float> held = store.energies.view();
    const std::uint64_t w = store.lattice.window_len;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const std::uint64_t start = store.lattice.offset + (store.first + i) * store.lattice.block;
        if (start + w > store.end || store.end > history.size()) return false;
        if (!same(window_energies(history.subspan(start, w), w)[0], held[i])) return false;
    }
    return store.lattice.phases() <= kMaxPhases;
}

// Every row the columns hold is the squares of the stream's samples there.
bool columns_hold(const SampleColumns& columns, std::span<const float> history) {
    const std::uint64_t w = columns.window;
    if (w == 0) return true;
    if (columns.origin + columns.end * w > history.size() || columns.end - columns.first > columns.rows) return false;
    for (std::uint64_t r = columns.first; r < columns.end; ++r) {
        for (std::uint64_t c = 0; c < w; ++c) {
            const float x = history[columns.origin + r * w + c];
            if (!same(x * x, columns.squares[c * columns.rows + r % columns.rows])) return false;
        }
    }
    return true;
}

// The keys of `values` against a tracker: those in [low, high] held, those beyond
// counted on their side.
bool tracker_holds(const RankTracker& tracker, std::span<const float> values) {
    std::vector<std::uint32_t> expected;
    std::size_t below = 0, above = 0;
    for (const float v : values) {
        const std::uint32_t key = total_order_key(v);
        below += key < tracker.low() ? 1 : 0;
        above += key > tracker.high() ? 1 : 0;
        if (key >= tracker.low() && key <= tracker.high()) expected.push_back(key);
    }
    std::sort(expected.begin(), expected.end());
    return std::ranges::equal(expected, tracker.held()) && below == tracker.below() && above == tracker.above();
}

// Every live run follows the smoothing recurrence over the stream's energies (so a
// restart that meets it goes on with its values), holds no NaN, and its trackers
// hold the keys of its settled windows.
bool runs_hold(const StreamCaches& caches, const GateConfig& config, std::span<const float> history,
               std::uint64_t w, std::size_t ranks) {
    for (const GridRun& run : caches.runs) {
        if (!run.live) continue;
        const std::span<const float> v = run.smoothed.view();
        if (run.start + v.size() * w > history.size() || run.settled > v.size()) return false;
        const std::vector<float> e = window_energies(history.subspan(run.start, v.size() * w), w);
        for (std::size_t k = 0; k < v.size(); ++k) {
            if (std::isnan(v[k])) return false;
            if (k > 0 && !same(smooth_step(v[k - 1], config.smooth_alpha, e[k]), v[k])) return false;
        }
        for (std::size_t id = 0; id < ranks; ++id) {
            // A borrowing tracker holds nothing: the floor's then holds every key.
            const bool borrows = run.ranks[id].borrows();
            const bool beside_all = id != kFloorRank && run.ranks[kFloorRank].holds_all();
            if (borrows && (!beside_all || !run.ranks[id].held().empty())) return false;
            if (!borrows && !tracker_holds(run.ranks[id], v.subspan(run.settled))) return false;
        }
    }
    return true;
}

// The view of the last call against the analysis of context + chunk.
bool view_holds(const CallView& view, const GateConfig& config, std::span<const float> combined,
                std::span<const float> chunk, std::span<const float> output, std::uint64_t rate,
                ThresholdRule rule) {
    const AnalysisView expected = analyse_inner(config, combined, rate, std::nullopt, rule);
    const std::uint64_t context_len = combined.size() - chunk.size();
    const std::uint64_t first = context_len / expected.window_len;
    const std::vector<std::uint8_t> flags(expected.decision.keep.begin() + static_cast<std::ptrdiff_t>(first),
                                          expected.decision.keep.end());
    const SampleBuffer gains = chunk_gains(view.flags, view.window_len, view.offset, view.chunk_len, view.fade_len,
                                           view.attenuation, view.entry_gain ? &*view.entry_gain : nullptr);
    const FlagBuffer mask = chunk_keep_mask(view.flags, view.window_len, view.offset, view.chunk_len);
    const FlagBuffer plain_mask = rule_mask(config, combined, rate, rule);
    bool masks = mask.size() == chunk.size();
    for (std::size_t k = 0; masks && k < chunk.size(); ++k) masks = mask[k] == plain_mask[context_len + k];
    bool products = true;
    for (std::size_t k = 0; k < chunk.size(); ++k) products = products && same(chunk[k] * gains[k], output[k]);
    const bool high = rule == ThresholdRule::ratio || same(view.high, expected.decision.high);
    return view.present && high && same(view.ratio, expected.decision.ratio) &&
           same(view.floor, expected.decision.floor) &&
           same(view.threshold.value, expected.decision.threshold.value) &&
           view.threshold.clamped == expected.decision.threshold.clamped && std::ranges::equal(view.flags, flags) &&
           view.offset == context_len - first * expected.window_len && products && masks;
}

// Which of the streaming paths the calls took.
struct PathCounts {
    int met = 0;        // a run continued: the restart met it
    int tracked = 0;    // the floor came from a run's tracker
    int rebuilt = 0;    // a tracker was built again around the floor
    int borrowed = 0;   // the high rank selected among the floor tracker's keys
    int bounded = 0;    // the cleaning passes ran over a part of the windows
    int lattice = 0;    // the store followed a lattice of several phases
    int served = 0;     // the store served most of the call's windows
    int lanes = 0;      // the restart was read from a lane an earlier call ran
    int from_bounds = 0;  // a grid that does not come back, analysed from bounds
    int chained = 0;      // such a call whose bounds met the stream's chains
};

// One stream checked call by call against the plain way, with the samples it has
// seen since it began.
struct CheckedStream {
    GateConfig config;
    StreamState state;
    std::vector<float> context;
    std::optional<float> last_gain;
    std::vector<float> history;

    void new_stream() {
        context.clear();
        last_gain.reset();
        history.clear();
    }
};

void count_paths(PathCounts& paths, const StreamAnalysis& a) {
    paths.met += a.smoothed.meet < a.smoothed.run_end ? 1 : 0;
    paths.tracked += a.tracked ? 1 : 0;
    paths.rebuilt += a.rebuilt ? 1 : 0;
    paths.borrowed += a.ranks > kHighRank && a.next_ranks[kHighRank].borrows() ? 1 : 0;
    paths.bounded += a.first_flag > 0 ? 1 : 0;
    paths.lattice += a.store.lattice.phases() > 1 ? 1 : 0;
    const std::size_t served = (a.energies.held_end - a.energies.held_begin) +
                               (a.energies.computed_end - a.energies.computed_begin);
    paths.served += 2 * served > a.n ? 1 : 0;
    paths.lanes += a.lanes == StreamAnalysis::Lanes::used ? 1 : 0;
    paths.from_bounds += a.bounded ? 1 : 0;
    paths.chained += a.bounded && a.bounded_call.own_to < a.n ? 1 : 0;
}

// A call analysed from bounds: each window's bounds enclose its smoothed value.
bool bounds_hold(const StreamAnalysis& a, const GateConfig& config, std::span<const float> combined,
                 std::uint64_t w) {
    if (!a.bounded) return true;
    const std::vector<float> smoothed = smooth_energies(window_energies(combined, w), config.smooth_alpha);
    bool held = smoothed.size() == a.n;
    for (std::size_t k = 0; held && k < a.n; ++k) {
        held = a.bounded_call.low(k) <= smoothed[k] && smoothed[k] <= a.bounded_call.high(k);
    }
    return held;
}

void check_call(CheckedStream& stream, std::span<const float> chunk, std::uint64_t rate, PathCounts& paths,
                int round, int call) {
    StreamState& state = stream.state;
    std::vector<float> combined(stream.context);
    combined.insert(combined.end(), chunk.begin(), chunk.end());
    const SampleBuffer expected =
        plain_chunk(stream.config, stream.context, stream.last_gain, chunk, rate, state.rule);
    ChunkPlan plan = plan_chunk(stream.config, state, chunk, rate, false);
    count_paths(paths, *plan.analysis);
    const std::uint64_t w = window_length(stream.config, rate);
    CHECK(bounds_hold(*plan.analysis, stream.config, combined, w), "bounds miss a smoothed value (round %d call %d)",
          round, call);
    reserve_context(state, plan);
    const SampleBuffer got = plan.output;
    commit_chunk(state, plan, chunk);
    stream.history.insert(stream.history.end(), chunk.begin(), chunk.end());
    CHECK(same_bits(expected, got), "stream output differs (round %d call %d)", round, call);
    CHECK(same_bits(stream.context, held_values(state.context)), "context differs (round %d call %d)", round, call);
    CHECK(state.last_gain.has_value() && same_bits(std::vector<float>{*stream.last_gain},
                                                   std::vector<float>{*state.last_gain}),
          "last gain differs");
    CHECK(state.context_start + state.context.size() == stream.history.size(), "context start wrong");
    if (call % 4 == 0) {
        CHECK(store_holds(state.caches.store, stream.history), "window store broken (round %d call %d)", round, call);
        CHECK(columns_hold(state.caches.prefix.columns, stream.history), "columns broken (round %d call %d)", round,
              call);
        const std::size_t ranks = state.rule == ThresholdRule::noise ? 2 : 1;
        CHECK(runs_hold(state.caches, stream.config, stream.history, w, ranks), "runs broken (round %d call %d)",
              round, call);
        CHECK(view_holds(state.last_call, stream.config, combined, chunk, got, rate, state.rule),
              "last call's view differs (round %d call %d)", round, call);
    }
}

// Every call against a fresh analysis of context + chunk: contexts from one window
// to 60 s, chunks from one sample to seconds, cleaning counts from 0 to the largest
// word, smoothing that meets after a few windows, after many, or never, NaN and
// infinite samples, changes of rate and resets.
void streaming_agrees_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    const std::uint64_t counts[] = {0, 1, 2, 3, 5, 8, 40, std::numeric_limits<std::uint64_t>::max()};
    const float alphas[] = {0.2f, 0.5f, 0.05f, 1.0f, 0.0f, -0.5f, kNaN, 0.9f};
    const float percentiles[] = {20.0f, 100.0f, 0.0f, 97.5f, 50.0f};
    const std::uint64_t contexts[] = {1, 10, 50, 400, 3000, 10000, 60000};  // ms
    const float attenuations[] = {0.0f, 0.25f, kNaN, 1.0f, -0.0f};
    for (int round = 0; round < 84; ++round) {
        CheckedStream stream;
        if (round % 4 == 3) stream.state.rule = ThresholdRule::noise;  // both tracked ranks
        GateConfig& config = stream.config;
        const std::uint64_t rate = round % 5 == 4 ? 8000 : 1000;
        config.window_ms = rate == 8000 ? 10 : std::uniform_int_distribution<std::uint64_t>(1, 4)(rng);
        config.stream_context_ms = contexts[round % 7];
        const bool usual = round % 3 != 2;
        auto count = [&](std::uint64_t usual_count) { return usual ? usual_count : counts[rng() % 8]; };
        config.min_voice_windows = count(5);
        config.max_silence_gap_windows = count(8);
        config.pad_voice_windows = count(2);
        config.pass_windows = count(round % 2);
        config.smooth_alpha = usual && round % 4 != 1 ? 0.2f : alphas[rng() % 8];
        config.noise_floor_percentile = percentiles[round % 5];
        config.fade_ms = round % 6;
        config.attenuation = attenuations[round % 5];
        const std::uint64_t w = window_length(config, rate);
        const std::uint64_t limit = context_limit(config, rate);
        std::uint64_t stream_rate = rate;
        std::size_t filled = 0;  // a long context is filled with big chunks first
        for (int call = 0; call < 260; ++call) {
            std::size_t n = w * std::uniform_int_distribution<std::size_t>(1, 2)(rng);
            if (filled < limit) n = std::min<std::size_t>(limit, std::max<std::size_t>(n, limit / 3 + 1));
            if (call % 37 == 36) n = std::uniform_int_distribution<std::size_t>(1, 3 * w)(rng);  // misaligned
            if (call % 53 == 52) n = std::uniform_int_distribution<std::size_t>(rate, 4 * rate)(rng);  // seconds
            if (call % 89 == 88) {
                stream_rate = stream_rate == rate ? rate + 1000 : rate;  // a new stream
                stream.new_stream();
                filled = 0;
            }
            if (call % 127 == 126) {
                reset_stream(stream.state);
                stream.new_stream();
                filled = 0;
            }
            check_call(stream, random_signal(rng, n), stream_rate, paths, round, call);
            filled += n;
        }
    }
}

// Chunks off the window grid: each length in turn for a stretch of calls once the
// context is full, then lengths that change every call, a new stream and a reset;
// 44.1 kHz with power-of-two chunks among them. Every call against the plain way.
void off_grid_streams_agree_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    struct Plan {
        std::uint64_t rate, window_ms, first, second;  // chunk lengths
    };
    const Plan plans[] = {
        {1000, 4, 6, 7},      {1000, 3, 7, 5},       {8000, 10, 96, 85},   {8000, 10, 90, 81},
        {16000, 10, 256, 441}, {16000, 10, 512, 250}, {8000, 10, 100, 120}, {44100, 10, 1024, 512},
    };
    const std::uint64_t contexts[] = {3000, 400, 1000};  // ms
    for (int round = 0; round < 16; ++round) {
        const Plan& plan = plans[round % 8];
        CheckedStream stream;
        if (round % 4 == 2) stream.state.rule = ThresholdRule::noise;  // both tracked ranks
        stream.config.window_ms = plan.window_ms;
        stream.config.stream_context_ms = contexts[round % 3];
        stream.config.pass_windows = round % 2;
        if (round % 4 == 3) stream.config.smooth_alpha = 0.5f;
        const std::uint64_t w = window_length(stream.config, plan.rate);
        std::uint64_t rate = plan.rate;
        int call = 0;
        auto stretch = [&](std::uint64_t n, int calls) {
            for (int i = 0; i < calls; ++i) check_call(stream, random_signal(rng, n), rate, paths, round, call++);
        };
        stretch(plan.first, 90);
        if (plan.rate == 44100) {  // the context's limit raised mid-stream (the plug-ins' control)
            stream.config.stream_context_ms *= 4;
            stretch(plan.first, 60);
        }
        stretch(plan.second, 40);
        stretch(plan.first, 40);
        for (int i = 0; i < 30; ++i) {  // lengths that change every call
            stretch(std::uniform_int_distribution<std::uint64_t>(w / 2 + 1, 3 * w)(rng), 1);
        }
        stretch(16 * w + 1, 3);  // longer than the room held for the context's windows
        rate = plan.rate / 2;  // a new stream
        stream.new_stream();
        stretch(window_length(stream.config, rate) + 1, 20);
        reset_stream(stream.state);
        stream.new_stream();
        rate = plan.rate;
        stretch(plan.first, 40);
    }
}

// A floor that keeps moving (a level rising window after window, then falling)
// through a context of 2000 windows, on the window grid, off it, and off it by a
// length drawn anew every call (analysed from bounds): the trackers are built again
// and again around it, and the bounded selection's band is outgrown. Every call
// against the plain way.
void moving_floor_streams_agree_with_plain(std::mt19937_64& rng, PathCounts& paths) {
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int round = 0; round < 6; ++round) {
        CheckedStream stream;
        if (round % 2 == 1) stream.state.rule = ThresholdRule::noise;  // both tracked ranks
        stream.config.window_ms = 2;  // 2 samples at 1000 Hz
        stream.config.stream_context_ms = 4000;
        const std::uint64_t rate = 1000, fixed = round % 3 == 0 ? 2 : 5;
        check_call(stream, random_signal(rng, 4000), rate, paths, round, 0);
        float level = 0.01f;
        for (int call = 1; call < 1200; ++call) {
            const std::uint64_t chunk = round % 3 == 2 ? 2 * (rng() % 3) + 3 : fixed;
            std::vector<float> x(chunk);
            for (float& v : x) {
                level *= call < 700 ? 1.003f : 0.996f;
                v = noise(rng) * level;
            }
            check_call(stream, x, rate, paths, round, call);
        }
    }
}

// The tracker's ranks of held keys and loose values are those of a sort of them
// all, or none when they lie outside; changes keep its multiset.
void rank_tracker_matches_sort(std::mt19937_64& rng) {
    std::vector<std::uint32_t> scratch;
    for (int round = 0; round < 2000; ++round) {
        const bool ties = round % 3 == 0;
        auto value = [&] {
            return ties ? static_cast<float>(rng() % 5) * 0.25f
                        : std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x7f800000u));
        };
        std::vector<float> held(rng() % 300 + 1), loose(rng() % 60), leaving, entering(rng() % 20);
        for (float& v : held) v = value();
        for (float& v : loose) v = value();
        for (float& v : entering) v = value();
        if (round % 11 == 0 && !loose.empty()) loose[0] = kNaN;
        RankTracker tracker;
        ValueRuns all;
        all.add(held);
        const std::size_t margin = rng() % 40 + 1;
        tracker.build(all, rng() % held.size(), margin, scratch);
        CHECK(tracker_holds(tracker, held), "built tracker broken (round %d)", round);
        // Some held values leave, new ones enter.
        std::shuffle(held.begin(), held.end(), rng);
        const std::size_t leave = rng() % (held.size() / 2 + 1);
        leaving.assign(held.end() - static_cast<std::ptrdiff_t>(leave), held.end());
        held.resize(held.size() - leave);
        held.insert(held.end(), entering.begin(), entering.end());
        ValueRuns out, in;
        out.add(leaving);
        in.add(entering);
        tracker.change(out, in, scratch);
        CHECK(tracker_holds(tracker, held), "changed tracker broken (round %d)", round);
        std::vector<std::uint32_t> keys;
        for (const float v : held) keys.push_back(total_order_key(v));
        for (const float v : loose) keys.push_back(total_order_key(v));
        std::sort(keys.begin(), keys.end());
        if (keys.size() < 2) continue;
        const std::size_t lo = rng() % (keys.size() - 1), hi = lo + (round % 2);
        ValueRuns extra;
        extra.add(std::span<const float>(loose).first(loose.size() / 2));
        extra.add(std::span<const float>(loose).subspan(loose.size() / 2));
        const std::optional<RankedKeys> found = tracker.select(extra, lo, hi, scratch);
        std::size_t below = 0, inside = 0;
        for (const std::uint32_t k : keys) {
            below += k < tracker.low() ? 1 : 0;
            inside += k >= tracker.low() && k <= tracker.high() ? 1 : 0;
        }
        const bool holds = lo >= below && hi < below + inside;
        CHECK(found.has_value() == holds && (!holds || (found->low == keys[lo] && found->high == keys[hi])),
              "tracker selection differs (round %d)", round);
    }
}

// The context's ring against a plain vector: random appends, drops and reads of
// every reach, with the room growing now and then; each read gives the values in
// order, and the ring wraps, moves and joins its pieces along the way.
void sample_ring_matches_model(std::mt19937_64& rng) {
    int wraps = 0, joins = 0;
    for (int round = 0; round < 40; ++round) {
        SampleRing ring;
        std::vector<float> model;
        const std::size_t most = rng() % 2000 + 1;
        float next = 0.0f;
        for (int op = 0; op < 3000; ++op) {
            // Reads reach back little in most rounds (the ring wraps), far in some.
            const std::size_t reach = round % 4 == 0 ? model.size() : std::min<std::size_t>(model.size(), rng() % 50);
            if (reach > 0) {
                const std::size_t count = rng() % reach + 1, from = model.size() - reach;
                const bool was_wrapped = ring.wrapped();
                const float* got = ring.read(from, count);
                joins += was_wrapped && !ring.wrapped() ? 1 : 0;
                CHECK(std::equal(got, got + count, model.begin() + static_cast<std::ptrdiff_t>(from)),
                      "ring read differs (round %d op %d)", round, op);
            }
            std::vector<float> tail(rng() % (most / 4 + 2));
            for (float& v : tail) v = next++;
            const std::size_t old_len = op % 97 == 0 ? rng() % (model.size() + 1) : model.size();
            const std::size_t keep = std::min(old_len + tail.size(), op % 89 == 0 ? rng() % (most + 1) : most);
            ring.reserve(keep, op % 500 == 0 ? keep : most);
            ring.replace(old_len, tail, keep);
            model.resize(old_len);
            model.insert(model.end(), tail.begin(), tail.end());
            model.erase(model.begin(), model.end() - static_cast<std::ptrdiff_t>(keep));
            wraps += ring.wrapped() ? 1 : 0;
            CHECK(same_bits(model, held_values(ring)) && ring.size() == model.size(),
                  "ring holds other values (round %d op %d)", round, op);
        }
    }
    CHECK(wraps > 1000 && joins > 10, "ring paths not reached (%d wrapped, %d joined)", wraps, joins);
}

// A chunk whose analysis fails leaves the stream exactly as it was, even when its
// rate differs from the stream's (which would otherwise start a new stream).
void failed_chunk_changes_nothing(std::mt19937_64& rng) {
    GateConfig good;
    StreamState state;
    const std::vector<float> first = random_signal(rng, 4000);
    process_chunk_inner(good, state, first, 16000, false);
    const std::vector<float> context = held_values(state.context);
    const std::optional<float> gain = state.last_gain;
    GateConfig bad;
    bad.base_thresh = 0.5f;
    bad.max_thresh = 0.1f;
    for (std::uint64_t rate : {16000u, 8000u}) {
        bool threw = false;
        try {
            process_chunk_inner(bad, state, random_signal(rng, 100), rate, rate == 8000);
        } catch (const CheckFailed&) {
            threw = true;
        }
        CHECK(threw, "analysis failure not reported");
        CHECK(state.stream_rate == std::optional<std::uint64_t>(16000) && state.last_gain == gain &&
                  same_bits(context, held_values(state.context)),
              "failed chunk changed the stream (rate %llu)", static_cast<unsigned long long>(rate));
    }
}

}  // namespace

void streaming_checks(std::mt19937_64& rng) {
    rank_tracker_matches_sort(rng);
    sample_ring_matches_model(rng);
    PathCounts paths;
    streaming_agrees_with_plain(rng, paths);
    off_grid_streams_agree_with_plain(rng, paths);
    moving_floor_streams_agree_with_plain(rng, paths);
    std::printf("streaming paths: runs met %d, floors from trackers %d, trackers rebuilt %d, high ranks from the "
                "floor's keys %d, bounded cleaning %d, off-grid lattices %d, windows served by the store %d, restarts "
                "read from lanes %d, from bounds %d (from chains %d)\n",
                paths.met, paths.tracked, paths.rebuilt, paths.borrowed, paths.bounded, paths.lattice, paths.served,
                paths.lanes, paths.from_bounds, paths.chained);
    // The rounds are built to reach every path; a change that stopped them from
    // being taken would leave only the slow ones tested.
    CHECK(paths.met > 1000 && paths.tracked > 1000 && paths.rebuilt > 100 && paths.borrowed > 100 &&
              paths.bounded > 1000 && paths.lattice > 1000 && paths.served > 1000 && paths.lanes > 1000 &&
              paths.from_bounds > 1000 && paths.chained > 500,
          "streaming paths not reached");
    failed_chunk_changes_nothing(rng);
    live_calls_allocate_nothing();
}

}  // namespace talvane
