"""split: one file per kept region, for datasets (recogniser training, labelling,
subtitles), with a manifest of where each piece came from.

The regions are those of mask, padded, long ones cut at their quietest window,
short ones dropped. Each piece keeps every channel and the input's format, and
is written atomically; the run's one manifest (CSV or JSON Lines) lists every
piece with its source, start, end and duration.
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from talvane_rs.actions.audio import AudioAction
from talvane_rs.actions.base import Decision, Done, Option, Source, regions_done
from talvane_rs.actions.dataset import (
    FIELDS,
    MANIFESTS,
    Claims,
    RunFolders,
    earlier_manifests,
    listed_files,
    name_problem,
    names_now,
    remove_earlier,
    shape,
    stem_of,
    template_fields,
)
from talvane_rs.errors import FileError, UsageError
from talvane_rs.io.storage import Location, file_id, identity
from talvane_rs.units import parse_duration, seconds_text, seconds_to_samples

if TYPE_CHECKING:
    from talvane_rs.actions.base import FloatArray, JobView

NAME = "{stem}_{index:04d}.{ext}"


def parse_name(text: str) -> str:
    """A template for the pieces' names: {stem}, {index}, {start}, {end} (ms), {ext}."""
    import argparse

    try:
        template_fields(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"invalid name {text!r}: {e}; use {{stem}}, {{index}}, {{start}}, "
                                         "{end} (ms) and {ext}") from None  # fmt: skip
    problem = name_problem(text.format(stem="talk", index=1, start=0, end=1000, ext="wav"))
    if problem is not None:
        raise argparse.ArgumentTypeError(f"invalid name {text!r}: the name it makes {problem}; a piece is a file "
                                         "in the output folder itself, not hidden")  # fmt: skip
    return text


