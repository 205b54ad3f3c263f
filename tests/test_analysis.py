"""Keep-mask analysis: window decisions, noise floor, threshold limits, and both
mask methods checked bit for bit against the reference model."""

import dataclasses

import numpy as np
import pytest

import reference as ref
from conftest import pattern_samples
from talvane_rs import BandFilter, EnergyTalvane, Stream, _analysis, analyse, band_filter, cut, keep_regions
from talvane_rs.params import PRESETS

f32 = np.float32
NAN = float("nan")
INF = float("inf")
U64_MAX = ref.U64_MAX

# ref.PER_SAMPLE: one window per sample, smoothed energy |x|, threshold 0.25, no passes.
PER_WINDOW = ref.PER_SAMPLE


def window_string(cfg, samples, rate=1000):
    gate = EnergyTalvane(**cfg.kwargs())
    mask = gate.compute_keep_mask(samples, rate)
    assert ref.window_len(cfg, rate) == 1
    return ref.golden(mask)


def bad_limits_error(call):
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception)
    return info.value


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        ({}, "X.XXX.X.XXX....."),
        ({"min_voice_windows": 3}, "..XXX...XXX....."),
        ({"min_voice_windows": 3, "max_silence_gap_windows": 3}, "..XXXXXXXXX....."),
        ({"min_voice_windows": 3, "max_silence_gap_windows": 3, "pad_voice_windows": 1}, ".XXXXXXXXXXX...."),
        (
            {"min_voice_windows": 3, "max_silence_gap_windows": 3, "pad_voice_windows": 1, "pass_windows": 2},
            "XXXXXXXXXXXXXX..",
        ),
    ],
    ids=["voice", "pass1", "pass2", "pass3", "pass4"],
)
def test_four_passes_stage_by_stage(changes, expected):
    cfg = PER_WINDOW.replace(**changes)
    x = pattern_samples("X.XXX.X.XXX.....", voice=0.5).tolist()
    assert window_string(cfg, x) == expected
    assert ref.golden(ref.keep_windows(cfg, x, 1000)[0]) == expected


@pytest.mark.parametrize(
    ("pattern", "changes", "expected"),
    [
        ("XX..XXXX..XX", {"min_voice_windows": 3}, "....XXXX...."),
        ("XXXX.XX", {"min_voice_windows": 0}, "XXXX.XX"),
        ("XXXX.XX", {"min_voice_windows": 1}, "XXXX.XX"),
        ("XXXX.XX", {"min_voice_windows": U64_MAX}, "......."),
        ("..X..X.....X..", {"max_silence_gap_windows": 2}, "..XXXX.....X.."),
        ("..X..X.....X..", {"max_silence_gap_windows": U64_MAX}, "..XXXXXXXXXX.."),
        # A run removed by pass 1 becomes part of the gap around it.
        ("XXX.X.XXX", {"min_voice_windows": 2, "max_silence_gap_windows": 3}, "XXXXXXXXX"),
        ("XXX.X.XXX", {"min_voice_windows": 2, "max_silence_gap_windows": 2}, "XXX...XXX"),
        # Padding reads only the pass-2 flags: it does not spread further.
        (".....X.....", {"pad_voice_windows": 2}, "...XXXXX..."),
        ("X.........", {"pad_voice_windows": 2}, "XXX......."),
        ("....X", {"pad_voice_windows": U64_MAX}, "XXXXX"),
        (".....", {"pad_voice_windows": U64_MAX}, "....."),
        # The counter starts at zero, so the start of the recording counts too.
        ("......", {"pass_windows": 2}, "XX...."),
        ("..X.....X...", {"pass_windows": 2}, "XXXXX...XXX."),
        ("..X.....", {"pass_windows": U64_MAX}, "XXXXXXXX"),
        # A NaN with weight 1 meets 0 * NaN: every later smoothed energy is NaN.
        ("XXXXNXXX", {}, "XXXX...."),
    ],
)
def test_passes(pattern, changes, expected):
    cfg = PER_WINDOW.replace(**changes)
    x = pattern_samples(pattern, voice=0.5).tolist()
    assert window_string(cfg, x) == expected
    assert ref.golden(ref.keep_windows(cfg, x, 1000)[0]) == expected


def probe_signal(low, floor, ratio):
    """Windows holding low plus two probes: ratio * floor, which is exactly the
    threshold and so not voice, and the next float32 above it. Returns the
    samples in a scrambled order and the expected window string."""
    at = f32(floor) * f32(ratio)
    values = [*low, at, np.nextafter(at, f32(INF))]
    order = np.random.default_rng(len(values)).permutation(len(values))
    x = [float(values[i]) for i in order]
    return x, ref.golden(f32(v) > at for v in x)


