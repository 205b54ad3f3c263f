"""The ``talvane`` command: gate, cut or mask audio files, one file or a folder.

This module imports only the standard library and the gate itself, so that a
missing optional dependency is reported in one line rather than a traceback;
the work on each file lives in ``talvane_rs._audio``, imported once the
dependencies are known to be there.
"""

from __future__ import annotations

import argparse
import importlib.util
import inspect
import math
import os
import secrets
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from types import FrameType
from typing import TYPE_CHECKING, Any, NoReturn

from talvane_rs import EnergyTalvane, __version__
from talvane_rs._jobs import Job, Outcome, sweep_temporaries

if TYPE_CHECKING:
    from concurrent.futures import ProcessPoolExecutor

PROG = "talvane"
U64_MAX = 2**64 - 1

# Meaning and unit of each gate parameter, for --help; the defaults come from
# the class itself.
PARAMETER_HELP = {
    "enabled": "when false, gate passes the audio through unchanged",
    "window_ms": "analysis window, ms",
    "base_thresh": "lower limit of the voice threshold, RMS",
    "threshold_ratio": "threshold = noise floor x this",
    "max_thresh": "upper limit of the voice threshold, RMS",
    "smooth_alpha": "weight of the newest window in the energy smoothing",
    "min_voice_windows": "voice runs shorter than this many windows are dropped",
    "attenuation": "linear gain of dropped audio",
    "noise_floor_percentile": "percentile of smoothed energies taken as the noise floor",
    "max_silence_gap_windows": "gaps of at most this many windows between voice are filled",
    "fade_ms": "length of each gain ramp, ms",
    "stream_context_ms": "past audio the streaming gate analyses with each chunk, ms",
    "pad_voice_windows": "windows kept on each side of voice",
    "pass_windows": "first windows of every dropped stretch kept anyway",
}

