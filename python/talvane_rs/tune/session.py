"""What the tune server holds of its one file, and what it computes for the page.

Memory: the file's float32 mono mix, one band-filtered copy of it while a band
is set, and the per-window arrays of the current analysis (kept while the next is
made, so there are never more than two). Per-sample curves (the gains,
the mask) are made only for the stretch asked for, never for the whole file;
every channel is read again only when a result is saved.
"""

from __future__ import annotations

import dataclasses
import math
import struct
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from talvane_rs.analysis import Analysis, analyse_settings
from talvane_rs.cutting import crossfade, cut_steps, plan_cut
from talvane_rs.sentences import clamped_advice, kept_phrase, levels_phrase, nonfinite_phrase
from talvane_rs.tune.settings import Settings
from talvane_rs.units import gain_to_db, seconds_to_samples

FloatArray = npt.NDArray[np.float32]

EXACT_GAINS = 1 << 22  # samples: up to this the gain curve is computed sample by sample, else from the windows
PLAY_SECONDS = 600  # the longest stretch one playback fetches
BLOCK = 1 << 18  # samples per block of audio sent
FLOOR_DB = -120.0  # where the energy axis stops, for digital silence


@dataclass
class Loaded:
    """The file as read: its mono mix and what the page says about it."""

    path: Path
    mix: FloatArray
    rate: int
    channels: int
    format: str
    subtype: str
    notes: list[str]
    peak: float = 0.0  # of the mix: the waveform's scale wherever the page looks
    identity: tuple[int, ...] = ()  # device, inode, size and change time of the file as read

    def changed(self) -> str | None:
        """How the file on disk differs from the one read, if it does: gone, or changed."""
        try:
            now = file_identity(self.path)
        except FileNotFoundError:
            return "is gone since the page read it"
        except OSError as e:
            return f"cannot be checked: {e.strerror or e}"
        return None if now == self.identity else "changed since the page read it"


def file_identity(path: Path) -> tuple[int, ...]:
    st = path.stat()
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


def load(path: Path) -> Loaded:
    """Reads the mono mix of the file, non-finite samples as 0.0 (with a note)."""
    from talvane_rs.io.frames import read_mix
    from talvane_rs.io.read import open_source

    identity = file_identity(path)
    with open_source(path) as f:
        mix, stats = read_mix(f, lambda: None)
        rate, channels, fmt, subtype = int(f.samplerate), int(f.channels), f.format, f.subtype
    notes = []
    if stats.nonfinite:
        notes.append(f"{nonfinite_phrase(stats.nonfinite, stats.first_bad, rate)}, replaced by 0.0")
    peak = float(max(np.max(mix, initial=0.0), -np.min(mix, initial=0.0)))
    return Loaded(path, mix, rate, channels, fmt, subtype, notes, peak, identity)


def edges(a: int, b: int, count: int) -> npt.NDArray[np.int64]:
    """The first index of each of count columns over [a, b), as even as whole indices allow."""
    return a + (np.arange(count, dtype=np.int64) * (b - a)) // count


def column_ranges(values: Any, a: int, b: int, cols: int) -> tuple[list[float], list[float], int]:
    """Per column over values[a:b]: the least and the greatest; one column per
    value when there are no more than cols."""
    part = values[a:b]
    if b - a <= cols:
        return part.tolist(), part.tolist(), b - a
    starts = edges(0, b - a, cols)
    return np.minimum.reduceat(part, starts).tolist(), np.maximum.reduceat(part, starts).tolist(), cols


def column_means(values: Any, a: int, b: int, cols: int) -> list[float]:
    """Per column over values[a:b]: the mean (in float64), as column_ranges splits them."""
    part = values[a:b]
    if b - a <= cols:
        return [round(v, 4) for v in part.tolist()]
    starts = edges(0, b - a, cols)
    sums = np.add.reduceat(part.astype(np.float64), starts)
    counts = np.diff(np.append(starts, b - a))
    return [round(v, 4) for v in (sums / counts).tolist()]


def to_db(values: list[float]) -> list[float]:
    return [round(max(FLOOR_DB, gain_to_db(v)), 3) if v > 0 else FLOOR_DB for v in values]


