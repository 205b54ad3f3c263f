"""The run of talvane live. The device's callback gates each block as it comes
(and hands it to the output device in the same call, so the gate adds no delay
beyond the block), then passes it on; the main thread tallies what it passed,
redraws the status line and feeds each file's writer thread, so nothing in the
callback waits for a disk. A stop signal, the duration, or a failure of the
device, the gate or a file ends the run; the files are then finished."""

from __future__ import annotations

import queue
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

from talvane_rs.errors import FileError, StopSignals
from talvane_rs.io.atomic import Target
from talvane_rs.io.storage import STDIO, local_path
from talvane_rs.io.write import write_audio
from talvane_rs.live.status import LiveStatus, status_line

REDRAW_S = 0.1  # the status line is redrawn at most this often
QUIET_S = 0.5  # how often the blocks are taken when no one watches them come (each wake costs CPU)
STALL_S = 5.0  # a device that gives no block for this long has failed
FIRST_S = 15.0  # ... or no first block (a duplex stream through PulseAudio takes 1.5 s to start)


class Block(NamedTuple):
    """What one callback passes on: the input as captured, the gated audio, and the call's view."""

    raw: Any
    gated: Any
    events: tuple[Any, ...]
    noise_floor: float | None
    threshold: float | None
    clamped: str | None
    overruns: int
    underruns: int


@dataclass(frozen=True)
class Captured:
    """The format the files are chosen from: float32 samples, as the callback gets them."""

    format: str = ""
    subtype: str = "FLOAT"


class Writer:
    """A file written from blocks in a thread of its own, through a temporary
    file beside it that takes its name once the last block is in."""

    def __init__(self, target: Target, rate: int, channels: int, raw: bool) -> None:
        self.target, self.rate, self.channels = target, rate, channels
        self.raw = raw  # the input as captured, rather than the gated audio
        self.blocks: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self.error: str | None = None
        self.empty = False  # the run ended before any audio came, and nothing was written
        local = local_path(target.dst) if target.dst != STDIO else None
        self.replaces = local is not None and local.is_file()  # an existing file, replaced when the run ends
        self.notes: list[str] = []
        self.thread = threading.Thread(target=self.write, name=f"talvane live: {target.dst}", daemon=True)
        self.thread.start()

    def write(self) -> None:
        first = self.blocks.get()
        if first is None:  # no audio came: no file (some formats cannot even hold none)
            self.empty = True
            return

        def blocks() -> Iterator[Any]:
            block = first
            while block is not None:
                yield block
                block = self.blocks.get()

        try:
            write_audio(self.target, Captured(), self.rate, self.channels, lambda: 0.0, blocks, self.notes, live=True)
        except FileError as e:
            self.error = str(e)
        except Exception as e:  # any other failure still ends the run with one line
            self.error = f"cannot write {self.target.dst}: {e}"

    def finish(self) -> None:
        self.blocks.put(None)
        self.thread.join()


class Live:
    """The gate between the device's callback and the main thread."""

    def __init__(self, sd: Any, gate: Any, rate: int, limit: int | None) -> None:
        self.sd, self.gate, self.limit = sd, gate, limit
        self.passed: queue.SimpleQueue[Block] = queue.SimpleQueue()
        self.failure: BaseException | None = None
        self.frames = 0  # frames the callback has gated
        self.stalled: str | None = None  # why the device failed, if it did
        self.status = LiveStatus(rate)

    def on_input(self, indata: Any, frames: int, when: Any, status: Any) -> None:
        self.handle(indata, None, status)

    def on_duplex(self, indata: Any, outdata: Any, frames: int, when: Any, status: Any) -> None:
        self.handle(indata, outdata, status)

    def handle(self, indata: Any, outdata: Any, status: Any) -> None:
        if self.limit is not None:
            indata = indata[: self.limit - self.frames]  # the duration ends within this block
        try:
            gate = self.gate
            gated = gate.process(indata)
            if outdata is not None:
                outdata[: len(gated)] = gated
                outdata[len(gated) :] = 0
            over = under = 0
            if status:
                over = int(status.input_overflow) + int(status.output_overflow)
                under = int(status.input_underflow) + int(status.output_underflow)
            # The device reuses indata's memory once the callback returns.
            self.passed.put(Block(indata.copy(), gated, gate.events, gate.noise_floor, gate.threshold, gate.clamped,
                                  over, under))  # fmt: skip
        except BaseException as e:
            self.failure = e
            if outdata is not None:
                outdata.fill(0)
            raise self.sd.CallbackAbort from None
        self.frames += len(indata)
        if self.limit is not None and self.frames >= self.limit:
            raise self.sd.CallbackStop

    def gate_until_stopped(self, stream: Any, writers: list[Writer], stop: StopSignals, show: Callable[[str], None] | None,
            tick: float = QUIET_S) -> None:  # fmt: skip
        """Runs the stream until a stop, the duration or a failure (then in
        self.failure or self.stalled); every block it passed is tallied and
        written. show draws the status line, if any. The blocks are taken
        together, every tick seconds (REDRAW_S with a status line): waking the
        main thread for each would cost more than the gate."""
        wake = threading.Event()
        stop.wake = wake.set
        with stream:
            heard = time.monotonic() + FIRST_S - STALL_S  # when the last block came, or as good as
            while stop.signum is None and self.failure is None and not any(w.error for w in writers):
                wake.wait(REDRAW_S if show is not None else tick)
                now = time.monotonic()
                if self.take(writers):
                    heard = now
                elif not stream.active:
                    if self.limit is None or self.frames < self.limit:
                        self.stalled = "the device stopped"
                    break
                elif now - heard > STALL_S:
                    self.stalled = "no audio came" + (f" for {STALL_S:g} s" if self.status.frames else "")
                    break
                if show is not None:
                    show(status_line(self.status, self.status.level()))
        self.take(writers)  # what the callback passed before the stream stopped

    def take(self, writers: list[Writer]) -> bool:
        """Tallies the blocks passed since the last call and hands them to the writers; whether there were any."""
        import numpy as np

        blocks = []
        while True:
            try:
                blocks.append(self.passed.get_nowait())
            except queue.Empty:
                break
        if not blocks:
            return False
        raw = np.concatenate([b.raw for b in blocks])
        gated = np.concatenate([b.gated for b in blocks]) if any(not w.raw for w in writers) else None
        seen = [b for b in blocks if b.noise_floor is not None]
        view = (seen[-1].noise_floor, seen[-1].threshold, seen[-1].clamped) if seen else (None, None, None)
        status = self.status
        status.add(raw, [e for b in blocks for e in b.events], *view)
        status.overruns += sum(b.overruns for b in blocks)
        status.underruns += sum(b.underruns for b in blocks)
        for writer in writers:
            writer.blocks.put(raw if writer.raw else gated)
        return True


def terminal_line(text: str) -> None:
    """Redraws the status line in place, cut to the terminal's width so it never wraps."""
    import shutil

    width = shutil.get_terminal_size().columns - 1
    sys.stderr.write("\r" + text[:width] + "\x1b[K")
    sys.stderr.flush()