# Extensions of the files a folder run picks up.
AUDIO_SUFFIXES = frozenset(
    {".wav", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aif", ".aiff", ".aifc", ".au", ".caf", ".w64", ".rf64"}
)
WRITABLE_SUFFIXES = (".wav", ".flac", ".ogg", ".aiff", ".aif", ".au", ".caf", ".w64")
OUTPUT_TAG = {"gate": "gated", "cut": "cut", "mask": "regions"}


class UsageError(Exception):
    """A problem with the command line as a whole; nothing is processed."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the user knows where --help is.
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def parse_bool(text: str) -> bool:
    value = text.strip().lower()
    if value in ("true", "yes", "on", "1"):
        return True
    if value in ("false", "no", "off", "0"):
        return False
    raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected true or false")


def parse_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a whole number from 0 to {U64_MAX}")
    return value


def float_parser(allow_inf: bool) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if math.isnan(value) or (math.isinf(value) and not (allow_inf and value > 0)):
            kind = "a number (or inf)" if allow_inf else "a finite number"
            raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected {kind}")
        return value

    return parse


def parse_positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a positive number")
    return value


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


def build_parser() -> Parser:
    common = Parser(add_help=False)
    common.add_argument("input", type=Path, help="audio file, or folder of audio files")
    common.add_argument(
        "-o",
        "--output",
        type=Path,
        help="output file, or folder; by default beside the input, tagged with the command",
    )
    common.add_argument("--overwrite", action="store_true", help="allow the output to replace an input file")
    common.add_argument(
        "-j", "--jobs", type=parse_jobs, default=1, metavar="N", help="worker processes for a folder (default 1)"
    )
    common.add_argument(
        "--plot",
        type=Path,
        metavar="FILE.png",
        help="draw the waveform, the kept regions and the gain (a folder of PNGs for a folder input)",
    )
    params = common.add_argument_group("gate parameters")
    for p in gate_parameters():
        if isinstance(p.default, bool):
            convert: Callable[[str], Any] = parse_bool
            metavar = "BOOL"
        elif isinstance(p.default, int):
            convert, metavar = parse_count, "N"
        else:
            convert, metavar = float_parser(allow_inf=p.name == "max_thresh"), "X"
        default = str(p.default).lower() if isinstance(p.default, bool) else p.default
        params.add_argument(
            "--" + p.name.replace("_", "-"),
            dest=p.name,
            type=convert,
            default=p.default,
            metavar=metavar,
            help=f"{PARAMETER_HELP[p.name]} (default {default})",
        )

    parser = Parser(
        prog=PROG,
        description="Energy-based voice gate for audio files (WAV, FLAC, OGG, ...). "
        "Multi-channel input is mixed down to mono.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    gate = commands.add_parser(
        "gate", parents=[common], help="attenuate the audio outside speech", description="Apply the gate's gains."
    )
    gate.add_argument(
        "--stream",
        type=parse_positive,
        metavar="CHUNK_MS",
        help="run the streaming gate over chunks of this many milliseconds",
    )
    commands.add_parser(
        "cut", parents=[common], help="cut the audio outside speech out", description="Keep only the kept audio."
    )
    mask = commands.add_parser(
        "mask",
        parents=[common],
        help="write the kept regions as CSV or JSON",
        description="Write the kept regions [start, end) in seconds and in samples; -o - writes to standard output.",
    )
    mask.add_argument("--format", choices=("csv", "json"), help="default: from the output's extension, else csv")
    return parser


def gate_settings(parser: Parser, args: argparse.Namespace) -> dict[str, Any]:
    settings = {p.name: getattr(args, p.name) for p in gate_parameters()}
    low, high = settings["base_thresh"], settings["max_thresh"]
    if low > high:
        parser.error(f"--base-thresh ({low}) must not be above --max-thresh ({high})")
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


def output_path(args: argparse.Namespace, src: Path, folder: Path | None, fmt: str | None) -> Path:
    """Where the result for src goes: -o, or beside the input with the command's tag."""
    if args.command == "mask":
        suffix = "." + (fmt or "csv")
    else:
        suffix = src.suffix.lower() if src.suffix.lower() in WRITABLE_SUFFIXES else ".wav"
    if folder is not None:
        return folder / (src.stem + suffix)
    if args.output is not None:
        return Path(args.output)
    return src.with_name(f"{src.stem}.{OUTPUT_TAG[args.command]}{suffix}")


def check_output(dst: Path, command: str) -> None:
    if str(dst) == "-" and command != "mask":
        raise ValueError("-o - (standard output) is only for mask")
    if command == "mask":
        return
    if dst.suffix.lower() not in WRITABLE_SUFFIXES:
        kind = dst.suffix or "extension-less"
        raise ValueError(f"cannot write {kind} files; use one of {', '.join(WRITABLE_SUFFIXES)}")


def same_file(a: Path, b: Path) -> bool:
    try:
        return a.exists() and b.exists() and os.path.samefile(a, b)
    except OSError:
        return False


def plan(args: argparse.Namespace, settings: dict[str, Any]) -> tuple[list[Job], list[str]]:
    """The jobs to run and the per-file errors found before running any."""
    src: Path = args.input
    if not src.exists():
        raise UsageError(f"{src}: no such file or folder")
    fmt = getattr(args, "format", None)
    if args.command == "mask" and fmt is None:
        fmt = "json" if args.output is not None and args.output.suffix.lower() == ".json" else "csv"
    token = secrets.token_hex(8)
    if src.is_dir():
        sources = sorted(p for p in src.iterdir() if p.is_file() and p.suffix.lower() in AUDIO_SUFFIXES)
        if not sources:
            raise UsageError(f"{src}: no audio files in this folder")
        if args.output is not None and str(args.output) == "-":
            raise UsageError("-o - needs a single input file")
        out_dir = args.output if args.output is not None else src.with_name(f"{src.name}.{OUTPUT_TAG[args.command]}")
        plot_dir = args.plot
        for folder in (out_dir, plot_dir):
            if folder is None:
                continue
            try:
                folder.mkdir(parents=True, exist_ok=True)
            except OSError as e:
                raise UsageError(f"{folder}: cannot make the output folder ({e.strerror or e})") from None
    else:
        sources, plot_dir = [src], None
        out_dir = args.output if args.output is not None and args.output.is_dir() else None

    jobs, errors = [], []
    claimed: dict[Path, Path] = {}  # output -> the input that writes it
    for s in sources:
        dst = output_path(args, s, out_dir, fmt)
        plot = plot_dir / (s.stem + ".png") if plot_dir is not None else args.plot
        targets = [t for t in (dst, plot) if t is not None and str(t) != "-"]
        try:
            check_output(dst, args.command)
            for target in targets:
                if not args.overwrite and any(same_file(target, t) for t in sources):
                    raise ValueError(f"{target} is an input; pass --overwrite to replace it")
                if target.resolve() in claimed:
                    raise ValueError(f"{target} is also the output for {claimed[target.resolve()]}")
                claimed[target.resolve()] = s
        except ValueError as e:
            errors.append(f"{s}: {e}")
            continue
        jobs.append(
            Job(
                command=args.command,
                src=s,
                dst=dst,
                plot=plot,
                settings=settings,
                token=token,
                stream_ms=getattr(args, "stream", None),
                fmt=fmt,
            )
        )
    return jobs, errors


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


def run_in_pool(jobs: list[Job], workers: int, stop: StopSignals, record: Callable[[Outcome], None]) -> None:
    import multiprocessing
    import queue
    from concurrent.futures import Future, ProcessPoolExecutor
    from multiprocessing import resource_tracker

    from talvane_rs._audio import process, start_worker

    pool, futures = None, {}
    # Finished jobs, and None for a signal, in the order they come. The handler
    # runs between any two steps of this thread, even inside put() or get();
    # SimpleQueue is the queue that stays sound when so re-entered.
    events: queue.SimpleQueue[Future[Outcome] | None] = queue.SimpleQueue()
    stop.wake = lambda: events.put(None)
    try:
        # Spawned, not forked: the parent already runs threads (the progress bar's).
        # Workers start with SIGINT blocked until they ignore it. Starting the
        # resource tracker unblocks SIGINT, so it starts first.
        if os.name == "posix":
            resource_tracker.ensure_running()
        with sigint_blocked():
            context = multiprocessing.get_context("spawn")
            count = min(workers, len(jobs))
            pool = ProcessPoolExecutor(max_workers=count, mp_context=context, initializer=start_worker)
            for job in jobs:
                future = pool.submit(process, job)
                futures[future] = job
                future.add_done_callback(events.put)
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
                outcome = Outcome(error=f"{job.src}: worker process failed ({e})")
            record(outcome)
    except BaseException as e:
        # Ending the workers ends the jobs under way, and no other job can start:
        # the broken pool fails every pending future itself. (Cancelling them here
        # races its thread, which in some versions then fails on a cancelled one.)
        # The workers are gone before this process exits, so none writes after it.
        if pool is not None:
            end_workers(pool)
            pool.shutdown(wait=True, cancel_futures=True)
            if isinstance(e, Stopped):
                # Jobs that finished while the run was stopping wrote their outputs: they count.
                for future in futures:
                    if future.done() and not future.cancelled() and future.exception() is None:
                        record(future.result())
        raise
    finally:
        stop.wake = None
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)