class Session:
    """The file, the settings in force, and their analysis."""

    def __init__(self, loaded: Loaded) -> None:
        self.file = loaded
        self.band: Any = None
        self.filtered: FloatArray | None = None
        self.settings: Settings | None = None
        self.view: Analysis | None = None

    @property
    def n(self) -> int:
        return len(self.file.mix)

    def update(self, settings: Settings) -> None:
        """Analyses the file with settings; the band filter runs again only when the
        band changes. A failed analysis leaves the settings and view in force."""
        if settings.band != self.band:
            self.filtered, self.band = None, None  # freed before the new copy is made
            if settings.band is not None:
                from talvane_rs.band import band_filter

                self.filtered = band_filter(self.file.mix, self.file.rate, settings.band)
            self.band = settings.band
        signal = self.file.mix if self.filtered is None else self.filtered
        self.view = analyse_settings(signal, self.file.rate, dataclasses.replace(settings.resolved, band=None))
        self.settings = settings

    def summary(self) -> dict[str, Any]:
        """The decision in numbers and in words, with what to change when the threshold is clamped."""
        view, settings = self.view, self.settings
        assert view is not None and settings is not None
        kept = sum(r.end - r.start for r in view.regions) if self.n else 0
        share = kept / self.n if self.n else 0.0
        text = f"{kept_phrase(kept, self.n, len(view.regions))}, {levels_phrase(view.noise_floor, view.threshold)}"
        factor = view.music_factor  # the share of windows whose threshold the music measure raised
        raised = None if factor is None else int(np.count_nonzero(factor > 1.0)) / max(1, len(factor))
        return {
            "text": text, "kept": kept, "share": share, "regions": len(view.regions),
            "noise_floor": view.noise_floor, "threshold": view.threshold, "clamped": view.clamped,
            "advice": self.advice(), "window_len": view.window_len, "windows": len(view.energies),
            "music_raised": raised,
        }  # fmt: skip

    def advice(self) -> str | None:
        view, settings = self.view, self.settings
        assert view is not None and settings is not None
        if settings.resolved.fixed_threshold:
            return None
        return clamped_advice(view.clamped, view.noise_floor, view.threshold, view.ratio,
                              spell=lambda name: name.replace("_", "-"))  # fmt: skip

    def levels(self) -> dict[str, Any]:
        """The lines the energy plot draws, as the gate holds them (float32 values)."""
        assert self.view is not None and self.settings is not None
        resolved = self.settings.resolved
        f32: list[Any] = [float(np.float32(v)) for v in (resolved.base_thresh, resolved.max_thresh)]
        f32 = ["inf" if v == math.inf else v for v in f32]  # JSON has no infinity; the page reads "inf"
        return {"noise_floor": self.view.noise_floor, "threshold": self.view.threshold,
                "base_thresh": f32[0], "max_thresh": f32[1]}  # fmt: skip

    def wave(self, a: int, b: int, cols: int) -> dict[str, Any]:
        """Peaks of the mix per column over [a, b)."""
        low, high, count = column_ranges(self.file.mix, a, b, cols)
        return {"low": low, "high": high, "count": count}

    def columns(self, a: int, b: int, cols: int) -> dict[str, Any]:
        """The analysis over [a, b): energies, voice and keep flags per window
        (or their ranges per column when windows are narrower than columns),
        the gain range per column and the kept regions."""
        view, settings = self.view, self.settings
        assert view is not None and settings is not None
        w = view.window_len
        w0, w1 = a // w, min(len(view.energies), -(-b // w))
        smooth_low, smooth_high, count = column_ranges(view.smoothed, w0, w1, cols)
        _, energy_high, _ = column_ranges(view.energies, w0, w1, cols)
        _, voice, _ = column_ranges(view.voice.view(np.uint8), w0, w1, cols)
        keep_low, keep_high, _ = column_ranges(view.keep_windows.view(np.uint8), w0, w1, cols)
        return {
            "w0": w0, "w1": w1, "count": count,
            "smooth_low": to_db(smooth_low), "smooth_high": to_db(smooth_high), "energy_high": to_db(energy_high),
            "voice": voice, "keep": keep_high, "gain": self.gains(a, b, cols, keep_low, keep_high),
            "regions": self.regions(a, b, cols), "music": self.music(w0, w1, cols),
        }  # fmt: skip

    def music(self, w0: int, w1: int, cols: int) -> dict[str, Any] | None:
        """The music measure over windows [w0, w1), in the energies' columns: the
        factor's range, the mean steadiness and novelty, and the highest threshold
        a window used (the rule's times the factor, never above max_thresh); None
        without the measure."""
        view, settings = self.view, self.settings
        assert view is not None and settings is not None
        if view.music_factor is None or view.music_steadiness is None or view.music_novelty is None:
            return None
        low, high, _ = column_ranges(view.music_factor, w0, w1, cols)
        # In float32, as the decision raises each window's threshold.
        top = np.float32(settings.resolved.max_thresh)
        raised = np.minimum(np.float32(view.threshold) * np.array(high, dtype=np.float32), top)
        return {
            "factor_low": [round(v, 4) for v in low], "factor_high": [round(v, 4) for v in high],
            "steadiness": column_means(view.music_steadiness, w0, w1, cols),
            "novelty": column_means(view.music_novelty, w0, w1, cols), "threshold_high": to_db(raised.tolist()),
        }  # fmt: skip

    def gains(self, a: int, b: int, cols: int, keep_low: list[float], keep_high: list[float]) -> dict[str, Any]:
        """The gain range per column: exact for a short stretch; for a long one,
        from the windows' flags (ramps are then narrower than a column)."""
        assert self.view is not None and self.settings is not None
        if b - a <= EXACT_GAINS:
            low, high, count = column_ranges(self.view.gains_part(a, b), 0, b - a, cols)
            return {"low": low, "high": high, "count": count, "start": a, "end": b}
        values = self.settings.resolved
        drop = float(np.float32(values.attenuation)) if values.enabled else 1.0
        low = [1.0 if k else drop for k in keep_low]
        high = [1.0 if k else drop for k in keep_high]
        w = self.view.window_len
        return {"low": low, "high": high, "count": len(low), "start": a // w * w, "end": min(self.n, -(-b // w) * w)}

    def regions(self, a: int, b: int, cols: int) -> list[list[int]]:
        """The kept regions over [a, b), those closer than a column joined."""
        assert self.view is not None
        join = (b - a) / cols
        found: list[list[int]] = []
        for start, end in self.view.regions:
            if end <= a or start >= b:
                continue
            start, end = max(a, start), min(b, end)
            if found and start - found[-1][1] < join:
                found[-1][1] = end
            else:
                found.append([start, end])
        return found

    def play_end(self, a: int, b: int) -> int:
        """Where the audio of [a, b) stops: at most PLAY_SECONDS after a."""
        return min(b, a + PLAY_SECONDS * self.file.rate)

    def audio(self, kind: str, a: int, b: int) -> tuple[int, Iterator[FloatArray], list[list[int]]]:
        """The mono audio of kind original, gated or cut over [a, b): its length,
        its blocks, and where each stretch of it starts in the file
        ([output offset, input start, length] for each)."""
        b = self.play_end(a, b)
        mix, view = self.file.mix, self.view
        assert view is not None and self.settings is not None
        if kind == "original":
            return b - a, (mix[s : min(b, s + BLOCK)] for s in range(a, b, BLOCK)), [[0, a, b - a]]
        if kind == "gated":

            def gated() -> Iterator[FloatArray]:
                for s in range(a, b, BLOCK):
                    e = min(b, s + BLOCK)
                    gains = view.gains_part(s, e)
                    yield np.multiply(mix[s:e], gains, out=gains)

            return b - a, gated(), [[0, a, b - a]]
        return self.cut_audio(a, b)

    def cut_audio(self, a: int, b: int) -> tuple[int, Iterator[FloatArray], list[list[int]]]:
        """The cut of the whole file, as much of it as comes from [a, b)."""
        assert self.view is not None and self.settings is not None
        rate, mix = self.file.rate, self.file.mix
        runs = [(r.start, r.end) for r in self.view.regions]
        pieces = plan_cut(runs, self.n, rate, seconds_to_samples(self.settings.cut["keep_pause"], rate),
                          seconds_to_samples(self.settings.cut["crossfade"], rate))  # fmt: skip
        steps: list[tuple[str, int, int, int]] = []
        stretches: list[list[int]] = []
        at = 0
        for kind, s, e, length in cut_steps(pieces):
            if kind == "copy":
                s, e = max(a, s), min(b, e)
                if e > s:
                    steps.append((kind, s, e, 0))
                    stretches.append([at, s, e - s])
                    at += e - s
            elif s >= a and e + length <= b:
                steps.append((kind, s, e, length))
                stretches.append([at, s, length])
                at += length

        def blocks() -> Iterator[FloatArray]:
            for kind, s, e, length in steps:
                if kind == "copy":
                    for x in range(s, e, BLOCK):
                        yield mix[x : min(e, x + BLOCK)]
                else:
                    yield crossfade(mix[s : s + length], mix[e : e + length])

        return at, blocks(), stretches


def wav_header(frames: int, rate: int) -> bytes:
    """The header of a mono 32-bit float WAV file of this many frames."""
    data = frames * 4
    fmt = struct.pack("<HHIIHH", 3, 1, rate, rate * 4, 4, 32)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + data) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt))
            + fmt + b"data" + struct.pack("<I", data))  # fmt: skip
