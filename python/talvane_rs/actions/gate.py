"""gate: every channel times the gate's gains (1 in speech, the attenuation
elsewhere, with ramps between), the file's length kept; or, with --stream, the
streaming gate's output over chunks, read and written as the input comes (raw
PCM too, with --raw)."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from talvane_rs.actions.audio import AudioAction
from talvane_rs.actions.base import (
    Decision,
    Done,
    Option,
    Source,
    regions_done,
)
from talvane_rs.errors import Checkpoint, FileError
from talvane_rs.io.raw import RawLayout, parse_raw
from talvane_rs.units import parse_chunk

if TYPE_CHECKING:
    from collections.abc import Mapping

    import soundfile as sf

    from talvane_rs.actions.base import FloatArray
    from talvane_rs.analysis import Analysis


@dataclass(frozen=True)
class Gate(AudioAction):
    stream_ms: float | None = None  # chunks of the streaming gate; None: the batch gate
    raw: RawLayout | None = None  # the layout of raw PCM input (with --stream)

    name = "gate"
    tag = "gated"
    description = (
        "Turn the audio down outside speech: every channel is multiplied by the gate's gain "
        "(1 in speech, --attenuation elsewhere, with --fade-ms ramps between), and the file keeps its length."
    )
    examples = """examples:
  talvane gate talk.mp3                          # writes talk.gated.mp3
  talvane gate talk.wav --attenuation -20dB --fade-ms 10ms -o quiet.flac
  talvane gate talks/ -r -j 2 -o gated/          # a folder and its subfolders
  talvane gate s3://corpus/talks/ -o s3://corpus/gated/ --dask tcp://10.0.0.5:8786
  cat talk.wav | talvane gate - -o - --format flac > gated.flac
  arecord -f S16_LE -r 16000 | talvane gate - -o - --stream 10ms --raw s16le:16000:1 | aplay -f S16_LE -r 16000"""
    stages = frozenset({"analysis", "gain", "stream"})
    options = (
        Option(
            ("--stream",), dest="stream_ms", type=parse_chunk, metavar="CHUNK",
            help="run the streaming gate over chunks of this length: ms, or a duration (20, 20ms); the input is "
            "read and the output written as they come",
        ),
        Option(
            ("--raw",), type=parse_raw, metavar="FORMAT:RATE:CHANNELS",
            help="with --stream: the input is raw PCM of this layout (s16le:16000:1; formats s16le, s32le, f32le, "
            "f64le, or the same ending in be), and standard output, or an output named .raw, gets raw PCM of the "
            "same layout",
        ),
    )  # fmt: skip

    @staticmethod
    def conflict(values: Mapping[str, Any]) -> str | None:
        """What the options given cannot do together, or None."""
        if values.get("raw") is None:
            return None
        if values.get("stream_ms") is None:
            return "--raw reads raw PCM as it comes, for the streaming gate: give --stream too (--stream 10ms)"
        if values.get("mono"):
            return "--raw writes the input's own layout, every channel: mix it down before or after, not with --mono"
        return None

    def describe(self) -> str:
        return "gated"

    def apply(self, source: Source, decision: Decision) -> Done:
        every = self.every_channel(source)
        file, mix, view, checkpoint = source.file, decision.mix, decision.view, source.checkpoint
        where = self.write(source, decision, source.channels if every else 1,
                           lambda: gate_blocks(file, mix, view, every, checkpoint))  # fmt: skip
        done = regions_done(source, decision, where=where, gains=view.gains_part)
        if not decision.settings.enabled:  # the output is the input: all of it kept, whatever was analysed
            n = done.samples
            done = replace(done, kept=n, regions=int(n > 0), levels=None, what="passed through (--enabled false)")
        return done


def gate_blocks(
    f: sf.SoundFile, mix: FloatArray, view: Analysis, every_channel: bool, checkpoint: Checkpoint
) -> Iterator[FloatArray]:
    """The gated audio: each channel (or the mix) times the analysis's gains. The
    channels are read again; a file that changed length meanwhile is an error.
    The samples of 16- and 32-bit PCM are read as integers, and each comes out as
    the sample times its float32 gain in double precision, rounded half to even
    and saturated, and so does their mono mix; float samples are multiplied in
    float32."""
    import numpy as np

    from talvane_rs.cutting import to_type
    from talvane_rs.io.frames import BLOCK, INTEGER_SUBTYPES, in_units, read_blocks

    integer = INTEGER_SUBTYPES.get(f.subtype)
    if not every_channel and (integer is None or f.channels > 1):
        for a in range(0, len(mix), BLOCK):
            checkpoint()
            b = min(len(mix), a + BLOCK)
            gains = view.gains_part(a, b)
            if integer is None:
                yield np.multiply(mix[a:b], gains, out=gains)
            else:  # the mix of integer channels times the gain, rounded as every integer output is
                yield to_type(in_units(mix[a:b], integer) * gains.astype(np.float64), integer)
        return
    a = 0
    for block in read_blocks(f, dtype=integer or "float32"):
        checkpoint()
        b = a + len(block)
        if b > len(mix):
            raise FileError("the file grew longer when read again")
        gains = view.gains_part(a, b)[:, np.newaxis]
        if integer is not None:
            yield to_type(block * gains.astype(np.float64), integer)
        else:
            yield np.multiply(block, gains, out=block)
        a = b
    if a < len(mix):
        raise FileError("the file ended early when read again")