def run(jobs: list[Job], workers: int, show_progress: bool, stop: StopSignals) -> list[Outcome]:
    """The outcomes of the jobs, in the order they finished; those that a stop
    signal kept from finishing have none."""
    from tqdm import tqdm

    from talvane_rs._audio import process

    outcomes = []
    bar = tqdm(total=len(jobs), unit="file", disable=not show_progress or None, file=sys.stderr)

    def record(outcome: Outcome) -> None:
        outcomes.append(outcome)
        for note in outcome.notes:
            tqdm.write(f"{PROG}: note: {note}", file=sys.stderr)
        if outcome.error is not None:
            tqdm.write(f"{PROG}: error: {outcome.error}", file=sys.stderr)
        elif outcome.summary is not None:
            stream = sys.stderr if outcome.to_stdout else sys.stdout
            tqdm.write(outcome.summary, file=stream)
        bar.update()

    try:
        with bar:
            if workers <= 1 or len(jobs) <= 1:
                for job in jobs:
                    stop.check()
                    record(process(job, stop.check))
            else:
                run_in_pool(jobs, workers, stop, record)
    except Stopped:
        pass  # the outcomes so far are the run's
    finally:
        # Workers ended in the middle of a write leave their temporary files.
        sweep_temporaries(jobs)
    return outcomes


def main(argv: Sequence[str] | None = None) -> int:
    # From here on a signal never ends the process halfway: one that comes
    # before the run starts is kept, and stops the run as it starts.
    with StopSignals() as stop:
        return command(argv, stop)


def command(argv: Sequence[str] | None, stop: StopSignals) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    needed = ["numpy", "soundfile", "tqdm"]
    missing = missing_modules(needed)
    if missing:
        print(
            f"{PROG}: the command-line tool needs {join_names(missing)}: pip install 'talvane_rs[cli]'",
            file=sys.stderr,
        )
        return 1
    if args.plot is not None and missing_modules(["matplotlib"]):
        print(f"{PROG}: --plot needs matplotlib: pip install 'talvane_rs[plot]'", file=sys.stderr)
        return 1
    settings = gate_settings(parser, args)
    try:
        jobs, errors = plan(args, settings)
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    for error in errors:
        print(f"{PROG}: error: {error}", file=sys.stderr)
    folder = args.input.is_dir()
    outcomes = run(jobs, args.jobs, folder, stop)
    signum = stop.signum  # one arriving from here on changes nothing
    failed = len(errors) + sum(o.error is not None for o in outcomes)
    if signum is not None:
        print(f"{PROG}: stopped by {signal.Signals(signum).name}", file=sys.stderr)
    if folder or signum is not None:
        done = len(outcomes) - sum(o.error is not None for o in outcomes)
        print(f"{done} done, {failed} failed, {len(jobs) - len(outcomes)} skipped", file=sys.stderr)
    if signum is not None:
        return 128 + signum
    return 1 if failed else 0
