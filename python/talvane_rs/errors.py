"""What every layer shares: the program's name, the errors a run reports, the
stop signals that end it, and the one-line hint for a missing dependency.

A UsageError is a command line or request that cannot run as a whole; a FileError
is one file's failure, reported in one line while the other files go on. A stop
signal (SIGINT, SIGTERM) is noted by StopSignals and obeyed where stopping is safe.
"""

from __future__ import annotations

import importlib.util
import signal
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from types import FrameType
from typing import Any

PROG = "talvane"
INSTALL_HINT = "pip install 'talvane_rs[{extra}]' (in a source checkout: pip install '.[{extra}]')"


def join_names(names: Sequence[str]) -> str:
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} and {names[-1]}"


def missing_modules(names: Sequence[str]) -> list[str]:
    """Those of the named modules that cannot be imported here."""
    missing = []
    for name in names:
        try:
            found = importlib.util.find_spec(name) is not None
        except (ImportError, ValueError):  # ValueError: sys.modules[name] is None
            found = False
        if not found:
            missing.append(name)
    return missing


class UsageError(ValueError):
    """A problem with the command line as a whole; nothing is processed. The
    status is 2 for a command line that cannot work, 1 for a missing input."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


class OptionError(UsageError):
    """Options that cannot go together, reported as the parser reports a bad option."""


class FileError(Exception):
    """A failure tied to one file, reported as one line."""


class Stopped(SystemExit):
    """SIGINT or SIGTERM stopped the run. A SystemExit, so that the file work
    lets it through, with the status a shell gives a process the signal ended."""

    def __init__(self, signum: int) -> None:
        super().__init__(128 + signum)


class StopSignals:
    """While active, SIGINT and SIGTERM are noted rather than obeyed: the run asks
    check() where stopping is safe, and stops there. The handler raises nothing,
    since an exception raised wherever the main thread happens to be can be lost
    in library code, or leave it broken (a half-initialised extension module
    that crashes the interpreter at exit), except inside blocking(): a wait for
    input (a pipe or FIFO nobody writes to) that only a signal can end. Later
    signals repeat the first."""

    def __init__(self) -> None:
        self.signum: int | None = None  # the first signal, which sets the exit status
        self.wake: Callable[[], None] | None = None  # called on the first signal; must be reentrant
        self._previous: dict[int, Any] = {}
        self._blocked = 0  # depth of blocking() sections in the main thread

    def __enter__(self) -> StopSignals:
        if threading.current_thread() is threading.main_thread():  # the only thread that may set handlers
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            if handler is not None:  # None: a handler set from C, which cannot be put back
                signal.signal(signum, handler)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.signum is None:
            self.signum = signum
            if self.wake is not None:
                self.wake()
        if self._blocked:
            # The interrupted system call is not resumed: the wait ends here.
            raise Stopped(self.signum)

    def check(self) -> None:
        if self.signum is not None:
            raise Stopped(self.signum)

    @contextmanager
    def blocking(self) -> Iterator[None]:
        """A wait that a stop signal ends at once, by raising Stopped from the
        handler; it holds no state that an exception there could break."""
        self.check()
        self._blocked += 1
        try:
            yield
        finally:
            self._blocked -= 1


@contextmanager
def never_stops() -> Iterator[None]:
    """The blocking() of a job whose process only ends with its work or a signal's default action."""
    yield


def go_on() -> None:
    """The checkpoint of a job that only ends with its process."""


# Called between the steps of a job, none of them a write; raising there stops the job.
Checkpoint = Callable[[], None]
# Entered around a wait for input that only a stop should end.
Blocking = Callable[[], Any]
