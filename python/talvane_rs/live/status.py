"""What talvane live shows: the tally of what the gate did so far (from the
stream's events and its view of each call), the one status line a terminal
shows while it runs, and the summary at the end."""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from talvane_rs.regions import KeptTally
from talvane_rs.sentences import kept_phrase, levels_phrase, plural
from talvane_rs.units import gain_to_db


@dataclass
class LiveStatus:
    """What the gate did so far: what it kept (from the stream's events), the
    last call's floor and threshold, the device's overruns and underruns, and
    the input's energy since the status line last read it."""

    rate: int
    tally: KeptTally = field(default_factory=KeptTally)
    noise_floor: float | None = None
    threshold: float | None = None
    clamped: str | None = None
    overruns: int = 0  # audio lost: input the callback came too late for, or output too much to play
    underruns: int = 0  # gaps: the output device, or the input, ran dry
    energy: float = 0.0  # sum of squares of the samples since level() was last read
    samples: int = 0  # ... and their count
    last_level: float | None = None  # what level() last gave

    def add(self, raw: Any, events: Iterable[Any], noise_floor: float | None, threshold: float | None,
            clamped: str | None) -> None:  # fmt: skip
        """Blocks: the input as captured, the events of the calls that gated it, and the last call's view."""
        self.tally.add(len(raw), events)
        if noise_floor is not None:
            self.noise_floor, self.threshold, self.clamped = noise_floor, threshold, clamped
        flat = raw.reshape(-1).astype("float64")
        self.energy += float((flat * flat).sum())  # not a dot product: BLAS may wake threads that spin
        self.samples += raw.size

    @property
    def frames(self) -> int:
        return self.tally.frames

    def share(self) -> float:
        return self.tally.kept / self.frames if self.frames else 0.0

    def level(self) -> float | None:
        """The RMS of the input since the last call (the last figure again when no
        audio came since, as with blocks longer than a redraw), or None before any."""
        if self.samples:
            self.last_level = math.sqrt(self.energy / self.samples)
            self.energy, self.samples = 0.0, 0
        return self.last_level

    def xruns(self) -> str:
        return f"{plural(self.overruns, 'overrun')}, {plural(self.underruns, 'underrun')}"


def dbfs(value: float | None) -> str:
    """A level as a fixed-width dBFS figure, so the status line keeps still."""
    if value is None:
        return "    -- dBFS"
    db = gain_to_db(value)
    return "  -inf dBFS" if db == -math.inf else f"{db:6.1f} dBFS"


def status_line(tally: LiveStatus, level: float | None) -> str:
    """The line a terminal shows while the gate runs."""
    clamp = f" (clamped {tally.clamped})" if tally.clamped else ""
    parts = [
        f"{tally.frames / tally.rate:7.1f} s", f"input {dbfs(level)}", f"floor {dbfs(tally.noise_floor)}",
        f"threshold {dbfs(tally.threshold)}{clamp}", "gate open  " if tally.tally.open else "gate closed",
        f"kept {100.0 * tally.share():5.1f}%",
    ]  # fmt: skip
    if tally.overruns or tally.underruns:
        parts.append(tally.xruns())
    return " | ".join(parts)


def summary(status: LiveStatus, channels: int, outputs: list[str]) -> str:
    """The line printed when the run ends; the floor and threshold only if the gate analysed any audio."""
    where = ", ".join(outputs) if outputs else "no output"
    layout = "mono" if channels == 1 else f"{channels} channels"
    parts = [f"live: {status.frames / status.rate:.2f} s at {status.rate} Hz", layout,
             kept_phrase(status.tally.kept, status.frames, status.tally.regions)]  # fmt: skip
    if status.noise_floor is not None and status.threshold is not None:
        clamp = f" (clamped {status.clamped})" if status.clamped else ""
        parts.append(levels_phrase(status.noise_floor, status.threshold) + clamp)
    return ", ".join([*parts, status.xruns(), where])
