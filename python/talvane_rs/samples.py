"""What the product API takes for audio, and the mono float32 it decides on.

People pass float32, float64, int16 and int32 arrays, mono (one dimension) or
frames by channels (two). The decision is made once, on the float32 mean of the
channels, integers read as full scale 1.0 (int16 / 32768, int32 / 2**31):
values convert to float32 (rounding a float64 to the nearest), channels are
summed in order from the first and the sum divided by their count, in float32.
"""

from __future__ import annotations

from typing import Any

SCALES = {"int16": 2.0**-15, "int32": 2.0**-31}  # integer types, and the float32 step of one unit
ACCEPTED = "a NumPy array of float32, float64, int16 or int32 samples, one-dimensional (mono) or two-dimensional " \
    "(frames x channels)"  # fmt: skip


def rate(sample_rate: Any) -> int:
    """sample_rate as a positive int (Hz): TypeError for a value that is not an
    integer, ValueError naming a zero or negative one."""
    import operator

    value = operator.index(sample_rate)
    if value < 1:
        raise ValueError(f"sample_rate must be at least 1 Hz, not {value}")
    return value


def check(audio: Any, what: str = "audio") -> Any:
    """audio as a NumPy array of an accepted type and shape; TypeError or
    ValueError saying in one sentence what was expected and what came."""
    import numpy as np

    if not isinstance(audio, np.ndarray):
        raise TypeError(f"{what} must be {ACCEPTED}, not {type(audio).__name__}")
    if audio.dtype.name not in ("float32", "float64", *SCALES):
        raise TypeError(f"{what} must be {ACCEPTED}, not an array of {audio.dtype}")
    if audio.ndim not in (1, 2) or (audio.ndim == 2 and audio.shape[1] == 0):
        shape = "x".join(map(str, audio.shape)) or "0-dimensional"
        raise ValueError(f"{what} must be {ACCEPTED}, not an array of shape {shape}")
    return audio


def as_float32(audio: Any) -> Any:
    """The samples as float32, integers read as full scale 1.0; a float32 array is returned as it is."""
    import numpy as np

    if audio.dtype == np.float32:
        return audio
    scale = SCALES.get(audio.dtype.name)
    if scale is None:
        return audio.astype(np.float32)
    # int16 and int32 become float32 before the exact power-of-two scaling, as a WAV reader reads them.
    return audio.astype(np.float32) * np.float32(scale)


def mono(audio: Any, what: str = "audio") -> Any:
    """The mono float32 a decision is made on: one-dimensional and contiguous."""
    import numpy as np

    samples = as_float32(check(audio, what))
    return np.ascontiguousarray(samples) if samples.ndim == 1 else mean_channels(samples)


def mean_channels(frames: Any) -> Any:
    """The float32 mean of the channels of (frames, channels) float32: summed in
    channel order from the first, divided by their count; one channel as it is."""
    import numpy as np

    total = frames[:, 0].copy()
    for channel in range(1, frames.shape[1]):
        total += frames[:, channel]
    if frames.shape[1] > 1:
        total /= np.float32(frames.shape[1])
    return total
