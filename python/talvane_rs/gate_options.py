"""The gate's parameters on the command line: --preset, one option per parameter
and --threshold, read back into the settings value."""

from __future__ import annotations

import argparse
import dataclasses
from collections.abc import Collection

from talvane_rs.errors import OptionError
from talvane_rs.params import (
    DEFAULT_PRESET,
    PRESET_HELP,
    PRESETS,
    PRODUCT_PARAMETERS,
    GateSettings,
    Parameter,
    preset_settings,
)
from talvane_rs.units import level


def add_gate_options(parser: argparse.ArgumentParser, title: str, stages: Collection[str] | None = None) -> None:
    """--preset, a group of the product's parameters as command-line options (those
    of the given stages, or all) and --threshold for a fixed level. An option left
    out is absent from the parsed namespace, so that the preset gives its value."""
    group = parser.add_argument_group(
        title, f"--preset chooses every value; an option given explicitly wins over the preset's value. The "
        f"default is the {DEFAULT_PRESET} preset: {PRESET_HELP[DEFAULT_PRESET]}",
    )  # fmt: skip
    group.add_argument("--preset", type=parse_preset, default=DEFAULT_PRESET, metavar="NAME",
                       help=f"{'; '.join(f'{n}: {h}' for n, h in PRESET_HELP.items())} (default {DEFAULT_PRESET})")
    for p in PRODUCT_PARAMETERS:
        if stages is None or p.stage in stages:
            group.add_argument(p.option, dest=p.name, type=p.parse, default=argparse.SUPPRESS, metavar=p.metavar,
                               help=f"{p.help} (default {preset_default(p)})")  # fmt: skip
    group.add_argument("--threshold", type=level("a level"), metavar="LEVEL",
                       help="a fixed threshold: both limits at this level, RMS or dBFS (0.01, -40dBFS), so the "
                       "noise floor plays no part")  # fmt: skip


def parse_preset(text: str) -> str:
    try:
        preset_settings(text.strip().lower())
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected {', '.join(PRESETS)}") from None
    return text.strip().lower()


def preset_default(p: Parameter) -> str:
    """An option's default as --help says it: the default preset's value, and the
    classic one where that differs."""
    value = getattr(PRESETS[DEFAULT_PRESET], p.name)
    shown = dataclasses.replace(p, default=value).describe_default()
    return shown if value == p.default else f"{shown}; classic {p.describe_default()}"


def settings_from_options(args: argparse.Namespace) -> GateSettings:
    """The settings the command line's options give: the preset's (speech unless
    --preset names another), each option given explicitly over it, --threshold as
    both limits. OptionError for limits that cannot be."""
    given = {p.name: getattr(args, p.name) for p in PRODUCT_PARAMETERS if hasattr(args, p.name)}
    settings = dataclasses.replace(preset_settings(getattr(args, "preset", DEFAULT_PRESET)), **given)
    if getattr(args, "threshold", None) is not None:
        if "base_thresh" in given or "max_thresh" in given:
            raise OptionError("--threshold sets both limits of the threshold: give it, or --base-thresh and "
                              "--max-thresh")  # fmt: skip
        settings = dataclasses.replace(settings, base_thresh=args.threshold, max_thresh=args.threshold)
    if settings.base_thresh > settings.max_thresh:
        raise OptionError(f"--base-thresh ({settings.base_thresh:g}) must not be above --max-thresh "
                          f"({settings.max_thresh:g})")  # fmt: skip
    return settings
