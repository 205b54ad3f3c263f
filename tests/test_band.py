"""The band filter: against an independent float64 model, chunked against whole,
and the bands it refuses."""

import math

import numpy as np
import pytest

from talvane_rs import BandFilter, band_filter
from talvane_rs.band import resolve_band


def model(x, rate, low, high):
    """The filter's transfer function in float64, from its design: second-order
    Butterworth high-pass at `low` and low-pass at `high`, by the
    bilinear transform with the edges prewarped; each section run in transposed
    direct form II with its gain inside, in plain Python floats (doubles)."""
    sections = []

    def section(k, damping, high_pass):
        d0 = 1 + damping * k + k * k
        b = [1, -2, 1] if high_pass else [k * k, 2 * k * k, k * k]
        return [v / d0 for v in b], [2 * (k * k - 1) / d0, (1 - damping * k + k * k) / d0]

    if low is not None:
        sections.append(section(math.tan(math.pi * low / rate), math.sqrt(2), True))
    if high is not None:
        sections.append(section(math.tan(math.pi * high / rate), math.sqrt(2), False))
    y = [float(v) for v in x]
    for (b0, b1, b2), (a1, a2) in sections:
        s1 = s2 = 0.0
        for i, v in enumerate(y):
            out = b0 * v + s1
            s1 = b1 * v - a1 * out + s2
            s2 = b2 * v - a2 * out
            y[i] = out
    return np.array(y)


def defined(x, rate, low, high):
    """The filter as its header defines it, step by step in Python floats (doubles):
    the exact design, the zeros, each section's v and y, the flush every 256
    samples, the float32 rounding of G * y."""

    def tan(v):
        t = 2.0 * 24 - 1.0
        for k in range(23, 0, -1):
            t = (2.0 * k - 1.0) - (v * v) / t
        return v / t

    sections, gain = [], 1.0
    for edge, high_pass in ((low, True), (high, False)):
        if edge is None:
            continue
        k = tan(3.141592653589793 * (edge / float(rate)))
        kk = k * k
        d0 = (1.0 + math.sqrt(2.0) * k) + kk
        a1, a2 = ((kk - 1.0) * 2.0) / d0, ((1.0 - math.sqrt(2.0) * k) + kk) / d0
        d1, d2 = (2.0 * a2) - (a1 * a1), a2 * a2
        sections.append((a1, a2, d1, d2, (2.0 * d2) - (d1 * d1), d2 * d2))
        gain = (1.0 if high_pass else kk) / d0 if len(sections) == 1 else gain * ((1.0 if high_pass else kk) / d0)
    xs, ws = [0.0] * 4, [0.0] * 2
    vs, ys = [[0.0] * 4 for _ in sections], [[0.0] * 8 for _ in sections]  # newest first
    out = np.empty(len(x), np.float32)
    for t, sample in enumerate(x.astype(np.float64)):
        if t % 256 == 0:
            for history in vs + ys:
                history[:] = [0.0 if abs(h) < 2.0**-300 else h for h in history]
        if low is not None and high is not None:
            u = (sample - xs[1]) - (xs[1] - xs[3])
        elif low is not None:
            u = (sample - xs[0]) - (xs[0] - xs[1])
        else:
            u = (sample + xs[0]) + (xs[0] + xs[1])
        xs = [float(sample)] + xs[:3]
        for i, ((a1, a2, d1, d2, b1, b2), v, y) in enumerate(zip(sections, vs, ys)):
            earlier = ws if i == 0 else ys[i - 1][1:]  # the second reads the first's y
            vn = (u - a1 * earlier[0]) + a2 * earlier[1]
            yn = (((vn - d1 * v[1]) + d2 * v[3]) - b2 * y[7]) - b1 * y[3]
            if i == 0:
                ws[:] = [u, ws[0]]
            v[:], y[:] = [vn] + v[:3], [yn] + y[:7]
            u = yn
        out[t] = np.float32(gain * u)
    return out


