"""A request planned and run: in this process, in local worker processes or on a
Dask cluster; and run_folder, which does from Python what the talvane command does."""

from __future__ import annotations

import os
import secrets
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from talvane_rs.actions import ACTIONS, action_for
from talvane_rs.actions.base import Action
from talvane_rs.analysis import keyword_signature
from talvane_rs.engine.jobs import Job, Outcome, Request
from talvane_rs.engine.plan import Plan, plan
from talvane_rs.engine.runners.local import Backend, ProcessBackend, run
from talvane_rs.errors import INSTALL_HINT, FileError, Stopped, StopSignals, UsageError, join_names, missing_modules
from talvane_rs.io.storage import IN_PROCESS, STDIO, URL, Url
from talvane_rs.params import DEFAULT_PRESET, GateSettings, ProductKeywords
from talvane_rs.sentences import plural

if TYPE_CHECKING:
    from distributed import Client
    from typing_extensions import Unpack


@dataclass
class Run:
    """A run's outcomes: one per file, in the order they came, planning errors
    and files passed over first, files a stop kept from running last."""

    outcomes: list[Outcome]
    folder: bool  # the input was a folder


def in_process_stores(jobs: list[Job]) -> list[Url]:
    return [t for j in jobs for t in (j.src, j.dst, j.plot) if isinstance(t, Url) and t.protocol in IN_PROCESS]


def write_combined(planned: Plan, outcomes: list[Outcome]) -> str | None:
    """The records of a folder's files in one output, in the order of the files;
    an error message if it could not be written."""
    assert planned.combined is not None
    jobs = planned.jobs
    found = {o.src: o.record for o in outcomes if o.record is not None}
    records = [found[j.name] for j in jobs if j.name in found]
    try:
        jobs[0].action.write_combined(planned.combined, planned.fmt or "csv",
                                      jobs[0].token if jobs else secrets.token_hex(8), records)  # fmt: skip
    except FileError as e:
        return str(e)
    return None


def choose_backend(
    planned: Plan, client: Client | str | None, jobs: int, stop: StopSignals, notify: Callable[[str], None] | None
) -> tuple[Callable[[], Backend] | None, list[Job]]:
    """Where the planned jobs run (None: in this process), and those that may start."""
    pipes = any(j.src == STDIO or j.dst == STDIO for j in planned.jobs)
    remote = client is not None and not pipes  # standard input and output are this process's own
    local = in_process_stores(planned.jobs)
    if local and (remote or (jobs > 1 and len(planned.jobs) > 1)):
        where, how = ("the cluster's workers", "--dask or a client") if remote else ("worker processes", "-j")
        raise UsageError(f"{local[0]}: {local[0].protocol}:// is this process's own, which {where} cannot see; "
                         f"run it here (without {how})")  # fmt: skip
    if remote and planned.jobs:
        from talvane_rs.engine.runners.dask import DaskBackend, connect

        owned = isinstance(client, str)
        try:
            cluster = connect(client, notify, stop) if isinstance(client, str) else client
        except Stopped:
            return None, []  # stopped before any file was sent
        return lambda: DaskBackend(cluster, owned), planned.jobs
    if jobs > 1 and len(planned.jobs) > 1:
        return lambda: ProcessBackend(min(jobs, len(planned.jobs))), planned.jobs
    return None, planned.jobs


