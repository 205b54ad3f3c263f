"""Opening audio: a file, a pipe, standard input or a URL opened for soundfile (a
pipe spooled when soundfile needs to seek), or read as it comes as blocks of
frames: a WAV stream or raw PCM on a pipe. Their frames are read by frames.py."""

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
from talvane_rs.io.frames import BLOCK, Stats, read_blocks, replace_nonfinite
from talvane_rs.io.raw import RawLayout
from talvane_rs.io.raw import decode as decode_raw
from talvane_rs.io.storage import STDIO, Location, Url, describe_error, open_url

FloatArray = npt.NDArray[np.float32]


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


