"""Gain application and compaction: ramps, the fallback, array results, and all
four methods checked bit for bit against the reference model."""

import numpy as np
import pytest

import reference as ref
from conftest import pattern_samples
from talvane_rs import EnergyTalvane, cut

f32 = np.float32
NAN = float("nan")
U64_MAX = ref.U64_MAX

# ref.PER_SAMPLE keeps sample i when |x[i]| > 0.25; fade_ms 4 gives four-sample ramps.
PER_SAMPLE = ref.PER_SAMPLE.replace(fade_ms=4)
KEPT, DROPPED = 1.0, 0.125


def gains_of(pattern, attenuation):
    return [f32(1.0) if c == "X" else f32(attenuation) for c in pattern]


def as_f32(values):
    return np.asarray(values, dtype=np.float32)


RAMPS = [
    # Fade-in and fade-out, each after its transition.
    ("..XXXXXX....", 0.0, ["0", "0", "0.25", "0.5", "0.75", "1", "1", "1", "0.75", "0.5", "0.25", "0"]),
    # Clipped by the end of the recording: L = 2.
    ("XXXXXXXX..", 0.0, ["1"] * 8 + ["0.5", "0"]),
    # The ramp at 3 overwrites the one from 2.
    ("XX.XXX", 0.0, ["1", "1", "0.75", "0.33333334", "0.6666667", "1"]),
    # 1.0 to 0.1 in float32: the last step is old + delta * 1.0, not 0.1.
    ("X....", 0.1, ["1", "0.775", "0.55", "0.32500005", "0.100000024"]),
]


@pytest.mark.parametrize(("pattern", "attenuation", "expected"), RAMPS)
def test_ramp_examples(pattern, attenuation, expected, same_f32):
    expected = as_f32([f32(v) for v in expected])
    same_f32(ref.ramp(gains_of(pattern, attenuation), 4), expected)
    cfg = PER_SAMPLE.replace(attenuation=attenuation)
    gate = EnergyTalvane(**cfg.kwargs())
    x = pattern_samples(pattern)
    out = expected * x  # exact: the samples are powers of two
    same_f32(gate.apply_array_np(x, 1000), out)
    same_f32(gate.apply_array(x.tolist(), 1000), out)


@pytest.mark.parametrize(
    ("fade_ms", "rate", "length"),
    [(0, 1000, 0), (5, 100, 1), (5, 300, 2), (5, 44100, 221), (5, 16000, 80), (U64_MAX, 1000, U64_MAX)],
)
def test_fade_length(fade_ms, rate, length):
    assert ref.fade_len(ref.Config(fade_ms=fade_ms), rate) == length


@pytest.mark.parametrize("fade_ms", [0, 1, 2, 3, U64_MAX], ids=["F0", "F1", "F2", "F3", "Fmax"])
def test_ramps_by_fade_length(fade_ms, same_f32):
    # Below 2 the gain switches at once; a huge fade runs to the end of the recording.
    # A one-sample ramp would give 1 + (0.1 - 1) * 1 = 0.100000024, not 0.1.
    cfg = PER_SAMPLE.replace(fade_ms=fade_ms, attenuation=0.1)
    x = pattern_samples("XX....XXX.X")
    gate = EnergyTalvane(**cfg.kwargs())
    same_f32(gate.apply_array_np(x, 1000), ref.apply_array(cfg, x, 1000))
    same_f32(gate.apply_array(x.tolist(), 1000), ref.apply_list(cfg, x, 1000))
    if fade_ms < 2:
        switched = x * as_f32(gains_of("XX....XXX.X", 0.1))
        same_f32(gate.apply_array_np(x, 1000), switched)
        same_f32(gate.apply_array(x.tolist(), 1000), switched)


@pytest.mark.parametrize(
    ("value", "listed"), [(-0.5, -0.0), (NAN, NAN), (float("inf"), NAN), (float("-inf"), NAN)]
)
def test_dropped_samples_at_attenuation_zero(value, listed, same_f32):
    # The list variant multiplies by 0.0; the array variant leaves +0.0. The
    # last window is dropped as a voice run of one, or as NaN.
    cfg = PER_SAMPLE.replace(fade_ms=0, min_voice_windows=2)
    x = as_f32([1.0, 1.0, 0.125, value])
    gate = EnergyTalvane(**cfg.kwargs())
    same_f32(gate.apply_array(x.tolist(), 1000), [1.0, 1.0, 0.0, listed])
    same_f32(gate.apply_array_np(x, 1000), [1.0, 1.0, 0.0, 0.0])


