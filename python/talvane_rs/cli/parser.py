"""The talvane command line's parser: one subcommand per action, with the
options every action has, the action's own, and the gate parameters it takes
(from the one parameter table)."""

from __future__ import annotations

import argparse
import re
import textwrap
from collections.abc import Sequence
from typing import Any, NoReturn

from talvane_rs._version import __version__
from talvane_rs.actions import ACTIONS, action_class
from talvane_rs.actions.base import Action, Option
from talvane_rs.errors import PROG
from talvane_rs.live.options import add_parsers as add_live
from talvane_rs.params import add_gate_options
from talvane_rs.tune.options import add_parser as add_tune
from talvane_rs.units import parse_range

DASK_VARIABLE = "TALVANE_DASK"  # the scheduler's address when --dask is not given


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


def add_option(parser: argparse.ArgumentParser | argparse._ArgumentGroup, option: Option) -> None:
    if option.flag:
        parser.add_argument(*option.flags, action="store_true", help=option.help)
        return
    extra: dict[str, Any] = {} if option.dest is None else {"dest": option.dest}
    if option.type is not None:
        extra["type"] = option.type
    parser.add_argument(*option.flags, default=option.default, metavar=option.metavar, choices=option.choices,
                        help=option.help, **extra)  # fmt: skip


def add_common(parser: Parser, action: type[Action]) -> None:
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


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        allow_abbrev=False,
        description="Energy-based voice gate for audio files: turn down, cut out or list the audio outside "
        "speech. Reads WAV, FLAC, OGG, MP3 and whatever else soundfile reads; one file, a folder, or a pipe.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    for name in ACTIONS:
        action = action_class(name)
        sub = commands.add_parser(
            name, help=action.help, description=textwrap.fill(action.description, 78), epilog=action.examples,
            formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False,
        )  # fmt: skip
        add_common(sub, action)
        for option in action.options:
            add_option(sub, option)
        add_gate_options(sub, "gate parameters (levels in RMS of full scale 1.0, or in dB and dBFS)", action.stages)
    add_tune(commands)
    add_live(commands)
    return parser


NEGATIVE_VALUE = re.compile(r"-(?:\d|\.\d|inf)", re.IGNORECASE)
UNIT_WORDS = frozenset({"db", "dbfs", "ms", "s", "hz"})


def join_values(parser: Parser, argv: Sequence[str]) -> list[str]:
    """argv with each option's value joined to it where argparse would misread it:
    a value that starts with a minus sign ('--base-thresh -42dB' becomes
    '--base-thresh=-42dB'; argparse would take '-42dB' for an option), and a value
    followed by a bare unit word ('--attenuation -inf dB', '--fade-ms 10 ms'),
    which becomes the value's unit. A file named like a unit is given as ./dB."""
    takes_value: dict[str, str] = {}
    subparsers = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    for sub in (p for a in subparsers for p in a.choices.values()):
        for action in sub._actions:
            if action.option_strings and action.nargs is None:
                long = next((o for o in action.option_strings if o.startswith("--")), action.option_strings[0])
                for option in action.option_strings:
                    takes_value[option] = long

    def unit_at(i: int) -> bool:
        return i < len(items) and items[i].lower() in UNIT_WORDS

    out: list[str] = []
    items = list(argv)
    i = 0
    while i < len(items):
        item = items[i]
        if item == "--":
            out.extend(items[i:])
            break
        option, equals, value = item.partition("=")
        if equals and option in takes_value and unit_at(i + 1):  # --attenuation=-inf dB
            out.append(f"{takes_value[option]}={value}{items[i + 1]}")
            i += 2
        elif item in takes_value and i + 1 < len(items) and (unit_at(i + 2) or NEGATIVE_VALUE.match(items[i + 1])):
            unit = items[i + 2] if unit_at(i + 2) else ""
            out.append(f"{takes_value[item]}={items[i + 1]}{unit}")
            i += 3 if unit else 2
        else:
            out.append(item)
            i += 1
    return out
