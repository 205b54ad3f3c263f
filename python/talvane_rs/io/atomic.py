"""Every output goes through a temporary file beside it, named with the run's
token, which takes the output's name once whole (or to standard output through
an anonymous one), so a failure or a stop leaves the old file as it was and no
partial one; FIFOs and devices are written into, links written through."""

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
from typing import BinaryIO

from talvane_rs.errors import FileError
from talvane_rs.io.sink import Whole, copy, is_special
from talvane_rs.io.storage import STDIO, Location, Url, replace_url, temporary_prefix


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
    """Writes through a temporary file beside dst, so a failure leaves dst as it
    was. Missing folders on the way are made. A new dst gets the mode the system
    gives any new file (the temporary is created 0o666 and the kernel applies the
    umask or the folder's default ACL; the umask is never read, which would set
    it process-wide); one that exists keeps its mode. A relative dst starts from
    cwd when given; messages name it as given. A URL goes through its store.
    new_only: a dst already there is an error, before the write and (on a local
    disk) as the file is moved into place, never replaced."""
    if isinstance(dst, Url):
        replace_url_atomically(dst, token, write, new_only)
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


def replace_url_atomically(dst: Url, token: str, write: Callable[[str], object], new_only: bool) -> None:
    """replace_atomically through a store, whose own put is the atomic step."""
    if new_only and dst.exists():
        raise FileError(f"cannot write {dst}: {os.strerror(errno.EEXIST)}")
    try:
        replace_url(dst, temporary_prefix(dst, token), write)
    except OSError as e:
        raise FileError(f"cannot write {dst}: {e.strerror or e}") from None


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
