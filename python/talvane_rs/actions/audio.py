"""What the actions that write audio share: the output's formats and name, the
WAV fallback, and the writing of every channel (or the mono mix) in blocks."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from talvane_rs.actions.base import Action, Decision, Option, Source
from talvane_rs.io.storage import STDIO, Location

if TYPE_CHECKING:
    from talvane_rs.actions.base import FloatArray

AUDIO_FORMATS = ("wav", "flac", "ogg", "opus", "mp3", "aiff", "au", "caf", "w64", "rf64")


@dataclass(frozen=True)
class AudioAction(Action):
    mono: bool = False  # write the mono mix rather than every channel

    output_help = "audio file (any extension soundfile writes), folder, or - for standard output"
    output_options = (
        Option(
            ("--format",), choices=AUDIO_FORMATS, metavar="{wav,flac,ogg,opus,mp3,...}",
            help="container for -o -, an output without extension, or outputs named for you "
            "(default: the input's own where it can be written, else wav)",
        ),
        Option(("--mono",), "write the mono mix, not every channel", flag=True),
    )  # fmt: skip

    def default_suffix(self, src: Location, fmt: str | None) -> str:
        from talvane_rs.io.formats import container_of

        if fmt is not None:
            return "." + fmt
        return src.suffix.lower() if src != STDIO and container_of(src.suffix) is not None else ".wav"

    def fallback(self, dst: Location) -> Location | None:
        return dst.with_suffix(".wav")

    def check_output(self, dst: Location, fmt: str | None) -> None:
        from talvane_rs.io.formats import FORMATS, container_of

        if dst == STDIO or not dst.suffix:
            return
        found = container_of(dst.suffix)
        if found is None:
            raise ValueError(f"cannot write {dst.suffix} files; use an extension soundfile writes, "
                             "such as .wav, .flac, .ogg, .opus or .mp3")
        if fmt is not None and found[0] != FORMATS[fmt][0]:
            raise ValueError(f"--format {fmt} does not match the output's extension {dst.suffix}")

    def every_channel(self, source: Source) -> bool:
        return source.channels > 1 and not self.mono

    def write(
        self, source: Source, decision: Decision, channels: int, blocks: Callable[[], Iterator[FloatArray]]
    ) -> Location:
        """Writes the blocks (frames by channels, or the mix) to the job's output;
        returns where they went, which is the fallback if the output's format failed."""
        from talvane_rs.io.frames import peak_of
        from talvane_rs.io.write import write_audio

        job = source.job
        assert job.dst is not None
        return write_audio(job.target(job.dst), source.file, source.rate, channels,
                           lambda: peak_of(source.file, decision.mix), blocks, source.notes)  # fmt: skip
