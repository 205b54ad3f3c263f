"""Writing audio: in blocks, through atomic.py (a temporary file beside the output,
or standard output), with a WAV fallback for a format that cannot be written;
raw PCM and WAV streams as they are made."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any, BinaryIO, Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs.errors import FileError
from talvane_rs.io.atomic import Target, replace_atomically, to_stdout, writing_stdout
from talvane_rs.io.formats import PCM_BITS, AudioFormat, CannotWrite, fallback_format, narrower, output_format
from talvane_rs.io.frames import libsndfile_cause
from talvane_rs.io.pipe import Layout, WavStreamWriter, can_stream
from talvane_rs.io.raw import RawLayout, write_raw
from talvane_rs.io.storage import STDIO, Location

FloatArray = npt.NDArray[np.float32]


class AudioWriter:
    """Blocks of audio into a file being written, counting clipped samples."""

    def __init__(self, target: str | BinaryIO, fmt: AudioFormat, rate: int, channels: int) -> None:
        if fmt.subtype == "VORBIS" and channels > 255:  # libsndfile takes more, and crashes
            raise CannotWrite(f"Vorbis holds 1 to 255 channels, not {channels:,}")
        try:
            self.file = sf.SoundFile(
                target, "w", samplerate=rate, channels=channels, format=fmt.container, subtype=fmt.subtype
            )
        except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as e:
            raise CannotWrite(getattr(e, "error_string", None) or str(e)) from None
        self.fmt = fmt
        self.clipped = 0
        self.frames = 0

    def write(self, block: npt.NDArray[Any]) -> None:
        # Integer blocks are written exactly, or rounded to fewer bits; float ones beyond full scale clip.
        if block.dtype.kind == "f" and (self.fmt.subtype.startswith("PCM") or self.fmt.subtype in ("ULAW", "ALAW")):
            self.clipped += int(np.count_nonzero(np.abs(block) > 1.0))
        elif block.dtype.kind == "i" and PCM_BITS.get(self.fmt.subtype, 32) < 8 * block.dtype.itemsize:
            block = fewer_bits(block, PCM_BITS[self.fmt.subtype])
        try:
            self.file.write(block)
        except (sf.LibsndfileError, RuntimeError, AssertionError) as e:
            raise OSError(libsndfile_cause(self.file, e)) from None
        self.frames += len(block)

    def close(self) -> None:
        try:
            self.file.close()
        except (sf.LibsndfileError, RuntimeError) as e:
            raise OSError(libsndfile_cause(None, e)) from None


def fewer_bits(block: npt.NDArray[np.signedinteger], bits: int) -> npt.NDArray[np.signedinteger]:
    """Integer samples kept to their top bits, as every integer output is rounded:
    half to even, saturated. The bits below are zero, so the writer, which
    truncates them, takes the values exactly."""
    step = 2.0 ** (8 * block.dtype.itemsize - bits)
    top = np.clip(np.rint(block / step), -(2.0 ** (bits - 1)), 2.0 ** (bits - 1) - 1)
    return (top * step).astype(block.dtype)


class Described(Protocol):
    """What the output's format is chosen from: the input's container and subtype."""

    @property
    def format(self) -> str: ...
    @property
    def subtype(self) -> str: ...


def write_blocks(into: str | BinaryIO, fmt: AudioFormat, rate: int, channels: int,
                 blocks: Iterator[FloatArray]) -> AudioWriter:  # fmt: skip
    """The blocks written into a file (or a spool) of fmt; the file is closed however it ends."""
    writer = AudioWriter(into, fmt, rate, channels)
    try:
        for block in blocks:
            writer.write(block)
    except BaseException:
        try:
            writer.file.close()
        except Exception:
            pass
        raise
    writer.close()
    return writer


def check_layout(fmt: AudioFormat, rate: int, channels: int) -> None:
    """FileError for a rate or channel count beyond what soundfile writes in any format."""
    for field, value, most, unit in (("sample rate", rate, 0x7FFFFFFF, " Hz"), ("channel count", channels, 1024, "")):
        if value > most:
            raise FileError(f"cannot write {fmt.container} with a {field} of {value:,}{unit}: soundfile writes 1 to "
                            f"{most:,}{unit}")  # fmt: skip


def write_audio(
    target: Target,
    source: Described,
    rate: int,
    channels: int,
    peak: Callable[[], float],
    blocks: Callable[[], Iterator[FloatArray]],
    notes: list[str],
    live: bool = False,
) -> Location:
    """Writes the blocks to the target (or its WAV fallback); returns where they
    went. live: the blocks come as an input arrives, and WAV on standard output
    goes out block by block rather than once all are made. Raw PCM input (a
    source with a raw layout) gives raw PCM of the same layout on standard output
    (unless --format names a container) and in an output named .raw."""
    dst = target.dst
    raw = getattr(source, "raw", None)
    if raw is not None and (target.fmt is None if dst == STDIO else dst.suffix.lower() == ".raw"):
        raw_out(target, raw, blocks, live)
        return dst
    fmt = output_format(target.fmt, dst, source)
    if live and dst == STDIO and fmt.container == "WAV" and can_stream(fmt.subtype):
        stream_out(Layout(fmt.subtype, rate, channels), blocks)
        return dst
    check_layout(fmt, rate, channels)
    if narrower(source.subtype, fmt.subtype):
        notes.append(f"{where(dst)}: {fmt.container} cannot hold "
                     f"{source.subtype} samples here; written as {fmt.subtype}")
    written: list[AudioWriter] = []

    def write(into: str | BinaryIO, fmt: AudioFormat) -> None:
        written.append(write_blocks(into, fmt, rate, channels, blocks()))

    try:
        try:
            if dst == STDIO:
                to_stdout(lambda spool: write(spool, fmt))
            else:
                replace_atomically(dst, target.token, lambda tmp: write(tmp, fmt), target.cwd, target.new_only)
        except CannotWrite as e:
            dst, fmt = write_fallback(target, fmt, e, lambda: fallback_format(source, peak), write, notes)
    except CannotWrite as e:
        raise FileError(f"cannot write {fmt.container} ({fmt.subtype}) to {where(dst)}: {e}") from None
    clipped = written[-1].clipped if written else 0
    if clipped:
        notes.append(f"{where(dst)}: {clipped} samples beyond full scale clipped by the {fmt.subtype} format")
    return dst


def where(dst: Location) -> str:
    """An output as messages name it."""
    return "standard output" if dst == STDIO else str(dst)


def write_fallback(
    target: Target,
    fmt: AudioFormat,
    failure: CannotWrite,
    wav: Callable[[], AudioFormat],
    write: Callable[[str, AudioFormat], None],
    notes: list[str],
) -> tuple[Location, AudioFormat]:
    """Writes WAV to the target's fallback, as the format fmt failed; where it went and how."""
    if target.fallback is None:
        why = f"; {target.no_fallback}" if target.no_fallback else ""
        raise FileError(f"cannot write {fmt.container} ({fmt.subtype}) to {where(target.dst)}: {failure}{why}")
    chosen = wav()
    notes.append(
        f"{target.name}: {fmt.container} ({fmt.subtype}) cannot be written here ({failure}); "
        f"wrote WAV ({chosen.subtype}) instead"
    )
    replace_atomically(target.fallback, target.token, lambda tmp: write(tmp, chosen), target.cwd, target.new_only)
    return target.fallback, chosen


def raw_out(target: Target, layout: RawLayout, blocks: Callable[[], Iterator[FloatArray]], live: bool) -> None:
    """Raw PCM of the layout: on standard output each block flushed as it is made
    when live, in a file through a temporary beside it."""
    if target.dst != STDIO:

        def write(tmp: str) -> None:
            with open(tmp, "wb") as out:
                write_raw(out, layout, blocks())

        replace_atomically(target.dst, target.token, write, target.cwd)
        return
    with writing_stdout() as out:
        write_raw(out, layout, blocks(), flush=live)
        out.flush()


def stream_out(layout: Layout, blocks: Callable[[], Iterator[FloatArray]]) -> None:
    """A WAV stream on standard output, each block flushed as it is made."""
    with writing_stdout() as out:
        writer = WavStreamWriter(out, layout)
        for block in blocks():
            writer.write(block.reshape(len(block), -1))
        writer.close()


