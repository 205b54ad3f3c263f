"""Kept regions of a keep mask, as half-open sample ranges, and the tally of what
a stream kept, counted from its onset and offset events."""

from __future__ import annotations

import operator
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, SupportsIndex


class Region(tuple[int, int]):
    """A kept stretch ``[start, end)`` in samples.

    It is the pair ``(start, end)``: it unpacks, indexes and compares as one.
    ``start_s``, ``end_s`` and ``duration_s`` give the same bounds in seconds at
    the sample rate the region was found at.
    """

    sample_rate: int

    def __new__(cls, start: int, end: int, sample_rate: int) -> Region:
        region = super().__new__(cls, (start, end))
        region.sample_rate = sample_rate
        return region

    def __getnewargs__(self) -> tuple[int, int, int]:
        return (self[0], self[1], self.sample_rate)

    def __repr__(self) -> str:
        return f"Region({self[0]}, {self[1]}, sample_rate={self.sample_rate})"

    @property
    def start(self) -> int:
        return self[0]

    @property
    def end(self) -> int:
        return self[1]

    @property
    def start_s(self) -> float:
        return self[0] / self.sample_rate

    @property
    def end_s(self) -> float:
        return self[1] / self.sample_rate

    @property
    def duration_s(self) -> float:
        return (self[1] - self[0]) / self.sample_rate


def _flag_bytes(mask: Iterable[object]) -> bytes:
    """One byte per sample, 1 where the mask keeps it."""
    numpy = sys.modules.get("numpy")
    # An ndarray can only exist once NumPy is imported, so this never imports it.
    if numpy is not None and isinstance(mask, numpy.ndarray):
        if mask.ndim != 1:
            raise ValueError(f"mask must be one-dimensional, not {mask.ndim}-dimensional")
        return bytes(mask.astype(bool, copy=False).tobytes())
    return bytes(map(bool, mask))


def keep_regions(mask: Iterable[object], sample_rate: SupportsIndex) -> list[Region]:
    """The kept regions of a per-sample keep mask, in order.

    ``mask`` is a list of bools (as from ``compute_keep_mask``), a NumPy array
    (as from ``compute_keep_mask_array``; any dtype, non-zero meaning kept) or
    any iterable whose items' truth values are the flags. Each region is the
    pair ``(start, end)`` of a maximal run of kept samples, ``end`` excluded,
    with its bounds also in seconds at ``sample_rate`` (a positive integer, Hz).
    An empty mask, or one that keeps nothing, gives an empty list.
    """
    rate = operator.index(sample_rate)
    if rate <= 0:
        raise ValueError(f"sample_rate must be positive, not {rate}")
    flags = _flag_bytes(mask)
    regions = []
    # bytes.find skips whole runs at C speed: two searches per region.
    start = flags.find(1)
    while start >= 0:
        end = flags.find(0, start)
        if end < 0:
            end = len(flags)
        regions.append(Region(start, end, rate))
        start = flags.find(1, end)
    return regions


@dataclass
class KeptTally:
    """Frames a stream gated, those it kept and in how many stretches, counted
    from its events (an onset at the first kept frame after a dropped one, an
    offset at the first dropped frame after a kept one; a stream begins dropped)."""

    frames: int = 0
    closed: int = 0  # frames of the stretches already closed
    onset: int | None = None  # the first frame of the stretch kept now, if the gate is open
    regions: int = 0

    def add(self, frames: int, events: Iterable[Any]) -> None:
        """frames more gated, with the events of the calls that gated them."""
        for event in events:
            if event.kind == "onset":
                self.onset = event.sample
                self.regions += 1
            elif self.onset is not None:
                self.closed += event.sample - self.onset
                self.onset = None
        self.frames += frames

    def passing(self) -> None:
        """The gate is disabled: it keeps everything, as one stretch from the start."""
        self.onset, self.regions = 0, 1

    @property
    def open(self) -> bool:
        return self.onset is not None

    @property
    def kept(self) -> int:
        return self.closed + (self.frames - self.onset if self.onset is not None else 0)
