"""Writing: every output goes through a temporary file beside it (or to standard
output through an anonymous one), so a failure leaves the old file as it was;
audio in blocks, with a WAV fallback for a format that cannot be written."""

from __future__ import annotations

import errno
import os
import secrets
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs.errors import FileError
from talvane_rs.io.formats import PCM_BITS, AudioFormat, CannotWrite, fallback_format, narrower, output_format
from talvane_rs.io.pipe import Layout, WavStreamWriter, can_stream
from talvane_rs.io.raw import RawLayout, write_raw
from talvane_rs.io.read import libsndfile_cause
from talvane_rs.io.sink import Whole, copy, is_special
from talvane_rs.io.storage import STDIO, Location, Url, replace_url, temporary_prefix

FloatArray = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Target:
    """Where one result goes, and how: dst is a path, a URL or STDIO; token marks
    the run's temporary files; a relative dst starts from cwd when given."""

    dst: Location
    token: str
    cwd: str | None = None
    fmt: str | None = None  # a --format name: the container of STDIO or of a dst without extension
    fallback: Location | None = None  # where WAV goes when dst's format cannot be written
    no_fallback: str | None = None  # why there is none, for the error when one was needed
    name: str = ""  # the source as messages name it
    new_only: bool = False  # never replace a file: a dst (or fallback) already there is an error


def create_temporary(dst: Path, token: str, mode: int) -> str:
    """A new empty file beside dst, its name marked with the run's token, created
    with mode less what the umask removes."""
    prefix = temporary_prefix(dst, token)
    for _ in range(100):
        tmp = dst.parent / f"{prefix}{secrets.token_hex(4)}{dst.suffix}"
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode))
        except FileExistsError:
            continue
        return str(tmp)
    raise FileExistsError(errno.EEXIST, "no free temporary name", str(dst.parent))


def replace_atomically(
    dst: Location, token: str, write: Callable[[str], object], cwd: str | None = None, new_only: bool = False
) -> None:
    """Writes through a temporary file beside dst, so a failure leaves dst as it was.

    Missing folders on the way to dst are made. A new dst gets the mode the
    system gives any new file: the temporary is created with 0o666 and the
    kernel applies the umask (or the folder's default ACL). The umask itself is
    never read, since reading it means setting it process-wide, which races
    with other threads creating files. A dst that exists keeps its mode, given
    to the private temporary after the write. A relative dst starts from cwd
    when given; messages name it as given. A URL goes through its store.
    new_only: a dst already there is not replaced but an error, before the write
    and (on a local disk) as the file is moved into place.
    """
    if isinstance(dst, Url):
        if new_only and dst.exists():
            raise FileError(f"cannot write {dst}: {os.strerror(errno.EEXIST)}")
        try:
            replace_url(dst, temporary_prefix(dst, token), write)
        except OSError as e:
            raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
        return
    at = dst if cwd is None or dst.is_absolute() else Path(cwd, dst)
    if new_only and os.path.lexists(at):
        raise FileError(f"cannot write {dst}: {os.strerror(errno.EEXIST)}")
    if is_special(at):
        write_into(dst, at, write)
        return
    if at.is_symlink():  # written through the link, as cp does, rather than replacing the link
        at = Path(os.path.realpath(at))
    try:
        mode: int | None = at.stat().st_mode & 0o7777
    except OSError:
        mode = None
    try:
        at.parent.mkdir(parents=True, exist_ok=True)
        tmp = create_temporary(at, token, 0o666 if mode is None else 0o600)
    except FileExistsError:  # from mkdir: a file stands where a folder is needed
        raise FileError(f"cannot write {dst}: {os.strerror(errno.ENOTDIR)}") from None
    except OSError as e:
        raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
    try:
        write(tmp)
        if mode is not None:
            os.chmod(tmp, mode)
        if new_only:
            move_new(tmp, at)
        else:
            os.replace(tmp, at)
    except BaseException as e:
        if os.path.lexists(tmp):
            os.unlink(tmp)
        if isinstance(e, OSError):
            raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
        raise


def write_into(dst: Location, at: Path, write: Callable[[str], object]) -> None:
    """Writes into an existing FIFO or character device (/dev/null, a terminal)
    through an anonymous temporary file, as to standard output: such a file
    cannot be replaced, and replacing it would put a regular file in its place."""
    mode = os.stat(at).st_mode
    if not (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
        raise FileError(f"cannot write {dst}: it is a {'block device' if stat.S_ISBLK(mode) else 'socket'}, "
                        "not a file, a FIFO or a character device")  # fmt: skip
    fd, tmp = tempfile.mkstemp(suffix=at.suffix)
    os.close(fd)
    try:
        write(tmp)
        with open(tmp, "rb") as spool, open(at, "wb") as device:
            copy(spool, Whole(device))
    except OSError as e:
        raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
    finally:
        os.unlink(tmp)


def move_new(tmp: str, at: Path) -> None:
    """Moves tmp to at, which must not be there: FileExistsError if it is. A hard
    link makes that one step; where the file system has none, a look comes first."""
    try:
        os.link(tmp, at)
    except FileExistsError:
        raise
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
            raise
        if os.path.lexists(at):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(at)) from None
        os.replace(tmp, at)
        return
    os.unlink(tmp)


def to_stdout(write: Callable[[BinaryIO], object]) -> None:
    """Writes through an anonymous temporary file (containers go back to fill
    in their headers), then copies it to standard output, whole."""
    with tempfile.TemporaryFile() as spool:
        write(spool)
        spool.seek(0)
        with writing_stdout() as out:
            copy(spool, out)


@contextmanager
def writing_stdout() -> Iterator[Whole]:
    """Standard output, written whole (what text went there before goes first);
    a failure to write is one FileError."""
    try:
        Whole(sys.stdout).flush()
        yield Whole(sys.stdout.buffer)
    except OSError as e:
        raise FileError(f"cannot write to standard output: {e.strerror or e}") from None


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
    for field, value, most, unit in (("sample rate", rate, 0x7FFFFFFF, " Hz"), ("channel count", channels, 1024, "")):
        if value > most:  # the most soundfile writes, in any format
            raise FileError(f"cannot write {fmt.container} with a {field} of {value:,}{unit}: soundfile writes 1 to "
                            f"{most:,}{unit}")  # fmt: skip
    if narrower(source.subtype, fmt.subtype):
        notes.append(f"{where(dst)}: {fmt.container} cannot hold "
                     f"{source.subtype} samples here; written as {fmt.subtype}")
    written: list[AudioWriter] = []

    def write(into: str | BinaryIO, fmt: AudioFormat) -> None:
        writer = AudioWriter(into, fmt, rate, channels)
        try:
            for block in blocks():
                writer.write(block)
        except BaseException:
            try:
                writer.file.close()
            except Exception:
                pass
            raise
        writer.close()
        written.append(writer)

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


def write_text(dst: Location, token: str, text: str, cwd: str | None = None) -> None:
    if dst == STDIO:
        with writing_stdout() as out:
            out.write(text.encode(sys.stdout.encoding or "utf-8", sys.stdout.errors or "strict"))
            out.flush()
        return

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    replace_atomically(dst, token, write, cwd)
