"""The streaming gate over blocks of any length: Stream fed in chunks of one
length however the blocks fall, with what each call decided gathered for a
summary and a picture."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from talvane_rs._analysis import Stream, stream_view
from talvane_rs.band import BandFilter
from talvane_rs.columns import StreamTrace
from talvane_rs.errors import Checkpoint, go_on
from talvane_rs.params import GateSettings
from talvane_rs.regions import KeptTally
from talvane_rs.samples import mono

Frames = npt.NDArray[Any]  # (frames, channels) or mono samples of any type Stream takes


class ChunkGate:
    """Stream over samples given in any blocks (mono, or frames by channels, of any
    type Stream takes), cut into chunks of step frames, with what each call
    decided: kept frames and stretches (tally), and the last floor and threshold;
    and, given a trace, what a picture of the run needs."""

    def __init__(self, settings: GateSettings, rate: int, step: int, trace: StreamTrace | None = None,
                 checkpoint: Checkpoint = go_on) -> None:  # fmt: skip
        self.settings, self.rate, self.step, self.trace = settings, rate, step, trace
        self.checkpoint = checkpoint  # called before each chunk
        self.stream = Stream(rate, band=settings.band, rule=settings.native_rule, music=settings.music,
                             **settings.native())
        # What the decision reads, for the picture's level line: the mix through the band.
        band = settings.band
        self.band = BandFilter(rate, band) if band is not None and trace is not None else None
        self.tally = KeptTally()
        if not settings.enabled:  # a disabled gate passes everything
            self.tally.passing()
        self.threshold = self.noise_floor = float("nan")  # the last call's
        self.carry: Frames | None = None  # the start of a chunk not yet whole

    def feed(self, frames: Frames) -> Frames:
        """The output of every chunk made whole by frames (those frames' output)."""
        if self.carry is not None and len(self.carry):
            frames = np.concatenate([self.carry, frames])
        whole = len(frames) - len(frames) % self.step
        self.carry = frames[whole:].copy()
        return self.gate_chunks(frames[:whole])

    def finish(self) -> Frames:
        """The output of the last, shorter chunk; the gate is ready for a new stream."""
        out = self.gate_chunks(self.carry) if self.carry is not None else np.empty(0, np.float32)
        self.carry = None
        self.stream.reset()
        return out

    def gate_chunks(self, frames: Frames) -> Frames:
        """The gated frames, chunk by chunk; what each call decided for the picture is
        gathered for the whole of frames at once, so a long stream costs little
        beyond its calls."""
        out = np.empty_like(frames)
        tracing = self.trace is not None
        keep = np.empty(len(frames) if tracing else 0, dtype=np.bool_)
        gains = np.empty(len(frames) if tracing else 0, dtype=np.float32)
        floors, thresholds = [], []
        for a in range(0, len(frames), self.step):
            self.checkpoint()
            b = min(len(frames), a + self.step)
            out[a:b] = self.stream.process(frames[a:b])
            self.count(b - a)
            if tracing:
                view = stream_view(self.stream)
                if view is None:  # a disabled gate passes every sample unchanged
                    keep[a:b], gains[a:b], floor, threshold = True, 1.0, math.nan, math.nan
                else:
                    keep[a:b], gains[a:b], floor, threshold = view.keep, view.gains, view.noise_floor, view.threshold
                floors.append(floor)
                thresholds.append(threshold)
        if self.trace is not None and len(frames):
            mix = mono(frames, "frames")
            per_chunk = np.minimum(self.step, len(frames) - np.arange(0, len(frames), self.step))
            level = None if self.band is None else self.band.process(mix)
            self.trace.add(mix, mix * gains, gains, keep, np.repeat(floors, per_chunk),
                           np.repeat(thresholds, per_chunk), level)
        return out

    def count(self, n: int) -> None:
        """Counts what the call that gated the last n frames kept, from its events."""
        stream = self.stream
        self.tally.add(n, stream.events)
        if stream.threshold is not None:
            self.threshold = stream.threshold
        if stream.noise_floor is not None:
            self.noise_floor = stream.noise_floor
