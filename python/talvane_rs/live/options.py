"""The options of ``talvane live`` (devices, block, rate, channels, where the gated
audio goes, and every gate parameter from the one parameter table) and of
``talvane devices``."""

from __future__ import annotations

import argparse
import textwrap
from typing import Any

from talvane_rs.gate_options import add_gate_options
from talvane_rs.units import Duration, parse_duration

DESCRIPTION = (
    "Capture audio from an input device, gate it block by block with the streaming gate (no delay beyond the "
    "device's block), and play it on an output device, write it to a file, or both. With neither, it only shows "
    "what the gate does. On a terminal one status line shows the input level, the noise floor and threshold, "
    "whether the gate is open and the share kept so far. Ctrl-C (or SIGTERM) stops it; the file is then "
    "finished and a summary printed. Needs talvane_rs[live] (sounddevice, over the PortAudio library)."
)
EXAMPLES = """examples:
  talvane devices                                  # the devices, and their numbers
  talvane live -o talk.wav                         # the default input, gated into talk.wav
  talvane live --output-device default             # listen to the gated input
  talvane live -i 2 --rate 48000 --block 512 --band speech -o talk.flac --save-input raw.flac
  PULSE_SOURCE=mic.monitor talvane live -o out.wav # a PulseAudio source, chosen by name"""
DEVICES_DESCRIPTION = (
    "List the audio devices talvane live can use: their numbers and names (either chooses one for talvane live), "
    "channels and default rate; > marks the default input, < the default output, * both."
)


def add_options(sub: argparse.ArgumentParser, name: str) -> None:
    """Fills in the parser of live, or of devices (which has no options)."""
    if name == "devices":
        sub.description = textwrap.fill(DEVICES_DESCRIPTION, 78)
        return
    sub.description, sub.epilog = textwrap.fill(DESCRIPTION, 78), EXAMPLES
    where = sub.add_argument_group("devices and the audio taken from them")
    where.add_argument("-i", "--input-device", metavar="DEVICE",
                       help="the input: its number or part of its name in talvane devices (default: the system's)")
    where.add_argument("--output-device", metavar="DEVICE",
                       help="play the gated audio on this output device: its number or part of its name, or "
                       "default (default: none)")  # fmt: skip
    where.add_argument("--rate", type=positive("a sample rate in Hz"), metavar="HZ",
                       help="sample rate in Hz (default: the input device's own)")
    where.add_argument("--channels", type=positive("a channel count"), default=1, metavar="N",
                       help="channels taken from the input; the gate decides on their mean and gates each (default 1)")
    where.add_argument("--block", type=block_size, default=512, metavar="FRAMES",
                       help="frames the device hands over at a time, or a duration (10ms); the gate adds no delay "
                       "beyond it (default 512)")  # fmt: skip
    where.add_argument("--duration", type=parse_duration, metavar="TIME",
                       help="stop after this much audio: ms, or a number with ms or s (default: at Ctrl-C)")
    out = sub.add_argument_group("files")
    out.add_argument("-o", "--output", metavar="FILE",
                     help="write the gated audio to FILE, in the format its extension names (any soundfile "
                     "writes; float WAV keeps every bit), finished when the run stops; - for a WAV stream on "
                     "standard output")  # fmt: skip
    out.add_argument("--save-input", metavar="FILE",
                     help="also write the input exactly as captured, before the gate, to FILE")
    add_gate_options(sub, "gate parameters (levels in RMS of full scale 1.0, or in dB and dBFS)")


def positive(what: str) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = 0
        if value < 1:
            raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected {what}, a whole number above 0")
        return value

    return parse


def block_size(text: str) -> int | Duration:
    """Frames, a whole number above 0, or a duration (10ms) that becomes frames at the rate."""
    try:
        value = int(text)
    except ValueError:
        value = 0
        if text.strip()[-1:].lower() == "s":  # 10ms or 0.01s; a bare number is frames
            try:
                seconds = parse_duration(text)
            except argparse.ArgumentTypeError:
                seconds = 0.0
            if seconds > 0:
                return Duration(seconds, text.strip())
    if value < 1:
        raise argparse.ArgumentTypeError(
            f"invalid value {text!r}: expected frames, a whole number above 0, or a duration such as 10ms")
    return value
