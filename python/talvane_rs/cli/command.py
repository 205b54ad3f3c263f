"""The ``talvane`` command: the chosen command's options parsed, the gate settings
they give, and the command's own module run with them."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from talvane_rs.cli.commands import COMMANDS
from talvane_rs.cli.parser import build_parser, chosen_command, join_values
from talvane_rs.errors import OptionError, StopSignals


def main(argv: Sequence[str] | None = None) -> int:
    # From here on a signal never ends the process halfway: one that comes
    # before the run starts is kept, and stops the run as it starts.
    with StopSignals() as stop:
        return command(list(sys.argv[1:] if argv is None else argv), stop)


def command(argv: list[str], stop: StopSignals) -> int:
    name = chosen_command(argv)
    parser, sub = build_parser(name)
    args = parser.parse_args(argv if sub is None else join_values(sub, argv))
    assert name is not None and sub is not None  # parse_args ends the run without a command
    try:
        return int(COMMANDS[name].load().command(name, args, stop))
    except OptionError as e:
        sub.error(str(e))