def floor_config(percentile, ratio):
    return PER_WINDOW.replace(base_thresh=0.0, max_thresh=INF, threshold_ratio=ratio, noise_floor_percentile=percentile)


@pytest.mark.parametrize("n", [4, 6, 101])
def test_noise_floor_examples(n):
    low = [f32(0.002), f32(0.0141)] + [f32(0.015 + k / 4096) for k in range(n - 4)]
    ordered = sorted(low)
    if n == 4:
        frac = f32(0.6)
        floor = ordered[1] * frac + (f32(1) - frac) * ordered[0]
        # Other orders of the float32 steps give other values here.
        assert floor != f32(0.6 * float(ordered[1]) + 0.4 * float(ordered[0]))
        assert floor != ordered[0] + frac * (ordered[1] - ordered[0])
    else:
        floor = ordered[1] if n == 6 else ordered[20]
    # The probes lie above the floor, so they do not move it.
    ratio = 2.0 if n != 101 else 1.25
    x, expected = probe_signal(low, floor, ratio)
    assert ref.noise_floor([f32(v) for v in x], f32(20.0)) == floor
    assert window_string(floor_config(20.0, ratio), x) == expected


@pytest.mark.parametrize(("value", "expected"), [(0.1, "X"), (0.3, ".")])
def test_first_window_goes_through_the_smoothing(value, expected):
    # 0.8 * 0.1 + 0.2 * 0.1 rounds to 0.10000001 in float32, above a threshold
    # of exactly 0.1; for 0.3 it rounds back to 0.3.
    cfg = PER_WINDOW.replace(smooth_alpha=0.2, base_thresh=value, max_thresh=value)
    assert window_string(cfg, [value]) == expected
    assert ref.golden(ref.keep_windows(cfg, [value], 1000)[0]) == expected


@pytest.mark.parametrize(("percentile", "expected"), [(0.0, "XX..."), (50.0, "....."), (100.0, ".....")])
def test_nan_energies_sort_last(percentile, expected):
    # From the NaN on, every smoothed energy is NaN: 0.3 0.2 0.1 NaN NaN.
    cfg = floor_config(percentile, 1.0)
    x = [0.3, 0.2, 0.1, NAN, 0.5]
    assert window_string(cfg, x) == expected
    assert ref.golden(ref.keep_windows(cfg, x, 1000)[0]) == expected


@pytest.mark.parametrize(
    ("percentile", "pick"),
    [(0.0, 0), (-5.0, 0), (-INF, 0), (NAN, 0), (100.0, -1), (150.0, -1), (INF, -1)],
)
def test_percentile_is_clamped(percentile, pick):
    low = [f32(v) for v in (0.01, 0.02, 0.04, 0.08)]
    # The probes lie between the smallest and the largest value.
    ratio = 4.0 if pick == 0 else 0.25
    x, expected = probe_signal(low, low[pick], ratio)
    cfg = floor_config(percentile, ratio)
    assert window_string(cfg, x) == expected
    assert ref.golden(ref.keep_windows(cfg, x, 1000)[0]) == expected


@pytest.mark.parametrize(
    ("base", "top", "text"),
    [
        (0.05, 0.01, "min = 0.05, max = 0.01"),
        (0.008, NAN, "min = 0.008, max = NaN"),
        (NAN, NAN, "min = NaN, max = NaN"),
        (1e-5, 1e-6, "min = 1e-5, max = 1e-6"),
        (2.5e16, 1.0, "min = 2.5e16, max = 1.0"),
        (1e16, 1e-4, "min = 1e16, max = 0.0001"),
        (123456789.0, 2.0, "min = 123456790.0, max = 2.0"),
        (INF, -0.0, "min = inf, max = -0.0"),
        (-1.5e-5, -INF, "min = -1.5e-5, max = -inf"),
        (1e-45, 0.0, "min = 1e-45, max = 0.0"),
    ],
)
def test_threshold_limit_message(base, top, text):
    cfg = ref.Config(base_thresh=base, max_thresh=top)
    expected = "min > max, or either was NaN. " + text
    with pytest.raises(ref.ThresholdError) as info:
        ref.check_limits(cfg)
    assert str(info.value) == expected
    gate = EnergyTalvane(**cfg.kwargs())
    error = bad_limits_error(lambda: gate.compute_keep_mask([0.0], 16000))
    assert error.args == (expected,)
    error = bad_limits_error(lambda: gate.compute_keep_mask_array(np.zeros(3, np.float32), 16000))
    assert error.args == (expected,)
    # The object stays usable, and empty input is not analysed.
    assert gate.compute_keep_mask([], 16000) == []
    empty = gate.compute_keep_mask_array(np.zeros(0, np.float32), 16000)
    assert empty.dtype == np.bool_ and empty.shape == (0,)


