"""The frames of an open audio file: float32 blocks with non-finite samples
replaced and counted, the mono mix (16- and 32-bit samples also in their own
units), the length its header declares against what was found, and the frames
read again for a second pass over every channel.

Memory: the mono mix of the whole file is held when asked for, everything else
goes by blocks.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs.errors import Checkpoint, FileError
from talvane_rs.samples import mean_channels

FloatArray = npt.NDArray[np.float32]


BLOCK = 1 << 20  # frames read or written at a time


@dataclass
class Stats:
    """What the read found besides the samples."""

    nonfinite: int = 0  # NaN and infinite samples, over every channel
    first_bad: int = -1  # frame of the first one


def replace_nonfinite(block: FloatArray, offset: int, stats: Stats | None) -> None:
    """Sets NaN and infinite samples of block to 0.0 in place, counting them in stats."""
    bad = ~np.isfinite(block)
    if not bad.any():
        return
    if stats is not None:
        stats.nonfinite += int(np.count_nonzero(bad))
        if stats.first_bad < 0:
            rows = bad if bad.ndim == 1 else bad.any(axis=1)
            stats.first_bad = offset + int(np.argmax(rows))
    block[bad] = 0.0


def libsndfile_cause(f: sf.SoundFile | None, e: Exception) -> str:
    """What libsndfile said, with the system's reason for a system error (which
    soundfile reports as a bare "System error.")."""
    text = getattr(e, "error_string", None) or str(e)
    if f is not None and getattr(e, "code", None) == 2:  # SFE_SYSTEM
        try:
            said = sf._ffi.string(sf._snd.sf_strerror(f._file)).decode(errors="replace")
        except Exception:  # soundfile's internals moved: keep its own words
            return text
        text = said.split(":", 1)[-1].strip().rstrip(".") or text
    return text


def declared_frames(f: sf.SoundFile) -> int | None:
    """The frames a WAV file's header gives for its samples, which soundfile does
    not tell (it gives those there are); None for other formats, or a header it
    does not say."""
    from talvane_rs.io.pipe import read_wav_header

    if f.format not in ("WAV", "WAVEX"):
        return None
    try:
        if isinstance(f.name, (str, bytes, os.PathLike)):
            with open(f.name, "rb") as stream:
                layout, size = read_wav_header(stream)
        else:  # a file object soundfile reads through: put back where it was
            at = f.name.tell()
            try:
                f.name.seek(0)
                layout, size = read_wav_header(f.name)
            finally:
                f.name.seek(at)
    except (OSError, FileError, ValueError):
        return None
    return None if size is None else size // layout.frame_bytes


def truncation(declared: int | None, found: int, rate: int) -> str | None:
    """The note for an input that holds fewer frames than its header gives."""
    if declared is None or found >= declared:
        return None
    return (f"truncated: its header gives {declared / rate:.2f} s ({declared:,} frames), and {found / rate:.2f} s "
            f"({found:,} frames) are there")  # fmt: skip


def nonfinite_possible(f: sf.SoundFile) -> bool:
    """Whether the file's samples can be NaN or infinite: not when stored as integers."""
    return not (f.subtype.startswith("PCM_") or f.subtype in ("ULAW", "ALAW", "DWVW_12", "DWVW_16", "DWVW_24"))


def read_blocks(f: sf.SoundFile, stats: Stats | None = None, most: int = BLOCK,
                dtype: str = "float32") -> Iterator[FloatArray]:  # fmt: skip
    """The file's frames from the start, (frames, channels) blocks of `dtype`
    (float32 unless asked) of at most `most` frames, with non-finite samples
    replaced by 0.0 (and counted in stats when given). Each block's buffer is
    refilled by the next."""
    f.seek(0)
    buffer = np.empty((most, f.channels), dtype=dtype)
    check = nonfinite_possible(f) and buffer.dtype.kind == "f"
    at = 0
    while True:
        try:
            block = f.read(out=buffer)
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if len(block) == 0:
            return
        if check:
            replace_nonfinite(block, at, stats)
        at += len(block)
        yield block


# 16- and 32-bit PCM, read again as the integers they are to be written back exactly.
INTEGER_SUBTYPES = {"PCM_16": "int16", "PCM_32": "int32"}


def in_units(mix: FloatArray, integer: str) -> npt.NDArray[np.float64]:
    """A stretch of the mono mix of integer channels in their own units, exactly
    (the scale is a power of two), in double precision: what is computed from
    it is rounded once, half to even and saturated, into that integer type."""
    from talvane_rs.samples import SCALES

    return mix.astype(np.float64) / SCALES[integer]


def read_mix(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """The mono mix of the whole file (the mean of the channels in float32, or the
    one channel itself) and what the read found."""
    if f.channels > 1:
        stats = Stats()
        mix = np.empty(max(f.frames, 0), dtype=np.float32)
        at = 0
        for block in read_blocks(f, stats):
            checkpoint()
            if at + len(block) > len(mix):  # more frames than the header said
                mix = np.concatenate([mix[:at], np.empty(max(len(block), at // 4), dtype=np.float32)])
            mix[at : at + len(block)] = mean_channels(block)
            at += len(block)
        return mix[:at], stats
    return read_mono(f, checkpoint)


def read_mono(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """A one-channel file read straight into its array, block by block."""
    stats = Stats()
    check = nonfinite_possible(f)
    x = np.empty(max(f.frames, 0), dtype=np.float32)
    at = 0
    f.seek(0)
    spare = np.empty(0, dtype=np.float32)
    while True:
        checkpoint()
        # Past the frames the header counts, into a spare block first: most files end there.
        into = x[at : at + BLOCK] if at < len(x) else spare
        if at == len(x) and len(spare) == 0:
            into = spare = np.empty(BLOCK, dtype=np.float32)
        try:
            got = len(f.read(out=into))
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if got == 0:
            break
        if into is spare:
            x = np.concatenate([x[:at], spare[:got], np.empty(max(BLOCK, at // 4), dtype=np.float32)])
        if check:
            replace_nonfinite(x[at : at + got], at, stats)
        at += got
    return x[:at], stats


def peak_of(f: sf.SoundFile, mix: FloatArray) -> float:
    """The largest magnitude of any channel (after the replacement of non-finite samples)."""
    if f.channels == 1:
        return float(max(np.max(mix, initial=0.0), -np.min(mix, initial=0.0)))
    return max((float(np.max(np.abs(block), initial=0.0)) for block in read_blocks(f)), default=0.0)


class Reread:
    """Frames of the file read again from the start, in increasing order: ranges
    are read forward, skipping what lies between."""

    def __init__(self, f: sf.SoundFile, dtype: str = "float32") -> None:
        self._blocks = read_blocks(f, dtype=dtype)
        self._held = np.empty((0, f.channels), dtype=dtype)
        self._at = 0  # frame of self._held[0]

    def frames(self, start: int, stop: int) -> FloatArray:
        parts = []
        while start < stop:
            if start >= self._at + len(self._held):
                self._at += len(self._held)
                self._held = next(self._blocks, None)  # type: ignore[arg-type]
                if self._held is None:
                    raise FileError("the file ended early when read again")
                continue
            # A copy: the block's buffer is refilled by the next read.
            part = self._held[start - self._at : stop - self._at].copy()
            parts.append(part)
            start += len(part)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)
