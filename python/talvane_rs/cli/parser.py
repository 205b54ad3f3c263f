"""The talvane command line's parser: every command listed from the table of
commands, the chosen one's options filled in by its own module; and the joining
of values argparse would misread (negative numbers, a bare unit word)."""

from __future__ import annotations

import argparse
import re
from collections.abc import Sequence
from typing import NoReturn

from talvane_rs._version import __version__
from talvane_rs.cli.commands import COMMANDS
from talvane_rs.errors import PROG


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the user knows where --help is.
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser(chosen: str | None) -> tuple[Parser, Parser | None]:
    """The command line's parser, every command listed by its summary, and the
    chosen command's parser with its options (None when no command is chosen):
    only the chosen command's module is imported."""
    parser = Parser(
        prog=PROG,
        allow_abbrev=False,
        description="Energy-based voice gate for audio files: turn down, cut out or list the audio outside "
        "speech. Reads WAV, FLAC, OGG, MP3 and whatever else soundfile reads; one file, a folder, or a pipe.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    found = None
    for name, command in COMMANDS.items():
        sub = commands.add_parser(name, help=command.summary, description=command.summary, allow_abbrev=False,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)  # fmt: skip
        if name == chosen:
            command.load().add_options(sub, name)
            found = sub
    return parser, found


def chosen_command(argv: Sequence[str]) -> str | None:
    """The command argv names: its first word that is not an option (the command
    line's own options take no value)."""
    for item in argv:
        if item == "--":
            return None
        if not item.startswith("-"):
            return item if item in COMMANDS else None
    return None


NEGATIVE_VALUE = re.compile(r"-(?:\d|\.\d|inf)", re.IGNORECASE)
UNIT_WORDS = frozenset({"db", "dbfs", "ms", "s", "hz"})


def join_values(parser: argparse.ArgumentParser, argv: Sequence[str]) -> list[str]:
    """argv with each option's value joined to it where argparse would misread it:
    a value that starts with a minus sign ('--base-thresh -42dB' becomes
    '--base-thresh=-42dB'; argparse would take '-42dB' for an option), and a value
    followed by a bare unit word ('--attenuation -inf dB', '--fade-ms 10 ms'),
    which becomes the value's unit. A file named like a unit is given as ./dB."""
    takes_value: dict[str, str] = {}
    for action in parser._actions:
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
