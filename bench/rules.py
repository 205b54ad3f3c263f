"""Threshold rules for the quality benchmark, in NumPy over a banded analysis.

A rule turns the smoothed energies' order statistics into a threshold: the
gate's own (floor times a ratio, clamped to [base, max]), a fixed ratio with no
upper cap, or the adaptive one (floor times (q / floor) to a power 1 / 2^k,
q a high percentile), each with an optional guard for recordings that are
mostly speech. ``batch_flags`` applies one to a whole recording through the
gate's own cleaning passes; ``stream_flags`` emulates a Stream in 10 ms chunks
(each call re-analyses its context of the last 3 s plus the chunk) for rules
the streaming gate does not offer yet. Percentiles are taken as the analysis
takes its floor: ranks of the sorted values, interpolated in float32.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from talvane_rs import analyse

f32 = np.float32
CONTEXT = 300  # windows in a full 3 s context at 10 ms


@dataclasses.dataclass(frozen=True)
class Rule:
    """threshold = floor * ratio (fixed), or floor * (q / floor)^(1 / 2^roots)
    (adaptive, q the `high` percentile); with `guard`, a floor above `guard`
    times the `low` percentile is lowered to that (the 20th percentile of a
    mostly-speech recording is speech, its pauses lie lower); then raised to
    `base`, lowered to `cap`."""

    name: str
    ratio: float | None = None
    roots: int = 3
    high: float = 95.0
    floor_percentile: float = 20.0
    guard: float | None = None
    low: float = 5.0
    base: float = 0.008
    cap: float = math.inf
    min_ratio: float = 1.0  # the adaptive ratio is at least this
    spread: float | None = None  # adaptive only where floor <= spread * low: else min_ratio
    alpha: float = 0.2  # smooth_alpha
    min_voice_windows: int = 1

    def threshold(self, floor, high, low):
        """The threshold from the order statistics (arrays of float32): a floor of 0
        or below, or a high percentile not above it (or NaN), takes the fixed part
        of the ratio alone; a NaN floor gives `base`."""
        with np.errstate(all="ignore"):
            floor = np.asarray(floor, dtype=f32)
            high = np.asarray(high, dtype=f32)
            if self.guard is not None:
                floor = np.minimum(floor, np.asarray(low, dtype=f32) * f32(self.guard))
            if self.ratio is not None:
                t = floor * f32(self.ratio)
            else:
                a, b = high, floor
                for _ in range(self.roots):
                    a, b = np.sqrt(a), np.sqrt(b)
                ratio = np.where((floor > 0) & (high > floor), a / b, f32(self.min_ratio))
                ratio = np.where(ratio > f32(self.min_ratio), ratio, f32(self.min_ratio))
                if self.spread is not None:
                    noisy = floor <= np.asarray(low, dtype=f32) * f32(self.spread)
                    ratio = np.where(noisy, ratio, f32(self.min_ratio))
                t = floor * ratio
            t = np.where(np.isnan(floor), f32(self.base), t)
            t = np.where(t < f32(self.base), f32(self.base), t)
            return np.where(t > f32(self.cap), f32(self.cap), t).astype(f32)


CLASSIC = Rule("classic", ratio=2.0, cap=0.035, min_voice_windows=5)


def percentile(sorted_rows: np.ndarray, p: float) -> np.ndarray:
    """The analysis's percentile of each row of ascending float32 values."""
    n = sorted_rows.shape[-1]
    r = float(n - 1) * float(f32(p)) / 100.0
    lo, hi = math.floor(r), math.ceil(r)
    low = sorted_rows[..., lo]
    if lo == hi:
        return low
    frac = f32(r - lo)
    return sorted_rows[..., hi] * frac + (f32(1.0) - frac) * low


def stats(sorted_rows: np.ndarray, rule: Rule):
    return (percentile(sorted_rows, rule.floor_percentile), percentile(sorted_rows, rule.high),
            percentile(sorted_rows, rule.low))


CLEANING = {"max_silence_gap_windows": 8, "pad_voice_windows": 2, "pass_windows": 0}


def batch_flags(banded: np.ndarray, rate: int, energies: np.ndarray, rule: Rule) -> np.ndarray:
    """Keep flags per window of the analysis of `banded` (the band-filtered
    samples, whose window energies are `energies`) with the rule's threshold,
    through the gate's own passes."""
    smoothed = smooth_rows(np.asarray(energies, dtype=f32)[None, :], rule.alpha)[0]
    t = float(rule.threshold(*stats(np.sort(smoothed)[None, :], rule))[0])
    if math.isnan(t):  # no window is voice; only the pass windows could be kept, and there are none
        return np.zeros(len(smoothed), dtype=bool)
    return analyse(banded, rate, base_thresh=t, max_thresh=t, min_voice_windows=rule.min_voice_windows,
                   smooth_alpha=rule.alpha, **CLEANING).keep_windows


def smooth_rows(rows: np.ndarray, alpha: float) -> np.ndarray:
    """The analysis's smoothing along each row, each starting from its first energy."""
    out = np.empty_like(rows)
    running = rows[:, 0].copy()
    a = f32(alpha)
    keep = f32(1.0) - a
    for j in range(rows.shape[1]):
        running = keep * running + a * rows[:, j]
        out[:, j] = running
    return out


class StreamContexts:
    """For each 10 ms chunk k of a stream (windows aligned with the chunks), the
    smoothed energies of its analysis over windows max(0, k - context) .. k,
    sorted, and those of its last `tail` windows k - tail + 1 .. k (0 before the
    stream's first); computed once, shared by every rule."""

    def __init__(self, energies: np.ndarray, alpha: float = 0.2, tail: int = 3, context: int = CONTEXT):
        e = np.asarray(energies, dtype=f32)
        n = len(e)
        first = min(n, context)
        self.sorted_short = []  # chunks 0 .. first - 1: growing contexts
        self.last = np.zeros((n, tail), dtype=f32)  # smoothed energies of windows k - tail + 1 .. k
        for k in range(first):
            s = smooth_rows(e[None, : k + 1], alpha)[0]
            self.sorted_short.append(np.sort(s))
            self.last[k, tail - min(tail, k + 1):] = s[-tail:]
        if n > context:
            s = smooth_rows(sliding_window_view(e, context + 1), alpha)
            self.last[context:] = s[:, -tail:]
            self.sorted_full = np.sort(s, axis=1)
        else:
            self.sorted_full = np.zeros((0, context + 1), dtype=f32)
        self.n = n

    def thresholds(self, rule: Rule) -> np.ndarray:
        short = [rule.threshold(*stats(row[None, :], rule))[0] for row in self.sorted_short]
        full = rule.threshold(*stats(self.sorted_full, rule)) if len(self.sorted_full) else np.zeros(0, f32)
        return np.concatenate([np.array(short, dtype=f32), full])

    def flags(self, rule: Rule) -> np.ndarray:
        """The chunk's keep flag with min_voice_windows 1, padding 2 and pass 0:
        window k or one of the two before it is voice (gap filling never reaches
        the last window; padding carries a voice window two windows on)."""
        if rule.min_voice_windows != 1:
            raise ValueError("the emulation covers min_voice_windows 1 only")
        t = self.thresholds(rule)
        # Windows before the first hold 0.0, never above a threshold of base or more.
        return (self.last[:, -3:] > t[:, None]).any(axis=1)
