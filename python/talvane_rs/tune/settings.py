"""The page's settings as text, the way a person types them on the command line
(``-40dB``, ``300ms``, ``12``), read with the command line's own parsers, and
written back as the equivalent command and Python calls.

Every value the page sends is text, read here by the parsers of the parameter
table (``params.PRODUCT_PARAMETERS``), so the command shown carries the very
text the server read: run, it makes the same settings, bit for bit, as the page
used.
"""

from __future__ import annotations

import argparse
import math
import shlex
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from talvane_rs.params import BAND as BAND_PARAMETER
from talvane_rs.params import DEFAULT_PRESET, PRESETS, PRODUCT_PARAMETERS, RULE, RULES, GateSettings, Parameter
from talvane_rs.units import Duration, parse_duration

CUT_OPTIONS = {"keep_pause": "--keep-pause", "crossfade": "--crossfade"}  # seconds, as the cut action takes them

# How each control's slider moves: in dB for levels (bottom and top: the texts
# past either end), whole windows for counts, ms for times. The page draws a
# checkbox for a flag and a choice for the band.
SLIDERS: dict[str, dict[str, Any]] = {
    "window_ms": {"min": 1, "max": 100, "step": 1, "ms": True},
    "base_thresh": {"db": True, "min": -90, "max": 0, "step": 0.5},
    "max_thresh": {"db": True, "min": -90, "max": 0, "step": 0.5, "top": "inf"},
    "threshold_ratio": {"ratio": True, "min": 0, "max": 20, "step": 0.5},
    "smooth_alpha": {"min": 0, "max": 1, "step": 0.01},
    "attenuation": {"db": True, "min": -60, "max": 0, "step": 1, "bottom": "-inf dB"},
    "noise_floor_percentile": {"min": 0, "max": 100, "step": 1},
    "min_voice_windows": {"windows": True, "min": 0, "max": 100, "step": 1},
    "max_silence_gap_windows": {"windows": True, "min": 0, "max": 200, "step": 1},
    "pad_voice_windows": {"windows": True, "min": 0, "max": 100, "step": 1},
    "pass_windows": {"windows": True, "min": 0, "max": 100, "step": 1},
    "fade_ms": {"min": 0, "max": 100, "step": 1, "ms": True},
    "stream_context_ms": {"min": 0, "max": 10000, "step": 100, "ms": True},
    "keep_pause": {"min": 0, "max": 2000, "step": 10, "ms": True, "suffix": "ms"},
    "crossfade": {"min": 0, "max": 100, "step": 1, "ms": True, "suffix": "ms"},
}


def controls() -> list[dict[str, Any]]:
    """The page's controls, in order: each parameter of the table, then the cut's
    own two options, with how its control moves."""
    from talvane_rs.actions.cut import Cut

    found = [{"name": p.name, "stage": p.stage, "unit": p.unit, "help": p.help, "option": p.option,
              "default": p.describe_default(), "slider": SLIDERS.get(p.name),
              "control": "band" if p is BAND_PARAMETER else "choice" if p is RULE else
              "checkbox" if isinstance(p.default, bool) else "slider", "choices": list(RULES) if p is RULE else None}
             for p in PRODUCT_PARAMETERS]  # fmt: skip
    for name, flag in CUT_OPTIONS.items():
        (option,) = [o for o in Cut.options if o.flags[0] == flag]
        found.append({"name": name, "stage": "cut", "unit": "ms", "help": option.help, "option": flag,
                      "default": "0", "slider": SLIDERS[name], "control": "slider"})  # fmt: skip
    return found
BAND = BAND_PARAMETER.name
OFF = "off"


def value_text(value: Any) -> str:
    """A parsed parameter value as text that parses back to the same value."""
    if value is None:
        return OFF  # the band's only None
    if isinstance(value, tuple):  # a band's edges
        return "-".join("" if edge is None else number_text(edge) for edge in value)
    if isinstance(value, bool):
        return str(value).lower()
    if isinstance(value, Duration):
        return value.text
    if isinstance(value, float):
        return "inf" if value == math.inf else repr(value)
    return str(value)


def number_text(value: float) -> str:
    short = f"{value:g}"
    return short if float(short) == value else repr(value)


def preset_texts() -> dict[str, dict[str, str]]:
    """Each preset's parameters as the page's texts: choosing one on the page sets them all."""
    return {name: {p.name: value_text(getattr(preset, p.name)) for p in PRODUCT_PARAMETERS}
            for name, preset in PRESETS.items()}  # fmt: skip


def initial_texts(settings: GateSettings, cut: Mapping[str, float]) -> dict[str, str]:
    """The texts the page starts from: the command line's values, written back."""
    texts = {p.name: value_text(getattr(settings, p.name)) for p in PRODUCT_PARAMETERS}
    texts.update({name: f"{number_text(seconds * 1000)}ms" for name, seconds in cut.items()})
    return texts


