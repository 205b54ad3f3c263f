"""Planning a run: from the names a request gives (a file, a folder, a pipe, URLs)
to the jobs, one per input file, each with its output, plot and WAV fallback,
and the files that fail or are passed over before anything runs.

No run may write over an input without --overwrite, nor two jobs to one file,
whichever way the files are named (a path, a file:// URL, a link).
"""

from __future__ import annotations

import secrets
from collections import Counter
from dataclasses import dataclass, field, replace
from pathlib import Path, PurePath
from typing import Any

from talvane_rs.actions.base import Action
from talvane_rs.engine.jobs import Job, Outcome, Request
from talvane_rs.engine.names import (
    Input,
    Names,
    asking_store,
    existing_file,
    file_like,
    look_up,
    look_up_outputs,
    same_file_key,
)  # fmt: skip
from talvane_rs.errors import UsageError
from talvane_rs.io.storage import STDIO, Location, file_id, identity
from talvane_rs.io.walk import PassedOver, folder_sources


@dataclass
class Plan:
    jobs: list[Job]
    errors: list[Outcome]  # files that failed before running
    skipped: list[PassedOver] = field(default_factory=list)  # files not picked and subfolders not walked
    folder: bool = False  # a folder, or several inputs: the run ends with a tally
    combined: Location | None = None  # the one output the run writes from its files' records (STDIO: standard output)
    fmt: str | None = None


def plan(request: Request) -> Plan:
    """The jobs to run and the per-file errors found before running any."""
    action = request.action
    inputs = look_up(request)
    names = look_up_outputs(request, inputs)
    check_band(request, inputs)
    fmt = action.choose_format(request.format, names.output)
    result = Plan(jobs=[], errors=[], folder=names.several or any(i.folder for i in inputs), fmt=fmt)
    result.combined = action.combined_output(names.output, names.output_folder, fmt, result.folder)
    check_output_name(action, names, result)
    places: list[Place] = []
    sources: list[Location] = []
    seen: set[Any] = set()
    for given in inputs:
        found, out_dir, plot_dir = plan_input(request, given, names, result)
        keys = [same_file_key(s) for s in found]
        new = [s for s, key in zip(found, keys) if key not in seen]  # a file also in a folder given: once
        seen.update(keys)
        sources += new
        places += place(action, given, names, new, out_dir, plot_dir, result, fmt)
        if action.writes_folder and result.combined is None:
            if names.several:
                raise UsageError(f"{action.name} of several inputs needs -o with a folder, for its one {action.tag} "
                                 "list")  # fmt: skip
            assert out_dir is not None
            result.combined = action.combined_output(out_dir, True, fmt, True)
    make_jobs(request, places, sources, fmt, result)
    if action.writes_folder and result.combined is not None:
        action.check_earlier(result.combined, request.overwrite)
    return result


def check_band(request: Request, inputs: list[Input]) -> None:
    """A band one file's rate cannot take is the command line's error; in a run of
    several files, each file that cannot take it fails on its own."""
    band = request.settings.band
    if band is None or len(inputs) != 1 or inputs[0].folder or not isinstance(inputs[0].src, Path) \
            or inputs[0].src == STDIO:  # fmt: skip
        return
    import soundfile as sf

    from talvane_rs.band import BandFilter

    try:
        rate = sf.info(str(inputs[0].src)).samplerate
    except Exception:  # not audio: the file's own error comes when it is read
        return
    try:
        BandFilter(rate, band)
    except ValueError as e:
        raise UsageError(f"--band: {e}") from None


def check_output_name(action: Action, names: Names, result: Plan) -> None:
    """A run of a folder or of several inputs writes its files into a folder."""
    output = names.output
    if output == STDIO and action.writes_folder:
        raise UsageError(f"-o - (standard output): {action.name} writes a folder of files; give a folder")
    if not result.folder or output is None or names.output_folder or result.combined is not None:
        if output is not None and action.writes_folder and not names.output_folder and output != STDIO \
                and file_like(output):  # fmt: skip
            raise UsageError(f"-o {output}: {action.name} writes a folder of files; give a folder (end the name "
                             "with /)")  # fmt: skip
        return
    if output == STDIO:
        raise UsageError("-o - (standard output) needs a single input file")
    if file_like(output):
        what = "several inputs need" if names.several else "a folder input needs"
        raise UsageError(f"-o {output}: {what} a folder for -o, not a {output.suffix} file (end the name with /)")


