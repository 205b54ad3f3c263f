"""The ``talvane`` command: gate, cut or mask audio files, one file, a folder or a pipe.

This module imports only the standard library and the gate itself, so that a
missing optional dependency is reported in one line rather than a traceback;
the work on each file lives in ``talvane_rs._audio``, imported once the
dependencies are known to be there. Planning (which file goes where), running
(in this process or in workers) and reporting (summaries and the tally) are
kept apart, so that a run can also be driven without the command line.
"""

from __future__ import annotations

import argparse
import importlib.util
import inspect
import os
import re
import secrets
import signal
import sys
import textwrap
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from types import FrameType
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

from talvane_rs import EnergyTalvane, __version__
from talvane_rs._jobs import STDIO, Job, Outcome, Tally, sweep_temporaries
from talvane_rs._options import PARAMETERS, Duration, describe_default, parse_chunk, parse_duration
from talvane_rs._storage import IN_PROCESS, URL, Location, Url, listing, location

if TYPE_CHECKING:
    from concurrent.futures import ProcessPoolExecutor

    from distributed import Client

PROG = "talvane"

# Extensions of the files a folder run picks up: those soundfile reads.
AUDIO_SUFFIXES = frozenset(
    ".wav .wave .flac .ogg .oga .opus .mp3 .aif .aiff .aifc .au .snd .caf .w64 .rf64 .avr .htk .iff .svx .mat "
    ".mat4 .mat5 .paf .pvf .sd2 .sds .sf .sph .nist .voc .wve .xi .wavex .mpc".split()
)
OUTPUT_TAG = {"gate": "gated", "cut": "cut", "mask": "regions"}
REGION_FORMATS = {"csv": ".csv", "json": ".json", "audacity": ".txt"}
AUDIO_FORMATS = ("wav", "flac", "ogg", "opus", "mp3", "aiff", "au", "caf", "w64", "rf64")
PLOT_FORMATS = (".png", ".svg", ".pdf")
INSTALL_HINT = "pip install 'talvane_rs[{extra}]' (in a source checkout: pip install '.[{extra}]')"
DASK_VARIABLE = "TALVANE_DASK"  # the scheduler's address when --dask is not given

DESCRIPTIONS = {
    "gate": "Turn the audio down outside speech: every channel is multiplied by the gate's gain "
    "(1 in speech, --attenuation elsewhere, with --fade-ms ramps between), and the file keeps its length.",
    "cut": "Cut the audio outside speech out, so only speech remains and the file gets shorter. "
    "--keep-pause keeps a short pause where a long one was, --crossfade smooths each join.",
    "mask": "Write where the speech is, as [start, end) regions in seconds and in samples: "
    "CSV, JSON or Audacity labels. The audio is not changed.",
}
EXAMPLES = {
    "gate": """examples:
  talvane gate talk.mp3                          # writes talk.gated.mp3
  talvane gate talk.wav --attenuation -20dB --fade-ms 10ms -o quiet.flac
  talvane gate talks/ -r -j 2 -o gated/          # a folder and its subfolders
  talvane gate s3://corpus/talks/ -o s3://corpus/gated/ --dask tcp://10.0.0.5:8786
  cat talk.wav | talvane gate - -o - --format flac > gated.flac""",
    "cut": """examples:
  talvane cut talk.wav                           # writes talk.cut.wav
  talvane cut talk.wav --keep-pause 300ms --crossfade 10ms
  talvane cut talk.wav --pad-voice-windows 100ms --keep-pause 200ms --crossfade 10ms -o asr.wav
  talvane cut talk.wav --base-thresh -42dB --max-silence-gap-windows 300ms""",
    "mask": """examples:
  talvane mask talk.wav                          # writes talk.regions.csv
  talvane mask talk.wav --format audacity -o talk.txt   # import as a label track
  talvane mask talks/ -o all.csv                 # one CSV with a file column
  talvane mask talk.flac -o - --format json""",
}


