"""Types of the analysis module; talvane_rs.analyse is its interface."""

from collections.abc import Callable
from types import TracebackType
from typing import Any, Literal, NamedTuple, SupportsFloat, SupportsIndex, TypeVar, final

import numpy as np
import numpy.typing as npt

from talvane_rs._native import StreamingEnergyTalvane

_Bool = bool | np.bool_
_Count = SupportsIndex
_Real = SupportsFloat | SupportsIndex
_Edge = SupportsFloat | None
# The sample types a Stream takes and gives back.
_S = TypeVar("_S", np.float32, np.float64, np.int16, np.int32)

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
    low_hz: Any,
    high_hz: Any,
    rule: Literal["noise"] | None,
    music: bool,
) -> tuple[int, Any, Any, float, float, Any, Any, Any, int, object, float | None, float, tuple[Any, Any, Any] | None]: ...
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
    def ratio(self) -> float: ...
    @property
    def high_percentile(self) -> float: ...
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
    @property
    def music_steadiness(self) -> npt.NDArray[np.float32] | None: ...
    @property
    def music_novelty(self) -> npt.NDArray[np.float32] | None: ...
    @property
    def music_factor(self) -> npt.NDArray[np.float32] | None: ...

def stream_view(stream: StreamingEnergyTalvane | Stream) -> StreamView | None: ...

class Event(NamedTuple):
    """A change of a Stream's keep decision: 'onset' at the first kept sample
    after a dropped one, 'offset' at the first dropped sample after a kept one;
    sample counts frames from the stream's start (or its last reset()), time is
    sample / sample_rate in seconds."""

    kind: Literal["onset", "offset"]
    sample: int
    time: float

@final
class Stream:
    """The streaming gate for one live stream, gated with no delay.

    ``process(chunk)`` takes float32, float64, int16 or int32 samples, mono or
    frames x channels, and returns a new array of the same dtype and shape. The
    decision is made on the float32 mean of the channels, through the band
    filter when ``band`` is set; the gain curve multiplies every channel. After
    each call: ``noise_floor``, ``threshold``, ``clamped``, ``gain``, ``position``
    and ``events``. ``on_event`` is called with each event within the call.
    """

    def __new__(
        cls,
        sample_rate: _Count,
        *,
        band: str | tuple[_Edge, _Edge] | None = None,
        on_event: Callable[[Event], object] | None = None,
        enabled: _Bool = True,
        window_ms: _Count = 10,
        base_thresh: _Real = 0.008,
        threshold_ratio: _Real = 2.0,
        max_thresh: _Real = 0.035,
        smooth_alpha: _Real = 0.2,
        min_voice_windows: _Count = 5,
        attenuation: _Real = 0.0,
        noise_floor_percentile: _Real = 20.0,
        max_silence_gap_windows: _Count = 8,
        fade_ms: _Count = 5,
        stream_context_ms: _Count = 3000,
        pad_voice_windows: _Count = 2,
        pass_windows: _Count = 0,
        rule: Literal["noise"] | None = None,
        music: bool | None = None,
        preset: str | None = None,
    ) -> Stream: ...
    def process(self, chunk: npt.NDArray[_S]) -> npt.NDArray[_S]: ...
    def reset(self) -> None: ...
    def __enter__(self) -> Stream: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None
    ) -> None: ...
    @property
    def noise_floor(self) -> float | None: ...
    @property
    def threshold(self) -> float | None: ...
    @property
    def clamped(self) -> Literal["low", "high"] | None: ...
    @property
    def ratio(self) -> float | None: ...
    @property
    def high_percentile(self) -> float | None: ...
    @property
    def gain(self) -> float | None: ...
    @property
    def position(self) -> int: ...
    @property
    def events(self) -> tuple[Event, ...]: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def band(self) -> tuple[float | None, float | None] | None: ...
