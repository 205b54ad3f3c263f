"""The names a run is given, looked up: the inputs (each once, whatever names it)
and the outputs, and what a name's extension says it is."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from talvane_rs.engine.jobs import Request
from talvane_rs.errors import UsageError
from talvane_rs.io.storage import STDIO, URL, Location, Url, describe_error, file_id, identity, local_path, location


@dataclass
class Input:
    """One input as named: a file, a folder, or standard input."""

    text: str
    src: Location
    folder: bool


@dataclass
class Names:
    """What the output names of a request stand for."""

    output: Location | None
    output_folder: bool  # the output names a folder
    plot: Location | None
    plot_folder: bool
    several: bool  # more than one input: the outputs go to folders


# File extensions that name a file, not a folder: a folder input needs a folder there.
PLOT_FORMATS = (".png", ".svg", ".pdf")


PICTURE_SUFFIXES = frozenset(PLOT_FORMATS)


TABLE_SUFFIXES = frozenset({".csv", ".json", ".jsonl", ".txt", ".tsv"})


def names_folder(text: str) -> bool:
    """Whether an output as typed names a folder: it ends with a slash or is one."""
    if text.endswith(("/", os.sep)):
        return True
    return location(text).is_dir() if URL.match(text) else os.path.isdir(text)


def storage_problem(text: str, e: Exception) -> UsageError:
    """A URL whose store cannot be used from here, said in one line: an unknown
    protocol is the command line's fault, a store's package or answer is not."""
    if isinstance(e, ValueError) and not isinstance(e, UnicodeError):
        return UsageError(f"{text}: {e}")
    return UsageError(f"{text}: {describe_error(e)}", status=1)


@contextmanager
def asking_store(text: str) -> Iterator[None]:
    """Turns what a store raises while a name is looked at into a one-line UsageError."""
    try:
        yield
    except UsageError:
        raise
    except Exception as e:  # the stores' errors have no common base (botocore's are not OSError)
        raise storage_problem(text, e) from None


def look_up(request: Request) -> list[Input]:
    """The inputs as locations, checked: each exists, standard input comes alone;
    one named twice (or by two names) is taken once."""
    found: list[Input] = []
    seen: set[Any] = set()
    for text in request.inputs:
        with asking_store(text):
            src = location(text)
            stdin = src == STDIO
            if stdin and len(request.inputs) > 1:
                raise UsageError("standard input (-) must be the only input")
            if not stdin and not src.exists():
                raise UsageError(f"{src}: no such file or folder", status=1)
            folder = not stdin and src.is_dir()
        key = same_file_key(src)
        if key not in seen:
            seen.add(key)
            found.append(Input(text, src, folder))
    return found


def same_file_key(src: Location) -> Any:
    """What two names of one input share: device and inode of an existing local
    file (so hard links are one input), else the resolved path or the URL."""
    if src != STDIO:
        key = file_id(src)
        if key is not None and not isinstance(key, Url):
            return key
    return identity(src)


def existing_file(where: Location) -> bool:
    """Whether a local name (a path or a file:// URL) is an existing regular file."""
    path = local_path(where) if where != STDIO else None
    return path is not None and path.is_file()


def file_like(where: Location, pictures: bool = True) -> bool:
    """Whether a name's extension says it is a file: audio, a picture, a table."""
    from talvane_rs.io.formats import container_of

    suffix = where.suffix.lower()
    return bool(suffix) and (container_of(suffix) is not None or suffix in TABLE_SUFFIXES
                             or (pictures and suffix in PICTURE_SUFFIXES))  # fmt: skip


def look_up_outputs(request: Request, inputs: list[Input]) -> Names:
    """The output and plot names, checked against the inputs: standard input needs
    -o, and several inputs or a folder need folders (or one combined output)."""
    several, folders = len(inputs) > 1, any(i.folder for i in inputs)
    output, output_folder = None, False
    if request.output is not None:
        with asking_store(request.output):
            output = location(request.output)
            output_folder = request.output != "-" and names_folder(request.output)
    plot, plot_folder = None, False
    if request.plot is not None:
        with asking_store(request.plot):
            plot = location(request.plot)
            plot_folder = names_folder(request.plot)
        if (several or folders) and not plot_folder:
            if plot.suffix.lower() in PICTURE_SUFFIXES:
                raise UsageError(f"--plot {plot}: {'several inputs' if several else 'a folder input'} need a folder "
                                 f"of pictures here, not a {plot.suffix} file (end the name with /)")  # fmt: skip
            plot_folder = True  # a new folder, however it is named
        if not plot_folder and plot.suffix.lower() not in PLOT_FORMATS:
            raise UsageError(f"--plot {plot}: cannot draw {plot.suffix or 'extension-less'} files; "
                             f"use {', '.join(PLOT_FORMATS)}")  # fmt: skip
    if inputs[0].src == STDIO and request.action.writes_folder:
        if output is None:
            raise UsageError(f"{request.action.name} of standard input (-) needs -o with a folder for its files; "
                             "it reads the input whole first")  # fmt: skip
    elif inputs[0].src == STDIO and (output is None or output_folder):
        raise UsageError("standard input (-) needs -o with a file, or - for standard output")
    return Names(output, output_folder, plot, plot_folder, several)