class UsageError(ValueError):
    """A problem with the command line as a whole; nothing is processed. The
    status is 2 for a command line that cannot work, 1 for a missing input."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the user knows where --help is.
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def parse_jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a whole number of at least 1")
    return value


def gate_parameters() -> list[inspect.Parameter]:
    return list(inspect.signature(EnergyTalvane).parameters.values())


def add_common(parser: Parser, command: str) -> None:
    parser.add_argument("input", help="audio file, folder of audio files, or - for standard input; "
                        "files and folders may be fsspec URLs (s3://bucket/talks/)")
    what = "regions file (.csv, .json, .txt), folder, or - for standard output" if command == "mask" else (
        "audio file (any extension soundfile writes), folder, or - for standard output"
    )
    parser.add_argument(
        "-o", "--output",
        help=f"{what}; a name ending in / or an existing folder is a folder (default: beside the input, "
        f"tagged .{OUTPUT_TAG[command]})",
    )  # fmt: skip
    if command == "mask":
        parser.add_argument(
            "--format", choices=tuple(REGION_FORMATS),
            help="csv, json or audacity (tab-separated start, end in seconds and a label); "
            "default: from the output's extension, else csv",
        )  # fmt: skip
    else:
        parser.add_argument(
            "--format", choices=AUDIO_FORMATS, metavar="{wav,flac,ogg,opus,mp3,...}",
            help="container for -o -, an output without extension, or outputs named for you "
            "(default: the input's own where it can be written, else wav)",
        )  # fmt: skip
        parser.add_argument("--mono", action="store_true", help="write the mono mix, not every channel")
    parser.add_argument("--overwrite", action="store_true", help="allow the output to replace an input file")
    parser.add_argument("-r", "--recursive", action="store_true",
                        help="for a folder: also its subfolders, mirrored under the output folder")
    parser.add_argument("-j", "--jobs", type=parse_jobs, metavar="N",
                        help="worker processes on this machine for a folder (default 1)")
    parser.add_argument(
        "--dask", metavar="ADDRESS",
        help=f"run a folder's files on the Dask cluster of this scheduler (tcp://10.0.0.5:8786; default: "
        f"${DASK_VARIABLE}, unless -j is given); needs talvane_rs[dask] here and on the workers",
    )  # fmt: skip
    parser.add_argument(
        "--plot", metavar="FILE",
        help="draw the analysis to FILE.png, .svg or .pdf (needs matplotlib); for a folder, a folder of PNGs",
    )  # fmt: skip
    parser.add_argument("--strict", action="store_true",
                        help="fail a file holding NaN or infinite samples, rather than reading them as 0.0")


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        allow_abbrev=False,
        description="Energy-based voice gate for audio files: turn down, cut out or list the audio outside "
        "speech. Reads WAV, FLAC, OGG, MP3 and whatever else soundfile reads; one file, a folder, or a pipe.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    short = {"gate": "turn the audio down outside speech", "cut": "cut the audio outside speech out",
             "mask": "write where the speech is (CSV, JSON, Audacity labels)"}
    for command in ("gate", "cut", "mask"):
        sub = commands.add_parser(
            command, help=short[command], description=textwrap.fill(DESCRIPTIONS[command], 78),
            epilog=EXAMPLES[command],
            formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False,
        )  # fmt: skip
        add_common(sub, command)
        if command == "gate":
            sub.add_argument(
                "--stream", type=parse_chunk, metavar="CHUNK",
                help="run the streaming gate over chunks of this length: ms, or a duration (20, 20ms); "
                "several channels are mixed down",
            )  # fmt: skip
        if command == "cut":
            sub.add_argument(
                "--keep-pause", type=parse_duration, default=0.0, metavar="TIME",
                help="shorten each dropped stretch longer than this to this, half kept on each side, "
                "rather than removing it (200ms, 0.3s; default 0)",
            )  # fmt: skip
            sub.add_argument(
                "--crossfade", type=parse_duration, default=0.0, metavar="TIME",
                help="join the pieces with an equal-power crossfade this long (10ms; default 0: butted)",
            )  # fmt: skip
        params = sub.add_argument_group("gate parameters (levels in RMS of full scale 1.0 or in dB)")
        for p in gate_parameters():
            spec = PARAMETERS[p.name]
            if command not in spec.commands:
                continue
            params.add_argument(
                "--" + p.name.replace("_", "-"), dest=p.name, type=spec.parse, default=p.default,
                metavar=spec.metavar, help=f"{spec.help} (default {describe_default(p.name, p.default)})",
            )  # fmt: skip
    return parser


NEGATIVE_VALUE = re.compile(r"-(?:\d|\.\d|inf)", re.IGNORECASE)


def join_negative_values(parser: Parser, argv: Sequence[str]) -> list[str]:
    """argv with each option that takes a value joined to a value that starts
    with a minus sign ('--base-thresh -42dB' becomes '--base-thresh=-42dB'):
    argparse would take '-42dB' for an option and refuse it."""
    takes_value: dict[str, str] = {}
    subparsers = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    for sub in (p for a in subparsers for p in a.choices.values()):
        for action in sub._actions:
            if action.option_strings and action.nargs is None:
                long = next((o for o in action.option_strings if o.startswith("--")), action.option_strings[0])
                for option in action.option_strings:
                    takes_value[option] = long
    out: list[str] = []
    items = list(argv)
    i = 0
    while i < len(items):
        item = items[i]
        if item in takes_value and i + 1 < len(items) and NEGATIVE_VALUE.match(items[i + 1]):
            out.append(f"{takes_value[item]}={items[i + 1]}")
            i += 2
            continue
        if item == "--":
            out.extend(items[i:])
            break
        out.append(item)
        i += 1
    return out


def gate_settings(parser: Parser, args: argparse.Namespace) -> dict[str, Any]:
    settings = {p.name: getattr(args, p.name, p.default) for p in gate_parameters()}
    low, high = settings["base_thresh"], settings["max_thresh"]
    if low > high:
        parser.error(f"--base-thresh ({low:g}) must not be above --max-thresh ({high:g})")
    return settings


def join_names(names: Sequence[str]) -> str:
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} and {names[-1]}"


def missing_modules(names: Sequence[str]) -> list[str]:
    missing = []
    for name in names:
        try:
            found = importlib.util.find_spec(name) is not None
        except (ImportError, ValueError):  # ValueError: sys.modules[name] is None
            found = False
        if not found:
            missing.append(name)
    return missing


# --- planning: which file goes where ------------------------------------------------


@dataclass
class Request:
    """What a run is asked to do, from the command line or from run_folder.
    Names are as typed: local paths, fsspec URLs, or - for a pipe."""

    command: str
    input: str
    output: str | None
    settings: dict[str, Any]  # the gate parameters by name; window counts may be Durations
    format: str | None = None
    plot: str | None = None
    recursive: bool = False
    overwrite: bool = False
    stream: float | None = None  # ms
    mono: bool = False
    strict: bool = False
    keep_pause: float = 0.0  # s
    crossfade: float = 0.0  # s


@dataclass
class Plan:
    jobs: list[Job]
    errors: list[Outcome]  # files that failed before running
    skipped: list[str] = field(default_factory=list)  # files not picked and subfolders not walked
    folder: bool = False
    combined: Location | None = None  # mask: the one regions file of a folder run (STDIO: standard output)
    fmt: str | None = None


def names_folder(text: str) -> bool:
    """Whether an output as typed names a folder: it ends with a slash or is one."""
    if text.endswith(("/", os.sep)):
        return True
    return location(text).is_dir() if URL.match(text) else os.path.isdir(text)


def file_id(path: Location) -> Location | tuple[int, int] | None:
    """What makes two names one file: device and inode of an existing local
    file (None for none), the name itself in a store."""
    if isinstance(path, Url):
        return path
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def folder_sources(src: Location, recursive: bool, exclude: list[Location]) -> tuple[list[Location], list[str]]:
    """The audio files of a folder (and its subfolders, recursively) in order,
    and what was passed over: other files, and subfolders unless walked.
    Output folders inside it are left out without being counted."""
    if isinstance(src, Url):
        found, passed = listing(src, AUDIO_SUFFIXES, recursive, [p for p in exclude if isinstance(p, Url)])
        return list(found), passed
    excluded = {p.resolve() for p in exclude}
    sources: list[Location] = []
    skipped: list[str] = []
    for root, dirs, files in os.walk(src, onerror=None):
        here = Path(root)
        dirs[:] = sorted(d for d in dirs if (here / d).resolve() not in excluded)
        for name in sorted(files):
            if Path(name).suffix.lower() in AUDIO_SUFFIXES:
                sources.append(here / name)
            else:
                skipped.append(str(here / name))
        if not recursive:
            skipped.extend(str(here / d) + os.sep for d in dirs)
            break
    return sources, skipped


def storage_problem(text: str, e: Exception) -> UsageError:
    """A URL whose store cannot be used from here, said in one line: an unknown
    protocol is the command line's fault, a store's package or answer is not."""
    from talvane_rs._storage import describe_error

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


def plan(request: Request) -> Plan:
    """The jobs to run and the per-file errors found before running any."""
    from talvane_rs._audio import FORMATS, container_of

    command = request.command
    settings = request.settings
    with asking_store(request.input):
        src = location(request.input)
        stdin = src == STDIO
        found = stdin or src.exists()
        folder = not stdin and found and src.is_dir()
    output = output_folder = None
    if request.output is not None:
        with asking_store(request.output):
            output = location(request.output)
            output_folder = request.output != "-" and names_folder(request.output)
    plot = plot_folder = None
    if request.plot is not None:
        with asking_store(request.plot):
            plot = location(request.plot)
            # For a folder input --plot names a folder of PNGs, whatever its name.
            plot_folder = names_folder(request.plot) or folder
    fmt = request.format
    if command == "mask" and fmt is None:
        suffix = output.suffix.lower() if output is not None else ""
        fmt = {".json": "json", ".txt": "audacity"}.get(suffix, "csv")
    if plot is not None and not plot_folder and plot.suffix.lower() not in PLOT_FORMATS:
        raise UsageError(f"--plot {plot}: cannot draw {plot.suffix or 'extension-less'} files; "
                         f"use {', '.join(PLOT_FORMATS)}")

    sources: list[Location] = [src]
    skipped: list[str] = []
    if stdin:
        if output is None or output_folder:
            raise UsageError("standard input (-) needs -o with a file, or - for standard output")
    elif not found:
        raise UsageError(f"{src}: no such file or folder", status=1)

    result = Plan(jobs=[], errors=[], folder=folder, fmt=fmt)
    out_dir: Location | None = None
    plot_dir: Location | None = None
    if folder:
        if command == "mask" and output is not None and (output == STDIO or (
                not output_folder and output.suffix.lower() in (".csv", ".json", ".txt"))):
            if fmt == "audacity":
                raise UsageError("Audacity labels are per file: give -o a folder for a folder of files")
            result.combined = output
        elif output == STDIO:
            raise UsageError("-o - (standard output) needs a single input file")
        elif output is not None:
            out_dir = output
        else:
            resolved = src.resolve()
            if not resolved.name:
                raise UsageError(f"{src}: give -o for the output folder")
            out_dir = resolved.with_name(f"{resolved.name}.{OUTPUT_TAG[command]}")
        if plot is not None:
            plot_dir = plot
        with asking_store(request.input):
            sources, skipped = folder_sources(src, request.recursive, [p for p in (out_dir, plot_dir) if p is not None])
        if not sources:
            raise UsageError(
                f"{src}: no audio files in this folder" + ("" if request.recursive else " (-r walks subfolders)"),
                status=1,
            )
    elif output is not None and output_folder:
        out_dir = output
    result.skipped = skipped

    def default_suffix(s: Location) -> str:
        if command == "mask":
            return REGION_FORMATS[fmt or "csv"]
        if fmt is not None:
            return "." + ("ogg" if fmt == "ogg" else fmt)
        return s.suffix.lower() if s != STDIO and container_of(s.suffix) is not None else ".wav"

    token = secrets.token_hex(8)
    claimed: dict[Location, Location] = {}  # output -> the input that writes it
    planned: list[tuple[Location, Location | None, Location | None, Location | None]] = []
    # Outputs named for a folder's files drop the input's extension, unless two
    # files of one folder would then get the same name (talk.ogg and talk.opus
    # plotted): those keep it (talk.ogg.png).
    outputs = Counter((s.parent, s.stem, default_suffix(s)) for s in sources)
    pictures = Counter((s.parent, s.stem) for s in sources)

    def named(rel: PurePath, shared: bool, suffix: str) -> PurePath:
        return rel.parent / ((rel.name if shared else rel.stem) + suffix)

    for s in sources:
        rel: PurePath = s.relative_to(src) if folder else Path(s.name)  # type: ignore[arg-type]
        out_shared = folder and outputs[(s.parent, s.stem, default_suffix(s))] > 1
        plot_shared = folder and pictures[(s.parent, s.stem)] > 1
        fallback: Location | None = None
        if result.combined is not None:
            dst: Location | None = None
        elif out_dir is not None:
            dst = out_dir / named(rel, out_shared, default_suffix(s))
            fallback = dst.with_suffix(".wav")
        elif output is not None:
            dst = output
        else:
            dst = s.with_name(f"{s.stem}.{OUTPUT_TAG[command]}{default_suffix(s)}")
            fallback = dst.with_suffix(".wav")
        if plot_dir is not None:
            plot_path: Location | None = plot_dir / named(rel, plot_shared, ".png")
        elif plot is not None and plot_folder:
            plot_path = plot / named(rel, plot_shared, ".png")
        else:
            plot_path = plot
        planned.append((s, dst, fallback if fallback != dst else None, plot_path))

    # One look at each input and each output, not one per pair: a folder may hold thousands.
    inputs = {file_id(t) for t in sources if t != STDIO} - {None}
    for s, dst, fallback, plot_path in planned:
        name = "standard input" if s == STDIO else str(s)
        try:
            if dst is not None and dst != STDIO and command != "mask":
                if dst.suffix and container_of(dst.suffix) is None:
                    raise ValueError(f"cannot write {dst.suffix} files; use an extension soundfile writes, "
                                     "such as .wav, .flac, .ogg, .opus or .mp3")
                if fmt is not None and dst.suffix and container_of(dst.suffix)[0] != FORMATS[fmt][0]:  # type: ignore[index]
                    raise ValueError(f"--format {fmt} does not match the output's extension {dst.suffix}")
            targets = [t for t in (dst, plot_path) if t is not None and t != STDIO]
            for target in targets:
                if not request.overwrite and file_id(target) in inputs:
                    raise ValueError(f"{target} is an input; pass --overwrite to replace it")
                if target.resolve() in claimed:
                    raise ValueError(f"{target} is also the output for {claimed[target.resolve()]}")
                claimed[target.resolve()] = s
        except (ValueError, OSError) as e:
            result.errors.append(Outcome(src=name, error=f"{name}: {e}"))
            continue
        result.jobs.append(
            Job(
                command=command,
                src=s,
                dst=dst,
                plot=plot_path,
                settings=settings,
                token=token,
                stream_ms=request.stream,
                fmt=fmt,
                fallback=fallback,
                mono=request.mono,
                strict=request.strict,
                keep_pause=request.keep_pause,
                crossfade=request.crossfade,
            )
        )
    # A fallback WAV must not land on another job's output: such a job gets none.
    taken = {p.resolve() for p in claimed}
    result.jobs = [
        j if j.fallback is None or j.fallback.resolve() not in taken else Job(**{**j.__dict__, "fallback": None})
        for j in result.jobs
    ]
    return result


class Stopped(SystemExit):
    """SIGINT or SIGTERM stopped the run. A SystemExit, so that the file work
    lets it through, with the status a shell gives a process the signal ended."""

    def __init__(self, signum: int) -> None:
        super().__init__(128 + signum)


class StopSignals:
    """While active, SIGINT and SIGTERM are noted rather than obeyed: the run asks
    check() where stopping is safe, and stops there. The handler raises nothing,
    since an exception raised wherever the main thread happens to be can be lost
    in library code, or leave it broken (a half-initialised extension module
    that crashes the interpreter at exit). Later signals repeat the first."""

    def __init__(self) -> None:
        self.signum: int | None = None  # the first signal, which sets the exit status
        self.wake: Callable[[], None] | None = None  # called on the first signal; must be reentrant
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> StopSignals:
        if threading.current_thread() is threading.main_thread():  # the only thread that may set handlers
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            if handler is not None:  # None: a handler set from C, which cannot be put back
                signal.signal(signum, handler)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.signum is None:
            self.signum = signum
            if self.wake is not None:
                self.wake()

    def check(self) -> None:
        if self.signum is not None:
            raise Stopped(self.signum)


@contextmanager
def sigint_blocked() -> Iterator[None]:
    """SIGINT blocked in this thread, and so in the processes it starts meanwhile."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def end_workers(pool: ProcessPoolExecutor, grace: float = 5.0) -> None:
    """Ends the pool's worker processes now: SIGTERM, then SIGKILL for any still
    running after grace seconds. The pool has no public way to do this before
    Python 3.14, hence the guarded reach into it."""
    from multiprocessing.connection import wait

    processes = list((getattr(pool, "_processes", None) or {}).values())
    for p in processes:
        p.terminate()
    # Waiting on the sentinels rather than join(): the pool's own thread may be
    # reaping the same processes, and a reaped process's id is not ours to kill.
    running = {p.sentinel: p for p in processes}
    deadline = time.monotonic() + grace
    while running and (left := deadline - time.monotonic()) > 0:
        for sentinel in wait(list(running), left):
            del running[sentinel]
    for p in running.values():
        p.kill()


