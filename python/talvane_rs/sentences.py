"""What the tool says about a decision, written once for the command line, the
tuning page and live: the kept share and stretches, the levels that decided,
the advice when the threshold is held by a limit or lies below the noise, and
the note on samples that are not numbers."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

from talvane_rs.params import PRESETS, GateSettings
from talvane_rs.units import format_db, gain_to_db


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def kept_phrase(kept: int, total: int, regions: int) -> str:
    """'kept 57.3% in 5 regions': the share of total that was kept, and in how many stretches."""
    share = kept / total if total else 0.0
    return f"kept {share:.1%} in {plural(regions, 'region')}"


def levels_phrase(noise_floor: float, threshold: float) -> str:
    return f"noise floor {format_db(noise_floor)}, threshold {format_db(threshold)}"


def preset_phrase(name: str, settings: GateSettings) -> str:
    """'preset speech', and how many options changed it: 'preset speech and 2 options'."""
    base = PRESETS[name]
    changed = sum(getattr(settings, f.name) != getattr(base, f.name) for f in dataclasses.fields(settings))
    return f"preset {name}" + (f" and {plural(changed, 'option')}" if changed else "")


def option(name: str) -> str:
    """A parameter as the command line spells it."""
    return "--" + name.replace("_", "-")


def clamped_advice(clamped: str | None, noise_floor: float, threshold: float, ratio: float,
                   spell: Callable[[str], str] = option) -> str | None:  # fmt: skip
    """What a threshold held by one of its limits means and what to change, the
    parameters spelled by spell (the command line's options by default)."""
    wanted = noise_floor * ratio
    if clamped == "high":
        top = spell("max_thresh")
        return (f"the noise floor ({format_db(noise_floor)}) asks for a threshold of {format_db(wanted)}, above "
                f"{top} ({format_db(threshold)}), so noise louder than {top} counts as voice; the speech preset "
                f"({spell('preset')} speech) follows the noise with no upper limit")  # fmt: skip
    if clamped == "low":
        return (f"the noise floor ({format_db(noise_floor)}) asks for only {format_db(wanted)}, below "
                f"{spell('base_thresh')} ({format_db(threshold)}), so speech quieter than that is dropped; lower "
                f"{spell('base_thresh')} to keep it, or leave it if that quiet is noise")  # fmt: skip
    return None


def below_floor_advice(noise_floor: float, threshold: float) -> str:
    """A fixed threshold under the noise floor keeps the noise."""
    return (f"the noise floor ({format_db(noise_floor)}) lies above --threshold ({format_db(threshold)}), so the "
            f"noise counts as voice and is kept; raise --threshold above the floor (--threshold "
            f"{math.ceil(gain_to_db(noise_floor)) + 3}dB) or leave it out to follow the noise")  # fmt: skip


def nonfinite_phrase(count: int, first: int, rate: int) -> str:
    """'3 NaN or infinite samples, the first at 1.250 s'."""
    return f"{count} NaN or infinite samples, the first at {first / rate:.3f} s"
