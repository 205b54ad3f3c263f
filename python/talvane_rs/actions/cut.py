"""cut: the audio outside speech cut out of every channel, long pauses shortened
rather than removed when asked, joins crossfaded when asked."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from talvane_rs.actions.audio import AudioAction
from talvane_rs.actions.base import Decision, Done, Option, Source, regions_done
from talvane_rs.errors import Checkpoint
from talvane_rs.units import parse_duration, seconds_text, seconds_to_samples

if TYPE_CHECKING:
    from typing import Any

    import numpy.typing as npt
    import soundfile as sf

    from talvane_rs.actions.base import FloatArray
    from talvane_rs.cutting import Piece


@dataclass(frozen=True)
class Cut(AudioAction):
    keep_pause: float = 0.0  # seconds of each long pause kept
    crossfade: float = 0.0  # seconds of each join's crossfade

    name = "cut"
    tag = "cut"
    description = (
        "Cut the audio outside speech out, so only speech remains and the file gets shorter. "
        "--keep-pause keeps a short pause where a long one was, --crossfade smooths each join."
    )
    examples = """examples:
  talvane cut talk.wav                           # writes talk.cut.wav
  talvane cut talk.wav --keep-pause 300ms --crossfade 10ms
  talvane cut talk.wav --pad-voice-windows 100ms --keep-pause 200ms --crossfade 10ms -o asr.wav
  talvane cut talk.wav --base-thresh -42dB --max-silence-gap-windows 300ms"""
    stages = frozenset({"analysis"})
    options = (
        Option(
            ("--keep-pause",), type=parse_duration, default=0.0, metavar="TIME",
            help="shorten each dropped stretch longer than this to this, half kept on each side, "
            "rather than removing it: ms, or a duration (200, 0.3s; default 0)",
        ),
        Option(
            ("--crossfade",), type=parse_duration, default=0.0, metavar="TIME",
            help="join the pieces with an equal-power crossfade this long: ms, or a duration (10; default 0: butted)",
        ),
    )  # fmt: skip

    def describe(self) -> str:
        if self.keep_pause or self.crossfade:
            return f"cut (pauses {self.keep_pause * 1000:g} ms, crossfades {self.crossfade * 1000:g} ms)"
        return "cut"

    def apply(self, source: Source, decision: Decision) -> Done:
        from talvane_rs.cutting import output_length, plan_cut

        mix, rate = decision.mix, source.rate
        n = len(mix)
        runs = [(r.start, r.end) for r in decision.view.regions] if n else []
        pieces = plan_cut(runs, n, rate, seconds_to_samples(self.keep_pause, rate),
                          seconds_to_samples(self.crossfade, rate))  # fmt: skip
        every = self.every_channel(source)
        where = self.write(source, decision, source.channels if every else 1,
                           lambda: cut_blocks(source.file, mix, pieces, every, source.checkpoint))  # fmt: skip
        return regions_done(source, decision, new_length=output_length(pieces), where=where)

    def nothing_kept(self, done: Done, fixed: bool = False) -> str:
        return f"wrote the first {seconds_text((done.new_length or 0) / done.rate)} unchanged"


def cut_blocks(
    f: sf.SoundFile, mix: FloatArray, pieces: list[Piece], every_channel: bool, checkpoint: Checkpoint
) -> Iterator[FloatArray]:
    """The cut audio, step by step, long copies in blocks. 16- and 32-bit PCM is
    read again as integers, so kept samples come out exactly as they were and
    crossfaded ones are rounded half to even and saturated; their mono mix is
    rounded the same way."""
    from talvane_rs.cutting import crossfade, cut_steps, to_type
    from talvane_rs.io.frames import BLOCK, INTEGER_SUBTYPES, Reread, in_units

    integer = INTEGER_SUBTYPES.get(f.subtype)
    reread = Reread(f, integer or "float32") if every_channel or (integer and f.channels == 1) else None
    # The mono mix of integer channels is written in their type, each sample rounded once.
    mixed_integers = integer if reread is None else None

    def frames(a: int, b: int) -> npt.NDArray[Any]:
        if reread is not None:
            return reread.frames(a, b)
        return in_units(mix[a:b], mixed_integers) if mixed_integers else mix[a:b]

    def out(frames: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return to_type(frames, mixed_integers) if mixed_integers else frames

    for kind, start, end, length in cut_steps(pieces):
        checkpoint()
        if kind == "copy":
            for a in range(start, end, BLOCK):
                yield out(frames(a, min(end, a + BLOCK)))
        else:  # start is the tail fading out, end the head fading in
            yield out(crossfade(frames(start, start + length), frames(end, end + length)))
