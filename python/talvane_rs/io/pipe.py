"""Audio as it arrives: a WAV stream read from a pipe frame by frame, as soon as
its bytes come, and a WAV stream written the same way, each block flushed.

soundfile needs to seek in what it reads and writes, which a pipe cannot do, so
the stream's header is read and written here and its samples are converted as
soundfile converts them: reading gives the values soundfile reads from the same
file (16- and 32-bit PCM and float64 in their own type, the rest as float32),
and writing encodes through soundfile itself.
"""

from __future__ import annotations

import io
import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs.errors import Blocking, FileError, never_stops
from talvane_rs.io.sink import Output

FloatArray = npt.NDArray[np.float32]

# WAVE format tags and sample widths, and the subtype soundfile names them by.
_PCM, _FLOAT, _EXTENSIBLE = 1, 3, 0xFFFE
_SUBTYPES = {(_PCM, 8): "PCM_U8", (_PCM, 16): "PCM_16", (_PCM, 24): "PCM_24", (_PCM, 32): "PCM_32",
             (_FLOAT, 32): "FLOAT", (_FLOAT, 64): "DOUBLE"}  # fmt: skip
_TAGS = {subtype: key for key, subtype in _SUBTYPES.items()}
UNKNOWN = 0xFFFFFFFF  # a size a streamed header cannot know yet


class Readable(Protocol):
    def read(self, count: int = -1, /) -> bytes: ...


@dataclass(frozen=True)
class Layout:
    """How samples lie in a stream: soundfile's subtype name, rate, channels; little-endian."""

    subtype: str
    rate: int
    channels: int

    @property
    def sample_bytes(self) -> int:
        return _TAGS[self.subtype][1] // 8

    @property
    def frame_bytes(self) -> int:
        return self.sample_bytes * self.channels


def can_stream(subtype: str) -> bool:
    """Whether samples of this subtype can be written to a WAV stream."""
    return subtype in _TAGS


def read_exactly(stream: Readable, count: int, blocking: Blocking) -> bytes:
    """count bytes, waiting for them; fewer only where the stream ends."""
    parts, got = [], 0
    while got < count:
        with blocking():
            part = stream.read(count - got)
        if not part:
            break
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def read_wav_header(stream: Readable, blocking: Blocking = never_stops) -> tuple[Layout, int | None]:
    """The layout of a WAV stream and the size of its samples in bytes (None when
    the header leaves it open, as a streamed one does); the stream is left at the
    first sample."""

    def need(count: int) -> bytes:
        data = read_exactly(stream, count, blocking)
        if len(data) < count:
            raise FileError("not a readable audio file (the stream ended inside the WAV header)")
        return data

    riff, riff_size, wave = struct.unpack("<4sI4s", need(12))
    if riff != b"RIFF" or wave != b"WAVE":
        raise FileError("not a readable audio file (a stream is read as WAV, and this is none)")
    layout = None
    while True:
        kind, size = struct.unpack("<4sI", need(8))
        if kind == b"data":
            if layout is None:
                raise FileError("not a readable audio file (WAV samples before their format)")
            # A streamed header leaves the sizes open: all ones, or 0 in both. A data
            # size of 0 in a header whose RIFF size was filled in is an empty file.
            unknown = size == UNKNOWN or (size == 0 and riff_size in (0, UNKNOWN))
            return layout, None if unknown else size
        padded = size + (size & 1)  # chunks are padded to an even size
        if kind != b"fmt ":
            skip(stream, padded, blocking)
        elif padded > FMT_MOST:
            raise _format_size(size)
        else:
            layout = _layout_of(need(padded)[:size])


FMT_MOST = 1 << 16  # bytes of a WAV format chunk taken; the longest defined is 40


def skip(stream: Readable, count: int, blocking: Blocking) -> None:
    """count bytes of the stream passed over, a block at a time."""
    while count > 0:
        got = len(read_exactly(stream, min(count, 1 << 16), blocking))
        if not got:
            raise FileError("not a readable audio file (the stream ended inside the WAV header)")
        count -= got


