"""Bytes written whole to a stream that is not a regular file: standard output,
a FIFO, a terminal or a device.

A write to such a stream may take fewer bytes than it was given: an unbuffered
standard output (PYTHONUNBUFFERED=1) passes on the system's short writes, and a
non-blocking descriptor takes only what fits, or nothing. Whole goes on with the
rest, waiting until the descriptor is writable again, and fails only on a real
error (a reader that went away is a broken pipe).

This module imports only the standard library.
"""

from __future__ import annotations

import io
import os
import select
import stat
from typing import IO, Any, BinaryIO, Protocol

BLOCK = 1 << 20  # bytes copied at a time


class Output(Protocol):
    """What a stream's writers need of it: a binary file, or Whole around one."""

    def write(self, data: bytes, /) -> int | None: ...
    def flush(self) -> None: ...
    def seekable(self) -> bool: ...
    def tell(self) -> int: ...
    def seek(self, offset: int, whence: int = 0, /) -> int: ...


class Whole:
    """A binary stream whose writes and flushes take everything or raise OSError."""

    def __init__(self, stream: IO[Any]) -> None:
        self.stream = stream
        try:
            self.fd: int | None = stream.fileno()
        except (OSError, AttributeError, io.UnsupportedOperation):
            self.fd = None  # a stream of Python's own, which never half-writes

    def write(self, data: bytes | bytearray | memoryview) -> int:
        view = memoryview(data).cast("B")
        total = len(view)
        while view:
            try:
                n = self.stream.write(view)
            except BlockingIOError as e:
                n = e.characters_written  # a buffered stream took this much before it was full
                self.wait()
            if n is None:  # an unbuffered one took nothing
                self.wait()
                n = 0
            view = view[n:]
        return total

    def flush(self) -> None:
        while True:
            try:
                self.stream.flush()
                return
            except BlockingIOError:  # the buffer keeps what did not go out
                self.wait()

    def wait(self) -> None:
        """Until the descriptor takes bytes again."""
        if self.fd is None:
            raise BlockingIOError(11, "write could not complete without blocking")
        poller = select.poll()
        poller.register(self.fd, select.POLLOUT)
        poller.poll()  # POLLERR and POLLHUP end it too; the next write says which error

    def seekable(self) -> bool:
        return self.stream.seekable()

    def tell(self) -> int:
        return self.stream.tell()

    def seek(self, offset: int, whence: int = 0) -> int:
        return self.stream.seek(offset, whence)


def copy(src: BinaryIO, out: Whole) -> None:
    """The rest of src written to out, then flushed."""
    while chunk := src.read(BLOCK):
        out.write(chunk)
    out.flush()


def is_special(path: str | os.PathLike[str]) -> bool:
    """Whether path names something that exists and is not a regular file or a
    folder (following links): a FIFO, a device, a socket."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def is_stdout(name: str | None) -> bool:
    """Whether an output named so goes to standard output: -, or a name of the
    file standard output is (/dev/stdout, or the file it was redirected to)."""
    if name is None:
        return False
    if name == "-":
        return True
    try:
        there, out = os.stat(name), os.fstat(1)
    except (OSError, ValueError):
        return False
    return (there.st_dev, there.st_ino) == (out.st_dev, out.st_ino)