# --- running: in this process, or through an executor-like backend ---------------


class Backend(Protocol):
    """Where a folder run's jobs execute: submit() returns a future of the
    outcome; abort() ends the work under way at once; close() releases it."""

    def submit(self, job: Job) -> Future[Outcome]: ...

    def abort(self) -> None: ...

    def close(self) -> None: ...


class ProcessBackend:
    """Spawned worker processes that ignore SIGINT (the parent decides what it means)."""

    def __init__(self, workers: int) -> None:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor
        from multiprocessing import resource_tracker

        from talvane_rs._audio import start_worker

        # Spawned, not forked: the parent already runs threads (the progress bar's).
        # Workers start with SIGINT blocked until they ignore it. Starting the
        # resource tracker unblocks SIGINT, so it starts first.
        if os.name == "posix":
            resource_tracker.ensure_running()
        self._blocked = sigint_blocked()
        self._blocked.__enter__()
        context = multiprocessing.get_context("spawn")
        self.pool = ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=start_worker)

    def submit(self, job: Job) -> Future[Outcome]:
        from talvane_rs._audio import process

        return self.pool.submit(process, job)

    def started(self) -> None:
        """Every job is submitted (so every worker started): SIGINT is unblocked here again."""
        self._blocked.__exit__(None, None, None)

    def abort(self) -> None:
        end_workers(self.pool)

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)


