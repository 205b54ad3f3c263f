"""Where files are: local paths, standard input and output, and files named by
fsspec URLs (s3://bucket/talks/, file:///data/talks/, memory://...), each a name
that plans like a path; the identity of a file whichever way it is named; and
the listing, reading and writing of a run in a store.

fsspec and the package of each store (s3fs, gcsfs) are imported only when a URL
is used; this module alone imports nothing beyond the standard library.
"""

from __future__ import annotations

import os
import re
import secrets
import tempfile
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path, PurePath, PurePosixPath
from typing import Any, BinaryIO, Union

URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")
IN_PROCESS = frozenset({"memory"})  # stores other processes cannot see
LOCAL = frozenset({"file", "local"})  # stores that are this machine's own files
STDIO = Path("-")  # standard input as a source, standard output as a destination


@dataclass(frozen=True)
class Url:
    """A file or folder in an fsspec store. path is as the store names it:
    bucket/key for object stores, an absolute path for file:// and memory://."""

    protocol: str
    path: str

    @staticmethod
    def parse(text: str) -> Url:
        """The URL's file or folder; a relative file:// path is made absolute here,
        since workers may have other working folders. Raises ImportError for a
        store whose package is missing, ValueError for an unknown one."""
        from fsspec.core import url_to_fs

        protocol = text.split("://", 1)[0].lower()
        _, path = url_to_fs(text)
        return Url(protocol, path.rstrip("/") or "/")

    def __str__(self) -> str:
        return f"{self.protocol}://{self.path}"

    @property
    def fs(self) -> Any:
        """The store's file system object (fsspec keeps one per set of options)."""
        from fsspec.core import url_to_fs

        return url_to_fs(str(self))[0]

    @property
    def _pure(self) -> PurePosixPath:
        return PurePosixPath(self.path)

    @property
    def name(self) -> str:
        # The first part of a relative path is a bucket (or host): no folder can sit beside it.
        parts = self._pure.parts
        return "" if len(parts) < 2 and not self.path.startswith("/") else self._pure.name

    @property
    def stem(self) -> str:
        return PurePosixPath(self.name).stem

    @property
    def suffix(self) -> str:
        return PurePosixPath(self.name).suffix

    @property
    def parent(self) -> Url:
        return Url(self.protocol, str(self._pure.parent))

    def __truediv__(self, other: str | PurePath) -> Url:
        part = other.as_posix() if isinstance(other, PurePath) else other
        return Url(self.protocol, str(self._pure / part))

    def with_name(self, name: str) -> Url:
        return Url(self.protocol, str(self._pure.with_name(name)))

    def with_suffix(self, suffix: str) -> Url:
        return Url(self.protocol, str(self._pure.with_suffix(suffix)))

    def relative_to(self, other: Url) -> PurePosixPath:
        return self._pure.relative_to(other.path)

    def resolve(self) -> Url:
        return self

    def exists(self) -> bool:
        return bool(self.fs.exists(self.path))

    def is_dir(self) -> bool:
        return bool(self.fs.isdir(self.path))

    @property
    def local(self) -> Path | None:
        """The local path of a file:// URL, None for any other store."""
        return Path(self.path) if self.protocol in LOCAL else None


Location = Union[Path, Url]


def location(text: str) -> Location:
    """A URL for text with a scheme (s3://, file://, ...), else a local path."""
    return Url.parse(text) if URL.match(text) else Path(text)


def local_path(where: Location) -> Path | None:
    """The local path a name stands for: a path itself, or a file:// URL's; None in a store."""
    return where if isinstance(where, Path) else where.local


def identity(where: Location) -> Path | Url:
    """What two names of one file have in common: the resolved local path of a
    path or a file:// URL, the URL itself in any other store."""
    path = local_path(where)
    return path.resolve() if path is not None else where


def file_id(where: Location) -> Url | tuple[int, int] | None:
    """What makes two names one existing file: device and inode of a local file
    (also when named by a file:// URL; None when there is none), the name itself
    in a store."""
    path = local_path(where)
    if path is None:
        return where  # type: ignore[return-value]
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def temporary_prefix(target: Location, token: str) -> str:
    """How the names of the temporary files written in place of target begin."""
    return f".{target.stem}.{token}."


def listing(
    folder: Url, suffixes: Iterable[str], recursive: bool, exclude: Iterable[Url]
) -> tuple[list[Url], list[str]]:
    """The files of a folder with the given extensions (in its subfolders too
    when recursive), in the order a local walk gives, and what was passed
    over: other files, and subfolders unless walked. Folders named in exclude
    are left out without being counted."""
    fs = folder.fs
    fs.invalidate_cache(folder.path)
    wanted = frozenset(suffixes)
    excluded = {e.path for e in exclude if e.protocol == folder.protocol}
    sources: list[Url] = []
    skipped: list[str] = []

    def walk(here: str) -> None:
        entries = sorted(fs.ls(here, detail=True), key=lambda e: e["name"])
        entries = [e for e in entries if e["name"].rstrip("/") != here]
        files = [e["name"] for e in entries if e["type"] != "directory"]
        dirs = [e["name"].rstrip("/") for e in entries if e["type"] == "directory"]
        dirs = [d for d in dirs if d not in excluded]
        for name in files:
            if PurePosixPath(name).suffix.lower() in wanted:
                sources.append(Url(folder.protocol, name))
            else:
                skipped.append(str(Url(folder.protocol, name)))
        if not recursive:
            skipped.extend(str(Url(folder.protocol, d)).rstrip("/") + "/" for d in dirs)
            return
        for d in dirs:
            walk(d)

    walk(folder.path)
    return sources, skipped


def open_url(src: Url) -> BinaryIO:
    """The file opened for reading, seekable."""
    f: BinaryIO = src.fs.open(src.path, "rb")
    return f


def replace_url(dst: Url, prefix: str, write: Callable[[str], object]) -> None:
    """Writes a local temporary file (soundfile seeks back to fill in headers),
    uploads it beside dst under a temporary name that begins with prefix, then
    moves it over dst: readers see the old file or the whole new one, where the
    store's move is atomic (a rename on disks; on object stores a copy, which
    appears whole). Errors of write itself are raised as they are; OSError
    for the store's."""
    fd, local = tempfile.mkstemp(prefix=".talvane.", suffix=dst.suffix)
    os.close(fd)
    try:
        write(local)
        fs = dst.fs
        tmp = f"{dst.parent.path}/{prefix}{secrets.token_hex(4)}{dst.suffix}"
        try:
            fs.makedirs(dst.parent.path, exist_ok=True)
            fs.put_file(local, tmp)
            fs.mv(tmp, dst.path)
        except Exception as e:
            try:
                if fs.exists(tmp):
                    fs.rm_file(tmp)
            except Exception:
                pass
            raise OSError(describe_error(e)) from None
    finally:
        os.unlink(local)


def describe_error(e: BaseException) -> str:
    """A store's error in one line: its message, else its type."""
    text = getattr(e, "strerror", None) or next(iter(str(e).strip().splitlines()), "")
    return str(text) or type(e).__name__


def names_in(folder: Url) -> list[str]:
    """The names of the files now in a folder, without a cached listing."""
    fs = folder.fs
    fs.invalidate_cache(folder.path)
    return [str(name).rstrip("/").rsplit("/", 1)[-1] for name in fs.ls(folder.path, detail=False)]


def remove(target: Url) -> None:
    target.fs.rm_file(target.path)
