"""The one table of the gate parameters, and the settings value built from it.

Names, order, defaults and types come from the native classes' text signature,
which the extension expands from the core's own table; this module adds what a
person needs: the unit, a one-line help and how the command line reads a value.
``GateSettings`` is the frozen value every layer passes, from the command line,
the page or a library call down to the core. Every other list of the parameters
(the command-line options, the stubs, the page's controls) is made from this
table or checked against it.
"""

from __future__ import annotations

import argparse
import dataclasses
import inspect
import math
import operator
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, SupportsFloat, SupportsIndex, TypedDict, Union

from talvane_rs._native import EnergyTalvane
from talvane_rs.band import Band, parse_band
from talvane_rs.units import (
    Duration,
    bounded,
    gain_to_db,
    level,
    milliseconds,
    parse_bool,
    parse_gain,
    parse_on_off,
    parse_windows,
)

if TYPE_CHECKING:
    import numpy as np

# What reads a parameter: the analysis, the gain application, or the streaming gate.
Stage = Literal["analysis", "gain", "stream"]


@dataclass(frozen=True)
class Parameter:
    name: str
    default: Any
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
            return ("on" if value else "off") if self.metavar == "on|off" else str(value).lower()
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


PARAMETERS: tuple[Parameter, ...] = tuple(
    Parameter(p.name, p.default, *_HOW[p.name]) for p in inspect.signature(EnergyTalvane).parameters.values()
)
NAMES: tuple[str, ...] = tuple(p.name for p in PARAMETERS)
DEFAULTS: dict[str, Any] = {p.name: p.default for p in PARAMETERS}

# The product's own parameters, after the gate's: the native classes do not take them.
BAND = Parameter(
    "band", None, "analysis", "Hz",
    "the frequencies the analysis reads (the output keeps all): speech (about 200-4000 Hz), LOW-HIGH in Hz, "
    "LOW-, -HIGH, or off", parse_band, "BAND",
)  # fmt: skip
Rule = Literal["ratio", "noise"]
RULES: tuple[Rule, ...] = ("ratio", "noise")


def parse_rule(text: str) -> Rule:
    value = text.strip().lower()
    if value not in RULES:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected {' or '.join(RULES)}")
    return value


RULE = Parameter(
    "rule", "ratio", "analysis", "",
    "how the threshold follows the noise floor: ratio (the floor x --threshold-ratio, within the two limits) or "
    "noise (the floor x the larger of --threshold-ratio and the eighth root of the loud part over the floor, the "
    "loud part being the 95th percentile)", parse_rule, "RULE",
)  # fmt: skip
MUSIC = Parameter(
    "music", False, "analysis", "",
    "on: raise the threshold, up to 3 times, where the background's spectrum is steady and not new (music), "
    "leaving it where the spectrum looks like speech; off: the rule's threshold as it is", parse_on_off, "on|off",
)  # fmt: skip
PRODUCT_PARAMETERS: tuple[Parameter, ...] = (*PARAMETERS, BAND, RULE, MUSIC)
PRODUCT_DEFAULTS: dict[str, Any] = {p.name: p.default for p in PRODUCT_PARAMETERS}


Windows = Union[int, Duration]  # a count of windows, or a duration made whole windows at the file's rate


@dataclass(frozen=True)
class GateSettings:
    """Every parameter of a decision, as one value: the native classes' fourteen
    (with their defaults) and the band the analysis reads through. A count of
    windows may still be a Duration until ``resolved`` gives it a rate."""

    enabled: bool = DEFAULTS["enabled"]
    window_ms: int = DEFAULTS["window_ms"]
    base_thresh: float = DEFAULTS["base_thresh"]
    threshold_ratio: float = DEFAULTS["threshold_ratio"]
    max_thresh: float = DEFAULTS["max_thresh"]
    smooth_alpha: float = DEFAULTS["smooth_alpha"]
    min_voice_windows: Windows = DEFAULTS["min_voice_windows"]
    attenuation: float = DEFAULTS["attenuation"]
    noise_floor_percentile: float = DEFAULTS["noise_floor_percentile"]
    max_silence_gap_windows: Windows = DEFAULTS["max_silence_gap_windows"]
    fade_ms: int = DEFAULTS["fade_ms"]
    stream_context_ms: int = DEFAULTS["stream_context_ms"]
    pad_voice_windows: Windows = DEFAULTS["pad_voice_windows"]
    pass_windows: Windows = DEFAULTS["pass_windows"]
    band: Band | None = None
    rule: Rule = "ratio"
    music: bool = False

    @classmethod
    def from_keywords(cls, caller: str, values: Mapping[str, object], preset: str | None = None) -> GateSettings:
        """The settings a library call names by keyword, each value converted as
        the native classes convert it (an integer, a real number, a bool); the
        rest keep their defaults, or the preset's values when one is named.
        TypeError for a name that is none, ValueError for a preset or a rule
        that is none."""
        changes: dict[str, Any] = {}
        for name, value in values.items():
            if name not in PRODUCT_DEFAULTS:
                raise TypeError(f"{caller} got an unexpected keyword argument {name!r}")
            changes[name] = _converted(name, value)
        return dataclasses.replace(cls() if preset is None else preset_settings(preset), **changes)

    @property
    def native_rule(self) -> Literal["noise"] | None:
        """The rule as the native analysis takes it: None for the ratio rule."""
        return None if self.rule == "ratio" else self.rule

    def resolved(self, rate: int) -> GateSettings:
        """The settings with every duration made whole windows at rate."""
        changes: dict[str, Any] = {name: value.windows(rate, self.window_ms) for name in NAMES
                                   if isinstance(value := getattr(self, name), Duration)}  # fmt: skip
        return dataclasses.replace(self, **changes) if changes else self

    def native(self) -> GateKeywords:
        """The fourteen as the native classes take them by keyword; needs resolved settings."""
        found = {name: getattr(self, name) for name in NAMES}
        assert not any(isinstance(v, Duration) for v in found.values()), "resolve the durations first"
        return found  # type: ignore[return-value]

    def check(self) -> None:
        """Raises what the native classes raise for a value they cannot take
        (OverflowError for a negative count); a duration is checked once it is windows."""
        plain: dict[str, Any] = {name: 0 for name in NAMES if isinstance(getattr(self, name), Duration)}
        EnergyTalvane(**dataclasses.replace(self, **plain).native())

    def differs(self, name: str) -> bool:
        """Whether a parameter is off its default."""
        return bool(getattr(self, name) != PRODUCT_DEFAULTS[name])

    @property
    def fixed_threshold(self) -> bool:
        """Whether the threshold was asked for as one level (both limits there)."""
        return self.base_thresh == self.max_thresh