@dataclass
class Settings:
    """One set of the page's settings: the texts as sent, and what they mean."""

    texts: dict[str, str]
    values: GateSettings  # as the command line has them (window counts may be Durations)
    resolved: GateSettings  # durations made whole windows at the file's rate
    cut: dict[str, float]  # keep_pause and crossfade, seconds

    @property
    def band(self) -> Any:
        return self.values.band

    def differs(self, name: str) -> bool:
        return self.resolved.differs(name)


def read_settings(texts: Mapping[str, str], rate: int) -> tuple[Settings | None, dict[str, str]]:
    """The settings the texts give, or None and a message for each text that is
    wrong (by name, the threshold limits out of order under max_thresh)."""
    errors: dict[str, str] = {}
    values: dict[str, Any] = {}
    by_name: dict[str, Parameter] = {p.name: p for p in PRODUCT_PARAMETERS}
    for name, p in by_name.items():
        values[name] = _parse(p.parse, str(texts.get(name, value_text(p.default))), name, errors)
    cut = {name: _parse(parse_duration, str(texts.get(name, "0")), name, errors) for name in CUT_OPTIONS}
    if values[BAND] is not None:
        from talvane_rs.band import BandFilter

        try:
            BandFilter(rate, values[BAND])  # edges this rate cannot take
        except ValueError as e:
            errors[BAND] = str(e)
    if not errors and values["base_thresh"] > values["max_thresh"]:
        errors["max_thresh"] = "must not be below base-thresh"
    if errors:
        return None, errors
    settings = GateSettings(**values)
    return Settings(_kept_texts(texts, values), settings, settings.resolved(rate), cut), {}


def _kept_texts(texts: Mapping[str, str], values: Mapping[str, Any]) -> dict[str, str]:
    """The texts as typed (stripped), a missing one as its default's text."""
    kept = {name: str(texts[name]).strip() if name in texts else value_text(values[name]) for name in values}
    kept.update({name: str(texts.get(name, "0ms")).strip() for name in CUT_OPTIONS})
    return kept


def _parse(parse: Any, text: str, name: str, errors: dict[str, str]) -> Any:
    try:
        return parse(text)
    except argparse.ArgumentTypeError as e:
        errors[name] = str(e)
    return None


def shell_command(action: str, path: str, settings: Settings) -> str:
    """The talvane command that does what the page shows, to path, for action
    gate, cut or split: the preset with the fewest parameters to change (named
    unless it is the command line's default), and the parameters the action
    reads that differ from it, as their texts."""
    from talvane_rs.actions import action_class

    stages = action_class(action).stages
    changes = {name: [p for p in PRODUCT_PARAMETERS
                      if p.stage in stages and getattr(settings.resolved, p.name) != getattr(preset, p.name)]
               for name, preset in PRESETS.items()}  # fmt: skip
    nearest = min(changes, key=lambda name: (len(changes[name]), name != DEFAULT_PRESET))
    words = ["talvane", action, path, *([] if nearest == DEFAULT_PRESET else [f"--preset={nearest}"])]
    words += [f"{p.option}={settings.texts[p.name]}" for p in changes[nearest]]
    if action == "cut":
        for name, option in CUT_OPTIONS.items():
            if settings.cut[name]:
                words.append(f"{option}={settings.texts[name]}")
    return " ".join(shlex.quote(w) for w in words)


def python_value(value: Any) -> str:
    """value as Python source: repr, which reads back as the same float, but for an infinity."""
    return f"float({str(value)!r})" if isinstance(value, float) and math.isinf(value) else repr(value)


def _call_args(settings: Settings, stages: set[str]) -> list[str]:
    return [f"{p.name}={python_value(getattr(settings.resolved, p.name))}" for p in PRODUCT_PARAMETERS
            if p.stage in stages and settings.differs(p.name)]  # fmt: skip


def python_calls(path: str, settings: Settings) -> dict[str, str]:
    """The library calls that compute what the page shows: analyse, cut, and the
    EnergyTalvane constructor when the settings are ones it takes (no band, the
    ratio rule, no music measure)."""
    head = f"import soundfile as sf\nimport talvane_rs\n\naudio, rate = sf.read({path!r}, dtype='float32')\n"
    analysis = ", ".join(["audio", "rate", *_call_args(settings, {"analysis", "gain"})])
    cut_args = [f"{name}_ms={settings.cut[name] * 1000.0!r}" for name in CUT_OPTIONS if settings.cut[name]]
    cuts = ", ".join(["audio", "rate", *cut_args, *_call_args(settings, {"analysis"})])
    calls = {
        "analyse": f"{head}view = talvane_rs.analyse({analysis})",
        "cut": f"{head}speech = talvane_rs.cut({cuts})",
    }
    values = settings.resolved
    if values.band is None and values.native_rule is None and not values.music:
        gate = ", ".join(_call_args(settings, {"analysis", "gain", "stream"}))
        calls["EnergyTalvane"] = f"gate = talvane_rs.EnergyTalvane({gate})"
    return calls
