"""Per-column statistics of long sequences, for pictures: a recording read in
blocks, or a stream gathered as it goes in memory that does not grow with it."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

COLUMNS = 1600  # about two per pixel of a plot's width
BLOCK = 1 << 20  # samples per step of the column statistics

Curve = npt.NDArray[np.float64]
Samples = Callable[[int, int], npt.NDArray[np.float32]]


class Columns:
    """Per-column minimum, maximum, mean and RMS of n values read in blocks;
    each column covers `width` values (the last may hold fewer)."""

    def __init__(self, read: Samples, n: int, columns: int = COLUMNS) -> None:
        self.width = max(1, -(-n // columns))
        count = -(-n // self.width)
        self.low, self.high, self.mean, self.rms = (np.zeros(count) for _ in range(4))
        step = max(1, BLOCK // self.width) * self.width  # whole columns per block
        for a in range(0, n, step):
            b = min(n, a + step)
            values = read(a, b).astype(np.float64)
            first, full = a // self.width, (b - a) // self.width
            if full:
                grid = values[: full * self.width].reshape(full, self.width)
                self._put(first, grid.min(axis=1), grid.max(axis=1), grid.mean(axis=1),
                          np.sqrt(np.mean(grid * grid, axis=1)))
            rest = values[full * self.width :]
            if len(rest):
                self._put(first + full, rest.min(keepdims=True), rest.max(keepdims=True), rest.mean(keepdims=True),
                          np.sqrt(np.mean(rest * rest, keepdims=True)))
        self.times = (np.arange(count) * self.width + self.width / 2.0)

    def _put(self, at: int, *values: Curve) -> None:
        for mine, part in zip((self.low, self.high, self.mean, self.rms), values):
            mine[at : at + len(part)] = part


class Running:
    """Per-column minimum, maximum, mean and RMS of values given piece by piece,
    for a stream whose length is not known ahead: columns start one value wide
    and, whenever there are more than twice COLUMNS, neighbours merge and the
    width doubles. Memory stays a few times COLUMNS, however long the stream."""

    def __init__(self) -> None:
        self.width = 1
        self.count = 0  # values given
        self.low, self.high, self.sum, self.squares = (np.empty(0) for _ in range(4))

    def add(self, values: npt.NDArray[Any]) -> None:
        values = np.asarray(values, dtype=np.float64)
        while len(values):
            into = self.count % self.width
            if into:  # the last column is not full: fill it first
                part, values = values[: self.width - into], values[self.width - into :]
                self._merge_last(part)
                continue
            whole = len(values) // self.width * self.width
            if whole:
                grid = values[:whole].reshape(-1, self.width)
                self._append(grid.min(axis=1), grid.max(axis=1), grid.sum(axis=1), (grid * grid).sum(axis=1))
                self.count += whole
                values = values[whole:]
            else:
                self._append(values[:1], values[:1], values[:1], values[:1] * values[:1])
                self.count += 1
                values = values[1:]
            while len(self.low) > 2 * COLUMNS:
                self._halve()

    def _merge_last(self, part: npt.NDArray[np.float64]) -> None:
        self.low[-1] = min(self.low[-1], part.min())
        self.high[-1] = max(self.high[-1], part.max())
        self.sum[-1] += part.sum()
        self.squares[-1] += (part * part).sum()
        self.count += len(part)

    def _append(self, *columns: npt.NDArray[np.float64]) -> None:
        self.low, self.high, self.sum, self.squares = (
            np.concatenate([mine, new]) for mine, new in zip((self.low, self.high, self.sum, self.squares), columns)
        )

    def _halve(self) -> None:
        odd = len(self.low) % 2
        pairs = len(self.low) - odd

        def merge(values: npt.NDArray[np.float64], how: Any) -> npt.NDArray[np.float64]:
            return np.concatenate([how(values[:pairs].reshape(-1, 2), axis=1), values[pairs:]])

        self.low, self.high = merge(self.low, np.min), merge(self.high, np.max)
        self.sum, self.squares = merge(self.sum, np.sum), merge(self.squares, np.sum)
        self.width *= 2

    def columns(self) -> Columns:
        """The columns as Columns gives them (times in values from the start)."""
        cols = Columns.__new__(Columns)
        n = len(self.low)
        sizes = np.full(n, float(self.width))
        if n:
            sizes[-1] = self.count - (n - 1) * self.width
        cols.width = self.width
        cols.low, cols.high = self.low.copy(), self.high.copy()
        cols.mean = self.sum / np.maximum(sizes, 1.0)
        cols.rms = np.sqrt(self.squares / np.maximum(sizes, 1.0))
        cols.times = np.arange(n) * self.width + sizes / 2.0
        return cols


class StreamTrace:
    """What a stream decided, kept as it goes for its picture: the input and the
    output, the gain, and the noise floor and threshold of each chunk, per column;
    and the kept stretches exactly."""

    def __init__(self, rate: int, start: int = 0, end: int | None = None) -> None:
        self.rate = rate
        self.start, self.end = start, end  # the stretch kept, in samples of the stream
        self.input, self.output, self.gain = Running(), Running(), Running()
        self.floor, self.threshold = Running(), Running()
        self.level: Running | None = None  # the signal the decision read, when not the input (a band)
        self.kept: list[list[int]] = []  # [start, end) in samples
        self.samples = 0  # of the stretch
        self.seen = 0  # of the stream

    def add(self, x: npt.NDArray[np.float32], out: npt.NDArray[np.float32], gains: npt.NDArray[np.float32],
            keep: npt.NDArray[np.bool_], floor: npt.NDArray[Any], threshold: npt.NDArray[Any],
            level: npt.NDArray[np.float32] | None = None) -> None:  # fmt: skip
        """The next samples: their mono input, output, gains and keep flags, per
        sample the noise floor and threshold they were decided by, and the signal
        the decision read when that is not the input (the input through a band)."""
        first, self.seen = self.seen, self.seen + len(x)
        a = max(0, self.start - first)
        b = len(x) if self.end is None else min(len(x), self.end - first)
        if b <= a:
            return
        x, out, gains, keep = x[a:b], out[a:b], gains[a:b], keep[a:b]
        if level is not None:
            if self.level is None:
                self.level = Running()
            self.level.add(level[a:b])
        n, at = len(x), self.samples
        self.input.add(x)
        self.output.add(out)
        self.gain.add(gains)
        self.floor.add(floor[a:b])
        self.threshold.add(threshold[a:b])
        edges = np.flatnonzero(np.diff(keep.astype(np.int8), prepend=0, append=0)).tolist()
        for start, end in zip(edges[::2], edges[1::2]):
            if self.kept and self.kept[-1][1] == at + start:
                self.kept[-1][1] = at + end
            else:
                self.kept.append([at + start, at + end])
        self.samples += n
