"""Reading audio: a file, a pipe, standard input or a URL opened for soundfile, its
frames in float32 blocks with non-finite samples replaced, its mono mix, and the
frames read again for a second pass over every channel.

Memory: the mono mix of the whole file is held when asked for, everything else
goes by blocks.
"""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs.errors import Blocking, Checkpoint, FileError, go_on, never_stops
from talvane_rs.io.raw import RawLayout
from talvane_rs.io.raw import decode as decode_raw
from talvane_rs.io.storage import STDIO, Location, Url, describe_error, open_url
from talvane_rs.samples import mean_channels

FloatArray = npt.NDArray[np.float32]

BLOCK = 1 << 20  # frames read or written at a time


@dataclass
class Stats:
    """What the read found besides the samples."""

    nonfinite: int = 0  # NaN and infinite samples, over every channel
    first_bad: int = -1  # frame of the first one


def replace_nonfinite(block: FloatArray, offset: int, stats: Stats | None) -> None:
    """Sets NaN and infinite samples of block to 0.0 in place, counting them in stats."""
    bad = ~np.isfinite(block)
    if not bad.any():
        return
    if stats is not None:
        stats.nonfinite += int(np.count_nonzero(bad))
        if stats.first_bad < 0:
            rows = bad if bad.ndim == 1 else bad.any(axis=1)
            stats.first_bad = offset + int(np.argmax(rows))
    block[bad] = 0.0


def libsndfile_cause(f: sf.SoundFile | None, e: Exception) -> str:
    """What libsndfile said, with the system's reason for a system error (which
    soundfile reports as a bare "System error.")."""
    text = getattr(e, "error_string", None) or str(e)
    if f is not None and getattr(e, "code", None) == 2:  # SFE_SYSTEM
        try:
            said = sf._ffi.string(sf._snd.sf_strerror(f._file)).decode(errors="replace")
        except Exception:  # soundfile's internals moved: keep its own words
            return text
        text = said.split(":", 1)[-1].strip().rstrip(".") or text
    return text


def _spool(stream: BinaryIO, checkpoint: Checkpoint, blocking: Blocking, head: bytes = b"") -> BinaryIO:
    """What a pipe holds until its end (after head, read from it already), in an
    anonymous temporary file: soundfile seeks in what it reads. Each wait for the
    writer is one a stop signal ends."""
    spool = tempfile.TemporaryFile()
    try:
        spool.write(head)
        while True:
            with blocking():
                chunk = stream.read(BLOCK)
            if not chunk:
                break
            checkpoint()
            spool.write(chunk)
        spool.seek(0)
    except BaseException:
        spool.close()
        raise
    return spool


