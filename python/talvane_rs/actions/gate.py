"""gate: every channel times the gate's gains (1 in speech, the attenuation
elsewhere, with ramps between), the file's length kept; or, with --stream, the
streaming gate's output over chunks of the mono mix."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from functools import cache
from typing import TYPE_CHECKING, Any

from talvane_rs.actions.audio import AudioAction
from talvane_rs.actions.base import Decision, Done, Option, Source, regions_done, with_options
from talvane_rs.errors import Checkpoint, FileError, go_on
from talvane_rs.units import ms_to_samples, parse_chunk

if TYPE_CHECKING:
    from collections.abc import Mapping

    import soundfile as sf

    from talvane_rs.actions.base import Action, BoolArray, FloatArray
    from talvane_rs.analysis import Analysis


@dataclass(frozen=True)
class Gate(AudioAction):
    stream_ms: float | None = None  # chunks of the streaming gate; None: the batch gate

    name = "gate"
    tag = "gated"
    help = "turn the audio down outside speech"
    description = (
        "Turn the audio down outside speech: every channel is multiplied by the gate's gain "
        "(1 in speech, --attenuation elsewhere, with --fade-ms ramps between), and the file keeps its length."
    )
    examples = """examples:
  talvane gate talk.mp3                          # writes talk.gated.mp3
  talvane gate talk.wav --attenuation -20dB --fade-ms 10ms -o quiet.flac
  talvane gate talks/ -r -j 2 -o gated/          # a folder and its subfolders
  talvane gate s3://corpus/talks/ -o s3://corpus/gated/ --dask tcp://10.0.0.5:8786
  cat talk.wav | talvane gate - -o - --format flac > gated.flac"""
    stages = frozenset({"analysis", "gain", "stream"})
    options = (
        Option(
            ("--stream",), dest="stream_ms", type=parse_chunk, metavar="CHUNK",
            help="run the streaming gate over chunks of this length: ms, or a duration (20, 20ms); "
            "several channels are mixed down",
        ),
    )  # fmt: skip

    @classmethod
    def from_options(cls, values: Mapping[str, Any]) -> Action:
        return with_options(StreamingGate if values.get("stream_ms") is not None else Gate, values)

    def describe(self) -> str:
        return "gated"

    def apply(self, source: Source, decision: Decision) -> Done:
        every = self.every_channel(source)
        file, mix, view, checkpoint = source.file, decision.mix, decision.view, source.checkpoint
        where = self.write(source, decision, source.channels if every else 1,
                           lambda: gate_blocks(file, mix, view, every, checkpoint))  # fmt: skip
        return regions_done(source, decision, where=where, gains=view.gains_part)


@dataclass(frozen=True)
class StreamingGate(Gate):
    """gate --stream: the streaming gate over chunks of the mono mix."""

    def describe(self) -> str:
        return f"streaming gate, {self.stream_ms:g} ms chunks"

    def apply(self, source: Source, decision: Decision) -> Done:
        import numpy as np

        from talvane_rs.io.read import BLOCK

        assert self.stream_ms is not None
        if self.every_channel(source):
            source.notes.append(f"{source.job.name}: the streaming gate takes one channel: "
                                f"{source.channels} channels mixed down to mono")  # fmt: skip
        mix, settings, rate = decision.mix, decision.settings, source.rate
        step = max(1, ms_to_samples(rate, self.stream_ms))
        out = stream_gate(mix, rate, settings, step, source.checkpoint)
        kept = stream_keep_mask(mix, rate, settings, step, source.checkpoint)
        n = len(mix)
        where = self.write(source, decision, 1, lambda: (out[a : a + BLOCK] for a in range(0, n, BLOCK)))

        @cache
        def gains() -> FloatArray:
            return stream_gains(mix, out, kept, settings["attenuation"])

        return Done(decision, rate, int(np.count_nonzero(kept)), count_runs(kept), levels=False, where=where,
                    gains=lambda a, b: gains()[a:b], kept_mask=kept)  # fmt: skip


def gate_blocks(
    f: sf.SoundFile, mix: FloatArray, view: Analysis, every_channel: bool, checkpoint: Checkpoint
) -> Iterator[FloatArray]:
    """The gated audio: each channel (or the mix) times the analysis's gains. The
    channels are read again; a file that changed length meanwhile is an error."""
    import numpy as np

    from talvane_rs.io.read import BLOCK, read_blocks

    if not every_channel:
        for a in range(0, len(mix), BLOCK):
            checkpoint()
            b = min(len(mix), a + BLOCK)
            gains = view.gains_part(a, b)
            yield np.multiply(mix[a:b], gains, out=gains)
        return
    a = 0
    for block in read_blocks(f):
        checkpoint()
        b = a + len(block)
        if b > len(mix):
            raise FileError("the file grew longer when read again")
        yield np.multiply(block, view.gains_part(a, b)[:, np.newaxis], out=block)
        a = b
    if a < len(mix):
        raise FileError("the file ended early when read again")


def stream_gate(
    x: FloatArray, rate: int, settings: dict[str, Any], step: int, checkpoint: Checkpoint = go_on
) -> FloatArray:
    """The streaming gate's output over chunks of step samples."""
    import numpy as np

    from talvane_rs._native import StreamingEnergyTalvane

    gate = StreamingEnergyTalvane(**settings)
    n = len(x)
    out = np.empty(n, dtype=np.float32)
    for a in range(0, n, step):
        checkpoint()
        b = min(n, a + step)
        out[a:b] = gate.process_chunk(x[a:b], rate, b == n)
    return out


def stream_keep_mask(
    x: FloatArray, rate: int, settings: dict[str, Any], step: int, checkpoint: Checkpoint = go_on
) -> BoolArray:
    """The keep flags the streaming gate used over chunks of step samples.

    It decides each chunk from the analysis of its context (the latest input,
    at most stream_context_ms of it) followed by the chunk, so the same flags
    come from the batch analysis of that stretch of the input.
    """
    import numpy as np

    from talvane_rs._native import EnergyTalvane

    n = len(x)
    kept = np.ones(n, dtype=np.bool_)
    if not settings["enabled"]:
        return kept
    batch = EnergyTalvane(**settings)
    limit = max(1, ms_to_samples(rate, settings["stream_context_ms"]))  # never below one sample
    for a in range(0, n, step):
        checkpoint()
        b = min(n, a + step)
        start = max(0, a - limit)
        kept[a:b] = batch.compute_keep_mask_array(x[start:b], rate)[a - start :]
    return kept


def stream_gains(x: FloatArray, out: FloatArray, kept: BoolArray, attenuation: float) -> FloatArray:
    """The gain each sample got, read back as out / x; samples that cannot tell
    (zero or non-finite) take the gain of the nearest earlier sample that can."""
    import numpy as np

    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        valid = np.isfinite(x) & (x != 0) & np.isfinite(out)
    if not valid.any():
        return np.where(kept, np.float32(1.0), np.float32(attenuation)).astype(np.float32)
    index = np.where(valid, np.arange(len(x)), 0)
    np.maximum.accumulate(index, out=index)
    first = int(np.argmax(valid))
    index[:first] = first
    return (out[index] / x[index]).astype(np.float32)


def count_runs(flags: BoolArray) -> int:
    import numpy as np

    if len(flags) == 0:
        return 0
    return int(np.count_nonzero(flags[1:] & ~flags[:-1])) + int(flags[0])