def test_threshold_limit_texts_are_shortest_repr():
    # Random values of every exponent, and every power of two with its neighbours:
    # among them 2**-96, 2**87 and 2**90, whose nearest short decimal misses them
    # while the one a unit away reads back.
    rng = np.random.default_rng(13)
    powers = np.concatenate([np.uint32(1) << np.arange(23, dtype=np.uint32),
                             np.arange(1, 255, dtype=np.uint32) << np.uint32(23)])
    patterns = np.concatenate([rng.integers(1, 0x7F800000, 3000, dtype=np.uint32),
                               powers, powers - np.uint32(1), powers + np.uint32(1)])
    values = patterns.view(np.float32)
    values[::2] *= -1
    wrong = []
    for v in values:
        gate = EnergyTalvane(base_thresh=float(v), max_thresh=NAN)
        text = bad_limits_error(lambda: gate.compute_keep_mask([0.0], 16000)).args[0]
        if text != f"min > max, or either was NaN. min = {ref.format_f32(v)}, max = NaN":
            wrong.append(text)
    assert wrong == []


RATES = [0, 1, 40, 50, 8000, 16000, 22050, 44100, 48000, U64_MAX]


def check_analysis_view(cfg, x, rate, gate, same_f32):
    """analyse() shows the reference's own intermediates, and its per-sample
    fields equal the mask and the gain curve of the methods."""
    if rate == 0:  # the native classes take it; the product API refuses it
        with pytest.raises(ValueError, match="^sample_rate must be at least 1 Hz, not 0$"):
            analyse(x, rate, **cfg.kwargs())
        return
    try:
        stages, w = ref.stages(cfg, x, rate)  # checks the limits, also for no samples
    except ref.ThresholdError as e:
        for rule in (None, "noise"):
            with pytest.raises(ValueError) as info:
                _analysis.analyse(x, rate, **cfg.kwargs(), low_hz=None, high_hz=None, rule=rule, music=False)
            assert str(info.value) == str(e)
        return
    view = analyse(x if len(x) % 2 else x.tolist(), rate, **cfg.kwargs())  # the array and the list rule
    energies = ref.window_energies(ref.as_samples(x), w)
    smoothed = ref.smooth(energies, cfg.smooth_alpha)
    floor = ref.noise_floor(smoothed, cfg.noise_floor_percentile)
    with np.errstate(all="ignore"):
        product = f32(floor) * cfg.threshold_ratio
    clamped = "low" if product < cfg.base_thresh else "high" if product > cfg.max_thresh else None
    assert view.window_len == w and view.clamped == clamped
    same_f32(view.energies, energies)
    same_f32(view.smoothed, smoothed)
    same_f32([view.noise_floor, view.threshold], [floor, ref.threshold(floor, cfg)])
    assert view.voice.tolist() == stages[0] and view.keep_windows.tolist() == stages[-1]
    assert view.mask.tolist() == gate.compute_keep_mask_array(x, rate).tolist()
    with np.errstate(all="ignore"):
        same_f32(x * view.gains, gate.apply_array(x.tolist(), rate))
    if rate > 0:
        assert view.regions == keep_regions(view.mask, rate)
    check_noise_rule(cfg, x, rate, smoothed, same_f32)
    # Stretches of the gains alone: starting at, just after and well inside a
    # change of gain, and clipped as slices are.
    n = len(x)
    fade = ref.fade_len(cfg, rate)
    changes = [(int(j) + 1) * w for j in np.flatnonzero(view.keep_windows[1:] != view.keep_windows[:-1])[:3]]
    starts = [min(n, p + d) for p in changes for d in (0, 1, fade - 1, fade, fade + 1)]
    for start, stop in [(0, n), (0, 0), (n, n + 9), (7, 3), *((s, s + 5) for s in starts)]:
        same_f32(view.gains_part(start, stop), view.gains[start:stop])


