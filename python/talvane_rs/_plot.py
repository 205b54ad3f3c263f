"""Picture of one gated file: waveform, kept regions shaded, gain curve."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from talvane_rs.regions import Region

MAX_COLUMNS = 3000  # min/max pairs drawn per curve, about one per pixel column
INPUT_COLOUR, OUTPUT_COLOUR, KEPT_COLOUR, GAIN_COLOUR = "#9a9a9a", "#1565c0", "#43a047", "#c62828"


Curve = npt.NDArray[np.float64]


def min_max_trace(values: npt.NDArray[np.floating], rate: int) -> tuple[Curve, Curve]:
    """Times and values of a line through each bucket's minimum and maximum, so a
    long recording draws as its envelope and a short one as itself."""
    y = np.nan_to_num(values.astype(np.float64), nan=0.0, posinf=0.0, neginf=0.0)
    bucket = max(1, -(-len(y) // MAX_COLUMNS))
    if bucket == 1:
        return np.arange(len(y)) / rate, y
    columns = -(-len(y) // bucket)
    padded = np.concatenate([y, np.full(columns * bucket - len(y), y[-1])]).reshape(columns, bucket)
    times = (np.arange(columns) * bucket + bucket / 2) / rate
    trace = np.column_stack([padded.min(axis=1), padded.max(axis=1)]).ravel()
    return np.repeat(times, 2), trace


def shade(ax: Axes, regions: Sequence[Region], label: str | None) -> None:
    for i, r in enumerate(regions):
        ax.axvspan(r.start_s, r.end_s, color=KEPT_COLOUR, alpha=0.18, lw=0, label=label if i == 0 else None)


def plot_gate(
    x: npt.NDArray[np.float32],
    rate: int,
    regions: Sequence[Region],
    title: str,
    out: npt.NDArray[np.float32] | None = None,
    gain: Curve | None = None,
) -> Figure:
    """The input waveform with its kept regions shaded; for a gated file, also the
    output over it and the gain curve below."""
    fig = Figure(figsize=(11, 5.2 if gain is not None else 3.6), dpi=110, layout="constrained")
    if gain is not None:
        wave, gain_ax = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1.4])
    else:
        wave, gain_ax = fig.subplots(1, 1), None
    duration = len(x) / rate
    kept = sum(r.end - r.start for r in regions)
    share = kept / len(x) if len(x) else 0.0
    noun = "region" if len(regions) == 1 else "regions"
    wave.set_title(f"{title}: {duration:.2f} s, kept {share:.0%} in {len(regions)} {noun}", loc="left")

    shade(wave, regions, "kept")
    wave.plot(*min_max_trace(x, rate), color=INPUT_COLOUR, lw=0.7, label="input")
    if out is not None:
        wave.plot(*min_max_trace(out, rate), color=OUTPUT_COLOUR, lw=0.7, label="gated output")
    peak = float(np.max(np.abs(np.nan_to_num(x, nan=0.0, posinf=0.0, neginf=0.0)), initial=0.0))
    limit = 1.08 * peak if peak > 0 else 1.0
    wave.set_ylim(-limit, limit)
    wave.set_xlim(0, max(duration, 1 / rate))
    wave.set_ylabel("amplitude")
    wave.legend(loc="upper right", fontsize="small", ncols=3, framealpha=0.9)
    wave.grid(alpha=0.25)

    if gain_ax is None or gain is None:
        wave.set_xlabel("time (s)")
        return fig
    shade(gain_ax, regions, None)
    gain_ax.plot(*min_max_trace(gain, rate), color=GAIN_COLOUR, lw=1.2)
    finite = gain[np.isfinite(gain)]
    low = min(0.0, float(finite.min(initial=0.0)))
    high = max(1.0, float(finite.max(initial=1.0)))
    margin = 0.08 * (high - low)
    gain_ax.set_ylim(low - margin, high + margin)
    gain_ax.set_ylabel("gain")
    gain_ax.set_xlabel("time (s)")
    gain_ax.grid(alpha=0.25)
    return fig
