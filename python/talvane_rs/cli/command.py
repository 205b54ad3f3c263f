"""The ``talvane`` command: gate, cut or mask audio files, one file, a folder or a pipe.

This module and the ones it imports use only the standard library and the gate
itself, so that a missing optional dependency is reported in one line rather
than a traceback; the work on each file imports NumPy and soundfile once they
are known to be there.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
from collections.abc import Sequence

from talvane_rs.actions import ACTIONS, action_class
from talvane_rs.cli.parser import DASK_VARIABLE, Parser, build_parser, join_values
from talvane_rs.engine.execute import execute
from talvane_rs.engine.plan import Request
from talvane_rs.engine.report import Reporter
from talvane_rs.errors import INSTALL_HINT, PROG, StopSignals, UsageError, join_names, missing_modules
from talvane_rs.io.storage import URL
from talvane_rs.params import PRODUCT_PARAMETERS, GateSettings


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


def gate_settings(parser: Parser, args: argparse.Namespace) -> GateSettings:
    """The settings the options give: those a command offers, the others at their defaults."""
    if args.command in ACTIONS and (conflict := action_class(args.command).conflict(vars(args))):
        parser.error(conflict)
    settings = GateSettings(**{p.name: getattr(args, p.name) for p in PRODUCT_PARAMETERS if hasattr(args, p.name)})
    if args.threshold is not None:
        if settings.differs("base_thresh") or settings.differs("max_thresh"):
            parser.error("--threshold sets both limits of the threshold: give it, or --base-thresh and --max-thresh")
        settings = dataclasses.replace(settings, base_thresh=args.threshold, max_thresh=args.threshold)
    if settings.base_thresh > settings.max_thresh:
        parser.error(f"--base-thresh ({settings.base_thresh:g}) must not be above --max-thresh "
                     f"({settings.max_thresh:g})")  # fmt: skip
    return settings


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


def command(argv: Sequence[str] | None, stop: StopSignals) -> int:
    parser = build_parser()
    args = parser.parse_args(join_values(parser, sys.argv[1:] if argv is None else argv))
    if args.command == "tune":
        from talvane_rs.tune.command import tune

        return tune(args, gate_settings(parser, args), stop)
    if args.command in ("live", "devices"):
        from talvane_rs.live.command import devices, live

        return live(args, gate_settings(parser, args), stop) if args.command == "live" else devices(args)
    missing = missing_tools(args)
    address = None
    if missing is None:
        address = cluster_address(parser, args)
        missing = missing_stores(args, address)
    if missing is not None:
        print(f"{PROG}: {missing}", file=sys.stderr)
        return 1
    if address is not None:
        import logging

        # The run reports what befalls its files; the client's own log of a lost
        # scheduler (tracebacks of its reconnection) would only bury that.
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
    request = Request(
        action=action_class(args.command).from_options(vars(args)), inputs=args.inputs, output=args.output,
        settings=gate_settings(parser, args), format=args.format, plot=args.plot, recursive=args.recursive,
        overwrite=args.overwrite, strict=args.strict, plot_range=args.plot_range,
    )  # fmt: skip
    if args.plot_range is not None and args.plot is None:
        parser.error("--plot-range chooses the stretch --plot draws: give --plot too")
    from tqdm import tqdm

    from talvane_rs.io.sink import is_stdout

    reporter = Reporter(lambda text, stream: tqdm.write(text, file=stream), is_stdout(args.output))
    try:
        result = execute(request, address, args.jobs or 1, progress=True, on_outcome=reporter, stop=stop,
                         notify=lambda text: print(f"{PROG}: {text}", file=sys.stderr))  # fmt: skip
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return e.status
    return reporter.close(result.folder, request.recursive, stop.signum)
