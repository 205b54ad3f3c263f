"""mask: where the speech is, as [start, end) regions in seconds and in samples,
written as CSV, JSON or Audacity labels; the audio is not changed. A folder run
can write one combined table with a file column."""

from __future__ import annotations

import csv
import io
import json
from dataclasses import dataclass
from typing import Any

from talvane_rs.actions.base import Action, Decision, Done, Option, Source, regions_done
from talvane_rs.errors import UsageError
from talvane_rs.io.storage import STDIO, Location

REGION_FORMATS = {"csv": ".csv", "json": ".json", "audacity": ".txt"}
CSV_FIELDS = ["start_s", "end_s", "start_sample", "end_sample"]


@dataclass(frozen=True)
class Mask(Action):
    name = "mask"
    tag = "regions"
    description = (
        "Write where the speech is, as [start, end) regions in seconds and in samples: "
        "CSV, JSON or Audacity labels. The audio is not changed."
    )
    examples = """examples:
  talvane mask talk.wav                          # writes talk.regions.csv
  talvane mask talk.wav --format audacity -o talk.txt   # import as a label track
  talvane mask talks/ -o all.csv                 # one CSV with a file column
  talvane mask talk.flac -o - --format json"""
    output_help = "regions file (.csv, .json, .txt), folder, or - for standard output"
    stages = frozenset({"analysis"})
    output_options = (
        Option(
            ("--format",), choices=tuple(REGION_FORMATS),
            help="csv, json or audacity (tab-separated start, end in seconds and a label); "
            "default: from the output's extension, else csv",
        ),
    )  # fmt: skip

    def choose_format(self, fmt: str | None, output: Location | None) -> str | None:
        if fmt is not None:
            return fmt
        suffix = output.suffix.lower() if output is not None else ""
        return {".json": "json", ".txt": "audacity"}.get(suffix, "csv")

    def combined_output(self, output: Location | None, output_folder: bool, fmt: str | None, several: bool) -> (
            Location | None):  # fmt: skip
        if not several or output is None or not (output == STDIO or (not output_folder and output.suffix.lower() in
                                                                     (".csv", ".json", ".txt"))):  # fmt: skip
            return None
        if fmt == "audacity":
            raise UsageError("Audacity labels are per file: give -o a folder for a folder of files")
        return output

    def default_suffix(self, src: Location, fmt: str | None) -> str:
        return REGION_FORMATS[fmt or "csv"]

    def apply(self, source: Source, decision: Decision) -> Done:
        from talvane_rs.io.atomic import write_text

        job, rate, n = source.job, source.rate, len(decision.mix)
        regions = [(r.start, r.end) for r in decision.view.regions] if n else []
        record = {"file": job.name, "sample_rate": rate, "samples": n, "regions": region_rows(regions, rate)}
        if job.dst is not None:
            write_text(job.dst, job.token, format_records([record], job.fmt or "csv", combined=False), job.cwd)
        return regions_done(source, decision, where=job.dst, record=record)

    def write_combined(self, target: Location, fmt: str, token: str, records: list[dict[str, Any]]) -> None:
        from talvane_rs.io.atomic import write_text

        write_text(target, token, format_records(records, fmt, True))


def region_rows(regions: list[tuple[int, int]], rate: int) -> list[dict[str, float | int]]:
    return [
        {"start_s": round(a / rate, 6), "end_s": round(b / rate, 6), "start_sample": a, "end_sample": b}
        for a, b in regions
    ]


def format_records(records: list[dict[str, Any]], fmt: str, combined: bool) -> str:
    """Regions as CSV (a file column when combined), JSON (an object, or a list
    of them when combined) or Audacity labels (start and end in seconds, label)."""
    if fmt == "json":
        return json.dumps(records if combined else records[0], indent=2) + "\n"
    text = io.StringIO()
    if fmt == "audacity":
        for record in records:
            for row in record["regions"]:
                text.write(f"{row['start_s']:.6f}\t{row['end_s']:.6f}\tkept\n")
        return text.getvalue()
    fields = (["file"] if combined else []) + CSV_FIELDS
    writer = csv.DictWriter(text, fieldnames=fields, lineterminator="\n")
    writer.writeheader()
    for record in records:
        for row in record["regions"]:
            writer.writerow({"file": record["file"], **row} if combined else row)
    return text.getvalue()
