"""Which frequencies the analysis reads: the band filter and its named bands.

A band is a name (``"speech"``) or a pair ``(low_hz, high_hz)`` in which
either edge may be None: each edge is a second-order (12 dB per octave)
Butterworth, high-pass at the low edge and low-pass at the high one, causal and
defined to the bit in the core
(``src/core/analysis/band_filter.hpp``). Only the signal the analysis measures
is filtered; gains apply to the original audio.

``band_filter(samples, sample_rate, band)`` filters a whole recording from a
fresh state; ``BandFilter(sample_rate, band)`` keeps the state from chunk to
chunk, so any chunking gives the same bits as the whole.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, Optional, SupportsFloat, SupportsIndex, Tuple, Union

from talvane_rs import _analysis
from talvane_rs.samples import mono
from talvane_rs.samples import rate as positive_rate

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

Edge = Optional[SupportsFloat]
Band = Union[str, Tuple[Edge, Edge]]

# Speech carries its energy between the voice's low harmonics and the top of the
# second formant region; below 200 Hz lie mains hum and rumble, above 4 kHz most
# of the power of broadband noise at common rates. See README, "Speech band".
NAMED_BANDS: dict[str, tuple[float, float]] = {"speech": (200.0, 4000.0)}

# A named band's edge at or above this fraction of the Nyquist frequency is dropped:
# the recording holds almost nothing above it (8 kHz telephone audio keeps 200 Hz only).
NAMED_EDGE_LIMIT = 0.9


def resolve_band(band: Band, sample_rate: SupportsIndex) -> tuple[Edge, Edge]:
    """The edges ``(low_hz, high_hz)`` that ``band`` filters at ``sample_rate``.

    A named band drops any edge too close to the Nyquist frequency (or beyond it),
    so it works at every rate; an explicit pair is returned as given, and is
    checked when a filter is made (``ValueError`` naming the bad edge).
    """
    if isinstance(band, str):
        if band not in NAMED_BANDS:
            names = ", ".join(repr(name) for name in NAMED_BANDS)
            raise ValueError(f"unknown band {band!r}: a named band ({names}) or a (low_hz, high_hz) pair")
        limit = NAMED_EDGE_LIMIT * operator.index(sample_rate) / 2
        return tuple(edge if edge < limit else None for edge in NAMED_BANDS[band])  # type: ignore[return-value]
    try:
        low, high = band
    except (TypeError, ValueError):
        raise TypeError(f"band must be a band name or a (low_hz, high_hz) pair, not {band!r}") from None
    return low, high


def parse_band(text: str) -> Band | None:
    """A band as the command line takes it: a named band (speech), LOW-HIGH in Hz,
    LOW- (a high-pass only), -HIGH (a low-pass only), or off. The edges are checked
    against the rate of each file when its filter is made."""
    import argparse
    import math

    value = text.strip().lower().removesuffix("hz").strip()
    if value == "off":
        return None
    if value in NAMED_BANDS:
        return value
    low_text, dash, high_text = value.partition("-")

    def edge(part: str) -> float | None:
        if not part.strip():
            return None
        number = float(part)
        if not (number > 0 and math.isfinite(number)):
            raise ValueError
        return number

    try:
        low, high = edge(low_text), edge(high_text)
    except ValueError:
        low = high = -1.0
    if not dash or low == -1.0 or (low is None and high is None) or (low and high and low >= high):
        names = ", ".join(NAMED_BANDS)
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected {names}, LOW-HIGH in Hz with LOW below "
                                         "HIGH and both above 0 (200-4000), LOW- or -HIGH, or off")  # fmt: skip
    return (low, high)


def band_label(band: Band, sample_rate: SupportsIndex) -> str:
    """A short text for summaries: ``"speech (200-4000 Hz)"``, ``"above 200 Hz"``."""
    low, high = resolve_band(band, sample_rate)
    if low is None and high is None:
        edges = "all frequencies"
    elif low is None:
        edges = f"below {float(high):g} Hz"  # type: ignore[arg-type]
    elif high is None:
        edges = f"above {float(low):g} Hz"
    else:
        edges = f"{float(low):g}-{float(high):g} Hz"
    return f"{band} ({edges})" if isinstance(band, str) else edges


def band_filter(samples: Any, sample_rate: SupportsIndex, band: Band) -> npt.NDArray[np.float32]:
    """``samples`` filtered to ``band``: a new float32 array, one value per frame.

    ``samples`` is taken as ``analyse`` takes its data (a float32, float64, int16
    or int32 array, mono or frames by channels, made the mono float32 the
    decision reads; or any sequence of numbers), so
    ``analyse(band_filter(x, rate, band), rate)`` is the analysis of what the
    band keeps. Needs NumPy.
    """
    import numpy

    sample_rate = positive_rate(sample_rate)
    low, high = resolve_band(band, sample_rate)
    if isinstance(samples, numpy.ndarray):
        samples = mono(samples, "samples")
    return _analysis.band_filter(samples, sample_rate, low, high)  # type: ignore[no-any-return]


class BandFilter:
    """The band filter with its state, for a stream cut into chunks.

    ``process(chunk)`` takes a one-dimensional float32 array and returns the
    filtered chunk as a new one; ``reset()`` starts a new stream. The chunks
    together are, bit for bit, ``band_filter`` of the whole stream.
    """

    def __init__(self, sample_rate: SupportsIndex, band: Band) -> None:
        self.band = band
        self.sample_rate = positive_rate(sample_rate)
        self.low_hz, self.high_hz = resolve_band(band, self.sample_rate)
        self._filter = _analysis.BandFilter(sample_rate, self.low_hz, self.high_hz)

    def process(self, chunk: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """The chunk filtered, carrying the state on to the next call."""
        return self._filter.process(chunk)  # type: ignore[no-any-return]

    def reset(self) -> None:
        """Back to the state before the first chunk."""
        self._filter.reset()

    def __repr__(self) -> str:
        return f"BandFilter({self.sample_rate}, {self.band!r})"
