"""Why the gate kept or dropped each stretch: every intermediate of one analysis.

``analyse(data, sample_rate, **gate_params)`` runs the same analysis as
``EnergyTalvane.compute_keep_mask_array`` and returns what it computed on the
way: window energies, smoothed energies, the noise floor, the threshold and
which limit clamped it, the voice decision before cleaning and the keep decision
after it. The per-sample fields (``mask``, ``gains``, ``regions``) are computed
when first read, so the view of a long recording stays small.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal, SupportsFloat, SupportsIndex, Union

from talvane_rs import _analysis, samples
from talvane_rs.band import resolve_band
from talvane_rs.params import PRODUCT_PARAMETERS, GateSettings, ProductKeywords
from talvane_rs.regions import Region

if TYPE_CHECKING:
    from collections.abc import Sequence

    import numpy as np
    import numpy.typing as npt
    from typing_extensions import Unpack

    _Real = Union[SupportsFloat, SupportsIndex]
    _Samples = Union[Sequence[_Real], npt.NDArray[Any]]


def keyword_signature(func: Callable[..., Any]) -> inspect.Signature:
    """func's signature with its **params spelled out as the product's keywords
    and their defaults, for help() and editors that read it at run time."""
    signature = inspect.signature(func)
    head = [p for p in signature.parameters.values() if p.kind is not p.VAR_KEYWORD]
    keywords = [inspect.Parameter(p.name, inspect.Parameter.KEYWORD_ONLY, default=p.default)
                for p in PRODUCT_PARAMETERS]  # fmt: skip
    return signature.replace(parameters=[*head, *keywords])


def _frozen(array: Any) -> Any:
    array.flags.writeable = False
    return array


@dataclass(frozen=True, eq=False, repr=False)
class Analysis:
    """Every intermediate of one analysis of a recording.

    Per window (``window_len`` samples each, the last one possibly shorter):
    ``energies`` (RMS), ``smoothed`` (after the exponential smoothing),
    ``voice`` (smoothed energy above the threshold, before cleaning) and
    ``keep_windows`` (after the four cleaning passes). ``noise_floor`` is the
    percentile of the smoothed energies, ``threshold`` the floor times
    ``threshold_ratio`` clamped to ``[base_thresh, max_thresh]``, and
    ``clamped`` says which limit applied: ``"low"``, ``"high"`` (the noise is
    louder than ``max_thresh``, so everything above it counts as voice) or
    ``None``. Under the noise rule (``rule="noise"``) the floor is multiplied by
    ``ratio``, the larger of ``threshold_ratio`` and the eighth root of
    ``high_percentile`` (the 95th percentile of the smoothed energies) over the
    floor; under the ratio rule ``ratio`` is ``threshold_ratio`` and
    ``high_percentile`` is None. With the music measure (``music=True``),
    ``music_steadiness`` and ``music_novelty`` are the averaged steadiness and
    novelty of the band's whitened spectrum each window read (the last
    spectrum taken at or before its end, one every two windows), and
    ``music_factor`` (1 to 3) what its threshold was multiplied by, never above
    ``max_thresh``; without it they are None. Per sample, computed when first read: ``mask`` (equal to
    ``compute_keep_mask_array``), ``gains`` (the curve ``apply_array``
    multiplies by: 1.0, ``attenuation`` and the ramps; all ones when the gate is
    disabled) and ``regions`` (``keep_regions(mask, sample_rate)``, which needs a
    positive rate). ``gains_part(start, stop)`` gives a stretch of the gains
    alone. Every array is read-only.
    """

    window_len: int
    energies: npt.NDArray[np.float32]
    smoothed: npt.NDArray[np.float32]
    noise_floor: float
    threshold: float
    clamped: Literal["low", "high"] | None
    voice: npt.NDArray[np.bool_]
    keep_windows: npt.NDArray[np.bool_]
    sample_rate: int
    _view: object = field(repr=False)
    band: tuple[float | None, float | None] | None = None  # the edges in Hz the analysis read through, if any
    ratio: float = 2.0  # what the floor was multiplied by
    high_percentile: float | None = None  # what the noise rule read; None under the ratio rule
    # The music measure's values each window read (float32 per window), None without it.
    music_steadiness: npt.NDArray[np.float32] | None = None
    music_novelty: npt.NDArray[np.float32] | None = None
    music_factor: npt.NDArray[np.float32] | None = None

    @cached_property
    def mask(self) -> npt.NDArray[np.bool_]:
        """Per sample: kept or not."""
        return _frozen(_analysis.mask(self._view))  # type: ignore[no-any-return]

    @cached_property
    def gains(self) -> npt.NDArray[np.float32]:
        """Per sample: the gain the list method ``apply_array`` multiplies by."""
        return _frozen(_analysis.gains(self._view))  # type: ignore[no-any-return]

    def gains_part(self, start: SupportsIndex, stop: SupportsIndex) -> npt.NDArray[np.float32]:
        """``gains[start:stop]`` for non-negative bounds, bit for bit, computed
        without the rest of the curve: a long recording's gains block by block."""
        return _analysis.gains_part(self._view, start, stop)  # type: ignore[no-any-return]

    @cached_property
    def regions(self) -> list[Region]:
        """The kept stretches, ``[start, end)`` in samples and in seconds."""
        # From the window flags: the same runs as keep_regions(mask), without the mask.
        return [Region(start, end, self.sample_rate) for start, end in _analysis.runs(self._view)]

    def __repr__(self) -> str:
        return (
            f"Analysis(window_len={self.window_len}, windows={len(self.energies)}, "
            f"noise_floor={self.noise_floor!r}, threshold={self.threshold!r}, clamped={self.clamped!r}"
            + ("" if self.band is None else f", band={self.band!r}") + ")"
        )


