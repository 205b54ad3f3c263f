"""Types of the analysis module; talvane_rs.analyse is its interface."""

from typing import Any, Literal, final

import numpy as np
import numpy.typing as npt

from talvane_rs._native import StreamingEnergyTalvane

def analyse(
    data: Any,
    sample_rate: Any,
    enabled: Any,
    window_ms: Any,
    base_thresh: Any,
    threshold_ratio: Any,
    max_thresh: Any,
    smooth_alpha: Any,
    min_voice_windows: Any,
    attenuation: Any,
    noise_floor_percentile: Any,
    max_silence_gap_windows: Any,
    fade_ms: Any,
    stream_context_ms: Any,
    pad_voice_windows: Any,
    pass_windows: Any,
) -> tuple[int, Any, Any, float, float, Any, Any, Any, int, object]: ...
def mask(view: object) -> Any: ...
def gains(view: object) -> Any: ...
def gains_part(view: object, start: Any, stop: Any) -> Any: ...
def runs(view: object) -> list[tuple[int, int]]: ...
def band_filter(samples: Any, sample_rate: Any, low_hz: Any, high_hz: Any) -> Any: ...

class BandFilter:
    def __new__(cls, sample_rate: Any, low_hz: Any, high_hz: Any) -> BandFilter: ...
    def process(self, chunk: Any) -> Any: ...
    def reset(self) -> None: ...

@final
class StreamView:
    """What a StreamingEnergyTalvane's last analysed call decided for its chunk.

    A snapshot: later calls on the stream do not change it. ``noise_floor``,
    ``threshold`` and ``clamped`` are those of ``analyse()`` over the call's
    context plus chunk. ``keep_windows`` holds the keep flag of each analysis
    window that holds samples of the chunk; the first of them may begin in the
    context, ``first_window_offset`` samples before the chunk's first sample.
    ``keep`` is the flag of each chunk sample and ``gains`` the gains the chunk
    was multiplied by.
    """

    @property
    def noise_floor(self) -> float: ...
    @property
    def threshold(self) -> float: ...
    @property
    def clamped(self) -> Literal["low", "high"] | None: ...
    @property
    def window_len(self) -> int: ...
    @property
    def first_window_offset(self) -> int: ...
    @property
    def chunk_len(self) -> int: ...
    @property
    def keep_windows(self) -> npt.NDArray[np.bool_]: ...
    @property
    def keep(self) -> npt.NDArray[np.bool_]: ...
    @property
    def gains(self) -> npt.NDArray[np.float32]: ...

def stream_view(stream: StreamingEnergyTalvane) -> StreamView | None: ...
