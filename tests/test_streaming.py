"""Streaming gate: ramps across chunks, the state table, failed calls, and
process_chunk checked against the reference model after every call."""

import numpy as np
import pytest

import reference as ref
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, analyse, stream_view

f32 = np.float32
U64_MAX = ref.U64_MAX

# ref.PER_SAMPLE keeps sample i when |x[i]| > 0.25; fade_ms 4 gives four-sample ramps.
PER_SAMPLE = ref.PER_SAMPLE.replace(fade_ms=4)


def pattern_samples(pattern):
    return np.array([1.0 if c == "X" else 0.125 for c in pattern], dtype=np.float32)


def check_state(gate, model):
    assert gate.context_len() == model.context_len()
    # repr tells -0.0 from 0.0 and None from a float.
    assert repr(gate.last_gain()) == repr(model.last_gain())


def check_call(gate, model, same_f32, data, rate, is_last):
    """One call on both; the output and the state afterwards must agree. Gives the
    gate's output, or None when the call was refused."""
    try:
        expected = model.process_chunk(data, rate, is_last)
    except ref.ThresholdError as e:
        with pytest.raises(BaseException) as info:
            gate.process_chunk(data, rate, is_last)
        assert not isinstance(info.value, Exception)
        assert info.value.args == (str(e),)
    else:
        out = gate.process_chunk(data, rate, is_last)
        assert out.dtype == np.float32 and out.flags.c_contiguous and out.flags.writeable
        assert not np.shares_memory(out, data)
        same_f32(out, expected)
        check_state(gate, model)
        return out
    check_state(gate, model)
    return None


@pytest.mark.parametrize(
    ("attenuation", "chunks", "curves"),
    [
        (0.0, ["XX.....XX"], [[1, 1, 0.75, 0.5, 0.25, 0, 0, 0.5, 1]]),
        (0.0, ["..XX...."], [[0, 0, 0.25, 0.5, 0.75, 0.5, 0.25, 0]]),
        # Entry ramps from the gain at the end of the previous chunk.
        (0.0, ["XXXX", "......"], [[1] * 4, [0.75, 0.5, 0.25, 0, 0, 0]]),
        (0.0, ["XXXX", ".."], [[1] * 4, [0.5, 0]]),
        (0.0, ["XXXX", "."], [[1] * 4, [0]]),
        # A transition ramp overwrites the entry ramp.
        (0.0, ["XXXX", "...XXX"], [[1] * 4, ["0.75", "0.5", "0.25", "0.33333334", "0.6666667", "1"]]),
        # A transition at the last sample switches at once; the next chunk
        # starts from the gain reached there.
        (0.0, ["XXX.", "XX"], [[1, 1, 1, 0], [0.5, 1]]),
        # The end value is old + delta * 1.0, so not exactly 0.1.
        (0.1, ["X", "...."], [[1], ["0.775", "0.55", "0.32500005", "0.100000024"]]),
    ],
)
def test_ramp_examples(attenuation, chunks, curves, same_f32):
    cfg = PER_SAMPLE.replace(attenuation=attenuation)
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    model = ref.Stream(cfg)
    for chunk, curve in zip(chunks, curves):
        x = pattern_samples(chunk)
        curve = np.array([f32(v) for v in curve], dtype=np.float32)
        same_f32(model.process_chunk(x, 1000, False), curve * x)
        same_f32(gate.process_chunk(x, 1000, False), curve * x)
        assert gate.last_gain() == float(curve[-1])
        check_state(gate, model)


