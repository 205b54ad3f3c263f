"""The talvane command line: its parser, the planning of a run from the names it
is given, the run itself, and what it reports."""

from talvane_rs.cli.command import main

__all__ = ["main"]