def _format_size(size: int) -> FileError:
    return FileError(f"not a readable audio file (its WAV format chunk is {size:,} bytes long, where a format needs "
                     f"16 to {FMT_MOST:,} bytes)")  # fmt: skip


def _layout_of(fmt: bytes) -> Layout:
    if len(fmt) < 16:
        raise _format_size(len(fmt))
    tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == _EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack("<H", fmt[24:26])[0]  # the first two bytes of the sub-format GUID
    subtype = _SUBTYPES.get((tag, bits))
    if subtype is None:
        raise FileError(f"not a readable audio file (WAV format {tag} with {bits}-bit samples cannot be streamed; "
                        "give it as a file)")  # fmt: skip
    if channels < 1 or rate < 1:
        field = "channel count" if channels < 1 else "sample rate"
        raise FileError(f"not a readable audio file (its WAV header gives a {field} of 0, where at least 1 is needed)")
    return Layout(subtype, rate, channels)


def decode(data: bytes, layout: Layout) -> FloatArray:
    """Whole frames of little-endian samples as (frames, channels) float32, the
    values soundfile gives when it reads them as float32."""
    kind = {"PCM_U8": "<u1", "PCM_16": "<i2", "PCM_32": "<i4", "FLOAT": "<f4", "DOUBLE": "<f8"}
    if layout.subtype == "PCM_24":
        raw = np.frombuffer(data, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        values = (raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)) << 8 >> 8  # sign-extended
        out = values.astype(np.float32) * np.float32(2.0**-23)
    else:
        values = np.frombuffer(data, dtype=kind[layout.subtype])
        if layout.subtype == "PCM_U8":
            out = (values.astype(np.float32) - np.float32(128.0)) * np.float32(2.0**-7)
        elif layout.subtype == "PCM_16":
            out = values.astype(np.float32) * np.float32(2.0**-15)
        elif layout.subtype == "PCM_32":
            out = values.astype(np.float32) * np.float32(2.0**-31)
        else:
            out = values.astype(np.float32)
    return out.reshape(-1, layout.channels)


_NUMPY_TYPES = {"PCM_16": "int16", "PCM_32": "int32", "FLOAT": "float32", "DOUBLE": "float64"}

# The subtypes whose samples the streaming gate takes in their own type, exactly.
NATIVE_TYPES = {"PCM_16": "int16", "PCM_32": "int32", "DOUBLE": "float64"}


def native_dtype(subtype: str) -> str:
    """The type a stream's samples are read in: their own for 16- and 32-bit PCM and
    float64, float32 for the rest (8- and 24-bit PCM read as soundfile reads them)."""
    return NATIVE_TYPES.get(subtype, "float32")


def decode_native(data: bytes, layout: Layout) -> npt.NDArray[np.generic]:
    """Whole frames as (frames, channels) samples of native_dtype(layout.subtype)."""
    kind = {"PCM_16": "<i2", "PCM_32": "<i4", "DOUBLE": "<f8"}.get(layout.subtype)
    if kind is None:
        return decode(data, layout)
    values = np.frombuffer(data, dtype=kind).reshape(-1, layout.channels)
    return values.astype(native_dtype(layout.subtype), copy=False)


def encode(frames: FloatArray, layout: Layout) -> bytes:
    """(frames, channels) samples as little-endian ones of the layout: as they are
    when they are of its type already, else converted as soundfile writes them."""
    if frames.dtype == np.dtype(_NUMPY_TYPES.get(layout.subtype, "O")):
        return frames.astype(frames.dtype.newbyteorder("<"), copy=False).tobytes()
    buffer = io.BytesIO()
    # The rate is not part of raw samples; any that soundfile takes will do.
    with sf.SoundFile(buffer, "w", samplerate=8000, channels=layout.channels, format="RAW", subtype=layout.subtype,
                      endian="LITTLE") as f:  # fmt: skip
        f.write(frames)
    return buffer.getvalue()


class Framed(Protocol):
    @property
    def frame_bytes(self) -> int: ...


