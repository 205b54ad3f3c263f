"""The folder split writes a dataset into: the pieces' names (the --name template,
the checks every name passes, the names each source claims in a shared folder),
the dataset of an earlier run, and what a run leaves there however it ends:
whole pieces that its manifest lists, and no others.

Standard library only, as every action module's top.
"""

from __future__ import annotations

import csv
import io
import json
import os
import re
import stat
import string
import unicodedata
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any

from talvane_rs.io.storage import STDIO, URL, Location, local_path, names_in, open_url, remove

MANIFESTS = {"csv": "manifest.csv", "jsonl": "manifest.jsonl"}
FIELDS = ["file", "source", "start_s", "end_s", "start_sample", "end_sample", "duration_s"]
NUMBERS = ("index", "start", "end")  # fields of whole numbers of at least 0
TEXTS = ("stem", "ext")
NUMBER_SPEC = re.compile(r"(?:0[1-9][0-9]?)?d?")  # decimal, zero-padded to a width below 100: 04d
STDIN_STEM = "stdin"  # the {stem} of standard input
WILD = "\0"  # in a shape: one or more digits; no file name holds NUL
NAME_MAX = 255  # bytes in one file name, on the file systems in common use


def template_fields(text: str) -> set[str]:
    """The fields a --name template uses; ValueError for anything but the five
    fields, plain, the numbers with at most a zero-padded width."""
    found = set()
    for _, field, spec, conversion in string.Formatter().parse(text):
        if field is None:
            continue
        if field not in NUMBERS + TEXTS:
            raise ValueError(f"{{{field}}} is not one of the fields")
        if conversion is not None or (spec if field in TEXTS else not NUMBER_SPEC.fullmatch(spec or "")):
            raise ValueError(f"{{{field}{'!' + conversion if conversion else ''}{':' + spec if spec else ''}}} "
                             "is not allowed; a number takes only a zero-padded width, such as {index:04d}")  # fmt: skip
        found.add(field)
    return found


def name_problem(name: str) -> str | None:
    """What makes a piece's name unfit to be a file in the output folder itself, or None."""
    if not name:
        return "is empty"
    if name in (".", ".."):
        return "names a folder"
    if any(sep in name for sep in ("/", "\\", os.sep, os.altsep) if sep):
        return "holds a path separator"
    if name.startswith("."):
        return "is hidden (begins with .)"
    bad = next((c for c in name if unicodedata.category(c) in ("Cc", "Zl", "Zp")), None)
    if bad is not None:
        return f"holds the control character U+{ord(bad):04X}"
    if len(os.fsencode(name)) > NAME_MAX:
        return f"is longer than {NAME_MAX} bytes"
    return None


def stem_of(src: Location) -> str:
    return STDIN_STEM if src == STDIO else src.stem


def shape(template: str, stem: str, ext: str) -> str:
    """Every name a source's pieces can get, as one pattern: the template with
    stem and ext filled in and each run of digits that holds a number field
    (with any digits beside it) one WILD."""
    values = {"stem": stem, "ext": ext}
    made = "".join(literal + ("" if field is None else WILD if field in NUMBERS else values[field])
                   for literal, field, _, _ in string.Formatter().parse(template))  # fmt: skip
    return re.sub(r"[0-9]*\0[0-9\0]*", WILD, made)


def _tokens(text: str) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """A name or shape as its text between runs of digits (a run marked #) and the runs."""
    parts = re.findall(r"\0|[0-9]+|[^0-9\0]+", text)
    runs = tuple(p for p in parts if p[0] in "0123456789\0")
    return tuple("#" if p[0] in "0123456789\0" else p for p in parts), runs


def _meet(a: Iterable[str], b: Iterable[str]) -> bool:
    return all(x == y or WILD in (x, y) for x, y in zip(a, b, strict=True))


def fits(name: str, pattern: str) -> bool:
    """Whether a file name is one that the shape stands for."""
    skeleton, runs = _tokens(pattern)
    found, digits = _tokens(name)
    return found == skeleton and _meet(runs, digits)


class Claims:
    """The shapes the sources of a run claim, by folder. Two shapes meet when
    one name fits both: the same text between their runs of digits, and in each
    run the same digits or a number field on either side."""

    def __init__(self) -> None:
        # folder and skeleton -> which runs are WILD -> the other runs -> the source
        self.groups: dict[tuple[Any, tuple[str, ...]], dict[tuple[bool, ...], dict[tuple[str, ...], str]]] = {}

    def claim(self, folder: Any, pattern: str, owner: str) -> str | None:
        """Claims the shape for owner; the owner of one it meets instead, if any."""
        skeleton, runs = _tokens(pattern)
        group = self.groups.setdefault((folder, skeleton), {})
        wild = tuple(r == WILD for r in runs)
        digits = tuple(r for r in runs if r != WILD)
        met = group.get(wild, {}).get(digits)
        # Shapes with number fields in other places are compared one by one; a run has few of those.
        for other, members in group.items():
            if met is not None:
                break
            if other != wild:
                met = next((who for found, who in members.items() if _meet(runs, _runs(other, found))), None)
        if met is None:
            group.setdefault(wild, {})[digits] = owner
        return met