def check_noise_rule(cfg, x, rate, smoothed, same_f32):
    """The noise rule against its model: the values it read and used, and the
    decisions it leads to."""
    view = analyse(x, rate, **cfg.kwargs(), rule="noise")
    floor, high, ratio, t, clamped = ref.noise_rule(smoothed, cfg)
    same_f32([view.noise_floor, view.threshold, view.high_percentile, view.ratio], [floor, t, high, ratio])
    stages, _ = ref.stages(cfg, x, rate, rule="noise")
    assert view.clamped == clamped and view.voice.tolist() == stages[0] and view.keep_windows.tolist() == stages[-1]


def root8(v):
    return np.sqrt(np.sqrt(np.sqrt(f32(v))))


# One-sample windows, smoothed energy |x| (exact for these powers of two),
# threshold_ratio 1.2 as the least ratio, limits 0.001 and infinity.
# (samples, threshold, ratio, clamped, windows kept).
RULE_EDGES = {
    # 30 % digital silence: the floor is 0, the ratio threshold_ratio alone.
    "floor 0": ([0.0] * 3 + [0.5] * 7, f32(0.001), f32(1.2), "low", "...XXXXXXX"),
    # From the third window on every smoothed energy is NaN, and so is the floor:
    # the threshold is base_thresh and the windows before the NaN are still kept.
    "NaN floor": ([0.5, 0.5, NAN] + [0.5] * 7, f32(0.001), f32(1.2), "low", "XX........"),
    "high at the floor": ([0.125] * 10, f32(0.125) * f32(1.2), f32(1.2), None, ".........."),
    # The last window is NaN, and the high percentile falls on it.
    "NaN high": ([0.125] * 9 + [NAN], f32(0.125) * f32(1.2), f32(1.2), None, ".........."),
    # (1 / 2^-8)^(1/8) = 2, each eighth root exact.
    "adaptive": ([2.0**-8] * 3 + [1.0] * 7, f32(2.0**-7), f32(2.0), None, "...XXXXXXX"),
    "ratio above": ([2.0**-8] * 3 + [2.0**-7] * 7, f32(2.0**-8) * f32(1.2), f32(1.2), None, "...XXXXXXX"),
    "base": ([2.0**-20] * 3 + [0.5] * 7, f32(0.001), root8(0.5) / root8(2.0**-20), "low", "...XXXXXXX"),
}


@pytest.mark.parametrize("name", RULE_EDGES)
def test_noise_rule_edges(name, same_f32):
    samples, threshold, ratio, clamped, kept = RULE_EDGES[name]
    cfg = PER_WINDOW.replace(base_thresh=0.001, max_thresh=INF, threshold_ratio=1.2)
    out = _analysis.analyse(samples, 1000, **cfg.kwargs(), low_hz=None, high_hz=None, rule="noise", music=False)
    same_f32([out[4], out[11]], [threshold, ratio])
    assert out[5] == clamped and ref.golden(out[7]) == kept
    # A fixed threshold (both limits equal) fixes it under the rule too, and the
    # music measure's factor never raises it.
    for music in (False, True):
        fixed = _analysis.analyse(samples, 1000, **cfg.replace(base_thresh=0.3, max_thresh=0.3).kwargs(), low_hz=None,
                                  high_hz=None, rule="noise", music=music)
        assert fixed[4] == f32(0.3) and ref.golden(fixed[7]) == ref.golden(fixed[2] > f32(0.3))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("rate", RATES)
def test_masks_match_reference(kind, rate, seed, case, same_f32):
    cfg, x = case(kind, rate, seed)
    gate = EnergyTalvane(**cfg.kwargs())
    check_analysis_view(cfg, x, rate, gate, same_f32)
    try:
        expected = ref.keep_mask(cfg, x, rate)
    except ref.ThresholdError as e:
        error = bad_limits_error(lambda: gate.compute_keep_mask(x.tolist(), rate))
        assert error.args == (str(e),)
        error = bad_limits_error(lambda: gate.compute_keep_mask_array(x, rate))
        assert error.args == (str(e),)
        return
    assert gate.compute_keep_mask(x.tolist(), rate) == expected
    mask = gate.compute_keep_mask_array(x, rate)
    assert mask.dtype == np.bool_
    assert mask.tolist() == expected


PRODUCT_CALLS = {
    "analyse": lambda rate: analyse(np.zeros(9, np.float32), rate),
    "cut": lambda rate: cut(np.zeros(9, np.float32), rate),
    "band_filter": lambda rate: band_filter(np.zeros(9, np.float32), rate, "speech"),
    "BandFilter": lambda rate: BandFilter(rate, "speech"),
    "Stream": lambda rate: Stream(rate),
}


