"""The gate's keep-mask decision in NumPy and SciPy, as a user without the
extension would write it: vectorised over samples and windows, no Python loop
per sample or per window.

Same steps as the extension: window RMS, exponential smoothing, a percentile of
the smoothed energies as noise floor, a threshold of `threshold_ratio` times the
floor bounded to [`base_thresh`, `max_thresh`], then short-run removal, gap
filling, padding and pass windows. It is a speed competitor, not a reference:
sums are in NumPy's order and the smoothing runs in double, so a window whose
energy sits right on the threshold may go the other way.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.signal import lfilter


def window_len(sample_rate: int, window_ms: int) -> int:
    """Window length in samples: rate x ms / 1000, halves rounded up, at least 1."""
    return max(1, math.floor(sample_rate * window_ms / 1000.0 + 0.5))


def keep_mask(
    x: np.ndarray,
    sample_rate: int,
    *,
    window_ms: int = 10,
    base_thresh: float = 0.008,
    threshold_ratio: float = 2.0,
    max_thresh: float = 0.035,
    smooth_alpha: float = 0.2,
    min_voice_windows: int = 5,
    noise_floor_percentile: float = 20.0,
    max_silence_gap_windows: int = 8,
    pad_voice_windows: int = 2,
    pass_windows: int = 0,
) -> np.ndarray:
    """Per-sample keep flags (a bool array as long as `x`)."""
    x = np.asarray(x, dtype=np.float32)
    if len(x) == 0:
        return np.zeros(0, dtype=bool)
    w = window_len(sample_rate, window_ms)
    energy = window_rms(x, w)
    # S[t] = (1 - a) S[t-1] + a E[t], started from S[-1] = E[0].
    a = smooth_alpha
    smoothed = lfilter([a], [1.0, a - 1.0], energy, zi=[(1.0 - a) * energy[0]])[0]
    floor = np.percentile(smoothed, min(max(noise_floor_percentile, 0.0), 100.0))
    threshold = min(max(floor * threshold_ratio, base_thresh), max_thresh)
    voice = smoothed > threshold

    n = len(voice)
    starts, ends = runs(voice)
    long_enough = ends - starts >= min_voice_windows
    starts, ends = starts[long_enough], ends[long_enough]
    if max_silence_gap_windows > 0 and len(starts) > 1:
        # Gaps between consecutive runs; the leading and trailing ones are not gaps.
        fill = starts[1:] - ends[:-1] <= max_silence_gap_windows
        keep_run = np.concatenate(([True], ~fill))
        starts, ends = starts[keep_run], ends[np.concatenate((~fill, [True]))]
    padded = paint(n, np.maximum(starts - pad_voice_windows, 0), np.minimum(ends + pad_voice_windows, n))

    # Windows since the last kept one (counting from before window 0); the first
    # `pass_windows` of each dropped stretch are kept.
    index = np.arange(n)
    last_kept = np.maximum.accumulate(np.where(padded, index, -1))
    keep = padded | (index - last_kept <= pass_windows)
    return np.repeat(keep, w)[: len(x)]


def window_rms(x: np.ndarray, w: int) -> np.ndarray:
    """RMS of each window of w samples; the last, shorter window over its own length."""
    full = len(x) // w
    frames = x[: full * w].reshape(full, w)
    power = np.einsum("ij,ij->i", frames, frames) / np.float32(w)
    tail = x[full * w :]
    if len(tail):
        power = np.append(power, np.dot(tail, tail) / len(tail))
    return np.sqrt(power)


def runs(flags: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Start and end (exclusive) of every run of set flags."""
    edges = np.diff(flags.astype(np.int8), prepend=0, append=0)
    return np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)


def paint(n: int, starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """n flags, set inside every [start, end); the spans may overlap."""
    depth = np.cumsum(np.bincount(starts, minlength=n + 1) - np.bincount(ends, minlength=n + 1))
    return depth[:n] > 0
