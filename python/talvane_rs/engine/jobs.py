"""What a run is asked (a request), what it asks of one file (a job: an action, a
source, where the result goes), what came of it, and the cleanup after a run of
such jobs, whoever runs them."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from talvane_rs.io.storage import STDIO, Location, names_in, remove, temporary_prefix
from talvane_rs.params import GateSettings

if TYPE_CHECKING:
    from talvane_rs.actions.base import Action
    from talvane_rs.io.atomic import Target


@dataclass(frozen=True)
class Job:
    """One file's work. Picklable, and complete: a worker process needs nothing else."""

    action: Action  # what is done to the file: gate, cut, mask
    src: Location  # STDIO: standard input
    dst: Location | None  # STDIO: standard output; None: the regions go back in the outcome only
    plot: Location | None
    settings: GateSettings  # window counts may be Durations
    token: str  # the run's own mark in the names of its temporary files
    fmt: str | None = None  # the --format asked for, or the regions format the action chose
    fallback: Location | None = None  # where WAV goes when the output's format cannot be written; None: an error
    no_fallback: str | None = None  # why an output that could want one has no fallback
    strict: bool = False  # non-finite samples fail the file rather than being replaced by 0.0
    cwd: str | None = None  # the folder relative paths start from; None: this process's own
    plot_range: tuple[float, float | None] | None = None  # seconds: the stretch the plot shows; None: all
    replaces: bool = False  # dst was an existing file when the run was planned (it is replaced atomically)
    preset: str | None = None  # the preset the settings started from, for the summary; None: not named

    def local(self, path: Path) -> Path:
        """Where a relative path of this job is for the process running it."""
        return path if self.cwd is None or path.is_absolute() else Path(self.cwd, path)

    @property
    def name(self) -> str:
        """The source as messages name it."""
        return "standard input" if self.src == STDIO else str(self.src)

    def target(self, dst: Location) -> Target:
        """How a result of this job is written to dst."""
        from talvane_rs.io.atomic import Target

        return Target(dst, self.token, self.cwd, self.fmt, self.fallback, self.no_fallback, self.name)


@dataclass
class Outcome:
    """What came of one file: a summary line or an error, and notes and warnings
    to show on standard error; for mask, the regions found. A file passed over
    (not audio, in a subfolder not walked, or not started before a stop) is
    skipped."""

    src: str = ""
    summary: str | None = None
    error: str | None = None
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    to_stdout: bool = False  # the result itself went to standard output
    record: dict[str, Any] | None = None  # mask: file, sample_rate, samples and regions
    skipped: bool = False
    passed_over: str | None = None  # why a skipped file was never a job: "subfolder", "not audio" or "special"


def sweep_temporaries(jobs: Iterable[Job]) -> None:
    """Removes the temporary files the jobs' run left beside their outputs, as
    a worker ended in the middle of a write can; other runs' stay. An action that
    writes a folder of files leaves them in that folder, named for each file."""
    wanted: dict[Location, set[str]] = {}
    anywhere: dict[Location, set[str]] = {}  # folders where any name marked with the token is ours
    tokens = set()
    for job in jobs:
        tokens.add(job.token)
        targets = [job.plot, job.fallback]
        if job.action.writes_folder and job.dst is not None:
            anywhere.setdefault(job.dst, set()).add(f".{job.token}.")
        else:
            targets.append(job.dst)
        for target in targets:
            if target is not None and target != STDIO:
                wanted.setdefault(target.parent, set()).add(temporary_prefix(target, job.token))
    marks = [f".{token}." for token in tokens]
    for folder in set(wanted) | set(anywhere):
        try:
            names = os.listdir(folder) if isinstance(folder, Path) else names_in(folder)
        except Exception:  # a store's own errors too: the sweep is best effort
            continue
        prefixes, any_marks = wanted.get(folder, set()), anywhere.get(folder, set())
        # One look-up per name and token, not one comparison per job: a folder may hold thousands.
        for name in names:
            ours = name.startswith(".") and any(mark in name[1:] for mark in any_marks)
            if ours or any(0 < (at := name.find(mark)) and name[: at + len(mark)] in prefixes for mark in marks):
                try:
                    os.unlink(folder / name) if isinstance(folder, Path) else remove(folder / name)
                except Exception:
                    pass


@dataclass
class Request:
    """What a run is asked to do, from the command line or from run_folder.
    Names are as typed: local paths, fsspec URLs, or - for a pipe."""

    action: Action
    inputs: list[str]
    output: str | None
    settings: GateSettings = field(default_factory=GateSettings)  # window counts may be Durations
    format: str | None = None
    plot: str | None = None
    recursive: bool = False
    overwrite: bool = False
    strict: bool = False
    plot_range: tuple[float, float | None] | None = None  # seconds
    preset: str | None = None  # the preset the settings started from, named in each summary