def _is_regular(path: Path) -> bool:
    """Whether path is a regular file; a name that cannot be looked at counts as
    one, so that soundfile reports its error."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True


@contextmanager
def _opened(src: Location, cwd: str | None, blocking: Blocking) -> Iterator[Any]:
    """What soundfile is to read: a path, a URL's file object, or a stream, which
    is a pipe (standard input, a FIFO, a device) when it cannot seek. Opening a
    FIFO waits for its writer, a wait a stop signal ends (through blocking)."""
    if isinstance(src, Url):
        try:
            held: Any = open_url(src)
        except Exception as e:  # the stores' errors have no common base
            raise FileError(f"cannot read: {describe_error(e)}") from None
    elif src == STDIO:
        yield sys.stdin.buffer
        return
    else:
        path = src if cwd is None or src.is_absolute() else Path(cwd, src)
        if _is_regular(path):
            yield path
            return
        try:
            with blocking():
                held = open(path, "rb")
        except OSError as e:
            raise FileError(f"cannot read: {e.strerror or e}") from None
    with held:
        yield held


def _is_pipe(source: Any) -> bool:
    return not isinstance(source, Path) and not source.seekable()


@contextmanager
def _soundfile(source: Any) -> Iterator[sf.SoundFile]:
    try:
        f = sf.SoundFile(source)
    except sf.LibsndfileError as e:
        if e.code == 2 and isinstance(source, Path):  # a system error: ask the system which
            try:
                open(source, "rb").close()
            except OSError as os_error:
                raise FileError(f"cannot read: {os_error.strerror or os_error}") from None
        raise FileError(f"not a readable audio file ({e.error_string})") from None
    except (OSError, RuntimeError, TypeError, ValueError) as e:
        raise FileError(f"cannot read: {getattr(e, 'strerror', None) or e}") from None
    with f:
        yield f


@contextmanager
def open_source(
    src: Location, cwd: str | None = None, checkpoint: Checkpoint = go_on, blocking: Blocking = never_stops
) -> Iterator[sf.SoundFile]:
    """The input opened for reading. A pipe (standard input, a FIFO or a device
    that cannot seek) is first copied to an anonymous temporary file; waiting for
    its writer is a wait a stop signal ends (through blocking). A relative path
    starts from cwd when given."""
    with _opened(src, cwd, blocking) as source:
        if not _is_pipe(source):
            with _soundfile(source) as f:
                yield f
            return
        with _spool(source, checkpoint, blocking) as spool, _soundfile(spool) as f:
            yield f


@dataclass
class Blocks:
    """An input read block by block as it comes, for work that never needs it whole."""

    rate: int
    channels: int
    format: str  # soundfile's container and subtype names ("RAW" for raw PCM)
    subtype: str
    frames: int | None  # None when a stream does not say
    # (frames, channels) blocks of at most n frames, read as they come: int16 and
    # int32 for 16- and 32-bit PCM, float64 for float64 samples, else float32.
    blocks: Callable[[int], Iterator[npt.NDArray[np.generic]]]
    stats: Stats  # the non-finite samples replaced by 0.0 so far
    file: sf.SoundFile | None  # the file, when soundfile reads it (not a live stream)
    raw: RawLayout | None = None  # the layout of raw PCM
    # Once the blocks are read: what is wrong with the stream's end (a frame left unfinished), if anything.
    unfinished: Callable[[], str | None] = lambda: None


@contextmanager
def open_blocks(
    src: Location, cwd: str | None = None, checkpoint: Checkpoint = go_on, blocking: Blocking = never_stops,
    raw: RawLayout | None = None,
) -> Iterator[Blocks]:
    """The input opened for reading in blocks. Raw PCM of the layout given, and a
    WAV stream on a pipe, are read as their frames come, without waiting for the
    end; any other pipe is copied first, as open_source does."""
    from talvane_rs.io.pipe import FrameReader, read_exactly, read_wav_header

    if raw is not None:
        with _opened(src, cwd, blocking) as source, _binary(source) as stream:
            reader = FrameReader(stream, raw, None, blocking, lambda data: decode_raw(data, raw))
            stats, check = Stats(), raw.subtype in ("FLOAT", "DOUBLE")
            yield Blocks(raw.rate, raw.channels, "RAW", raw.subtype, None,
                         lambda most: _counted(reader.blocks(most), stats, check), stats, None, raw,
                         reader.unfinished)  # fmt: skip
        return
    with _opened(src, cwd, blocking) as source:
        if _is_pipe(source):
            head = read_exactly(source, 4, blocking)
            if head == b"RIFF":
                stream = _Prefixed(head, source)
                layout, size = read_wav_header(stream, blocking)
                reader = FrameReader(stream, layout, size, blocking)
                stats = Stats()
                frames = None if size is None else size // layout.frame_bytes
                check = layout.subtype in ("FLOAT", "DOUBLE")
                yield Blocks(layout.rate, layout.channels, "WAV", layout.subtype, frames,
                             lambda most: _counted(reader.blocks(most), stats, check), stats, None,
                             unfinished=reader.unfinished)  # fmt: skip
                return
            with _spool(source, checkpoint, blocking, head) as spool, _soundfile(spool) as f:
                yield _file_blocks(f)
            return
        with _soundfile(source) as f:
            yield _file_blocks(f)


def _file_blocks(f: sf.SoundFile) -> Blocks:
    from talvane_rs.io.pipe import native_dtype

    stats = Stats()
    return Blocks(f.samplerate, f.channels, f.format, f.subtype, f.frames,
                  lambda most: read_blocks(f, stats, most, native_dtype(f.subtype)), stats, f)  # fmt: skip


@contextmanager
def _binary(source: Any) -> Iterator[Any]:
    """What _opened gave as a binary stream: a regular file opened, a stream as it is."""
    if not isinstance(source, Path):
        yield source
        return
    try:
        stream = open(source, "rb")
    except OSError as e:
        raise FileError(f"cannot read: {e.strerror or e}") from None
    with stream:
        yield stream


def _counted(blocks: Iterator[Any], stats: Stats, check: bool) -> Iterator[Any]:
    at = 0
    for block in blocks:
        if check:
            block = block.copy()  # the decoded buffer may be read-only
            replace_nonfinite(block, at, stats)
        at += len(block)
        yield block


class _Prefixed:
    """A stream whose first bytes were read already, and are given again first."""

    def __init__(self, head: bytes, rest: BinaryIO) -> None:
        self.head, self.rest = head, rest

    def read(self, count: int = -1) -> bytes:
        if self.head:
            part, self.head = (self.head, b"") if count < 0 or count >= len(self.head) else (
                self.head[:count], self.head[count:])  # fmt: skip
            return part
        return self.rest.read(count)

    def read1(self, count: int = -1) -> bytes:
        if self.head:
            return self.read(count)
        read1 = getattr(self.rest, "read1", None)
        return read1(count) if read1 is not None else self.rest.read(count)


def declared_frames(f: sf.SoundFile) -> int | None:
    """The frames a WAV file's header gives for its samples, which soundfile does
    not tell (it gives those there are); None for other formats, or a header it
    does not say."""
    from talvane_rs.io.pipe import read_wav_header

    if f.format not in ("WAV", "WAVEX"):
        return None
    try:
        if isinstance(f.name, (str, bytes, os.PathLike)):
            with open(f.name, "rb") as stream:
                layout, size = read_wav_header(stream)
        else:  # a file object soundfile reads through: put back where it was
            at = f.name.tell()
            try:
                f.name.seek(0)
                layout, size = read_wav_header(f.name)
            finally:
                f.name.seek(at)
    except (OSError, FileError, ValueError):
        return None
    return None if size is None else size // layout.frame_bytes


def truncation(declared: int | None, found: int, rate: int) -> str | None:
    """The note for an input that holds fewer frames than its header gives."""
    if declared is None or found >= declared:
        return None
    return (f"truncated: its header gives {declared / rate:.2f} s ({declared:,} frames), and {found / rate:.2f} s "
            f"({found:,} frames) are there")  # fmt: skip


def nonfinite_possible(f: sf.SoundFile) -> bool:
    """Whether the file's samples can be NaN or infinite: not when stored as integers."""
    return not (f.subtype.startswith("PCM_") or f.subtype in ("ULAW", "ALAW", "DWVW_12", "DWVW_16", "DWVW_24"))


