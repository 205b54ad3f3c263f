"""The options of ``talvane tune``: the file, where to serve it, and every gate
parameter (from the one parameter table) to start from."""

from __future__ import annotations

import argparse
import textwrap

from talvane_rs.gate_options import add_gate_options
from talvane_rs.units import parse_duration

DESCRIPTION = (
    "Serve a local web page (on 127.0.0.1, at an address with a random token) that shows the waveform, the "
    "window energies against the noise floor and threshold, the music measure (when on) and the gain curve of one "
    "file; every gate parameter is a control, and moving one redraws at once. Listen to the original, gated or cut "
    "audio, then copy the equivalent talvane command or Python call, or save the gated or cut file beside the input. "
    "Ctrl-C stops it."
)
EXAMPLES = """examples:
  talvane tune talk.flac                         # opens the page in the browser
  talvane tune talk.wav --base-thresh -45dB --no-browser --port 8765"""


def add_options(sub: argparse.ArgumentParser, name: str) -> None:
    """Fills in the tune command's parser."""
    sub.description, sub.epilog = textwrap.fill(DESCRIPTION, 78), EXAMPLES
    sub.add_argument("inputs", nargs=1, metavar="FILE", help="the audio file to tune the gate on")
    sub.add_argument("--port", type=port_number, default=0, metavar="N",
                     help="serve on this port of 127.0.0.1 (default: a free one)")  # fmt: skip
    sub.add_argument("--no-browser", action="store_true", help="print the page's address, do not open it")
    sub.add_argument("--keep-pause", type=parse_duration, default=0.0, metavar="TIME",
                     help="for the cut audio: the cut command's --keep-pause (default 0)")  # fmt: skip
    sub.add_argument("--crossfade", type=parse_duration, default=0.0, metavar="TIME",
                     help="for the cut audio: the cut command's --crossfade (default 0)")  # fmt: skip
    add_gate_options(sub, "gate parameters to start from (levels in RMS of full scale 1.0 or in dB)")


def port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a port, 0 to 65535 (0: a free one)")
    return value