def signal(rate, n=20000, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / rate
    x = rng.normal(0, 0.1, len(t)) + 0.5 * np.sin(2 * np.pi * 50 * t) + 0.2 * np.sin(2 * np.pi * 1000 * t)
    x[len(t) // 3: len(t) // 2] = 0.0  # digital silence after sound
    return x.astype(np.float32)


@pytest.mark.parametrize(
    ("rate", "band"),
    [(16000, "speech"), (48000, "speech"), (8000, "speech"), (44100, (None, 3000.0)),
     (192000, (20.0, None)), (192000, (20.0, 8000.0)), (16000, (7000.0, 7900.0)), (96000, (30, 200))],
    ids=str,
)
def test_matches_float64_model(rate, band):
    # The filter runs in double and rounds once to float32: within half a float32
    # ulp of the model's value, plus 1e-9 of the peak for the two double paths.
    x = signal(rate)
    got = band_filter(x, rate, band)
    expected = model(x, rate, *resolve_band(band, rate))
    assert got.dtype == np.float32 and got.shape == x.shape
    bound = np.abs(expected) * 2.0**-24 + 1e-9 * np.abs(x).max()
    assert np.all(np.abs(got - expected) <= bound)
    # And to the bit, the definition written in the filter's header.
    low, high = resolve_band(band, rate)
    if low is not None or high is not None:
        assert np.array_equal(got[:3000].view(np.uint32), defined(x[:3000], rate, low, high).view(np.uint32))


@pytest.mark.parametrize("band", ["speech", (None, 7000.0)], ids=str)
def test_definition_through_digital_silence(band):
    # Long enough for the earlier values to fall below 2^-300 and be flushed.
    x = np.zeros(12000, np.float32)
    x[:600] = x[-600:] = signal(16000, 600)
    assert np.array_equal(band_filter(x, 16000, band).view(np.uint32),
                          defined(x, 16000, *resolve_band(band, 16000)).view(np.uint32))


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("band", ["speech", (50.0, None), (None, 1000.0)], ids=str)
def test_chunks_give_the_bits_of_the_whole(band, seed):
    rng = np.random.default_rng(seed)
    x = signal(16000, 32000, seed)
    whole = band_filter(x, 16000, band)
    stream = BandFilter(16000, band)
    if seed % 2:
        stream.process(x[:777])
        stream.reset()
    cuts = np.sort(rng.integers(0, len(x), rng.integers(1, 60)))
    parts = []
    for i, piece in enumerate(np.split(x, cuts)):
        if i == 2:
            with pytest.raises(TypeError):
                stream.process(piece.astype(np.float64))  # a failed call keeps the state
        parts.append(stream.process(piece))
    assert np.array_equal(np.concatenate(parts).view(np.uint32), whole.view(np.uint32))


def test_takes_what_analyse_takes():
    x = signal(16000)
    expected = band_filter(x, 16000, "speech").view(np.uint32)
    pcm = np.round(x * 16384).astype(np.int16)
    stereo = np.stack([pcm, pcm], axis=1)
    assert np.array_equal(band_filter(stereo, 16000, "speech").view(np.uint32),
                          band_filter(pcm.astype(np.float32) / np.float32(32768), 16000, "speech").view(np.uint32))
    assert np.array_equal(band_filter(x.astype(np.float64), 16000, "speech").view(np.uint32), expected)
    assert np.array_equal(band_filter(x.tolist(), 16000, "speech").view(np.uint32), expected)


def test_speech_preset_adapts_to_the_rate():
    assert resolve_band("speech", 16000) == (200.0, 4000.0)
    assert resolve_band("speech", 8000) == (200.0, None)  # 4 kHz is the Nyquist frequency
    assert resolve_band("speech", 400) == (None, None)
    x = signal(8000)
    assert np.array_equal(band_filter(x, 8000, "speech").view(np.uint32),
                          band_filter(x, 8000, (200, None)).view(np.uint32))


@pytest.mark.parametrize(
    ("band", "message"),
    [
        ((200, 8000), "band edge high_hz = 8000.0 Hz is not below the Nyquist frequency, 8000.0 Hz at sample_rate 16000"),
        ((200, math.inf), "band edge high_hz = inf Hz is not below the Nyquist frequency, 8000.0 Hz at sample_rate 16000"),
        ((3000, 300), "band edges out of order: low_hz = 3000.0 Hz is not below high_hz = 300.0 Hz"),
        ((0, None), "band edge low_hz = 0.0 Hz is not above 0 Hz"),
        ((-20.5, None), "band edge low_hz = -20.5 Hz is not above 0 Hz"),
        ((None, math.nan), "band edge high_hz = nan Hz is not a number"),
        ("talk", "unknown band 'talk': a named band ('speech') or a (low_hz, high_hz) pair"),
    ],
)
def test_bad_bands_are_refused(band, message):
    from talvane_rs import analyse

    for make in (lambda: band_filter(np.zeros(4, np.float32), 16000, band), lambda: BandFilter(16000, band),
                 lambda: analyse(np.zeros(4, np.float32), 16000, band=band)):  # fmt: skip
        with pytest.raises(ValueError) as caught:
            make()
        assert str(caught.value) == message


@pytest.mark.parametrize("band", ["speech", (100, None), (None, 3000)], ids=["speech", "high-pass", "low-pass"])
def test_analyse_reads_through_the_band(band):
    """analyse(x, rate, band=b) is analyse(band_filter(x, rate, b), rate) in every field but the band."""
    from talvane_rs import analyse, cut

    pcm = np.round(signal(16000) * 16384).astype(np.int16)
    stereo = np.stack([pcm, pcm // 2], axis=1)
    read, plain = analyse(stereo, 16000, band=band, pass_windows=1), analyse(band_filter(stereo, 16000, band), 16000,
                                                                               pass_windows=1)  # fmt: skip
    for name in ("energies", "smoothed", "voice", "keep_windows", "mask", "gains"):
        assert np.array_equal(getattr(read, name).view(np.uint8), getattr(plain, name).view(np.uint8)), name
    assert (read.noise_floor, read.threshold, read.clamped) == (plain.noise_floor, plain.threshold, plain.clamped)
    assert read.band == tuple(None if e is None else float(e) for e in resolve_band(band, 16000)) and plain.band is None
    np.testing.assert_array_equal(cut(stereo, 16000, band=band, pass_windows=1), stereo[np.asarray(read.mask)])
