"""Picture of one analysis: waveform and kept regions, window energies against
the threshold, and for a gated file the gain curve; and the picture of a
streaming gate's run, drawn from what it decided chunk by chunk.

A long recording is drawn per pixel column (its minimum, maximum and RMS), the
columns computed block by block, so neither the per-sample gains nor any other
copy of the recording is ever held whole; a stream's columns are gathered as it
goes, in memory that does not grow with its length.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from talvane_rs.analysis import Analysis
from talvane_rs.columns import Columns, StreamTrace
from talvane_rs.params import GateSettings

INPUT_COLOUR, OUTPUT_COLOUR, KEPT_COLOUR, GAIN_COLOUR = "#9a9a9a", "#1565c0", "#43a047", "#c62828"
ENERGY_COLOUR, THRESHOLD_COLOUR, FLOOR_COLOUR, LIMIT_COLOUR = "#6d4c41", "#c62828", "#1565c0", "#757575"
FLOOR_DB = -120.0  # silence is drawn here rather than at minus infinity

Curve = npt.NDArray[np.float64]
Samples = Callable[[int, int], npt.NDArray[np.float32]]


def to_db(values: npt.NDArray[Any]) -> Curve:
    with np.errstate(divide="ignore"):
        db = 20.0 * np.log10(np.asarray(values, dtype=np.float64))
    return np.maximum(np.nan_to_num(db, nan=FLOOR_DB, neginf=FLOOR_DB), FLOOR_DB)


OVERVIEW_SECONDS = 600.0  # a longer stretch is drawn as an overview
OVERVIEW_REGIONS = 300  # so is one with more kept regions than this


def envelope(ax: Axes, cols: Columns, rate: int, colour: str, label: str, offset: int = 0) -> None:
    """Peaks lightly and RMS strongly, as audio editors draw a long waveform; a
    short one (one value per column) as its line. offset: samples before the first."""
    t = (cols.times + offset) / rate
    if cols.width == 1:
        ax.plot(t, cols.high, color=colour, lw=0.8, label=label)
        return
    ax.fill_between(t, cols.low, cols.high, color=colour, alpha=0.45, lw=0, label=f"{label} (peak)")
    ax.fill_between(t, -cols.rms, cols.rms, color=colour, alpha=0.9, lw=0, label=f"{label} (RMS)")


def shade(ax: Axes, spans: Sequence[tuple[float, float]], label: str | None, bars: bool = False) -> None:
    """Kept regions as one collection, however many there are: shaded over the
    whole height, or as bars along the bottom in an overview."""
    if spans:
        band, alpha = ((0.0, 0.06), 0.9) if bars else ((0.0, 1.0), 0.2)
        ax.broken_barh([(a, b - a) for a, b in spans], band, transform=ax.get_xaxis_transform(),
                       color=KEPT_COLOUR, alpha=alpha, lw=0, label=label)  # fmt: skip


def plot_analysis(
    x: npt.NDArray[np.float32],
    view: Analysis,
    title: str,
    *,
    gains: Samples | None = None,
    settings: GateSettings,
    span: tuple[int, int] | None = None,
) -> Figure:
    """The input's waveform with the kept regions shaded (and, with gains, the
    output over it), the window energies in dBFS with the threshold, the noise
    floor and the threshold's two limits, and with gains the gain curve; of
    samples [a, b) when a span is given, else of the whole recording. A long
    stretch, or one with very many regions, is drawn as an overview: regions as
    bars, energies as per-column ranges, and the title says how to look closer."""
    rate, n = view.sample_rate, len(x)
    a, b = (0, n) if span is None else (max(0, min(span[0], n)), max(0, min(span[1], n)))
    b = max(a, b)
    panels = 3 if gains is not None else 2
    fig = Figure(figsize=(11, 2.3 * panels + 1.0), dpi=110, layout="constrained")
    axes = fig.subplots(panels, 1, sharex=True, height_ratios=[3, 2, 1.3][:panels])
    spans = [(max(r.start, a) / rate, min(r.end, b) / rate) for r in (view.regions if n else [])
             if r.end > a and r.start < b]  # fmt: skip
    overview = (b - a) / rate > OVERVIEW_SECONDS or len(spans) > OVERVIEW_REGIONS
    if span is not None:
        title += f" from {a / rate:.2f} s to {b / rate:.2f} s"
    hint = f" (an overview: look closer with --plot-range {zoom_hint(spans, a, b, rate)})" if overview else ""
    part: Samples | None = None if gains is None else (lambda i, j: gains(a + i, a + j))
    waveform_panel(axes[0], x[a:b], rate, spans, title, part, a, overview, hint)
    energy_panel(axes[1], view, spans, settings, (a, b), overview)
    axes[0].set_xlim(a / rate, max(b / rate, (a + 1) / rate))
    if part is None:
        axes[1].set_xlabel("time (s)")
    else:
        gain_panel(axes[2], Columns(part, b - a), rate, spans, a, overview)
    return fig


def zoom_hint(spans: Sequence[tuple[float, float]], a: int, b: int, rate: int) -> str:
    """A minute around the first kept region (or the start), as --plot-range takes it."""
    start = spans[0][0] if spans else a / rate
    return f"{math.floor(start):d}s-{min(math.floor(start) + 60, math.ceil(b / rate)):d}s"


def waveform_panel(
    wave: Axes, x: npt.NDArray[np.float32], rate: int, spans: Sequence[tuple[float, float]], title: str,
    gains: Samples | None, offset: int = 0, overview: bool = False, hint: str = "",
) -> None:  # fmt: skip
    n = len(x)
    duration = n / rate
    share = sum(e - s for s, e in spans) / duration if n else 0.0
    noun = "region" if len(spans) == 1 else "regions"
    wave.set_title(f"{title}: {duration:.2f} s, kept {share:.0%} in {len(spans)} {noun}{hint}", loc="left")
    shade(wave, spans, "kept", bars=overview)
    envelope(wave, Columns(lambda i, j: x[i:j], n), rate, INPUT_COLOUR, "input", offset)
    if gains is not None:
        envelope(wave, Columns(lambda i, j: x[i:j] * gains(i, j), n), rate, OUTPUT_COLOUR, "output", offset)
    peak = float(max(np.max(x, initial=0.0), -np.min(x, initial=0.0)))
    limit = 1.08 * peak if peak > 0 else 1.0
    wave.set_ylim(-limit, limit)
    wave.set_ylabel("amplitude")
    wave.legend(loc="upper right", fontsize="small", ncols=5, framealpha=0.9)
    wave.grid(alpha=0.25)


def energy_panel(
    energy: Axes, view: Analysis, spans: Sequence[tuple[float, float]], settings: GateSettings,
    span: tuple[int, int] | None = None, overview: bool = False,
) -> None:  # fmt: skip
    """Window energies: per column of windows, their range and the smoothed level;
    the threshold, the floor and the two limits as lines."""
    rate, w = view.sample_rate, view.window_len
    first, last = (0, len(view.energies)) if span is None else (span[0] // w, -(-span[1] // w))
    energies, smoothed = view.energies[first:last], view.smoothed[first:last]
    windows = len(energies)
    shade(energy, spans, None, bars=overview)
    if windows:
        raw = Columns(lambda i, j: energies[i:j], windows)
        smooth = Columns(lambda i, j: smoothed[i:j], windows)
        t = (raw.times + first) * w / rate
        if raw.width == 1:
            energy.plot(t, to_db(raw.high), color=ENERGY_COLOUR, lw=0.6, alpha=0.6, label="window energy")
        else:
            energy.fill_between(t, to_db(raw.low), to_db(raw.high), color=ENERGY_COLOUR,
                                alpha=0.15 if overview else 0.35, lw=0, label="window energy")  # fmt: skip
        if overview and smooth.width > 1:
            energy.fill_between(t, to_db(smooth.low), to_db(smooth.high), color=ENERGY_COLOUR, alpha=0.35, lw=0)
        energy.plot(t, to_db(smooth.mean if overview else smooth.high), color=ENERGY_COLOUR, lw=0.9,
                    label="smoothed (mean per column)" if overview else "smoothed")  # fmt: skip
    lines = [
        (view.threshold, THRESHOLD_COLOUR, "-", "threshold"),
        (view.noise_floor, FLOOR_COLOUR, "--", "noise floor"),
        (settings.base_thresh, LIMIT_COLOUR, ":", "base / max limits"),
        (settings.max_thresh, LIMIT_COLOUR, ":", None),
    ]
    for value, colour, style, label in lines:
        if math.isfinite(value):
            energy.axhline(float(to_db(np.array([value]))[0]), color=colour, ls=style, lw=1.1, label=label)
    levels = [float(to_db(np.array([v]))[0]) for v in (view.threshold, view.noise_floor, settings.base_thresh)]
    top = float(to_db(np.array([max(float(np.max(energies, initial=0.0)), 1e-6)]))[0])
    energy.set_ylim(max(FLOOR_DB, min(levels) - 20.0), max(top, *levels) + 6.0)
    energy.set_ylabel("energy (dBFS)")
    energy.legend(loc="upper right", fontsize="small", ncols=5, framealpha=0.9)
    energy.grid(alpha=0.25)


def gain_panel(
    gain_ax: Axes, curve: Columns, rate: int, spans: Sequence[tuple[float, float]], offset: int = 0,
    overview: bool = False,
) -> None:  # fmt: skip
    shade(gain_ax, spans, None, bars=overview)
    t = (curve.times + offset) / rate
    if curve.width > 1:  # the range within each column, and the mean gain
        gain_ax.fill_between(t, curve.low, curve.high, color=GAIN_COLOUR, alpha=0.2, lw=0, label="range")
    gain_ax.plot(t, curve.mean, color=GAIN_COLOUR, lw=1.2, label="mean" if curve.width > 1 else None)
    if curve.width > 1:
        gain_ax.legend(loc="upper right", fontsize="small", ncols=2, framealpha=0.9)
    gain_ax.set_ylim(-0.08, 1.08)
    gain_ax.set_ylabel("gain")
    gain_ax.set_xlabel("time (s)")
    gain_ax.grid(alpha=0.25)


def plot_stream(trace: StreamTrace, title: str, settings: GateSettings) -> Figure:
    """The picture of a streaming gate's run, drawn from what it decided chunk by
    chunk: the input and output with the kept stretches, the input's level against
    each chunk's noise floor and threshold, and the gain curve."""
    rate, n, offset = trace.rate, trace.samples, trace.start
    fig = Figure(figsize=(11, 2.3 * 3 + 1.0), dpi=110, layout="constrained")
    wave, energy, gain_ax = fig.subplots(3, 1, sharex=True, height_ratios=[3, 2, 1.3])
    spans = [((offset + a) / rate, (offset + b) / rate) for a, b in trace.kept]
    duration = n / rate
    share = sum(b - a for a, b in trace.kept) / n if n else 0.0
    noun = "region" if len(spans) == 1 else "regions"
    overview = duration > OVERVIEW_SECONDS or len(spans) > OVERVIEW_REGIONS
    hint = f" (an overview: look closer with --plot-range {zoom_hint(spans, offset, offset + n, rate)})" if overview else ""
    wave.set_title(f"{title}: {duration:.2f} s, kept {share:.0%} in {len(spans)} {noun}{hint}", loc="left")
    shade(wave, spans, "kept", bars=overview)
    inputs = trace.input.columns()
    envelope(wave, inputs, rate, INPUT_COLOUR, "input", offset)
    envelope(wave, trace.output.columns(), rate, OUTPUT_COLOUR, "output", offset)
    peak = float(max(np.max(inputs.high, initial=0.0), -np.min(inputs.low, initial=0.0)))
    limit = 1.08 * peak if peak > 0 else 1.0
    wave.set_ylim(-limit, limit)
    wave.set_xlim(offset / rate, (offset + max(n, 1)) / rate)
    wave.set_ylabel("amplitude")
    wave.legend(loc="upper right", fontsize="small", ncols=5, framealpha=0.9)
    wave.grid(alpha=0.25)

    shade(energy, spans, None, bars=overview)
    read = inputs if trace.level is None else trace.level.columns()
    t = (read.times + offset) / rate
    name = "input level (RMS)" if trace.level is None else "level in the band (RMS)"
    energy.plot(t, to_db(read.rms), color=ENERGY_COLOUR, lw=0.8, alpha=0.8, label=name)
    for running, colour, style, name in ((trace.threshold, THRESHOLD_COLOUR, "-", "threshold"),
                                         (trace.floor, FLOOR_COLOUR, "--", "noise floor")):  # fmt: skip
        cols = running.columns()
        energy.plot((cols.times + offset) / rate, to_db(cols.mean), color=colour, ls=style, lw=1.1, label=name)
    limits: list[tuple[float, str | None]] = [(settings.base_thresh, "base / max limits"),
                                              (settings.max_thresh, None)]  # fmt: skip
    for value, label in limits:
        if math.isfinite(value):
            energy.axhline(float(to_db(np.array([value]))[0]), color=LIMIT_COLOUR, ls=":", lw=1.1, label=label)
    levels = [float(v) for v in to_db(np.concatenate([trace.threshold.low, trace.floor.low,
                                                      [settings.base_thresh]]))]  # fmt: skip
    top = float(np.max(to_db(np.concatenate([read.rms, trace.threshold.high, [1e-6]]))))
    energy.set_ylim(max(FLOOR_DB, min(levels) - 20.0), max(top, *levels) + 6.0)
    energy.set_ylabel("level (dBFS)")
    energy.legend(loc="upper right", fontsize="small", ncols=5, framealpha=0.9)
    energy.grid(alpha=0.25)
    gain_panel(gain_ax, trace.gain.columns(), rate, spans, offset, overview)
    return fig
