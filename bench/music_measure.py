"""A causal measure of how much the background looks like music, and the threshold
factor it gives, in NumPy (float64): the reference form of the definition.

The band-filtered samples are summed in blocks of D = max(1, rate // 8000)
(a cheap boxcar before keeping one value per block), so the spectrum always sees
a rate of rate / D, from 8 to 16 kHz for any input rate of 8 kHz or more. At the end of every
second 10 ms window (every 20 ms), the last N = 256 of those values (32 ms at 8
and 16 kHz, 29 ms at 44.1 kHz), times a periodic Hann window, go through an
N-point transform; the powers of the bins from 200 to 4000 Hz, summed into
`bands` contiguous groups of bins (or taken bin by bin), are whitened each by its
own running mean (a one-pole average of about 3 s). Of the whitened spectrum:

- steadiness: its correlation across the bins with the one 40 ms earlier (the
  cosine of the two less their own means): held notes score high, stationary
  noise near 0;
- novelty: the share of its sum that rose since the one 20 ms earlier: onsets
  of speech score high, held or decaying notes low;

steadiness averaged over the last 12 spectra (0.24 s), novelty over the last 4
(80 ms, so that speech starting over music lowers the factor soon). A window's threshold factor is
1 + (most - 1) x g_s x g_n, g_s rising from 0 to 1 as steadiness goes from
`steady` to `steady_full`, g_n falling from 1 to 0 as novelty goes from `novel_full`
to `novel`; the window is voice when its smoothed energy exceeds the threshold
times that factor. A window takes the factor of the last spectrum at or before
its end (1 before the first).
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import rules
from numpy.lib.stride_tricks import sliding_window_view

import numpy_gate

f32 = np.float32

N = 256  # points of the transform
LOW_HZ, HIGH_HZ = 200, 4000


@dataclasses.dataclass(frozen=True)
class Measure:
    """The measure's settings; the defaults are the chosen form (tuning part)."""

    name: str = "music measure"
    bands: int = 0  # groups of bins; 0: every bin on its own
    whiten: float = 1.0 / 150.0  # the running mean's weight: about 3 s at 20 ms
    frames: int = 12  # spectra steadiness is averaged over: about 0.25 s
    novel_frames: int = 4  # spectra novelty is averaged over: 80 ms, so an onset tells soon
    steady: float = 0.4  # averaged steadiness where the factor starts to rise
    steady_full: float = 0.55  # and where it is full
    novel: float = 0.45  # averaged novelty where the factor starts to rise
    novel_full: float = 0.35  # and where it is full
    most: float = 3.0  # the factor's bound
    lag: int = 2  # spectra between the two that steadiness compares (40 ms)
    novel_lag: int = 1  # spectra between the two that novelty compares (20 ms)
    hop: int = 2  # 10 ms windows per spectrum
    rise: float = 0.0  # the factor rises by at most this per spectrum (0: at once); it falls at once
    centred: bool = True  # steadiness of the spectra less their means (a correlation), not the raw cosine
    novel_peak: bool = False  # novelty: the larger of the latest and the average
    # Stream-side forms (the batch ignores them): windows a Stream keeps after a voice
    # window (its padding, 2), windows after one whose factor is taken as 1, and the
    # windows of its context (stream_context_ms / 10).
    stream_hang: int = 2
    stream_hold: int = 0
    stream_context: int = rules.CONTEXT

    def factor(self, steadiness: np.ndarray, novelty: np.ndarray) -> np.ndarray:
        g_s = np.clip((steadiness - self.steady) / (self.steady_full - self.steady), 0.0, 1.0)
        g_n = np.clip((self.novel - novelty) / (self.novel - self.novel_full), 0.0, 1.0)
        f = 1.0 + (self.most - 1.0) * g_s * g_n
        return rise_limited(f, self.rise) if self.rise > 0 else f


def rise_limited(f: np.ndarray, rise: float) -> np.ndarray:
    """f, each value at most `rise` above the one before (the first at most 1 + rise)."""
    out = np.empty_like(f)
    last = 1.0
    for i, v in enumerate(f.tolist()):
        last = min(v, last + rise)
        out[i] = last
    return out