class Recorder:
    """A run's outcomes as they come, each handed on to on_outcome; those of the
    files that ran are also kept apart."""

    def __init__(self, on_outcome: Callable[[Outcome], None] | None) -> None:
        self.on_outcome = on_outcome
        self.outcomes: list[Outcome] = []
        self.finished: list[Outcome] = []

    def record(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        if self.on_outcome is not None:
            self.on_outcome(outcome)

    def finish(self, outcome: Outcome) -> None:
        self.finished.append(outcome)
        self.record(outcome)


def execute(
    request: Request,
    client: Client | str | None = None,
    jobs: int = 1,
    progress: bool = False,
    on_outcome: Callable[[Outcome], None] | None = None,
    stop: StopSignals | None = None,
    notify: Callable[[str], None] | None = None,
) -> Run:
    """Plans and runs a request, in this process, in jobs local processes, or on
    the Dask cluster of client (a distributed.Client, or a scheduler's address
    to connect to for this run). Raises UsageError for a request that cannot
    run. notify gets notes and warnings about the run as a whole, marked
    "note: " or "warning: "."""
    stop = StopSignals() if stop is None else stop  # not entered: no signal is caught
    say = notify if notify is not None else (lambda text: None)
    planned = plan(request)
    backend, to_run = choose_backend(planned, client, jobs, stop, notify)
    action = request.action
    # Nothing in the folder changes before a file is to run.
    folders, notes = (None, []) if planned.combined is None or not action.writes_folder or not to_run \
        or stop.signum is not None else action.begin(to_run, planned.combined, request.overwrite)  # fmt: skip
    for text in notes:
        say(f"note: {text}")
    recorder = Recorder(on_outcome)
    for outcome in planned.errors:
        recorder.record(outcome)
    for name, why in planned.skipped:
        recorder.record(Outcome(src=name, skipped=True, passed_over=why))
    run(to_run, backend, progress and planned.folder, stop, recorder.finish)
    ran = {o.src for o in recorder.finished}
    for job in planned.jobs:
        if job.name not in ran:
            recorder.record(Outcome(src=job.name, skipped=True))
    finish_combined(planned, action, folders, recorder, say)
    return Run(recorder.outcomes, planned.folder)


def finish_combined(
    planned: Plan, action: Action, folders: Any, recorder: Recorder, say: Callable[[str], None]
) -> None:
    """The one output of a run of several files, from the records of those that
    finished; and for an action that writes a folder of files, whatever it
    wrote that the output does not list removed."""
    finished = recorder.finished
    failure = write_combined(planned, finished) if planned.combined is not None and finished else None
    if folders is not None:
        # What the manifest does not list goes: the pieces of files that failed or
        # were stopped, and every piece when there is no manifest to list them.
        listed = {row["file"] for o in finished if o.record is not None for row in o.record["rows"]}
        gone = folders.settle(set() if failure is not None else listed)
        if gone and failure is None:
            say(f"note: removed {gone} pieces of files that did not finish, which the manifest does not list")
        failure = failure if failure is None or not gone else f"{failure}; its {gone} pieces removed"
    if failure is not None:
        recorder.record(Outcome(src=str(planned.combined), error=failure))
    elif planned.combined is not None and finished and planned.folder:  # one file's summary names it already
        done = sum(o.record is not None for o in finished)
        where = "standard output" if planned.combined == STDIO else planned.combined
        if done or not action.writes_folder:  # split writes no manifest of no file
            say(f"note: {action.name} of {plural(done, 'file')} -> {where}")


def check_modules(names: list[str], cluster: bool) -> None:
    """ImportError, in one sentence, for what run_folder needs and lacks here."""
    missing = missing_modules(["numpy", "soundfile"])
    if missing:
        raise ImportError(f"run_folder needs {join_names(missing)}: {INSTALL_HINT.format(extra='cli')}")
    needs = (["distributed"] if cluster else []) + (["fsspec"] if cluster or any(URL.match(n) for n in names) else [])
    missing = missing_modules(needs)
    if missing:
        why = "a Dask cluster" if cluster else "fsspec URLs"
        raise ImportError(f"run_folder with {why} needs {join_names(missing)}: {INSTALL_HINT.format(extra='dask')}")


def run_folder(
    command: str,
    src: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    dst: str | os.PathLike[str] | None = None,
    *,
    client: Client | str | None = None,
    jobs: int = 1,
    recursive: bool = False,
    overwrite: bool = False,
    format: str | None = None,
    mono: bool = False,
    strict: bool = False,
    stream_ms: float | None = None,
    keep_pause_ms: float = 0.0,
    crossfade_ms: float = 0.0,
    plot: str | os.PathLike[str] | None = None,
    on_outcome: Callable[[Outcome], None] | None = None,
    preset: str = DEFAULT_PRESET,
    **params: Unpack[ProductKeywords],
) -> list[Outcome]:
    """Gates, cuts, masks or splits files and folders of files as the talvane
    command does (``talvane COMMAND SRC... -o DST``), and returns one outcome per file.

    src (one name, or a list of them) and dst are local paths or fsspec URLs
    (``s3://bucket/talks/``); dst None puts the results beside the input,
    tagged. client is a ``distributed.Client``, or a scheduler's address, to run
    one task per file on that cluster; else jobs local processes run them (1:
    this process). The other options are those of the command line, durations
    in ms. As on the command line, the settings start from the ``preset``
    (``"speech"`` unless another is named; ``"classic"`` for the gate's original
    settings), and each of the gate's parameters given, passed as to
    ``EnergyTalvane``, wins over the preset's value. on_outcome is called with
    each outcome as it comes. Each outcome has a summary, or an error for a
    file that failed (the others go on), or is skipped: not audio, a subfolder
    not walked, or not started when the run was interrupted. Raises ValueError
    for a request that cannot run, and for a missing input.
    """
    sources = [os.fspath(src)] if isinstance(src, (str, os.PathLike)) else [os.fspath(s) for s in src]
    check_modules(sources + [os.fspath(t) for t in (dst, plot) if t is not None], client is not None)
    if command not in ACTIONS:
        raise ValueError(f"command must be one of {', '.join(ACTIONS)}, not {command!r}")
    settings = GateSettings.from_keywords("run_folder()", params, preset)
    settings.check()
    options = {"mono": mono, "stream_ms": stream_ms, "keep_pause": keep_pause_ms / 1e3, "crossfade": crossfade_ms / 1e3}
    request = Request(
        action=action_for(command, options), inputs=sources, output=None if dst is None else os.fspath(dst),
        settings=settings, format=format, plot=None if plot is None else os.fspath(plot), recursive=recursive,
        overwrite=overwrite, strict=strict, preset=preset,
    )  # fmt: skip
    return execute(request, client, jobs, on_outcome=on_outcome).outcomes


run_folder.__signature__ = keyword_signature(run_folder)  # type: ignore[attr-defined]
