"""gate --stream: the streaming gate over a whole input, read as it comes and
written as it is gated, chunk by chunk, with what each call decided gathered
for the summary and the picture."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from talvane_rs.actions.base import Context, Done, Span, nonfinite_found
from talvane_rs.actions.gate import Gate
from talvane_rs.chunks import ChunkGate, Frames
from talvane_rs.columns import StreamTrace
from talvane_rs.cutting import to_type
from talvane_rs.errors import FileError
from talvane_rs.io.frames import BLOCK, INTEGER_SUBTYPES, read_blocks
from talvane_rs.io.read import Blocks
from talvane_rs.io.storage import Location
from talvane_rs.io.write import write_audio
from talvane_rs.samples import SCALES, mono
from talvane_rs.units import ms_to_samples

if TYPE_CHECKING:
    from matplotlib.figure import Figure


class StreamedInput:
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


@dataclass(frozen=True)
class StreamingGate(Gate):
    """gate --stream: Stream over chunks of every channel (or of the mono mix,
    with --mono), read and written as the input comes (a WAV stream or raw PCM on
    a pipe included), so memory stays flat however long the input, and the output
    of each chunk leaves at once. Integer samples stay integers: each is the input
    sample times the gain in double, rounded half to even and saturated."""

    def describe(self) -> str:
        return f"streaming gate, {self.stream_ms:g} ms chunks"

    def perform(self, context: Context) -> Done:
        from talvane_rs.io.frames import declared_frames, truncation
        from talvane_rs.io.read import open_blocks

        job = context.job
        with open_blocks(job.src, job.cwd, context.checkpoint, context.blocking, self.raw) as source:
            assert self.stream_ms is not None
            run = StreamedInput(self.stream_ms, context, source, every_channel=not self.mono)
            where = run.write()
            declared = declared_frames(source.file) if source.file is not None else source.frames
        gate, settings = run.gate, run.settings
        stats, rate = source.stats, source.rate
        tally = gate.tally
        short = truncation(declared, tally.frames, rate)
        if short is not None:
            context.notes.append(f"{job.name}: {short}")
        unfinished = source.unfinished()
        if unfinished is not None:  # reported once every whole frame is out
            raise FileError(unfinished)
        if stats.nonfinite:
            context.notes.append(f"{job.name}: {nonfinite_found(stats, rate)}, replaced by 0.0")
        trace = gate.trace

        def draw(title: str, span: Span) -> Figure:  # the trace holds the stretch asked for
            from talvane_rs.plot import plot_stream

            assert trace is not None
            return plot_stream(trace, title, settings)

        return Done(tally.frames, rate, tally.kept, tally.regions, gate.threshold, where=where,
                    draw=draw if trace is not None else None, noise_floor=gate.noise_floor)  # fmt: skip
