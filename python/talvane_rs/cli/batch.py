"""gate, cut, mask and split: the options every action has, the action's own and
the gate parameters it takes, and the run of the engine over the inputs.

Only the standard library and the gate itself are imported before the run, so
that a missing optional dependency is reported in one line rather than a
traceback; the work on each file imports NumPy and soundfile once they are
known to be there.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from talvane_rs.actions import action_class, action_for
from talvane_rs.actions.base import Action, Option
from talvane_rs.errors import INSTALL_HINT, PROG, OptionError, StopSignals, UsageError, join_names, missing_modules
from talvane_rs.gate_options import add_gate_options, settings_from_options
from talvane_rs.io.storage import URL
from talvane_rs.params import GateSettings
from talvane_rs.units import parse_range

if TYPE_CHECKING:
    from talvane_rs.engine.jobs import Request

DASK_VARIABLE = "TALVANE_DASK"  # the scheduler's address when --dask is not given


def parse_jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a whole number of at least 1")
    return value


def add_option(parser: argparse.ArgumentParser | argparse._ArgumentGroup, option: Option) -> None:
    if option.flag:
        parser.add_argument(*option.flags, action="store_true", help=option.help)
        return
    extra: dict[str, Any] = {} if option.dest is None else {"dest": option.dest}
    if option.type is not None:
        extra["type"] = option.type
    parser.add_argument(*option.flags, default=option.default, metavar=option.metavar, choices=option.choices,
                        help=option.help, **extra)  # fmt: skip


def add_options(parser: argparse.ArgumentParser, name: str) -> None:
    """The options of an action's command: the inputs and outputs, the run, the
    action's own, and the gate parameters it reads."""
    action = action_class(name)
    parser.description = textwrap.fill(action.description, 78)
    parser.epilog = action.examples
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="audio files, folders of audio files, or - for standard input; files and folders may "
                        "be fsspec URLs (s3://bucket/talks/); one named twice is taken once")
    parser.add_argument(
        "-o", "--output",
        help=f"{action.output_help}; a name ending in / or an existing folder is a folder (default: beside the "
        f"input, tagged .{action.tag})",
    )  # fmt: skip
    for option in action.output_options:
        add_option(parser, option)
    parser.add_argument("--overwrite", action="store_true", help=action.overwrite_help)
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
    parser.add_argument(
        "--plot-range", type=parse_range, metavar="START-END",
        help="draw only this stretch, in full detail: seconds, or durations with ms or s (90-120, 1.5s-2s, 90-)",
    )  # fmt: skip
    parser.add_argument("--strict", action="store_true",
                        help="fail a file holding NaN or infinite samples, rather than reading them as 0.0")
    for option in action.options:
        add_option(parser, option)
    add_gate_options(parser, "gate parameters (levels in RMS of full scale 1.0, or in dB and dBFS)", action.stages)


def cluster_address(args: argparse.Namespace) -> str | None:
    """The scheduler's address: --dask, else the variable unless -j asks for local processes."""
    if args.dask is not None and args.jobs is not None:
        raise OptionError("--dask runs the files on the cluster's workers, -j on this machine: give one of them")
    address: str | None = args.dask if args.dask is not None else (
        None if args.jobs is not None else os.environ.get(DASK_VARIABLE) or None
    )  # fmt: skip
    if address is not None and not address.strip():
        raise OptionError("--dask needs the scheduler's address, such as tcp://10.0.0.5:8786")
    return address


def missing_tools(args: argparse.Namespace) -> str | None:
    """What every run needs and lacks (and --plot), in one line, or None."""
    missing = missing_modules(["numpy", "soundfile", "tqdm"])
    if missing:
        return f"the command-line tool needs {join_names(missing)}: {INSTALL_HINT.format(extra='cli')}"
    if args.plot is not None and missing_modules(["matplotlib"]):
        return f"--plot needs matplotlib: {INSTALL_HINT.format(extra='plot')}"
    return None


def missing_stores(args: argparse.Namespace, address: str | None) -> str | None:
    """What a cluster or a URL needs and lacks, in one line, or None."""
    needs = [("--dask", ["distributed", "fsspec"])] if address is not None else []
    needs += [(text, ["fsspec"]) for text in (*args.inputs, args.output, args.plot) if text and URL.match(text)]
    for what, modules in needs:
        missing = missing_modules(modules)
        if missing:
            return f"{what} needs {join_names(missing)}: {INSTALL_HINT.format(extra='dask')}"
    return None


def request_of(action: Action, args: argparse.Namespace, settings: GateSettings) -> Request:
    if args.plot_range is not None and args.plot is None:
        raise OptionError("--plot-range chooses the stretch --plot draws: give --plot too")
    from talvane_rs.engine.jobs import Request

    return Request(
        action=action, inputs=args.inputs, output=args.output, settings=settings, format=args.format,
        plot=args.plot, recursive=args.recursive, overwrite=args.overwrite, strict=args.strict,
        plot_range=args.plot_range, preset=args.preset,
    )  # fmt: skip


def command(name: str, args: argparse.Namespace, stop: StopSignals) -> int:
    """Runs the action over the inputs; the exit status."""
    settings = settings_from_options(args)
    given = {**vars(settings), **vars(args)}  # the gate parameters left out are the preset's
    conflict = action_class(name).conflict(given)
    if conflict:
        raise OptionError(conflict)
    missing = missing_tools(args)
    address = None
    if missing is None:
        address = cluster_address(args)
        missing = missing_stores(args, address)
    if missing is not None:
        print(f"{PROG}: {missing}", file=sys.stderr)
        return 1
    request = request_of(action_for(name, vars(args)), args, settings)
    # The engine is imported once a run is due, so that --help stays quick.
    from tqdm import tqdm

    from talvane_rs.engine.execute import execute
    from talvane_rs.engine.report import Report
    from talvane_rs.io.sink import is_stdout

    report = Report(lambda text, stream: tqdm.write(text, file=stream), is_stdout(args.output))
    try:
        with quiet_client(address is not None):
            result = execute(request, address, args.jobs or 1, progress=True, on_outcome=report.add, stop=stop,
                             notify=report.say)  # fmt: skip
    except UsageError as e:
        report.error(str(e))
        return e.status
    return report.close(result.folder, request.recursive, stop.signum)


@contextmanager
def quiet_client(active: bool) -> Iterator[None]:
    """While active, the Dask client logs only critical records: the run reports
    what befalls its files, and the client's own log of a lost scheduler
    (tracebacks of its reconnection) would only bury that. Its level is put
    back afterwards, for a caller of main() that goes on."""
    if not active:
        yield
        return
    import logging

    logger = logging.getLogger("distributed")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        logger.setLevel(level)