BAD_LIMITS = ref.Config(base_thresh=0.05, max_thresh=0.01)


@pytest.mark.parametrize(
    ("method", "raises"),
    [("apply_array", False), ("apply_array_np", True), ("compact_array", False), ("compact_array_np", False)],
)
@pytest.mark.parametrize("enabled", [True, False])
def test_empty_input_and_bad_limits(method, raises, enabled):
    gate = EnergyTalvane(**BAD_LIMITS.replace(enabled=enabled).kwargs())
    data = np.zeros(0, np.float32) if method.endswith("_np") else []
    if raises and enabled:
        with pytest.raises(BaseException) as info:
            getattr(gate, method)(data, 16000)
        assert not isinstance(info.value, Exception)
        assert info.value.args == ("min > max, or either was NaN. min = 0.05, max = 0.01",)
    else:
        out = getattr(gate, method)(data, 16000)
        assert len(out) == 0


@pytest.mark.parametrize(
    ("cfg", "rate", "n", "part"),
    [
        # Nothing kept: the first half second, or the whole recording if shorter.
        (ref.Config(), 16000, 20000, slice(0, 8000)),
        (ref.Config(), 16000, 5000, slice(0, 5000)),
        (ref.Config(), 15, 20, slice(0, 7)),
        (ref.Config(), 1, 20, slice(0, 0)),
        (ref.Config(), 0, 20, slice(0, 0)),
        (ref.Config(enabled=False), 16000, 100, slice(0, 100)),
        # Everything kept.
        (ref.Config(pass_windows=U64_MAX), 16000, 1000, slice(0, 1000)),
    ],
    ids=["half-second", "shorter", "odd-rate", "rate1", "rate0", "disabled", "all-kept"],
)
def test_compact_examples(cfg, rate, n, part, signal, same_f32):
    # Quiet noise: below every threshold, but not zero.
    x = signal("noise", n, 7) * f32(0.001)
    gate = EnergyTalvane(**cfg.kwargs())
    same_f32(gate.compact_array_np(x, rate), x[part])
    same_f32(gate.compact_array(x.tolist(), rate), x[part])


@pytest.mark.parametrize(
    ("pattern", "enabled"), [("...X...", True), ("XX..XXX.", True), ("XX..XXX.", False), ("X", True)]
)
def test_compact_joins_kept_samples(pattern, enabled, same_f32):
    cfg = PER_SAMPLE.replace(enabled=enabled)
    # Distinct values on either side of the threshold.
    x = pattern_samples(pattern) * as_f32(1 + np.arange(len(pattern)) / 64)
    kept = x[[c == "X" for c in pattern]]
    gate = EnergyTalvane(**cfg.kwargs())
    same_f32(gate.compact_array_np(x, 1000), kept)
    same_f32(gate.compact_array(x.tolist(), 1000), kept)


RATES = [0, 1, 40, 50, 300, 8000, 16000, 22050, 44100, 48000, U64_MAX]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("rate", RATES)
def test_batch_methods_match_reference(kind, rate, seed, case, same_f32):
    cfg, x = case(kind, rate, seed)
    gate = EnergyTalvane(**cfg.kwargs())
    for method, model in [
        ("apply_array", ref.apply_list),
        ("apply_array_np", ref.apply_array),
        ("compact_array", ref.compact),
        ("compact_array_np", ref.compact),
        ("cut", ref.compact),  # no pause kept, no crossfade: compaction itself
    ]:
        if method == "cut" and rate == 0:
            continue  # the product API refuses a rate of 0
        data = x.tolist() if method in ("apply_array", "compact_array") else x
        call = (lambda d, r: cut(d, r, **cfg.kwargs())) if method == "cut" else getattr(gate, method)
        try:
            expected = model(cfg, x, rate)
        except ref.ThresholdError as e:
            with pytest.raises(BaseException) as info:
                call(data, rate)
            assert isinstance(info.value, ValueError) == (method == "cut")
            assert info.value.args == (str(e),)
            continue
        out = call(data, rate)
        if method.endswith("_np") or method == "cut":
            assert out.dtype == np.float32
        else:
            assert type(out) is list and all(type(v) is float for v in out)
        same_f32(out, expected)