class GateKeywords(TypedDict, total=False):
    """The fourteen as a library call takes them by keyword, with the values the
    native classes accept."""

    enabled: bool | np.bool_
    window_ms: SupportsIndex
    base_thresh: SupportsFloat | SupportsIndex
    threshold_ratio: SupportsFloat | SupportsIndex
    max_thresh: SupportsFloat | SupportsIndex
    smooth_alpha: SupportsFloat | SupportsIndex
    min_voice_windows: SupportsIndex
    attenuation: SupportsFloat | SupportsIndex
    noise_floor_percentile: SupportsFloat | SupportsIndex
    max_silence_gap_windows: SupportsIndex
    fade_ms: SupportsIndex
    stream_context_ms: SupportsIndex
    pad_voice_windows: SupportsIndex
    pass_windows: SupportsIndex


class ProductKeywords(GateKeywords, total=False):
    """The keywords of the product's functions: the fourteen and the band."""

    band: Band | None
    rule: Rule
    music: bool


# The presets: whole settings values, each field overridden by its own keyword or
# option. classic is the gate's original settings; speech (bench/quality.py,
# docs/performance.md) reads the speech band, lets the threshold follow the noise
# with no upper limit, and keeps voice runs of any length, so that a stream loses
# no onset; speech-music is speech with the music measure, which raises the
# threshold over steady background music (and, in a stream, loses a little in hum).
_SPEECH = GateSettings(band="speech", rule="noise", threshold_ratio=1.2, base_thresh=0.004, max_thresh=math.inf,
                       min_voice_windows=1)  # fmt: skip
PRESETS: dict[str, GateSettings] = {
    "speech": _SPEECH,
    "speech-music": dataclasses.replace(_SPEECH, music=True),
    "classic": GateSettings(),
}
PRESET_HELP: dict[str, str] = {
    "speech": "the speech band, a threshold that follows the noise with no upper limit, voice runs of any length",
    "speech-music": "speech with the music measure: the threshold rises over steady background music",
    "classic": "the gate's original settings (all frequencies, the ratio rule between -42 and -29 dBFS)",
}
DEFAULT_PRESET = "speech"  # the command line's, live's, tune's and run_folder's


def preset_settings(name: str) -> GateSettings:
    """The settings of a preset by name; ValueError naming the presets for another."""
    if not isinstance(name, str) or name not in PRESETS:
        raise ValueError(f"unknown preset {name!r}: {', '.join(map(repr, PRESETS))}")
    return PRESETS[name]


def stream_preset(name: str) -> tuple[Any, ...]:
    """What the native Stream takes from a preset: its band, the fourteen, its
    rule as the native analysis takes it and its music measure."""
    preset = preset_settings(name)
    return (preset.band, *preset.native().values(), preset.native_rule, preset.music)


def _converted(name: str, value: object) -> Any:
    """A keyword's value as GateSettings holds it, converted as the native classes convert it."""
    default = PRODUCT_DEFAULTS[name]
    if name == RULE.name:
        if value not in RULES:
            raise ValueError(f"unknown rule {value!r}: {' or '.join(map(repr, RULES))}")
        return value
    if name == BAND.name or isinstance(value, Duration):
        return value
    if name == MUSIC.name and value is None:
        raise TypeError("music must be a bool, not 'NoneType'")
    if isinstance(default, bool):
        if type(value).__name__ not in ("bool", "bool_"):
            raise TypeError(f"{name} must be a bool, not {type(value).__name__!r}")
        return bool(value)
    try:
        return operator.index(value) if isinstance(default, int) else float(value)  # type: ignore[arg-type]
    except TypeError:
        kind = "an integer" if isinstance(default, int) else "a real number"
        raise TypeError(f"{name} must be {kind}, not {type(value).__name__!r}") from None
