"""Planning a run: from the names a request gives (a file, a folder, a pipe, URLs)
to the jobs, one per input file, each with its output, plot and WAV fallback,
and the files that fail or are passed over before anything runs.

No run may write over an input without --overwrite, nor two jobs to one file,
whichever way the files are named (a path, a file:// URL, a link).
"""

from __future__ import annotations

import os
import secrets
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from pathlib import Path, PurePath
from typing import Any

from talvane_rs.actions.base import Action
from talvane_rs.cli.parser import PLOT_FORMATS
from talvane_rs.errors import UsageError
from talvane_rs.io.storage import STDIO, URL, Location, describe_error, file_id, identity, location
from talvane_rs.io.walk import PassedOver, folder_sources
from talvane_rs.jobs import Job, Outcome


@dataclass
class Request:
    """What a run is asked to do, from the command line or from run_folder.
    Names are as typed: local paths, fsspec URLs, or - for a pipe."""

    action: Action
    input: str
    output: str | None
    settings: dict[str, Any]  # the gate parameters by name; window counts may be Durations
    format: str | None = None
    plot: str | None = None
    recursive: bool = False
    overwrite: bool = False
    strict: bool = False


@dataclass
class Plan:
    jobs: list[Job]
    errors: list[Outcome]  # files that failed before running
    skipped: list[PassedOver] = field(default_factory=list)  # files not picked and subfolders not walked
    folder: bool = False
    combined: Location | None = None  # the one output of a folder run (STDIO: standard output)
    fmt: str | None = None


@dataclass
class Names:
    """What the names of a request stand for."""

    src: Location
    folder: bool  # the input is a folder
    output: Location | None
    output_folder: bool  # the output names a folder
    plot: Location | None
    plot_folder: bool


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


def look_up(request: Request) -> Names:
    """The request's names as locations, checked: the input exists, standard
    input has somewhere to go, a single plot can be drawn."""
    with asking_store(request.input):
        src = location(request.input)
        stdin = src == STDIO
        found = stdin or src.exists()
        folder = not stdin and found and src.is_dir()
    output, output_folder = None, False
    if request.output is not None:
        with asking_store(request.output):
            output = location(request.output)
            output_folder = request.output != "-" and names_folder(request.output)
    plot, plot_folder = None, False
    if request.plot is not None:
        with asking_store(request.plot):
            plot = location(request.plot)
            # For a folder input --plot names a folder of PNGs, whatever its name.
            plot_folder = names_folder(request.plot) or folder
    if plot is not None and not plot_folder and plot.suffix.lower() not in PLOT_FORMATS:
        raise UsageError(f"--plot {plot}: cannot draw {plot.suffix or 'extension-less'} files; "
                         f"use {', '.join(PLOT_FORMATS)}")  # fmt: skip
    if stdin:
        if output is None or output_folder:
            raise UsageError("standard input (-) needs -o with a file, or - for standard output")
    elif not found:
        raise UsageError(f"{src}: no such file or folder", status=1)
    return Names(src, folder, output, output_folder, plot, plot_folder)


def plan(request: Request) -> Plan:
    """The jobs to run and the per-file errors found before running any."""
    names = look_up(request)
    fmt = request.action.choose_format(request.format, names.output)
    result = Plan(jobs=[], errors=[], folder=names.folder, fmt=fmt)
    sources: list[Location] = [names.src]
    out_dir = plot_dir = None
    if names.folder:
        sources, out_dir, plot_dir = plan_folder(request, names, fmt, result)
    elif names.output is not None and names.output_folder:
        out_dir = names.output
    places = place(request.action, names, sources, out_dir, plot_dir, result.combined, fmt)
    make_jobs(request, places, sources, fmt, result)
    return result


def plan_folder(
    request: Request, names: Names, fmt: str | None, result: Plan
) -> tuple[list[Location], Location | None, Location | None]:
    """A folder's sources, and where their outputs and plots go; sets what the
    folder walk passed over and the combined output, if any."""
    src, output = names.src, names.output
    out_dir: Location | None = None
    if request.action.combines(output, names.output_folder, fmt):
        result.combined = output
    elif output == STDIO:
        raise UsageError("-o - (standard output) needs a single input file")
    elif output is not None:
        out_dir = output
    else:
        resolved = src.resolve()
        if not resolved.name:
            raise UsageError(f"{src}: give -o for the output folder")
        out_dir = resolved.with_name(f"{resolved.name}.{request.action.tag}")
    plot_dir = names.plot
    with asking_store(request.input):
        sources, result.skipped = folder_sources(src, request.recursive,
                                                 [p for p in (out_dir, plot_dir) if p is not None])  # fmt: skip
    if not sources:
        raise UsageError(
            f"{src}: no audio files in this folder" + ("" if request.recursive else " (-r walks subfolders)"),
            status=1,
        )
    return sources, out_dir, plot_dir