def decimation(rate: int) -> int:
    return max(1, rate // 8000)


def bin_range(rate: int) -> tuple[int, int]:
    """First and last bin whose centre k x rate / (D x N) lies in [200, 4000] Hz
    (integers only: k x rate >= 200 x D x N)."""
    d = decimation(rate)
    first = -(-LOW_HZ * d * N // rate)
    last = min(N // 2, HIGH_HZ * d * N // rate)
    return int(first), int(last)


def band_edges(rate: int, bands: int) -> np.ndarray:
    """Bin index where each group starts, and one past the last: groups as equal as
    integer division makes them (the first ones shorter)."""
    first, last = bin_range(rate)
    count = last - first + 1
    if bands <= 0 or bands >= count:
        return np.arange(first, last + 2)
    return first + (np.arange(bands + 1) * count) // bands


def hann() -> np.ndarray:
    return 0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(N) / N)


def window_len(rate: int) -> int:
    return max(1, math.floor(rate * 10 / 1000.0 + 0.5))


def spectra(banded: np.ndarray, rate: int, windows: int, measure: Measure) -> np.ndarray:
    """Band powers (spectra by groups) at the end of windows HOP - 1, 2 HOP - 1, ...,
    from the block sums of the last N blocks complete there (zeros before the start)."""
    d = decimation(rate)
    x = np.asarray(banded, dtype=np.float64)
    blocks = x[: len(x) // d * d].reshape(-1, d).sum(axis=1)
    padded = np.concatenate([np.zeros(N), blocks])
    ends = (np.arange(measure.hop - 1, windows, measure.hop) + 1) * window_len(rate) // d  # blocks complete
    ends = np.minimum(ends, len(blocks))
    frames = sliding_window_view(padded, N)[ends]  # padded[end : end + N] = blocks[end - N : end]
    power = np.abs(np.fft.rfft(frames * hann(), axis=1)) ** 2
    edges = band_edges(rate, measure.bands)
    return np.add.reduceat(power[:, edges[0] : edges[-1]], edges[:-1] - edges[0], axis=1)


WHITE_MOST = 1e4  # a whitened value's bound: 40 dB over the band's mean is new enough


def whitened(p: np.ndarray, weight: float) -> np.ndarray:
    """Each band over its running mean before this spectrum (the first over itself),
    0 where the power is 0 and at most WHITE_MOST (so that a mean decayed to nothing
    in a long silence, or 0, gives no infinity when sound returns); the mean then
    moves `weight` of the way to the new value."""
    out = np.empty_like(p)
    mean = p[0].copy() if len(p) else None
    for i in range(len(p)):
        high = p[i] >= WHITE_MOST * mean
        ratio = np.divide(p[i], mean, out=np.zeros_like(mean), where=~high)
        out[i] = np.where(p[i] == 0, 0.0, np.where(high, WHITE_MOST, ratio))
        mean += weight * (p[i] - mean)
    return out


def lagged(w: np.ndarray, lag: int) -> np.ndarray:
    return np.concatenate([np.zeros((lag, w.shape[1])), w[:-lag]]) if len(w) > lag else np.zeros_like(w)


def steadiness(w: np.ndarray, lag: int, centred: bool) -> np.ndarray:
    """Cosine of each whitened spectrum with the one `lag` spectra before, each
    less its own mean when `centred` (0 when either is flat, as before the start)."""
    if centred:
        w = w - w.mean(axis=1, keepdims=True)
    old = lagged(w, lag)
    dot = np.einsum("ij,ij->i", w, old)
    norms = np.sqrt(np.einsum("ij,ij->i", w, w) * np.einsum("ij,ij->i", old, old))
    return np.divide(dot, norms, out=np.zeros_like(dot), where=norms > 0)


def novelty(w: np.ndarray, lag: int) -> np.ndarray:
    """Share of each whitened spectrum's sum that rose since the one before (0 for
    an all-zero spectrum)."""
    rise = np.maximum(w - lagged(w, lag), 0.0).sum(axis=1)
    total = w.sum(axis=1)
    return np.divide(rise, total, out=np.zeros_like(rise), where=total > 0)


def averaged(v: np.ndarray, frames: int) -> np.ndarray:
    """Sum of the last `frames` values (zeros before the start) over `frames`."""
    c = np.concatenate([np.zeros(frames), np.cumsum(v)])
    return (c[frames:] - c[:-frames]) / frames


def features(banded: np.ndarray, rate: int, windows: int, measure: Measure) -> tuple[np.ndarray, np.ndarray]:
    """Averaged steadiness and novelty per spectrum (one per HOP windows)."""
    w = whitened(spectra(banded, rate, windows, measure), measure.whiten)
    n = novelty(w, measure.novel_lag)
    nv = averaged(n, measure.novel_frames or measure.frames)
    if measure.novel_peak:
        nv = np.maximum(nv, n)
    return averaged(steadiness(w, measure.lag, measure.centred), measure.frames), nv


def per_window(values: np.ndarray, windows: int, hop: int, first: float = 1.0) -> np.ndarray:
    """A value per 10 ms window: that of the last spectrum at or before its end."""
    out = np.full(windows, first)
    idx = (np.arange(windows) + 1) // hop - 1
    out[idx >= 0] = values[idx[idx >= 0]]
    return out


def factors(banded: np.ndarray, rate: int, windows: int, measure: Measure) -> np.ndarray:
    s, n = features(banded, rate, windows, measure)
    return per_window(measure.factor(s, n), windows, measure.hop)


# --- the factor in the gate's decision --------------------------------------------


def cleaned(voice: np.ndarray) -> np.ndarray:
    """The gate's passes after the voice flags with runs of any length: gaps of up
    to 8 windows filled, 2 windows padded on each side, no pass windows."""
    starts, ends = numpy_gate.runs(voice)
    if len(starts) > 1:
        fill = starts[1:] - ends[:-1] <= rules.CLEANING["max_silence_gap_windows"]
        starts, ends = starts[np.concatenate(([True], ~fill))], ends[np.concatenate((~fill, [True]))]
    pad = rules.CLEANING["pad_voice_windows"]
    n = len(voice)
    return numpy_gate.paint(n, np.maximum(starts - pad, 0), np.minimum(ends + pad, n))


def batch_flags(energies: np.ndarray, rule: rules.Rule, factor: np.ndarray) -> np.ndarray:
    """Keep flags of a whole recording: the rule's threshold times each window's
    factor (in float32), then the gate's passes."""
    smoothed = rules.smooth_rows(np.asarray(energies, dtype=f32)[None, :], rule.alpha)[0]
    t = rule.threshold(*rules.stats(np.sort(smoothed)[None, :], rule))[0]
    return cleaned(smoothed > t * factor.astype(f32))


def stream_flags(contexts: rules.StreamContexts, rule: rules.Rule, factor: np.ndarray, hang: int = 2,
                 hold: int = 0) -> np.ndarray:
    """As StreamContexts.flags, each window against the chunk's threshold times
    that window's own factor: the chunk is kept when one of its last hang + 1
    windows is voice. With `hold`, a window within `hold` after one voice against
    its factor is voice against the threshold alone (the factor does not cut a
    run already started)."""
    t = contexts.thresholds(rule)[:, None]
    width = hang + 1 + hold
    if contexts.last.shape[1] < width:
        raise ValueError(f"the contexts keep {contexts.last.shape[1]} windows, {width} needed")
    e = contexts.last[:, -width:]
    f = sliding_window_view(np.concatenate([np.ones(width - 1), factor]).astype(f32), width)[: len(e)]
    voice = e > t * f
    if hold:
        started = sliding_window_view(voice, hold, axis=1)[:, : width - hold].any(axis=2)  # in the hold before
        voice = voice[:, hold:] | (started & (e[:, hold:] > t))
    return voice[:, -(hang + 1):].any(axis=1)
