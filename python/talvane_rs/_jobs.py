"""What the command line asks of one file, what came of it, and the cleanup
after a run of such jobs, whoever runs them."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any


@dataclass(frozen=True)
class Job:
    command: str  # "gate", "cut" or "mask"
    src: Path
    dst: Path  # "-" writes the regions to standard output
    plot: Path | None
    settings: dict[str, Any]  # the fourteen gate parameters by name
    token: str  # the run's own mark in the names of its temporary files
    stream_ms: float | None = None  # gate through the streaming gate in chunks of this length
    fmt: str | None = None  # "csv" or "json", for mask


@dataclass
class Outcome:
    summary: str | None = None
    error: str | None = None
    notes: list[str] = field(default_factory=list)
    to_stdout: bool = False  # the result itself went to standard output


def temporary_prefix(target: Path, token: str) -> str:
    """How the names of the temporary files written in place of target begin."""
    return f".{target.stem}.{token}."


def sweep_temporaries(jobs: Iterable[Job]) -> None:
    """Removes the temporary files the jobs' run left beside their outputs, as
    a worker ended in the middle of a write can; other runs' stay."""
    wanted: dict[Path, set[str]] = {}
    tokens = set()
    for job in jobs:
        for target in (job.dst, job.plot):
            if target is not None and str(target) != "-":
                wanted.setdefault(target.parent, set()).add(temporary_prefix(target, job.token))
                tokens.add(job.token)
    marks = [f".{token}." for token in tokens]
    for folder, prefixes in wanted.items():
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        # One look-up per name and token, not one comparison per job: a folder may hold thousands.
        for name in names:
            for mark in marks:
                at = name.find(mark)
                if at > 0 and name[: at + len(mark)] in prefixes:
                    try:
                        os.unlink(folder / name)
                    except OSError:
                        pass
                    break
