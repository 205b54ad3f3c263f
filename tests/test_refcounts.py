"""Reference counts stay balanced on success and on failure paths."""

import gc
import sys
import weakref

import numpy as np
import pytest

from talvane_rs import BandFilter, EnergyTalvane, Stream, StreamingEnergyTalvane, band_filter, stream_view

HAS_REFCOUNT = hasattr(sys, "getrefcount")
pytestmark = pytest.mark.skipif(not HAS_REFCOUNT, reason="needs sys.getrefcount")
REPEAT = 50


@pytest.fixture(autouse=True)
def no_gc():
    gc.disable()
    yield
    gc.enable()


def counts(*objs):
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("method", ["compute_keep_mask", "apply_array", "compact_array"])
def test_list_methods(method):
    gate = EnergyTalvane()
    item = 0.123456
    data = [item, 1.5, -2.0] * 200
    before = counts(gate, data, item)
    for _ in range(REPEAT):
        getattr(gate, method)(data, 16000)
        with pytest.raises(TypeError):
            getattr(gate, method)(data + [None], 16000)
        with pytest.raises(OverflowError):
            getattr(gate, method)(data, -1)
    assert counts(gate, data, item) == before


@pytest.mark.parametrize("method", ["compute_keep_mask_array", "apply_array_np", "compact_array_np"])
def test_array_methods_and_result_base(method):
    gate = EnergyTalvane()
    x = np.linspace(-0.5, 0.5, 3000, dtype=np.float32)
    before = counts(gate, x)
    for _ in range(REPEAT):
        out = getattr(gate, method)(x, 16000)
        base = out.base
        assert sys.getrefcount(base) == 3  # out, the local and the call's argument
        del out, base
        with pytest.raises(TypeError):
            getattr(gate, method)(x[::2], 16000)
    assert counts(gate, x) == before


def test_streaming_and_internal_error_paths():
    gate = StreamingEnergyTalvane()
    bad = EnergyTalvane(base_thresh=1.0, max_thresh=0.0)
    chunk = np.full(160, 0.1, np.float32)
    before = counts(gate, chunk, bad)
    for _ in range(REPEAT):
        gate.process_chunk(chunk, 16000, False)
        gate.last_gain(), gate.context_len()
        view = stream_view(gate)
        view.noise_floor, view.clamped, view.keep, view.keep_windows, view.gains
        del view
        with pytest.raises(TypeError):
            stream_view(chunk)
        with pytest.raises(TypeError):
            gate.process_chunk(chunk, 16000, 0)
        with pytest.raises(BaseException):
            bad.apply_array_np(chunk, 16000)
    gate.reset()
    assert counts(gate, chunk, bad) == before


def test_band_filter_paths():
    stream = BandFilter(16000, "speech")
    chunk = np.linspace(-0.5, 0.5, 320, dtype=np.float32)
    edge = 300.5
    before = counts(stream, chunk, edge)
    for _ in range(REPEAT):
        out = stream.process(chunk)
        base = out.base
        assert sys.getrefcount(base) == 3  # out, the local and the call's argument
        del out, base
        band_filter(chunk, 16000, (edge, None))
        with pytest.raises(TypeError):
            stream.process(chunk[::2])
        with pytest.raises(ValueError):
            band_filter(chunk, 16000, (edge, 100.0))
    stream.reset()
    assert counts(stream, chunk, edge) == before


def test_stream_class_paths():
    # Events, the callback, a failing callback, refused chunks and the copy path
    # of a strided array keep every count; a stream held by its own callback's
    # owner is collected.
    got = []
    callback = got.append
    stream = Stream(16000, band="speech", on_event=callback)
    x = np.zeros((1600, 2), np.int16)
    x[400:1200] = (12000 * np.sin(np.arange(800) * 0.2))[:, np.newaxis]
    strided = np.zeros((3200, 2), np.int16)[::2]
    before = counts(stream, x, callback, strided)
    for _ in range(REPEAT):
        out = stream.process(x)
        assert sys.getrefcount(out) == 2 and stream.events
        stream.process(strided)
        with pytest.raises(ValueError):
            stream.process(x[:, 0])
        with pytest.raises(TypeError):
            stream.process(x.astype(np.int64))
        stream.noise_floor, stream.clamped, stream.band, stream_view(stream).gains
        stream.reset()
    del out, got[:]
    assert counts(stream, x, callback, strided) == before

    class Owner:
        def __init__(self):
            self.stream = Stream(16000, on_event=self.heard)

        def heard(self, event):
            raise KeyError(event)

    owner = Owner()
    with pytest.raises(KeyError):
        owner.stream.process(x[:, 0].copy())
    gone = weakref.ref(owner)
    del owner
    gc.collect()
    assert gone() is None


def test_constructor_arguments():
    value = 123456789
    kw = {"window_ms": value}
    before = counts(value, kw)
    for _ in range(REPEAT):
        EnergyTalvane(**kw)
        with pytest.raises(TypeError):
            EnergyTalvane(window_ms=value, enabled=0)
    assert counts(value, kw) == before