@dataclass(frozen=True)
class Split(AudioAction):
    min_length: float = 0.0  # seconds: shorter pieces are dropped
    max_length: float | None = None  # seconds: longer ones are cut at their quietest window
    pad: float = 0.0  # seconds kept on each side of a region
    name_template: str = NAME
    manifest: str = "csv"

    name = "split"
    tag = "split"
    description = (
        "Write one file per stretch of speech (the regions of mask), every channel in the input's format, and one "
        "manifest in the output folder listing each piece's file, source, start, end and duration, as a dataset "
        "loader reads it. A folder that holds the dataset of an earlier split is refused, unless --overwrite "
        "replaces it. Standard input (-) is read whole before it is split; its {stem} is stdin."
    )
    examples = """examples:
  talvane split talk.wav                         # talk.split/talk_0001.wav ... and talk.split/manifest.csv
  talvane split calls/ -r -o dataset/ --min-length 1s --max-length 15s --pad 200ms
  talvane split *.flac -o clips/ --name '{stem}-{start}-{end}.{ext}' --manifest jsonl

  # a dataset for a recogniser: mono pieces of 1 to 15 s at the recordings' own rate, listed in clips/manifest.csv
  talvane split recordings/ -r -o clips/ --min-length 1s --max-length 15s --pad 150ms --mono"""
    output_help = "folder for the pieces and the manifest"
    overwrite_help = ("replace the dataset of an earlier split in the output folder: the files its manifest lists "
                      "there are removed first; also write into a folder that holds inputs (a piece never replaces "
                      "a file)")  # fmt: skip
    writes_folder = True
    stages = frozenset({"analysis"})
    options = (
        Option(("--min-length",), type=parse_duration, default=0.0, metavar="TIME",
               help="drop pieces shorter than this: ms, or a duration (500, 1s; default 0)"),
        Option(("--max-length",), type=parse_duration, metavar="TIME",
               help="cut pieces longer than this at their quietest window between half of it and it: ms, or a "
               "duration, one window (--window-ms) at least (15s; default: no limit)"),
        Option(("--pad",), type=parse_duration, default=0.0, metavar="TIME",
               help="keep this much around each region, joining regions that then meet: ms, or a duration "
               "(200ms; default 0)"),
        Option(("--name",), dest="name_template", type=parse_name, default=NAME, metavar="TEMPLATE",
               help="the pieces' names, from {stem}, {index} (from 1), {start} and {end} (ms) and {ext}, the "
               f"numbers with a zero-padded width if wanted (default {NAME.replace('%', '%%')})"),
        Option(("--manifest",), choices=tuple(MANIFESTS), default="csv",
               help="the manifest's format: csv or jsonl (JSON Lines); default csv"),
    )  # fmt: skip

    @staticmethod
    def conflict(values: Mapping[str, Any]) -> str | None:
        longest, shortest, window = values.get("max_length"), values.get("min_length") or 0.0, values["window_ms"]
        if longest is None:
            return None
        if longest * 1000 < window - 1e-9:
            return f"--max-length must be one analysis window at least: give {window}ms or more (--window-ms {window})"
        if shortest > longest:
            return (f"--min-length {seconds_text(shortest)} is longer than --max-length {seconds_text(longest)}, "
                    "which would drop every piece")  # fmt: skip
        return None

    def combined_output(self, output: Location | None, output_folder: bool, fmt: str | None, several: bool) -> (
            Location | None):  # fmt: skip
        return None if output is None else output / MANIFESTS[self.manifest]

    def check_shared_folder(self, sources: int) -> None:
        if sources > 1 and "stem" not in template_fields(self.name_template):
            raise UsageError(f"--name {self.name_template}: several files split into one folder need {{stem}} in "
                             "the name, or their pieces would meet")  # fmt: skip

    def check_earlier(self, combined: Location, overwrite: bool) -> None:
        # A manifest that lists nothing holds no dataset to lose.
        found = [m for m in earlier_manifests(combined.parent) if listed_files(m) != []]
        if found and not overwrite:
            raise UsageError(f"{combined.parent} holds the dataset of an earlier split ({found[0].name}); pass "
                             "--overwrite to replace it (the pieces it lists are removed first), give another "
                             "folder, or split all the files in one run", status=1)  # fmt: skip

    def extension(self, job: JobView) -> str:
        return self.default_suffix(job.src, job.fmt)[1:]

    def fallback_extension(self, job: JobView) -> str | None:
        """The extension of the pieces' WAV fallback, when the name has one to change."""
        ext = self.extension(job)
        return "wav" if ext != "wav" and "ext" in template_fields(self.name_template) and not job.no_fallback else None

    def claim_names(self, jobs: Sequence[JobView]) -> list[tuple[str | None, str | None]]:
        """Each job's pieces claim every name they can get in their folder, then
        their WAV fallback's: a job whose names meet earlier ones is refused; one
        whose fallback names meet any claimed loses its fallback."""
        claims, errors = Claims(), []
        for job in jobs:
            assert job.dst is not None
            stem, ext = stem_of(job.src), self.extension(job)
            other = claims.claim(identity(job.dst), shape(self.name_template, stem, ext), job.name)
            first = job.dst / self.name_template.format(stem=stem, index=1, start=0, end=0, ext=ext)
            errors.append(None if other is None else f"its pieces' names (such as {first}) can be those of {other}'s; "
                          "split them into different folders, or name them apart with --name")  # fmt: skip
        found: list[tuple[str | None, str | None]] = []
        for job, error in zip(jobs, errors, strict=True):
            wav = self.fallback_extension(job)
            other = None
            if error is None and wav is not None:
                assert job.dst is not None
                other = claims.claim(identity(job.dst), shape(self.name_template, stem_of(job.src), wav), job.name)
            found.append((error, f"its pieces' WAV fallback names can be those of {other}'s"
                          if other not in (None, job.name) else None))
        return found

    def begin(self, jobs: Sequence[JobView], combined: Location, overwrite: bool) -> tuple[RunFolders, list[str]]:
        """Readies the dataset's folder: with --overwrite, the earlier run's dataset
        removed (never an input); then what each folder of pieces holds."""
        notes = remove_earlier(combined.parent, {file_id(j.src) for j in jobs}) if overwrite else []
        shapes: dict[Location, list[str]] = {}
        for job in jobs:
            assert job.dst is not None
            found = shapes.setdefault(job.dst, [])
            found += [shape(self.name_template, stem_of(job.src), ext)
                      for ext in (self.extension(job), self.fallback_extension(job)) if ext is not None]  # fmt: skip
        return RunFolders(shapes, {folder: names_now(folder) for folder in shapes}), notes

    def apply(self, source: Source, decision: Decision) -> Done:
        job, rate, n = source.job, source.rate, len(decision.mix)
        view = decision.view
        regions = [(r.start, r.end) for r in view.regions] if n else []
        found = pieces(regions, view.energies, view.window_len, n, seconds_to_samples(self.min_length, rate),
                       None if self.max_length is None else seconds_to_samples(self.max_length, rate),
                       seconds_to_samples(self.pad, rate))  # fmt: skip
        rows = self.write_pieces(source, decision, found)
        source.notes[:] = dict.fromkeys(source.notes)  # a WAV fallback is noted once, not once per piece
        what = f"split into {len(rows)} piece{'s' * (len(rows) != 1)}"
        return regions_done(source, decision, where=job.dst, record={"file": job.name, "rows": rows}, what=what)

    def piece_names(self, job: JobView, found: list[tuple[int, int]], rate: int, ext: str) -> list[str]:
        """The pieces' names, each a file in the folder itself, none twice."""
        names = [self.name_template.format(stem=stem_of(job.src), index=index, start=round(a * 1000 / rate),
                                           end=round(b * 1000 / rate), ext=ext)
                 for index, (a, b) in enumerate(found, 1)]  # fmt: skip
        seen: dict[str, int] = {}
        for index, name in enumerate(names, 1):
            problem = name_problem(name)
            if problem is not None:
                raise FileError(f"piece {index}'s name {name!r} {problem}; choose another --name")
            if name in seen:
                raise FileError(f"pieces {seen[name]} and {index} would both be named {name}; put {{index}} in --name")
            seen[name] = index
        return names

    def write_pieces(self, source: Source, decision: Decision, found: list[tuple[int, int]]) -> list[dict[str, Any]]:
        """Writes each piece, every channel read again in blocks; the manifest's rows."""
        from talvane_rs.cutting import to_type
        from talvane_rs.io.frames import BLOCK, INTEGER_SUBTYPES, Reread, in_units

        job, rate = source.job, source.rate
        assert job.dst is not None
        every = self.every_channel(source)
        integer = INTEGER_SUBTYPES.get(source.file.subtype)  # 16- and 32-bit PCM written back exactly
        reread = Reread(source.file, integer or "float32") if every or (integer and source.channels == 1) else None
        wav = self.fallback_extension(job)
        names = self.piece_names(job, found, rate, self.extension(job))
        fallbacks = [None] * len(names) if wav is None else self.piece_names(job, found, rate, wav)
        # Checked before any piece is written: a piece never replaces a file.
        there = names_now(job.local(job.dst) if isinstance(job.dst, Path) else job.dst)
        taken = next((name for name in names if name in there), None)
        if taken is not None:
            raise FileError(f"{job.dst / taken} is there already, and no manifest of an earlier split lists it; "
                            "remove it, or give another folder")  # fmt: skip
        rows = []
        for index, (a, b) in enumerate(found, 1):

            def blocks(a: int = a, b: int = b) -> Iterator[FloatArray]:
                for at in range(a, b, BLOCK):
                    source.checkpoint()
                    end = min(b, at + BLOCK)
                    if reread is not None:
                        yield reread.frames(at, end)
                    elif integer is not None:  # the mix of integer channels, rounded half to even into their type
                        yield to_type(in_units(decision.mix[at:end], integer), integer)
                    else:
                        yield decision.mix[at:end]

            fallback = fallbacks[index - 1]
            where = self.write_piece(source, decision, job.dst / names[index - 1],
                                     None if fallback is None else job.dst / fallback, blocks,
                                     source.channels if every else 1)  # fmt: skip
            rows.append({"file": str(where), "source": job.name, "start_s": round(a / rate, 6),
                         "end_s": round(b / rate, 6), "start_sample": a, "end_sample": b,
                         "duration_s": round((b - a) / rate, 6)})  # fmt: skip
        return rows

    def write_piece(self, source: Source, decision: Decision, target: Location, fallback: Location | None,
                    blocks: Any, channels: int) -> Location:  # fmt: skip
        """Writes one piece as a new file: never over one already there."""
        from talvane_rs.io.frames import peak_of
        from talvane_rs.io.write import write_audio

        out = replace(source.job.target(target), fallback=fallback, new_only=True)
        return write_audio(out, source.file, source.rate, channels, lambda: peak_of(source.file, decision.mix), blocks,
                           source.notes)  # fmt: skip

    def write_combined(self, target: Location, fmt: str, token: str, records: list[dict[str, Any]]) -> None:
        from talvane_rs.io.atomic import write_text

        if not records:  # no file was split: no dataset
            return
        folder = str(target.parent).rstrip("/") + "/"
        rows = [dict(row, file=row["file"][len(folder):] if row["file"].startswith(folder) else row["file"])
                for record in records for row in record["rows"]]  # fmt: skip
        write_text(target, token, manifest_text(rows, self.manifest))