class FrameReader:
    """The frames of a stream after its header, as they come, decoded by `decode`
    (whole frames of the layout in, an array of frames out)."""

    def __init__(self, stream: Readable, layout: Framed, size: int | None, blocking: Blocking = never_stops,
                 decode: Callable[[bytes], npt.NDArray[np.generic]] | None = None) -> None:  # fmt: skip
        self.stream, self.layout, self.blocking = stream, layout, blocking
        self.decode = decode if decode is not None else lambda data: decode_native(data, layout)  # type: ignore[arg-type]
        self.left = size  # bytes of samples still to come; None: until the stream ends
        self.carry = b""  # the start of a frame not yet whole
        self.frames = 0  # frames given so far

    def blocks(self, most: int) -> Iterator[npt.NDArray[np.generic]]:
        """Blocks of at most `most` frames, each as soon as some whole frames have
        come: a block waits for data only when none is there."""
        frame = self.layout.frame_bytes
        while True:
            want = most * frame - len(self.carry)
            if self.left is not None:
                want = min(want, self.left)
            if want <= 0 and not self.carry:
                return
            with self.blocking():
                read1 = getattr(self.stream, "read1", None)
                data = read1(want) if read1 is not None else self.stream.read(want)
            if not data:
                return  # a frame left unfinished is for the caller to report, once the whole ones are out
            if self.left is not None:
                self.left -= len(data)
            data = self.carry + data
            whole = len(data) - len(data) % frame
            self.carry = data[whole:]
            if whole:
                self.frames += whole // frame
                yield self.decode(data[:whole])

    def unfinished(self) -> str | None:
        """Once the frames are read: what is wrong with the stream's end, if anything."""
        if not self.carry:
            return None
        left, frame, whole = len(self.carry), self.layout.frame_bytes, self.frames
        return (f"the stream ended inside a frame: {left:,} byte{'s' * (left != 1)} of a {frame:,}-byte frame left "
                f"over, after {whole:,} whole frame{'s' * (whole != 1)}")  # fmt: skip


class WavStreamWriter:
    """A WAV stream written block by block. Its header gives no sizes (a reader
    takes the samples up to the stream's end); on a seekable output they are
    filled in at the close."""

    def __init__(self, out: Output, layout: Layout) -> None:
        self.out, self.layout, self.frames = out, layout, 0
        tag, bits = _TAGS[layout.subtype]
        rate, channels, block = layout.rate, layout.channels, layout.frame_bytes
        for field, value, most in (("channel count", channels, 0xFFFF), ("frame size", block, 0xFFFF),
                                   ("sample rate", rate, UNKNOWN), ("byte rate", rate * block, UNKNOWN)):  # fmt: skip
            if not 1 <= value <= most:
                unit = {"sample rate": " Hz", "frame size": " bytes", "byte rate": " bytes a second"}.get(field, "")
                raise FileError(f"cannot write a WAV stream with a {field} of {value:,}{unit}: a WAV header holds "
                                f"1 to {most:,}")  # fmt: skip
        fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits)
        fmt += b"" if tag == _PCM else struct.pack("<H", 0)  # a format other than PCM says it has no extension
        self.size_at = 12 + 8 + len(fmt) + 4  # where the data chunk's size is
        self.start = out.tell() if out.seekable() else None
        out.write(b"RIFF" + struct.pack("<I", UNKNOWN) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
                  + b"data" + struct.pack("<I", UNKNOWN))  # fmt: skip
        out.flush()

    def write(self, frames: FloatArray) -> None:
        self.out.write(encode(frames, self.layout))
        self.out.flush()
        self.frames += len(frames)

    def close(self) -> None:
        if self.start is None:
            return
        size = self.frames * self.layout.frame_bytes
        end = self.out.tell()
        self.out.seek(self.start + 4)
        self.out.write(struct.pack("<I", min(UNKNOWN - 1, self.size_at + size - 4)))
        self.out.seek(self.start + self.size_at)
        self.out.write(struct.pack("<I", min(UNKNOWN - 1, size)))
        self.out.seek(end)
        self.out.flush()