def plan_input(
    request: Request, given: Input, names: Names, result: Plan
) -> tuple[list[Location], Location | None, Location | None]:
    """An input's sources, and where their outputs and plots go (folders, when
    several go there); adds what a folder walk passed over."""
    src, output, action = given.src, names.output, request.action
    out_dir: Location | None = None

    def folder_of(root: Location) -> Location:
        """Where this input's files go under a folder given for all: its own subfolder when there are several."""
        return root / src.name if names.several and given.folder else root

    if result.combined is not None and not action.writes_folder:
        pass
    elif output is not None and (names.output_folder or result.folder or action.writes_folder):  # -o is its folder
        out_dir = folder_of(output)
    elif given.folder or action.writes_folder:
        resolved = src.resolve()
        if not resolved.name:
            raise UsageError(f"{src}: give -o for the output folder")
        out_dir = resolved.with_name(f"{resolved.stem if not given.folder else resolved.name}.{action.tag}")
    plot_dir = folder_of(names.plot) if names.plot is not None and names.plot_folder else None
    if not given.folder:
        return [src], out_dir, plot_dir
    with asking_store(given.text):
        sources, skipped = folder_sources(src, request.recursive, [p for p in (out_dir, plot_dir) if p is not None])
    result.skipped += skipped
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
    given: Input,
    names: Names,
    sources: list[Location],
    out_dir: Location | None,
    plot_dir: Location | None,
    result: Plan,
    fmt: str | None,
) -> list[Place]:
    """Where each source's output, fallback and plot go. Outputs named for a
    folder's files drop the input's extension, unless two files of one folder
    would then get the same name (talk.ogg and talk.opus plotted): those keep
    it (talk.ogg.png). An action that writes a folder of files per source gets
    that folder as its output."""
    folder, output, plot = given.folder, names.output, names.plot
    outputs = Counter((s.parent, s.stem, action.default_suffix(s, fmt)) for s in sources)
    pictures = Counter((s.parent, s.stem) for s in sources)

    def named(rel: PurePath, shared: bool, suffix: str) -> PurePath:
        return rel.parent / ((rel.name if shared else rel.stem) + suffix)

    places: list[Place] = []
    for s in sources:
        rel: PurePath = s.relative_to(given.src) if folder else Path(s.name)  # type: ignore[arg-type]
        out_shared = folder and outputs[(s.parent, s.stem, action.default_suffix(s, fmt))] > 1
        plot_shared = folder and pictures[(s.parent, s.stem)] > 1
        dst: Location | None = None
        fallback: Location | None = None
        if action.writes_folder:
            assert out_dir is not None
            dst = out_dir / rel.parent
        elif result.combined is not None:
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
    action = request.action
    if action.writes_folder:
        holding = {identity(s.parent) for s in sources if s != STDIO}  # folders that hold inputs
        for count in Counter(identity(dst) for _, dst, _, _ in places if dst is not None).values():
            action.check_shared_folder(count)
    for s, dst, fallback, plot_path in places:
        name = "standard input" if s == STDIO else str(s)
        try:
            if action.writes_folder:
                assert dst is not None
                if not request.overwrite and identity(dst) in holding:
                    raise ValueError(f"{dst} holds inputs, which pieces could replace; give another folder, "
                                     "or pass --overwrite")  # fmt: skip
            elif dst is not None and dst != STDIO:
                action.check_output(dst, fmt)
            outputs = [t for t in (dst, plot_path) if t is not None and t != STDIO and not
                       (action.writes_folder and t is dst)]  # fmt: skip
            for target in outputs:
                if not request.overwrite and file_id(target) in inputs:
                    raise ValueError(f"{target} is an input; pass --overwrite to replace it")
                if identity(target) in claimed:
                    raise ValueError(f"{target} is also the output for {claimed[identity(target)]}")
                claimed[identity(target)] = s
        except (ValueError, OSError) as e:
            result.errors.append(Outcome(src=name, error=f"{name}: {e}"))
            continue
        replaces = dst is not None and not action.writes_folder and existing_file(dst)
        job = Job(action=action, src=s, dst=dst, plot=plot_path, settings=request.settings, token=token,
                  fmt=fmt, fallback=fallback, strict=request.strict, plot_range=request.plot_range,
                  replaces=replaces, preset=request.preset)  # fmt: skip
        result.jobs.append(job)
    result.jobs = [claim_fallback(job, inputs, claimed, request.overwrite) for job in result.jobs]
    named = list(zip(result.jobs, action.claim_names(result.jobs), strict=True))
    result.errors += [Outcome(src=job.name, error=f"{job.name}: {error}") for job, (error, _) in named if error]
    result.jobs = [job if why is None else replace(job, no_fallback=why) for job, (error, why) in named if not error]


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