# An input, and where its output, WAV fallback and plot go.
Place = tuple[Location, "Location | None", "Location | None", "Location | None"]


def place(
    action: Action,
    names: Names,
    sources: list[Location],
    out_dir: Location | None,
    plot_dir: Location | None,
    combined: Location | None,
    fmt: str | None,
) -> list[Place]:
    """Where each source's output, fallback and plot go. Outputs named for a
    folder's files drop the input's extension, unless two files of one folder
    would then get the same name (talk.ogg and talk.opus plotted): those keep
    it (talk.ogg.png)."""
    folder, output, plot = names.folder, names.output, names.plot
    outputs = Counter((s.parent, s.stem, action.default_suffix(s, fmt)) for s in sources)
    pictures = Counter((s.parent, s.stem) for s in sources)

    def named(rel: PurePath, shared: bool, suffix: str) -> PurePath:
        return rel.parent / ((rel.name if shared else rel.stem) + suffix)

    places: list[Place] = []
    for s in sources:
        rel: PurePath = s.relative_to(names.src) if folder else Path(s.name)  # type: ignore[arg-type]
        out_shared = folder and outputs[(s.parent, s.stem, action.default_suffix(s, fmt))] > 1
        plot_shared = folder and pictures[(s.parent, s.stem)] > 1
        dst: Location | None = None
        fallback: Location | None = None
        if combined is not None:
            pass  # the outcome carries the result
        elif out_dir is not None:
            dst = out_dir / named(rel, out_shared, action.default_suffix(s, fmt))
            fallback = action.fallback(dst)
        elif output is not None:
            dst = output  # named as given: no fallback, the name was the user's choice
        else:
            dst = s.with_name(f"{s.stem}.{action.tag}{action.default_suffix(s, fmt)}")
            fallback = action.fallback(dst)
        if plot_dir is not None:
            plot_path: Location | None = plot_dir / named(rel, plot_shared, ".png")
        elif plot is not None and names.plot_folder:
            plot_path = plot / named(rel, plot_shared, ".png")
        else:
            plot_path = plot
        places.append((s, dst, fallback if fallback != dst else None, plot_path))
    return places


def make_jobs(request: Request, places: list[Place], sources: list[Location], fmt: str | None, result: Plan) -> None:
    """A job for each place whose outputs can be written; an error for the others."""
    token = secrets.token_hex(8)
    # One look at each input and each output, not one per pair: a folder may hold thousands.
    inputs = {file_id(t) for t in sources if t != STDIO} - {None}
    claimed: dict[Any, Location] = {}  # the identity of an output -> the input that writes it
    for s, dst, fallback, plot_path in places:
        name = "standard input" if s == STDIO else str(s)
        try:
            if dst is not None and dst != STDIO:
                request.action.check_output(dst, fmt)
            for target in (t for t in (dst, plot_path) if t is not None and t != STDIO):
                if not request.overwrite and file_id(target) in inputs:
                    raise ValueError(f"{target} is an input; pass --overwrite to replace it")
                if identity(target) in claimed:
                    raise ValueError(f"{target} is also the output for {claimed[identity(target)]}")
                claimed[identity(target)] = s
        except (ValueError, OSError) as e:
            result.errors.append(Outcome(src=name, error=f"{name}: {e}"))
            continue
        job = Job(action=request.action, src=s, dst=dst, plot=plot_path, settings=request.settings, token=token,
                  fmt=fmt, fallback=fallback, strict=request.strict)  # fmt: skip
        result.jobs.append(job)
    result.jobs = [claim_fallback(job, inputs, claimed, request.overwrite) for job in result.jobs]


def claim_fallback(job: Job, inputs: set[Any], claimed: dict[Any, Location], overwrite: bool) -> Job:
    """The job with its fallback if that names no input (without --overwrite) and
    no other job's output or fallback; else without, saying why."""
    fallback = job.fallback
    if fallback is None:
        return job
    if not overwrite and file_id(fallback) in inputs:
        why = f"its WAV fallback {fallback} is an input (pass --overwrite to replace it)"
    elif identity(fallback) in claimed:
        why = f"its WAV fallback {fallback} is also the output for {claimed[identity(fallback)]}"
    else:
        claimed[identity(fallback)] = job.src
        return job
    return replace(job, fallback=None, no_fallback=why)
