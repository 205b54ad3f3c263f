"""Cutting the dropped audio out of a recording, with pauses kept short and joins crossfaded.

``cut(audio, sample_rate, keep_pause_ms=..., crossfade_ms=..., **params)``
is ``compact_array_np`` with two refinements. A dropped stretch longer than the
kept pause is shortened to it rather than removed, half of it kept on each side,
so speech keeps its rhythm; and the pieces left are joined with an equal-power
crossfade rather than butted, so a join does not click. With both at 0 the
result is that of ``compact_array_np``, bit for bit.

``plan_cut`` and ``cut_steps`` describe a cut without doing it, so that a long
file can be cut block by block.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from talvane_rs.analysis import analyse_settings, keyword_signature
from talvane_rs.params import GateSettings, ProductKeywords
from talvane_rs.units import ms_to_samples

if TYPE_CHECKING:
    from typing_extensions import Unpack



@dataclass(frozen=True)
class Piece:
    """A stretch ``[start, end)`` of the input that the cut keeps, and the length
    of the crossfade that joins it to the piece before (0: butted, or the first)."""

    start: int
    end: int
    fade: int = 0


def plan_cut(
    regions: Sequence[tuple[int, int]], n_samples: int, sample_rate: int, keep_pause: int = 0, crossfade: int = 0
) -> list[Piece]:
    """The pieces a cut keeps, in order, with the crossfade of each join.

    ``regions`` are the kept runs ``[start, end)`` of the gate's mask, in order
    and apart; ``keep_pause`` and ``crossfade`` are in samples. A dropped stretch
    between two regions that is longer than ``keep_pause`` keeps ``keep_pause //
    2`` samples after the speech before it and the rest (the larger half) before
    the speech after it; a shorter one is kept whole. Silence before the first
    region keeps at most that larger half, silence after the last at most the
    smaller one. Each join fades over ``crossfade`` samples, fewer where a piece
    is shorter: a fade takes at most a piece's length, or half of it when the
    piece is joined at both ends. With nothing kept, the first half second is
    kept instead, as by ``compact_array_np``.
    """
    if keep_pause < 0 or crossfade < 0:
        raise ValueError("keep_pause and crossfade must not be negative")
    if not regions:
        head = min(sample_rate // 2, n_samples)
        return [Piece(0, head)] if head > 0 else []
    after, before = keep_pause // 2, keep_pause - keep_pause // 2
    spans: list[list[int]] = []
    for start, end in regions:
        if not spans:
            spans.append([start - min(start, before), end])
        elif start - spans[-1][1] <= keep_pause:
            spans[-1][1] = end  # the pause is kept whole: no join
        else:
            spans[-1][1] += after
            spans.append([start - before, end])
    spans[-1][1] += min(n_samples - spans[-1][1], after)

    pieces = [Piece(spans[0][0], spans[0][1])]
    last = len(spans) - 1
    for i in range(1, len(spans)):
        left = spans[i - 1][1] - spans[i - 1][0]
        right = spans[i][1] - spans[i][0]
        left_room = left if i - 1 == 0 else left // 2
        right_room = right if i == last else right // 2
        pieces.append(Piece(spans[i][0], spans[i][1], min(crossfade, left_room, right_room)))
    return pieces


def output_length(pieces: Sequence[Piece]) -> int:
    """Samples in the result: every piece, less one crossfade per join."""
    return sum(p.end - p.start - p.fade for p in pieces)


# ("copy", start, end, 0): input samples [start, end) go out as they are.
# ("fade", tail, head, length): the input's [tail, tail + length) fading out,
# added to its [head, head + length) fading in.
Step = tuple[str, int, int, int]


def cut_steps(pieces: Sequence[Piece]) -> Iterator[Step]:
    """The steps that write the cut, in output order; the input positions they
    read never go back, so a file can be read once, front to back."""
    for i, piece in enumerate(pieces):
        start = piece.start + piece.fade
        end = piece.end - (pieces[i + 1].fade if i + 1 < len(pieces) else 0)
        if end > start:
            yield ("copy", start, end, 0)
        if i + 1 < len(pieces) and pieces[i + 1].fade > 0:
            fade = pieces[i + 1].fade
            yield ("fade", piece.end - fade, pieces[i + 1].start, fade)


def crossfade(tail: Any, head: Any) -> Any:
    """The equal-power crossfade of two stretches of the same shape (samples
    first, then channels): tail times cos, head times sin, over quarter-period
    steps centred in each sample, so the power of uncorrelated audio stays level.
    Computed in double precision and given in the stretches' own type: a float
    type rounded to it, an integer type rounded half to even and saturated."""
    import numpy as np

    length = len(tail)
    angle = (np.arange(length, dtype=np.float64) + 0.5) * (math.pi / 2.0 / length)
    shape = (length,) + (1,) * (tail.ndim - 1)
    mixed = tail * np.cos(angle).reshape(shape) + head * np.sin(angle).reshape(shape)
    return to_type(mixed, tail.dtype)


def to_type(values: Any, dtype: Any) -> Any:
    """Double-precision samples in dtype: rounded to a float type, or rounded half
    to even and saturated to an integer type (never wrapped)."""
    import numpy as np

    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return values.astype(dtype)
    limits = np.iinfo(dtype)
    return np.clip(np.rint(values), limits.min, limits.max).astype(dtype)


def cut(
    audio: Any,
    sample_rate: int,
    *,
    keep_pause_ms: float = 0.0,
    crossfade_ms: float = 0.0,
    preset: str | None = None,
    **params: Unpack[ProductKeywords],
) -> Any:
    """The audio with what the gate drops cut out.

    ``audio`` is a NumPy array of float32, float64, int16 or int32 samples,
    one-dimensional or two-dimensional (samples, channels); the decision is made
    on the float32 mean of the channels (integers read as full scale 1.0), and
    the same samples are kept in each. ``keep_pause_ms`` and ``crossfade_ms``
    are durations in milliseconds (see ``plan_cut``; both rounded to whole
    samples, halves away from zero); the other keywords are the parameters of
    ``EnergyTalvane``, and ``band``, ``rule`` and ``preset`` as ``analyse`` takes
    them. Kept samples are copied as they are; crossfaded ones are computed in
    double precision and rounded to the audio's type (integers half to even,
    saturated). With both at 0 a one-dimensional float32 result equals
    ``compact_array_np``'s. Returns a new array of the audio's type; the input
    is not modified. Needs NumPy.
    """
    import numpy as np

    from talvane_rs import samples

    x = samples.check(audio)
    rate = samples.rate(sample_rate)
    for name, value in (("keep_pause_ms", keep_pause_ms), ("crossfade_ms", crossfade_ms)):
        if not (value >= 0 and math.isfinite(value)):
            raise ValueError(f"{name} must be a finite number of at least 0, not {value!r}")
    if len(x) == 0:
        return x.copy()  # nothing to analyse, as for compact_array_np
    mono = samples.mono(x)
    view = analyse_settings(mono, rate, GateSettings.from_keywords("cut()", params, preset))
    pieces = plan_cut(list(view.regions), len(mono), rate, ms_to_samples(rate, keep_pause_ms),
                      ms_to_samples(rate, crossfade_ms))  # fmt: skip
    out = np.empty((output_length(pieces),) + x.shape[1:], dtype=x.dtype)
    at = 0
    for kind, a, b, length in cut_steps(pieces):
        if kind == "copy":
            out[at : at + b - a] = x[a:b]
            at += b - a
        else:
            out[at : at + length] = crossfade(x[a : a + length], x[b : b + length])
            at += length
    return out


cut.__signature__ = keyword_signature(cut)  # type: ignore[attr-defined]