def analyse(data: _Samples, sample_rate: SupportsIndex, *, preset: str | None = None,
            **params: Unpack[ProductKeywords]) -> Analysis:  # fmt: skip
    """The analysis of ``data`` at ``sample_rate`` with the gate parameters given.

    ``data`` is a NumPy array of float32, float64, int16 or int32 samples, mono
    or frames by channels (the decision is made on the float32 mean of the
    channels, integers read as full scale 1.0; a one-dimensional contiguous
    float32 array is read in place), or any other sequence of numbers
    (converted as by the list methods); ``sample_rate`` is a positive integer
    (a zero or negative one raises ``ValueError``). The parameters are those
    of ``EnergyTalvane``, by keyword, with the same defaults and conversions.
    ``band`` (``"speech"``, or ``(low_hz, high_hz)`` with either edge None) has
    the analysis read the signal through the band filter: the decision is that
    of ``analyse(band_filter(data, sample_rate, band), sample_rate)`` and the
    energies are the filtered signal's, while the gains and the mask apply to
    the audio as it is; a bad band raises ``ValueError`` naming it. Threshold
    limits out of order (or NaN) raise ``ValueError`` with the analysis's
    message. ``rule`` is ``"ratio"`` (the floor times ``threshold_ratio``) or
    ``"noise"`` (see ``Analysis``). ``preset`` (``"speech"``, ``"speech-music"`` or ``"classic"``)
    starts from a preset's values, and each keyword given wins over the
    preset's; another name raises ``ValueError``. Needs NumPy.
    """
    return analyse_settings(data, sample_rate, GateSettings.from_keywords("analyse()", params, preset))


analyse.__signature__ = keyword_signature(analyse)  # type: ignore[attr-defined]


def analyse_settings(data: _Samples, sample_rate: SupportsIndex, settings: GateSettings) -> Analysis:
    """``analyse`` with its parameters as one settings value (durations made
    windows at the rate)."""
    import numpy  # the results are arrays: a plain ImportError without it

    rate = samples.rate(sample_rate)
    if isinstance(data, numpy.ndarray):
        data = samples.mono(data, "data")
    edges = None
    low = high = None
    if settings.band is not None:
        low, high = resolve_band(settings.band, rate)
        edges = (None if low is None else float(low), None if high is None else float(high))

    window_len, energies, smoothed, floor, threshold, clamped, voice, keep, rate, view, top, ratio, music = (
        _analysis.analyse(data, rate, **settings.resolved(rate).native(), low_hz=low, high_hz=high,
                          rule=settings.native_rule, music=settings.music)
    )  # fmt: skip
    steadiness, novelty, factor = (None, None, None) if music is None else map(_frozen, music)
    return Analysis(
        window_len=window_len,
        energies=_frozen(energies),
        smoothed=_frozen(smoothed),
        noise_floor=floor,
        threshold=threshold,
        clamped=clamped,
        voice=_frozen(voice),
        keep_windows=_frozen(keep),
        sample_rate=rate,
        _view=view,
        band=edges,
        ratio=ratio,
        high_percentile=top,
        music_steadiness=steadiness,
        music_novelty=novelty,
        music_factor=factor,
    )