def _runs(wild: tuple[bool, ...], digits: tuple[str, ...]) -> tuple[str, ...]:
    given = iter(digits)
    return tuple(WILD if w else next(given) for w in wild)


def names_now(folder: Location) -> set[str]:
    """The names in a folder now; none when it is not there (or cannot be listed)."""
    try:
        return set(os.listdir(folder)) if isinstance(folder, Path) else set(names_in(folder))
    except Exception:  # missing, or a store's own error: the writes will say what is wrong
        return set()


def earlier_manifests(root: Location) -> list[Location]:
    return [root / name for name in MANIFESTS.values() if (root / name).exists()]


def listed_files(manifest: Location) -> list[str] | None:
    """The file column of a manifest split writes; None for any other file."""
    try:
        if isinstance(manifest, Path):
            text = manifest.read_text(encoding="utf-8", errors="surrogateescape")
        else:
            with open_url(manifest) as f:
                text = f.read().decode("utf-8", errors="surrogateescape")
    except Exception:
        return None
    if manifest.suffix != ".jsonl":
        reader = csv.DictReader(io.StringIO(text, newline=""))
        return [row["file"] for row in reader if row.get("file")] if reader.fieldnames == FIELDS else None
    files = []
    for line in text.splitlines():
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except ValueError:
            return None
        if not isinstance(row, dict) or set(row) != set(FIELDS) or not isinstance(row["file"], str):
            return None
        files.append(row["file"])
    return files


def earlier_piece(root: Location, name: str, inputs: set[Any]) -> Location | None:
    """The file a row of an earlier manifest in root names, if removing it is
    safe: a regular file (not a link) inside root, and not an input."""
    folder = local_path(root)
    if folder is None:  # a store: names relative to the dataset only
        parts = PurePosixPath(name).parts
        if URL.match(name) or not parts or parts[0] == "/" or ".." in parts:
            return None
        found = root / name
        return found if found.fs.isfile(found.path) and found not in inputs else None  # type: ignore[union-attr]
    path = Path(name) if Path(name).is_absolute() else folder / name
    inside = os.path.realpath(folder)
    if path.name in ("", ".", "..") or os.path.commonpath([inside, os.path.realpath(path.parent)]) != inside:
        return None
    try:
        st = os.lstat(path)
    except OSError:
        return None
    if not stat.S_ISREG(st.st_mode) or (st.st_dev, st.st_ino) in inputs:
        return None
    return path if isinstance(root, Path) else root / os.path.relpath(path, folder)


def remove_earlier(root: Location, inputs: set[Any]) -> list[str]:
    """Removes the datasets of earlier runs in root: each manifest split wrote,
    then the files it lists that earlier_piece finds safe to remove. The
    manifest goes first, so that one never names files no longer there."""
    notes = []
    for manifest in earlier_manifests(root):
        files = listed_files(manifest)
        if files is None:
            notes.append(f"{manifest} is no manifest split writes: none of the files it names is removed")
            continue
        found = [p for p in (earlier_piece(root, name, inputs) for name in files) if p is not None]
        gone = sum(_remove(p) for p in [manifest, *found]) - 1
        notes.append(f"removed the earlier dataset in {root}: {manifest.name} and {gone} of the "
                     f"{len(files)} files it lists")  # fmt: skip
    return notes


def _remove(target: Location) -> bool:
    try:
        os.unlink(target) if isinstance(target, Path) else remove(target)
    except FileNotFoundError:
        return False
    return True


@dataclass
class RunFolders:
    """The folders a run writes pieces into, with the shapes of their names and
    what each held before the run."""

    shapes: dict[Location, list[str]]
    before: dict[Location, set[str]]

    def settle(self, listed: set[str]) -> int:
        """Removes the pieces the run wrote and its manifest does not list (those of
        files that failed or were stopped); how many."""
        gone = 0
        for folder, shapes in self.shapes.items():
            for name in sorted(names_now(folder) - self.before[folder]):
                target = folder / name
                if name.startswith(".") or str(target) in listed or not any(fits(name, s) for s in shapes):
                    continue
                try:
                    if isinstance(target, Path) and not stat.S_ISREG(os.lstat(target).st_mode):
                        continue
                    gone += _remove(target)
                except OSError:
                    pass  # gone already, or not ours to remove: the manifest lists what is whole
        return gone
