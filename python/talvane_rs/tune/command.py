"""``talvane tune FILE``: reads the file, analyses it with the parameters given,
and serves the page until Ctrl-C (or SIGTERM)."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from talvane_rs.errors import INSTALL_HINT, PROG, FileError, StopSignals, join_names, missing_modules
from talvane_rs.params import GateSettings


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def tune(args: argparse.Namespace, settings: GateSettings, stop: StopSignals) -> int:
    """Runs talvane tune with the parsed options and the gate settings they give; the exit status."""
    missing = missing_modules(["numpy", "soundfile", "tornado"])
    if missing:
        say(f"tune needs {join_names(missing)}: {INSTALL_HINT.format(extra='tune')}")
        return 1
    from talvane_rs.tune.server import serve
    from talvane_rs.tune.session import Session, load
    from talvane_rs.tune.settings import initial_texts, read_settings

    name = args.inputs[0]
    if name == "-":
        say("error: tune needs a file it can read again when it saves the result beside it, not standard input (-)")
        return 2
    try:
        loaded = load(Path(name))
    except FileError as e:
        say(f"error: {name}: {e}")
        return 1
    for note in loaded.notes:
        say(f"note: {name}: {note}")
    texts = initial_texts(settings, {"keep_pause": args.keep_pause, "crossfade": args.crossfade})
    chosen, errors = read_settings(texts, loaded.rate)
    if chosen is None:
        say(f"error: {'; '.join(f'{k}: {v}' for k, v in errors.items())}")
        return 2
    session = Session(loaded)
    session.update(chosen)
    return serve(session, name, args.port, not args.no_browser, stop, say)