@pytest.mark.parametrize(
    ("changes", "loud", "kept"),
    [
        ({"pad_voice_windows": U64_MAX}, slice(50000, 50010), slice(None)),
        ({"pass_windows": U64_MAX}, slice(0, 0), slice(None)),
        ({"max_silence_gap_windows": U64_MAX}, [0, 1, 2, 3, 4, -5, -4, -3, -2, -1], slice(None)),
        ({"min_voice_windows": U64_MAX}, slice(None), slice(0, 0)),
    ],
    ids=["pad", "pass", "gap", "min-voice"],
)
def test_huge_counts_on_long_input(changes, loud, kept, same_f32):
    # 100000 one-sample windows: any work per count or per pair of windows
    # would not finish. With attenuation NaN every dropped sample is a change
    # of gain in the list variant, each starting a ramp to the end.
    cfg = PER_SAMPLE.replace(**{"fade_ms": U64_MAX, "attenuation": NAN, "min_voice_windows": 5, **changes})
    x = np.full(100000, DROPPED, np.float32)
    x[loud] = KEPT
    expected = np.zeros(len(x), bool)
    expected[kept] = True
    gate = EnergyTalvane(**cfg.kwargs())
    assert np.array_equal(gate.compute_keep_mask_array(x, 1000), expected)
    out = x.copy() if expected.all() else np.full(len(x), NAN, np.float32)
    same_f32(gate.apply_array_np(x, 1000), out)
    same_f32(gate.apply_array(x.tolist(), 1000), out)


ARRAY_METHODS = ["apply_array_np", "compact_array_np", "compute_keep_mask_array"]


@pytest.mark.parametrize("method", ARRAY_METHODS)
@pytest.mark.parametrize("n", [0, 1, 159, 160, 161, 2000])
def test_array_results_are_new_arrays(method, n, signal):
    x = signal("speech", n, n)
    x.flags.writeable = False
    before = x.copy()
    out = getattr(EnergyTalvane(pass_windows=1), method)(x, 16000)
    assert np.array_equal(x.view(np.uint32), before.view(np.uint32))
    assert out.dtype == (np.bool_ if method == "compute_keep_mask_array" else np.float32)
    assert out.ndim == 1 and out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, x)
    if method != "compact_array_np":
        assert len(out) == n


@pytest.mark.parametrize("method", ARRAY_METHODS)
def test_strided_input_is_refused_after_the_rate(method):
    gate = EnergyTalvane()
    strided = np.zeros(20, np.float32)[::2]
    with pytest.raises(OverflowError):
        getattr(gate, method)(strided, -1)
    with pytest.raises(TypeError, match="^argument 'sample_rate': "):
        getattr(gate, method)(strided, 16000.0)
    with pytest.raises(TypeError) as info:
        getattr(gate, method)(strided, 16000)
    assert str(info.value) == "The given array is not contiguous"


@pytest.mark.parametrize(
    ("regions", "rate", "pause", "fade", "expected"),
    [
        ([(100, 200), (500, 600)], 1000, 0, 0, [(100, 200, 0), (500, 600, 0)]),
        # Pauses: half after speech, the larger half before it; the ends keep one half.
        ([(100, 200), (500, 600)], 1000, 100, 0, [(50, 250, 0), (450, 650, 0)]),
        ([(100, 200), (500, 600)], 1000, 101, 0, [(49, 250, 0), (449, 650, 0)]),
        ([(100, 200), (500, 990)], 1000, 300, 0, [(0, 1000, 0)]),  # no longer than the pause: kept whole
        # Crossfades: a piece joined at both ends gives each fade at most half of it.
        ([(100, 200), (500, 600)], 1000, 0, 80, [(100, 200, 0), (500, 600, 80)]),
        ([(0, 100), (300, 340), (600, 700)], 1000, 0, 30, [(0, 100, 0), (300, 340, 20), (600, 700, 20)]),
        ([(0, 10), (300, 400)], 1000, 0, 30, [(0, 10, 0), (300, 400, 10)]),
        # Nothing kept: the first half second, as compaction keeps.
        ([], 1000, 100, 30, [(0, 500, 0)]),
        ([], 4000, 100, 30, [(0, 1000, 0)]),
    ],
    ids=["plain", "pause", "odd-pause", "short-pause", "fade", "short-middle", "short-end", "none", "none-short"],
)
def test_cut_plan(regions, rate, pause, fade, expected):
    from talvane_rs.cutting import output_length, plan_cut

    pieces = plan_cut(regions, 1000, rate, pause, fade)
    assert [(p.start, p.end, p.fade) for p in pieces] == expected
    assert output_length(pieces) == sum(b - a - f for a, b, f in expected)