def manifest_text(rows: list[dict[str, Any]], kind: str) -> str:
    if kind == "jsonl":
        return "".join(json.dumps(row) + "\n" for row in rows)
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=FIELDS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return text.getvalue()


def pieces(
    regions: Sequence[tuple[int, int]],
    energies: Any,
    window_len: int,
    n: int,
    min_length: int,
    max_length: int | None,
    pad: int,
) -> list[tuple[int, int]]:
    """The pieces [start, end) in samples: the regions widened by pad on each side
    (within the recording), those that then meet joined; each piece longer than
    max_length cut, again and again, at the end of its quietest window (the lowest
    energy, the last of equals) among the windows lying wholly between half of
    max_length and max_length from its start, or at max_length itself when no
    window lies there; pieces shorter than min_length dropped."""
    widened: list[list[int]] = []
    for start, end in regions:
        start, end = max(0, start - pad), min(n, end + pad)
        if widened and start <= widened[-1][1]:
            widened[-1][1] = max(widened[-1][1], end)
        else:
            widened.append([start, end])
    out = []
    for start, end in widened:
        while max_length is not None and end - start > max_length:
            cut = quietest_end(start, max_length, energies, window_len)
            out.append((start, cut))
            start = cut
        out.append((start, end))
    return [(a, b) for a, b in out if b - a >= max(min_length, 1)]


def quietest_end(start: int, max_length: int, energies: Any, window_len: int) -> int:
    import numpy as np

    first = -(-(start + max_length // 2) // window_len)  # the first window starting at half the length or later
    last = min((start + max_length) // window_len - 1, len(energies) - 1)  # the last ending by the length
    if last < first:
        return start + max(1, max_length)
    candidates = np.asarray(energies[first : last + 1], dtype=np.float64)
    # The last of equally quiet windows: the longest piece when nothing is quieter.
    latest = int(np.argmin(np.where(np.isnan(candidates), np.inf, candidates)[::-1]))
    quietest = last - latest
    return (quietest + 1) * window_len
