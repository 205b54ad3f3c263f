"""``talvane tune FILE``: reads the file, analyses it with the parameters given,
and serves the page until Ctrl-C (or SIGTERM)."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from talvane_rs.errors import INSTALL_HINT, PROG, FileError, StopSignals, join_names, missing_modules
from talvane_rs.gate_options import settings_from_options
from talvane_rs.tune.options import add_options


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def command(name: str, args: argparse.Namespace, stop: StopSignals) -> int:
    """Runs talvane tune with the parsed options and the gate settings they give; the exit status."""
    settings = settings_from_options(args)
    missing = missing_modules(["numpy", "soundfile", "tornado"])
    if missing:
        say(f"tune needs {join_names(missing)}: {INSTALL_HINT.format(extra='tune')}")
        return 1
    from talvane_rs.tune.server import serve
    from talvane_rs.tune.session import Session, load
    from talvane_rs.tune.settings import initial_texts, read_settings

    path = args.inputs[0]
    if path == "-":
        say("error: tune needs a file it can read again when it saves the result beside it, not standard input (-)")
        return 2
    try:
        loaded = load(Path(path))
    except FileError as e:
        say(f"error: {path}: {e}")
        return 1
    for note in loaded.notes:
        say(f"note: {path}: {note}")
    texts = initial_texts(settings, {"keep_pause": args.keep_pause, "crossfade": args.crossfade})
    chosen, errors = read_settings(texts, loaded.rate)
    if chosen is None:
        say(f"error: {'; '.join(f'{k}: {v}' for k, v in errors.items())}")
        return 2
    session = Session(loaded)
    session.update(chosen)
    return serve(session, path, args.port, not args.no_browser, stop, say)


__all__ = ["add_options", "command"]
