"""What the command line shows: each file's notes, warnings, error or summary as
it comes, the run's closing lines, and missing dependencies in one line."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Callable
from typing import Any

from talvane_rs.engine.jobs import Outcome, Tally
from talvane_rs.errors import PROG


class Reporter:
    """Shows each outcome as it comes: notes, warnings and errors on standard
    error, the summary on standard output, or on standard error when the run
    writes its results there (data_on_stdout) or this result went there; keeps
    the tally."""

    def __init__(self, write: Callable[[str, Any], None], data_on_stdout: bool = False) -> None:
        self.write = write
        self.data_on_stdout = data_on_stdout
        self.tally = Tally()
        self.outcomes: list[Outcome] = []
        self.stdout_lost: str | None = None  # why the summaries could not go on to standard output

    def __call__(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        self.tally.add(outcome)
        for note in outcome.notes:
            self.write(f"{PROG}: note: {note}", sys.stderr)
        for warning in outcome.warnings:
            self.write(f"{PROG}: warning: {warning}", sys.stderr)
        if outcome.error is not None:
            self.write(f"{PROG}: error: {outcome.error}", sys.stderr)
        elif outcome.summary is not None:
            if outcome.to_stdout or self.data_on_stdout:
                self.write(outcome.summary, sys.stderr)
            elif self.stdout_lost is None:
                self.summary(outcome.summary)

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

    def close(self, folder: bool, recursive: bool, signum: int | None) -> int:
        """Prints the closing lines (a stop, what the walk passed over, the tally
        of a folder or stopped run) and returns the exit status."""
        tally = self.tally
        if signum is not None:
            print(f"{PROG}: stopped by {signal.Signals(signum).name}", file=sys.stderr)
        if folder or signum is not None:
            note = tally.passed_over_note(recursive)
            if note is not None:
                print(f"{PROG}: note: {note}", file=sys.stderr)
            print(tally, file=sys.stderr)
        if self.stdout_lost is not None:
            print(f"{PROG}: error: {self.stdout_lost}", file=sys.stderr)
        if signum is not None:
            return 128 + signum
        return 1 if tally.failed or self.stdout_lost is not None else 0