def run_in_backend(jobs: list[Job], backend: Backend, stop: StopSignals, record: Callable[[Outcome], None]) -> None:
    """Runs the jobs through the backend, recording each outcome as it comes."""
    import queue

    futures: dict[Future[Outcome], Job] = {}
    # Finished jobs, and None for a signal, in the order they come. The handler
    # runs between any two steps of this thread, even inside put() or get();
    # SimpleQueue is the queue that stays sound when so re-entered.
    events: queue.SimpleQueue[Future[Outcome] | None] = queue.SimpleQueue()
    stop.wake = lambda: events.put(None)
    try:
        try:
            for job in jobs:
                future = backend.submit(job)
                futures[future] = job
                future.add_done_callback(events.put)
        finally:
            started = getattr(backend, "started", None)
            if started is not None:
                started()
        while futures:
            try:
                # The timeout only bounds the wait should a signal's wake-up go astray.
                finished = events.get(timeout=1.0)
            except queue.Empty:
                finished = None
            stop.check()  # before the result: workers ended by the same signal fail their jobs
            if finished is None:
                continue
            job = futures.pop(finished)
            try:
                outcome = finished.result()
            except Exception as e:  # the worker died: a crash, not a bad file
                outcome = Outcome(src=job.name, error=f"{job.name}: worker process failed ({e})")
            record(outcome)
    except BaseException as e:
        # Ending the workers ends the jobs under way, and no other job can start:
        # the broken pool fails every pending future itself. (Cancelling them here
        # races its thread, which in some versions then fails on a cancelled one.)
        # The workers are gone before this process exits, so none writes after it.
        backend.abort()
        backend.close()
        if isinstance(e, Stopped):
            # Jobs that finished while the run was stopping wrote their outputs: they count.
            for future in futures:
                if future.done() and not future.cancelled() and future.exception() is None:
                    record(future.result())
        raise
    finally:
        stop.wake = None
        backend.close()


