"""Raw PCM: the layout the command line names (--raw s16le:16000:1), its frames
read as they come, and the same layout written back block by block.

This module imports only the standard library at the top: the command line reads
the layout before it knows that NumPy is there.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from talvane_rs.io.sink import Output

# Each sample format: NumPy's dtype for it, and the soundfile subtype that names it.
FORMATS = {
    "s16le": ("<i2", "PCM_16"),
    "s32le": ("<i4", "PCM_32"),
    "f32le": ("<f4", "FLOAT"),
    "f64le": ("<f8", "DOUBLE"),
    "s16be": (">i2", "PCM_16"),
    "s32be": (">i4", "PCM_32"),
    "f32be": (">f4", "FLOAT"),
    "f64be": (">f8", "DOUBLE"),
}

RATE_MOST, CHANNELS_MOST = 0xFFFFFFFF, 0xFFFF


@dataclass(frozen=True)
class RawLayout:
    """How raw samples lie: sample format, rate in Hz, channels interleaved."""

    format: str
    rate: int
    channels: int

    @property
    def dtype(self) -> str:
        return FORMATS[self.format][0]

    @property
    def subtype(self) -> str:
        return FORMATS[self.format][1]

    @property
    def frame_bytes(self) -> int:
        return int(self.dtype[2:]) * self.channels

    def __str__(self) -> str:
        return f"{self.format}:{self.rate}:{self.channels}"


def parse_raw(text: str) -> RawLayout:
    """FORMAT:RATE:CHANNELS, as --raw takes it."""
    parts = text.strip().lower().split(":")
    why = ""
    if len(parts) != 3:
        why = "three parts are needed"
    elif parts[0] not in FORMATS:
        why = f"the sample format is one of {', '.join(FORMATS)}"
    else:
        # The ranges a WAV header holds, so that any output can describe the input.
        for name, part, most in (("rate", parts[1], RATE_MOST), ("channel count", parts[2], CHANNELS_MOST)):
            if not (part.isascii() and part.isdigit() and 1 <= int(part) <= most):
                why = f"the {name} is a whole number from 1 to {most:,}"
                break
    if why:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: {why}; expected FORMAT:RATE:CHANNELS such as "
                                         "s16le:16000:1")  # fmt: skip
    return RawLayout(parts[0], int(parts[1]), int(parts[2]))


def decode(data: bytes, layout: RawLayout) -> npt.NDArray[np.generic]:
    """Whole frames as (frames, channels) samples of the layout's type, in native byte order."""
    import numpy as np

    values = np.frombuffer(data, dtype=layout.dtype).reshape(-1, layout.channels)
    return values.astype(np.dtype(layout.dtype).newbyteorder("="), copy=False)


def write_raw(out: Output, layout: RawLayout, blocks: Iterator[npt.NDArray[np.generic]],
              flush: bool = False) -> None:  # fmt: skip
    """Each block (frames by channels, or one channel) as the layout's samples; flushed
    after each when asked, so that a reader gets every block as it is made."""
    import numpy as np

    for block in blocks:
        out.write(np.ascontiguousarray(block, dtype=layout.dtype).tobytes())
        if flush:
            out.flush()