@pytest.mark.parametrize(("fade_ms", "rate"), [(0, 1000), (1, 1000), (5, 200)], ids=["F0", "F1", "5ms-200Hz"])
def test_short_fades_switch_at_once(fade_ms, rate, same_f32):
    # No transition ramp and no entry ramp: a one-sample ramp would give
    # 1 + (0.1 - 1) * 1 = 0.100000024 rather than 0.1.
    cfg = PER_SAMPLE.replace(window_ms=1000 // rate, fade_ms=fade_ms, attenuation=0.1)
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    for chunk in ["XX..X", "..XX", "."]:
        x = pattern_samples(chunk)
        gains = np.where(x == 1, f32(1), f32(0.1))
        same_f32(gate.process_chunk(x, rate, False), x * gains)
        assert gate.last_gain() == float(gains[-1])


@pytest.mark.parametrize(
    ("changes", "calls", "context_len", "has_gain"),
    [
        ({}, [], 0, False),
        ({}, [(16000, 100, False)], 100, True),
        ({}, [(16000, 100, False), (16000, 50, False)], 150, True),
        # Another rate starts a new stream before gating.
        ({}, [(16000, 100, False), (8000, 30, False)], 30, True),
        ({}, [(16000, 100, False), (16000, 0, False)], 100, True),
        ({}, [(16000, 100, False), (8000, 0, False)], 0, False),
        ({}, [(16000, 100, False), (16000, 50, True)], 0, False),
        ({}, [(16000, 100, False), (16000, 0, True)], 0, False),
        ({}, [(16000, 100, False), "reset"], 0, False),
        ({}, [(16000, 100, False), "reset", (16000, 20, False)], 20, True),
        ({"stream_context_ms": 10}, [(16000, 100, False), (16000, 100, False)], 160, True),
        ({"stream_context_ms": 0}, [(16000, 100, False)], 1, True),
        ({}, [(0, 100, False)], 1, True),
        ({"stream_context_ms": U64_MAX}, [(16000, 100, False)] * 3, 300, True),
        ({"enabled": False}, [(16000, 100, False), (16000, 100, False)], 0, False),
    ],
)
def test_state_transitions(changes, calls, context_len, has_gain, signal, same_f32):
    cfg = ref.Config(**changes)
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    model = ref.Stream(cfg)
    for i, call in enumerate(calls):
        if call == "reset":
            assert gate.reset() is None
            model.reset()
        else:
            rate, n, is_last = call
            check_call(gate, model, same_f32, signal("speech", n, i), rate, is_last)
    assert gate.context_len() == context_len
    assert (gate.last_gain() is not None) == has_gain


RATES = [0, 1, 300, 1000, 8000, 16000, 44100]


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("rate", RATES)
def test_first_chunk_matches_batch(kind, rate, seed, case, same_f32):
    cfg, x = case(kind, rate, seed, enabled=True)
    batch = EnergyTalvane(**cfg.kwargs())
    try:
        expected = ref.apply_list(cfg, x, rate)
    except ref.ThresholdError:
        return
    for is_last in (False, True):
        out = StreamingEnergyTalvane(**cfg.kwargs()).process_chunk(x, rate, is_last)
        same_f32(out, batch.apply_array(x.tolist(), rate))
        # The array variant leaves dropped samples at +0.0 when attenuation is 0.
        if cfg.attenuation != 0:
            same_f32(out, batch.apply_array_np(x, rate))
        same_f32(out, expected)


@pytest.mark.parametrize(("enabled", "attenuation"), [(False, 0.0), (False, 1.0), (True, 1.0)])
def test_pass_through(enabled, attenuation, signal, same_f32):
    # A disabled gate copies and keeps no state; attenuation 1.0 changes nothing.
    gate = StreamingEnergyTalvane(enabled=enabled, attenuation=attenuation)
    for i, n in enumerate([0, 1, 159, 2000, 500]):
        x = signal("spiky", n, i)
        out = gate.process_chunk(x, 16000, False)
        same_f32(out, x)
        assert not np.shares_memory(out, x)
        if not enabled:
            assert gate.context_len() == 0 and gate.last_gain() is None


def random_calls(rng, rate, n_total):
    """A seeded random chunking of n_total samples: chunk lengths of 0, 1, less
    than a window, a few windows or a few seconds, with an occasional change of
    rate, last chunk or reset."""
    calls = []
    pos = 0
    while pos < n_total:
        size = int(rng.choice([0, 1, 7, 50, 400, 1500, 5000]))
        size = min(size + int(rng.integers(0, 3)), n_total - pos)
        r = rate if rng.random() < 0.85 else int(rng.choice([rate // 2, 16000, 1]))
        calls.append((pos, pos + size, r, bool(rng.random() < 0.1), bool(rng.random() < 0.05)))
        pos += size
    return calls


def view_fields(view):
    """A stream view's fields as comparable values (floats by their float32 bits)."""
    return (np.float32(view.noise_floor).tobytes(), np.float32(view.threshold).tobytes(), view.clamped,
            view.first_window_offset, view.keep_windows.tobytes(), view.gains.tobytes())


def check_view(gate, cfg, context, chunk, rate, out, before, same_f32):
    """After a call: the view is that of analyse() over context + chunk when the
    call ran the analysis (out is its output), else the one before."""
    view = stream_view(gate)
    if out is None or not len(chunk) or not cfg.enabled:
        assert (view is None) == (before is None)
        assert view is None or view_fields(view) == before
        return
    a = analyse(np.concatenate([np.asarray(context, np.float32), chunk]), rate, **cfg.kwargs())
    pairs = np.array([[view.noise_floor, view.threshold], [a.noise_floor, a.threshold]], dtype=np.float32)
    same_f32(pairs[0], pairs[1])
    assert view.clamped == a.clamped and view.chunk_len == len(chunk) and view.window_len == a.window_len
    assert np.array_equal(view.keep, a.mask[len(context) :])
    assert view.first_window_offset == len(context) % a.window_len
    assert np.array_equal(view.keep_windows, a.keep_windows[len(context) // a.window_len :])
    with np.errstate(invalid="ignore", over="ignore"):  # inf * 0 in dropped windows
        same_f32(chunk * view.gains, out)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("rate", [1, 300, 1000, 8000, 16000])
def test_stream_matches_reference(kind, rate, seed, case, same_f32):
    # stream_view after every call, against analyse() of the call's context plus
    # chunk; it outlives is_last and is None before the first analysis and after reset.
    rng = np.random.default_rng([seed, rate, 99])
    n_total = int(rng.integers(1, 9000))
    cfg, x = case(kind, rate, seed, n=n_total)
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    model = ref.Stream(cfg)
    assert stream_view(gate) is None
    for start, stop, r, is_last, reset in random_calls(rng, rate, n_total):
        context = model.context if model.stream_rate == r else []
        before = stream_view(gate)
        before = None if before is None else view_fields(before)
        out = check_call(gate, model, same_f32, x[start:stop], r, is_last)
        check_view(gate, cfg, context, x[start:stop], r, out, before, same_f32)
        if reset:
            gate.reset()
            model.reset()
            check_state(gate, model)
            assert stream_view(gate) is None


class Reentrant:
    """A sample rate whose __index__ calls back into the same gate first."""

    def __init__(self, call, rate, fail=False):
        self.call, self.rate, self.fail = call, rate, fail
        self.inner = None

    def __index__(self):
        try:
            self.call()
        except RuntimeError as e:
            self.inner = e
            if self.fail:
                raise
        return self.rate


def primed(cfg, signal, same_f32):
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    model = ref.Stream(cfg)
    check_call(gate, model, same_f32, signal("speech", 1200, 1), 16000, False)
    assert gate.context_len() > 0 and gate.last_gain() is not None
    return gate, model


@pytest.mark.parametrize(
    ("data", "rate", "is_last", "error"),
    [
        (np.zeros(10, np.float64), 8000, False, TypeError),
        ([0.0] * 10, 8000, False, TypeError),
        (np.zeros(20, np.float32)[::2], 8000, False, TypeError),
        (np.zeros(10, np.float32), -1, False, OverflowError),
        (np.zeros(10, np.float32), 8000.0, False, TypeError),
        (np.zeros(10, np.float32), 8000, 1, TypeError),
        (np.zeros(10, np.float32), 8000, None, TypeError),
    ],
    ids=["float64", "list", "strided", "negative-rate", "float-rate", "int-is_last", "None-is_last"],
)
def test_bad_argument_changes_nothing(data, rate, is_last, error, signal, same_f32):
    gate, model = primed(ref.Config(), signal, same_f32)
    with pytest.raises(error):
        gate.process_chunk(data, rate, is_last)
    check_state(gate, model)
    check_call(gate, model, same_f32, signal("speech", 300, 2), 16000, False)


@pytest.mark.parametrize(
    ("inner", "message"),
    [
        (lambda g: g.process_chunk(np.ones(8, np.float32), 8000, True), "Already borrowed"),
        (lambda g: g.reset(), "Already borrowed"),
        (lambda g: g.context_len(), "Already mutably borrowed"),
        (lambda g: g.last_gain(), "Already mutably borrowed"),
        (lambda g: stream_view(g), "Already mutably borrowed"),
    ],
    ids=["process_chunk", "reset", "context_len", "last_gain", "stream_view"],
)
@pytest.mark.parametrize("fail", [False, True], ids=["outer-goes-on", "outer-fails"])
def test_reentrant_call_is_refused(inner, message, fail, signal, same_f32):
    gate, model = primed(ref.Config(), signal, same_f32)
    rate = Reentrant(lambda: inner(gate), 16000, fail)
    x = signal("speech", 300, 2)
    if fail:
        with pytest.raises(RuntimeError):
            gate.process_chunk(x, rate, False)
        check_state(gate, model)
    else:
        same_f32(gate.process_chunk(x, rate, False), model.process_chunk(x, 16000, False))
        check_state(gate, model)
    assert type(rate.inner) is RuntimeError and str(rate.inner) == message
    check_call(gate, model, same_f32, signal("speech", 300, 3), 16000, False)


def test_refused_limits_change_nothing(signal, same_f32):
    cfg = ref.Config(base_thresh=0.05, max_thresh=0.01)
    gate = StreamingEnergyTalvane(**cfg.kwargs())
    model = ref.Stream(cfg)
    # Empty chunks and a disabled gate are not analysed; anything else fails.
    for data, rate, is_last in [
        (np.zeros(0, np.float32), 16000, False),
        (signal("speech", 300, 1), 8000, False),
        (signal("speech", 300, 1), 16000, True),
        (np.zeros(0, np.float32), 16000, True),
    ]:
        check_call(gate, model, same_f32, data, rate, is_last)


def bursts(rng, n, rate):
    """Voice bursts of 1 to 30 windows (10 ms) with gaps of 1 to 40 over quiet noise,
    so that runs start and end at every distance from a chunk's first window."""
    x = rng.normal(0.0, 0.002, n)
    w = rate // 100
    pos = int(rng.integers(0, 40)) * w
    while pos < n:
        length = int(rng.integers(1, 31)) * w + int(rng.integers(0, w))
        t = np.arange(min(length, n - pos))
        x[pos : pos + len(t)] += rng.choice([0.05, 0.3]) * np.sin(t * 0.2)
        pos += length + int(rng.integers(1, 41)) * w
    return x.astype(np.float32)


@pytest.mark.parametrize(
    "counts",
    [
        {},
        {"pass_windows": 3},
        {"min_voice_windows": 1, "max_silence_gap_windows": 0, "pad_voice_windows": 0, "pass_windows": 6},
        {"min_voice_windows": 3, "max_silence_gap_windows": 4, "pad_voice_windows": 1, "pass_windows": 1},
    ],
    ids=["defaults", "pass-3", "pass-only", "small-counts"],
)
def test_long_context_matches_analysis_of_context_plus_chunk(counts, same_f32):
    # A full 3 s context gated in whole windows, where the caches and the bounded
    # cleaning serve every call: without ramps each output sample is the chunk's
    # sample times its flag in the mask of context plus chunk.
    rate, limit = 16000, 48000
    params = dict(counts, stream_context_ms=limit * 1000 // rate, fade_ms=0, attenuation=0.0)
    gate, batch = StreamingEnergyTalvane(**params), EnergyTalvane(**params)
    rng = np.random.default_rng(len(counts))
    x = bursts(rng, 12 * rate, rate)
    context = np.zeros(0, np.float32)
    pos = 0
    while pos < len(x):
        chunk = x[pos : pos + 160 * int(rng.choice([1, 1, 1, 2, 3]))]
        pos += len(chunk)
        combined = np.concatenate([context, chunk])
        mask = batch.compute_keep_mask_array(combined, rate)[len(context) :]
        same_f32(gate.process_chunk(chunk, rate, False), chunk * mask.astype(np.float32))
        context = combined[-limit:]