class Reporter:
    """Shows each outcome as it comes: notes, warnings and errors on standard
    error, the summary on standard output (or standard error when the result
    itself went to standard output); keeps the tally."""

    def __init__(self, write: Callable[[str, Any], None]) -> None:
        self.write = write
        self.tally = Tally()
        self.outcomes: list[Outcome] = []

    def __call__(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        self.tally.add(outcome)
        for note in outcome.notes:
            self.write(f"{PROG}: note: {note}", sys.stderr)
        for warning in outcome.warnings:
            self.write(f"{PROG}: warning: {warning}", sys.stderr)
        if outcome.error is not None:
            self.write(f"{PROG}: error: {outcome.error}", sys.stderr)
        elif outcome.summary is not None:
            self.write(outcome.summary, sys.stderr if outcome.to_stdout else sys.stdout)


def run(
    jobs: list[Job],
    backend: Callable[[], Backend] | None,
    show_progress: bool,
    stop: StopSignals,
    record: Callable[[Outcome], None],
) -> None:
    """Runs the jobs in this process (backend None) or through the backend made
    by the callable, recording each outcome as it comes; those that a stop
    signal kept from finishing have none."""
    from talvane_rs._audio import process

    if show_progress:
        from tqdm import tqdm

        bar: Any = tqdm(total=len(jobs), unit="file", disable=None, file=sys.stderr)
    else:
        bar = None

    def counted(outcome: Outcome) -> None:
        record(outcome)
        if bar is not None:
            bar.update()

    try:
        if backend is None:
            for job in jobs:
                stop.check()
                counted(process(job, stop.check))
        else:
            run_in_backend(jobs, backend(), stop, counted)
    except Stopped:
        pass  # the outcomes so far are the run's
    finally:
        if bar is not None:
            bar.close()
        # Workers ended in the middle of a write leave their temporary files.
        sweep_temporaries(jobs)


def write_combined(target: Location, fmt: str, jobs: list[Job], outcomes: list[Outcome]) -> str | None:
    """The regions of a folder's files in one file, in the order of the files;
    an error message if it could not be written."""
    from talvane_rs._audio import FileError, format_records, write_text

    found = {o.src: o.record for o in outcomes if o.record is not None}
    records = [found[j.name] for j in jobs if j.name in found]
    try:
        write_text(target, jobs[0].token if jobs else secrets.token_hex(8), format_records(records, fmt, True))
    except FileError as e:
        return str(e)
    return None


@dataclass
class Run:
    """A run's outcomes: one per file, in the order they came, planning errors
    and files passed over first, files a stop kept from running last."""

    outcomes: list[Outcome]
    folder: bool  # the input was a folder


def in_process_stores(jobs: list[Job]) -> list[Url]:
    return [t for j in jobs for t in (j.src, j.dst, j.plot) if isinstance(t, Url) and t.protocol in IN_PROCESS]


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
    planned = plan(request)
    pipes = any(j.src == STDIO or j.dst == STDIO for j in planned.jobs)
    remote = client is not None and not pipes  # standard input and output are this process's own
    local = in_process_stores(planned.jobs)
    if local and (remote or (jobs > 1 and len(planned.jobs) > 1)):
        where, how = ("the cluster's workers", "--dask or a client") if remote else ("worker processes", "-j")
        raise UsageError(f"{local[0]}: {local[0].protocol}:// is this process's own, which {where} cannot see; "
                         f"run it here (without {how})")
    outcomes: list[Outcome] = []

    def record(outcome: Outcome) -> None:
        outcomes.append(outcome)
        if on_outcome is not None:
            on_outcome(outcome)

    for outcome in planned.errors:
        record(outcome)
    for name in planned.skipped:
        record(Outcome(src=name, skipped=True, passed_over="subfolder" if name.endswith(("/", os.sep)) else "not audio"))
    backend: Callable[[], Backend] | None = None
    to_run = planned.jobs
    if remote and planned.jobs:
        from talvane_rs._cluster import DaskBackend, connect

        owned = isinstance(client, str)
        try:
            cluster = connect(client, notify, stop) if isinstance(client, str) else client
            backend = lambda: DaskBackend(cluster, owned)  # noqa: E731
        except Stopped:
            to_run = []  # stopped before any file was sent
    elif jobs > 1 and len(planned.jobs) > 1:
        backend = lambda: ProcessBackend(min(jobs, len(planned.jobs)))  # noqa: E731
    finished: list[Outcome] = []

    def record_job(outcome: Outcome) -> None:
        finished.append(outcome)
        record(outcome)

    run(to_run, backend, progress and planned.folder, stop, record_job)
    ran = {o.src for o in finished}
    for job in planned.jobs:
        if job.name not in ran:
            record(Outcome(src=job.name, skipped=True))
    if planned.combined is not None and finished:
        failure = write_combined(planned.combined, planned.fmt or "csv", planned.jobs, finished)
        if failure is not None:
            record(Outcome(src=str(planned.combined), error=failure))
    return Run(outcomes, planned.folder)


def run_folder(
    command: str,
    src: str | os.PathLike[str],
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
    **gate_params: Any,
) -> list[Outcome]:
    """Gates, cuts or masks a file or a folder of files as the talvane command
    does (``talvane COMMAND SRC -o DST``), and returns one outcome per file.

    src and dst are local paths or fsspec URLs (``s3://bucket/talks/``); dst
    None puts the results beside the input, tagged. client is a
    ``distributed.Client``, or a scheduler's address, to run one task per file
    on that cluster; else jobs local processes run them (1: this process).
    The other options are those of the command line, durations in ms, and the
    gate's parameters are passed as to ``EnergyTalvane``. on_outcome is called
    with each outcome as it comes. Each outcome has a summary, or an error for
    a file that failed (the others go on), or is skipped: not audio, a
    subfolder not walked, or not started when the run was interrupted. Raises
    ValueError for a request that cannot run, and for a missing input.
    """
    missing = missing_modules(["numpy", "soundfile"])
    if missing:
        raise ImportError(f"run_folder needs {join_names(missing)}: {INSTALL_HINT.format(extra='cli')}")
    if command not in OUTPUT_TAG:
        raise ValueError(f"command must be one of {', '.join(OUTPUT_TAG)}, not {command!r}")
    settings = {p.name: gate_params.pop(p.name, p.default) for p in gate_parameters()}
    if gate_params:
        raise TypeError(f"run_folder() got unexpected keyword arguments {', '.join(sorted(gate_params))}")
    EnergyTalvane(**{k: v for k, v in settings.items() if not isinstance(v, Duration)})  # checks them now
    request = Request(
        command=command, input=os.fspath(src), output=None if dst is None else os.fspath(dst), settings=settings,
        format=format, plot=None if plot is None else os.fspath(plot), recursive=recursive, overwrite=overwrite,
        stream=stream_ms, mono=mono, strict=strict, keep_pause=keep_pause_ms / 1000.0,
        crossfade=crossfade_ms / 1000.0,
    )  # fmt: skip
    return execute(request, client, jobs, on_outcome=on_outcome).outcomes


def main(argv: Sequence[str] | None = None) -> int:
    # From here on a signal never ends the process halfway: one that comes
    # before the run starts is kept, and stops the run as it starts.
    with StopSignals() as stop:
        return command(argv, stop)


def cluster_address(parser: Parser, args: argparse.Namespace) -> str | None:
    """The scheduler's address: --dask, else the variable unless -j asks for local processes."""
    if args.dask is not None and args.jobs is not None:
        parser.error("--dask runs the files on the cluster's workers, -j on this machine: give one of them")
    address: str | None = args.dask if args.dask is not None else (
        None if args.jobs is not None else os.environ.get(DASK_VARIABLE) or None
    )  # fmt: skip
    if address is not None and not address.strip():
        parser.error("--dask needs the scheduler's address, such as tcp://10.0.0.5:8786")
    return address


def command(argv: Sequence[str] | None, stop: StopSignals) -> int:
    parser = build_parser()
    args = parser.parse_args(join_negative_values(parser, sys.argv[1:] if argv is None else argv))
    missing = missing_modules(["numpy", "soundfile", "tqdm"])
    if missing:
        hint = INSTALL_HINT.format(extra="cli")
        print(f"{PROG}: the command-line tool needs {join_names(missing)}: {hint}", file=sys.stderr)
        return 1
    if args.plot is not None and missing_modules(["matplotlib"]):
        print(f"{PROG}: --plot needs matplotlib: {INSTALL_HINT.format(extra='plot')}", file=sys.stderr)
        return 1
    address = cluster_address(parser, args)
    needs = [("--dask", ["distributed", "fsspec"])] if address is not None else []
    needs += [(text, ["fsspec"]) for text in (args.input, args.output, args.plot) if text and URL.match(text)]
    for what, modules in needs:
        missing = missing_modules(modules)
        if missing:
            hint = INSTALL_HINT.format(extra="dask")
            print(f"{PROG}: {what} needs {join_names(missing)}: {hint}", file=sys.stderr)
            return 1
    if address is not None:
        import logging

        # The run reports what befalls its files; the client's own log of a lost
        # scheduler (tracebacks of its reconnection) would only bury that.
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
    settings = gate_settings(parser, args)
    request = Request(
        command=args.command, input=args.input, output=args.output, settings=settings, format=args.format,
        plot=args.plot, recursive=args.recursive, overwrite=args.overwrite, stream=getattr(args, "stream", None),
        mono=getattr(args, "mono", False), strict=args.strict, keep_pause=getattr(args, "keep_pause", 0.0),
        crossfade=getattr(args, "crossfade", 0.0),
    )  # fmt: skip
    from tqdm import tqdm

    reporter = Reporter(lambda text, stream: tqdm.write(text, file=stream))
    try:
        result = execute(request, address, args.jobs or 1, progress=True, on_outcome=reporter, stop=stop,
                         notify=lambda text: print(f"{PROG}: {text}", file=sys.stderr))
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return e.status
    signum = stop.signum  # one arriving from here on changes nothing
    tally = reporter.tally
    if signum is not None:
        print(f"{PROG}: stopped by {signal.Signals(signum).name}", file=sys.stderr)
    if result.folder or signum is not None:
        note = tally.passed_over_note(request.recursive)
        if note is not None:
            print(f"{PROG}: note: {note}", file=sys.stderr)
        print(tally, file=sys.stderr)
    if signum is not None:
        return 128 + signum
    return 1 if tally.failed else 0
