"""The one table of the gate parameters.

Names, order, defaults and types come from the native classes' text signature,
which the extension expands from the core's own table; this module adds what a
person needs: the unit, a one-line help and how the command line reads a value.
Every other list of the parameters (``analyse``'s signature, the command-line
options, the stubs) is made from this table or checked against it.
"""

from __future__ import annotations

import argparse
import inspect
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import Any, Literal

from talvane_rs._native import EnergyTalvane
from talvane_rs.band import parse_band
from talvane_rs.units import (
    Duration,
    bounded,
    gain_to_db,
    level,
    milliseconds,
    parse_bool,
    parse_gain,
    parse_windows,
)

Kind = Literal["flag", "count", "level", "band"]  # bool, unsigned 64-bit integer, float32; a band
# What reads a parameter: the analysis, the gain application, or the streaming gate.
Stage = Literal["analysis", "gain", "stream"]


@dataclass(frozen=True)
class Parameter:
    name: str
    default: Any
    kind: Kind
    stage: Stage
    unit: str  # of the value as the gate takes it; "" for a flag or a plain number
    help: str  # meaning and how to write it; the default is added where shown
    parse: Callable[[str], Any]  # the command line's reading of a value
    metavar: str

    @property
    def option(self) -> str:
        return "--" + self.name.replace("_", "-")

    def describe_default(self) -> str:
        value = self.default
        if value is None:
            return "off"
        if isinstance(value, bool):
            return str(value).lower()
        if self.unit == "RMS":
            return f"{value:g} = {gain_to_db(value):.0f} dBFS"
        return f"{value:g}" if isinstance(value, float) else str(value)


WINDOWS_HELP = "; a whole number, or a duration (300ms, 0.5s) rounded to the nearest whole window"

# stage, unit, help, parse, metavar; by name, in no particular order (the order is the signature's).
_HOW: dict[str, tuple[Stage, str, str, Callable[[str], Any], str]] = {
    "enabled": ("gain", "", "false: pass the audio through unchanged", parse_bool, "BOOL"),
    "window_ms": ("analysis", "ms", "analysis window, whole ms above 0 (10, 20ms)", milliseconds(1), "MS"),
    "base_thresh": (
        "analysis", "RMS", "lower limit of the voice threshold: RMS of full scale 1.0, or dBFS (0.008, -42dB)",
        level("a level"), "LEVEL",
    ),
    "threshold_ratio": (
        "analysis", "", "threshold = noise floor x this; a ratio of at least 0, or dB (2, 6dB)", level("a ratio"),
        "RATIO",
    ),
    "max_thresh": (
        "analysis", "RMS", "upper limit of the voice threshold: RMS or dBFS (0.035, -29dB, inf)",
        level("a level", allow_inf=True), "LEVEL",
    ),
    "smooth_alpha": (
        "analysis", "", "weight of the newest window in the energy smoothing, 0 to 1", bounded(0.0, 1.0, "a number"),
        "X",
    ),
    "min_voice_windows": (
        "analysis", "windows", "voice runs shorter than this are dropped" + WINDOWS_HELP, parse_windows, "N|TIME",
    ),
    "attenuation": ("gain", "", "gain of dropped audio, 0 to 1 or dB up to 0 (0.1, -20dB)", parse_gain, "GAIN"),
    "noise_floor_percentile": (
        "analysis", "%", "percentile of smoothed window energies taken as the noise floor, 0 to 100",
        bounded(0.0, 100.0, "a percentile"), "PCT",
    ),
    "max_silence_gap_windows": (
        "analysis", "windows", "gaps between voice up to this long are kept" + WINDOWS_HELP, parse_windows, "N|TIME",
    ),
    "fade_ms": (
        "gain", "ms", "length of each gain ramp, whole ms up to a minute (5, 10ms)", milliseconds(0, 60000), "MS",
    ),
    "stream_context_ms": (
        "stream", "ms", "past audio the streaming gate analyses with each chunk, whole ms (3000, 3s)", milliseconds(0),
        "MS",
    ),
    "pad_voice_windows": ("analysis", "windows", "kept on each side of voice" + WINDOWS_HELP, parse_windows, "N|TIME"),
    "pass_windows": (
        "analysis", "windows", "first windows of every dropped stretch kept anyway" + WINDOWS_HELP, parse_windows,
        "N|TIME",
    ),
}


def _kind(default: Any) -> Kind:
    return "flag" if isinstance(default, bool) else "count" if isinstance(default, int) else "level"


PARAMETERS: tuple[Parameter, ...] = tuple(
    Parameter(p.name, p.default, _kind(p.default), *_HOW[p.name])
    for p in inspect.signature(EnergyTalvane).parameters.values()
)
NAMES: tuple[str, ...] = tuple(p.name for p in PARAMETERS)
DEFAULTS: dict[str, Any] = {p.name: p.default for p in PARAMETERS}

# The product's own parameters, after the gate's: the native classes do not take them.
BAND = Parameter(
    "band", None, "band", "analysis", "Hz",
    "the frequencies the analysis reads (the output keeps all): speech (about 200-4000 Hz), LOW-HIGH in Hz, "
    "LOW-, -HIGH, or off", parse_band, "BAND",
)  # fmt: skip
PRODUCT_PARAMETERS: tuple[Parameter, ...] = (*PARAMETERS, BAND)
PRODUCT_DEFAULTS: dict[str, Any] = {p.name: p.default for p in PRODUCT_PARAMETERS}


def add_gate_options(parser: argparse.ArgumentParser, title: str, stages: Collection[str] | None = None) -> None:
    """A group of the product's parameters as command-line options (those of the
    given stages, or all), and --threshold for a fixed level."""
    group = parser.add_argument_group(title)
    for p in PRODUCT_PARAMETERS:
        if stages is None or p.stage in stages:
            group.add_argument(p.option, dest=p.name, type=p.parse, default=p.default, metavar=p.metavar,
                               help=f"{p.help} (default {p.describe_default()})")  # fmt: skip
    group.add_argument("--threshold", type=level("a level"), metavar="LEVEL",
                       help="a fixed threshold: both limits at this level, RMS or dBFS (0.01, -40dBFS), so the "
                       "noise floor plays no part")  # fmt: skip


def native_settings(settings: dict[str, Any]) -> dict[str, Any]:
    """The gate parameters among settings, as the native classes take them."""
    return {name: value for name, value in settings.items() if name in DEFAULTS}


def resolve_settings(settings: dict[str, Any], rate: int) -> dict[str, Any]:
    """The gate parameters with every duration turned into whole windows at rate."""
    resolved = dict(settings)
    for name, value in settings.items():
        if isinstance(value, Duration):
            resolved[name] = value.windows(rate, settings["window_ms"])
    return resolved
