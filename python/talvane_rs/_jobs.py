"""What the command line asks of one file, and what came of it."""

from __future__ import annotations

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
    stream_ms: float | None = None  # gate through the streaming gate in chunks of this length
    fmt: str | None = None  # "csv" or "json", for mask


@dataclass
class Outcome:
    summary: str | None = None
    error: str | None = None
    notes: list[str] = field(default_factory=list)
    to_stdout: bool = False  # the result itself went to standard output