@pytest.mark.parametrize("rate", [0, -1, -(2**70)])
@pytest.mark.parametrize("call", PRODUCT_CALLS.values(), ids=PRODUCT_CALLS)
def test_product_calls_refuse_a_rate_below_one_hertz(call, rate):
    with pytest.raises(ValueError) as info:
        call(rate)
    assert str(info.value) == f"sample_rate must be at least 1 Hz, not {rate}"


@pytest.mark.parametrize("call", [lambda *a, **k: analyse(*a, **k).mask, cut], ids=["analyse", "cut"])
def test_a_preset_is_its_settings_and_keywords_win(call):
    x = np.random.default_rng(3).normal(0.0, 0.02, 16000).astype(np.float32)
    x[4000:9000] *= 8
    speech = {name: value for name, value in dataclasses.asdict(PRESETS["speech"]).items() if value is not None}
    for preset, keywords, same_as in [("speech", {}, speech), ("speech", {"threshold_ratio": 3, "band": None},
                                      {**speech, "threshold_ratio": 3, "band": None}), ("classic", {}, {})]:
        assert np.array_equal(call(x, 16000, preset=preset, **keywords), call(x, 16000, **same_as))
    with pytest.raises(ValueError, match="^unknown preset 'loud': 'speech', 'speech-music', 'classic'$"):
        call(x, 16000, preset="loud")


def test_analysis_says_when_the_noise_is_louder_than_the_limit():
    rate = 16000
    noise = np.random.default_rng(5).normal(0.0, 0.1, 3 * rate).astype(np.float32)
    view = analyse(noise, rate)
    assert view.clamped == "high" and view.threshold == f32(0.035) and view.noise_floor > 0.035
    assert view.keep_windows.all() and view.regions == [(0, len(noise))]
    quiet = analyse(noise * f32(0.001), rate)
    assert quiet.clamped == "low" and not quiet.mask.any() and quiet.regions == []
    with pytest.raises(ValueError):  # the arrays are the analysis's own, not to be changed
        view.energies[0] = 0.0


@pytest.mark.parametrize("layout", ["mono", "stereo", "strided"])
@pytest.mark.parametrize("dtype", ["float32", "float64", "int16", "int32"])
def test_product_api_takes_what_people_pass(dtype, layout):
    """analyse and cut read integers as full scale 1.0 and decide on the float32
    mean of the channels; cut keeps the input's type and every channel."""
    from talvane_rs import cut

    rng = np.random.default_rng(5)
    t = np.arange(16000)
    base = 0.01 * rng.normal(size=(16000, 2)) + np.where((t > 4000) & (t < 9000), 0.4, 0.0)[:, None] * np.sin(
        t * 0.07)[:, None]  # fmt: skip
    scale = {"int16": 32767, "int32": 2**31 - 1}.get(dtype, 1)
    x = (base * scale).astype(dtype)
    if layout == "mono":
        x = x[:, 0].copy()
    elif layout == "strided":
        x = x[::2, 0]
    as_f32 = x.astype(np.float32) / np.float32({"int16": 32768, "int32": 2**31}.get(dtype, 1))
    mono = as_f32 if as_f32.ndim == 1 else (as_f32[:, 0] + as_f32[:, 1]) / np.float32(2)
    view = analyse(x, 16000)
    assert np.array_equal(view.keep_windows, analyse(np.ascontiguousarray(mono), 16000).keep_windows)
    assert 0 < view.keep_windows.sum() < len(view.keep_windows)
    out = cut(x, 16000)
    assert out.dtype == x.dtype and out.shape[1:] == x.shape[1:]
    np.testing.assert_array_equal(out, x[np.asarray(view.mask)])


@pytest.mark.parametrize(
    "audio, message",
    [
        (np.zeros(10, np.int8), "not an array of int8"),
        (np.zeros((2, 2, 2), np.float32), "not an array of shape 2x2x2"),
        ([[0.0, 0.0]], "not list"),
    ],
    ids=["int8", "3-D", "list"],
)
def test_cut_says_what_it_expected(audio, message):
    from talvane_rs import cut

    with pytest.raises((TypeError, ValueError)) as info:
        cut(audio, 16000)
    assert str(info.value).startswith("audio must be a NumPy array of float32, float64, int16 or int32 samples")
    assert str(info.value).endswith(message)
