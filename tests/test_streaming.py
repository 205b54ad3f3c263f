"""Streaming gate: ramps across chunks, the state table, failed calls, and
process_chunk checked against the reference model after every call; Stream held
to process_chunk and to a model of its dtypes, channels, band and events."""

import dataclasses

import numpy as np
import pytest

import reference as ref
from conftest import pattern_samples
from talvane_rs import BandFilter, EnergyTalvane, Event, Stream, StreamingEnergyTalvane, analyse, stream_view
from talvane_rs.band import resolve_band
from talvane_rs.params import PRESETS

f32 = np.float32
U64_MAX = ref.U64_MAX

# ref.PER_SAMPLE keeps sample i when |x[i]| > 0.25; fade_ms 4 gives four-sample ramps.
PER_SAMPLE = ref.PER_SAMPLE.replace(fade_ms=4)


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
        # analyse(), which the views are held to, needs a rate of at least 1 Hz
        r = rate if rng.random() < 0.85 else int(rng.choice([max(1, rate // 2), 16000, 1]))
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


def refused_by_stream(cfg):
    """Whether Stream refuses these parameters: a NaN level, or limits out of order."""
    levels = [getattr(cfg, name) for name in ref.FLOAT_FIELDS]
    return any(np.isnan(levels)) or not cfg.base_thresh <= cfg.max_thresh


def events_of(keep, first, kept, rate):
    """The events of a chunk's kept flags after a sample kept or not, and the last flag."""
    flags = np.concatenate([[kept], np.asarray(keep, bool)]).astype(np.int8)
    at = np.flatnonzero(np.diff(flags))
    found = [Event("onset" if flags[i + 1] else "offset", first + int(i), (first + int(i)) / rate) for i in at]
    return found, bool(flags[-1])


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("rate", [1, 300, 8000, 16000])
def test_stream_class_is_process_chunk(kind, rate, seed, case, same_f32):
    # Mono float32 without a band, over a random chunking: the output is
    # process_chunk's, the scalars and stream_view are the native stream's, the
    # events are the changes of its kept flags, and the callback sees them too.
    rng = np.random.default_rng([seed, rate, 7])
    cfg, x = case(kind, rate, seed, n=int(rng.integers(1, 9000)))
    if refused_by_stream(cfg):
        with pytest.raises(ValueError):
            Stream(rate, **cfg.kwargs())
        return
    seen = []
    stream, gate = Stream(rate, on_event=seen.append, **cfg.kwargs()), StreamingEnergyTalvane(**cfg.kwargs())
    kept, position, expected = False, 0, []
    for start, stop, _, _, reset in random_calls(rng, rate, len(x)):
        chunk = x[start:stop]
        same_f32(stream.process(chunk), gate.process_chunk(chunk, rate, False))
        view = stream_view(gate)
        if cfg.enabled and len(chunk):
            events, kept = events_of(view.keep, position, kept, rate)
            assert stream.events == tuple(events)
            expected += events
        else:
            assert stream.events == ()
        position += len(chunk)
        assert stream.position == position and repr(stream.gain) == repr(gate.last_gain())
        mine = stream_view(stream)
        assert (mine is None) == (view is None) == (stream.noise_floor is None)
        if view is not None:
            assert view_fields(mine) == view_fields(view)
            levels = np.array([stream.noise_floor, stream.threshold, view.noise_floor, view.threshold], f32)
            same_f32(levels[:2], levels[2:])
            assert stream.clamped == view.clamped
        if reset:
            stream.reset()
            gate.reset()
            kept, position = False, 0
            assert stream.events == () and stream.noise_floor is None and stream.gain is None
    assert seen == expected


INT_RANGE = {np.int16: (-(2**15), 2**15 - 1), np.int32: (-(2**31), 2**31 - 1)}


def model_chunk(x, gate, band, rate):
    """Scale, mix, band, gate, multiply in double, round half to even, saturate:
    the rule, with the native stream and band filter for the gate's own steps."""
    dtype = x.dtype.type
    f = x.astype(f32)
    if dtype in INT_RANGE:
        f = f * f32(2.0 ** -(8 * x.dtype.itemsize - 1))
    mix = f if f.ndim == 1 else f[:, 0].copy()
    for c in range(1, 1 if f.ndim == 1 else f.shape[1]):
        mix += f[:, c]
    if f.ndim == 2 and f.shape[1] > 1:
        mix /= f32(f.shape[1])
    if band is not None:
        mix = band.process(np.ascontiguousarray(mix))
    gate.process_chunk(np.ascontiguousarray(mix), rate, False)
    g = stream_view(gate).gains if len(x) else np.ones(0, f32)
    g = g if x.ndim == 1 else g[:, np.newaxis]
    if dtype is np.float32:
        return x * g
    if dtype is np.float64:
        return x * g.astype(np.float64)
    low, high = INT_RANGE[dtype]
    r = np.rint(x.astype(np.float64) * g.astype(np.float64))
    return np.where(np.isnan(r), 0, np.clip(r, low, high)).astype(dtype)


@pytest.mark.parametrize("band", [None, "speech"])
@pytest.mark.parametrize("layout", ["mono", "one", "stereo", "three", "strided", "fortran"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16, np.int32])
def test_stream_class_channels_and_dtypes_follow_the_rule(dtype, layout, band, same_f32):
    rate = 16000
    rng = np.random.default_rng([len(layout), np.dtype(dtype).itemsize, band is None])
    channels = {"mono": 1, "one": 1, "stereo": 2, "three": 3, "strided": 2, "fortran": 2}[layout]
    x = np.stack([bursts(rng, 2 * rate, rate) * (1.0 - 0.3 * c) for c in range(channels)], axis=1)
    if dtype in INT_RANGE:
        low, high = INT_RANGE[dtype]
        x = np.clip(np.round(x.astype(np.float64) * 2 ** (8 * np.dtype(dtype).itemsize - 1)), low, high)
        x[rng.integers(0, len(x), 40)] = rng.choice([low, high], size=(40, channels))  # full scale, both ends
    x = x.astype(dtype)
    # Halves to round (attenuation 0.5 on odd samples), saturation (2.0, -1.0 at the ends) and ramps.
    params = dict(attenuation=float(rng.choice([0.5, 2.0, -1.0])), fade_ms=3, stream_context_ms=500)
    stream, gate = Stream(rate, band=band, **params), StreamingEnergyTalvane(**params)
    model_band = None if band is None else BandFilter(rate, band)
    pos = 0
    while pos < len(x):
        n = int(rng.choice([0, 1, 160, 333, 1024]))
        chunk = x[pos : pos + n]
        chunk = {"mono": chunk[:, 0], "strided": x[pos : pos + 2 * n : 2], "fortran": np.asfortranarray(chunk)}.get(
            layout, chunk)
        before = chunk.copy()
        out = stream.process(chunk)
        expected = model_chunk(chunk, gate, model_band, rate)
        assert out.dtype == chunk.dtype and out.shape == chunk.shape and out.flags.c_contiguous
        assert not np.shares_memory(out, chunk) and np.array_equal(chunk, before)
        if dtype in INT_RANGE:
            np.testing.assert_array_equal(out, expected)
        else:
            same_f32(out.astype(f32), expected.astype(f32))
            assert np.array_equal(out, expected, equal_nan=True)
        pos += len(chunk) * (2 if layout == "strided" else 1)


def test_a_nan_leaves_a_banded_stream_with_its_context(same_f32):
    # A NaN or infinite sample reaches the analysis as it is but never the band
    # filter's memory: once it has left the context, the stream gates as if it
    # had been 0.0 (taken into the filter, it would have closed the gate for good).
    rate, chunk, context = 16000, 160, 16000
    rng = np.random.default_rng(5)
    x = bursts(rng, 4 * rate, rate)
    bad, zero = x.copy(), x.copy()
    bad[[3000, 3001, 3100]] = [np.nan, np.inf, -np.inf]
    zero[[3000, 3001, 3100]] = 0.0
    outs = []
    for y in (bad, zero):
        stream = Stream(rate, band="speech", stream_context_ms=1000)
        outs.append(np.concatenate([stream.process(y[a : a + chunk]) for a in range(0, len(y), chunk)]))
    settled = 3100 + context + 2 * chunk
    same_f32(outs[0][settled:], outs[1][settled:])
    assert np.count_nonzero(outs[0][settled:]) > 0.2 * (len(x) - settled)


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: Stream(16000, "speech"), TypeError, "Stream() takes 1 positional argument but 2 were given"),
        (lambda: Stream(), TypeError, "Stream() missing 1 required positional argument: 'sample_rate'"),
        (lambda: Stream(0), ValueError, "sample_rate must be at least 1 Hz, not 0"),
        (lambda: Stream(16000, band="voice"), ValueError, "unknown band 'voice': a named band ('speech') or a (low_hz, "
         "high_hz) pair"),
        (lambda: Stream(16000, band=(200, 9000)), ValueError, "band edge high_hz = 9000.0 Hz is not below the "
         "Nyquist frequency, 8000.0 Hz at sample_rate 16000"),
        (lambda: Stream(16000, band=5), TypeError, "band must be a band name or a (low_hz, high_hz) pair, not 5"),
        (lambda: Stream(16000, attenuation=float("nan")), ValueError, "attenuation must be a number, not NaN"),
        (lambda: Stream(16000, base_thresh=0.05, max_thresh=0.01), ValueError,
         "min > max, or either was NaN. min = 0.05, max = 0.01"),
        (lambda: Stream(16000, on_event=1), TypeError, "on_event must be callable or None, not 1"),
        (lambda: Stream(16000, window=1), TypeError, "Stream() got an unexpected keyword argument 'window'"),
        (lambda: Stream(16000, preset="loud"), ValueError, "unknown preset 'loud': 'speech', 'speech-music', 'classic'"),
        (lambda: Stream(16000, rule="ratio"), ValueError, "unknown threshold rule 'ratio': None (the gate's own) or "
         "'noise'"),
    ],
    ids=["positional", "no-rate", "rate-0", "unknown-band", "edge", "band-type", "nan", "limits", "callback",
         "keyword", "preset", "rule"],
)  # fmt: skip
def test_stream_class_refuses_bad_construction(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("chunk", "error", "message"),
    [
        ([0.0] * 4, TypeError, "not list"),
        (np.zeros(4, np.int64), TypeError, "not an array of int64"),
        (np.zeros((2, 2, 2), np.int16), ValueError, "not an array of shape 2x2x2"),
        (np.zeros((4, 0), np.int16), ValueError, "not an array of shape 4x0"),
        (np.array(3, np.int16), ValueError, "not an array of shape 0-dimensional"),
        (np.zeros(4, np.int16), ValueError, "chunk has 1 channel, but this stream has had 2 since its start or its "
         "last reset()"),
    ],
    ids=["list", "int64", "3-d", "no-channels", "0-d", "channels-change"],
)  # fmt: skip
def test_a_refused_chunk_changes_nothing(chunk, error, message):
    rng = np.random.default_rng(2)
    x = (bursts(rng, 16000, 16000) * 20000).astype(np.int16)
    x = np.stack([x, x // 2], axis=1)
    stream, twin = Stream(16000, band="speech"), Stream(16000, band="speech")
    for s in (stream, twin):
        s.process(x[:5000])
    with pytest.raises(error) as info:
        stream.process(chunk)
    assert message in str(info.value)
    assert str(info.value).startswith("chunk ")
    np.testing.assert_array_equal(stream.process(x[5000:]), twin.process(x[5000:]))
    assert stream.events == twin.events and stream.position == twin.position
    stream.reset()
    assert stream.process(x[:10, 0]).shape == (10,)  # a reset frees the channel count


def test_stream_class_callbacks_run_inside_the_call():
    # The callback cannot call the stream; if it raises, the call changes nothing,
    # and the same call made again gives the same output and events.
    rng = np.random.default_rng(3)
    x = bursts(rng, 3 * 16000, 16000)
    inner, raised = [], []

    def reenter(event):
        for call in (lambda: stream.process(x[:10]), lambda: stream.position):
            with pytest.raises(RuntimeError) as info:
                call()
            inner.append(str(info.value))
        if event.kind == "onset" and not raised:
            raised.append(event)
            raise KeyError(event.sample)

    stream, twin = Stream(16000, on_event=reenter), Stream(16000)
    for a in range(0, len(x), 800):
        chunk = x[a : a + 800]
        try:
            out = stream.process(chunk)
        except KeyError:
            assert stream.position == a and stream.events == twin.events
            out = stream.process(chunk)
        np.testing.assert_array_equal(out, twin.process(chunk))
        assert stream.events == twin.events
    assert raised and set(inner) == {"Already borrowed", "Already mutably borrowed"}


@pytest.mark.parametrize("rate", [1000, 8000, 16000, 44100])
def test_stream_class_lifecycle(rate, same_f32):
    rng = np.random.default_rng(rate)
    x = bursts(rng, rate, rate)
    stream = Stream(rate, band="speech")
    assert stream.band == tuple(resolve_band("speech", rate)) and stream.sample_rate == rate
    assert Stream(rate).band is None
    fields = ("noise_floor", "threshold", "clamped", "gain")
    with stream as s:
        assert s is stream and s.events == () and s.position == 0
        assert [getattr(s, f) for f in fields] == [None] * 4
        s.process(x)
        assert s.position == len(x) and s.noise_floor is not None and s.gain is not None
    assert stream.position == 0 and [getattr(stream, f) for f in fields] == [None] * 4
    off = Stream(rate, enabled=False)
    out = off.process(x)
    same_f32(out, x)
    assert not np.shares_memory(out, x) and off.events == () and off.noise_floor is None and off.position == len(x)


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
        {"preset": "speech"},
        {"preset": "speech", "pass_windows": 2, "noise_floor_percentile": 50.0},
        {"preset": "speech", "rate": 44100, "chunk": 1024},
    ],
    ids=["defaults", "pass-3", "pass-only", "small-counts", "speech", "speech-counts", "speech-44k-1024"],
)
def test_long_context_matches_analysis_of_context_plus_chunk(counts, same_f32):
    # A full 3 s context gated in whole windows, where the caches and the bounded
    # cleaning serve every call: without ramps each output sample is the chunk's
    # sample times its flag in the mask of context plus chunk. Under a preset (the
    # band and the noise rule, with both tracked ranks) the mask is that of the
    # band-filtered context plus chunk, the filter running from the stream's start.
    # At 44.1 kHz in 1024-frame chunks the grid never comes back: calls from bounds.
    counts = dict(counts)
    rate, chunk_len = counts.pop("rate", 16000), counts.pop("chunk", None)
    limit = 3 * rate
    preset = counts.pop("preset", None)
    params = dict(counts, stream_context_ms=limit * 1000 // rate, fade_ms=0, attenuation=0.0)
    if preset is None:
        gate, batch = StreamingEnergyTalvane(**params), EnergyTalvane(**params)
        process = lambda chunk: gate.process_chunk(chunk, rate, False)  # noqa: E731
        keep = lambda signal: batch.compute_keep_mask_array(signal, rate)  # noqa: E731
    else:
        stream, band = Stream(rate, preset=preset, **params), BandFilter(rate, PRESETS[preset].band)
        settings = {**dataclasses.asdict(PRESETS[preset]), **params, "band": None}
        process = stream.process
        keep = lambda signal: analyse(signal, rate, **settings).mask  # noqa: E731
    rng = np.random.default_rng(len(counts))
    x = bursts(rng, 12 * rate, rate)
    context = np.zeros(0, np.float32)
    pos = 0
    while pos < len(x):
        sizes = [160, 160, 160, 320, 480] if preset is None else [160, 160, 320, 77, 333, 1000]  # off-grid too
        chunk = x[pos : pos + (chunk_len or int(rng.choice(sizes)))]
        pos += len(chunk)
        heard = chunk if preset is None else band.process(chunk)
        combined = np.concatenate([context, heard])
        mask = keep(combined)[len(context) :]
        same_f32(process(chunk), chunk * mask.astype(np.float32))
        context = combined[-limit:]


@pytest.mark.parametrize("rate, sizes", [(16000, [160, 320, 77, 333, 1000]), (48000, [480, 512, 1024, 7])])
def test_stream_music_measure_runs_from_the_stream_start(rate, sizes, same_f32):
    # Whatever the chunking, each window of a call reads the spectrum the whole
    # signal's analysis takes at the window's end (the last one at or before it,
    # one per two windows of the stream's grid), and is voice when its smoothed
    # energy exceeds the call's threshold times that factor; the passes follow.
    limit = rate  # a 1 s context: the spectra the track keeps slide too
    params = {"stream_context_ms": 1000, "fade_ms": 0, "attenuation": 0.0}
    stream, band = Stream(rate, preset="speech-music", **params), BandFilter(rate, "speech")
    settings = {**dataclasses.asdict(PRESETS["speech-music"]), **params, "band": None}
    rng = np.random.default_rng(11)
    t = np.arange(8 * rate) / rate
    chord = sum(np.sin(2 * np.pi * f * t) for f in (262.0, 330.0, 392.0)) * (0.02 + 0.015 * np.sin(t))
    x = (bursts(rng, len(t), rate) + chord).astype(np.float32)
    heard_all = BandFilter(rate, "speech").process(x)
    whole = analyse(heard_all, rate, **settings)
    w = whole.window_len

    def expected(ends):
        m = np.asarray(ends) // (2 * w)
        return np.where(m > 0, whole.music_factor[np.maximum(2 * m - 1, 0)], np.float32(1.0))

    assert whole.music_factor.min() == 1.0 and whole.music_factor.max() > 1.0  # the chord raises it somewhere
    cfg = ref.Config(**{k: v for k, v in settings.items() if k in ref.Config.__dataclass_fields__})
    context, pos = np.zeros(0, np.float32), 0
    while pos < len(x):
        chunk = x[pos : pos + int(rng.choice(sizes))]
        stream.process(chunk)
        heard = band.process(chunk)
        combined = np.concatenate([context, heard])
        start = pos - len(context)  # the context's first sample in the stream
        pos += len(chunk)
        view = stream_view(stream)
        ends = np.minimum(np.arange(1, -(-len(combined) // w) + 1) * w, len(combined)) + start
        factors = expected(ends)
        first = len(context) // w
        same_f32(view.music_factor, factors[first:])
        inner = analyse(combined, rate, **{**settings, "music": False})
        with np.errstate(over="ignore"):
            voice = (inner.smoothed > np.float32(inner.threshold) * factors).tolist()
        flags = ref.keep_pass_windows(ref.pad(ref.fill_gaps(ref.drop_short_runs(
            voice, cfg.min_voice_windows), cfg.max_silence_gap_windows), cfg.pad_voice_windows), cfg.pass_windows)
        assert view.keep_windows.tolist() == flags[first:]
        context = combined[-limit:]