def read_blocks(f: sf.SoundFile, stats: Stats | None = None, most: int = BLOCK,
                dtype: str = "float32") -> Iterator[FloatArray]:  # fmt: skip
    """The file's frames from the start, (frames, channels) blocks of `dtype`
    (float32 unless asked) of at most `most` frames, with non-finite samples
    replaced by 0.0 (and counted in stats when given). Each block's buffer is
    refilled by the next."""
    f.seek(0)
    buffer = np.empty((most, f.channels), dtype=dtype)
    check = nonfinite_possible(f) and buffer.dtype.kind == "f"
    at = 0
    while True:
        try:
            block = f.read(out=buffer)
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if len(block) == 0:
            return
        if check:
            replace_nonfinite(block, at, stats)
        at += len(block)
        yield block


# 16- and 32-bit PCM, read again as the integers they are to be written back exactly.
INTEGER_SUBTYPES = {"PCM_16": "int16", "PCM_32": "int32"}


def in_units(mix: FloatArray, integer: str) -> npt.NDArray[np.float64]:
    """A stretch of the mono mix of integer channels in their own units, exactly
    (the scale is a power of two), in double precision: what is computed from
    it is rounded once, half to even and saturated, into that integer type."""
    from talvane_rs.samples import SCALES

    return mix.astype(np.float64) / SCALES[integer]


def read_mix(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """The mono mix of the whole file (the mean of the channels in float32, or the
    one channel itself) and what the read found."""
    if f.channels > 1:
        stats = Stats()
        mix = np.empty(max(f.frames, 0), dtype=np.float32)
        at = 0
        for block in read_blocks(f, stats):
            checkpoint()
            if at + len(block) > len(mix):  # more frames than the header said
                mix = np.concatenate([mix[:at], np.empty(max(len(block), at // 4), dtype=np.float32)])
            mix[at : at + len(block)] = mean_channels(block)
            at += len(block)
        return mix[:at], stats
    return read_mono(f, checkpoint)


def read_mono(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """A one-channel file read straight into its array, block by block."""
    stats = Stats()
    check = nonfinite_possible(f)
    x = np.empty(max(f.frames, 0), dtype=np.float32)
    at = 0
    f.seek(0)
    spare = np.empty(0, dtype=np.float32)
    while True:
        checkpoint()
        # Past the frames the header counts, into a spare block first: most files end there.
        into = x[at : at + BLOCK] if at < len(x) else spare
        if at == len(x) and len(spare) == 0:
            into = spare = np.empty(BLOCK, dtype=np.float32)
        try:
            got = len(f.read(out=into))
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if got == 0:
            break
        if into is spare:
            x = np.concatenate([x[:at], spare[:got], np.empty(max(BLOCK, at // 4), dtype=np.float32)])
        if check:
            replace_nonfinite(x[at : at + got], at, stats)
        at += got
    return x[:at], stats


def peak_of(f: sf.SoundFile, mix: FloatArray) -> float:
    """The largest magnitude of any channel (after the replacement of non-finite samples)."""
    if f.channels == 1:
        return float(max(np.max(mix, initial=0.0), -np.min(mix, initial=0.0)))
    return max((float(np.max(np.abs(block), initial=0.0)) for block in read_blocks(f)), default=0.0)


class Reread:
    """Frames of the file read again from the start, in increasing order: ranges
    are read forward, skipping what lies between."""

    def __init__(self, f: sf.SoundFile, dtype: str = "float32") -> None:
        self._blocks = read_blocks(f, dtype=dtype)
        self._held = np.empty((0, f.channels), dtype=dtype)
        self._at = 0  # frame of self._held[0]

    def frames(self, start: int, stop: int) -> FloatArray:
        parts = []
        while start < stop:
            if start >= self._at + len(self._held):
                self._at += len(self._held)
                self._held = next(self._blocks, None)  # type: ignore[arg-type]
                if self._held is None:
                    raise FileError("the file ended early when read again")
                continue
            # A copy: the block's buffer is refilled by the next read.
            part = self._held[start - self._at : stop - self._at].copy()
            parts.append(part)
            start += len(part)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)


