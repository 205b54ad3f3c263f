"""What a run of the command line shows and how it ends, in one place: each
file's notes, warnings, error or summary as it comes, the run's own notes, the
tally of its files, the closing lines and the exit status."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Callable
from typing import Any

from talvane_rs.engine.jobs import Outcome
from talvane_rs.errors import PROG
from talvane_rs.sentences import plural


class Report:
    """Shows each outcome as it comes: notes, warnings and errors on standard
    error, the summary on standard output, or on standard error when the run
    writes its results there (data_on_stdout) or this result went there. Counts
    the files done, failed and skipped (those passed over by reason), and ends
    the run with its closing lines and exit status."""

    def __init__(self, write: Callable[[str, Any], None], data_on_stdout: bool = False) -> None:
        self.write = write
        self.data_on_stdout = data_on_stdout
        self.done = self.failed = self.skipped = 0
        self.passed_over: dict[str, int] = {}  # skipped before the run, by reason
        self.stdout_lost: str | None = None  # why the summaries could not go on to standard output

    def add(self, outcome: Outcome) -> None:
        self.count(outcome)
        for note in outcome.notes:
            self.say(f"note: {note}")
        for warning in outcome.warnings:
            self.say(f"warning: {warning}")
        if outcome.error is not None:
            self.error(outcome.error)
        elif outcome.summary is not None:
            if outcome.to_stdout or self.data_on_stdout:
                self.write(outcome.summary, sys.stderr)
            elif self.stdout_lost is None:
                self.summary(outcome.summary)

    def count(self, outcome: Outcome) -> None:
        if outcome.skipped:
            self.skipped += 1
            if outcome.passed_over is not None:
                self.passed_over[outcome.passed_over] = self.passed_over.get(outcome.passed_over, 0) + 1
        elif outcome.error is None:
            self.done += 1
        else:
            self.failed += 1

    def say(self, text: str) -> None:
        """A note or warning ("note: ..."), on standard error."""
        self.write(f"{PROG}: {text}", sys.stderr)

    def error(self, text: str) -> None:
        self.write(f"{PROG}: error: {text}", sys.stderr)

    def summary(self, text: str) -> None:
        """A summary on standard output. Should its reader go away, the files still
        go through, and the run ends with one line and status 1."""
        try:
            self.write(text, sys.stdout)
            sys.stdout.flush()
        except OSError as e:
            self.stdout_lost = f"cannot write to standard output: {e.strerror or e}"
            try:  # what stays in its buffer is not tried again at exit
                sys.stdout = open(os.devnull, "w")
            except OSError:
                pass

    def tally(self) -> str:
        return f"{self.done} done, {self.failed} failed, {self.skipped} skipped"

    def passed_over_note(self, recursive: bool) -> str | None:
        """What the folder walk passed over, in words, or None."""
        parts = []
        files = self.passed_over.get("not audio", 0)
        if files:
            whose = "their" if files != 1 else "its"
            parts.append(f"{plural(files, 'file')} not taken for audio by {whose} extension")
        special = self.passed_over.get("special", 0)
        if special:
            parts.append(f"{plural(special, 'special file')} (FIFO, socket or device)")
        folders = self.passed_over.get("subfolder", 0)
        if folders and not recursive:
            parts.append(f"{plural(folders, 'subfolder')} (-r walks subfolders)")
        return "passed over " + " and ".join(parts) if parts else None

    def close(self, folder: bool, recursive: bool, signum: int | None) -> int:
        """Prints the closing lines (a stop, what the walk passed over, the tally
        of a folder or stopped run) and returns the exit status."""
        if signum is not None:
            print(f"{PROG}: stopped by {signal.Signals(signum).name}", file=sys.stderr)
        if folder or signum is not None:
            note = self.passed_over_note(recursive)
            if note is not None:
                print(f"{PROG}: note: {note}", file=sys.stderr)
            print(self.tally(), file=sys.stderr)
        if self.stdout_lost is not None:
            print(f"{PROG}: error: {self.stdout_lost}", file=sys.stderr)
        if signum is not None:
            return 128 + signum
        return 1 if self.failed or self.stdout_lost is not None else 0
