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
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from talvane_rs.actions.audio import AudioAction
from talvane_rs.actions.base import Decision, Done, Option, Source, regions_done
from talvane_rs.errors import UsageError
from talvane_rs.io.storage import Location
from talvane_rs.units import parse_duration, seconds_to_samples

if TYPE_CHECKING:
    from talvane_rs.actions.base import FloatArray

NAME = "{stem}_{index:04d}.{ext}"
MANIFESTS = {"csv": "manifest.csv", "jsonl": "manifest.jsonl"}
FIELDS = ["file", "source", "start_s", "end_s", "start_sample", "end_sample", "duration_s"]


def parse_name(text: str) -> str:
    """A template for the pieces' names: {stem}, {index}, {start}, {end} (ms), {ext}."""
    import argparse

    try:
        made = text.format(stem="talk", index=1, start=0, end=1000, ext="wav")
    except (KeyError, IndexError, ValueError) as e:
        raise argparse.ArgumentTypeError(f"invalid name {text!r}: {e}; use {{stem}}, {{index}}, {{start}}, "
                                         "{end} (ms) and {ext}") from None  # fmt: skip
    if "/" in made or "\\\\" in made or made.startswith(".") or not made:
        raise argparse.ArgumentTypeError(f"invalid name {text!r}: a file name, without folders, not hidden")
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
    help = "write one file per stretch of speech, with a manifest (for datasets)"
    description = (
        "Write one file per stretch of speech (the regions of mask), every channel in the input's format, and one "
        "manifest in the output folder listing each piece's file, source, start, end and duration, as a dataset "
        "loader reads it."
    )
    examples = """examples:
  talvane split talk.wav                         # talk.split/talk_0001.wav ... and talk.split/manifest.csv
  talvane split calls/ -r -o dataset/ --min-length 1s --max-length 15s --pad 200ms
  talvane split *.flac -o clips/ --name '{stem}-{start}-{end}.{ext}' --manifest jsonl

  # a dataset for a recogniser: 16 kHz mono pieces of 1 to 15 s, listed in clips/manifest.csv
  talvane split recordings/ -r -o clips/ --min-length 1s --max-length 15s --pad 150ms --mono"""
    output_help = "folder for the pieces and the manifest"
    writes_folder = True
    stages = frozenset({"analysis"})
    options = (
        Option(("--min-length",), type=parse_duration, default=0.0, metavar="TIME",
               help="drop pieces shorter than this: ms, or a duration (500, 1s; default 0)"),
        Option(("--max-length",), type=parse_duration, metavar="TIME",
               help="cut pieces longer than this at their quietest window between half of it and it: ms, or a "
               "duration (15s; default: no limit)"),
        Option(("--pad",), type=parse_duration, default=0.0, metavar="TIME",
               help="keep this much around each region, joining regions that then meet: ms, or a duration "
               "(200ms; default 0)"),
        Option(("--name",), dest="name_template", type=parse_name, default=NAME, metavar="TEMPLATE",
               help="the pieces' names, from {stem}, {index} (from 1), {start} and {end} (ms) and {ext} "
               f"(default {NAME.replace('%', '%%')})"),
        Option(("--manifest",), choices=tuple(MANIFESTS), default="csv",
               help="the manifest's format: csv or jsonl (JSON Lines); default csv"),
    )  # fmt: skip

    def combined_output(self, output: Location | None, output_folder: bool, fmt: str | None, several: bool) -> (
            Location | None):  # fmt: skip
        return None if output is None else output / MANIFESTS[self.manifest]

    def check_shared_folder(self, sources: int) -> None:
        if sources > 1 and "{stem" not in self.name_template:
            raise UsageError(f"--name {self.name_template}: several files split into one folder need {{stem}} in "
                             "the name, or their pieces would meet")  # fmt: skip

    def apply(self, source: Source, decision: Decision) -> Done:
        job, rate, n = source.job, source.rate, len(decision.mix)
        view = decision.view
        regions = [(r.start, r.end) for r in view.regions] if n else []
        found = pieces(regions, view.energies, view.window_len, n, seconds_to_samples(self.min_length, rate),
                       None if self.max_length is None else seconds_to_samples(self.max_length, rate),
                       seconds_to_samples(self.pad, rate))  # fmt: skip
        rows = self.write_pieces(source, decision, found)
        what = f"split into {len(rows)} piece{'s' * (len(rows) != 1)}"
        return regions_done(source, decision, where=job.dst, record={"file": job.name, "rows": rows}, what=what)

    def write_pieces(self, source: Source, decision: Decision, found: list[tuple[int, int]]) -> list[dict[str, Any]]:
        """Writes each piece, every channel read again in blocks; the manifest's rows."""
        from talvane_rs.cutting import to_type
        from talvane_rs.io.read import BLOCK, INTEGER_SUBTYPES, Reread, in_units

        job, rate = source.job, source.rate
        assert job.dst is not None
        every = self.every_channel(source)
        integer = INTEGER_SUBTYPES.get(source.file.subtype)  # 16- and 32-bit PCM written back exactly
        reread = Reread(source.file, integer or "float32") if every or (integer and source.channels == 1) else None
        src = job.src
        ext = self.default_suffix(src, job.fmt)[1:]
        rows = []
        for index, (a, b) in enumerate(found, 1):
            name = self.name_template.format(stem=src.stem, index=index, start=round(a * 1000 / rate),
                                             end=round(b * 1000 / rate), ext=ext)  # fmt: skip
            target = job.dst / name

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

            where = self.write_piece(source, decision, target, blocks, source.channels if every else 1)
            rows.append({"file": str(where), "source": job.name, "start_s": round(a / rate, 6),
                         "end_s": round(b / rate, 6), "start_sample": a, "end_sample": b,
                         "duration_s": round((b - a) / rate, 6)})  # fmt: skip
        return rows

    def write_piece(self, source: Source, decision: Decision, target: Location, blocks: Any, channels: int) -> Location:
        from dataclasses import replace

        from talvane_rs.io.read import peak_of
        from talvane_rs.io.write import write_audio

        fallback = self.fallback(target)
        out = replace(source.job.target(target), fallback=None if fallback == target else fallback)
        return write_audio(out, source.file, source.rate, channels, lambda: peak_of(source.file, decision.mix), blocks,
                           source.notes)  # fmt: skip

    def write_combined(self, target: Location, fmt: str, token: str, records: list[dict[str, Any]]) -> None:
        from talvane_rs.io.write import write_text

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
