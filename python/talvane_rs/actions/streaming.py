"""The streaming gate over a whole input, for gate --stream: chunk by chunk as the
input comes, each chunk's output written at once, with what each call decided
gathered for the summary and the picture."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from talvane_rs._native import StreamingEnergyTalvane
from talvane_rs.actions.base import Context
from talvane_rs.errors import Checkpoint, go_on
from talvane_rs._analysis import stream_view
from talvane_rs.io.read import BLOCK, Blocks, read_blocks
from talvane_rs.io.storage import Location
from talvane_rs.io.write import write_audio
from talvane_rs.params import native_settings, resolve_settings
from talvane_rs.samples import mean_channels
from talvane_rs.columns import StreamTrace
from talvane_rs.units import ms_to_samples

FloatArray = npt.NDArray[np.float32]
BoolArray = npt.NDArray[np.bool_]


class ChunkGate:
    """The streaming gate over samples given in any blocks, cut into chunks of step
    samples, with what each call decided: kept samples and stretches, and the last
    threshold; and, given a trace, what a picture of the run needs."""

    def __init__(self, settings: dict[str, Any], rate: int, step: int, trace: StreamTrace | None = None,
                 checkpoint: Checkpoint = go_on) -> None:  # fmt: skip
        self.settings, self.rate, self.step, self.trace = settings, rate, step, trace
        self.checkpoint = checkpoint  # called before each chunk
        self.gate = StreamingEnergyTalvane(**native_settings(settings))
        self.samples = self.kept = self.regions = 0
        self.threshold = float("nan")
        self.last_kept = False
        self.carry = np.empty(0, dtype=np.float32)  # the start of a chunk not yet whole

    def feed(self, mix: FloatArray) -> FloatArray:
        """The output of every chunk made whole by mix (those samples' output)."""
        mix = np.concatenate([self.carry, mix]) if len(self.carry) else mix
        whole = len(mix) - len(mix) % self.step
        self.carry = mix[whole:].copy()
        return self.gate_chunks(mix[:whole])

    def finish(self) -> FloatArray:
        """The output of the last, shorter chunk; the gate is ready for a new stream."""
        out = self.gate_chunks(self.carry)
        self.carry = self.carry[:0]
        self.gate.reset()
        return out

    def gate_chunks(self, mix: FloatArray) -> FloatArray:
        """The gated samples, chunk by chunk; what each call decided is gathered for
        the whole of mix at once, so a long stream costs little beyond its calls."""
        out = np.empty(len(mix), dtype=np.float32)
        keep = np.empty(len(mix), dtype=np.bool_)
        gains = np.empty(len(mix), dtype=np.float32) if self.trace is not None else None
        floors, thresholds = [], []
        for a in range(0, len(mix), self.step):
            self.checkpoint()
            chunk = np.ascontiguousarray(mix[a : a + self.step])
            b = a + len(chunk)
            out[a:b] = self.gate.process_chunk(chunk, self.rate, False)
            view = stream_view(self.gate)
            if view is None:  # a disabled gate passes every sample unchanged
                keep[a:b], floor, threshold = True, math.nan, math.nan
            else:
                keep[a:b], floor, threshold = view.keep, view.noise_floor, view.threshold
            if gains is not None:
                gains[a:b] = 1.0 if view is None else view.gains
            floors.append(floor)
            thresholds.append(threshold)
        if len(mix):
            self.note(mix, out, keep, floors, thresholds, gains)
        return out

    def note(self, mix: FloatArray, out: FloatArray, keep: BoolArray, floors: list[float], thresholds: list[float],
             gains: FloatArray | None) -> None:  # fmt: skip
        self.samples += len(mix)
        self.kept += int(np.count_nonzero(keep))
        self.regions += int(np.count_nonzero(keep[1:] & ~keep[:-1])) + int(keep[0] and not self.last_kept)
        self.last_kept = bool(keep[-1])
        self.threshold = thresholds[-1]
        if self.trace is not None and gains is not None:
            per_chunk = np.minimum(self.step, len(mix) - np.arange(0, len(mix), self.step))
            self.trace.add(mix, out, gains, keep, np.repeat(floors, per_chunk), np.repeat(thresholds, per_chunk))


class StreamRun:
    """One input through the streaming gate, read as it comes and written as it is gated."""

    def __init__(self, chunk_ms: float, context: Context, source: Blocks) -> None:
        self.context, self.source = context, source
        self.settings = resolve_settings(context.job.settings, source.rate)
        span = context.job.plot_range
        trace = None if context.job.plot is None else StreamTrace(
            source.rate, 0 if span is None else round(span[0] * source.rate),
            None if span is None or span[1] is None else round(span[1] * source.rate))  # fmt: skip
        step = max(1, ms_to_samples(source.rate, chunk_ms))
        self.gate = ChunkGate(self.settings, source.rate, step, trace, context.checkpoint)

    def write(self) -> Location:
        """Writes the gated mix to the job's output, as it is made; returns where it went."""
        job, source = self.context.job, self.source
        assert job.dst is not None
        file = source.file

        def peak() -> float:  # only a file's own format can need the WAV fallback, so there is a file
            blocks = read_blocks(file) if file is not None else iter(())
            return max((float(np.max(np.abs(b), initial=0.0)) for b in blocks), default=0.0)

        return write_audio(job.target(job.dst), source, source.rate, 1, peak, self.blocks, self.context.notes,
                           live=True)  # fmt: skip

    def blocks(self) -> Iterator[FloatArray]:
        """The gated mix, a block for what each read gave."""
        step = self.gate.step
        for block in self.source.blocks(max(step, BLOCK // step * step)):
            out = self.gate.feed(mean_channels(block))
            if len(out):
                yield out
        out = self.gate.finish()
        if len(out):
            yield out
