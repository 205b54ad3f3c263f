"""The streaming gate over a whole input, for gate --stream: Stream chunk by chunk
as the input comes, each chunk's output written at once, with what each call
decided gathered for the summary and the picture."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from talvane_rs._analysis import Stream, stream_view
from talvane_rs.actions.base import Context, nonfinite_found
from talvane_rs.band import BandFilter
from talvane_rs.columns import StreamTrace
from talvane_rs.cutting import to_type
from talvane_rs.errors import Checkpoint, FileError, go_on
from talvane_rs.io.read import BLOCK, INTEGER_SUBTYPES, Blocks, read_blocks
from talvane_rs.io.storage import Location
from talvane_rs.io.write import write_audio
from talvane_rs.params import GateSettings
from talvane_rs.samples import SCALES, mono
from talvane_rs.units import ms_to_samples

Frames = npt.NDArray[Any]  # (frames, channels) or mono samples of any type Stream takes


class ChunkGate:
    """Stream over samples given in any blocks (mono, or frames by channels, of any
    type Stream takes), cut into chunks of step frames, with what each call
    decided: kept samples and stretches, and the last threshold; and, given a
    trace, what a picture of the run needs."""

    def __init__(self, settings: GateSettings, rate: int, step: int, trace: StreamTrace | None = None,
                 checkpoint: Checkpoint = go_on) -> None:  # fmt: skip
        self.settings, self.rate, self.step, self.trace = settings, rate, step, trace
        self.checkpoint = checkpoint  # called before each chunk
        self.stream = Stream(rate, band=settings.band, **settings.native())
        # What the decision reads, for the picture's level line: the mix through the band.
        band = settings.band
        self.band = BandFilter(rate, band) if band is not None and trace is not None else None
        self.samples = self.kept = self.regions = 0
        self.threshold = self.noise_floor = float("nan")  # the last call's
        self.last_kept = False  # whether the last sample gated was kept
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
        stream, kept = self.stream, self.last_kept
        if not self.settings.enabled:  # a disabled gate passes everything
            self.regions += int(not kept)
            self.kept += n
            kept = True
        else:
            first, at = stream.position - n, 0
            for event in stream.events:
                offset = event.sample - first
                self.kept += offset - at if kept else 0
                at, kept = offset, event.kind == "onset"
                self.regions += int(kept)
            self.kept += n - at if kept else 0
        self.last_kept = kept
        self.samples += n
        if stream.threshold is not None:
            self.threshold = stream.threshold
        if stream.noise_floor is not None:
            self.noise_floor = stream.noise_floor


class StreamRun:
    """One input through Stream, read as it comes and written as it is gated:
    every channel, or the mono mix when every_channel is off."""

    def __init__(self, chunk_ms: float, context: Context, source: Blocks, every_channel: bool) -> None:
        self.context, self.source, self.every_channel = context, source, every_channel
        self.settings = context.job.settings.resolved(source.rate)
        span = context.job.plot_range
        trace = None if context.job.plot is None else StreamTrace(
            source.rate, 0 if span is None else round(span[0] * source.rate),
            None if span is None or span[1] is None else round(span[1] * source.rate))  # fmt: skip
        step = max(1, ms_to_samples(source.rate, chunk_ms))
        try:
            self.gate = ChunkGate(self.settings, source.rate, step, trace, context.checkpoint)
        except ValueError as e:  # threshold limits out of order once durations are windows, a band the rate refuses
            raise FileError(str(e)) from None

    def write(self) -> Location:
        """Writes the gated audio to the job's output, as it is made; returns where it went."""
        job, source = self.context.job, self.source
        assert job.dst is not None
        file = source.file

        def peak() -> float:  # only a file's own format can need the WAV fallback, so there is a file
            blocks = read_blocks(file) if file is not None else iter(())
            return max((float(np.max(np.abs(b), initial=0.0)) for b in blocks), default=0.0)

        channels = source.channels if self.every_channel else 1
        return write_audio(job.target(job.dst), source, source.rate, channels, peak, self.blocks, self.context.notes,
                           live=True)  # fmt: skip

    def blocks(self) -> Iterator[Frames]:
        """The gated audio, a block for what each read gave. The mono mix of 16- or
        32-bit samples is gated in double precision (Stream decides on the same
        float32 mix) and rounded half to even into their type, as integers are."""
        step = self.gate.step
        integer = None if self.every_channel else INTEGER_SUBTYPES.get(self.source.subtype)

        def written(out: Frames) -> Frames:
            return to_type(out / SCALES[integer], integer) if integer is not None else out

        job, stats = self.context.job, self.source.stats
        for block in self.source.blocks(max(step, BLOCK // self.source.channels // step * step)):
            if job.strict and stats.nonfinite:
                raise FileError(f"{nonfinite_found(stats, self.source.rate)} (--strict)")
            if not self.every_channel:
                block = mono(block, "block")
                block = block.astype(np.float64) if integer is not None else block
            out = self.gate.feed(block)
            if len(out):
                yield written(out)
        out = self.gate.finish()
        if len(out):
            yield written(out)
