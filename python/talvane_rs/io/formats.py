"""Audio formats: which container an extension or --format names, and which
container and subtype an output is written in."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import soundfile as sf

from talvane_rs.errors import FileError
from talvane_rs.io.storage import STDIO, Location

LOSSY = frozenset({"MPEG_LAYER_I", "MPEG_LAYER_II", "MPEG_LAYER_III", "VORBIS", "OPUS"})
FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})
PCM_BITS = {"PCM_32": 32, "PCM_24": 24, "PCM_16": 16, "PCM_S8": 8, "PCM_U8": 8}  # widest first

# Containers (and a subtype some imply) of the extensions whose soundfile name differs.
EXTENSIONS = {
    ".aif": ("AIFF", None),
    ".aifc": ("AIFF", None),
    ".oga": ("OGG", None),
    ".opus": ("OGG", "OPUS"),
    ".snd": ("AU", None),
    ".sph": ("NIST", None),
    ".sf": ("IRCAM", None),
    ".iff": ("SVX", None),
    ".mat": ("MAT5", None),
}
# The containers --format names, for standard output or an output without an extension.
FORMATS = {
    "wav": ("WAV", None),
    "flac": ("FLAC", None),
    "ogg": ("OGG", "VORBIS"),
    "opus": ("OGG", "OPUS"),
    "mp3": ("MP3", "MPEG_LAYER_III"),
    "aiff": ("AIFF", None),
    "au": ("AU", None),
    "caf": ("CAF", None),
    "w64": ("W64", None),
    "rf64": ("RF64", None),
}


class CannotWrite(Exception):
    """The output's format and subtype cannot be written here (said why)."""


def container_of(suffix: str) -> tuple[str, str | None] | None:
    """The container (and implied subtype) of an extension, or None when soundfile has none."""
    suffix = suffix.lower()
    if suffix in EXTENSIONS:
        return EXTENSIONS[suffix]
    name = suffix[1:].upper()
    return (name, None) if name and name in sf.available_formats() else None


@dataclass(frozen=True)
class AudioFormat:
    container: str
    subtype: str


def output_format(fmt: str | None, dst: Location, source: Any) -> AudioFormat:
    """The input's subtype in the output's container where it takes it, else the
    container's default subtype. fmt (a --format name) chooses the container of
    standard output and of an output without an extension."""
    if dst == STDIO or not dst.suffix:
        container, implied = FORMATS[fmt or "wav"]
    else:
        found = container_of(dst.suffix)
        if found is None:
            raise FileError(f"cannot write {dst.suffix} files")
        container, implied = found
    if implied is not None:
        return AudioFormat(container, implied)
    if container == source.format:
        return AudioFormat(container, source.subtype)
    if source.subtype not in LOSSY and sf.check_format(container, source.subtype):
        return AudioFormat(container, source.subtype)
    bits = PCM_BITS.get(source.subtype)
    if bits is not None:  # as many of the integers' bits as the container holds (FLAC: 24 of 32)
        for subtype, held in PCM_BITS.items():
            if held <= bits and sf.check_format(container, subtype):
                return AudioFormat(container, subtype)
    return AudioFormat(container, sf.default_subtype(container))


def narrower(source: str, written: str) -> bool:
    """Whether samples of the source subtype lose bits written as the other:
    float as integers, integers as fewer bits; a lossy format is not counted."""
    if written in LOSSY:
        return False
    if source in FLOAT_SUBTYPES:
        return written not in FLOAT_SUBTYPES
    return PCM_BITS.get(written, 32) < PCM_BITS.get(source, 0)


def fallback_format(source: Any, peak: Callable[[], float]) -> AudioFormat:
    """WAV for an input whose own format cannot be written: its subtype where WAV
    takes it, else float for float input or audio beyond full scale, else 16-bit."""
    if source.subtype not in LOSSY and sf.check_format("WAV", source.subtype):
        return AudioFormat("WAV", source.subtype)
    return AudioFormat("WAV", "FLOAT" if source.subtype in FLOAT_SUBTYPES or peak() > 1.0 else "PCM_16")
