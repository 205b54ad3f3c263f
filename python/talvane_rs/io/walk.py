"""The audio files of a folder, local or in a store, and what the walk passed over."""

from __future__ import annotations

import os
import stat
from pathlib import Path

from talvane_rs.io.storage import Location, Url, listing, local_path

# Extensions of the files a folder run picks up: those soundfile reads.
AUDIO_SUFFIXES = frozenset(
    ".wav .wave .flac .ogg .oga .opus .mp3 .aif .aiff .aifc .au .snd .caf .w64 .rf64 .avr .htk .iff .svx .mat "
    ".mat4 .mat5 .paf .pvf .sd2 .sds .sf .sph .nist .voc .wve .xi .wavex .mpc".split()
)

# Why the walk passed a name over, as the tally counts it.
NOT_AUDIO = "not audio"  # a file whose extension is not an audio one
SUBFOLDER = "subfolder"  # a folder not walked (without recursion)
SPECIAL = "special"  # a FIFO, socket or device: reading one may wait for ever

PassedOver = tuple[str, str]  # the name as messages give it, and why


def folder_sources(src: Location, recursive: bool, exclude: list[Location]) -> tuple[list[Location], list[PassedOver]]:
    """The audio files of a folder (and its subfolders, recursively) in order,
    and what was passed over. Output folders inside it (exclude) are left out
    without being counted. A file:// URL's folder is walked as the local folder
    it is, so both name the same files the same way."""
    if isinstance(src, Url):
        local = local_path(src)
        if local is None:
            found, skipped = listing(src, AUDIO_SUFFIXES, recursive, [p for p in exclude if isinstance(p, Url)])
            return list(found), [(name, SUBFOLDER if name.endswith("/") else NOT_AUDIO) for name in skipped]
        files, passed = walk_local(local, recursive, [p for p in map(local_path, exclude) if p is not None])

        def as_url(path: Path) -> Url:
            return Url(src.protocol, path.as_posix())

        return [as_url(p) for p in files], [
            (str(as_url(Path(name))) + ("/" if why == SUBFOLDER else ""), why) for name, why in passed
        ]
    return walk_local(src, recursive, [p for p in map(local_path, exclude) if p is not None])  # type: ignore[return-value]


def walk_local(src: Path, recursive: bool, exclude: list[Path]) -> tuple[list[Path], list[PassedOver]]:
    """folder_sources for a local folder. Linked folders are followed when
    recursive; one reached again (a loop, or a second link to it) is walked once."""
    excluded = {p.resolve() for p in exclude}
    seen = {_folder_id(src)}
    sources: list[Path] = []
    passed: list[PassedOver] = []
    for root, dirs, files in os.walk(src, onerror=None, followlinks=recursive):
        here = Path(root)
        kept = []
        for d in sorted(dirs):
            if (here / d).resolve() in excluded:
                continue
            if recursive:
                found = _folder_id(here / d)
                if found in seen:
                    continue
                seen.add(found)
            kept.append(d)
        dirs[:] = kept
        for name in sorted(files):
            path = here / name
            if path.suffix.lower() not in AUDIO_SUFFIXES:
                passed.append((str(path), NOT_AUDIO))
            elif _special(path):
                passed.append((str(path), SPECIAL))
            else:
                sources.append(path)
        if not recursive:
            # The listing says which of its names are folders: a link to one counts too.
            passed.extend((str(here / d) + os.sep, SUBFOLDER) for d in dirs)
            break
    return sources, passed


def _folder_id(path: Path) -> tuple[int, int] | Path:
    try:
        st = os.stat(path)
    except OSError:
        return path.resolve()
    return st.st_dev, st.st_ino


def _special(path: Path) -> bool:
    """Whether a name is a FIFO, socket or device (through links). A name that
    cannot be looked at stays a source, so that its error is reported."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)
