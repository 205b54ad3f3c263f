"""Types of the native gate classes."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Bool = bool | np.bool_
_Count = SupportsIndex  # an unsigned 64-bit integer
_Real = SupportsFloat | SupportsIndex  # stored as float32
# The list methods take any sequence of numbers, a NumPy array of any numeric dtype included.
_Samples = Sequence[_Real] | npt.NDArray[Any]
# The array methods take a one-dimensional, contiguous float32 array, read in place.
_Float32Array = npt.NDArray[np.float32]

__all__: list[str]

@final
class EnergyTalvane:
    def __init__(
        self,
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
    ) -> None: ...
    def compute_keep_mask(self, data: _Samples, sample_rate: _Count) -> list[bool]: ...
    def compute_keep_mask_array(self, data: _Float32Array, sample_rate: _Count) -> npt.NDArray[np.bool_]: ...
    def apply_array(self, data: _Samples, sample_rate: _Count) -> list[float]: ...
    def apply_array_np(self, data: _Float32Array, sample_rate: _Count) -> npt.NDArray[np.float32]: ...
    def compact_array(self, data: _Samples, sample_rate: _Count) -> list[float]: ...
    def compact_array_np(self, data: _Float32Array, sample_rate: _Count) -> npt.NDArray[np.float32]: ...

@final
class StreamingEnergyTalvane:
    def __init__(
        self,
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
    ) -> None: ...
    def process_chunk(self, data: _Float32Array, sample_rate: _Count, is_last: _Bool) -> npt.NDArray[np.float32]: ...
    def reset(self) -> None: ...
    def context_len(self) -> int: ...
    def last_gain(self) -> float | None: ...
